// Radio floor control of the lines: the floor INFO bodies, and a line's floor over the real
// stack, RTP layer and simulated DSP (line_calls_fixture.h) with its timers and the far end's
// INFOs and telephone events.
#include <arpa/inet.h>

#include <set>
#include <string>
#include <vector>

#include "line_calls_fixture.h"
#include "parse_sipinfo.h"
#include "user_floor.h"

namespace {

using ::testing::HasSubstr;
using namespace linetest;

// ---- INFO bodies

T_MSG_STRUCT Msg(const char* reqid, const char* type, const char* tel, const char* result = "")
{
    T_MSG_STRUCT m{};
    copy_text(m.m_chreqid, reqid);
    copy_text(m.m_chptttype, type);
    copy_text(m.m_chTel, tel);
    copy_text(m.m_chresult, result);
    return m;
}

TEST(SipInfoBody, EncodersBuildWholeBodiesOrNothing)
{
    const std::string f31(31, 'x');
    struct Case {
        const char* what;
        T_MSG_STRUCT msg;
        const char* comment;
        int size;
        const char* want;  // nullptr: -1 and the buffer untouched
    } cases[] = {
        {"seize", Msg("1000", "taken", "8001"), "", 128, "ptttype=taken;ptttel=8001;reqid=1000"},
        {"answer", Msg("7", "request", "", "accept"), "request", 128, "ptttype=request;ptttel=;reqid=7;result=accept"},
        {"result only in an answer", Msg("7", "request", "", "accept"), "requests", 128, "ptttype=request;ptttel=;reqid=7"},
        {"exactly fits", Msg("1", "idle", "8"), "", 30, "ptttype=idle;ptttel=8;reqid=1"},
        {"one short", Msg("1", "idle", "8"), "", 29, nullptr},
        {"no request id", Msg("", "idle", "8"), "", 128, nullptr},
        {"no type", Msg("1", "", "8"), "", 128, nullptr},
        // Four full fields and the keys are 155 characters: more than any body may hold.
        {"four full fields", Msg(f31.c_str(), f31.c_str(), f31.c_str(), f31.c_str()), "request", 1024, nullptr},
        {"no room", Msg("1", "idle", "8"), "", 0, nullptr},
    };
    for (const Case& c : cases) {
        char out[1024];
        std::memset(out, '#', sizeof out);
        const int r = Enc_Sipinfo_ExternMsg(out, c.size, c.comment, &c.msg);
        if (c.want == nullptr) {
            EXPECT_EQ(r, -1) << c.what;
            EXPECT_EQ(out[0], '#') << c.what;
        } else {
            EXPECT_EQ(r, 0) << c.what;
            EXPECT_STREQ(out, c.want) << c.what;
        }
    }
    T_MSG_STRUCT text{};
    copy_text(text.m_chId, "12");
    copy_text(text.m_chTel, "8001");
    copy_text(text.m_chMsg, "request");
    char out[128];
    ASSERT_EQ(Enc_Sipinfo_ExternMsgDtmf(out, sizeof out, &text), 0);
    EXPECT_STREQ(out, "@12-8001-request");
    EXPECT_EQ(Enc_Sipinfo_ExternMsgDtmf(out, 16, &text), -1);
    copy_text(text.m_chTel, f31);
    copy_text(text.m_chMsg, f31);
    copy_text(text.m_chId, f31);
    EXPECT_EQ(Enc_Sipinfo_ExternMsgDtmf(out, sizeof out, &text), 0);  // 3 + 93 characters fit
    text.m_chTel[0] = '\0';
    EXPECT_EQ(Enc_Sipinfo_ExternMsgDtmf(out, sizeof out, &text), -1);
    EXPECT_EQ(Enc_Sipinfo_ExternMsg(nullptr, 128, "", &text), -1);
    EXPECT_EQ(Enc_Sipinfo_ExternMsg(out, 128, "", nullptr), -1);
}

TEST(SipInfoBody, CallInfoDecoderReadsOnlyWhatItWasGiven)
{
    const std::string f32 = std::string(32, '9');
    struct Case {
        const char* what;
        std::string text;
        int length;  // -1: the text's own
        int want;
        const char* type, *reqid, *result;
    } cases[] = {
        {"answer", "ptttype=request;ptttel=201;reqid=1002;result=accept", -1, 0, "request", "1002", "accept"},
        {"request id last", "ptttype=taken;ptttel=8001;reqid=1000", -1, 0, "taken", "1000", ""},
        {"length cuts the id", "ptttype=taken;ptttel=8001;reqid=1000", 34, 0, "taken", "10", ""},
        {"length before the id", "ptttype=taken;ptttel=8001;reqid=1000", 28, -1, "", "", ""},
        {"NUL ends the text", std::string("ptttype=taken;reqid=5\0;result=accept", 36), -1, 0, "taken", "5", ""},
        {"no ';' after the type", "reqid=1;ptttype=taken", -1, -1, "", "", ""},
        {"';' inside the key", "ptttype;reqid=1", -1, -1, "", "", ""},
        {"no request id", "ptttype=taken;ptttel=1", -1, -1, "", "", ""},
        {"key without a value", "ptttype=taken;reqid", -1, -1, "", "", ""},
        {"empty id", "ptttype=taken;reqid=", -1, 0, "taken", "", ""},
        {"id longer than its field", "ptttype=taken;reqid=" + f32, -1, -1, "", "", ""},
        {"id of 31", "ptttype=taken;reqid=" + f32.substr(1), -1, 0, "taken", "9999999999999999999999999999999", ""},
        {"type longer than its field", "ptttype=" + f32 + ";reqid=1", -1, -1, "", "", ""},
        {"result longer than its field", "ptttype=a;reqid=1;result=" + f32, -1, -1, "", "", ""},
        {"zero length", "ptttype=taken;reqid=1", 0, -1, "", "", ""},
        {"negative length", "ptttype=taken;reqid=1", -7, -1, "", "", ""},
    };
    for (const Case& c : cases) {
        T_MSG_STRUCT msg{};
        copy_text(msg.m_chTel, "left over");
        const int length = c.length == -1 ? static_cast<int>(c.text.size()) : c.length;
        // The text is handed over unterminated where the length ends inside it.
        std::vector<char> text(c.text.begin(), c.text.end());
        ASSERT_EQ(Dec_Sipinfo_ExternMsg(text.data(), length, &msg), c.want) << c.what;
        if (c.want != 0) continue;
        EXPECT_STREQ(msg.m_chptttype, c.type) << c.what;
        EXPECT_STREQ(msg.m_chreqid, c.reqid) << c.what;
        EXPECT_STREQ(msg.m_chresult, c.result) << c.what;
        EXPECT_STREQ(msg.m_chTel, "") << c.what;  // the number is not read
    }
    EXPECT_EQ(Dec_Sipinfo_ExternMsg(nullptr, 5, nullptr), -1);
}

TEST(SipInfoBody, TextDecoderSplitsAtTheFirstTwoDashes)
{
    const std::string f32(32, 'w');
    struct Case {
        const char* what;
        std::string text;
        int length;
        int want;
        const char *id, *tel, *word;
    } cases[] = {
        {"granted", "@12-8001-granted", -1, 0, "12", "8001", "granted"},
        {"word with dashes", "@1-8001-ack-now\r\n", -1, 0, "1", "8001", "ack-now\r\n"},
        {"dash first", "-5-8001-deny", -1, 0, "5", "8001", "deny"},
        {"empty parts", "@--", -1, 0, "", "", ""},
        {"one dash", "@1-8001", -1, -1, "", "", ""},
        {"length before the second dash", "@1-8001-deny", 6, -1, "", "", ""},
        {"length cuts the word", "@1-8001-deny", 10, 0, "1", "8001", "de"},
        {"number longer than its field", "@1-" + f32 + "-deny", -1, -1, "", "", ""},
        {"word longer than its field", "@1-8001-" + f32, -1, -1, "", "", ""},
        {"empty", "", 0, -1, "", "", ""},
        {"negative length", "@1-2-3", -1000, -1, "", "", ""},
    };
    for (const Case& c : cases) {
        T_MSG_STRUCT msg{};
        const int length = c.length == -1 ? static_cast<int>(c.text.size()) : c.length;
        std::vector<char> text(c.text.begin(), c.text.end());
        ASSERT_EQ(Dec_Sipinfo_ExternMsgDtmf(text.data(), length, &msg), c.want) << c.what;
        if (c.want != 0) continue;
        EXPECT_STREQ(msg.m_chId, c.id) << c.what;
        EXPECT_STREQ(msg.m_chTel, c.tel) << c.what;
        EXPECT_STREQ(msg.m_chMsg, c.word) << c.what;
    }
}

// ---- a line's floor

class LineFloor : public LineCalls {
protected:
    void SetUp() override
    {
        LineCalls::SetUp();
        if (HasFatalFailure()) return;
        g_sSysCfgInfo.m_eRequestType = E_USE_COR;
        g_sSysCfgInfo.m_eRequestInfoType = E_INFO_SIP;
        copy_text(g_sDBInfo.m_sSysCfgInfo.m_chrequestpro, "*1");
        copy_text(g_sDBInfo.m_sSysCfgInfo.m_chreleasepro, "*2");
        sim("set cor 0");
    }
    void TearDown() override
    {
        sim("set cor 0");
        LineCalls::TearDown();
    }
    // Line 0's COR as the board reads it (the new card's inputs are reversed: bit 2 is line 0).
    void Cor(bool on)
    {
        sim(on ? "set cor 2" : "set cor 0");
        Step(20);
    }
    // The INFOs the far end received within ms, each answered 200 unless told not to.
    std::vector<std::string> Infos(int ms, bool answer = true)
    {
        std::vector<std::string> got;
        for (int t = 0; t < ms; t += 10) {
            Step(10);
            for (std::string m = peer.next(0); !m.empty(); m = peer.next(0)) {
                if (m.rfind("INFO ", 0) != 0) continue;
                if (answer) peer.send(answer_to(m, "200 OK", "", ""), stack_port);
                // The stack's repeats of an INFO not answered yet are not new ones.
                if (info_cseqs.insert(header(m, "CSeq")).second) got.push_back(m);
            }
        }
        return got;
    }
    // A floor INFO of the far end in the call's dialog: its answer.
    std::string FarInfo(const std::string& cid, const std::string& ok, const std::string& extra,
                        const std::string& body = "", const std::string& type = "text/plain")
    {
        ++cseq;
        std::string m = peer_request("INFO", stack_port, peer.port(), cid, cseq, "z9hG4bKfi" + std::to_string(cseq),
                                     param(header(ok, "To"), "tag"), extra, body, type);
        for (std::size_t at = m.find("sip:201@"); at != std::string::npos; at = m.find("sip:201@", at)) m.replace(at + 4, 3, "8001");
        peer.send(m, stack_port);
        return Await("SIP/2.0", 500);
    }
    // An RFC 2833 event of the call's payload type from the far end's media socket.
    void FarEvent(int code)
    {
        unsigned char p[16] = {0x80, 101, 0, static_cast<unsigned char>(++seq), 0, 0, 1, 0, 0, 0, 0, 9,
                               static_cast<unsigned char>(code), 0x8a, 0, 160};
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(RTP_GetAddressLocal(0)->port));
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        sendto(rtp.fd, p, sizeof p, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    int cseq = 10;
    int seq = 0;
    std::set<std::string> info_cseqs;
};

std::string CallInfo(const std::string& m) { return header(m, "Call-Info"); }

TEST_F(LineFloor, CorSeizesWithFourInfosAndTheReleaseFollowsTheGrant)
{
    TalkingCall("s1");
    // While the line's own PTT is keyed (here by network voice) its COR asks for nothing.
    UserSendCorFromVoxNetWork(0);
    Cor(true);
    EXPECT_TRUE(Infos(200).empty());
    UserSendCorOffFromVoxNetWork(0);
    const auto seize = Infos(200);
    ASSERT_EQ(seize.size(), 4u);
    EXPECT_EQ(Body(seize[0]), "*1");
    EXPECT_THAT(header(seize[0], "Content-Type"), HasSubstr("text/plain"));
    const std::string taken = CallInfo(seize[1]), request = CallInfo(seize[2]);
    ASSERT_EQ(taken.rfind("ptttype=taken;ptttel=300;reqid=", 0), 0u) << taken;
    const int id = std::stoi(taken.substr(taken.find("reqid=") + 6));
    EXPECT_EQ(request, "ptttype=request;ptttel=300;reqid=" + std::to_string(id + 1));
    EXPECT_THAT(CallInfo(seize[3]), testing::MatchesRegex("ptttype=request;ptttel=8001;reqid=[0-9]+"));
    EXPECT_EQ(U().m_eSpeekStatus, E_REQ_SPEEK_SUCC);  // the 200s without a body grant it

    Cor(false);
    const auto release = Infos(500);  // held 30 steps after the network voice ended
    ASSERT_EQ(release.size(), 4u);
    EXPECT_EQ(Body(release[0]), "*2");
    const std::string idle = CallInfo(release[1]);
    ASSERT_EQ(idle.rfind("ptttype=idle;ptttel=300;reqid=", 0), 0u) << idle;
    const int rid = std::stoi(idle.substr(idle.find("reqid=") + 6));
    EXPECT_EQ(CallInfo(release[2]), "ptttype=release;ptttel=300;reqid=" + std::to_string(rid + 1));
    EXPECT_THAT(CallInfo(release[3]), testing::MatchesRegex("ptttype=release;ptttel=8001;reqid=[0-9]+"));
    EXPECT_EQ(U().m_eSpeekStatus, E_QUIET_MODE);
}

TEST_F(LineFloor, Timers)
{
    // PTT time-out, then the COR bar that keeps network voice from keying PTT again.
    {
        TalkingCall("t1");
        U().m_sCfgCorNetwork.m_iPTTTimeOut = 2;
        U().m_sCfgCorNetwork.m_iSamplCorTimeMax = 300;
        UserSendCorFromVoxNetWork(0);
        ASSERT_EQ(U().m_ePTTFlag, E_FLAG_ON);
        int t = 0;
        while (U().m_ePTTFlag == E_FLAG_ON && t < 3000) Step(10), t += 10;
        EXPECT_EQ(t, 2000);
        EXPECT_EQ(U().m_eSampleCorFlag, E_FLAG_ON);
        UserSendCorFromVoxNetWork(0);
        EXPECT_EQ(U().m_ePTTFlag, E_FLAG_OFF);  // barred
        t = 0;
        while (U().m_eSampleCorFlag == E_FLAG_ON && t < 1000) Step(10), t += 10;
        EXPECT_EQ(t, 290);  // the step that raised the bar counted its first 10 ms
        UserSendCorFromVoxNetWork(0);
        EXPECT_EQ(U().m_ePTTFlag, E_FLAG_ON);
        // The four-wire input stays muted 500 ms after the release.
        UserSendCorOffFromVoxNetWork(0);
        EXPECT_EQ(U().m_eOffAudioFlag, E_FLAG_ON);
        t = 0;
        while (U().m_eOffAudioFlag == E_FLAG_ON && t < 1000) Step(10), t += 10;
        EXPECT_EQ(t, 500);
    }
    // An unanswered request lapses after 1 s.
    {
        Step(400);  // the 30-step hold of the voice end above runs out
        Cor(true);
        const auto seize = Infos(20, false);
        ASSERT_EQ(seize.size(), 4u);
        Cor(false);
        EXPECT_EQ(U().m_eSpeekStatus, E_REQ_SPEEK_RIGHT);
        int t = 40;
        while (U().m_eSpeekStatus == E_REQ_SPEEK_RIGHT && t < 2000) Step(10), t += 10;
        EXPECT_GE(t, 990);
        EXPECT_LE(t, 1010);
        EXPECT_EQ(U().m_eSpeekStatus, E_QUIET_MODE);
        Infos(500);  // the repeats of the unanswered INFOs
    }
    // COR falling within 30 steps after network voice released PTT sends no release until then.
    {
        Cor(true);
        ASSERT_EQ(Infos(100).size(), 4u);
        ASSERT_EQ(U().m_eSpeekStatus, E_REQ_SPEEK_SUCC);
        UserSendCorFromVoxNetWork(0);
        UserSendCorOffFromVoxNetWork(0);
        EXPECT_EQ(U().m_errorFlg, 30);
        sim("set cor 0");
        int t = 0;
        std::vector<std::string> got;
        while (got.empty() && t < 1000) got = Infos(10), t += 10;
        EXPECT_GE(t, 300);
        EXPECT_LE(t, 330);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(Body(got[0]), "*2");
    }
}

TEST_F(LineFloor, AFarEndsFloorInfosKeyAndReleaseThePtt)
{
    const std::string ok = TalkingCall("f1");
    struct Case {
        const char* what;
        std::string extra, body;
        const char* answer_info;  // the 200's Call-Info ("" none)
        SYS_FLAG_E ptt;
    } cases[] = {
        {"taken", "Call-Info: ptttype=taken;ptttel=300;reqid=41\r\n", "", "ptttype=taken;ptttel=;reqid=41;result=accept", E_FLAG_ON},
        {"request while keyed", "Call-Info: ptttype=request;ptttel=300;reqid=42\r\n", "",
         "ptttype=request;ptttel=;reqid=42;result=reject", E_FLAG_ON},
        {"release", "Call-Info: ptttype=release;ptttel=300;reqid=43\r\n", "", "ptttype=release;ptttel=;reqid=43;result=ack",
         E_FLAG_OFF},
        {"idle when not keyed", "Call-Info: ptttype=idle;ptttel=300;reqid=44\r\n", "", "ptttype=idle;ptttel=;reqid=44;result=ack",
         E_FLAG_OFF},
        {"crafted: no request id", "Call-Info: ptttype=taken;ptttel=300\r\n", "", "", E_FLAG_OFF},
        {"crafted: overlong id", "Call-Info: ptttype=taken;reqid=" + std::string(90, '7') + "\r\n", "", "", E_FLAG_OFF},
        {"event text request", "", "*1", "", E_FLAG_ON},
        {"event text release", "", "*2", "", E_FLAG_OFF},
        {"a digit as INFO", "", "*1\r\n", "", E_FLAG_ON},
        {"its release", "", "*2\r\n", "", E_FLAG_OFF},
        {"part of the code", "", "*", "", E_FLAG_OFF},
        {"the old two-digit form", "", "10", "", E_FLAG_OFF},
    };
    for (const Case& c : cases) {
        const std::string answer = FarInfo("f1", ok, c.extra, c.body);
        EXPECT_EQ(start_line(answer), "SIP/2.0 200 OK") << c.what;
        EXPECT_EQ(CallInfo(answer), c.answer_info) << c.what;
        EXPECT_EQ(U().m_ePTTFlag, c.ptt) << c.what;
    }
    EXPECT_EQ(U().m_eUserStatus, E_USER_ON_TALKING);
}

TEST_F(LineFloor, TextFormWordsMoveTheFloorOfTheLineTheyName)
{
    g_sSysCfgInfo.m_eRequestInfoType = E_INFO_DTMF;
    const std::string ok = TalkingCall("w1");
    Cor(true);
    auto seize = Infos(20, false);
    ASSERT_EQ(seize.size(), 4u);
    EXPECT_THAT(Body(seize[3]), testing::MatchesRegex("@[0-9]+-8001-request"));
    EXPECT_EQ(U().m_eSpeekStatus, E_REQ_SPEEK_RIGHT);
    struct Case {
        const char* body;
        SPEEK_RIGHT_E before, after;
    } cases[] = {
        {"@1-8002-granted", E_REQ_SPEEK_RIGHT, E_REQ_SPEEK_RIGHT},  // another line's number
        {"@1-8001-deny", E_REQ_SPEEK_RIGHT, E_REQ_SPEEK_FAIL},
        {"@1-8001-granted", E_REQ_SPEEK_RIGHT, E_REQ_SPEEK_SUCC},
        {"@1-8001-granted", E_QUIET_MODE, E_LISTEN_ONLY},
        {"@1-8001-ack", E_LISTEN_ONLY, E_QUIET_MODE},
        {"@1-8001-ack", E_RELEASE_SPEEK_RIGHT, E_QUIET_MODE},
        {"@1-8001", E_LISTEN_ONLY, E_LISTEN_ONLY},
    };
    // The line asks no more: a granted floor would otherwise be given back at once.
    g_sSysCfgInfo.m_eRequestType = E_USE_NO;
    Cor(false);
    for (const Case& c : cases) {
        U().m_eSpeekStatus = c.before;
        U().m_iWaitReqTime = 1;
        const std::string answer = FarInfo("w1", ok, "", c.body);
        EXPECT_EQ(start_line(answer), "SIP/2.0 200 OK") << c.body;
        EXPECT_EQ(U().m_eSpeekStatus, c.after) << c.body;
    }
}

TEST_F(LineFloor, TelephoneEventsKeyThePttWithoutSteppingTheBoard)
{
    copy_text(g_sDBInfo.m_sSysCfgInfo.m_chrequestpro, "1");
    copy_text(g_sDBInfo.m_sSysCfgInfo.m_chreleasepro, "2");
    TalkingCall("e1");
    // Line 1's COR held for its hot line is timed by the board's own step only (10 ms each).
    sim("set cor 1");
    g_sCorInfo[1].m_iPttHotTime = 0;
    for (int i = 0; i < 20; ++i) FarEvent(1);
    Step(100);
    EXPECT_EQ(U().m_ePTTFlag, E_FLAG_ON);
    EXPECT_EQ(U().m_eRequestFlag, E_FLAG_ON);
    EXPECT_EQ(g_sCorInfo[1].m_iPttHotTime, 100);
    // Network voice does not take over a PTT the far end holds; the release gives it back.
    UserSendCorOffFromVoxNetWork(0);
    EXPECT_EQ(U().m_ePTTFlag, E_FLAG_ON);
    FarEvent(2);
    Step(10);
    EXPECT_EQ(U().m_ePTTFlag, E_FLAG_OFF);
    EXPECT_EQ(U().m_eRequestFlag, E_FLAG_OFF);
    // A VOX line takes no floor events.
    U().m_sCfgCorNetwork.m_eCorType = E_NW_COR_DETECT_TYPE_VOX;
    FarEvent(1);
    Step(10);
    EXPECT_EQ(U().m_ePTTFlag, E_FLAG_OFF);
}

TEST_F(LineFloor, TheLinesOwnEventsGoOutWhileItsPttIsKeyed)
{
    TalkingCall("k1");
    rtp.take();
    User_SetPTTOn(&U());
    sim("event 1 dtmf 1");
    std::vector<std::string> events;
    for (int t = 0; t < 500 && events.size() < 3; t += 10) {
        Step(10);
        for (const std::string& p : rtp.take())
            if (p.size() == 16 && (static_cast<unsigned char>(p[1]) & 0x7F) == 101) events.push_back(p);
    }
    ASSERT_FALSE(events.empty());
    for (const std::string& p : events) EXPECT_EQ(static_cast<unsigned char>(p[12]), 1);
}

TEST_F(LineFloor, AFloorStateEndsWithItsCall)
{
    std::string ok = TalkingCall("n1");
    Cor(true);
    ASSERT_EQ(Infos(100).size(), 4u);
    ASSERT_EQ(U().m_eSpeekStatus, E_REQ_SPEEK_SUCC);
    sim("set cor 0");
    peer.send(Request("BYE", "8001", "n1", 30, param(header(ok, "To"), "tag")), stack_port);
    ASSERT_EQ(start_line(Await("SIP/2.0 200")), "SIP/2.0 200 OK");
    ASSERT_GE(Until(0, E_USER_ON_IDLE, 3000), 0);
    Step(1100);
    TalkingCall("n2");
    EXPECT_EQ(U().m_eSpeekStatus, E_QUIET_MODE);
    EXPECT_TRUE(Infos(500).empty());
}

}  // namespace
