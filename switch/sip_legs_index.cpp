// The legs by Call-ID: every received message looks its leg up, so a walk of all 500 legs per
// datagram was the switch's largest cost under load. A hash of the Call-ID picks a short chain
// of legs; the chain is checked against the table itself, so a leg the index still lists after
// its Call-ID changed is no match.
#include <array>
#include <cstdint>
#include <string_view>

#include "sip_legs.h"

namespace {

constexpr std::size_t kBuckets = 1024;   // a power of two, twice the legs

std::array<int, kBuckets> g_head = [] {
    std::array<int, kBuckets> h{};
    h.fill(-1);
    return h;
}();
std::array<int, kMaxSipLegs> g_next{};
std::array<int, kMaxSipLegs> g_bucket_of = [] {
    std::array<int, kMaxSipLegs> b{};
    b.fill(-1);
    return b;
}();

std::size_t bucket(std::string_view callid)
{
    std::uint32_t h = 2166136261u;   // FNV-1a
    for (const char ch : callid) {
        h ^= static_cast<unsigned char>(ch);
        h *= 16777619u;
    }
    return h & (kBuckets - 1);
}

void unlink(int leg)
{
    const int b = g_bucket_of[static_cast<std::size_t>(leg)];
    if (b < 0) return;
    int* at = &g_head[static_cast<std::size_t>(b)];
    while (*at >= 0 && *at != leg) at = &g_next[static_cast<std::size_t>(*at)];
    if (*at == leg) *at = g_next[static_cast<std::size_t>(leg)];
    g_bucket_of[static_cast<std::size_t>(leg)] = -1;
}

}  // namespace

void Sip_Chn_Index_Callid(int leg)
{
    if (leg < 0 || leg >= kMaxSipLegs) return;
    unlink(leg);
    const SipLeg& l = sip_chn[static_cast<std::size_t>(leg)];
    if (l.use != 1) return;
    const std::size_t b = bucket(l.callid.view());
    g_next[static_cast<std::size_t>(leg)] = g_head[b];
    g_head[b] = leg;
    g_bucket_of[static_cast<std::size_t>(leg)] = static_cast<int>(b);
}

void Sip_Chn_Index_Rebuild()
{
    g_head.fill(-1);
    g_bucket_of.fill(-1);
    for (int leg = 0; leg < kMaxSipLegs; ++leg) Sip_Chn_Index_Callid(leg);
}

int Sip_Chn_Find_Callid(std::string_view callid)
{
    int found = -1;
    for (int leg = g_head[bucket(callid)]; leg >= 0; leg = g_next[static_cast<std::size_t>(leg)]) {
        const SipLeg& l = sip_chn[static_cast<std::size_t>(leg)];
        // The lowest leg, as a walk of the table from leg 0 would find it.
        if (l.use == 1 && l.callid.view() == callid && (found < 0 || leg < found)) found = leg;
    }
    return found;
}
