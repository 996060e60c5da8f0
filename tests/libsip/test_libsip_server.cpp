// What arrives at the stack from a far end on loopback: incoming calls and what the gateway answers,
// CANCEL, the requests the stack answers itself, datagrams that are not SIP, and handles of calls
// the gateway never frees.
#include <gtest/gtest.h>

#include "sip_peer.h"

namespace {

struct ServerTest : StackTest {

    std::string invite(const std::string& call_id, const std::string& branch, const std::string& body = kPeerSdp,
                       const std::string& extra = "")
    {
        return peer_request("INVITE", port, peer.port(), call_id, 1, branch, "", extra, body);
    }
};

// The gateway's refusal of a new call, without freeing the handle.
void refuse_call(const Report& r)
{
    if (r.type != 200) return;
    LIBSIP_SetDisReason(r.chn, SIP_RESPONSE_MSG_480_TEMPORARILY_UNAVAILABLE);
    LIBSIP_Send(226, r.chn);
}

TEST_F(ServerTest, IncomingCallIsReportedOnceAndAnswered)
{
    g_on_report = answer_call;
    std::string inv = invite("in-1@127.0.0.1", "z9hG4bKin1", kPeerSdp, "Call-Info: callmode=half-duplex\r\nAlert-Info: <http://x/Bellcore-dr3>\r\n");
    peer.send(inv, port);
    peer.send(inv, port);   // a copy before the answer: the transaction absorbs it
    std::string ringing = peer.next_starting("SIP/2.0 180");
    std::string ok = peer.next_starting("SIP/2.0 200");
    ASSERT_FALSE(ok.empty());
    ASSERT_EQ(count_reports(200), 1);
    const Report& r = g_reports[0];
    EXPECT_EQ(r.from, "300");
    EXPECT_EQ(r.to, "201");
    EXPECT_EQ(r.data_type, 1);
    EXPECT_TRUE(r.has_host);
    EXPECT_EQ(r.call_info, "callmode=half-duplex");
    EXPECT_EQ(LIBSIP_GetAlertRingLevel(r.chn), 3);
    ASSERT_TRUE(r.has_sdp);
    EXPECT_EQ(std::string(r.sdp.a_addr.ip), "127.0.0.1");
    EXPECT_EQ(r.sdp.a_addr.port, 40000);
    EXPECT_EQ(r.sdp.a_coders[0], G711_A);
    EXPECT_EQ(r.sdp.a_coders[1], G711_U);
    EXPECT_EQ(r.sdp.a_coders[2], 101);
    EXPECT_EQ(r.sdp.a_media, SENDRECV) << "no direction line reads as sendrecv";
    EXPECT_EQ(r.sdp.a_ptime, 20);

    std::string tag = param(header(ok, "To"), "tag");
    EXPECT_FALSE(tag.empty());
    EXPECT_EQ(param(header(ringing, "To"), "tag"), tag);
    EXPECT_EQ(header(ok, "Contact"), "<sip:201@127.0.0.1:" + std::to_string(port) + ">");
    EXPECT_EQ(header(ok, "Via"), header(inv, "Via"));
    EXPECT_NE(ok.find("m=audio 10002 RTP/AVP 8 101\r\n"), std::string::npos) << ok;
    EXPECT_NE(ok.find("a=rtpmap:101 telephone-event/8000\r\n"), std::string::npos) << ok;

    // no ACK yet: the 200 is repeated
    std::string again = peer.next_starting("SIP/2.0 200", 500);
    EXPECT_EQ(again, ok);
    // a copy of the INVITE after the 200 gets the 200 again, and no new report
    peer.send(inv, port);
    EXPECT_EQ(peer.next_starting("SIP/2.0 200", 500), ok);
    // the ACK without SDP still gives the stored SDP
    peer.send(peer_request("ACK", port, peer.port(), "in-1@127.0.0.1", 1, "z9hG4bKack1", tag), port);
    ASSERT_TRUE(pump_until([] { return count_reports(204) == 1; }, 1000));
    EXPECT_TRUE(g_reports.back().has_sdp);
    EXPECT_EQ(g_reports.back().sdp.a_addr.port, 40000);
    EXPECT_EQ(count_reports(200), 1);
    peer.drain();  // a repeat that left before the ACK was taken (a slow machine, qemu)
    EXPECT_TRUE(peer.next_starting("SIP/2.0 200", 300).empty()) << "the ACK stops the repeats";

    // INFO from the far end: a text body, answered by the gateway; a call-info one, left to the stack
    g_on_report = [](const Report& rep) { if (rep.type == 206 && rep.data_type == 4) LIBSIP_Send(229, rep.chn); };
    peer.send(peer_request("INFO", port, peer.port(), "in-1@127.0.0.1", 2, "z9hG4bKinfo1", tag, "", "*", "text/plain"), port);
    std::string info_ok = peer.next_starting("SIP/2.0 200");
    EXPECT_EQ(header(info_ok, "CSeq"), "2 INFO");
    EXPECT_EQ(g_reports.back().info, "*");
    peer.send(peer_request("INFO", port, peer.port(), "in-1@127.0.0.1", 3, "z9hG4bKinfo2", tag, "Call-Info: ptttype=taken;ptttel=300;reqid=1000\r\n"), port);
    EXPECT_EQ(header(peer.next_starting("SIP/2.0 200"), "CSeq"), "3 INFO");
    EXPECT_EQ(g_reports.back().call_info, "ptttype=taken;ptttel=300;reqid=1000");
    EXPECT_EQ(g_reports.back().data_type, 0);

    // the far end hangs up
    g_on_report = [](const Report& rep) { if (rep.type == 208) LIBSIP_Send(224, rep.chn); };
    peer.send(peer_request("BYE", port, peer.port(), "in-1@127.0.0.1", 4, "z9hG4bKbye1", tag), port);
    EXPECT_EQ(header(peer.next_starting("SIP/2.0 200"), "CSeq"), "4 BYE");
    EXPECT_EQ(count_reports(208), 1);
}

TEST_F(ServerTest, CallWhoseAckNeverComesEndsWithTimeOut)
{
    g_on_report = answer_call;
    peer.send(invite("in-2@127.0.0.1", "z9hG4bKin2"), port);
    std::string ok = peer.next_starting("SIP/2.0 200");
    ASSERT_FALSE(ok.empty());
    ASSERT_TRUE(pump_until([] { return count_reports(300) == 1; }, 5000));
    EXPECT_EQ(g_reports.back().cseq_method, SIP_REQUEST_MSG_INVITE);
    EXPECT_TRUE(g_reports.back().has_host);
    std::string bye = peer.next_starting("BYE");
    ASSERT_FALSE(bye.empty()) << "the session the ACK never confirmed is ended";
    EXPECT_EQ(header(bye, "Call-ID"), "in-2@127.0.0.1");
    EXPECT_EQ(param(header(bye, "From"), "tag"), param(header(ok, "To"), "tag"));
}

TEST_F(ServerTest, CancelIsAnsweredByTheStack)
{
    g_on_report = [](const Report& r) { if (r.type == 200) LIBSIP_Send(202, r.chn); };   // rings, no answer yet
    std::string inv = invite("in-3@127.0.0.1", "z9hG4bKin3");
    peer.send(inv, port);
    std::string ringing = peer.next_starting("SIP/2.0 180");
    ASSERT_FALSE(ringing.empty());
    std::string cancel = peer_request("CANCEL", port, peer.port(), "in-3@127.0.0.1", 1, "z9hG4bKin3");
    peer.send(cancel, port);
    std::string got1 = peer.next(1000), got2 = peer.next(1000);
    std::string c200 = start_line(got1) == "SIP/2.0 200 OK" ? got1 : got2;
    std::string r487 = start_line(got1) == "SIP/2.0 200 OK" ? got2 : got1;
    EXPECT_EQ(header(c200, "CSeq"), "1 CANCEL");
    EXPECT_EQ(start_line(r487), "SIP/2.0 487 Request Terminated");
    EXPECT_EQ(header(r487, "CSeq"), "1 INVITE");
    EXPECT_EQ(param(header(r487, "To"), "tag"), param(header(ringing, "To"), "tag"));
    ASSERT_EQ(count_reports(209), 1);
    // the ACK of the 487 ends the refused call for the gateway as well
    peer.send(peer_request("ACK", port, peer.port(), "in-3@127.0.0.1", 1, "z9hG4bKin3", param(header(r487, "To"), "tag")), port);
    ASSERT_TRUE(pump_until([] { return count_reports(225) == 1; }, 1000));
    // a CANCEL for nothing; a 487 the stack resent before the ACK reached it may come first
    peer.send(peer_request("CANCEL", port, peer.port(), "nothing@127.0.0.1", 1, "z9hG4bKnone"), port);
    std::string none;
    for (long long end = now_ms() + 2000; none.empty() && now_ms() < end;) {
        std::string m = peer.next(static_cast<int>(end - now_ms()) + 1);
        if (header(m, "Call-ID") == "nothing@127.0.0.1") none = m;
    }
    EXPECT_EQ(start_line(none), "SIP/2.0 481 Call/Transaction Does Not Exist");
}

TEST_F(ServerTest, RequestsTheGatewayDoesNotTakeAreAnsweredByTheStack)
{
    struct Case { std::string method; std::string to_tag; std::string want; };
    const Case cases[] = {
        {"OPTIONS", "", "SIP/2.0 200 OK"},
        {"MESSAGE", "", "SIP/2.0 405 Method Not Allowed"},
        {"SUBSCRIBE", "", "SIP/2.0 405 Method Not Allowed"},
        {"REGISTER", "", "SIP/2.0 405 Method Not Allowed"},
        {"FROBNICATE", "", "SIP/2.0 501 Not Implemented"},
        {"BYE", "nope", "SIP/2.0 481 Call/Transaction Does Not Exist"},
        {"INFO", "nope", "SIP/2.0 481 Call/Transaction Does Not Exist"},
        {"INVITE", "nope", "SIP/2.0 481 Call/Transaction Does Not Exist"},
    };
    int n = 0;
    for (const auto& c : cases) {
        std::string req = peer_request(c.method, port, peer.port(), "req-" + std::to_string(n) + "@127.0.0.1", 1,
                                       "z9hG4bKreq" + std::to_string(n), c.to_tag);
        ++n;
        peer.send(req, port);
        std::string got = peer.next(1000);
        EXPECT_EQ(start_line(got), c.want) << c.method;
        EXPECT_EQ(header(got, "Call-ID"), header(req, "Call-ID")) << c.method;
        if (c.method == "OPTIONS" || c.want.find("405") != std::string::npos) {
            EXPECT_NE(header(got, "Allow").find("INVITE"), std::string::npos) << c.method;
        }
    }
    EXPECT_TRUE(g_reports.empty());
}

TEST_F(ServerTest, DatagramsThatAreNotSipAreDropped)
{
    const std::string cases[] = {
        // the switch's notice that a number registered from elsewhere: 'D', 1, 4, length 25, number
        std::string("D\x01\x04\x00\x19" "201", 8) + std::string(22, '\0'),
        std::string("D\x01\x04\x00\x19") + std::string(25, '7'),
        "hello world",
        "INVITE sip:201@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5\r\n\r\n",   // no Call-ID, From, To, CSeq
        "SIP/2.0 999 Odd\r\nVia: SIP/2.0/UDP 1.2.3.4\r\nCall-ID: a\r\nFrom: <sip:a@b>\r\nTo: <sip:a@b>\r\nCSeq: 1 INVITE\r\n\r\n",
        "",
    };
    for (const auto& c : cases) {
        peer.send(c, port);
        EXPECT_TRUE(peer.next(100).empty());
    }
    EXPECT_TRUE(g_reports.empty());
}

TEST_F(ServerTest, RefusedCallsNeverExhaustTheHandles)
{
    // the gateway refuses and never frees; 3 times more calls than handles
    g_on_report = refuse_call;
    for (int i = 0; i < 36; ++i) {
        std::string id = "ref-" + std::to_string(i) + "@127.0.0.1";
        peer.send(invite(id, "z9hG4bKref" + std::to_string(i)), port);
        std::string got = peer.next(1000);
        ASSERT_EQ(start_line(got), "SIP/2.0 480 Temporarily Unavailable") << i;
        peer.send(peer_request("ACK", port, peer.port(), id, 1, "z9hG4bKref" + std::to_string(i), param(header(got, "To"), "tag")), port);
    }
    pump_for(50);
    EXPECT_EQ(count_reports(200), 36);
    EXPECT_EQ(count_reports(225), 36);
    pump_for(64 * 20 + 100);
    LIBSIP_TestChnState();
    // every handle can be had again
    std::vector<int> got;
    for (int h; (h = LIBSIP_CreatChn(-1)) >= 0;) got.push_back(h);
    EXPECT_EQ(got.size(), 12u);
    EXPECT_EQ(LIBSIP_CreatChn(-1), -1);
}

TEST_F(ServerTest, ByeOnACallNotAnsweredYetRefusesOrCancelsIt)
{
    g_on_report = [](const Report& r) { if (r.type == 200) LIBSIP_Send(202, r.chn); };
    peer.send(invite("in-6@127.0.0.1", "z9hG4bKin6"), port);
    ASSERT_FALSE(peer.next_starting("SIP/2.0 180").empty());
    ASSERT_EQ(LIBSIP_Send(208, g_reports.back().chn), 0);
    EXPECT_EQ(start_line(peer.next(1000)), "SIP/2.0 480 Temporarily Unavailable");

    int chn = call_chn_to(peer.addr());
    ASSERT_EQ(LIBSIP_Send(200, chn), 0);
    std::string inv = peer.next_starting("INVITE");
    peer.send(answer_to(inv, "180 Ringing"), port);
    ASSERT_TRUE(pump_until([] { return count_reports(202) == 1; }, 1000));
    ASSERT_EQ(LIBSIP_Send(208, chn), 0);
    EXPECT_EQ(header(peer.next_starting("CANCEL"), "CSeq"), "1 CANCEL");
}

TEST_F(ServerTest, CallLeftWithoutAnswerGetsRefused)
{
    // the gateway looks at the call and does nothing
    peer.send(invite("in-4@127.0.0.1", "z9hG4bKin4"), port);
    EXPECT_EQ(start_line(peer.next(1000)), "SIP/2.0 480 Temporarily Unavailable");
    ASSERT_EQ(count_reports(200), 1);
    // a full table answers busy without a report
    for (int h; (h = LIBSIP_CreatChn(-1)) >= 0;) {}
    size_t before = g_reports.size();
    LIBSIP_ResetChn(g_reports[0].chn);   // the only ended call; then every handle is held by a live one
    LIBSIP_CreatChn(-1);
    peer.send(invite("in-5@127.0.0.1", "z9hG4bKin5"), port);
    EXPECT_EQ(start_line(peer.next(1000)), "SIP/2.0 486 Busy Here");
    EXPECT_EQ(g_reports.size(), before);
}

}  // namespace
