// sip_digest.h — MD5 (RFC 1321, through nettle) and the digest response the registrar expects
// from a phone that answers its challenge.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <nettle/md5.h>

#include "text.h"

inline constexpr std::size_t kMd5Bytes = 16;
inline constexpr std::size_t kMd5HexLen = 32;

using Md5Ctx = md5_ctx;

void Md5_Init(Md5Ctx& ctx);
void Md5_Update(Md5Ctx& ctx, const void* bytes, std::size_t length);
// Writes the 16-byte digest and clears the context, so nothing of the hashed secret is left.
void Md5_Final(std::uint8_t (&digest)[kMd5Bytes], Md5Ctx& ctx);

// Each byte as two lowercase hex digits ("%02x"), then a NUL: out holds 2 × count + 1 bytes.
void Md5_To_Hex(const std::uint8_t* bytes, std::size_t count, char* out);

// Method texts by index; an index outside the table contributes no method text.
inline constexpr const char* kDigestMethods[] = {"REGISTER", "INVITE", "BYE", "CANCEL", "OPTIONS"};
inline constexpr int kDigestMethodRegister = 0;

// The digest without qop: MD5(HA1 ":" nonce ":" HA2) in lowercase hex, with
// HA1 = MD5(username ":" realm ":" password) and HA2 = MD5(method ":" uri), both as hex.
// No cnonce or nonce count takes part. Always 1.
int Sip_Digest_Response(int method, std::string_view realm, std::string_view uri,
                        std::string_view nonce, std::string_view username,
                        std::string_view password, Text<kMd5HexLen + 1>& out);
