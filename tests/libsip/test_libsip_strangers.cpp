// Requests from anyone for a dialog or INVITE the stack does not have: each is answered at once
// without taking a transaction or a handle, so a stream of them leaves the table to the lines'
// registrations and calls; copies of such a request get the same answer, byte for byte.
#include <gtest/gtest.h>

#include "sip_peer.h"
#include "sip_stack.h"

namespace {

int live_transactions()
{
    int n = 0;
    for (const auto& t : g_sSipTrans) n += t.use;
    return n;
}

struct Stranger {
    std::string method, to_tag, want;
};
// One of each kind a stranger can send without knowing a dialog.
const Stranger kStrangers[] = {
    {"BYE", "", "SIP/2.0 481 Call/Transaction Does Not Exist"},
    {"BYE", "nope", "SIP/2.0 481 Call/Transaction Does Not Exist"},
    {"INFO", "nope", "SIP/2.0 481 Call/Transaction Does Not Exist"},
    {"CANCEL", "", "SIP/2.0 481 Call/Transaction Does Not Exist"},
    {"NOTIFY", "nope", "SIP/2.0 481 Call/Transaction Does Not Exist"},
    {"UPDATE", "nope", "SIP/2.0 481 Call/Transaction Does Not Exist"},
    {"INVITE", "nope", "SIP/2.0 481 Call/Transaction Does Not Exist"},   // a re-INVITE of no call
    {"OPTIONS", "", "SIP/2.0 200 OK"},
    {"MESSAGE", "", "SIP/2.0 405 Method Not Allowed"},
    {"FROBNICATE", "", "SIP/2.0 501 Not Implemented"},
};

std::string stranger_request(const Stranger& s, int n, int stack_port, int peer_port)
{
    return peer_request(s.method, stack_port, peer_port, "stranger-" + std::to_string(n) + "@10.9.9.9", n + 1,
                        "z9hG4bKstr" + std::to_string(n), s.to_tag);
}

using StrangerTest = StackTest;

TEST_F(StrangerTest, MoreStrangersThanTransactionsLeaveTheTableToTheLines)
{
    const int total = kSipMaxTrans + 64;
    for (int i = 0; i < total; ++i) {
        const Stranger& s = kStrangers[i % std::size(kStrangers)];
        std::string req = stranger_request(s, i, port, peer.port());
        peer.send(req, port);
        std::string got = peer.next(1000);
        ASSERT_EQ(start_line(got), s.want) << s.method << " " << i;
        EXPECT_EQ(header(got, "Call-ID"), header(req, "Call-ID"));
        EXPECT_EQ(header(got, "CSeq"), header(req, "CSeq"));
        EXPECT_NE(param(header(got, "To"), "tag"), "") << s.method;
        EXPECT_EQ(live_transactions(), 0) << s.method << " " << i;
    }
    EXPECT_TRUE(g_reports.empty());

    // a registration and a new call still find room
    int reg = LIBSIP_CreatChn(-1);
    ASSERT_GE(reg, 0);
    LIBSIP_SetFromTel(reg, "201");
    LIBSIP_SetToTel(reg, "201");
    IPV4_ADDRESS to = peer.addr();
    LIBSIP_SetUserHost(reg, &to);
    ASSERT_EQ(LIBSIP_Send(100, reg), 0);
    EXPECT_FALSE(peer.next_starting("REGISTER").empty());
    g_on_report = [](const Report& r) {
        if (r.type != 200) return;
        LIBSIP_SetDisReason(r.chn, SIP_RESPONSE_MSG_480_TEMPORARILY_UNAVAILABLE);
        LIBSIP_Send(226, r.chn);
    };
    peer.send(peer_request("INVITE", port, peer.port(), "call@127.0.0.1", 1, "z9hG4bKcall", "", "", kPeerSdp), port);
    EXPECT_EQ(start_line(peer.next_starting("SIP/2.0 4")), "SIP/2.0 480 Temporarily Unavailable");
    EXPECT_EQ(count_reports(200), 1);
}

TEST_F(StrangerTest, CopiesGetTheSameAnswerAndOthersTheirOwn)
{
    std::vector<std::string> reqs, firsts;
    for (int i = 0; i < static_cast<int>(std::size(kStrangers)); ++i) {
        reqs.push_back(stranger_request(kStrangers[i], i, port, peer.port()));
        peer.send(reqs.back(), port);
        firsts.push_back(peer.next(1000));
        ASSERT_EQ(start_line(firsts.back()), kStrangers[i].want);
    }
    for (size_t i = 0; i < reqs.size(); ++i) {
        peer.send(reqs[i], port);
        EXPECT_EQ(peer.next(1000), firsts[i]) << kStrangers[i].method << ": a copy while its answer is kept";
    }
    // more strangers than answers are kept: the first ones' copies are composed again, alike
    for (int i = 0; i < 2 * kSipMaxAnswered; ++i) {
        peer.send(stranger_request(kStrangers[0], 100 + i, port, peer.port()), port);
        ASSERT_FALSE(peer.next(1000).empty());
    }
    for (size_t i = 0; i < reqs.size(); ++i) {
        peer.send(reqs[i], port);
        EXPECT_EQ(peer.next(1000), firsts[i]) << kStrangers[i].method << ": a copy after its answer went";
    }
    // another request of the same dialog-less kind gets a tag of its own
    std::string other = stranger_request(kStrangers[0], 999, port, peer.port());
    peer.send(other, port);
    EXPECT_NE(param(header(peer.next(1000), "To"), "tag"), param(header(firsts[0], "To"), "tag"));
    EXPECT_EQ(live_transactions(), 0);
}

TEST_F(StrangerTest, RequestsOfOurOwnDialogsStillReachTheGateway)
{
    // an incoming call answered by the gateway, then the far end's INFO and BYE in that dialog
    g_on_report = answer_call;
    peer.send(peer_request("INVITE", port, peer.port(), "own@127.0.0.1", 1, "z9hG4bKown", "", "", kPeerSdp), port);
    std::string ok = peer.next_starting("SIP/2.0 200");
    ASSERT_FALSE(ok.empty());
    std::string tag = param(header(ok, "To"), "tag");
    peer.send(peer_request("ACK", port, peer.port(), "own@127.0.0.1", 1, "z9hG4bKownack", tag), port);
    ASSERT_TRUE(pump_until([] { return count_reports(204) == 1; }, 1000));
    g_on_report = nullptr;
    // the same Call-ID with a wrong tag is a stranger's
    peer.send(peer_request("BYE", port, peer.port(), "own@127.0.0.1", 2, "z9hG4bKbye0", "wrong"), port);
    EXPECT_EQ(start_line(peer.next(1000)), "SIP/2.0 481 Call/Transaction Does Not Exist");
    EXPECT_EQ(count_reports(208), 0);
    peer.send(peer_request("BYE", port, peer.port(), "own@127.0.0.1", 3, "z9hG4bKbye1", tag), port);
    EXPECT_EQ(start_line(peer.next(1000)), "SIP/2.0 200 OK");
    EXPECT_EQ(count_reports(208), 1);
}

}  // namespace
