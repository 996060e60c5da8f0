// The MGCP decoder on what gateways send (LF or CR LF lines, piggy-backed messages, commands and
// responses, observed events, SDP), and the texts the agent writes, byte for byte, as a gateway
// receives them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mgcp_decode.h"
#include "mgcp_endpoint.h"
#include "mgcp_transport.h"
#include "switch_settings.h"
#include "udp_peer.h"

namespace {

// Every line of text with LF replaced by CR LF, as some gateways write them.
std::string crlf(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

struct Decoded {
    int result;
    MGCP_MSG_T msg;
};

std::vector<Decoded> decode_all(const std::string& text)
{
    reset_switch_settings();   // the log off
    std::vector<Decoded> out;
    std::string_view rest(text);
    for (int n = 0; n < 8; ++n) {
        Decoded d{0, {}};
        d.result = Mgcp_Decode(rest, d.msg);
        out.push_back(d);
        if (d.result != 2) break;
    }
    return out;
}

const std::string kAnswerWithSdp =
    "200 17 OK\nI: 3F2A\n\nv=0\no=- 1 1 IN IP4 10.0.0.9\ns=-\nc=IN IP4 10.0.0.9\nt=0 0\nm=audio 4000 RTP/AVP 0 8 101\n"
    "a=rtpmap:101 telephone-event/8000\n";

TEST(MgcpDecode, MessagesAsGatewaysSendThem)
{
    struct Case {
        const char* what;
        std::string text;
        int result, type, code, trans_id;
        const char* endpoint;
        const char* o_line;
        const char* i_line;
        const char* rtp;   // "ip:port/codec" from the SDP, "" without
    };
    const std::string ntfy = "NTFY 12 aaln/1@gw.example MGCP 1.0\nN: ca@10.0.0.1:2727\nX: 1a\nO: L/hd\n";
    const Case cases[] = {
        {"a command, LF lines", ntfy, 1, MGCP_NTFY, 0, 12, "aaln/1@gw.example", "O: L/hd", "", ""},
        {"the same with CR LF lines: no line keeps its CR", crlf(ntfy), 1, MGCP_NTFY, 0, 12, "aaln/1@gw.example",
         "O: L/hd", "", ""},
        {"a response with SDP", kAnswerWithSdp, 1, MGCP_SUCCESS, 200, 17, "", "", "I: 3F2A", "10.0.0.9:4000/3"},
        {"the same with CR LF lines: the blank line is still the one before the SDP", crlf(kAnswerWithSdp), 1,
         MGCP_SUCCESS, 200, 17, "", "", "I: 3F2A", "10.0.0.9:4000/3"},
        {"PCMA alone", "200 1 OK\n\nc=IN IP4 1.2.3.4\nm=audio 5000 RTP/AVP 8\n", 1, MGCP_SUCCESS, 200, 1, "", "", "",
         "1.2.3.4:5000/1"},
        {"PCMU alone, blanks before the lines", "250 2\n\n c=IN IP4 1.2.3.4\n  m=audio 5002 RTP/AVP 0\n", 1,
         MGCP_SUCCESS, 250, 2, "", "", "", "1.2.3.4:5002/2"},
        {"a port that is no port", "200 3 OK\n\nm=audio 99999 RTP/AVP 0\n", 1, MGCP_SUCCESS, 200, 3, "", "", "", ":0/2"},
        {"a provisional answer", "100 4 Pending\n", 1, MGCP_PROVISIONAL, 100, 4, "", "", "", ""},
        {"an error", "510 5 bad\n", 1, MGCP_ERROR, 510, 5, "", "", "", ""},
        {"a code below 100", "050 6\n", 1, MGCP_UNKNOWN, 50, 6, "", "", "", ""},
        {"lower-case rsip is read", "rsip 7 aaln/2@gw MGCP 1.0\nRM: restart\n", 1, MGCP_RSIP, 0, 7, "aaln/2@gw", "",
         "", ""},
        {"lower-case ntfy is not", "ntfy 8 aaln/2@gw MGCP 1.0\nO: L/hu\n", 1, MGCP_UNKNOWN, 0, 8, "aaln/2@gw", "O: L/hu",
         "", ""},
        {"mixed case is no verb", "Rsip 9 aaln/2@gw MGCP 1.0\n", 1, MGCP_UNKNOWN, 0, 9, "aaln/2@gw", "", "", ""},
        {"a transaction id that is no number", "DLCX 1x aaln/2@gw MGCP 1.0\n", 1, MGCP_DLCX, 0, 0, "aaln/2@gw", "", "",
         ""},
        {"a last line without LF", "NTFY 10 e MGCP 1.0\nO: D/12", 1, MGCP_NTFY, 0, 10, "e", "O: D/12", "", ""},
        {"no text", "", -1, MGCP_UNKNOWN, 0, 0, "", "", "", ""},
        {"no first line", "\nNTFY 11 e MGCP 1.0\n", -1, MGCP_UNKNOWN, 0, 0, "", "", "", ""},
    };
    for (const Case& c : cases) {
        const auto got = decode_all(c.text);
        ASSERT_EQ(got.size(), 1u) << c.what;
        const MGCP_MSG_T& m = got[0].msg;
        EXPECT_EQ(got[0].result, c.result) << c.what;
        EXPECT_EQ(m.type, c.type) << c.what;
        EXPECT_EQ(m.code, c.code) << c.what;
        EXPECT_EQ(m.trans_id, c.trans_id) << c.what;
        EXPECT_STREQ(m.endpoint.s, c.endpoint) << c.what;
        EXPECT_STREQ(m.o_line.s, c.o_line) << c.what;
        EXPECT_STREQ(m.i_line.s, c.i_line) << c.what;
        const std::string rtp = m.sdp.empty() ? "" : std::string(m.rtp_ip.s) + ":" + std::to_string(m.rtp_port) + "/" +
                                                         std::to_string(m.codec);
        EXPECT_EQ(rtp, c.rtp) << c.what;
    }
}

TEST(MgcpDecode, PiggyBackedMessagesAreEachDecoded)
{
    for (const std::string& text : {std::string("200 20 OK\nI: 1\n\nc=IN IP4 10.0.0.9\nm=audio 4000 RTP/AVP 0\n.\n"
                                                "NTFY 21 aaln/1@gw MGCP 1.0\nO: L/hu\n.\nRSIP 22 aaln/2@gw MGCP 1.0\n"),
                                    crlf("200 20 OK\nI: 1\n\nc=IN IP4 10.0.0.9\nm=audio 4000 RTP/AVP 0\n.\n"
                                         "NTFY 21 aaln/1@gw MGCP 1.0\nO: L/hu\n.\nRSIP 22 aaln/2@gw MGCP 1.0\n")}) {
        const auto got = decode_all(text);
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0].result, 2);
        EXPECT_EQ(got[0].msg.type, MGCP_SUCCESS);
        EXPECT_EQ(got[0].msg.rtp_port, 4000);
        EXPECT_EQ(std::string(got[0].msg.sdp.s).find("NTFY"), std::string::npos) << "the SDP ends at the \".\" line";
        EXPECT_EQ(got[1].result, 2);
        EXPECT_EQ(got[1].msg.type, MGCP_NTFY);
        EXPECT_STREQ(got[1].msg.o_line.s, "O: L/hu");
        EXPECT_EQ(got[2].result, 1);
        EXPECT_EQ(got[2].msg.type, MGCP_RSIP);
        EXPECT_EQ(got[2].msg.trans_id, 22);
    }
}

TEST(MgcpDecode, ParameterLinesByLetterWithinTheirSlots)
{
    const std::string long_value(300, 'z');
    const auto got = decode_all("CRCX 1 e MGCP 1.0\nc: 5\nC: 6\nL: p:20\nM: sendrecv\nR: L/hu\nS: L/rg\nX: 9\nD: (x.T)\n"
                                "Q: ignored\nN: " + long_value + "\nI: " + long_value + "\n");
    const MGCP_MSG_T& m = got[0].msg;
    EXPECT_STREQ(m.c_line.s, "C: 6") << "a later line with the same letter replaces the earlier";
    EXPECT_STREQ(m.l_line.s, "L: p:20");
    EXPECT_STREQ(m.m_line.s, "M: sendrecv");
    EXPECT_STREQ(m.r_line.s, "R: L/hu");
    EXPECT_STREQ(m.s_line.s, "S: L/rg");
    EXPECT_STREQ(m.x_line.s, "X: 9");
    EXPECT_STREQ(m.d_line.s, "D: (x.T)");
    EXPECT_EQ(m.i_line.view().size(), 199u);
    EXPECT_EQ(m.n_line.view().size(), 303u);
    EXPECT_STREQ(m.version.s, "1.0");
}

TEST(MgcpDecode, ObservedEvents)
{
    struct Case {
        const char* line;
        int result, type;
        const char* number;
    };
    const Case cases[] = {
        {"O: L/hd", 0, MGCP_EV_OFFHOOK, ""},
        {"O: hu", 0, MGCP_EV_ONHOOK, ""},
        {"O: L/HF", 0, MGCP_EV_FLASH, ""},
        {"O: L/oc", 0, MGCP_EV_OC, ""},
        {"O: nat/ka", 0, MGCP_EV_KEEPALIVE, ""},
        {"O: D/802#", 1, MGCP_EV_DIGITS, "802#"},
        {"O: D/8,D/0,D/2", 1, MGCP_EV_DIGITS, "802"},
        {"O: D/*11801T", 1, MGCP_EV_DIGITS, "*11801"},
        {"O: D/T", 1, MGCP_EV_DIGITS, ""},
        {"", -1, -7, ""},
    };
    reset_switch_settings();
    for (const Case& c : cases) {
        Text<50> number;
        int type = -7;
        EXPECT_EQ(Mgcp_Decode_Observed_Event(c.line, number, type), c.result) << c.line;
        EXPECT_EQ(type, c.type) << c.line;
        EXPECT_STREQ(number.s, c.number) << c.line;
    }
}

// The writers toward an endpoint whose gateway is a loopback socket.
class MgcpWriters : public ::testing::Test {
public:
    UdpPeer gw;
    int e = 3;

    static void SetUpTestSuite()
    {
        reset_switch_settings();
        ASSERT_GE(Mgcp_Server_Create(0), 0);
    }

    void SetUp() override
    {
        reset_switch_settings();
        Mgcp_Init_All_Endpoint();
        MgcpEndpoint& ep = g_mgcp_endpoint[e];
        ep.in_use = 1;
        copy_text(ep.endpoint, "aaln/1@gw");
        ep.gw_addr.sin_family = AF_INET;
        ep.gw_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ep.gw_addr.sin_port = htons(static_cast<uint16_t>(gw.port));
    }

    std::string sent()
    {
        auto got = gw.take(1000);
        EXPECT_EQ(got.size(), 1u);
        return got.empty() ? "" : got[0];
    }
};

TEST_F(MgcpWriters, CrcxInEachMode)
{
    // The first command after start-up carries transaction id 2, request id 1 and call id 1.
    Mgcp_Send_CRCX(e, CRCX_PLAIN);
    EXPECT_EQ(sent(), "CRCX 2 aaln/1@gw MGCP 1.0\r\nC:1\r\nM:inactive\r\nL:a:PCMA,p:20,e:on,s:off\r\nX:1\r\n"
                      "R:L/hu(N)\r\n");
    EXPECT_EQ(g_mgcp_endpoint[e].trans_id, 2);
    EXPECT_STREQ(g_mgcp_endpoint[e].callid.s, "1");
    // Ringing carries one fixed caller number, whoever calls.
    Mgcp_Send_CRCX(e, CRCX_RING);
    EXPECT_EQ(sent(), "CRCX 3 aaln/1@gw MGCP 1.0\r\nC:2\r\nM:inactive\r\nL:a:PCMA,p:20,e:on,s:off\r\nX:2\r\n"
                      "R:L/hd(N),L/oc(N)\r\nS: L/rg,L/ci(,500600700800,)\r\n");
    EXPECT_EQ(g_mgcp_endpoint[e].resend_verb, MGCP_CRCX);
    EXPECT_EQ(g_mgcp_endpoint[e].resend_tries, 3);
}

TEST_F(MgcpWriters, MdcxCarriesTheConnectionAndTheFarMedia)
{
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    copy_text(ep.callid, "41");
    copy_text(ep.conn_line, "I: 3F2A");
    copy_text(ep.far_rtp_ip, "10.1.2.3");
    ep.far_rtp_port = 7000;
    const char* tails[] = {
        " RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n",
        " RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n",
        " RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n",
        " RTP/AVP 8 0\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:0 PCMU/8000\r\n",
    };
    for (int codec = 0; codec < 4; ++codec) {
        ep.far_codec = codec;
        Mgcp_Send_MDCX(e);
        EXPECT_EQ(sent(), "MDCX " + std::to_string(2 + codec) + " aaln/1@gw MGCP 1.0\r\nC:41\r\nI: 3F2A\r\nM:sendrecv\r\n"
                          "L:a:PCMA,p:20,e:on,s:off\r\nX:" + std::to_string(1 + codec) + "\r\nR:L/hu(N)\r\n\r\nv=0\r\n"
                          "o=KelvanorVtn3000 1073741824 1073741824 IN IP4 10.1.2.3\r\ns=1\r\nc=IN IP4 10.1.2.3\r\n"
                          "t=0 0\r\nm=audio 7000" + tails[codec] + "\r\n") << codec;
    }
    // Without an I: line none is sent.
    ep.conn_line.clear();
    Mgcp_Send_MDCX(e);
    EXPECT_EQ(sent().find("I:"), std::string::npos);
}

TEST_F(MgcpWriters, RqntInEachMode)
{
    const char* lines[] = {
        "R:L/hd(N),D/[0-9#*T](D),L/oc(N)\r\nD:(x.T|x.#)\r\n",
        "R:L/hu(N),D/[0-9#*T](D),L/oc(N)\r\nS:L/dl\r\nD:(x.T|x.#)\r\n",
        "R:L/hu(N),G/oc(N)\r\nS:G/rt\r\n",
        "R:L/hu(N)\r\nS:L/bz\r\n",
    };
    for (int mode = 0; mode < 4; ++mode) {
        Mgcp_Send_RQNT(e, mode);
        char x[8];
        std::snprintf(x, sizeof x, "%x", 1 + mode);
        EXPECT_EQ(sent(), "RQNT " + std::to_string(2 + mode) + " aaln/1@gw MGCP 1.0\r\nX:" + x + "\r\n" + lines[mode])
            << mode;
    }
    EXPECT_EQ(g_mgcp_endpoint[e].resend_tries, 0) << "an RQNT is sent once";
}

TEST_F(MgcpWriters, DlcxInEachMode)
{
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    copy_text(ep.callid, "41");
    copy_text(ep.conn_line, "I: 3F2A");
    const char* lines[] = {
        "R:L/hd(N)\r\n",
        "R:L/hu(N),L/oc(N)\r\nS:L/bz\r\n",
        "R:L/hd(N)\r\n",
        "R:L/hd(N),L/oc(N)\r\nS:L/bz\r\n",
    };
    for (int mode = 0; mode < 4; ++mode) {
        Mgcp_Send_DLCX(e, mode);
        EXPECT_EQ(sent(), "DLCX " + std::to_string(2 + mode) + " aaln/1@gw MGCP 1.0\r\nC:41\r\nI: 3F2A\r\nX:" +
                              std::to_string(1 + mode) + "\r\n" + lines[mode])
            << mode;
        EXPECT_EQ(ep.resend_verb, MGCP_DLCX);
    }
}

TEST_F(MgcpWriters, RequestIdsAreHexadecimal)
{
    for (int n = 0; n < 9; ++n) Mgcp_Send_RQNT(e, RQNT_BUSY);
    gw.take(200);
    Mgcp_Send_RQNT(e, RQNT_BUSY);
    EXPECT_EQ(sent(), "RQNT 11 aaln/1@gw MGCP 1.0\r\nX:a\r\nR:L/hu(N)\r\nS:L/bz\r\n");
}

TEST_F(MgcpWriters, ResponsesGoToTheSender)
{
    MGCP_MSG_T msg{};
    msg.type = MGCP_NTFY;
    msg.trans_id = 77;
    msg.from_addr = g_mgcp_endpoint[e].gw_addr;
    Mgcp_Send_Response(msg, 200);
    EXPECT_EQ(sent(), "200 77 OK\r\n");
    msg.trans_id = 78;
    Mgcp_Send_Response(msg, 0);
    EXPECT_EQ(sent(), "400 78\r\n");
    // The same command again gets the same answer back.
    msg.trans_id = 77;
    EXPECT_EQ(Mgcp_Answer_Again(msg), 1);
    EXPECT_EQ(sent(), "200 77 OK\r\n");
    msg.type = MGCP_RSIP;
    EXPECT_EQ(Mgcp_Answer_Again(msg), 0) << "another command with the same id is another transaction";
}

}  // namespace
