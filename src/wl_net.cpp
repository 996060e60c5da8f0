#include "wl_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "text.h"

namespace {

constexpr int kListenBacklog = 1024;
constexpr int kAddrText = 16;  // "255.255.255.255" and its end

bool Static_PortOk(int port) { return port >= 1 && port <= 65535; }

bool Static_Bind(int sock, const char* address, int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address != nullptr && inet_pton(AF_INET, address, &addr.sin_addr) != 1) return false;
    return bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// Waits for readable (POLLIN) or writable (POLLOUT); poll, because a descriptor number above
// select's fixed set size would be written outside the set.
bool Static_Wait(int sock, short events, int ms)
{
    pollfd p{sock, events, 0};
    for (;;) {
        int n = poll(&p, 1, ms < 0 ? 0 : ms);
        if (n < 0 && errno == EINTR) continue;
        return n > 0;
    }
}

void Static_AddrText(const sockaddr_in& addr, char* out)
{
    char text[INET_ADDRSTRLEN] = "0.0.0.0";
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    copy_bounded(out, kAddrText, text);
}

int Static_SetOption(int sock, int level, int name, int value)
{
    return setsockopt(sock, level, name, &value, sizeof value) == 0 ? 0 : -1;
}

// The peer's (getpeername) or the local (getsockname) address of a socket; 0, or -1.
using NameFn = int (*)(int, sockaddr*, socklen_t*);
int Static_Name(NameFn name, int sock, sockaddr_in* addr)
{
    if (addr == nullptr) return -1;
    socklen_t len = sizeof *addr;
    return name(sock, reinterpret_cast<sockaddr*>(addr), &len) == 0 ? 0 : -1;
}

const char* Static_NameText(NameFn name, int sock, char* out, const char* fallback)
{
    if (out == nullptr) return out;
    sockaddr_in addr{};
    if (Static_Name(name, sock, &addr) == 0) Static_AddrText(addr, out);
    else copy_bounded(out, kAddrText, fallback);
    return out;
}

std::once_flag s_onceIp;
char s_chIp[kAddrText] = "0.0.0.0";
char s_chHostName[64] = "";
char s_chMac[32] = "";

}  // namespace

int wlnet_init() { return 0; }
int wlnet_uninit() { return 0; }

int wlnet_close(int sock)
{
    if (sock < 0) return -1;
    return close(sock);
}

int wlnet_tcp_create(const char* address, int port)
{
    if (!Static_PortOk(port)) {
        std::printf("wlnet_tcp_create: nPort failed, port:%d\n", port);
        return -1;
    }
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) {
        std::printf("wlnet_tcp_create, socket fail\n");
        return -1;
    }
    // A restarted gateway takes its port back at once, although connections it closed last
    // still wait out their time on it.
    Static_SetOption(sock, SOL_SOCKET, SO_REUSEADDR, 1);
    if (!Static_Bind(sock, address, port)) {
        std::printf("wlnet_tcp_create, bind fail, %p:%d\n", static_cast<const void*>(address), port);
        close(sock);
        return -1;
    }
    if (listen(sock, kListenBacklog) != 0) {
        std::printf("wlnet_tcp_create, listen fail, %p:%d\n", static_cast<const void*>(address), port);
        close(sock);
        return -1;
    }
    return sock;
}

int wlnet_tcp_accept(int listener, char* address_out, int* port_out)
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int sock;
    do {
        sock = accept(listener, reinterpret_cast<sockaddr*>(&peer), &len);
    } while (sock < 0 && errno == EINTR);
    if (sock < 0) {
        std::printf("wlnet_tcp_accept, accept fail, hSerSockfd:%d\n", listener);
        return -1;
    }
    if (address_out) Static_AddrText(peer, address_out);
    if (port_out) *port_out = ntohs(peer.sin_port);
    return sock;
}

int wlnet_tcp_recv(int sock, char* buf, int len)
{
    if (sock < 0 || buf == nullptr || len < 1) {
        std::printf("wl_tcp_recv, failed, hSockfd[%d],szBuf[%p],nLen[%d]\n", sock, static_cast<void*>(buf), len);
        return -1;
    }
    std::memset(buf, 0, static_cast<std::size_t>(len));
    ssize_t n = recv(sock, buf, static_cast<std::size_t>(len), MSG_DONTWAIT);
    return static_cast<int>(n);
}

int wlnet_tcp_recv_wait(int sock, char* buf, int len, int ms)
{
    if (sock < 0 || !Static_Wait(sock, POLLIN, ms)) return -1;
    return wlnet_tcp_recv(sock, buf, len);
}

int wlnet_tcp_recv_select(int sock, char* buf, int len)
{
    return wlnet_tcp_recv_wait(sock, buf, len, kWlnetRecvWaitMs);
}

int wlnet_tcp_send(int sock, const char* data, int len)
{
    if (sock < 0 || data == nullptr || len < 1) {
        std::printf("wl_tcp_send, failed, hSockfd[%u],szBuf[%p], nLen[%d]\n", static_cast<unsigned>(sock),
                    static_cast<const void*>(data), len);
        return -1;
    }
    // A client that has already gone must not end the program with SIGPIPE.
    return static_cast<int>(send(sock, data, static_cast<std::size_t>(len), MSG_NOSIGNAL));
}

int wlnet_tcp_connect(const char* address, int port, int timeout_ms)
{
    sockaddr_in addr{};
    if (address == nullptr || wlnet_udp_initaddr(&addr, address, port) != 0) {
        std::printf("wlnet_tcp_connect failed, <%p:%d>\n", static_cast<const void*>(address), port);
        return -1;
    }
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) {
        std::printf("wlnet_tcp_connect, socket failed, <%s:%d>\n", address, port);
        return -1;
    }
    wlnet_set_nonblock(sock);
    bool ok = connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (!ok && errno == EINPROGRESS && Static_Wait(sock, POLLOUT, timeout_ms)) {
        int err = 0;
        socklen_t len = sizeof err;
        ok = getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    if (!ok) {
        std::printf("wlnet_tcp_connect failed, <%p:%d>\n", static_cast<const void*>(address), port);
        close(sock);
        return -1;
    }
    wlnet_set_block(sock, 0);
    return sock;
}

int wlnet_udp_create(const char* address, int port)
{
    if (!Static_PortOk(port)) {
        std::printf("wlnet_udp_create: port:%d failed\n", port);
        return -1;
    }
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        std::printf("wlnet_udp_create: socket <fd:%d,%s:%d> failed\n", sock, address ? address : "", port);
        return -1;
    }
    if (!Static_Bind(sock, address, port)) {
        std::printf("wlnet_udp_create bind <fd:%d, port:%d> failed\n", sock, port);
        close(sock);
        return -1;
    }
    return sock;
}

int wlnet_udp_create_client()
{
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) std::printf("wlnet_udp_create_client: socket failed\n");
    return sock;
}

int wlnet_udp_initaddr(sockaddr_in* addr, const char* address, int port)
{
    if (addr == nullptr || address == nullptr) return -1;
    *addr = {};
    addr->sin_family = AF_INET;
    addr->sin_port = htons(static_cast<uint16_t>(port));
    return inet_pton(AF_INET, address, &addr->sin_addr) == 1 ? 0 : -1;
}

int wlnet_udp_sendto_addr(int sock, const char* data, int len, const sockaddr_in* addr)
{
    if (sock < 0 || data == nullptr || len < 0 || addr == nullptr) {
        std::printf("wlnet_udp_sendto <fd:%d> failed\n", sock);
        return -1;
    }
    ssize_t n = sendto(sock, data, static_cast<std::size_t>(len), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(addr),
                       sizeof *addr);
    if (n < 0) std::printf("wlnet_udp_sendto <fd:%d> failed\n", sock);
    return static_cast<int>(n);
}

int wlnet_udp_sendto(int sock, const char* data, int len, const char* address, int port)
{
    sockaddr_in addr{};
    if (wlnet_udp_initaddr(&addr, address, port) != 0) {
        std::printf("wlnet_udp_sendto <fd:%d> failed\n", sock);
        return -1;
    }
    return wlnet_udp_sendto_addr(sock, data, len, &addr);
}

int wlnet_udp_recvfrom(int sock, char* data, int len, sockaddr_in* from)
{
    if (sock < 0 || data == nullptr || len < 1) {
        std::printf("wlnet_udp_recvfrom fd:%d, szData:%p, nLen:%d failed\n", sock, static_cast<void*>(data), len);
        return -1;
    }
    sockaddr_in peer{};
    socklen_t plen = sizeof peer;
    ssize_t n = recvfrom(sock, data, static_cast<std::size_t>(len), 0, reinterpret_cast<sockaddr*>(&peer), &plen);
    if (from) *from = peer;
    return static_cast<int>(n);
}

const char* wl_get_ip()
{
    std::call_once(s_onceIp, [] {
        int sock = socket(AF_INET, SOCK_DGRAM, 0);
        if (sock < 0) return;
        ifreq ifr{};
        copy_text(ifr.ifr_name, "eth0");
        if (ioctl(sock, SIOCGIFADDR, &ifr) == 0)
            Static_AddrText(*reinterpret_cast<const sockaddr_in*>(&ifr.ifr_addr), s_chIp);
        close(sock);
    });
    return s_chIp;
}

const char* wl_get_host_name() { return s_chHostName; }
const char* wl_get_mac() { return s_chMac; }

int wlnet_set_nonblock(int sock)
{
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0) return -1;
    return fcntl(sock, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

int wlnet_set_block(int sock, int send_ms)
{
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0 || fcntl(sock, F_SETFL, flags & ~O_NONBLOCK) != 0) return -1;
    if (send_ms > 0) {
        timeval tv{send_ms / 1000, (send_ms % 1000) * 1000};
        if (setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return -1;
    }
    return 0;
}

int wlnet_set_reuse_addr(int sock) { return Static_SetOption(sock, SOL_SOCKET, SO_REUSEADDR, 1); }
int wlnet_set_keepalive(int sock) { return Static_SetOption(sock, SOL_SOCKET, SO_KEEPALIVE, 1); }
int wlnet_set_sendbufsize(int sock, int size) { return Static_SetOption(sock, SOL_SOCKET, SO_SNDBUF, size); }
int wlnet_set_recvbufsize(int sock, int size) { return Static_SetOption(sock, SOL_SOCKET, SO_RCVBUF, size); }
int wlnet_set_reuse_port(int sock) { return sock; }
int wlnet_set_nodelay(int sock) { return sock; }
int wlnet_set_nosigpipe(int sock) { return sock; }

int wlnet_get_addr(int sock, sockaddr_in* addr) { return Static_Name(getpeername, sock, addr); }

const char* wlnet_get_ip(int sock, char* out) { return Static_NameText(getpeername, sock, out, "0.0.0.0"); }

int wlnet_get_port(int sock)
{
    sockaddr_in addr{};
    return wlnet_get_addr(sock, &addr) == 0 ? ntohs(addr.sin_port) : 0;
}

int wlnet_get_addr_by_socket(int sock, sockaddr_in* addr) { return Static_Name(getsockname, sock, addr); }

const char* wlnet_get_ip_by_socket(int sock, char* out)
{
    return Static_NameText(getsockname, sock, out, "127.0.0.1");
}
