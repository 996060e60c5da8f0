// Registration per line through the SIP manager and the real stack, against a registrar on
// loopback: the one-second steps are driven by the test, so the timers are counted exactly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "gate_test_board.h"
#include "register.h"
#include "sip_peer.h"
#include "sipman_start.h"
#include "sipman.h"
#include "struct_sys.h"
#include "text.h"
#include "user.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class Reg : public GateTest {
protected:
    void SetUp() override
    {
        GateTest::SetUp();
        stack_port = StartSipManager(peer, 2, 1);
        ASSERT_GT(stack_port, 0);
        REGISTER_Init();
        AddLine(0, "8001", "secret1", 60);
    }

    void AddLine(int line, const char* tel, const char* pwd, int expires)
    {
        USER_INFO_T& u = g_sUserInfo[line];
        u.m_iUserChn = line;
        copy_text(u.m_chUserTel, tel);
        copy_text(u.m_sRegInfo.m_chRegTel, tel);
        copy_text(u.m_sRegInfo.m_chRegName, tel);
        copy_text(u.m_sRegInfo.m_chRegPwd, pwd);
        u.m_sRegInfo.m_iRegExpires = expires;
        User_InitChnData(line);
        Reg_UserInit(line);
    }

    USER_REG_INFO_T& R(int line = 0) { return g_sUserInfo[line].m_sRegInfo; }

    // One second of the main loop: the registration step, then the stack's reports.
    void Second()
    {
        REG_Process();
        pump_for(2);
    }

    // Seconds until the registrar sees a new REGISTER (none within max: empty); the stack's
    // retransmissions of the one whose CSeq is resent are skipped.
    std::string NextRegister(int max, int* seconds = nullptr, const std::string& resent = "")
    {
        for (int s = 1; s <= max; ++s) {
            Second();
            for (std::string m = peer.next_starting("REGISTER", 20); !m.empty(); m = peer.next_starting("REGISTER", 2)) {
                if (!resent.empty() && header(m, "CSeq") == resent) continue;
                if (seconds) *seconds = s;
                return m;
            }
        }
        return {};
    }

    // Answers req and lets the stack report it.
    void Answer(const std::string& req, const std::string& status, const std::string& extra = "")
    {
        peer.send(answer_to(req, status, extra), stack_port);
        pump_for(30);
        peer.drain();
    }

    std::string Registered(int expires_granted = 0)
    {
        std::string req = NextRegister(2);
        Answer(req, "200 OK", expires_granted ? "Expires: " + std::to_string(expires_granted) + "\r\n" : "");
        return req;
    }

    Peer peer;
    int stack_port = 0;
};

TEST_F(Reg, UnansweredRegisterTimesOutAtTheTenthSecondThenRetriesOnItsChannel)
{
    std::string first = NextRegister(1);
    ASSERT_FALSE(first.empty());
    const int chn = R().m_iRegChn;
    ASSERT_GE(chn, 0);
    EXPECT_EQ(R().m_eRegStatus, E_REG_STATUS_WAIT_RSP_FIRST);
    // Seconds after the send: the waiting phase after each step.
    struct Phase {
        int second;
        REG_STATUS_E status;
        REG_RESULT_E result;
    } phases[] = {
        {2, E_REG_STATUS_WAIT_RSP_SECOND, E_REG_UNREGISTER}, {5, E_REG_STATUS_WAIT_RSP_THIRD, E_REG_UNREGISTER},
        {9, E_REG_STATUS_WAIT_RSP_THIRD, E_REG_UNREGISTER},  {10, E_REG_STATUS_WAIT_NEXT_EXPIRE, E_REG_TIMEOUT},
    };
    int at = 0;
    for (const Phase& p : phases) {
        while (at < p.second) {
            Second();
            ++at;
        }
        EXPECT_EQ(R().m_eRegStatus, p.status) << p.second;
        EXPECT_EQ(R().m_eRegResult, p.result) << p.second;
    }
    // Nothing new goes out until 30 s after the time-out; then on the same channel.
    int seconds = 0;
    std::string again = NextRegister(40, &seconds, header(first, "CSeq"));
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(seconds, 30);
    EXPECT_NE(header(again, "CSeq"), header(first, "CSeq"));
    EXPECT_EQ(header(again, "Call-ID"), header(first, "Call-ID"));
    EXPECT_EQ(R().m_iRegChn, chn);
}

TEST_F(Reg, GrantedLifetimeDrivesTheRefresh)
{
    // The lifetime asked is 60 s; the refresh comes at 0.8 of what the server grants.
    struct Case {
        std::string grant;
        int refresh_after;
    } cases[] = {
        {"Expires: 20\r\n", 16},
        {"Expires: 100\r\n", 80},
        {"", 48},  // nothing said: what was asked
    };
    for (const Case& c : cases) {
        Reg_UserInit(0);
        std::string req = NextRegister(2);
        ASSERT_FALSE(req.empty());
        EXPECT_EQ(header(req, "Expires"), "60");
        Answer(req, "200 OK", c.grant);
        EXPECT_EQ(R().m_eRegResult, E_REG_SUCC) << c.grant;
        EXPECT_EQ(R().m_eRegStatus, E_REG_STATUS_WAIT_NEXT_EXPIRE);
        int seconds = 0;
        std::string refresh = NextRegister(100, &seconds);
        ASSERT_FALSE(refresh.empty()) << c.grant;
        EXPECT_EQ(seconds, c.refresh_after) << c.grant;
        EXPECT_EQ(header(refresh, "Call-ID"), header(req, "Call-ID"));
        Answer(refresh, "200 OK");
    }
}

TEST_F(Reg, RefusalsEndTheChannelAndRetryThirtySecondsLater)
{
    struct Case {
        std::string status;
        REG_RESULT_E result;
    } cases[] = {
        {"403 Forbidden", E_REG_FAIL},
        {"488 Not Acceptable Here", E_REG_FAIL},
        {"423 Interval Too Brief", E_REG_FAIL},  // no Min-Expires: nothing better to ask
    };
    for (const Case& c : cases) {
        Reg_UserInit(0);
        std::string req = NextRegister(2);
        ASSERT_FALSE(req.empty());
        Answer(req, c.status);
        EXPECT_EQ(R().m_eRegResult, c.result) << c.status;
        EXPECT_EQ(R().m_iRegChn, -1) << c.status;
        int seconds = 0;
        std::string again = NextRegister(40, &seconds);
        ASSERT_FALSE(again.empty()) << c.status;
        // The answer came within a second: the retry leaves at the 31st step after it.
        EXPECT_EQ(seconds, 31) << c.status;
        EXPECT_NE(header(again, "Call-ID"), header(req, "Call-ID"));
        Answer(again, "200 OK");
        EXPECT_EQ(R().m_eRegResult, E_REG_SUCC);
    }
    EXPECT_THAT(Flow(), HasSubstr("注册禁止"));
}

TEST_F(Reg, IntervalTooBriefIsAnsweredWithMinExpires)
{
    std::string req = NextRegister(2);
    Answer(req, "423 Interval Too Brief", "Min-Expires: 120\r\n");
    int seconds = 0;
    std::string again = NextRegister(3, &seconds);
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(seconds, 1);
    EXPECT_EQ(header(again, "Expires"), "120");
    Answer(again, "200 OK", "Expires: 120\r\n");
    EXPECT_EQ(R().m_eRegResult, E_REG_SUCC);
    EXPECT_EQ(R().m_iThreadRegExpire, 96);
    // A server naming no more than was asked is refused like any failure.
    std::string refresh = NextRegister(100);
    EXPECT_EQ(header(refresh, "Expires"), "120");
    Answer(refresh, "423 Interval Too Brief", "Min-Expires: 120\r\n");
    EXPECT_EQ(R().m_eRegResult, E_REG_FAIL);
    EXPECT_TRUE(NextRegister(29).empty());
}

TEST_F(Reg, ExpiresZeroAnswerUnregistersTheLine)
{
    std::string req = NextRegister(2);
    Answer(req, "200 OK", "Expires: 0\r\n");
    EXPECT_EQ(R().m_eRegResult, E_REG_UNREGISTER);
    EXPECT_EQ(R().m_eRegStatus, E_REG_STATUS_INIT);
    EXPECT_EQ(R().m_iRegChn, -1);
    EXPECT_TRUE(NextRegister(60).empty());
}

// The SIP manager's count of channels in use follows the registration's channel: up once when
// it is taken, down once when the registration ends, however the server answers the removal.
TEST_F(Reg, EveryEndOfARegistrationLowersTheChannelCountOnce)
{
    struct Case {
        const char* what;
        const char* removal_answer;  // "" none: the removal times out
    } cases[] = {
        {"removal answered with a lifetime of the server's own", "Expires: 60\r\n"},
        {"removal answered with Expires 0", "Expires: 0\r\n"},
        {"removal unanswered", ""},
    };
    auto in_use = [] { return g_sStatisticInfo.m_sSipChn.m_iChnCur; };
    for (const Case& c : cases) {
        Reg_UserInit(0);
        Registered(60);
        ASSERT_EQ(R().m_eRegResult, E_REG_SUCC) << c.what;
        const int chn = R().m_iRegChn;
        EXPECT_EQ(in_use(), 1) << c.what;
        // A refresh on the live channel moves nothing.
        std::string refresh = NextRegister(60);
        ASSERT_FALSE(refresh.empty()) << c.what;
        Answer(refresh, "200 OK", "Expires: 60\r\n");
        EXPECT_EQ(in_use(), 1) << c.what;
        EXPECT_EQ(R().m_iRegChn, chn) << c.what;

        REG_UserUnRegByChn(0, 0);
        std::string removal = peer.next_starting("REGISTER", 500);
        ASSERT_FALSE(removal.empty()) << c.what;
        EXPECT_EQ(header(removal, "Expires"), "0") << c.what;
        if (*c.removal_answer)
            Answer(removal, "200 OK", c.removal_answer);
        else
            for (int s = 0; s < 4 && R().m_eRegStatus != E_REG_STATUS_INIT; ++s) Second();
        EXPECT_EQ(R().m_eRegStatus, E_REG_STATUS_INIT) << c.what;
        EXPECT_EQ(R().m_eRegResult, E_REG_UNREGISTER) << c.what;
        EXPECT_EQ(R().m_iRegChn, -1) << c.what;
        EXPECT_EQ(LIBSIP_SetExpires(chn, 60), -1) << c.what;  // freed in the stack
        EXPECT_EQ(in_use(), 0) << c.what;
    }
}

TEST_F(Reg, ChallengeIsAnsweredWithTheLineCredentialsAndThePasswordIsNeverLogged)
{
    std::string req = NextRegister(2);
    Answer(req, "401 Unauthorized", "WWW-Authenticate: Digest realm=\"gw\", nonce=\"abc123\", algorithm=MD5\r\n");
    std::string again = peer.next_starting("REGISTER", 500);
    ASSERT_FALSE(again.empty());
    std::string auth = header(again, "Authorization");
    EXPECT_THAT(auth, HasSubstr("username=\"8001\""));
    EXPECT_THAT(auth, HasSubstr("nonce=\"abc123\""));
    Answer(again, "200 OK");
    EXPECT_EQ(R().m_eRegResult, E_REG_SUCC);
    std::string flow = Flow();
    EXPECT_THAT(flow, HasSubstr("UserName[8001]"));
    EXPECT_THAT(flow, Not(HasSubstr("secret1")));
}

TEST_F(Reg, ChangeDuringACallWaitsUntilTheLineIsIdle)
{
    Registered();
    USER_INFO_T& u = g_sUserInfo[0];
    ASSERT_EQ(R().m_eRegResult, E_REG_SUCC);
    // The configuration found a new password while the line talks.
    u.m_eUserStatus = E_USER_ON_TALKING;
    u.m_iModFlag = 1;
    copy_text(u.m_chNewRegTel, "8001");
    copy_text(u.m_chNewRegName, "8001");
    copy_text(u.m_chNewRegPwd, "secret2");
    u.m_iNewRegExpires = 60;
    EXPECT_TRUE(NextRegister(20).empty());
    // The call ends: the registration is removed, then made again with the new values.
    UserRelease(&u);
    std::string removal = peer.next_starting("REGISTER", 500);
    ASSERT_FALSE(removal.empty());
    EXPECT_EQ(header(removal, "Expires"), "0");
    Answer(removal, "200 OK", "Expires: 0\r\n");
    EXPECT_EQ(u.m_iModFlag, 0);
    std::string req = NextRegister(2);
    ASSERT_FALSE(req.empty());
    EXPECT_EQ(header(req, "Expires"), "60");
    Answer(req, "401 Unauthorized", "WWW-Authenticate: Digest realm=\"gw\", nonce=\"n2\"\r\n");
    ASSERT_FALSE(peer.next_starting("REGISTER", 500).empty());
    EXPECT_STREQ(R().m_chRegPwd, "secret2");
}

TEST_F(Reg, ModuleChannelsOutliveStrayReports)
{
    Registered();
    const int reg = R().m_iRegChn;
    int opt = SipMan_SendOption(-1, &g_sSysCfgInfo.m_sSysServer.m_sServerAddr[0]);
    ASSERT_GE(opt, 0);
    std::string probe = peer.next_starting("OPTIONS", 500);
    ASSERT_FALSE(probe.empty());
    Answer(probe, "200 OK");
    // A time-out or an unknown report on a channel its module holds leaves it to the module.
    for (int code : {300, 999}) {
        SipManRecvMsgFromSip(code, reg, 0);
        SipManRecvMsgFromSip(code, opt, 0);
        EXPECT_EQ(LIBSIP_SetExpires(reg, 60), 0) << code;
        EXPECT_EQ(LIBSIP_SetExpires(opt, 60), 0) << code;
    }
    // The next probe and refresh still go out on them, and no new call takes their handles.
    int call = LIBSIP_CreatChn(-1);
    EXPECT_NE(call, reg);
    EXPECT_NE(call, opt);
    EXPECT_EQ(SipMan_SendOption(opt, &g_sSysCfgInfo.m_sSysServer.m_sServerAddr[0]), opt);
    EXPECT_FALSE(peer.next_starting("OPTIONS", 500).empty());
}

TEST_F(Reg, DeletionOfARegisteredLineFreesTheSlotAfterTheRemoval)
{
    Registered();
    USER_INFO_T& u = g_sUserInfo[0];
    u.m_iDelFlag = 1;
    UserCheckRegStatus(&u);
    std::string removal = peer.next_starting("REGISTER", 500);
    ASSERT_FALSE(removal.empty());
    EXPECT_EQ(header(removal, "Expires"), "0");
    // No answer: the removal is given up after three or four seconds and the slot freed.
    for (int s = 0; s < 4 && u.m_iUserChn != -1; ++s) Second();
    EXPECT_EQ(u.m_iUserChn, -1);
    EXPECT_THAT(Flow(), HasSubstr("发起注销超时"));
}

}  // namespace

namespace {

// A change waiting for the line's registration to end applies however that registration ends:
// a removal answered with a lifetime of the server's own, or a registration that had failed.
TEST_F(Reg, AWaitingChangeAppliesWhenTheRemovalIsAnsweredOrNothingIsRegistered)
{
    struct Case {
        const char* what;
        const char* first_answer;    // to the first REGISTER
        const char* removal_answer;  // "" no removal expected
    } cases[] = {
        {"removal answered with a lifetime", "200 OK", "200 OK"},
        {"registration failed", "403 Forbidden", ""},
    };
    for (const Case& c : cases) {
        Reg_UserInit(0);
        USER_INFO_T& u = g_sUserInfo[0];
        copy_text(u.m_sRegInfo.m_chRegTel, "8001");
        std::string req = NextRegister(2);
        ASSERT_FALSE(req.empty()) << c.what;
        Answer(req, c.first_answer);
        u.m_eUserStatus = E_USER_ON_TALKING;
        u.m_iModFlag = 1;
        copy_text(u.m_chNewRegTel, "8009");
        copy_text(u.m_chNewRegName, "8009");
        copy_text(u.m_chNewRegPwd, "secret9");
        u.m_iNewRegExpires = 60;
        UserRelease(&u);  // the call ends
        if (*c.removal_answer) {
            std::string removal = peer.next_starting("REGISTER", 500);
            ASSERT_FALSE(removal.empty()) << c.what;
            EXPECT_EQ(header(removal, "Expires"), "0");
            Answer(removal, c.removal_answer, "Expires: 60\r\n");
        }
        EXPECT_EQ(u.m_iModFlag, 0) << c.what;
        EXPECT_STREQ(R().m_chRegTel, "8009") << c.what;
        std::string again = NextRegister(2);
        ASSERT_FALSE(again.empty()) << c.what;
        EXPECT_THAT(header(again, "From"), HasSubstr("8009")) << c.what;
        Answer(again, "200 OK");
    }
}

}  // namespace
