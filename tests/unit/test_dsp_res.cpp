// The DSP resource layer on the in-process simulated board: start-up with and without a DSP
// and without firmware, the channel operations and their refusals, the mapping tables, tones
// by the DSP's clock, and events and voice both ways through the 1 ms pump.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "AC49xDrv_Api.h"
#include "MyApi.h"
#include "arm_environment.h"
#include "dsp_res.h"
#include "gate_test_board.h"
#include "sim/sim_board.h"
#include "sim/sim_dsp.h"
#include "sip.h"

namespace {

std::string Sim(const std::string& command)
{
    std::array<char, 8192> reply{};
    SimBoard_Command(command, reply.data(), reply.size());
    return reply.data();
}

// One field of the simulated channel's state ("chan CH"), as text.
std::string ChanField(int ch, const std::string& field)
{
    const std::string state = " " + Sim("chan " + std::to_string(ch));
    const std::size_t at = state.find(" " + field + "=");
    if (at == std::string::npos) return "?";
    const std::size_t from = at + field.size() + 2;
    return state.substr(from, state.find(' ', from) - from);
}

// What the layer handed to the line logic and the network side.
struct Seen {
    std::vector<std::pair<int, int>> keys;
    std::vector<std::pair<int, API_CALLBACK_SIGNAL_EVENT_E>> events;
    struct CallerId {
        int chn;
        std::string number;
        int length;
        struct tm date;
    };
    std::vector<CallerId> cids;
    struct Packet {
        int chn;
        std::vector<unsigned char> bytes;
        int type;
    };
    std::vector<Packet> packets;
    int Count(int chn, API_CALLBACK_SIGNAL_EVENT_E e) const
    {
        int n = 0;
        for (const auto& [c, ev] : events) n += c == chn && ev == e;
        return n;
    }
};
Seen g_seen;

int OnKey(int chn, int digit) { return g_seen.keys.emplace_back(chn, digit), 0; }
int OnEvent(int chn, API_CALLBACK_SIGNAL_EVENT_E e) { return g_seen.events.emplace_back(chn, e), 0; }
int OnCallerId(int chn, char* number, int length, struct tm* date)
{
    g_seen.cids.push_back({chn, number, length, *date});
    return 0;
}
int OnPacket(int chn, unsigned char* p, int length, int type)
{
    g_seen.packets.push_back({chn, std::vector<unsigned char>(p, p + length), type});
    return 0;
}

AC490_API_REGISTER_INIT Register(bool callbacks = true)
{
    AC490_API_REGISTER_INIT init{};
    init.m_iHandle = g_hDriverHandler;
    init.m_eChipType = E_CHIP_12;
    if (callbacks) {
        init.m_pfuncOnGetKey = OnKey;
        init.m_pfuncSignalEvent = OnEvent;
        init.m_pfuncOnCallerID = OnCallerId;
        init.m_pfuncSendPacketToSip = OnPacket;
    }
    return init;
}

int ActiveChannels()
{
    int n = 0;
    for (const DSP_INFO_T& r : g_sResChnInfo) n += r.m_eFlagActive == E_FLAG_ON;
    return n;
}

// Runs the 1 ms pump a few times (each run also brings the simulated DSP's clock up to date).
void Pump(int times = 5)
{
    for (int i = 0; i < times; ++i) RES490_Process();
}

// "event raw" for a status or event packet from the DSP: its header (channel, opcode) and the
// given bytes, size bytes in all.
std::string Raw(int ch, int opcode, std::map<int, int> bytes, int size)
{
    std::vector<int> p(static_cast<std::size_t>(size), 0);
    p[0] = 0xA0;
    p[1] = ch;
    p[5] = opcode << 2 | 3;
    for (auto [at, v] : bytes) p[static_cast<std::size_t>(at)] = v;
    std::string hex = "event raw ";
    char x[3];
    for (int v : p) {
        std::snprintf(x, sizeof x, "%02x", v & 0xFF);
        hex += x;
    }
    return hex;
}

// Output entries of the board not read yet (time stamps dropped), those starting with prefix.
std::vector<std::string> Entries(const std::string& prefix)
{
    std::vector<std::string> out;
    for (;;) {
        const std::string reply = Sim("log");
        if (reply.empty()) return out;
        for (std::size_t at = 0; at < reply.size();) {
            std::size_t end = reply.find('\n', at);
            if (end == std::string::npos) end = reply.size();
            const std::string line = reply.substr(at, end - at);
            const std::size_t blank = line.find(' ');
            const std::string text = blank == std::string::npos ? line : line.substr(blank + 1);
            if (text.rfind(prefix, 0) == 0) out.push_back(text);
            at = end + 1;
        }
    }
}

std::vector<unsigned char> RtpPacket(int pt, int seq, int payload, unsigned char fill)
{
    std::vector<unsigned char> b(12 + static_cast<std::size_t>(payload), fill);
    b[0] = 0x80;
    b[1] = static_cast<unsigned char>(pt);
    b[2] = static_cast<unsigned char>(seq >> 8);
    b[3] = static_cast<unsigned char>(seq);
    std::fill(b.begin() + 4, b.begin() + 12, 0);
    return b;
}

int ToDsp(int chn, std::vector<unsigned char> b)
{
    return RES490_SendRtpPacketToPcm(chn, b.data(), static_cast<int>(b.size()), kDspPacketRtp);
}

void Advance(int ms)
{
    ASSERT_EQ(Sim("advance " + std::to_string(ms)), "ok");
    Pump();
}

class DspTest : public GateTest {
protected:
    void SetUp() override
    {
        GateTest::SetUp();
        if (g_hDriverHandler < 0) {
            ASSERT_GE(MyOpen(&g_hDriverHandler, "/dev/AG0"), 0);
        }
        ASSERT_EQ(Sim("set dsp on"), "ok");
        g_seen = {};
        eDialToneState = E_TONE_STOP;
    }
    void Start(bool callbacks = true)
    {
        const AC490_API_REGISTER_INIT init = Register(callbacks);
        ASSERT_EQ(RES490_Start(&init), 0);
        ASSERT_EQ(g_sResChipInfo.m_eStatus, E_CHIP_USED);
    }
    std::string Cfg() { return read_file(root + "/tmp/log/QVD_CFG.log"); }
};

TEST_F(DspTest, StartUpBootsSetsUpAndActivatesTwelveChannels)
{
    Start();
    EXPECT_EQ(ActiveChannels(), 12);
    for (int c = 0; c < kMaxResChn; ++c) EXPECT_EQ(g_sResChnInfo[c].m_eFlagActive, c < 12 ? E_FLAG_ON : E_FLAG_OFF) << c;
    EXPECT_EQ(g_sResChipInfo.m_iChnNumOfChip, 12);
    EXPECT_STREQ(g_sResChipInfo.m_chKernalPath, "/root/profile/kernel");
    EXPECT_EQ(g_sResChipInfo.m_sSetupDeviceAttr.Open.NumberOfChannels, 12);
    EXPECT_EQ(Ac49xDeviceChannelCount(0), 12);  // the DSP echoed an open-device packet for 12
    EXPECT_NE(Cfg().find("共有 [ 12 ] 资源通道可用"), std::string::npos);
    EXPECT_NE(Cfg().find("****************第[1]块芯片启动成功****************"), std::string::npos);

    // The defaults every channel starts from: A-law both ways, external payload types 8,
    // RFC 2833 on 101, comfort noise off, 0 dB gains, DTMF heard through the voice.
    for (int c = 0; c < 12; ++c) {
        const auto& rtp = g_sSetupChannelAttr[0][c].ActivateOrUpdateRtp[AC49X_RTP_REGULAR];
        const auto& open = g_sSetupChannelAttr[0][c].OpenOrUpdateChannel;
        EXPECT_EQ(rtp.RtpSynchronizingSource, static_cast<U32>(c + 1)) << c;
        EXPECT_EQ(rtp.Encoder, CODER__G711ALAW) << c;
        EXPECT_EQ(rtp.TxPayloadType, 8) << c;
        EXPECT_EQ(rtp.TxPayloadTypeSource, 1) << c;
        EXPECT_EQ(rtp.RxSignalingRfc2833PayloadType, 101) << c;
        EXPECT_EQ(rtp.DataBypassPayloadType, 103) << c;
        EXPECT_EQ(rtp.PcmAdPcmComfortNoiseRtpPayloadTypeEnable, 0) << c;
        EXPECT_EQ(rtp.SilenceCompressionMode, SILENCE_COMPRESSION_MODE__DISABLE) << c;
        EXPECT_EQ(open.InputGain, 32) << c;
        EXPECT_EQ(open.DtmfTransferMode, IBS_TRANSFER_MODE__TRANSPARENT_THROUGH_VOICE) << c;
        EXPECT_EQ(open.FaxAndCallerIdLevel, 15) << c;
    }
}

TEST_F(DspTest, WithoutDspTheDeviceStaysOutOfUseAndEveryChannelOperationFails)
{
    Start();  // a channel left open by an earlier start must not survive the next one
    ASSERT_EQ(RES490_ChannelOpen(1), 0);
    ASSERT_EQ(Sim("set dsp off"), "ok");
    const AC490_API_REGISTER_INIT init = Register();
    ASSERT_EQ(RES490_Start(&init), 0);  // start-up goes on without the DSP
    EXPECT_EQ(g_sResChipInfo.m_eStatus, E_CHIP_UNUSED);
    EXPECT_EQ(ActiveChannels(), 0);
    EXPECT_NE(Cfg().find("自动检测  --> 490 第[0]芯片 不存在"), std::string::npos);
    EXPECT_NE(Cfg().find("共有 [ 0 ] 资源通道可用"), std::string::npos);

    const std::uint64_t before = SimDsp_Requests();
    Pump(20);
    EXPECT_EQ(SimDsp_Requests(), before) << "the pump touched a device that is not in use";

    unsigned char rtp[172] = {0x80, 8};
    const std::vector<std::function<int(int)>> ops = {
        RES490_ChannelOpen,
        RES490_ChannelClose,
        RES490_RtpChannelOpen,
        RES490_RtpChannelClose,
        RES490_StopPlayTone,
        [](int c) { return RES490_PlayTone(c, E_PLAY_TONE_BUSY); },
        [](int c) { return RES490_SetCodeType(c, G711_U); },
        [](int c) { return RES490_SetRtpFrameSize(c, 2); },
        [](int c) { return RES490_SetGainPcmInput(c, 32); },
        [](int c) { return RES490_SetGainPcmOutput(c, 32); },
        [](int c) { return RES490_SetDtmfTransferType(c, E_DTMF_TYPE_RFC2833); },
        [](int c) { return RES490_SetEchoCanceler(c, 1); },
        [](int c) { return RES490_SetAutoGainControl(c, 1); },
        [](int c) { return RES490_SetSilenceCompressionMode(c, 1); },
        [](int c) { return RES490_SetComfortNoiseMode(c, 1, 13, 5); },
        [](int c) { return RES490_SetMaxTimeNoRtp(c, 10); },
        [](int c) { return RES490_Set2833PayloadSend(c, 101); },
        [](int c) { return RES490_Set2833PayLoadRecv(c, 101); },
        [](int c) { return RES490_SendDtmf(c, "12", 2, 0); },
        [&](int c) { return RES490_SendRtpPacketToPcm(c, rtp, sizeof rtp, kDspPacketRtp); },
    };
    for (int c = 0; c < 12; ++c)
        for (std::size_t i = 0; i < ops.size(); ++i) EXPECT_EQ(ops[i](c), -1) << "channel " << c << " operation " << i;
    ASSERT_EQ(Sim("set dsp on"), "ok");
}

TEST_F(DspTest, MissingFirmwareFailsTheStartUp)
{
    for (const char* file : {"/root/profile/kernel", "/root/profile/program"}) {
        SCOPED_TRACE(file);
        const std::string path = root + file, aside = path + ".aside";
        std::filesystem::rename(path, aside);
        const AC490_API_REGISTER_INIT init = Register();
        EXPECT_EQ(RES490_Start(&init), -1);
        std::filesystem::rename(aside, path);
        const std::string kind = std::strstr(file, "kernel") ? "kernel" : "program";
        EXPECT_NE(Flow().find("Get " + kind + " buff from file " + file + " failed, 确认文件是否存在"), std::string::npos);
    }
}

TEST_F(DspTest, ChannelsOutsideTheActiveOnesAreRefused)
{
    Start();
    unsigned char rtp[172] = {0x80, 8};
    // 12..19 have records but no DSP channel behind them; 20..23 lie past the records.
    for (int c : {-1, 12, 19, 20, 23, 24, 1000}) {
        EXPECT_EQ(RES490_ChannelOpen(c), -1) << c;
        EXPECT_EQ(RES490_RtpChannelOpen(c), -1) << c;
        EXPECT_EQ(RES490_PlayTone(c, E_PLAY_TONE_BUSY), -1) << c;
        EXPECT_EQ(RES490_StopPlayTone(c), -1) << c;
        EXPECT_EQ(RES490_SetCodeType(c, G711_A), -1) << c;
        EXPECT_EQ(RES490_SetRtpFrameSize(c, 1), -1) << c;
        EXPECT_EQ(RES490_SetMaxTimeNoRtp(c, 1), -1) << c;
        EXPECT_EQ(RES490_SendRtpPacketToPcm(c, rtp, sizeof rtp, kDspPacketRtp), -1) << c;
    }
    EXPECT_NE(Flow().find("[RES490_StopPlayTone] -- 资源通道 = 20 异常"), std::string::npos);
}

TEST_F(DspTest, OpeningAndClosingTwiceIsRefusedButChannelZeroIsConfiguredAgain)
{
    Start();
    EXPECT_EQ(RES490_ChannelOpen(1), 0);
    EXPECT_EQ(ChanField(1, "open"), "1");
    EXPECT_EQ(RES490_ChannelOpen(1), -1);
    EXPECT_NE(Cfg().find("通道已经打开"), std::string::npos);

    EXPECT_EQ(RES490_ChannelOpen(0), 0);
    ASSERT_EQ(RES490_SetGainPcmInput(0, 40), 0);
    EXPECT_EQ(RES490_ChannelOpen(0), 0);  // configured again: the new gain reaches the DSP
    EXPECT_EQ(ChanField(0, "in_gain"), "40");

    EXPECT_EQ(RES490_RtpChannelOpen(1), 0);
    EXPECT_EQ(ChanField(1, "rtp"), "1");
    EXPECT_EQ(RES490_RtpChannelOpen(1), -1);
    EXPECT_EQ(RES490_RtpChannelClose(1), 0);
    EXPECT_EQ(ChanField(1, "rtp"), "0");
    EXPECT_EQ(RES490_RtpChannelClose(1), -1);

    EXPECT_EQ(RES490_ChannelClose(1), 0);
    EXPECT_EQ(ChanField(1, "open"), "0");
    EXPECT_EQ(RES490_ChannelClose(1), -1);
    EXPECT_NE(Cfg().find("通道已经关闭"), std::string::npos);
}

TEST_F(DspTest, CodecChoosesPayloadTypeAndCoderAndUpdatesARunningRtpFunction)
{
    Start();
    struct Case {
        int codec, payload, coder;
    };
    const Case cases[] = {
        {G711_A, 8, CODER__G711ALAW}, {G711_U, 0, CODER__G711MULAW}, {G729, 18, CODER__G729},
        {G723, 4, CODER__G723LOW},    {UNKONW, 8, CODER__G711ALAW},  {GSM, 8, CODER__G711ALAW},
        {99, 8, CODER__G711ALAW},
    };
    ASSERT_EQ(RES490_ChannelOpen(2), 0);
    ASSERT_EQ(RES490_RtpChannelOpen(2), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codec);
        EXPECT_EQ(RES490_SetCodeType(2, c.codec), 0);
        const auto& rtp = g_sSetupChannelAttr[0][2].ActivateOrUpdateRtp[AC49X_RTP_REGULAR];
        EXPECT_EQ(rtp.TxPayloadType, c.payload);
        EXPECT_EQ(rtp.RxPayloadType, c.payload);
        EXPECT_EQ(rtp.Encoder, c.coder);
        EXPECT_EQ(rtp.Decoder, c.coder);
        EXPECT_EQ(ChanField(2, "pt"), std::to_string(c.payload));
    }
    // Without RTP the record changes and waits for the next activation.
    ASSERT_EQ(RES490_RtpChannelClose(2), 0);
    EXPECT_EQ(RES490_SetCodeType(2, G711_U), 0);
    EXPECT_EQ(ChanField(2, "pt"), "8");
    ASSERT_EQ(RES490_RtpChannelOpen(2), 0);
    EXPECT_EQ(ChanField(2, "pt"), "0");
}

TEST_F(DspTest, FrameTimeGainsAndDtmfModeTables)
{
    Start();
    ASSERT_EQ(RES490_ChannelOpen(4), 0);
    ASSERT_EQ(RES490_RtpChannelOpen(4), 0);
    struct Frame {
        int duration, samples, ms;
    };
    for (const Frame& f : {Frame{1, 80, 10}, Frame{3, 240, 30}, Frame{2, 160, 20}, Frame{0, 160, 20}, Frame{7, 160, 20}}) {
        EXPECT_EQ(RES490_SetRtpFrameSize(4, f.duration), 0) << f.duration;
        EXPECT_EQ(g_sSetupChannelAttr[0][4].ActivateOrUpdateRtp[0].EncoderPcmAdpcmFrameDuration, f.samples);
        EXPECT_EQ(g_sSetupChannelAttr[0][4].ActivateOrUpdateRtp[0].DecoderPcmAdpcmFrameDuration, f.samples);
        EXPECT_EQ(ChanField(4, "frame"), std::to_string(f.ms)) << f.duration;
    }

    struct Gain {
        int gain, result;
        const char* log;
    };
    const Gain gains[] = {{0, 0, "Gain[-32]DB"}, {32, 0, "Gain[0]DB"}, {63, 0, "Gain[31]DB"}, {64, -1, nullptr},
                          {-1, -1, nullptr}};
    for (const Gain& g : gains) {
        SCOPED_TRACE(g.gain);
        const int in_before = g_sSetupChannelAttr[0][4].OpenOrUpdateChannel.InputGain;
        EXPECT_EQ(RES490_SetGainPcmInput(4, g.gain), g.result);
        EXPECT_EQ(RES490_SetGainPcmOutput(4, g.gain), g.result);
        const int want = g.result == 0 ? g.gain : in_before;
        EXPECT_EQ(g_sSetupChannelAttr[0][4].OpenOrUpdateChannel.InputGain, want);
        EXPECT_EQ(g_sSetupChannelAttr[0][4].OpenOrUpdateChannel.VoiceOutputGain, want);
        if (g.log) {
            EXPECT_NE(Cfg().find(std::string("[RES490_SetGainPcmInput]-- ResChn[4] ") + g.log), std::string::npos);
        }
    }

    struct Dtmf {
        int type, mode;
    };
    const Dtmf dtmf[] = {{E_DTMF_TYPE_RFC2833, IBS_TRANSFER_MODE__RELAY_ENABLE_VOICE_DISABLE},
                         {E_DTMF_TYPE_SIPINFO, IBS_TRANSFER_MODE__RELAY_DISABLE_VOICE_MUTE},
                         {E_DTMF_TYPE_INBAND, IBS_TRANSFER_MODE__TRANSPARENT_THROUGH_VOICE},
                         {E_DTMF_TYPE_NULL, IBS_TRANSFER_MODE__TRANSPARENT_THROUGH_VOICE},
                         {9, IBS_TRANSFER_MODE__TRANSPARENT_THROUGH_VOICE}};
    for (const Dtmf& d : dtmf) {
        EXPECT_EQ(RES490_SetDtmfTransferType(4, d.type), 0) << d.type;
        EXPECT_EQ(g_sSetupChannelAttr[0][4].OpenOrUpdateChannel.DtmfTransferMode, d.mode) << d.type;
    }

    // Seconds become 20 ms units in a 16-bit field.
    EXPECT_EQ(RES490_SetMaxTimeNoRtp(4, 30), 0);
    EXPECT_EQ(g_sSetupChannelAttr[0][4].ActivateOrUpdateRtp[0].BrokenConnectionEventTimeout_x20msec, 1500);
    EXPECT_EQ(RES490_SetComfortNoiseMode(4, 1, 13, 2000), 0);
    EXPECT_EQ(g_sSetupChannelAttr[0][4].ActivateOrUpdateRtp[0].NoOperationTimeout_x20msec, (2000 * 50) & 0xFFFF);
}

TEST(DspKeys, DialCharactersBecomeDigitCodes)
{
    const std::pair<char, int> cases[] = {{'0', 0}, {'9', 9}, {'*', 10}, {'#', 11}, {'A', 12},
                                          {'B', 13}, {'D', 15}, {'E', -1}, {'a', -1}, {' ', -1}};
    for (auto [key, code] : cases) EXPECT_EQ(SystemChangeKeySendToDsp(key), code) << key;
}

TEST_F(DspTest, ABusyToneRepeatsEachCadenceUntilStoppedAndAWaitToneSoundsOnce)
{
    Start();
    ASSERT_EQ(RES490_ChannelOpen(1), 0);
    ASSERT_EQ(RES490_PlayTone(1, E_PLAY_TONE_BUSY), 0);
    EXPECT_EQ(ChanField(1, "tone"), "1");
    EXPECT_EQ(g_iaPlayToneType[1], E_PLAY_TONE_BUSY);
    for (int cadence = 1; cadence <= 3; ++cadence) {
        Advance(700);  // 350 ms on, 350 ms off
        EXPECT_EQ(g_seen.Count(1, E_ACSE_PLAY_TONE_FINISH), cadence);
        EXPECT_EQ(ChanField(1, "tone"), "1") << "the busy tone was not started again after cadence " << cadence;
    }
    EXPECT_EQ(RES490_StopPlayTone(1), 0);
    EXPECT_EQ(ChanField(1, "tone"), "0");
    Advance(2000);
    EXPECT_EQ(g_seen.Count(1, E_ACSE_PLAY_TONE_FINISH), 3);
    EXPECT_EQ(RES490_StopPlayTone(1), -1);
    EXPECT_NE(Flow().find("[RES490_StopPlayTone] -- 该通道未在放音"), std::string::npos);

    ASSERT_EQ(RES490_PlayTone(1, E_PLAY_TONE_WAIT_IN), 0);
    Advance(400);
    EXPECT_EQ(g_seen.Count(1, E_ACSE_PLAY_TONE_FINISH), 4);
    EXPECT_EQ(ChanField(1, "tone"), "0");
    Advance(2000);
    EXPECT_EQ(g_seen.Count(1, E_ACSE_PLAY_TONE_FINISH), 4);

    // A new tone replaces the one playing; a value that is no tone type plays nothing.
    ASSERT_EQ(RES490_PlayTone(1, E_PLAY_TONE_RING_BACK), 0);
    EXPECT_EQ(g_sResChnInfo[1].m_eToneType, E_PLAY_TONE_RING_BACK);
    for (int tone : {-1, 7, -8}) {  // E_PLAY_TONE_NULL, E_PLAY_TONE_MAX, a row below the tones
        EXPECT_EQ(RES490_PlayTone(1, tone), -1) << tone;
        EXPECT_EQ(g_sResChnInfo[1].m_eToneType, E_PLAY_TONE_RING_BACK) << tone;
    }
    Advance(5000);  // 1 s on, 4 s off
    EXPECT_EQ(g_seen.Count(1, E_ACSE_PLAY_TONE_FINISH), 5);
    EXPECT_EQ(ChanField(1, "tone"), "1");
}

TEST_F(DspTest, EventsReachTheLineLogicOnTheirDspChannel)
{
    Start();
    for (int c : {1, 2, 3}) ASSERT_EQ(RES490_ChannelOpen(c), 0);
    struct Case {
        std::vector<std::string> commands;
        std::function<void()> check;
    };
    const Case cases[] = {
        {{"event 1 dtmf 5"}, [] { EXPECT_EQ(g_seen.keys, (std::vector<std::pair<int, int>>{{1, 5}})); }},
        {{"event 3 dtmf 11"}, [] { EXPECT_EQ(g_seen.keys, (std::vector<std::pair<int, int>>{{3, 11}})); }},
        {{"event 2 tone 10 20"}, [] { EXPECT_EQ(g_seen.Count(2, E_ACSE_DETECT_BUSY_TONE), 1); }},
        {{"event 2 tone 9"}, [] { EXPECT_EQ(eDialToneState, E_TONE_PLAY); EXPECT_TRUE(g_seen.events.empty()); }},
        {{"event 3 cid 13800138000 12251830"},
         [] {
             ASSERT_EQ(g_seen.cids.size(), 1u);
             const auto& c = g_seen.cids[0];
             EXPECT_EQ(c.chn, 3);
             EXPECT_EQ(c.number, "13800138000");
             EXPECT_EQ(c.length, 11);
             EXPECT_EQ(c.date.tm_mon, 11);
             EXPECT_EQ(c.date.tm_mday, 25);
             EXPECT_EQ(c.date.tm_hour, 18);
             EXPECT_EQ(c.date.tm_min, 30);
         }},
        {{Raw(2, 8, {{11, 15}}, 12)}, [] { EXPECT_EQ(g_seen.Count(2, E_ACSE_CONNECTION_BROKEN), 1); }},
        {{Raw(2, 8, {{11, 17}}, 12)}, [] { EXPECT_EQ(g_seen.Count(2, E_ACSE_CONNECTION_ESTABLISH), 1); }},
        {{Raw(2, 1, {{11, 7}}, 16)}, [] { EXPECT_EQ(g_seen.Count(2, E_ACSE_SWITCH_TO_VOICE), 1); }},
        {{Raw(2, 12, {}, 16)}, [] { EXPECT_EQ(g_seen.Count(2, E_ACSE_CNG_DETECTED), 1); }},
        // Channels the board does not have reach no one.
        {{"event 15 dtmf 1", Raw(13, 1, {{11, 7}}, 16)},
         [] { EXPECT_TRUE(g_seen.keys.empty() && g_seen.events.empty()); }},
        // A general event cut before its index: what an earlier packet left in the receive
        // buffer (here a "tone finished" index) must not be read as this event's.
        {{Raw(1, 10, {{11, 1}}, 16), Raw(1, 1, {}, 11)}, [] { EXPECT_TRUE(g_seen.events.empty()); }},
        // A caller ID whose length byte names 40 characters where the packet holds 3.
        {{Raw(3, 7, {{13, 1}, {15, 48}, {16, '0'}, {17, '1'}, {18, '0'}, {19, '1'}, {24, '1'}, {25, '2'}, {26, '3'}}, 27)},
         [] { EXPECT_TRUE(g_seen.cids.empty()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commands[0]);
        g_seen = {};
        eDialToneState = E_TONE_STOP;
        for (const std::string& command : c.commands) ASSERT_EQ(Sim(command), "ok") << command;
        Pump();
        c.check();
    }

    // The RTP function reports a broken connection after the time without packets, and the
    // connection again when a packet comes.
    g_seen = {};
    ASSERT_EQ(RES490_SetMaxTimeNoRtp(2, 1), 0);
    ASSERT_EQ(RES490_RtpChannelOpen(2), 0);
    Advance(1000);
    EXPECT_EQ(g_seen.Count(2, E_ACSE_CONNECTION_BROKEN), 1);
    unsigned char rtp[172] = {0x80, 8};
    ASSERT_EQ(RES490_SendRtpPacketToPcm(2, rtp, sizeof rtp, kDspPacketRtp), 0);
    Pump();
    EXPECT_EQ(g_seen.Count(2, E_ACSE_CONNECTION_ESTABLISH), 1);
}

TEST_F(DspTest, WithoutCallbacksEventsAndVoiceAreDropped)
{
    Start(false);
    ASSERT_EQ(RES490_ChannelOpen(1), 0);
    ASSERT_EQ(RES490_RtpChannelOpen(1), 0);
    for (const char* e : {"event 1 dtmf 5", "event 1 tone 10", "event 1 cid 555"}) ASSERT_EQ(Sim(e), "ok");
    Advance(100);
    EXPECT_TRUE(g_seen.keys.empty() && g_seen.events.empty() && g_seen.cids.empty() && g_seen.packets.empty());
    EXPECT_NE(Cfg().find("[CallBack_OnGetCallerID]-- g_sResRegister.m_pfuncOnCallerID is NULL"), std::string::npos);
}

TEST_F(DspTest, AnRtpPacketFromTheNetworkReachesTheDspChannel)
{
    Start();
    ASSERT_EQ(RES490_ChannelOpen(2), 0);
    ASSERT_EQ(RES490_RtpChannelOpen(2), 0);
    std::vector<unsigned char> rtp(172, 0xD5);
    rtp[0] = 0x80;
    rtp[1] = 8;
    rtp[2] = 0x12;
    rtp[3] = 0x34;
    EXPECT_EQ(RES490_SendRtpPacketToPcm(2, rtp.data(), static_cast<int>(rtp.size()), kDspPacketRtp), 0);
    EXPECT_EQ(ChanField(2, "rx"), "1");
    EXPECT_EQ(ChanField(2, "rx_bytes"), "172");
    EXPECT_EQ(ChanField(2, "last_seq"), "4660");
    EXPECT_EQ(ChanField(1, "rx"), "0");

    EXPECT_EQ(RES490_SendRtpPacketToPcm(2, nullptr, 172, kDspPacketRtp), -1);
    EXPECT_EQ(RES490_SendRtpPacketToPcm(2, rtp.data(), 0, kDspPacketRtp), -1);
    std::vector<unsigned char> huge(kResPacketSize, 0);  // no room for the 4-byte header
    EXPECT_EQ(RES490_SendRtpPacketToPcm(2, huge.data(), static_cast<int>(huge.size()), kDspPacketRtp), -1);
    EXPECT_EQ(ChanField(2, "rx"), "1");
}

TEST_F(DspTest, EncodedVoiceReachesTheNetworkSideWithItsDspChannel)
{
    Start();
    ASSERT_EQ(RES490_ChannelOpen(3), 0);
    ASSERT_EQ(RES490_RtpChannelOpen(3), 0);
    Advance(60);
    ASSERT_FALSE(g_seen.packets.empty());
    for (const Seen::Packet& p : g_seen.packets) {
        EXPECT_EQ(p.chn, 3);
        EXPECT_EQ(p.type, kDspPacketRtp);
        ASSERT_EQ(p.bytes.size(), 12u + 160u);  // 20 ms of A-law behind the RTP header
        EXPECT_EQ(p.bytes[1] & 0x7F, 8);
        const U32 ssrc = static_cast<U32>(p.bytes[8] << 24 | p.bytes[9] << 16 | p.bytes[10] << 8 | p.bytes[11]);
        EXPECT_EQ(ssrc, 4u);  // channels take SSRCs 1, 2, 3, ... from the start-up
    }
    // Closing the RTP function stops the voice.
    ASSERT_EQ(RES490_RtpChannelClose(3), 0);
    Pump();
    g_seen = {};
    Advance(100);
    EXPECT_TRUE(g_seen.packets.empty());
}

// Every tone request is checked by the signal the DSP was told to play and its cadence.
TEST_F(DspTest, EachToneRequestPlaysItsSignalAndTheStopIsRecorded)
{
    Start();
    ASSERT_EQ(RES490_ChannelOpen(1), 0);
    Entries("");
    for (int tone = E_PLAY_TONE_URGER; tone < E_PLAY_TONE_MAX; ++tone) {
        const API_PLAY_TONE_DURATION_NODE_T* row = nullptr;
        for (const auto& n : g_sMapPlayToneDura)
            if (n.m_iToneType == tone + 8) row = &n;
        ASSERT_NE(row, nullptr) << tone;
        ASSERT_EQ(RES490_PlayTone(1, tone), 0) << tone;
        std::vector<std::string> want;
        if (tone > E_PLAY_TONE_URGER) want.push_back("dsp_tone_stop ch=1");  // the tone before it
        want.push_back("dsp_tone ch=1 sig=" + std::to_string(tone + 8) + " sys=6 on=" +
                       std::to_string(row->m_iOnDuration) + " off=" + std::to_string(row->m_iOffDuration));
        EXPECT_EQ(Entries("dsp_tone"), want) << tone;
        EXPECT_EQ(ChanField(1, "tone_sig"), std::to_string(tone + 8));
    }
    ASSERT_EQ(RES490_StopPlayTone(1), 0);
    EXPECT_EQ(Entries("dsp_tone"), std::vector<std::string>{"dsp_tone_stop ch=1"});
    EXPECT_EQ(ChanField(1, "tone_sig"), "-1");
}

// A stalled DSP fills the host ring; the tone stop queued behind it in the driver's FIFO
// reaches the DSP once the ring moves, through the 1 ms pump alone.
TEST_F(DspTest, AToneStopQueuedBehindAStalledRingReachesTheDspOnceItMoves)
{
    Start();
    ASSERT_EQ(RES490_ChannelOpen(1), 0);
    ASSERT_EQ(Sim("fault stall"), "ok");
    for (int i = 0; i < 20; ++i) ASSERT_EQ(RES490_PlayTone(1, E_PLAY_TONE_BUSY), 0);  // more than the ring holds
    ASSERT_EQ(RES490_StopPlayTone(1), 0);
    ASSERT_GT(Ac49xGetResidentCellNumber(0, TRANSFER_MEDIUM__HOST), 0) << "the stop waits in the FIFO";
    Pump();
    Entries("");
    ASSERT_EQ(Sim("fault none"), "ok");
    EXPECT_EQ(ChanField(1, "tone_sig"), "10") << "the ring moved, the FIFO not yet";
    Pump(40);
    EXPECT_EQ(Ac49xGetResidentCellNumber(0, TRANSFER_MEDIUM__HOST), 0);
    EXPECT_EQ(ChanField(1, "tone_sig"), "-1");
    EXPECT_EQ(ChanField(1, "tone"), "0");
    const std::vector<std::string> tones = Entries("dsp_tone");
    ASSERT_FALSE(tones.empty());
    EXPECT_EQ(tones.back(), "dsp_tone_stop ch=1");
}

// The open channel packet of the gateway, byte for byte as the DSP gets it.
TEST_F(DspTest, TheChannelOpenPacketCarriesTheSpecifiedBytes)
{
    Start();
    ASSERT_EQ(Sim("trace host"), "ok");
    Entries("");
    ASSERT_EQ(RES490_ChannelOpen(2), 0);
    ASSERT_EQ(Sim("trace off"), "ok");
    std::string open;
    for (const std::string& e : Entries("dsp_in medium=host ch=2 "))
        if (e.find(" data=a0020000003d") != std::string::npos) open = e;
    ASSERT_FALSE(open.empty());
    EXPECT_NE(open.find(" len=42 "), std::string::npos) << open;
    const std::string body = "0000528" "0a0600714060000" "05c00700ff000f4001060318130000802326960000000000" "00";
    EXPECT_EQ(open.substr(open.find(" data=") + 6 + 12), body) << open;
}

// What the simulated DSP refuses, and records: voice of another payload type than the decoder
// plays, commands to a closed channel or beyond the opened ones, an RTP set-up with a coder
// the part does not have.
TEST_F(DspTest, TheDspRefusesWhatTheRealPartWouldNot)
{
    Start();
    ASSERT_EQ(RES490_ChannelOpen(2), 0);
    ASSERT_EQ(RES490_RtpChannelOpen(2), 0);
    Entries("");
    EXPECT_EQ(ToDsp(2, RtpPacket(0, 1, 160, 0xFF)), 0);  // mu-law to an A-law decoder
    EXPECT_EQ(ChanField(2, "wrong_pt"), "1");
    EXPECT_EQ(ChanField(2, "rx"), "0");
    EXPECT_EQ(ToDsp(2, RtpPacket(8, 2, 160, 0xD5)), 0);
    EXPECT_EQ(ChanField(2, "rx"), "1");

    EXPECT_EQ(Ac49xSendIbsStop(0, 5), 0);
    EXPECT_EQ(Ac49xCloseChannelConfiguration(0, 12), 0);  // the device opened 12 channels
    Tac49xActivateOrUpdateRtpChannelConfigurationAttr rtp = g_sSetupChannelAttr[0][2].ActivateOrUpdateRtp[AC49X_RTP_REGULAR];
    rtp.Decoder = 99;
    EXPECT_EQ(Ac49xUpdateRegularRtpChannelConfiguration(0, 2, &rtp), 0);
    Pump();
    EXPECT_EQ(Entries("dsp_refused"), (std::vector<std::string>{"dsp_refused ch=5 why=closed",
                                                                 "dsp_refused ch=12 why=beyond",
                                                                 "dsp_refused ch=2 why=coder"}));
    EXPECT_EQ(ChanField(5, "refused"), "1");
    EXPECT_EQ(ChanField(2, "decoder"), "3") << "the refused update changed nothing";

    // A µ-law call decodes µ-law.
    ASSERT_EQ(RES490_SetCodeType(2, G711_U), 0);
    Pump();
    EXPECT_EQ(ChanField(2, "decoder"), "2");
    EXPECT_EQ(ToDsp(2, RtpPacket(0, 3, 160, 0x80)), 0);  // mu-law 0x80: the loudest positive
    EXPECT_EQ(ChanField(2, "peak"), "32124");
}

// Voice and silence reaching a line, with the PTT word of that moment, and the sink's bytes
// captured to a file under the board root.
TEST_F(DspTest, VoiceReachingTheLineIsRecordedWithThePttWordAndCaptured)
{
    Start();
    ASSERT_EQ(RES490_ChannelOpen(2), 0);
    ASSERT_EQ(RES490_RtpChannelOpen(2), 0);
    ASSERT_EQ(Sim("chan 2 capture var/cap2.raw"), "ok");
    EXPECT_EQ(Sim("chan 2 capture ../outside"), "error: capture file must stay under the board root");
    ASSERT_EQ(Sim("chan 2 capture var/cap2.raw"), "ok");
    Entries("");
    ArmEnv_SetPTT(1, E_FLAG_ON);
    EXPECT_EQ(ToDsp(2, RtpPacket(8, 1, 160, 0xD5)), 0);
    EXPECT_EQ(ToDsp(2, RtpPacket(8, 2, 160, 0xAA)), 0);  // A-law 0xAA: the loudest positive
    EXPECT_EQ(ToDsp(2, RtpPacket(8, 3, 160, 0xAA)), 0);
    ArmEnv_SetPTT(1, E_FLAG_OFF);
    EXPECT_EQ(ToDsp(2, RtpPacket(8, 4, 160, 0xD5)), 0);
    const std::string word = Sim("ptt");
    EXPECT_EQ(word, "word=0");
    EXPECT_EQ(Entries("dsp_voice"), (std::vector<std::string>{"dsp_voice ch=2 on=1 ptt=2", "dsp_voice ch=2 on=0 ptt=0"}));
    ASSERT_EQ(Sim("chan 2 capture off"), "ok");
    const std::string cap = read_file(root + "/var/cap2.raw");
    EXPECT_EQ(cap, std::string(160, '\xD5') + std::string(320, '\xAA') + std::string(160, '\xD5'));
}

// Digits on the DSP's clock, and RFC 2833 telephone events toward the network for a digit heard
// on a channel that relays DTMF.
TEST_F(DspTest, DigitsComeOnTheDspClockAndARelayChannelSendsTelephoneEvents)
{
    Start();
    ASSERT_EQ(RES490_ChannelOpen(3), 0);
    // Gaps far longer than the test's own run time: only the DSP's clock moves the digits on.
    ASSERT_EQ(Sim("event 3 digits 1*# 20000"), "ok");
    EXPECT_EQ(Sim("event 3 digits 1x"), "error: digits takes 1..64 of 0-9, *, #, A-D");
    Advance(1);
    EXPECT_EQ(g_seen.keys, (std::vector<std::pair<int, int>>{{3, 1}}));
    Advance(10000);
    EXPECT_EQ(g_seen.keys.size(), 1u) << "the next digit waits for its gap";
    Advance(10000);
    Advance(20000);
    EXPECT_EQ(g_seen.keys, (std::vector<std::pair<int, int>>{{3, 1}, {3, 10}, {3, 11}}));
    EXPECT_TRUE(g_seen.packets.empty()) << "no RTP: no telephone events";

    ASSERT_EQ(RES490_SetDtmfTransferType(3, E_DTMF_TYPE_RFC2833), 0);
    ASSERT_EQ(RES490_Set2833PayloadSend(3, 96), 0);
    ASSERT_EQ(RES490_ChannelClose(3), 0);
    ASSERT_EQ(RES490_ChannelOpen(3), 0);
    ASSERT_EQ(RES490_RtpChannelOpen(3), 0);
    Pump();
    g_seen = {};
    ASSERT_EQ(Sim("event 3 dtmf 5 10"), "ok");
    Advance(1);
    std::vector<Seen::Packet> events;
    for (const Seen::Packet& p : g_seen.packets)
        if ((p.bytes[1] & 0x7F) == 96) events.push_back(p);
    ASSERT_EQ(events.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        const auto& b = events[static_cast<std::size_t>(k)].bytes;
        ASSERT_EQ(b.size(), 16u);
        EXPECT_EQ(b[1] & 0x80, k == 0 ? 0x80 : 0) << "marker on the first";
        EXPECT_EQ(b[12], 5);
        EXPECT_EQ(b[13], (k == 2 ? 0x80 : 0) | 10) << "end bit on the last";
        EXPECT_EQ(std::vector<unsigned char>(b.begin() + 4, b.begin() + 8),
                  std::vector<unsigned char>(events[0].bytes.begin() + 4, events[0].bytes.begin() + 8));
    }
    EXPECT_EQ(g_seen.keys, (std::vector<std::pair<int, int>>{{3, 5}}));
}

}  // namespace
