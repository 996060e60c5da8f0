// The media path end to end in one process: the DSP layer over the simulated board's DSP and
// the RTP layer over real loopback sockets, joined as the line module joins them and stepped
// as the main loop steps them (each millisecond: the DSP's clock on by one, RES490_Process,
// then RTP_Process). What the line hears is read from the simulated DSP channel's line sink;
// what the far end hears arrives at a UDP socket of the test.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "board_env_fixture.h"
#include "dsp_res.h"
#include "g711.h"
#include "rtp_loopback.h"
#include "rtp_res.h"
#include "sharememory.h"
#include "sim_dsp_chan.h"
#include "udp_peer.h"
#include "user.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr int kLines = 2;
constexpr int kLine = 0;
constexpr int kDspOffset = 1;  // line 0 on DSP channel 1: a missed or doubled offset shows
constexpr int kDspChn = kLine + kDspOffset;

int g_now = 0;  // the loop's millisecond count
std::vector<int> g_voice_start, g_voice_stop;

// The line module's voice callbacks as floor control answers them: play-out on at voice start,
// off at voice stop.
int OnSendCor(int res_chn)
{
    g_voice_start.push_back(g_now);
    return RTP_SetSendOnOff(res_chn, E_RTP_BUF_NETWORK, E_FLAG_ON);
}
int OnSendCorOff(int res_chn)
{
    g_voice_stop.push_back(g_now);
    return RTP_SetSendOnOff(res_chn, E_RTP_BUF_NETWORK, E_FLAG_OFF);
}


unsigned int get16(const Bytes& b, std::size_t at) { return (b[at] << 8) | b[at + 1]; }
std::uint32_t get32(const Bytes& b, std::size_t at) { return (std::uint32_t{get16(b, at)} << 16) | get16(b, at + 2); }

// A far-end A-law packet: loud speech (far above every voice threshold) or A-law silence.
Bytes FarPacket(unsigned int seq, std::uint32_t ts, bool speech, int payload = 160)
{
    Bytes b(12 + static_cast<std::size_t>(payload), 0xD5);
    b[0] = 0x80, b[1] = 8, b[2] = seq >> 8, b[3] = seq & 0xFF;
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<unsigned char>(ts >> (24 - 8 * i));
    for (int i = 8; i < 12; ++i) b[i] = 0xEE;
    if (speech)
        for (int i = 0; i < payload; ++i) b[12 + i] = linear2alaw(i % 2 ? 12000 : -12000);
    return b;
}

// The loudest decoded sample of an A-law payload.
int Peak(const Bytes& b)
{
    int peak = 0;
    for (std::size_t i = 12; i < b.size(); ++i) peak = std::max(peak, std::abs(alaw2linear(b[i])));
    return peak;
}

class MediaPathTest : public BoardEnvTest {
protected:
    void SetUp() override
    {
        BoardEnvTest::SetUp();
        Board(E_SYS_4W, 1, kLines);
        sim("set dsp on");
        g_iChnChangeFactor = kDspOffset;
        g_sSysCfgInfo.m_eSysDealLOM = E_LOM_DEAL_NULL;
        g_sSysCfgInfo.m_eRequestType = E_USE_COR;
        g_sSysCfgInfo.m_iRelTime = 1000;
        g_sSysCfgInfo.m_eSensitivity = E_VOX_SENSITIVITY_0;
        shm = {};
        g_pCgiShm = &shm;
        g_now = 0;
        g_voice_start.clear();
        g_voice_stop.clear();
        heard.clear();
        line_rx = 0;
        far.take(0);

        // Start-up as the line module makes it: the DSP hands its encoded voice to the RTP
        // layer, the RTP layer hands the far end's voice to the DSP.
        AC490_API_REGISTER_INIT dsp{};
        dsp.m_iHandle = g_hDriverHandler;
        dsp.m_eChipType = E_CHIP_12;
        dsp.m_pfuncSendPacketToSip = RTP_PacketRecvFromPstn;
        ASSERT_EQ(RES490_Start(&dsp), 0);
        ASSERT_EQ(g_sResChipInfo.m_eStatus, E_CHIP_USED);
        const IPV4_ADDRESS local{"127.0.0.1", rtp_free_ports(15000, 2 * kLines)};
        RTP_INIT_T rtp{OnSendCor, OnSendCorOff, RES490_SendRtpPacketToPcm, nullptr, nullptr, local};
        ASSERT_EQ(RTP_Init(&rtp), 0);

        USER_INFO_T& u = g_sUserInfo[kLine];
        u.m_iChnRes = kLine;
        u.m_iChnDsp = kDspChn;
        u.m_iChnSip = 40;
        u.m_eUserStatus = E_USER_ON_TALKING;
        u.m_eUseCoder = G711_A;
        u.m_iRfcPayLoad = 101;
        u.m_RTPflag = 2;  // packet time already learnt unless a case says otherwise
        u.m_sCfgCorNetwork = {E_NW_COR_DETECT_TYPE_DISABLE, 0, E_VOX_SENSITIVITY_0, 600, 100, 60, 0};
    }
    void TearDown() override
    {
        RTP_ChannelClose(1, kLine);
        RES490_RtpChannelClose(kDspChn);
        RES490_ChannelClose(kDspChn);
        g_pCgiShm = nullptr;
        g_iChnChangeFactor = 0;
        BoardEnvTest::TearDown();
    }

    // A call on the line, set up in the order the line logic sets one up: the DSP channel with
    // its codec and RTP function, then the RTP channel toward the far end with the line's COR
    // settings.
    void OpenCall(int cor_type)
    {
        USER_INFO_T& u = g_sUserInfo[kLine];
        u.m_sCfgCorNetwork.m_eCorType = cor_type;
        ASSERT_EQ(RES490_GetAvailableChn(kLine), kDspChn);
        ASSERT_EQ(RES490_ChannelOpen(kDspChn), 0);
        ASSERT_EQ(RES490_SetCodeType(kDspChn, u.m_eUseCoder), 0);
        ASSERT_EQ(RES490_RtpChannelOpen(kDspChn), 0);
        ASSERT_EQ(RTP_SetCorInfoNetwork(kLine, &u.m_sCfgCorNetwork), 0);
        ASSERT_EQ(RTP_SetCorInfoAudio(kLine, &u.m_sCfgCorAudio), 0);
        ASSERT_EQ(RTP_SetRemoteAddr(1, kLine, &far_addr), 0);
        ASSERT_EQ(RTP_ChannelOpen(1, kLine), 0);
        ASSERT_EQ(RTP_SetRtpChnCoder(kLine), 0);
    }

    // One loop millisecond; what reached the line in it goes into heard.
    void Step()
    {
        ASSERT_EQ(sim_text("advance 1"), "ok");
        ++g_now;
        RES490_Process();
        RTP_Process();
        const auto c = sim_chan(kDspChn);
        if (c.at("rx") != line_rx) {
            heard.push_back({g_now, static_cast<int>(c.at("rx") - line_rx), static_cast<unsigned>(c.at("last_seq")),
                             static_cast<int>(c.at("peak"))});
            line_rx = c.at("rx");
        }
    }
    void Steps(int ms)
    {
        for (int i = 0; i < ms && !HasFatalFailure(); ++i) Step();
    }

    // One datagram from the far end to the line's RTP port, waiting until the channel can read
    // it; the millisecond step that will read it.
    int FarSend(const Bytes& b)
    {
        EXPECT_TRUE(rtp_send_to_channel(far.fd, kLine, b.data(), b.size()));
        return g_now + 1;
    }
    // What reached the far end so far.
    std::vector<Bytes> FarGot()
    {
        std::vector<Bytes> out;
        for (const std::string& s : far.take(0)) out.emplace_back(s.begin(), s.end());
        return out;
    }

    struct Heard {
        int ms;
        int count;  // packets taken by the line in that millisecond
        unsigned int seq;
        int peak;
    };
    std::vector<Heard> heard;
    long long line_rx = 0;

    UdpPeer far;
    IPV4_ADDRESS far_addr{"127.0.0.1", far.port};
    QVD_CGI_SHARE_MEMORY_T shm{};
};

// The far end's voice reaches the DSP channel of the line: with network COR detection off each
// packet in the millisecond it arrives; with VOX nothing until the sixth voice packet, then the
// run rewound by the pre-voice time, in order, one packet per packet time, until the hang time
// of silence has been played out.
TEST_F(MediaPathTest, FarEndVoiceReachesTheLinesDspChannel)
{
    constexpr int kSilentBefore = 10, kSpeech = 20, kSilentAfter = 40;
    constexpr unsigned int kFirstSeq = 3000;
    struct Case {
        int cor_type;
        int pre_voice;  // ms
        int first;      // first far-end packet the line hears, -1 none
        int last;
        int start_at;   // far-end packet whose arrival starts play-out, -1 at once
    };
    const Case cases[] = {
        {E_NW_COR_DETECT_TYPE_DISABLE, 200, 0, kSilentBefore + kSpeech + kSilentAfter - 1, -1},
        // The sixth voice packet is #15; 200 ms back at 20 ms is #5; hang time 600 ms ends
        // play-out at the 31st silent packet (#60), the last one played is #59.
        {E_NW_COR_DETECT_TYPE_VOX, 200, 5, 59, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cor_type);
        SetUp();
        g_sUserInfo[kLine].m_sCfgCorNetwork.m_iPreVoiceBuf = c.pre_voice;
        OpenCall(c.cor_type);
        ASSERT_EQ(sim_chan(kDspChn).at("rx"), 0);

        constexpr int total = kSilentBefore + kSpeech + kSilentAfter;
        std::vector<int> arrival(total);
        for (int k = 0; k < total; ++k) {
            const bool speech = k >= kSilentBefore && k < kSilentBefore + kSpeech;
            arrival[k] = FarSend(FarPacket(kFirstSeq + k, 160u * k, speech));
            Steps(20);
        }
        Steps(500);

        ASSERT_EQ(heard.size(), static_cast<std::size_t>(c.last - c.first + 1));
        for (std::size_t i = 0; i < heard.size(); ++i) {
            const int k = c.first + static_cast<int>(i);
            const bool speech = k >= kSilentBefore && k < kSilentBefore + kSpeech;
            SCOPED_TRACE(k);
            EXPECT_EQ(heard[i].count, 1);
            EXPECT_EQ(heard[i].seq, kFirstSeq + k);
            // A-law silence decodes to 8; the speech to about 12000.
            if (speech) EXPECT_GT(heard[i].peak, 10000);
            else EXPECT_LE(heard[i].peak, 8);
            if (c.start_at < 0) {
                EXPECT_EQ(heard[i].ms, arrival[k]) << "handed over at once";
            } else if (i > 0) {
                EXPECT_EQ(heard[i].ms - heard[i - 1].ms, 20) << "paced at the packet time";
            }
        }
        const auto chan = sim_chan(kDspChn);
        EXPECT_EQ(chan.at("samples"), 160 * chan.at("rx")) << "every payload byte decoded";
        if (c.start_at >= 0) {
            EXPECT_EQ(g_voice_start, std::vector<int>{arrival[c.start_at]});
            EXPECT_EQ(heard.front().ms, arrival[c.start_at]) << "play-out starts with the sixth voice packet";
            EXPECT_EQ(g_voice_stop, std::vector<int>{heard.back().ms + 20}) << "voice stop once the ring is drained";
        } else {
            EXPECT_TRUE(g_voice_start.empty());
            EXPECT_TRUE(g_voice_stop.empty());
        }
        TearDown();
    }
}

// The line's voice, as the DSP encodes it, reaches the far end with the gateway's own header:
// sequence from 0, timestamp 160 further per 20 ms packet, one SSRC of the channel's own in
// place of the DSP's; while the line's own PTT is keyed the payload is A-law silence.
TEST_F(MediaPathTest, LineVoiceReachesTheFarEndWithTheChannelsHeaderMutedWhileKeyed)
{
    OpenCall(E_NW_COR_DETECT_TYPE_DISABLE);
    ASSERT_EQ(sim_text("chan " + std::to_string(kDspChn) + " source tone"), "ok");

    struct Phase {
        bool ptt;
        std::vector<Bytes> got;
    };
    Phase phases[] = {{false, {}}, {true, {}}, {false, {}}};
    for (Phase& p : phases) {
        g_sUserInfo[kLine].m_ePTTFlag = p.ptt ? E_FLAG_ON : E_FLAG_OFF;
        Steps(300);
        p.got = FarGot();
    }

    const std::uint32_t ssrc = g_sRtpChnList[kLine].m_iSsrc;
    unsigned int seq = 0;
    for (const Phase& p : phases) {
        SCOPED_TRACE(p.ptt ? "keyed" : "not keyed");
        ASSERT_GE(p.got.size(), 5u);
        for (const Bytes& b : p.got) {
            SCOPED_TRACE(seq);
            ASSERT_EQ(b.size(), 12u + 160u);
            EXPECT_EQ(b[0], 0x80);
            EXPECT_EQ(b[1], 8) << "the DSP's payload type stays";
            EXPECT_EQ(get16(b, 2), seq);
            EXPECT_EQ(get32(b, 4), 160u * seq);
            EXPECT_EQ(get32(b, 8), ssrc);
            if (p.ptt) {
                EXPECT_EQ(Bytes(b.begin() + 12, b.end()), Bytes(160, 0xD5));
            } else {
                EXPECT_GT(Peak(b), 6000) << "the DSP's tone";
            }
            ++seq;
        }
    }
    EXPECT_NE(ssrc, 0u);
    EXPECT_NE(ssrc, g_sSetupChannelAttr[0][kDspChn].ActivateOrUpdateRtp[AC49X_RTP_REGULAR].RtpSynchronizingSource)
        << "the DSP's own SSRC went out";
}

// The packet time learnt from the far end's first two packets becomes the DSP channel's frame,
// and the line's voice then goes out in frames of that time with timestamps to match.
TEST_F(MediaPathTest, LearntPacketTimeBecomesTheDspChannelsFrame)
{
    struct Case {
        int far_ms;  // the far end's packet time
        int frame;   // the DSP channel's frame afterwards, ms
    };
    const Case cases[] = {{30, 30}, {10, 10}, {50, 20}, {20, 20}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.far_ms);
        SetUp();
        g_sUserInfo[kLine].m_RTPflag = 0;
        OpenCall(E_NW_COR_DETECT_TYPE_DISABLE);
        ASSERT_EQ(sim_text("chan " + std::to_string(kDspChn) + " source tone"), "ok");
        ASSERT_EQ(sim_chan(kDspChn).at("frame"), 20);

        for (unsigned int k = 0; k < 3; ++k) {
            FarSend(FarPacket(700 + k, 5000 + 8u * c.far_ms * k, true, 8 * c.far_ms));
            Steps(c.far_ms);
        }
        EXPECT_EQ(sim_chan(kDspChn).at("frame"), c.frame);
        EXPECT_EQ(g_sRtpChnList[kLine].m_iPtime, c.frame);
        EXPECT_EQ(shm.m_sLineStatus[kLine].m_eRtpLen, c.frame / 10);

        // Frames the DSP encoded before the change may still be on their way: the next ones
        // are what count.
        Steps(40);
        FarGot();
        Steps(300);
        const std::vector<Bytes> got = FarGot();
        ASSERT_GE(got.size(), 5u);
        for (std::size_t i = 0; i < got.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(got[i].size(), 12u + 8u * c.frame);
            if (i > 0) {
                EXPECT_EQ(get16(got[i], 2), get16(got[i - 1], 2) + 1);
                EXPECT_EQ(get32(got[i], 4) - get32(got[i - 1], 4), 8u * c.frame);
            }
        }
        TearDown();
    }
}

}  // namespace
