#include "sip_nonce.h"

#include <cstring>

std::array<SipNonce, kMaxSipNonce> sipnonce;

namespace {

unsigned g_nonce_clock = 0;   // ticks since start-up
unsigned g_nonce_order = 0;   // challenges since start-up

bool lapsed(const SipNonce& n) { return g_nonce_clock - n.issued > static_cast<unsigned>(kNonceOpenSeconds); }

// Open and still answerable.
bool is_open(const SipNonce& n) { return n.state == NONCE_OPEN && !lapsed(n); }

bool is_tel(const SipNonce& n, const char* tel) { return n.state != NONCE_FREE && std::strcmp(n.tel.s, tel) == 0; }

// The entry a new challenge takes: a free one, else the oldest closed or lapsed, else the
// oldest open. The orders are compared by their distance from the newest, so the counter may wrap.
int entry_to_take()
{
    int closed = -1;
    int open = -1;
    auto older = [](int a, int b) { return a < 0 || g_nonce_order - sipnonce[b].order > g_nonce_order - sipnonce[a].order; };
    for (int i = 0; i < kMaxSipNonce; ++i) {
        const SipNonce& n = sipnonce[i];
        if (n.state == NONCE_FREE) return i;
        if (is_open(n)) {
            if (older(open, i)) open = i;
        } else if (older(closed, i)) {
            closed = i;
        }
    }
    return closed >= 0 ? closed : open;
}

}  // namespace

void Sip_Nonce_Init()
{
    sipnonce.fill(SipNonce{});
    g_nonce_clock = 0;
    g_nonce_order = 0;
}

void Sip_Nonce_Tick() { ++g_nonce_clock; }

std::uint64_t Sip_Nonce_Request_Key(std::string_view callid_line, std::string_view cseq_line)
{
    // FNV-1a over both lines with a separator that neither can hold.
    std::uint64_t h = 14695981039346656037ull;
    auto mix = [&h](std::string_view s) {
        for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    };
    mix(callid_line);
    mix(std::string_view("\n", 1));
    mix(cseq_line);
    return h;
}

int Sip_Nonce_Open(const char* tel, std::uint64_t request)
{
    int own = -1;
    for (int i = 0; i < kMaxSipNonce; ++i) {
        const SipNonce& n = sipnonce[i];
        if (!is_open(n) || !is_tel(n, tel)) continue;
        if (n.request == request && !n.nonce.empty()) return i;   // a retransmission
        own = i;
    }
    const int i = own >= 0 ? own : entry_to_take();
    SipNonce& n = sipnonce[i];
    n = SipNonce{};
    n.state = NONCE_OPEN;
    copy_text(n.tel, tel);
    n.request = request;
    n.issued = g_nonce_clock;
    n.order = ++g_nonce_order;
    return i;
}

int Sip_Nonce_Check(const char* tel, std::string_view nonce)
{
    if (nonce.empty()) return -1;
    for (const SipNonce& n : sipnonce) {
        if (is_tel(n, tel) && n.nonce.view() == nonce) return is_open(n) ? 1 : 0;
    }
    return -1;
}

int Sip_Nonce_Close(const char* tel, std::string_view nonce)
{
    if (nonce.empty()) return -1;
    for (SipNonce& n : sipnonce) {
        if (is_open(n) && is_tel(n, tel) && n.nonce.view() == nonce) {
            n.state = NONCE_CLOSED;
            return 1;
        }
    }
    return -1;
}

const char* Sip_Nonce_Of(const char* tel)
{
    for (const SipNonce& n : sipnonce) {
        if (is_open(n) && is_tel(n, tel)) return n.nonce.s;
    }
    return "";
}
