#include "swlog.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>

#include "board.h"
#include "link_monitor.h"
#include "settings.h"
#include "text.h"

namespace {
int g_log_writes = 0;
char g_if_addr[32];

const std::string& log_path()
{
    static const std::string path = board_path("/tmp/log/softswitch.log");
    return path;
}

// The log file stays open between texts: opening and closing it for each of them cost more than
// all the rest of the switch's work on a message. It is opened again when the file at its name
// is no longer the one held (rotated, renamed or deleted by someone else); a file cut short by
// someone else needs nothing, since every write goes to its end.
int g_log_fd = -1;
dev_t g_log_dev = 0;
ino_t g_log_ino = 0;

void close_log()
{
    if (g_log_fd >= 0) close(g_log_fd);
    g_log_fd = -1;
}

bool open_log(int extra_flags)
{
    close_log();
    g_log_fd = open(log_path().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | extra_flags, 0666);
    struct stat st {};
    if (g_log_fd < 0 || fstat(g_log_fd, &st) != 0) {
        close_log();
        return false;
    }
    g_log_dev = st.st_dev;
    g_log_ino = st.st_ino;
    return true;
}

bool log_still_named()
{
    if (g_log_fd < 0) return false;
    struct stat st {};
    return stat(log_path().c_str(), &st) == 0 && st.st_dev == g_log_dev && st.st_ino == g_log_ino;
}

// Writes every byte of iov[0..n), however the system splits the writes.
void write_all(int fd, iovec* iov, std::size_t n)
{
    while (n > 0) {
        const ssize_t done = writev(fd, iov, static_cast<int>(n));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return;
        auto left = static_cast<std::size_t>(done);
        while (n > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --n;
        }
        if (n > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
}

// Texts are gathered here and written in one go when the loop ends its pass (or the buffer
// fills, or the process exits): one write per pass instead of one per text.
std::array<char, 64 * 1024> g_log_buffer;
std::size_t g_log_used = 0;

void gather(std::string_view text)
{
    static const bool flushed_at_exit = std::atexit(Write_Log_Flush) == 0;
    (void)flushed_at_exit;
    while (!text.empty()) {
        if (g_log_used == g_log_buffer.size()) Write_Log_Flush();
        const std::size_t n = std::min(text.size(), g_log_buffer.size() - g_log_used);
        std::memcpy(g_log_buffer.data() + g_log_used, text.data(), n);
        g_log_used += n;
        text.remove_prefix(n);
    }
}

// Like a C string, a text ends at its first NUL.
std::string_view up_to_nul(std::string_view t) { return t.substr(0, strnlen(t.data(), t.size())); }
}  // namespace

void Write_Log(const char* text)
{
    if (text != nullptr) Write_Log_Texts({std::string_view(text)});
}

void Write_Log_Texts(std::initializer_list<std::string_view> texts)
{
    if (sip_debug == 0) return;
    constexpr std::size_t kMaxTexts = 8;
    std::array<bool, kMaxTexts> written{};
    std::size_t i = 0;
    for (std::string_view t : texts) {
        if (i == kMaxTexts) break;
        // Each text counts towards the restart of the file on its own, as if written alone.
        bool open = false;
        if (g_log_writes < kLogRestartWrites) {
            open = g_log_fd >= 0 || open_log(0);
            ++g_log_writes;
        } else {
            Write_Log_Flush();  // what came before the restart belongs to the old file
            open = open_log(O_TRUNC);
            g_log_writes = 0;
        }
        if (!open) {
            std::printf("open log error!\n");
        } else {
            gather(up_to_nul(t));
            written[i] = true;
        }
        ++i;
    }
    i = 0;
    for (std::string_view t : texts) {
        if (i < kMaxTexts && written[i]) Netmon_Mirror_Log(up_to_nul(t));
        ++i;
    }
}

void Write_Log_Flush()
{
    if (g_log_used == 0) return;
    // The name is looked at once per flush: a text logged after the file was moved still goes
    // to the file the name leads to, without a look at the name for every text.
    if (log_still_named() || open_log(0)) {
        iovec iov{g_log_buffer.data(), g_log_used};
        write_all(g_log_fd, &iov, 1);
    } else {
        std::printf("open log error!\n");
    }
    g_log_used = 0;
}

void Write_Logf(const char* fmt, ...)
{
    if (sip_debug == 0) return;
    static char buf[kLogTextMax];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    Write_Log(buf);
}

void Report_Console_And_Log(const char* text)
{
    std::printf("%s", text);
    std::fflush(stdout);
    Write_Log(text);
}

const char* Get_Interface_Ip(const char* name)
{
    g_if_addr[0] = '\0';
    if (name == nullptr || (strncasecmp(name, "eth", 3) != 0 && strncasecmp(name, "lo", 2) != 0))
        return nullptr;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return nullptr;

    // Room for 16 interfaces, whatever size a record has on this architecture.
    std::array<struct ifreq, 16> reqs{};
    struct ifconf ifc {};
    ifc.ifc_len = static_cast<int>(sizeof reqs);
    ifc.ifc_req = reqs.data();
    if (ioctl(s, SIOCGIFCONF, &ifc) < 0) {
        close(s);
        return nullptr;
    }
    int n = ifc.ifc_len / static_cast<int>(sizeof(struct ifreq));
    if (n > static_cast<int>(reqs.size())) n = static_cast<int>(reqs.size());
    for (int i = n - 1; i >= 0; --i) {
        struct ifreq& r = reqs[static_cast<std::size_t>(i)];
        if (strncasecmp(r.ifr_name, name, IFNAMSIZ) != 0) continue;
        struct ifreq q {};
        std::memcpy(q.ifr_name, r.ifr_name, IFNAMSIZ);
        if (ioctl(s, SIOCGIFFLAGS, &q) < 0) {
            close(s);
            return nullptr;
        }
        if (q.ifr_flags & IFF_PROMISC) {
            std::printf("the interface is PROMISC");
            close(s);
            return nullptr;
        }
        if (!(q.ifr_flags & IFF_UP)) std::printf("the interface status is DOWN\n");
        if (ioctl(s, SIOCGIFADDR, &q) == 0) {
            struct sockaddr_in sin {};
            std::memcpy(&sin, &q.ifr_addr, sizeof sin);
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text);
            copy_text(g_if_addr, text);
            std::printf("net card %s --> ip addr: %s\n", r.ifr_name, g_if_addr);
            close(s);
            return g_if_addr;
        }
    }
    close(s);
    return nullptr;
}

int Get_Mac_Addr(char* buffer, std::size_t size)
{
    const char* ifname = "eth0";
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct ifreq q {};
    copy_bounded(q.ifr_name, sizeof q.ifr_name, ifname);
    if (s < 0 || ioctl(s, SIOCGIFHWADDR, &q) < 0 || buffer == nullptr || size < 13) {
        Write_Logf("error:fail to get hwaddr %s %d\n", ifname, s);
        if (s >= 0) close(s);
        return -1;
    }
    const auto* m = reinterpret_cast<const unsigned char*>(q.ifr_hwaddr.sa_data);
    std::snprintf(buffer, size, "%02x%02x%02x%02x%02x%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    close(s);
    Str_Hex_Upper(buffer);
    return 1;
}

void Str_Hex_Upper(char* text)
{
    if (!text) return;
    for (; *text; ++text) {
        if (*text >= 'a' && *text <= 'f') *text = static_cast<char>(*text - 'a' + 'A');
    }
}
