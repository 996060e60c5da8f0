// call_relay.h — the progress of a routed call, relayed between its two channels whatever
// their signalling: ringing and answer from the called party to the caller, media changes and
// INFO digits from one party to the other, release from either to the other; the call-control
// no-answer timer with its forwarding and voice mail; the billing state of the calling channel.
#pragma once

// Ringing of the called channel B: its media goes to the caller, the caller hears ringing.
// 1; -1 out of range; -2 not taken; -3 state not 2; -4 no peer, or the ring toward it failed.
int CallCtrl_Recv_Ring(int chn);
// Ringing toward the caller A. 1; -1, -2; -3 state not 1; -4 Mgcp_SendRing failed; -5 Sip_SendRing
// failed.
int CallCtrl_SendRing(int chn);
// Answer of the called channel B: the call is connected, the caller answered, billing started
// when armed. 1; -1, -2; -3 state not 2 to 5; -4 no peer or the answer toward it failed;
// -5, -6 the user record of B or of the caller not found.
int CallCtrl_Recv_Anc(int chn);
// Answer toward A. 1; -1 out of range or no SIP leg; -2 not taken; -3 state not 1, 3 or 5;
// -4 Mgcp_SendAnc failed; -5 Sip_SendAnc failed.
int CallCtrl_SendAnc(int chn);
// Release by the party of A (its own signalling is done): the peer is released, A freed.
// cause 1: the releasing party was busy. 1; -1, -2; -3 state 0; -4 the peer's release failed.
int CallCtrl_Recv_Hangoff(int chn, int cause);
// Releases the party of B through its signalling and frees B. 1; -1, -2; -3 state 0.
int CallCtrl_SendHangoff(int chn, int cause);
// The media of A's party changed: its peer is offered the new media. Always 1.
int CallCtrl_Recv_Modify_Media(int chn);
// Tells B's party the media it is offered now (a re-INVITE, or an MDCX to a talking MGCP
// endpoint). 1; -1, -2; -5 Send_Re_Invite failed.
int CallCtrl_Send_Modify_Media(int chn);
// INFO digits from B's party, relayed to the peer. 1 relayed; -2 out of range; -3 not taken;
// -4 no peer; -9 B's user record not found.
int CallCtrl_Recv_Info(int chn, const char* text);
// Collects the service codes "*100*" and "*200*" one character per INFO: 0 "*100*" completed,
// 1 "*200*" completed, -1 otherwise.
int CallCtrl_Collect_Info_Digits(int chn, const char* text);
// The no-answer step, once a second: a called party that rang longer than callctrl_pendtime is
// released and its caller forwarded, sent to voice mail or released. 1; -1 when the scan
// stopped early.
int CallCtrl_Check_Pend_Time();
