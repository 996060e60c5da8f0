// The gateway's configuration: tables read through their descriptors, flagged reloads and
// what each table's update applies; the clock synchronisation and the radio channel entry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <numeric>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "db_cfg.h"
#include "gate_test_board.h"
#include "main.h"
#include "multi_log.h"
#include "sharememory.h"
#include "struct_sys.h"
#include "text.h"
#include "user_dial.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// Makes the database with the fixture maker; extra is Python keyword arguments of make_db.
void make_db(const std::string& root, const std::string& extra = "")
{
    std::string script = root + "/make_db.py";
    write_file(script, "import sys\nsys.path.insert(0, '" GATE_SOURCE_DIR "/scripts')\nimport make_qvd_db\n"
                       "make_qvd_db.make_db('" + root + "/var/www/QVD.db'" + (extra.empty() ? "" : ", " + extra) + ")\n");
    ASSERT_EQ(std::system(("python3 " + script).c_str()), 0) << extra;
}

class Config : public GateTest {
protected:
    void SetUp() override
    {
        GateTest::SetUp();
    }
    void TearDown() override
    {
        DB_Exit();
        testing::internal::CaptureStdout();
        ShareMem_Free();
        testing::internal::GetCapturedStdout();
        remove_shm(key);
    }
    // Database, segment (on this process's key) and the first read of every table.
    void Start(const std::string& extra = "")
    {
        make_db(root, extra);
        ASSERT_EQ(DB_Init(), 0);
        testing::internal::CaptureStdout();
        ASSERT_NE(ShareMem_Create(key), nullptr);
        Sys_InitConfig();
        boxes = testing::internal::GetCapturedStdout();
    }
    void Sql(const std::string& sql)
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((root + "/var/www/QVD.db").c_str(), &db), SQLITE_OK);
        char* err = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "") << sql;
        sqlite3_free(err);
        sqlite3_close(db);
    }
    // The web program's save: change, flag, then one reload; what it printed.
    std::string Reload(const std::string& sql, volatile SYS_FLAG_E& flag)
    {
        if (!sql.empty()) Sql(sql);
        flag = E_FLAG_ON;
        testing::internal::CaptureStdout();
        Sys_GetConfig(E_TB_ALL);
        return testing::internal::GetCapturedStdout();
    }
    std::string boxes;
};

TEST_F(Config, FirstReadFillsTheLinesAndTheWorkingSettings)
{
    Start("lines=2, ini={'RTP_PORT_MIN': 30000, 'LOCAL_SIP_PORT': 5070, 'IP_SWITCH_1': '10.1.1.2', 'SYS_COMP_MODE': 2}");
    EXPECT_EQ(g_sUserInfo[0].m_iUserChn, 0);
    EXPECT_EQ(g_sUserInfo[1].m_iUserChn, 1);
    EXPECT_EQ(g_sUserInfo[2].m_iUserChn, -1);
    EXPECT_STREQ(g_sUserInfo[1].m_chUserTel, "8002");
    EXPECT_STREQ(g_sUserInfo[1].m_sRegInfo.m_chRegPwd, "pw8002");
    EXPECT_EQ(g_sUserInfo[1].m_sCfgCorAudio.m_iInhibitTime, 500);
    const FUNCTION_KEY_INFO_T& hang_up = g_sUserInfo[0].m_sKeyCfg.m_sKHangUp;
    EXPECT_STREQ(hang_up.m_chFuncKey, "##");
    EXPECT_EQ(hang_up.m_iKeyLen, 2);
    EXPECT_STREQ(hang_up.m_chFuncDescrip, "挂机功能键");
    EXPECT_STREQ(g_sUserInfo[0].m_sKeyCfg.m_sKReDial.m_chFuncDescrip, "关闭追呼功能键");
    const USER_CONFIG_FUNCK_T& keys = g_sUserInfo[1].m_sKeyCfg;
    EXPECT_EQ(keys.m_sKHangOff.m_fpFunc, User_OnHangOffKey);
    EXPECT_EQ(keys.m_sKHangUp.m_fpFunc, User_OnHangUpKey);
    EXPECT_EQ(keys.m_sKConDial.m_fpFunc, User_OnConDialKey);
    EXPECT_EQ(keys.m_sKHotLine.m_fpFunc, User_OnHotLineKey);
    EXPECT_EQ(keys.m_sKReDial.m_fpFunc, User_OnCancelReCallKey);
    EXPECT_EQ(g_sSysCfgInfo.m_iRtpPortMin, 30000);
    EXPECT_EQ(g_sSysCfgInfo.m_sSysServer.m_iLocalSipPort, 5070);
    EXPECT_STREQ(g_sSysCfgInfo.m_sSysServer.m_sServerAddr[1].ip, "10.1.1.2");
    EXPECT_EQ(g_sSysCfgInfo.m_sDevEnv.m_eSysCompMod, E_SYS_9W);
    EXPECT_EQ(g_sSysCfgInfo.m_sTimeCfg.m_iTNoAnswer, 60);
    EXPECT_EQ(g_sSysCfgInfo.m_iPttHotLineTime, 3000);
    // The address columns are read but not the board's: its own address comes from eth0.
    EXPECT_STREQ(g_sSysCfgInfo.m_sDevEnv.m_chLocalIP, "");
    EXPECT_EQ(g_DialRuleNum, 3);
    EXPECT_STREQ(g_sDialRuleTable[2].m_chRuleContent, "1[3-9]xxxxxxxxx");
    EXPECT_EQ(g_sSerialInfo[0].m_sComInfo.m_iBaudRate, 9600);
    EXPECT_EQ(g_pCgiShm->m_eLocked, FLAG_ALL_OFF);
    EXPECT_THAT(boxes, HasSubstr("|    TB_USER_COR [USER_CHN = 1]                             |\n"));
}

TEST_F(Config, ConvertedColumnsUseTheirOwnTable)
{
    Start();
    // One row per text: the column, the text stored, the value the line gets.
    struct Case {
        const char* column;
        const char* text;
        int want;
    } cases[] = {
        {"DTMF_TYPE", "DISABLE", E_DTMF_TYPE_NULL},  // its name, not the codec table's 0
        {"DTMF_TYPE", "INBAND", E_DTMF_TYPE_INBAND},
        {"DTMF_TYPE", "SIPINFO", E_DTMF_TYPE_SIPINFO},
        {"DTMF_TYPE", "RFC2833", E_DTMF_TYPE_RFC2833},
        {"DTMF_TYPE", "G711A", -1},
        {"DTMF_TYPE", "bogus", -1},
        {"CODE_FIRST", "G729", 3},
        {"CODE_FIRST", "DISABLE", 0},
        {"CODE_FIRST", "SIPINFO", -1},  // a DTMF name is no codec
        {"CODE_FIRST", "g711a", -1},    // exact names only
    };
    for (const Case& c : cases) {
        Reload(std::string("UPDATE TB_USER SET ") + c.column + "='" + c.text + "' WHERE USER_CHN=0;", g_pCgiShm->m_eUser[0]);
        int got = std::strcmp(c.column, "DTMF_TYPE") == 0 ? g_sUserInfo[0].m_eDtmfType : g_sUserInfo[0].m_eCodePriority[0];
        EXPECT_EQ(got, c.want) << c.column << "=" << c.text;
    }
}

TEST_F(Config, LineChangesAndWhatTheyStart)
{
    Start();
    // A setting outside the registration fields: applied, no registration change pending.
    Reload("UPDATE TB_USER SET RTP_INTERVAL=30 WHERE USER_CHN=1;", g_pCgiShm->m_eUser[1]);
    EXPECT_EQ(g_sUserInfo[1].m_iRtpPtime, 30);
    EXPECT_EQ(g_sUserInfo[1].m_iModFlag, 0);

    // A new password on an idle line: the change waits for the registration module.
    Reload("UPDATE TB_USER SET REG_PWD='secret' WHERE USER_CHN=1;", g_pCgiShm->m_eUser[1]);
    EXPECT_EQ(g_sUserInfo[1].m_iModFlag, 1);
    EXPECT_STREQ(g_sUserInfo[1].m_chNewRegPwd, "secret");
    EXPECT_STREQ(g_sUserInfo[1].m_chNewRegTel, "8002");
    EXPECT_STREQ(g_sUserInfo[1].m_sRegInfo.m_chRegPwd, "pw8002");  // the registration in use stays

    // The same on a line in a call says it waits for the line to become idle.
    g_sUserInfo[0].m_eUserStatus = E_USER_ON_TALKING;
    Reload("UPDATE TB_USER SET REG_EXPIRES=120 WHERE USER_CHN=0;", g_pCgiShm->m_eUser[0]);
    EXPECT_EQ(g_sUserInfo[0].m_iNewRegExpires, 120);
    EXPECT_THAT(Flow(), HasSubstr("通道[0]用户注册信息被修改,但用户处于[通话中],空闲后发起重注册"));

    // A row for a free slot adds the line.
    Reload("INSERT INTO TB_USER (USER_CHN, USER_TEL, REG_EXPIRES) VALUES (5, '8006', 90);", g_pCgiShm->m_eUser[5]);
    EXPECT_EQ(g_sUserInfo[5].m_iUserChn, 5);
    EXPECT_STREQ(g_sUserInfo[5].m_chUserTel, "8006");
    EXPECT_EQ(g_sUserInfo[5].m_sRegInfo.m_iRegExpires, 90);
    EXPECT_EQ(g_sUserInfo[5].m_iModFlag, 0);
}

TEST_F(Config, DeletedRowsWaitForIdleLines)
{
    Start();
    g_sUserInfo[1].m_eUserStatus = E_USER_ON_RING_183;
    Reload("DELETE FROM TB_USER WHERE USER_CHN=1;", g_pCgiShm->m_eUser[1]);
    EXPECT_EQ(g_sUserInfo[1].m_iDelFlag, 1);
    EXPECT_EQ(g_sUserInfo[1].m_iUserChn, 1);  // still in use until it is idle
    EXPECT_THAT(Flow(), HasSubstr("通道[1]用户被删除,但用户处于[收听彩铃],空闲后发起注销"));

    Reload("INSERT INTO TB_USER (USER_CHN, USER_TEL, REG_NAME, REG_PWD, REG_EXPIRES) VALUES (1, '8002', '8002', 'pw8002', 60);",
           g_pCgiShm->m_eUser[1]);
    EXPECT_EQ(g_sUserInfo[1].m_iDelFlag, 0);
    EXPECT_THAT(Flow(), HasSubstr("通道[1]用户取消注销"));

    g_sUserInfo[0].m_eUserStatus = E_USER_ON_IDLE;
    Reload("DELETE FROM TB_USER WHERE USER_CHN=0;", g_pCgiShm->m_eUser[0]);
    EXPECT_EQ(g_sUserInfo[0].m_iDelFlag, 1);
    EXPECT_THAT(Flow(), HasSubstr("通道[0]用户被删除,发起注销"));

    // A row missing for a free slot deletes nothing.
    std::string before = Flow();
    Reload("", g_pCgiShm->m_eUser[6]);
    EXPECT_EQ(g_sUserInfo[6].m_iDelFlag, 0);
    EXPECT_EQ(Flow(), before);
}

// The keys of the dial map the reader asks the database for, in order, seen through the
// statements the database runs.
class DialMapKeys {
public:
    DialMapKeys() { sqlite3_trace_v2(g_pDBHandler, SQLITE_TRACE_STMT, &DialMapKeys::Seen, this); }
    ~DialMapKeys() { sqlite3_trace_v2(g_pDBHandler, 0, nullptr, nullptr); }
    std::vector<int> keys;

private:
    static int Seen(unsigned, void* self, void*, void* x)
    {
        static const std::regex row(R"(^select \* from TB_DIAL_MAP where KEY_ID = '(\d+)';$)");
        std::cmatch m;
        if (!std::regex_match(static_cast<const char*>(x), m, row)) return 0;
        // One read may run its statement more than once (the count, then the rows).
        std::vector<int>& keys = static_cast<DialMapKeys*>(self)->keys;
        int key = std::stoi(m[1].str());
        if (keys.empty() || keys.back() != key) keys.push_back(key);
        return 0;
    }
};

std::vector<int> KeysFrom1To(int last)
{
    std::vector<int> v(static_cast<std::size_t>(last));
    std::iota(v.begin(), v.end(), 1);
    return v;
}

TEST_F(Config, DialMapReadsKeysUntilEveryRuleIsFound)
{
    Start("dial_map={1: '8xxx', 2: '9xxx', 5: '7x'}");
    EXPECT_EQ(g_DialRuleNum, 3);
    EXPECT_EQ(g_sDialRuleTable[4].m_iRuleKey, 5);
    EXPECT_STREQ(g_sDialRuleTable[4].m_chRuleContent, "7x");
    EXPECT_EQ(g_sDialRuleTable[2].m_iRuleKey, 0);
    EXPECT_THAT(boxes, HasSubstr("TB_DIAL_MAP [KEY_ID = 5]"));
    EXPECT_THAT(boxes, Not(HasSubstr("TB_DIAL_MAP [KEY_ID = 6]")));
    {
        DialMapKeys seen;
        Reload("", g_pCgiShm->m_eTBDialMap);
        EXPECT_EQ(seen.keys, KeysFrom1To(5));
    }

    // No rule left: nothing tells the reader where to stop, so it tries every key.
    DialMapKeys seen;
    Reload("DELETE FROM TB_DIAL_MAP;", g_pCgiShm->m_eTBDialMap);
    EXPECT_EQ(g_DialRuleNum, 0);
    EXPECT_EQ(g_sDialRuleTable[0].m_iRuleKey, 0);
    EXPECT_EQ(seen.keys, KeysFrom1To(128));
}

TEST_F(Config, NameValueRowsMissingOrTooLong)
{
    Start();
    std::string shown = Reload("DELETE FROM TB_INI WHERE M_NAME='LOG_LEVEL';"
                               "UPDATE TB_INI SET M_VALUE='123456789' WHERE M_NAME='REQUEST_PRO';"
                               "UPDATE TB_INI SET M_VALUE='31000' WHERE M_NAME='RTP_PORT_MIN';",
                               g_pCgiShm->m_eTBIni);
    EXPECT_EQ(g_sDBInfo.m_sSysCfgInfo.m_sLogInfo.m_iLogLvl, 0);  // the empty text read as a number
    EXPECT_STREQ(g_sDBInfo.m_sSysCfgInfo.m_chrequestpro, "1234567");
    EXPECT_EQ(g_sSysCfgInfo.m_iRtpPortMin, 31000);
    EXPECT_THAT(shown, HasSubstr("| REQUEST_PRO                 | 1234567                     |\n"));
    // Level 0 admits nothing from then on.
    EXPECT_EQ(MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "x"), -1);
}

TEST_F(Config, ABusyDatabaseLeavesEverythingAsItWas)
{
    Start();
    sqlite3* web = nullptr;
    ASSERT_EQ(sqlite3_open((root + "/var/www/QVD.db").c_str(), &web), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(web, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
    g_pCgiShm->m_eUser[1] = E_FLAG_ON;
    g_pCgiShm->m_eTBIni = E_FLAG_ON;
    g_sDBInfo.m_sSysCfgInfo.m_iRtpPortMin = 4242;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Sys_GetConfig(E_TB_ALL), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(g_pCgiShm->m_eUser[1], E_FLAG_ON);
    EXPECT_EQ(g_pCgiShm->m_eTBIni, E_FLAG_ON);
    EXPECT_EQ(g_pCgiShm->m_eLocked, FLAG_ALL_OFF);
    EXPECT_EQ(g_sDBInfo.m_sSysCfgInfo.m_iRtpPortMin, 4242);
    EXPECT_EQ(g_sUserInfo[1].m_iUserChn, 1);
    EXPECT_EQ(g_sUserInfo[1].m_iDelFlag, 0);

    sqlite3_exec(web, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(web);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Sys_GetConfig(E_TB_ALL), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(g_pCgiShm->m_eUser[1], E_FLAG_OFF);
    EXPECT_EQ(g_sDBInfo.m_sSysCfgInfo.m_iRtpPortMin, 20000);
}

TEST_F(Config, StartUpWaitsForASaveInProgress)
{
    make_db(root);
    ASSERT_EQ(DB_Init(), 0);
    sqlite3* web = nullptr;
    ASSERT_EQ(sqlite3_open((root + "/var/www/QVD.db").c_str(), &web), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(web, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread save([web] {
        usleep(400000);
        sqlite3_exec(web, "COMMIT;", nullptr, nullptr, nullptr);
    });
    testing::internal::CaptureStdout();
    ASSERT_NE(ShareMem_Create(key), nullptr);
    Sys_InitConfig();
    testing::internal::GetCapturedStdout();
    save.join();
    sqlite3_close(web);
    EXPECT_EQ(g_sUserInfo[1].m_iUserChn, 1);
    EXPECT_EQ(g_sSysCfgInfo.m_iRtpPortMin, 20000);
    EXPECT_EQ(g_pCgiShm->m_eTBIni, E_FLAG_OFF);
}

TEST_F(Config, NothingIsReadWhileTheWebProgramHoldsTheLock)
{
    Start();
    g_pCgiShm->m_eLocked = FLAG_WEB_ON;
    g_pCgiShm->m_eTBIni = E_FLAG_ON;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Sys_GetConfig(E_TB_ALL), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(g_pCgiShm->m_eTBIni, E_FLAG_ON);
    EXPECT_EQ(g_pCgiShm->m_eLocked, FLAG_WEB_ON);
}

TEST_F(Config, RadioChannelFromTheHttpRequest)
{
    Start();
    // One row per request: the channel asked for, the value stored, the radio channel set.
    struct Case {
        int asked, stored, radio;
    } cases[] = {{0, -1, 0}, {1, 0, 1}, {15, 14, 15}, {16, -1, 0}, {-3, -1, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(HTTP_Deal_ChannelSwitch(c.asked), 0) << c.asked;
        EXPECT_EQ(g_sDBInfo.m_sSysCfgInfo.m_iChnSwitch, c.stored);
        sqlite3* db = nullptr;
        sqlite3_open((root + "/var/www/QVD.db").c_str(), &db);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT M_VALUE FROM TB_INI WHERE M_NAME='CHANNEL_SWITCH';", -1, &st, nullptr);
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(st, 0), c.stored) << c.asked;
        sqlite3_finalize(st);
        sqlite3_close(db);
        EXPECT_THAT(Flow(), HasSubstr("设置车台通为[" + std::to_string(c.radio) + "]"));
    }
    // Without the row the write says it failed.
    Sql("DELETE FROM TB_INI WHERE M_NAME='CHANNEL_SWITCH';");
    testing::internal::CaptureStdout();
    EXPECT_EQ(HTTP_Deal_ChannelSwitch(3), -1);
    testing::internal::GetCapturedStdout();
}

TEST(ChannelWrite, NeverCreatesTheDatabase)
{
    std::string root = gate_test_root();
    std::remove((root + "/var/www/QVD.db").c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(DB_Update_ChannleSwitch(3), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "UPDATE CHANNEL_SWITCH error ,DB name:/var/www/QVD.db, table:TB_INI, check db file\n");
    EXPECT_FALSE(std::filesystem::exists(root + "/var/www/QVD.db"));
}

class TimeSync : public Config {
protected:
    void Arm(SYS_TIME_SYN_TYPE_E type, const char* server = "", int expires = 3600)
    {
        SYS_TIME_SYN_T& ts = g_sSysCfgInfo.m_sTimeSyn;
        ts.m_eSynType = type;
        ts.m_iSynExpires = expires;
        copy_text(ts.m_sNtpServer.ip, server);
        ts.m_eSynOn = E_FLAG_ON;
    }
};

TEST_F(TimeSync, SipDateSetsTheClockOnce)
{
    gate_test_root();
    Arm(E_TIME_SYN_SIP_MSG);
    Sys_TimeSync("Thu, 07 May 2025 11:01:14 GMT");
    EXPECT_THAT(shell_log(), HasSubstr("killall ntpclient 2>/dev/null\ndate -u 050711012025.14\n"));
    EXPECT_EQ(g_sSysCfgInfo.m_sTimeSyn.m_eSynOn, E_FLAG_OFF);
    EXPECT_THAT(Flow(), HasSubstr("[SystemTimeSync]-- Sip消息时间同步 !!!!SynTime     From[Thu, 07 May 2025 11:01:14 GMT] "
                                  "Dst[2025/05/07 11:01:14],cmd[date -u 050711012025.14]"));
    std::string before = shell_log();
    Sys_TimeSync("Fri, 08 May 2025 11:01:14 GMT");  // disarmed: nothing
    EXPECT_EQ(shell_log(), before);
}

TEST_F(TimeSync, DatesThatDoNotParseSetNothing)
{
    std::size_t before = shell_log().size();
    // One row per Date text that must not reach the clock.
    for (const char* date : {"garbage", "Thu, 32 May 2025 11:01:14 GMT", "Thu, 07 Mai 2025 11:01:14 GMT",
                             "Thu, 07 May 1900 11:01:14 GMT", "", "Thu, 07 May 2025 25:01:14 GMT"}) {
        Arm(E_TIME_SYN_SIP_MSG);
        Sys_TimeSync(date);
        EXPECT_EQ(g_sSysCfgInfo.m_sTimeSyn.m_eSynOn, E_FLAG_ON) << date;
    }
    Sys_TimeSync(nullptr);  // a failed registration: no date, still armed
    EXPECT_EQ(g_sSysCfgInfo.m_sTimeSyn.m_eSynOn, E_FLAG_ON);
    EXPECT_THAT(shell_log().substr(before), Not(HasSubstr("date -u")));
}

TEST_F(TimeSync, NtpServerMustBeAHostName)
{
    gate_test_root();
    // One row per server text: whether ntpclient is started with it.
    struct Case {
        const char* server;
        bool started;
    } cases[] = {
        {"ntp-1.example.org", true}, {"192.168.0.7", true}, {"a;reboot", false}, {"$(reboot)", false},
        {"a b", false},              {"", false},           {"x|y", false},
    };
    for (const Case& c : cases) {
        Arm(E_TIME_SYN_NTP, c.server, 300);
        std::string before = shell_log();
        Sys_TimeSync(nullptr);
        std::string added = shell_log().substr(before.size());
        if (c.started) {
            EXPECT_EQ(added, std::string("killall ntpclient 2>/dev/null;ntpclient --timer 300 ") + c.server + " &\n");
            EXPECT_EQ(g_sSysCfgInfo.m_sTimeSyn.m_eSynOn, E_FLAG_OFF);
        } else {
            EXPECT_EQ(added, "") << c.server;
        }
    }
    EXPECT_THAT(read_file(root + "/var/standin.log"), Not(HasSubstr("reboot")));
}

TEST_F(TimeSync, NtpServerTextStartingWithAHyphenIsNotPassedAsAnOption)
{
    gate_test_root();
    // Each of these would reach ntpclient as an option in the server's place.
    for (const char* server : {"-s", "--help", "-h.example.org"}) {
        Arm(E_TIME_SYN_NTP, server, 300);
        std::string before = shell_log();
        Sys_TimeSync(nullptr);
        EXPECT_EQ(shell_log().substr(before.size()), "") << server;
        EXPECT_EQ(g_sSysCfgInfo.m_sTimeSyn.m_eSynOn, E_FLAG_ON) << server;
    }
}

TEST_F(TimeSync, SipSynchronisationIsArmedAgainAfterItsExpiry)
{
    gate_test_root();
    Arm(E_TIME_SYN_SIP_MSG, "", 3);
    Sys_TimeSync("Thu, 07 May 2025 11:01:14 GMT");
    ASSERT_EQ(g_sSysCfgInfo.m_sTimeSyn.m_eSynOn, E_FLAG_OFF);
    for (int s = 1; s <= 3; ++s) {
        Sys_CheckTimeSyncExpires();
        EXPECT_EQ(g_sSysCfgInfo.m_sTimeSyn.m_eSynOn, E_FLAG_OFF) << s;
    }
    Sys_CheckTimeSyncExpires();
    EXPECT_EQ(g_sSysCfgInfo.m_sTimeSyn.m_eSynOn, E_FLAG_ON);
    EXPECT_THAT(Flow(), HasSubstr("时间同步计数器[4] > 时间同步周期Expires[3], 进行时间同步"));

    // Other types never count.
    Arm(E_TIME_SYN_OFF, "", 0);
    g_sSysCfgInfo.m_sTimeSyn.m_eSynOn = E_FLAG_OFF;
    for (int s = 0; s < 5; ++s) Sys_CheckTimeSyncExpires();
    EXPECT_EQ(g_sSysCfgInfo.m_sTimeSyn.m_eSynOn, E_FLAG_OFF);
}

TEST_F(TimeSync, ChangedSettingsArmAndRunAtOnce)
{
    Start("ini={'MODE_TIME_SYNC': 1, 'SYNC_TIME_EXPIRES': 77, 'ADDR_NTP_SERVER': 'time.example.net'}");
    EXPECT_THAT(shell_log(), HasSubstr("ntpclient --timer 77 time.example.net &\n"));
    std::string before = shell_log();
    Reload("", g_pCgiShm->m_eTBIni);  // unchanged settings: no new synchronisation
    EXPECT_EQ(shell_log(), before);
    Reload("UPDATE TB_INI SET M_VALUE='2' WHERE M_NAME='MODE_TIME_SYNC';", g_pCgiShm->m_eTBIni);
    EXPECT_EQ(shell_log().substr(before.size()), "killall ntpclient 2>/dev/null\n");
}

TEST(KeyFormat, DspCodesAsDialCharacters)
{
    struct Case {
        int code;
        char want;
    } cases[] = {{0, '0'}, {9, '9'}, {10, '*'}, {11, '#'}, {12, static_cast<char>(255)}, {-1, static_cast<char>(255)}};
    for (const Case& c : cases) EXPECT_EQ(SystemChangeFormatOfKey(c.code), c.want) << c.code;
}

TEST(Interfaces, IpLineIsRewritten)
{
    std::string root = gate_test_root();
    write_file(root + "/root/interfaces", "name=eth0\nip=\"10.0.0.5\"\nmask=255.0.0.0\n");
    EXPECT_EQ(Sys_SetInterfaceIP("192.168.7.7"), 0);
    EXPECT_EQ(read_file(root + "/root/interfaces"), "name=eth0\nip=\"192.168.7.7\"\nmask=255.0.0.0\n");
    // A file too big to rewrite whole is left as it is.
    std::string big(2000, 'x');
    std::string lines;
    for (std::size_t i = 0; i < big.size(); i += 100) lines += big.substr(i, 99) + "\n";
    write_file(root + "/root/interfaces", lines + "ip=1\n");
    EXPECT_EQ(Sys_SetInterfaceIP("1.2.3.4"), -1);
    EXPECT_EQ(read_file(root + "/root/interfaces"), lines + "ip=1\n");
}

TEST(Interfaces, OnlyADottedAddressIsWritten)
{
    std::string root = gate_test_root();
    const std::string before = "name=eth0\nip=\"10.0.0.5\"\nmask=255.0.0.0\n";
    // A quote or a line end would break the file's line; a long text would lose its closing quote.
    const std::string long_text(80, '9');
    for (const char* address : {"1.2.3.4\"; reboot; \"", "1.2.3.4\nmask=0.0.0.0", long_text.c_str(), ""}) {
        write_file(root + "/root/interfaces", before);
        EXPECT_EQ(Sys_SetInterfaceIP(address), -1) << address;
        EXPECT_EQ(read_file(root + "/root/interfaces"), before) << address;
    }
    EXPECT_EQ(Sys_SetInterfaceIP(nullptr), -1);
}

TEST(SwitchByAddr, FirstSoftswitchWithThePort)
{
    for (int i = 0; i < kMaxSwitchAddr; ++i) g_sSysCfgInfo.m_sSysServer.m_sServerAddr[i].port = 5060 + (i == 2 ? 10 : 0);
    IPV4_ADDRESS a{"1.1.1.1", 5070};
    EXPECT_EQ(Sys_GetSwitchEnumByAddr(&a), 2);
    a.port = 5060;
    EXPECT_EQ(Sys_GetSwitchEnumByAddr(&a), 0);
    a.port = 1;
    EXPECT_EQ(Sys_GetSwitchEnumByAddr(&a), -1);
    EXPECT_EQ(Sys_GetSwitchEnumByAddr(nullptr), -1);
}

TEST(QueryLayer, CheckedCountTellsNoRowsFromABusyDatabase)
{
    std::string root = gate_test_root();
    make_db(root);
    Database db = Query_Connect("/var/www/QVD.db");
    ASSERT_NE(db, nullptr);
    sqlite3_busy_timeout(db, 20);
    Dataset none = Query_Open(db, "SELECT * FROM TB_USER WHERE USER_CHN = 7;");
    Dataset two = Query_Open(db, "SELECT * FROM TB_USER;");
    EXPECT_EQ(Query_RecCountChecked(none), 0);
    EXPECT_EQ(Query_RecCountChecked(two), 2);

    sqlite3* web = nullptr;
    ASSERT_EQ(sqlite3_open((root + "/var/www/QVD.db").c_str(), &web), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(web, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(Query_RecCount(two), 0);           // the plain count cannot tell...
    EXPECT_EQ(Query_RecCountChecked(two), -1);   // ...the checked one can
    EXPECT_EQ(Query_RecCountChecked(nullptr), -1);
    sqlite3_exec(web, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(web);
    EXPECT_EQ(Query_RecCountChecked(two), 2);
    Query_Close(none);
    Query_Close(two);
    Query_Disconnect(db);
}

}  // namespace
