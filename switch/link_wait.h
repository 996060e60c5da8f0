// link_wait.h — the sockets the switch's loop sleeps on between passes. Every socket the switch
// reads joins here as it is made (Link_Tcp_Listen, Link_Udp_Bind, Link_Accept) and leaves as
// Link_Close closes it, so an idle switch sleeps until one of them holds something to read or
// the next timed step is due, instead of looking at each of them thousands of times a second.
#pragma once
#include <csignal>
#include <cstdint>

// Whether the loop reads a socket now. A socket read only on the one-second tick, or only in
// some mode, must not wake the loop for data that stays unread: it would wake it at once, again
// and again, until that data is read.
using LinkReadNow = bool (*)();

// From now on fd wakes the loop (joining again resets its condition); -1 is ignored.
void Link_Wait_Join(int fd);
// fd wakes the loop only while read_now() holds; null: always. fd must have joined.
void Link_Wait_When(int fd, LinkReadNow read_now);
// fd no longer wakes the loop.
void Link_Wait_Leave(int fd);
// The condition of a socket read on the tick: never woken for, since the wait never outlasts
// the next tick.
bool Link_Read_On_Tick();

// Sleeps until a socket that is read now has something (data, a connection, its peer's close or
// an error), timeout_us has passed (0 or less: no sleep, just a look), or a signal arrives that
// `mask` (the signal mask during the sleep; null: the current one) lets through.
// 1 something waits; 0 the time passed; -1 a signal came.
int Link_Wait(std::int64_t timeout_us, const sigset_t* mask);

// Sockets that have joined; for tests.
int Link_Wait_Count();
