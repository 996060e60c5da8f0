// mgcp_endpoint.h — the MGCP call agent: one record per endpoint of an analogue gateway (a line
// that registered by RSIP or keep-alive), its state machine driven by the gateway's messages
// and by call control, the one retransmission slot per endpoint, the endpoint no-answer timer
// and the status push. Call control sees an endpoint's party as a call channel of type 1.
#pragma once
#include <netinet/in.h>

#include <array>

#include "call_chn.h"
#include "mgcp_decode.h"
#include "text.h"

inline constexpr int kMaxMgcpEndpoints = 1000;
inline constexpr int kMgcpNameMax = 50;   // endpoint names are kept to 49 characters
inline constexpr std::size_t kMgcpTextMax = 2048;

// MgcpEndpoint.st
inline constexpr int MGCP_ST_IDLE = 0;        // on-hook, the gateway asked to report off-hook
inline constexpr int MGCP_ST_DIAL = 1;        // off-hook as caller: dial tone, digits awaited
inline constexpr int MGCP_ST_CRCX = 2;        // calling: CRCX sent, its answer awaited
inline constexpr int MGCP_ST_ROUTING = 3;     // calling: connection made, routing under way
inline constexpr int MGCP_ST_RINGBACK = 4;    // calling: the far party rings
inline constexpr int MGCP_ST_CALLED = 5;      // called: CRCX with ring and caller id sent
inline constexpr int MGCP_ST_RINGING = 6;     // called: ringing (CRCX answered)
inline constexpr int MGCP_ST_TALK = 11;       // MDCX sent or answered
inline constexpr int MGCP_ST_RELEASING = 12;  // DLCX sent

// RQNT modes
inline constexpr int RQNT_WAIT_OFFHOOK = 0;
inline constexpr int RQNT_DIAL = 1;
inline constexpr int RQNT_RINGBACK = 2;
inline constexpr int RQNT_BUSY = 3;
// DLCX modes
inline constexpr int DLCX_PLAIN = 0;
inline constexpr int DLCX_BUSY = 1;
inline constexpr int DLCX_SILENT = 2;   // the endpoint was ringing
inline constexpr int DLCX_BUSY_OC = 3;
// CRCX modes
inline constexpr int CRCX_PLAIN = 0;
inline constexpr int CRCX_RING = 1;     // ring with a caller-id signal

struct MgcpEndpoint {
    int in_use = 0;
    int st = MGCP_ST_IDLE;
    int called_side = 0;      // 1 the endpoint is the called party of its call
    int call_chn = -1;
    int ringing = 0;          // 1 while being rung or set up for a call
    int ring_time = 0;        // seconds a called endpoint has rung
    int inet = 0;             // public-network flag; nothing sets it
    int offhook = 0;          // 1 while the last hook event the gateway reported was off-hook
    int trans_id = 0;         // of the last command sent: only its answer is recognised
    Text<16> gw_rtp_ip;       // the gateway's media, from its CRCX answer
    int gw_rtp_port = 0;
    int gw_codec = 0;
    Text<16> far_rtp_ip;      // the far party's media, sent in MDCX
    int far_rtp_port = 0;
    int far_codec = 0;
    Text<50> tel;             // the endpoint's number, from table softswitch
    Text<200> callid;         // call id of the current connection
    Text<200> conn_line;      // the "I:" line of the gateway's CRCX answer
    Text<200> endpoint;       // the name the gateway gave (49 characters kept)
    sockaddr_in gw_addr{};    // where the gateway's RSIP or keep-alive came from
    int resend_timer = 0;     // seconds until the remembered command goes again
    int resend_next = 0;      // the wait after that
    int resend_tries = 0;     // sends left; 0 nothing remembered
    int resend_verb = 0;      // MGCP_CRCX, MGCP_MDCX or MGCP_DLCX
    Text<kMgcpTextMax> resend_text;
    sockaddr_in resend_addr{};
    SoftUser user;
};

extern std::array<MgcpEndpoint, kMaxMgcpEndpoints> g_mgcp_endpoint;

// Start-up: every record free.
void Mgcp_Init_All_Endpoint();

// Operations of call control. Each returns 1; the negative results are the checks in order.
// Makes the endpoint the called party of call channel chn (before Mgcp_Makecall): -1 out of
// range, -2 not in use.
int Mgcp_Chn_Open_Called(int e, int chn);
// CRCX with ring and caller id toward an idle endpoint: -1 out of range, -2 not in use,
// -3 the endpoint is not idle.
int Mgcp_Makecall(int e);
// Ringback toward a calling endpoint: -1 out of range or not in use.
int Mgcp_SendRing(int e);
// MDCX with the far party's media, the endpoint talks: -1 out of range, -2 not in use.
int Mgcp_SendAnc(int e);
// DLCX (without tone while the endpoint rings, else with busy tone): -1 out of range or not in use.
int Mgcp_SendHangoff(int e);
// The media the endpoint is offered changed (hold, forced release): MDCX while it talks; otherwise
// the new media goes with its next MDCX. -1 out of range, -2 not in use.
int Mgcp_Send_Modify_Media(int e);
// The first endpoint in use whose number equals tel; -1 none or an empty number.
int Mgcp_Find_Endpoint_By_Tel(const char* tel);
// Stores the user status and pushes it to the dispatch consoles. 1; -3 out of range; -1 not in
// use; -2 a status the consoles do not know (stored, not pushed).
int Mgcp_Set_Softuser_St(int e, int status);
// The endpoint forgets call channel chn while it still names it: 1; 0 it names another; -1 out
// of range.
int Mgcp_Chn_Unlink(int e, int chn);
// The user refresh: reloads the endpoint's number and user data from table softswitch.
// 1; -1 no row (nothing changes).
int Mgcp_Get_Soft_User_From_Db(const char* name, int e);

// Every decoded message of every datagram.
int Mgcp_OnRecv(const MGCP_MSG_T& msg);

// Once a second: the no-answer count of rung endpoints, and the retransmission slots (with the
// clock that forgets kept answers).
int Mgcp_Check_Pend_Time();
int Mgcp_Resend_Timer();

// Clears the endpoint's call part (state, connection, media, remembered command; registration and
// user kept) and pushes status free. 1; -1 out of range or not in use.
int Mgcp_Chn_Reset(int e);
// Unregisters the endpoint (status away pushed, record cleared). 1; -1 out of range or not in use.
int Mgcp_Reg_Reset(int e);
// Remembers a command for retransmission. 1; -1 out of range or not in use.
int Mgcp_Set_Resend(int e, const char* text, int verb, int tries, int wait, const sockaddr_in& addr);
// Forgets the remembered command when it is verb. 1; -1 another verb or nothing remembered.
int Mgcp_Clear_Resend(int e, int verb);
