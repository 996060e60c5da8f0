// The RTP layer as the main loop drives it: every RTP_Process call is one millisecond of the
// test's own clock; far ends are real UDP sockets on loopback; the DSP, the line module's
// voice callbacks, the floor calls and the BYE are captured with the millisecond they came at.
#include <fcntl.h>
#include <poll.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "board_env_fixture.h"
#include "fifo.h"
#include "g711.h"
#include "rtp_loopback.h"
#include "rtp_res.h"
#include "sharememory.h"
#include "text.h"
#include "udp_peer.h"
#include "user.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Event {
    int ms;
    int a;
    int b;
    bool operator==(const Event&) const = default;
};
struct DspPacket {
    int ms;
    int dsp_chn;
    Bytes bytes;
};

int g_now = 0;  // the test's millisecond clock
std::vector<DspPacket> g_dsp;
std::vector<Event> g_voice_start, g_voice_stop, g_frame_size, g_bye, g_request, g_release, g_voice_first;
bool g_line_keys_on_voice = true;  // the voice-start callback does what the line module does

int OnSendCor(int res_chn)
{
    g_voice_start.push_back({g_now, res_chn, 0});
    if (g_line_keys_on_voice) RTP_SetSendOnOff(res_chn, E_RTP_BUF_NETWORK, E_FLAG_ON);
    return 0;
}
int OnSendCorOff(int res_chn)
{
    g_voice_stop.push_back({g_now, res_chn, 0});
    RTP_SetSendOnOff(res_chn, E_RTP_BUF_NETWORK, E_FLAG_OFF);
    return 0;
}
int SendToDsp(int dsp_chn, unsigned char* packet, int length, int type)
{
    EXPECT_EQ(type, kDspPacketRtp);
    g_dsp.push_back({g_now, dsp_chn, Bytes(packet, packet + length)});
    return 0;
}

}  // namespace

// The link-time doubles (see cmake/area_rtp.cmake).
extern "C" int __wrap__Z22RES490_SetRtpFrameSizeii(int dsp_chn, int duration)
{
    g_frame_size.push_back({g_now, dsp_chn, duration});
    return 0;
}
extern "C" int __wrap__Z14SipMan_SendByeii(int sip_chn, int line)
{
    g_bye.push_back({g_now, sip_chn, line});
    return 0;
}
extern "C" int __wrap__Z14UserRequestProi(int sip_chn)
{
    g_request.push_back({g_now, sip_chn, 0});
    return 0;
}
extern "C" int __wrap__Z14UserReleaseProi(int sip_chn)
{
    g_release.push_back({g_now, sip_chn, 0});
    return 0;
}
extern "C" int __wrap__Z19User_PstnVoiceFirstP11USER_INFO_T(USER_INFO_T* user)
{
    g_voice_first.push_back({g_now, user->m_iUserChn, 0});
    return 0;
}
extern "C" int __wrap__Z13User_SetPTTOnP11USER_INFO_T(USER_INFO_T* user)
{
    user->m_ePTTFlag = E_FLAG_ON;
    return 0;
}
extern "C" int __wrap__Z14User_SetPTTOffP11USER_INFO_T(USER_INFO_T* user)
{
    user->m_ePTTFlag = E_FLAG_OFF;
    return 0;
}

namespace {

constexpr int kLines = 4;
constexpr int kDspOffset = 1;
constexpr int kEventPt = 101;

unsigned int get16(const Bytes& b, int at) { return (b[at] << 8) | b[at + 1]; }
std::uint32_t get32(const Bytes& b, int at) { return (std::uint32_t{get16(b, at)} << 16) | get16(b, at + 2); }
Bytes as_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// An RTP packet of the far end or the DSP: payload type, sequence, timestamp, payload bytes.
Bytes rtp(int pt, unsigned int seq, std::uint32_t ts, int payload_len, unsigned char fill)
{
    Bytes b(12 + payload_len, fill);
    b[0] = 0x80;
    b[1] = static_cast<unsigned char>(pt);
    b[2] = seq >> 8, b[3] = seq & 0xFF;
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<unsigned char>(ts >> (24 - 8 * i));
    for (int i = 8; i < 12; ++i) b[i] = 0xEE;  // the DSP's or far end's own SSRC
    return b;
}
// Loud A-law speech: far above every voice threshold.
Bytes voice(unsigned int seq, std::uint32_t ts, int payload_len = 160)
{
    Bytes b = rtp(8, seq, ts, payload_len, 0);
    for (int i = 0; i < payload_len; ++i) b[12 + i] = linear2alaw(i % 2 ? 12000 : -12000);
    return b;
}
Bytes silence(unsigned int seq, std::uint32_t ts, int payload_len = 160) { return rtp(8, seq, ts, payload_len, 0xD5); }
Bytes event(int pt, int code) { return rtp(pt, 7, 0, 4, static_cast<unsigned char>(code)); }

class RtpTest : public BoardEnvTest {
protected:
    void SetUp() override
    {
        BoardEnvTest::SetUp();
        Board(E_SYS_4W, 1, kLines);
        g_iChnChangeFactor = kDspOffset;
        g_sSysCfgInfo.m_sTimeCfg.m_iTLostOfMedia = 5;
        g_sSysCfgInfo.m_eSysDealLOM = E_LOM_DEAL_RELEASE;
        g_sSysCfgInfo.m_eRequestType = E_USE_COR;
        g_sSysCfgInfo.m_iRelTime = 1000;
        g_sSysCfgInfo.m_eSensitivity = E_VOX_SENSITIVITY_0;
        copy_text(g_sDBInfo.m_sSysCfgInfo.m_chrequestpro, "*");
        copy_text(g_sDBInfo.m_sSysCfgInfo.m_chreleasepro, "#");
        for (int i = 0; i < kLines; ++i) {
            USER_INFO_T& u = g_sUserInfo[i];
            u.m_iChnRes = i;
            u.m_iChnDsp = i + kDspOffset;
            u.m_iChnSip = 40 + i;
            u.m_eUserStatus = E_USER_ON_TALKING;
            u.m_iRfcPayLoad = kEventPt;
            u.m_eUseCoder = G711_A;
            u.m_RTPflag = 2;  // packet time already learnt unless a test says otherwise
            u.m_sCfgCorAudio.m_eUseVoiceCor = E_FLAG_ON;
            u.m_sCfgCorNetwork = {E_NW_COR_DETECT_TYPE_DISABLE, 0, E_VOX_SENSITIVITY_0, 600, 100, 60, 0};
        }
        g_now = 0;
        g_line_keys_on_voice = true;
        for (auto* v : {&g_voice_start, &g_voice_stop, &g_frame_size, &g_bye, &g_request, &g_release, &g_voice_first})
            v->clear();
        g_dsp.clear();
        shm = {};
        g_pCgiShm = &shm;

        RTP_INIT_T init{OnSendCor, OnSendCorOff, SendToDsp, nullptr, nullptr, {"127.0.0.1", FreePorts()}};
        ASSERT_EQ(RTP_Init(&init), 0);
        for (int i = 0; i < kLines; ++i) {
            ASSERT_EQ(RTP_SetRemoteAddr(1, i, &far_addr), 0);
            // Every channel has seen the DSP's first packet (dropped) unless a test wants it.
            g_sRtpChnList[i].m_bFristPkt = 1;
        }
    }
    void TearDown() override
    {
        for (int i = 0; i < kMaxUserChn; ++i) RTP_ChannelClose(1, i);
        g_pCgiShm = nullptr;
        g_iChnChangeFactor = 0;
        BoardEnvTest::TearDown();
    }

    // A first RTP port with the ports of every line free on loopback.
    static int FreePorts() { return rtp_free_ports(21000, 2 * kLines); }
    void Open(int ch, int cor_type)
    {
        g_sUserInfo[ch].m_sCfgCorNetwork.m_eCorType = cor_type;
        ASSERT_EQ(RTP_SetCorInfoNetwork(ch, &g_sUserInfo[ch].m_sCfgCorNetwork), 0);
        ASSERT_EQ(RTP_ChannelOpen(1, ch), 0);
        RTP_SetRtpChnCoder(ch);
    }
    static void Step(int ms)
    {
        for (int i = 0; i < ms; ++i) {
            ++g_now;
            RTP_Process();
        }
    }
    // One datagram from a sender to a channel's RTP port; returns once the channel can read it.
    static void SendTo(int fd, int ch, const Bytes& b)
    {
        ASSERT_TRUE(rtp_send_to_channel(fd, ch, b.data(), b.size()));
    }
    void FarSend(int ch, const Bytes& b) { SendTo(far.fd, ch, b); }
    // A line packet as the DSP pump hands it over.
    static int FromLine(int ch, Bytes b) { return RTP_PacketRecvFromPstn(ch + kDspOffset, b.data(), int(b.size()), kDspPacketRtp); }
    std::vector<Bytes> FarGot()
    {
        std::vector<Bytes> out;
        for (const std::string& s : far.take(200)) out.push_back(as_bytes(s));
        return out;
    }

    UdpPeer far;
    IPV4_ADDRESS far_addr{"127.0.0.1", far.port};
    QVD_CGI_SHARE_MEMORY_T shm{};
};

// A VOX line: silence, 20 packets of voice, silence. Play-out starts with the sixth voice
// packet, hands the DSP the run rewound by the pre-voice time, one packet per packet time
// from that millisecond on, and stops once the hang time of silence has been played out.
TEST_F(RtpTest, VoxPlaysTheRewoundRunPacedAndStopsAfterTheHangTime)
{
    struct Case {
        int ptime;       // the far end's packet time, learnt from its first two packets
        int pre_voice;   // ms
        int hang;        // ms
        int silent_before;
        int want_first;  // index of the first far-end packet played
        int want_last;
    };
    const Case cases[] = {
        // 6th voice packet is #15; 100 ms back is #10; the 31st silent packet (#60) ends it.
        {20, 100, 600, 10, 10, 59},
        // 10 ms packets are paced at 10 ms: 100 ms is 10 packets back; 21st silent (#50) ends.
        {10, 100, 200, 10, 5, 49},
        // A pre-voice time longer than what was received rewinds only to the first packet.
        {30, 2000, 90, 10, 0, 32},
        // The rewind from slot 2 of a ring that has wrapped goes back to its top slots.
        {20, 200, 20, 247, 242, 267},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ptime);
        SetUp();
        g_sUserInfo[0].m_RTPflag = 0;
        g_sUserInfo[0].m_sCfgCorNetwork.m_iPreVoiceBuf = c.pre_voice;
        g_sUserInfo[0].m_sCfgCorNetwork.m_iTimeVoxHangUp = c.hang;
        Open(0, E_NW_COR_DETECT_TYPE_VOX);
        const int total = c.silent_before + 20 + c.hang / c.ptime + 10;
        std::vector<int> arrival(total);
        for (int k = 0; k < total; ++k) {
            const bool speech = k >= c.silent_before && k < c.silent_before + 20;
            const std::uint32_t ts = 8u * c.ptime * k;
            FarSend(0, speech ? voice(1000 + k, ts) : silence(1000 + k, ts));
            arrival[k] = g_now + 1;
            Step(c.ptime);
        }
        Step(1000);

        const int sixth = c.silent_before + 5;
        ASSERT_EQ(g_voice_start, (std::vector<Event>{{arrival[sixth], 0, 0}}));
        ASSERT_EQ(g_dsp.size(), static_cast<std::size_t>(c.want_last - c.want_first + 1));
        for (std::size_t i = 0; i < g_dsp.size(); ++i) {
            EXPECT_EQ(g_dsp[i].dsp_chn, kDspOffset);
            EXPECT_EQ(get16(g_dsp[i].bytes, 2), 1000u + c.want_first + i) << i;
            if (i > 0) {
                EXPECT_EQ(g_dsp[i].ms - g_dsp[i - 1].ms, c.ptime) << i;
            }
        }
        EXPECT_EQ(g_dsp.front().ms, arrival[sixth]) << "paced from its own start";
        EXPECT_EQ(g_dsp[static_cast<std::size_t>(sixth - c.want_first)].ms - arrival[sixth],
                  (sixth - c.want_first) * c.ptime)
            << "the packet that started play-out waits the pre-voice time and no more";
        EXPECT_EQ(g_voice_stop, (std::vector<Event>{{g_dsp.back().ms + c.ptime, 0, 0}}));
        EXPECT_EQ(g_sRtpChnList[0].m_iPtime, c.ptime);
        TearDown();
    }
}

// When the call is over during play-out no more datagrams are read; the ring plays out, then
// voice stop is signalled at every packet time until the line logic clears the flag.
TEST_F(RtpTest, CallOverPlaysTheRingOutThenSignalsVoiceStop)
{
    g_sUserInfo[0].m_sCfgCorNetwork.m_iTimeVoxHangUp = 5000;
    Open(0, E_NW_COR_DETECT_TYPE_VOX);
    for (unsigned int k = 0; k < 20; ++k) {
        FarSend(0, voice(1000 + k, 160 * k));
        Step(20);
    }
    ASSERT_EQ(RTP_SetRtpOverFlag(0, E_FLAG_ON), 0);
    FarSend(0, voice(1020, 3200));
    Step(600);
    // Play-out began at the sixth packet, rewound to the first; every packet stored before
    // the call ended is played, the newest included.
    ASSERT_EQ(g_dsp.size(), 20u);
    for (unsigned int i = 0; i < 20; ++i) EXPECT_EQ(get16(g_dsp[i].bytes, 2), 1000 + i);
    ASSERT_GE(g_voice_stop.size(), 2u);
    EXPECT_EQ(g_voice_stop[0].ms, g_dsp.back().ms + 20);
    for (std::size_t i = 1; i < g_voice_stop.size(); ++i) EXPECT_EQ(g_voice_stop[i].ms - g_voice_stop[i - 1].ms, 20);
    pollfd p{g_sRtpChnList[0].m_iSocketID, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1) << "the last datagram is still waiting";

    ASSERT_EQ(RTP_SetRtpOverFlag(0, E_FLAG_OFF), 0);
    const std::size_t stops = g_voice_stop.size();
    Step(100);
    EXPECT_EQ(g_voice_stop.size(), stops);
    EXPECT_EQ(poll(&p, 1, 0), 0);
}

// The packet time from the far end's first two packets, handed to the DSP channel and the
// shared memory; later packets leave it alone.
TEST_F(RtpTest, PacketTimeIsLearntFromTheFirstTwoPackets)
{
    struct Case {
        unsigned int seq1;
        std::uint32_t ts1;
        unsigned int seq2;
        std::uint32_t ts2;
        int want_ms;
    };
    const Case cases[] = {
        {5, 1000, 7, 1480, 30},  {5, 1000, 6, 1240, 30}, {5, 1000, 6, 1080, 10},
        {5, 1000, 6, 1160, 20},  {5, 1000, 5, 1160, 20},  // the same sequence number twice
        {5, 1000, 6, 1400, 20},                           // 50 ms is no packet time here
        {65535, 0xFFFFFFD8u, 0, 40, 10},                  // both counters wrap
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ts2);
        SetUp();
        g_sUserInfo[2].m_RTPflag = 0;
        Open(2, E_NW_COR_DETECT_TYPE_DISABLE);
        FarSend(2, silence(c.seq1, c.ts1));
        Step(1);
        EXPECT_TRUE(g_frame_size.empty());
        FarSend(2, silence(c.seq2, c.ts2));
        Step(1);
        FarSend(2, silence(c.seq2 + 1, c.ts2 + 240));
        Step(1);
        const int duration = c.want_ms / 10;
        EXPECT_EQ(g_frame_size, (std::vector<Event>{{2, 2 + kDspOffset, duration}}));
        EXPECT_EQ(g_sRtpChnList[2].m_iPtime, c.want_ms);
        EXPECT_EQ(shm.m_sLineStatus[2].m_eRtpLen, duration);
        TearDown();
    }
}

// Line voice reaches the far end with the channel's own sequence (from 0, wrapping at 16 bits),
// timestamps one frame apart and an SSRC of its own, muted while the line must not be heard.
TEST_F(RtpTest, LineVoiceGoesOutWithTheChannelsOwnHeaderAndMuting)
{
    Open(1, E_NW_COR_DETECT_TYPE_VOX);
    Open(3, E_NW_COR_DETECT_TYPE_VOX);
    g_sRtpChnList[1].m_bFristPkt = 0;
    EXPECT_EQ(FromLine(1, voice(9, 9)), -1) << "the first packet since start-up is dropped";
    for (int i = 0; i < 3; ++i) ASSERT_EQ(FromLine(1, voice(500 + i, 7777)), 0);
    ASSERT_EQ(FromLine(3, voice(1, 1)), 0);
    std::vector<Bytes> got = FarGot();
    ASSERT_EQ(got.size(), 4u);
    const std::uint32_t ssrc = get32(got[0], 8);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(get16(got[i], 2), unsigned(i));
        EXPECT_EQ(get32(got[i], 4), 160u * i);
        EXPECT_EQ(get32(got[i], 8), ssrc);
        EXPECT_EQ(got[i][1], 8) << "payload type as the DSP wrote it";
    }
    EXPECT_EQ(get16(got[3], 2), 0u) << "channel 3 counts on its own";
    EXPECT_NE(get32(got[3], 8), ssrc) << "each channel is a source of its own";

    // The counter wraps with 65535 sent like any other (a far end would count it lost);
    // a 30 ms channel steps its timestamp by 240.
    g_sRtpChnList[1].m_iRtpSeq = 65533;
    RTP_SetRtpFrameSize(1, 30);
    for (int i = 0; i < 4; ++i) FromLine(1, voice(1, 1, 240));
    got = FarGot();
    ASSERT_EQ(got.size(), 4u);
    const unsigned int want_seq[] = {65533, 65534, 65535, 0};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(get16(got[i], 2), want_seq[i]);
    EXPECT_EQ(get32(got[1], 4) - get32(got[0], 4), 240u);

    struct Case {
        int codec;
        SYS_FLAG_E ptt;
        int cor_type;
        SPEEK_RIGHT_E floor;
        SYS_FLAG_E handset;
        int want;  // the payload byte, -1 untouched
    };
    const Case cases[] = {
        {G711_A, E_FLAG_ON, E_NW_COR_DETECT_TYPE_VOX, E_QUIET_MODE, E_FLAG_OFF, 0xD5},
        {G711_U, E_FLAG_ON, E_NW_COR_DETECT_TYPE_VOX, E_QUIET_MODE, E_FLAG_OFF, 0xFE},
        {G729, E_FLAG_ON, E_NW_COR_DETECT_TYPE_VOX, E_QUIET_MODE, E_FLAG_OFF, -1},
        {G711_A, E_FLAG_OFF, E_NW_COR_DETECT_TYPE_VOX, E_QUIET_MODE, E_FLAG_OFF, -1},
        {G711_A, E_FLAG_OFF, E_NW_COR_DETECT_TYPE_DISABLE, E_QUIET_MODE, E_FLAG_ON, 0xD5},
        {G711_A, E_FLAG_OFF, E_NW_COR_DETECT_TYPE_DISABLE, E_REQ_SPEEK_SUCC, E_FLAG_ON, -1},
        {G711_A, E_FLAG_OFF, E_NW_COR_DETECT_TYPE_DISABLE, E_QUIET_MODE, E_FLAG_OFF, -1},
    };
    for (const Case& c : cases) {
        USER_INFO_T& u = g_sUserInfo[1];
        g_sRtpChnList[1].m_eCode = static_cast<codec>(c.codec);
        u.m_ePTTFlag = c.ptt;
        u.m_sCfgCorNetwork.m_eCorType = c.cor_type;
        u.m_eSpeekStatus = c.floor;
        u.m_eFlgHandsetVoiceRight = c.handset;
        const Bytes sent = voice(1, 1, 240);
        FromLine(1, sent);
        got = FarGot();
        ASSERT_EQ(got.size(), 1u) << c.codec << " " << c.ptt << " " << c.cor_type;
        Bytes want(sent.begin() + 12, sent.end());
        if (c.want >= 0) want.assign(240, static_cast<unsigned char>(c.want));
        EXPECT_EQ(Bytes(got[0].begin() + 12, got[0].end()), want) << c.codec << " " << c.ptt << " " << c.cor_type;
    }

    // Nothing is sent while the line is not talking, nor by a request mode that sends nothing.
    g_sUserInfo[1].m_eUserStatus = E_USER_ON_IDLE;
    FromLine(1, voice(1, 1));
    g_sUserInfo[1].m_eUserStatus = E_USER_ON_TALKING;
    g_sSysCfgInfo.m_eRequestType = static_cast<SYS_REQUEST_TYPE>(7);
    FromLine(1, voice(1, 1));
    EXPECT_TRUE(FarGot().empty());
}

// VOX request mode sends through the line-side ring: when the line starts talking the send
// index is put the pre-voice time behind the newest packet, and stays that far behind; the
// ring keeps muted copies.
TEST_F(RtpTest, VoxRequestModeDelaysLineVoiceByThePreVoiceTime)
{
    g_sSysCfgInfo.m_eRequestType = E_USE_VOX;
    g_sUserInfo[0].m_sCfgCorNetwork.m_iPreVoiceBuf = 60;  // 3 packets at 20 ms
    Open(0, E_NW_COR_DETECT_TYPE_VOX);
    g_sUserInfo[0].m_eUserStatus = E_USER_ON_RING_180;
    // Each packet's payload bytes are its number + 1.
    for (unsigned int s = 0; s < 10; ++s) FromLine(0, rtp(8, s, 0, 160, static_cast<unsigned char>(s + 1)));
    EXPECT_TRUE(FarGot().empty());
    g_sUserInfo[0].m_eUserStatus = E_USER_ON_TALKING;
    g_sUserInfo[0].m_ePTTFlag = E_FLAG_ON;
    for (unsigned int s = 10; s < 14; ++s) FromLine(0, rtp(8, s, 0, 160, static_cast<unsigned char>(s + 1)));
    std::vector<Bytes> got = FarGot();
    ASSERT_EQ(got.size(), 4u);
    // The first one sent is the DSP's packet 7 (three before 10), unmuted as it was saved
    // before PTT was keyed; then 8 and 9, then 10, muted.
    EXPECT_EQ(Bytes(got[0].begin() + 12, got[0].end()), Bytes(160, 8));
    EXPECT_EQ(Bytes(got[2].begin() + 12, got[2].end()), Bytes(160, 10));
    EXPECT_EQ(Bytes(got[3].begin() + 12, got[3].end()), Bytes(160, 0xD5));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(get16(got[i], 2), unsigned(i));

    // A new call of the channel rewinds no further than what was saved since it opened.
    RTP_ChannelClose(1, 0);
    Open(0, E_NW_COR_DETECT_TYPE_VOX);
    g_sUserInfo[0].m_ePTTFlag = E_FLAG_OFF;
    FromLine(0, rtp(8, 77, 0, 160, 0x11));
    got = FarGot();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][20], 0x11);
}

// Line voice sets the busy flag at the sixth voice packet (and asks for local voice first when
// the line has that flag), and clears it after RELEASE_TIME of silence.
TEST_F(RtpTest, BusyFlagFollowsLineVoice)
{
    struct Case {
        SYS_FLAG_E voice_first;
        int want_calls;
    };
    for (const Case& c : {Case{E_FLAG_ON, 1}, Case{E_FLAG_OFF, 0}}) {
        SetUp();
        g_sUserInfo[2].m_sCfgCorAudio.m_eUseVoiceCor = c.voice_first;
        Open(2, E_NW_COR_DETECT_TYPE_DISABLE);
        for (int i = 1; i <= 5; ++i) FromLine(2, voice(i, 0));
        EXPECT_EQ(RTP_GetRtpBusy(2), E_FLAG_OFF);
        FromLine(2, voice(6, 0));
        EXPECT_EQ(RTP_GetRtpBusy(2), E_FLAG_ON);
        EXPECT_EQ(g_voice_first.size(), static_cast<std::size_t>(c.want_calls));
        // 1000 ms at 20 ms: the 51st silent packet clears it.
        for (int i = 1; i <= 50; ++i) FromLine(2, silence(i, 0));
        EXPECT_EQ(RTP_GetRtpBusy(2), E_FLAG_ON);
        FromLine(2, silence(51, 0));
        EXPECT_EQ(RTP_GetRtpBusy(2), E_FLAG_OFF);
        TearDown();
    }
}

TEST(RtpVoiceTest, VoiceTestScalesWithThePacketAndNeverOverflows)
{
    struct Case {
        Bytes packet;
        int sensitivity;
        int want;
    };
    Bytes marked = voice(1, 1);
    marked[1] |= 0x80;
    Bytes ulaw_silence = rtp(0, 1, 1, 160, 0xFF);
    // Speech well below the 30 ms threshold at the top sensitivity (sum about 3.5e9): a
    // threshold product wrapped to 32 bits would call it voice.
    Bytes quiet = rtp(8, 1, 1, 240, linear2alaw(3800));
    const Case cases[] = {
        {voice(1, 1, 80), 10, 1},        {voice(1, 1, 160), 10, 1},       {voice(1, 1, 240), 10, 1},
        {silence(1, 1, 80), 0, 0},       {silence(1, 1, 160), 0, 0},      {silence(1, 1, 240), 0, 0},
        {silence(1, 1, 200), 0, 0},      {silence(1, 1, 320), 0, 0},      {silence(1, 1, 40), 0, 0},
        {voice(1, 1, 320), 5, 1},        {quiet, 10, 0},                  {ulaw_silence, 0, 0},
        {marked, 0, -1},                 {rtp(18, 1, 1, 20, 0), 0, -1},   {Bytes(11, 0), 0, -1},
        {silence(1, 1, 160), 99, 0},     // an out-of-range sensitivity reads as the nearest
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RtpCheckEffective(c.packet.data(), int(c.packet.size()), c.sensitivity), c.want)
            << c.packet.size() << " bytes, pt " << (c.packet.size() > 1 ? int(c.packet[1]) : -1);
    }
}

// Floor events come only as 16-byte telephone events of the negotiated payload type from the
// channel's far end, with a configured code; bare events are not voice for the DSP.
TEST_F(RtpTest, FloorEventsRequestAndRelease)
{
    UdpPeer stranger;
    struct Case {
        const char* request;
        const char* release;
        Bytes packet;
        bool from_far;
        int want_request;
        int want_release;
    };
    Bytes longer = event(kEventPt, 10);
    longer.push_back(0);
    const Case cases[] = {
        {"*", "#", event(kEventPt, 10), true, 1, 0},
        {"*", "#", event(kEventPt, 11), true, 0, 1},
        {"5", "6", event(kEventPt, 5), true, 1, 0},
        {"5", "6", event(kEventPt | 0x80, 6), true, 0, 1},  // marker bit set
        {"*", "#", event(kEventPt, 10), false, 0, 0},       // another source
        {"*", "#", event(0, 10), true, 0, 0},               // not the event payload type
        {"*", "#", longer, true, 0, 0},                     // voice for the DSP, not an event
        {"", "", event(kEventPt, 0), true, 0, 0},           // no code configured
        {"x", "9a", event(kEventPt, 0), true, 0, 0},
        {"*", "#", event(kEventPt, 10), true, 1, 0},
    };
    Open(1, E_NW_COR_DETECT_TYPE_DISABLE);
    for (const Case& c : cases) {
        copy_text(g_sDBInfo.m_sSysCfgInfo.m_chrequestpro, c.request);
        copy_text(g_sDBInfo.m_sSysCfgInfo.m_chreleasepro, c.release);
        g_request.clear();
        g_release.clear();
        SendTo(c.from_far ? far.fd : stranger.fd, 1, c.packet);
        Step(1);
        EXPECT_EQ(g_request.size(), std::size_t(c.want_request)) << c.request << " " << int(c.packet[12]);
        EXPECT_EQ(g_release.size(), std::size_t(c.want_release)) << c.release << " " << int(c.packet[12]);
        for (const Event& e : g_request) EXPECT_EQ(e.a, 41);
        for (const Event& e : g_release) EXPECT_EQ(e.a, 41);
    }
    // A line without VOX passes on only what is longer than an event.
    ASSERT_EQ(g_dsp.size(), 1u);
    EXPECT_EQ(g_dsp[0].bytes, longer);

    // With PTT keyed by a floor INFO everything from the far end goes to the DSP at once.
    g_sUserInfo[1].m_ePttType = E_PTT_SIPINFO;
    FarSend(1, event(kEventPt, 3));
    Step(1);
    ASSERT_EQ(g_dsp.size(), 2u);
    EXPECT_EQ(g_dsp[1].dsp_chn, 1 + kDspOffset);
    EXPECT_EQ(g_dsp[1].bytes, event(kEventPt, 3));

    // Datagrams shorter than an RTP header are dropped before anything reads them.
    g_sUserInfo[1].m_RTPflag = 0;
    FarSend(1, Bytes(11, 0x80));
    Step(1);
    EXPECT_EQ(g_sUserInfo[1].m_RTPflag, 0);
    EXPECT_EQ(g_dsp.size(), 2u);
}

// A talking line that hears nothing from its far end for T_NO_RTP seconds sends one BYE; a
// packet of the far end restarts the count, a stranger's does not, and the line's next call
// counts afresh; without the release setting nothing is sent.
TEST_F(RtpTest, LossOfMediaSendsOneBye)
{
    Open(3, E_NW_COR_DETECT_TYPE_VOX);
    Step(3000);
    FarSend(3, silence(1, 1));
    const int heard = g_now + 1;
    UdpPeer stranger;
    for (int i = 0; i < 10; ++i) {
        Step(400);
        SendTo(stranger.fd, 3, silence(1, 1));
    }
    Step(5000);
    EXPECT_EQ(g_bye, (std::vector<Event>{{heard + 5000, 43, 3}}));

    // The line's next call counts its own silence from the opening of its media.
    g_bye.clear();
    ASSERT_EQ(RTP_ChannelClose(1, 3), 0);
    Open(3, E_NW_COR_DETECT_TYPE_VOX);
    const int opened = g_now;
    Step(6000);
    EXPECT_EQ(g_bye, (std::vector<Event>{{opened + 5000, 43, 3}}));

    g_bye.clear();
    g_sSysCfgInfo.m_eSysDealLOM = E_LOM_DEAL_RECONNECT;
    FarSend(3, silence(2, 2));
    Step(6000);
    EXPECT_TRUE(g_bye.empty());
}

// The prompt file plays toward the line (keying PTT until it ends) and toward the far end, each
// direction with its own counters and the channel's SSRC; a partial last frame is not played.
TEST_F(RtpTest, PromptPlaysToTheLineAndTheFarEnd)
{
    std::string file(1000, '\0');
    for (int i = 0; i < 1000; ++i) file[i] = static_cast<char>(linear2alaw((i % 50) * 400));
    write_file(root + "/var/www/ring.au", file);
    struct Case {
        codec code;
        int both;
        int want_packets;
    };
    const Case cases[] = {{G711_A, 1, 6}, {G711_U, 1, 6}, {G711_A, 0, 6}, {G729, 1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        SetUp();
        Open(2, E_NW_COR_DETECT_TYPE_DISABLE);
        ASSERT_EQ(RTP_SetPlayPromptMedia(2, c.code, c.both), 0);
        EXPECT_EQ(sim_outputs(), (std::vector<std::string>{"ptt chn=3 value=1"}));
        FarSend(2, voice(1, 1));  // dropped while the prompt plays toward the line
        Step(200);
        EXPECT_EQ(sim_outputs(), (std::vector<std::string>{"ptt chn=3 value=0"}));
        const std::vector<Bytes> net = FarGot();
        ASSERT_EQ(g_dsp.size(), std::size_t(c.want_packets));
        ASSERT_EQ(net.size(), std::size_t(c.both ? c.want_packets : 0));
        for (int i = 0; i < c.want_packets; ++i) {
            const Bytes& d = g_dsp[i].bytes;
            ASSERT_EQ(d.size(), 172u);
            EXPECT_EQ(d[0], 0x80);
            EXPECT_EQ(d[1], c.code == G711_A ? 8 : 0);
            EXPECT_EQ(get16(d, 2), unsigned(i));
            EXPECT_EQ(get32(d, 4), 160u * i);
            EXPECT_EQ(get32(d, 8), g_sRtpChnList[2].m_iSsrc);
            for (int j = 0; j < 160; ++j) {
                const auto a = static_cast<unsigned char>(file[160 * i + j]);
                ASSERT_EQ(d[12 + j], c.code == G711_A ? a : alaw2ulaw(a)) << i << " " << j;
            }
            if (i > 0) {
                EXPECT_EQ(g_dsp[i].ms - g_dsp[i - 1].ms, 20);
            }
            if (c.both) {
                EXPECT_EQ(net[i], d) << "same bytes, own counters from 0";
            }
        }
        // Line packets are dropped only while the prompt plays toward the far end.
        EXPECT_EQ(FromLine(2, voice(1, 1)), 0);
        EXPECT_EQ(FarGot().size(), 1u);
        TearDown();
    }
    // A call that ends while its prompt plays lets go of the PTT the prompt keyed; a prompt
    // started over another keeps the radio keyed without a gap.
    Open(2, E_NW_COR_DETECT_TYPE_DISABLE);
    ASSERT_EQ(RTP_SetPlayPromptMedia(2, G711_A, 0), 0);
    ASSERT_EQ(RTP_SetPlayPromptMedia(2, G711_A, 0), 0);
    Step(40);
    EXPECT_EQ(sim_outputs(), (std::vector<std::string>{"ptt chn=3 value=1", "ptt chn=3 value=1"}));
    ASSERT_EQ(RTP_ChannelClose(1, 2), 0);
    EXPECT_EQ(sim_outputs(), (std::vector<std::string>{"ptt chn=3 value=0"}));
    TearDown();
    SetUp();

    // No file: nothing starts and PTT stays released.
    std::filesystem::remove(root + "/var/www/ring.au");
    Open(2, E_NW_COR_DETECT_TYPE_DISABLE);
    EXPECT_EQ(RTP_SetPlayPromptMedia(2, G711_A, 1), -3);
    EXPECT_TRUE(sim_outputs().empty());
}

// Every entry point checks the channel (or the DSP channel's line) against the lines in use.
TEST_F(RtpTest, ChannelsBeyondTheLineCountAreRefused)
{
    Bytes b = voice(1, 1);
    for (int ch : {-1, kLines, kMaxUserChn}) {
        SCOPED_TRACE(ch);
        EXPECT_EQ(RTP_ChannelOpen(1, ch), -1);
        EXPECT_EQ(RTP_ChannelClose(1, ch), -1);
        EXPECT_EQ(RtpNodeGetByChn(ch), nullptr);
        EXPECT_EQ(RTP_GetAddressLocal(ch), nullptr);
        EXPECT_EQ(RTP_SetRemoteAddr(1, ch, &far_addr), -1);
        EXPECT_EQ(RTP_SetRtpFrameSize(ch, 20), -1);
        EXPECT_EQ(RTP_SetPlayPromptMedia(ch, G711_A, 1), -1);
        EXPECT_EQ(RTP_SetSendOnOff(ch, E_RTP_BUF_NETWORK, E_FLAG_ON), -1);
        EXPECT_EQ(RTP_SetPttOnOff(ch, 1), -1);
        EXPECT_EQ(RTP_GetRtpBusy(ch), E_FLAG_OFF);
        EXPECT_EQ(RTP_PacketRecvFromPstn(ch + kDspOffset, b.data(), int(b.size()), kDspPacketRtp), -1);
    }
    EXPECT_EQ(RTP_PacketRecvFromPstn(0, b.data(), int(b.size()), kDspPacketRtp), -1) << "below the DSP offset";
    EXPECT_TRUE(g_frame_size.empty());
    EXPECT_EQ(RTP_ChannelClose(1, 0), -1) << "not open";
    Open(0, E_NW_COR_DETECT_TYPE_VOX);
    EXPECT_EQ(RTP_ChannelOpen(1, 0), -1) << "already open";
    EXPECT_EQ(g_sRtpChnList[0].m_sAddrLocal.port + 2, g_sRtpChnList[1].m_sAddrLocal.port);
}

// Floor control keys the radio from the network side: network COR detection is off while it
// holds PTT and comes back as configured.
TEST_F(RtpTest, PttFromFloorControlSuspendsNetworkDetection)
{
    Open(1, E_NW_COR_DETECT_TYPE_VOX);
    ASSERT_EQ(RTP_SetPttOnOff(1, 1), 0);
    EXPECT_EQ(g_sUserInfo[1].m_ePTTFlag, E_FLAG_ON);
    EXPECT_EQ(g_sRtpChnList[1].m_sCfgCorNetwork.m_eCorType, E_NW_COR_DETECT_TYPE_DISABLE);
    ASSERT_EQ(RTP_SetPttOnOff(1, 0), 0);
    EXPECT_EQ(g_sUserInfo[1].m_ePTTFlag, E_FLAG_OFF);
    EXPECT_EQ(g_sRtpChnList[1].m_sCfgCorNetwork.m_eCorType, E_NW_COR_DETECT_TYPE_VOX);
    EXPECT_EQ(RTP_SetPttOnOff(2, 1), -1) << "channel not open";
}

}  // namespace

namespace {
// Without all three callbacks the layer cannot work: start-up ends the process, as a failure.
TEST(RtpInitDeathTest, MissingCallbackEndsTheProcess)
{
    // The board's build runs under qemu-user, which cannot start the program afresh: there the
    // child is forked.
    if (std::getenv("UNIT_TESTS_EMULATED") == nullptr) GTEST_FLAG_SET(death_test_style, "threadsafe");
    const RTP_INIT_T cases[] = {
        {nullptr, OnSendCorOff, SendToDsp, nullptr, nullptr, {"127.0.0.1", 30000}},
        {OnSendCor, nullptr, SendToDsp, nullptr, nullptr, {"127.0.0.1", 30000}},
        {OnSendCor, OnSendCorOff, nullptr, nullptr, nullptr, {"127.0.0.1", 30000}},
    };
    for (const RTP_INIT_T& c : cases) EXPECT_EXIT(RTP_Init(&c), ::testing::ExitedWithCode(EXIT_FAILURE), "");
    EXPECT_EXIT(RTP_Init(nullptr), ::testing::ExitedWithCode(EXIT_FAILURE), "");
}
}  // namespace
