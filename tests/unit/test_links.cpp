// The service links' shared pieces: the walk of frames that arrive in pieces, and sockets that
// happen to get descriptor 0.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "link_net.h"
#include "link_status.h"
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

}  // namespace
