// sip_stack.h — the stack's tables: the channel table behind the integer handles, the transaction
// contexts that tie osip's transactions to channels, the pool of texts the stack has sent, and the
// one socket. The user agent (sip_ua.cpp) and the LIBSIP_ calls (libsip.cpp) work on these.
#pragma once
#include <array>
#include <string_view>

#include "sip.h"
#include "sip_digest.h"
#include "sip_text.h"

struct osip_transaction;
struct osip_message;
struct osip_event;

inline constexpr int kSipMaxChn = 64;      // handles; the gateway asks for 4 per line + 4 (at most 40)
inline constexpr int kSipMaxTrans = 256;   // transactions alive at once, detached ones included
inline constexpr int kSipMaxTexts = 512;   // texts the stack has sent and may send again
// Requests answered without a transaction (no dialog or transaction of ours), kept so that their
// copies get the same answer. Few: a copy that finds none is composed alike again.
inline constexpr int kSipMaxAnswered = 32;

enum SipChnKind { E_CHN_NONE = 0, E_CHN_OUT = 1, E_CHN_IN = 2 };   // who opened the dialog, if any

struct SipChn {                 // plain record: cleared with {} when taken
    int use = 0;                // the gateway holds the handle
    int kind = E_CHN_NONE;
    long long freed_ms = 0;     // free handles are handed out least recently freed first
    int ended = 0;              // the call is over (refused, cancelled, BYE, time-out)
    long long ended_ms = 0;

    // kept per channel
    Text<64> from_tel, to_tel;
    IPV4_ADDRESS user_host{};
    int rport = 0, chn_type = 0, expires = 3600;   // chn_type: the gateway always sets 0
    SIP_USER_AGENT ua{};
    AUTH_ELEMENT_T auth{};
    int has_auth = 0;
    SIP_SDP local_sdp{};
    unsigned sdp_version = 0;

    // cleared after each send
    int data_type = 0, dis_reason = 0;
    Text<1024> info_out;
    SIP_CALL_INFO call_info_out{};
    REFER_INFO refer{};
    Text<1024> xml_out;

    // dialog
    Text<128> call_id;
    Text<64> local_tag, remote_tag;
    Text<160> local_uri, remote_uri, remote_target;
    unsigned local_cseq = 0;
    int remote_cseq = -1;
    int dlg = 0;                // 0 none, 1 early, 2 confirmed
    IPV4_ADDRESS peer{};        // where the far end's messages come from; in-dialog requests go there
    IPV4_ADDRESS dest{};        // where out-of-dialog requests of this channel went last
    int reg_call_id = 0;        // the REGISTER Call-ID and From tag are kept for refreshes

    // server side: the received requests the gateway may still answer (transaction contexts)
    int ist = -1, bye_nist = -1, info_nist = -1, notify_nist = -1, update_nist = -1, options_nist = -1;
    // our 2xx to an INVITE, repeated until the ACK comes
    int ok_text = -1, ok_cseq = 0;
    long long ok_next_ms = 0, ok_until_ms = 0;
    int ok_gap_ms = 0;

    // client side
    int ict = -1;               // the INVITE (or re-INVITE) we sent last
    int cancelled = 0;          // we sent CANCEL for it
    int ack_text = -1, ack_cseq = 0;   // ACK for its 2xx, sent again when the 2xx is repeated
    int last_1xx = 0;           // the provisional answer reported last (status), 0 none
    Text<64> last_1xx_tag;

    // digest
    int chal_text = -1;         // the challenged request, waiting for the gateway's credentials
    int chal_method = 0;        // sip_code_method of it
    int chal_again = 0;         // it already carried credentials: a new challenge is a failure
    SipChallenge chal;
    int chal_nc = 0;

    // what the channel last received, for the getters
    Text<64> got_from, got_to;
    SIP_SDP remote_sdp{};
    int has_remote_sdp = 0;
    Text<64> date;
    int min_expires = 0;        // Min-Expires of a 423, 0 none
    int expires_granted = 0, error_cause = 0, cseq_method = 0, data_type_in = 0, alert_level = 0, auth_type = 0;
    Text<128> event;
    int has_event = 0;
    LIBSIP_XML_T xml{};
    int has_xml = 0;
    Text<1024> info_in;
    SIP_CALL_INFO call_info_in{};
    int has_call_info = 0;
};

struct SipTrans {               // one osip transaction and what the stack knows of it
    int use = 0;
    osip_transaction* tr = nullptr;
    int chn = -1;               // -1: detached, runs to its end without reports
    int method = 0;             // sip_code_method of its request
    int client = 0;             // 1 ICT/NICT, 0 IST/NIST
    int req_text = -1;          // our request (client), or -1
    int resp_text = -1;         // our last answer (server), or -1
    int final_seen = 0;         // client: a final answer came; server: we sent one
    int final_status = 0;
    int had_credentials = 0;    // client: the request answered a challenge
    int refused = 0;            // server INVITE: answered with a failure
    int acked = 0;              // server INVITE: the ACK of that failure came
    int reinvite = 0;
    int dead = 0;               // osip ended it; freed after the current pass
    IPV4_ADDRESS src{};         // server: where the request came from
};

struct SipText {
    int use = 0;
    int len = 0;
    char s[kSipMsgMax];
};

struct SipRequestKey {          // what tells one request from another, copies alike
    IPV4_ADDRESS src{};
    int method = 0;             // sip_code_method; 0 a method the stack does not know
    int cseq = 0;
    Text<128> call_id;
    Text<128> branch;
};

struct SipAnswered {            // one request answered without a transaction, and its answer
    int use = 0;
    long long until_ms = 0;     // copies come for 64 T1 at most
    SipRequestKey key;
    int len = 0;
    char s[kSipMsgMax];
};

struct SipStackCfg {
    LIBSIP_CFG_INFO_T cfg{};
    LIBSIP_REPORT_MSG_T report{};
    LIBSIP_UP_FUNC up = nullptr;
    IPV4_ADDRESS sbc{};
    int t1 = 500, t2 = 4000, t4 = 5000;
    int fd = -1;
    int ready = 0;
};

extern std::array<SipChn, kSipMaxChn> g_sSipChn;
extern std::array<SipTrans, kSipMaxTrans> g_sSipTrans;
extern std::array<SipText, kSipMaxTexts> g_sSipText;
extern std::array<SipAnswered, kSipMaxAnswered> g_sSipAnswered;
extern SipStackCfg g_sSipCfg;

// Texts. Text_Store: the slot, or -1 when the pool is exhausted.
int Text_Store(const char* s, int len);
void Text_Free(int slot);

// Answers given without a transaction. Answered_Find: the kept answer of a copy of key, or null.
// Answered_Keep: takes a free or lapsed entry, else the oldest.
const SipAnswered* Answered_Find(const SipRequestKey& key);
void Answered_Keep(const SipRequestKey& key, const char* s, int len);

// Stack. Stack_Open: 0, -1 socket, -2 osip.
int Stack_Open(const LIBSIP_CFG_INFO_T& cfg);
void Stack_Close();
int Stack_Send_Raw(const char* s, int len, const IPV4_ADDRESS& to);   // 0, or -1
bool Stack_Busy();                       // osip has transactions running

// Sends a request that the stack composed (text slot) in a new client transaction toward dest.
// The context index, or -1 (the slot is freed then).
int Trans_Request(int chn, int method, int text, const IPV4_ADDRESS& dest);
// Sends an answer (text slot) on a server transaction at once. 0, or -1.
int Trans_Answer(int ctx, int text, int status);
void Trans_Detach_Chn(int chn);
int Trans_Of(osip_transaction* tr);      // context index, or -1

// A received datagram (parsed) goes to its transaction, or opens a server transaction unless the
// user agent answers it without one. 1 a transaction has it, 2 answered without a transaction,
// 0 none takes it (an ACK to a 2xx, a stray answer), -1 dropped.
int Stack_Incoming(osip_event* evt, const IPV4_ADDRESS& src);

// Runs osip's state machines and timers; osip's reports are handed to the user agent one by one.
void Stack_Run();
void Stack_Free_Dead();

// Table lookups; indexes are checked by the callers.
inline SipChn& Chn_At(int chn) { return g_sSipChn[static_cast<size_t>(chn)]; }
inline SipTrans& Trans_At(int ctx) { return g_sSipTrans[static_cast<size_t>(ctx)]; }
inline bool Trans_Live(int ctx) { return ctx >= 0 && ctx < kSipMaxTrans && Trans_At(ctx).use && !Trans_At(ctx).dead; }
inline int Chn_Table_Size()   // the handles the gateway asked for
{
    int n = g_sSipCfg.cfg.m_iSipMaxArray;
    return n > 0 && n <= kSipMaxChn ? n : kSipMaxChn;
}
