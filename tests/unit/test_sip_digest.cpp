#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sip_digest.h"

namespace {

std::string md5_hex(const std::string& text)
{
    Md5Ctx ctx;
    Md5_Init(ctx);
    Md5_Update(ctx, text.data(), text.size());
    std::uint8_t digest[kMd5Bytes];
    Md5_Final(digest, ctx);
    char hex[2 * kMd5Bytes + 1];
    Md5_To_Hex(digest, kMd5Bytes, hex);
    return hex;
}

TEST(Md5, Rfc1321TestSuite)
{
    struct Case { const char* text; const char* want; };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        // RFC 2617's HA1 of "Mufasa" in "testrealm@host.com".
        {"Mufasa:testrealm@host.com:Circle Of Life", "939e7578ed9e3c518a452acee763bce9"},
    };
    for (const auto& c : cases) EXPECT_EQ(md5_hex(c.text), c.want) << c.text;
}

TEST(Md5, UpdateInPiecesEqualsOneUpdate)
{
    Md5Ctx ctx;
    Md5_Init(ctx);
    const std::string text = "message digest";
    for (char ch : text) Md5_Update(ctx, &ch, 1);
    Md5_Update(ctx, "", 0);
    std::uint8_t digest[kMd5Bytes];
    Md5_Final(digest, ctx);
    char hex[2 * kMd5Bytes + 1];
    Md5_To_Hex(digest, kMd5Bytes, hex);
    EXPECT_STREQ(hex, "f96b697d7cb7938d525a2f31aaf161d0");
}

TEST(Md5, FinalLeavesNothingOfTheInputInTheContext)
{
    Md5Ctx ctx;
    Md5_Init(ctx);
    Md5_Update(ctx, "secret password", 15);
    std::uint8_t digest[kMd5Bytes];
    Md5_Final(digest, ctx);
    Md5Ctx zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
}

TEST(Md5, HexIsLowercaseTwoDigitsPerByte)
{
    const std::uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff};
    char hex[9];
    std::memset(hex, 'x', sizeof hex);
    Md5_To_Hex(bytes, 4, hex);
    EXPECT_STREQ(hex, "000fa0ff");
}

// Expected responses computed independently (MD5 of HA1 ":" nonce ":" HA2, no qop).
TEST(DigestResponse, ByMethodIndex)
{
    struct Case {
        int method;
        const char *realm, *uri, *nonce, *user, *password, *want;
    };
    const Case cases[] = {
        {0, "testrealm@host.com", "/dir/index.html", "dcd98b7102dd2f0e8b11d0f600bfb0c093", "Mufasa",
         "Circle Of Life", "731069449d29ae4d13a1affe4b67ff03"},
        // A SIP user's password is empty.
        {0, "10.0.0.1", "sip:10.0.0.1:5060", "12345678901234567890", "1001", "", "d5285158c7ddd1014be313bc8a9dd43a"},
        {1, "10.0.0.1", "sip:1002@10.0.0.1", "abc", "1001", "pw", "34f4dd2a3c7811365facc663ee3c5ec8"},
        {2, "10.0.0.1", "sip:1002@10.0.0.1", "abc", "1001", "pw", "01bcc469c713bb6c9c4293c99b3d103f"},
        {3, "10.0.0.1", "sip:1002@10.0.0.1", "abc", "1001", "pw", "460c677bca3e7693380111b6600821d9"},
        {4, "10.0.0.1", "sip:1002@10.0.0.1", "abc", "1001", "pw", "c4d51faf8156168010cbf734f371b147"},
        // An index outside the table hashes no method text: MD5(":" uri) as HA2.
        {5, "10.0.0.1", "sip:1002@10.0.0.1", "abc", "1001", "pw", "0168daa07c3a8ed8867042128c0b8d57"},
        {-1, "10.0.0.1", "sip:1002@10.0.0.1", "abc", "1001", "pw", "0168daa07c3a8ed8867042128c0b8d57"},
    };
    for (const auto& c : cases) {
        Text<kMd5HexLen + 1> out;
        EXPECT_EQ(Sip_Digest_Response(c.method, c.realm, c.uri, c.nonce, c.user, c.password, out), 1);
        EXPECT_STREQ(out.s, c.want) << "method " << c.method << " user " << c.user;
    }
}

}  // namespace
