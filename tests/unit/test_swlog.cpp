#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <filesystem>
#include <string>

#include "board.h"
#include "settings.h"
#include "swlog.h"

namespace {
std::string g_root = [] {
    char tmpl[] = "/tmp/swlogtest-XXXXXX";
    std::string r = mkdtemp(tmpl);
    static const std::string keep = r;
    std::atexit([] { std::filesystem::remove_all(keep); });
    setenv("BOARD_ROOT", r.c_str(), 1);
    mkdir((r + "/tmp").c_str(), 0700);
    mkdir((r + "/tmp/log").c_str(), 0700);
    return r;
}();

std::string log_text()
{
    std::ifstream f(g_root + "/tmp/log/softswitch.log", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}
}  // namespace

// One test walks the whole restart cycle, since the write counter lives for the process.
TEST(SwLog, RestartsTheFileAfter20000Writes)
{
    std::ofstream(g_root + "/tmp/log/softswitch.log") << "earlier run\n";
    sip_debug = 0;
    Write_Log("dropped\n");
    EXPECT_EQ(log_text(), "earlier run\n");
    sip_debug = 1;
    for (int i = 0; i < kLogRestartWrites; ++i) Write_Log("x");
    EXPECT_EQ(log_text().size(), 12u + kLogRestartWrites);
    Write_Logf("%s %d\n", "fresh", 1);
    EXPECT_EQ(log_text(), "fresh 1\n");
    Write_Logf("%s", "%n%s%s\n");  // outside text is data
    EXPECT_EQ(log_text(), "fresh 1\n%n%s%s\n");
}

TEST(SwLog, LongTextsAreCutToTheLogBuffer)
{
    std::string big(kLogTextMax * 2, 'z');
    std::ofstream(g_root + "/tmp/log/softswitch.log", std::ios::trunc);
    Write_Logf("%s", big.c_str());
    EXPECT_EQ(log_text().size(), kLogTextMax - 1);
}

TEST(NetIf, LookupsRefuseOtherNames)
{
    EXPECT_EQ(Get_Interface_Ip(nullptr), nullptr);
    EXPECT_EQ(Get_Interface_Ip("wlan0"), nullptr);
    EXPECT_EQ(Get_Interface_Ip("e"), nullptr);
    char mac[13];
    EXPECT_EQ(Get_Mac_Addr(mac, 5), -1);
}

TEST(NetIf, HexUpper)
{
    char t[] = "00a1bcdefg-z9";
    Str_Hex_Upper(t);
    EXPECT_STREQ(t, "00A1BCDEFg-z9");
}
