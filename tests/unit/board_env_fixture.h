// The board environment and the four-wire board on the simulated board, in process: the
// device opened once under the scratch board root, its inputs set and its output record read
// through its control commands.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "MyApi.h"
#include "arm_environment.h"
#include "gate_test_board.h"
#include "sim/sim_board.h"
#include "struct_sys.h"

inline void sim(const std::string& command)
{
    std::array<char, 256> reply{};
    SimBoard_Command(command, reply.data(), reply.size());
    ASSERT_STREQ(reply.data(), "ok") << command;
}

// The output entries not read yet, without their time stamps.
inline std::vector<std::string> sim_outputs()
{
    std::vector<std::string> out;
    static std::array<char, 65536> reply;
    for (;;) {
        std::size_t n = SimBoard_Command("log", reply.data(), reply.size());
        if (n == 0) return out;
        std::string text(reply.data(), n);
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find('\n', at);
            std::string line = text.substr(at, end - at);
            std::size_t blank = line.find(' ');
            out.push_back(blank == std::string::npos ? line : line.substr(blank + 1));
            at = end == std::string::npos ? text.size() : end + 1;
        }
    }
}

// A board with lines 0 .. lines-1 in use, in the given mode and card generation.
class BoardEnvTest : public GateTest {
protected:
    void SetUp() override
    {
        GateTest::SetUp();
        if (g_hDriverHandler < 0) {
            ASSERT_GE(MyOpen(&g_hDriverHandler, "/dev/AG0"), 0);
        }
        sim("set cor 0");
        sim_outputs();
    }
    void Board(SYS_COMPATIBLE_MODE_E mode, int card, int lines)
    {
        g_sSysCfgInfo.m_sDevEnv.m_eSysCompMod = mode;
        g_sDBInfo.m_sSysCfgInfo.m_sDevEnv.m_eSysCompMod = mode;
        g_iCardType = card;
        g_iUse_Chn_Max = lines;
        for (int i = 0; i < kMaxUserChn; ++i) {
            g_sUserInfo[i] = {};
            g_sUserInfo[i].m_iUserChn = i < lines ? i : -1;
            g_sCorInfo[i] = {};
            g_iCorFlag[i] = 0;
            g_iCorAbleValue[i] = 1;
            g_iBateTimeThread[i] = 0;
        }
    }
    // Each line's COR as the line logic reads it, bit i for line i.
    static int Cor()
    {
        int bits = 0;
        for (int i = 0; i < g_iUse_Chn_Max; ++i) bits |= ArmEnv_GetCorInfo(i) << i;
        return bits;
    }
};
