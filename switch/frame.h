// frame.h — sipswitch's process frame: start-up order, the polling loop with its one-second
// tick, and the orderly end on SIGINT or SIGTERM.
#pragma once
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

// Start-up and the loop. Returns -1 when start-up fails; otherwise it does not return.
int Switch_Main();
