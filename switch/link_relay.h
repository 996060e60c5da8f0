// link_relay.h — the media-relay link: one TCP connection from the packet forwarder, which in
// public-network mode is asked to relay each party of a call, is told when the call ends, and
// can ask the switch to release a call (mute request).
#pragma once
#include <cstdint>

#include "text.h"

extern int g_rtpswitch_listen_fd;   // -1 until created
extern int g_rtpswitch_fd;          // the forwarder's connection; -1 none

// 0 listening; -1 socket, -2 bind, -3 listen failed (printed and logged).
int Create_Rtpswitch_Socket();
// Takes a waiting connection; a newer one replaces (closes) the old.
void Rtpswitch_AcceptConnect();
// Each tick in public-network mode: reads the forwarder's frames. 1; -1 no connection or
// nothing read (ten silent ticks close it); -2 the forwarder closed.
int Rtpswitch_Recv_Proc();
// Asks for relay of one party (inet: its public-network flag). An empty relay_id gets the
// call's new id; otherwise the channel takes relay_id.
void Send_RtpSwitch(int chn, int inet, Text<200>& relay_id);
// The relay's second request of a call, due a moment after the first: sent by the loop's pass
// step, never by waiting.
void Rtpswitch_Schedule(int chn, int inet, int first_chn, long long delay_us);
// Every pass: sends the requests that have come due.
void Rtpswitch_Pass();
// When the next scheduled request comes due (monotonic microseconds), or INT64_MAX for none.
std::int64_t Rtpswitch_Next_Due_Us();
// The end of a relayed call.
int Send_HanoffToRtpswitch(const char* relay_id);
// Releases the call whose channels carry relay_id. The number of channels released.
int Rtpswitch_Mute(const char* relay_id);
