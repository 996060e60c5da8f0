// libmisc.cpp — UDP sockets that never wait, plain copies, the library log facility and version.
#include "fifo.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "text.h"

namespace {
int g_iMtLogLevel = 0;   // what MT_Log_SetLevel set; the facility writes nothing of its own
}

int Udp_Socket_Create(int port)
{
    if (port < 0 || port > 65535) return -1;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // The RTP poll runs every millisecond and must never wait for a datagram.
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        close(fd);
        return -1;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int Udp_Socket_Send(int fd, const void* buffer, int length, const char* ip, int port)
{
    if (fd < 0 || buffer == nullptr || length < 0 || ip == nullptr || port <= 0 || port > 65535) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, ip, &a.sin_addr) != 1) return -1;
    return static_cast<int>(sendto(fd, buffer, static_cast<size_t>(length), 0, reinterpret_cast<sockaddr*>(&a), sizeof a));
}

int Udp_Socket_recv_By_Addr(int fd, void* buffer, int size, char* ip, int* port)
{
    if (fd < 0 || buffer == nullptr || size <= 0) return -1;
    sockaddr_in a{};
    socklen_t alen = sizeof a;
    ssize_t n = recvfrom(fd, buffer, static_cast<size_t>(size), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&a), &alen);
    if (n <= 0) return n == 0 ? 0 : -1;
    if (ip != nullptr) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
        copy_bounded(ip, 24, text);
    }
    if (port != nullptr) *port = ntohs(a.sin_port);
    return static_cast<int>(n);
}

int Udp_Socket_Close(int fd)
{
    if (fd < 0) return -1;
    return close(fd);
}

void* Mem_Memcpy(void* dst, const void* src, int n)
{
    if (dst == nullptr || src == nullptr || n <= 0) return dst;
    return std::memmove(dst, src, static_cast<size_t>(n));
}

void* Mem_Set(void* p, int value, int n)
{
    if (p == nullptr || n <= 0) return p;
    return std::memset(p, value, static_cast<size_t>(n));
}

int Mem_Memcmp(const void* a, const void* b, int n)
{
    if (n <= 0) return 0;
    if (a == nullptr || b == nullptr) return a == b ? 0 : 1;
    return std::memcmp(a, b, static_cast<size_t>(n));
}

char* Str_Copy(char* dst, const char* src)
{
    if (dst == nullptr) return dst;
    if (src == nullptr) {
        dst[0] = '\0';
        return dst;
    }
    return std::strcpy(dst, src);
}

// n counts the terminating NUL: "QVD_R1.0.4" copied with n 11 arrives whole, with n 5 as "QVD_".
char* Str_N_Copy(char* dst, const char* src, int n)
{
    if (dst == nullptr || n <= 0) return dst;
    copy_bounded(dst, static_cast<std::size_t>(n), src == nullptr ? std::string_view{} : std::string_view{src});
    return dst;
}

int MT_Log_Init(int files, int channels, const char* path, int console)
{
    (void)console;
    if (files <= 0 || channels <= 0 || path == nullptr) return -1;
    return 0;
}

int MT_Log_SetLevel(int level)
{
    g_iMtLogLevel = level;
    return 0;
}

const char* LibBase_GetLibVersion()
{
    return "libmisc 1.0.0 (UDP, memory, string, XML, log)";
}
