// libsip.cpp — the user agent behind the LIBSIP_ calls: channels and their dialogs, the requests
// and answers the gateway asks for, the answers the stack gives on its own, and the mapping of what
// arrives to the report codes.
#include "sip.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/time.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <osip2/osip.h>
#include <osipparser2/osip_parser.h>
#include <osipparser2/osip_port.h>

#include "sip_digest.h"
#include "sip_sdp.h"
#include "sip_stack.h"
#include "sip_text.h"

namespace {

// Report codes (what arrives) and send codes (what the gateway asks for).
enum {
    R_REG_OK = 101, R_INVITE = 200, R_RING = 202, R_ANSWER = 203, R_ACK = 204, R_INFO = 206, R_BYE = 208,
    R_CANCEL = 209, R_487 = 210, R_REINVITE = 211, R_REINVITE_OK = 212, R_NOTIFY = 213, R_CHALLENGE = 214,
    R_UPDATE = 217, R_OPTIONS = 219, R_BYE_OK = 224, R_DISACK = 225, R_FAILURE = 226, R_OPTIONS_OK = 227,
    R_INFO_OK = 229, R_PUBLISH_OK = 232, R_TIMEOUT = 300,
};
enum {
    S_REGISTER = 100, S_INVITE = 200, S_RING = 202, S_ANSWER = 203, S_ACK = 204, S_REFER = 205, S_INFO = 206,
    S_BYE = 208, S_CANCEL = 209, S_REINVITE = 211, S_REINVITE_OK = 212, S_RING182 = 216, S_UPDATE = 217,
    S_UPDATE_OK = 218, S_OPTIONS = 219, S_SUBSCRIBE = 221, S_BYE_OK = 224, S_FAILURE = 226, S_OPTIONS_OK = 227,
    S_INFO_OK = 229, S_NOTIFY_OK = 230, S_PUBLISH = 231,
};

struct MethodRow { int method; const char* name; int auth_type; int resend_code; };
const MethodRow kMethods[] = {
    {SIP_REQUEST_MSG_INVITE, "INVITE", E_INVITE, S_INVITE}, {SIP_REQUEST_MSG_ACK, "ACK", E_AUTH_NONE, 0},
    {SIP_REQUEST_MSG_BYE, "BYE", E_BYE, S_BYE}, {SIP_REQUEST_MSG_CANCEL, "CANCEL", E_CANCEL, S_CANCEL},
    {SIP_REQUEST_MSG_OPTIONS, "OPTIONS", E_OPTIONS, 0}, {SIP_REQUEST_MSG_REGISTER, "REGISTER", E_REGISTER, S_REGISTER},
    {SIP_REQUEST_MSG_INFO, "INFO", E_INFO, 0}, {SIP_REQUEST_MSG_PRACK, "PRACK", E_PRACK, 0},
    {SIP_REQUEST_MSG_SUBSCRIBE, "SUBSCRIBE", E_SUBCRIBE, S_SUBSCRIBE}, {SIP_REQUEST_MSG_NOTIFY, "NOTIFY", E_NOTIFY, 0},
    {SIP_REQUEST_MSG_UPDATE, "UPDATE", E_UPDATE, 0}, {SIP_REQUEST_MSG_MESSAGE, "MESSAGE", E_MESSAGE, 0},
    {SIP_REQUEST_MSG_REFER, "REFER", E_REFER, 0}, {SIP_REQUEST_MSG_PUBLISH, "PUBLISH", E_AUTH_NONE, 0},
};

const MethodRow* method_row(int method)
{
    for (const auto& r : kMethods)
        if (r.method == method) return &r;
    return nullptr;
}

const char* method_name(int method)
{
    const MethodRow* r = method_row(method);
    return r ? r->name : "";
}

int method_of(const char* name)
{
    if (name == nullptr) return 0;
    for (const auto& r : kMethods)
        if (!std::strcmp(r.name, name)) return r.method;
    return 0;
}

const char* reason_phrase(int status)
{
    switch (status) {
    case 100: return "Trying";
    case 180: return "Ringing";
    case 182: return "Queued";
    case 183: return "Session Progress";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 415: return "Unsupported Media Type";
    case 480: return "Temporarily Unavailable";
    case 481: return "Call/Transaction Does Not Exist";
    case 486: return "Busy Here";
    case 487: return "Request Terminated";
    case 488: return "Not Acceptable Here";
    case 491: return "Request Pending";
    case 500: return "Server Internal Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 603: return "Decline";
    default: break;
    }
    if (status < 200) return "Session Progress";
    if (status < 300) return "OK";
    if (status < 400) return "Redirection";
    if (status < 500) return "Request Failure";
    if (status < 600) return "Server Failure";
    return "Global Failure";
}

// The datagram being handled: its text and sender, for the raw looks and the answers.
std::string_view g_sCurRaw;
IPV4_ADDRESS g_sCurSrc{};

SipChn& chn_at(int chn) { return g_sSipChn[static_cast<size_t>(chn)]; }
SipTrans& ctx_at(int ctx) { return g_sSipTrans[static_cast<size_t>(ctx)]; }
bool ctx_live(int ctx) { return ctx >= 0 && ctx < kSipMaxTrans && ctx_at(ctx).use && !ctx_at(ctx).dead; }

int table_size()
{
    int n = g_sSipCfg.cfg.m_iSipMaxArray;
    return n > 0 && n <= kSipMaxChn ? n : kSipMaxChn;
}

// ---- texts read from osip's structures (allocated by osip, copied out, freed)

// osip hands out texts it allocated: copied into the field, then given back.
template <std::size_t N>
void keep_osip_text(Text<N>& dst, int rc, char*& s)
{
    if (rc == 0 && s != nullptr) copy_text(dst, s);
    else dst.clear();
    if (s != nullptr) osip_free(s);
    s = nullptr;
}

void call_id_of(const osip_message_t* sip, Text<128>& out)
{
    char* s = nullptr;
    int rc = sip->call_id ? osip_call_id_to_str(sip->call_id, &s) : -1;
    keep_osip_text(out, rc, s);
}

void tag_of(osip_from_t* h, Text<64>& out)
{
    out.clear();
    static char tag_name[] = "tag";   // osip's lookup takes a writable name
    osip_generic_param_t* p = nullptr;
    if (h != nullptr && osip_generic_param_get_byname(&h->gen_params, tag_name, &p) == 0 && p != nullptr && p->gvalue != nullptr)
        copy_text(out, p->gvalue);
}

template <std::size_t N>
void uri_of(osip_uri_t* u, Text<N>& out)
{
    char* s = nullptr;
    int rc = u ? osip_uri_to_str(u, &s) : -1;
    keep_osip_text(out, rc, s);
}

template <std::size_t N>
void user_of(osip_from_t* h, Text<N>& out)
{
    out.clear();
    if (h != nullptr && h->url != nullptr && h->url->username != nullptr) copy_text(out, h->url->username);
}

int cseq_number(const osip_message_t* sip)
{
    if (sip->cseq == nullptr || sip->cseq->number == nullptr) return -1;
    return Sip_Read_Number(sip->cseq->number);
}

int cseq_method(const osip_message_t* sip)
{
    return sip->cseq ? method_of(sip->cseq->method) : 0;
}

std::string_view header_value(const osip_message_t* sip, const char* name)
{
    osip_header_t* h = nullptr;
    if (osip_message_header_get_byname(sip, name, 0, &h) >= 0 && h != nullptr && h->hvalue != nullptr) return h->hvalue;
    return {};
}

// Body kind as the gateway counts it: 1 SDP, 2 XML, 4 any other text, 0 none.
int body_kind(const osip_message_t* sip, std::string_view& body)
{
    body = {};
    osip_body_t* b = nullptr;
    if (osip_message_get_body(sip, 0, &b) != 0 || b == nullptr || b->body == nullptr || b->length == 0) return 0;
    body = std::string_view(b->body, b->length);
    const osip_content_type_t* ct = sip->content_type;
    const char* type = ct && ct->type ? ct->type : "";
    const char* sub = ct && ct->subtype ? ct->subtype : "";
    if (!strcasecmp(type, "application") && !strcasecmp(sub, "sdp")) return 1;
    if (std::strstr(sub, "xml") != nullptr || std::strstr(sub, "XML") != nullptr) return 2;
    return 4;
}

// ---- destinations

bool has_addr(const IPV4_ADDRESS& a) { return a.ip[0] != '\0' && a.port > 0; }

IPV4_ADDRESS out_of_dialog_dest(const SipChn& c)
{
    if (has_addr(c.user_host)) return c.user_host;
    if (has_addr(g_sSipCfg.sbc)) return g_sSipCfg.sbc;
    IPV4_ADDRESS d{};
    copy_bounded(d.ip, sizeof d.ip, g_sSipCfg.cfg.m_chDefaultHost);
    d.port = g_sSipCfg.cfg.m_iDefaultPort > 0 ? g_sSipCfg.cfg.m_iDefaultPort : 5060;
    return d;
}

IPV4_ADDRESS dialog_dest(const SipChn& c)
{
    if (g_sSipCfg.cfg.m_eSourceAddrType == E_SRCADDR_SOCKET && has_addr(c.peer)) return c.peer;
    // the remote target's host and port
    IPV4_ADDRESS d = c.peer;
    osip_uri_t* u = nullptr;
    if (osip_uri_init(&u) == 0) {
        char t[160];
        copy_bounded(t, sizeof t, c.remote_target.empty() ? c.remote_uri.view() : c.remote_target.view());
        if (osip_uri_parse(u, t) == 0 && u->host != nullptr) {
            in_addr probe{};
            if (inet_pton(AF_INET, u->host, &probe) == 1) {
                copy_bounded(d.ip, sizeof d.ip, u->host);
                d.port = u->port ? std::atoi(u->port) : 5060;
            }
        }
        osip_uri_free(u);
    }
    return d;
}

const char* stack_host()
{
    return g_sSipCfg.cfg.m_chStackHost[0] ? g_sSipCfg.cfg.m_chStackHost : "127.0.0.1";
}

void addr_text(const IPV4_ADDRESS& a, Composer& m)
{
    m.raw(a.ip);
    if (a.port > 0 && a.port != 5060) m.fmt(":%d", a.port);
}

// ---- composing

void new_branch(char* out, int size)
{
    char r[17];
    Sip_Random_Token(r, sizeof r, 16);
    Composer b(out, size);
    b.raw("z9hG4bK").raw(r);
}

void via_line(Composer& m, const SipChn& c, const char* branch)
{
    m.fmt("Via: SIP/2.0/UDP %s:%d", stack_host(), g_sSipCfg.cfg.m_iStackPort);
    if (c.rport) m.raw(";rport");
    m.raw(";branch=").raw(branch).raw("\r\n");
}

void contact_line(Composer& m, std::string_view user)
{
    m.raw("Contact: <sip:");
    if (!user.empty()) m.raw(user).raw("@");
    m.fmt("%s:%d>\r\n", stack_host(), g_sSipCfg.cfg.m_iStackPort);
}

// Body of the next message of the channel, as its data type asks. Writes Content-Type and
// Content-Length, the empty line and the body. false when it does not fit.
bool body_lines(Composer& m, SipChn& c, int data_type)
{
    char body[1400];
    Composer b(body, sizeof body);
    const char* type = nullptr;
    if (data_type == 1) {
        if (Sdp_Write(c.local_sdp, ++c.sdp_version, b) == 1) type = "application/sdp";
    } else if (data_type == 2 && !c.xml_out.empty()) {
        b.raw(c.xml_out.view());
        type = "application/xml";
    } else if (data_type == 4 && !c.info_out.empty()) {
        b.raw(c.info_out.view());
        type = "text/plain";
    }
    if (!b.ok()) return false;
    if (type == nullptr) {
        m.raw("Content-Length: 0\r\n\r\n");
        return m.ok();
    }
    m.raw("Content-Type: ").raw(type).raw("\r\n");
    m.fmt("Content-Length: %d\r\n\r\n", b.length());
    m.raw(std::string_view(b.text(), static_cast<size_t>(b.length())));
    return m.ok();
}

void clear_one_message(SipChn& c)
{
    c.data_type = 0;
    c.dis_reason = 0;
    c.info_out.clear();
    c.call_info_out = {};
    c.refer = {};
    c.xml_out.clear();
}

// A request of the channel: in its dialog when it has one, else toward its destination.
// Text slot, or -1 when it does not fit or the pool is full.
int compose_request(SipChn& c, int method, int cseq, const char* branch, const char* auth_line)
{
    char buf[kSipMsgMax];
    Composer m(buf, sizeof buf);
    const char* name = method_name(method);
    m.raw(name).raw(" ");
    if (c.dlg) {
        m.raw(c.remote_target.empty() ? c.remote_uri.view() : c.remote_target.view());
    } else if (method == SIP_REQUEST_MSG_REGISTER) {
        m.raw("sip:");
        addr_text(c.dest, m);
    } else {
        m.raw(c.remote_uri.view());
    }
    m.raw(" SIP/2.0\r\n");
    via_line(m, c, branch);
    m.raw("Max-Forwards: 70\r\n");
    m.raw("From: <").raw(c.local_uri.view()).raw(">;tag=").raw(c.local_tag.view()).raw("\r\n");
    m.raw("To: <").raw(c.remote_uri.view()).raw(">");
    if (!c.remote_tag.empty() && method != SIP_REQUEST_MSG_REGISTER) m.raw(";tag=").raw(c.remote_tag.view());
    m.raw("\r\n");
    m.raw("Call-ID: ").raw(c.call_id.view()).raw("\r\n");
    m.fmt("CSeq: %d %s\r\n", cseq, name);
    if (method != SIP_REQUEST_MSG_CANCEL && method != SIP_REQUEST_MSG_ACK) contact_line(m, c.from_tel.view());
    if (auth_line != nullptr) m.raw(auth_line);
    if (c.ua.use && c.ua.content[0]) m.raw("User-Agent: ").raw(std::string_view(c.ua.content, strnlen(c.ua.content, sizeof c.ua.content))).raw("\r\n");
    if (method == SIP_REQUEST_MSG_REGISTER) m.fmt("Expires: %d\r\n", c.expires);
    if (method == SIP_REQUEST_MSG_INVITE || method == SIP_REQUEST_MSG_UPDATE)
        m.raw("Allow: INVITE, ACK, CANCEL, BYE, OPTIONS, INFO, NOTIFY, UPDATE\r\n");
    if (c.call_info_out.use && c.call_info_out.content[0])
        m.raw("Call-Info: ").raw(std::string_view(c.call_info_out.content, strnlen(c.call_info_out.content, sizeof c.call_info_out.content))).raw("\r\n");
    if (method == SIP_REQUEST_MSG_REFER) {
        m.raw("Refer-To: <sip:").raw(std::string_view(c.refer.m_chReferTel, strnlen(c.refer.m_chReferTel, sizeof c.refer.m_chReferTel))).raw("@");
        addr_text(c.dest, m);
        m.raw(">\r\n");
    }
    if (method == SIP_REQUEST_MSG_PUBLISH || method == SIP_REQUEST_MSG_SUBSCRIBE) m.raw("Event: presence\r\n");
    if (method == SIP_REQUEST_MSG_PUBLISH) m.fmt("Expires: %d\r\n", c.expires);
    int data_type = method == SIP_REQUEST_MSG_CANCEL || method == SIP_REQUEST_MSG_BYE ? 0 : c.data_type;
    if (method == SIP_REQUEST_MSG_INVITE && c.local_sdp.a_use) data_type = 1;   // an INVITE always offers
    if (method == SIP_REQUEST_MSG_PUBLISH) data_type = 2;
    if (!body_lines(m, c, data_type) || !m.ok()) return -1;
    return Text_Store(m.text(), m.length());
}

// An answer to a received request (sip): its Via lines, From, To (with our tag), Call-ID, CSeq.
int compose_answer(const osip_message_t* sip, int status, SipChn* c, int data_type, const char* to_tag)
{
    char buf[kSipMsgMax];
    Composer m(buf, sizeof buf);
    m.fmt("SIP/2.0 %d %s\r\n", status, reason_phrase(status));
    for (int i = 0; i < osip_list_size(&sip->vias); ++i) {
        osip_via_t* v = static_cast<osip_via_t*>(osip_list_get(&sip->vias, i));
        char* s = nullptr;
        if (v != nullptr && osip_via_to_str(v, &s) == 0 && s != nullptr) m.raw("Via: ").raw(s).raw("\r\n");
        if (s) osip_free(s);
    }
    char* s = nullptr;
    if (sip->from && osip_from_to_str(sip->from, &s) == 0 && s) m.raw("From: ").raw(s).raw("\r\n");
    if (s) osip_free(s);
    s = nullptr;
    if (sip->to && osip_to_to_str(sip->to, &s) == 0 && s) {
        m.raw("To: ").raw(s);
        Text<64> had;
        tag_of(sip->to, had);
        if (had.empty() && to_tag != nullptr && to_tag[0] != '\0' && status != 100) m.raw(";tag=").raw(to_tag);
        m.raw("\r\n");
    }
    if (s) osip_free(s);
    Text<128> cid;
    call_id_of(sip, cid);
    m.raw("Call-ID: ").raw(cid.view()).raw("\r\n");
    m.fmt("CSeq: %d %s\r\n", cseq_number(sip), sip->cseq && sip->cseq->method ? sip->cseq->method : "");
    const int method = method_of(sip->sip_method);
    if (c != nullptr && status >= 101 && status < 300 && (method == SIP_REQUEST_MSG_INVITE || method == SIP_REQUEST_MSG_UPDATE))
        contact_line(m, c->from_tel.view());
    if (status == 405 || (method == SIP_REQUEST_MSG_OPTIONS && status == 200)) {
        const LIBSIP_REPORT_MSG_T& r = g_sSipCfg.report;
        m.raw("Allow: ACK, CANCEL, OPTIONS");
        if (r.m_iInvite) m.raw(", INVITE");
        if (r.m_iBye) m.raw(", BYE");
        if (r.m_iInfo) m.raw(", INFO");
        if (r.m_iNotify) m.raw(", NOTIFY");
        if (r.m_iUpdate) m.raw(", UPDATE");
        m.raw("\r\n");
    }
    if (c != nullptr && c->ua.use && c->ua.content[0]) m.raw("Server: ").raw(std::string_view(c->ua.content, strnlen(c->ua.content, sizeof c->ua.content))).raw("\r\n");
    if (c != nullptr && c->call_info_out.use && c->call_info_out.content[0])
        m.raw("Call-Info: ").raw(std::string_view(c->call_info_out.content, strnlen(c->call_info_out.content, sizeof c->call_info_out.content))).raw("\r\n");
    if (c != nullptr) {
        if (!body_lines(m, *c, data_type)) return -1;
    } else {
        m.raw("Content-Length: 0\r\n\r\n");
    }
    if (!m.ok()) return -1;
    return Text_Store(m.text(), m.length());
}

// Answers the request of a server transaction. 0 sent, -1 not.
int answer(int ctx, int status, SipChn* c, int data_type)
{
    if (!ctx_live(ctx)) return -1;
    SipTrans& t = ctx_at(ctx);
    if (t.final_seen) return -1;
    osip_message_t* req = t.tr->orig_request;
    if (req == nullptr) return -1;
    int text = compose_answer(req, status, c, data_type, c ? c->local_tag.s : nullptr);
    if (text < 0) return -1;
    return Trans_Answer(ctx, text, status);
}

// Answers a server transaction that is not the gateway's (no channel, no body).
void answer_plain(int ctx, int status)
{
    char tag[17];
    Sip_Random_Token(tag, sizeof tag, 10);
    if (!ctx_live(ctx) || ctx_at(ctx).final_seen || ctx_at(ctx).tr->orig_request == nullptr) return;
    int text = compose_answer(ctx_at(ctx).tr->orig_request, status, nullptr, 0, tag);
    if (text >= 0) Trans_Answer(ctx, text, status);
}

// ---- channels

void forget_trans(SipChn& c, int ctx)
{
    for (int* f : {&c.ist, &c.bye_nist, &c.info_nist, &c.notify_nist, &c.update_nist, &c.options_nist, &c.ict})
        if (*f == ctx) *f = -1;
}

// Server transactions still waiting for the gateway get the answer it can no longer give.
void answer_left_requests(SipChn& c)
{
    if (ctx_live(c.ist) && !ctx_at(c.ist).final_seen) {
        answer(c.ist, ctx_at(c.ist).reinvite ? 488 : 480, &c, 0);
        ctx_at(c.ist).refused = 1;
    }
    if (ctx_live(c.bye_nist)) answer(c.bye_nist, 200, &c, 0);
    for (int f : {c.info_nist, c.notify_nist, c.update_nist, c.options_nist})
        if (ctx_live(f)) answer(f, 481, &c, 0);
}

// ---- reports

void report(int chn, int code)
{
    if (chn < 0 || !chn_at(chn).use || g_sSipCfg.up == nullptr) return;
    g_sSipCfg.up(code, chn, chn_at(chn).data_type_in);
}

// What the channel received: numbers, body, the header values the getters give.
void read_message(SipChn& c, const osip_message_t* sip)
{
    c.peer = g_sCurSrc;
    user_of(sip->from, c.got_from);
    user_of(sip->to, c.got_to);
    c.cseq_method = cseq_method(sip);
    c.error_cause = MSG_IS_RESPONSE(sip) && sip->status_code >= 300 ? sip->status_code : 0;
    copy_text(c.date, header_value(sip, "date"));
    std::string_view ev = header_value(sip, "event");
    c.has_event = !ev.empty();
    copy_text(c.event, ev);
    std::string_view body;
    c.data_type_in = body_kind(sip, body);
    c.info_in.clear();
    c.has_xml = 0;
    if (c.data_type_in == 1) {
        SIP_SDP sdp{};
        if (Sdp_Read(body, sdp) == 1) {
            c.remote_sdp = sdp;
            c.has_remote_sdp = 1;
        }
    } else if (c.data_type_in == 2) {
        c.xml = {};
        c.xml.m_iLen = static_cast<int>(copy_bounded(c.xml.m_chXml, sizeof c.xml.m_chXml, body));
        c.has_xml = 1;
    } else if (c.data_type_in == 4) {
        copy_text(c.info_in, body);
    }
    // Call-Info texts such as "ptttype=request;..." are no URI, so osip drops them; read them raw
    std::string_view ci = Sip_Raw_Header(g_sCurRaw, "Call-Info");
    c.has_call_info = !ci.empty();
    c.call_info_in = {};
    if (c.has_call_info) {
        c.call_info_in.use = 1;
        copy_bounded(c.call_info_in.content, sizeof c.call_info_in.content, ci);
    }
    // the alert level is the first number in Alert-Info ("<...Bellcore-dr2>" is 2)
    c.alert_level = 0;
    std::string_view al = Sip_Raw_Header(g_sCurRaw, "Alert-Info");
    size_t i = 0;
    while (i < al.size() && (al[i] < '0' || al[i] > '9')) ++i;
    for (int digits = 0; i < al.size() && digits < 6 && al[i] >= '0' && al[i] <= '9'; ++i, ++digits)
        c.alert_level = c.alert_level * 10 + (al[i] - '0');
}

// The lifetime a REGISTER answer grants: our Contact's expires parameter, else the Expires
// header, else what was asked.
int granted_expires(const SipChn& c, const osip_message_t* sip)
{
    int single = -1, ours = -1;
    const int n = osip_list_size(&sip->contacts);
    for (int i = 0; i < n; ++i) {
        osip_contact_t* ct = static_cast<osip_contact_t*>(osip_list_get(&sip->contacts, i));
        osip_generic_param_t* p = nullptr;
        if (ct == nullptr || osip_contact_param_get_byname(ct, const_cast<char*>("expires"), &p) != 0 || p == nullptr || p->gvalue == nullptr) continue;
        int v = Sip_Read_Number(p->gvalue);
        if (v < 0) continue;
        if (n == 1) single = v;
        const osip_uri_t* u = ct->url;
        int port = u && u->port ? std::atoi(u->port) : 5060;
        if (u && u->username && u->host && c.from_tel.view() == u->username && !std::strcmp(u->host, stack_host())
            && port == g_sSipCfg.cfg.m_iStackPort)
            ours = v;
    }
    if (ours >= 0) return ours;
    if (single >= 0) return single;
    int e = Sip_Read_Number(header_value(sip, "expires"));
    if (e >= 0) return e;
    return c.expires;
}

void ack_2xx(int chn, const osip_message_t* resp);
void bye_stray(const osip_message_t* resp, const IPV4_ADDRESS& to, const char* ruri);

// ---- client side: answers to what we sent

void on_challenge(int ctx, const osip_message_t* sip)
{
    SipTrans& t = ctx_at(ctx);
    SipChn& c = chn_at(t.chn);
    SipChallenge ch;
    int ok = -1;
    osip_www_authenticate_t* w = nullptr;
    osip_proxy_authenticate_t* pa = nullptr;
    char* value = nullptr;
    if (sip->status_code == 401 && osip_message_get_www_authenticate(sip, 0, &w) >= 0 && w != nullptr) {
        if (osip_www_authenticate_to_str(w, &value) == 0 && value) ok = Digest_Read_Challenge(value, 0, ch);
    } else if (sip->status_code == 407 && osip_message_get_proxy_authenticate(sip, 0, &pa) >= 0 && pa != nullptr) {
        if (osip_proxy_authenticate_to_str(pa, &value) == 0 && value) ok = Digest_Read_Challenge(value, 1, ch);
    }
    if (value) osip_free(value);
    read_message(c, sip);
    c.auth_type = method_row(t.method) ? method_row(t.method)->auth_type : E_AUTH_NONE;
    if (t.method == SIP_REQUEST_MSG_OPTIONS) {   // any answer shows the server alive
        report(t.chn, R_OPTIONS_OK);
        return;
    }
    // a challenge to a request that already answered one is a refusal, never a loop
    if (ok != 1 || t.had_credentials) {
        if (t.method == SIP_REQUEST_MSG_INVITE) Chn_End(t.chn);
        report(t.chn, R_FAILURE);
        return;
    }
    Text_Free(c.chal_text);
    c.chal_text = Text_Store(g_sSipText[static_cast<size_t>(t.req_text)].s, g_sSipText[static_cast<size_t>(t.req_text)].len);
    c.chal_method = t.method;
    c.chal = ch;
    c.chal_nc = 0;
    report(t.chn, R_CHALLENGE);
}

void on_client_final(int ctx, const osip_message_t* sip)
{
    SipTrans& t = ctx_at(ctx);
    const int status = sip->status_code;
    if (t.chn < 0) {
        // a detached INVITE answered with 2xx: the call nobody holds is ended at once
        if (t.method == SIP_REQUEST_MSG_INVITE && status < 300) {
            Text<160> target;
            osip_contact_t* ct = nullptr;
            if (osip_message_get_contact(sip, 0, &ct) >= 0 && ct) uri_of(ct->url, target);
            else if (sip->to) uri_of(sip->to->url, target);
            IPV4_ADDRESS to = g_sCurSrc;
            bye_stray(sip, to, target.s);
        }
        return;
    }
    SipChn& c = chn_at(t.chn);
    t.final_seen = 1;
    t.final_status = status;
    if (status == 401 || status == 407) {
        on_challenge(ctx, sip);
        return;
    }
    read_message(c, sip);
    switch (t.method) {
    case SIP_REQUEST_MSG_REGISTER:
        if (status < 300) {
            c.expires_granted = granted_expires(c, sip);
            report(t.chn, R_REG_OK);
        } else {
            report(t.chn, R_FAILURE);
        }
        return;
    case SIP_REQUEST_MSG_OPTIONS:
        report(t.chn, R_OPTIONS_OK);   // any final answer shows the server alive
        return;
    case SIP_REQUEST_MSG_BYE:
        if (status < 300) report(t.chn, R_BYE_OK);
        else report(t.chn, R_FAILURE);
        return;
    case SIP_REQUEST_MSG_INFO:
        if (status < 300) report(t.chn, R_INFO_OK);
        else if (status == 481 || status == 408) report(t.chn, R_FAILURE);   // the dialog is gone
        return;
    case SIP_REQUEST_MSG_PUBLISH:
        if (status < 300) report(t.chn, R_PUBLISH_OK);
        else report(t.chn, R_FAILURE);
        return;
    case SIP_REQUEST_MSG_INVITE:
        break;
    default:
        return;   // CANCEL, NOTIFY, SUBSCRIBE, REFER, UPDATE answers need no report
    }
    // INVITE
    if (status >= 300) {
        if (t.reinvite) {
            if (status == 481 || status == 408) report(t.chn, R_FAILURE);   // a refused re-INVITE leaves the call as it was
            return;
        }
        Chn_End(t.chn);
        c.dlg = 0;
        report(t.chn, status == 487 ? R_487 : R_FAILURE);
        return;
    }
    Text<64> tag;
    tag_of(sip->to, tag);
    if (!t.reinvite) {
        copy_text(c.remote_tag, tag.view());
        osip_contact_t* ct = nullptr;
        if (osip_message_get_contact(sip, 0, &ct) >= 0 && ct) uri_of(ct->url, c.remote_target);
        c.dlg = 2;
    }
    if (c.cancelled && !t.reinvite) {
        // the answer crossed our CANCEL: the call is ended as the CANCEL asked
        ack_2xx(t.chn, sip);
        c.data_type = 0;
        int cs = static_cast<int>(++c.local_cseq);
        char br[32];
        new_branch(br, sizeof br);
        int text = compose_request(c, SIP_REQUEST_MSG_BYE, cs, br, nullptr);
        if (text >= 0) Trans_Request(-1, SIP_REQUEST_MSG_BYE, text, dialog_dest(c));
        Chn_End(t.chn);
        report(t.chn, R_487);
        return;
    }
    c.ack_cseq = 0;
    report(t.chn, t.reinvite ? R_REINVITE_OK : R_ANSWER);
    // a 2xx is always acknowledged, also when the gateway did not ask for it
    if (c.use && c.ack_cseq != cseq_number(sip)) ack_2xx(t.chn, sip);
}

void on_client_provisional(int ctx, const osip_message_t* sip)
{
    SipTrans& t = ctx_at(ctx);
    if (t.chn < 0 || t.method != SIP_REQUEST_MSG_INVITE || sip->status_code <= 100 || t.reinvite) return;
    SipChn& c = chn_at(t.chn);
    Text<64> tag;
    tag_of(sip->to, tag);
    // the same ringing repeated (a proxy resends it for every INVITE copy) is reported once
    std::string_view b;
    int kind = body_kind(sip, b);
    if (c.last_1xx == sip->status_code && tag.view() == c.last_1xx_tag.view() && kind == 0) return;
    c.last_1xx = sip->status_code;
    copy_text(c.last_1xx_tag, tag.view());
    if (c.dlg == 0) c.dlg = 1;
    read_message(c, sip);
    report(t.chn, R_RING);
}

// ---- server side: requests that arrive

int find_dialog_of(const osip_message_t* sip)
{
    Text<128> cid;
    Text<64> ltag, rtag;
    call_id_of(sip, cid);
    tag_of(sip->to, ltag);
    tag_of(sip->from, rtag);
    if (ltag.empty()) return -1;
    return Chn_Find_Dialog(cid.view(), ltag.view(), rtag.view());
}

// An INVITE copy that arrives after our 2xx ended its transaction: the 2xx goes again.
bool invite_copy(int ctx, const osip_message_t* sip)
{
    Text<128> cid;
    Text<64> rtag;
    call_id_of(sip, cid);
    tag_of(sip->from, rtag);
    const int cs = cseq_number(sip);
    for (int i = 0; i < table_size(); ++i) {
        SipChn& c = chn_at(i);
        if (!c.use || c.kind != E_CHN_IN || c.call_id.view() != cid.view() || c.remote_tag.view() != rtag.view() || c.remote_cseq != cs) continue;
        if (c.ok_text >= 0) {
            int copy = Text_Store(g_sSipText[static_cast<size_t>(c.ok_text)].s, g_sSipText[static_cast<size_t>(c.ok_text)].len);
            if (copy >= 0) Trans_Answer(ctx, copy, 200);
        } else {
            answer_plain(ctx, 482);   // a copy of a call already ended: not a new call
        }
        return true;
    }
    return false;
}

void on_new_invite(int ctx, const osip_message_t* sip)
{
    SipTrans& t = ctx_at(ctx);
    t.method = SIP_REQUEST_MSG_INVITE;
    Text<64> ltag;
    tag_of(sip->to, ltag);
    if (!ltag.empty()) {   // re-INVITE
        int chn = find_dialog_of(sip);
        if (chn < 0) {
            answer_plain(ctx, 481);
            return;
        }
        SipChn& c = chn_at(chn);
        t.chn = chn;
        t.reinvite = 1;
        c.remote_cseq = cseq_number(sip);
        c.ist = ctx;
        read_message(c, sip);
        if (g_sSipCfg.report.m_iInvite) report(chn, R_REINVITE);
        if (c.use && ctx_live(ctx) && !t.final_seen) answer(ctx, 488, &c, 0);
        return;
    }
    if (invite_copy(ctx, sip)) return;
    if (!g_sSipCfg.report.m_iInvite) {
        answer_plain(ctx, 405);
        return;
    }
    int chn = Chn_Take(E_CHN_IN);
    if (chn < 0) {
        answer_plain(ctx, 486);
        return;
    }
    SipChn& c = chn_at(chn);
    t.chn = chn;
    call_id_of(sip, c.call_id);
    tag_of(sip->from, c.remote_tag);
    char tag[17];
    Sip_Random_Token(tag, sizeof tag, 10);
    copy_text(c.local_tag, tag);
    c.remote_cseq = cseq_number(sip);
    uri_of(sip->from ? sip->from->url : nullptr, c.remote_uri);
    uri_of(sip->to ? sip->to->url : nullptr, c.local_uri);
    osip_contact_t* ct = nullptr;
    if (osip_message_get_contact(sip, 0, &ct) >= 0 && ct) uri_of(ct->url, c.remote_target);
    c.dlg = 1;
    c.ist = ctx;
    read_message(c, sip);
    copy_text(c.from_tel, c.got_to.view());   // our side of this call is the called number
    copy_text(c.to_tel, c.got_from.view());
    report(chn, R_INVITE);
    // a call the gateway left without any answer is refused
    if (ctx_live(ctx) && !t.final_seen && t.tr->last_response == nullptr) {
        answer(ctx, 480, c.use ? &c : nullptr, 0);
        t.refused = 1;
        Chn_End(chn);
    }
}

void on_cancel(int ctx, const osip_message_t* sip)
{
    // the INVITE is the server INVITE with the same branch and Call-ID
    osip_via_t* v = static_cast<osip_via_t*>(osip_list_get(&sip->vias, 0));
    osip_generic_param_t* br = nullptr;
    if (v == nullptr || osip_via_param_get_byname(v, const_cast<char*>("branch"), &br) != 0 || br == nullptr || br->gvalue == nullptr) {
        answer_plain(ctx, 481);
        return;
    }
    Text<128> cid;
    call_id_of(sip, cid);
    int invite = -1;
    for (int i = 0; i < kSipMaxTrans; ++i) {
        SipTrans& t = ctx_at(i);
        if (!ctx_live(i) || t.client || t.method != SIP_REQUEST_MSG_INVITE || t.tr->orig_request == nullptr) continue;
        osip_via_t* iv = static_cast<osip_via_t*>(osip_list_get(&t.tr->orig_request->vias, 0));
        osip_generic_param_t* ib = nullptr;
        if (iv == nullptr || osip_via_param_get_byname(iv, const_cast<char*>("branch"), &ib) != 0 || ib == nullptr || ib->gvalue == nullptr) continue;
        Text<128> icid;
        call_id_of(t.tr->orig_request, icid);
        if (!std::strcmp(ib->gvalue, br->gvalue) && icid.view() == cid.view()) invite = i;
    }
    if (invite < 0) {
        answer_plain(ctx, 481);
        return;
    }
    SipTrans& inv = ctx_at(invite);
    SipChn* c = inv.chn >= 0 ? &chn_at(inv.chn) : nullptr;
    answer(ctx, 200, c, 0);
    if (inv.final_seen) return;   // too late: the call goes on
    answer(invite, 487, c, 0);
    inv.refused = 1;
    if (c == nullptr) return;
    read_message(*c, sip);
    Chn_End(inv.chn);
    if (g_sSipCfg.report.m_iCancel) report(inv.chn, R_CANCEL);
}

void on_new_request(int ctx, const osip_message_t* sip)
{
    SipTrans& t = ctx_at(ctx);
    const int method = method_of(sip->sip_method);
    t.method = method;
    if (method == SIP_REQUEST_MSG_CANCEL) {
        on_cancel(ctx, sip);
        return;
    }
    const LIBSIP_REPORT_MSG_T& r = g_sSipCfg.report;
    if (method == SIP_REQUEST_MSG_OPTIONS && !r.m_iOptions) {   // the stack answers OPTIONS itself
        answer_plain(ctx, 200);
        return;
    }
    int taken = 0, code = 0;
    int SipChn::*slot = nullptr;
    switch (method) {
    case SIP_REQUEST_MSG_BYE: taken = r.m_iBye; code = R_BYE; slot = &SipChn::bye_nist; break;
    case SIP_REQUEST_MSG_INFO: taken = r.m_iInfo; code = R_INFO; slot = &SipChn::info_nist; break;
    case SIP_REQUEST_MSG_NOTIFY: taken = r.m_iNotify; code = R_NOTIFY; slot = &SipChn::notify_nist; break;
    case SIP_REQUEST_MSG_UPDATE: taken = r.m_iUpdate; code = R_UPDATE; slot = &SipChn::update_nist; break;
    case SIP_REQUEST_MSG_OPTIONS: taken = r.m_iOptions; code = R_OPTIONS; slot = &SipChn::options_nist; break;
    case 0: answer_plain(ctx, 501); return;
    default: answer_plain(ctx, 405); return;   // REGISTER, SUBSCRIBE, MESSAGE, PUBLISH, REFER, PRACK
    }
    int chn = find_dialog_of(sip);
    if (chn < 0 && method == SIP_REQUEST_MSG_OPTIONS) {
        chn = Chn_Take(E_CHN_NONE);   // an OPTIONS the gateway wants to see gets a handle of its own
        if (chn < 0) {
            answer_plain(ctx, 200);
            return;
        }
        call_id_of(sip, chn_at(chn).call_id);
    }
    if (chn < 0) {
        answer_plain(ctx, 481);
        return;
    }
    SipChn& c = chn_at(chn);
    t.chn = chn;
    c.*slot = ctx;
    read_message(c, sip);
    if (method == SIP_REQUEST_MSG_BYE) {
        Chn_End(chn);
        Text_Free(c.ok_text);   // a BYE ends the wait for the ACK as well
        c.ok_text = -1;
    }
    if (taken) report(chn, code);
    if (!ctx_live(ctx) || t.final_seen) return;
    std::string_view b;
    int status = method == SIP_REQUEST_MSG_UPDATE && body_kind(sip, b) == 1 ? 488 : 200;
    answer(ctx, status, c.use ? &c : nullptr, 0);
    if (c.use && c.*slot == ctx) c.*slot = -1;
}

// ---- ACK, stray answers

void on_ack(const osip_message_t* sip)
{
    int chn = find_dialog_of(sip);
    if (chn < 0) return;
    SipChn& c = chn_at(chn);
    if (c.ok_text < 0 || c.ok_cseq != cseq_number(sip)) return;   // a copy of an ACK already seen
    Text_Free(c.ok_text);
    c.ok_text = -1;
    c.dlg = 2;
    read_message(c, sip);
    report(chn, R_ACK);
}

void send_detached(int method, const char* text, int len, const IPV4_ADDRESS& to)
{
    int slot = Text_Store(text, len);
    if (slot >= 0) Trans_Request(-1, method, slot, to);
}

// ACK and BYE for a 2xx that belongs to no call we hold, built from the answer alone.
void bye_stray(const osip_message_t* resp, const IPV4_ADDRESS& to, const char* ruri)
{
    char* from = nullptr;
    char* tot = nullptr;
    if (resp->from == nullptr || resp->to == nullptr || osip_from_to_str(resp->from, &from) != 0 || osip_to_to_str(resp->to, &tot) != 0) {
        if (from) osip_free(from);
        if (tot) osip_free(tot);
        return;
    }
    Text<128> cid;
    call_id_of(resp, cid);
    const int cs = cseq_number(resp);
    SipChn none{};
    for (int method : {SIP_REQUEST_MSG_ACK, SIP_REQUEST_MSG_BYE}) {
        char br[32];
        new_branch(br, sizeof br);
        char buf[kSipMsgMax];
        Composer m(buf, sizeof buf);
        m.fmt("%s %s SIP/2.0\r\n", method_name(method), ruri && ruri[0] ? ruri : "sip:invalid");
        via_line(m, none, br);
        m.raw("Max-Forwards: 70\r\n");
        m.raw("From: ").raw(from).raw("\r\nTo: ").raw(tot).raw("\r\n");
        m.raw("Call-ID: ").raw(cid.view()).raw("\r\n");
        m.fmt("CSeq: %d %s\r\nContent-Length: 0\r\n\r\n", method == SIP_REQUEST_MSG_ACK ? cs : cs + 1, method_name(method));
        if (!m.ok()) break;
        if (method == SIP_REQUEST_MSG_ACK) Stack_Send_Raw(m.text(), m.length(), to);
        else send_detached(method, m.text(), m.length(), to);
    }
    osip_free(from);
    osip_free(tot);
}

void on_stray_response(const osip_message_t* sip)
{
    if (sip->status_code < 200 || sip->status_code >= 300 || cseq_method(sip) != SIP_REQUEST_MSG_INVITE) return;
    Text<128> cid;
    Text<64> ltag, rtag;
    call_id_of(sip, cid);
    tag_of(sip->from, ltag);
    tag_of(sip->to, rtag);
    int chn = Chn_Find_Dialog(cid.view(), ltag.view(), rtag.view());
    if (chn >= 0 && chn_at(chn).ack_text >= 0 && chn_at(chn).ack_cseq == cseq_number(sip)) {
        const SipText& a = g_sSipText[static_cast<size_t>(chn_at(chn).ack_text)];
        Stack_Send_Raw(a.s, a.len, g_sCurSrc);   // our ACK was lost: the 2xx came again
        return;
    }
    Text<160> target;
    osip_contact_t* ct = nullptr;
    if (osip_message_get_contact(sip, 0, &ct) >= 0 && ct) uri_of(ct->url, target);
    else uri_of(sip->to ? sip->to->url : nullptr, target);
    bye_stray(sip, g_sCurSrc, target.s);
}

// ACK for a 2xx to the channel's INVITE; kept to answer copies of the 2xx.
void ack_2xx(int chn, const osip_message_t* resp)
{
    SipChn& c = chn_at(chn);
    const int cs = cseq_number(resp);
    char br[32];
    new_branch(br, sizeof br);
    int text = compose_request(c, SIP_REQUEST_MSG_ACK, cs, br, nullptr);
    if (text < 0) return;
    Text_Free(c.ack_text);
    c.ack_text = text;
    c.ack_cseq = cs;
    Stack_Send_Raw(g_sSipText[static_cast<size_t>(text)].s, g_sSipText[static_cast<size_t>(text)].len, dialog_dest(c));
}

// ---- 2xx repeats toward a caller whose ACK has not come

void arm_ok(SipChn& c, int ctx, int cseq)
{
    Text_Free(c.ok_text);
    c.ok_text = -1;
    if (!ctx_live(ctx) || ctx_at(ctx).resp_text < 0) return;
    const SipText& s = g_sSipText[static_cast<size_t>(ctx_at(ctx).resp_text)];
    c.ok_text = Text_Store(s.s, s.len);
    c.ok_cseq = cseq;
    c.ok_gap_ms = g_sSipCfg.t1;
    long long now = Sip_Now_Ms();
    c.ok_next_ms = now + c.ok_gap_ms;
    c.ok_until_ms = now + 64LL * g_sSipCfg.t1;
    if (!has_addr(c.peer)) c.peer = ctx_at(ctx).src;
}

void run_ok_repeats()
{
    long long now = Sip_Now_Ms();
    for (int i = 0; i < table_size(); ++i) {
        SipChn& c = chn_at(i);
        if (!c.use || c.ok_text < 0 || now < c.ok_next_ms) continue;
        if (now >= c.ok_until_ms) {
            // the ACK never came: the call is ended with a BYE and reported as timed out
            Text_Free(c.ok_text);
            c.ok_text = -1;
            c.dlg = 2;
            c.data_type = 0;
            char br[32];
            new_branch(br, sizeof br);
            int text = compose_request(c, SIP_REQUEST_MSG_BYE, static_cast<int>(++c.local_cseq), br, nullptr);
            if (text >= 0) Trans_Request(-1, SIP_REQUEST_MSG_BYE, text, dialog_dest(c));
            Chn_End(i);
            c.cseq_method = SIP_REQUEST_MSG_INVITE;
            c.error_cause = 408;
            c.data_type_in = 0;
            report(i, R_TIMEOUT);
            continue;
        }
        const SipText& s = g_sSipText[static_cast<size_t>(c.ok_text)];
        Stack_Send_Raw(s.s, s.len, c.peer);
        c.ok_gap_ms = c.ok_gap_ms * 2 < g_sSipCfg.t2 ? c.ok_gap_ms * 2 : g_sSipCfg.t2;
        c.ok_next_ms = now + c.ok_gap_ms;
    }
}

bool any_ok_repeat()
{
    for (int i = 0; i < table_size(); ++i)
        if (chn_at(i).use && chn_at(i).ok_text >= 0) return true;
    return false;
}

}  // namespace

// ---- datagrams

void Ua_On_Datagram(const char* buf, int len, const IPV4_ADDRESS& src)
{
    // Only SIP is handled: the switch's moved notice and any other datagram are dropped here.
    if (len < 16) return;
    osip_event_t* evt = osip_parse(buf, static_cast<size_t>(len));
    if (evt == nullptr) return;
    osip_message_t* sip = evt->sip;
    bool whole = sip != nullptr && sip->call_id != nullptr && sip->from != nullptr && sip->to != nullptr && sip->cseq != nullptr
        && sip->cseq->method != nullptr && cseq_number(sip) >= 0 && osip_list_size(&sip->vias) > 0
        && (MSG_IS_REQUEST(sip) ? sip->sip_method != nullptr && sip->req_uri != nullptr : sip->status_code >= 100 && sip->status_code <= 699);
    if (!whole) {
        osip_event_free(evt);
        return;
    }
    g_sCurRaw = std::string_view(buf, static_cast<size_t>(len));
    g_sCurSrc = src;
    if (MSG_IS_REQUEST(sip)) osip_message_fix_last_via_header(sip, src.ip, src.port);
    int r = Stack_Incoming(evt, src);
    if (r == 1) {
        Stack_Run();
    } else {
        if (r == 0) {
            if (MSG_IS_ACK(sip)) on_ack(sip);
            else if (MSG_IS_RESPONSE(sip)) on_stray_response(sip);
            Stack_Run();
        }
        osip_event_free(evt);
    }
    g_sCurRaw = {};
    Stack_Free_Dead();
}

namespace {

// ---- sending for the gateway

// Resends the challenged request with credentials: new branch, CSeq + 1, same Call-ID and tags.
int resend_with_credentials(int chn)
{
    SipChn& c = chn_at(chn);
    const SipText& old = g_sSipText[static_cast<size_t>(c.chal_text)];
    std::string_view text(old.s, static_cast<size_t>(old.len));
    size_t sp1 = text.find(' '), sp2 = text.find(' ', sp1 + 1);
    if (sp1 == std::string_view::npos || sp2 == std::string_view::npos) return -4;
    std::string_view ruri = text.substr(sp1 + 1, sp2 - sp1 - 1);
    char auth[600];
    const int method = c.chal_method;
    if (Digest_Authorization_Line(c.chal, std::string_view(c.auth.m_chUserName, strnlen(c.auth.m_chUserName, sizeof c.auth.m_chUserName)),
                                  std::string_view(c.auth.m_chPasswd, strnlen(c.auth.m_chPasswd, sizeof c.auth.m_chPasswd)),
                                  method_name(method), ruri, ++c.chal_nc, auth, sizeof auth) != 1)
        return -4;
    const int cs = static_cast<int>(++c.local_cseq);
    char br[32];
    new_branch(br, sizeof br);
    char buf[kSipMsgMax];
    Composer m(buf, sizeof buf);
    size_t pos = 0;
    bool placed = false;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        size_t next = end + 2;
        if (line.empty()) {   // the end of the header section: the body follows unchanged
            if (!placed) m.raw(auth);
            m.raw(text.substr(pos));
            break;
        }
        if (!strncasecmp(line.data(), "Via:", 4)) {
            size_t b = line.find(";branch=");
            m.raw(line.substr(0, b)).raw(";branch=").raw(br);
            if (b != std::string_view::npos) {
                size_t after = line.find(';', b + 1);
                if (after != std::string_view::npos) m.raw(line.substr(after));
            }
            m.raw("\r\n");
        } else if (!strncasecmp(line.data(), "CSeq:", 5)) {
            m.fmt("CSeq: %d %s\r\n", cs, method_name(method));
            m.raw(auth);
            placed = true;
        } else if (!strncasecmp(line.data(), "Authorization:", 14) || !strncasecmp(line.data(), "Proxy-Authorization:", 20)) {
            // the answer to the earlier challenge is replaced
        } else {
            m.raw(line).raw("\r\n");
        }
        pos = next;
    }
    if (!m.ok()) return -4;
    int slot = Text_Store(m.text(), m.length());
    if (slot < 0) return -5;
    Text_Free(c.chal_text);
    c.chal_text = -1;
    int ctx = Trans_Request(chn, method, slot, c.dlg == 2 ? dialog_dest(c) : c.dest);
    if (ctx < 0) return -5;
    ctx_at(ctx).had_credentials = 1;
    if (method == SIP_REQUEST_MSG_INVITE) {
        c.ict = ctx;
        if (c.dlg != 2) {   // the challenge's To tag made no dialog
            c.dlg = 0;
            c.remote_tag.clear();
            c.last_1xx = 0;
        }
    }
    return 0;
}

// Out-of-dialog request of the channel (REGISTER, OPTIONS, INVITE, PUBLISH).
int send_fresh(int chn, int method)
{
    SipChn& c = chn_at(chn);
    IPV4_ADDRESS d = out_of_dialog_dest(c);
    if (!has_addr(d)) return -2;
    // refreshes to the same registrar keep Call-ID and tag
    bool keep_ids = method == SIP_REQUEST_MSG_REGISTER && c.reg_call_id && d.port == c.dest.port && !std::strcmp(d.ip, c.dest.ip);
    c.dest = d;
    if (!keep_ids) {
        char r[17];
        Sip_Random_Token(r, sizeof r, 16);
        Composer id(c.call_id.s, sizeof c.call_id.s);
        id.raw(r).raw("@").raw(stack_host());
        Sip_Random_Token(r, sizeof r, 10);
        copy_text(c.local_tag, r);
        c.remote_tag.clear();
        c.remote_target.clear();
        c.reg_call_id = method == SIP_REQUEST_MSG_REGISTER;
    }
    Composer lu(c.local_uri.s, sizeof c.local_uri.s);
    lu.raw("sip:").raw(c.from_tel.view()).raw("@");
    addr_text(c.dest, lu);
    Composer ru(c.remote_uri.s, sizeof c.remote_uri.s);
    ru.raw("sip:").raw(method == SIP_REQUEST_MSG_REGISTER || method == SIP_REQUEST_MSG_PUBLISH ? c.from_tel.view() : c.to_tel.view()).raw("@");
    addr_text(c.dest, ru);
    if (!lu.ok() || !ru.ok()) return -4;
    c.dlg = 0;
    c.peer = c.dest;
    char br[32];
    new_branch(br, sizeof br);
    int text = compose_request(c, method, static_cast<int>(++c.local_cseq), br, nullptr);
    if (text < 0) return -4;
    int ctx = Trans_Request(chn, method, text, c.dest);
    if (ctx < 0) return -5;
    if (method == SIP_REQUEST_MSG_INVITE) {
        c.kind = E_CHN_OUT;
        c.ict = ctx;
        c.cancelled = 0;
        c.last_1xx = 0;
    }
    return 0;
}

int send_in_dialog(int chn, int method)
{
    SipChn& c = chn_at(chn);
    if (c.dlg != 2 && !(c.dlg == 1 && method == SIP_REQUEST_MSG_UPDATE)) return -2;
    char br[32];
    new_branch(br, sizeof br);
    int text = compose_request(c, method, static_cast<int>(++c.local_cseq), br, nullptr);
    if (text < 0) return -4;
    int ctx = Trans_Request(chn, method, text, dialog_dest(c));
    if (ctx < 0) return -5;
    if (method == SIP_REQUEST_MSG_INVITE) {
        ctx_at(ctx).reinvite = 1;
        c.ict = ctx;
    }
    return 0;
}

int send_cancel(int chn)
{
    SipChn& c = chn_at(chn);
    if (!ctx_live(c.ict) || ctx_at(c.ict).final_seen || ctx_at(c.ict).reinvite) return -2;
    const SipText& inv = g_sSipText[static_cast<size_t>(ctx_at(c.ict).req_text)];
    // CANCEL repeats the INVITE's Request-URI, Via (same branch), From, To, Call-ID and CSeq number
    std::string_view text(inv.s, static_cast<size_t>(inv.len));
    char buf[kSipMsgMax];
    Composer m(buf, sizeof buf);
    size_t pos = 0;
    bool first = true;
    int cs = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string_view::npos) break;
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 2;
        if (line.empty()) break;
        if (first) {
            size_t sp = line.find(' ');
            if (sp == std::string_view::npos) return -4;
            m.raw("CANCEL").raw(line.substr(sp)).raw("\r\n");
            first = false;
        } else if (!strncasecmp(line.data(), "CSeq:", 5)) {
            std::string_view n = line.substr(5);
            while (!n.empty() && n.front() == ' ') n.remove_prefix(1);
            cs = Sip_Read_Number(n.substr(0, n.find(' ')));
            m.fmt("CSeq: %d CANCEL\r\n", cs);
        } else if (!strncasecmp(line.data(), "Via:", 4) || !strncasecmp(line.data(), "From:", 5) || !strncasecmp(line.data(), "To:", 3)
                   || !strncasecmp(line.data(), "Call-ID:", 8) || !strncasecmp(line.data(), "Max-Forwards:", 13)) {
            m.raw(line).raw("\r\n");
        }
    }
    m.raw("Content-Length: 0\r\n\r\n");
    if (!m.ok()) return -4;
    int slot = Text_Store(m.text(), m.length());
    if (slot < 0) return -5;
    if (Trans_Request(chn, SIP_REQUEST_MSG_CANCEL, slot, c.dest) < 0) return -5;
    c.cancelled = 1;
    return 0;
}

// A failure response: to the INVITE waiting for an answer; a call of ours that is already
// answered is ended properly instead.
int send_failure(int chn)
{
    SipChn& c = chn_at(chn);
    int status = c.dis_reason >= 300 && c.dis_reason <= 699 ? c.dis_reason : 500;
    if (ctx_live(c.ist) && !ctx_at(c.ist).final_seen) {
        SipTrans& t = ctx_at(c.ist);
        if (answer(c.ist, status, &c, 0) != 0) return -4;
        t.refused = 1;
        if (!t.reinvite) Chn_End(chn);
        return 0;
    }
    for (int* f : {&c.info_nist, &c.notify_nist, &c.update_nist, &c.options_nist, &c.bye_nist}) {
        if (!ctx_live(*f) || ctx_at(*f).final_seen) continue;
        return answer(*f, status, &c, 0) == 0 ? 0 : -4;
    }
    if (c.kind == E_CHN_OUT && c.dlg == 2) {
        c.data_type = 0;
        Chn_End(chn);
        return send_in_dialog(chn, SIP_REQUEST_MSG_BYE);
    }
    if (c.kind == E_CHN_OUT && ctx_live(c.ict) && !ctx_at(c.ict).final_seen) return send_cancel(chn);
    return -2;
}

int send_answer_2xx(int chn, int ctx_field_value, int status, int data_type, bool repeat)
{
    SipChn& c = chn_at(chn);
    if (!ctx_live(ctx_field_value) || ctx_at(ctx_field_value).final_seen) return -2;
    SipTrans& t = ctx_at(ctx_field_value);
    int cs = cseq_number(t.tr->orig_request);
    if (answer(ctx_field_value, status, &c, data_type) != 0) return -4;
    if (repeat) {
        arm_ok(c, ctx_field_value, cs);
        c.dlg = 2;
    }
    return 0;
}

int send_code(int code, int chn)
{
    SipChn& c = chn_at(chn);
    // after a challenge, the next send of the challenged request (or code 0) answers it
    if (c.chal_text >= 0) {
        const MethodRow* r = method_row(c.chal_method);
        if (code == 0 || (r && r->resend_code == code)) return resend_with_credentials(chn);
        if (code == S_REGISTER || code == S_INVITE || code == S_OPTIONS) {
            Text_Free(c.chal_text);   // the gateway starts over: the challenge is dropped
            c.chal_text = -1;
        }
    }
    switch (code) {
    case S_REGISTER:
        if (c.from_tel.empty()) return -2;
        return send_fresh(chn, SIP_REQUEST_MSG_REGISTER);
    case S_INVITE:
        if (c.dlg != 0 || ctx_live(c.ict)) return -2;
        return send_fresh(chn, SIP_REQUEST_MSG_INVITE);
    case S_OPTIONS: return send_fresh(chn, SIP_REQUEST_MSG_OPTIONS);
    case S_PUBLISH: return send_fresh(chn, SIP_REQUEST_MSG_PUBLISH);
    case S_RING:
    case S_RING182: {
        if (!ctx_live(c.ist) || ctx_at(c.ist).final_seen) return -2;
        int status = code == S_RING182 ? 182 : (c.data_type == 1 ? 183 : 180);
        return answer(c.ist, status, &c, c.data_type == 1 ? 1 : 0) == 0 ? 0 : -4;
    }
    case S_ANSWER: return send_answer_2xx(chn, c.ist, 200, 1, true);
    case S_REINVITE_OK: return send_answer_2xx(chn, c.ist, 200, 1, true);
    case S_UPDATE_OK: return send_answer_2xx(chn, c.update_nist, 200, c.data_type, false);
    case S_BYE_OK: return send_answer_2xx(chn, c.bye_nist, 200, 0, false);
    case S_OPTIONS_OK: return send_answer_2xx(chn, c.options_nist, 200, 0, false);
    case S_INFO_OK: return send_answer_2xx(chn, c.info_nist, 200, c.data_type, false);
    case S_NOTIFY_OK: return send_answer_2xx(chn, c.notify_nist, 200, 0, false);
    case S_FAILURE: return send_failure(chn);
    case S_ACK: {
        // the 2xx of our last INVITE or re-INVITE, or again the ACK already sent for it
        if (ctx_live(c.ict) && ctx_at(c.ict).final_seen && ctx_at(c.ict).final_status < 300) {
            osip_message_t* resp = ctx_at(c.ict).tr->last_response;
            if (resp != nullptr && c.ack_cseq != cseq_number(resp)) {
                ack_2xx(chn, resp);
                return c.ack_text >= 0 ? 0 : -4;
            }
        }
        if (c.ack_text < 0) return -2;
        const SipText& a = g_sSipText[static_cast<size_t>(c.ack_text)];
        return Stack_Send_Raw(a.s, a.len, dialog_dest(c)) == 0 ? 0 : -5;
    }
    case S_BYE: {
        // a call not answered yet is cancelled (ours) or refused (theirs) instead
        if (c.dlg == 1 && c.kind == E_CHN_OUT) return send_cancel(chn);
        if (c.kind == E_CHN_IN && ctx_live(c.ist) && !ctx_at(c.ist).final_seen && !ctx_at(c.ist).reinvite) {
            c.dis_reason = SIP_RESPONSE_MSG_480_TEMPORARILY_UNAVAILABLE;
            return send_failure(chn);
        }
        Chn_End(chn);
        return send_in_dialog(chn, SIP_REQUEST_MSG_BYE);
    }
    case S_CANCEL: return send_cancel(chn);
    case S_INFO: return send_in_dialog(chn, SIP_REQUEST_MSG_INFO);
    case S_REINVITE: return send_in_dialog(chn, SIP_REQUEST_MSG_INVITE);
    case S_UPDATE: return send_in_dialog(chn, SIP_REQUEST_MSG_UPDATE);
    case S_REFER: return send_in_dialog(chn, SIP_REQUEST_MSG_REFER);
    case S_SUBSCRIBE: return -2;   // only as the answer to a challenge
    default: return -3;
    }
}

}  // namespace

// ---- the stack's side of osip's notes

void Ua_On_Transaction(int type, int ctx, osip_message* sip)
{
    if (!ctx_live(ctx) && !(ctx >= 0 && ctx < kSipMaxTrans && ctx_at(ctx).use)) return;
    switch (type) {
    case OSIP_IST_INVITE_RECEIVED: on_new_invite(ctx, sip); break;
    case OSIP_NIST_REGISTER_RECEIVED: case OSIP_NIST_BYE_RECEIVED: case OSIP_NIST_OPTIONS_RECEIVED:
    case OSIP_NIST_INFO_RECEIVED: case OSIP_NIST_CANCEL_RECEIVED: case OSIP_NIST_NOTIFY_RECEIVED:
    case OSIP_NIST_SUBSCRIBE_RECEIVED: case OSIP_NIST_UNKNOWN_REQUEST_RECEIVED:
        on_new_request(ctx, sip);
        break;
    case OSIP_IST_ACK_RECEIVED: {
        SipTrans& t = ctx_at(ctx);
        if (t.refused && !t.reinvite && !t.acked) {
            t.acked = 1;
            if (t.chn >= 0) {
                chn_at(t.chn).data_type_in = 0;
                report(t.chn, R_DISACK);   // the refused call is over on both sides
            }
        }
        break;
    }
    case OSIP_ICT_STATUS_1XX_RECEIVED: on_client_provisional(ctx, sip); break;
    case OSIP_ICT_STATUS_2XX_RECEIVED: case OSIP_ICT_STATUS_3XX_RECEIVED: case OSIP_ICT_STATUS_4XX_RECEIVED:
    case OSIP_ICT_STATUS_5XX_RECEIVED: case OSIP_ICT_STATUS_6XX_RECEIVED:
    case OSIP_NICT_STATUS_2XX_RECEIVED: case OSIP_NICT_STATUS_3XX_RECEIVED: case OSIP_NICT_STATUS_4XX_RECEIVED:
    case OSIP_NICT_STATUS_5XX_RECEIVED: case OSIP_NICT_STATUS_6XX_RECEIVED:
        on_client_final(ctx, sip);
        break;
    default: break;
    }
}

void Ua_On_2xx_Again(int ctx, osip_message* sip)
{
    const SipTrans& t = ctx_at(ctx);
    if (t.chn < 0 || sip == nullptr) return;
    const SipChn& c = chn_at(t.chn);
    if (c.ack_text >= 0 && c.ack_cseq == cseq_number(sip))
        Stack_Send_Raw(g_sSipText[static_cast<size_t>(c.ack_text)].s, g_sSipText[static_cast<size_t>(c.ack_text)].len, g_sCurSrc);
}

void Ua_On_Kill(int ctx)
{
    SipTrans& t = ctx_at(ctx);
    if (t.chn < 0) return;
    SipChn& c = chn_at(t.chn);
    if (t.client) {
        // A REGISTER or OPTIONS channel is used again by the gateway after its own time-out, so
        // the stack does not report theirs (the gateway would free a handle it goes on using).
        if (t.final_seen || t.method == SIP_REQUEST_MSG_CANCEL || t.method == SIP_REQUEST_MSG_REGISTER
            || t.method == SIP_REQUEST_MSG_OPTIONS)
            return;
        // no final answer: the request timed out (or could not be sent)
        if (t.method == SIP_REQUEST_MSG_INVITE && !t.reinvite) Chn_End(t.chn);
        c.cseq_method = t.method;
        c.error_cause = 408;
        c.data_type_in = 0;
        report(t.chn, R_TIMEOUT);
        return;
    }
    if (t.method == SIP_REQUEST_MSG_INVITE && t.refused && !t.reinvite && !t.acked) {
        t.acked = 1;   // the ACK of our refusal never came: the refusal is over all the same
        c.data_type_in = 0;
        report(t.chn, R_DISACK);
    }
}

void Ua_On_Free(int ctx)
{
    SipTrans& t = ctx_at(ctx);
    if (t.chn >= 0) forget_trans(chn_at(t.chn), ctx);
}

// ---- channel table

int Chn_Count()
{
    int n = 0;
    for (int i = 0; i < table_size(); ++i) n += chn_at(i).use;
    return n;
}

bool Chn_Valid(int chn)
{
    return g_sSipCfg.ready && chn >= 0 && chn < table_size() && chn_at(chn).use;
}

int Chn_Take(int kind)
{
    int best = -1;
    for (int i = 0; i < table_size(); ++i)
        if (!chn_at(i).use && (best < 0 || chn_at(i).freed_ms < chn_at(best).freed_ms)) best = i;
    if (best < 0) {
        // every handle is held: the oldest ended call the gateway forgot to free makes room
        for (int i = 0; i < table_size(); ++i)
            if (chn_at(i).ended && (best < 0 || chn_at(i).ended_ms < chn_at(best).ended_ms)) best = i;
        if (best < 0) return -1;
        Chn_Free(best);
    }
    SipChn& c = chn_at(best);
    c = {};
    c.use = 1;
    c.kind = kind;
    return best;
}

void Chn_Free(int chn)
{
    if (chn < 0 || chn >= kSipMaxChn || !chn_at(chn).use) return;
    SipChn& c = chn_at(chn);
    answer_left_requests(c);
    Trans_Detach_Chn(chn);
    Text_Free(c.ok_text);
    Text_Free(c.ack_text);
    Text_Free(c.chal_text);
    c = {};
    c.freed_ms = Sip_Now_Ms();
}

void Chn_End(int chn)
{
    if (chn < 0 || !chn_at(chn).use || chn_at(chn).ended) return;
    chn_at(chn).ended = 1;
    chn_at(chn).ended_ms = Sip_Now_Ms();
}

int Chn_Reclaim(long long older_than_ms)
{
    long long now = Sip_Now_Ms();
    int n = 0;
    for (int i = 0; i < table_size(); ++i) {
        SipChn& c = chn_at(i);
        if (!c.use || !c.ended || now - c.ended_ms < older_than_ms || c.ok_text >= 0) continue;
        Chn_Free(i);
        ++n;
    }
    return n;
}

int Chn_Find_Dialog(std::string_view call_id, std::string_view local_tag, std::string_view remote_tag)
{
    for (int i = 0; i < table_size(); ++i) {
        const SipChn& c = chn_at(i);
        if (!c.use || c.call_id.view() != call_id || c.local_tag.view() != local_tag) continue;
        if (!c.remote_tag.empty() && c.remote_tag.view() != remote_tag) continue;
        return i;
    }
    return -1;
}

// ---- the interface

int LIBSIP_ConfigInfo(const LIBSIP_CFG_INFO_T* cfg)
{
    if (cfg == nullptr || cfg->m_iStackPort <= 0 || cfg->m_iStackPort > 65535) return -1;
    g_sSipCfg.ready = 0;
    for (auto& c : g_sSipChn) c = {};
    if (Stack_Open(*cfg) != 0) return -2;
    g_sSipCfg.cfg = *cfg;
    g_sSipCfg.t1 = cfg->m_iTimerT1 > 0 ? cfg->m_iTimerT1 : 500;
    g_sSipCfg.t2 = 8 * g_sSipCfg.t1;
    g_sSipCfg.t4 = 10 * g_sSipCfg.t1;
    g_sSipCfg.sbc = {};
    g_sSipCfg.ready = 1;
    return 0;
}

int LIBSIP_SetMessageUp(const LIBSIP_REPORT_MSG_T* report)
{
    if (report == nullptr) return -1;
    g_sSipCfg.report = *report;
    return 0;
}

int LIBSIPUpInit(LIBSIP_UP_FUNC func)
{
    g_sSipCfg.up = func;
    return 0;
}

void LIBSIP_Thread()
{
    if (!g_sSipCfg.ready) return;
    static char buf[8192];
    for (int n = 0; n < 64; ++n) {   // what waits now; the next poll takes the rest
        sockaddr_in a{};
        socklen_t alen = sizeof a;
        ssize_t len = recvfrom(g_sSipCfg.fd, buf, sizeof buf - 1, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&a), &alen);
        if (len <= 0) break;
        buf[len] = '\0';
        IPV4_ADDRESS src{};
        inet_ntop(AF_INET, &a.sin_addr, src.ip, sizeof src.ip);
        src.port = ntohs(a.sin_port);
        Ua_On_Datagram(buf, static_cast<int>(len), src);
    }
    if (!Stack_Busy() && !any_ok_repeat()) return;
    Stack_Run();
    run_ok_repeats();
    Stack_Free_Dead();
}

void LIBSIP_TestChnState()
{
    if (!g_sSipCfg.ready) return;
    Chn_Reclaim(64LL * g_sSipCfg.t1);
}

const char* LIBSIP_GetLibVersion()
{
    return "libsip 1.0.0 (RFC 3261 UDP user agent on libosip2)";
}

int LIBSIP_CreatChn(int hint)
{
    (void)hint;
    if (!g_sSipCfg.ready) return -1;
    return Chn_Take(E_CHN_NONE);
}

int LIBSIP_ResetChn(int chn)
{
    if (chn < 0 || chn >= kSipMaxChn) return -1;
    Chn_Free(chn);
    Stack_Free_Dead();
    return 0;
}

namespace {
SipChn* setter_chn(int chn) { return Chn_Valid(chn) ? &chn_at(chn) : nullptr; }
}  // namespace

int LIBSIP_SetFromTel(int chn, const char* tel)
{
    SipChn* c = setter_chn(chn);
    if (c == nullptr) return -1;
    if (tel == nullptr) return -2;
    copy_text(c->from_tel, tel);
    return 0;
}

int LIBSIP_SetToTel(int chn, const char* tel)
{
    SipChn* c = setter_chn(chn);
    if (c == nullptr) return -1;
    if (tel == nullptr) return -2;
    copy_text(c->to_tel, tel);
    return 0;
}

int LIBSIP_SetUserHost(int chn, const IPV4_ADDRESS* addr)
{
    SipChn* c = setter_chn(chn);
    if (c == nullptr) return -1;
    in_addr probe{};
    if (addr == nullptr || addr->port <= 0 || addr->port > 65535 || inet_pton(AF_INET, addr->ip, &probe) != 1) return -2;
    c->user_host = *addr;
    return 0;
}

int LIBSIP_SetExpires(int chn, int seconds)
{
    SipChn* c = setter_chn(chn);
    if (c == nullptr) return -1;
    if (seconds < 0) return -2;
    c->expires = seconds;
    c->has_expires = 1;
    return 0;
}

int LIBSIP_SetRPORT(int chn, int on)
{
    SipChn* c = setter_chn(chn);
    if (c == nullptr) return -1;
    c->rport = on ? 1 : 0;
    return 0;
}

int LIBSIP_SetChnType(int chn, int type)
{
    SipChn* c = setter_chn(chn);
    if (c == nullptr) return -1;
    c->chn_type = type;
    return 0;
}

int LIBSIP_SetUserAgent(int chn, const SIP_USER_AGENT* ua)
{
    SipChn* c = setter_chn(chn);
    if (c == nullptr) return -1;
    if (ua == nullptr) return -2;
    c->ua = *ua;
    c->ua.content[sizeof c->ua.content - 1] = '\0';
    return 0;
}

int LIBSIP_SetAuthor(int chn, const AUTH_ELEMENT_T* auth)
{
    SipChn* c = setter_chn(chn);
    if (c == nullptr) return -1;
    if (auth == nullptr) return -2;
    c->auth = *auth;
    c->auth.m_chUserName[sizeof c->auth.m_chUserName - 1] = '\0';
    c->auth.m_chPasswd[sizeof c->auth.m_chPasswd - 1] = '\0';
    c->has_auth = 1;
    return 0;
}

int LIBSIP_SetDataType(int chn, int type)
{
    SipChn* c = setter_chn(chn);
    if (c == nullptr) return -1;
    if (type != 0 && type != 1 && type != 2 && type != 4) return -2;
    c->data_type = type;
    return 0;
}

int LIBSIP_SetSdp(int chn, const SIP_SDP* sdp)
{
    SipChn* c = setter_chn(chn);
    if (c == nullptr) return -1;
    if (sdp == nullptr) return -2;
    c->local_sdp = *sdp;
    c->local_sdp.a_content[sizeof c->local_sdp.a_content - 1] = '\0';
    return 0;
}

int LIBSIP_SetInfo(int chn, const char* text)
{
    SipChn* c = setter_chn(chn);
    if (c == nullptr) return -1;
    if (text == nullptr) return -2;
    copy_text(c->info_out, text);
    return 0;
}

int LIBSIP_SetCallInfo(int chn, const SIP_CALL_INFO* info)
{
    SipChn* c = setter_chn(chn);
    if (c == nullptr) return -1;
    if (info == nullptr) return -2;
    c->call_info_out = *info;
    c->call_info_out.content[sizeof c->call_info_out.content - 1] = '\0';
    // a line break would end the header early and let the rest pass as headers of its own
    for (char& ch : c->call_info_out.content)
        if (ch == '\r' || ch == '\n') ch = ' ';
    return 0;
}

int LIBSIP_SetDisReason(int chn, int reason)
{
    SipChn* c = setter_chn(chn);
    if (c == nullptr) return -1;
    c->dis_reason = reason;
    return 0;
}

int LIBSIP_SetReferInfo(int chn, const REFER_INFO* refer)
{
    SipChn* c = setter_chn(chn);
    if (c == nullptr) return -1;
    if (refer == nullptr) return -2;
    c->refer = *refer;
    c->refer.m_chReferTel[sizeof c->refer.m_chReferTel - 1] = '\0';
    return 0;
}

int LIBSIP_SetXmlInfo(int chn, const char* xml)
{
    SipChn* c = setter_chn(chn);
    if (c == nullptr) return -1;
    if (xml == nullptr) return -2;
    copy_text(c->xml_out, xml);
    return 0;
}

int LIBSIP_SetSbcAddr(const IPV4_ADDRESS* addr)
{
    in_addr probe{};
    if (addr == nullptr || addr->port <= 0 || addr->port > 65535 || inet_pton(AF_INET, addr->ip, &probe) != 1) return -2;
    g_sSipCfg.sbc = *addr;
    return 0;
}

int LIBSIP_Send(int code, int chn)
{
    if (!g_sSipCfg.ready || chn < 0 || chn >= table_size()) return -1;
    SipChn& c = chn_at(chn);
    if (!c.use) return -1;
    int r = send_code(code, chn);
    if (c.use) clear_one_message(c);
    return r;
}

// ---- getters

const char* LIBSIP_GetFromTel(int chn) { return Chn_Valid(chn) ? chn_at(chn).got_from.s : ""; }
const char* LIBSIP_GetToTel(int chn) { return Chn_Valid(chn) ? chn_at(chn).got_to.s : ""; }
SIP_SDP* LIBSIP_GetSdp(int chn) { return Chn_Valid(chn) && chn_at(chn).has_remote_sdp ? &chn_at(chn).remote_sdp : nullptr; }
int LIBSIP_GetAlertRingLevel(int chn) { return Chn_Valid(chn) ? chn_at(chn).alert_level : 0; }
const char* LIBSIP_GetSipDate(int chn) { return Chn_Valid(chn) ? chn_at(chn).date.s : ""; }
int LIBSIP_GetExpires(int chn) { return Chn_Valid(chn) ? chn_at(chn).expires_granted : 0; }
sip_code_method LIBSIP_GetErrorCause(int chn) { return static_cast<sip_code_method>(Chn_Valid(chn) ? chn_at(chn).error_cause : 0); }
sip_code_method LIBSIP_GetCseqMethod(int chn) { return static_cast<sip_code_method>(Chn_Valid(chn) ? chn_at(chn).cseq_method : 0); }
const char* LIBSIP_GetEvent(int chn) { return Chn_Valid(chn) && chn_at(chn).has_event ? chn_at(chn).event.s : nullptr; }
LIBSIP_XML_T* LIBSIP_GetXml(int chn) { return Chn_Valid(chn) && chn_at(chn).has_xml ? &chn_at(chn).xml : nullptr; }
int LIBSIP_GetDataType(int chn) { return Chn_Valid(chn) ? chn_at(chn).data_type_in : 0; }
const char* LIBSIP_GetInfo(int chn) { return Chn_Valid(chn) ? chn_at(chn).info_in.s : ""; }
SIP_CALL_INFO* LIBSIP_GetCallInfo(int chn) { return Chn_Valid(chn) && chn_at(chn).has_call_info ? &chn_at(chn).call_info_in : nullptr; }
IPV4_ADDRESS* LIBSIP_GetUserHost(int chn) { return Chn_Valid(chn) && has_addr(chn_at(chn).peer) ? &chn_at(chn).peer : nullptr; }
AUTH_MSG_TYPE_E LIBSIP_GetAuthType(int chn) { return static_cast<AUTH_MSG_TYPE_E>(Chn_Valid(chn) ? chn_at(chn).auth_type : 0); }

int LIBSIP_FreeXml(int chn)
{
    if (!Chn_Valid(chn)) return -1;
    chn_at(chn).xml = {};
    chn_at(chn).has_xml = 0;
    return 0;
}
