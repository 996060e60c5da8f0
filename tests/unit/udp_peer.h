// A SIP party of the switch's unit tests: one UDP socket on a loopback address, where what the
// switch sends to that party arrives.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

struct UdpPeer {
    int fd = -1;
    std::string ip;
    int port = 0;

    explicit UdpPeer(const char* addr = "127.0.0.1") : ip(addr)
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, addr, &a.sin_addr);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~UdpPeer() { close(fd); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    // Every datagram waiting now; the first may be waited for up to first_wait_ms.
    std::vector<std::string> take(int first_wait_ms = 0)
    {
        std::vector<std::string> got;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, got.empty() ? first_wait_ms : 0) < 1) break;
            char buf[4096];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n < 0) break;
            got.emplace_back(buf, static_cast<std::size_t>(n));
        }
        return got;
    }
};
