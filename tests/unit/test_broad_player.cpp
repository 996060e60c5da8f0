// The broadcast player's steps, with what it does to the lines, the board and the DSP recorded
// (the line module's media and BYE calls, the PTT output and the DSP hand-over are wrapped):
// which calls are hung up, how long line 0 is waited for, what a pass sends, and that a thread
// on the player's body leaves every record to the main loop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "broad_player.h"
#include "gate_test_board.h"
#include "http_interface.h"
#include "rtp_res.h"
#include "user.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<std::string> g_calls;           // what the player did to lines, board and DSP, in order
std::vector<std::string> g_packets;         // what it handed to the DSP

}  // namespace

extern "C" int __wrap__Z13User_BroadByeP11USER_INFO_T(USER_INFO_T* user)
{
    g_calls.push_back("bye " + std::to_string(user->m_iUserChn));
    return 0;
}
extern "C" int __wrap__Z14UserOpenRtpChnP11USER_INFO_T(USER_INFO_T* user)
{
    g_calls.push_back("open coder " + std::to_string(user->m_eUseCoder));
    return 0;
}
extern "C" int __wrap__Z15UserCloseRtpChnP11USER_INFO_T(USER_INFO_T*)
{
    g_calls.push_back("close");
    return 0;
}
extern "C" void __wrap__Z16UserPlayToneStopP11USER_INFO_T(USER_INFO_T*) { g_calls.push_back("tone stop"); }
extern "C" void __wrap__Z13ArmEnv_SetPTTii(int line, int flag)
{
    g_calls.push_back("ptt " + std::to_string(line) + " " + std::to_string(flag));
}
extern "C" int __wrap__Z19RTP_SetRtpFrameSizeii(int, int ms)
{
    g_calls.push_back("frame " + std::to_string(ms));
    return 0;
}
extern "C" int __wrap__Z12RtpSendToPcmiPhi(int channel, unsigned char* packet, int length)
{
    if (channel == 0) g_packets.emplace_back(reinterpret_cast<const char*>(packet), static_cast<std::size_t>(length));
    return 0;
}

namespace {

constexpr int kLine0Chn = 0;

std::string Wav(const std::string& data)
{
    auto le32 = [](std::uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    return "RIFF" + le32(static_cast<std::uint32_t>(data.size() + 36)) + "WAVEfmt " + le32(16) +
           std::string("\x06\x00\x01\x00", 4) + le32(8000) + le32(8000) + std::string("\x01\x00\x08\x00", 4) + "data" +
           le32(static_cast<std::uint32_t>(data.size())) + data;
}

class BroadPlayer : public GateTest {
protected:
    void SetUp() override
    {
        GateTest::SetUp();
        ASSERT_EQ(getcwd(cwd, sizeof cwd), cwd);
        ASSERT_EQ(chdir(root.c_str()), 0);   // "1.wav" is the working directory's
        g_iUse_Chn_Max = 4;
        for (int i = 0; i < kMaxUserChn; ++i) {
            g_sUserInfo[i] = {};
            g_sUserInfo[i].m_iUserChn = i < 4 ? i : -1;
            g_sUserInfo[i].m_iChnSip = -1;
            g_sUserInfo[i].m_eUseCoder = G711_U;   // the last call's codec
        }
        g_sRtpChnList[0] = {};
        g_sRtpChnList[0].broad_fd = -1;
        g_sSysCfgInfo.m_sTimeCfg.m_iTBusyTone = 3;
        SetBroad(0, 0);
        g_calls.clear();
        g_packets.clear();
        unlink("1.wav");
    }
    void TearDown() override
    {
        if (g_sRtpChnList[0].broad_fd >= 0) close(g_sRtpChnList[0].broad_fd);
        g_sRtpChnList[0].broad_fd = -1;
        SetBroad(0, 0);
        unlink("1.wav");
        ASSERT_EQ(chdir(cwd), 0);
    }
    static void SetBroad(int status, int count)
    {
        std::lock_guard<std::mutex> lock(g_sBroadInfo.m_mtxLock);
        g_sBroadInfo.broad_status = status;
        g_sBroadInfo.broad_count = count;
    }
    // Steps of 20 ms.
    static void Steps(int n)
    {
        for (int i = 0; i < n; ++i) broad_play_voice();
    }
    char cwd[4096] = {};
};

TEST_F(BroadPlayer, AThreadOnItsBodyTouchesNothingTheMainLoopStepsIt)
{
    write_file(root + "/1.wav", Wav(std::string(10, 'a')));
    SetBroad(1, 1);
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, _cbBroadThread, nullptr), 0);
    ASSERT_EQ(pthread_join(t, nullptr), 0);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(Broad_GetStatus(), 1);

    Broad_Process(kBroadStepMs - 1);
    EXPECT_TRUE(g_calls.empty());
    Broad_Process(kBroadStepMs);
    // PCMA at 20 ms whatever line 0's last call used.
    EXPECT_THAT(g_calls, ElementsAre("frame 20", "open coder 1", "tone stop", "ptt 0 1"));
    EXPECT_EQ(Broad_GetStatus(), 2);
}

TEST_F(BroadPlayer, EveryCallOfLines0To3EndsWithItsOwnByeLinesWithoutOneAreSkipped)
{
    struct Line {
        USER_STATUS_E status;
        int sip_chn;
    };
    const Line lines[] = {
        {E_USER_ON_TALKING, 5},
        {E_USER_PLAY_TONE_BUSY, -1},   // its call already over: nothing to hang up
        {E_USER_ON_IDLE, -1},
        {E_USER_ON_RING_183, 7},
    };
    for (int i = 0; i < 4; ++i) {
        g_sUserInfo[i].m_eUserStatus = lines[i].status;
        g_sUserInfo[i].m_iChnSip = lines[i].sip_chn;
    }
    SetBroad(1, 1);
    Steps(1);
    EXPECT_THAT(g_calls, ElementsAre("bye 0", "bye 3"));
    EXPECT_EQ(count_of(Flow(), "broad start, hang up calling......"), 2u);
    EXPECT_EQ(Broad_GetStatus(), 4);   // line 0 is waited for
}

TEST_F(BroadPlayer, Line0IsWaitedForUntilIdleForItsBusyToneAndTwoSecondsMore)
{
    write_file(root + "/1.wav", Wav(std::string(10, 'a')));
    struct Case {
        int idle_at_step;   // -1 never
        int want_status;
    };
    // A busy tone of 3 s outlasts the 2 s the broadcast once waited: line 0 idle after 3 s
    // plays; a line 0 never idle is given up after 5 s.
    const Case cases[] = {{150, 2}, {-1, 0}};
    for (const Case& c : cases) {
        g_calls.clear();
        g_sUserInfo[0].m_eUserStatus = E_USER_PLAY_TONE_BUSY;
        SetBroad(1, 1);
        const std::size_t drops = count_of(Flow(), "broad srarting......");
        int step = 0;
        while (Broad_GetStatus() == 1 || Broad_GetStatus() == 4) {
            ++step;
            if (step == c.idle_at_step) g_sUserInfo[0].m_eUserStatus = E_USER_ON_IDLE;
            broad_play_voice();
        }
        EXPECT_EQ(Broad_GetStatus(), c.want_status) << c.idle_at_step;
        EXPECT_EQ(step, c.idle_at_step > 0 ? c.idle_at_step : 5000 / kBroadStepMs) << c.idle_at_step;
        EXPECT_EQ(count_of(Flow(), "broad srarting......") - drops, c.want_status == 0 ? 1u : 0u);
        EXPECT_EQ(g_calls.empty(), c.want_status == 0);
        if (g_sRtpChnList[0].broad_fd >= 0) close(g_sRtpChnList[0].broad_fd);
        g_sRtpChnList[0].broad_fd = -1;
    }
}

TEST_F(BroadPlayer, APassSendsTheDataAfterTheLeadInPaddedWithSilenceThenStops)
{
    std::string data;
    for (int i = 0; i < 170; ++i) data += static_cast<char>(i);
    write_file(root + "/1.wav", Wav(data));
    SetBroad(1, 2);
    Steps(1 + kBroadLeadInSteps);
    EXPECT_TRUE(g_packets.empty());   // 2 s of PTT and nothing else
    Steps(4);
    ASSERT_EQ(g_packets.size(), 4u);
    const std::string last = data.substr(160) + std::string(150, '\xd5');   // no stale tail
    for (int i = 0; i < 4; ++i) {
        const std::string& p = g_packets[static_cast<std::size_t>(i)];
        ASSERT_EQ(p.size(), 172u);
        EXPECT_EQ(p.substr(12), i % 2 == 0 ? data.substr(0, 160) : last) << i;   // the header never
        EXPECT_EQ(static_cast<unsigned char>(p[1]), 8u);
        EXPECT_EQ((static_cast<unsigned char>(p[2]) << 8 | static_cast<unsigned char>(p[3])), kBroadLeadInSteps + 1 + i);
    }
    EXPECT_EQ(Broad_GetStatus(), 3);
    g_calls.clear();
    Steps(1);
    EXPECT_THAT(g_calls, ElementsAre("close", "tone stop", "ptt 0 0"));
    EXPECT_EQ(Broad_GetStatus(), 0);
    EXPECT_EQ(g_sRtpChnList[0].broad_fd, -1);
    EXPECT_THAT(Flow(), HasSubstr("broad close......"));
}

}  // namespace
