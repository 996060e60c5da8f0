// Writes the G.711 conversions whole on standard output, for comparison with another
// implementation: alaw2linear and ulaw2linear of codes 0..255 (16-bit little-endian), then
// linear2alaw, linear2alaw1 and linear2ulaw of inputs -32768..32767 (one byte each).
#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "g711.h"

int main()
{
    for (int (*expand)(unsigned char) : {alaw2linear, ulaw2linear}) {
        for (int c = 0; c < 256; ++c) {
            auto v = static_cast<std::uint16_t>(expand(static_cast<unsigned char>(c)));
            std::putchar(v & 0xFF);
            std::putchar(v >> 8);
        }
    }
    for (unsigned char (*encode)(int) : {linear2alaw, linear2alaw1, linear2ulaw})
        for (int x = -32768; x <= 32767; ++x) std::putchar(encode(x));
    return std::fflush(stdout) == 0 ? 0 : 1;
}
