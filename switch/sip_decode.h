// sip_decode.h — the SIP decoder: one received datagram into one SIP_MSG_T (its kind, start
// line, the whole text of every header line the switch knows, the reply address, the SDP and
// dtmf-relay results and the body), the field parsers the handlers use on the stored lines,
// and the one random source of tags, branches and nonces.
// The decoder is lenient: it never rejects a datagram, keeps the last of repeated headers,
// ignores Content-Length and takes the body to be everything after the first empty line.
#pragma once
#include <netinet/in.h>
#include <sys/socket.h>

#include <string_view>

#include "text.h"

// Kinds of message (msg_type). 14 is not used.
enum SIP_MSG_TYPE {
    SIP_OTHER = 0,       // unknown method, or a status code in no list below
    SIP_RES_100 = 1,
    SIP_RES_180 = 2,     // 180, 182 or 183
    SIP_RES_200 = 3,
    SIP_RES_ERROR = 4,   // final failure responses (Sip_Status_Type)
    SIP_INVITE = 5,
    SIP_CANCEL = 6,
    SIP_BYE = 7,
    SIP_OPTIONS = 8,
    SIP_REGISTER = 9,
    SIP_ACK = 10,
    SIP_INFO = 11,
    SIP_MESSAGE = 12,
    SIP_PRACK = 13,
    SIP_SUBSCRIBE = 15,
    SIP_NOTIFY = 16,
    SIP_REFER = 17,
};

inline constexpr std::size_t kSipLineMax = 200;   // a header line slot: 199 characters
inline constexpr std::size_t kSipBodyMax = 800;   // a body or Digest line slot: 799 characters

// One decoded datagram. Lives for one datagram; cleared with {} before it is filled.
// Media directions of an SDP ("a=sendonly" and its kin); sendrecv when none is given.
inline constexpr int SDP_SENDRECV = 0;
inline constexpr int SDP_SENDONLY = 1;
inline constexpr int SDP_RECVONLY = 2;
inline constexpr int SDP_INACTIVE = 3;
// The attribute of a direction ("sendonly"), empty for sendrecv or any other value.
std::string_view Sdp_Dir_Text(int dir);
// The direction that answers an offered one: what one side only sends the other only receives.
int Sdp_Dir_Answer(int offered);

struct SIP_MSG_T {
    int msg_type = SIP_OTHER;
    int status_code = 0;                 // a response's code; 0 for a request
    sockaddr_in src_addr{};              // where the datagram came from (receive step)
    socklen_t src_addr_len = 0;
    Text<kSipLineMax> request_uri;       // second word of a request line
    Text<kSipLineMax> reason;            // first word of a status line's reason phrase
    Text<kSipLineMax> version;           // third word of a request line
    int has_sdp = 0, has_dtmf = 0, has_text = 0;   // which body slot was filled
    int sdp_codec = 0;                   // last audio line: 0 none, 1 PCMA, 2 PCMU, 3 both
    int sdp_port = 0;                    // last audio line's port
    int sdp_dir = 0;                     // last direction attribute: SDP_SENDRECV when none
    int inet = 0;                        // public network: 1 when the Via host is the source
    Text<16> sdp_ip;                     // last "c=" address
    Text<16> reply_ip;                   // where answers go
    int reply_port = 0;
    Text<kSipLineMax> dtmf_signal;       // "Signal" of a dtmf-relay body
    // Whole header lines as received (name, colon and value), the last of each kind.
    Text<kSipLineMax> callid_line, via_line, from_line, to_line, cseq_line, contact_line,
        content_length_line, content_type_line, expires_line, event_line, priority_line,
        user_agent_line, kelvanor_info_line, kelvanor_callid_line, refer_to_line, referred_by_line;
    Text<kSipBodyMax> sdp_body, dtmf_body, text_body;
    Text<kSipBodyMax> auth_line;         // Authorization, WWW-Authorization, WWW-Authenticate
    Text<kSipBodyMax> proxy_auth_line;   // Proxy-Authorization, Proxy-Authenticate
    Text<kSipLineMax> video_line;        // the SDP video media description from "video"
};

// Decodes the datagram text in buffer (its first `length` bytes, up to its first NUL) into msg,
// which must be cleared before. 1 decoded; -1 when buffer is null. The buffer is not changed.
int Sip_Decode(const char* buffer, std::size_t length, SIP_MSG_T& msg);

// The method at the start of text, a case-sensitive prefix compare in the order of the
// SIP_MSG_TYPE values; 0 for any other text.
int Decode_Method(std::string_view text);

// Kind of a response code: 1, 2, 3, 4 for the listed codes, 0 for any other.
int Sip_Status_Type(int code);

// 1 SDP, 2 dtmf-relay, 3 text, 0 another type, -1 the message has no Content-Type line.
int Decode_ContentType(const SIP_MSG_T& msg);

// Host and port of a Via line's sent-by: 1; -1 without a "/", a second "/" and a blank after
// them (host unchanged). The port is set to 5060 first; a port that is not a number of
// 1..65535 gives 0.
int Decode_Via(std::string_view line, Text<16>& host, int& port);

// Field parsers for the stored lines. Each writes complete texts, cut to its output.

// URI: the first "sip:" URI of the value (to ";", ">", blank or end); tag: all after "tag=".
// 0; -1 for an empty line. An output whose part is missing is not written.
int Decode_FromTo(std::string_view line, Text<64>& uri, Text<kSipLineMax>& tag);
// User part, host and port of a "sip:" URI: 1; -1 without ":". Without "@" only the user is
// written; host and port only when present (a port outside 1..65535 gives 0).
int Decode_Uri(std::string_view uri, Text<50>& user, Text<50>& host, int& port);
// Sequence number and method (SIP_MSG_TYPE) of a CSeq line: 0; -1 empty or without a blank.
int Decode_CSeq(std::string_view line, int& number, int& method);
// User part of a Contact URI (after its first ":" up to "@"): 1; -1 when missing.
int Decode_Contact(std::string_view line, Text<50>& user);
// Up to 9 characters of the "expires=" parameter: 1; -1 when missing.
int Decode_Contact_Expires(std::string_view line, Text<10>& text);
// Up to 9 characters of the header value: 1; -1 for an empty line or one without ":".
int Decode_Expires(std::string_view line, Text<10>& text);
// "normal" 0, "non-urgent" 1, "urgent" 2, "emergency" 3, "listen_urgent" 4: 1 and priority
// set; 0 for another value (priority unchanged); -1 for an empty line.
int Decode_Priority(std::string_view line, int& priority);

// Digest parameters of an Authorization (texts cut to 199) or Proxy-Authorization line (cut
// to 127). Parameters are the comma-separated name=value pairs after the scheme word; names
// are matched whole, without regard to case; a quoted value loses its quotes, an unquoted one
// ends at its comma. 1; -1 for an empty line or one without a scheme word. Outputs whose
// names do not occur are not written; stale: "FALSE" 0, "TRUE" 1, anything else unchanged.
struct DigestParams {
    Text<kSipLineMax> username, realm, nonce, uri, algorithm, response;
    int stale = 0;
};
int Decode_Authorization(std::string_view line, DigestParams& out);
int Decode_Proxy_Authorization(std::string_view line, DigestParams& out);

// Refer-To: 1 a plain transfer (user), 2 a transfer with Replaces (callid, from_tag, to_tag
// of the replaced dialog, unescaped; whatever of them the value holds); -1 empty line, -2 no
// value, -3 no "sip:", -4 no "@" after it.
int Decode_ReferTo(std::string_view line, Text<50>& user, Text<kSipLineMax>& callid,
                   Text<kSipLineMax>& from_tag, Text<kSipLineMax>& to_tag);

// The one random source of tags, branches and nonces: reseeds rand() from the time and
// g_rand_counter (which it advances) and returns the next value (never negative).
extern int g_rand_counter;
int Sip_Get_Random();
