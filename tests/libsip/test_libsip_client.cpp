// The stack's requests, as a far end on loopback sees them: what they look like, digest answers,
// retransmission, time-outs and the reports of their answers.
#include <gtest/gtest.h>

#include <regex>

#include "sip_peer.h"

namespace {

struct ClientTest : StackTest {

    // A registration channel as the gateway's REGISTER sender sets it up.
    int reg_chn(int expires, int rport = 1)
    {
        int chn = LIBSIP_CreatChn(-1);
        EXPECT_GE(chn, 0);
        IPV4_ADDRESS sbc = peer.addr();
        LIBSIP_SetSbcAddr(&sbc);
        LIBSIP_SetRPORT(chn, rport);
        LIBSIP_SetChnType(chn, 0);
        LIBSIP_SetFromTel(chn, "100");
        LIBSIP_SetToTel(chn, "100");
        LIBSIP_SetExpires(chn, expires);
        SIP_USER_AGENT ua{};
        ua.use = 1;
        std::strcpy(ua.content, "QVD_R1.0.4");
        LIBSIP_SetUserAgent(chn, &ua);
        return chn;
    }

    int call_chn() { return call_chn_to(peer.addr()); }

    void answer_credentials(int chn, const char* user, const char* pwd)
    {
        AUTH_ELEMENT_T a{};
        a.m_iAuthMethod = 0;
        std::strcpy(a.m_chUserName, user);
        std::strcpy(a.m_chPasswd, pwd);
        LIBSIP_SetAuthor(chn, &a);
        LIBSIP_SetChnType(chn, 0);
    }

    // An established outgoing call: INVITE, 200 with SDP, ACK by the gateway.
    std::string establish(int chn)
    {
        g_on_report = [](const Report& r) { if (r.type == 203) LIBSIP_Send(204, r.chn); };
        EXPECT_EQ(LIBSIP_Send(200, chn), 0);
        std::string inv = peer.next_starting("INVITE");
        peer.send(answer_to(inv, "200 OK", "Contact: <sip:300@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n", "peer1", kPeerSdp), port);
        EXPECT_FALSE(peer.next_starting("ACK").empty());
        g_on_report = nullptr;
        return inv;
    }
};

TEST_F(ClientTest, RegisterIsWrittenForPlainDecoders)
{
    int chn = reg_chn(60);
    ASSERT_EQ(LIBSIP_Send(100, chn), 0);
    std::string m = peer.next_starting("REGISTER");
    ASSERT_FALSE(m.empty());
    std::string p = std::to_string(port), pp = std::to_string(peer.port());
    EXPECT_EQ(start_line(m), "REGISTER sip:127.0.0.1:" + pp + " SIP/2.0");
    // every line ends CR LF: no bare LF anywhere
    for (size_t i = 0; i < m.size(); ++i) {
        ASSERT_TRUE(m[i] != '\n' || (i > 0 && m[i - 1] == '\r')) << "bare LF at " << i;
    }
    EXPECT_EQ(m.substr(m.size() - 4), "\r\n\r\n");
    EXPECT_TRUE(std::regex_search(m, std::regex("\r\nVia: SIP/2\\.0/UDP 127\\.0\\.0\\.1:" + p + ";rport;branch=z9hG4bK[0-9a-f]+\r\n")));
    EXPECT_TRUE(std::regex_search(m, std::regex("\r\nFrom: <sip:100@127\\.0\\.0\\.1:" + pp + ">;tag=[0-9a-f]+\r\n")));
    EXPECT_NE(m.find("\r\nTo: <sip:100@127.0.0.1:" + pp + ">\r\n"), std::string::npos);
    EXPECT_NE(m.find("\r\nCSeq: 1 REGISTER\r\n"), std::string::npos);
    EXPECT_NE(m.find("\r\nContact: <sip:100@127.0.0.1:" + p + ">\r\n"), std::string::npos);
    EXPECT_NE(m.find("\r\nExpires: 60\r\n"), std::string::npos);
    EXPECT_NE(m.find("\r\nUser-Agent: QVD_R1.0.4\r\n"), std::string::npos);
    EXPECT_NE(m.find("\r\nCall-ID: "), std::string::npos);
    EXPECT_NE(m.find("\r\nContent-Length: 0\r\n"), std::string::npos);

    // without RPORT the Via carries no rport parameter
    int other = reg_chn(60, 0);
    ASSERT_EQ(LIBSIP_Send(100, other), 0);
    std::string m2 = peer.next_starting("REGISTER");
    EXPECT_EQ(header(m2, "Via").find("rport"), std::string::npos) << m2;
}

TEST_F(ClientTest, ChallengeIsReportedAndAnsweredOnceWithCredentials)
{
    int chn = reg_chn(60);
    g_on_report = [&](const Report& r) {
        if (r.type != 214) return;
        answer_credentials(r.chn, "100", "secret");
        LIBSIP_Send(100, r.chn);
    };
    ASSERT_EQ(LIBSIP_Send(100, chn), 0);
    std::string first = peer.next_starting("REGISTER");
    peer.send(answer_to(first, "401 Unauthorized", "WWW-Authenticate: Digest realm=\"qvd\",nonce=\"abc123\",stale=FALSE,algorithm=MD5\r\n"), port);
    std::string second = peer.next_starting("REGISTER");
    ASSERT_FALSE(second.empty());
    ASSERT_EQ(count_reports(214), 1);
    EXPECT_EQ(g_reports[0].auth_type, E_REGISTER);
    EXPECT_TRUE(g_reports[0].has_host);

    EXPECT_EQ(header(second, "Call-ID"), header(first, "Call-ID"));
    EXPECT_EQ(param(header(second, "From"), "tag"), param(header(first, "From"), "tag"));
    EXPECT_EQ(header(second, "CSeq"), "2 REGISTER");
    EXPECT_NE(param(header(second, "Via"), "branch"), param(header(first, "Via"), "branch"));
    std::string uri = "sip:127.0.0.1:" + std::to_string(peer.port());
    // quoted values, algorithm=MD5 last, and no cnonce a plain reader would take for the nonce
    EXPECT_TRUE(std::regex_match(header(second, "Authorization"),
        std::regex("Digest username=\"100\", realm=\"qvd\", nonce=\"abc123\", uri=\"" + uri + "\", response=\"[0-9a-f]{32}\", algorithm=MD5")))
        << header(second, "Authorization");

    // a second challenge for the answered request is a failure, not another REGISTER
    peer.send(answer_to(second, "401 Unauthorized", "WWW-Authenticate: Digest realm=\"qvd\",nonce=\"zzz\",algorithm=MD5\r\n"), port);
    EXPECT_TRUE(peer.next_starting("REGISTER", 300).empty());
    ASSERT_EQ(count_reports(226), 1);
    EXPECT_EQ(g_reports.back().error_cause, 401);
    EXPECT_EQ(g_reports.back().cseq_method, SIP_REQUEST_MSG_REGISTER);
}

TEST_F(ClientTest, ProxyChallengeWithQopIsAnsweredWithCnonceAndCount)
{
    int chn = call_chn();
    g_on_report = [&](const Report& r) {
        if (r.type != 214) return;
        EXPECT_EQ(r.auth_type, E_INVITE);
        answer_credentials(r.chn, "201", "pw");
        LIBSIP_SetDataType(r.chn, 1);
        LIBSIP_Send(200, r.chn);
    };
    ASSERT_EQ(LIBSIP_Send(200, chn), 0);
    std::string first = peer.next_starting("INVITE");
    peer.send(answer_to(first, "407 Proxy Authentication Required",
                        "Proxy-Authenticate: Digest realm=\"sw\", nonce=\"n1\", opaque=\"op\", qop=\"auth,auth-int\", algorithm=MD5\r\n"), port);
    EXPECT_FALSE(peer.next_starting("ACK").empty());   // the 407 is acknowledged by the stack
    std::string second = peer.next_starting("INVITE");
    ASSERT_FALSE(second.empty());
    std::string a = header(second, "Proxy-Authorization");
    std::smatch got;
    ASSERT_TRUE(std::regex_match(a, got, std::regex("Digest username=\"201\", realm=\"sw\", nonce=\"n1\", uri=\"([^\"]+)\", "
        "response=\"([0-9a-f]{32})\", opaque=\"op\", cnonce=\"([0-9a-f]+)\", nc=00000001, qop=auth, algorithm=MD5"))) << a;
    EXPECT_EQ(got[1].str(), start_line(second).substr(7, start_line(second).size() - 15));
    EXPECT_EQ(header(second, "CSeq"), "2 INVITE");
    EXPECT_NE(second.find("\r\n\r\nv=0\r\n"), std::string::npos) << "the resent INVITE still offers its SDP";
}

TEST_F(ClientTest, GrantedLifetimeComesFromContactThenExpiresThenRequest)
{
    struct Case { const char* extra; int want; };
    const Case cases[] = {
        {"Contact: <sip:100@127.0.0.1:PORT>;expires=30\r\nExpires: 60\r\n", 30},
        {"Contact: <sip:999@10.1.1.1:5060>;expires=15, <sip:100@127.0.0.1:PORT>;expires=25\r\n", 25},
        {"Expires: 45\r\n", 45},
        {"", 120},
    };
    for (const auto& c : cases) {
        g_reports.clear();
        int chn = reg_chn(120);
        ASSERT_EQ(LIBSIP_Send(100, chn), 0);
        std::string req = peer.next_starting("REGISTER");
        std::string extra = c.extra;
        size_t p = extra.find("PORT");
        if (p != std::string::npos) extra.replace(p, 4, std::to_string(port));
        peer.send(answer_to(req, "200 OK", extra + "Date: Thu, 10 Dec 2026 08:00:00 GMT\r\n"), port);
        ASSERT_TRUE(pump_until([] { return count_reports(101) == 1; }, 1000)) << c.extra;
        EXPECT_EQ(g_reports.back().expires, c.want) << c.extra;
        EXPECT_EQ(g_reports.back().date, "Thu, 10 Dec 2026 08:00:00 GMT");
        LIBSIP_ResetChn(chn);
    }
}

TEST_F(ClientTest, RemovalAndRefreshKeepTheRegistrationCallId)
{
    int chn = reg_chn(60);
    ASSERT_EQ(LIBSIP_Send(100, chn), 0);
    std::string first = peer.next_starting("REGISTER");
    peer.send(answer_to(first, "200 OK", "Expires: 60\r\n"), port);
    ASSERT_TRUE(pump_until([] { return count_reports(101) == 1; }, 1000));
    ASSERT_EQ(LIBSIP_Send(100, chn), 0);   // refresh
    std::string refresh = peer.next_starting("REGISTER");
    EXPECT_EQ(header(refresh, "Call-ID"), header(first, "Call-ID"));
    EXPECT_EQ(header(refresh, "CSeq"), "2 REGISTER");
    peer.send(answer_to(refresh, "200 OK", "Expires: 60\r\n"), port);
    ASSERT_TRUE(pump_until([] { return count_reports(101) == 2; }, 1000));
    LIBSIP_SetExpires(chn, 0);   // removal
    ASSERT_EQ(LIBSIP_Send(100, chn), 0);
    std::string removal = peer.next_starting("REGISTER");
    EXPECT_EQ(header(removal, "Expires"), "0");
    EXPECT_EQ(header(removal, "Call-ID"), header(first, "Call-ID"));
    peer.send(answer_to(removal, "200 OK"), port);
    ASSERT_TRUE(pump_until([] { return count_reports(101) == 3; }, 1000));
    EXPECT_EQ(g_reports.back().expires, 0);
}

TEST_F(ClientTest, UnansweredRequestsAreRepeatedAndAnInviteTimesOut)
{
    int chn = call_chn();
    ASSERT_EQ(LIBSIP_Send(200, chn), 0);
    // T1 is 20 ms: the INVITE goes at 0, 20, 60, 140, 300, 620 and 1260 ms, then times out at 64 T1
    std::vector<std::string> got = peer.first(5, 3000);
    ASSERT_EQ(got.size(), 5u);
    for (const auto& m : got) EXPECT_EQ(m, got[0]) << "a repeat is the same text, branch included";
    ASSERT_TRUE(pump_until([] { return count_reports(300) == 1; }, 5000));
    EXPECT_EQ(g_reports.back().cseq_method, SIP_REQUEST_MSG_INVITE);
    EXPECT_TRUE(g_reports.back().has_host);
    pump_for(200);
    EXPECT_EQ(count_reports(300), 1);
}

TEST_F(ClientTest, RegisterTimeOutIsNotReportedSoTheHandleStaysUsable)
{
    int chn = reg_chn(60);
    ASSERT_EQ(LIBSIP_Send(100, chn), 0);
    pump_for(64 * 20 + 400);
    EXPECT_TRUE(g_reports.empty());
    ASSERT_EQ(LIBSIP_Send(100, chn), 0);
    EXPECT_FALSE(peer.next_starting("REGISTER").empty());
}

TEST_F(ClientTest, OutgoingCallRingsAnswersAndEnds)
{
    int chn = call_chn();
    SIP_CALL_INFO ci{};
    ci.use = 1;
    std::strcpy(ci.content, "callmode=half-duplex");
    LIBSIP_SetCallInfo(chn, &ci);
    g_on_report = [](const Report& r) { if (r.type == 203) LIBSIP_Send(204, r.chn); };
    ASSERT_EQ(LIBSIP_Send(200, chn), 0);
    std::string inv = peer.next_starting("INVITE");
    std::string pp = std::to_string(peer.port());
    EXPECT_EQ(start_line(inv), "INVITE sip:300@127.0.0.1:" + pp + " SIP/2.0");
    EXPECT_EQ(header(inv, "Call-Info"), "callmode=half-duplex");
    EXPECT_EQ(header(inv, "Content-Type"), "application/sdp");
    EXPECT_NE(inv.find("m=audio 10000 RTP/AVP 8 0\r\n"), std::string::npos) << inv;
    EXPECT_NE(inv.find("a=ptime:20\r\na=sendrecv\r\n"), std::string::npos) << inv;

    std::string ringing = answer_to(inv, "180 Ringing");
    peer.send(ringing, port);
    peer.send(ringing, port);   // a repeated 180 is reported once
    peer.send(answer_to(inv, "200 OK", "Contact: <sip:300@127.0.0.1:" + pp + ">\r\n", "peer1", kPeerSdp), port);
    std::string ack = peer.next_starting("ACK");
    ASSERT_FALSE(ack.empty());
    EXPECT_EQ(count_reports(202), 1);
    ASSERT_EQ(count_reports(203), 1);
    EXPECT_TRUE(g_reports.back().has_sdp);
    EXPECT_EQ(g_reports.back().sdp.a_addr.port, 40000);
    EXPECT_EQ(start_line(ack), "ACK sip:300@127.0.0.1:" + pp + " SIP/2.0");
    EXPECT_EQ(header(ack, "CSeq"), "1 ACK");
    EXPECT_EQ(param(header(ack, "To"), "tag"), "peer1");
    EXPECT_EQ(header(ack, "Call-Info"), "") << "the call-info went with the INVITE only";

    // the 200 again: the same ACK again, no second report
    peer.send(answer_to(inv, "200 OK", "Contact: <sip:300@127.0.0.1:" + pp + ">\r\n", "peer1", kPeerSdp), port);
    EXPECT_EQ(peer.next_starting("ACK"), ack);
    EXPECT_EQ(count_reports(203), 1);

    ASSERT_EQ(LIBSIP_Send(208, chn), 0);
    std::string bye = peer.next_starting("BYE");
    EXPECT_EQ(header(bye, "CSeq"), "2 BYE");
    EXPECT_EQ(header(bye, "Call-ID"), header(inv, "Call-ID"));
    peer.send(answer_to(bye, "200 OK"), port);
    ASSERT_TRUE(pump_until([] { return count_reports(224) == 1; }, 1000));
}

TEST_F(ClientTest, SeveralInfosInFlightAreAnsweredInAnyOrder)
{
    int chn = call_chn();
    establish(chn);
    const char* texts[] = {"*", "@1-201-request", "#"};
    for (const char* t : texts) {
        LIBSIP_SetDataType(chn, 4);
        LIBSIP_SetInfo(chn, t);
        ASSERT_EQ(LIBSIP_Send(206, chn), 0);
    }
    std::vector<std::string> infos;
    for (int i = 0; i < 3; ++i) infos.push_back(peer.next_starting("INFO"));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(header(infos[static_cast<size_t>(i)], "Content-Type"), "text/plain");
        EXPECT_EQ(infos[static_cast<size_t>(i)].substr(infos[static_cast<size_t>(i)].find("\r\n\r\n") + 4), texts[i]);
    }
    // the far end answers the last first, with a call-info on one answer
    peer.send(answer_to(infos[2], "200 OK"), port);
    peer.send(answer_to(infos[0], "200 OK", "Call-Info: ptttype=request;ptttel=201;reqid=1002;result=accept\r\n"), port);
    peer.send(answer_to(infos[1], "200 OK"), port);
    ASSERT_TRUE(pump_until([] { return count_reports(229) == 3; }, 1000));
    EXPECT_EQ(g_reports[g_reports.size() - 2].call_info, "ptttype=request;ptttel=201;reqid=1002;result=accept");

    // the per-message setters were cleared: a plain INFO now carries no body
    ASSERT_EQ(LIBSIP_Send(206, chn), 0);
    std::string plain = peer.next_starting("INFO");
    EXPECT_EQ(header(plain, "Content-Length"), "0");
    EXPECT_EQ(header(plain, "Content-Type"), "");
}

TEST_F(ClientTest, ResetChannelLetsItsByeFinishDetached)
{
    EXPECT_EQ(LIBSIP_ResetChn(-1), -1);
    int chn = call_chn();
    establish(chn);
    ASSERT_EQ(LIBSIP_Send(208, chn), 0);
    EXPECT_EQ(LIBSIP_ResetChn(chn), 0);
    EXPECT_EQ(LIBSIP_ResetChn(chn), 0);   // a second free changes nothing
    // with a 20 ms T1 osip repeats a BYE at 20 ms and then after its own 500 ms floor
    std::vector<std::string> got = peer.first(3, 3000);
    ASSERT_EQ(got.size(), 3u);
    for (const auto& m : got) EXPECT_EQ(start_line(m).substr(0, 4), "BYE ") << "the BYE goes on being repeated";
    size_t before = g_reports.size();
    peer.send(answer_to(got[0], "200 OK"), port);
    pump_for(100);
    EXPECT_EQ(g_reports.size(), before) << "a freed handle gets no reports";
}

TEST_F(ClientTest, StrayAnswerToAnInviteIsAcknowledgedAndEnded)
{
    std::string pp = std::to_string(peer.port());
    std::string ok = "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(port) + ";branch=z9hG4bKgone\r\n"
        "From: <sip:201@127.0.0.1>;tag=old1\r\nTo: <sip:300@127.0.0.1>;tag=far9\r\nCall-ID: stale-call@127.0.0.1\r\n"
        "CSeq: 7 INVITE\r\nContact: <sip:300@127.0.0.1:" + pp + ">\r\nContent-Length: 0\r\n\r\n";
    peer.send(ok, port);
    std::string ack = peer.next_starting("ACK");
    std::string bye = peer.next_starting("BYE");
    ASSERT_FALSE(ack.empty());
    ASSERT_FALSE(bye.empty());
    EXPECT_EQ(start_line(ack), "ACK sip:300@127.0.0.1:" + pp + " SIP/2.0");
    EXPECT_EQ(header(ack, "CSeq"), "7 ACK");
    EXPECT_EQ(header(bye, "CSeq"), "8 BYE");
    EXPECT_EQ(header(bye, "Call-ID"), "stale-call@127.0.0.1");
    EXPECT_EQ(param(header(bye, "To"), "tag"), "far9");
    EXPECT_TRUE(g_reports.empty());
}

TEST_F(ClientTest, CancelledCallEndsWith487)
{
    int chn = call_chn();
    ASSERT_EQ(LIBSIP_Send(200, chn), 0);
    std::string inv = peer.next_starting("INVITE");
    peer.send(answer_to(inv, "180 Ringing"), port);
    ASSERT_TRUE(pump_until([] { return count_reports(202) == 1; }, 1000));
    ASSERT_EQ(LIBSIP_Send(209, chn), 0);
    std::string cancel = peer.next_starting("CANCEL");
    EXPECT_EQ(param(header(cancel, "Via"), "branch"), param(header(inv, "Via"), "branch"));
    EXPECT_EQ(header(cancel, "CSeq"), "1 CANCEL");
    EXPECT_EQ(start_line(cancel).substr(7), start_line(inv).substr(7));
    peer.send(answer_to(cancel, "200 OK"), port);
    peer.send(answer_to(inv, "487 Request Terminated"), port);
    EXPECT_FALSE(peer.next_starting("ACK").empty());
    ASSERT_TRUE(pump_until([] { return count_reports(210) == 1; }, 1000));
}

TEST_F(ClientTest, OptionsProbeReportsAnyAnswerAsAlive)
{
    const char* answers[] = {"200 OK", "404 Not Found", "407 Proxy Authentication Required"};
    for (const char* a : answers) {
        g_reports.clear();
        int chn = LIBSIP_CreatChn(-1);
        IPV4_ADDRESS to = peer.addr();
        LIBSIP_SetUserHost(chn, &to);
        LIBSIP_SetFromTel(chn, "Hello");
        LIBSIP_SetToTel(chn, "Hello");
        ASSERT_EQ(LIBSIP_Send(219, chn), 0);
        std::string opt = peer.next_starting("OPTIONS");
        EXPECT_EQ(start_line(opt), "OPTIONS sip:Hello@127.0.0.1:" + std::to_string(peer.port()) + " SIP/2.0");
        peer.send(answer_to(opt, a, "Proxy-Authenticate: Digest realm=\"x\", nonce=\"y\"\r\n"), port);
        ASSERT_TRUE(pump_until([] { return count_reports(227) == 1; }, 1000)) << a;
        EXPECT_EQ(g_reports.size(), 1u) << a;
        LIBSIP_ResetChn(chn);
    }
}

}  // namespace
