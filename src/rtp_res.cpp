#include "rtp_res.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <type_traits>

#include "arm_environment.h"
#include "board.h"
#include "fifo.h"
#include "g711.h"
#include "multi_log.h"
#include "print_sys.h"
#include "sharememory.h"
#include "sipman.h"
#include "text.h"
#include "user.h"

RTP_CHN_INFO_T g_sRtpChnList[kRtpChnMax];

// The line module registers it with the DSP layer as the send-to-network callback.
static_assert(std::is_same_v<decltype(&RTP_PacketRecvFromPstn), RES490_SEND_PACKET>);

namespace {

struct RTP_CALLBACKS_T {
    RTP_ON_SEND_COR m_pfuncOnSendCor = nullptr;
    RTP_ON_SEND_COR m_pfuncOnSendCorOff = nullptr;
    RES490_SEND_PACKET m_pfuncSendPacketToPcm = nullptr;
};
RTP_CALLBACKS_T g_sRtpInit;

// 10, 20 and 30 ms all divide 60: the tick counts wrap there instead of overflowing.
constexpr int kTickWrap = 60;
long long s_llPlayMs = 0;  // loop milliseconds since start-up: each channel paces its play-out on it
int s_iPromptTick = 0;

constexpr const char kPromptFile[] = "/var/www/ring.au";
constexpr int kSamplesPerMs = 8;

// Voice thresholds by sensitivity (0..10) for payloads of 80, 160 and 240 bytes; a packet is
// voice once its summed squares exceed payload length x T x 10000.
constexpr int kVoxThreshold[3][11] = {
    {10, 80, 160, 320, 640, 1000, 1500, 3000, 6000, 8000, 10000},
    {5, 40, 80, 160, 320, 640, 1000, 1800, 3000, 4000, 5000},
    {3, 20, 80, 160, 240, 320, 640, 800, 1200, 2000, 3000},
};

int Static_Lines() { return g_iUse_Chn_Max < kRtpChnMax ? g_iUse_Chn_Max : kRtpChnMax; }
bool Static_ChnOk(int channel) { return channel >= 0 && channel < Static_Lines(); }

bool Static_ChnOkLogged(int channel)
{
    if (Static_ChnOk(channel)) return true;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "Param Error");
    return false;
}

void Static_Put16(unsigned char* p, unsigned int v)
{
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}
void Static_Put32(unsigned char* p, std::uint32_t v)
{
    Static_Put16(p, v >> 16);
    Static_Put16(p + 2, v & 0xFFFF);
}
unsigned int Static_Get16(const unsigned char* p) { return (p[0] << 8) | p[1]; }
std::uint32_t Static_Get32(const unsigned char* p) { return (std::uint32_t{Static_Get16(p)} << 16) | Static_Get16(p + 2); }

// Samples per packet of the channel's packet time: the RTP timestamp step.
unsigned int Static_FrameSamples(int ptime)
{
    return (ptime == 10 || ptime == 20 || ptime == 30) ? static_cast<unsigned int>(ptime * kSamplesPerMs) : 160;
}

// A floor code as the settings hold it: "*" 10, "#" 11, else one to three digits; -1 for an
// empty or non-numeric text, which must never match an event.
int Static_FloorCode(std::string_view v)
{
    if (v == "*") return 10;
    if (v == "#") return 11;
    if (v.empty() || v.size() > 3) return -1;
    int code = 0;
    for (char ch : v) {
        if (ch < '0' || ch > '9') return -1;
        code = code * 10 + (ch - '0');
    }
    return code;
}

void Static_SendToDsp(const RTP_CHN_INFO_T& c, unsigned char* packet, int length)
{
    g_sRtpInit.m_pfuncSendPacketToPcm(c.m_iResChn + g_iChnChangeFactor, packet, length, kDspPacketRtp);
}

void Static_VoiceStop(const RTP_CHN_INFO_T& c)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, c.m_iResChn, "RtpChn[%d]检测到语音暂停 eCorFrom[%s]", c.m_iResChn,
              PrintEnum(g_sPrintBufDirect, E_RTP_BUF_NETWORK));
    g_sRtpInit.m_pfuncOnSendCorOff(c.m_iResChn);
}

// Play-out off and idle; the slots keep their bytes, as every slot is rewritten with its
// length before it is read again.
void RtpInitBufRes(RTP_CHN_INFO_T& c)
{
    SYS_BUF_INFO_T& b = c.m_sBuffer;
    b.m_eBeginToSend = E_FLAG_OFF;
    b.m_iCntSilence = 0;
    b.m_iCntVoice = 0;
    RTP_CACHE_T& r = b.m_sRtpCache;
    r.m_iCurRecv = 0;
    r.m_iCurSend = 0;
    r.m_iSendCount = 0;
    r.m_iRecvCount = 0;
    r.m_iLastRecv = -1;
    b.m_llPlayDue = 0;
    b.m_iDryMs = 0;
}

// Writes one packet at the ring's write index; the ring overwrites its oldest slot when full.
int Static_CacheStore(RTP_CACHE_T& r, const unsigned char* packet, int length)
{
    const int slot = r.m_iCurRecv;
    RTP_BUF_NODE& node = r.m_chCacheList[slot];
    std::memcpy(node.m_chBuf, packet, static_cast<std::size_t>(length));
    node.m_iBufLen = length;
    r.m_iCurRecv = (slot + 1) % kRtpCacheSlots;
    if (r.m_iRecvCount < kRtpCacheSlots) ++r.m_iRecvCount;
    return slot;
}

// How many packets a rewind of pre_voice_ms reaches back: never beyond what the ring holds
// since it was reset, and never the whole ring (that would put the send index on the limit).
int Static_RewindPackets(const RTP_CACHE_T& r, int pre_voice_ms, int ptime, int newest_kept)
{
    int n = ptime > 0 && pre_voice_ms > 0 ? pre_voice_ms / ptime : 0;
    int held = r.m_iRecvCount - newest_kept;
    if (n > held) n = held;
    if (n > kRtpCacheSlots - 1) n = kRtpCacheSlots - 1;
    return n < 0 ? 0 : n;
}

void Static_StartPlayOut(RTP_CHN_INFO_T& c)
{
    RTP_CACHE_T& r = c.m_sBuffer.m_sRtpCache;
    // The packet that started play-out is not stored yet: the rewind counts back from it.
    const int n = Static_RewindPackets(r, c.m_sCfgCorNetwork.m_iPreVoiceBuf, c.m_iPtime, 0);
    r.m_iCurSend = (r.m_iCurRecv - n + kRtpCacheSlots) % kRtpCacheSlots;
    g_sRtpInit.m_pfuncOnSendCor(c.m_iResChn);
}

void RtpDetectCorInVOX(RTP_CHN_INFO_T& c, const USER_INFO_T* user, const unsigned char* packet, int length)
{
    SYS_BUF_INFO_T& b = c.m_sBuffer;
    if (user == nullptr || user->m_eSampleCorFlag == E_FLAG_ON) return;
    if (RtpCheckEffective(packet, length, c.m_sCfgCorNetwork.m_eVoxSen) == 1) {
        if (b.m_iCntVoice++ > 4) {
            b.m_iCntSilence = 0;
            if (b.m_eBeginToSend != E_FLAG_ON) Static_StartPlayOut(c);
        }
        return;
    }
    if (b.m_eBeginToSend != E_FLAG_ON) return;
    b.m_iCntVoice = 0;
    ++b.m_iCntSilence;
    if (static_cast<long long>(b.m_iCntSilence) * c.m_iPtime > c.m_sCfgCorNetwork.m_iTimeVoxHangUp) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, c.m_iResChn, "[RtpDetectCorInVOX]--m_iCntSilence[%d], m_iTimeVoxHangUp[%d]",
                  b.m_iCntSilence, c.m_sCfgCorNetwork.m_iTimeVoxHangUp);
        RTP_SetSendOnOff(c.m_iResChn, E_RTP_BUF_NETWORK, E_FLAG_OFF);
    }
}

// While play-out is on, the packet just stored is played: the limit moves past it now, not at
// the next datagram, so it waits no longer than its turn. A play-out that starts (the limit
// leaves idle) is paced from this millisecond.
void Static_ExtendPlayOut(RTP_CHN_INFO_T& c)
{
    SYS_BUF_INFO_T& b = c.m_sBuffer;
    if (b.m_eBeginToSend != E_FLAG_ON) return;
    if (b.m_sRtpCache.m_iLastRecv == -1) b.m_llPlayDue = s_llPlayMs;
    b.m_sRtpCache.m_iLastRecv = b.m_sRtpCache.m_iCurRecv;
}

// The far end's packet time from its first two packets of the call.
void RtpSetPtimeByPacket(RTP_CHN_INFO_T& c, USER_INFO_T& user, const unsigned char* packet)
{
    const unsigned int seq = Static_Get16(packet + 2);
    const std::uint32_t ts = Static_Get32(packet + 4);
    if (user.m_RTPflag == 0) {
        c.m_iFirstSeq = seq;
        c.m_iFirstTimeStamp = ts;
        user.m_RTPflag = 1;
        return;
    }
    if (user.m_RTPflag != 1) return;
    user.m_RTPflag = 2;
    // Both counters wrap: the differences are taken in their own widths.
    const unsigned int seq_step = (seq - c.m_iFirstSeq) & 0xFFFF;
    const std::uint32_t ts_step = ts - c.m_iFirstTimeStamp;
    std::uint32_t ms = seq_step ? ts_step / seq_step / kSamplesPerMs : 0;
    int duration = (ms == 10 || ms == 20 || ms == 30) ? static_cast<int>(ms) : 20;
    RTP_SetRtpFrameSize(user.m_iChnRes, duration);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, c.m_iResChn,
              "[RtpSetPtimeByPacket]---time_stamp2[%d], time_stamp1[%d],seq_num2[%d],seq_num1[%d],iDuration[%d]",
              static_cast<int>(ts), static_cast<int>(c.m_iFirstTimeStamp), static_cast<int>(seq),
              static_cast<int>(c.m_iFirstSeq), duration);
}

// A telephone event of the line's negotiated payload type whose code is a floor code.
void Static_FloorEvent(const USER_INFO_T& user, const unsigned char* packet, int length)
{
    if (length != kRtpEventLen || (packet[1] & 0x7F) != user.m_iRfcPayLoad) return;
    const int code = packet[12];
    const SYS_CFG_INFO_T& staged = g_sDBInfo.m_sSysCfgInfo;
    if (code == Static_FloorCode(field_view(staged.m_chrequestpro)))
        UserRequestPro(user.m_iChnSip);
    else if (code == Static_FloorCode(field_view(staged.m_chreleasepro)))
        UserReleasePro(user.m_iChnSip);
}

void Static_LossOfMedia(USER_INFO_T& user, bool received)
{
    if (received || user.m_eUserStatus != E_USER_ON_TALKING) {
        user.m_nRtpTimeout = 0;
        return;
    }
    if (user.m_nRtpTimeout < 0x7FFFFFFF) ++user.m_nRtpTimeout;
    const long long limit = static_cast<long long>(g_sSysCfgInfo.m_sTimeCfg.m_iTLostOfMedia) * 1000;
    if (user.m_nRtpTimeout == limit && g_sSysCfgInfo.m_eSysDealLOM == E_LOM_DEAL_RELEASE) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user.m_iUserChn, "长时间未收到语音包ChnDsp[%d]", user.m_iChnDsp);
        SipMan_SendBye(user.m_iChnSip, user.m_iUserChn);
    }
}

void Static_RecvNetwork(int channel)
{
    RTP_CHN_INFO_T& c = g_sRtpChnList[channel];
    if (c.m_eFlagOpen != E_FLAG_ON || c.m_eRtpOverFlag == E_FLAG_ON) return;
    USER_INFO_T* user = User_GetByResChn(channel);
    if (user == nullptr) return;

    unsigned char packet[kRtpBufLen];
    char ip[sizeof(IPV4_ADDRESS::ip)] = {};
    int port = 0;
    const int length = Udp_Socket_recv_By_Addr(c.m_iSocketID, packet, kRtpBufLen, ip, &port);
    // Only the far end proves that the call's media still flows: a stranger's datagrams must
    // not keep a dead call up.
    const bool from_far_end =
        length > 0 && port == c.m_sAddrRemote.port && std::strncmp(ip, c.m_sAddrRemote.ip, sizeof ip) == 0;
    Static_LossOfMedia(*user, from_far_end);
    // Anything shorter than an RTP header carries nothing the steps below could read.
    if (!from_far_end || length < kRtpHeadLen) return;
    if (c.m_sPromptMediaInfo.m_iMediaFd[E_PSTN_DIR] >= 0) return;

    RtpSetPtimeByPacket(c, *user, packet);
    Static_FloorEvent(*user, packet, length);

    if (user->m_ePttType == E_PTT_SIPINFO) {
        Static_SendToDsp(c, packet, length);
        return;
    }
    switch (c.m_sCfgCorNetwork.m_eCorType) {
    case E_NW_COR_DETECT_TYPE_VOX:
        RtpDetectCorInVOX(c, user, packet, length);
        Static_CacheStore(c.m_sBuffer.m_sRtpCache, packet, length);
        Static_ExtendPlayOut(c);
        return;
    case E_NW_COR_DETECT_TYPE_DISABLE:
        RtpInitBufRes(c);
        break;
    case E_NW_COR_DETECT_TYPE_RTP: {
        RTP_CACHE_T& r = c.m_sBuffer.m_sRtpCache;
        c.m_sBuffer.m_eBeginToSend = E_FLAG_ON;
        r.m_iLastRecv = r.m_iCurRecv;
        r.m_iCurSend = r.m_iCurRecv;
        break;
    }
    default:
        break;
    }
    // A bare telephone event is not voice for the DSP.
    if (length > kRtpEventLen) Static_SendToDsp(c, packet, length);
}

// A ring that runs dry while play-out is on is a far end that is late or has stopped: the
// time counts as silence toward the hang time, and a datagram that comes within it is played
// at once (the pace restarts from it) instead of the radio dropping and re-keying its PTT.
void Static_PlayOut(int channel)
{
    RTP_CHN_INFO_T& c = g_sRtpChnList[channel];
    SYS_BUF_INFO_T& b = c.m_sBuffer;
    if (c.m_eFlagOpen != E_FLAG_ON || c.m_iPtime <= 0 || s_llPlayMs < b.m_llPlayDue) return;
    RTP_CACHE_T& r = b.m_sRtpCache;
    if (r.m_iLastRecv == -1) {
        if (c.m_eRtpOverFlag != E_FLAG_ON) return;
        Static_VoiceStop(c);
        b.m_llPlayDue = s_llPlayMs + c.m_iPtime;
        return;
    }
    const bool vox = c.m_sCfgCorNetwork.m_eCorType == E_NW_COR_DETECT_TYPE_VOX;
    if (r.m_iCurSend == r.m_iLastRecv) {
        if (vox && b.m_eBeginToSend == E_FLAG_ON && c.m_eRtpOverFlag != E_FLAG_ON) {
            ++b.m_iDryMs;
            const long long quiet = static_cast<long long>(b.m_iCntSilence) * c.m_iPtime + b.m_iDryMs;
            if (quiet <= c.m_sCfgCorNetwork.m_iTimeVoxHangUp) return;  // looked at again next ms
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, c.m_iResChn, "[RtpDetectCorInVOX]--m_iCntSilence[%d], m_iTimeVoxHangUp[%d]",
                      b.m_iCntSilence, c.m_sCfgCorNetwork.m_iTimeVoxHangUp);
            RTP_SetSendOnOff(c.m_iResChn, E_RTP_BUF_NETWORK, E_FLAG_OFF);
        }
        if (vox) Static_VoiceStop(c);
        r.m_iLastRecv = -1;
        b.m_iDryMs = 0;
        b.m_llPlayDue = s_llPlayMs + c.m_iPtime;
        return;
    }
    b.m_iDryMs = 0;
    RTP_BUF_NODE& node = r.m_chCacheList[r.m_iCurSend];
    Static_SendToDsp(c, node.m_chBuf, node.m_iBufLen);
    r.m_iCurSend = (r.m_iCurSend + 1) % kRtpCacheSlots;
    ++r.m_iSendCount;
    b.m_llPlayDue = s_llPlayMs + c.m_iPtime;
}

// ---- line to network ----

// The channel's own identity toward the far end: sequence (wrapping as 16 bits, 65535
// included, so a far end never sees a gap), timestamp (0 first, then one frame per packet)
// and SSRC; bytes 0-1 stay as the DSP wrote them.
void Static_RewriteHead(RTP_CHN_INFO_T& c, unsigned char* packet)
{
    Static_Put16(packet + 2, c.m_iRtpSeq & 0xFFFF);
    c.m_iRtpSeq = (c.m_iRtpSeq + 1) & 0xFFFF;
    Static_Put32(packet + 4, c.m_iRtpTimeStamp);
    c.m_iRtpTimeStamp += Static_FrameSamples(c.m_iPtime);
    Static_Put32(packet + 8, c.m_iSsrc);
}

void Static_SendToNet(RTP_CHN_INFO_T& c, unsigned char* packet, int length)
{
    Static_RewriteHead(c, packet);
    Udp_Socket_Send(c.m_iSocketID, packet, length, c.m_sAddrRemote.ip, c.m_sAddrRemote.port);
}

// Line voice through the line-side ring. When a talking period starts, the send index is put
// as far behind the packet just saved as the channel's pre-voice time (bounded by what was
// saved since the channel opened), so the far end hears the start of what raised the floor
// request and the delay is the same in every call.
void Static_SendFromPstnRing(RTP_CHN_INFO_T& c, int newest)
{
    RTP_CACHE_T& r = c.m_sPstnCache;
    if (c.m_eTalkSending != E_FLAG_ON) {
        const int n = Static_RewindPackets(r, c.m_sCfgCorNetwork.m_iPreVoiceBuf, c.m_iPtime, 1);
        r.m_iCurSend = (newest - n + kRtpCacheSlots) % kRtpCacheSlots;
        c.m_eTalkSending = E_FLAG_ON;
    }
    RTP_BUF_NODE& node = r.m_chCacheList[r.m_iCurSend];
    if (node.m_iBufLen >= kRtpHeadLen) Static_SendToNet(c, node.m_chBuf, node.m_iBufLen);
    std::memset(node.m_chBuf, 0, sizeof node.m_chBuf);
    node.m_iBufLen = 0;
    r.m_iCurSend = (r.m_iCurSend + 1) % kRtpCacheSlots;
}

// A telephone event of the line's own payload type (never a G.711 one).
bool Static_LineEvent(const USER_INFO_T& user, const unsigned char* packet)
{
    const int pt = packet[1] & 0x7F;
    return pt == user.m_iRfcPayLoad && pt != 0 && pt != 8;
}

bool Static_MuteLine(const USER_INFO_T& user)
{
    if (user.m_ePTTFlag == E_FLAG_ON) return true;
    return user.m_sCfgCorNetwork.m_eCorType == E_NW_COR_DETECT_TYPE_DISABLE && user.m_eSpeekStatus != E_REQ_SPEEK_SUCC &&
           user.m_eFlgHandsetVoiceRight == E_FLAG_ON;
}

void Static_BusyDetect(RTP_CHN_INFO_T& c, USER_INFO_T& user, const unsigned char* packet, int length, int channel)
{
    if (RtpCheckEffective(packet, length, g_sSysCfgInfo.m_eSensitivity) == 1) {
        c.m_iMuteCnt = 0;
        if (c.m_iVoiceCnt < 5) {
            ++c.m_iVoiceCnt;
            return;
        }
        c.m_eBusyFlag = E_FLAG_ON;
        if (User_GetVoiceCorFlag(channel) == E_FLAG_ON) User_PstnVoiceFirst(&user);
        c.m_iVoiceCnt = 0;
        return;
    }
    if (static_cast<long long>(c.m_iMuteCnt) * c.m_iPtime < g_sSysCfgInfo.m_iRelTime) {
        ++c.m_iMuteCnt;
    } else {
        c.m_eBusyFlag = E_FLAG_OFF;
        c.m_iMuteCnt = 0;
    }
}

// ---- prompts ----

void Static_ClosePrompt(RTP_CHN_INFO_T& c, int dir)
{
    PROMPT_MEDIA_INFO_T& p = c.m_sPromptMediaInfo;
    if (p.m_iMediaFd[dir] >= 0) {
        close(p.m_iMediaFd[dir]);
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, c.m_iResChn, "%s Fd closed", dir == E_PSTN_DIR ? "PSTN" : "NET");
    }
    p.m_iMediaFd[dir] = -1;
    p.m_iRtpSeq[dir] = 0;
    p.m_iRtpTimeStamp[dir] = 0;
}

// A line-side prompt keyed the radio's PTT when it started: a teardown before its end lets go
// of it, or the radio would stay keyed after the call. keep_ptt: another prompt keys it at once.
void Static_ReleasePrompt(RTP_CHN_INFO_T& c, bool keep_ptt = false)
{
    const bool keyed = c.m_sPromptMediaInfo.m_iMediaFd[E_PSTN_DIR] >= 0;
    c.m_sPromptMediaInfo.m_eCode = UNKONW;
    Static_ClosePrompt(c, E_PSTN_DIR);
    Static_ClosePrompt(c, E_NET_DIR);
    if (keyed && !keep_ptt) ArmEnv_SetPTT(c.m_iResChn, E_FLAG_OFF);
}

// The next prompt packet of one direction into out (kRtpBufLen bytes): its length, or -1 when
// the prompt ends (end of file, no frame duration, a codec it cannot be played in).
int Static_PromptPacket(RTP_CHN_INFO_T& c, int dir, unsigned char* out)
{
    PROMPT_MEDIA_INFO_T& p = c.m_sPromptMediaInfo;
    const int n = c.m_eFrameDuration;
    if (n < 1 || n > 3) return -1;
    int payload_type = 0;
    if (p.m_eCode == G711_A) {
        payload_type = 8;
    } else if (p.m_eCode == G711_U) {
        payload_type = 0;
    } else {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, c.m_iResChn, "get rtp head error\n");
        return -1;
    }
    const int want = n * 80;
    int got = 0;
    for (int calls = 0; calls < 20 && got < want; ++calls) {
        ssize_t r = read(p.m_iMediaFd[dir], out + kRtpHeadLen + got, static_cast<std::size_t>(want - got));
        if (r == 0) return -1;  // a partial last frame is not played
        if (r < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return -1;
        }
        got += static_cast<int>(r);
    }
    if (p.m_eCode == G711_U) {
        for (int i = 0; i < got; ++i) out[kRtpHeadLen + i] = alaw2ulaw(out[kRtpHeadLen + i]);
    }
    out[0] = 0x80;
    out[1] = static_cast<unsigned char>(payload_type);
    if (p.m_iRtpSeq[dir] > 32766) p.m_iRtpSeq[dir] = 0;
    Static_Put16(out + 2, p.m_iRtpSeq[dir]++);
    if (p.m_iRtpTimeStamp[dir] > 0x7FFFFFFE) p.m_iRtpTimeStamp[dir] = 0;
    Static_Put32(out + 4, p.m_iRtpTimeStamp[dir]);
    p.m_iRtpTimeStamp[dir] += static_cast<unsigned int>(n * 80);
    Static_Put32(out + 8, c.m_iSsrc);
    return kRtpHeadLen + got;
}

void RtpPlayPrompt()
{
    s_iPromptTick = (s_iPromptTick + 1) % kTickWrap;
    for (int ch = 0; ch < Static_Lines(); ++ch) {
        RTP_CHN_INFO_T& c = g_sRtpChnList[ch];
        if (c.m_eFlagOpen != E_FLAG_ON || c.m_iPtime <= 0 || s_iPromptTick % c.m_iPtime != 0) continue;
        PROMPT_MEDIA_INFO_T& p = c.m_sPromptMediaInfo;
        unsigned char packet[kRtpBufLen];
        if (p.m_iMediaFd[E_PSTN_DIR] >= 0) {
            const int length = Static_PromptPacket(c, E_PSTN_DIR, packet);
            if (length > 0) {
                Static_SendToDsp(c, packet, length);
            } else {
                const int fd = p.m_iMediaFd[E_PSTN_DIR];
                ArmEnv_SetPTT(ch, E_FLAG_OFF);
                close(fd);
                p.m_iMediaFd[E_PSTN_DIR] = -1;
                MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, ch, "Pstn closed FD = %d", fd);
            }
        }
        if (p.m_iMediaFd[E_NET_DIR] >= 0) {
            const int length = Static_PromptPacket(c, E_NET_DIR, packet);
            if (length > 0) {
                Udp_Socket_Send(c.m_iSocketID, packet, length, c.m_sAddrRemote.ip, c.m_sAddrRemote.port);
            } else {
                const int fd = p.m_iMediaFd[E_NET_DIR];
                close(fd);
                p.m_iMediaFd[E_NET_DIR] = -1;
                MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, ch, "Net closed FD = %d", fd);
            }
        }
    }
}

// An SSRC no other open channel uses, so the far ends of two lines never see one source.
std::uint32_t Static_DrawSsrc(int channel)
{
    for (;;) {
        const std::uint32_t v = (static_cast<std::uint32_t>(std::rand() & 0xFFFF) << 16) |
                                static_cast<std::uint32_t>(std::rand() & 0xFFFF);
        bool taken = v == 0;
        for (int i = 0; i < kRtpChnMax && !taken; ++i)
            taken = i != channel && g_sRtpChnList[i].m_eFlagOpen == E_FLAG_ON && g_sRtpChnList[i].m_iSsrc == v;
        if (!taken) return v;
    }
}

IPV4_ADDRESS* Static_Address(int channel, IPV4_ADDRESS RTP_CHN_INFO_T::*field, const char* func, const char* label)
{
    if (!Static_ChnOk(channel)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[%s]-- error...    ", func);
        return nullptr;
    }
    IPV4_ADDRESS& a = g_sRtpChnList[channel].*field;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, channel, "[%s]-- %s[%s:%d]    ", func, label, a.ip, a.port);
    return &a;
}

// What a call leaves in a channel, cleared when the channel opens and when it closes.
void Static_ResetCall(RTP_CHN_INFO_T& c)
{
    c.m_eBusyFlag = E_FLAG_OFF;
    c.m_eRtpOverFlag = E_FLAG_OFF;
    c.m_iMuteCnt = 0;
    c.m_iVoiceCnt = 0;
    c.m_iRtpTimeStamp = 0;
    c.m_iRtpSeq = 0;
    Static_ReleasePrompt(c);
}

}  // namespace

int RtpCheckEffective(const unsigned char* packet, int length, int sensitivity)
{
    if (packet == nullptr || length < kRtpHeadLen) return -1;
    const int payload_type = packet[1];  // a set marker bit fails the test on purpose
    if (payload_type != 0 && payload_type != 8) return -1;
    if (sensitivity < E_VOX_SENSITIVITY_MIN_5) sensitivity = E_VOX_SENSITIVITY_MIN_5;
    if (sensitivity > E_VOX_SENSITIVITY_5) sensitivity = E_VOX_SENSITIVITY_5;
    const int payload = length - kRtpHeadLen;
    // Other packet lengths take the row of the nearest packet time: the threshold grows with
    // the payload, so G.711 silence never counts as voice at 25 or 40 ms either.
    const int row = payload <= 120 ? 0 : payload <= 200 ? 1 : 2;
    const long long threshold = static_cast<long long>(payload) * kVoxThreshold[row][sensitivity] * 10000;
    long long sum = 0;
    for (int i = 0; i < payload; ++i) {
        const long long s = payload_type == 0 ? ulaw2linear(packet[kRtpHeadLen + i]) : alaw2linear(packet[kRtpHeadLen + i]);
        sum += s * s;
        if (sum > threshold) return 1;
    }
    return 0;
}

int RTP_Init(const RTP_INIT_T* init)
{
    std::srand(static_cast<unsigned int>(std::time(nullptr)));
    if (init == nullptr || init->m_pfuncOnSendCor == nullptr || init->m_pfuncOnSendCorOff == nullptr ||
        init->m_pfuncSendPacketToPcm == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[RTP_Init]-- 初始化失败, 确认【 回调函数 】指针是否为空");
        std::exit(EXIT_FAILURE);  // a start-up that cannot carry voice is a failed one
    }
    g_sRtpInit.m_pfuncOnSendCor = init->m_pfuncOnSendCor;
    g_sRtpInit.m_pfuncOnSendCorOff = init->m_pfuncOnSendCorOff;
    g_sRtpInit.m_pfuncSendPacketToPcm = init->m_pfuncSendPacketToPcm;
    s_llPlayMs = 0;
    s_iPromptTick = 0;
    const int first_port = init->m_sLocalAddr.port;
    for (int i = 0; i < kRtpChnMax; ++i) {
        RTP_CHN_INFO_T& c = g_sRtpChnList[i];
        std::memset(&c, 0, sizeof c);
        c.m_iResChn = i;
        c.m_iSocketID = -1;
        c.m_iSocketIDRtcp = -1;
        c.m_iPtime = 20;
        c.m_eFrameDuration = E_PCM_ADPCM_FRAME_DURATION__20_MSEC;
        c.m_sPromptMediaInfo.m_iMediaFd[E_PSTN_DIR] = -1;
        c.m_sPromptMediaInfo.m_iMediaFd[E_NET_DIR] = -1;
        c.broad_fd = -1;
        RtpInitBufRes(c);
        c.m_sPstnCache.m_iLastRecv = -1;
        if (i >= Static_Lines()) continue;
        copy_text(c.m_sAddrLocal.ip, init->m_sLocalAddr.ip);
        c.m_sAddrLocal.port = first_port + 2 * i;
        copy_text(c.m_sAddrRtcpLocal.ip, init->m_sLocalAddr.ip);
        c.m_sAddrRtcpLocal.port = c.m_sAddrLocal.port + 1;
    }
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[RTP_Init]-- Local Port[%d]", first_port);
    return 0;
}

int RTP_ChannelOpen(int call, int channel)
{
    if (!Static_ChnOkLogged(channel)) return -1;
    RTP_CHN_INFO_T& c = g_sRtpChnList[channel];
    if (c.m_eFlagOpen == E_FLAG_ON) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, call, "[RTP_ChannelOpen]-- [ Fail ] RtpChn[%d]rtp通道已经打开,不进行重复打开",
                  channel);
        return -1;
    }
    const int fd = Udp_Socket_Create(c.m_sAddrLocal.port);
    if (fd < 0) {
        std::fprintf(stderr, "[RTP_ChannelOpen]-- CallTh[%d], RtpChn[%d]: %s\n", call, channel, std::strerror(errno));
        return -1;
    }
    c.m_iSocketID = fd;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, call,
              "[RTP_ChannelOpen]-- [ Succ ] SocketID[%d], RtpChn[%d], LocalAddr[%s:%d], RemoteAddr[%s:%d]", fd, channel,
              c.m_sAddrLocal.ip, c.m_sAddrLocal.port, c.m_sAddrRemote.ip, c.m_sAddrRemote.port);
    RtpInitBufRes(c);
    Static_ResetCall(c);
    // A call's silence counts from its own media: the count left by the line's last call
    // would end this one early, or never once it had passed the limit.
    if (USER_INFO_T* user = User_GetByResChn(channel)) user->m_nRtpTimeout = 0;
    c.m_eFlagOpen = E_FLAG_ON;
    c.m_iSsrc = Static_DrawSsrc(channel);
    c.m_eTalkSending = E_FLAG_OFF;
    c.m_sPstnCache.m_iRecvCount = 0;
    return 0;
}

int RTP_ChannelClose(int call, int channel)
{
    if (!Static_ChnOk(channel) || g_sRtpChnList[channel].m_eFlagOpen != E_FLAG_ON) return -1;
    RTP_CHN_INFO_T& c = g_sRtpChnList[channel];
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, call, "[RTP_ChannelClose]-- RtpChn[%d]", channel);
    c.m_eFlagOpen = E_FLAG_OFF;
    Udp_Socket_Close(c.m_iSocketID);
    c.m_iSocketID = -1;
    Static_ResetCall(c);
    return 0;
}

void RTP_Process()
{
    RtpPlayPrompt();
    for (int ch = 0; ch < Static_Lines(); ++ch) Static_RecvNetwork(ch);
    ++s_llPlayMs;
    for (int ch = 0; ch < Static_Lines(); ++ch) Static_PlayOut(ch);
}

int RTP_SetRemoteAddr(int call, int channel, const IPV4_ADDRESS* address)
{
    if (!Static_ChnOkLogged(channel) || address == nullptr) return -1;
    IPV4_ADDRESS& remote = g_sRtpChnList[channel].m_sAddrRemote;
    IPV4_ADDRESS next{};
    copy_text(next.ip, field_view(address->ip));
    next.port = address->port;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, call, "[RTP_SetRemoteAddr]-- RtpChn[%d], OldAddr[%s:%d], NewAddr[%s:%d]", channel,
              remote.ip, remote.port, next.ip, next.port);
    remote = next;
    return 0;
}

IPV4_ADDRESS* RTP_GetAddressLocal(int channel)
{
    return Static_Address(channel, &RTP_CHN_INFO_T::m_sAddrLocal, "RTP_GetAddressLocal", "localAddr");
}

IPV4_ADDRESS* RTP_GetAddressRemote(int channel)
{
    return Static_Address(channel, &RTP_CHN_INFO_T::m_sAddrRemote, "RTP_GetAddressRemote", "RemoteAddr");
}

int RTP_SetCorInfoNetwork(int channel, const SYS_COR_NETWORK_T* settings)
{
    if (!Static_ChnOkLogged(channel) || settings == nullptr) return -1;
    RTP_CHN_INFO_T& c = g_sRtpChnList[channel];
    c.m_sCfgCorNetwork = *settings;
    if (settings->m_eCorType == E_NW_COR_DETECT_TYPE_DISABLE) c.m_sBuffer.m_eBeginToSend = E_FLAG_ON;
    return 0;
}

int RTP_SetCorInfoAudio(int channel, const SYS_COR_AUDIO_T* settings)
{
    if (!Static_ChnOkLogged(channel) || settings == nullptr) return -1;
    g_sRtpChnList[channel].m_sCfgCorAudio = *settings;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, channel, "[RTP_SetCorInfoAudio]-- m_eCorParity[%d],  m_iInhibitTime[%d]",
              settings->m_eCorParity, settings->m_iInhibitTime);
    return 0;
}

int RTP_SetSendOnOff(int channel, RTP_BUF_DIRECT_E direction, SYS_FLAG_E flag)
{
    if (!Static_ChnOk(channel) || direction != E_RTP_BUF_NETWORK) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[RTP_SetSendOnOff]-- error...    ");
        return -1;
    }
    SYS_FLAG_E& on = g_sRtpChnList[channel].m_sBuffer.m_eBeginToSend;
    if (on != flag) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, channel, "[RTP_SetSendOnOff]  eDirect[%s] ,  eFlag[%s]",
                  PrintEnum(g_sPrintBufDirect, direction), PrintEnum(g_sPrintFlag, flag));
    }
    on = flag;
    return 0;
}

int RTP_SetRtpFrameSize(int channel, int ms)
{
    if (!Static_ChnOkLogged(channel)) return -1;
    RTP_CHN_INFO_T& c = g_sRtpChnList[channel];
    if (ms == 0 || ms == 20) {
        c.m_iPtime = 20;
        c.m_eFrameDuration = E_PCM_ADPCM_FRAME_DURATION__20_MSEC;
    } else if (ms == 10) {
        c.m_iPtime = 10;
        c.m_eFrameDuration = E_PCM_ADPCM_FRAME_DURATION__10_MSEC;
    } else if (ms == 30) {
        c.m_iPtime = 30;
        c.m_eFrameDuration = E_PCM_ADPCM_FRAME_DURATION__30_MSEC;
    }
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, channel, "[RTP_SetRtpFrameSize] -- Get Rtp Frame size = %d", c.m_eFrameDuration);
    RES490_SetRtpFrameSize(channel + g_iChnChangeFactor, c.m_eFrameDuration);
    ShareMem_SetRtpLen(channel, c.m_eFrameDuration);
    return 0;
}

int Rtp_GetRtpFrameSize(int channel)
{
    if (!Static_ChnOk(channel)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[Rtp_GetRtpFrameSize] -- error rtp chnannel number\n");
        return -1;
    }
    return g_sRtpChnList[channel].m_eFrameDuration;
}

RTP_CHN_INFO_T* RtpNodeGetByChn(int channel) { return Static_ChnOk(channel) ? &g_sRtpChnList[channel] : nullptr; }

SYS_FLAG_E RTP_GetRtpBusy(int channel)
{
    return Static_ChnOkLogged(channel) ? g_sRtpChnList[channel].m_eBusyFlag : E_FLAG_OFF;
}

int RTP_SetRtpChnCoder(int line)
{
    USER_INFO_T* user = User_GetByUserChn(line);
    if (user == nullptr || !Static_ChnOkLogged(line)) return -1;
    g_sRtpChnList[line].m_eCode = static_cast<codec>(user->m_eUseCoder);
    return 0;
}

SYS_FLAG_E RTP_GetRtpOverFlag(int channel)
{
    return Static_ChnOkLogged(channel) ? g_sRtpChnList[channel].m_eRtpOverFlag : E_FLAG_OFF;
}

int RTP_SetRtpOverFlag(int channel, SYS_FLAG_E flag)
{
    if (!Static_ChnOkLogged(channel)) return -1;
    g_sRtpChnList[channel].m_eRtpOverFlag = flag;
    return 0;
}

SYS_FLAG_E RTP_GetNetCorFlag(int channel)
{
    return Static_ChnOkLogged(channel) ? g_sRtpChnList[channel].m_sBuffer.m_eBeginToSend : E_FLAG_OFF;
}

int RTP_SetPlayVoiceCoder(int channel, codec code)
{
    if (!Static_ChnOkLogged(channel)) return -1;
    g_sRtpChnList[channel].m_sPromptMediaInfo.m_eCode = code;
    return 0;
}

int RTP_SetPttOnOff(int channel, int on)
{
    if (!Static_ChnOkLogged(channel)) return -1;
    RTP_CHN_INFO_T& c = g_sRtpChnList[channel];
    USER_INFO_T* user = User_GetByResChn(channel);
    if (c.m_eFlagOpen != E_FLAG_ON || user == nullptr) return -1;
    if (on) {
        User_SetPTTOn(user);
        c.m_sCfgCorNetwork.m_eCorType = E_NW_COR_DETECT_TYPE_DISABLE;
    } else {
        User_SetPTTOff(user);
        c.m_sCfgCorNetwork.m_eCorType = user->m_sCfgCorNetwork.m_eCorType;
    }
    return 0;
}

int RTP_PacketRecvFromPstn(int dsp_chn, unsigned char* packet, int length, int /*type*/)
{
    const int channel = dsp_chn - g_iChnChangeFactor;
    if (!Static_ChnOk(channel) || packet == nullptr || length < kRtpHeadLen || length > kRtpBufLen) return -1;
    RTP_CHN_INFO_T& c = g_sRtpChnList[channel];
    if (!c.m_bFristPkt) {
        c.m_bFristPkt = 1;
        return -1;
    }
    if (c.m_sPromptMediaInfo.m_iMediaFd[E_NET_DIR] >= 0) return -1;
    USER_INFO_T* user = User_GetByResChn(channel);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, channel, "pUser[NULL]");
        return -1;
    }
    // Muted before anything keeps a copy: the line-side ring must not let the far end hear
    // what the line's own transmitter is sending. A telephone event carries no sound: its
    // payload silenced, it would reach the far end as event 213 and a floor code keyed on the
    // radio would be lost.
    if (Static_MuteLine(*user) && !Static_LineEvent(*user, packet)) {
        const int silence = c.m_eCode == G711_A ? 0xD5 : c.m_eCode == G711_U ? 0xFE : -1;
        if (silence >= 0) std::memset(packet + kRtpHeadLen, silence, static_cast<std::size_t>(length - kRtpHeadLen));
    }
    const bool vox_mode = g_sSysCfgInfo.m_eRequestType == E_USE_VOX;
    const int newest = vox_mode ? Static_CacheStore(c.m_sPstnCache, packet, length) : -1;
    Static_BusyDetect(c, *user, packet, length, channel);

    if (user->m_eUserStatus != E_USER_ON_TALKING || c.m_eFlagOpen != E_FLAG_ON) {
        c.m_eTalkSending = E_FLAG_OFF;
        return 0;
    }
    if (vox_mode) {
        Static_SendFromPstnRing(c, newest);
    } else if (g_sSysCfgInfo.m_eRequestType == E_USE_COR || g_sSysCfgInfo.m_eRequestType == E_USE_NO) {
        Static_SendToNet(c, packet, length);
    }
    return 0;
}

int RtpGetBuffContentBroad(int channel, unsigned char* buffer, int length)
{
    if (!Static_ChnOk(channel) || buffer == nullptr || length < kRtpHeadLen) return -1;
    RTP_CHN_INFO_T& c = g_sRtpChnList[channel];
    c.broad_code = G711_A;
    ++c.broad_seq;
    c.broad_timestamp += static_cast<unsigned int>(length - kRtpHeadLen);
    buffer[0] = 0x80;
    buffer[1] = 8;
    Static_Put16(buffer + 2, c.broad_seq);
    Static_Put32(buffer + 4, c.broad_timestamp);
    Static_Put32(buffer + 8, c.m_iSsrc);
    return 0;
}

int RtpSendToPcm(int channel, unsigned char* packet, int length)
{
    if (!Static_ChnOk(channel) || packet == nullptr || g_sRtpInit.m_pfuncSendPacketToPcm == nullptr) return -1;
    return g_sRtpInit.m_pfuncSendPacketToPcm(g_sRtpChnList[channel].m_iResChn + g_iChnChangeFactor, packet, length,
                                             kDspPacketRtp);
}

int RTP_SetPlayPromptMedia(int channel, codec code, int both)
{
    if (!Static_ChnOkLogged(channel)) return -1;
    RTP_CHN_INFO_T& c = g_sRtpChnList[channel];
    if (c.m_eFlagOpen != E_FLAG_ON) return -2;
    // A prompt started over another one would otherwise leave the first one's files open.
    const bool keyed = c.m_sPromptMediaInfo.m_iMediaFd[E_PSTN_DIR] >= 0;
    Static_ReleasePrompt(c, true);
    PROMPT_MEDIA_INFO_T& p = c.m_sPromptMediaInfo;
    p.m_eCode = code;
    const std::string path = board_path(kPromptFile);
    p.m_iMediaFd[E_PSTN_DIR] = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (p.m_iMediaFd[E_PSTN_DIR] < 0) {
        p.m_iMediaFd[E_PSTN_DIR] = -1;
        if (keyed) ArmEnv_SetPTT(channel, E_FLAG_OFF);
        return -3;
    }
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, channel, "Pstn FD = %d", p.m_iMediaFd[E_PSTN_DIR]);
    ArmEnv_SetPTT(channel, E_FLAG_ON);
    if (both == 1) {
        const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        p.m_iMediaFd[E_NET_DIR] = fd < 0 ? -1 : fd;
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, channel, "Net FD = %d", fd);
    }
    return 0;
}
