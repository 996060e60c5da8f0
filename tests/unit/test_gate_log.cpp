// The gateway's multi-file logger and its value-to-text tables.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "gate_test_board.h"
#include "multi_log.h"
#include "print_sys.h"

namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;

// "YYYY-mm-dd HH:MM:SS"
bool IsStamp(const std::string& s)
{
    const std::string shape = "dddd-dd-dd dd:dd:dd";
    if (s.size() != shape.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        bool digit = std::isdigit(static_cast<unsigned char>(s[i])) != 0;
        if (shape[i] == 'd' ? !digit : s[i] != shape[i]) return false;
    }
    return true;
}

class Logger : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = gate_test_root();
        fresh_logger();
    }
    // Registers one file of the given type under /tmp/log with the given numbers.
    int Register(LOG_FILE_E type, const char* name, int rows = 0, int baks = 0, int level = 0, int chns = 0)
    {
        path = std::string("/tmp/log/") + name;
        bak = std::string("/root/log/") + name;
        LOG_INIT_T req{type, static_cast<LOG_LEVEL_E>(level), chns, rows, baks, path.c_str(), bak.c_str()};
        return MultiLog_Init(&req, 1);
    }
    std::string Live() { return read_file(root + path); }

    std::string root, path, bak;
};

TEST_F(Logger, EntryFilterByLevelAndChannel)
{
    ASSERT_EQ(Register(E_LOG_FILE_FLOW, "filter.log"), 0);
    ASSERT_EQ(MultiLog_SetMaxPrintLevel(E_LOG_FILE_FLOW, LOG_LVL_FLOW), 0);
    // One row per behaviour: level, channel, whether the entry is written.
    struct Case {
        int level, chn;
        bool written;
    } cases[] = {
        {LOG_LVL_DEBUG, -1, false},  // 16 exceeds the maximum 8
        {LOG_LVL_FLOW, -1, true},
        {LOG_LVL_SIMPLE, 3, true},   // a numeric compare: 4 is below 8
        {LOG_LVL_ERROR, 32, true},   // the default maximum channel is 32
        {LOG_LVL_FLOW, 33, false},
        {LOG_LVL_MAX, -1, false},
    };
    for (const Case& c : cases) {
        std::size_t before = count_of(Live(), "\r\n\n");
        int r = MULTI_LOG(E_LOG_FILE_FLOW, c.level, c.chn, "level %d chn %d", c.level, c.chn);
        EXPECT_EQ(r == 0, c.written) << c.level << "/" << c.chn;
        EXPECT_EQ(count_of(Live(), "\r\n\n") - before, c.written ? 1u : 0u) << c.level << "/" << c.chn;
    }
    EXPECT_EQ(MultiLog_SetMaxPrintLevel(E_LOG_FILE_FLOW, 65), -1);
    EXPECT_EQ(MultiLog_SetMaxPrintLevel(E_LOG_FILE_REG, 8), -1);  // no file of that type
}

TEST_F(Logger, EntryFormats)
{
    ASSERT_EQ(Register(E_LOG_FILE_CFG, "format.log"), 0);
    g_MultiLog_Print = 1;
    testing::internal::CaptureStdout();
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_FLOW, 5, "plain %s", "text");
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_WARNNING, -1, "careful");
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_ERROR, 2, "broken");
    std::string echoed = testing::internal::GetCapturedStdout();
    std::string live = Live();
    EXPECT_EQ(echoed, live);
    // One row per entry, in order: what comes before the time stamp, and the tail after the
    // source place.
    struct Want {
        const char *head, *tail;
    } want[] = {
        {"[lv:3][chn:   5]: plain text <", "\r\n\n"},
        {"\x1b[1;37;40m[lv:1][chn:  -1][WARNING]:\x1b[0;37;40m careful  <", "\x1b[0m\r\n\n"},
        {"\x1b[1;37;40m[lv:0][chn:   2][ERROR]:\x1b[0;37;40m broken  <", "\x1b[0m\r\n\n"},
    };
    std::size_t at = 0;
    for (const Want& w : want) {
        std::size_t end = live.find("\r\n\n", at);
        ASSERT_NE(end, std::string::npos) << live;
        std::string entry = live.substr(at, end + 3 - at);
        at = end + 3;
        ASSERT_EQ(entry.rfind(w.head, 0), 0u) << entry;
        std::string rest = entry.substr(std::strlen(w.head));
        // "YYYY-mm-dd HH:MM:SS><test_gate_log.cpp:N>" then the tail.
        ASSERT_GT(rest.size(), 21u) << entry;
        EXPECT_TRUE(IsStamp(rest.substr(0, 19))) << entry;
        rest = rest.substr(19);
        EXPECT_EQ(rest.rfind("><test_gate_log.cpp:", 0), 0u) << entry;
        EXPECT_THAT(rest, EndsWith(std::string(">") + w.tail)) << entry;
    }
    EXPECT_EQ(at, live.size());
}

TEST_F(Logger, LongTextIsCutButKeepsItsLineEnd)
{
    ASSERT_EQ(Register(E_LOG_FILE_FLOW, "long.log"), 0);
    std::string format(1601, 'f');
    EXPECT_EQ(MultiLog_Process(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "x.cpp", 1, format.c_str(), 0), -1);
    EXPECT_EQ(Live(), "");

    // Each row: the text and the tail every entry must keep.
    struct Case {
        int level;
        const char* tail;
    } cases[] = {{LOG_LVL_FLOW, "\r\n\n"}, {LOG_LVL_ERROR, "\x1b[0m\r\n\n"}};
    for (const Case& c : cases) {
        std::string before = Live();
        std::string text(3000, 'a');
        MULTI_LOG(E_LOG_FILE_FLOW, c.level, -1, "%s", text.c_str());
        std::string entry = Live().substr(before.size());
        EXPECT_EQ(entry.size(), 255u);
        EXPECT_THAT(entry, EndsWith(c.tail));
        EXPECT_EQ(count_of(entry, "\n"), 2u);
    }
    // A cut never leaves half of a two-byte character before the line end.
    std::string before = Live();
    std::string wide;
    for (int i = 0; i < 200; ++i) wide += "\xb5\xc8";  // one GBK character
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "x%s", wide.c_str());
    std::string entry = Live().substr(before.size());
    std::string body = entry.substr(0, entry.size() - 3);
    std::size_t first = body.find('\xb5');
    EXPECT_EQ((body.size() - first) % 2, 0u) << "split character";
    EXPECT_THAT(entry, EndsWith("\r\n\n"));
}

TEST_F(Logger, ExistingFileCountsOnAndRotatesPastTheLimit)
{
    // 4000 lines are 2000 entries; a file takes entries until it holds one more than its
    // limit, so with a limit of 2000 one more entry fits and the next one rotates.
    std::string lines;
    for (int i = 0; i < 4000; ++i) lines += "old\n";
    write_file(root + "/tmp/log/count.log", lines);
    ASSERT_EQ(Register(E_LOG_FILE_REG, "count.log"), 0);
    ASSERT_EQ(MultiLog_SetMaxRowNum(E_LOG_FILE_REG, 2000), 0);
    EXPECT_EQ(MultiLog_SetMaxRowNum(E_LOG_FILE_REG, -1), -1);

    MULTI_LOG(E_LOG_FILE_REG, LOG_LVL_FLOW, -1, "one more");
    EXPECT_EQ(count_of(shell_log(), "mv "), 0u);
    EXPECT_EQ(Live().substr(0, lines.size()), lines);
    MULTI_LOG(E_LOG_FILE_REG, LOG_LVL_FLOW, -1, "first of the new file");
    EXPECT_THAT(shell_log(), HasSubstr("mv " + root + "/tmp/log/count.log " + root + "/root/log/count.log_0_"));
    EXPECT_EQ(count_of(Live(), "\r\n\n"), 1u);
    EXPECT_THAT(Live(), HasSubstr("first of the new file"));
}

TEST_F(Logger, BackupIndexesAreReusedInTurn)
{
    ASSERT_EQ(Register(E_LOG_FILE_CFG, "cycle.log", /*rows=*/1, /*baks=*/3), 0);
    // With a limit of 1 every second entry moves the file: backups 0, 1, 2, then 0 again,
    // each first dropping every older backup of its index.
    for (int i = 0; i < 9; ++i) MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_FLOW, -1, "entry %d", i);
    std::string shell = shell_log();
    std::string rm = "rm -f " + root + "/root/log/cycle.log_";
    std::size_t at0 = shell.find(rm + "0_*.bak");
    std::size_t at1 = shell.find(rm + "1_*.bak");
    std::size_t at2 = shell.find(rm + "2_*.bak");
    std::size_t again0 = shell.find(rm + "0_*.bak", at0 + 1);
    ASSERT_NE(at0, std::string::npos);
    EXPECT_LT(at0, at1);
    EXPECT_LT(at1, at2);
    EXPECT_LT(at2, again0);
    EXPECT_NE(again0, std::string::npos);
    EXPECT_EQ(count_of(shell, "mv " + root + "/tmp/log/cycle.log "), 4u);
}

TEST_F(Logger, RegistrationLimits)
{
    LOG_INIT_T many[11] = {};
    for (auto& r : many) r = {E_LOG_FILE_CFG, LOG_LVL_FLOW, 0, 0, 0, "/tmp/log/many.log", "/root/log/many.log"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(MultiLog_Init(many, 11), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[MultiLog_Init] -- init file too many\n");
    EXPECT_EQ(MultiLog_Init(nullptr, 1), -1);

    EXPECT_EQ(MultiLog_Init(many, 9), 0);  // slots 1 to 9
    EXPECT_EQ(MultiLog_Init(many, 1), -1);  // a tenth: no slot left

    LOG_INIT_T bad{static_cast<LOG_FILE_E>(3), LOG_LVL_FLOW, 0, 0, 0, "/tmp/log/bad.log", "/root/log/bad.log"};
    MultiLog_Quit();
    testing::internal::CaptureStderr();
    EXPECT_EQ(MultiLog_Init(&bad, 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[Static_InitLog] -- 参数传入错误\n");
}

TEST_F(Logger, NothingIsWrittenAfterQuit)
{
    ASSERT_EQ(Register(E_LOG_FILE_FLOW, "quit.log"), 0);
    EXPECT_EQ(MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "before"), 0);
    MultiLog_Quit();
    EXPECT_EQ(MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "after"), -1);
    EXPECT_EQ(count_of(Live(), "\r\n\n"), 1u);
}

TEST(PrintEnum, TextsAndMissingValues)
{
    // One row per behaviour: table, value, text.
    struct Case {
        const PRINT_INT_TO_CHAR_T* table;
        int value;
        const char* want;
    } cases[] = {
        {g_sPrintToneType, -1, "未播放任何语音"},  // -1 is an ordinary value
        {g_sPrintToneType, 7, "NONE"},
        {g_sPrintLineStatus, 8, "等待接通 "},
        {g_sPrintUserStatus, 15, "通话中， 有新呼叫呼入"},
        {g_sPrintRegServer, 4, "Over Range"},
        {g_sPrintFlag, 0, "关闭"},
        {g_sPrintAudioCodeType, 5, ""},  // missing: the empty text, never null
        {g_sPrintRegResult, -1, ""},
        {nullptr, 0, ""},
    };
    for (const Case& c : cases) {
        const char* text = PrintEnum(c.table, c.value);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, c.want) << c.value;
    }
    EXPECT_EQ(PrintEnumOrNull(g_sPrintAudioCodeType, 5), nullptr);
}

}  // namespace
