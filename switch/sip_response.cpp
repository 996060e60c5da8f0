#include "sip_response.h"

#include <ctime>
#include <string_view>

#include "composer.h"
#include "settings.h"
#include "sip_legs.h"
#include "sip_text.h"
#include "sip_transport.h"
#include "swlog.h"

namespace {

struct Reason {
    int code;
    std::string_view phrase;
};
// The phrases are the switch's own, spelling included: its peers have always seen these.
constexpr Reason kReasons[] = {
    {0, "SIP Error"},
    {100, "Trying"},
    {180, "Ringing"},
    {181, "Call Is Being Forwarded"},
    {182, "Queued"},
    {183, "Session Progress"},
    {200, "OK"},
    {202, "Accepted"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Moved Temporarily"},
    {305, "Use Proxy"},
    {380, "Alternative Service"},
    {400, "bad request"},
    {401, "Unauthorized"},
    {402, "PaymentRequired"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "MethodNotAllowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "RequestTimeout"},
    {410, "Gone"},
    {413, "Request Entity Too Large"},
    {414, "Request-URITooLong"},
    {415, "Unsupported Media Type"},
    {416, "Unsupported URI Scheme"},
    {420, "BadExtension"},
    {421, "ExtensionRequired"},
    {423, "Interval TooBrief"},
    {480, "Temporarily Unavailable"},
    {481, "Call/Transaction Does Not Exsit"},
    {482, "LoopDetected"},
    {483, "TooManyHops"},
    {484, "Address Incomplete"},
    {485, "Ambiguous"},
    {486, "BusyHere"},
    {487, "RequestTerminated"},
    {488, "Not Acceptable Here"},
    {491, "Request Pending"},
    {493, "Undecipherable"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Server Time-out"},
    {505, "SIP Version not supported"},
    {513, "Message Too Large"},
    {600, "Busy Everywhere"},
    {603, "Decline"},
    {604, "Does not exist anywhere"},
    {606, "Not Acceptable"},
};

constexpr int kDecline = 603;   // what a code of 0 stands for

using MsgBuffer = std::array<char, kSipMsgMax>;

// Builders never run inside each other, so one buffer serves them all.
MsgBuffer g_msg;

// A message that did not fit is never sent cut.
int refused(const char* builder)
{
    Write_Logf("error:%s: the message does not fit its %zu-byte buffer, not sent\n", builder, kSipMsgMax);
    return -1;
}

void status_line(Composer& m, int code)
{
    Text<kSipLineMax> phrase;
    Sip_Get_Reason(code, phrase);
    m.raw("SIP/2.0 ").number(code).raw(" ").line(phrase.view());
}

void request_line(Composer& m, std::string_view method, std::string_view number)
{
    Sip_Request_Line(m, method, number, sip_server_local_host.view());
}

// A Via for a request the switch starts; it is not stored in the leg.
void new_via_line(Composer& m)
{
    char stamp[kSipStampSize];
    Sip_Time_Stamp(stamp);
    Sip_Via_Line(m, sip_server_local_host.view(), stamp);
    m.raw("\r\n");
}

bool has_sig_address(const SipDialog& d) { return !d.sig_ip.empty() && d.sig_port > 0; }

int send_to(const Composer& m, const char* builder, const char* ip, int port)
{
    if (!m.ok()) return refused(builder);
    return Send_Udp_Data(m.c_str(), m.size(), ip, port);
}

// Arms the leg's retransmission slot with the message, then sends the first copy: a send
// that fails is tried again by the slot.
int arm_and_send(int leg, const Composer& m, int kind, const SipDialog& d, const char* builder)
{
    if (!m.ok()) return refused(builder);
    Sip_Retrans_Set(leg, m.c_str(), kind, kRetransTries, kRetransFirstInterval, d.sig_ip.s, d.sig_port);
    return Send_Udp_Data(m.c_str(), m.size(), d.sig_ip.s, d.sig_port);
}

SipDialog* dialog(int leg) { return Sip_Chn_Dialog(leg); }

// 100 and 180 differ only in their status line.
int provisional(int leg, int code, const char* builder)
{
    SipDialog* d = dialog(leg);
    if (d == nullptr) return -1;
    Composer m(g_msg);
    status_line(m, code);
    m.header(d->via_line.view()).header(d->from_line.view()).header(d->to_line.view())
        .header(d->callid_line.view()).header(d->cseq_line.view()).raw("Content-Length: 0\r\n\r\n");
    if (!has_sig_address(*d)) return -1;
    return send_to(m, builder, d->sig_ip.s, d->sig_port);
}

// BYE and the NOTIFY after a REFER: a new Via and the next CSeq number of the leg.
Composer in_dialog_request(SipDialog& d, std::string_view method)
{
    Composer m(g_msg);
    request_line(m, method, Sip_Far_Number(d));
    new_via_line(m);
    Sip_Dialog_From_To(m, d);
    m.header(d.callid_line.view());
    m.raw("CSeq: ").number(++d.cseq).raw(" ").line(method);
    return m;
}

}  // namespace

void Sip_Request_Line(Composer& m, std::string_view method, std::string_view number, std::string_view host)
{
    m.raw(method).raw(" sip:").raw(number).raw("@").raw(host).raw(":").raw(sip_server_local_port.view())
        .line(" SIP/2.0").line(kMaxForwardsLine);
}

void Sip_Time_Stamp(char (&stamp)[kSipStampSize])
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    if (std::strftime(stamp, kSipStampSize, "%Y%m%d%H%M%S", &local) == 0) stamp[0] = '\0';
}

void Sip_Via_Line(Composer& m, std::string_view host, const char* stamp)
{
    m.raw("Via: SIP/2.0/UDP ").raw(host).raw(":").raw(sip_server_local_port.view()).raw(";branch=z9hG4bK")
        .number(Sip_Get_Random()).raw(stamp);
}

std::string_view Sip_Header_Value(const Text<kSipLineMax>& line)
{
    std::string_view value;
    return Decode_HeaderValue(line.view(), value) < 0 ? std::string_view() : value;
}

void Sip_Dialog_From_To(Composer& m, const SipDialog& d)
{
    if (d.dir == 1) {
        m.header(d.from_line.view()).header(d.to_line.view());
        return;
    }
    m.raw("From: ").line(Sip_Header_Value(d.to_line)).raw("To: ").line(Sip_Header_Value(d.from_line));
}

std::string_view Sip_Far_Number(const SipDialog& d) { return d.dir == 0 ? d.calling.view() : d.called.view(); }

int Sip_Get_Reason(int code, Text<kSipLineMax>& phrase)
{
    for (const Reason& r : kReasons) {
        if (r.code == code) {
            copy_text(phrase, r.phrase);
            break;
        }
    }
    return 1;
}

int Send_Try(int leg) { return provisional(leg, 100, "Send_Try"); }

int Send_Ringing(int leg) { return provisional(leg, 180, "Send_Ringing"); }

int Send_Chn_Response(int leg, int code)
{
    SipDialog* d = dialog(leg);
    if (d == nullptr) return -1;
    if (code == 0) code = kDecline;
    Composer m(g_msg);
    status_line(m, code);
    m.header(d->via_line.view()).header(d->from_line.view()).header(d->to_line.view())
        .header(d->callid_line.view()).header(d->cseq_line.view()).raw("Content-Length: 0\r\n\r\n");
    if (code >= 300) return arm_and_send(leg, m, SIP_RES_ERROR, *d, "Send_Chn_Response");
    return send_to(m, "Send_Chn_Response", d->sig_ip.s, d->sig_port);
}

int Send_Msg_Response(const SIP_MSG_T& msg, int code)
{
    if (code == 0) code = kDecline;
    Composer m(g_msg);
    status_line(m, code);
    m.header(msg.via_line.view()).header(msg.from_line.view()).header(msg.to_line.view())
        .header(msg.callid_line.view()).header(msg.expires_line.view()).header(msg.contact_line.view())
        .header(msg.user_agent_line.view()).header(msg.cseq_line.view()).raw("Content-Length: 0\r\n\r\n");
    if (!m.ok()) return refused("Send_Msg_Response");
    if (!msg.reply_ip.empty() && msg.reply_port >= 1)
        return Send_Udp_Data(m.c_str(), m.size(), msg.reply_ip.s, msg.reply_port);
    return Send_Udp_Data_Direct(m.c_str(), m.size(), msg);
}

int Send_Auth_Challenge(const SIP_MSG_T& msg, Text<kSipLineMax>& nonce)
{
    if (sip_authen_type != 0 && sip_authen_type != 1) return -1;
    const bool www = sip_authen_type == 0;
    Composer m(g_msg);
    status_line(m, www ? 401 : 407);
    m.header(msg.from_line.view()).header(msg.to_line.view()).header(msg.via_line.view())
        .header(msg.cseq_line.view()).header(msg.callid_line.view());

    Text<16> realm;
    copy_text(realm, sip_server_local_host.view());
    // A nonce already sent is sent again: the REGISTER is a retransmission, and the answer to
    // either copy of the challenge must pass.
    char fresh[32] = {};
    Composer n(fresh, sizeof fresh);
    if (nonce.empty()) n.number(Sip_Get_Random()).number(Sip_Get_Random());
    else n.raw(nonce.view());

    m.raw(www ? "WWW-Authenticate: Digest realm=\"" : "Proxy-Authenticate: Digest realm=\"")
        .raw(realm.view()).raw("\",nonce=\"").raw(n.view())
        .line(www ? "\",stale=FALSE,algorithm=MD5" : "\",algorithm=MD5");
    m.raw("Content-Length:0\r\n\r\n");
    if (!m.ok()) return refused("Send_Auth_Challenge");
    copy_text(nonce, n.view());
    return Send_Udp_Data(m.c_str(), m.size(), msg.reply_ip.s, msg.reply_port);
}

int Send_Cancel(int leg)
{
    SipDialog* d = dialog(leg);
    if (d == nullptr) return -1;
    Composer m(g_msg);
    request_line(m, "CANCEL", d->called.view());
    // The INVITE's own Via, so the CANCEL carries its branch.
    m.header(d->via_line.view()).header(d->from_line.view()).header(d->to_line.view())
        .header(d->callid_line.view());
    m.raw("CSeq: ").number(d->cseq).line(" CANCEL").raw("Content-Length: 0\r\n\r\n");
    return arm_and_send(leg, m, SIP_CANCEL, *d, "Send_Cancel");
}

int Send_Bye(int leg)
{
    SipDialog* d = dialog(leg);
    if (d == nullptr) return -1;
    Composer m = in_dialog_request(*d, "BYE");
    m.raw("Content-Length: 0\r\n\r\n");
    if (!has_sig_address(*d)) return -1;
    return arm_and_send(leg, m, SIP_BYE, *d, "Send_Bye");
}

int Send_Refer_Notify(const SIP_MSG_T&, int leg, int state)
{
    SipDialog* d = dialog(leg);
    if (d == nullptr) return -1;
    Composer m = in_dialog_request(*d, "NOTIFY");
    m.line("Event: refer");
    if (state == 1) m.line("Subscription-State: active;expires=3600");
    if (state == 2 || state == 3) m.line("Subscription-State: terminated;reason=noresource");
    // A phone ends its call once the sipfrag says the transfer succeeded; the same failure
    // otherwise, for both other states: the peer only learns the transfer is over.
    const std::string_view frag = state == 3 ? "SIP/2.0 200 OK\r\n" : "SIP/2.0 488 Not Acceptable Here\r\n";
    m.line("Content-Type: message/sipfrag;version=2.0").raw("Content-Length: ").number(static_cast<int>(frag.size()))
        .raw("\r\n\r\n").raw(frag);
    if (!has_sig_address(*d)) return -1;
    return arm_and_send(leg, m, SIP_NOTIFY, *d, "Send_Refer_Notify");
}

int Send_Ack(int leg)
{
    SipDialog* d = dialog(leg);
    if (d == nullptr) return -1;
    Composer m(g_msg);
    request_line(m, "ACK", d->called.view());
    m.header(d->via_line.view());
    Sip_Dialog_From_To(m, *d);
    m.header(d->callid_line.view());
    m.raw("CSeq: ").number(d->cseq).line(" ACK").raw("Content-Length: 0\r\n\r\n");
    return send_to(m, "Send_Ack", d->sig_ip.s, d->sig_port);
}

int Send_Ack_Response(const SIP_MSG_T& msg)
{
    Text<64> uri;
    Text<kSipLineMax> tag;
    Text<50> user, host;
    int port = 0, number = 0, method = 0;
    if (Decode_FromTo(msg.to_line.view(), uri, tag) < 0) return -1;
    if (Decode_Uri(uri.view(), user, host, port) < 0) return -1;
    if (Decode_CSeq(msg.cseq_line.view(), number, method) < 0) return -1;
    Composer m(g_msg);
    request_line(m, "ACK", user.view());
    m.header(msg.via_line.view()).header(msg.from_line.view()).header(msg.to_line.view())
        .header(msg.callid_line.view());
    m.raw("CSeq: ").number(number).line(" ACK").raw("Content-Length: 0\r\n\r\n");
    if (!m.ok()) return refused("Send_Ack_Response");
    return Send_Udp_Data_Direct(m.c_str(), m.size(), msg);
}

int Send_Message_Relay(const SIP_MSG_T& msg, const char* ip, int port)
{
    Composer m(g_msg);
    m.raw("MESSAGE ").raw(msg.request_uri.view()).line(" SIP/2.0").line(kMaxForwardsLine);
    new_via_line(m);   // the sender's Via is not forwarded
    m.header(msg.from_line.view()).header(msg.to_line.view()).header(msg.callid_line.view())
        .header(msg.cseq_line.view()).header(msg.content_type_line.view())
        .header(msg.content_length_line.view());
    m.raw("\r\n").line(msg.text_body.view());
    return send_to(m, "Send_Message_Relay", ip, port);
}

int Send_Reg_Moved_Notice(const char* tel, const char* ip, int port)
{
    // The query-ip record form: 'D', 1, notice type 4, the length 25 big-endian, the number
    // padded with NUL bytes (a number of 25 characters or more has none).
    constexpr std::size_t kNumber = 25;
    constexpr std::size_t kNotice = 5 + kNumber;
    // One byte more than is sent, so the sender's log of the text always finds its end.
    char notice[kNotice + 1] = {'D', 0x01, 0x04, 0x00, static_cast<char>(kNumber)};
    std::string_view number(tel ? tel : "");
    for (std::size_t i = 0; i < kNumber && i < number.size(); ++i) notice[5 + i] = number[i];
    return Send_Udp_Data(notice, kNotice, ip, port);
}
