// The switch loop's one-second tick and the counters that hang off it, pass by pass on a clock
// the test sets, with the steps replaced by recorders.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "frame.h"
#include "switch_settings.h"

namespace {

std::vector<std::string> g_calls;
int g_scan_left = 0;   // entries the stand-in user refresh has left before it reports the end

const FrameSteps kRecorders{
    [] { g_calls.push_back("tick"); },
    [] { g_calls.push_back("receive"); },
    [] { g_calls.push_back("keepalive"); },
    [](int restart) {
        g_calls.push_back(restart ? "rewind" : "refresh");
        if (restart) return 1;
        return --g_scan_left < 0 ? -1 : 1;
    },
    [] { g_calls.push_back("connect"); },
    [] { g_calls.push_back("monitors"); },
};

constexpr std::int64_t kSecond = 1000000;

class SwitchFrame : public ::testing::Test {
protected:
    FrameState state;
    std::int64_t now = 5 * kSecond + 250000;   // the clock need not start on a second

    void SetUp() override
    {
        reset_switch_settings();
        g_work_mode = 1;
        g_sleep_seconds = 0;
        g_calls.clear();
        g_scan_left = 0;
    }

    // One pass at now; the names of the steps it ran, in order.
    std::vector<std::string> pass()
    {
        g_calls.clear();
        Frame_Pass(state, now, kRecorders);
        return g_calls;
    }

    // The loop's first pass; the next pass of count_over is then the first tick's.
    void start()
    {
        pass();
        now += kSecond - 1000;
    }

    // Passes 1 ms apart for `seconds` seconds; how many of them ran `name`. After start(), each
    // second begins with its tick.
    int count_over(int seconds, const std::string& name)
    {
        int n = 0;
        for (int i = 0; i < seconds * 1000; ++i) {
            now += 1000;
            for (const std::string& c : pass()) n += c == name;
        }
        return n;
    }
};

using Steps = std::vector<std::string>;

TEST_F(SwitchFrame, TheFirstPassRunsNoTickAndTheTickComesASecondLater)
{
    EXPECT_EQ(pass(), Steps{"receive"});
    now += kSecond - 1;
    EXPECT_EQ(pass(), Steps{"receive"});
    now += 1;
    EXPECT_EQ(pass(), (Steps{"tick", "receive"}));
    EXPECT_EQ(g_sleep_seconds, 1);
    // Passes far apart or close together: one tick per second of clock.
    EXPECT_EQ(count_over(10, "tick"), 10);
}

TEST_F(SwitchFrame, AStallCountsOnce)
{
    struct Case {
        const char* what;
        std::int64_t stall;
        int ticks_at_once;
    };
    const Case cases[] = {
        {"an hour forward", 3600 * kSecond, 1},
        {"three seconds and a half", 3 * kSecond + 500000, 1},
        {"a second and a half", kSecond + 500000, 1},
    };
    for (const Case& c : cases) {
        state = FrameState{};
        pass();
        now += kSecond / 2;
        pass();
        now += c.stall;
        int ticks = 0;
        for (const std::string& s : pass()) ticks += s == "tick";
        EXPECT_EQ(ticks, c.ticks_at_once) << c.what;
        // The following second holds at most one more tick, not a burst that catches up.
        EXPECT_LE(count_over(1, "tick"), 2) << c.what;
    }
}

TEST_F(SwitchFrame, KeepaliveEverySecondTickWhileBillingIsOnAndTheCountRunsWhileItIsOff)
{
    start();
    sip_fee_enable = 0;
    EXPECT_EQ(count_over(2, "keepalive"), 0);
    // The count was cleared at the second tick although nothing was sent: the next keepalive
    // is two ticks after it, not one.
    sip_fee_enable = 1;
    EXPECT_EQ(count_over(1, "keepalive"), 0);
    EXPECT_EQ(count_over(1, "keepalive"), 1);
    EXPECT_EQ(count_over(6, "keepalive"), 3);
}

TEST_F(SwitchFrame, UserRefreshRewindsAtTenAndScansOneEntryPerPassInItsSecond)
{
    start();
    EXPECT_EQ(count_over(9, "rewind"), 0);
    EXPECT_EQ(count_over(1, "rewind"), 1);   // tick 10
    // The rewind moved the count from 10 to 11, so the scan's second is tick 19.
    EXPECT_EQ(count_over(8, "refresh"), 0);
    g_scan_left = 5;
    // Every pass refreshes one entry until the scan reports its end (5 entries, then the end).
    EXPECT_EQ(count_over(1, "refresh"), 6);
    // The count starts again: the next rewind is ten ticks later.
    EXPECT_EQ(count_over(9, "rewind"), 0);
    EXPECT_EQ(count_over(1, "rewind"), 1);
}

TEST_F(SwitchFrame, ARefreshScanUnfinishedInItsSecondGoesOnTenTicksLater)
{
    start();
    count_over(18, "");
    g_scan_left = 100000;   // longer than the 1000 passes of that second
    EXPECT_EQ(count_over(1, "refresh"), 1000);
    EXPECT_EQ(count_over(9, "refresh"), 0);
    EXPECT_EQ(count_over(1, "refresh"), 1000);
}

TEST_F(SwitchFrame, RecordServersAreGreetedEveryTwentyTicks)
{
    start();
    EXPECT_EQ(count_over(19, "connect"), 0);
    EXPECT_EQ(count_over(1, "connect"), 1);
    EXPECT_EQ(count_over(20, "connect"), 1);
}

TEST_F(SwitchFrame, MonitorsRunEveryPassOnlyWhileEnabled)
{
    sip_netmon_enable = 0;
    EXPECT_EQ(pass(), Steps{"receive"});
    sip_netmon_enable = 1;
    EXPECT_EQ(pass(), (Steps{"receive", "monitors"}));
}

TEST_F(SwitchFrame, StandbyEndsTwentyTicksAfterTheLastRequest)
{
    start();
    count_over(5, "");
    // The monitor's standby request clears the count and stops the SIP reads.
    g_work_mode = 0;
    g_sleep_seconds = 0;
    count_over(19, "");
    EXPECT_EQ(g_work_mode, 0);
    count_over(1, "");
    EXPECT_EQ(g_work_mode, 1);
    EXPECT_EQ(g_sleep_seconds, 0);
}

TEST_F(SwitchFrame, TheSleepEndsWhenTheTickOrARunningRefreshIsDue)
{
    pass();
    EXPECT_EQ(Frame_Sleep_Us(state, now), kSecond);
    EXPECT_EQ(Frame_Sleep_Us(state, now + 300000), kSecond - 300000);
    EXPECT_EQ(Frame_Sleep_Us(state, now + 2 * kSecond), 0);
    // Sleeping exactly that long brings the tick.
    now += Frame_Sleep_Us(state, now);
    EXPECT_EQ(pass(), (Steps{"tick", "receive"}));
    EXPECT_EQ(Frame_Sleep_Us(state, now), kSecond);

    // While the refresh scans, the passes keep their old pace of one per 100 microseconds.
    now += kSecond - 1000;
    count_over(17, "");
    g_scan_left = 100000;
    count_over(1, "");   // tick 19 and its second
    EXPECT_EQ(Frame_Sleep_Us(state, now), 100);
}

}  // namespace
