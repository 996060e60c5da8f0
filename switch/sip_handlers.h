// sip_handlers.h — what the SIP dispatcher and builders call in the modules of the SIP legs
// and of the registrar. Those modules are not part of the switch yet. Each function here is
// declared weak: while no module defines it its address is null, and the caller takes the
// path the switch takes when no leg has the Call-ID (the dispatcher's own answers) or sends
// nothing.
//
// When a module lands, it declares its functions in its own header without the weak mark,
// removes them here, and the null checks at the call sites go (sip_transport.cpp,
// sip_response.cpp). Its object is linked in by the steps the process frame calls strongly
// (Sip_Init_All_Chn, TimerProc, Sip_Reg_Timer), which a weak reference alone would not do.
#pragma once
#include "sip_decode.h"
#include "sip_response.h"

#define SIP_NOT_YET_LINKED __attribute__((weak))

// SIP legs. Each takes the leg found by Call-ID (0 to 499).
int OnRecv_Invite(const SIP_MSG_T& msg, const char* callid) SIP_NOT_YET_LINKED;   // no leg yet
int OnRecv_ReInvite(const SIP_MSG_T& msg, int leg) SIP_NOT_YET_LINKED;
int OnRecv_Trying(const SIP_MSG_T& msg, int leg) SIP_NOT_YET_LINKED;
int OnRecv_Ring(const SIP_MSG_T& msg, int leg) SIP_NOT_YET_LINKED;
int OnRecv_200OK(const SIP_MSG_T& msg, int leg) SIP_NOT_YET_LINKED;
int OnRecv_ResError(const SIP_MSG_T& msg, int leg) SIP_NOT_YET_LINKED;   // also with no leg (< 0)
int OnRecv_Cancel(const SIP_MSG_T& msg, int leg) SIP_NOT_YET_LINKED;
int OnRecv_Bye(const SIP_MSG_T& msg, int leg) SIP_NOT_YET_LINKED;
int OnRecv_Ack(int leg) SIP_NOT_YET_LINKED;
int OnRecv_Info(const SIP_MSG_T& msg, int leg) SIP_NOT_YET_LINKED;
int OnRecv_Message(const SIP_MSG_T& msg) SIP_NOT_YET_LINKED;
int OnRecv_SetSwitch(const SIP_MSG_T& msg) SIP_NOT_YET_LINKED;
int OnRecv_Refer(const SIP_MSG_T& msg, int leg) SIP_NOT_YET_LINKED;

// The dialog of a leg in use; null for an index outside 0..499 or a free leg.
SipDialog* Sip_Chn_Dialog(int leg) SIP_NOT_YET_LINKED;
// Arms the leg's one retransmission slot: 1, or -1 for a leg out of range or not in use.
int Sip_Retrans_Set(int leg, const char* text, int kind, int tries, int interval, const char* ip,
                    int port) SIP_NOT_YET_LINKED;
