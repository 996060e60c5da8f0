#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <filesystem>
#include <string>

#include "board.h"
#include "text.h"

namespace {
std::string g_root = [] {
    char tmpl[] = "/tmp/boardtest-XXXXXX";
    std::string r = mkdtemp(tmpl);
    static const std::string keep = r;
    std::atexit([] { std::filesystem::remove_all(keep); });
    setenv("BOARD_ROOT", (r + "//").c_str(), 1);  // trailing slashes are dropped
    std::system(("mkdir -p " + r + "/var " + r + "/bin").c_str());
    return r;
}();

std::string slurp(const std::string& p)
{
    std::ifstream f(p);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}
}  // namespace

TEST(Board, PathsResolveUnderTheRoot)
{
    struct Case { const char* in; std::string want; };
    const Case cases[] = {
        {"/root/switch/sip_server.ini", g_root + "/root/switch/sip_server.ini"},
        {"/dev/null", "/dev/null"},
        {"relative/file", "relative/file"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(board_path(c.in), c.want) << c.in;
}

TEST(Board, ShellLinesAreLoggedAndUseTheStandIns)
{
    std::ofstream(g_root + "/bin/reboot") << "#!/bin/sh\necho standin > \"$BOARD_ROOT/var/ran\"\n";
    std::system(("chmod +x " + g_root + "/bin/reboot").c_str());
    EXPECT_EQ(run_shell("reboot"), 0);
    EXPECT_EQ(run_shell("echo 'it''s' > " + board_path("/var/out")), 0);
    EXPECT_EQ(slurp(g_root + "/var/shell.log"), "reboot\necho 'it''s' > " + g_root + "/var/out\n");
    EXPECT_EQ(slurp(g_root + "/var/ran"), "standin\n");
    EXPECT_EQ(slurp(g_root + "/var/out"), "its\n");
}

TEST(Text, CopiesAreCutToTheField)
{
    Text<5> t;
    EXPECT_EQ(copy_text(t, "abcdefgh"), 4u);
    EXPECT_STREQ(t.s, "abcd");
    char raw[3];
    copy_text(raw, "xyz");
    EXPECT_STREQ(raw, "xy");
    EXPECT_EQ(copy_bounded(raw, 0, "q"), 0u);
    EXPECT_EQ(copy_text(t, std::string_view("a\0b", 3)), 3u);  // bytes are bytes
}
