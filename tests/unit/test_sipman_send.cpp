// The SIP manager's senders that no line step uses yet, over the real stack against a far end
// on loopback, and the current softswitch's address. The stack's reports of the far end's
// requests are held here (the far end's INVITE, ACK, re-INVITE, UPDATE and NOTIFY wait for the
// sender under test, no line being there to take them); every other report goes to the
// manager as in the gateway.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "gate_test_board.h"
#include "sip_peer.h"
#include "sipman_start.h"
#include "sipman.h"
#include "struct_sys.h"
#include "text.h"
#include "user.h"

namespace {

using ::testing::HasSubstr;

std::vector<std::pair<int, int>> g_held;  // (report code, channel) kept from the manager
// Runs inside the report of a held request: the stack answers a request the callback leaves
// unanswered itself, so a sender answering it must run there.
std::function<void(int type, int chn)> g_in_report;

void HoldRequests(int type, int chn, int data_type)
{
    if (type == 200 || type == 204 || type == 211 || type == 213 || type == 217) {
        g_held.emplace_back(type, chn);
        // The stack refuses a new call left without any answer: it rings, as a line does.
        if (type == 200) SipMan_SendRing(chn, 0);
        if (g_in_report) g_in_report(type, chn);
        return;
    }
    SipManRecvMsgFromSip(type, chn, data_type);
}

class SipManSend : public GateTest {
protected:
    void SetUp() override
    {
        GateTest::SetUp();
        stack_port = StartSipManager(peer, 4, 0);
        ASSERT_GT(stack_port, 0);
        g_held.clear();
        g_in_report = nullptr;
        LIBSIPUpInit(HoldRequests);
    }
    void TearDown() override
    {
        g_in_report = nullptr;
        GateTest::TearDown();
    }

    // The channel of the next held report of the code; -1 when none comes.
    int Held(int type)
    {
        int chn = -1;
        pump_until(
            [&] {
                for (auto it = g_held.begin(); it != g_held.end(); ++it) {
                    if (it->first != type) continue;
                    chn = it->second;
                    g_held.erase(it);
                    return true;
                }
                return false;
            },
            10000);
        return chn;
    }

    // The far end's request in its dialog cid.
    void FarEnd(const std::string& method, const std::string& cid, int cseq, const std::string& extra = "",
                const std::string& body = "")
    {
        peer.send(peer_request(method, stack_port, peer.port(), cid, cseq, "z9hG4bK" + cid + std::to_string(cseq), tag, extra,
                               body),
                  stack_port);
    }

    // The next message of the gateway but its 100 Trying.
    std::string FromGateway()
    {
        for (;;) {
            std::string m = peer.next(10000);
            if (m.rfind("SIP/2.0 100", 0) != 0) return m;
        }
    }

    // A new call from the far end, not answered yet.
    int Incoming(const std::string& cid)
    {
        tag.clear();
        FarEnd("INVITE", cid, 1, "", kPeerSdp);
        const int chn = Held(200);
        return peer.next_starting("SIP/2.0 180", 10000).empty() ? -1 : chn;
    }

    // A call from the far end, answered and acknowledged.
    int Dialog(const std::string& cid)
    {
        const int chn = Incoming(cid);
        if (chn < 0) return -1;
        SIP_SDP sdp = gateway_sdp(10002, G711_A, 0);
        SipMan_SendAnswer(chn, &sdp, 0);
        const std::string ok = peer.next_starting("SIP/2.0 200", 10000);
        tag = param(header(ok, "To"), "tag");
        FarEnd("ACK", cid, 1);
        return Held(204) == chn ? chn : -1;  // the 200 is no longer repeated
    }

    Peer peer;
    int stack_port = 0;
    std::string tag;  // the gateway's tag of the current dialog
};

TEST_F(SipManSend, EachSenderSendsItsMessageAndRefusesABadChannel)
{
    SIP_SDP early = gateway_sdp(4000, G711_A, 0);
    const FAX_INFO fax{{"127.0.0.1", 4200}};
    REFER_INFO refer{};
    copy_text(refer.m_chReferTel, "8009");
    const IPV4_ADDRESS update_addr{"127.0.0.1", 4100};
    enum Before { PENDING_INVITE, DIALOG, UPDATE_IN, NOTIFY_IN, REINVITE_IN };
    struct Case {
        const char* what;
        Before before;
        std::function<int(int)> send;
        const char* start;                                    // start line's beginning
        std::vector<std::pair<const char*, const char*>> has;  // header ("" the body), text in it
    };
    const std::vector<Case> cases = {
        {"182", PENDING_INVITE, [](int c) { return SipMan_SendRing182(c, 0); }, "SIP/2.0 182 ", {{"CSeq", "1 INVITE"}}},
        {"183 with early media", PENDING_INVITE, [&](int c) { return SipMan_SendRing183(c, &early, 0); }, "SIP/2.0 183 ",
         {{"CSeq", "1 INVITE"}, {"", "m=audio 4000 RTP/AVP 8"}}},
        {"REFER", DIALOG, [&](int c) { return SipMan_SendRefer(c, &refer, 0); }, "REFER sip:300@",
         {{"Refer-To", "sip:8009@"}, {"CSeq", "REFER"}}},
        {"UPDATE with a new From", DIALOG, [](int c) { return SipMan_SendUpdate(c, "7777", 0); }, "UPDATE sip:300@",
         {{"Contact", "sip:7777@"}, {"CSeq", "UPDATE"}}},
        {"200 to an UPDATE", UPDATE_IN, [&](int c) { return SipMan_SendUpdateOK(c, &update_addr, G711_U, 0); }, "SIP/2.0 200 ",
         {{"CSeq", "2 UPDATE"}, {"", "c=IN IP4 127.0.0.1"}, {"", "m=audio 4100 RTP/AVP 0\r\n"}}},
        {"200 to a NOTIFY", NOTIFY_IN, [](int c) { return SipMan_SendNotifyOK(c, 0); }, "SIP/2.0 200 ", {{"CSeq", "2 NOTIFY"}}},
        {"200 to a fax re-INVITE", REINVITE_IN, [&](int c) { return SipMan_SendFaxReInviteOK(c, &fax, 0); }, "SIP/2.0 200 ",
         {{"CSeq", "2 INVITE"}, {"", "m=image 4200 udptl t38"}}},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string cid = "s" + std::to_string(n++);
        const int chn = c.before == PENDING_INVITE ? Incoming(cid) : Dialog(cid);
        ASSERT_GE(chn, 0) << c.what;
        // No channel, and a handle the stack has free: refused, and nothing goes out (the next
        // message the far end sees is the one sent on the live channel).
        const int free_chn = LIBSIP_CreatChn(-1);
        LIBSIP_ResetChn(free_chn);
        int refused_none = 0, refused_free = 0, sent = -9;
        auto send_all = [&](int on) {
            refused_none = c.send(-1);
            refused_free = c.send(free_chn);
            sent = c.send(on);
        };
        const int held = c.before == UPDATE_IN ? 217 : c.before == NOTIFY_IN ? 213 : c.before == REINVITE_IN ? 211 : 0;
        if (held == 0) {
            send_all(chn);
        } else {
            g_in_report = [&](int type, int on) {
                if (type == held) send_all(on);
            };
            if (held == 217) FarEnd("UPDATE", cid, 2);
            if (held == 213) FarEnd("NOTIFY", cid, 2, "Event: refer\r\nSubscription-State: active\r\n");
            if (held == 211) FarEnd("INVITE", cid, 2, "", kPeerSdp);
            EXPECT_EQ(Held(held), chn) << c.what;
            g_in_report = nullptr;
        }
        EXPECT_EQ(refused_none, -1) << c.what;
        EXPECT_EQ(refused_free, -1) << c.what;
        EXPECT_EQ(sent, 0) << c.what;
        const std::string got = FromGateway();
        EXPECT_EQ(got.rfind(c.start, 0), 0u) << c.what << "\n" << got;
        for (const auto& [name, text] : c.has) {
            const std::string where = *name ? header(got, name) : got.substr(got.find("\r\n\r\n") + 4);
            EXPECT_THAT(where, HasSubstr(text)) << c.what << " " << name;
        }
    }
}

TEST_F(SipManSend, PublishGoesToTheSuccessfulServerOnItsOwnCountedChannel)
{
    EXPECT_EQ(SipMan_SendPublish("", E_LINE_STATUS_TALKING, 0), -1);
    EXPECT_EQ(SipMan_SendPublish("8001", static_cast<SYS_LINE_STATUS_E>(6), 0), -1);
    EXPECT_EQ(g_sStatisticInfo.m_sSipChn.m_iChnCur, 0);
    const int chn = SipMan_SendPublish("8001", E_LINE_STATUS_TALKING, 0);
    ASSERT_GE(chn, 0);
    EXPECT_EQ(g_sStatisticInfo.m_sSipChn.m_iChnCur, 1);
    const std::string pub = FromGateway();
    EXPECT_EQ(start_line(pub), "PUBLISH sip:8001@" + std::string(peer.addr().ip) + ":" + std::to_string(peer.port()) + " SIP/2.0");
    EXPECT_THAT(header(pub, "From"), HasSubstr("sip:8001@"));
    EXPECT_THAT(header(pub, "To"), HasSubstr("sip:8001@"));
    EXPECT_EQ(header(pub, "Event"), "presence");
    EXPECT_THAT(pub, HasSubstr("<request id=\""));
    EXPECT_THAT(pub, HasSubstr("<user_state><state>st_talking</state></user_state>"));
    // The 200 ends the channel and its count.
    peer.send(answer_to(pub, "200 OK"), stack_port);
    EXPECT_TRUE(pump_until([] { return g_sStatisticInfo.m_sSipChn.m_iChnCur == 0; }, 10000));
    EXPECT_EQ(LIBSIP_GetUserHost(chn), nullptr);
}

TEST_F(SipManSend, TheCurrentSwitchIsWhereRegistersGoAndIsJudgedByIpAndPort)
{
    Peer other;
    EXPECT_EQ(SipMan_SetCurrentSwitchAddr(nullptr), -1);
    const IPV4_ADDRESS cur = other.addr();
    EXPECT_EQ(SipMan_SetCurrentSwitchAddr(&cur), 0);
    EXPECT_STREQ(SipMan_GetCurSwitchIP(), cur.ip);
    EXPECT_EQ(SipMan_GetCurSwitchPort(), cur.port);
    struct Case {
        const char* what;
        IPV4_ADDRESS addr;
        int want;
    } cases[] = {
        {"same", cur, 1},
        {"other port", {"", cur.port + 1}, 0},
        {"other ip", {"127.0.0.2", cur.port}, 0},
    };
    copy_text(cases[1].addr.ip, cur.ip);
    for (const Case& c : cases) EXPECT_EQ(SipMan_JudgeCurrentSwitch(&c.addr), c.want) << c.what;
    EXPECT_EQ(SipMan_JudgeCurrentSwitch(nullptr), 0);
    // A REGISTER naming no server goes to the current one.
    ASSERT_GE(SipMan_SendRegister(-1, 60, "8001", nullptr, 0), 0);
    EXPECT_EQ(start_line(other.next_starting("REGISTER", 10000)).rfind("REGISTER sip:", 0), 0u);
    // One naming a server makes it the current one.
    const IPV4_ADDRESS host = peer.addr();
    ASSERT_GE(SipMan_SendRegister(-1, 60, "8002", &host, 1), 0);
    EXPECT_EQ(SipMan_GetCurSwitchPort(), host.port);
    EXPECT_EQ(SipMan_JudgeCurrentSwitch(&host), 1);
    EXPECT_EQ(SipMan_JudgeCurrentSwitch(&cur), 0);
}

}  // namespace
