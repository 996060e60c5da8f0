// link_status.h — the status-query server for dispatch consoles: a TCP listener, the
// connections not yet identified (status_temp), the identified consoles (status_client), the
// numbers they watch (status_check), and the status frames pushed to them when a user's
// status changes.
#pragma once
#include <cstdint>

inline constexpr int kStatusSlots = 1000;
// A console connection from which no frame has come for this long is closed.
inline constexpr std::int64_t kConsoleIdleUs = 10 * 1000000LL;

// Status values on the wire.
inline constexpr int DISPATCH_ST_IDLE = 0;
inline constexpr int DISPATCH_ST_BUSY = 1;
inline constexpr int DISPATCH_ST_OFFLINE = 2;
inline constexpr int DISPATCH_ST_UNKNOWN = 3;   // the console does not watch that number
inline constexpr int DISPATCH_ST_TALK = 4;

extern int g_status_listen_fd;   // -1 until created

// 0 listening; 1 socket, 2 bind, 3 listen failed (printed and logged).
int Create_Status_Scoket();
// Start-up: every check, client and temp slot free.
void Init_Status_Tables();
// One waiting connection into a free temp slot: 0; -1 refused (and closed).
int AcceptConnect_status();
// One read of every temp and client connection, and the frames that arrived.
void Recv_Status_Proc();
// When Recv_Status_Proc next has an idle connection to close (monotonic microseconds), or
// INT64_MAX when no connection is open.
std::int64_t Status_Next_Due_Us();
// Pushes a number's new status to the consoles watching it whose last status differs:
// 1 at least one frame sent; -1 none.
int Send_Status_To_Dispatch(const char* number, int status);
// The status a newly watched number has: 2 not registered, 1 named by a SIP leg in use, else 0.
int Check_Tel_Status(const char* number);

// How many temp and client connections are open (for the tests and the benchmark's check).
int Status_Open_Connections();
