// call_services.h — the decisions of call control that bring in the service links: whether a
// call is recorded and on which record server, the start of its recording once the called
// party's media is known, and the media relay of a call in public-network mode.
#pragma once
#include "call_chn.h"

// The recording capacity of one record server.
inline constexpr int g_record_capacity = 512;
// The second relay request of a call follows the first after this long.
inline constexpr long long kRelaySecondRequestUs = 100000;

// Recording decision for the calling channel: 4 not checked (voice mail, already recorded, or
// no user wants it); 0 a number is in the no-record list; 1 recording chosen (the channel's
// recorded and record_srv set); -2 no record server can take it.
int CallCtrl_Record_Check(const SoftUser& calling, const SoftUser& called, int chn);
// 1 number is an entry of the no-record list; 0 not.
int CallCtrl_Is_Norecord_Tel(const char* number);
// Starts the recording of B's call on server. 2 started (or asked for); -1 a channel or party
// index out of range; -2 a user record not found; -3 no record server.
int CallCtrl_Recv_RecordSwitch(int chn, int server);
// Asks the media relay for both parties of B's call. 1 no relay needed; 2 relay requested;
// -1 no media-relay connection; -2 channel out of range; -3 no peer; -4, -5 party index of the
// channel or the peer out of range; -6, -7 user record not found.
int CallCtrl_Recv_RtpSwitch(int chn);

// The supplementary services. Each acts on a user's call only once the channels it names are
// taken, in the state the service needs and the user's own; one that fails after it opened
// service legs frees them and relinks the call it interrupted, so nothing is left half-made.

// Opens a service leg for channel a: a new call channel in state st with an outgoing SIP leg
// toward the conference program (mode 1) or the service program (any other mode); the new
// channel becomes a's con_chn (a's former partner is left as it was, for the caller to handle).
// 1; -1 no free call channel; -2 no free SIP leg; -3 a out of range, free, or its party_chn
// outside 0-499.
int CallCtrl_New_Sip_Leg(int a, int st, int mode);
// Barge-in of the caller into the talk of the called user. 1; -1 service program not
// registered; -2 caller's level not above the called user's; -3 not above the partner's; -4 the
// caller's channel not its own; -5 the called user has no connected call; -6 no connected
// partner; -7 partner's user not found; -8 to -10 service leg failed; -11 partner neither SIP,
// MGCP nor gateway user, or the datagram not sent; -12 partner not talking.
int CallCtrl_Process_Qiangcha(const SoftUser& calling, const SoftUser& called);
// Forced release: the caller takes over the called user's talk, the partner is released.
// 1; -4 the caller's channel not its own; -5 the called user has no connected call; -6 no
// connected partner.
int CallCtrl_Process_Qiangchai(const SoftUser& calling, const SoftUser& called);
// Listen-in. 1; -1 service program not registered; -4 to -10 as barge-in; -11 datagram not sent.
int CallCtrl_Process_Listen(const SoftUser& listener, const SoftUser& called);
// Pickup of ringing channel ringing (caller's channel caller) by the picking channel picker.
// 1; -1 a channel outside 0-999.
int CallCtrl_Process_Daida(int caller, int ringing, int picker);
// The transfer ("*100*", code 0) or conference ("*200*", code 1) that the INFO digits of B's
// user completed. 2 started; 0 not for this user, channel or program (the INFO is relayed);
// -4 no peer; -5 peer's user not found; -7, -8 service leg failed; -10 datagram not sent.
int CallCtrl_Info_Service(int chn, int code, const SoftUser& user);
// REFER with Replaces: referring channel t1, the channel t2 that Replaces names. 1; -1, -2 out of
// range; -3 t1 not connected; -5 no peer; -6 user not found; -7 transfer not allowed; -8 service
// program not registered; -9, -10 service leg failed; -11 datagram not sent; -12 t2 not a call of
// the referring user.
int CallCtrl_Recv_Refer_Online(int t1, int t2);
// REFER without Replaces: t's partner is called at number through the service program.
// 1; -1 out of range; -2 not connected; -3 no peer; -4 not allowed; -5 user not found; -6 service
// program not registered; -7 service leg failed; -8 datagram not sent.
int CallCtrl_Recv_Refer_Free(int t, const char* number);
// 3xx of called channel B: its caller is routed to number. 1; -1 out of range; -2 state not 2
// or 4; -3 no peer; -4 not allowed; -5 user not found; -6 number is the redirecting party's own;
// -7 the call has followed kMaxRedirects already.
inline constexpr int kMaxRedirects = 3;
int CallCtrl_Recv_Redirect(int chn, const char* number);
// The console's switch of its two answered calls k1, k2: their far ends are linked.
// 1; -1 k1 out of range; -2 k1 not connected; -3 k2 out of range; -4 k2 not connected;
// -5, -6 far end of k1 out of range, not connected; -7, -8 the same for k2.
int CallCtrl_Set_Switch(int k1, int k2);
