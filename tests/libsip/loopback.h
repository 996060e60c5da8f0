// loopback.h — loopback sockets and a stack configuration on loopback, for the stack's tests,
// benchmark and fuzz target.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "sip.h"

inline sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

inline IPV4_ADDRESS loopback_addr(int port)
{
    IPV4_ADDRESS a{};
    std::strcpy(a.ip, "127.0.0.1");
    a.port = port;
    return a;
}

// A UDP socket bound to a free loopback port; the port is written to *port.
inline int loopback_socket(int* port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

inline int free_udp_port()
{
    int port = 0;
    close(loopback_socket(&port));
    return port;
}

// The gateway's configuration of the stack, on a free loopback port, with the given default
// destination port and table size.
inline LIBSIP_CFG_INFO_T loopback_cfg(int default_port, int max_chn)
{
    LIBSIP_CFG_INFO_T cfg{};
    std::strcpy(cfg.m_chStackHost, "127.0.0.1");
    cfg.m_iStackPort = free_udp_port();
    std::strcpy(cfg.m_chDefaultHost, "127.0.0.1");
    cfg.m_iDefaultPort = default_port;
    cfg.m_iSipMaxArray = max_chn;
    cfg.m_iLogLevel = 4;
    cfg.m_iEnableResetChnPromptly = 1;
    cfg.m_iDisableSessionTimer = 1;
    cfg.m_iSessionExpires = 3600;
    cfg.m_iMinSe = 90;
    cfg.m_eSourceAddrType = E_SRCADDR_SOCKET;
    return cfg;
}
