// sip_response.h — the answers of the switch and the requests that live inside a call: the
// reason phrases, 100 and 180 and any final response on a leg or to a decoded request, the
// registrar's digest challenge, CANCEL, BYE, both kinds of ACK, the NOTIFY that ends a REFER,
// the MESSAGE relay and the moved notice to a registration's old address.
// Every message is composed in a 2048-byte buffer (Composer); one that would not fit is not
// sent: the builder logs it and returns -1.
#pragma once
#include <cstddef>
#include <string_view>

#include "composer.h"
#include "sip_decode.h"
#include "text.h"

inline constexpr std::size_t kSipMsgMax = 2048;

// The dialog of one SIP leg: what the in-dialog builders read and advance. Its lines are whole
// header lines, kept as received (a received INVITE) or as built (a sent one), and reused
// verbatim. The legs table keeps one per leg; Sip_Chn_Dialog() (sip_legs.h) hands it out.
struct SipDialog {
    int dir = 0;                     // 0 opened by a received INVITE, 1 placed by the switch
    int cseq = 0;                    // CSeq number of the last request built on the leg
    Text<50> called, calling;
    Text<16> sig_ip;                 // where every message of the leg goes
    int sig_port = 0;
    Text<kSipLineMax> callid;        // the Call-ID value: received messages find the leg by it
    Text<kSipLineMax> via_line, from_line, to_line, callid_line, cseq_line, contact_line;
};

// Retransmission kinds: the SIP_MSG_TYPE of what is repeated.
inline constexpr int kRetransTries = 3;
inline constexpr int kRetransFirstInterval = 2;

// Pieces shared by every builder of a request.
inline constexpr std::size_t kSipStampSize = 16;
// Every request the switch sends carries it: phones refuse a request without one (400).
inline constexpr std::string_view kMaxForwardsLine = "Max-Forwards: 70";
// "METHOD sip:number@host:local-port SIP/2.0" and the Max-Forwards line, each with its CRLF.
void Sip_Request_Line(Composer& m, std::string_view method, std::string_view number, std::string_view host);
// The local time as 14 digits, year to second: what the switch puts in its branches and Call-IDs.
void Sip_Time_Stamp(char (&stamp)[kSipStampSize]);
// "Via: SIP/2.0/UDP host:local-port;branch=z9hG4bK", a fresh random number and stamp; no CRLF.
void Sip_Via_Line(Composer& m, std::string_view host, const char* stamp);
// The value of a stored header line: after its first colon and the blanks; "" for an empty line.
std::string_view Sip_Header_Value(const Text<kSipLineMax>& line);
// From and To of a request the switch sends inside a dialog, each with its CRLF: as stored on a
// leg it placed; exchanged on a leg a received INVITE opened, since the switch is then the
// called side ("From: " with the stored To value, "To: " with the stored From value).
void Sip_Dialog_From_To(Composer& m, const SipDialog& d);
// The number of the party at the other end of the leg: the caller (dir 0) or the called (dir 1).
std::string_view Sip_Far_Number(const SipDialog& d);

// Writes the phrase of code into phrase; an unknown code leaves phrase as it was. Always 1.
int Sip_Get_Reason(int code, Text<kSipLineMax>& phrase);

// Results of the senders: 1 sent; -1 send error, nothing built, or a message that does not fit.

// 100 and 180 on a leg, to its signalling address; -1 without one (nothing sent).
int Send_Try(int leg);
int Send_Ringing(int leg);
// Any response on a leg (code 0: 603). From 300 up the leg's retransmission is armed first.
int Send_Chn_Response(int leg, int code);
// Any response to a decoded request, echoing its lines (code 0: 603); to its reply address,
// or back to the datagram's source when it has none.
int Send_Msg_Response(const SIP_MSG_T& msg, int code);
// The 401 (sip_authen_type 0) or 407 (type 1) challenge to a REGISTER: an empty nonce gets a
// new one written into it, a nonce already there is sent again; then sends to the reply
// address. -1 for another type.
int Send_Auth_Challenge(const SIP_MSG_T& msg, Text<kSipLineMax>& nonce);
// CANCEL of the INVITE the switch sent on a leg (armed, then sent).
int Send_Cancel(int leg);
// BYE on an established leg; -1 without a signalling address (nothing armed).
int Send_Bye(int leg);
// ACK on a leg for a final response to the switch's INVITE.
int Send_Ack(int leg);
// ACK for a failure response to an INVITE that no leg has, back to the response's sender;
// -1 when its To URI or CSeq cannot be decoded.
int Send_Ack_Response(const SIP_MSG_T& msg);
// NOTIFY reporting a REFER's outcome on a leg: state 1 active, 2 terminated, both with a failed
// sipfrag; 3 terminated with the sipfrag of a transfer done.
int Send_Refer_Notify(const SIP_MSG_T& msg, int leg, int state);
// Forwards a received MESSAGE to ip:port.
int Send_Message_Relay(const SIP_MSG_T& msg, const char* ip, int port);
// The 30-byte notice to the old address of a number that registered from a new one.
int Send_Reg_Moved_Notice(const char* tel, const char* ip, int port);
