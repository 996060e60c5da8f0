// call_route.h — a new call through call control: the caller's checks, short numbers, call-out
// restrictions and the pickup prefix, then the routing of the dialled number (a registered SIP
// user, an MGCP endpoint, offline forwarding and voice mail, group numbers, the default route, announcements) and
// the creation of the called party's channel and its SIP leg or endpoint call.
#pragma once
#include <cstddef>
#include <string_view>

#include "call_chn.h"

// Call mode of a routing run.
inline constexpr int CALL_MODE_NORMAL = 0;
inline constexpr int CALL_MODE_PICKUP = 1;   // the dialled number began with "*11"

// Announcement codes: the call goes to the service program with the called number "*a1xx".
inline constexpr int ANNOUNCE_NO_DISTURB = -101;
inline constexpr int ANNOUNCE_OFFLINE = -103;
inline constexpr int ANNOUNCE_NO_CALL_OUT = -104;
inline constexpr int ANNOUNCE_FORBIDDEN = -105;

// Puts prefix (at most prefix_max characters) before number, keeping at most number_max
// characters of the number and 49 in all.
void CallCtrl_Prefix_Tel(Text<50>& number, std::string_view prefix, std::size_t prefix_max = 49,
                         std::size_t number_max = 49);

// A calling channel filled by its signalling. 1 routing ran; -1 out of range; -2 not taken;
// -3 no user record, -4 may not call out, -5 forbidden prefix (each: caller released).
int CallCtrl_Recv_Newcall(int chn);
// Routes the calling channel's called number. 1 an MGCP called party is rung; 2 a SIP called
// party is invited; 3 refused (an MGCP called party in a call is busy: the caller gets cause 1);
// -1 out of range; -2 not taken; -3 no user record, no free call channel or no announcement
// (caller released); -5 the called party could not be placed, or a forbidden prefix after the
// default route (released); -7 no route (caller released).
int CallCtrl_Process_Call(int chn, int mode);
// The per-call decision for a called user: 0 call the user; 1 the called number was rewritten,
// route again; 3 refuse; -101 do not disturb.
int CallCtrl_Call_Application(int chn, SoftUser& calling, const SoftUser& called, int mode);
// Makes the called number the announcement number of code. 1; -1 code not in the table;
// -2 the service program is not registered; -3 the call came from the operator console.
int CallCtrl_Set_Announce_Tel(int chn, int code);
// The caller's number rules. 1; -1 channel out of range.
int CallCtrl_Calling_Number_Rule(int chn, const SoftUser& calling);
// A called gateway's number rules, each where the caller has none of its own.
void CallCtrl_Called_Gw_Number_Rule(int chn, const SoftUser& calling, const SoftUser& gateway);
// 1 a registered gateway or peer softswitch serves the default-route number; -1 none.
int CallCtrl_Find_Default_Route(const char* number);
// 1 number begins with an entry of the comma-separated list; -1 empty list; -2 empty number;
// -4 no entry matches.
int CallCtrl_Get_Restrict_Callout(const char* list, const char* number);
// Offline row of a number in table softswitch: 1 with a forward number; -2 without; -1 no row.
// rows and voice_mail are 0 when there is no row.
int CallCtrl_Get_Offline_Tel(const char* number, Text<50>& forward, int& rows, int& voice_mail);
// The full number of a caller's short number in table shortdial: 1; -1 none.
int Find_ShortTel_In_Db(const char* calling, const char* short_tel, Text<50>& full);
