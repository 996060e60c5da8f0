// The answers and in-dialog requests of the switch, byte for byte, as a peer receives them,
// on legs of the real legs table.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <regex>
#include <string>
#include <vector>

#include "settings.h"
#include "switch_settings.h"
#include "sip_legs.h"
#include "sip_transport.h"
#include "sip_response.h"
#include "sip_transport.h"

namespace {

int g_peer = -1;

// What the leg's retransmission slot holds.
struct Armed {
    bool armed;
    int kind, tries, first_interval;
    std::string text, ip;
    int port;
};
Armed slot(int leg)
{
    const SipLeg& l = sip_chn[leg];
    return {l.timertries > 0, l.timertype, l.timertries, l.timercount, l.timertext.s, l.timerip.s, l.timerport};
}

int peer_port()
{
    sockaddr_in a{};
    socklen_t n = sizeof a;
    getsockname(g_peer, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
}

// What the peer got, or "" when nothing came within a short wait.
std::string received()
{
    char buf[4096];
    timeval tv{0, 200000};
    setsockopt(g_peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ssize_t n = recv(g_peer, buf, sizeof buf, 0);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

void drain()
{
    char buf[4096];
    while (recv(g_peer, buf, sizeof buf, MSG_DONTWAIT) >= 0) {}
}

class SipResponse : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sip_debug = 0;
        ASSERT_GE(Sip_Server_Create(0), 0);
        g_peer = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(g_peer, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }

    void SetUp() override
    {
        reset_switch_settings();
        copy_text(sip_server_local_host, "10.0.0.1");
        copy_text(sip_server_local_port, "5060");
        Sip_Init_All_Chn();
        drain();
        // Leg 0: opened by a received INVITE from 801 to 802.
        SipLeg& in = sip_chn[0];
        in.use = 1;
        in.dir = 0;
        in.cseq = 1;
        copy_text(in.calling, "801");
        copy_text(in.called, "802");
        copy_text(in.sig_ip, "127.0.0.1");
        in.sig_port = peer_port();
        copy_text(in.callid, "c-in@10.0.0.2");
        copy_text(in.via_line, "Via: SIP/2.0/UDP 10.0.0.2:5062;branch=z9hG4bKin");
        copy_text(in.from_line, "From: <sip:801@10.0.0.1>;tag=f1");
        copy_text(in.to_line, "To: <sip:802@10.0.0.1>;tag=t1");
        copy_text(in.callid_line, "Call-ID: c-in@10.0.0.2");
        copy_text(in.cseq_line, "CSeq: 1 INVITE");
        // Leg 1: placed by the switch toward 802.
        sip_chn[1] = in;
        SipLeg& out = sip_chn[1];
        out.dir = 1;
        out.cseq = 7;
        copy_text(out.callid, "c-out");
        copy_text(out.via_line, "Via: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bKout");
        copy_text(out.from_line, "From: 801 <sip:801@10.0.0.1:5060>;tag=99");
        copy_text(out.to_line, "To: 802 <sip:802@10.0.0.1:5062>;tag=t2");
        copy_text(out.callid_line, "Call-ID: c-out");
        copy_text(out.cseq_line, "CSeq: 7 INVITE");
        Sip_Chn_Index_Rebuild();
    }

    // A decoded request as the receive step hands it over, with the peer as its source.
    SIP_MSG_T request(const std::string& text)
    {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        from.sin_port = htons(static_cast<uint16_t>(peer_port()));
        SIP_MSG_T msg{};
        Sip_Recv_Decode(text.c_str(), text.size(), from, sizeof from, msg);
        return msg;
    }

    std::string via_to_peer() { return "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer_port()) + ";branch=z9hG4bKr"; }
};

const std::string kTail = "Content-Length: 0\r\n\r\n";
const std::string kLegLines =
    "Via: SIP/2.0/UDP 10.0.0.2:5062;branch=z9hG4bKin\r\nFrom: <sip:801@10.0.0.1>;tag=f1\r\n"
    "To: <sip:802@10.0.0.1>;tag=t1\r\nCall-ID: c-in@10.0.0.2\r\nCSeq: 1 INVITE\r\n";

}  // namespace

TEST_F(SipResponse, ReasonPhrases)
{
    struct Case { int code; const char* phrase; };
    const Case cases[] = {
        {0, "SIP Error"}, {183, "Session Progress"}, {400, "bad request"}, {423, "Interval TooBrief"},
        {481, "Call/Transaction Does Not Exsit"}, {486, "BusyHere"}, {488, "Not Acceptable Here"},
        {604, "Does not exist anywhere"}, {606, "Not Acceptable"},
    };
    for (const Case& c : cases) {
        Text<200> phrase;
        EXPECT_EQ(Sip_Get_Reason(c.code, phrase), 1);
        EXPECT_STREQ(phrase.s, c.phrase) << c.code;
    }
    Text<200> kept;
    copy_text(kept, "before");
    Sip_Get_Reason(499, kept);
    EXPECT_STREQ(kept.s, "before");
}

TEST_F(SipResponse, ResponsesOnALeg)
{
    struct Case {
        const char* what;
        int (*send)(int);
        std::string status;
        int armed_kind;   // 0: nothing armed
    };
    const Case cases[] = {
        {"100", Send_Try, "SIP/2.0 100 Trying\r\n", 0},
        {"180", Send_Ringing, "SIP/2.0 180 Ringing\r\n", 0},
        {"200", [](int l) { return Send_Chn_Response(l, 200); }, "SIP/2.0 200 OK\r\n", 0},
        {"code 0 is 603", [](int l) { return Send_Chn_Response(l, 0); }, "SIP/2.0 603 Decline\r\n", 4},
        {"486", [](int l) { return Send_Chn_Response(l, 486); }, "SIP/2.0 486 BusyHere\r\n", 4},
        {"unknown code: empty phrase", [](int l) { return Send_Chn_Response(l, 499); }, "SIP/2.0 499 \r\n", 4},
    };
    for (const Case& c : cases) {
        Sip_Retrans_Clear(0, sip_chn[0].timertype);
        EXPECT_EQ(c.send(0), 1) << c.what;
        std::string want = c.status + kLegLines + kTail;
        EXPECT_EQ(received(), want) << c.what;
        const Armed a = slot(0);
        if (c.armed_kind == 0) {
            EXPECT_FALSE(a.armed) << c.what;
            continue;
        }
        ASSERT_TRUE(a.armed) << c.what;
        EXPECT_EQ(a.kind, c.armed_kind);
        EXPECT_EQ(a.text, want);
        EXPECT_EQ(a.tries, 3);
        EXPECT_EQ(a.first_interval, 2);
        EXPECT_EQ(a.ip, "127.0.0.1");
        EXPECT_EQ(a.port, peer_port());
    }
}

TEST_F(SipResponse, ProvisionalsNeedASignallingAddressFinalsAreTriedAnyway)
{
    sip_chn[0].sig_port = 0;
    EXPECT_EQ(Send_Try(0), -1);
    copy_text(sip_chn[0].sig_ip, "");
    sip_chn[0].sig_port = peer_port();
    EXPECT_EQ(Send_Ringing(0), -1);
    EXPECT_FALSE(slot(0).armed);
    // The 488 is still armed, and its send fails for want of an address.
    EXPECT_EQ(Send_Chn_Response(0, 488), -1);
    ASSERT_TRUE(slot(0).armed);
    EXPECT_EQ(slot(0).kind, 4);
    EXPECT_EQ(received(), "");
    // No leg, no message.
    EXPECT_EQ(Send_Try(3), -1);
    EXPECT_EQ(Send_Chn_Response(-1, 488), -1);
}

TEST_F(SipResponse, AResponseToARequestEchoesItsLines)
{
    const std::string via = via_to_peer();
    struct Case { const char* what; std::string request; int code; std::string want; };
    const Case cases[] = {
        {"OPTIONS from sipsak",
         "OPTIONS sip:x@10.0.0.1 SIP/2.0\r\n" + via + "\r\nFrom: sip:sipsak@127.0.0.1;tag=1\r\nTo: sip:x@10.0.0.1\r\n"
         "Call-ID: 42@h\r\nCSeq: 1 OPTIONS\r\nContact: sip:sipsak@127.0.0.1\r\nContent-Length: 0\r\n"
         "Max-Forwards: 70\r\nUser-Agent: sipsak 0.9.8.1\r\nAccept: text/plain\r\nExpires: 30\r\n\r\n",
         200,
         "SIP/2.0 200 OK\r\n" + via + "\r\nFrom: sip:sipsak@127.0.0.1;tag=1\r\nTo: sip:x@10.0.0.1\r\n"
         "Call-ID: 42@h\r\nExpires: 30\r\nContact: sip:sipsak@127.0.0.1\r\nUser-Agent: sipsak 0.9.8.1\r\n"
         "CSeq: 1 OPTIONS\r\n" + kTail},
        {"lines the request lacks are left out",
         "BYE sip:x SIP/2.0\r\n" + via + "\r\nCall-ID: 7\r\nCSeq: 2 BYE\r\n\r\n", 200,
         "SIP/2.0 200 OK\r\n" + via + "\r\nCall-ID: 7\r\nCSeq: 2 BYE\r\n" + kTail},
        {"488 to a REFER", "REFER sip:x SIP/2.0\r\n" + via + "\r\nCall-ID: 8\r\nCSeq: 3 REFER\r\n\r\n", 488,
         "SIP/2.0 488 Not Acceptable Here\r\n" + via + "\r\nCall-ID: 8\r\nCSeq: 3 REFER\r\n" + kTail},
        {"code 0 is 603", "INFO sip:x SIP/2.0\r\n" + via + "\r\nCall-ID: 9\r\n\r\n", 0,
         "SIP/2.0 603 Decline\r\n" + via + "\r\nCall-ID: 9\r\n" + kTail},
        // Without a usable reply address the answer goes back where the datagram came from.
        {"no Via", "SUBSCRIBE sip:x SIP/2.0\r\nCall-ID: 10\r\n\r\n", 200,
         "SIP/2.0 200 OK\r\nCall-ID: 10\r\n" + kTail},
        {"a Via port that is no port", "NOTIFY sip:x SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:0\r\nCall-ID: 11\r\n\r\n",
         200, "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1:0\r\nCall-ID: 11\r\n" + kTail},
    };
    for (const Case& c : cases) {
        SIP_MSG_T msg = request(c.request);
        EXPECT_EQ(Send_Msg_Response(msg, c.code), 1) << c.what;
        EXPECT_EQ(received(), c.want) << c.what;
    }
}

TEST_F(SipResponse, DigestChallenge)
{
    const std::string via = via_to_peer();
    const std::string reg = "REGISTER sip:10.0.0.1 SIP/2.0\r\n" + via +
                            "\r\nFrom: <sip:801@10.0.0.1>;tag=a\r\nTo: <sip:801@10.0.0.1>\r\nCall-ID: r1\r\n"
                            "CSeq: 5 REGISTER\r\n\r\n";
    const std::string lines = "From: <sip:801@10.0.0.1>;tag=a\r\nTo: <sip:801@10.0.0.1>\r\n" + via +
                              "\r\nCSeq: 5 REGISTER\r\nCall-ID: r1\r\n";
    struct Case { int type; std::string head; std::string challenge; };
    const Case cases[] = {
        {0, "SIP/2.0 401 Unauthorized\r\n", "WWW-Authenticate: Digest realm=\"10.0.0.1\",nonce=\"(\\d+)\",stale=FALSE,algorithm=MD5"},
        {1, "SIP/2.0 407 Proxy Authentication Required\r\n",
         "Proxy-Authenticate: Digest realm=\"10.0.0.1\",nonce=\"(\\d+)\",algorithm=MD5"},
    };
    for (const Case& c : cases) {
        sip_authen_type = c.type;
        SIP_MSG_T msg = request(reg);
        Text<200> nonce;
        EXPECT_EQ(Send_Auth_Challenge(msg, nonce), 1);
        std::string got = received();
        std::smatch m;
        std::regex want(std::regex_replace(c.head + lines, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                        c.challenge + "\r\nContent-Length:0\r\n\r\n");
        ASSERT_TRUE(std::regex_match(got, m, want)) << got;
        EXPECT_EQ(m[1].str(), nonce.s) << "the registration keeps exactly the nonce that was sent";
        EXPECT_GE(m[1].str().size(), 2u);
    }
    sip_authen_type = 2;
    Text<200> untouched;
    EXPECT_EQ(Send_Auth_Challenge(request(reg), untouched), -1);
    EXPECT_TRUE(untouched.empty());
}

TEST_F(SipResponse, CancelAndAckReuseTheInviteCSeq)
{
    EXPECT_EQ(Send_Cancel(1), 1);
    EXPECT_EQ(received(),
              "CANCEL sip:802@10.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\nVia: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bKout\r\n"
              "From: 801 <sip:801@10.0.0.1:5060>;tag=99\r\nTo: 802 <sip:802@10.0.0.1:5062>;tag=t2\r\n"
              "Call-ID: c-out\r\nCSeq: 7 CANCEL\r\n" + kTail);
    const Armed cancel = slot(1);
    ASSERT_TRUE(cancel.armed);
    EXPECT_EQ(cancel.kind, 6);

    EXPECT_EQ(Send_Ack(1), 1);
    EXPECT_EQ(received(),
              "ACK sip:802@10.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\nVia: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bKout\r\n"
              "From: 801 <sip:801@10.0.0.1:5060>;tag=99\r\nTo: 802 <sip:802@10.0.0.1:5062>;tag=t2\r\n"
              "Call-ID: c-out\r\nCSeq: 7 ACK\r\n" + kTail);
    EXPECT_EQ(sip_chn[1].cseq, 7);
    EXPECT_EQ(slot(1).text, cancel.text) << "an ACK is never repeated";
}

TEST_F(SipResponse, ByeAndNotifyAdvanceTheCSeqAndCarryANewVia)
{
    const std::string via = R"(Via: SIP/2\.0/UDP 10\.0\.0\.1:5060;branch=z9hG4bK\d+\d{14}\r\n)";
    struct Case {
        const char* what;
        int leg;
        int (*send)(int);
        std::string want;   // a pattern
        int kind;
        int cseq_after;
    };
    const Case cases[] = {
        // On a leg a received INVITE opened the switch is the called side: From and To swap.
        {"BYE to the caller", 0, Send_Bye,
         "BYE sip:801@10\\.0\\.0\\.1:5060 SIP/2\\.0\r\nMax-Forwards: 70\r\n" + via +
             "From: <sip:802@10\\.0\\.0\\.1>;tag=t1\r\nTo: <sip:801@10\\.0\\.0\\.1>;tag=f1\r\nCall-ID: c-in@10\\.0\\.0\\.2\r\n"
             "CSeq: 2 BYE\r\nContent-Length: 0\r\n\r\n",
         7, 2},
        {"BYE to the called", 1, Send_Bye,
         "BYE sip:802@10\\.0\\.0\\.1:5060 SIP/2\\.0\r\nMax-Forwards: 70\r\n" + via +
             "From: 801 <sip:801@10\\.0\\.0\\.1:5060>;tag=99\r\nTo: 802 <sip:802@10\\.0\\.0\\.1:5062>;tag=t2\r\n"
             "Call-ID: c-out\r\nCSeq: 8 BYE\r\nContent-Length: 0\r\n\r\n",
         7, 8},
        {"NOTIFY after a failed REFER", 0, [](int l) { return Send_Refer_Notify(SIP_MSG_T{}, l, 2); },
         "NOTIFY sip:801@10\\.0\\.0\\.1:5060 SIP/2\\.0\r\nMax-Forwards: 70\r\n" + via +
             "From: <sip:802@10\\.0\\.0\\.1>;tag=t1\r\nTo: <sip:801@10\\.0\\.0\\.1>;tag=f1\r\nCall-ID: c-in@10\\.0\\.0\\.2\r\n"
             "CSeq: 2 NOTIFY\r\nEvent: refer\r\nSubscription-State: terminated;reason=noresource\r\n"
             "Content-Type: message/sipfrag;version=2\\.0\r\nContent-Length: 33\r\n\r\n"
             "SIP/2\\.0 488 Not Acceptable Here\r\n",
         16, 2},
        {"NOTIFY while the REFER is active", 1, [](int l) { return Send_Refer_Notify(SIP_MSG_T{}, l, 1); },
         "NOTIFY sip:802@10\\.0\\.0\\.1:5060 SIP/2\\.0\r\nMax-Forwards: 70\r\n" + via +
             "From: 801 <sip:801@10\\.0\\.0\\.1:5060>;tag=99\r\nTo: 802 <sip:802@10\\.0\\.0\\.1:5062>;tag=t2\r\n"
             "Call-ID: c-out\r\nCSeq: 8 NOTIFY\r\nEvent: refer\r\nSubscription-State: active;expires=3600\r\n"
             "Content-Type: message/sipfrag;version=2\\.0\r\nContent-Length: 33\r\n\r\n"
             "SIP/2\\.0 488 Not Acceptable Here\r\n",
         16, 8},
    };
    for (const Case& c : cases) {
        SetUp();
        EXPECT_EQ(c.send(c.leg), 1) << c.what;
        std::string got = received();
        EXPECT_TRUE(std::regex_match(got, std::regex(c.want))) << c.what << "\n" << got;
        EXPECT_EQ(sip_chn[c.leg].cseq, c.cseq_after) << c.what;
        ASSERT_TRUE(slot(c.leg).armed) << c.what;
        EXPECT_EQ(slot(c.leg).kind, c.kind) << c.what;
        EXPECT_EQ(slot(c.leg).text, got) << c.what;
    }
    // The sipfrag is counted right: 33 bytes.
    EXPECT_EQ(std::string("SIP/2.0 488 Not Acceptable Here\r\n").size(), 33u);
}

TEST_F(SipResponse, ByeWithoutASignallingAddressArmsNothing)
{
    sip_chn[0].sig_port = 0;
    EXPECT_EQ(Send_Bye(0), -1);
    EXPECT_EQ(Send_Refer_Notify(SIP_MSG_T{}, 0, 2), -1);
    EXPECT_FALSE(slot(0).armed);
    EXPECT_EQ(received(), "");
}

TEST_F(SipResponse, AckForAFailureWithoutALeg)
{
    const std::string resp = "SIP/2.0 486 Busy Here\r\nVia: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK1\r\n"
                             "From: <sip:801@10.0.0.1>;tag=1\r\nTo: <sip:802@10.0.0.3:5062>;tag=2\r\n"
                             "Call-ID: gone\r\nCSeq: 12 INVITE\r\n\r\n";
    EXPECT_EQ(Send_Ack_Response(request(resp)), 1);
    EXPECT_EQ(received(),
              "ACK sip:802@10.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\nVia: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK1\r\n"
              "From: <sip:801@10.0.0.1>;tag=1\r\nTo: <sip:802@10.0.0.3:5062>;tag=2\r\nCall-ID: gone\r\n"
              "CSeq: 12 ACK\r\n" + kTail);
    EXPECT_EQ(Send_Ack_Response(request("SIP/2.0 486 Busy\r\nTo: <tel:1>\r\nCSeq: 1 INVITE\r\n\r\n")), -1);
    EXPECT_EQ(Send_Ack_Response(request("SIP/2.0 486 Busy\r\nTo: <sip:1@h>\r\nCSeq: 1\r\n\r\n")), -1);
    EXPECT_EQ(received(), "");
}

TEST_F(SipResponse, MessageRelayAndItsBound)
{
    const std::string message = "MESSAGE sip:802@10.0.0.1:5060 SIP/2.0\r\nVia: SIP/2.0/UDP 10.0.0.2:5062\r\n"
                                "From: <sip:801@10.0.0.1>;tag=1\r\nTo: <sip:802@10.0.0.1:5060>\r\nCall-ID: m1\r\n"
                                "CSeq: 1 MESSAGE\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello";
    EXPECT_EQ(Send_Message_Relay(request(message), "127.0.0.1", peer_port()), 1);
    std::string got = received();
    EXPECT_TRUE(std::regex_match(
        got, std::regex("MESSAGE sip:802@10\\.0\\.0\\.1:5060 SIP/2\\.0\r\nMax-Forwards: 70\r\n"
                        "Via: SIP/2\\.0/UDP 10\\.0\\.0\\.1:5060;branch=z9hG4bK\\d+\\d{14}\r\n"
                        "From: <sip:801@10\\.0\\.0\\.1>;tag=1\r\nTo: <sip:802@10\\.0\\.0\\.1:5060>\r\nCall-ID: m1\r\n"
                        "CSeq: 1 MESSAGE\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello\r\n")))
        << got;

    // Every slot at its maximum: more than 2048 bytes. Refused whole, nothing sent.
    const std::string l = std::string(190, 'x');
    const std::string big = "MESSAGE sip:" + l + " SIP/2.0\r\nFrom: " + l + "\r\nTo: " + l + "\r\nCall-ID: " + l +
                            "\r\nCSeq: " + l + "\r\nContent-Type: text/plain" + l + "\r\nContent-Length: " + l +
                            "\r\n\r\n" + std::string(799, 'b');
    SIP_MSG_T msg = request(big);
    ASSERT_EQ(std::string(msg.text_body.s).size(), 799u);
    EXPECT_EQ(Send_Message_Relay(msg, "127.0.0.1", peer_port()), -1);
    EXPECT_EQ(received(), "");
}

TEST_F(SipResponse, MovedNotice)
{
    struct Case { std::string tel; std::string number_bytes; };
    const Case cases[] = {
        {"801", "801" + std::string(22, '\0')},
        {std::string(24, '7'), std::string(24, '7') + std::string(1, '\0')},
        {std::string(25, '8'), std::string(25, '8')},                    // no room for a NUL
        {std::string(40, '9'), std::string(25, '9')},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Send_Reg_Moved_Notice(c.tel.c_str(), "127.0.0.1", peer_port()), 1);
        EXPECT_EQ(received(), std::string("D\x01\x04\x00\x19", 5) + c.number_bytes) << c.tel;
    }
}

TEST_F(SipResponse, SenderRefusesWhatIsNoAddress)
{
    struct Case { const char* ip; int port; };
    const Case cases[] = {{"host.example", 5060}, {"", 5060}, {"127.0.0.1", 0}, {"127.0.0.1", 70000},
                          {"127.0.0.1", -1}, {nullptr, 5060}};
    for (const Case& c : cases) EXPECT_EQ(Send_Udp_Data("x", 1, c.ip, c.port), -1) << (c.ip ? c.ip : "null");
    EXPECT_EQ(Send_Udp_Data("ok", 2, "127.0.0.1", peer_port()), 1);
    EXPECT_EQ(received(), "ok");
}

TEST_F(SipResponse, LegsAreFoundByTheirCallId)
{
    EXPECT_EQ(Sip_Find_Chn_By_Callid(nullptr), -2);
    EXPECT_EQ(Sip_Find_Chn_By_Callid("c-out"), 1);
    EXPECT_EQ(Sip_Find_Chn_By_Callid("C-OUT"), -1);   // case-sensitive
    EXPECT_EQ(Sip_Find_Chn_By_Callid("c-ou"), -1);    // whole text
    sip_chn[1].use = 0;
    EXPECT_EQ(Sip_Find_Chn_By_Callid("c-out"), -1);   // a free leg is no match
}

// The index must give what a walk of the table from leg 0 gives, whatever happened to the legs.
int walk_for_callid(std::string_view callid)
{
    for (int leg = 0; leg < kMaxSipLegs; ++leg)
        if (sip_chn[leg].use == 1 && sip_chn[leg].callid.view() == callid) return leg;
    return -1;
}

TEST_F(SipResponse, TheCallIdIndexAgreesWithAWalkOfTheLegs)
{
    Sip_Init_All_Chn();
    auto take = [](int leg, const char* callid) {
        sip_chn[leg] = SipLeg{};
        sip_chn[leg].use = 1;
        copy_text(sip_chn[leg].callid, callid);
        Sip_Chn_Index_Callid(leg);
    };
    // The same Call-ID on two legs (a call the switch relays back to itself): the lower leg,
    // and the other one once the lower is freed.
    take(7, "dup");
    take(3, "dup");
    EXPECT_EQ(Sip_Find_Chn_By_Callid("dup"), 3);
    Sip_Chn_Reset(3);
    EXPECT_EQ(Sip_Find_Chn_By_Callid("dup"), 7);
    // A Call-ID written again: found by the new one only, also when the index was not told.
    copy_text(sip_chn[7].callid, "renamed");
    EXPECT_EQ(Sip_Find_Chn_By_Callid("dup"), -1);
    Sip_Chn_Index_Callid(7);
    EXPECT_EQ(Sip_Find_Chn_By_Callid("renamed"), 7);
    // A leg in use with an empty Call-ID (a placed leg before its INVITE is written).
    take(9, "");
    EXPECT_EQ(Sip_Find_Chn_By_Callid(""), 9);

    // Many legs taken, renamed and freed in any order, with few Call-IDs so that they repeat
    // and share chains.
    Sip_Init_All_Chn();
    unsigned seed = 12345;
    auto next = [&seed](unsigned n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    for (int step = 0; step < 20000; ++step) {
        const int leg = static_cast<int>(next(kMaxSipLegs));
        const std::string callid = "c" + std::to_string(next(300));
        if (next(3) == 0) Sip_Chn_Reset(leg);
        else take(leg, callid.c_str());
        const std::string probe = "c" + std::to_string(next(300));
        ASSERT_EQ(Sip_Find_Chn_By_Callid(probe.c_str()), walk_for_callid(probe)) << "step " << step;
    }
    for (int i = 0; i < 300; ++i) {
        const std::string probe = "c" + std::to_string(i);
        EXPECT_EQ(Sip_Find_Chn_By_Callid(probe.c_str()), walk_for_callid(probe)) << probe;
    }
}

TEST_F(SipResponse, ReferInsideADialogIsAcceptedThenReportedFailedWhileNoTransferExists)
{
    SIP_MSG_T msg = request("REFER sip:802@10.0.0.1 SIP/2.0\r\n" + via_to_peer() +
                            "\r\nCall-ID: c-in@10.0.0.2\r\nCSeq: 3 REFER\r\nRefer-To: <sip:805@10.0.0.1>\r\n\r\n");
    EXPECT_EQ(OnRecvSip(msg), 0);
    EXPECT_EQ(received().substr(0, 22), "SIP/2.0 202 Accepted\r\n");
    EXPECT_EQ(received().substr(0, 67), "NOTIFY sip:801@10.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\nVia: SIP/2.");
    EXPECT_EQ(slot(0).kind, 16);
}

TEST_F(SipResponse, TinyDatagramsAreSkippedWithinThePassBudget)
{
    sockaddr_in sw{};
    socklen_t n = sizeof sw;
    getsockname(g_sip_fd, reinterpret_cast<sockaddr*>(&sw), &n);
    sw.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto send_text = [&sw](const std::string& text) {
        sendto(g_peer, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&sw), sizeof sw);
    };
    const std::string options = "OPTIONS sip:x@10.0.0.1 SIP/2.0\r\n" + via_to_peer() +
                                "\r\nFrom: <sip:a@127.0.0.1>;tag=1\r\nTo: <sip:x@10.0.0.1>\r\nCall-ID: k1\r\n"
                                "CSeq: 1 OPTIONS\r\n\r\n";
    // Keepalives ahead of a request: the same pass reads past them and answers it.
    for (const char* tiny : {"\r\n\r\n", "\r\n", "x", ""}) send_text(tiny);
    send_text(options);
    usleep(20000);
    Sip_Recv_Proc();
    EXPECT_EQ(received().substr(0, 15), "SIP/2.0 200 OK\r");
    // A flood of them still costs one datagram each of the pass's 100.
    for (int i = 0; i < kSipRecvPerPass; ++i) send_text("\r\n");
    send_text(options);
    usleep(20000);
    Sip_Recv_Proc();
    EXPECT_EQ(received(), "");
    Sip_Recv_Proc();
    EXPECT_EQ(received().substr(0, 15), "SIP/2.0 200 OK\r");
}
