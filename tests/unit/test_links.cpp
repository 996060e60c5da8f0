// The service links' shared pieces: the walk of frames that arrive in pieces, sockets that
// happen to get descriptor 0, and the set of sockets the loop sleeps on.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "call_chn.h"
#include "link_fee.h"
#include "link_net.h"
#include "link_record.h"
#include "link_status.h"
#include "link_wait.h"
#include "mgcp_endpoint.h"
#include "mgcp_transport.h"
#include "sip_legs.h"
#include "sip_reg.h"
#include "sip_transport.h"
#include "switch_settings.h"

namespace {

bool console(const unsigned char* h) { return h[0] == 0xF5 && (h[2] == 1 || h[2] == 2); }
constexpr FrameShape kShape{0xF5, 6, 4, 0, console};

struct Walked {
    std::vector<std::string> frames;
    std::size_t kept;
};

Walked walk(const std::string& data, std::size_t keep_max = 64)
{
    Walked w{};
    Frame_Walk(reinterpret_cast<const unsigned char*>(data.data()), data.size(), kShape, keep_max, w.kept,
               [&](const unsigned char* f, std::size_t n) {
                   w.frames.emplace_back(reinterpret_cast<const char*>(f), n);
                   return true;
               });
    return w;
}

std::string frame(unsigned char type, const std::string& body)
{
    std::string f = {'\xF5', '\x01', '\x01', static_cast<char>(type), '\0', static_cast<char>(body.size())};
    return f + body;
}

TEST(FrameWalk, WholeFramesCutFramesAndGarbage)
{
    const std::string a = frame(6, ""), b = frame(0, std::string(25, '7'));
    struct Case {
        std::string data;
        std::size_t frames;
        std::size_t kept;   // offset of the bytes kept for the next read; data.size(): none
    } cases[] = {
        {a + b, 2, (a + b).size()},
        {a + b.substr(0, 10), 1, a.size()},          // a frame cut short is kept
        {a + b.substr(0, 3), 1, a.size()},           // even before its header is whole
        {a + "\x01" + b, 1, (a + "\x01" + b).size()},  // bytes that start no frame end the walk
        {std::string("\xF5\x01\x01\x06\xFF\xFF", 6) + "xx", 0, 8},  // too long to keep: dropped
        {"", 0, 0},
    };
    for (const Case& c : cases) {
        const Walked w = walk(c.data);
        EXPECT_EQ(w.frames.size(), c.frames) << c.data.size();
        EXPECT_EQ(w.kept, c.kept) << c.data.size();
    }
}

TEST(StatusServer, ListenerOnDescriptorZeroServesConsoles)
{
    reset_switch_settings();
    Init_Status_Tables();
    const int saved = dup(0);
    close(0);
    sip_status_port = 0;
    ASSERT_EQ(Create_Status_Scoket(), 0);
    EXPECT_EQ(g_status_listen_fd, 0);

    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(g_status_listen_fd, reinterpret_cast<sockaddr*>(&a), &len);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const unsigned char heartbeat[6] = {0xF5, 3, 1, 6, 0, 0};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(send(client, heartbeat, sizeof heartbeat, 0), 6);
        for (int pass = 0; pass < 50; ++pass) {
            AcceptConnect_status();
            Recv_Status_Proc();
            usleep(1000);
        }
    }
    pollfd p{client, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    unsigned char answer[17] = {};
    EXPECT_EQ(recv(client, answer, sizeof answer, 0), 17);
    EXPECT_EQ(answer[3], 7);
    EXPECT_EQ(answer[1], 3);
    close(client);
    Link_Close(g_status_listen_fd);
    dup2(saved, 0);
    close(saved);
}

TEST(StatusServer, AHeartbeatLeftUnidentifiedIsAnsweredWithItsSequence)
{
    // Every client slot taken: the next console's heartbeat is answered where it stands.
    constexpr int kConsoles = kStatusSlots + 1;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_max != RLIM_INFINITY && files.rlim_max < 2 * kConsoles + 64)
        GTEST_SKIP() << "needs " << 2 * kConsoles + 64 << " descriptors";
    const rlimit saved_files = files;
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    reset_switch_settings();
    Init_Status_Tables();
    sip_status_port = 0;
    ASSERT_EQ(Create_Status_Scoket(), 0);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(g_status_listen_fd, reinterpret_cast<sockaddr*>(&a), &len);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    std::vector<int> clients;
    unsigned char heartbeat[6] = {0xF5, 0, 1, 6, 0, 0};
    for (int i = 0; i < kConsoles; ++i) {
        const int c = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << i;
        clients.push_back(c);
        heartbeat[1] = static_cast<unsigned char>(i == kStatusSlots ? 0x2A : 3);
        ASSERT_EQ(send(c, heartbeat, sizeof heartbeat, 0), 6);
        while (Status_Open_Connections() < i + 1) AcceptConnect_status();
        Recv_Status_Proc();   // the heartbeat identifies the console while a client slot is free
    }
    pollfd p{clients.back(), POLLIN, 0};
    for (int pass = 0; pass < 1000 && poll(&p, 1, 0) == 0; ++pass) Recv_Status_Proc();
    unsigned char answer[17] = {};
    ASSERT_EQ(recv(clients.back(), answer, sizeof answer, MSG_DONTWAIT), 17);
    EXPECT_EQ(answer[3], 7);
    EXPECT_EQ(answer[1], 0x2A);
    pollfd first{clients.front(), POLLIN, 0};
    EXPECT_EQ(poll(&first, 1, 0), 0) << "a console's first heartbeat that identifies it is not answered";

    for (int c : clients) close(c);
    for (int pass = 0; pass < 1000 && Status_Open_Connections() > 0; ++pass) Recv_Status_Proc();
    EXPECT_EQ(Status_Open_Connections(), 0);
    Link_Close(g_status_listen_fd);
    setrlimit(RLIMIT_NOFILE, &saved_files);
}

TEST(FeeLink, AFeeStartCarriesTheGatewayPartysOwnNumber)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    g_fee_fd = pair[0];
    call_chns.fill(CallChn{});
    sip_chn.fill(SipLeg{});
    sipreg.fill(SipReg{});
    g_mgcp_endpoint.fill(MgcpEndpoint{});
    // SIP user 801 has registration 3; the MGCP endpoint with the same index is number 7003.
    sipreg[3].use = 1;
    copy_text(sipreg[3].tel, "801");
    g_mgcp_endpoint[3].in_use = 1;
    copy_text(g_mgcp_endpoint[3].tel, "7003");
    sip_chn[9].use = 1;
    sip_chn[9].regno = 3;
    auto party = [](int chn, int type, int party_chn, int con) {
        call_chns[chn].use = 1;
        call_chns[chn].type = type;
        call_chns[chn].party_chn = party_chn;
        call_chns[chn].con_chn = con;
    };
    party(10, CHN_TYPE_MGCP, 3, 11);
    party(11, CHN_TYPE_SIP, 9, 10);
    struct Case {
        int chn, side;
        std::string gw_tel;
    } cases[] = {
        {10, 0, "7003"},   // the calling gateway is the endpoint
        {11, 1, "7003"},   // the answering gateway is the endpoint
        {11, 0, "801"},    // a SIP gateway: its registration's number
        {10, 1, "801"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Send_FeeStart(c.chn, 1, c.side), 1);
        unsigned char r[kFeeRecordSize] = {};
        ASSERT_EQ(recv(pair[1], r, sizeof r, MSG_DONTWAIT), static_cast<ssize_t>(kFeeRecordSize));
        EXPECT_EQ(r[3], 3);
        EXPECT_EQ(r[58], 1);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[59]), strnlen(reinterpret_cast<const char*>(&r[59]), 7)),
                  c.gw_tel)
            << "channel " << c.chn << " side " << c.side;
    }
    g_fee_fd = -1;
    close(pair[0]);
    close(pair[1]);
    call_chns.fill(CallChn{});
    sip_chn.fill(SipLeg{});
    sipreg.fill(SipReg{});
    g_mgcp_endpoint.fill(MgcpEndpoint{});
}

int local_port(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

void send_datagram(int port, const char* text)
{
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = loopback(port);
    sendto(s, text, std::strlen(text), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(s);
}

constexpr std::int64_t kShortUs = 20000;

bool never() { return false; }

TEST(WaitSet, SocketsJoinAsTheyAreMadeAndLeaveAsTheyClose)
{
    const int before = Link_Wait_Count();
    int udp = Link_Udp_Bind(0);
    int listener = Link_Tcp_Listen(0);
    ASSERT_GE(udp, 0);
    ASSERT_GE(listener, 0);
    EXPECT_EQ(Link_Wait_Count(), before + 2);
    EXPECT_EQ(Link_Wait(kShortUs, nullptr), 0);   // nothing waits: the time runs out

    // A datagram, a connection waiting to be accepted, a connection's data and its close each
    // end the wait.
    send_datagram(local_port(udp), "hello");
    EXPECT_EQ(Link_Wait(5000000, nullptr), 1);
    char buf[64];
    EXPECT_EQ(recv(udp, buf, sizeof buf, 0), 5);
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = loopback(local_port(listener));
    ASSERT_EQ(connect(client, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    EXPECT_EQ(Link_Wait(5000000, nullptr), 1);
    sockaddr_in peer{};
    int conn = Link_Accept(listener, peer);
    ASSERT_GE(conn, 0);
    EXPECT_EQ(Link_Wait_Count(), before + 3);
    EXPECT_EQ(Link_Wait(kShortUs, nullptr), 0);
    ASSERT_EQ(send(client, "x", 1, 0), 1);
    EXPECT_EQ(Link_Wait(5000000, nullptr), 1);
    EXPECT_EQ(recv(conn, buf, sizeof buf, 0), 1);
    close(client);
    EXPECT_EQ(Link_Wait(5000000, nullptr), 1);

    Link_Close(conn);
    Link_Close(listener);
    Link_Close(udp);
    EXPECT_EQ(Link_Wait_Count(), before);
}

TEST(WaitSet, ASocketNotReadNowDoesNotWakeTheLoop)
{
    int udp = Link_Udp_Bind(0);
    ASSERT_GE(udp, 0);
    send_datagram(local_port(udp), "queued");
    usleep(10000);
    // Read on the tick, or in a mode not in force: the datagram stays queued and the wait runs
    // its time, instead of ending at once pass after pass.
    for (LinkReadNow when : {&Link_Read_On_Tick, &never}) {
        Link_Wait_When(udp, when);
        EXPECT_EQ(Link_Wait(kShortUs, nullptr), 0);
    }
    Link_Wait_When(udp, nullptr);
    EXPECT_EQ(Link_Wait(kShortUs, nullptr), 1);
    // Made again on the same descriptor, a socket wakes the loop whatever the old one did.
    Link_Wait_When(udp, never);
    Link_Close(udp);
    udp = Link_Udp_Bind(0);
    send_datagram(local_port(udp), "new");
    EXPECT_EQ(Link_Wait(5000000, nullptr), 1);
    Link_Close(udp);
}

TEST(WaitSet, ADescriptorClosedBehindItsBackLeavesInsteadOfEndingEveryWait)
{
    const int before = Link_Wait_Count();
    const int udp = Link_Udp_Bind(0);
    ASSERT_GE(udp, 0);
    close(udp);
    Link_Wait(kShortUs, nullptr);
    EXPECT_EQ(Link_Wait_Count(), before);
    EXPECT_EQ(Link_Wait(kShortUs, nullptr), 0);
}

TEST(WaitSet, ASignalEndsTheWait)
{
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = [](int) {};
    sigaction(SIGUSR1, &sa, &old);
    // A quit signal must not wait out a long sleep.
    const pid_t child = fork();
    if (child == 0) {
        usleep(20000);
        kill(getppid(), SIGUSR1);
        _exit(0);
    }
    EXPECT_EQ(Link_Wait(10000000, nullptr), -1);
    waitpid(child, nullptr, 0);
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(UdpServers, SipAndMgcpSocketsJoinTheWaitSetAndDescriptorZeroCounts)
{
    reset_switch_settings();
    const int before = Link_Wait_Count();
    ASSERT_EQ(Sip_Server_Create(0), 1);
    EXPECT_EQ(Link_Wait_Count(), before + 1);
    send_datagram(local_port(g_sip_fd), "OPTIONS");
    EXPECT_EQ(Link_Wait(5000000, nullptr), 1);
    Link_Close(g_sip_fd);

    // An MGCP socket on descriptor 0 is a socket: a second create keeps it.
    const int saved = dup(0);
    close(0);
    ASSERT_EQ(Mgcp_Server_Create(0), 1);
    EXPECT_EQ(g_mgcp_fd, 0);
    EXPECT_EQ(Mgcp_Server_Create(0), 0);
    EXPECT_EQ(g_mgcp_fd, 0);
    EXPECT_EQ(Link_Wait_Count(), before + 1);
    Link_Close(g_mgcp_fd);
    dup2(saved, 0);
    close(saved);

    // Ports outside 0..65535 fail like a bind, with nothing left open.
    for (int port : {-1, 65536}) {
        EXPECT_EQ(Sip_Server_Create(port), -1) << port;
        EXPECT_EQ(Mgcp_Server_Create(port), -1) << port;
    }
    EXPECT_EQ(g_sip_fd, -1);
    EXPECT_EQ(g_mgcp_fd, -1);
    EXPECT_EQ(Link_Wait_Count(), before);
}

// Keepalive line ends and undecodable datagrams ahead of a server's answer are passed over in
// the same pass: the answer behind them is still taken.
TEST(RecordLink, TinyAndUndecodableDatagramsDoNotEndThePass)
{
    reset_switch_settings();
    ASSERT_EQ(Record_Server_Create(0), 1);
    Record_Ctrl_Init(0);
    copy_text(record_ctrl[0].record_ip, "127.0.0.1");
    for (const char* junk : {"\r\n", "\r\n\r\n", "x", "not a record message at all", "REC_OK softswitch:10.9.9.9\r\n"})
        send_datagram(local_port(g_record_fd), junk);
    send_datagram(local_port(g_record_fd), "REC_OK softswitch:127.0.0.1\r\nCseq: 1 REC_Init\r\n");
    ASSERT_EQ(Link_Wait(5000000, nullptr), 1);
    EXPECT_EQ(Record_Ctrl_Proc(), -1);  // the two undecodable ones are reported
    EXPECT_EQ(record_ctrl[0].state, 1);
    Link_Close(g_record_fd);
    Record_Ctrl_Init(0);
}

}  // namespace
