#include "link_wait.h"

#include <poll.h>

#include <array>
#include <cerrno>
#include <ctime>

namespace {

// Every listener, UDP socket and connection the links can hold at once (the status server alone
// keeps up to 2000 console connections).
constexpr int kWaitMax = 2304;
// What the loop slept between passes before it waited on its sockets; still the longest sleep
// when a socket could not join.
constexpr std::int64_t kFallbackUs = 100;

struct Entry {
    int fd = -1;
    LinkReadNow read_now = nullptr;
};
std::array<Entry, kWaitMax> g_entries;
int g_count = 0;
// A socket that found no room: the loop cannot know when it has data, so it never sleeps long.
bool g_overflow = false;

int find(int fd)
{
    for (int i = 0; i < g_count; ++i)
        if (g_entries[static_cast<std::size_t>(i)].fd == fd) return i;
    return -1;
}

void remove_at(int i)
{
    g_entries[static_cast<std::size_t>(i)] = g_entries[static_cast<std::size_t>(g_count - 1)];
    g_entries[static_cast<std::size_t>(g_count - 1)] = Entry{};
    --g_count;
}

}  // namespace

void Link_Wait_Join(int fd)
{
    if (fd < 0) return;
    int i = find(fd);
    if (i < 0) {
        if (g_count >= kWaitMax) {
            g_overflow = true;
            return;
        }
        i = g_count++;
    }
    g_entries[static_cast<std::size_t>(i)] = Entry{fd, nullptr};
}

void Link_Wait_When(int fd, LinkReadNow read_now)
{
    const int i = find(fd);
    if (i >= 0) g_entries[static_cast<std::size_t>(i)].read_now = read_now;
}

void Link_Wait_Leave(int fd)
{
    const int i = find(fd);
    if (i >= 0) remove_at(i);
}

bool Link_Read_On_Tick() { return false; }

int Link_Wait(std::int64_t timeout_us, const sigset_t* mask)
{
    if (timeout_us < 0) timeout_us = 0;
    if (g_overflow && timeout_us > kFallbackUs) timeout_us = kFallbackUs;
    std::array<pollfd, kWaitMax> fds{};
    std::array<int, kWaitMax> from{};
    nfds_t n = 0;
    for (int i = 0; i < g_count; ++i) {
        const Entry& e = g_entries[static_cast<std::size_t>(i)];
        if (e.read_now != nullptr && !e.read_now()) continue;
        fds[n] = pollfd{e.fd, POLLIN, 0};
        from[n] = i;
        ++n;
    }
    timespec ts{static_cast<std::time_t>(timeout_us / 1000000), static_cast<long>(timeout_us % 1000000) * 1000};
    const int r = ppoll(fds.data(), n, &ts, mask);
    if (r < 0) return errno == EINTR ? -1 : 0;
    // A descriptor closed behind the set's back would end every wait at once: it leaves.
    for (nfds_t k = n; k-- > 0;)
        if (fds[k].revents & POLLNVAL) remove_at(from[k]);
    return r > 0 ? 1 : 0;
}

int Link_Wait_Count() { return g_count; }
