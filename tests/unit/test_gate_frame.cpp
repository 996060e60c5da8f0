// The gateway's loop counting, its one-minute step and the daily reboot timer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>

#include "gate_test_board.h"
#include "main.h"
#include "struct_sys.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

timeval At(long long us) { return timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)}; }

TEST(LoopCount, MillisecondsPerPass)
{
    EXPECT_EQ(System_GetProcessCnt(nullptr), -1);
    long long t = 1000LL * 1000000 + 999500;  // half a millisecond before a second boundary
    timeval now = At(t);
    EXPECT_EQ(System_GetProcessCnt(&now), 0);  // the first pass only starts the count

    // 4.6 ms a pass for 1000 passes: the part below a millisecond is carried, so exactly the
    // 4600 elapsed milliseconds are run, and the 10 ms step comes every 10 of them.
    long long counted = 0, tens = 0;
    for (int pass = 0; pass < 1000; ++pass) {
        t += 4600;
        now = At(t);
        int ms = System_GetProcessCnt(&now);
        EXPECT_GE(ms, 4);
        EXPECT_LE(ms, 5);
        for (int i = 0; i < ms; ++i) tens += (++counted % 10) == 0;
    }
    EXPECT_EQ(counted, 4600);
    EXPECT_EQ(tens, 460);

    // One row per stall: how long, how much of it is run at once.
    struct Case {
        long long gap_us;
        int want;
    } cases[] = {
        {3000000, 1999},   // a long stall is caught up only so far
        {2500000, 1999},
        {999, 0},          // below a millisecond: nothing yet...
        {1, 1},            // ...but it is not lost
        {-5000, 0},        // a clock going back counts nothing
        {2000, 2},         // and counting goes on from there
    };
    for (const Case& c : cases) {
        t += c.gap_us;
        now = At(t);
        EXPECT_EQ(System_GetProcessCnt(&now), c.want) << c.gap_us;
    }
}

TEST(MinuteStep, DateStampEveryMinute)
{
    std::string root = gate_test_root();
    const std::string stamp = "date > " + root + "/root/log/newsdate\n";
    System_Check1minute(59999);
    System_Check1minute(30000);
    EXPECT_THAT(shell_log(), Not(HasSubstr(stamp)));
    System_Check1minute(60000);
    System_Check1minute(120000);
    EXPECT_EQ(count_of(shell_log(), stamp), 2u);
}

// The board's clock, moved by the tests.
time_t s_tNow = 0;
time_t TestClock() { return s_tNow; }
// The wall time at which the board's shifted clock (8 hours ahead, zone UTC) reads hh:mm:ss.
time_t BoardTime(int day, int h, int m, int s) { return 1700006400 + day * 86400LL + h * 3600 + m * 60 + s - 28800; }

class Reboot : public ::testing::Test {
protected:
    void SetUp() override
    {
        gate_test_root();
        setenv("TZ", "UTC0", 1);
        tzset();
        System_SetWallClock(TestClock);
        for (auto& u : g_sUserInfo) u = {};
        for (auto& u : g_sUserInfo) u.m_iUserChn = -1;
        g_iUse_Chn_Max = kMaxUserChn;
        g_sUserInfo[0].m_iUserChn = 0;
        g_sUserInfo[3].m_iUserChn = 3;  // the last line in use decides
        g_sUserInfo[3].m_sRegInfo.m_eRegResult = E_REG_SUCC;
        g_sDBInfo.m_sSysCfgInfo.m_sReStartFlag = 0;
        Static_SysReboot();  // the count starts from 0
        g_sDBInfo.m_sSysCfgInfo.m_sReStartFlag = 1;
        g_sDBInfo.m_sSysCfgInfo.m_sCntDayTime = 1;
        earlier = 0;
        earlier = Reboots();
    }
    void TearDown() override { System_SetWallClock(nullptr); }
    std::size_t Reboots()
    {
        std::istringstream lines(shell_log());
        std::size_t n = 0;
        for (std::string line; std::getline(lines, line);) n += line == "reboot";
        return n - earlier;
    }
    std::size_t earlier = 0;  // reboots of earlier tests in this process
    void Seconds(long long n)
    {
        for (long long i = 0; i < n; ++i) Static_SysReboot();
    }
};

TEST_F(Reboot, AfterDayTimeDaysOfRegistrationAtMidnight)
{
    s_tNow = BoardTime(0, 0, 0, 0);
    Seconds(86399);
    EXPECT_EQ(Reboots(), 0u);
    Seconds(1);  // the 86400th registered second, at midnight
    EXPECT_EQ(Reboots(), 1u);
}

TEST_F(Reboot, CountPausesWhileUnregisteredAndRestartsWhenTurnedOff)
{
    s_tNow = BoardTime(0, 0, 0, 0);
    g_sUserInfo[3].m_sRegInfo.m_eRegResult = E_REG_FAIL;
    g_sUserInfo[0].m_sRegInfo.m_eRegResult = E_REG_SUCC;  // not the last line: does not count
    Seconds(90000);
    EXPECT_EQ(Reboots(), 0u);
    g_sUserInfo[3].m_sRegInfo.m_eRegResult = E_REG_SUCC;
    Seconds(86000);
    g_sDBInfo.m_sSysCfgInfo.m_sReStartFlag = 0;
    Seconds(1);  // turned off: the count starts again from 0
    g_sDBInfo.m_sSysCfgInfo.m_sReStartFlag = 1;
    Seconds(86399);
    EXPECT_EQ(Reboots(), 0u);
    Seconds(1);
    EXPECT_EQ(Reboots(), 1u);
}

TEST_F(Reboot, NoLineNoCount)
{
    for (auto& u : g_sUserInfo) u.m_iUserChn = -1;
    g_sDBInfo.m_sSysCfgInfo.m_sCntDayTime = 0;
    s_tNow = BoardTime(0, 0, 0, 0);
    Seconds(10);
    EXPECT_EQ(Reboots(), 0u);
}

TEST_F(Reboot, MidnightIsNotMissedBetweenTwoChecks)
{
    g_sDBInfo.m_sSysCfgInfo.m_sCntDayTime = 0;  // the first midnight after start-up
    // One row per check: the shifted clock, whether this check reboots.
    struct Case {
        int day, h, m, s;
        bool reboot;
    } cases[] = {
        {0, 23, 59, 58, false},
        {0, 23, 59, 59, false},
        {1, 0, 0, 1, true},    // 00:00:00 fell between two checks
        {1, 0, 0, 2, false},   // once
        {1, 12, 0, 0, false},
        {2, 0, 0, 0, true},    // the exact second
        {2, 0, 0, 1, false},
        {3, 9, 30, 0, false},  // a new day found long after midnight (clock set) is no midnight
    };
    std::size_t before = Reboots();
    for (const Case& c : cases) {
        s_tNow = BoardTime(c.day, c.h, c.m, c.s);
        Seconds(1);
        std::size_t now = Reboots();
        EXPECT_EQ(now - before, c.reboot ? 1u : 0u) << c.day << " " << c.h << ":" << c.m << ":" << c.s;
        before = now;
    }
}

TEST_F(Reboot, LongDayTimeDoesNotOverflow)
{
    g_sDBInfo.m_sSysCfgInfo.m_sCntDayTime = 30000;  // 30000 x 86400 is beyond a 32-bit count
    s_tNow = BoardTime(0, 0, 0, 0);
    EXPECT_EQ(Static_GetRebootTime(86400), 0);
    EXPECT_EQ(Static_GetRebootTime(2592000000LL - 1), 0);
    EXPECT_EQ(Static_GetRebootTime(2592000000LL), 1);
}

}  // namespace
