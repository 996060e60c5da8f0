// The MGCP endpoints through the whole switch: a gateway on a loopback socket sends what an
// analogue gateway sends (LF lines), SIP phones on loopback sockets take the other side of the
// calls, and what the switch sends each is checked. The one-second steps are called tick by tick.
#include <functional>
#include <string>
#include <vector>

#include "call_fixture.h"
#include "call_relay.h"
#include "mgcp_endpoint.h"
#include "mgcp_transport.h"

using namespace calltest;

namespace {

// The gateway's media in its CRCX answers, as it writes it.
const std::string kGatewaySdp = "v=0\nc=IN IP4 127.0.0.9\nm=audio 6000 RTP/AVP 0 8\n";
constexpr int kEndpoint = 0;   // the first record the gateway's line takes

std::string word(const std::string& text, int n)
{
    std::size_t at = 0;
    for (int i = 0; i < n; ++i) at = text.find(' ', at) + 1;
    return text.substr(at, text.find_first_of(" \r\n", at) - at);
}

class MgcpCalls : public SwitchTest {
public:
    Peer gw, a, b;   // the gateway, SIP phones 801 and 802; the endpoint is 803
    int tid = 100;   // the gateway's next transaction id

    static void SetUpTestSuite()
    {
        SwitchTest::SetUpTestSuite();
        ASSERT_GE(Mgcp_Server_Create(0), 0);
    }

    void SetUp() override
    {
        clear_tables();
        reset_switch_settings();
        copy_text(sip_server_local_host, "127.0.0.1");
        copy_text(sip_server_local_port, "5060");
        enroll(a, "801");
        enroll(b, "802");
        tid = 100;
        EXPECT_EQ(send("RSIP " + next() + " aaln/1@gw MGCP 1.0\nRM: restart\n"),
                  (std::vector<std::string>{"200", "RQNT"}));
        copy_text(g_mgcp_endpoint[kEndpoint].tel, "803");
    }

    std::string next() { return std::to_string(++tid); }

    // Sends a datagram from the gateway (from `from`, by default the gateway itself); the first
    // words of what the gateway got back.
    std::vector<std::string> send(const std::string& text, const Peer* from = nullptr)
    {
        const Peer& src = from ? *from : gw;
        const sockaddr_in addr = address_of(src);
        Mgcp_Recv_Datagram(text.c_str(), text.size(), addr, sizeof addr);
        got = gw.take();
        std::vector<std::string> firsts;
        for (const std::string& m : got) firsts.push_back(word(m, 0));
        return firsts;
    }
    std::vector<std::string> got;   // what the gateway received last, whole

    std::string last(const std::string& verb) const
    {
        for (auto it = got.rbegin(); it != got.rend(); ++it)
            if (word(*it, 0) == verb) return *it;
        return "";
    }

    std::vector<std::string> ntfy(const std::string& event, const char* name = "aaln/1@gw")
    {
        return send("NTFY " + next() + " " + name + " MGCP 1.0\nX: 1\nO: " + event + "\n");
    }

    // The answer to the last command of that verb the gateway received.
    std::vector<std::string> reply(const std::string& verb, const std::string& status = "200",
                                   const std::string& tail = "")
    {
        return send(status + " " + word(last(verb), 1) + " OK\n" + tail);
    }

    void tick(int seconds)
    {
        for (int s = 0; s < seconds; ++s) {
            TimerPend();
            Mgcp_Check_Pend_Time();
            CallCtrl_Check_Pend_Time();
            TimerProc();
            Mgcp_Resend_Timer();
        }
    }

    const MgcpEndpoint& ep() const { return g_mgcp_endpoint[kEndpoint]; }

    // The endpoint off-hook dials number; its CRCX (or what else is expected) is what the gateway
    // got last.
    void dial(const std::string& number, const char* expect = "CRCX")
    {
        EXPECT_EQ(ntfy("L/hd"), (std::vector<std::string>{"200", "RQNT"}));
        EXPECT_EQ(ntfy("D/" + number), (std::vector<std::string>{"200", expect}));
    }

    // 803 calls 802 up to talking; B's INVITE is returned.
    std::string endpoint_talks_to_b()
    {
        dial("802");
        EXPECT_EQ(reply("CRCX", "200", "I: 1F\n\n" + kGatewaySdp), std::vector<std::string>{});
        const auto inv = b.take();
        EXPECT_EQ(inv.size(), 1u);
        const std::string invite = inv.empty() ? "" : inv[0];
        deliver(answer(invite, "180 Ringing"), b);
        EXPECT_EQ(word(gw.take().at(0), 0), "RQNT");
        deliver(answer(invite, "200 OK", kSdpB), b);
        const auto mdcx = gw.take();
        EXPECT_EQ(mdcx.size(), 1u);
        got = mdcx;
        EXPECT_EQ(reply("MDCX"), std::vector<std::string>{});
        EXPECT_EQ(ep().st, MGCP_ST_TALK);
        b.take();
        return invite;
    }

    // B's BYE, answered.
    void bye_answered()
    {
        const auto bye = b.take();
        ASSERT_EQ(bye.size(), 1u);
        EXPECT_EQ(first_line(bye[0]), "BYE sip:802@127.0.0.1:5060 SIP/2.0");
        deliver(answer(bye[0], "200 OK"), b);
    }

    std::string invite_from_a(const std::string& callid, const std::string& called = "803")
    {
        return with_body("INVITE sip:" + called + "@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" +
                             std::to_string(a.port) + ";branch=z9hG4bKi\r\nFrom: <sip:801@127.0.0.1>;tag=a1\r\n"
                             "To: <sip:" + called + "@127.0.0.1>\r\nCall-ID: " + callid +
                             "\r\nCSeq: 1 INVITE\r\nContact: <sip:801@127.0.0.1:" + std::to_string(a.port) + ">\r\n",
                         kSdpA);
    }

    std::string from_a(const std::string& method, const std::string& callid, int cseq)
    {
        return with_body(method + " sip:803@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(a.port) +
                             ";branch=z9hG4bK" + method + "\r\nFrom: <sip:801@127.0.0.1>;tag=a1\r\n"
                             "To: <sip:803@127.0.0.1>\r\nCall-ID: " + callid + "\r\nCSeq: " + std::to_string(cseq) + " " +
                             method + "\r\n",
                         "");
    }

    // True when no call channel and no SIP leg is taken and the endpoint is idle with no call.
    bool all_free() const
    {
        const bool free = tables_free() && ep().st == MGCP_ST_IDLE && ep().call_chn == -1;
        if (!free) {
            int chns = 0, legs = 0;
            for (const CallChn& c : call_chns) chns += c.use;
            for (const SipLeg& l : sip_chn) legs += l.use;
            std::printf("not free: st=%d call_chn=%d chns=%d legs=%d\n", ep().st, ep().call_chn, chns, legs);
        }
        return free;
    }
};

TEST_F(MgcpCalls, AnEndpointCallsASipPhoneAndHangsUp)
{
    dial("802");
    EXPECT_EQ(ep().st, MGCP_ST_CRCX);
    // A gateway that ends its lines with CR LF still has its media read from the answer.
    EXPECT_EQ(send("200 " + word(last("CRCX"), 1) + " OK\r\nI: 1F\r\n\r\nv=0\r\nc=IN IP4 127.0.0.9\r\n"
                   "m=audio 6000 RTP/AVP 0 8\r\n"),
              std::vector<std::string>{});
    const auto inv = b.take();
    ASSERT_EQ(inv.size(), 1u);
    EXPECT_NE(inv[0].find("From: 803 <sip:803@"), std::string::npos) << inv[0];
    EXPECT_NE(inv[0].find("c=IN IP4 127.0.0.9\r\nt=0 0\r\nm=audio 6000 RTP/AVP 8 0\r\n"), std::string::npos) << inv[0];
    deliver(answer(inv[0], "180 Ringing"), b);
    auto rqnt = gw.take();
    ASSERT_EQ(rqnt.size(), 1u);
    EXPECT_NE(rqnt[0].find("S:G/rt"), std::string::npos) << "ringback";
    deliver(answer(inv[0], "200 OK", kSdpB), b);
    const auto mdcx = gw.take();
    ASSERT_EQ(mdcx.size(), 1u);
    EXPECT_TRUE(matches(mdcx[0], "MDCX {{\\d+}} aaln/1@gw MGCP 1.0\r\nC:1\r\nI: 1F\r\nM:sendrecv\r\n{{[\\s\\S]*}}"
                                 "c=IN IP4 127.0.0.2\r\nt=0 0\r\nm=audio 5000 RTP/AVP 0\r\n{{[\\s\\S]*}}"))
        << mdcx[0];
    got = mdcx;
    reply("MDCX");
    EXPECT_EQ(ep().st, MGCP_ST_TALK);
    b.take();
    // On-hook: the connection is deleted and B gets its BYE.
    EXPECT_EQ(ntfy("L/hu"), (std::vector<std::string>{"200", "DLCX"}));
    EXPECT_NE(last("DLCX").find("C:1\r\nI: 1F\r\n"), std::string::npos);
    const auto bye = b.take();
    ASSERT_EQ(bye.size(), 1u);
    EXPECT_EQ(first_line(bye[0]), "BYE sip:802@127.0.0.1:5060 SIP/2.0");
    deliver(answer(bye[0], "200 OK"), b);
    reply("DLCX");
    EXPECT_TRUE(all_free());
}

TEST_F(MgcpCalls, ASipPhoneCallsAnEndpoint)
{
    deliver(invite_from_a("in1"), a);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 100 Trying"});
    got = gw.take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("S: L/rg,L/ci(,500600700800,)"), std::string::npos);
    EXPECT_EQ(ep().st, MGCP_ST_CALLED);
    // The endpoint rings: the caller hears of it with the gateway's media.
    reply("CRCX", "200", "I: 2A\n\n" + kGatewaySdp);
    const auto ring = a.take();
    ASSERT_EQ(ring.size(), 1u);
    EXPECT_EQ(first_line(ring[0]), "SIP/2.0 183 Session Progress");
    EXPECT_NE(ring[0].find("c=IN IP4 127.0.0.9\r\nt=0 0\r\nm=audio 6000 RTP/AVP 8 0\r\n"), std::string::npos) << ring[0];
    // Off-hook answers the call: MDCX with the caller's media, 200 OK to the caller.
    EXPECT_EQ(ntfy("L/hd"), (std::vector<std::string>{"200", "MDCX"}));
    EXPECT_NE(last("MDCX").find("c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 4000 RTP/AVP 8 0\r\n"), std::string::npos);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"});
    deliver(from_a("ACK", "in1", 1), a);
    // The caller hangs up: the endpoint hears busy tone until it is hung up.
    deliver(from_a("BYE", "in1", 2), a);
    got = gw.take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("R:L/hu(N),L/oc(N)\r\nS:L/bz\r\n"), std::string::npos) << got[0];
    reply("DLCX");
    EXPECT_EQ(ntfy("L/hu"), (std::vector<std::string>{"200", "RQNT"}));
    EXPECT_TRUE(all_free());
}

TEST_F(MgcpCalls, TheCallChannelOfACallerIsFreedOnEveryPathOutOfDialling)
{
    struct Case {
        const char* what;
        std::function<void(MgcpCalls&)> end;
    };
    const Case cases[] = {
        {"on-hook before the CRCX is answered",
         [](MgcpCalls& t) {
             EXPECT_EQ(t.ntfy("L/hu"), (std::vector<std::string>{"200", "DLCX"}));
             t.reply("DLCX");
         }},
        {"the CRCX refused",
         [](MgcpCalls& t) {
             // The phone is off the hook: busy tone, and the endpoint waits for it to be hung up.
             EXPECT_EQ(t.reply("CRCX", "510"), std::vector<std::string>{"RQNT"});
             EXPECT_NE(t.got[0].find("S:L/bz"), std::string::npos);
             EXPECT_EQ(t.ntfy("L/hu"), (std::vector<std::string>{"200", "RQNT"}));
         }},
        {"the CRCX never answered",
         [](MgcpCalls& t) {
             t.tick(14);
             t.gw.take();
             EXPECT_EQ(t.ntfy("L/hu"), (std::vector<std::string>{"200", "RQNT"}));
         }},
        {"digits repeated while the CRCX is out",
         [](MgcpCalls& t) {
             EXPECT_EQ(t.ntfy("D/802"), std::vector<std::string>{"200"}) << "no second CRCX, no second channel";
             int taken = 0;
             for (const CallChn& c : call_chns) taken += c.use;
             EXPECT_EQ(taken, 1);
             EXPECT_EQ(t.ntfy("L/hu"), (std::vector<std::string>{"200", "DLCX"}));
             t.reply("DLCX");
         }},
    };
    for (const Case& c : cases) {
        SetUp();
        dial("802");
        c.end(*this);
        EXPECT_TRUE(all_free()) << c.what;
        EXPECT_TRUE(b.take().empty()) << c.what << ": routing never saw the call";
    }
}

TEST_F(MgcpCalls, ACommandRepeatedIsAnsweredAgainAndNotCarriedOutTwice)
{
    const std::string offhook = "NTFY 500 aaln/1@gw MGCP 1.0\nX: 1\nO: L/hd\n";
    EXPECT_EQ(send(offhook), (std::vector<std::string>{"200", "RQNT"}));
    EXPECT_EQ(send(offhook), std::vector<std::string>{"200"});
    EXPECT_EQ(got[0], "200 500 OK\r\n");
    const std::string digits = "NTFY 501 aaln/1@gw MGCP 1.0\nX: 2\nO: D/802\n";
    EXPECT_EQ(send(digits), (std::vector<std::string>{"200", "CRCX"}));
    EXPECT_EQ(send(digits), std::vector<std::string>{"200"});
    // A repeated RSIP keeps its one record and sends no second RQNT.
    const std::string rsip = "RSIP 502 aaln/2@gw MGCP 1.0\nRM: restart\n";
    EXPECT_EQ(send(rsip), (std::vector<std::string>{"200", "RQNT"}));
    EXPECT_EQ(send(rsip), std::vector<std::string>{"200"});
    EXPECT_EQ(g_mgcp_endpoint[2].in_use, 0);
}

TEST_F(MgcpCalls, KeptAnswersAreForgottenAfterThirtySeconds)
{
    // Within 30 s the same transaction id is the gateway repeating itself; after them it is a new
    // command, as from a gateway that restarted and numbers its transactions afresh.
    EXPECT_EQ(send("NTFY 500 aaln/1@gw MGCP 1.0\nX: 1\nO: L/hd\n"), (std::vector<std::string>{"200", "RQNT"}));
    tick(30);
    EXPECT_EQ(send("NTFY 500 aaln/1@gw MGCP 1.0\nX: 1\nO: L/hd\n"), std::vector<std::string>{"200"});
    EXPECT_EQ(ep().st, MGCP_ST_DIAL);
    tick(1);
    EXPECT_EQ(send("NTFY 500 aaln/1@gw MGCP 1.0\nX: 1\nO: L/hu\n"), (std::vector<std::string>{"200", "RQNT"}));
    EXPECT_EQ(ep().st, MGCP_ST_IDLE) << "the on-hook was carried out, not answered from the past";
    // The new answer is kept in its turn.
    EXPECT_EQ(send("NTFY 500 aaln/1@gw MGCP 1.0\nX: 1\nO: L/hu\n"), std::vector<std::string>{"200"});
}

TEST_F(MgcpCalls, AGatewayDlcxIsAnsweredForAKnownCallAndRefusedForAnUnknownOne)
{
    endpoint_talks_to_b();
    const std::string callid = ep().callid.s;
    EXPECT_EQ(send("DLCX 600 aaln/1@gw MGCP 1.0\nC: 9" + callid + "\n"), std::vector<std::string>{"516"});
    EXPECT_EQ(got[0], "516 600\r\n");
    EXPECT_TRUE(b.take().empty()) << "the call goes on";
    EXPECT_EQ(send("DLCX 601 aaln/1@gw MGCP 1.0\nC: " + callid + "\n"), std::vector<std::string>{"200"});
    bye_answered();
}

TEST_F(MgcpCalls, ABusyEndpointIsNotCalled)
{
    // 803 is off the hook dialling: a call to it gets busy, and its own call goes on.
    EXPECT_EQ(ntfy("L/hd"), (std::vector<std::string>{"200", "RQNT"}));
    deliver(invite_from_a("busy1"), a);
    EXPECT_EQ(a.firsts(), (std::vector<std::string>{"SIP/2.0 100 Trying", "SIP/2.0 486 BusyHere"}));
    EXPECT_TRUE(gw.take().empty());
    EXPECT_EQ(ep().st, MGCP_ST_DIAL);
    EXPECT_EQ(ntfy("D/802"), (std::vector<std::string>{"200", "CRCX"}));

    // An endpoint without a number is never found by an empty one.
    EXPECT_EQ(send("RSIP " + next() + " aaln/2@gw MGCP 1.0\n"), (std::vector<std::string>{"200", "RQNT"}));
    EXPECT_EQ(Mgcp_Find_Endpoint_By_Tel(""), -1);
    EXPECT_EQ(Mgcp_Find_Endpoint_By_Tel("803"), kEndpoint);
}

TEST_F(MgcpCalls, LongNamesKeepTheirOneRecord)
{
    const std::string name(80, 'n');
    std::string rqnt;
    for (int n = 0; n < 5; ++n) {
        EXPECT_EQ(send("RSIP " + next() + " " + name + " MGCP 1.0\n"), (std::vector<std::string>{"200", "RQNT"}));
        rqnt = last("RQNT");
        EXPECT_EQ(send("NTFY " + next() + " " + name + " MGCP 1.0\nO: nat/ka\n"), std::vector<std::string>{"200"});
    }
    int records = 0;
    for (const MgcpEndpoint& e : g_mgcp_endpoint) records += e.in_use;
    EXPECT_EQ(records, 2);
    EXPECT_EQ(g_mgcp_endpoint[1].endpoint.view(), name.substr(0, 49));
    // Commands carry the name as it was kept.
    EXPECT_EQ(word(rqnt, 2), std::string(49, 'n'));
}

TEST_F(MgcpCalls, AnEndpointIsRestartedAfterAnErrorOrAGiveUp)
{
    // A DLCX refused: the endpoint is idle and asked for off-hook again.
    endpoint_talks_to_b();
    EXPECT_EQ(ntfy("L/hu"), (std::vector<std::string>{"200", "DLCX"}));
    bye_answered();
    EXPECT_EQ(reply("DLCX", "515"), std::vector<std::string>{"RQNT"});
    EXPECT_NE(got[0].find("R:L/hd(N)"), std::string::npos);
    EXPECT_TRUE(all_free());
    b.take();

    // A DLCX never answered: the same after 14 s.
    endpoint_talks_to_b();
    EXPECT_EQ(ntfy("L/hu"), (std::vector<std::string>{"200", "DLCX"}));
    bye_answered();
    tick(13);
    EXPECT_EQ(ep().st, MGCP_ST_RELEASING);
    gw.take();
    tick(1);
    got = gw.take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("RQNT"), std::string::npos);
    EXPECT_NE(got[0].find("R:L/hd(N)"), std::string::npos);
    EXPECT_TRUE(all_free());

    // Error 500 releases the call and unregisters the endpoint.
    deliver(invite_from_a("e500"), a);
    a.take();
    got = gw.take();
    EXPECT_EQ(reply("CRCX", "500"), std::vector<std::string>{});
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 488 Not Acceptable Here"});
    EXPECT_EQ(ep().in_use, 0);
    EXPECT_TRUE(tables_free());
}

TEST_F(MgcpCalls, AnRsipFromAnotherAddressReleasesTheCallFirst)
{
    endpoint_talks_to_b();
    // From the address it registered from: the call goes on.
    EXPECT_EQ(send("RSIP " + next() + " aaln/1@gw MGCP 1.0\n"), (std::vector<std::string>{"200", "RQNT"}));
    EXPECT_EQ(ep().st, MGCP_ST_TALK);
    EXPECT_TRUE(b.take().empty());
    // From elsewhere: the call is released, and the endpoint answers there from now on.
    Peer other;
    send("RSIP " + next() + " aaln/1@gw MGCP 1.0\n", &other);
    bye_answered();
    const auto there = other.firsts();
    ASSERT_EQ(there.size(), 2u);
    EXPECT_EQ(there[0], "200 " + std::to_string(tid) + " OK");
    EXPECT_EQ(word(there[1], 0), "RQNT");
    EXPECT_EQ(ep().st, MGCP_ST_IDLE);
    EXPECT_TRUE(tables_free());
}

TEST_F(MgcpCalls, AMediaChangeReachesTheEndpointAsAnMdcx)
{
    const std::string invite = endpoint_talks_to_b();
    // B puts the call on hold with a re-INVITE in its dialog.
    std::string from = "From:" + line_of(invite, "To").substr(3) + ";tag=b1";
    std::string to = "To:" + line_of(invite, "From").substr(5);
    const std::string hold = "v=0\r\no=b 1 2 IN IP4 0.0.0.0\r\ns=-\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\nm=audio 5000 RTP/AVP 0\r\n";
    deliver(with_body("INVITE sip:803@127.0.0.1:5060 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(b.port) +
                          ";branch=z9hG4bKre\r\n" + from + "\r\n" + to + "\r\n" + line_of(invite, "Call-ID") +
                          "\r\nCSeq: 2 INVITE\r\n",
                      hold),
            b);
    got = gw.take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(word(got[0], 0), "MDCX");
    EXPECT_NE(got[0].find("c=IN IP4 0.0.0.0\r\n"), std::string::npos) << got[0];
}

TEST_F(MgcpCalls, CommandsAreSentAgainAt2And6SecondsAndGivenUpAt14)
{
    deliver(invite_from_a("re1"), a);
    a.take();
    const std::string crcx = gw.take().at(0);
    const int sends[] = {0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};   // seconds 1 to 14
    for (int s = 0; s < 14; ++s) {
        tick(1);
        const auto again = gw.take();
        if (s == 13) break;
        ASSERT_EQ(again.size(), static_cast<std::size_t>(sends[s])) << "second " << s + 1;
        if (!again.empty()) {
            EXPECT_EQ(again[0], crcx);
        }
    }
    // Given up: the caller is released and the endpoint, never off the hook, waits for it again.
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 488 Not Acceptable Here"});
    EXPECT_TRUE(all_free());
}

TEST_F(MgcpCalls, ACalledEndpointThatIsNeverAnsweredIsReleased)
{
    mgcp_pendtime = 3;
    deliver(invite_from_a("na1"), a);
    a.take();
    got = gw.take();
    reply("CRCX", "200", "I: 2A\n\n" + kGatewaySdp);
    a.take();
    tick(3);
    EXPECT_TRUE(gw.take().empty());
    tick(1);
    got = gw.take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("DLCX"), std::string::npos);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 488 Not Acceptable Here"});
    reply("DLCX");
    EXPECT_TRUE(all_free());
}

// 500 call attempts through the endpoint, ending on every path in turn, leave every call channel,
// SIP leg and the endpoint free: nothing of a call is left behind.
TEST_F(MgcpCalls, FiveHundredCallAttemptsLeaveEverythingFree)
{
    mgcp_pendtime = 2;
    auto endpoint_calls_b = [&](const std::string& callid_unused) {
        (void)callid_unused;
        dial("802");
        reply("CRCX", "200", "I: 1F\n\n" + kGatewaySdp);
        const auto inv = b.take();
        EXPECT_EQ(inv.size(), 1u);
        return inv.empty() ? std::string() : inv[0];
    };
    auto hang_up = [&] {   // the phone put down after busy tone or a released call
        ntfy("L/hu");
        if (!last("DLCX").empty()) reply("DLCX");
    };
    auto b_hangs_up = [&](const std::string& invite) {
        std::string from = "From:" + line_of(invite, "To").substr(3) + ";tag=b1";
        std::string to = "To:" + line_of(invite, "From").substr(5);
        deliver(with_body("BYE sip:803@127.0.0.1:5060 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(b.port) +
                              ";branch=z9hG4bKbye\r\n" + from + "\r\n" + to + "\r\n" + line_of(invite, "Call-ID") +
                              "\r\nCSeq: 2 BYE\r\n",
                          ""),
                b);
    };
    auto a_calls_endpoint = [&](const std::string& callid, bool ring) {
        deliver(invite_from_a(callid), a);
        got = gw.take();
        if (ring) reply("CRCX", "200", "I: 2A\n\n" + kGatewaySdp);
    };
    const int kPaths = 11;
    for (int n = 0; n < 500; ++n) {
        const std::string callid = "soak" + std::to_string(n);
        switch (n % kPaths) {
        case 0: {   // answered, the endpoint hangs up
            const std::string inv = endpoint_calls_b(callid);
            deliver(answer(inv, "200 OK", kSdpB), b);
            got = gw.take();
            reply("MDCX");
            hang_up();
            for (const std::string& m : b.take()) deliver(answer(m, "200 OK"), b);
            break;
        }
        case 1: {   // answered, B hangs up
            const std::string inv = endpoint_calls_b(callid);
            deliver(answer(inv, "200 OK", kSdpB), b);
            got = gw.take();
            reply("MDCX");
            b.take();
            b_hangs_up(inv);
            got = gw.take();
            reply("DLCX");
            hang_up();
            break;
        }
        case 2: {   // B refuses
            const std::string inv = endpoint_calls_b(callid);
            deliver(answer(inv, "486 Busy Here"), b);
            got = gw.take();
            reply("DLCX");
            hang_up();
            break;
        }
        case 3: dial("802"); hang_up(); break;                       // on-hook before the CRCX answer
        case 4: dial("802"); reply("CRCX", "510"); hang_up(); break;   // CRCX refused
        case 5: dial("802"); tick(14); gw.take(); hang_up(); break;    // CRCX never answered
        case 6: dial("803", "RQNT"); hang_up(); break;                    // its own number
        case 7:                                                      // no route
            dial("999");
            reply("CRCX", "200", "I: 1F\n\n" + kGatewaySdp);
            got = gw.take();
            reply("DLCX");
            hang_up();
            break;
        case 8:   // the endpoint answers, the SIP caller hangs up
            a_calls_endpoint(callid, true);
            ntfy("L/hd");
            reply("MDCX");
            deliver(from_a("ACK", callid, 1), a);
            deliver(from_a("BYE", callid, 2), a);
            got = gw.take();
            reply("DLCX");
            hang_up();
            break;
        case 9:   // the SIP caller gives up while the endpoint rings
            a_calls_endpoint(callid, true);
            deliver(from_a("CANCEL", callid, 1), a);
            got = gw.take();
            reply("DLCX");
            break;
        case 10:   // never answered
            a_calls_endpoint(callid, true);
            tick(3);
            got = gw.take();
            reply("DLCX");
            break;
        }
        tick(1);
        for (Peer* p : {&a, &b, &gw}) p->take();
        ASSERT_TRUE(all_free()) << "attempt " << n << " path " << n % kPaths;
    }
    // After the last one the retransmission and no-answer steps find nothing left either.
    tick(20);
    EXPECT_TRUE(all_free());
    EXPECT_TRUE(gw.take().empty());
}

}  // namespace
