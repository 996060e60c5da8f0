// sip_service.h — calls toward the service program (registration 0, number "*") and the
// conference program (registration 1, number "#"): the lookups of their registrations and the
// builders that put one INVITE per leg into one datagram for the program, marked with what the
// program is to do, and arm the resending of the whole datagram on one of the legs.
#pragma once
#include <cstddef>

#include "sip_response.h"  // kSipMsgMax
#include "text.h"

// Three INVITEs of kSipMsgMax at most, with their separators.
inline constexpr std::size_t kServiceDatagramMax = 3 * kSipMsgMax + 16;

// The registered address of the service (conference) program. 1; -1 its slot is free (ip empty,
// port 0).
int Get_Service_Addr(Text<16>& ip, int& port);
int Get_Conference_Addr(Text<16>& ip, int& port);
// 1 when the program is registered; -1 not (the service program's absence is logged).
int Check_Service_Conn();
int Check_Conference_Conn();

// Each operation takes legs that CallCtrl_New_Sip_Leg filled, sets their states, builds their
// INVITEs, joins them and sends the datagram to the program. Besides the leg checks of each
// (a leg outside 0..499), every one fails, with nothing sent and the legs' states as they were
// set, with -4 when an INVITE cannot be built, -5 when the program is not registered and -6 when
// no resend slot is free (each logged).
// mode 0: transfer on a dialled code (service program); 1: conference (conference program).
// 1; -1 leg a, -2 leg b out of range.
int Sip_Service_MakeCall(int leg_a, int leg_b, int mode);
// Attended transfer: leg1 toward the party already talking, leg2 toward the one still ringing.
// 1; -2 leg1, -3 leg2 out of range.
int Sip_Transfer_MakeCall(int leg1, int leg2);
// Blind transfer: the same INVITE twice. 1; -2 out of range.
int Sip_Freetransfer_MakeCall(int leg);
// Barge-in and listen-in: leg1 toward who barges in or listens, leg2 and leg3 toward the two
// parties of the call. 1; -1, -2, -3 the leg out of range.
int Sip_Qq_MakeCall(int leg1, int leg2, int leg3);
int Sip_Listen_MakeCall(int leg1, int leg2, int leg3);
