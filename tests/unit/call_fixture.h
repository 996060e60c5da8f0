// What the call tests share: SIP parties on loopback sockets, messages handed to the switch as
// its receive step would, the tables cleared, and expected texts written as patterns.
#pragma once
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "call_chn.h"
#include "mgcp_endpoint.h"
#include "settings.h"
#include "sip_decode.h"
#include "sip_legs.h"
#include "sip_reg.h"
#include "sip_transport.h"
#include "switch_settings.h"
#include "udp_peer.h"
#include "swlog.h"

namespace calltest {

// A SIP party on 127.0.0.1: the switch sends on loopback before its handler returns, so what
// it sent is waiting.
struct Peer : UdpPeer {
    // The first lines of what is waiting, one per datagram, in order.
    std::vector<std::string> firsts()
    {
        std::vector<std::string> out;
        for (const std::string& m : take()) out.push_back(m.substr(0, m.find("\r\n")));
        return out;
    }
};

// A pattern written as the expected text, with regular expressions only inside {{ }}.
inline std::regex pattern(const std::string& text)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t open = text.find("{{", pos);
        std::string literal = text.substr(pos, open == std::string::npos ? std::string::npos : open - pos);
        out += std::regex_replace(literal, special, R"(\$&)");
        if (open == std::string::npos) break;
        std::size_t close = text.find("}}", open);
        while (close + 2 < text.size() && text[close + 2] == '}') ++close;   // "\\d{14}}}"
        out += text.substr(open + 2, close - open - 2);
        pos = close + 2;
    }
    return std::regex(out);
}

inline bool matches(const std::string& got, const std::string& want) { return std::regex_match(got, pattern(want)); }

inline sockaddr_in address_of(const Peer& p)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(p.port));
    return a;
}

// A decoded message from peer, as the receive step hands it to the dispatcher.
inline SIP_MSG_T decode_from(const std::string& text, const Peer& from)
{
    SIP_MSG_T msg{};
    Sip_Recv_Decode(text.c_str(), text.size(), address_of(from), sizeof(sockaddr_in), msg);
    return msg;
}

// A datagram from peer through the switch's receive step.
inline void deliver(const std::string& text, const Peer& from)
{
    Sip_Recv_Datagram(text.c_str(), text.size(), address_of(from), sizeof(sockaddr_in));
}

// SIP texts of the tests' phones.
inline std::string with_body(const std::string& head, const std::string& body, const char* type = "application/sdp")
{
    if (body.empty()) return head + "Content-Length: 0\r\n\r\n";
    return head + "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The whole line of a header in a message ("" when it has none).
inline std::string line_of(const std::string& msg, const std::string& name)
{
    std::size_t at = msg.find("\r\n" + name + ":");
    if (at == std::string::npos) return "";
    at += 2;
    return msg.substr(at, msg.find("\r\n", at) - at);
}

inline std::string first_line(const std::string& msg) { return msg.substr(0, msg.find("\r\n")); }

// A response to a request the switch sent, with the responder's tag on its To line.
inline std::string answer(const std::string& request, const std::string& status, const std::string& body = "",
                   const std::string& extra = "")
{
    const std::string head = "SIP/2.0 " + status + "\r\n" + line_of(request, "Via") + "\r\n" +
                             line_of(request, "From") + "\r\n" + line_of(request, "To") +
                             (line_of(request, "To").find("tag=") == std::string::npos ? ";tag=b1" : "") + "\r\n" +
                             line_of(request, "Call-ID") + "\r\n" + line_of(request, "CSeq") + "\r\n" + extra;
    return with_body(head, body);
}

// The session descriptions of the tests' phones 801 (A) and 802 (B).
const std::string kSdpA = "v=0\r\no=a 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                          "m=audio 4000 RTP/AVP 8 0\r\n";
const std::string kSdpB = "v=0\r\no=b 1 1 IN IP4 127.0.0.2\r\ns=-\r\nc=IN IP4 127.0.0.2\r\nt=0 0\r\n"
                          "m=audio 5000 RTP/AVP 0\r\n";

// Registers peer p as number through the switch's receive step; the answer is dropped.
inline void enroll(Peer& p, const std::string& number)
{
    deliver("REGISTER sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(p.port) +
                ";branch=z9hG4bKr\r\nFrom: <sip:" + number + "@127.0.0.1>;tag=r\r\nTo: <sip:" + number +
                "@127.0.0.1>\r\nCall-ID: reg" + number + "\r\nCSeq: 1 REGISTER\r\nExpires: 3600\r\n\r\n",
            p);
    p.take();
}

// The log of the switch lives in a scratch board root for the length of the test program.
struct ScratchRoot {
    std::string root;
    ScratchRoot()
    {
        char tmpl[] = "/tmp/calltest-XXXXXX";
        root = mkdtemp(tmpl);
        setenv("BOARD_ROOT", root.c_str(), 1);
        std::filesystem::create_directories(root + "/tmp/log");
    }
    ~ScratchRoot() { std::filesystem::remove_all(root); }
    std::string log() const
    {
        Write_Log_Flush();
        std::ifstream f(root + "/tmp/log/softswitch.log", std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    void clear_log() const
    {
        Write_Log_Flush();
        std::filesystem::remove(root + "/tmp/log/softswitch.log");
    }
};

// Each test program runs the switch's SIP socket (on a free port) and keeps its log in a
// scratch root. The cases of a table reach into a fixture, so its members are public.
class SwitchTest : public ::testing::Test {
public:
    inline static ScratchRoot* root = nullptr;

    static void SetUpTestSuite()
    {
        root = new ScratchRoot;
        sip_debug = 0;
        ASSERT_GE(Sip_Server_Create(0), 0);
    }
    static void TearDownTestSuite()
    {
        delete root;
        root = nullptr;
    }
};

// Every table of the switch free again.
inline void clear_tables()
{
    Sip_Init_All_Chn();
    Sip_Init_All_Reg();
    Mgcp_Init_All_Endpoint();
    CallCtrl_Init_All_Chn();
}

// True when no leg and no call channel is taken: nothing of a call is left behind.
inline bool tables_free()
{
    for (const SipLeg& l : sip_chn)
        if (l.use != 0) return false;
    for (const CallChn& c : call_chns)
        if (c.use != 0) return false;
    return true;
}

}  // namespace calltest
