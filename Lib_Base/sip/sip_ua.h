// sip_ua.h — the user agent: the channel table behind the handles, the receive path with its
// reports, osip's notes, and the repeats of a 2xx until the ACK comes.
#pragma once
#include <string_view>

#include "sip_stack.h"

// Channels. Chn_Take: the handle, or -1 when every handle is held by a live call.
bool Chn_Valid(int chn);                 // in range and held
int Chn_Take(int kind);
void Chn_Free(int chn);                  // detaches its transactions; idempotent
void Chn_End(int chn);                   // the call is over; the handle may be reclaimed
int Chn_Reclaim(long long older_than_ms);   // frees ended handles; how many
int Chn_Find_Dialog(std::string_view call_id, std::string_view local_tag, std::string_view remote_tag);

// The receive path: one datagram from src, handled whole (reports included). Anything that does
// not parse as SIP is dropped without a report.
void Ua_On_Datagram(const char* buf, int len, const IPV4_ADDRESS& src);

// A request no transaction has: answered at once, without a transaction, when it is for nothing we
// have (a dialog, an INVITE to cancel) or one the stack refuses; a copy of a request answered so
// gets the same answer again. false when it needs a transaction.
bool Ua_Answer_Without_Transaction(const osip_message* sip, const IPV4_ADDRESS& src);

// osip's notes, handed over by the stack after osip has returned.
void Ua_On_Transaction(int type, int ctx, osip_message* sip);
void Ua_On_Kill(int ctx);
void Ua_On_2xx_Again(int ctx, osip_message* sip);   // inside osip: sends the stored ACK again, nothing else
void Ua_On_Free(int ctx);                // the context goes: the channel forgets it

// ACK for a 2xx to the channel's INVITE; kept to answer copies of the 2xx.
void Ua_Ack_2xx(int chn, const osip_message* resp);
// Our 2xx on server transaction ctx goes again until the ACK of cseq comes, or the call times out.
void Ua_Arm_Ok(SipChn& c, int ctx, int cseq);
void Ua_Run_Ok_Repeats();
bool Ua_Ok_Armed();
