// call_chn.h — call channels, one per party of a call and linked in pairs, and the user record
// that every registration and every MGCP endpoint carries.
//
// Call control joins two parties without knowing their signalling: a channel names its party
// by type and index (SIP leg or MGCP endpoint), and the two channels of a call name each other
// through con_chn. The channel number is what every other module passes around ("chn").
#pragma once
#include <array>

#include "text.h"  // Text<N>, copy_text()

inline constexpr int kMaxCallChns = 1000;
// Only the even channels are handed out, so this many parties can be in calls at once.
inline constexpr int kUsableCallChns = kMaxCallChns / 2;

// User status (soft_user.status). The dispatch consoles see SOFT_ST_TALK as 4.
inline constexpr int SOFT_ST_FREE = 0;
inline constexpr int SOFT_ST_BUSY = 1;
inline constexpr int SOFT_ST_AWAY = 2;
inline constexpr int SOFT_ST_TALK = 5;

// soft_user.tel_type
inline constexpr int TEL_TYPE_SIP = 0;
inline constexpr int TEL_TYPE_GATEWAY = 1;
inline constexpr int TEL_TYPE_TRUNK = 3;    // a peer softswitch
inline constexpr int TEL_TYPE_SERVICE = 4;  // the service and conference programs
inline constexpr int TEL_TYPE_MGCP = 10;

// Codec set, as the SDP decoder reports it and the SDP and MDCX writers offer it.
inline constexpr int CODEC_SET_NONE = 0;
inline constexpr int CODEC_SET_PCMA = 1;  // payload 8
inline constexpr int CODEC_SET_PCMU = 2;  // payload 0
inline constexpr int CODEC_SET_BOTH = 3;

// CallChn.type: what party_chn indexes.
inline constexpr int CHN_TYPE_SIP = 0;   // sip_chn, 0-499
inline constexpr int CHN_TYPE_MGCP = 1;  // g_mgcp_endpoint, 0-999

// CallChn.st
inline constexpr int CHN_ST_IDLE = 0;     // taken but not yet routed, and free
inline constexpr int CHN_ST_CALLING = 1;  // calling party, routing under way
inline constexpr int CHN_ST_CALLED = 2;   // called party created
inline constexpr int CHN_ST_ALERTED = 3;  // calling party hears ringback
inline constexpr int CHN_ST_RINGING = 4;  // called party rings
inline constexpr int CHN_ST_TALK = 5;     // connected

// CallChn.fee_st
inline constexpr int FEE_ST_NEVER = -1;  // announcement calls are never billed
inline constexpr int FEE_ST_NONE = 0;
inline constexpr int FEE_ST_ARMED = 1;
inline constexpr int FEE_ST_STARTED = 2;  // the billing stop is owed when the channel is freed

// The per-user record, embedded in each registration and each MGCP endpoint. A field that
// nothing fills stays 0 or empty, and the service it gates stays off.
struct SoftUser {
    int status = SOFT_ST_FREE;
    int call_chn = -1;         // channel of the user's current call; left behind when it ends
    int tel_type = TEL_TYPE_SIP;
    int zhuanjie = 0;          // may transfer, redirect and be transferred
    int meet = 0;              // may start a conference
    int forward_count = 0;     // forwards applied to the current outgoing call
    int level = 0;             // barge-in level, higher wins
    int restrict_call_in = 0;  // do not disturb
    int restrict_call_out = 0;
    Text<50> tel;
    Text<50> callswitch_tel;             // forward always
    Text<50> busy_callswitch_tel;
    Text<50> offline_callswitch_tel;
    Text<50> no_answer_callswitch_tel;
    Text<100> forbid_tel;                // comma-separated forbidden called-number prefixes
    Text<50> calling_prefix;
    Text<50> called_prefix;
    int calling_del_len = 0;             // leading digits taken off the calling number
    Text<50> new_calling_tel;
    int group = 0;                       // 0: no group
    Text<50> group_prefix;
    int daida = 0;                       // may pick up calls of its group
    int voice_mail = 0;
    int record_enable = 0;
    int no_authen = 0;                   // registers without digest authentication
};

// One party of a call. A free channel is CallChn{}: every index field -1, the rest 0 or empty.
struct CallChn {
    int use = 0;
    int type = CHN_TYPE_SIP;
    int party_chn = -1;        // SIP leg or MGCP endpoint, by type
    int st = CHN_ST_IDLE;
    int cld = 0;               // 1: made toward a called party
    int fee_st = FEE_ST_NONE;
    int recorded = 0;
    int to_voice_mail = 0;
    int from_console = 0;
    int con_chn = -1;          // the other party's channel
    int pend = 0;              // 1 while a called party rings
    int pend_time = 0;         // seconds it has rung
    int priority = 0;          // SIP Priority: 0 normal .. 3 emergency, 4 listen_urgent
    Text<10> info_buf;         // INFO digits of "*100*" and "*200*"
    int info_len = 0;
    int short_st = 0;          // group prefix: 0 untouched, 1 added, 2 removed
    int from_switch = 0;       // the call came from the main softswitch
    Text<50> calling;
    Text<50> called;
    Text<200> rtpswitch_id;    // the call's id at the media relay; empty when not relayed
    Text<200> video_line;      // the party's SDP video line, carried to the other party
    int record_srv = -1;
    int record_chn = -1;
    int record_switch_done = 0;
    int redirects = 0;         // redirects (302) the caller's channel has followed
};

extern std::array<CallChn, kMaxCallChns> call_chns;

// Start-up: every channel free, the allocation cursor back to the first channel.
void CallCtrl_Init_All_Chn();

// A free even channel, or -1 when all 500 are taken. The channel is not marked: the caller
// sets use once it has filled it.
int CallCtrl_Find_Free_Chn();

// Links two taken channels as the parties of one call. A former partner of either that still
// points back is unlinked, so every link stays mutual.
// 1; -1 chn outside 0-999; -2 chn not taken; -3 con outside 0-999; -4 con not taken;
// -5 a channel linked to itself.
int CallCtrl_Link_Chn(int chn, int con);

// Unlinks a taken channel from its partner (both sides, when the partner still points back).
// 1; -1 chn outside 0-999; -2 chn not taken.
int CallCtrl_Unlink_Chn(int chn);

// Frees a channel. Sends no signalling: releasing the party comes first, from the caller.
// 1; -1 chn outside 0-999; -2 chn not taken.
int CallCtrl_Chn_Reset(int chn);

// The SIP leg of the channel's party: its party_chn when the channel is taken and its party is a
// SIP leg with an index in 0-499; -1 otherwise (an MGCP endpoint's index is no leg index).
int CallCtrl_Sip_Leg(int chn);

// The far end's media of the channel's own party, as last received from it (a SIP party: the
// leg's media from its SDP; an MGCP party: the gateway's media from its CRCX answer).
// 1 a SIP party; 2 an MGCP party; -1 chn outside 0-999; -2 not taken; -3 SIP leg index outside
// 0-499; -4 endpoint index outside 0-999; -5 unknown type.
int CallCtrl_Get_Media(int chn, Text<16>& ip, int& port, int& codec);
// The media the channel's party is to be offered (a SIP party: the leg's media to offer, which
// its SDP writers send; an MGCP party: the far media its MDCX sends); the address is cut to 15
// characters. Results as CallCtrl_Get_Media.
int CallCtrl_Set_Media(int chn, const char* ip, int port, int codec);
// The user record of the channel's party (a SIP party: the user of its leg's registration; an
// MGCP party: the endpoint's user). 1 a SIP party; 2 an MGCP party; -1 chn outside 0-999; -2 not
// taken; -3 SIP leg index outside 0-499; -4 the leg's registration index outside 0-499;
// -5 endpoint index outside 0-999; -6 unknown type.
int CallCtrl_Get_Soft_User(int chn, SoftUser*& user);
