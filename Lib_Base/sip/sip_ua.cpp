// sip_ua.cpp — the user agent: the channel table, what arrives (requests, answers, ACKs, stray
// answers) and its mapping to the report codes, the answers the stack gives on its own, and the
// repeats of a 2xx until its ACK.
#include "sip_ua.h"

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

#include "sip_msg.h"
#include "sip_sdp.h"
#include "sip_text.h"

namespace {

// Report codes: what the gateway's callback is told.
enum {
    R_REG_OK = 101, R_INVITE = 200, R_RING = 202, R_ANSWER = 203, R_ACK = 204, R_INFO = 206, R_BYE = 208,
    R_CANCEL = 209, R_487 = 210, R_REINVITE = 211, R_REINVITE_OK = 212, R_NOTIFY = 213, R_CHALLENGE = 214,
    R_UPDATE = 217, R_OPTIONS = 219, R_BYE_OK = 224, R_DISACK = 225, R_FAILURE = 226, R_OPTIONS_OK = 227,
    R_INFO_OK = 229, R_PUBLISH_OK = 232, R_TIMEOUT = 300,
};

// The datagram being handled: its text and sender, for the raw looks and the answers.
std::string_view g_sCurRaw;
IPV4_ADDRESS g_sCurSrc{};

// ---- channels

void forget_trans(SipChn& c, int ctx)
{
    for (int* f : {&c.ist, &c.bye_nist, &c.info_nist, &c.notify_nist, &c.update_nist, &c.options_nist, &c.ict})
        if (*f == ctx) *f = -1;
}

// Server transactions still waiting for the gateway get the answer it can no longer give.
void answer_left_requests(SipChn& c)
{
    if (Trans_Live(c.ist) && !Trans_At(c.ist).final_seen) {
        Sip_Answer(c.ist, Trans_At(c.ist).reinvite ? 488 : 480, &c, 0);
        Trans_At(c.ist).refused = 1;
    }
    if (Trans_Live(c.bye_nist)) Sip_Answer(c.bye_nist, 200, &c, 0);
    for (int f : {c.info_nist, c.notify_nist, c.update_nist, c.options_nist})
        if (Trans_Live(f)) Sip_Answer(f, 481, &c, 0);
}

// ---- reports

void report(int chn, int code)
{
    if (chn < 0 || !Chn_At(chn).use || g_sSipCfg.up == nullptr) return;
    g_sSipCfg.up(code, chn, Chn_At(chn).data_type_in);
}

// What the channel received: numbers, body, the header values the getters give.
void read_message(SipChn& c, const osip_message_t* sip)
{
    c.peer = g_sCurSrc;
    Sip_User_Of(sip->from, c.got_from);
    Sip_User_Of(sip->to, c.got_to);
    c.cseq_method = Sip_Cseq_Method(sip);
    c.error_cause = MSG_IS_RESPONSE(sip) && sip->status_code >= 300 ? sip->status_code : 0;
    copy_text(c.date, Sip_Header_Value(sip, "date"));
    const int min_expires = Sip_Read_Number(Sip_Header_Value(sip, "min-expires"));
    c.min_expires = min_expires > 0 ? min_expires : 0;
    std::string_view ev = Sip_Header_Value(sip, "event");
    c.has_event = !ev.empty();
    copy_text(c.event, ev);
    std::string_view body;
    c.data_type_in = Sip_Body_Kind(sip, body);
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
        if (u && u->username && u->host && c.from_tel.view() == u->username && !std::strcmp(u->host, Sip_Stack_Host())
            && port == g_sSipCfg.cfg.m_iStackPort)
            ours = v;
    }
    if (ours >= 0) return ours;
    if (single >= 0) return single;
    int e = Sip_Read_Number(Sip_Header_Value(sip, "expires"));
    if (e >= 0) return e;
    return c.expires;
}

void bye_stray(const osip_message_t* resp, const IPV4_ADDRESS& to, const char* ruri);

// ---- client side: answers to what we sent

void on_challenge(int ctx, const osip_message_t* sip)
{
    SipTrans& t = Trans_At(ctx);
    SipChn& c = Chn_At(t.chn);
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
    c.auth_type = Sip_Method_Row(t.method) ? Sip_Method_Row(t.method)->auth_type : E_AUTH_NONE;
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
    SipTrans& t = Trans_At(ctx);
    const int status = sip->status_code;
    if (t.chn < 0) {
        // a detached INVITE answered with 2xx: the call nobody holds is ended at once
        if (t.method == SIP_REQUEST_MSG_INVITE && status < 300) {
            Text<160> target;
            osip_contact_t* ct = nullptr;
            if (osip_message_get_contact(sip, 0, &ct) >= 0 && ct) Sip_Uri_Of(ct->url, target);
            else if (sip->to) Sip_Uri_Of(sip->to->url, target);
            IPV4_ADDRESS to = g_sCurSrc;
            bye_stray(sip, to, target.s);
        }
        return;
    }
    SipChn& c = Chn_At(t.chn);
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
    Sip_Tag_Of(sip->to, tag);
    if (!t.reinvite) {
        copy_text(c.remote_tag, tag.view());
        osip_contact_t* ct = nullptr;
        if (osip_message_get_contact(sip, 0, &ct) >= 0 && ct) Sip_Uri_Of(ct->url, c.remote_target);
        c.dlg = 2;
    }
    if (c.cancelled && !t.reinvite) {
        // the answer crossed our CANCEL: the call is ended as the CANCEL asked
        Ua_Ack_2xx(t.chn, sip);
        c.data_type = 0;
        int cs = static_cast<int>(++c.local_cseq);
        char br[32];
        Sip_New_Branch(br, sizeof br);
        int text = Sip_Compose_Request(c, SIP_REQUEST_MSG_BYE, cs, br, nullptr);
        if (text >= 0) Trans_Request(-1, SIP_REQUEST_MSG_BYE, text, Sip_Dialog_Dest(c));
        Chn_End(t.chn);
        report(t.chn, R_487);
        return;
    }
    c.ack_cseq = 0;
    report(t.chn, t.reinvite ? R_REINVITE_OK : R_ANSWER);
    // a 2xx is always acknowledged, also when the gateway did not ask for it
    if (c.use && c.ack_cseq != Sip_Cseq_Number(sip)) Ua_Ack_2xx(t.chn, sip);
}

void on_client_provisional(int ctx, const osip_message_t* sip)
{
    SipTrans& t = Trans_At(ctx);
    if (t.chn < 0 || t.method != SIP_REQUEST_MSG_INVITE || sip->status_code <= 100 || t.reinvite) return;
    SipChn& c = Chn_At(t.chn);
    Text<64> tag;
    Sip_Tag_Of(sip->to, tag);
    // the same ringing repeated (a proxy resends it for every INVITE copy) is reported once
    std::string_view b;
    int kind = Sip_Body_Kind(sip, b);
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
    Sip_Call_Id_Of(sip, cid);
    Sip_Tag_Of(sip->to, ltag);
    Sip_Tag_Of(sip->from, rtag);
    if (ltag.empty()) return -1;
    return Chn_Find_Dialog(cid.view(), ltag.view(), rtag.view());
}

// An INVITE copy that arrives after our 2xx ended its transaction: the 2xx goes again.
bool invite_copy(int ctx, const osip_message_t* sip)
{
    Text<128> cid;
    Text<64> rtag;
    Sip_Call_Id_Of(sip, cid);
    Sip_Tag_Of(sip->from, rtag);
    const int cs = Sip_Cseq_Number(sip);
    for (int i = 0; i < Chn_Table_Size(); ++i) {
        SipChn& c = Chn_At(i);
        if (!c.use || c.kind != E_CHN_IN || c.call_id.view() != cid.view() || c.remote_tag.view() != rtag.view() || c.remote_cseq != cs) continue;
        if (c.ok_text >= 0) {
            int copy = Text_Store(g_sSipText[static_cast<size_t>(c.ok_text)].s, g_sSipText[static_cast<size_t>(c.ok_text)].len);
            if (copy >= 0) Trans_Answer(ctx, copy, 200);
        } else {
            Sip_Answer_Plain(ctx, 482);   // a copy of a call already ended: not a new call
        }
        return true;
    }
    return false;
}

void on_new_invite(int ctx, const osip_message_t* sip)
{
    SipTrans& t = Trans_At(ctx);
    t.method = SIP_REQUEST_MSG_INVITE;
    Text<64> ltag;
    Sip_Tag_Of(sip->to, ltag);
    if (!ltag.empty()) {   // re-INVITE
        int chn = find_dialog_of(sip);
        if (chn < 0) {
            Sip_Answer_Plain(ctx, 481);
            return;
        }
        SipChn& c = Chn_At(chn);
        t.chn = chn;
        t.reinvite = 1;
        c.remote_cseq = Sip_Cseq_Number(sip);
        c.ist = ctx;
        read_message(c, sip);
        if (g_sSipCfg.report.m_iInvite) report(chn, R_REINVITE);
        if (c.use && Trans_Live(ctx) && !t.final_seen) Sip_Answer(ctx, 488, &c, 0);
        return;
    }
    if (invite_copy(ctx, sip)) return;
    if (!g_sSipCfg.report.m_iInvite) {
        Sip_Answer_Plain(ctx, 405);
        return;
    }
    int chn = Chn_Take(E_CHN_IN);
    if (chn < 0) {
        Sip_Answer_Plain(ctx, 486);
        return;
    }
    SipChn& c = Chn_At(chn);
    t.chn = chn;
    Sip_Call_Id_Of(sip, c.call_id);
    Sip_Tag_Of(sip->from, c.remote_tag);
    char tag[17];
    Sip_Random_Token(tag, sizeof tag, 10);
    copy_text(c.local_tag, tag);
    c.remote_cseq = Sip_Cseq_Number(sip);
    Sip_Uri_Of(sip->from ? sip->from->url : nullptr, c.remote_uri);
    Sip_Uri_Of(sip->to ? sip->to->url : nullptr, c.local_uri);
    osip_contact_t* ct = nullptr;
    if (osip_message_get_contact(sip, 0, &ct) >= 0 && ct) Sip_Uri_Of(ct->url, c.remote_target);
    c.dlg = 1;
    c.ist = ctx;
    read_message(c, sip);
    copy_text(c.from_tel, c.got_to.view());   // our side of this call is the called number
    copy_text(c.to_tel, c.got_from.view());
    report(chn, R_INVITE);
    // a call the gateway left without any answer is refused
    if (Trans_Live(ctx) && !t.final_seen && t.tr->last_response == nullptr) {
        Sip_Answer(ctx, 480, c.use ? &c : nullptr, 0);
        t.refused = 1;
        Chn_End(chn);
    }
}

// The server INVITE a CANCEL is for: the one with the same branch and Call-ID; -1 none.
int cancelled_invite(const osip_message_t* sip)
{
    Text<128> br, cid;
    Sip_Branch_Of(sip, br);
    if (br.empty()) return -1;
    Sip_Call_Id_Of(sip, cid);
    int invite = -1;
    for (int i = 0; i < kSipMaxTrans; ++i) {
        SipTrans& t = Trans_At(i);
        if (!Trans_Live(i) || t.client || t.method != SIP_REQUEST_MSG_INVITE || t.tr->orig_request == nullptr) continue;
        Text<128> ib, icid;
        Sip_Branch_Of(t.tr->orig_request, ib);
        Sip_Call_Id_Of(t.tr->orig_request, icid);
        if (ib.view() == br.view() && icid.view() == cid.view()) invite = i;
    }
    return invite;
}

void on_cancel(int ctx, const osip_message_t* sip)
{
    int invite = cancelled_invite(sip);
    if (invite < 0) {
        Sip_Answer_Plain(ctx, 481);
        return;
    }
    SipTrans& inv = Trans_At(invite);
    SipChn* c = inv.chn >= 0 ? &Chn_At(inv.chn) : nullptr;
    Sip_Answer(ctx, 200, c, 0);
    if (inv.final_seen) return;   // too late: the call goes on
    Sip_Answer(invite, 487, c, 0);
    inv.refused = 1;
    if (c == nullptr) return;
    read_message(*c, sip);
    Chn_End(inv.chn);
    if (g_sSipCfg.report.m_iCancel) report(inv.chn, R_CANCEL);
}

void on_new_request(int ctx, const osip_message_t* sip)
{
    SipTrans& t = Trans_At(ctx);
    const int method = Sip_Method_Of(sip->sip_method);
    t.method = method;
    if (method == SIP_REQUEST_MSG_CANCEL) {
        on_cancel(ctx, sip);
        return;
    }
    const LIBSIP_REPORT_MSG_T& r = g_sSipCfg.report;
    if (method == SIP_REQUEST_MSG_OPTIONS && !r.m_iOptions) {   // the stack answers OPTIONS itself
        Sip_Answer_Plain(ctx, 200);
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
    case 0: Sip_Answer_Plain(ctx, 501); return;
    default: Sip_Answer_Plain(ctx, 405); return;   // REGISTER, SUBSCRIBE, MESSAGE, PUBLISH, REFER, PRACK
    }
    int chn = find_dialog_of(sip);
    if (chn < 0 && method == SIP_REQUEST_MSG_OPTIONS) {
        chn = Chn_Take(E_CHN_NONE);   // an OPTIONS the gateway wants to see gets a handle of its own
        if (chn < 0) {
            Sip_Answer_Plain(ctx, 200);
            return;
        }
        Sip_Call_Id_Of(sip, Chn_At(chn).call_id);
    }
    if (chn < 0) {
        Sip_Answer_Plain(ctx, 481);
        return;
    }
    SipChn& c = Chn_At(chn);
    t.chn = chn;
    c.*slot = ctx;
    read_message(c, sip);
    if (method == SIP_REQUEST_MSG_BYE) {
        Chn_End(chn);
        Text_Free(c.ok_text);   // a BYE ends the wait for the ACK as well
        c.ok_text = -1;
    }
    if (taken) report(chn, code);
    if (!Trans_Live(ctx) || t.final_seen) return;
    std::string_view b;
    int status = method == SIP_REQUEST_MSG_UPDATE && Sip_Body_Kind(sip, b) == 1 ? 488 : 200;
    Sip_Answer(ctx, status, c.use ? &c : nullptr, 0);
    if (c.use && c.*slot == ctx) c.*slot = -1;
}

// ---- requests answered without a transaction

// The answer a new request gets without a transaction: one for a dialog or INVITE we do not have,
// or one the stack gives whatever the dialog; 0 when the request needs a transaction (a new call,
// or one the gateway hears of).
int stateless_status(const osip_message_t* sip)
{
    const int method = Sip_Method_Of(sip->sip_method);
    switch (method) {
    case SIP_REQUEST_MSG_INVITE: {
        Text<64> ltag;
        Sip_Tag_Of(sip->to, ltag);
        if (ltag.empty()) return 0;
        return find_dialog_of(sip) >= 0 ? 0 : 481;
    }
    case SIP_REQUEST_MSG_CANCEL: return cancelled_invite(sip) >= 0 ? 0 : 481;
    case SIP_REQUEST_MSG_OPTIONS: return g_sSipCfg.report.m_iOptions ? 0 : 200;
    case SIP_REQUEST_MSG_BYE: case SIP_REQUEST_MSG_INFO: case SIP_REQUEST_MSG_NOTIFY: case SIP_REQUEST_MSG_UPDATE:
        return find_dialog_of(sip) >= 0 ? 0 : 481;
    case 0: return 501;
    default: return 405;   // REGISTER, SUBSCRIBE, MESSAGE, PUBLISH, REFER, PRACK
    }
}

SipRequestKey request_key(const osip_message_t* sip, const IPV4_ADDRESS& src)
{
    SipRequestKey k;
    k.src = src;
    k.method = Sip_Method_Of(sip->sip_method);
    k.cseq = Sip_Cseq_Number(sip);
    Sip_Call_Id_Of(sip, k.call_id);
    Sip_Branch_Of(sip, k.branch);
    return k;
}

// Where an answer without a transaction goes: the datagram's source, or as the top Via says
// (its received and rport values, which the receive path has filled in).
IPV4_ADDRESS answer_dest(const osip_message_t* sip, const IPV4_ADDRESS& src)
{
    if (g_sSipCfg.cfg.m_eSourceAddrType == E_SRCADDR_SOCKET) return src;
    osip_via_t* v = static_cast<osip_via_t*>(osip_list_get(&sip->vias, 0));
    if (v == nullptr || v->host == nullptr) return src;
    IPV4_ADDRESS d{};
    osip_generic_param_t* p = nullptr;
    static char received[] = "received", rport[] = "rport";   // osip's lookup takes writable names
    copy_bounded(d.ip, sizeof d.ip, osip_via_param_get_byname(v, received, &p) == 0 && p && p->gvalue ? p->gvalue : v->host);
    p = nullptr;
    int port = osip_via_param_get_byname(v, rport, &p) == 0 && p && p->gvalue ? Sip_Read_Number(p->gvalue) : -1;
    if (port <= 0 && v->port != nullptr) port = Sip_Read_Number(v->port);
    d.port = port > 0 && port <= 65535 ? port : 5060;
    return d;
}

// ---- ACK, stray answers

void on_ack(const osip_message_t* sip)
{
    int chn = find_dialog_of(sip);
    if (chn < 0) return;
    SipChn& c = Chn_At(chn);
    if (c.ok_text < 0 || c.ok_cseq != Sip_Cseq_Number(sip)) return;   // a copy of an ACK already seen
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
    Sip_Call_Id_Of(resp, cid);
    const int cs = Sip_Cseq_Number(resp);
    SipChn none{};
    for (int method : {SIP_REQUEST_MSG_ACK, SIP_REQUEST_MSG_BYE}) {
        char br[32];
        Sip_New_Branch(br, sizeof br);
        char buf[kSipMsgMax];
        Composer m(buf, sizeof buf);
        m.fmt("%s %s SIP/2.0\r\n", Sip_Method_Name(method), ruri && ruri[0] ? ruri : "sip:invalid");
        Sip_Via_Line(m, none, br);
        m.raw("Max-Forwards: 70\r\n");
        m.raw("From: ").raw(from).raw("\r\nTo: ").raw(tot).raw("\r\n");
        m.raw("Call-ID: ").raw(cid.view()).raw("\r\n");
        m.fmt("CSeq: %d %s\r\nContent-Length: 0\r\n\r\n", method == SIP_REQUEST_MSG_ACK ? cs : cs + 1, Sip_Method_Name(method));
        if (!m.ok()) break;
        if (method == SIP_REQUEST_MSG_ACK) Stack_Send_Raw(m.c_str(), static_cast<int>(m.size()), to);
        else send_detached(method, m.c_str(), static_cast<int>(m.size()), to);
    }
    osip_free(from);
    osip_free(tot);
}

void on_stray_response(const osip_message_t* sip)
{
    if (sip->status_code < 200 || sip->status_code >= 300 || Sip_Cseq_Method(sip) != SIP_REQUEST_MSG_INVITE) return;
    Text<128> cid;
    Text<64> ltag, rtag;
    Sip_Call_Id_Of(sip, cid);
    Sip_Tag_Of(sip->from, ltag);
    Sip_Tag_Of(sip->to, rtag);
    int chn = Chn_Find_Dialog(cid.view(), ltag.view(), rtag.view());
    if (chn >= 0 && Chn_At(chn).ack_text >= 0 && Chn_At(chn).ack_cseq == Sip_Cseq_Number(sip)) {
        const SipText& a = g_sSipText[static_cast<size_t>(Chn_At(chn).ack_text)];
        Stack_Send_Raw(a.s, a.len, g_sCurSrc);   // our ACK was lost: the 2xx came again
        return;
    }
    Text<160> target;
    osip_contact_t* ct = nullptr;
    if (osip_message_get_contact(sip, 0, &ct) >= 0 && ct) Sip_Uri_Of(ct->url, target);
    else Sip_Uri_Of(sip->to ? sip->to->url : nullptr, target);
    bye_stray(sip, g_sCurSrc, target.s);
}

}  // namespace

// ACK for a 2xx to the channel's INVITE; kept to answer copies of the 2xx.
void Ua_Ack_2xx(int chn, const osip_message_t* resp)
{
    SipChn& c = Chn_At(chn);
    const int cs = Sip_Cseq_Number(resp);
    char br[32];
    Sip_New_Branch(br, sizeof br);
    int text = Sip_Compose_Request(c, SIP_REQUEST_MSG_ACK, cs, br, nullptr);
    if (text < 0) return;
    Text_Free(c.ack_text);
    c.ack_text = text;
    c.ack_cseq = cs;
    Stack_Send_Raw(g_sSipText[static_cast<size_t>(text)].s, g_sSipText[static_cast<size_t>(text)].len, Sip_Dialog_Dest(c));
}

// ---- 2xx repeats toward a caller whose ACK has not come

void Ua_Arm_Ok(SipChn& c, int ctx, int cseq)
{
    Text_Free(c.ok_text);
    c.ok_text = -1;
    if (!Trans_Live(ctx) || Trans_At(ctx).resp_text < 0) return;
    const SipText& s = g_sSipText[static_cast<size_t>(Trans_At(ctx).resp_text)];
    c.ok_text = Text_Store(s.s, s.len);
    c.ok_cseq = cseq;
    c.ok_gap_ms = g_sSipCfg.t1;
    long long now = Sip_Now_Ms();
    c.ok_next_ms = now + c.ok_gap_ms;
    c.ok_until_ms = now + 64LL * g_sSipCfg.t1;
    if (!Sip_Has_Addr(c.peer)) c.peer = Trans_At(ctx).src;
}

void Ua_Run_Ok_Repeats()
{
    long long now = Sip_Now_Ms();
    for (int i = 0; i < Chn_Table_Size(); ++i) {
        SipChn& c = Chn_At(i);
        if (!c.use || c.ok_text < 0 || now < c.ok_next_ms) continue;
        if (now >= c.ok_until_ms) {
            // the ACK never came: the call is ended with a BYE and reported as timed out
            Text_Free(c.ok_text);
            c.ok_text = -1;
            c.dlg = 2;
            c.data_type = 0;
            char br[32];
            Sip_New_Branch(br, sizeof br);
            int text = Sip_Compose_Request(c, SIP_REQUEST_MSG_BYE, static_cast<int>(++c.local_cseq), br, nullptr);
            if (text >= 0) Trans_Request(-1, SIP_REQUEST_MSG_BYE, text, Sip_Dialog_Dest(c));
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

bool Ua_Ok_Armed()
{
    for (int i = 0; i < Chn_Table_Size(); ++i)
        if (Chn_At(i).use && Chn_At(i).ok_text >= 0) return true;
    return false;
}

// ---- requests without a transaction

bool Ua_Answer_Without_Transaction(const osip_message* sip, const IPV4_ADDRESS& src)
{
    if (sip == nullptr || !MSG_IS_REQUEST(sip) || MSG_IS_ACK(sip)) return false;
    const SipRequestKey key = request_key(sip, src);
    const IPV4_ADDRESS to = answer_dest(sip, src);
    if (const SipAnswered* a = Answered_Find(key)) {
        Stack_Send_Raw(a->s, a->len, to);
        return true;
    }
    const int status = stateless_status(sip);
    if (status == 0) return false;
    char buf[kSipMsgMax];
    const int len = Sip_Answer_Stateless(sip, status, buf, sizeof buf);
    if (len < 0) return false;   // left to a transaction, which refuses it the same way
    Answered_Keep(key, buf, len);
    Stack_Send_Raw(buf, len, to);
    return true;
}

// ---- datagrams

void Ua_On_Datagram(const char* buf, int len, const IPV4_ADDRESS& src)
{
    // Only SIP is handled: the switch's moved notice and any other datagram are dropped here.
    if (len < 16) return;
    osip_event_t* evt = osip_parse(buf, static_cast<size_t>(len));
    if (evt == nullptr) return;
    osip_message_t* sip = evt->sip;
    bool whole = sip != nullptr && sip->call_id != nullptr && sip->from != nullptr && sip->to != nullptr && sip->cseq != nullptr
        && sip->cseq->method != nullptr && Sip_Cseq_Number(sip) >= 0 && osip_list_size(&sip->vias) > 0
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
    } else if (r == 2) {
        osip_event_free(evt);
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

// ---- the stack's side of osip's notes

void Ua_On_Transaction(int type, int ctx, osip_message* sip)
{
    if (ctx < 0 || ctx >= kSipMaxTrans || !Trans_At(ctx).use) return;
    switch (type) {
    case OSIP_IST_INVITE_RECEIVED: on_new_invite(ctx, sip); break;
    case OSIP_NIST_REGISTER_RECEIVED: case OSIP_NIST_BYE_RECEIVED: case OSIP_NIST_OPTIONS_RECEIVED:
    case OSIP_NIST_INFO_RECEIVED: case OSIP_NIST_CANCEL_RECEIVED: case OSIP_NIST_NOTIFY_RECEIVED:
    case OSIP_NIST_SUBSCRIBE_RECEIVED: case OSIP_NIST_UNKNOWN_REQUEST_RECEIVED:
        on_new_request(ctx, sip);
        break;
    case OSIP_IST_ACK_RECEIVED: {
        SipTrans& t = Trans_At(ctx);
        if (t.refused && !t.reinvite && !t.acked) {
            t.acked = 1;
            if (t.chn >= 0) {
                Chn_At(t.chn).data_type_in = 0;
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
    const SipTrans& t = Trans_At(ctx);
    if (t.chn < 0 || sip == nullptr) return;
    const SipChn& c = Chn_At(t.chn);
    if (c.ack_text >= 0 && c.ack_cseq == Sip_Cseq_Number(sip))
        Stack_Send_Raw(g_sSipText[static_cast<size_t>(c.ack_text)].s, g_sSipText[static_cast<size_t>(c.ack_text)].len, g_sCurSrc);
}

void Ua_On_Kill(int ctx)
{
    SipTrans& t = Trans_At(ctx);
    if (t.chn < 0) return;
    SipChn& c = Chn_At(t.chn);
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
    SipTrans& t = Trans_At(ctx);
    if (t.chn >= 0) forget_trans(Chn_At(t.chn), ctx);
}

// ---- channel table

bool Chn_Valid(int chn)
{
    return g_sSipCfg.ready && chn >= 0 && chn < Chn_Table_Size() && Chn_At(chn).use;
}

int Chn_Take(int kind)
{
    int best = -1;
    for (int i = 0; i < Chn_Table_Size(); ++i)
        if (!Chn_At(i).use && (best < 0 || Chn_At(i).freed_ms < Chn_At(best).freed_ms)) best = i;
    if (best < 0) {
        // every handle is held: the oldest ended call the gateway forgot to free makes room
        for (int i = 0; i < Chn_Table_Size(); ++i)
            if (Chn_At(i).ended && (best < 0 || Chn_At(i).ended_ms < Chn_At(best).ended_ms)) best = i;
        if (best < 0) return -1;
        Chn_Free(best);
    }
    SipChn& c = Chn_At(best);
    c = {};
    c.use = 1;
    c.kind = kind;
    return best;
}

void Chn_Free(int chn)
{
    if (chn < 0 || chn >= kSipMaxChn || !Chn_At(chn).use) return;
    SipChn& c = Chn_At(chn);
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
    if (chn < 0 || !Chn_At(chn).use || Chn_At(chn).ended) return;
    Chn_At(chn).ended = 1;
    Chn_At(chn).ended_ms = Sip_Now_Ms();
}

int Chn_Reclaim(long long older_than_ms)
{
    long long now = Sip_Now_Ms();
    int n = 0;
    for (int i = 0; i < Chn_Table_Size(); ++i) {
        SipChn& c = Chn_At(i);
        if (!c.use || !c.ended || now - c.ended_ms < older_than_ms || c.ok_text >= 0) continue;
        Chn_Free(i);
        ++n;
    }
    return n;
}

int Chn_Find_Dialog(std::string_view call_id, std::string_view local_tag, std::string_view remote_tag)
{
    for (int i = 0; i < Chn_Table_Size(); ++i) {
        const SipChn& c = Chn_At(i);
        if (!c.use || c.call_id.view() != call_id || c.local_tag.view() != local_tag) continue;
        if (!c.remote_tag.empty() && c.remote_tag.view() != remote_tag) continue;
        return i;
    }
    return -1;
}
