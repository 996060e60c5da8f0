// sip_invite.h — the builders that carry a session description: the INVITE toward a called
// user, the re-INVITE that tells a party the far end's media changed, the INVITEs toward the
// service and conference programs, the 183 and 200 with SDP toward a caller, and the INFO that
// passes DTMF digits on; with the rule that decides which media address and port the
// description offers (the far end itself, a record server, or the media relay at the switch).
#pragma once
#include <array>

#include "composer.h"
#include "sip_response.h"  // kSipMsgMax

// Service line of an INVITE toward the service or conference program, by kind.
inline constexpr int SERVICE_QIANGCHA = 0;       // barge-in
inline constexpr int SERVICE_ZHUANJIE = 1;       // both parties to the service program
inline constexpr int SERVICE_MEETING = 2;        // both parties to the conference program
inline constexpr int SERVICE_TRANSFER = 3;       // attended transfer
inline constexpr int SERVICE_FREETRANSFER = 4;   // blind transfer
inline constexpr int SERVICE_REDIRECT = 5;
inline constexpr int SERVICE_LISTEN = 6;         // listen-in

// The tail of the audio media line for a codec set (0 or 1 PCMA, 2 PCMU, 3 both) with its
// rtpmap lines, the last without CRLF; nothing for any other set. 1.
int Sip_Sdp_Codec_Line(int codec, Composer& m);

// Results: the sender's result (1 sent, -1 failed), or -1 with nothing built or sent when the
// leg's call channel or its peer channel lies outside 0..999.

// The INVITE of a new outgoing leg: writes the leg's dialog lines, arms the INVITE for
// retransmission and sends it.
int Send_Invite(int leg);
// A re-INVITE with the media now to offer, on an established leg; not repeated.
int Send_Re_Invite(int leg);
// Builds, without sending, an INVITE toward the service or conference program into buffer (the
// caller joins several into one datagram): 1; -1 with an empty buffer (the leg's dialog lines
// are rewritten all the same).
int Send_Service_Invite(int leg, std::array<char, kSipMsgMax>& buffer, int kind);
// 183 with SDP to the caller; -1 also when the leg has no signalling address (nothing sent).
int Send_Session_Progress(int leg);
// 200 with SDP to the caller of the INVITE or re-INVITE the leg stores, armed for retransmission
// until the ACK; -1 also when the leg has no signalling address (armed all the same).
int Send_Ok_Sdp(int leg);
// INFO carrying digits as application/dtmf-relay to the leg's party (no body for ""): the send
// result; -1 leg outside 0..499, -2 leg not in use, -3 the leg's INVITE is not answered yet
// (nothing sent: the INFO would replace the lines that INVITE's answers, CANCEL and ACK reuse).
int Send_Info(int leg, const char* digits);
