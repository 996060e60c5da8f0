// link_fee.h — the billing link: one TCP connection from the billing server, the fee check,
// start and stop records of a call, the two-second keepalive, and the server's refusals.
#pragma once
#include <cstddef>

inline constexpr std::size_t kFeeRecordSize = 66;

extern int g_fee_listen_fd;   // -1 until created
extern int g_fee_fd;          // the billing server's connection; -1 none

// 0 listening; 1 socket, 2 bind, 3 listen failed (printed and logged).
int Create_Fee_Socket();
// Takes a waiting connection; a newer one replaces (closes) the old.
void Fee_AcceptConnect();
// Each tick while billing is on: reads the server's records. 1; -1 no connection or nothing
// read; -2 the server closed.
int Fee_Recv_Proc();
// F5 01 01 07 00 00. 1; -1 no connection or the send failed.
int Send_Fee_Keepalive();
// Records of a call channel. Each 1; -1 no billing connection (Send_FeeStart with gateway side
// 1 also for a channel outside 0-999), -2 channel not taken (gateway side 1).
int Send_Fee_Check(int chn);
int Send_FeeStart(int chn, int gateway_flag, int gateway_side);
int Send_FeeStop(int chn);
// The registration behind a call channel: the regno; -1 out of range, -2 not taken, -3 SIP
// leg out of range, -4 its regno out of range, -5 an MGCP endpoint out of range (else the
// endpoint), -6 another type.
int CallCtrl_Get_Regno(int chn);
