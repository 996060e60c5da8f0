// Dialling: the dial map as a table, and keys heard by the simulated DSP on a line in one
// process (line_calls_fixture.h), where a test party plays the softswitch that receives the
// INVITEs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "line_calls_fixture.h"
#include "user_dial.h"

namespace {

using ::testing::HasSubstr;
using namespace linetest;

// The rule table as the configuration leaves it: rows by key (1 ..), and the count it read.
void SetRules(const std::vector<std::pair<int, const char*>>& rows, int count)
{
    std::memset(g_sDialRuleTable, 0, sizeof g_sDialRuleTable);
    for (const auto& [key, rule] : rows) {
        g_sDialRuleTable[key - 1].m_iRuleKey = key;
        copy_text(g_sDialRuleTable[key - 1].m_chRuleContent, rule);
    }
    g_DialRuleNum = count;
}
void SetRules(const std::vector<const char*>& rules)
{
    std::vector<std::pair<int, const char*>> rows;
    for (const char* r : rules) rows.emplace_back(static_cast<int>(rows.size()) + 1, r);
    SetRules(rows, static_cast<int>(rows.size()));
}

// ---- the dial map

TEST(DialMap, OneRuleAgainstANumber)
{
    struct Case {
        const char* rule;
        const char* number;
        MATCH_TYPE_E want;
    } cases[] = {
        {"8001", "8001", E_ALL_MATCH},
        {"8001", "800", E_PART_MATCH},
        {"8001", "8002", E_NO_MATCH},
        {"8001", "80011", E_NO_MATCH},  // the rule ends first
        {"8xxx", "8123", E_ALL_MATCH},
        {"8xxx", "81", E_PART_MATCH},
        {"8xxx", "9123", E_NO_MATCH},
        {"8xxx", "81234", E_NO_MATCH},
        {"xx", "*#", E_ALL_MATCH},    // any key
        {"12#", "12#", E_ALL_MATCH},  // '#' is a digit of a rule like any other
        {"*7x", "*71", E_ALL_MATCH},
        {"", "1", E_NO_MATCH},
        {"8xxx", "", E_PART_MATCH},
        // lists: elements, ranges, the last element
        {"[1,3-5,8]", "1", E_ALL_MATCH},
        {"[1,3-5,8]", "3", E_ALL_MATCH},
        {"[1,3-5,8]", "4", E_ALL_MATCH},
        {"[1,3-5,8]", "5", E_ALL_MATCH},
        {"[1,3-5,8]", "8", E_ALL_MATCH},
        {"[1,3-5,8]", "2", E_NO_MATCH},
        {"[1,3-5,8]", "6", E_NO_MATCH},
        {"[1,3-5,8]", "9", E_NO_MATCH},
        {"[12]", "2", E_ALL_MATCH},  // without commas only the last element counts
        {"[12]", "1", E_NO_MATCH},
        {"[0-9]", "*", E_NO_MATCH},
        {"[0-9]", "#", E_NO_MATCH},
        {"1[3-9]xxxxxxxxx", "13912345678", E_ALL_MATCH},
        {"1[3-9]xxxxxxxxx", "12912345678", E_NO_MATCH},
        {"1[3-9]xxxxxxxxx", "139", E_PART_MATCH},
        {"1[3-9]xxxxxxxxx", "1", E_PART_MATCH},
        {"[1-3]x", "25", E_ALL_MATCH},
        {"[1-3]x", "2", E_PART_MATCH},
        {"x[1-3]", "92", E_ALL_MATCH},
        // a list that is not closed before the rule ends makes the rule match nothing, not even
        // the digits before it
        {"8[1", "81", E_NO_MATCH},
        {"8[1", "8", E_NO_MATCH},
        {"8x[1]x[2", "8", E_NO_MATCH},
        {"[1,3", "1", E_NO_MATCH},
        {"[1,3", "3", E_NO_MATCH},
        {"[1-", "1", E_NO_MATCH},
        {"[1-5", "3", E_NO_MATCH},
        {"[", "1", E_NO_MATCH},
        {"8[", "8", E_NO_MATCH},
        {"8[1]x", "81", E_PART_MATCH},
        {"[]", "1", E_NO_MATCH},
    };
    for (const Case& c : cases) EXPECT_EQ(UserMatchRule(c.number, c.rule), c.want) << c.rule << " ~ " << c.number;
    EXPECT_EQ(UserMatchRule(nullptr, "8xxx"), E_NO_MATCH);
    EXPECT_EQ(UserMatchRule("8001", nullptr), E_NO_MATCH);
}

TEST(DialMap, ANumberIsCompleteWhenOneRuleMatchesItWholeAndNoneCouldMatchMore)
{
    using Rows = std::vector<std::pair<int, const char*>>;
    struct Case {
        const char* what;
        Rows rows;
        int count;  // the rule count the configuration read
        const char* number;
        int want;
    } cases[] = {
        {"8xx and 8xxx: one whole, one part", {{1, "8xx"}, {2, "8xxx"}}, 2, "812", 0},
        {"8xx and 8xxx: four digits", {{1, "8xx"}, {2, "8xxx"}}, 2, "8123", 1},
        {"8xx: two digits wait", {{1, "8xx"}}, 1, "81", 0},
        {"8xx: three digits", {{1, "8xx"}}, 1, "812", 1},
        {"8xx: no rule for 912", {{1, "8xx"}}, 1, "912", 0},
        {"two whole matches", {{1, "8xxx"}, {2, "8[0-9]xx"}}, 2, "8123", 0},
        {"defaults", {{1, "8xxx"}, {2, "9xxxxxxx"}, {3, "1[3-9]xxxxxxxxx"}}, 3, "8002", 1},
        {"'#' of a rule", {{1, "12#"}}, 1, "12#", 1},
        {"rows with gaps", {{1, "8xx"}, {5, "9xx"}}, 2, "912", 1},
        {"the count stops the walk", {{1, "8xx"}, {5, "9xx"}}, 1, "912", 0},
        {"no count: every row", {{1, "8xx"}, {128, "9xx"}}, 0, "912", 1},
        {"failed count: every row", {{1, "8xx"}, {128, "9xx"}}, -1, "912", 1},
        {"empty number", {{1, "8xx"}}, 1, "", 0},
    };
    for (const Case& c : cases) {
        SetRules(c.rows, c.count);
        EXPECT_EQ(UserCheckNumInDialMap(c.number), c.want) << c.what;
    }
    // A rule filled to the last byte of its field is read whole and no further.
    SetRules({}, 1);
    g_sDialRuleTable[0].m_iRuleKey = 1;
    std::memset(g_sDialRuleTable[0].m_chRuleContent, 'x', sizeof g_sDialRuleTable[0].m_chRuleContent);
    EXPECT_EQ(UserCheckNumInDialMap(std::string(63, '1').c_str()), 0);
    EXPECT_EQ(UserCheckNumInDialMap(std::string(64, '1').c_str()), 1);
    EXPECT_EQ(UserCheckNumInDialMap(std::string(65, '1').c_str()), 0);
    SetRules({}, 0);
}

// ---- keys on a line

class LineDial : public LineCalls {
protected:
    void SetUp() override
    {
        LineCalls::SetUp();
        for (int line = 0; line < 2; ++line) {
            USER_INFO_T& u = U(line);
            u.m_iKeyEnable = 1;
            SetKey(u.m_sKeyCfg.m_sKHangOff, "*0", User_OnHangOffKey);
            SetKey(u.m_sKeyCfg.m_sKHangUp, "##", User_OnHangUpKey);
            SetKey(u.m_sKeyCfg.m_sKConDial, "*9", User_OnConDialKey);
            SetKey(u.m_sKeyCfg.m_sKHotLine, "*8", User_OnHotLineKey);
            SetKey(u.m_sKeyCfg.m_sKReDial, "*7", User_OnCancelReCallKey);
            copy_text(u.m_chHotLine, "9555");
        }
        g_sSysCfgInfo.m_eShappSubmit = E_SUBMIT_KEY;
        SetRules({"8xxx", "9xxxxxxx", "1[3-9]xxxxxxxxx"});
    }
    void TearDown() override
    {
        SetRules({}, 0);
        g_sSysCfgInfo.m_iPttHotLineTime = 0;
        LineCalls::TearDown();
    }

public:
    static void SetKey(FUNCTION_KEY_INFO_T& key, const char* digits, USER_FUNC_KEY_CALLBACK handler)
    {
        copy_text(key.m_chFuncKey, digits);
        key.m_iKeyLen = static_cast<int>(std::strlen(digits));
        key.m_fpFunc = handler;
    }

    // Keys heard on the line's DSP channel 100 ms apart; the loop runs on to just past the last.
    void Keys(const std::string& keys, int line = 0)
    {
        sim("event " + std::to_string(line + kDspOffset) + " digits " + keys);
        Step(100 * static_cast<int>(keys.size()) - 90);
    }
    // The number of the next INVITE the switch receives within max_ms, "" when none comes.
    std::string Dialled(int max_ms = 100)
    {
        invite = Await("INVITE", max_ms);
        if (invite.empty()) return {};
        const std::size_t at = invite.find("sip:") + 4;
        return invite.substr(at, invite.find('@') - at);
    }
    // Ends a call the line placed (the far end is busy) and waits out the guard after it.
    void Busy()
    {
        peer.send(answer_to(invite, "486 Busy Here"), stack_port);
        ASSERT_GE(Until(0, E_USER_ON_IDLE, 3000), 0);
        Step(1100);
        seen.clear();
    }
    std::string Buffer(int line = 0) { return U(line).m_sDtmfRecv.m_chDtmfBuf; }

protected:
    std::string invite;
};

TEST_F(LineDial, OffHookGivesTheDialToneAndTheDialMapCompletesTheNumber)
{
    Keys("*0");
    EXPECT_EQ(U().m_eUserStatus, E_USER_PLAY_TONE_DIAL_PTT_ON);
    EXPECT_EQ(U().m_eToneType, E_PLAY_TONE_DAIL);
    EXPECT_EQ(U().m_ePTTFlag, E_FLAG_ON);
    EXPECT_EQ(Buffer(), "");
    // T_PTT_DIAL_TONE: PTT is released for the radio to key in, the tone goes on.
    const int released = Until(0, E_USER_PLAY_TONE_DIAL_PTT_OFF, 1500);
    EXPECT_NEAR(released, 1000, 20);
    EXPECT_EQ(U().m_ePTTFlag, E_FLAG_OFF);
    EXPECT_EQ(U().m_eIsPlayTone, E_FLAG_ON);
    // The first digit stops the tone; the number is dialled at its last digit.
    Keys("8");
    EXPECT_EQ(U().m_eUserStatus, E_USER_STATUS_RECVING_KEY);
    EXPECT_EQ(U().m_eIsPlayTone, E_FLAG_OFF);
    EXPECT_EQ(Buffer(), "8");
    Keys("002");
    EXPECT_EQ(Dialled(20), "8002");
    EXPECT_EQ(U().m_eUserStatus, E_USER_ON_MAKE_CALL);
    EXPECT_EQ(Buffer(), "");
}

TEST_F(LineDial, DiallingEdgeCases)
{
    struct Case {
        const char* what;
        std::function<void(LineDial&)> before;
        std::string keys;         // after the continuous-dial key
        const char* at_once;      // dialled at the last key ("" nothing)
        const char* at_interval;  // dialled T_KEY_INTERVAL later ("" nothing)
    };
    auto rules = [](std::vector<const char*> r) { return [r](LineDial&) { SetRules(r); }; };
    const std::vector<Case> cases = {
        {"key interval", nullptr, "12", "", "12"},
        {"8xx and 8xxx: 812 waits", rules({"8xx", "8xxx"}), "812", "", "812"},
        {"8xx and 8xxx: '#' submits", rules({"8xx", "8xxx"}), "812#", "812", ""},
        {"8xx: 812 at once", rules({"8xx"}), "812", "812", ""},
        {"8xx: 912 waits", rules({"8xx"}), "912", "", "912"},
        {"'#' a digit of a rule while it submits nothing",
         [](LineDial&) {
             SetRules({"12#"});
             g_sSysCfgInfo.m_eShappSubmit = E_NORMAL_KEY;
         },
         "12#", "12#", ""},
        {"function keys begun inside a number are digits", nullptr, "12*0", "", "12*0"},
        // Another hang-up key, so that a lone '#' reaches the submit.
        {"'#' alone submits nothing",
         [](LineDial& t) { SetKey(t.U().m_sKeyCfg.m_sKHangUp, "*5", User_OnHangUpKey); }, "#", "", ""},
        {"keys A-D are dropped", [](LineDial& t) { t.Keys("3"); sim("event 1 dtmf 12"); sim("event 1 dtmf 15"); },
         "4", "", "34"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetRules({"8xxx", "9xxxxxxx", "1[3-9]xxxxxxxxx"});
        g_sSysCfgInfo.m_eShappSubmit = E_SUBMIT_KEY;
        Keys("*9");
        ASSERT_EQ(U().m_eUserStatus, E_USER_STATUS_RECVING_KEY);
        EXPECT_EQ(U().m_eIsPlayTone, E_FLAG_OFF);  // continuous dial: no dial tone
        if (c.before) c.before(*this);
        Keys(c.keys);
        EXPECT_EQ(Dialled(20), c.at_once);
        if (!*c.at_once) {
            EXPECT_EQ(Dialled(1900), "");
            EXPECT_EQ(Dialled(200), c.at_interval);
        }
        if (!invite.empty()) {
            Busy();
        } else {
            // Nothing to dial: the line goes back to idle at the interval.
            EXPECT_EQ(U().m_eUserStatus, E_USER_ON_IDLE);
        }
        SetKey(U().m_sKeyCfg.m_sKHangUp, "##", User_OnHangUpKey);
    }
}

TEST_F(LineDial, TheSixtyThirdDigitDialsTheBuffer)
{
    Keys("*9");
    const std::string number = std::string(30, '1') + std::string(33, '2');
    Keys(number.substr(0, 31));
    Keys(number.substr(31, 31));
    EXPECT_EQ(Buffer(), number.substr(0, 62));
    EXPECT_EQ(Dialled(20), "");
    Keys(number.substr(62));
    EXPECT_EQ(Dialled(20), number);
    EXPECT_EQ(Buffer(), "");
}

TEST_F(LineDial, KeysOutsideACallOrAKeyAreDropped)
{
    struct Case {
        const char* what;
        std::function<void(LineDial&)> before;
        const char* keys;
        USER_STATUS_E state;      // right after the keys
        const char* buffer;
    } cases[] = {
        {"no key begins with 5", nullptr, "5", E_USER_ON_IDLE, ""},
        {"the start of a key", nullptr, "*", E_USER_STATUS_RECVING_FUNC_KEY, "*"},
        {"the start of no key", nullptr, "*3", E_USER_STATUS_RECVING_FUNC_KEY, ""},
        {"key reception off", [](LineDial& t) { t.U().m_iKeyEnable = 0; }, "*0", E_USER_ON_IDLE, ""},
        {"cancel re-call while idle", nullptr, "*7", E_USER_ON_IDLE, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        U().m_iKeyEnable = 1;
        if (c.before) c.before(*this);
        Keys(c.keys);
        EXPECT_EQ(U().m_eUserStatus, c.state);
        EXPECT_EQ(Buffer(), c.buffer);
        // The function-key wait ends at the interval in the state the key began in.
        EXPECT_GE(Until(0, E_USER_ON_IDLE, 2100), 0);
        EXPECT_EQ(Buffer(), "");
        EXPECT_EQ(Dialled(0), "");
        EXPECT_EQ(U().m_ePTTFlag, E_FLAG_OFF);
    }
}

TEST_F(LineDial, HangUpKeyEndsWhatTheLineIsDoing)
{
    // Collecting digits: the busy tone.
    Keys("*9");
    Keys("##");
    EXPECT_EQ(U().m_eUserStatus, E_USER_PLAY_TONE_BUSY);
    ASSERT_GE(Until(0, E_USER_ON_IDLE, 1500), 0);
    Step(1100);

    // Ringing out, in the pause of the ring-back: CANCEL.
    Keys("*98002");
    ASSERT_EQ(Dialled(20), "8002");
    peer.send(answer_to(invite, "180 Ringing"), stack_port);
    ASSERT_GE(Until(0, E_USER_PLAY_TONE_RING_BACK_PTT_OFF, 2500), 0);
    // Cancel re-call is refused here, and leaves no digits to spoil the next key.
    Keys("*7");
    EXPECT_EQ(U().m_eUserStatus, E_USER_PLAY_TONE_RING_BACK_PTT_OFF);
    EXPECT_EQ(Buffer(), "");
    Keys("##");
    const std::string cancel = Await("CANCEL", 100);
    ASSERT_FALSE(cancel.empty());
    EXPECT_EQ(U().m_eUserStatus, E_USER_PLAY_TONE_RING_BACK_PTT_OFF);
    peer.send(answer_to(cancel, "200 OK"), stack_port);
    peer.send(answer_to(invite, "487 Request Terminated"), stack_port);
    ASSERT_GE(Until(0, E_USER_PLAY_TONE_BUSY, 200), 0);
    ASSERT_GE(Until(0, E_USER_ON_IDLE, 1500), 0);
    Step(1100);

    // Talking: another function key is refused and the call goes on; the hang-up key: BYE.
    const std::string ok = TalkingCall("t1");
    Keys("*0");
    EXPECT_EQ(U().m_eUserStatus, E_USER_ON_TALKING);
    EXPECT_EQ(U().m_eIsPlayTone, E_FLAG_OFF);
    EXPECT_EQ(Buffer(), "");
    Keys("##");
    const std::string bye = Await("BYE", 100);
    ASSERT_FALSE(bye.empty());
    EXPECT_EQ(U().m_eUserStatus, E_USER_PLAY_TONE_BUSY);
    peer.send(answer_to(bye, "200 OK"), stack_port);
    EXPECT_GE(Until(0, E_USER_ON_IDLE, 1500), 0);
    EXPECT_EQ(SipChannelsInUse(), 0);
}

TEST_F(LineDial, CancelReCallKeyDropsTheReCallAndTheHotLineFiresAfterIt)
{
    U().m_s4xxRecall.m_iReCallMax = 2;
    U().m_iReCallInterval = 3;
    Keys("*98002");
    ASSERT_EQ(Dialled(20), "8002");
    peer.send(answer_to(invite, "486 Busy Here"), stack_port);
    ASSERT_GE(Until(0, E_USER_ON_REDIAL, 1500), 0);
    Keys("*7");
    EXPECT_EQ(U().m_eUserStatus, E_USER_ON_IDLE);
    EXPECT_EQ(U().m_s4xxRecall.m_eReCallFlag, E_FLAG_OFF);
    EXPECT_EQ(Dialled(4000), "");

    // A carrier held on the idle line for T_PTT_HOT_TIME dials the hot line, once.
    U().m_iPttHtlEna = 1;
    g_sSysCfgInfo.m_iPttHotLineTime = 500;
    sim("set cor 2");  // line 0 on the new card
    EXPECT_EQ(Dialled(480), "");
    EXPECT_EQ(Dialled(60), "9555");
    U().m_s4xxRecall.m_iReCallMax = 0;
    Busy();
    EXPECT_EQ(Dialled(1000), "");
    sim("set cor 0");
}

TEST_F(LineDial, HotLineKeyWorksWithoutAnOffHookKey)
{
    SetKey(U().m_sKeyCfg.m_sKHangOff, "", User_OnHangOffKey);
    Keys("*8");
    EXPECT_EQ(Dialled(20), "9555");
    Busy();
    // Unregistered: the busy tone and no call.
    U().m_sRegInfo.m_eRegResult = E_REG_FAIL;
    Keys("*8");
    EXPECT_EQ(Dialled(20), "");
    EXPECT_EQ(U().m_eUserStatus, E_USER_PLAY_TONE_BUSY);
}

TEST_F(LineDial, DigitsGoOutAsSipInfoOnLinesThatSaySo)
{
    const std::string ok = TalkingCall("d1");
    U().m_eDtmfType = E_DTMF_TYPE_SIPINFO;
    Keys("5");
    const std::string info = Await("INFO", 100);
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(Body(info), "5\r\n");
    EXPECT_THAT(header(info, "Content-Type"), HasSubstr("text/plain"));
    peer.send(answer_to(info, "200 OK"), stack_port);
    // A key code no key has is not sent on.
    sim("event 1 dtmf 13");
    EXPECT_TRUE(Await("INFO", 200).empty());
    U().m_eDtmfType = E_DTMF_TYPE_RFC2833;
    Keys("6");
    EXPECT_TRUE(Await("INFO", 200).empty());
    EXPECT_EQ(U().m_eUserStatus, E_USER_ON_TALKING);
}

}  // namespace
