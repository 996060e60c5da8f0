// sip_msg.cpp — the method table, reading osip's parsed messages, destinations, and composing
// the stack's requests and answers.
#include "sip_msg.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <osip2/osip.h>
#include <osipparser2/osip_parser.h>
#include <osipparser2/osip_port.h>

#include "sip_sdp.h"
#include "sip_text.h"

static const MethodRow kMethods[] = {
    {SIP_REQUEST_MSG_INVITE, "INVITE", E_INVITE, S_INVITE}, {SIP_REQUEST_MSG_ACK, "ACK", E_AUTH_NONE, 0},
    {SIP_REQUEST_MSG_BYE, "BYE", E_BYE, S_BYE}, {SIP_REQUEST_MSG_CANCEL, "CANCEL", E_CANCEL, S_CANCEL},
    {SIP_REQUEST_MSG_OPTIONS, "OPTIONS", E_OPTIONS, 0}, {SIP_REQUEST_MSG_REGISTER, "REGISTER", E_REGISTER, S_REGISTER},
    {SIP_REQUEST_MSG_INFO, "INFO", E_INFO, 0}, {SIP_REQUEST_MSG_PRACK, "PRACK", E_PRACK, 0},
    {SIP_REQUEST_MSG_SUBSCRIBE, "SUBSCRIBE", E_SUBCRIBE, S_SUBSCRIBE}, {SIP_REQUEST_MSG_NOTIFY, "NOTIFY", E_NOTIFY, 0},
    {SIP_REQUEST_MSG_UPDATE, "UPDATE", E_UPDATE, 0}, {SIP_REQUEST_MSG_MESSAGE, "MESSAGE", E_MESSAGE, 0},
    {SIP_REQUEST_MSG_REFER, "REFER", E_REFER, 0}, {SIP_REQUEST_MSG_PUBLISH, "PUBLISH", E_AUTH_NONE, 0},
};

const MethodRow* Sip_Method_Row(int method)
{
    for (const auto& r : kMethods)
        if (r.method == method) return &r;
    return nullptr;
}

const char* Sip_Method_Name(int method)
{
    const MethodRow* r = Sip_Method_Row(method);
    return r ? r->name : "";
}

int Sip_Method_Of(const char* name)
{
    if (name == nullptr) return 0;
    for (const auto& r : kMethods)
        if (!std::strcmp(r.name, name)) return r.method;
    return 0;
}

static const char* reason_phrase(int status)
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

// ---- texts read from osip's structures

namespace {
// osip hands out texts it allocated: copied into the field, then given back.
template <std::size_t N>
void keep_osip_text(Text<N>& dst, int rc, char*& s)
{
    if (rc == 0 && s != nullptr) copy_text(dst, s);
    else dst.clear();
    if (s != nullptr) osip_free(s);
    s = nullptr;
}
}  // namespace

void Sip_Call_Id_Of(const osip_message_t* sip, Text<128>& out)
{
    char* s = nullptr;
    int rc = sip->call_id ? osip_call_id_to_str(sip->call_id, &s) : -1;
    keep_osip_text(out, rc, s);
}

void Sip_Tag_Of(osip_from_t* h, Text<64>& out)
{
    out.clear();
    static char tag_name[] = "tag";   // osip's lookup takes a writable name
    osip_generic_param_t* p = nullptr;
    if (h != nullptr && osip_generic_param_get_byname(&h->gen_params, tag_name, &p) == 0 && p != nullptr && p->gvalue != nullptr)
        copy_text(out, p->gvalue);
}

void Sip_Uri_Of(osip_uri_t* u, Text<160>& out)
{
    char* s = nullptr;
    int rc = u ? osip_uri_to_str(u, &s) : -1;
    keep_osip_text(out, rc, s);
}

void Sip_User_Of(osip_from_t* h, Text<64>& out)
{
    out.clear();
    if (h != nullptr && h->url != nullptr && h->url->username != nullptr) copy_text(out, h->url->username);
}

void Sip_Branch_Of(const osip_message_t* sip, Text<128>& out)
{
    out.clear();
    static char branch_name[] = "branch";   // osip's lookup takes a writable name
    osip_via_t* v = static_cast<osip_via_t*>(osip_list_get(&sip->vias, 0));
    osip_generic_param_t* p = nullptr;
    if (v != nullptr && osip_via_param_get_byname(v, branch_name, &p) == 0 && p != nullptr && p->gvalue != nullptr)
        copy_text(out, p->gvalue);
}

int Sip_Cseq_Number(const osip_message_t* sip)
{
    if (sip->cseq == nullptr || sip->cseq->number == nullptr) return -1;
    return Sip_Read_Number(sip->cseq->number);
}

int Sip_Cseq_Method(const osip_message_t* sip)
{
    return sip->cseq ? Sip_Method_Of(sip->cseq->method) : 0;
}

std::string_view Sip_Header_Value(const osip_message_t* sip, const char* name)
{
    osip_header_t* h = nullptr;
    if (osip_message_header_get_byname(sip, name, 0, &h) >= 0 && h != nullptr && h->hvalue != nullptr) return h->hvalue;
    return {};
}

// Body kind as the gateway counts it: 1 SDP, 2 XML, 4 any other text, 0 none.
int Sip_Body_Kind(const osip_message_t* sip, std::string_view& body)
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

bool Sip_Has_Addr(const IPV4_ADDRESS& a) { return a.ip[0] != '\0' && a.port > 0; }

IPV4_ADDRESS Sip_Out_Of_Dialog_Dest(const SipChn& c)
{
    if (Sip_Has_Addr(c.user_host)) return c.user_host;
    if (Sip_Has_Addr(g_sSipCfg.sbc)) return g_sSipCfg.sbc;
    IPV4_ADDRESS d{};
    copy_bounded(d.ip, sizeof d.ip, g_sSipCfg.cfg.m_chDefaultHost);
    d.port = g_sSipCfg.cfg.m_iDefaultPort > 0 ? g_sSipCfg.cfg.m_iDefaultPort : 5060;
    return d;
}

IPV4_ADDRESS Sip_Dialog_Dest(const SipChn& c)
{
    if (g_sSipCfg.cfg.m_eSourceAddrType == E_SRCADDR_SOCKET && Sip_Has_Addr(c.peer)) return c.peer;
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

const char* Sip_Stack_Host()
{
    return g_sSipCfg.cfg.m_chStackHost[0] ? g_sSipCfg.cfg.m_chStackHost : "127.0.0.1";
}

void Sip_Addr_Text(const IPV4_ADDRESS& a, Composer& m)
{
    m.raw(a.ip);
    if (a.port > 0 && a.port != 5060) m.fmt(":%d", a.port);
}

// ---- composing

void Sip_New_Branch(char* out, int size)
{
    char r[17];
    Sip_Random_Token(r, sizeof r, 16);
    Composer b(out, size);
    b.raw("z9hG4bK").raw(r);
}

void Sip_Via_Line(Composer& m, const SipChn& c, const char* branch)
{
    m.fmt("Via: SIP/2.0/UDP %s:%d", Sip_Stack_Host(), g_sSipCfg.cfg.m_iStackPort);
    if (c.rport) m.raw(";rport");
    m.raw(";branch=").raw(branch).raw("\r\n");
}

static void contact_line(Composer& m, std::string_view user)
{
    m.raw("Contact: <sip:");
    if (!user.empty()) m.raw(user).raw("@");
    m.fmt("%s:%d>\r\n", Sip_Stack_Host(), g_sSipCfg.cfg.m_iStackPort);
}

// Body of the next message of the channel, as its data type asks. Writes Content-Type and
// Content-Length, the empty line and the body. false when it does not fit.
static bool body_lines(Composer& m, SipChn& c, int data_type)
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
    m.fmt("Content-Length: %d\r\n\r\n", static_cast<int>(b.size()));
    m.raw(b.view());
    return m.ok();
}

void Sip_Clear_One_Message(SipChn& c)
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
int Sip_Compose_Request(SipChn& c, int method, int cseq, const char* branch, const char* auth_line)
{
    char buf[kSipMsgMax];
    Composer m(buf, sizeof buf);
    const char* name = Sip_Method_Name(method);
    m.raw(name).raw(" ");
    if (c.dlg) {
        m.raw(c.remote_target.empty() ? c.remote_uri.view() : c.remote_target.view());
    } else if (method == SIP_REQUEST_MSG_REGISTER) {
        m.raw("sip:");
        Sip_Addr_Text(c.dest, m);
    } else {
        m.raw(c.remote_uri.view());
    }
    m.raw(" SIP/2.0\r\n");
    Sip_Via_Line(m, c, branch);
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
        Sip_Addr_Text(c.dest, m);
        m.raw(">\r\n");
    }
    if (method == SIP_REQUEST_MSG_PUBLISH || method == SIP_REQUEST_MSG_SUBSCRIBE) m.raw("Event: presence\r\n");
    if (method == SIP_REQUEST_MSG_PUBLISH) m.fmt("Expires: %d\r\n", c.expires);
    int data_type = method == SIP_REQUEST_MSG_CANCEL || method == SIP_REQUEST_MSG_BYE ? 0 : c.data_type;
    if (method == SIP_REQUEST_MSG_INVITE && c.local_sdp.a_use) data_type = 1;   // an INVITE always offers
    if (method == SIP_REQUEST_MSG_PUBLISH) data_type = 2;
    if (!body_lines(m, c, data_type) || !m.ok()) return -1;
    return Text_Store(m.c_str(), static_cast<int>(m.size()));
}

// An answer to a received request (sip): its Via lines, From, To (with our tag), Call-ID, CSeq.
// false when it does not fit.
static bool compose_answer_into(Composer& m, const osip_message_t* sip, int status, SipChn* c, int data_type, const char* to_tag)
{
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
        Sip_Tag_Of(sip->to, had);
        if (had.empty() && to_tag != nullptr && to_tag[0] != '\0' && status != 100) m.raw(";tag=").raw(to_tag);
        m.raw("\r\n");
    }
    if (s) osip_free(s);
    Text<128> cid;
    Sip_Call_Id_Of(sip, cid);
    m.raw("Call-ID: ").raw(cid.view()).raw("\r\n");
    m.fmt("CSeq: %d %s\r\n", Sip_Cseq_Number(sip), sip->cseq && sip->cseq->method ? sip->cseq->method : "");
    const int method = Sip_Method_Of(sip->sip_method);
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
        if (!body_lines(m, *c, data_type)) return false;
    } else {
        m.raw("Content-Length: 0\r\n\r\n");
    }
    return m.ok();
}

static int compose_answer(const osip_message_t* sip, int status, SipChn* c, int data_type, const char* to_tag)
{
    char buf[kSipMsgMax];
    Composer m(buf, sizeof buf);
    if (!compose_answer_into(m, sip, status, c, data_type, to_tag)) return -1;
    return Text_Store(m.c_str(), static_cast<int>(m.size()));
}

// Answers the request of a server transaction. 0 sent, -1 not.
int Sip_Answer(int ctx, int status, SipChn* c, int data_type)
{
    if (!Trans_Live(ctx)) return -1;
    SipTrans& t = Trans_At(ctx);
    if (t.final_seen) return -1;
    osip_message_t* req = t.tr->orig_request;
    if (req == nullptr) return -1;
    int text = compose_answer(req, status, c, data_type, c ? c->local_tag.s : nullptr);
    if (text < 0) return -1;
    return Trans_Answer(ctx, text, status);
}

// Answers a server transaction that is not the gateway's (no channel, no body).
void Sip_Answer_Plain(int ctx, int status)
{
    char tag[17];
    Sip_Random_Token(tag, sizeof tag, 10);
    if (!Trans_Live(ctx) || Trans_At(ctx).final_seen || Trans_At(ctx).tr->orig_request == nullptr) return;
    int text = compose_answer(Trans_At(ctx).tr->orig_request, status, nullptr, 0, tag);
    if (text >= 0) Trans_Answer(ctx, text, status);
}

// The To tag of an answer without a transaction: drawn from the request (and a secret of this run),
// so that a copy whose kept answer has gone is answered with the same tag.
static void stateless_tag(const osip_message_t* sip, char* out, int size)
{
    static char secret[17];
    if (secret[0] == '\0') Sip_Random_Token(secret, sizeof secret, 16);
    Text<128> cid, branch;
    Text<64> from_tag;
    Sip_Call_Id_Of(sip, cid);
    Sip_Branch_Of(sip, branch);
    Sip_Tag_Of(sip->from, from_tag);
    std::uint64_t h = 14695981039346656037ull;   // FNV-1a, each piece closed by a byte no text has
    for (std::string_view piece : {std::string_view(secret), cid.view(), branch.view(), from_tag.view()}) {
        for (char ch : piece) h = (h ^ static_cast<unsigned char>(ch)) * 1099511628211ull;
        h = (h ^ 0xffu) * 1099511628211ull;
    }
    h ^= static_cast<std::uint64_t>(Sip_Cseq_Number(sip));
    Composer t(out, size);
    t.fmt("%010llx", static_cast<unsigned long long>(h & 0xffffffffffull));
}

int Sip_Answer_Stateless(const osip_message_t* sip, int status, char* out, int size)
{
    if (sip == nullptr || out == nullptr || size <= 0) return -1;
    char tag[17];
    stateless_tag(sip, tag, sizeof tag);
    Composer m(out, size);
    if (!compose_answer_into(m, sip, status, nullptr, 0, tag)) return -1;
    return static_cast<int>(m.size());
}
