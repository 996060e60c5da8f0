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
