// frame.h — sipswitch's process frame: start-up order, the polling loop with its one-second
// tick, and the orderly end on SIGINT or SIGTERM.
#pragma once
#include <cstdint>

#include "text.h"

inline constexpr const char* kSwitchVersion = "softswitch_V4.1.7_Record_20080808";

extern int g_work_mode;       // 0: standby, no SIP datagram is read
extern int g_sleep_seconds;   // ticks since the last standby request or restart of the count

// Texts read by the builders, routing and recording; nothing fills them, so they stay empty.
extern Text<16> g_up_server_host;
extern Text<100> g_no_record_list;
extern Text<10> g_invite_prefix;
extern Text<10> g_route_prefix;

// 1 connected (g_db set); -1 logged.
int Connect_Database(const char* host, const char* port, const char* name, const char* user,
                     const char* password);

// The one-second tick, from a clock of microseconds: a change of the seconds field counts as one
// second whatever its size, so a stall gives one tick, not a burst; the first pass only reads
// the clock.
struct FrameTick {
    bool first = true;
    std::int64_t prev_sec = 0;
    std::int64_t prev_usec = 0;
    long long acc_us = 0;

    // One pass at now_us: true when the tick runs on it (at most one per pass).
    bool pass(std::int64_t now_us);
    // Microseconds from now_us until a pass would run the tick (0: it is due).
    std::int64_t until_tick(std::int64_t now_us) const;
};

// Counters that advance with the tick: billing keepalive, user refresh, record-server greeting.
struct FrameCounters {
    int keepalive = 0;
    int refresh = 0;
    int connect = 0;
};

struct FrameState {
    FrameTick tick;
    FrameCounters counters;
};

// What a pass runs; kSwitchSteps are the switch's own, a test puts its stand-ins here.
struct FrameSteps {
    void (*tick)();                     // the tick's steps in order, each under its setting
    void (*receive)();                  // every pass's receive and accept steps in order
    void (*fee_keepalive)();
    int (*user_refresh)(int restart);   // negative: the scan is done
    void (*record_connect)();           // greets each live record server
    void (*monitors)();                 // SIP monitor, then network monitor
};
extern const FrameSteps kSwitchSteps;

// One pass of the loop at now_us: the tick when due, the receive steps, then the counted steps,
// the monitors and the end of standby. True when the tick ran.
bool Frame_Pass(FrameState& state, std::int64_t now_us, const FrameSteps& steps);
// How long the loop may sleep after a pass, at now_us, before a step comes due that no socket
// announces: the tick, an idle console connection, a scheduled relay request, the next entry of
// a running user refresh. Microseconds, 0 or more.
std::int64_t Frame_Sleep_Us(const FrameState& state, std::int64_t now_us);

// Start-up and the loop. Returns -1 when start-up fails; otherwise it does not return.
int Switch_Main();
