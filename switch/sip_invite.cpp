#include "sip_invite.h"

#include <string_view>

#include "call_chn.h"
#include "link_record.h"
#include "settings.h"
#include "sip_legs.h"
#include "sip_reg.h"
#include "sip_transport.h"
#include "swlog.h"

namespace {

enum class Builder { Invite, ReInvite, Progress, Ok, Service };

using MsgBuffer = std::array<char, kSipMsgMax>;
// Builders never run inside each other, so one message and one body buffer serve them all.
MsgBuffer g_msg;
MsgBuffer g_body;

// Call-IDs are the time stamp and this counter; both INVITE builders draw from it, so no two
// INVITEs of one second can carry the same Call-ID.
int g_callid_counter = 0;

constexpr std::string_view kUserAgentLine = "User-Agent: kelvanor brennoval";
constexpr std::string_view kNoNumber = "0000";   // shown for an empty calling number

template <std::size_t N>
Composer into(Text<N>& line) { return Composer(line.s, N); }

std::string_view or_no_number(const Text<50>& number) { return number.empty() ? kNoNumber : number.view(); }

std::string_view local_host() { return sip_server_local_host.view(); }
std::string_view local_port() { return sip_server_local_port.view(); }

bool chn_in_range(int chn) { return chn >= 0 && chn < kMaxCallChns; }
bool reg_in_range(int regno) { return regno >= 0 && regno < kMaxSipReg; }

// A registration outside the table is a party that is neither public nor inner.
int reg_inet(int regno) { return reg_in_range(regno) ? sipreg[regno].inet : 0; }
bool reg_inner(int regno) { return reg_in_range(regno) && Check_Reg_Inner_Net(regno) == 1; }

// The registration of the other party of the call: the one of the SIP leg that the peer channel
// names. An MGCP endpoint's index is no leg index, so such a party has none.
int peer_regno(int c2)
{
    const int leg = CallCtrl_Sip_Leg(c2);
    return leg < 0 ? -1 : sip_chn[leg].regno;
}

// c1 is the leg's call channel, c2 the other party's; both must be channel numbers.
bool call_pair(const SipLeg& l, int& c1, int& c2)
{
    c1 = l.ctrl_chn;
    if (!chn_in_range(c1)) return false;
    c2 = call_chns[c1].con_chn;
    return chn_in_range(c2);
}

// The host the switch shows a party in its request line, Via, To and Contact: the inner address
// to a party on the inner network, in public-network mode.
std::string_view shown_host(const SipLeg& l, Builder b)
{
    if (soft_inet_enable != 1 || !reg_inner(l.regno)) return local_host();
    if (b == Builder::Invite || b == Builder::ReInvite) return sip_server_inter_host.view();
    if (b == Builder::Ok && reg_inet(l.regno) == 1) return sip_server_inter_host.view();
    return local_host();
}

struct Media {
    std::string_view ip;
    int port;
};

// Where the leg's party is to send its voice. Directly to the other party in private-network
// mode, toward the service programs, and between two public parties that both sit on the inner
// network; otherwise to the media relay at the switch, on the port at which the relay is asked
// to receive this channel. A recorded call sends it to the record server, at the record port of
// the other party's channel.
Media media_offer(const SipLeg& l, int c1, int c2, Builder b)
{
    const int peer = peer_regno(c2);
    const bool public_l = reg_inet(l.regno) == 1, public_p = reg_inet(peer) == 1;
    const bool inner_l = reg_inner(l.regno), inner_p = reg_inner(peer);
    const bool recorded = call_chns[c1].recorded == 1 || call_chns[c2].recorded == 1;
    if (soft_inet_enable != 1 || b == Builder::Service || (public_l && public_p && inner_l && inner_p)) {
        const int srv = call_chns[c2].record_srv;
        if (recorded && srv >= 0 && srv < kRecordServers && record_ctrl[srv].state == 1)
            return {record_ctrl[srv].record_ip.view(), Record_Port(srv, c2)};
        return {l.offer_ip.view(), l.offer_port};
    }

    const int port = recorded && record_ctrl[0].state == 1 ? Record_Port(0, c2)
                     : soft_rtpswitch_port_range >= 1
                         ? soft_rtpswitch_rtp_port + 2 * (c1 % soft_rtpswitch_port_range)
                         : soft_rtpswitch_rtp_port + c1;
    // The relay listens on both addresses; which one a party can reach differs by builder.
    bool inner = false;
    switch (b) {
    case Builder::Invite:
        inner = public_l && inner_l;
        break;
    case Builder::ReInvite:
        inner = (public_l && inner_l) || (!public_l && public_p && inner_p);
        break;
    default:
        inner = public_l && (!public_p || (inner_p && !inner_l));
        break;
    }
    return {inner ? sip_server_inter_host.view() : local_host(), port};
}

// The session description into g_body. Every line but the last ends in CRLF; the last gets one
// too unless the description goes into a service INVITE.
Composer describe(const SipLeg& l, Media media, Builder b)
{
    Composer sdp(g_body);
    sdp.line("v=0");
    if (b == Builder::ReInvite)
        sdp.raw("o=KelvanorVtn3000 ").number(l.cseq + 141824).raw(" 1073741824 IN IP4 ").line(media.ip);
    else
        sdp.raw("o=KelvanorVtn3000 1073741824 1073741824 IN IP4 ").line(media.ip);
    sdp.line("s=1").raw("c=IN IP4 ").line(media.ip).line("t=0 0").raw("m=audio ").number(media.port);
    Sip_Sdp_Codec_Line(l.offer_codec, sdp);
    // A re-INVITE passes on the other party's direction; a 200 answers the party's own offer.
    const int dir = b == Builder::ReInvite ? l.offer_dir : b == Builder::Ok ? Sdp_Dir_Answer(l.rtp_dir) : SDP_SENDRECV;
    if (!Sdp_Dir_Text(dir).empty()) sdp.raw("\r\na=").raw(Sdp_Dir_Text(dir));
    const bool video = b == Builder::Invite || b == Builder::Progress || b == Builder::Ok;
    if (video && !l.video_line.empty()) sdp.raw("\r\nm=").raw(l.video_line.view());
    if (b != Builder::Service) sdp.raw("\r\n");
    return sdp;
}

// The content lines: the description, or an empty body when the builder may leave it out and
// the leg has no media to offer. False when the description cannot be written.
bool content(Composer& m, const SipLeg& l, int c1, int c2, Builder b)
{
    const bool optional = b == Builder::Invite || b == Builder::Progress || b == Builder::Ok;
    if (optional && (l.offer_ip.empty() || l.offer_port < 1)) {
        m.raw("Content-Length: 0\r\n\r\n");
        return true;
    }
    const Composer sdp = describe(l, media_offer(l, c1, c2, b), b);
    m.line("Content-Type: application/sdp").raw("Content-Length: ").number(static_cast<long long>(sdp.size()))
        .raw("\r\n\r\n").raw(sdp.view());
    return sdp.ok();
}

int refused(const char* builder, int leg)
{
    Write_Logf("error:%s for sip_chn[%d] does not fit its %zu-byte buffer, not sent\n", builder, leg, kSipMsgMax);
    return -1;
}

bool has_sig_address(const SipLeg& l) { return !l.sig_ip.empty() && l.sig_port >= 1; }

int send_to_leg(const Composer& m, const SipLeg& l) { return Send_Udp_Data(m.c_str(), m.size(), l.sig_ip.s, l.sig_port); }

// The dialog lines a new INVITE writes into its leg: Via, From, To, Call-ID, Contact, CSeq.
void new_dialog_lines(SipLeg& l, std::string_view host, std::string_view to_host, std::string_view to_port)
{
    char stamp[kSipStampSize];
    Sip_Time_Stamp(stamp);
    Composer via = into(l.via_line);
    Sip_Via_Line(via, host, stamp);
    char tag[kSipRandomText];
    Sip_Random_Text(tag);
    into(l.from_line).raw("From: ").raw(or_no_number(l.calling)).raw(" <sip:").raw(or_no_number(l.calling))
        .raw("@").raw(local_host()).raw(":").raw(local_port()).raw(">;tag=").raw(tag);
    into(l.to_line).raw("To: ").raw(l.called.view()).raw(" <sip:").raw(l.called.view()).raw("@").raw(to_host)
        .raw(":").raw(to_port).raw(">");
    // Random, so that nobody outside the call can name it; the counter keeps two equal draws apart.
    char callid[kSipRandomText];
    Sip_Random_Text(callid);
    into(l.callid).raw(callid).number(g_callid_counter++);
    into(l.callid_line).raw("Call-ID: ").raw(l.callid.view());
    into(l.contact_line).raw("Contact: ").raw(l.calling.view()).raw(" <sip:").raw(or_no_number(l.calling))
        .raw("@").raw(host).raw(":").raw(local_port()).raw(">");
    into(l.cseq_line).raw("CSeq: ").number(++l.cseq).raw(" INVITE");
}

bool leg_in_range(int leg) { return leg >= 0 && leg < kMaxSipLegs; }

// While a leg's INVITE is unanswered its stored Via, CSeq line and CSeq number still serve that
// INVITE: the caller's ringing, answer and refusal echo them, and the switch's CANCEL and ACK
// reuse them. An INFO writes its own into the leg, so none may go out then.
bool invite_unanswered(const SipLeg& l)
{
    return l.st == sip_calling_wait_ring || l.st == sip_calling_wait_200 || l.st == sip_called_wait_ring ||
           l.st == sip_called_wait_200;
}

}  // namespace

int Sip_Sdp_Codec_Line(int codec, Composer& m)
{
    switch (codec) {
    case CODEC_SET_NONE:
    case CODEC_SET_PCMA:
        m.raw(" RTP/AVP 8\r\na=rtpmap:8 PCMA/8000");
        break;
    case CODEC_SET_PCMU:
        m.raw(" RTP/AVP 0\r\na=rtpmap:0 PCMU/8000");
        break;
    case CODEC_SET_BOTH:
        m.raw(" RTP/AVP 8 0\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:0 PCMU/8000");
        break;
    default:
        break;
    }
    return 1;
}

int Send_Invite(int leg)
{
    if (!leg_in_range(leg)) return -1;
    SipLeg& l = sip_chn[leg];
    int c1 = 0, c2 = 0;
    if (!call_pair(l, c1, c2)) return -1;
    const std::string_view host = shown_host(l, Builder::Invite);

    char sig_port[12] = {};
    Composer(sig_port, sizeof sig_port).number(l.sig_port);
    new_dialog_lines(l, host, host, sig_port);
    Sip_Chn_Index_Callid(leg);
    copy_text(l.ua_line, kUserAgentLine);

    Composer m(g_msg);
    Sip_Request_Line(m, "INVITE", l.called.view(), host);
    m.header(l.via_line.view()).header(l.from_line.view()).header(l.to_line.view()).header(l.callid_line.view())
        .header(l.ua_line.view()).header(l.cseq_line.view()).header(l.contact_line.view());
    const bool described = content(m, l, c1, c2, Builder::Invite);
    if (!described || !m.ok()) return refused("Send_Invite", leg);
    Sip_Retrans_Set(leg, m.c_str(), SIP_INVITE, kRetransTries, kRetransFirstInterval, l.sig_ip.s, l.sig_port);
    return send_to_leg(m, l);
}

int Send_Re_Invite(int leg)
{
    if (!leg_in_range(leg)) return -1;
    SipLeg& l = sip_chn[leg];
    int c1 = 0, c2 = 0;
    if (!call_pair(l, c1, c2)) return -1;
    const std::string_view host = shown_host(l, Builder::ReInvite);

    char stamp[kSipStampSize];
    Sip_Time_Stamp(stamp);
    Composer via = into(l.via_line);
    Sip_Via_Line(via, host, stamp);
    into(l.cseq_line).raw("CSeq: ").number(++l.cseq).raw(" INVITE");

    Composer m(g_msg);
    Sip_Request_Line(m, "INVITE", Sip_Far_Number(l), host);
    m.header(l.via_line.view());
    Sip_Dialog_From_To(m, l);
    m.header(l.callid_line.view()).header(l.cseq_line.view());
    if (l.dir == 1) {
        m.header(l.contact_line.view());
    } else {
        // On a caller's leg the switch stands for the called party.
        m.raw("Contact: ").raw(l.called.view()).raw(" <sip:").raw(or_no_number(l.called)).raw("@").raw(host)
            .raw(":").raw(local_port()).raw(">\r\n");
    }
    const bool described = content(m, l, c1, c2, Builder::ReInvite);
    if (!described || !m.ok()) return refused("Send_Re_Invite", leg);
    return send_to_leg(m, l);
}

int Send_Service_Invite(int leg, std::array<char, kSipMsgMax>& buffer, int kind)
{
    buffer[0] = '\0';
    if (!leg_in_range(leg)) return -1;
    SipLeg& l = sip_chn[leg];
    new_dialog_lines(l, local_host(), local_host(), local_port());
    Sip_Chn_Index_Callid(leg);

    int c1 = 0, c2 = 0;
    if (!call_pair(l, c1, c2)) return -1;
    Composer m(buffer);
    Sip_Request_Line(m, "INVITE", l.called.view(), local_host());
    m.header(l.via_line.view()).header(l.from_line.view()).header(l.to_line.view()).header(l.callid_line.view())
        .header(l.cseq_line.view()).header(l.contact_line.view());
    // What the program is asked to do with the call.
    switch (kind) {
    case SERVICE_QIANGCHA: m.line("Kelvanor-Info:Softswitch-Qiangcha"); break;
    case SERVICE_ZHUANJIE: m.line("Kelvanor-Info:Softswitch-Zhuanjie"); break;
    case SERVICE_MEETING: m.line("Kelvanor-Info:Softswitch-Meeting"); break;
    case SERVICE_TRANSFER: m.line("Kelvanor-Info:Softswitch-Transfer"); break;
    case SERVICE_FREETRANSFER: m.line("Kelvanor-Info:Softswitch-Freetransfer"); break;
    case SERVICE_REDIRECT: m.line("Kelvanor-Info:Softswitch-Redirect"); break;
    case SERVICE_LISTEN: m.line("Kelvanor-Info:Softswitch-Listen"); break;
    default: m.line("Kelvanor-Info:Unknown"); break;
    }
    const bool described = content(m, l, c1, c2, Builder::Service);
    if (!described || !m.ok()) {
        buffer[0] = '\0';
        return refused("Send_Service_Invite", leg);
    }
    return 1;
}

int Send_Session_Progress(int leg)
{
    if (!leg_in_range(leg)) return -1;
    const SipLeg& l = sip_chn[leg];
    int c1 = 0, c2 = 0;
    if (!call_pair(l, c1, c2)) return -1;
    Composer m(g_msg);
    m.line("SIP/2.0 183 Session Progress");
    m.header(l.via_line.view()).header(l.from_line.view()).header(l.to_line.view()).header(l.callid_line.view())
        .header(l.cseq_line.view());
    const bool described = content(m, l, c1, c2, Builder::Progress);
    if (!described || !m.ok()) return refused("Send_Session_Progress", leg);
    if (!has_sig_address(l)) return -1;
    return send_to_leg(m, l);
}

int Send_Ok_Sdp(int leg)
{
    if (!leg_in_range(leg)) return -1;
    const SipLeg& l = sip_chn[leg];
    int c1 = 0, c2 = 0;
    if (!call_pair(l, c1, c2)) return -1;
    const std::string_view host = shown_host(l, Builder::Ok);
    Composer m(g_msg);
    m.line("SIP/2.0 200 OK").header(l.via_line.view());
    if (l.dir == 0) {
        m.header(l.from_line.view()).header(l.to_line.view());
    } else {
        // The party answered here sent the request, so its own line (the stored To) is From.
        m.raw("From: ").line(Sip_Header_Value(l.to_line)).raw("To: ").line(Sip_Header_Value(l.from_line));
    }
    m.header(l.callid_line.view()).header(l.cseq_line.view());
    m.raw("Contact: <sip:").raw(or_no_number(l.called)).raw("@").raw(host).raw(":").raw(local_port()).raw(">\r\n");
    const bool described = content(m, l, c1, c2, Builder::Ok);
    if (!described || !m.ok()) return refused("Send_Ok_Sdp", leg);
    Sip_Retrans_Set(leg, m.c_str(), SIP_RES_200, kRetransTries, kRetransFirstInterval, l.sig_ip.s, l.sig_port);
    if (!has_sig_address(l)) return -1;
    return send_to_leg(m, l);
}

int Send_Info(int leg, const char* digits)
{
    if (!leg_in_range(leg)) return -1;
    SipLeg& l = sip_chn[leg];
    if (l.use != 1) return -2;
    if (invite_unanswered(l)) {
        Write_Logf("Send_Info: sip_chn[%d] st %d not answered yet, INFO not sent\n", leg, l.st);
        return -3;
    }
    const std::string_view signal = digits ? std::string_view(digits) : std::string_view();
    // The switch's own side of the dialog: the calling number toward a called party, the called
    // number toward a caller.
    const Text<50>& own = l.dir == 1 ? l.calling : l.called;

    char stamp[kSipStampSize];
    Sip_Time_Stamp(stamp);
    Composer via = into(l.via_line);
    Sip_Via_Line(via, local_host(), stamp);
    into(l.callid_line).raw("Call-ID: ").raw(l.callid.view());
    into(l.contact_line).raw("Contact: ").raw(own.view()).raw(" <sip:").raw(or_no_number(own)).raw("@")
        .raw(local_host()).raw(":").raw(local_port()).raw(">");
    into(l.cseq_line).raw("CSeq: ").number(++l.cseq).raw(" INFO");

    Composer m(g_msg);
    Sip_Request_Line(m, "INFO", Sip_Far_Number(l), local_host());
    m.header(l.via_line.view());
    Sip_Dialog_From_To(m, l);
    m.header(l.callid_line.view()).header(l.cseq_line.view()).header(l.contact_line.view());
    if (signal.empty()) {
        m.raw("Content-Length: 0\r\n\r\n");
    } else {
        const std::size_t body = 7 + signal.size() + 2;   // "Signal=", the digits, CRLF
        m.line("Content-Type: application/dtmf-relay").raw("Content-Length: ").number(static_cast<long long>(body))
            .raw("\r\n\r\nSignal=").line(signal);
    }
    if (!m.ok()) return refused("Send_Info", leg);
    return send_to_leg(m, l);
}
