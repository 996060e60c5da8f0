// link_queryip.h — the query-ip server: clients ask over TCP for the registered address of a
// number. New connections wait in QUE_TEMP until their first data, which is not answered; from
// then on (table Queryip) every request record is answered.
#pragma once

inline constexpr int kQueryipSlots = 100;

extern int g_queryip_listen_fd;   // -1 until created

// 0 listening; 1 socket, 2 bind, 3 listen failed (printed and logged).
int Create_Queryip_Scoket();
// One waiting connection into a free QUE_TEMP slot; a full table closes it.
void QUE_AcceptConnect();
// Each tick while query-ip is on: one read of every connection, and the answers; a connection
// silent for more than sip_queryip_idle ticks is closed.
void Queryip_Recv_Proc();
