// Lines taking and placing calls, in one process (line_calls_fixture.h).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <time.h>
#include <unistd.h>

#include "line_calls_fixture.h"
#include "sip_stack.h"

namespace {

using ::testing::HasSubstr;
using namespace linetest;

// ---- answering

TEST_F(LineCalls, AnAcceptableCallIsAnsweredAtOnceTalksAndEndsThroughTheBusyTone)
{
    const std::string ok = Invite("8001", "c1", Sdp(rtp.port, "0 8 101", "a=rtpmap:101 telephone-event/8000\r\n"));
    ASSERT_EQ(provisional.size(), 1u);
    EXPECT_EQ(start_line(provisional[0]), "SIP/2.0 180 Ringing");
    ASSERT_EQ(start_line(ok), "SIP/2.0 200 OK");
    // The peer's order wins: PCMU first; telephone events on the line's payload type.
    const std::string sdp = Body(ok);
    const std::string local_port = std::to_string(RTP_GetAddressLocal(0)->port);
    EXPECT_THAT(sdp, HasSubstr("m=audio " + local_port + " RTP/AVP 0 101"));
    EXPECT_EQ(U().m_eUserStatus, E_USER_ON_SEND_RING);
    EXPECT_EQ(U().m_eUseCoder, G711_U);

    Ack(ok, "c1");
    EXPECT_EQ(U().m_eUserStatus, E_USER_ON_TALKING);
    EXPECT_EQ(Shm().m_eStatusLine, E_LINE_STATUS_TALKING);
    EXPECT_STREQ(Shm().m_chCallerID, "300");
    EXPECT_STREQ(Shm().m_chCodeType, "G711U");
    EXPECT_EQ(Shm().m_sRemoteAddr.port, rtp.port);
    EXPECT_EQ(Shm().m_sLocalAddr.port, RTP_GetAddressLocal(0)->port);
    const auto chan = sim_chan(kDspOffset);
    EXPECT_EQ(chan.at("rtp"), 1);
    EXPECT_EQ(chan.at("pt"), 0);
    EXPECT_EQ(SipChannelsInUse(), 1);

    // The far end hangs up: 200 at once, the busy tone (PTT keyed), then idle with all free.
    peer.send(Request("BYE", "8001", "c1", 2, param(header(ok, "To"), "tag")), stack_port);
    EXPECT_EQ(start_line(Await("SIP/2.0 200")), "SIP/2.0 200 OK");
    EXPECT_EQ(U().m_eUserStatus, E_USER_PLAY_TONE_BUSY);
    EXPECT_EQ(U().m_eToneType, E_PLAY_TONE_BUSY);
    EXPECT_EQ(U().m_ePTTFlag, E_FLAG_ON);
    EXPECT_EQ(U().m_iChnSip, -1);
    const int busy = Until(0, E_USER_ON_IDLE, 3000);
    EXPECT_GE(busy, 990);
    EXPECT_LE(busy, 1010);
    EXPECT_EQ(sim_chan(kDspOffset).at("rtp"), 0);
    EXPECT_EQ(Shm().m_iChnSip, -1);
    EXPECT_EQ(U().m_ePTTFlag, E_FLAG_OFF);
    EXPECT_EQ(SipChannelsInUse(), 0);
}

TEST_F(LineCalls, TheAnswerMirrorsTheOffersDirection)
{
    struct Case {
        const char* attr;
        const char* want;
    } cases[] = {
        {"", "a=sendrecv"},
        {"a=sendonly\r\n", "a=recvonly"},
        {"a=recvonly\r\n", "a=sendonly"},
        {"a=inactive\r\n", "a=inactive"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string cid = "dir" + std::to_string(n++);
        const std::string ok = Invite("8001", cid, Sdp(rtp.port, "8", c.attr));
        ASSERT_EQ(start_line(ok), "SIP/2.0 200 OK") << c.attr;
        const std::string body = Body(ok);
        if (std::string(c.want) == "a=sendrecv")
            EXPECT_EQ(body.find("a=sendonly"), std::string::npos) << body;  // sendrecv may be left unsaid
        else
            EXPECT_THAT(body, HasSubstr(c.want)) << c.attr;
        peer.send(Request("ACK", "8001", cid, 1, param(header(ok, "To"), "tag")), stack_port);
        peer.send(Request("BYE", "8001", cid, 2, param(header(ok, "To"), "tag")), stack_port);
        Await("SIP/2.0 200");
        ASSERT_GE(Until(0, E_USER_ON_IDLE, 3000), 0);
        Step(1100);  // past the call guard
    }
}

TEST_F(LineCalls, RefusedCalls)
{
    Peer stranger;
    struct Case {
        const char* what;
        std::string to;
        std::string body;
        std::function<void(LineCalls&)> before;
        bool from_stranger;
        const char* want;
    };
    const std::vector<Case> cases = {
        {"unknown number", "9999", Sdp(rtp.port, "8"), nullptr, false, "SIP/2.0 480"},
        {"unregistered line", "8001", Sdp(rtp.port, "8"),
         [](LineCalls& t) { t.U().m_sRegInfo.m_eRegResult = E_REG_FAIL; }, false, "SIP/2.0 480"},
        {"no common codec", "8001", Sdp(rtp.port, "18 4"), nullptr, false, "SIP/2.0 480"},
        {"bad media address", "8001", Sdp(rtp.port, "8", "", "999.1.1.1"), nullptr, false, "SIP/2.0 480"},
        {"line ringing out", "8001", Sdp(rtp.port, "8"),
         [](LineCalls& t) { t.U().m_eUserStatus = E_USER_PLAY_TONE_RING_BACK_PTT_ON; }, false, "SIP/2.0 486"},
        {"stranger", "8001", Sdp(rtp.port, "8"), nullptr, true, "SIP/2.0 403"},
    };
    int n = 0;
    for (const Case& c : cases) {
        U().m_sRegInfo.m_eRegResult = E_REG_SUCC;
        U().m_eUserStatus = E_USER_ON_IDLE;
        Step(1100);  // past the call guard of the case before
        if (c.before) c.before(*this);
        const std::string got = Invite(c.to, "ref" + std::to_string(n++), c.body, "", c.from_stranger ? &stranger : nullptr);
        EXPECT_EQ(got.substr(0, 11), c.want) << c.what << "\n" << got;
        EXPECT_NE(U().m_eUserStatus, E_USER_ON_TALKING) << c.what;
        EXPECT_NE(U().m_eUserStatus, E_USER_ON_SEND_RING) << c.what;
        EXPECT_EQ(sim_chan(kDspOffset).at("rtp"), 0) << c.what;
    }
}

TEST_F(LineCalls, ASecondInviteWithinOneSecondIsRefused)
{
    std::string ok = Invite("8001", "g1", Sdp(rtp.port, "8"));
    ASSERT_EQ(start_line(ok), "SIP/2.0 200 OK");
    peer.send(Request("ACK", "8001", "g1", 1, param(header(ok, "To"), "tag")), stack_port);
    peer.send(Request("BYE", "8001", "g1", 2, param(header(ok, "To"), "tag")), stack_port);
    Await("SIP/2.0 200");
    ASSERT_GE(Until(0, E_USER_ON_IDLE, 3000), 0);
    // The busy tone took 1 s after the media closed: the guard runs from the last INVITE or
    // media close, so 1 s on from the close a call is taken again.
    U().m_tInviteTime = User_NowMs();
    Step(500);
    EXPECT_EQ(start_line(Invite("8001", "g2", Sdp(rtp.port, "8"))), "SIP/2.0 480 Temporarily Unavailable");
    Step(600);
    EXPECT_EQ(start_line(Invite("8001", "g3", Sdp(rtp.port, "8"))), "SIP/2.0 200 OK");
}

TEST_F(LineCalls, AnAckWithoutAnyOfferEndsTheCallWithABye)
{
    // No offer in the INVITE: the 200 offers the line's first codec, and the ACK must answer.
    const std::string ok = Invite("8001", "n1", "");
    ASSERT_EQ(start_line(ok), "SIP/2.0 200 OK");
    EXPECT_THAT(Body(ok), HasSubstr("RTP/AVP 8"));
    peer.send(Request("ACK", "8001", "n1", 1, param(header(ok, "To"), "tag")), stack_port);
    const std::string bye = Await("BYE");
    ASSERT_FALSE(bye.empty());
    EXPECT_EQ(U().m_eUserStatus, E_USER_PLAY_TONE_BUSY);
    EXPECT_EQ(SipChannelsInUse(), 0);
}

TEST_F(LineCalls, AnUnacceptableReInviteGets488AndTheCallGoesOn)
{
    const std::string ok = TalkingCall("r1");
    const std::string tag = param(header(ok, "To"), "tag");
    struct Case {
        const char* what;
        std::string body;
        const char* want;
    } cases[] = {
        {"no common codec", Sdp(rtp.port, "18"), "SIP/2.0 488"},
        {"no SDP", "", "SIP/2.0 488"},
        {"bad port", Sdp(0, "8"), "SIP/2.0 488"},
        {"new codec", Sdp(rtp.port + 2, "0"), "SIP/2.0 200"},
    };
    int cseq = 2;
    for (const Case& c : cases) {
        peer.send(Request("INVITE", "8001", "r1", cseq++, tag, "", c.body), stack_port);
        const std::string got = Await("SIP/2.0 ");
        EXPECT_EQ(got.substr(0, 11), c.want) << c.what;
        if (got.rfind("SIP/2.0 200", 0) == 0) peer.send(Request("ACK", "8001", "r1", cseq - 1, tag), stack_port);
        Step(30);
        EXPECT_EQ(U().m_eUserStatus, E_USER_ON_TALKING) << c.what;
    }
    EXPECT_EQ(U().m_eUseCoder, G711_U);
    EXPECT_EQ(RTP_GetAddressRemote(0)->port, rtp.port + 2);
    EXPECT_EQ(sim_chan(kDspOffset).at("rtp"), 1);
}

TEST_F(LineCalls, AByeForADialogNoLineOwnsGets481AndFreesTheChannel)
{
    const std::string ok = TalkingCall("o1");
    const int chn = U().m_iChnSip;
    U().m_iChnSip = -1;  // the line let go of the call without the stack knowing
    peer.send(Request("BYE", "8001", "o1", 2, param(header(ok, "To"), "tag")), stack_port);
    EXPECT_EQ(start_line(Await("SIP/2.0")), "SIP/2.0 481 Call/Transaction Does Not Exist");
    EXPECT_EQ(LIBSIP_GetUserHost(chn), nullptr);  // freed
}

// ---- placing calls

TEST_F(LineCalls, RingBackBurstsKeyThePttUntilTheNoAnswerCancel)
{
    g_sSysCfgInfo.m_sTimeCfg.m_iTNoAnswer = 9;
    U().m_iPttMode = 1;
    ASSERT_EQ(UserMakeCall(&U(), "9000"), 0);
    const std::string inv = Await("INVITE");
    ASSERT_FALSE(inv.empty());
    EXPECT_THAT(header(inv, "Call-Info"), HasSubstr("callmode=half-duplex"));
    EXPECT_EQ(U().m_eUserStatus, E_USER_ON_MAKE_CALL);
    // 3 s before the far end rings: not counted by the no-answer timer.
    Step(3000);
    peer.send(answer_to(inv, "180 Ringing"), stack_port);
    ASSERT_EQ(Until(0, E_USER_PLAY_TONE_RING_BACK_PTT_ON, 100), 10);
    const long long rang = now - 10;
    EXPECT_EQ(g_sResChnInfo[kDspOffset].m_eToneType, E_PLAY_TONE_DAIL);  // the dial tone stands in
    // PTT phases: on 2 s, off 4 s, on 2 s, ... while the tone plays on (the step that took the
    // 180 counts as the first 10 ms).
    struct Phase {
        int at_ms;
        SYS_FLAG_E ptt;
    } phases[] = {{1980, E_FLAG_ON}, {2000, E_FLAG_OFF}, {5980, E_FLAG_OFF}, {6000, E_FLAG_ON}, {7980, E_FLAG_ON}, {8000, E_FLAG_OFF}};
    int t = 0;
    for (const Phase& p : phases) {
        Step(p.at_ms - t);
        t = p.at_ms;
        EXPECT_EQ(U().m_ePTTFlag, p.ptt) << p.at_ms;
        EXPECT_EQ(U().m_eIsPlayTone, E_FLAG_ON) << p.at_ms;
    }
    // T_NO_ANSWER 9 s after the 180: the 3 s before it do not count.
    const std::string cancel = Await("CANCEL", 1200);
    ASSERT_FALSE(cancel.empty());
    EXPECT_NEAR(now - rang, 9000, 20);
    EXPECT_EQ(U().m_eIsPlayTone, E_FLAG_OFF);
    peer.send(answer_to(cancel, "200 OK"), stack_port);
    peer.send(answer_to(inv, "487 Request Terminated"), stack_port);
    EXPECT_GE(Until(0, E_USER_PLAY_TONE_BUSY, 200), 0);
    EXPECT_GE(Until(0, E_USER_ON_IDLE, 1500), 0);
    EXPECT_EQ(SipChannelsInUse(), 0);
}

TEST_F(LineCalls, EarlyMediaPlaysSevenSecondsFirstThenBursts)
{
    ASSERT_EQ(UserMakeCall(&U(), "9000"), 0);
    const std::string inv = Await("INVITE");
    peer.send(answer_to(inv, "183 Session Progress", "", "peer1", Sdp(rtp.port, "8")), stack_port);
    ASSERT_GE(Until(0, E_USER_ON_RING_183, 100), 0);
    EXPECT_EQ(U().m_eRTPOpenFlag, E_FLAG_ON);
    EXPECT_EQ(U().m_ePTTFlag, E_FLAG_ON);
    EXPECT_EQ(sim_chan(kDspOffset).at("rtp"), 1);
    struct Phase {
        int at_ms;
        SYS_FLAG_E media;
    } phases[] = {{6980, E_FLAG_ON}, {7000, E_FLAG_OFF}, {10980, E_FLAG_OFF}, {11000, E_FLAG_ON}, {12980, E_FLAG_ON},
                  {13000, E_FLAG_OFF}};
    int t = 0;
    for (const Phase& p : phases) {
        Step(p.at_ms - t);
        t = p.at_ms;
        EXPECT_EQ(U().m_eRTPOpenFlag, p.media) << p.at_ms;
        EXPECT_EQ(U().m_ePTTFlag, p.media) << p.at_ms;
    }
    // The answer: talking with the media open and PTT free.
    peer.send(answer_to(inv, "200 OK", "Contact: <sip:9000@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n", "peer1",
                        Sdp(rtp.port, "8")),
              stack_port);
    EXPECT_FALSE(Await("ACK").empty());
    EXPECT_EQ(U().m_eUserStatus, E_USER_ON_TALKING);
    EXPECT_EQ(U().m_eRTPOpenFlag, E_FLAG_ON);
    EXPECT_EQ(U().m_ePTTFlag, E_FLAG_OFF);
}

TEST_F(LineCalls, UnusableSdpOfTheFarEndEndsAPlacedCallTheWayItsDialogAllows)
{
    struct Case {
        const char* answer;
        const char* want_first;   // what the line sends back
        const char* want_second;  // "" none
    } cases[] = {
        {"183 Session Progress", "CANCEL", ""},
        {"200 OK", "ACK", "BYE"},
    };
    for (const Case& c : cases) {
        Step(1100);
        ASSERT_EQ(UserMakeCall(&U(), "9000"), 0) << c.answer;
        const std::string inv = Await("INVITE");
        peer.send(answer_to(inv, c.answer, "Contact: <sip:9000@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n", "peer1",
                            Sdp(rtp.port, "18")),
                  stack_port);
        const std::string first = Await(c.want_first);
        EXPECT_FALSE(first.empty()) << c.answer;
        if (*c.want_second) {
            EXPECT_FALSE(Await(c.want_second).empty()) << c.answer;
        }
        // Never a response on a request the line sent.
        for (const std::string& m : seen) EXPECT_NE(m.rfind("SIP/2.0 480", 0), 0u) << c.answer;
        if (std::string(c.want_first) == "CANCEL") {
            peer.send(answer_to(inv, "487 Request Terminated"), stack_port);
            Step(50);
        }
        EXPECT_GE(Until(0, E_USER_ON_IDLE, 2000), 0) << c.answer;
        EXPECT_EQ(SipChannelsInUse(), 0) << c.answer;
        seen.clear();
    }
}

TEST_F(LineCalls, AnInviteWithoutAnyAnswerIsCancelledAfterFiveSeconds)
{
    ASSERT_EQ(UserMakeCall(&U(), "9000"), 0);
    ASSERT_FALSE(Await("INVITE").empty());
    const std::string cancel = Await("CANCEL", 6000);
    ASSERT_FALSE(cancel.empty());
    EXPECT_EQ(U().m_eUserStatus, E_USER_ON_IDLE);
    EXPECT_EQ(U().m_iChnSip, -1);
    EXPECT_EQ(SipChannelsInUse(), 0);
}

TEST_F(LineCalls, BusyFarEndIsCalledAgainAtMostRedial4xxTimes)
{
    U().m_s4xxRecall.m_iReCallMax = 2;
    User_InitChnData(0);  // the configuration's maximum survives the line's set-up
    ASSERT_EQ(U().m_s4xxRecall.m_iReCallMax, 2);
    ASSERT_EQ(UserMakeCall(&U(), "9000"), 0);
    int invites = 0;
    for (std::string inv = Await("INVITE", 6000); !inv.empty(); inv = Await("INVITE", 6000)) {
        ++invites;
        EXPECT_THAT(start_line(inv), HasSubstr("sip:9000@")) << invites;
        peer.send(answer_to(inv, "486 Busy Here"), stack_port);
        EXPECT_GE(Until(0, E_USER_PLAY_TONE_BUSY, 200), 0) << invites;
        if (invites > 4) break;
    }
    EXPECT_EQ(invites, 3);
    EXPECT_EQ(U().m_eUserStatus, E_USER_ON_IDLE);
    EXPECT_EQ(SipChannelsInUse(), 0);
}

TEST_F(LineCalls, InDialogFailuresEndTheCallWithABye)
{
    const std::string ok = TalkingCall("i1");
    // An INFO without a body is answered and changes nothing.
    peer.send(Request("INFO", "8001", "i1", 2, param(header(ok, "To"), "tag")), stack_port);
    EXPECT_EQ(start_line(Await("SIP/2.0")), "SIP/2.0 200 OK");
    EXPECT_EQ(U().m_eUserStatus, E_USER_ON_TALKING);
    // The line's INFO gets 408: the far end is told with a BYE before the line lets go.
    SipMan_SendSipInfo(U().m_iChnSip, "*1", 0);
    const std::string info = Await("INFO");
    ASSERT_FALSE(info.empty());
    peer.send(answer_to(info, "408 Request Timeout"), stack_port);
    EXPECT_FALSE(Await("BYE").empty());
    EXPECT_EQ(U().m_eUserStatus, E_USER_PLAY_TONE_BUSY);
    EXPECT_EQ(SipChannelsInUse(), 0);
}

// A failure answer to the line's own request inside a talking call ends the call: with a BYE
// when the far end may still hold the dialog (408), without one when it said the dialog is gone.
TEST_F(LineCalls, InDialogFailureAnswersEndTheCall)
{
    struct Case {
        const char* what;
        const char* request;  // what the line sends
        const char* answer;
        bool bye;
    } cases[] = {
        {"re-INVITE 408", "INVITE", "408 Request Timeout", true},
        {"INFO 481", "INFO", "481 Call/Transaction Does Not Exist", false},
    };
    int n = 0;
    for (const Case& c : cases) {
        Step(1100);
        const std::string cid = "f" + std::to_string(n++);
        TalkingCall(cid);
        ASSERT_EQ(SipChannelsInUse(), 1) << c.what;
        seen.clear();
        if (std::string(c.request) == "INFO") {
            SipMan_SendSipInfo(U().m_iChnSip, "*1", 0);
        } else {
            SIP_SDP offer = U().m_sSdpLocal;
            SipMan_SendReInvite(U().m_iChnSip, &offer, SENDRECV, 0);
        }
        const std::string req = Await(c.request);
        ASSERT_FALSE(req.empty()) << c.what;
        peer.send(answer_to(req, c.answer), stack_port);
        if (c.bye) {
            EXPECT_FALSE(Await("BYE").empty()) << c.what;
        } else {
            EXPECT_TRUE(Await("BYE", 300).empty()) << c.what;
        }
        EXPECT_EQ(U().m_eUserStatus, E_USER_PLAY_TONE_BUSY) << c.what;
        EXPECT_EQ(U().m_iChnSip, -1) << c.what;
        EXPECT_EQ(sim_chan(kDspOffset).at("rtp"), 0) << c.what;
        EXPECT_EQ(SipChannelsInUse(), 0) << c.what;
        ASSERT_GE(Until(0, E_USER_ON_IDLE, 3000), 0) << c.what;
    }
}

namespace {
long RealSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}
}  // namespace

// A request of the line's inside a talking call that the far end never answers times out in
// the stack and ends the call with a BYE, as a 408 does. A short T1 brings the time-out (64 T1)
// within a second and a half of real time; the stack's timers run on the real clock.
TEST_F(LineCalls, InDialogRequestsLeftUnansweredEndTheCallWithABye)
{
    struct Restore {
        SipStackCfg saved = g_sSipCfg;
        ~Restore() { g_sSipCfg = saved; }
    } restore;
    g_sSipCfg.t1 = 20;
    g_sSipCfg.t2 = 160;
    g_sSipCfg.t4 = 200;
    for (const char* request : {"INFO", "INVITE"}) {
        Step(1100);
        TalkingCall(std::string("t") + request);
        seen.clear();
        ASSERT_EQ(SipChannelsInUse(), 1) << request;
        if (std::string(request) == "INFO") {
            SipMan_SendSipInfo(U().m_iChnSip, "*1", 0);
        } else {
            SIP_SDP offer = U().m_sSdpLocal;
            SipMan_SendReInvite(U().m_iChnSip, &offer, SENDRECV, 0);
        }
        ASSERT_FALSE(Await(request).empty()) << request;
        const std::string cid = std::string("t") + request;
        std::string bye;
        for (const long end = RealSeconds() + 20; header(bye, "Call-ID") != cid && RealSeconds() < end; usleep(5000))
            bye = Await("BYE", 100);
        ASSERT_EQ(header(bye, "Call-ID"), cid) << request;
        peer.send(answer_to(bye, "200 OK"), stack_port);
        EXPECT_EQ(U().m_eUserStatus, E_USER_PLAY_TONE_BUSY) << request;
        EXPECT_EQ(U().m_iChnSip, -1) << request;
        EXPECT_EQ(sim_chan(kDspOffset).at("rtp"), 0) << request;
        ASSERT_GE(Until(0, E_USER_ON_IDLE, 3000), 0) << request;
        EXPECT_EQ(SipChannelsInUse(), 0) << request;
    }
}

// The 200 to the line's own re-INVITE moves the media only to an address it can use; the
// call goes on (ACK) whatever the answer carries.
TEST_F(LineCalls, TheAnswerToTheLinesReInviteMovesTheMediaOnlyToAUsableAddress)
{
    TalkingCall("m1");
    struct Case {
        const char* what;
        std::string body;
        int want_port;  // of the far end's media afterwards
    } cases[] = {
        {"no SDP", "", rtp.port},
        {"port 0", Sdp(0, "8"), rtp.port},
        {"bad address", Sdp(rtp.port + 4, "8", "", "999.1.1.1"), rtp.port},
        {"usable", Sdp(rtp.port + 2, "8"), rtp.port + 2},
    };
    int tag = 0;
    for (const Case& c : cases) {
        SIP_SDP offer = U().m_sSdpLocal;
        SipMan_SendReInvite(U().m_iChnSip, &offer, SENDRECV, 0);
        const std::string req = Await("INVITE");
        ASSERT_FALSE(req.empty()) << c.what;
        peer.send(answer_to(req, "200 OK", "Contact: <sip:300@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n",
                            "t" + std::to_string(tag++), c.body),
                  stack_port);
        EXPECT_FALSE(Await("ACK").empty()) << c.what;
        Step(30);
        EXPECT_EQ(U().m_eUserStatus, E_USER_ON_TALKING) << c.what;
        EXPECT_EQ(RTP_GetAddressRemote(0)->port, c.want_port) << c.what;
        EXPECT_EQ(sim_chan(kDspOffset).at("rtp"), 1) << c.what;
    }
    EXPECT_EQ(SipChannelsInUse(), 1);
}

// Without a DSP channel the media steps stop before addressing one.
TEST_F(LineCalls, MediaStepsWithoutADspChannelStopAndTouchNothing)
{
    TalkingCall("d1");
    const int res = U().m_iChnRes;
    const int remote = RTP_GetAddressRemote(0)->port;
    U().m_iChnRes = -1;
    U().m_eRTPOpenFlag = E_FLAG_OFF;
    struct Case {
        const char* what;
        std::function<int(USER_INFO_T*)> step;
    } cases[] = {
        {"open", UserOpenRtpChn},
        {"close", UserCloseRtpChn},
        {"take an SDP", [](USER_INFO_T* u) {
             SIP_SDP moved = u->m_sSdpRemote;
             moved.a_addr.port += 2;
             return UserInitCallRes(u, &moved);
         }},
    };
    const int taken = U().m_sSdpRemote.a_addr.port;
    for (const Case& c : cases) {
        EXPECT_EQ(c.step(&U()), -1) << c.what;
        EXPECT_EQ(U().m_eRTPOpenFlag, E_FLAG_OFF) << c.what;
        EXPECT_EQ(sim_chan(kDspOffset).at("rtp"), 1) << c.what;  // the DSP's channel is left as it was
        EXPECT_EQ(RTP_GetAddressRemote(0)->port, remote) << c.what;
        EXPECT_EQ(U().m_sSdpRemote.a_addr.port, taken) << c.what;
    }
    U().m_iChnRes = res;
    U().m_eRTPOpenFlag = E_FLAG_ON;
}

// ---- the automatic call

TEST_F(LineCalls, AutomaticCallJoinsLineZeroToLineOneOnTheBoardsOwnSoftswitch)
{
    Step(100);
    EXPECT_TRUE(Await("INVITE", 100).empty());  // the host is current: nothing
    OPT_SetCurRegAddr(E_REG_SW_BAK_1);
    const std::string inv = Await("INVITE");
    ASSERT_FALSE(inv.empty());
    EXPECT_THAT(start_line(inv), HasSubstr("sip:8002@"));
    EXPECT_EQ(g_iAutoEstablishEnable, 1);
    peer.send(answer_to(inv, "200 OK", "Contact: <sip:8002@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n", "peer1",
                        Sdp(rtp.port, "8")),
              stack_port);
    Step(50);
    ASSERT_EQ(U().m_eUserStatus, E_USER_ON_TALKING);
    const std::size_t restarts = count_of(shell_log(), "killall sipswitch;./switch/sipswitch &");
    seen.clear();
    // The host answers again: the call ends without a BYE and the board's softswitch restarts.
    OPT_SetCurRegAddr(E_REG_SW_HOST);
    Step(20);
    EXPECT_EQ(U().m_eUserStatus, E_USER_ON_IDLE);
    EXPECT_EQ(g_iAutoEstablishEnable, 0);
    EXPECT_EQ(count_of(shell_log(), "killall sipswitch;./switch/sipswitch &"), restarts + 1);
    EXPECT_TRUE(Await("BYE", 300).empty());
    EXPECT_EQ(SipChannelsInUse(), 0);
    Step(2000);
    EXPECT_EQ(count_of(shell_log(), "killall sipswitch;./switch/sipswitch &"), restarts + 1);
}

// ---- pure steps

TEST(LineSdp, CheckCodecChoiceAndDirection)
{
    USER_INFO_T u{};
    u.m_eCodePriority[0] = G711_A;
    u.m_eCodePriority[1] = G711_U;
    auto sdp = [](const char* ip, int port, std::initializer_list<int> coders, int fax_use = 0, int fax_port = 0) {
        SIP_SDP s{};
        s.a_use = 1;
        copy_text(s.a_addr.ip, ip);
        s.a_addr.port = port;
        int i = 0;
        for (int c : coders) s.a_coders[i++] = c;
        s.fax_use = fax_use;
        copy_text(s.fax.fax_addr.ip, "10.0.0.9");
        s.fax.fax_addr.port = fax_port;
        return s;
    };
    struct Case {
        const char* what;
        SIP_SDP s;
        int check, coder;
    } cases[] = {
        {"peer order wins", sdp("10.0.0.1", 4000, {G711_U, G711_A}), 0, G711_U},
        {"empties skipped", sdp("10.0.0.1", 4000, {0, G729, G711_A}), 0, G711_A},
        {"none in common", sdp("10.0.0.1", 4000, {G729, G723}), 0, -1},
        {"host name", sdp("gw.example", 4000, {G711_A}), -2, G711_A},
        {"port 0", sdp("10.0.0.1", 0, {G711_A}), -3, G711_A},
        {"port too big", sdp("10.0.0.1", 70000, {G711_A}), -3, G711_A},
        {"fax port 0", sdp("10.0.0.1", 4000, {G711_A}, 1, 0), -4, G711_A},
        {"fax usable", sdp("10.0.0.1", 4000, {G711_A}, 1, 4002), 0, G711_A},
        {"fax port too big", sdp("10.0.0.1", 4000, {G711_A}, 1, 70000), -4, G711_A},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UserCheckSdp(0, &c.s), c.check) << c.what;
        EXPECT_EQ(UserChooseCoder(&u, &c.s), c.coder) << c.what;
    }
    SIP_SDP none = sdp("10.0.0.1", 4000, {G711_A});
    none.a_use = 0;
    EXPECT_EQ(UserCheckSdp(0, &none), -1);
    const int mirror[][2] = {{SENDRECV, SENDRECV}, {SENDONLY, RECVONLY}, {RECVONLY, SENDONLY}, {INACTIVE, INACTIVE}, {7, INACTIVE}};
    for (const auto& m : mirror) EXPECT_EQ(UserMirrorMedia(m[0]), m[1]) << m[0];
}

TEST_F(LineCalls, HalfDuplexIsTheWordWithSomethingAfterIt)
{
    struct Case {
        const char* call_info;
        SIPINFO_MODE mode;
    } cases[] = {
        {"callmode=half-duplex", E_MODE_HALF},
        {"callmode=half-duple", E_MODE_FULL},
        {"callmode=hhalf-duplex", E_MODE_HALF},  // the broken match is looked at again
        {"callmode=full-duplex", E_MODE_FULL},
    };
    int n = 0;
    for (const Case& c : cases) {
        Step(1100);
        const std::string cid = "h" + std::to_string(n++);
        const std::string ok = Invite("8001", cid, Sdp(rtp.port, "8"), std::string("Call-Info: ") + c.call_info + "\r\n");
        ASSERT_EQ(start_line(ok), "SIP/2.0 200 OK") << c.call_info;
        EXPECT_EQ(U().m_eCallMode, c.mode) << c.call_info;
        peer.send(Request("ACK", "8001", cid, 1, param(header(ok, "To"), "tag")), stack_port);
        peer.send(Request("BYE", "8001", cid, 2, param(header(ok, "To"), "tag")), stack_port);
        Await("SIP/2.0 200");
        ASSERT_GE(Until(0, E_USER_ON_IDLE, 3000), 0);
    }
}

}  // namespace
