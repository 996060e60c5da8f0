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
    Write_Log_Flush();
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

// The file stays open between texts; whoever rotates, removes or cuts it, the next text is in
// the file the name leads to, and there in full.
TEST(SwLog, TheNextTextGoesToTheFileTheNameLeadsTo)
{
    const std::string path = g_root + "/tmp/log/softswitch.log";
    sip_debug = 1;
    struct Case {
        const char* what;
        void (*move)(const std::string& path);
    } cases[] = {
        {"rotated by rename", [](const std::string& p) { std::filesystem::rename(p, p + ".1"); }},
        {"deleted", [](const std::string& p) { std::filesystem::remove(p); }},
        {"replaced by another file", [](const std::string& p) {
             std::filesystem::remove(p);
             std::ofstream(p) << "new\n";
         }},
        {"cut to nothing", [](const std::string& p) { std::filesystem::resize_file(p, 0); }},
    };
    for (const Case& c : cases) {
        std::ofstream(path, std::ios::trunc) << "";
        Write_Log("before\n");
        ASSERT_EQ(log_text(), "before\n") << c.what;
        c.move(path);
        Write_Log("after\n");
        const std::string now = log_text();
        EXPECT_EQ(now.substr(now.size() >= 6 ? now.size() - 6 : 0), "after\n") << c.what;
        EXPECT_EQ(now.find('\0'), std::string::npos) << c.what;   // no hole where the cut text was
        EXPECT_EQ(now.find("before"), std::string::npos) << c.what;
        std::filesystem::remove(path + ".1");
    }
    // A directory that is gone: one line on the console for what could not be written, and the
    // file again once it is back.
    std::filesystem::remove_all(g_root + "/tmp/log");
    testing::internal::CaptureStdout();
    Write_Log("lost\n");
    Write_Log_Flush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open log error!\n");
    mkdir((g_root + "/tmp/log").c_str(), 0700);
    Write_Log("back\n");
    EXPECT_EQ(log_text(), "back\n");
}

// A pass's texts reach the file together, in order, when the loop ends the pass (the switch's
// black-box tests show the shutdown's last text in the file too).
TEST(SwLog, GatheredTextsReachTheFileAtTheFlush)
{
    const std::string path = g_root + "/tmp/log/softswitch.log";
    sip_debug = 1;
    std::ofstream(path, std::ios::trunc) << "";
    Write_Log("one\n");
    Write_Log_Texts({"two", "\n"});
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    Write_Log_Flush();
    EXPECT_EQ(log_text(), "one\ntwo\n");
}

// Texts logged together in one write count and end as texts logged one by one: the restart of
// the file can fall between them.
TEST(SwLog, TextsLoggedTogetherRestartTheFileWhereSingleTextsWould)
{
    const std::string path = g_root + "/tmp/log/softswitch.log";
    sip_debug = 1;
    // Find a restart: the text that starts a fresh file is alone in it.
    std::ofstream(path) << "earlier\n";
    for (int i = 0; i <= kLogRestartWrites + 1; ++i) {
        Write_Log("x");
        Write_Log_Flush();
        if (std::filesystem::file_size(path) == 1) break;
    }
    ASSERT_EQ(log_text(), "x");
    for (int i = 0; i < kLogRestartWrites - 2; ++i) Write_Log("x");
    // The 20000th append and the restart fall inside the group.
    Write_Log_Texts({"a", "b", "c", std::string_view("d\0hidden", 8)});
    EXPECT_EQ(log_text(), "cd");
    Write_Log_Texts({"e", "\n"});
    EXPECT_EQ(log_text(), "cde\n");
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
