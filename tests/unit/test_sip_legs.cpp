// The SIP legs through the whole switch: registered phones on loopback sockets send what a
// phone sends, the receive dispatcher hands it to the legs, routing and call control, and what
// the switch sends back is checked. The one-second steps are called tick by tick.
#include <functional>
#include <string>
#include <vector>

#include "call_fixture.h"
#include "call_relay.h"

using namespace calltest;

namespace {

// One of the caller's requests in its own dialog.
std::string from_caller(const Peer& a, const std::string& method, const std::string& callid, int cseq,
                        const std::string& body = "", const char* type = "application/sdp")
{
    const std::string head = method + " sip:802@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" +
                             std::to_string(a.port) + ";branch=z9hG4bK" + method + std::to_string(cseq) +
                             "\r\nFrom: <sip:801@127.0.0.1>;tag=a1\r\nTo: <sip:802@127.0.0.1>\r\nCall-ID: " + callid +
                             "\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\n";
    return with_body(head, body, type);
}

// One of the called user's requests in the dialog the switch's INVITE opened.
std::string from_called(const Peer& b, const std::string& invite, const std::string& method, int cseq,
                        const std::string& body = "", const char* type = "application/sdp")
{
    std::string from = line_of(invite, "To");
    from = "From:" + from.substr(3) + ";tag=b1";
    std::string to = "To:" + line_of(invite, "From").substr(5);
    const std::string head = method + " sip:801@127.0.0.1:5060 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" +
                             std::to_string(b.port) + ";branch=z9hG4bKb" + std::to_string(cseq) + "\r\n" + from +
                             "\r\n" + to + "\r\n" + line_of(invite, "Call-ID") + "\r\nCSeq: " + std::to_string(cseq) +
                             " " + method + "\r\n";
    return with_body(head, body, type);
}

class SipLegs : public SwitchTest {
public:
    Peer a, b;   // 801 calls 802
    int calls = 0;

    void SetUp() override
    {
        clear_tables();
        reset_switch_settings();
        copy_text(sip_server_local_host, "127.0.0.1");
        copy_text(sip_server_local_port, "5060");
        enroll(a, "801");
        enroll(b, "802");
    }

    std::string invite(const std::string& callid, const std::string& calling = "801",
                       const std::string& called = "802", const std::string& extra = "")
    {
        const std::string head = "INVITE sip:" + called + "@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" +
                                 std::to_string(a.port) + ";branch=z9hG4bKi\r\nFrom: <sip:" + calling +
                                 "@127.0.0.1>;tag=a1\r\nTo: <sip:" + called + "@127.0.0.1>\r\nCall-ID: " + callid +
                                 "\r\nCSeq: 1 INVITE\r\nContact: <sip:" + calling + "@127.0.0.1:" +
                                 std::to_string(a.port) + ">\r\n" + extra;
        return with_body(head, kSdpA);
    }

    // A calls B: the caller has its 100, and the INVITE B received is returned.
    std::string place(const std::string& callid)
    {
        deliver(invite(callid), a);
        EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 100 Trying"});
        auto got = b.take();
        EXPECT_EQ(got.size(), 1u);
        return got.empty() ? std::string() : got[0];
    }

    // A call up to talking on both sides; returns B's INVITE.
    std::string talking(const std::string& callid)
    {
        const std::string inv = place(callid);
        deliver(answer(inv, "180 Ringing"), b);
        deliver(answer(inv, "200 OK", kSdpB), b);
        EXPECT_EQ(b.firsts(), std::vector<std::string>{"ACK sip:802@127.0.0.1:5060 SIP/2.0"});
        EXPECT_EQ(a.firsts(), (std::vector<std::string>{"SIP/2.0 180 Ringing", "SIP/2.0 200 OK"}));
        deliver(from_caller(a, "ACK", callid, 1), a);
        return inv;
    }

    static void tick(int n = 1)
    {
        for (int i = 0; i < n; ++i) {   // the frame's order
            TimerPend();
            CallCtrl_Check_Pend_Time();
            TimerProc();
        }
    }

    static int leg_of(const std::string& callid) { return Sip_Find_Chn_By_Callid(callid.c_str()); }
    static int status_of(const char* tel) { return sipreg[Find_Reg_By_Tel(tel)].soft_user.status; }
};

}  // namespace

TEST_F(SipLegs, ACallFromInviteToBye)
{
    deliver(invite("c1"), a);
    const std::string trying = a.take().at(0);
    EXPECT_EQ(trying, "SIP/2.0 100 Trying\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(a.port) +
                          ";branch=z9hG4bKi\r\nFrom: <sip:801@127.0.0.1>;tag=a1\r\nTo: <sip:802@127.0.0.1>\r\n"
                          "Call-ID: c1\r\nCSeq: 1 INVITE\r\nContent-Length: 0\r\n\r\n")
        << "the 100 goes out before the To tag is added";
    EXPECT_EQ(status_of("801"), SOFT_ST_BUSY);
    EXPECT_EQ(status_of("802"), SOFT_ST_BUSY);

    const std::string inv = b.take().at(0);
    const std::string b_port = std::to_string(b.port);
    EXPECT_TRUE(matches(inv, "INVITE sip:802@127.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\n"
                             "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK{{\\d+}}\r\n"
                             "From: 801 <sip:801@127.0.0.1:5060>;tag={{\\d+}}\r\n"
                             "To: 802 <sip:802@127.0.0.1:" + b_port + ">\r\n"
                             "Call-ID: {{\\d+}}\r\nUser-Agent: kelvanor brennoval\r\nCSeq: 1 INVITE\r\n"
                             "Contact: 801 <sip:801@127.0.0.1:5060>\r\nContent-Type: application/sdp\r\n"
                             "Content-Length: 165\r\n\r\n"
                             "v=0\r\no=KelvanorVtn3000 1073741824 1073741824 IN IP4 127.0.0.1\r\ns=1\r\n"
                             "c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 4000 RTP/AVP 8 0\r\n"
                             "a=rtpmap:8 PCMA/8000\r\na=rtpmap:0 PCMU/8000\r\n"))
        << inv;

    // Ringing with SDP: the caller hears the called party's early media through a 183.
    deliver(answer(inv, "183 Session Progress", kSdpB), b);
    const std::string progress = a.take().at(0);
    const std::string a_lines = "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(a.port) +
                                ";branch=z9hG4bKi\r\nFrom: <sip:801@127.0.0.1>;tag=a1\r\nTo: <sip:802@127.0.0.1>;tag=" +
                                "{{\\d+}}\r\nCall-ID: c1\r\nCSeq: 1 INVITE\r\n";
    const std::string sdp_b = "Content-Type: application/sdp\r\nContent-Length: 141\r\n\r\n"
                              "v=0\r\no=KelvanorVtn3000 1073741824 1073741824 IN IP4 127.0.0.2\r\ns=1\r\n"
                              "c=IN IP4 127.0.0.2\r\nt=0 0\r\nm=audio 5000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
    EXPECT_TRUE(matches(progress, "SIP/2.0 183 Session Progress\r\n" + a_lines + sdp_b)) << progress;

    deliver(answer(inv, "200 OK", kSdpB), b);
    const std::string ack = b.take().at(0);
    EXPECT_EQ(ack, "ACK sip:802@127.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\n" + line_of(inv, "Via") + "\r\n" + line_of(inv, "From") +
                       "\r\n" + line_of(inv, "To") + ";tag=b1\r\n" + line_of(inv, "Call-ID") +
                       "\r\nCSeq: 1 ACK\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(status_of("802"), SOFT_ST_TALK);
    const std::string ok = a.take().at(0);
    EXPECT_TRUE(matches(ok, "SIP/2.0 200 OK\r\n" + a_lines + "Contact: <sip:802@127.0.0.1:5060>\r\n" + sdp_b)) << ok;
    EXPECT_EQ(line_of(ok, "To"), line_of(progress, "To")) << "one tag for the whole dialog";

    deliver(from_caller(a, "ACK", "c1", 1), a);
    EXPECT_EQ(status_of("801"), SOFT_ST_TALK);
    tick(20);
    EXPECT_TRUE(a.take().empty()) << "an acknowledged 200 is not repeated";

    deliver(from_caller(a, "BYE", "c1", 2), a);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"});
    const std::string bye = b.take().at(0);
    EXPECT_TRUE(matches(bye, "BYE sip:802@127.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\n"
                             "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK{{\\d+}}\r\n" +
                             line_of(inv, "From") + "\r\n" + line_of(inv, "To") + ";tag=b1\r\n" +
                             line_of(inv, "Call-ID") + "\r\nCSeq: 2 BYE\r\nContent-Length: 0\r\n\r\n"))
        << bye;
    EXPECT_EQ(status_of("801"), SOFT_ST_FREE);
    deliver(answer(bye, "200 OK"), b);
    EXPECT_EQ(status_of("802"), SOFT_ST_FREE);
    EXPECT_TRUE(tables_free());
}

TEST_F(SipLegs, TheCalledUserHangsUp)
{
    const std::string inv = talking("c1");
    deliver(from_called(b, inv, "BYE", 1), b);
    EXPECT_EQ(b.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"});
    const std::string bye = a.take().at(0);
    // The switch is the called side of the caller's dialog: From and To change places.
    EXPECT_TRUE(matches(bye, "BYE sip:801@127.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\nVia: {{.*}}\r\n"
                             "From: <sip:802@127.0.0.1>;tag={{\\d+}}\r\nTo: <sip:801@127.0.0.1>;tag=a1\r\n"
                             "Call-ID: c1\r\nCSeq: 1 BYE\r\nContent-Length: 0\r\n\r\n"))
        << bye;
    deliver(answer(bye, "200 OK"), a);
    EXPECT_TRUE(tables_free());
}

TEST_F(SipLegs, AnswersToAByeOrCancelTheSwitchNeverSentLeaveTheCallUp)
{
    const std::string inv = talking("s1");
    b.take();
    const int leg_a = leg_of("s1");
    const int leg_b = leg_of(line_of(inv, "Call-ID").substr(9));
    // Responses that name each dialog but answer nothing the switch sent.
    deliver(answer(from_caller(a, "BYE", "s1", 7), "200 OK"), a);
    deliver(answer(from_caller(a, "CANCEL", "s1", 1), "481 Call/Transaction Does Not Exist"), a);
    deliver(answer(from_called(b, inv, "BYE", 9), "200 OK"), b);
    deliver(answer(from_called(b, inv, "CANCEL", 1), "200 OK"), b);
    ASSERT_EQ(leg_of("s1"), leg_a);
    EXPECT_EQ(sip_chn[leg_a].st, sip_talk);
    ASSERT_GE(leg_b, 0);
    ASSERT_EQ(sip_chn[leg_b].use, 1);
    EXPECT_EQ(call_chns[sip_chn[leg_a].ctrl_chn].party_chn, leg_a);
    EXPECT_EQ(call_chns[sip_chn[leg_b].ctrl_chn].party_chn, leg_b);

    // The call still ends whole.
    deliver(from_caller(a, "BYE", "s1", 2), a);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"});
    const auto to_b = b.take();
    ASSERT_FALSE(to_b.empty()) << "the called user is told";
    EXPECT_EQ(first_line(to_b.back()), "BYE sip:802@127.0.0.1:5060 SIP/2.0");
    deliver(answer(to_b.back(), "200 OK"), b);
    EXPECT_TRUE(tables_free());
}

TEST_F(SipLegs, AReferOnAReleasedLegLeavesItsByeArmed)
{
    const std::string inv = talking("s3");
    deliver(from_called(b, inv, "BYE", 1), b);
    b.take();
    const std::string bye = a.take().at(0);
    // The caller tries a transfer before it has seen the BYE.
    deliver(from_caller(a, "REFER", "s3", 2), a);
    const auto got = a.take();
    ASSERT_FALSE(got.empty());
    const std::string notify = got.back();
    EXPECT_EQ(first_line(notify), "NOTIFY sip:801@127.0.0.1:5060 SIP/2.0");
    deliver(answer(notify, "200 OK"), a);
    // The BYE is still repeated, and given up in the end: the leg does not wait for ever.
    tick(2);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{first_line(bye)});
    tick(12);
    EXPECT_TRUE(tables_free());
}

TEST_F(SipLegs, NewInvitesThatAreRefused)
{
    struct Case {
        const char* what;
        std::function<void(SipLegs&)> setup;
        std::string calling, called, extra;
        std::vector<std::string> caller_gets;
    };
    const std::vector<std::string> refused = {"SIP/2.0 488 Not Acceptable Here"};
    const std::vector<std::string> tried_then_refused = {"SIP/2.0 100 Trying", "SIP/2.0 488 Not Acceptable Here"};
    const Case cases[] = {
        {"an unregistered caller", nullptr, "805", "802", "", refused},
        {"a caller that calls itself", nullptr, "801", "801", "", refused},
        {"a caller registered from another port",
         [](SipLegs& t) { sipreg[Find_Reg_By_Tel("801")].port = t.b.port; }, "801", "802", "", refused},
        {"no called number", nullptr, "801", "", "", refused},
        {"an unknown number", nullptr, "801", "899", "", tried_then_refused},
        {"the pickup prefix alone", nullptr, "801", "*11", "", tried_then_refused},
        {"a number only the service program would take, while it is away", nullptr, "801", "*5", "",
         tried_then_refused},
        {"every call channel taken",
         [](SipLegs&) {
             for (int c = 0; c < kMaxCallChns; c += 2) call_chns[c].use = 1;
         },
         "801", "802", "", tried_then_refused},
        // A call needs a second leg for its called user: with only one left the caller is not
        // taken on (and so not refused after its 100), it tries again.
        {"one leg left, none for the called user",
         [](SipLegs&) {
             for (int l = 0; l < kMaxSipLegs - 1; ++l) sip_chn[l].use = 1;
         },
         "801", "802", "", {}},
        {"no leg at all: no answer, the caller tries again",
         [](SipLegs&) {
             for (SipLeg& l : sip_chn) l.use = 1;
         },
         "801", "802", "", {}},
    };
    for (const Case& c : cases) {
        SetUp();
        if (c.setup) c.setup(*this);
        std::vector<char> legs_before, chns_before;
        for (const SipLeg& l : sip_chn) legs_before.push_back(static_cast<char>(l.use));
        for (const CallChn& ch : call_chns) chns_before.push_back(static_cast<char>(ch.use));
        deliver(invite("r1", c.calling, c.called, c.extra), a);
        EXPECT_EQ(a.firsts(), c.caller_gets) << c.what;
        EXPECT_TRUE(b.take().empty()) << c.what;
        std::vector<char> legs_after, chns_after;
        for (const SipLeg& l : sip_chn) legs_after.push_back(static_cast<char>(l.use));
        for (const CallChn& ch : call_chns) chns_after.push_back(static_cast<char>(ch.use));
        EXPECT_EQ(legs_after, legs_before) << "nothing taken is left behind: " << c.what;
        EXPECT_EQ(chns_after, chns_before) << "nothing taken is left behind: " << c.what;
        EXPECT_EQ(status_of("801"), SOFT_ST_FREE) << c.what;
    }
}

TEST_F(SipLegs, ACallerWaitsForTheLegOfACalledUserWhoseByeIsUnanswered)
{
    // The tables are full but for one call that is ending: its caller has hung up, and its
    // called user's leg waits for the answer to the BYE (a real phone answers in a moment).
    const std::string inv = talking("e1");
    for (int l = 2; l < kMaxSipLegs; ++l) sip_chn[l].use = 1;
    deliver(from_caller(a, "BYE", "e1", 2), a);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"});
    const std::string bye = b.take().at(0);

    // The next call finds one leg free: its caller hears nothing yet, rather than a 100 and a 488.
    deliver(invite("e2"), a);
    EXPECT_TRUE(a.take().empty());
    EXPECT_TRUE(b.take().empty());
    EXPECT_EQ(leg_of("e2"), -1);

    // Once the BYE is answered, the caller's repeated INVITE goes through.
    deliver(answer(bye, "200 OK"), b);
    deliver(invite("e2"), a);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 100 Trying"});
    EXPECT_EQ(b.firsts(), std::vector<std::string>{"INVITE sip:802@127.0.0.1:5060 SIP/2.0"});
}

TEST_F(SipLegs, ANewInviteWithoutACallChannelIsLoggedBeforeItsRefusal)
{
    for (int c = 0; c < kMaxCallChns; c += 2) call_chns[c].use = 1;
    sip_debug = 1;
    root->clear_log();
    deliver(invite("n1"), a);
    sip_debug = 0;
    EXPECT_EQ(a.firsts(), (std::vector<std::string>{"SIP/2.0 100 Trying", "SIP/2.0 488 Not Acceptable Here"}));
    const std::string log = root->log();
    const std::size_t why = log.find("error:OnRecv_Invite error no idle ctrl_chn\n");
    const std::size_t freed = log.find("===========sip chnno=0 reset\n");
    ASSERT_NE(why, std::string::npos) << log;
    EXPECT_LT(why, freed) << log;
    EXPECT_LT(log.find("Send_Udp_Data remoteip"), why) << "the 100 went out first";
    EXPECT_GT(log.rfind("SIP/2.0 488"), why) << "the 488 follows the log line";
}

TEST_F(SipLegs, FinalAnswersOnACallersLegByItsState)
{
    // Final answers to an INVITE in the caller's own dialog: only the switch's re-INVITE can
    // have asked for one, and it relays media changes once the caller is answered.
    struct Case {
        const char* what;
        bool answered;          // the caller has the switch's 200 (its ACK is on its way)
        const char* status;
        std::vector<std::string> caller_gets, called_gets;
        int caller_state;       // the caller's leg afterwards, 0 freed
        bool logged_out_of_state;
    };
    const std::vector<std::string> none, ack = {"ACK sip:802@127.0.0.1:5060 SIP/2.0"};
    const std::vector<std::string> cancel = {"CANCEL sip:802@127.0.0.1:5060 SIP/2.0"};
    const Case cases[] = {
        {"200 while ringing: out of state, not acknowledged", false, "200 OK", none, none, sip_calling_wait_200,
         true},
        {"failure while ringing: the call is released", false, "486 Busy Here", ack, cancel, 0, false},
        {"200 before the caller's ACK: the answer to a re-INVITE", true, "200 OK", ack, none,
         sip_calling_wait_200ack, false},
        {"failure before the caller's ACK: a refused re-INVITE, the call goes on", true, "488 Not Acceptable Here",
         ack, none, sip_calling_wait_200ack, false},
    };
    for (const Case& c : cases) {
        SetUp();
        const std::string inv = place("x1");
        deliver(answer(inv, "180 Ringing"), b);
        if (c.answered) deliver(answer(inv, "200 OK", kSdpB), b);
        a.take();
        b.take();
        sip_debug = 1;
        root->clear_log();
        deliver(answer(from_caller(a, "INVITE", "x1", 1), c.status, c.answered ? kSdpA : ""), a);
        sip_debug = 0;
        EXPECT_EQ(a.firsts(), c.caller_gets) << c.what;
        EXPECT_EQ(b.firsts(), c.called_gets) << c.what;
        const int leg = leg_of("x1");
        EXPECT_EQ(leg < 0 ? 0 : sip_chn[leg].st, c.caller_state) << c.what;
        EXPECT_EQ(root->log().find("recv 200OK,but the status is error!!!\n") != std::string::npos,
                  c.logged_out_of_state)
            << c.what;
    }
}

TEST_F(SipLegs, ARepeatedInviteWhoseTryingCannotBeSentReleasesTheCall)
{
    const std::string inv = place("t1");
    sip_chn[leg_of("t1")].sig_ip.clear();   // nowhere to send the caller anything
    deliver(invite("t1"), a);
    EXPECT_EQ(leg_of("t1"), -1);
    const std::string cancel = b.take().at(0);
    EXPECT_EQ(first_line(cancel), "CANCEL sip:802@127.0.0.1:5060 SIP/2.0") << "the called user stops ringing";
    deliver(answer(cancel, "200 OK"), b);
    EXPECT_TRUE(tables_free());
}

TEST_F(SipLegs, FailuresOfTheCalledUser)
{
    struct Case { const char* status; const char* caller_gets; };
    const Case cases[] = {
        {"486 Busy Here", "SIP/2.0 486 BusyHere"},          // busy is passed on
        {"603 Decline", "SIP/2.0 488 Not Acceptable Here"},
        {"404 Not Found", "SIP/2.0 488 Not Acceptable Here"},
        {"480 Temporarily Unavailable", "SIP/2.0 488 Not Acceptable Here"},
    };
    for (const Case& c : cases) {
        SetUp();
        const std::string inv = place("f1");
        deliver(answer(inv, "180 Ringing"), b);
        a.take();
        const std::string failure = answer(inv, c.status);
        deliver(failure, b);
        const auto got = b.take();
        ASSERT_EQ(got.size(), 1u) << c.status;
        EXPECT_EQ(first_line(got[0]), "ACK sip:802@127.0.0.1:5060 SIP/2.0") << c.status;
        EXPECT_EQ(line_of(got[0], "To"), line_of(failure, "To")) << "the ACK names the failure's tag: " << c.status;
        EXPECT_EQ(line_of(got[0], "Via"), line_of(inv, "Via")) << c.status;
        EXPECT_EQ(a.firsts(), std::vector<std::string>{c.caller_gets}) << c.status;
        EXPECT_TRUE(tables_free()) << c.status;
        tick(20);
        EXPECT_TRUE(a.take().empty() && b.take().empty()) << "nothing is repeated: " << c.status;
    }
}

TEST_F(SipLegs, ARedirectEndsTheCallAlsoWhenItNamesNoNumber)
{
    const char* contacts[] = {"Contact: <sip:803@127.0.0.1:5062>\r\n", "Contact: <sip:@127.0.0.1>\r\n", ""};
    for (const char* contact : contacts) {
        SetUp();
        const std::string inv = place("r1");
        deliver(answer(inv, "180 Ringing"), b);
        a.take();
        deliver(answer(inv, "302 Moved Temporarily", "", contact), b);
        EXPECT_EQ(b.firsts(), std::vector<std::string>{"ACK sip:802@127.0.0.1:5060 SIP/2.0"}) << contact;
        EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 488 Not Acceptable Here"}) << contact;
        EXPECT_TRUE(tables_free()) << contact;
    }
}

TEST_F(SipLegs, CallerCancelsBeforeTheAnswer)
{
    const std::string inv = place("k1");
    deliver(answer(inv, "180 Ringing"), b);
    a.take();
    deliver(from_caller(a, "CANCEL", "k1", 1), a);
    EXPECT_EQ(a.firsts(), (std::vector<std::string>{"SIP/2.0 200 OK", "SIP/2.0 487 RequestTerminated"}));
    const std::string cancel = b.take().at(0);
    EXPECT_EQ(cancel, "CANCEL sip:802@127.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\n" + line_of(inv, "Via") + "\r\n" +
                          line_of(inv, "From") + "\r\n" + line_of(inv, "To") + ";tag=b1\r\n" +
                          line_of(inv, "Call-ID") + "\r\nCSeq: 1 CANCEL\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(status_of("801"), SOFT_ST_FREE);
    deliver(answer(cancel, "200 OK"), b);
    deliver(answer(inv, "487 Request Terminated"), b);
    // The leg is gone with the CANCEL's answer; the 487 is acknowledged from itself.
    EXPECT_EQ(b.firsts(), std::vector<std::string>{"ACK sip:802@127.0.0.1:5060 SIP/2.0"});
    EXPECT_TRUE(tables_free());
    EXPECT_EQ(status_of("802"), SOFT_ST_FREE);
}

TEST_F(SipLegs, AnAnswerThatCrossesTheCancelIsEndedWithABye)
{
    const std::string inv = place("x1");
    deliver(answer(inv, "180 Ringing"), b);
    deliver(from_caller(a, "CANCEL", "x1", 1), a);
    a.take();
    const std::string cancel = b.take().at(0);
    // The called user answered before the CANCEL reached it.
    deliver(answer(inv, "200 OK", kSdpB), b);
    const auto got = b.take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(first_line(got[0]), "ACK sip:802@127.0.0.1:5060 SIP/2.0");
    EXPECT_EQ(first_line(got[1]), "BYE sip:802@127.0.0.1:5060 SIP/2.0");
    EXPECT_NE(line_of(got[1], "To").find(";tag=b1"), std::string::npos);
    EXPECT_TRUE(a.take().empty()) << "the caller has gone";
    deliver(answer(cancel, "200 OK"), b);
    EXPECT_FALSE(tables_free()) << "the leg waits for the answer to its BYE";
    deliver(answer(got[1], "200 OK"), b);
    EXPECT_TRUE(tables_free());
    EXPECT_EQ(status_of("802"), SOFT_ST_FREE);
}

TEST_F(SipLegs, NoAnswerWithinTheCallControlTime)
{
    callctrl_pendtime = 3;
    const std::string inv = place("p1");
    deliver(answer(inv, "180 Ringing"), b);
    a.take();
    tick(3);
    EXPECT_TRUE(a.take().empty() && b.take().empty()) << "3 seconds is still ringing";
    tick();
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 488 Not Acceptable Here"});
    const std::string cancel = b.take().at(0);
    EXPECT_EQ(first_line(cancel), "CANCEL sip:802@127.0.0.1:5060 SIP/2.0");
    deliver(answer(cancel, "200 OK"), b);
    EXPECT_TRUE(tables_free());
}

TEST_F(SipLegs, NoAnswerWithinTheLegTimeIsCancelledOnce)
{
    sip_pend_time = 2;
    const std::string inv = place("p2");
    deliver(answer(inv, "180 Ringing"), b);
    a.take();
    tick(2);
    EXPECT_TRUE(a.take().empty() && b.take().empty());
    tick();
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 488 Not Acceptable Here"});
    EXPECT_EQ(b.firsts(), std::vector<std::string>{"CANCEL sip:802@127.0.0.1:5060 SIP/2.0"});
    // The called user never answers the CANCEL: it is repeated and given up, and never armed
    // again. (It was armed inside a tick, before that tick's retransmission step, which already
    // counted one second of it.)
    std::vector<int> sent_at;
    for (int second = 1; second <= 40; ++second) {
        tick();
        for (const std::string& m : b.firsts()) {
            EXPECT_EQ(m, "CANCEL sip:802@127.0.0.1:5060 SIP/2.0");
            sent_at.push_back(second);
        }
    }
    EXPECT_EQ(sent_at, (std::vector<int>{1, 5}));
    EXPECT_TRUE(tables_free());
}

TEST_F(SipLegs, UnansweredMessagesAreRepeatedThenGivenUp)
{
    struct Case {
        const char* what;
        std::function<std::string(SipLegs&)> start;   // returns the first line repeated
        Peer SipLegs::*repeated_to;
        Peer SipLegs::*told;                          // the other party, told at the end
        const char* told_first;
    };
    const Case cases[] = {
        {"an INVITE never answered",
         [](SipLegs& t) {
             deliver(t.invite("u1"), t.a);
             t.a.take();
             return first_line(t.b.take().at(0));
         },
         &SipLegs::b, &SipLegs::a, "SIP/2.0 488 Not Acceptable Here"},
        {"a 200 never acknowledged",
         [](SipLegs& t) {
             const std::string inv = t.place("u2");
             deliver(answer(inv, "200 OK", kSdpB), t.b);
             t.b.take();
             return first_line(t.a.take().at(0));
         },
         &SipLegs::a, &SipLegs::b, "BYE sip:802@127.0.0.1:5060 SIP/2.0"},
        {"a BYE never answered",
         [](SipLegs& t) {
             t.talking("u3");
             deliver(from_caller(t.a, "BYE", "u3", 2), t.a);
             t.a.take();
             return first_line(t.b.take().at(0));
         },
         &SipLegs::b, &SipLegs::a, nullptr},
    };
    for (const Case& c : cases) {
        SetUp();
        const std::string first = c.start(*this);
        std::vector<int> sent_at;
        int told_at = 0;
        for (int second = 1; second <= 20; ++second) {
            tick();
            for (const std::string& m : (this->*c.repeated_to).firsts()) {
                EXPECT_EQ(m, first) << c.what;
                sent_at.push_back(second);
            }
            for (const std::string& m : (this->*c.told).firsts()) {
                EXPECT_EQ(m, c.told_first ? c.told_first : "(nothing)") << c.what;
                if (told_at == 0) told_at = second;
            }
        }
        EXPECT_EQ(sent_at, (std::vector<int>{2, 6})) << c.what;
        if (c.told_first) {
            EXPECT_EQ(told_at, 14) << c.what;
        }
        if (c.told_first && std::string(c.told_first).rfind("BYE", 0) == 0) {
            // The called leg now waits for its own BYE's answer, and gives that up in turn.
            tick(14);
            (this->*c.told).take();
        }
        EXPECT_TRUE(tables_free()) << c.what;
    }
}

TEST_F(SipLegs, InfoDigitsAreRelayed)
{
    const std::string inv = talking("i1");
    b.take();
    deliver(from_caller(a, "INFO", "i1", 2, "Signal=5\r\nDuration=160\r\n", "application/dtmf-relay"), a);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"});
    const std::string to_b = b.take().at(0);
    EXPECT_TRUE(matches(to_b, "INFO sip:802@127.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\nVia: {{.*}}\r\n" + line_of(inv, "From") +
                                  "\r\n" + line_of(inv, "To") + ";tag=b1\r\n" + line_of(inv, "Call-ID") +
                                  "\r\nCSeq: 2 INFO\r\nContact: 801 <sip:801@127.0.0.1:5060>\r\n"
                                  "Content-Type: application/dtmf-relay\r\nContent-Length: 10\r\n\r\nSignal=5\r\n"))
        << to_b;

    deliver(from_called(b, inv, "INFO", 1, "Signal=#\r\n", "application/dtmf-relay"), b);
    EXPECT_EQ(b.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"});
    const std::string to_a = a.take().at(0);
    EXPECT_TRUE(matches(to_a, "INFO sip:801@127.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\nVia: {{.*}}\r\n"
                              "From: <sip:802@127.0.0.1>;tag={{\\d+}}\r\nTo: <sip:801@127.0.0.1>;tag=a1\r\n"
                              "Call-ID: i1\r\nCSeq: 1 INFO\r\nContact: 802 <sip:802@127.0.0.1:5060>\r\n"
                              "Content-Type: application/dtmf-relay\r\nContent-Length: 10\r\n\r\nSignal=#\r\n"))
        << to_a;
}

TEST_F(SipLegs, InfoBeforeTheAnswerLeavesTheInviteLinesAlone)
{
    const std::string inv = place("i2");
    deliver(answer(inv, "180 Ringing"), b);
    a.take();
    // Digits from either party while the called user rings are answered and not passed on.
    deliver(from_called(b, inv, "INFO", 1, "Signal=5\r\n", "application/dtmf-relay"), b);
    EXPECT_EQ(b.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"});
    EXPECT_TRUE(a.take().empty());
    deliver(from_caller(a, "INFO", "i2", 2, "Signal=7\r\n", "application/dtmf-relay"), a);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"});
    EXPECT_TRUE(b.take().empty());

    // The answer on both sides still names each INVITE's own transaction.
    deliver(answer(inv, "200 OK", kSdpB), b);
    const std::string ack = b.take().at(0);
    EXPECT_EQ(line_of(ack, "Via"), line_of(inv, "Via"));
    EXPECT_EQ(line_of(ack, "CSeq"), "CSeq: 1 ACK");
    const std::string ok = a.take().at(0);
    EXPECT_EQ(line_of(ok, "Via"), "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(a.port) + ";branch=z9hG4bKi");
    EXPECT_EQ(line_of(ok, "CSeq"), "CSeq: 1 INVITE");

    // Once the call is up the digits go through.
    deliver(from_caller(a, "ACK", "i2", 1), a);
    deliver(from_caller(a, "INFO", "i2", 3, "Signal=9\r\n", "application/dtmf-relay"), a);
    a.take();
    EXPECT_EQ(b.firsts(), std::vector<std::string>{"INFO sip:802@127.0.0.1:5060 SIP/2.0"});
}

TEST_F(SipLegs, MediaChangesAreRelayed)
{
    const std::string new_a = "v=0\r\nc=IN IP4 127.0.0.9\r\nm=audio 4100 RTP/AVP 8\r\n";
    const std::string new_b = "v=0\r\nc=IN IP4 127.0.0.8\r\nm=audio 5100 RTP/AVP 0\r\n";
    const std::string inv = talking("m1");

    // The caller moves: it gets 200 with the called party's media, the called party a re-INVITE.
    deliver(from_caller(a, "INVITE", "m1", 2, new_a), a);
    const std::string ok = a.take().at(0);
    EXPECT_EQ(first_line(ok), "SIP/2.0 200 OK");
    EXPECT_EQ(line_of(ok, "CSeq"), "CSeq: 2 INVITE");
    EXPECT_NE(ok.find("c=IN IP4 127.0.0.2\r\nt=0 0\r\nm=audio 5000 "), std::string::npos) << ok;
    const std::string re = b.take().at(0);
    EXPECT_EQ(first_line(re), "INVITE sip:802@127.0.0.1:5060 SIP/2.0");
    EXPECT_EQ(line_of(re, "CSeq"), "CSeq: 2 INVITE");
    EXPECT_NE(re.find("o=KelvanorVtn3000 141826 1073741824 IN IP4 127.0.0.9\r\n"), std::string::npos) << re;
    EXPECT_NE(re.find("m=audio 4100 RTP/AVP 8\r\n"), std::string::npos) << re;
    deliver(from_caller(a, "ACK", "m1", 2), a);
    deliver(answer(re, "200 OK", new_b), b);
    EXPECT_EQ(b.firsts(), std::vector<std::string>{"ACK sip:802@127.0.0.1:5060 SIP/2.0"});

    // The called user moves: the caller gets the re-INVITE.
    deliver(from_called(b, inv, "INVITE", 1, new_b), b);
    const std::string ok_b = b.take().at(0);
    EXPECT_EQ(first_line(ok_b), "SIP/2.0 200 OK");
    EXPECT_EQ(line_of(ok_b, "From"), "From: 802 <sip:802@127.0.0.1:" + std::to_string(b.port) + ">;tag=b1");
    const std::string re_a = a.take().at(0);
    EXPECT_EQ(first_line(re_a), "INVITE sip:801@127.0.0.1:5060 SIP/2.0");
    EXPECT_NE(re_a.find("c=IN IP4 127.0.0.8\r\nt=0 0\r\nm=audio 5100 "), std::string::npos) << re_a;
    // The same media again is no change: nothing is relayed.
    deliver(from_called(b, inv, "ACK", 1), b);
    deliver(from_called(b, inv, "INVITE", 2, new_b), b);
    EXPECT_EQ(b.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"});
    EXPECT_TRUE(a.take().empty());
}

TEST_F(SipLegs, AHoldIsAnsweredInKindAndReachesTheHeldParty)
{
    talking("h1");
    struct Step {
        const char* offered;   // the caller's direction attribute, "" for none (sendrecv)
        const char* answered;  // what the switch's 200 carries
    };
    const Step steps[] = {
        {"a=sendonly", "a=recvonly"},
        {"a=inactive", "a=inactive"},
        {"a=recvonly", "a=sendonly"},
        {"", ""},   // resumed
    };
    auto direction = [](const std::string& text) {
        for (const char* d : {"a=sendonly", "a=recvonly", "a=inactive"})
            if (text.find(std::string("\r\n") + d + "\r\n") != std::string::npos) return std::string(d);
        return std::string();
    };
    int cseq = 2;
    for (const Step& st : steps) {
        const std::string sdp = kSdpA + (*st.offered ? std::string(st.offered) + "\r\n" : "");
        deliver(from_caller(a, "INVITE", "h1", cseq, sdp), a);
        const std::string ok = a.take().at(0);
        EXPECT_EQ(first_line(ok), "SIP/2.0 200 OK");
        EXPECT_EQ(direction(ok), st.answered) << ok;
        // The held party is offered what the caller offered, so it knows it is held.
        const std::string re = b.take().at(0);
        EXPECT_EQ(first_line(re), "INVITE sip:802@127.0.0.1:5060 SIP/2.0") << st.offered;
        EXPECT_EQ(direction(re), st.offered) << re;
        deliver(from_caller(a, "ACK", "h1", cseq), a);
        deliver(answer(re, "200 OK", kSdpB), b);
        b.take();
        ++cseq;
    }
}

TEST_F(SipLegs, AMediaChangeBeforeTheCallersAckIsAcknowledged)
{
    const std::string inv = place("m3");
    deliver(answer(inv, "200 OK", kSdpB), b);
    b.take();
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"});
    // The called user changes its media at once; the caller's ACK has not arrived yet.
    deliver(from_called(b, inv, "INVITE", 1, "v=0\r\nc=IN IP4 127.0.0.8\r\nm=audio 5100 RTP/AVP 0\r\n"), b);
    EXPECT_EQ(b.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"});
    const std::string re = a.take().at(0);
    EXPECT_EQ(first_line(re), "INVITE sip:801@127.0.0.1:5060 SIP/2.0");
    deliver(answer(re, "200 OK", kSdpA), a);
    const std::string ack = a.take().at(0);
    EXPECT_EQ(first_line(ack), "ACK sip:802@127.0.0.1:5060 SIP/2.0");
    EXPECT_EQ(line_of(re, "CSeq"), "CSeq: 1 INVITE");
    EXPECT_EQ(line_of(ack, "CSeq"), "CSeq: 1 ACK");
    deliver(from_caller(a, "ACK", "m3", 1), a);
    EXPECT_EQ(sip_chn[leg_of("m3")].st, sip_talk);
    deliver(from_caller(a, "BYE", "m3", 2), a);
    a.take();
    deliver(answer(b.take().at(0), "200 OK"), b);
    EXPECT_TRUE(tables_free());
}

TEST_F(SipLegs, AFailedMediaChangeLeavesTheCallUp)
{
    const std::string inv = talking("m2");
    deliver(from_caller(a, "INVITE", "m2", 2, "v=0\r\nc=IN IP4 127.0.0.9\r\nm=audio 4100 RTP/AVP 8\r\n"), a);
    a.take();
    const std::string re = b.take().at(0);
    const std::string refusal = answer(re, "488 Not Acceptable Here");
    deliver(refusal, b);
    const std::string ack = b.take().at(0);
    EXPECT_EQ(first_line(ack), "ACK sip:802@127.0.0.1:5060 SIP/2.0");
    EXPECT_EQ(line_of(ack, "CSeq"), "CSeq: 2 ACK");
    EXPECT_EQ(line_of(ack, "Via"), line_of(re, "Via")) << "the ACK of a failure carries its request's branch";
    EXPECT_TRUE(a.take().empty()) << "the caller is not released";
    EXPECT_EQ(sip_chn[leg_of("m2")].st, sip_talk);
    // The call goes on and ends normally.
    deliver(from_caller(a, "BYE", "m2", 3), a);
    a.take();
    deliver(answer(b.take().at(0), "200 OK"), b);
    EXPECT_TRUE(tables_free());
}

TEST_F(SipLegs, RepeatedProvisionalsAndAnswers)
{
    const std::string inv = place("d1");
    deliver(answer(inv, "183 Session Progress", kSdpB), b);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 183 Session Progress"});
    // A second 18x changes nothing, not even the media the caller was given.
    deliver(answer(inv, "180 Ringing", "v=0\r\nc=IN IP4 127.0.0.5\r\nm=audio 7000 RTP/AVP 0\r\n"), b);
    EXPECT_TRUE(a.take().empty());
    EXPECT_EQ(std::string(sip_chn[leg_of("d1")].offer_ip.s), "127.0.0.2");
    // A re-INVITE of a caller that hears ringing is answered 180 again, also after a 183.
    deliver(from_caller(a, "INVITE", "d1", 1, kSdpA), a);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 180 Ringing"});
    deliver(answer(inv, "200 OK", kSdpB), b);
    b.take();
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"});
    // A repeated 200 is acknowledged again and not passed on.
    deliver(answer(inv, "200 OK", kSdpB), b);
    EXPECT_EQ(b.firsts(), std::vector<std::string>{"ACK sip:802@127.0.0.1:5060 SIP/2.0"});
    EXPECT_TRUE(a.take().empty());
}

TEST_F(SipLegs, ACallThatCannotBeRecordedIsCancelledNotRefused)
{
    const std::string inv = place("r1");
    call_chns[sip_chn[leg_of("r1")].ctrl_chn].recorded = 1;
    deliver(answer(inv, "183 Session Progress", kSdpB), b);
    // The switch sent this INVITE: it cancels it rather than answer the callee with a failure.
    const std::string cancel = b.take().at(0);
    EXPECT_EQ(first_line(cancel), "CANCEL sip:802@127.0.0.1:5060 SIP/2.0");
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 488 Not Acceptable Here"});
    deliver(answer(cancel, "200 OK"), b);
    tick(20);
    EXPECT_TRUE(b.take().empty());
    EXPECT_TRUE(tables_free());
}

TEST_F(SipLegs, RingingTowardACallerWithAnMgcpPeerIsA180)
{
    const std::string inv = place("g1");
    const int caller_leg = leg_of("g1");
    const int peer = call_chns[sip_chn[caller_leg].ctrl_chn].con_chn;
    sip_chn[leg_of(line_of(inv, "Call-ID").substr(9))].peer_sdp = 1;
    // The same index read as an endpoint number is no leg: its peer_sdp is not consulted.
    call_chns[peer].type = CHN_TYPE_MGCP;
    EXPECT_EQ(Sip_SendRing(caller_leg), 1);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 180 Ringing"});
    call_chns[peer].type = CHN_TYPE_SIP;
    EXPECT_EQ(Sip_SendRing(caller_leg), 1);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 183 Session Progress"});
    EXPECT_EQ(Sip_SendRing(-1), -1);
    EXPECT_EQ(Sip_SendRing(499), -2);
}

TEST_F(SipLegs, ShutdownReleasesEveryLegByItsState)
{
    talking("s1");                 // legs 0 and 1 talking
    const std::string ringing = place("s2");   // legs 2 (caller, 100 sent) and 3 (INVITE sent)
    for (int leg = 0; leg < kMaxSipLegs; ++leg) Sip_SendHangoff(leg, 0);
    EXPECT_EQ(a.firsts(), (std::vector<std::string>{"BYE sip:801@127.0.0.1:5060 SIP/2.0",
                                                    "SIP/2.0 488 Not Acceptable Here"}));
    EXPECT_EQ(b.firsts(), (std::vector<std::string>{"BYE sip:802@127.0.0.1:5060 SIP/2.0",
                                                    "CANCEL sip:802@127.0.0.1:5060 SIP/2.0"}));
}

TEST_F(SipLegs, CallsFillTheTablesAndLeaveThemEmpty)
{
    // 500 legs and 500 usable channels: 250 calls at once.
    for (int n = 0; n < kMaxSipLegs / 2; ++n) {
        const std::string callid = "full" + std::to_string(n);
        deliver(invite(callid), a);
        ASSERT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 100 Trying"}) << n;
        const auto got = b.take();
        ASSERT_EQ(got.size(), 1u) << n;
        deliver(answer(got[0], "200 OK", kSdpB), b);
        ASSERT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"}) << n;
        ASSERT_EQ(b.firsts(), std::vector<std::string>{"ACK sip:802@127.0.0.1:5060 SIP/2.0"}) << n;
        deliver(from_caller(a, "ACK", callid, 1), a);
    }
    // One more finds no leg: no answer, nothing disturbed.
    deliver(invite("one-too-many"), a);
    EXPECT_TRUE(a.take().empty());
    EXPECT_TRUE(b.take().empty());
    for (int n = 0; n < kMaxSipLegs / 2; ++n) {
        ASSERT_EQ(sip_chn[leg_of("full" + std::to_string(n))].st, sip_talk) << n;
        deliver(from_caller(a, "BYE", "full" + std::to_string(n), 2), a);
        ASSERT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"}) << n;
        const auto got = b.take();
        ASSERT_EQ(got.size(), 1u) << n;
        deliver(answer(got[0], "200 OK"), b);
    }
    EXPECT_TRUE(tables_free());
    EXPECT_EQ(status_of("801"), SOFT_ST_FREE);
    EXPECT_EQ(status_of("802"), SOFT_ST_FREE);
    // And a new call goes through.
    talking("after");
}

// The operations by which routing and call control take and fill a leg without touching it.
TEST_F(SipLegs, LegsAreOpenedAndFilledOnlyByTheirModule)
{
    const int regno = Find_Reg_By_Tel("802");
    ASSERT_GE(regno, 0);
    const int chn = CallCtrl_Find_Free_Chn();
    ASSERT_GE(chn, 0);
    call_chns[chn].use = 1;
    copy_text(call_chns[chn].calling, "801");
    copy_text(call_chns[chn].called, "802");
    copy_text(call_chns[chn].video_line, "m=video 0 RTP/AVP 34");

    EXPECT_EQ(Sip_Chn_Open_Called(chn, -1), -2);
    EXPECT_EQ(Sip_Chn_Open_Called(chn, kMaxSipReg), -2);
    EXPECT_EQ(Sip_Chn_Open_Called(-1, regno), -3);
    EXPECT_EQ(Sip_Chn_Open_Called(chn + 1, regno), -3);   // a free channel
    const int leg = Sip_Chn_Open_Called(chn, regno);
    ASSERT_GE(leg, 0);
    const SipLeg& l = sip_chn[leg];
    EXPECT_EQ(l.use, 1);
    EXPECT_EQ(l.dir, 1);
    EXPECT_EQ(l.st, sip_free);   // the INVITE is not sent yet
    EXPECT_EQ(l.regno, regno);
    EXPECT_EQ(l.ctrl_chn, chn);
    EXPECT_STREQ(l.sig_ip.s, "127.0.0.1");
    EXPECT_EQ(l.sig_port, b.port);
    EXPECT_STREQ(l.calling.s, "801");
    EXPECT_STREQ(l.called.s, "802");
    EXPECT_STREQ(l.video_line.s, "m=video 0 RTP/AVP 34");

    struct Case { int leg; int want; };
    for (Case c : {Case{leg, 1}, Case{-1, -1}, Case{kMaxSipLegs, -1}, Case{leg + 1, -2}}) {
        EXPECT_EQ(Sip_Chn_Set_Offer(c.leg, "10.1.2.3", 7000, 8), c.want) << c.leg;
        EXPECT_EQ(Sip_Chn_Set_Video(c.leg, call_chns[chn].video_line), c.want) << c.leg;
    }
    EXPECT_STREQ(l.offer_ip.s, "10.1.2.3");
    EXPECT_EQ(l.offer_port, 7000);
    EXPECT_EQ(l.offer_codec, 8);

    // Unlinking: only the channel the leg names is forgotten.
    EXPECT_EQ(Sip_Chn_Unlink(leg, chn + 1), 0);
    EXPECT_EQ(l.ctrl_chn, chn);
    EXPECT_EQ(Sip_Chn_Unlink(-1, chn), -1);
    EXPECT_EQ(Sip_Chn_Unlink(leg, chn), 1);
    EXPECT_EQ(l.ctrl_chn, -1);

    // With every leg taken there is none to open.
    for (SipLeg& other : sip_chn) other.use = 1;
    EXPECT_EQ(Sip_Chn_Open_Called(chn, regno), -1);
    clear_tables();
}

TEST_F(SipLegs, FindingTheCallersRegistration)
{
    struct Case {
        const char* what;
        const char* calling;
        std::function<void()> setup;
        int want, want_regno;
    };
    auto at_a = [this](int regno, const char* tel, int type) {
        SipReg& r = sipreg[regno];
        r = SipReg{};
        r.use = 1;
        copy_text(r.tel, tel);
        copy_text(r.ip, "127.0.0.1");
        r.port = a.port;
        r.soft_user.tel_type = type;
    };
    const Case cases[] = {
        {"the SIP user with that number", "801", [] {}, 1, -1},
        {"a SIP user at the address but with another number", "803", [] {}, -1, -1},
        {"a gateway at the address takes any number", "803", [&] { at_a(40, "9", TEL_TYPE_GATEWAY); }, 2, 40},
        {"of two parties at the address the last wins", "803",
         [&] {
             at_a(40, "9", TEL_TYPE_GATEWAY);
             at_a(45, "8", TEL_TYPE_TRUNK);
         },
         2, 45},
        {"the SIP user wins over a gateway", "801", [&] { at_a(40, "9", TEL_TYPE_GATEWAY); }, 1, -1},
    };
    for (const Case& c : cases) {
        SetUp();
        c.setup();
        const int leg = 7;
        sip_chn[leg].use = 1;
        copy_text(sip_chn[leg].sig_ip, "127.0.0.1");
        sip_chn[leg].sig_port = a.port;
        copy_text(sip_chn[leg].calling, c.calling);
        int regno = -1;
        EXPECT_EQ(Sip_Find_Calling_Reg(leg, regno), c.want) << c.what;
        const int expect = c.want_regno >= 0 ? c.want_regno : (c.want == 1 ? Find_Reg_By_Tel("801") : -1);
        EXPECT_EQ(regno, expect) << c.what;
    }
}

TEST_F(SipLegs, MessageRelayDestination)
{
    Peer target;
    const std::string port = std::to_string(target.port);
    struct Case { std::string to; int want; bool relayed; };
    const Case cases[] = {
        {"To: <sip:900@127.0.0.1:" + port, 1, true},
        {"To: sip:900@127.0.0.1:" + port, 1, true},
        {"To: <sip:900@127.0.0.1:" + port + ">", -3, false},         // ">" makes it no port
        {"To: <sip:900@127.0.0.1:" + port + ";x=1", -3, false},
        {"To: <sip:900@127.0.0.1>", -2, false},
        {"To: <sip:127.0.0.1:" + port + ">", -1, false},
    };
    for (const Case& c : cases) {
        SIP_MSG_T msg = decode_from("MESSAGE sip:900@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" +
                                        std::to_string(a.port) + "\r\nFrom: <sip:801@127.0.0.1>\r\n" + c.to +
                                        "\r\nCall-ID: msg\r\nCSeq: 1 MESSAGE\r\nContent-Type: text/plain\r\n"
                                        "Content-Length: 2\r\n\r\nhi",
                                    a);
        EXPECT_EQ(OnRecv_Message(msg), c.want) << c.to;
        EXPECT_EQ(target.take().size(), c.relayed ? 1u : 0u) << c.to;
    }
}

TEST_F(SipLegs, AConsoleSwitchNamingAMissingCallChangesNothing)
{
    talking("w1");
    a.take();
    b.take();
    deliver("NOTIFY sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(a.port) +
                "\r\nCall-ID: n1\r\nCSeq: 1 NOTIFY\r\nKelvanor-Info: setswitch\r\nKelvanor-Callid: w1,nothere\r\n\r\n",
            a);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"});
    EXPECT_TRUE(b.take().empty());
    EXPECT_EQ(sip_chn[leg_of("w1")].st, sip_talk);
}

TEST_F(SipLegs, InfoServiceCodes)
{
    struct Case { std::string digits; int want_last; };
    const Case cases[] = {
        {"*100*", 0},
        {"*200*", 1},
        {"*300*", -1},
        {"1*100*", 0},          // digits before the first star are ignored
        {"*1*100*", 0},         // a star inside a code starts it again
        {"*1000", -1},          // the fifth character must be the closing star
    };
    for (const Case& c : cases) {
        CallCtrl_Init_All_Chn();
        int last = -2;
        for (char d : c.digits) {
            const char one[2] = {d, '\0'};
            last = CallCtrl_Collect_Info_Digits(0, one);
        }
        EXPECT_EQ(last, c.want_last) << c.digits;
    }
}

namespace {

// Transfers by REFER: 801 may transfer, the service program is a loopback party at registration
// 0, and 803 is a third phone.
class SipTransfers : public SipLegs {
public:
    Peer c, program;

    void SetUp() override
    {
        SipLegs::SetUp();
        enroll(c, "803");
        sipreg[Find_Reg_By_Tel("801")].soft_user.zhuanjie = 1;
        SipReg& r = sipreg[kRegService];
        r.use = 1;
        copy_text(r.tel, "*");
        copy_text(r.ip, "127.0.0.1");
        r.port = program.port;
        r.soft_user.tel_type = TEL_TYPE_SERVICE;
    }

    void refer(const std::string& callid, const std::string& refer_to)
    {
        std::string text = from_caller(a, "REFER", callid, 2);
        text.insert(text.find("Content-Length"), "Refer-To: " + refer_to + "\r\n");
        deliver(text, a);
    }

    // The INVITEs of the program's one joined datagram.
    std::vector<std::string> datagram()
    {
        const auto got = program.take();
        EXPECT_EQ(got.size(), 1u);
        std::vector<std::string> out;
        if (got.empty()) return out;
        std::string rest = got[0].substr(0, got[0].size() - 2);
        for (std::size_t at; (at = rest.find("\r\n.\r\n")) != std::string::npos; rest = rest.substr(at + 5))
            out.push_back(rest.substr(0, at));
        out.push_back(rest);
        return out;
    }

    // What the referrer got after its 202: the NOTIFY that ends the transfer, then the BYE.
    void expect_done_then_bye()
    {
        const auto got = a.take();
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(first_line(got[0]), "SIP/2.0 202 Accepted");
        EXPECT_EQ(first_line(got[1]), "NOTIFY sip:801@127.0.0.1:5060 SIP/2.0");
        EXPECT_NE(got[1].find("\r\nSubscription-State: terminated;reason=noresource\r\n"), std::string::npos);
        EXPECT_NE(got[1].find("\r\nContent-Length: 16\r\n\r\nSIP/2.0 200 OK\r\n"), std::string::npos) << got[1];
        EXPECT_EQ(first_line(got[2]), "BYE sip:801@127.0.0.1:5060 SIP/2.0");
        const auto cseq = [](const std::string& m) { return std::stoi(line_of(m, "CSeq").substr(6)); };
        EXPECT_EQ(cseq(got[2]), cseq(got[1]) + 1);
    }
};

}  // namespace

TEST_F(SipTransfers, ABlindTransferIsReportedDoneBeforeTheReferrersBye)
{
    talking("t1");
    refer("t1", "<sip:803@127.0.0.1>");
    expect_done_then_bye();
    const auto invites = datagram();
    ASSERT_EQ(invites.size(), 2u);
    EXPECT_EQ(line_of(invites[0], "Kelvanor-Info"), "Kelvanor-Info:Softswitch-Freetransfer");
    // A transfer that cannot happen is reported failed, and the call stays.
    sipreg[Find_Reg_By_Tel("801")].soft_user.zhuanjie = 0;
    talking("t2");
    refer("t2", "<sip:803@127.0.0.1>");
    const auto got = a.take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[1].find("\r\n\r\nSIP/2.0 488 Not Acceptable Here\r\n"), std::string::npos) << got[1];
    EXPECT_TRUE(program.take().empty());
}

TEST_F(SipTransfers, ReplacesMakesAnAttendedTransferWhateverItsCallIdAndTheProgramsTagIsKept)
{
    struct Case {
        const char* callid;
        const char* replaces;   // the escaped Replaces value after the Call-ID
    } cases[] = {
        {"cons1@127.0.0.1", "cons1%40127.0.0.1%3Bto-tag%3Dc1%3Bfrom-tag%3Da1"},
        {"5f2a9c", "5f2a9c%3bfrom-tag%3da1%3bto-tag%3dc1"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.callid);
        SetUp();
        const std::string to_b = talking("t1");
        // 801 calls 803, which rings; then hands 802 over to it.
        deliver(invite(k.callid, "801", "803"), a);
        const std::string to_c = c.take().at(0);
        deliver(answer(to_c, "180 Ringing"), c);
        a.take();
        refer("t1", std::string("<sip:803@127.0.0.1?Replaces=") + k.replaces + ">");
        const auto to_a = a.take();
        ASSERT_GE(to_a.size(), 3u);
        EXPECT_EQ(first_line(to_a[1]), "NOTIFY sip:801@127.0.0.1:5060 SIP/2.0");
        EXPECT_NE(to_a[1].find("SIP/2.0 200 OK\r\n"), std::string::npos);
        EXPECT_TRUE(c.take().empty()) << "803 is not called a second time";
        const auto invites = datagram();
        ASSERT_EQ(invites.size(), 2u);
        EXPECT_EQ(line_of(invites[0], "Kelvanor-Info"), "Kelvanor-Info:Softswitch-Transfer");

        // The program answers 802's leg, which is talking already: its ACK, and later its BYE,
        // name the program's side of the dialog.
        deliver(answer(invites[0], "200 OK", kSdpB), program);
        const auto ack = program.take();
        ASSERT_EQ(ack.size(), 1u);
        EXPECT_EQ(first_line(ack[0]).substr(0, 4), "ACK ");
        EXPECT_EQ(line_of(ack[0], "To"), line_of(invites[0], "To") + ";tag=b1");
        deliver(from_called(b, to_b, "BYE", 2), b);
        const auto bye = program.take();
        ASSERT_EQ(bye.size(), 1u);
        EXPECT_EQ(first_line(bye[0]).substr(0, 4), "BYE ");
        EXPECT_EQ(line_of(bye[0], "To"), line_of(ack[0], "To"));
    }
}
