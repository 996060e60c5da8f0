#include "link_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cerrno>
#include <cstring>

#include "link_wait.h"
#include "swlog.h"

namespace {

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK); }

bool bind_any(int fd, int port)
{
    // A port outside 0..65535 would wrap to another port; it fails like a bind.
    if (port < 0 || port > 65535) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

int Link_Tcp_Listen(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (!bind_any(fd, port)) {
        close(fd);
        return -2;
    }
    if (listen(fd, 100) < 0) {
        close(fd);
        return -3;
    }
    set_nonblocking(fd);
    Link_Wait_Join(fd);
    return fd;
}

int Link_Tcp_Listen_Reported(int port, const ListenTexts& texts)
{
    const int fd = Link_Tcp_Listen(port);
    if (fd >= 0) return fd;
    const char* console = fd == -1 ? texts.socket_failed : fd == -2 ? texts.bind_failed : texts.listen_failed;
    const char* log = fd == -2 && texts.bind_failed_log != nullptr ? texts.bind_failed_log : console;
    if (console == nullptr) return fd;
    std::printf(console, static_cast<long>(port));
    std::fflush(stdout);
    Write_Logf(log, static_cast<long>(port));
    return fd;
}

int Link_Udp_Bind(int port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    set_nonblocking(fd);
    if (!bind_any(fd, port)) {
        close(fd);
        return -2;
    }
    Link_Wait_Join(fd);
    return fd;
}

int Link_Accept(int listener, sockaddr_in& peer)
{
    if (listener < 0) return -1;
    socklen_t len = sizeof peer;
    std::memset(&peer, 0, sizeof peer);
    const int fd = accept(listener, reinterpret_cast<sockaddr*>(&peer), &len);
    if (fd < 0) return -1;
    set_nonblocking(fd);
    Link_Wait_Join(fd);
    return fd;
}

int Link_Recv(int fd, char* buffer, std::size_t size)
{
    if (fd < 0 || size == 0) return -1;
    const ssize_t n = recv(fd, buffer, size, MSG_DONTWAIT);
    return n < 0 ? -1 : static_cast<int>(n);
}

bool Link_Refuse_Newcomer(int& fd, int current, const sockaddr_in& peer, const sockaddr_in& from, const char* link)
{
    if (current < 0 || peer.sin_addr.s_addr == from.sin_addr.s_addr) return false;
    char byte = 0;
    const ssize_t n = recv(current, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return false;
    // Whoever can reach the port must not take the link from the live peer.
    char addr[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, addr, sizeof addr);
    Write_Logf("error:accept new connect %s from %s refused, the old one is live\n", link, addr);
    Link_Close(fd);
    return true;
}

bool Link_Send(int fd, const void* bytes, std::size_t length)
{
    if (fd < 0) return false;
    const ssize_t n = send(fd, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    return n >= 0 && static_cast<std::size_t>(n) == length;
}

void Link_Close(int& fd)
{
    if (fd >= 0) {
        Link_Wait_Leave(fd);
        close(fd);
    }
    fd = -1;
}

std::string_view Frame_Text(const unsigned char* at, std::size_t width)
{
    const char* p = reinterpret_cast<const char*>(at);
    std::size_t n = 0;
    while (n < width && p[n] != '\0') ++n;
    return {p, n};
}
