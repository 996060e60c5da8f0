// mgcp_decode.h — MGCP 1.0 as the call agent reads it: one message of a datagram decoded into an
// MGCP_MSG_T (first line, parameter lines by letter, the SDP body with its audio media), the
// observed-event classes of an "O:" line, and the small text helpers the agent shares.
//
// Lines end at LF; a CR before the LF is no part of the line, so gateways that end their lines
// with CR LF are read like those that send LF alone. Several messages in one datagram are
// separated by a line ".".
#pragma once
#include <netinet/in.h>
#include <sys/socket.h>

#include <string_view>

#include "text.h"

// MGCP_MSG_T.type
inline constexpr int MGCP_UNKNOWN = 0;       // unknown command, or a response code below 100
inline constexpr int MGCP_PROVISIONAL = 1;   // 100-199
inline constexpr int MGCP_SUCCESS = 2;       // 200-299
inline constexpr int MGCP_ERROR = 4;         // 300 and above
inline constexpr int MGCP_EPCF = 7;
inline constexpr int MGCP_CRCX = 8;
inline constexpr int MGCP_MDCX = 9;
inline constexpr int MGCP_DLCX = 10;
inline constexpr int MGCP_RQNT = 11;
inline constexpr int MGCP_NTFY = 12;
inline constexpr int MGCP_AUEP = 13;
inline constexpr int MGCP_AUCX = 14;
inline constexpr int MGCP_RSIP = 15;

// Observed-event classes of an "O:" line.
inline constexpr int MGCP_EV_OFFHOOK = 1;
inline constexpr int MGCP_EV_ONHOOK = 2;
inline constexpr int MGCP_EV_FLASH = 3;
inline constexpr int MGCP_EV_OC = 4;         // operation complete
inline constexpr int MGCP_EV_KEEPALIVE = 5;
inline constexpr int MGCP_EV_DIGITS = 10;

inline constexpr std::size_t kMgcpLineMax = 200;
inline constexpr std::size_t kMgcpSdpMax = 800;

// One decoded message; cleared ({}) before each decode.
struct MGCP_MSG_T {
    int type = MGCP_UNKNOWN;
    int code = 0;            // response code; 0 for a command
    int trans_id = 0;        // digits only, else 0
    sockaddr_in from_addr{};
    int from_len = 0;
    Text<16> from_ip;
    int codec = 0;           // codec set of the SDP audio line (0 none, 1 PCMA, 2 PCMU, 3 both)
    int from_port = 0;
    int rtp_port = 0;
    Text<16> rtp_ip;
    Text<kMgcpLineMax> comment;    // first word after the transaction id of a response
    Text<kMgcpLineMax> endpoint;   // endpoint name of a command
    Text<kMgcpLineMax> version;    // the word after "MGCP" on a command line
    // Parameter lines, stored whole (letter, colon and value) in the slot of their first letter.
    Text<kMgcpLineMax> c_line, i_line, m_line, l_line, r_line, x_line, s_line, d_line, o_line;
    Text<kMgcpSdpMax> n_line;
    Text<kMgcpSdpMax> sdp;         // the SDP body as received
};

// Decodes the first message of text into msg (which the caller has cleared). 1 one message
// decoded, text is then empty; 2 another message follows, text is advanced to it; -1 no text
// or no first line.
int Mgcp_Decode(std::string_view& text, MGCP_MSG_T& msg);

// The SDP body: rtp_ip from the "c=" line, rtp_port and codec from the "m=audio" line.
void Mgcp_Decode_Sdp(std::string_view body, MGCP_MSG_T& msg);

// Classifies an "O:" line (type out: MGCP_EV_...). For digits the dialled characters 0-9, '*'
// and '#' of its value, in order, go to number (maybe empty) and the result is 1; any other
// event gives 0; an empty line -1 (type untouched).
int Mgcp_Decode_Observed_Event(std::string_view line, Text<50>& number, int& type);

// The text after the first ':' of a line, blanks skipped; the whole line when it has none.
std::string_view Mgcp_Param_Value(std::string_view line);
