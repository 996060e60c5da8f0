// A simulated DSP channel's state read through the simulated board's control commands.
#pragma once
#include <array>
#include <cstdlib>
#include <map>
#include <string>

#include "sim/sim_board.h"

// The reply of a control command.
inline std::string sim_text(const std::string& command)
{
    std::array<char, 1024> reply{};
    SimBoard_Command(command, reply.data(), reply.size());
    return reply.data();
}

// The channel's state ("chan CH"), its numeric fields by name.
inline std::map<std::string, long long> sim_chan(int ch)
{
    std::map<std::string, long long> out;
    const std::string state = sim_text("chan " + std::to_string(ch)) + " ";
    for (std::size_t at = 0; at < state.size();) {
        const std::size_t blank = state.find(' ', at);
        const std::string word = state.substr(at, blank - at);
        const std::size_t eq = word.find('=');
        if (eq != std::string::npos) out[word.substr(0, eq)] = std::atoll(word.c_str() + eq + 1);
        at = blank + 1;
    }
    return out;
}
