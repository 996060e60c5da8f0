// sip_nonce.h — the registrar's digest challenges: which nonce went to which REGISTER, whether it
// may still be answered, and that it is answered once. Kept apart from the registrations, so a
// challenge nobody answers holds no registration slot, and bounded: a full table gives up its
// oldest answered or lapsed nonce first, then its oldest open one.
#pragma once
#include <array>
#include <cstdint>
#include <string_view>

#include "sip_decode.h"   // kSipLineMax
#include "text.h"

inline constexpr int kMaxSipNonce = 500;
// A client gives up on its REGISTER after 32 seconds (64 times T1): an answer later than that
// answers nothing it still waits for.
inline constexpr int kNonceOpenSeconds = 32;

enum : int { NONCE_FREE = 0, NONCE_OPEN = 1, NONCE_CLOSED = 2 };

struct SipNonce {
    int state = NONCE_FREE;
    Text<50> tel;                // the number challenged
    Text<kSipLineMax> nonce;     // empty until the challenge is composed
    std::uint64_t request = 0;   // the challenged REGISTER (Sip_Nonce_Request_Key)
    unsigned issued = 0;         // tick of the challenge
    unsigned order = 0;          // challenge order: the oldest is given up first
};

extern std::array<SipNonce, kMaxSipNonce> sipnonce;

// Start-up: every entry free, the clock at 0.
void Sip_Nonce_Init();

// One second of the clock that lapses open nonces (the registrar's expiry step calls it).
void Sip_Nonce_Tick();

// Names one REGISTER by its Call-ID and CSeq lines: its retransmissions get the same key,
// the next REGISTER of the same phone another.
std::uint64_t Sip_Nonce_Request_Key(std::string_view callid_line, std::string_view cseq_line);

// The entry to challenge REGISTER request of tel with: the one this very REGISTER was
// challenged with while it is open (a retransmission: its nonce is sent again), else a new open
// entry with an empty nonce for the caller to fill. A number has one open nonce: a new
// challenge replaces the one before. Always an index.
int Sip_Nonce_Open(const char* tel, std::uint64_t request);

// What an answer's nonce is worth for tel: 1 open (the response may be checked), 0 answered
// already or lapsed (the sender gets a new challenge), -1 never sent to tel, replaced, given up,
// or empty.
int Sip_Nonce_Check(const char* tel, std::string_view nonce);

// The answer to tel's nonce passed: nothing may pass with it again. 1; -1 no such open nonce.
int Sip_Nonce_Close(const char* tel, std::string_view nonce);

// tel's open nonce, for the log; "" when it has none.
const char* Sip_Nonce_Of(const char* tel);
