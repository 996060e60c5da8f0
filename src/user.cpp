#include "user.h"

#include <cstdio>
#include <cstring>

#include "arm_environment.h"
#include "board.h"
#include "dsp_res.h"
#include "http_interface.h"
#include "line4.h"
#include "multi_log.h"
#include "option_register.h"
#include "print_sys.h"
#include "register.h"
#include "rtp_res.h"
#include "sharememory.h"
#include "sipman.h"
#include "text.h"
#include "user_floor.h"
#include "user_s2p.h"

int g_iCallTh = 0;
int g_iLine4InputEna = -1;

namespace {
std::int64_t (*s_clock_us)() = nullptr;

constexpr long long kCallGuardMs = 1000;   // a second INVITE within this is refused
constexpr int kMakeCallLimitMs = 4998;     // an INVITE without any answer is given up after 5 s
constexpr int kFirstEarlyMediaMs = 6998;   // the first early-media burst lasts 7 s

const char* Static_Status(int status) { return PrintEnum(g_sPrintUserStatus, status); }
const char* Static_Tone(int tone) { return PrintEnum(g_sPrintToneType, tone); }

// Timers count 10 ms steps in m_iCntStatus against settings in seconds.
bool Static_After(const USER_INFO_T* user, int seconds) { return user->m_iCntStatus * 10 >= seconds * 1000; }

const SYS_TIME_T& Static_Timers() { return g_sSysCfgInfo.m_sTimeCfg; }

SYS_LINE_STATUS_E Static_LineStatus(USER_STATUS_E status)
{
    switch (status) {
    case E_USER_ON_RING_180:
    case E_USER_ON_RING_183: return E_LINE_STATUS_RINGING;
    case E_USER_ON_TALKING: return E_LINE_STATUS_TALKING;
    case E_USER_ON_MAKE_CALL: return E_LINE_STATUS_MAKE_NEW_CALL;
    case E_USER_STATUS_RECVING_KEY: return E_LINE_STATUS_REC_KEY;
    case E_USER_STATUS_RECVING_FUNC_KEY: return E_LINE_STATUS_REC_FUNC_KEY;
    case E_USER_PLAY_TONE_BUSY: return E_LINE_STATUS_ON_HOOK;
    case E_USER_PLAY_TONE_DIAL_PTT_ON:
    case E_USER_PLAY_TONE_DIAL_PTT_OFF: return E_LINE_STATUS_DIAL;
    case E_USER_PLAY_TONE_RING_BACK_PTT_ON:
    case E_USER_PLAY_TONE_RING_BACK_PTT_OFF: return E_LINE_STATUS_RING_BACK;
    default: return E_LINE_STATUS_IDLE;
    }
}

// Re-call record of a line: the pending number, armed by a failure or by the far end's BYE.
SYS_RECALL_T* Static_PendingRecall(USER_INFO_T* user)
{
    if (user->m_s4xxRecall.m_eReCallFlag == E_FLAG_ON) return &user->m_s4xxRecall;
    if (user->m_sByeRecall.m_eReCallFlag == E_FLAG_ON) return &user->m_sByeRecall;
    return nullptr;
}
USER_INFO_T* Static_Line(int line)
{
    USER_INFO_T* user = User_GetByUserChn(line);
    if (user == nullptr)
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[User_SetCorParity]-- User_GetByUserChn failed... return");
    return user;
}

int Static_Lines() { return g_iUse_Chn_Max < kMaxUserChn ? g_iUse_Chn_Max : kMaxUserChn; }

// The first line in use that matches, or null.
template <class Match>
USER_INFO_T* Static_Find(Match match)
{
    for (int i = 0; i < Static_Lines(); ++i) {
        USER_INFO_T& user = g_sUserInfo[i];
        if (user.m_iUserChn != -1 && match(user)) return &user;
    }
    return nullptr;
}
}  // namespace

int User_Init()
{
    g_iCallTh = 0;
    Line4_Init(g_hDriverHandler);  // a missing four-wire board leaves the lines usable
    if (SipMan_Init() == -1) {
        std::fprintf(stderr, "sip module init fail\n");
        return -1;
    }
    REGISTER_Init();
    RTP_INIT_T rtp{};
    rtp.m_pfuncOnSendCor = UserSendCorFromVoxNetWork;
    rtp.m_pfuncOnSendCorOff = UserSendCorOffFromVoxNetWork;
    rtp.m_pfuncSendPacketToPcm = RES490_SendRtpPacketToPcm;
    copy_text(rtp.m_sLocalAddr.ip, field_view(g_sSysCfgInfo.m_sDevEnv.m_chLocalIP));
    rtp.m_sLocalAddr.port = g_sSysCfgInfo.m_iRtpPortMin;
    RTP_Init(&rtp);
    AC490_API_REGISTER_INIT dsp{};
    dsp.m_iHandle = g_hDriverHandler;
    copy_text(dsp.m_chDebugIP, field_view(g_sSysCfgInfo.m_sLogInfo.m_DebugAddr.ip));
    dsp.m_iDebugPort = g_sSysCfgInfo.m_sLogInfo.m_iLocalPortDebugDsp;
    dsp.m_eChipType = E_CHIP_12;
    dsp.m_pfuncOnGetKey = User_OnGetKeyFromDsp;
    dsp.m_pfuncSignalEvent = UserDspReportMsg;
    dsp.m_pfuncSendPacketToSip = RTP_PacketRecvFromPstn;
    if (RES490_Start(&dsp) == -1) {
        std::fprintf(stderr, "AC490 init fail\n");
        return -1;
    }
    for (int i = 0; i < Static_Lines(); ++i) User_InitChnData(i);
    return 0;
}

void User_InitChnData(int line)
{
    if (line < 0 || line >= kMaxUserChn) return;
    USER_INFO_T& user = g_sUserInfo[line];
    if (user.m_iUserChn == -1) return;
    user.m_iChnRes = line;
    user.m_iChnDsp = line + g_iChnChangeFactor;
    user.m_iChn4Line = line;
    UserOpenResChannel(&user);
    UserRelease(&user);
    // The maximums are the configuration's (REDIAL_4XX, REDIAL_BYE): only the pending re-calls end.
    UserReCallEnd(&user.m_s4xxRecall);
    UserReCallEnd(&user.m_sByeRecall);
}

void User_SetClock(std::int64_t (*clock_us)()) { s_clock_us = clock_us; }

long long User_NowMs() { return (s_clock_us ? s_clock_us() : monotonic_us()) / 1000; }

void UserOpenResChannel(USER_INFO_T* user)
{
    const int dsp_chn = RES490_GetAvailableChn(user->m_iUserChn);
    user->m_iChnRes = dsp_chn - g_iChnChangeFactor;
    user->m_iChnDsp = dsp_chn;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[UserOpenResChannel]--获取的资源通道为ChnRes[%d] , ChnDsp[%d]",
              user->m_iChnRes, dsp_chn);
    RES490_ChannelOpen(dsp_chn);
}

void UserCloseResChannel(USER_INFO_T* user)
{
    if (user == nullptr || user->m_iChnRes < 0) return;
    RES490_ChannelClose(user->m_iChnRes + g_iChnChangeFactor);
    user->m_iChnRes = -1;
    user->m_iChnDsp = -1;
}

void UserReOpenResChannel(USER_INFO_T* user)
{
    if (user == nullptr) return;
    UserCloseResChannel(user);
    UserOpenResChannel(user);
}

namespace {
// A line's call takes the next call number unless it already has one.
void Static_TakeCallNumber(USER_INFO_T* user)
{
    if (user->m_iCallTh > 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn, "pUser已经创建呼叫句柄");
        return;
    }
    user->m_iCallTh = ++g_iCallTh;
}

void Static_BuildLocalSdp(USER_INFO_T* user)
{
    user->m_sSdpLocal = SIP_SDP{};
    const IPV4_ADDRESS* local = RTP_GetAddressLocal(user->m_iChnRes);
    if (local == nullptr) return;
    user->m_sSdpLocal.a_addr = *local;
    for (int i = 0; i < kMaxCodePriority && i < kSipSdpCoders; ++i) user->m_sSdpLocal.a_coders[i] = user->m_eCodePriority[i];
}

// A four-wire volume: 0 mutes, 1..7 un-mutes and sets it, 8 and above change nothing.
void Static_Line4Volume(int channel, int level, bool input)
{
    if (level < 0 || level >= 8) return;
    if (input) {
        Line4_SetMuteForMic(channel, level == 0 ? 1 : 0);
        if (level != 0) Line4_SetMicVolume(channel, level);
    } else {
        Line4_SetMuteForSpeaker(channel, level == 0 ? 1 : 0);
        if (level != 0) Line4_SetSpkVolume(channel, level);
    }
}
}  // namespace

void UserInitAsCaller(USER_INFO_T* user, const char* callee)
{
    Static_TakeCallNumber(user);
    copy_text(user->m_chCaller, user->m_chUserTel);
    copy_text(user->m_chCallee, callee ? callee : "");
    const int dsp_chn = RES490_GetAvailableChn(user->m_iUserChn);
    user->m_iChnRes = dsp_chn - g_iChnChangeFactor;
    user->m_iChnDsp = dsp_chn;
    Static_BuildLocalSdp(user);
    user->m_eIsCaller = E_IS_CALLER;
}

void UserInitAsCallee(USER_INFO_T* user, const SYS_S2P_CALLINFO_T* info)
{
    Static_TakeCallNumber(user);
    user->m_iChnSip = info->m_iSipChn;
    copy_text(user->m_chCaller, info->m_chCaller);
    copy_text(user->m_chCallee, info->m_chCallee);
    Static_BuildLocalSdp(user);
    user->m_eIsCaller = E_IS_CALLEE;
}

int UserInitCallRes(USER_INFO_T* user, SIP_SDP* sdp)
{
    if (user == nullptr || UserCheckSdp(user->m_iChnSip, sdp) != 0) return -1;
    // Without a DSP channel there are no media to point at the far end: taking its SDP would
    // leave the line believing in a call it cannot carry.
    if (user->m_iChnRes < 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, user->m_iUserChn, "[UserInitCallRes]--请先打开资源通道\n");
        return -1;
    }
    const int coder = UserChooseCoder(user, sdp);
    if (coder < 0) {
        const int* p = user->m_eCodePriority;
        const int* c = sdp->a_coders;
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn,
                  "没有匹配到可用语音编码方式pUser[%d][%d][%d][%d][%d][%d][%d][%d],SdpCode[%d][%d][%d][%d][%d][%d][%d][%d]", p[0], p[1],
                  p[2], p[3], p[4], p[5], p[6], p[7], c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
        return -1;
    }
    user->m_eUseCoder = coder;
    user->m_eSdpMediaType = UserMirrorMedia(sdp->a_media);
    user->m_eGetSDPFlag = E_FLAG_ON;
    user->m_sSdpRemote = *sdp;
    RTP_SetRemoteAddr(user->m_iCallTh, user->m_iChnRes, sdp->fax_use == 1 ? &sdp->fax.fax_addr : &sdp->a_addr);
    return 0;
}

void UserSetSdpAnswer(const USER_INFO_T* user, SIP_SDP* answer)
{
    *answer = SIP_SDP{};
    answer->a_coders[0] = user->m_eUseCoder;
    if (user->m_eDtmfType == E_DTMF_TYPE_RFC2833) answer->a_coders[1] = user->m_iRfcPayLoad;
    answer->a_addr = user->m_sSdpLocal.a_addr;
    answer->a_media = user->m_eSdpMediaType;
}

int UserOpenRtpChn(USER_INFO_T* user)
{
    if (user == nullptr) return -1;
    if (user->m_eRTPOpenFlag == E_FLAG_ON) return 0;
    if (user->m_iChnRes < 0) {
        // Without a DSP channel every step below would address channel -1 + offset.
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, user->m_iUserChn, "[UserOpenRtpChn]--请先打开资源通道\n");
        return -1;
    }
    const int dsp = user->m_iChnRes + g_iChnChangeFactor;
    const SYS_CFG_INFO_T& cfg = g_sSysCfgInfo;
    RES490_SetCodeType(dsp, user->m_eUseCoder);
    RES490_SetEchoCanceler(dsp, cfg.m_sDevEnv.m_eEchoCanceler);
    RES490_SetDtmfTransferType(dsp, user->m_eDtmfType);
    RES490_SetSilenceCompressionMode(dsp, cfg.m_sDevEnv.m_eSlienceCompression);
    RES490_SetComfortNoiseMode(dsp, cfg.m_sComfortNoise.m_eFlag, cfg.m_sComfortNoise.m_iPayLoad, cfg.m_sComfortNoise.m_iExpries);
    RES490_SetAutoGainControl(dsp, cfg.m_sDevEnv.m_eAutoGainControl);
    RES490_SetMaxTimeNoRtp(dsp, cfg.m_sTimeCfg.m_iTLostOfMedia);
    RES490_SetGainPcmInput(dsp, user->m_iDspGainInput);
    RES490_SetGainPcmOutput(dsp, user->m_iDspGainOutput);
    Static_Line4Volume(user->m_iUserChn + 1, user->m_eCodecGainInput, true);
    g_iLine4InputEna = 1;
    Static_Line4Volume(user->m_iUserChn + 1, user->m_eCodecGainOutput, false);
    RTP_SetRtpFrameSize(user->m_iChnRes, SipMan_GetRtpFrameSize(user->m_iChnSip));
    RTP_SetRtpChnCoder(user->m_iUserChn);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[UserSetDefaultResChnInfo]-- DspChn[%d] Coder[%d] Dtmf[%d]", dsp,
              user->m_eUseCoder, user->m_eDtmfType);
    UserReOpenResChannel(user);
    if (user->m_iChnRes < 0) return -1;
    RES490_RtpChannelOpen(user->m_iChnRes + g_iChnChangeFactor);
    RTP_SetCorInfoAudio(user->m_iChnRes, &user->m_sCfgCorAudio);
    RTP_SetCorInfoNetwork(user->m_iChnRes, &user->m_sCfgCorNetwork);
    RTP_ChannelOpen(user->m_iUserChn, user->m_iChnRes);
    user->m_eRTPOpenFlag = E_FLAG_ON;
    return 0;
}

int UserCloseRtpChn(USER_INFO_T* user)
{
    if (user == nullptr) return -1;
    user->m_tInviteTime = User_NowMs();
    if (user->m_iChnRes < 0) {
        user->m_eRTPOpenFlag = E_FLAG_OFF;
        return -1;
    }
    RES490_RtpChannelClose(user->m_iChnRes + g_iChnChangeFactor);
    RTP_ChannelClose(user->m_iUserChn, user->m_iChnRes);
    user->m_eRTPOpenFlag = E_FLAG_OFF;
    return 0;
}

void UserCallEnd(USER_INFO_T* user)
{
    if (user == nullptr) return;
    UserCloseRtpChn(user);
    UserRelease(user);
}

void UserRelease(USER_INFO_T* user)
{
    if (user == nullptr) return;
    user->m_iCallTh = -1;
    user->m_iChnSip = -1;
    user->m_eGetSDPFlag = E_FLAG_OFF;
    user->m_eSdpMediaType = INACTIVE;
    user->m_eIsPlayTone = E_FLAG_OFF;
    user->m_eToneType = E_PLAY_TONE_NULL;
    user->m_eSaveStatus = E_USER_ON_IDLE;
    user->m_iRingBackTimes = 0;
    user->m_eInTalkFlag = E_FLAG_OFF;
    user->m_eRingFirst = E_FLAG_ON;
    user->m_iWaitReqTime = 1;
    user->m_iWaitSendByeTime = 1;
    // A call that ended with the floor granted would otherwise send a release at the next one.
    user->m_eSpeekStatus = E_QUIET_MODE;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn, "放音类型 [%s]", Static_Tone(E_PLAY_TONE_NULL));
    user->m_eRequestFlag = E_FLAG_OFF;
    std::memset(user->m_chCaller, 0, sizeof user->m_chCaller);
    std::memset(user->m_chCallee, 0, sizeof user->m_chCallee);
    user->m_sSdpLocal = SIP_SDP{};
    user->m_sSdpRemote = SIP_SDP{};
    user->m_sDtmfRecv = USER_DTMF_INFO_T{};
    ArmEnv_SetPTT(user->m_iUserChn, 0);
    ShareMem_ResetCallStatus(user->m_iUserChn);
    user->m_ePTTFlag = E_FLAG_OFF;
    user->m_eOffAudioFlag = E_FLAG_OFF;
    user->m_iOffAudioTime = 0;
    user->m_eCortimeFlag = E_FLAG_OFF;
    user->m_ePttType = E_PTT_NULL;
    // Last: entering idle may apply a waiting deletion, which clears the whole record.
    UserSetStatus(user, E_USER_ON_IDLE);
}

void User_Process()
{
    for (int i = 0; i < Static_Lines(); ++i) {
        USER_INFO_T& user = g_sUserInfo[i];
        if (user.m_iUserChn == -1) continue;
        ++user.m_iCntStatus;
        UserCheckStatus(&user);
        UserCheckPttTime(&user);
        UserCheckSampleTime(&user);
        User_SetOffAudio(&user);
    }
    UserAutoEstablishCall();
    UserEndAutoCall();
}

USER_INFO_T* User_GetByUserChn(int line)
{
    if (line < 0 || line >= Static_Lines()) return nullptr;
    USER_INFO_T& user = g_sUserInfo[line];
    return user.m_iUserChn == -1 ? nullptr : &user;
}

USER_INFO_T* User_GetBySipChn(int sip_chn)
{
    return Static_Find([&](const USER_INFO_T& u) { return u.m_iChnSip == sip_chn; });
}

USER_INFO_T* User_GetByRegChn(int reg_chn)
{
    return Static_Find([&](const USER_INFO_T& u) { return u.m_sRegInfo.m_iRegChn == reg_chn; });
}

USER_INFO_T* User_GetByTel(const char* tel)
{
    if (tel == nullptr) return nullptr;
    return Static_Find([&](const USER_INFO_T& u) { return std::strncmp(u.m_chUserTel, tel, 63) == 0; });
}

USER_INFO_T* User_GetByResChn(int res_chn)
{
    return Static_Find([&](const USER_INFO_T& u) { return u.m_iUserChn == res_chn; });
}

USER_REG_INFO_T* User_GetRegInfoByRegChn(int reg_chn)
{
    USER_INFO_T* user = User_GetByRegChn(reg_chn);
    return user ? &user->m_sRegInfo : nullptr;
}

USER_REG_INFO_T* User_GetRegInfoBySipChn(int sip_chn)
{
    USER_INFO_T* user = User_GetBySipChn(sip_chn);
    return user ? &user->m_sRegInfo : nullptr;
}

int User_CheckNotifySipChn(int sip_chn)
{
    USER_INFO_T* user = User_GetBySipChn(sip_chn);
    if (user == nullptr) return 0;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "find user %s by sipchn %d", user->m_chUserTel, sip_chn);
    return -1;
}

int User_GetUseCoder(int sip_chn)
{
    USER_INFO_T* user = User_GetBySipChn(sip_chn);
    return user ? user->m_eUseCoder : -1;
}

SYS_FLAG_E User_GetVoiceCorFlag(int res_chn)
{
    USER_INFO_T* user = User_GetByResChn(res_chn);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, res_chn, "[User_GetVoiceCorFlag]-- User_GetByResChn failed... return on");
        return E_FLAG_ON;
    }
    return user->m_sCfgCorAudio.m_eUseVoiceCor;
}

int User_SetCorParity(int line)
{
    USER_INFO_T* user = Static_Line(line);
    if (user == nullptr) return -1;
    ArmEnv_SetCorParity(line, user->m_sCfgCorAudio.m_eCorParity);
    return 0;
}

int User_SetCorRead(int line) { return Static_Line(line) ? 0 : -1; }

int User_SetBateTime(int line, int ms)
{
    // The board line of a line is its number.
    if (Static_Line(line) == nullptr) return -1;
    ArmEnv_SetBateTime(line, ms);
    return 0;
}

int User_SetPTTOn(USER_INFO_T* user)
{
    if (user == nullptr || user->m_ePTTFlag == E_FLAG_ON) return 0;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn, "Net Vox 按下PTT");
    ArmEnv_SetPTT(user->m_iChn4Line, 1);
    user->m_ePTTFlag = E_FLAG_ON;
    user->m_eCortimeFlag = E_FLAG_OFF;
    user->m_iPTTOnTime = 0;
    user->m_eOffAudioFlag = E_FLAG_OFF;
    // The radio must not hear itself back through the four-wire input while it transmits.
    Line4_SetMuteForMic(user->m_iUserChn + 1, 1);
    return 0;
}

int User_SetPTTOff(USER_INFO_T* user)
{
    if (user == nullptr || user->m_ePTTFlag != E_FLAG_ON) return 0;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn, "Net Vox 释放 PTT");
    ArmEnv_SetPTT(user->m_iChn4Line, 0);
    user->m_ePTTFlag = E_FLAG_OFF;
    user->m_iPTTOnTime = 0;
    user->m_ePttType = E_PTT_NULL;
    user->m_eCortimeFlag = E_FLAG_ON;
    user->m_eOffAudioFlag = E_FLAG_ON;
    user->m_iOffAudioTime = 0;
    return 0;
}

// ---- call progress

void UserSetStatus(USER_INFO_T* user, USER_STATUS_E status)
{
    if (user == nullptr) return;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "用户状态 From %s to %s", Static_Status(user->m_eUserStatus),
              Static_Status(status));
    user->m_eUserStatus = status;
    if (status == E_USER_ON_TALKING) ShareMem_SetUserStatus(user);
    ShareMem_SetLineStatus(user->m_iUserChn, Static_LineStatus(status));
    user->m_iCntStatus = 0;
    if (status == E_USER_ON_TALKING) {
        if (g_sSysCfgInfo.m_eAwakeFlag == E_FLAG_ON && user->m_eInTalkFlag != E_FLAG_ON)
            RTP_SetPlayPromptMedia(user->m_iChnRes, static_cast<codec>(user->m_eUseCoder), user->m_eIsCaller == E_IS_CALLEE ? 1 : 0);
        user->m_eInTalkFlag = E_FLAG_ON;
    }
    ShareMem_SetUserStatus(user);
    // Last: a deletion waiting for the line to become idle clears the whole record.
    if (status == E_USER_ON_IDLE) UserCheckRegStatus(user);
}

int User_PlayToneStart(USER_INFO_T* user, SYS_PLAY_TONE_TYPE_E tone)
{
    if (user == nullptr) return -1;
    if (user->m_iChnRes < 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn, "[User_PlayToneStart]-- fail... 资源通道未打开");
        return -1;
    }
    const int dsp = user->m_iChnRes + g_iChnChangeFactor;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[User_PlayToneStart]--DspChn[%d], ToneType[%s]", dsp,
              Static_Tone(tone));
    int played = tone;
    switch (tone) {
    case E_PLAY_TONE_DAIL: UserSetStatus(user, E_USER_PLAY_TONE_DIAL_PTT_ON); break;
    case E_PLAY_TONE_BUSY: UserSetStatus(user, E_USER_PLAY_TONE_BUSY); break;
    case E_PLAY_TONE_RING_BACK:
        // The radio hears the dial tone in bursts while the far end rings.
        UserSetStatus(user, E_USER_PLAY_TONE_RING_BACK_PTT_ON);
        played = E_PLAY_TONE_DAIL;
        break;
    case E_PLAY_TONE_SEPCIAL_DAIL: UserSetStatus(user, E_USER_ON_REDIAL); break;
    default: break;
    }
    User_SetPTTOn(user);
    if (user->m_eIsPlayTone == E_FLAG_ON) UserPlayToneStop(user);
    if (RES490_PlayTone(dsp, played) == -1) return -1;
    user->m_eIsPlayTone = E_FLAG_ON;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "放音类型 From %s to %s", Static_Tone(user->m_eToneType),
              Static_Tone(tone));
    user->m_eToneType = tone;
    return 0;
}

void UserPlayToneStop(USER_INFO_T* user)
{
    if (user == nullptr) return;
    const int dsp = user->m_iChnRes + g_iChnChangeFactor;
    if (user->m_eIsPlayTone != E_FLAG_ON) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn, "[UserPlayToneStop]-- 没有播放呼叫进程音DspChn[%d], 不需要停止", dsp);
        return;
    }
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[UserPlayToneStop]-- 停止放音[%s]", Static_Tone(user->m_eToneType));
    if (user->m_iChnRes >= 0) RES490_StopPlayTone(dsp);
    user->m_eIsPlayTone = E_FLAG_OFF;
    user->m_eToneType = E_PLAY_TONE_NULL;
}

int UserMakeCall(USER_INFO_T* user, const char* callee)
{
    if (user == nullptr) return -1;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[UserMakeCall]-- pUser[%s]发起呼叫, Callee[%s]", user->m_chUserTel,
              callee ? callee : "");
    if (callee == nullptr || callee[0] == '\0') return -1;
    if (UserWithinCallGuard(user)) return -1;
    user->m_tInviteTime = User_NowMs();
    UserSetStatus(user, E_USER_ON_MAKE_CALL);
    UserInitAsCaller(user, callee);
    user->m_eCallMode = user->m_iPttMode == 1 ? E_MODE_HALF : E_MODE_FULL;
    int chn = -1;
    if (SipMan_SendInvite(&chn, user->m_chCaller, user->m_chCallee, &user->m_sSdpLocal, user->m_iRtpPtime, user->m_iUserChn) < 0) {
        UserRelease(user);
        return -1;
    }
    user->m_iChnSip = chn;
    return 0;
}

bool UserWithinCallGuard(const USER_INFO_T* user)
{
    return user->m_tInviteTime != 0 && User_NowMs() - user->m_tInviteTime <= kCallGuardMs;
}

int UserGetKeyOver(USER_INFO_T* user, const char* number)
{
    if (user == nullptr) return -1;
    if (user->m_sRegInfo.m_eRegResult != E_REG_SUCC) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn, "[UserOnGetKeyOver] -- 注册不成功，返回");
        User_PlayToneStart(user, E_PLAY_TONE_BUSY);
        return -1;
    }
    if (user->m_iUserChn == 0 && Broad_GetStatus() != 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn, "[UserOnGetKeyOver] -- 正在广播, 不允许呼叫, 返回");
        return -1;
    }
    return UserMakeCall(user, number);
}

void UserReCallEnd(SYS_RECALL_T* recall)
{
    if (recall == nullptr) return;
    recall->m_eReCallFlag = E_FLAG_OFF;
    std::memset(recall->m_chPeerCall, 0, sizeof recall->m_chPeerCall);
    recall->m_iReCallTimes = 0;
}

void UserCheckRecall(SYS_RECALL_T* recall, USER_INFO_T* user)
{
    if (recall == nullptr || user == nullptr || recall->m_iReCallMax == 0) return;
    if (recall->m_iReCallTimes >= recall->m_iReCallMax) {
        UserReCallEnd(recall);
        return;
    }
    recall->m_eReCallFlag = E_FLAG_ON;
    ++recall->m_iReCallTimes;
    if (recall->m_chPeerCall[0] == '\0')
        copy_text(recall->m_chPeerCall, user->m_eIsCaller == E_IS_CALLER ? user->m_chCallee : user->m_chCaller);
}

void UserJudgeByeRecall(USER_INFO_T* user)
{
    if (user == nullptr) return;
    SYS_RECALL_T& fail = user->m_s4xxRecall;
    SYS_RECALL_T& bye = user->m_sByeRecall;
    if (fail.m_eReCallFlag == E_FLAG_OFF && bye.m_eReCallFlag == E_FLAG_ON) ++bye.m_iReCallTimes;
    if (fail.m_eReCallFlag == E_FLAG_OFF && bye.m_eReCallFlag == E_FLAG_OFF) UserReCallEnd(&bye);
    if (bye.m_iReCallTimes > bye.m_iReCallMax) UserReCallEnd(&bye);
}

namespace {

// The no-answer timer of the ringing states: the far end is cancelled once T_NO_ANSWER has
// passed in them; its 487 then ends the call.
void Static_CheckRingBackTime(USER_INFO_T* user)
{
    ++user->m_iRingBackTimes;
    const int limit = Static_Timers().m_iTNoAnswer;
    if (user->m_iRingBackTimes * 10 < limit * 1000) return;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn,
              "[UserCheckRingBackTime] -- 久叫不应时间到，放弃呼叫SysGetDialTonePTTOnTime = [%d] , pUser->m_iRingBackTimes = [%d]", limit,
              user->m_iRingBackTimes);
    UserPlayToneStop(user);
    if (user->m_eRTPOpenFlag == E_FLAG_ON) {
        UserCloseRtpChn(user);
        User_SetPTTOff(user);
    }
    SipMan_SendCancel(user->m_iChnSip, user->m_iUserChn);
    user->m_iRingBackTimes = 0;
}

void Static_StepMakeCall(USER_INFO_T* user)
{
    if (user->m_iCntStatus * 10 <= kMakeCallLimitMs) return;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn, "[UserStatusInMakeCall] -- 呼叫超时");
    // The far end may still be working on the INVITE: it is cancelled, and a 2xx that crosses
    // the CANCEL is acknowledged and ended by the stack, which knows the channel no more.
    const int chn = user->m_iChnSip;
    if (chn >= 0) {
        SipMan_SendCancel(chn, user->m_iUserChn);
        SipMan_ResetChn(chn);
        --g_sStatisticInfo.m_sSipChn.m_iChnCur;
    }
    UserRelease(user);
}

void Static_StepRing183(USER_INFO_T* user)
{
    const SYS_TIME_T& t = Static_Timers();
    if (user->m_eRTPOpenFlag == E_FLAG_ON) {
        bool end = false;
        if (user->m_eRingFirst == E_FLAG_ON) {
            if (user->m_iCntStatus * 10 > kFirstEarlyMediaMs) {
                user->m_eRingFirst = E_FLAG_OFF;
                end = true;
            }
        } else {
            end = Static_After(user, t.m_iTRingBackPTTOn);
        }
        if (end) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn,
                      "[UserStatusInRingBack183] --PTT释放,放回铃音暂停,CntStatus[%d], SysGetRingBackPTTOnTime[%d]", user->m_iCntStatus,
                      t.m_iTRingBackPTTOn);
            UserCloseRtpChn(user);
            User_SetPTTOff(user);
            UserSetStatus(user, E_USER_ON_RING_183);
        }
    } else if (Static_After(user, t.m_iTRingBackPTTOff)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn,
                  "[UserStatusInRingBack183] -- PTT按下,放回铃音继续, CntStatus[%d], SysGetRingBackPTTOffTime[%d]", user->m_iCntStatus,
                  t.m_iTRingBackPTTOff);
        UserOpenRtpChn(user);
        User_SetPTTOn(user);
        UserSetStatus(user, E_USER_ON_RING_183);
        user->m_sDtmfRecv = USER_DTMF_INFO_T{};
    }
    Static_CheckRingBackTime(user);
}

void Static_StepBusyTone(USER_INFO_T* user)
{
    if (!Static_After(user, Static_Timers().m_iTBusyTone)) return;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn, "[UserStatusInPlayBusyTone] -- 结束放忙音 SysGetBusyToneTime[%d] , m_iCntStatus[%d]",
              Static_Timers().m_iTBusyTone, user->m_iCntStatus);
    UserPlayToneStop(user);
    UserCallEnd(user);
    if (user->m_iUserChn == 0 && Broad_GetStatus() != 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn, "[UserStatusInPlayBusyTone] -- 正在广播, 不允许追呼, 返回");
        return;
    }
    if (Static_PendingRecall(user) != nullptr) UserSetStatus(user, E_USER_ON_REDIAL);
}

void Static_StepRedial(USER_INFO_T* user)
{
    if (!Static_After(user, user->m_iReCallInterval)) return;
    SYS_RECALL_T* recall = Static_PendingRecall(user);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn,
              "[UserStatusOnReCall]-- 追呼时间间隔到达 , 发起追呼 , chUserTel[%s]  pUser->m_iReCallInterval[%d], pUser->m_iCntStatus[%d]",
              user->m_chUserTel, user->m_iReCallInterval, user->m_iCntStatus);
    if (recall != nullptr) {
        char number[sizeof recall->m_chPeerCall];
        copy_text(number, recall->m_chPeerCall);
        UserMakeCall(user, number);
    }
}

void Static_StepGetKey(USER_INFO_T* user)
{
    if (!Static_After(user, Static_Timers().m_iTKeyInterval)) return;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn, "[UserStatusInGetKey] -- 按键超时");
    char number[sizeof user->m_sDtmfRecv.m_chDtmfBuf];
    copy_text(number, user->m_sDtmfRecv.m_chDtmfBuf);
    user->m_sDtmfRecv = USER_DTMF_INFO_T{};
    UserGetKeyOver(user, number);
    // Nothing dialled (no digits, or a broadcast bars the call): the line does not wait on.
    if (user->m_eUserStatus == E_USER_STATUS_RECVING_KEY) UserRelease(user);
}

}  // namespace

void UserCheckStatus(USER_INFO_T* user)
{
    if (user == nullptr) return;
    const SYS_TIME_T& t = Static_Timers();
    switch (user->m_eUserStatus) {
    case E_USER_ON_IDLE: user->m_eCallMode = E_MODE_NULL; break;
    case E_USER_ON_MAKE_CALL: Static_StepMakeCall(user); break;
    case E_USER_ON_RING_183: Static_StepRing183(user); break;
    case E_USER_PLAY_TONE_RING_BACK_PTT_ON:
        if (Static_After(user, t.m_iTRingBackPTTOn)) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn,
                      "[UserStatusInRingBackPTTOn] --PTT释放,放回铃音暂停,CntStatus[%d], SysGetRingBackPTTOnTime[%d]", user->m_iCntStatus,
                      t.m_iTRingBackPTTOn);
            User_SetPTTOff(user);
            UserSetStatus(user, E_USER_PLAY_TONE_RING_BACK_PTT_OFF);
        }
        Static_CheckRingBackTime(user);
        break;
    case E_USER_PLAY_TONE_RING_BACK_PTT_OFF:
        if (Static_After(user, t.m_iTRingBackPTTOff)) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn,
                      "[UserStatusInRingBackPTTOff] -- PTT按下,放回铃音继续, CntStatus[%d], SysGetRingBackPTTOffTime[%d]", user->m_iCntStatus,
                      t.m_iTRingBackPTTOff);
            User_SetPTTOn(user);
            UserSetStatus(user, E_USER_PLAY_TONE_RING_BACK_PTT_ON);
            user->m_sDtmfRecv = USER_DTMF_INFO_T{};
        }
        Static_CheckRingBackTime(user);
        break;
    case E_USER_ON_TALKING: UserStatusOnTalking(user); break;
    case E_USER_ON_REDIAL: Static_StepRedial(user); break;
    case E_USER_STATUS_RECVING_KEY: Static_StepGetKey(user); break;
    case E_USER_STATUS_RECVING_FUNC_KEY:
        if (Static_After(user, t.m_iTKeyInterval)) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn,
                      "[UserStatusInGetFuncKey]-- 接收功能键超时 SysGetKeyInterval[%d], pUser->m_iCntStatus[%d]", t.m_iTKeyInterval,
                      user->m_iCntStatus);
            user->m_sDtmfRecv = USER_DTMF_INFO_T{};
            UserSetStatus(user, user->m_eSaveStatus);
        }
        break;
    case E_USER_PLAY_TONE_BUSY: Static_StepBusyTone(user); break;
    case E_USER_PLAY_TONE_DIAL_PTT_ON:
        if (Static_After(user, t.m_iTDialTonePTTOn)) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn,
                      "[UserStatusInPlayDailTonePTTOn] -- 释放PTT 继续放音 CntStatus[%d], SysGetDialTonePTTOnTime[%d]", user->m_iCntStatus,
                      t.m_iTDialTonePTTOn);
            User_SetPTTOff(user);
            UserSetStatus(user, E_USER_PLAY_TONE_DIAL_PTT_OFF);
        }
        break;
    case E_USER_PLAY_TONE_DIAL_PTT_OFF:
        if (Static_After(user, t.m_iTDialTonePTTOff)) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn,
                      "[UserStatusInPlayDailTonePTTOff] -- 收号超时, CntStatus[%d], SysGetDialTonePTTOffTime[%d]", user->m_iCntStatus,
                      t.m_iTDialTonePTTOff);
            User_PlayToneStart(user, E_PLAY_TONE_BUSY);
        }
        break;
    default: break;
    }
}
