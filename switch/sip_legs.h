// sip_legs.h — one SIP party of a call per leg; a leg's index is its SIP channel number
// ("chnno"). The table sip_chn, the leg states and every transition, the handlers the receive
// dispatcher calls once it has found the leg by Call-ID, the operations by which call control
// drives a leg, the one retransmission slot per leg and the no-answer count of outgoing legs.
#pragma once
#include <array>
#include <string_view>

#include "sip_decode.h"
#include "sip_response.h"  // SipDialog, kSipMsgMax
#include "text.h"

inline constexpr int kMaxSipLegs = 500;

// Leg states (st). 1 to 3 belong to legs a received INVITE opened, 5 and 6 to legs on which the
// switch sent the INVITE.
inline constexpr int sip_free = 0;
inline constexpr int sip_calling_wait_ring = 1;     // INVITE answered 100, call control routing
inline constexpr int sip_calling_wait_200 = 2;      // 180 or 183 sent to the caller
inline constexpr int sip_calling_wait_200ack = 3;   // 200 with SDP sent, ACK awaited
inline constexpr int sip_talk = 4;
inline constexpr int sip_called_wait_ring = 5;      // INVITE sent, first response awaited
inline constexpr int sip_called_wait_200 = 6;       // 18x received, 200 awaited
inline constexpr int sip_cancelled = 10;            // CANCEL received; freed right after

// One leg. A free leg is SipLeg{}: zeroed, regno and ctrl_chn -1. The dialog part (numbers,
// signalling address, Call-ID and the stored header lines) is what the builders reuse.
struct SipLeg : SipDialog {
    int use = 0;
    int regno = -1;        // registration of the leg's own party; -1 none
    int ctrl_chn = -1;     // call channel; -1 none
    int st = sip_free;
    int peer_sdp = 0;      // 1 once a provisional or 200 of this party carried SDP
    Text<16> rtp_ip;       // media of this leg's party, from its last SDP
    int rtp_port = 0;
    int rtp_codec = 0;
    int rtp_dir = 0;       // direction of its last SDP (SDP_SENDRECV, SDP_SENDONLY, ...)
    Text<16> offer_ip;     // media the switch offers this party, written by call control
    int offer_port = 0;
    int offer_codec = 0;
    int offer_dir = 0;     // direction the switch's re-INVITE offers: the other party's last
    int priority = 0;      // Priority of a received INVITE, 0 to 4
    int timercount = 0;    // seconds before the next retransmission
    int timernext = 0;     // the interval after that one
    int timertries = 0;    // transmissions left; the slot is armed while above 0
    int timertype = 0;     // SIP_MSG_TYPE of the armed message; 0 none
    Text<kSipMsgMax> timertext;
    Text<16> timerip;
    int timerport = 0;
    int pend = 0;          // 1 from the INVITE until the leg is answered, fails or is released
    int pend_time = 0;     // seconds an outgoing leg has waited unanswered
    Text<64> ua_line;      // User-Agent line of the switch's INVITE
    Text<kSipLineMax> video_line;   // the party's SDP video media line
    int service_slot = -1;  // the resend slot holding a service datagram in place of timertext
    Text<16> far_ip;       // where a caller's requests come from: the source of its INVITE (a
    int far_port = 0;      // called party's come from its registered address, sig_ip)
};

extern std::array<SipLeg, kMaxSipLegs> sip_chn;

// Start-up: every leg free.
void Sip_Init_All_Chn();

// The Call-ID index. Whoever takes or frees a leg or writes its Call-ID tells the index about
// that leg; a test that lays out the table by hand rebuilds it.
void Sip_Chn_Index_Callid(int leg);
void Sip_Chn_Index_Rebuild();
// The lowest leg in use whose Call-ID is callid exactly; -1 none.
int Sip_Chn_Find_Callid(std::string_view callid);

// Lowest free leg, or -1. The leg is not taken: the caller sets use.
int Find_Free_Sip_Chn();

// Frees a leg in use: its SIP user (if any) becomes free, the record is cleared, the slot
// emptied. 1; -1 out of range or not in use.
int Sip_Chn_Reset(int leg);

// Takes the lowest free leg for the switch's INVITE to registration regno on behalf of call
// channel ctrl_chn: the signalling address is the registration's, the calling and called
// numbers and the video line are the channel's. The leg; -1 none free; -2 regno out of range;
// -3 ctrl_chn out of range or free.
int Sip_Chn_Open_Called(int ctrl_chn, int regno);
// The media the switch offers the leg's party. 1; -1 out of range, -2 not in use.
int Sip_Chn_Set_Offer(int leg, const char* ip, int port, int codec);
// The SDP video line the leg's next answer carries. 1; -1 out of range, -2 not in use.
int Sip_Chn_Set_Video(int leg, const Text<kSipLineMax>& line);
// The leg forgets call channel chn while it still names it: 1; 0 it names another channel
// (left alone); -1 out of range.
int Sip_Chn_Unlink(int leg, int chn);

// A request inside the leg's dialog may act on it: it comes from the leg's far end (the source
// of the caller's INVITE, or the leg's signalling address) and the tags it
// carries are the dialog's. Anything else is a stranger that only knows the Call-ID.
bool Sip_Chn_From_Far_End(int leg, const SIP_MSG_T& msg);

// The dialog of a leg in use; null for an index outside 0..499 or a free leg.
SipDialog* Sip_Chn_Dialog(int leg);

// Arms the leg's one retransmission slot (replacing what was armed); the caller sends the first
// copy itself. 1; -1 for a leg out of range or not in use; -2 the slot holds the leg's BYE or
// CANCEL and kind is not a BYE (that slot is what frees a released leg, so it is kept).
int Sip_Retrans_Set(int leg, const char* text, int kind, int tries, int interval, const char* ip, int port);
// Arms the leg's slot with a datagram of several INVITEs toward the service or conference
// program (an INVITE, 3 transmissions from 2 s), kept in one of the few slots big enough for it.
// 1; -1 leg out of range or not in use; -2 as Sip_Retrans_Set; -3 no such slot free; -4 the
// datagram is longer than one.
int Sip_Retrans_Set_Service(int leg, std::string_view datagram, const char* ip, int port);
// Empties the slot when it holds kind. 1; -1 out of range, not in use or another kind armed.
int Sip_Retrans_Clear(int leg, int kind);

// Operations of call control. Each returns 1; the negative results are the checks in order.
// Starts an outgoing leg call control has filled in: -1 out of range, -2 not in use.
int Sip_Makecall(int leg);
// Ringing toward a caller (183 with SDP when the called party sent SDP, else 180): -1 out of
// range, -2 not in use, -3 no call channel, -4 its call channel has no peer.
int Sip_SendRing(int leg);
// Answer toward a caller, 200 with SDP repeated until the ACK: -1 out of range, -2 not in use.
int Sip_SendAnc(int leg);
// Releases a leg by its state; cause 1 means the releasing party was busy (486, else 488):
// -1 out of range, -2 not in use.
int Sip_SendHangoff(int leg, int cause);
// The registration a received INVITE came from (its reply address): 1 the SIP user with the
// calling number; 2 another registered party at that address (gateway, peer softswitch,
// service or conference program); -1 none.
int Sip_Find_Calling_Reg(int leg, int& regno);

// The retransmission step, once a second. 1.
int TimerProc();
// The no-answer step of outgoing legs, once a second. 1.
int TimerPend();

// Handlers of the receive dispatcher; leg is the leg found by Call-ID (0 to 499).
int OnRecv_Invite(const SIP_MSG_T& msg, const char* callid);   // no leg has the Call-ID
int OnRecv_ReInvite(const SIP_MSG_T& msg, int leg);
int OnRecv_Trying(const SIP_MSG_T& msg, int leg);
int OnRecv_Ring(const SIP_MSG_T& msg, int leg);
int OnRecv_200OK(const SIP_MSG_T& msg, int leg);
int OnRecv_ResError(const SIP_MSG_T& msg, int leg);   // also with no leg (leg < 0)
int OnRecv_Redirect(const SIP_MSG_T& msg, int leg);
int OnRecv_Cancel(const SIP_MSG_T& msg, int leg);
int OnRecv_Bye(const SIP_MSG_T& msg, int leg);
int OnRecv_Ack(int leg);
int OnRecv_Info(const SIP_MSG_T& msg, int leg);
// Relays a MESSAGE to the host and port of its To URI, which must be where a registered user
// registered from, with one hop less: 1; -1 no "@", -2 no ":" after it, -3 no port, -4 no
// registered user there.
int OnRecv_Message(const SIP_MSG_T& msg);
// The hops a request may still take: its Max-Forwards (0 for one that is no number), 70 without.
inline constexpr int kDefaultMaxForwards = 70;
int Sip_Max_Forwards(const SIP_MSG_T& msg);
// The console's NOTIFY setswitch: 1; -1 not a setswitch, -2 no two Call-IDs, -3 a Call-ID
// without a leg, -4 not from a registered user that is the far end of both legs.
int OnRecv_SetSwitch(const SIP_MSG_T& msg);
int OnRecv_Refer(const SIP_MSG_T& msg, int leg);
