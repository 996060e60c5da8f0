// sip_peer.h — a far end for the stack's tests: a UDP socket on loopback that sends texts and
// waits for what the stack sends, while the stack is polled as the gateway polls it.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loopback.h"
#include "sip.h"

struct Report {                       // one call of the receive callback, with what the getters gave
    int type, chn, data_type;
    std::string from, to, info, date, event, call_info;
    int expires, error_cause, cseq_method, auth_type;
    bool has_sdp, has_host;
    SIP_SDP sdp;
};

// Milliseconds of the monotonic clock; the standard clock header cannot be built with the GBK
// execution character set.
inline long long now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

inline void sleep_ms(int ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

inline std::vector<Report> g_reports;
inline std::function<void(const Report&)> g_on_report;   // acts inside the callback, as the gateway does

inline void test_callback(int type, int chn, int data_type)
{
    Report r{};
    r.type = type;
    r.chn = chn;
    r.data_type = data_type;
    r.from = LIBSIP_GetFromTel(chn);
    r.to = LIBSIP_GetToTel(chn);
    r.info = LIBSIP_GetInfo(chn);
    r.date = LIBSIP_GetSipDate(chn);
    const char* ev = LIBSIP_GetEvent(chn);
    r.event = ev ? ev : "";
    SIP_CALL_INFO* ci = LIBSIP_GetCallInfo(chn);
    r.call_info = ci ? ci->content : "";
    r.expires = LIBSIP_GetExpires(chn);
    r.error_cause = LIBSIP_GetErrorCause(chn);
    r.cseq_method = LIBSIP_GetCseqMethod(chn);
    r.auth_type = LIBSIP_GetAuthType(chn);
    SIP_SDP* sdp = LIBSIP_GetSdp(chn);
    r.has_sdp = sdp != nullptr;
    if (sdp) r.sdp = *sdp;
    r.has_host = LIBSIP_GetUserHost(chn) != nullptr;
    g_reports.push_back(r);
    if (g_on_report) g_on_report(g_reports.back());
}

// Polls the stack every millisecond (the gateway does it every 10 ms; the tests keep it short).
inline void pump_for(int ms)
{
    long long end = now_ms() + ms;
    while (now_ms() < end) {
        LIBSIP_Thread();
        sleep_ms(1);
    }
}

inline bool pump_until(const std::function<bool()>& done, int ms)
{
    long long end = now_ms() + ms;
    while (now_ms() < end) {
        LIBSIP_Thread();
        if (done()) return true;
        sleep_ms(1);
    }
    return done();
}

// Starts the stack on a fresh port with a short T1, reports going to test_callback.
inline int start_stack(int peer_port, int max_chn = 12, int t1 = 20)
{
    g_reports.clear();
    g_on_report = nullptr;
    LIBSIP_CFG_INFO_T cfg = loopback_cfg(peer_port, max_chn);
    cfg.m_iTimerT1 = t1;
    if (LIBSIP_ConfigInfo(&cfg) != 0) return -1;
    LIBSIP_REPORT_MSG_T rep{};
    rep.m_iInvite = rep.m_iUpdate = rep.m_iRefer = rep.m_iBye = rep.m_iCancel = rep.m_iInfo = rep.m_iNotify = 1;
    LIBSIP_SetMessageUp(&rep);
    LIBSIPUpInit(test_callback);
    return cfg.m_iStackPort;
}

inline int count_reports(int type)
{
    int n = 0;
    for (const auto& r : g_reports) n += r.type == type;
    return n;
}

class Peer {
public:
    Peer() { fd_ = loopback_socket(&port_); }
    ~Peer() { close(fd_); }
    int port() const { return port_; }
    IPV4_ADDRESS addr() const { return loopback_addr(port_); }

    void send(const std::string& text, int to_port) const
    {
        sockaddr_in a = loopback(to_port);
        sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }

    // The next datagram, polling the stack meanwhile; empty after ms without one.
    std::string next(int ms = 1000) const
    {
        std::string got;
        pump_until([&] {
            char buf[8192];
            ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) got.assign(buf, static_cast<size_t>(n));
            return n > 0;
        }, ms);
        return got;
    }

    // Drops what has arrived already, without polling the stack: whatever the stack sent before
    // the point the test has reached.
    void drain() const
    {
        char buf[8192];
        while (recv(fd_, buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
    }

    // The next datagram whose start line begins with prefix; others are skipped.
    std::string next_starting(const std::string& prefix, int ms = 1000) const
    {
        long long end = now_ms() + ms;
        while (now_ms() < end) {
            std::string m = next(static_cast<int>(end - now_ms()) + 1);
            if (m.rfind(prefix, 0) == 0) return m;
        }
        return {};
    }

    // The first n datagrams that arrive (fewer when ms pass first).
    std::vector<std::string> first(size_t n, int ms) const
    {
        std::vector<std::string> out;
        long long end = now_ms() + ms;
        while (out.size() < n && now_ms() < end) {
            std::string m = next(static_cast<int>(end - now_ms()) + 1);
            if (!m.empty()) out.push_back(m);
        }
        return out;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// The value of a header line in a text ("" when absent), and pieces of texts.
inline std::string header(const std::string& msg, const std::string& name)
{
    size_t pos = 0;
    while (true) {
        size_t end = msg.find("\r\n", pos);
        if (end == std::string::npos || end == pos) return {};
        std::string line = msg.substr(pos, end - pos);
        if (line.size() > name.size() && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0 && line[name.size()] == ':') {
            size_t v = name.size() + 1;
            while (v < line.size() && line[v] == ' ') ++v;
            return line.substr(v);
        }
        pos = end + 2;
    }
}

inline std::string param(const std::string& value, const std::string& name)
{
    size_t p = value.find(";" + name + "=");
    if (p == std::string::npos) return {};
    p += name.size() + 2;
    size_t e = value.find_first_of(";>, ", p);
    return value.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

inline std::string start_line(const std::string& msg) { return msg.substr(0, msg.find("\r\n")); }

// An answer to a request text, with the request's Via, From, To (plus a tag), Call-ID and CSeq.
inline std::string answer_to(const std::string& req, const std::string& status, const std::string& extra = "",
                             const std::string& to_tag = "peer1", const std::string& body = "")
{
    std::string to = header(req, "To");
    if (to.find(";tag=") == std::string::npos && !to_tag.empty()) to += ";tag=" + to_tag;
    std::string m = "SIP/2.0 " + status + "\r\n";
    m += "Via: " + header(req, "Via") + "\r\n";
    m += "From: " + header(req, "From") + "\r\n";
    m += "To: " + to + "\r\n";
    m += "Call-ID: " + header(req, "Call-ID") + "\r\n";
    m += "CSeq: " + header(req, "CSeq") + "\r\n";
    m += extra;
    if (!body.empty()) m += "Content-Type: application/sdp\r\n";
    m += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return m;
}

inline const char* kPeerSdp =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
    "m=audio 40000 RTP/AVP 8 0 101\r\na=rtpmap:101 telephone-event/8000\r\na=ptime:20\r\n";

// A request from the peer to the stack, in a dialog of the peer's own.
inline std::string peer_request(const std::string& method, int stack_port, int peer_port, const std::string& call_id,
                                int cseq, const std::string& branch, const std::string& to_tag = "",
                                const std::string& extra = "", const std::string& body = "",
                                const std::string& type = "application/sdp")
{
    std::string p = std::to_string(peer_port), s = std::to_string(stack_port);
    std::string m = method + " sip:201@127.0.0.1:" + s + " SIP/2.0\r\n";
    m += "Via: SIP/2.0/UDP 127.0.0.1:" + p + ";branch=" + branch + "\r\n";
    m += "Max-Forwards: 70\r\n";
    m += "From: <sip:300@127.0.0.1:" + p + ">;tag=far1\r\n";
    m += "To: <sip:201@127.0.0.1:" + s + ">" + (to_tag.empty() ? "" : ";tag=" + to_tag) + "\r\n";
    m += "Call-ID: " + call_id + "\r\n";
    m += "CSeq: " + std::to_string(cseq) + " " + (method == "ACK" || method == "CANCEL" ? method : method) + "\r\n";
    m += "Contact: <sip:300@127.0.0.1:" + p + ">\r\n";
    m += extra;
    if (!body.empty()) m += "Content-Type: " + type + "\r\n";
    m += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return m;
}

// A stack started afresh for each test, with a far end on loopback as its default destination.
struct StackTest : ::testing::Test {
    Peer peer;
    int port = 0;
    void SetUp() override
    {
        port = start_stack(peer.port());
        ASSERT_GT(port, 0);
    }
    void TearDown() override { g_on_report = nullptr; }
};

// The SDP the gateway hands over with its INVITE or its answer.
inline SIP_SDP gateway_sdp(int port, int coder0, int coder1)
{
    SIP_SDP sdp{};
    sdp.a_use = 1;
    sdp.a_conten_nouse = 1;
    sdp.a_media = SENDRECV;
    sdp.a_coders[0] = coder0;
    sdp.a_coders[1] = coder1;
    std::strcpy(sdp.a_addr.ip, "127.0.0.1");
    sdp.a_addr.port = port;
    return sdp;
}

// The gateway's answer to a new call: 180, then 200 with its SDP (PCMA and events on 101).
inline void answer_call(const Report& r)
{
    if (r.type != 200) return;
    LIBSIP_SetDataType(r.chn, 0);
    LIBSIP_Send(202, r.chn);
    SIP_SDP sdp = gateway_sdp(10002, G711_A, 101);
    LIBSIP_SetDataType(r.chn, 1);
    LIBSIP_SetSdp(r.chn, &sdp);
    LIBSIP_Send(203, r.chn);
}

// A call channel as the gateway's INVITE sender sets it up (from 201 to 300, toward to); the
// INVITE itself is the caller's Send(200).
inline int call_chn_to(const IPV4_ADDRESS& to)
{
    int chn = LIBSIP_CreatChn(-1);
    EXPECT_GE(chn, 0);
    LIBSIP_SetFromTel(chn, "201");
    LIBSIP_SetToTel(chn, "300");
    LIBSIP_SetDataType(chn, 1);
    SIP_SDP sdp = gateway_sdp(10000, G711_A, G711_U);
    sdp.a_ptime = 20;
    LIBSIP_SetSdp(chn, &sdp);
    LIBSIP_SetRPORT(chn, 0);
    EXPECT_EQ(LIBSIP_SetUserHost(chn, &to), 0);
    return chn;
}
