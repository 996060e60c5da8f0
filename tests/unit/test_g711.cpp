// G.711 conversions: the standard's edge values, the one-step bound of the encoders over
// every 16-bit input, and the A-law/µ-law transcoding against the standard's tables.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "g711.h"

namespace {
// Quantisation step of the segment a code lies in, in 16-bit linear units.
int AlawStep(unsigned char code)
{
    int seg = ((code ^ 0x55) & 0x70) >> 4;
    return seg < 2 ? 16 : 16 << (seg - 1);
}
int UlawStep(unsigned char code)
{
    int seg = ((~code) & 0x70) >> 4;
    return 8 << seg;
}

// One table of the transcoding file: 128 numbers after the line that begins with name.
std::array<int, 128> TableFromFile(const std::string& name)
{
    std::ifstream f(G711_TABLE_FILE);
    std::string line;
    while (std::getline(f, line) && line.rfind(name + ":", 0) != 0) {}
    std::array<int, 128> t{};
    for (int& v : t) f >> v;
    EXPECT_TRUE(f.good()) << "table " << name << " in " << G711_TABLE_FILE;
    return t;
}
}  // namespace

TEST(G711, EdgeValues)
{
    struct Case { const char* what; int got; int want; };
    const Case cases[] = {
        {"alaw2linear(0xD5)", alaw2linear(0xD5), 8},
        {"alaw2linear(0x55)", alaw2linear(0x55), -8},
        {"ulaw2linear(0xFF)", ulaw2linear(0xFF), 0},
        {"ulaw2linear(0x7F)", ulaw2linear(0x7F), 0},
        {"linear2alaw(0)", linear2alaw(0), 0xD5},
        {"linear2alaw(32767)", linear2alaw(32767), 0xAA},
        {"linear2alaw(-32768)", linear2alaw(-32768), 0x2A},
        {"linear2alaw(-1): smallest negative step", linear2alaw(-1), 0x55},
        {"linear2alaw(-7): smallest negative step", linear2alaw(-7), 0x55},
        {"linear2alaw(-8)", linear2alaw(-8), 0x55},
        {"linear2alaw(-24): next step", linear2alaw(-24), 0x54},
        {"linear2alaw beyond 16 bits", linear2alaw(40000), 0xAA},
        {"linear2alaw far below 16 bits", linear2alaw(-2147483647 - 1), 0x2A},
        {"linear2ulaw(0)", linear2ulaw(0), 0xFF},
        {"linear2ulaw(-32768)", linear2ulaw(-32768), 0x00},
        {"linear2ulaw far below 16 bits", linear2ulaw(-2147483647 - 1), 0x00},
        {"alaw2ulaw(0xD5): smallest positive step, the mute byte", alaw2ulaw(0xD5), 0xFE},
        {"ulaw2alaw(0xFF)", ulaw2alaw(0xFF), 0xD5},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(G711, EncodersStayWithinOneStepOfEveryInput)
{
    for (int x = -32768; x <= 32767; ++x) {
        unsigned char a = linear2alaw(x);
        ASSERT_LE(std::abs(alaw2linear(a) - x), AlawStep(a)) << "linear2alaw(" << x << ")";
        unsigned char a1 = linear2alaw1(x);
        ASSERT_LE(std::abs(alaw2linear(a1) - x), AlawStep(a1)) << "linear2alaw1(" << x << ")";
        unsigned char u = linear2ulaw(x);
        ASSERT_LE(std::abs(ulaw2linear(u) - x), UlawStep(u)) << "linear2ulaw(" << x << ")";
    }
}

TEST(G711, EncodersInvertTheDecoders)
{
    for (int c = 0; c < 256; ++c) {
        auto code = static_cast<unsigned char>(c);
        EXPECT_EQ(linear2alaw(alaw2linear(code)), code) << c;
        // µ-law has two zeros (0xFF and 0x7F); both decode to 0, which encodes as 0xFF.
        if (c != 0x7F) {
            EXPECT_EQ(linear2ulaw(ulaw2linear(code)), code) << c;
        }
    }
}

TEST(G711, TranscodingFollowsTheStandardsTables)
{
    const auto a2u = TableFromFile("a2u");
    const auto u2a = TableFromFile("u2a");
    for (int c = 0; c < 256; ++c) {
        // A-law: magnitude is the code without even-bit inversion, positive with bit 7 set.
        // µ-law: magnitude is the complemented code, positive with bit 7 set.
        int a_mag = (c ^ 0x55) & 0x7F;
        int u_mag = ~c & 0x7F;
        bool positive = c & 0x80;
        int want_u = (positive ? 0x80 : 0) | (~a2u[static_cast<std::size_t>(a_mag)] & 0x7F);
        int want_a = ((positive ? 0x80 : 0) | (u2a[static_cast<std::size_t>(u_mag)] - 1)) ^ 0x55;
        EXPECT_EQ(alaw2ulaw(static_cast<unsigned char>(c)), want_u) << "alaw2ulaw " << c;
        EXPECT_EQ(ulaw2alaw(static_cast<unsigned char>(c)), want_a) << "ulaw2alaw " << c;
    }
}

TEST(G711, SearchFindsTheFirstEntryNotBelow)
{
    const short table[3] = {10, 20, 30};
    struct Case { int value; int want; };
    const Case cases[] = {{-5, 0}, {10, 0}, {11, 1}, {30, 2}, {31, 3}};
    for (const auto& c : cases) EXPECT_EQ(search(c.value, table, 3), c.want) << c.value;
}

// The two entries a widely copied version of the tables has wrong, pinned by value: a check
// against the table file alone cannot catch an entry mis-copied in both.
TEST(G711, TranscodingOfTheTwoOftenMiscopiedEntries)
{
    struct Case { const char* what; int got; int want; };
    const Case cases[] = {
        {"ulaw2alaw, mu-law magnitude 80, positive", ulaw2alaw(0xAF), 0x9A},
        {"ulaw2alaw, mu-law magnitude 80, negative", ulaw2alaw(0x2F), 0x1A},
        {"alaw2ulaw, A-law magnitude 79, positive", alaw2ulaw(0x9A), 0xAF},
        {"alaw2ulaw, A-law magnitude 79, negative", alaw2ulaw(0x1A), 0x2F},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}
