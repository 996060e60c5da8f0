// The RTP channels' far ends in the gateway's unit tests: free local RTP ports on loopback and
// datagrams sent to a channel's port.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "fifo.h"
#include "rtp_res.h"

// A first RTP port from which `count` ports are free on loopback, searched from a base that
// depends on the process, so that tests running side by side rarely try the same ports.
inline int rtp_free_ports(int from, int count)
{
    for (int base = from + (getpid() % 300) * 20;; base += 20) {
        bool free = true;
        for (int p = base; p < base + count && free; ++p) {
            const int fd = Udp_Socket_Create(p);
            free = fd >= 0;
            Udp_Socket_Close(fd);
        }
        if (free) return base;
    }
}

// One datagram from fd to the RTP port of channel ch; true once the channel's socket has it to
// read, so the next receive step takes it.
inline bool rtp_send_to_channel(int fd, int ch, const unsigned char* data, std::size_t size)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(g_sRtpChnList[ch].m_sAddrLocal.port));
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    const ssize_t sent = sendto(fd, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (sent != static_cast<ssize_t>(size)) return false;
    pollfd p{g_sRtpChnList[ch].m_iSocketID, POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
}
