#include "link_monitor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "composer.h"
#include "frame.h"
#include "link_net.h"
#include "sip_reg.h"
#include "swlog.h"
#include "text.h"

int g_netmon_fd = -1;
int g_sipmonitor_fd = -1;
int net_printf_use = 0;

namespace {

constexpr std::size_t kReadMax = 2000;
constexpr int kMaxWords = 11;

sockaddr_in g_netmon_reply{};   // the last sender of more than 4 bytes
sockaddr_in g_mirror{};         // where the log goes while mirrored
sockaddr_in g_sipmon_reply{};   // the SIP monitor's address, always at port 8002
Text<50> g_identity;

// Sending the mirror must not log, or each log text would mirror itself for ever.
int Netmon_Send_Udp_Data(int sock, const char* text, std::size_t length, const sockaddr_in& to)
{
    if (sock < 0 || sendto(sock, text, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
        std::printf("send error int Send_Udp_Data\n");
        return -1;
    }
    return 1;
}

int Netmon_Send(std::string_view text) { return Netmon_Send_Udp_Data(g_netmon_fd, text.data(), text.size(), g_netmon_reply); }

int SipMonitor_Send_To(std::string_view text)
{
    std::printf("\n%.*s\n", static_cast<int>(text.size()), text.data());
    if (g_sipmonitor_fd < 0 ||
        sendto(g_sipmonitor_fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&g_sipmon_reply),
               sizeof g_sipmon_reply) < 0) {
        std::printf("send error int sip monitor send\n");
        return -1;
    }
    return 1;
}

struct Words {
    std::array<std::string_view, kMaxWords> w{};
    int count = 0;
    std::string_view operator[](int i) const { return i < count ? w[static_cast<std::size_t>(i)] : std::string_view(); }
};

Words split_words(std::string_view line)
{
    Words out;
    while (out.count < kMaxWords) {
        const std::size_t start = line.find_first_not_of(' ');
        if (start == std::string_view::npos) break;
        line.remove_prefix(start);
        const std::size_t end = line.find(' ');
        out.w[static_cast<std::size_t>(out.count++)] = line.substr(0, end);
        if (end == std::string_view::npos) break;
        line.remove_prefix(end);
    }
    return out;
}

// Cuts a datagram into its CRLF lines; an empty line ends it, a last line without CRLF counts.
template <typename OnLine>
void each_line(std::string_view data, OnLine&& on_line)
{
    while (!data.empty()) {
        const std::size_t end = data.find("\r\n");
        const std::string_view line = data.substr(0, end);
        if (line.empty()) return;
        on_line(line);
        if (end == std::string_view::npos) return;
        data.remove_prefix(end + 2);
    }
}

// Kind and state words of a registration; false for a kind without a word.
bool kind_words(const SipReg& r, const char*& kind, const char*& state)
{
    const SoftUser& u = r.soft_user;
    auto user_state = [&] { return u.status == SOFT_ST_FREE ? " free" : u.status == SOFT_ST_TALK ? " talk" : ""; };
    switch (u.tel_type) {
    case TEL_TYPE_SIP: kind = "sipuser "; state = user_state(); return true;
    case TEL_TYPE_GATEWAY: kind = "gateway "; state = " sipgateway"; return true;
    case TEL_TYPE_TRUNK: kind = "trunk "; state = " siptrunk"; return true;
    case TEL_TYPE_SERVICE: kind = "service "; state = " service"; return true;
    case TEL_TYPE_MGCP: kind = "mgcpuser "; state = user_state(); return true;
    default: kind = ""; state = ""; return false;
    }
}

// The network monitor's line of a registration, with number in place of its own; false (with
// "unknow register " written) for a kind without a word.
bool netmon_line(Composer& m, const SipReg& r, std::string_view number)
{
    const char* kind = nullptr;
    const char* state = nullptr;
    m.raw("a_softswitch_reg tel ").raw(number).raw(" register ");
    if (!kind_words(r, kind, state)) {
        m.raw("unknow register ");
        return false;
    }
    m.raw(kind).raw(r.ip.view()).raw(":").number(r.port).raw(state).raw("\r\n");
    return true;
}

void SipMonitor_Format_Reg(Composer& m, const SipReg& r)
{
    const char* kind = nullptr;
    const char* state = nullptr;
    kind_words(r, kind, state);
    m.raw("a_softswitch_reg tel:").raw(r.tel.view()).raw(" register ").raw(kind).raw(r.ip.view()).raw(":")
        .number(r.port).raw(state).raw(" softswitch:").raw(g_identity.view()).raw("\r\n");
}

void Netmon_Send_Reg_List(int batch)
{
    Netmon_Send("a_softswitch_reg start \r\n");
    std::array<char, kNetmonBatchMax> buf{};
    std::size_t used = 0;
    int lines = 0;
    auto flush = [&] {
        Netmon_Send(std::string_view(buf.data(), used));
        std::printf("%.*s\n", static_cast<int>(used), buf.data());
        used = 0;
        lines = 0;
    };
    for (const SipReg& r : sipreg) {
        if (r.use != 1) continue;
        char line[256];
        Composer m(line, sizeof line);
        if (!netmon_line(m, r, r.tel.view())) return;   // an unknown kind ends the listing
        // A batch goes out early rather than overflow its buffer.
        if (used + m.size() > buf.size()) flush();
        std::memcpy(buf.data() + used, m.c_str(), m.size());
        used += m.size();
        if (++lines >= batch) flush();
    }
    Netmon_Send(std::string_view(buf.data(), used));
    Netmon_Send("a_softswitch_reg finish \r\n");
}

int Netmon_Find_Reg_By_Tel(const char* number)
{
    if (number == nullptr) return -1;
    const std::string_view n = number;
    if (n.empty()) return -2;
    for (int i = 0; i < kMaxSipReg; ++i) {
        const SipReg& r = sipreg[i];
        if (r.use != 1) continue;
        const int type = r.soft_user.tel_type;
        if (type == TEL_TYPE_SIP && r.tel.view() == n) return i;
        if ((type == TEL_TYPE_GATEWAY || type == TEL_TYPE_TRUNK) && r.tel.view().substr(0, n.size()) == n) return i;
    }
    return -3;
}

int Netmon_Send_Reg_Tel(std::string_view number)
{
    Text<64> tel;
    copy_text(tel, number);
    const int regno = Netmon_Find_Reg_By_Tel(tel.s);
    std::printf("regno %d\n", regno);
    char line[256];
    Composer m(line, sizeof line);
    if (regno < 0) {
        m.raw("a_softswitch_reg tel ").raw(tel.view()).raw(" unregister \r\n");
        Netmon_Send(m.view());
        return 0;
    }
    if (!netmon_line(m, sipreg[regno], tel.view())) return -1;
    Netmon_Send(m.view());
    return 1;
}

void Netmon_OnRecv_Line(std::string_view line)
{
    const Words w = split_words(line);
    if (w.count == 0) return;
    const std::string_view cmd = w[0];
    if (cmd == "r_heartbeat") {
        Netmon_Send("a_heartbeat demo version:v1\r\n");
    } else if (cmd == "r_softswitch_reg") {
        if (w.count == 1) {
            std::printf("ALL\n");
            Netmon_Send_Reg_List(25);
        } else if (w[1] == "count") {
            const std::string_view n = w[2];
            if (n == "25" || n == "50" || n == "100" || n == "200") Netmon_Send_Reg_List(n == "25" ? 25 : n == "50" ? 50 : n == "100" ? 100 : 200);
        } else if (w[1] == "tel" && w.count > 2) {
            Text<64> tel;
            copy_text(tel, w[2]);
            std::printf("查询的号码是：%s\n", tel.s);
            Netmon_Send_Reg_Tel(w[2]);
        }
    } else if (cmd == "r_setprintf") {
        net_printf_use = 1;
        std::printf("net_printf_use  %d\n", 1);
        g_mirror = g_netmon_reply;
        Netmon_Send("a_setprintf\r\n");
    } else if (cmd == "r_stopprintf") {
        net_printf_use = 0;
    } else if (cmd == "r_sf_keepstop") {
        std::printf("进入睡眠模式\n");
        g_sleep_seconds = 0;
        Netmon_Send("a_sf_keepstop\r\n");
        g_work_mode = 0;
    } else if (cmd == "r_sf_keeprestart") {
        std::printf("进入工作模式\n");
        Netmon_Send("a_sf_keeprestart\r\n");
        g_work_mode = 1;
    } else {
        Text<64> word;
        copy_text(word, cmd);
        std::printf("unkown message %s\n", word.s);
    }
}

void SipMonitor_Send_Reg_List()
{
    char line[200];
    SipMonitor_Send_To(Composer(line, sizeof line).raw("a_softswitch_reg start softswitch:").raw(g_identity.view()).raw("\r\n").view());
    for (const SipReg& r : sipreg) {
        if (r.use != 1) continue;
        Composer m(line, sizeof line);
        SipMonitor_Format_Reg(m, r);
        SipMonitor_Send_To(m.view());
    }
    SipMonitor_Send_To(Composer(line, sizeof line).raw("a_softswitch_reg finish softswitch:").raw(g_identity.view()).raw("\r\n").view());
}

void SipMonitor_OnRecv_Line(std::string_view line)
{
    const Words w = split_words(line);
    if (w.count == 0) return;
    const std::string_view cmd = w[0];
    char text[200];
    if (cmd == "r_heartbeat") {
        Composer m(text, sizeof text);
        m.raw("a_heartbeat softswitch ").raw(kSwitchVersion).raw(" softswitch  softswitch:").raw(g_identity.view()).raw("\r\n");
        SipMonitor_Send_To(m.view());
    } else if (cmd == "r_allstatus") {
        SipMonitor_Send_To(Composer(text, sizeof text).raw("a_allstatus start softswitch:").raw(g_identity.view()).raw("\r\n").view());
        SipMonitor_Send_Reg_List();
        SipMonitor_Send_To(Composer(text, sizeof text).raw("a_allstatus end softswitch:").raw(g_identity.view()).raw("\r\n").view());
    } else if (cmd == "r_softswitch_reg") {
        SipMonitor_Send_Reg_List();
    } else if (cmd != "r_setprintf" && cmd != "r_stopprintf") {
        Text<64> word;
        copy_text(word, cmd);
        std::printf("unkown message %s\n", word.s);
    }
}

// One datagram: its length, or -1 when none waits. More than 4 bytes moves the reply address.
int read_one(int fd, char* buf, sockaddr_in& from)
{
    if (fd < 0) return -1;
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(fd, buf, kReadMax, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
    return n < 0 ? -1 : static_cast<int>(n);
}

int create(int port, const char* socket_failed, const char* bind_failed, const char* success)
{
    const int fd = Link_Udp_Bind(port);
    if (fd == -1) std::printf("%s", socket_failed);
    else if (fd < 0) std::printf("%s", bind_failed);
    else std::printf(success, port);
    std::fflush(stdout);
    return fd;
}

}  // namespace

int Netmon_Init(int port)
{
    g_netmon_fd = create(port < 1 ? 8000 : port, "create netmon udp server failed, socket error\n",
                         "create sip udp server failed, bind local address error!\n",
                         "Bind  Network  Monitor  Port = [%i]  Success \n");
    return 1;
}

int SipMonitor_Init(int port)
{
    g_sipmonitor_fd = create(port < 1 ? 8008 : port, "create sip monitor socket failed\n",
                             "create sip monitor failed, bind local address error!\n",
                             "Bind  sip monitor  port = [%i]  Success \n");
    char mac[16] = {};
    g_identity.clear();
    if (Get_Mac_Addr(mac, sizeof mac) > 0) copy_text(g_identity, mac);
    return 1;
}

void Netmon_Proc()
{
    static char buf[kReadMax + 1];
    sockaddr_in from{};
    const int n = read_one(g_netmon_fd, buf, from);
    if (n < 0) return;
    if (n > 4) g_netmon_reply = from;
    each_line(std::string_view(buf, static_cast<std::size_t>(n)), Netmon_OnRecv_Line);
}

void SipMonitor_Proc()
{
    static char buf[kReadMax + 1];
    sockaddr_in from{};
    const int n = read_one(g_sipmonitor_fd, buf, from);
    if (n < 0) return;
    if (n > 4) {
        g_sipmon_reply = from;
        g_sipmon_reply.sin_port = htons(kSipMonitorReplyPort);
    }
    each_line(std::string_view(buf, static_cast<std::size_t>(n)), SipMonitor_OnRecv_Line);
}

void SipMonitor_Send_Reg(int regno)
{
    if (regno < 0 || regno >= kMaxSipReg) return;
    char line[200];
    Composer m(line, sizeof line);
    SipMonitor_Format_Reg(m, sipreg[regno]);
    SipMonitor_Send_To(m.view());
}

void Netmon_Mirror_Log(std::string_view text)
{
    if (net_printf_use != 1) return;
    Netmon_Send_Udp_Data(g_netmon_fd, text.data(), text.size(), g_mirror);
}
