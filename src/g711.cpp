#include "g711.h"

#include <algorithm>
#include <array>

namespace {
constexpr int kSignBit = 0x80;
constexpr int kQuantMask = 0x0F;
constexpr int kSegShift = 4;
constexpr int kSegMask = 0x70;
constexpr int kUlawBias = 0x84;

// Segment ends of the 16-bit encoders, and of the A-law encoder that takes 13-bit samples.
constexpr std::array<short, 8> seg_end{0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF, 0x3FFF, 0x7FFF};
constexpr std::array<short, 8> seg_aend{0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};

// The standard's transcoding of the magnitude part of a code. _a2u: A-law magnitude to
// µ-law magnitude. _u2a: µ-law magnitude to A-law magnitude plus 1.
constexpr std::array<unsigned char, 128> _a2u{
    1, 3, 5, 7, 9, 11, 13, 15,
    16, 17, 18, 19, 20, 21, 22, 23,
    24, 25, 26, 27, 28, 29, 30, 31,
    32, 32, 33, 33, 34, 34, 35, 35,
    36, 37, 38, 39, 40, 41, 42, 43,
    44, 45, 46, 47, 48, 48, 49, 49,
    50, 51, 52, 53, 54, 55, 56, 57,
    58, 59, 60, 61, 62, 63, 64, 64,
    65, 66, 67, 68, 69, 70, 71, 72,
    73, 74, 75, 76, 77, 78, 79, 80,
    80, 81, 82, 83, 84, 85, 86, 87,
    88, 89, 90, 91, 92, 93, 94, 95,
    96, 97, 98, 99, 100, 101, 102, 103,
    104, 105, 106, 107, 108, 109, 110, 111,
    112, 113, 114, 115, 116, 117, 118, 119,
    120, 121, 122, 123, 124, 125, 126, 127,
};
constexpr std::array<unsigned char, 128> _u2a{
    1, 1, 2, 2, 3, 3, 4, 4,
    5, 5, 6, 6, 7, 7, 8, 8,
    9, 10, 11, 12, 13, 14, 15, 16,
    17, 18, 19, 20, 21, 22, 23, 24,
    25, 27, 29, 31, 33, 34, 35, 36,
    37, 38, 39, 40, 41, 42, 43, 44,
    46, 48, 49, 50, 51, 52, 53, 54,
    55, 56, 57, 58, 59, 60, 61, 62,
    64, 65, 66, 67, 68, 69, 70, 71,
    72, 73, 74, 75, 76, 77, 78, 79,
    80, 82, 83, 84, 85, 86, 87, 88,
    89, 90, 91, 92, 93, 94, 95, 96,
    97, 98, 99, 100, 101, 102, 103, 104,
    105, 106, 107, 108, 109, 110, 111, 112,
    113, 114, 115, 116, 117, 118, 119, 120,
    121, 122, 123, 124, 125, 126, 127, 128,
};

// Samples are 16-bit; a wider int is held to that range so that negating it cannot
// overflow (every value beyond the range encodes like the range's end anyway).
int Static_Clamp(int sample) { return std::clamp(sample, -32768, 32767); }
}  // namespace

int search(int value, const short* table, int size)
{
    for (int i = 0; i < size; ++i)
        if (value <= table[i]) return i;
    return size;
}

unsigned char linear2alaw(int sample)
{
    int pcm = Static_Clamp(sample);
    int mask = 0xD5;
    if (pcm < 0) {
        mask = 0x55;
        // Inputs -1..-7 would come out negative here and encode as the largest step of the
        // first segment; they belong to its smallest one.
        pcm = std::max(-pcm - 8, 0);
    }
    int seg = search(pcm, seg_end.data(), 8);
    if (seg >= 8) return static_cast<unsigned char>(0x7F ^ mask);
    int aval = seg << kSegShift;
    aval |= (seg < 2 ? pcm >> 4 : pcm >> (seg + 3)) & kQuantMask;
    return static_cast<unsigned char>(aval ^ mask);
}

int alaw2linear(unsigned char code)
{
    int a = code ^ 0x55;
    int t = (a & kQuantMask) << 4;
    int seg = (a & kSegMask) >> kSegShift;
    if (seg == 0) t += 8;
    else if (seg == 1) t += 0x108;
    else t = (t + 0x108) << (seg - 1);
    return (a & kSignBit) ? t : -t;
}

int ulaw2linear(unsigned char code)
{
    int u = ~code & 0xFF;
    int t = ((u & kQuantMask) << 3) + kUlawBias;
    t <<= (u & kSegMask) >> kSegShift;
    return (u & kSignBit) ? (kUlawBias - t) : (t - kUlawBias);
}

unsigned char alaw2ulaw(unsigned char code)
{
    if (code & kSignBit) return static_cast<unsigned char>(0xFF ^ _a2u[code ^ 0xD5]);
    return static_cast<unsigned char>(0x7F ^ _a2u[code ^ 0x55]);
}

unsigned char ulaw2alaw(unsigned char code)
{
    if (code & kSignBit) return static_cast<unsigned char>(0xD5 ^ (_u2a[(0xFF ^ code) & 0x7F] - 1));
    return static_cast<unsigned char>(0x55 ^ (_u2a[(0x7F ^ code) & 0x7F] - 1));
}

unsigned char linear2alaw1(int sample)
{
    int pcm = Static_Clamp(sample) >> 3;
    int mask = 0xD5;
    if (pcm < 0) {
        mask = 0x55;
        pcm = -pcm - 1;
    }
    int seg = search(pcm, seg_aend.data(), 8);
    if (seg >= 8) return static_cast<unsigned char>(0x7F ^ mask);
    int aval = seg << kSegShift;
    aval |= (seg < 2 ? pcm >> 1 : pcm >> seg) & kQuantMask;
    return static_cast<unsigned char>(aval ^ mask);
}

unsigned char linear2ulaw(int sample)
{
    int pcm = Static_Clamp(sample);
    int mask = 0xFF;
    if (pcm < 0) {
        pcm = kUlawBias - pcm;
        mask = 0x7F;
    } else {
        pcm += kUlawBias;
    }
    int seg = search(pcm, seg_end.data(), 8);
    if (seg >= 8) return static_cast<unsigned char>(0x7F ^ mask);
    int uval = (seg << kSegShift) | ((pcm >> (seg + 3)) & kQuantMask);
    return static_cast<unsigned char>(uval ^ mask);
}

void test_alaw_ulaw_linear()
{
    std::array<unsigned char, 1024> silent{};
    std::array<short, 1024> linear{};
    for (std::size_t i = 0; i < silent.size(); ++i) linear[i] = static_cast<short>(alaw2linear(silent[i]));
    for (std::size_t i = 0; i < silent.size(); ++i) linear[i] = static_cast<short>(ulaw2linear(silent[i]));
}
