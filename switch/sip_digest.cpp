#include "sip_digest.h"

#include <cstring>
#include <initializer_list>
#include <iterator>

void Md5_Init(Md5Ctx& ctx) { md5_init(&ctx); }

void Md5_Update(Md5Ctx& ctx, const void* bytes, std::size_t length)
{
    if (length == 0) return;
    md5_update(&ctx, length, static_cast<const std::uint8_t*>(bytes));
}

void Md5_Final(std::uint8_t (&digest)[kMd5Bytes], Md5Ctx& ctx)
{
    md5_digest(&ctx, kMd5Bytes, digest);
    std::memset(&ctx, 0, sizeof ctx);
}

void Md5_To_Hex(const std::uint8_t* bytes, std::size_t count, char* out)
{
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = kHex[bytes[i] >> 4];
        out[2 * i + 1] = kHex[bytes[i] & 0x0f];
    }
    out[2 * count] = '\0';
}

namespace {

// MD5 over the parts joined by ":", as hex.
void md5_hex_joined(std::initializer_list<std::string_view> parts, Text<kMd5HexLen + 1>& out)
{
    Md5Ctx ctx;
    Md5_Init(ctx);
    bool first = true;
    for (std::string_view p : parts) {
        if (!first) Md5_Update(ctx, ":", 1);
        first = false;
        Md5_Update(ctx, p.data(), p.size());
    }
    std::uint8_t digest[kMd5Bytes];
    Md5_Final(digest, ctx);
    Md5_To_Hex(digest, kMd5Bytes, out.s);
}

}  // namespace

int Sip_Digest_Response(int method, std::string_view realm, std::string_view uri,
                        std::string_view nonce, std::string_view username,
                        std::string_view password, Text<kMd5HexLen + 1>& out)
{
    std::string_view method_text;
    if (method >= 0 && method < static_cast<int>(std::size(kDigestMethods))) method_text = kDigestMethods[method];
    Text<kMd5HexLen + 1> ha1, ha2;
    md5_hex_joined({username, realm, password}, ha1);
    md5_hex_joined({method_text, uri}, ha2);
    md5_hex_joined({ha1.view(), nonce, ha2.view()}, out);
    return 1;
}
