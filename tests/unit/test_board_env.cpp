// The board environment's sampling and outputs on the simulated board: the COR bit of each
// line by mode and card, the inhibit after a PTT release, the hot line, the COR LEDs, the PTT
// requests, the status LEDs and the reset input; and the one rewriter of key lines.
#include <string>

#include "board_env_fixture.h"
#include "user.h"

namespace {

int s_iHotLineCalls = 0;
int s_iHotLineLast = -1;
int CountHotLine(int line)
{
    ++s_iHotLineCalls;
    s_iHotLineLast = line;
    return 0;
}

TEST_F(BoardEnvTest, CorBitOfEachLineByModeAndCard)
{
    struct Case {
        SYS_COMPATIBLE_MODE_E mode;
        int card, lines, active_level, word, free_line, want;
    };
    const Case cases[] = {
        {E_SYS_4W, 1, 4, 1, 0b1000, -1, 0b0001},  // the new card counts lines from the top bit
        {E_SYS_4W, 0, 4, 1, 0b1000, -1, 0b1000},  // the old card from bit 0
        {E_SYS_2W, 1, 2, 1, 0b10, -1, 0b01},
        {E_SYS_2W, 0, 2, 1, 0b10, -1, 0b10},
        {E_SYS_4W, 1, 4, 0, 0b0111, -1, 0b0001},  // active low
        {E_SYS_4W, 0, 4, 1, 0b1111, 2, 0b1011},   // a free line never shows COR
        {E_SYS_9W, 1, 9, 1, 0b10, -1, 1 << 7},    // only line 7, from bit 1
        {E_SYS_9W, 0, 9, 1, 0b10, -1, 1 << 7},
        {E_SYS_9W, 1, 9, 1, 0x1FD, -1, 0},
    };
    for (const Case& c : cases) {
        Board(c.mode, c.card, c.lines);
        for (int i = 0; i < c.lines; ++i) g_iCorAbleValue[i] = c.active_level;
        if (c.free_line >= 0) g_sUserInfo[c.free_line].m_iUserChn = -1;
        sim("set cor " + std::to_string(c.word));
        ArmEnv_Process();
        EXPECT_EQ(Cor(), c.want) << "mode " << c.mode << " card " << c.card << " word " << c.word;
    }
}

TEST_F(BoardEnvTest, InhibitAfterTheLinesOwnPttRelease)
{
    Board(E_SYS_4W, 1, 4);
    ArmEnv_SetBateTime(0, 500);
    // Carrier present from the release on: 50 steps inactive, then active.
    sim("set cor 8");
    g_sUserInfo[0].m_eCortimeFlag = E_FLAG_ON;
    for (int step = 1; step <= 50; ++step) {
        ArmEnv_Process();
        ASSERT_EQ(ArmEnv_GetCorInfo(0), 0) << "step " << step;
    }
    EXPECT_EQ(g_sUserInfo[0].m_eCortimeFlag, E_FLAG_OFF);
    ArmEnv_Process();
    EXPECT_EQ(ArmEnv_GetCorInfo(0), 1);

    // Released while the carrier is absent: nothing is counted until it comes.
    Board(E_SYS_4W, 1, 4);
    ArmEnv_SetBateTime(0, 500);
    sim("set cor 0");
    g_sUserInfo[0].m_eCortimeFlag = E_FLAG_ON;
    for (int step = 0; step < 30; ++step) ArmEnv_Process();
    EXPECT_EQ(g_sCorInfo[0].m_iBateTime, 0);
    sim("set cor 8");
    for (int step = 1; step <= 50; ++step) {
        ArmEnv_Process();
        ASSERT_EQ(ArmEnv_GetCorInfo(0), 0) << "step " << step;
    }
    ArmEnv_Process();
    EXPECT_EQ(ArmEnv_GetCorInfo(0), 1);
}

TEST_F(BoardEnvTest, HotLineFiresOncePerCorRiseAfterTheHoldTime)
{
    Board(E_SYS_2W, 1, 2);
    g_sSysCfgInfo.m_iPttHotLineTime = 100;
    g_sUserInfo[1].m_iPttHtlEna = 1;
    g_sUserInfo[1].m_sKeyCfg.m_sKHotLine.m_fpFunc = CountHotLine;
    s_iHotLineCalls = 0;
    sim("set cor 1");  // line 1 on the new two-line card
    for (int step = 1; step <= 9; ++step) ArmEnv_Process();
    EXPECT_EQ(s_iHotLineCalls, 0);
    ArmEnv_Process();
    EXPECT_EQ(s_iHotLineCalls, 1);
    EXPECT_EQ(s_iHotLineLast, 1);
    for (int step = 0; step < 50; ++step) ArmEnv_Process();
    EXPECT_EQ(s_iHotLineCalls, 1);  // held: once

    sim("set cor 0");
    ArmEnv_Process();
    sim("set cor 1");
    for (int step = 0; step < 10; ++step) ArmEnv_Process();
    EXPECT_EQ(s_iHotLineCalls, 2);

    // A line in a call does not dial its hot line.
    sim("set cor 0");
    ArmEnv_Process();
    g_sUserInfo[1].m_eUserStatus = E_USER_ON_TALKING;
    sim("set cor 1");
    for (int step = 0; step < 30; ++step) ArmEnv_Process();
    EXPECT_EQ(s_iHotLineCalls, 2);
    const std::string flow = Flow();
    EXPECT_EQ(count_of(flow, "[ArmEnvReadCor]--User:[] , CorAbleValue:[1], Get Cor:[1]"), 2u);
}

TEST_F(BoardEnvTest, TwoLineCorLedsAreWrittenOnEverySample)
{
    // The simulated board notes a COR LED only when it changes and counts every write.
    auto writes = [] {
        std::array<char, 256> reply{};
        SimBoard_Command("led_writes", reply.data(), reply.size());
        return std::string(reply.data());
    };
    Board(E_SYS_2W, 0, 2);
    sim("set cor 0");
    ArmEnv_Process();
    sim_outputs();
    const std::string before = writes();
    for (int word : {0b01, 0b00, 0b10, 0b10}) {
        sim("set cor " + std::to_string(word));
        ArmEnv_Process();
    }
    std::vector<std::string> leds;
    for (const std::string& e : sim_outputs())
        if (e.rfind("cor", 0) == 0) leds.push_back(e);
    EXPECT_EQ(leds, (std::vector<std::string>{"cor1_led value=1", "cor1_led value=0", "cor2_led value=1"}));
    // Each sample writes both LEDs, an unchanged COR too, so a dropped carrier darkens its LED.
    auto count = [](const std::string& text, const std::string& key) {
        std::size_t at = text.find(key + "=");
        return at == std::string::npos ? -1L : std::stol(text.substr(at + key.size() + 1));
    };
    const std::string after = writes();
    EXPECT_EQ(count(after, "cor1_led") - count(before, "cor1_led"), 4) << before << " / " << after;
    EXPECT_EQ(count(after, "cor2_led") - count(before, "cor2_led"), 4) << before << " / " << after;

    // Four-wire mode has no COR LEDs.
    Board(E_SYS_4W, 1, 4);
    sim("set cor 15");
    ArmEnv_Process();
    for (const std::string& e : sim_outputs()) EXPECT_NE(e.rfind("cor", 0), 0u) << e;
}

TEST_F(BoardEnvTest, PttRequestsByMode)
{
    struct Case {
        SYS_COMPATIBLE_MODE_E mode;
        int line, flag;
        const char* want;  // empty: no request
    };
    const Case cases[] = {
        {E_SYS_2W, 0, 1, "ptt1 value=1"},    {E_SYS_2W, 0, 0, "ptt1 value=0"},
        {E_SYS_2W, 1, 1, "ptt2 value=1"},    {E_SYS_2W, 1, 7, "ptt2 value=0"},
        {E_SYS_4W, 2, 1, "ptt chn=3 value=1"}, {E_SYS_4W, 0, 0, "ptt chn=1 value=0"},
        {E_SYS_9W, 8, 1, "ptt chn=9 value=1"}, {E_SYS_4W, 1, 7, ""},
        {E_SYS_4V, 1, 1, ""},
    };
    for (const Case& c : cases) {
        Board(c.mode, 1, c.mode == E_SYS_9W ? 9 : 4);
        ArmEnv_SetPTT(c.line, c.flag);
        std::vector<std::string> want;
        if (*c.want) want.push_back(c.want);
        EXPECT_EQ(sim_outputs(), want) << "mode " << c.mode << " line " << c.line << " flag " << c.flag;
    }
}

TEST_F(BoardEnvTest, StatusLedsShowRegistrationAndCallState)
{
    Board(E_SYS_4W, 1, 4);
    g_sUserInfo[3].m_iUserChn = -1;  // a free line's LED is left alone
    g_sUserInfo[0].m_sRegInfo.m_eRegResult = E_REG_FAIL;
    g_sUserInfo[1].m_sRegInfo.m_eRegResult = E_REG_SUCC;
    g_sUserInfo[1].m_eUserStatus = E_USER_ON_RING_183;
    g_sUserInfo[2].m_sRegInfo.m_eRegResult = E_REG_SUCC;
    g_sUserInfo[2].m_eUserStatus = E_USER_ON_TALKING;
    ArmEnv_Set4StatusLed();
    ArmEnv_Set4StatusLed();
    g_sUserInfo[1].m_eUserStatus = E_USER_ON_IDLE;
    ArmEnv_Set4StatusLed();
    EXPECT_EQ(sim_outputs(), (std::vector<std::string>{
                                 "led index=1 value=1 variant=0", "led index=2 value=1 variant=0",
                                 "led index=3 value=1 variant=0", "led index=1 value=1 variant=0",
                                 "led index=2 value=1 variant=0", "led index=3 value=0 variant=0",
                                 "led index=1 value=1 variant=0", "led index=2 value=0 variant=0",
                                 "led index=3 value=1 variant=0"}));
}

TEST_F(BoardEnvTest, ResetInputHeldSetsTheFallbackAddressEveryTenSeconds)
{
    const std::size_t before = count_of(shell_log(), "ifconfig eth0 192.168.1.100");
    sim("set reset 0");
    for (int second = 1; second <= 25; ++second) ArmEnv_SetIp();
    sim("set reset 1");
    ArmEnv_SetIp();
    EXPECT_EQ(count_of(shell_log(), "ifconfig eth0 192.168.1.100") - before, 2u);
    int beeps = 0;
    for (const std::string& e : sim_outputs()) beeps += e == "buzzer value=1";
    EXPECT_EQ(beeps, 6);
}

TEST_F(BoardEnvTest, CorForwardersNeedALineInUse)
{
    Board(E_SYS_2W, 1, 2);
    g_sUserInfo[1].m_iUserChn = -1;
    g_sUserInfo[0].m_sCfgCorAudio.m_eCorParity = 1;
    EXPECT_EQ(User_SetCorParity(0), 0);
    EXPECT_EQ(g_iCorAbleValue[0], 0);
    EXPECT_EQ(User_SetBateTime(0, 300), 0);
    EXPECT_EQ(g_iBateTimeThread[0], 300);
    EXPECT_EQ(User_SetCorRead(0), 0);
    for (int line : {1, 2, -1}) {
        EXPECT_EQ(User_SetCorParity(line), -1);
        EXPECT_EQ(User_SetCorRead(line), -1);
        EXPECT_EQ(User_SetBateTime(line, 1), -1);
    }
    EXPECT_NE(Flow().find("[User_SetCorParity]-- User_GetByUserChn failed... return"), std::string::npos);
}

TEST(KeyLines, OnlyLinesBeginningWithTheKeyAreRewritten)
{
    const std::string root = gate_test_root();
    const std::string path = "/root/keylines";
    const std::string long_line(300, 'x');
    struct Case {
        std::string before, after;
        int want;
    };
    const Case cases[] = {
        {"auto=1\nip=10.0.0.1\nname=ip=x\n", "auto=1\nip=192.168.1.1\nname=ip=x\n", 1},
        {"ip=192.168.1.1\n", "ip=192.168.1.1\n", 0},                  // already so: not written
        {long_line + "ip=9\nip=8", long_line + "ip=9\nip=192.168.1.1\n", 1},  // whole lines, any length
        {"# ip=1\n", "# ip=1\n", 0},
    };
    for (const Case& c : cases) {
        write_file(root + path, c.before);
        EXPECT_EQ(Sys_ReplaceKeyLines(path.c_str(), "ip=", "192.168.1.1"), c.want) << c.before;
        EXPECT_EQ(read_file(root + path), c.after) << c.before;
    }
    EXPECT_EQ(Sys_ReplaceKeyLines("/root/no-such-file", "ip=", "1"), -1);
}

}  // namespace
