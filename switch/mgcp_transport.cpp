#include "mgcp_transport.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "composer.h"
#include "link_net.h"
#include "mgcp_endpoint.h"
#include "swlog.h"

int g_mgcp_fd = -1;

namespace {

std::array<char, kMgcpRecvMax + 1> g_recv_buffer;
MGCP_MSG_T g_recv_msg;

int g_transid = 1;
int g_callid = 1;
int g_requestid = 1;

int advance(int& counter)
{
    counter = counter >= kMgcpIdWrap ? 1 : counter + 1;
    return counter;
}

// Each command first advances the counter, then carries it.
int Mgcp_New_Transid() { return advance(g_transid); }
// The counter as it stands, then advanced.
int Mgcp_New_Callid()
{
    const int id = g_callid;
    advance(g_callid);
    return id;
}
int Mgcp_Next_Requestid()
{
    const int id = g_requestid;
    advance(g_requestid);
    return id;
}

// Answers kept so that a command the gateway sends again (its copy of our answer was lost) gets
// the same answer instead of being carried out a second time. A gateway repeats a command for
// about 30 s; this many answers outlast that at any rate the agent can answer them. After those
// 30 s (RFC 3435) an answer is forgotten: a gateway may then use the transaction id again, as a
// restarted one does, and its new command must be carried out, not answered from the past.
constexpr std::size_t kAnswersKept = 256;
constexpr unsigned kAnswerKeptSeconds = 30;
struct KeptAnswer {
    in_addr_t ip = 0;
    in_port_t port = 0;
    int verb = 0;
    int trans_id = 0;
    unsigned kept_at = 0;   // g_answer_clock when answered
    Text<64> text;
};
std::array<KeptAnswer, kAnswersKept> g_answers;
std::size_t g_answers_next = 0;
unsigned g_answer_clock = 0;   // seconds since start-up

bool same_sender(const KeptAnswer& k, const MGCP_MSG_T& msg)
{
    return k.ip == msg.from_addr.sin_addr.s_addr && k.port == msg.from_addr.sin_port;
}

KeptAnswer* kept_answer(const MGCP_MSG_T& msg)
{
    if (msg.trans_id <= 0) return nullptr;
    for (KeptAnswer& k : g_answers)
        if (k.trans_id == msg.trans_id && k.verb == msg.type && same_sender(k, msg) &&
            g_answer_clock - k.kept_at <= kAnswerKeptSeconds)
            return &k;
    return nullptr;
}

void keep_answer(const MGCP_MSG_T& msg, std::string_view text)
{
    if (msg.trans_id <= 0 || msg.type < MGCP_EPCF) return;
    KeptAnswer* k = kept_answer(msg);
    if (k == nullptr) {
        k = &g_answers[g_answers_next];
        g_answers_next = (g_answers_next + 1) % kAnswersKept;
    }
    k->ip = msg.from_addr.sin_addr.s_addr;
    k->port = msg.from_addr.sin_port;
    k->verb = msg.type;
    k->trans_id = msg.trans_id;
    k->kept_at = g_answer_clock;
    copy_text(k->text, text);
}

bool endpoint_usable(int e) { return e >= 0 && e < kMaxMgcpEndpoints && g_mgcp_endpoint[e].in_use == 1; }

// The first line of a command to endpoint e, with a new transaction id that becomes the one
// whose answer the endpoint waits for.
void command_line(Composer& m, const char* verb, int e)
{
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    ep.trans_id = Mgcp_New_Transid();
    m.raw(verb).raw(" ").number(ep.trans_id).raw(" ").raw(ep.endpoint.view()).line(" MGCP 1.0");
}

void request_line(Composer& m) { m.fmt("X:%x\r\n", static_cast<unsigned>(Mgcp_Next_Requestid())); }

// Sends a composed command to the endpoint's gateway; CRCX, MDCX and DLCX are remembered for
// retransmission (verb 0: sent once).
int send_command(int e, const Composer& m, int verb)
{
    if (!m.ok()) {
        Write_Logf("error:mgcp command for regno=%d does not fit\n", e);
        return -1;
    }
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    const int r = Send_Udp_Data_Mgcp(m.c_str(), m.size(), ep.gw_addr);
    if (verb != 0) Mgcp_Set_Resend(e, m.c_str(), verb, 3, 2, ep.gw_addr);
    return r;
}

constexpr const char* kLocalOptions = "L:a:PCMA,p:20,e:on,s:off";

// The audio line's tail and its rtpmap lines for a codec set.
void Mgcp_Sdp_Codec_Lines(Composer& m, int codec)
{
    switch (codec) {
    case 0:
    case 1: m.line(" RTP/AVP 8").line("a=rtpmap:8 PCMA/8000"); break;
    case 2: m.line(" RTP/AVP 0").line("a=rtpmap:0 PCMU/8000"); break;
    case 3: m.line(" RTP/AVP 8 0").line("a=rtpmap:8 PCMA/8000").line("a=rtpmap:0 PCMU/8000"); break;
    default: m.line(""); break;
    }
}

}  // namespace

void Mgcp_Reset_Ids()
{
    g_transid = 1;
    g_callid = 1;
    g_requestid = 1;
    g_answers.fill(KeptAnswer{});
    g_answers_next = 0;
    g_answer_clock = 0;
}

void Mgcp_Answers_Tick() { ++g_answer_clock; }

int Mgcp_Server_Create(int port)
{
    if (g_mgcp_fd >= 0) {   // descriptor 0 is a socket like any other
        std::printf("warning : mgcp server have been created\n");
        Write_Log("warning : mgcp server have been created\n");
        return 0;
    }
    const int fd = Link_Udp_Bind(port);
    if (fd == -1) {
        Report_Console_And_Log("error:create mgcp udp server failed, socket error\n");
        return -1;
    }
    if (fd < 0) {
        Report_Console_And_Log(port < 0 || port > 65535 ? "create mgcp udp server failed, Invalid source IP!\n"
                                                        : "create mgcp udp server failed, bind local address error!\n");
        return -1;
    }
    g_mgcp_fd = fd;
    std::printf("Bind  MGCP  Server  Port = [%i]  Success \n", port);
    std::fflush(stdout);
    return 1;
}

int Send_Udp_Data_Mgcp(const char* text, std::size_t length, const sockaddr_in& addr)
{
    char ip[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
    Write_Logf("Send_Udp_Data_Mgcp remoteip = %s remoteport = %d  \n", ip, ntohs(addr.sin_port));
    if (text == nullptr || addr.sin_port == 0 ||
        sendto(g_mgcp_fd, text, length, 0, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
        Write_Log("send error\n");
        return -1;
    }
    Write_Log("send data = \n");
    Write_Logf("%s", text);
    Write_Log("\n");
    return 1;
}

int Mgcp_Process_Recv()
{
    for (int i = 0; i < kMgcpRecvPerPass; ++i) {
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        g_recv_buffer.fill('\0');
        const ssize_t n = recvfrom(g_mgcp_fd, g_recv_buffer.data(), kMgcpRecvMax, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n < kMgcpMinDatagram) break;   // nothing waits, or too short to be a message
        Mgcp_Recv_Datagram(g_recv_buffer.data(), static_cast<std::size_t>(n), from, from_len);
    }
    return 1;
}

int Mgcp_Recv_Datagram(const char* text, std::size_t length, const sockaddr_in& from, socklen_t from_len)
{
    char ip[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
    const int port = ntohs(from.sin_port);
    // The text up to its first NUL, as the messages are read.
    std::string_view rest(text == nullptr ? "" : text, text == nullptr ? 0 : strnlen(text, length));
    Write_Logf("recv mgcp data from ip=%s port=%d\n", ip, port);
    Write_Log("recv data = \n");
    Write_Logf("%.*s", static_cast<int>(rest.size()), rest.data());
    Write_Log("\n");

    int dispatched = 0;
    for (;;) {
        MGCP_MSG_T& msg = g_recv_msg;
        msg = {};
        msg.from_addr = from;
        msg.from_len = static_cast<int>(from_len);
        copy_text(msg.from_ip, ip);
        msg.from_port = port;
        const int r = Mgcp_Decode(rest, msg);
        if (r < 1) {
            Write_Log("Mgcp_Decode error\n");
            break;
        }
        if (Mgcp_Answer_Again(msg) == 0) Mgcp_OnRecv(msg);
        ++dispatched;
        if (r != 2) break;
    }
    return dispatched;
}

int Mgcp_Answer_Again(const MGCP_MSG_T& msg)
{
    const KeptAnswer* k = kept_answer(msg);
    if (k == nullptr) return 0;
    Write_Logf("mgcp transaction %d answered before, answer sent again\n", msg.trans_id);
    Send_Udp_Data_Mgcp(k->text.s, k->text.view().size(), msg.from_addr);
    return 1;
}

int Mgcp_Send_Response(const MGCP_MSG_T& msg, int code)
{
    const bool ok = code == 200;
    if (code <= 0) code = 400;
    std::array<char, 64> buf;
    Composer m(buf);
    m.number(code).raw(" ").number(msg.trans_id).raw(ok ? " OK" : "").line("");
    keep_answer(msg, m.view());
    return Send_Udp_Data_Mgcp(m.c_str(), m.size(), msg.from_addr);
}

int Mgcp_Send_CRCX(int e, int mode)
{
    if (!endpoint_usable(e)) return -1;
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    std::array<char, kMgcpTextMax> buf;
    Composer m(buf);
    command_line(m, "CRCX", e);
    ep.callid.clear();
    Composer::extend(ep.callid).number(Mgcp_New_Callid());
    m.raw("C:").line(ep.callid.view()).line("M:inactive").line(kLocalOptions);
    request_line(m);
    if (mode == CRCX_RING) m.line("R:L/hd(N),L/oc(N)").raw("S: L/rg").fmt(",L/ci(,%s,)\r\n", kMgcpCallerId);
    else m.line("R:L/hu(N)");
    return send_command(e, m, MGCP_CRCX);
}

int Mgcp_Send_MDCX(int e)
{
    if (!endpoint_usable(e)) return -1;
    const MgcpEndpoint& ep = g_mgcp_endpoint[e];
    std::array<char, kMgcpTextMax> buf;
    Composer m(buf);
    command_line(m, "MDCX", e);
    m.raw("C:").line(ep.callid.view()).header(ep.conn_line.view()).line("M:sendrecv").line(kLocalOptions);
    request_line(m);
    m.line("R:L/hu(N)").line("");
    m.line("v=0").raw("o=KelvanorVtn3000 1073741824 1073741824 IN IP4 ").line(ep.far_rtp_ip.view()).line("s=1");
    m.raw("c=IN IP4 ").line(ep.far_rtp_ip.view()).line("t=0 0").raw("m=audio ").number(ep.far_rtp_port);
    Mgcp_Sdp_Codec_Lines(m, ep.far_codec);
    m.line("");
    return send_command(e, m, MGCP_MDCX);
}

int Mgcp_Send_RQNT(int e, int mode)
{
    if (!endpoint_usable(e)) return -1;
    std::array<char, kMgcpTextMax> buf;
    Composer m(buf);
    command_line(m, "RQNT", e);
    request_line(m);
    switch (mode) {
    case RQNT_WAIT_OFFHOOK: m.line("R:L/hd(N),D/[0-9#*T](D),L/oc(N)").line("D:(x.T|x.#)"); break;
    case RQNT_DIAL: m.line("R:L/hu(N),D/[0-9#*T](D),L/oc(N)").line("S:L/dl").line("D:(x.T|x.#)"); break;
    case RQNT_RINGBACK: m.line("R:L/hu(N),G/oc(N)").line("S:G/rt"); break;
    case RQNT_BUSY: m.line("R:L/hu(N)").line("S:L/bz"); break;
    default: break;
    }
    return send_command(e, m, 0);
}

int Mgcp_Send_DLCX(int e, int mode)
{
    if (!endpoint_usable(e)) return -1;
    const MgcpEndpoint& ep = g_mgcp_endpoint[e];
    std::array<char, kMgcpTextMax> buf;
    Composer m(buf);
    command_line(m, "DLCX", e);
    m.raw("C:").line(ep.callid.view()).header(ep.conn_line.view());
    request_line(m);
    switch (mode) {
    case DLCX_PLAIN:
    case DLCX_SILENT: m.line("R:L/hd(N)"); break;
    case DLCX_BUSY: m.line("R:L/hu(N),L/oc(N)").line("S:L/bz"); break;
    case DLCX_BUSY_OC: m.line("R:L/hd(N),L/oc(N)").line("S:L/bz"); break;
    default: break;
    }
    return send_command(e, m, MGCP_DLCX);
}
