// libsip.cpp — the LIBSIP_ calls: set-up, the 10 ms poll, handles, setters and getters, and the
// messages the gateway asks for with LIBSIP_Send.
#include "sip.h"

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

#include "sip_digest.h"
#include "sip_msg.h"
#include "sip_stack.h"
#include "sip_text.h"
#include "sip_ua.h"

namespace {

// ---- sending for the gateway

// Resends the challenged request with credentials: new branch, CSeq + 1, same Call-ID and tags.
int resend_with_credentials(int chn)
{
    SipChn& c = Chn_At(chn);
    const SipText& old = g_sSipText[static_cast<size_t>(c.chal_text)];
    std::string_view text(old.s, static_cast<size_t>(old.len));
    size_t sp1 = text.find(' '), sp2 = text.find(' ', sp1 + 1);
    if (sp1 == std::string_view::npos || sp2 == std::string_view::npos) return -4;
    std::string_view ruri = text.substr(sp1 + 1, sp2 - sp1 - 1);
    char auth[600];
    const int method = c.chal_method;
    if (Digest_Authorization_Line(c.chal, std::string_view(c.auth.m_chUserName, strnlen(c.auth.m_chUserName, sizeof c.auth.m_chUserName)),
                                  std::string_view(c.auth.m_chPasswd, strnlen(c.auth.m_chPasswd, sizeof c.auth.m_chPasswd)),
                                  Sip_Method_Name(method), ruri, ++c.chal_nc, auth, sizeof auth) != 1)
        return -4;
    const int cs = static_cast<int>(++c.local_cseq);
    char br[32];
    Sip_New_Branch(br, sizeof br);
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
            m.fmt("CSeq: %d %s\r\n", cs, Sip_Method_Name(method));
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
    int slot = Text_Store(m.c_str(), static_cast<int>(m.size()));
    if (slot < 0) return -5;
    Text_Free(c.chal_text);
    c.chal_text = -1;
    int ctx = Trans_Request(chn, method, slot, c.dlg == 2 ? Sip_Dialog_Dest(c) : c.dest);
    if (ctx < 0) return -5;
    Trans_At(ctx).had_credentials = 1;
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
    SipChn& c = Chn_At(chn);
    IPV4_ADDRESS d = Sip_Out_Of_Dialog_Dest(c);
    if (!Sip_Has_Addr(d)) return -2;
    // refreshes to the same registrar keep Call-ID and tag
    bool keep_ids = method == SIP_REQUEST_MSG_REGISTER && c.reg_call_id && d.port == c.dest.port && !std::strcmp(d.ip, c.dest.ip);
    c.dest = d;
    if (!keep_ids) {
        char r[17];
        Sip_Random_Token(r, sizeof r, 16);
        Composer id(c.call_id.s, sizeof c.call_id.s);
        id.raw(r).raw("@").raw(Sip_Stack_Host());
        Sip_Random_Token(r, sizeof r, 10);
        copy_text(c.local_tag, r);
        c.remote_tag.clear();
        c.remote_target.clear();
        c.reg_call_id = method == SIP_REQUEST_MSG_REGISTER;
    }
    Composer lu(c.local_uri.s, sizeof c.local_uri.s);
    lu.raw("sip:").raw(c.from_tel.view()).raw("@");
    Sip_Addr_Text(c.dest, lu);
    Composer ru(c.remote_uri.s, sizeof c.remote_uri.s);
    ru.raw("sip:").raw(method == SIP_REQUEST_MSG_REGISTER || method == SIP_REQUEST_MSG_PUBLISH ? c.from_tel.view() : c.to_tel.view()).raw("@");
    Sip_Addr_Text(c.dest, ru);
    if (!lu.ok() || !ru.ok()) return -4;
    c.dlg = 0;
    c.peer = c.dest;
    char br[32];
    Sip_New_Branch(br, sizeof br);
    int text = Sip_Compose_Request(c, method, static_cast<int>(++c.local_cseq), br, nullptr);
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
    SipChn& c = Chn_At(chn);
    if (c.dlg != 2 && !(c.dlg == 1 && method == SIP_REQUEST_MSG_UPDATE)) return -2;
    char br[32];
    Sip_New_Branch(br, sizeof br);
    int text = Sip_Compose_Request(c, method, static_cast<int>(++c.local_cseq), br, nullptr);
    if (text < 0) return -4;
    int ctx = Trans_Request(chn, method, text, Sip_Dialog_Dest(c));
    if (ctx < 0) return -5;
    if (method == SIP_REQUEST_MSG_INVITE) {
        Trans_At(ctx).reinvite = 1;
        c.ict = ctx;
    }
    return 0;
}

int send_cancel(int chn)
{
    SipChn& c = Chn_At(chn);
    if (!Trans_Live(c.ict) || Trans_At(c.ict).final_seen || Trans_At(c.ict).reinvite) return -2;
    const SipText& inv = g_sSipText[static_cast<size_t>(Trans_At(c.ict).req_text)];
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
    int slot = Text_Store(m.c_str(), static_cast<int>(m.size()));
    if (slot < 0) return -5;
    if (Trans_Request(chn, SIP_REQUEST_MSG_CANCEL, slot, c.dest) < 0) return -5;
    c.cancelled = 1;
    return 0;
}

// A failure response: to the INVITE waiting for an answer; a call of ours that is already
// answered is ended properly instead.
int send_failure(int chn)
{
    SipChn& c = Chn_At(chn);
    int status = c.dis_reason >= 300 && c.dis_reason <= 699 ? c.dis_reason : 500;
    if (Trans_Live(c.ist) && !Trans_At(c.ist).final_seen) {
        SipTrans& t = Trans_At(c.ist);
        if (Sip_Answer(c.ist, status, &c, 0) != 0) return -4;
        t.refused = 1;
        if (!t.reinvite) Chn_End(chn);
        return 0;
    }
    for (int* f : {&c.info_nist, &c.notify_nist, &c.update_nist, &c.options_nist, &c.bye_nist}) {
        if (!Trans_Live(*f) || Trans_At(*f).final_seen) continue;
        return Sip_Answer(*f, status, &c, 0) == 0 ? 0 : -4;
    }
    if (c.kind == E_CHN_OUT && c.dlg == 2) {
        c.data_type = 0;
        Chn_End(chn);
        return send_in_dialog(chn, SIP_REQUEST_MSG_BYE);
    }
    if (c.kind == E_CHN_OUT && Trans_Live(c.ict) && !Trans_At(c.ict).final_seen) return send_cancel(chn);
    return -2;
}

int send_answer_2xx(int chn, int ctx_field_value, int status, int data_type, bool repeat)
{
    SipChn& c = Chn_At(chn);
    if (!Trans_Live(ctx_field_value) || Trans_At(ctx_field_value).final_seen) return -2;
    SipTrans& t = Trans_At(ctx_field_value);
    int cs = Sip_Cseq_Number(t.tr->orig_request);
    if (Sip_Answer(ctx_field_value, status, &c, data_type) != 0) return -4;
    if (repeat) {
        Ua_Arm_Ok(c, ctx_field_value, cs);
        c.dlg = 2;
    }
    return 0;
}

int send_code(int code, int chn)
{
    SipChn& c = Chn_At(chn);
    // after a challenge, the next send of the challenged request (or code 0) answers it
    if (c.chal_text >= 0) {
        const MethodRow* r = Sip_Method_Row(c.chal_method);
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
        if (c.dlg != 0 || Trans_Live(c.ict)) return -2;
        return send_fresh(chn, SIP_REQUEST_MSG_INVITE);
    case S_OPTIONS: return send_fresh(chn, SIP_REQUEST_MSG_OPTIONS);
    case S_PUBLISH: return send_fresh(chn, SIP_REQUEST_MSG_PUBLISH);
    case S_RING:
    case S_RING182: {
        if (!Trans_Live(c.ist) || Trans_At(c.ist).final_seen) return -2;
        int status = code == S_RING182 ? 182 : (c.data_type == 1 ? 183 : 180);
        return Sip_Answer(c.ist, status, &c, c.data_type == 1 ? 1 : 0) == 0 ? 0 : -4;
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
        if (Trans_Live(c.ict) && Trans_At(c.ict).final_seen && Trans_At(c.ict).final_status < 300) {
            osip_message_t* resp = Trans_At(c.ict).tr->last_response;
            if (resp != nullptr && c.ack_cseq != Sip_Cseq_Number(resp)) {
                Ua_Ack_2xx(chn, resp);
                return c.ack_text >= 0 ? 0 : -4;
            }
        }
        if (c.ack_text < 0) return -2;
        const SipText& a = g_sSipText[static_cast<size_t>(c.ack_text)];
        return Stack_Send_Raw(a.s, a.len, Sip_Dialog_Dest(c)) == 0 ? 0 : -5;
    }
    case S_BYE: {
        // a call not answered yet is cancelled (ours) or refused (theirs) instead
        if (c.dlg == 1 && c.kind == E_CHN_OUT) return send_cancel(chn);
        if (c.kind == E_CHN_IN && Trans_Live(c.ist) && !Trans_At(c.ist).final_seen && !Trans_At(c.ist).reinvite) {
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
    if (!Stack_Busy() && !Ua_Ok_Armed()) return;
    Stack_Run();
    Ua_Run_Ok_Repeats();
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
SipChn* setter_chn(int chn) { return Chn_Valid(chn) ? &Chn_At(chn) : nullptr; }
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
    if (!g_sSipCfg.ready || chn < 0 || chn >= Chn_Table_Size()) return -1;
    SipChn& c = Chn_At(chn);
    if (!c.use) return -1;
    int r = send_code(code, chn);
    if (c.use) Sip_Clear_One_Message(c);
    return r;
}

// ---- getters

const char* LIBSIP_GetFromTel(int chn) { return Chn_Valid(chn) ? Chn_At(chn).got_from.s : ""; }
const char* LIBSIP_GetToTel(int chn) { return Chn_Valid(chn) ? Chn_At(chn).got_to.s : ""; }
SIP_SDP* LIBSIP_GetSdp(int chn) { return Chn_Valid(chn) && Chn_At(chn).has_remote_sdp ? &Chn_At(chn).remote_sdp : nullptr; }
int LIBSIP_GetAlertRingLevel(int chn) { return Chn_Valid(chn) ? Chn_At(chn).alert_level : 0; }
const char* LIBSIP_GetSipDate(int chn) { return Chn_Valid(chn) ? Chn_At(chn).date.s : ""; }
int LIBSIP_GetExpires(int chn) { return Chn_Valid(chn) ? Chn_At(chn).expires_granted : 0; }
int LIBSIP_GetMinExpires(int chn) { return Chn_Valid(chn) ? Chn_At(chn).min_expires : 0; }
sip_code_method LIBSIP_GetErrorCause(int chn) { return static_cast<sip_code_method>(Chn_Valid(chn) ? Chn_At(chn).error_cause : 0); }
sip_code_method LIBSIP_GetCseqMethod(int chn) { return static_cast<sip_code_method>(Chn_Valid(chn) ? Chn_At(chn).cseq_method : 0); }
const char* LIBSIP_GetEvent(int chn) { return Chn_Valid(chn) && Chn_At(chn).has_event ? Chn_At(chn).event.s : nullptr; }
LIBSIP_XML_T* LIBSIP_GetXml(int chn) { return Chn_Valid(chn) && Chn_At(chn).has_xml ? &Chn_At(chn).xml : nullptr; }
int LIBSIP_GetDataType(int chn) { return Chn_Valid(chn) ? Chn_At(chn).data_type_in : 0; }
const char* LIBSIP_GetInfo(int chn) { return Chn_Valid(chn) ? Chn_At(chn).info_in.s : ""; }
SIP_CALL_INFO* LIBSIP_GetCallInfo(int chn) { return Chn_Valid(chn) && Chn_At(chn).has_call_info ? &Chn_At(chn).call_info_in : nullptr; }
IPV4_ADDRESS* LIBSIP_GetUserHost(int chn) { return Chn_Valid(chn) && Sip_Has_Addr(Chn_At(chn).peer) ? &Chn_At(chn).peer : nullptr; }
AUTH_MSG_TYPE_E LIBSIP_GetAuthType(int chn) { return static_cast<AUTH_MSG_TYPE_E>(Chn_Valid(chn) ? Chn_At(chn).auth_type : 0); }

int LIBSIP_FreeXml(int chn)
{
    if (!Chn_Valid(chn)) return -1;
    Chn_At(chn).xml = {};
    Chn_At(chn).has_xml = 0;
    return 0;
}
