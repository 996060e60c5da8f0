// The shared SIP text helpers and the bounded composer.
#include <gtest/gtest.h>

#include <string>

#include "composer.h"
#include "sip_text.h"

using namespace std::literals;

TEST(SipText, GetLineCutsAtCrAndSkipsWhatFollows)
{
    struct Case { std::string_view text; std::string_view line; bool has_next; std::string_view next; };
    const Case cases[] = {
        {"a\r\nb", "a", true, "b"},
        {"a\rXb", "a", true, "b"},          // a lone CR takes the next character as its LF
        {"a\r", "a", true, ""},              // nothing after the CR: the next line is empty
        {"a\nb", "a\nb", false, ""},         // LF alone does not end a line
        {"", "", false, ""},
        {"\r\nrest", "", true, "rest"},
    };
    for (const Case& c : cases) {
        CutLine cut = Decode_GetLine(c.text);
        EXPECT_EQ(cut.line, c.line) << c.text;
        EXPECT_EQ(cut.has_next, c.has_next) << c.text;
        if (c.has_next) {
            EXPECT_EQ(cut.next, c.next) << c.text;
        }
    }
}

TEST(SipText, HeaderValue)
{
    struct Case { std::string_view line; int result; std::string_view value; };
    const Case cases[] = {
        {"Call-ID:   abc@h", 1, "abc@h"},
        {"Call-ID:\tabc", 1, "\tabc"},       // only blanks are skipped, never tabs
        {"To: a:b", 1, "a:b"},               // the first colon ends the name
        {"no colon here", 1, "no colon here"},
        {"X:", 1, ""},
        {"", -1, "untouched"},
    };
    for (const Case& c : cases) {
        std::string_view value = "untouched";
        EXPECT_EQ(Decode_HeaderValue(c.line, value), c.result) << c.line;
        EXPECT_EQ(value, c.value) << c.line;
    }
}

TEST(SipText, CaseInsensitivePrefixFoldsOnlyLetters)
{
    struct Case { std::string_view a, b; std::size_t n; bool equal; };
    const Case cases[] = {
        {"call-id: x", "Call-Id", 7, true},
        {"VIA", "via", 3, true},
        {"Vi", "Via", 3, false},             // a shorter text does not match a longer name
        {"[", "{", 1, false},                // only "a" to "z" fold
        {"\xe4", "\xc4", 1, false},          // bytes above 127 are not letters
        {std::string_view("ab\0", 3), "ab", 3, true},
    };
    for (const Case& c : cases) EXPECT_EQ(Sip_Strncasecmp(c.a, c.b, c.n) == 0, c.equal) << c.a << " " << c.b;
    // A compare stops at 199 characters: both texts count as ended there.
    std::string long_a(250, 'x'), long_b = std::string(199, 'x') + "y";
    EXPECT_EQ(Sip_Strncasecmp(long_a, long_b, 250), 0);
    EXPECT_LT(Sip_Strncasecmp("a", "b", 1), 0);
    EXPECT_GT(Sip_Strncasecmp("\xff", "a", 1), 0);   // a byte compare, unsigned
}

TEST(SipText, NumbersAreDigitsOnlyAndNeverOverflow)
{
    struct Case { std::string_view text; int value; int port; };
    const Case cases[] = {
        {"5060", 5060, 5060},
        {"0", 0, 0},
        {"", 0, 0},
        {"12a", 0, 0},                 // a letter after the digits
        {"-1", 0, 0},                  // a sign
        {" 7", 0, 0},                  // a leading blank
        {"7 ", 0, 0},                  // a trailing blank
        {"999999999", 999999999, 0},   // nine digits still read; no port
        {"2147483648", 0, 0},          // ten digits would overflow: the "anything else" result
        {"99999999999", 0, 0},
        {"65535", 65535, 65535},
        {"65536", 65536, 0},           // a number, but no port
        {"0000005060", 0, 0},          // ten characters, however small the value
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sip_Atoi(c.text), c.value) << c.text;
        EXPECT_EQ(Sip_Atoi_Port(c.text), c.port) << c.text;
    }
}

TEST(SipText, CopyQuotedKeepsToItsDestination)
{
    struct Case { std::string_view src; std::size_t size; std::size_t result; std::string_view dst; };
    const Case cases[] = {
        {"\"abc\",x", 16, 3, "abc"},
        {"MD5", 16, 0, "MD5"},                     // no quotes: copied to the end, result 0
        {"\"open", 16, 0, "open"},                 // one quote only
        {"ab\"cd\"ef", 16, 4, "abcd"},             // text before the first quote is copied too
        {"\"0123456789abcdef\"", 8, 16, "0123456"}, // cut to the destination, never past it
        {"\"x\"", 1, 1, ""},
    };
    for (const Case& c : cases) {
        char dst[32];
        std::memset(dst, '#', sizeof dst);
        EXPECT_EQ(Sip_Copy_Quoted(c.src, dst, c.size), c.result) << c.src;
        EXPECT_EQ(std::string_view(dst), c.dst) << c.src;
        EXPECT_EQ(dst[c.size], '#') << "wrote past the destination for " << c.src;
    }
}

TEST(Composer, AppendsPiecesAndSkipsAbsentHeaders)
{
    std::array<char, 64> buf;
    Composer m(buf);
    m.raw("SIP/2.0 ").number(200).line(" OK").header("").header("Call-ID: 1").raw("\r\n");
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(m.view(), "SIP/2.0 200 OK\r\nCall-ID: 1\r\n\r\n");
    EXPECT_EQ(std::string_view(buf.data()), m.view());
}

TEST(Composer, RefusesWhatDoesNotFitWithoutWritingPastTheBuffer)
{
    char buf[12];
    std::memset(buf, '#', sizeof buf);
    Composer m(buf, 10);
    m.raw("123456789");   // 9 characters and the NUL fill the 10 bytes exactly
    EXPECT_TRUE(m.ok());
    m.raw("0");
    EXPECT_FALSE(m.ok());
    EXPECT_EQ(m.size(), 0u);
    EXPECT_STREQ(buf, "");   // a refused message leaves nothing that could be sent
    EXPECT_EQ(buf[10], '#');
    m.raw("x");              // a failed composer stays failed
    EXPECT_FALSE(m.ok());
}

TEST(Composer, ExtendingAFullLineLeavesItUnchanged)
{
    Text<200> to;
    std::string full = "To: <sip:" + std::string(187, '1') + "@h>";
    ASSERT_EQ(full.size(), 199u);
    copy_text(to, full);
    Composer tag = Composer::extend(to);
    tag.raw(";tag=").number(12345);
    EXPECT_FALSE(tag.ok());
    EXPECT_EQ(to.view(), full);

    copy_text(to, "To: <sip:1@h>");
    Composer ok = Composer::extend(to);
    ok.raw(";tag=").number(7);
    EXPECT_TRUE(ok.ok());
    EXPECT_EQ(to.view(), "To: <sip:1@h>;tag=7");
}
