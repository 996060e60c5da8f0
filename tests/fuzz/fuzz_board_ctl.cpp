// The simulated board's control commands: any datagram a local process sends to its socket.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "sim/sim_board.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::array<char, 8192> reply;
    std::size_t n = SimBoard_Command(std::string_view(reinterpret_cast<const char*>(data), size), reply.data(),
                                     reply.size());
    if (n >= reply.size() || std::strlen(reply.data()) != n) __builtin_trap();
    // a small reply buffer must still hold a terminated, cut reply
    std::array<char, 5> small;
    SimBoard_Command(std::string_view(reinterpret_cast<const char*>(data), size), small.data(), small.size());
    if (std::strlen(small.data()) >= small.size()) __builtin_trap();
    return 0;
}
