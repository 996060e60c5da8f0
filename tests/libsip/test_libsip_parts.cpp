// The stack's parts that need no far end: digest answers, descriptions both ways, the raw header
// look, and the base library's helpers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "code.h"
#include "fifo.h"
#include "sip_digest.h"
#include "sip_sdp.h"
#include "sip_text.h"
#include "xml.h"

namespace {

TEST(Digest, ResponsesMatchKnownValues)
{
    struct Case { const char *user, *realm, *pwd, *method, *uri, *nonce, *nc, *cnonce, *want; };
    const Case cases[] = {
        // the worked example of RFC 2617 (qop=auth)
        {"Mufasa", "testrealm@host.com", "Circle Of Life", "GET", "/dir/index.html", "dcd98b7102dd2f0e8b11d0f600bfb0c093",
         "00000001", "0a4f113b", "6629fae49393a05397450978507c4ef1"},
        // without qop, as a plain registrar computes it
        {"100", "qvd", "secret", "REGISTER", "sip:10.0.0.1", "abc123", "", "", "35e04191c57593a8db7d5369a142add9"},
        // an empty realm and password still give a digest
        {"201", "", "", "INVITE", "sip:300@10.0.0.1:5062", "n", "", "", "361d70f4c9ab59a4775f0baf54f86e6a"},
    };
    for (const auto& c : cases) {
        char out[33];
        Digest_Response(c.user, c.realm, c.pwd, c.method, c.uri, c.nonce, c.nc, c.cnonce, out);
        EXPECT_STREQ(out, c.want) << c.user;
    }
}

TEST(Digest, ChallengesAreReadOrRefused)
{
    struct Case { const char* value; int want; const char* realm; const char* nonce; int qop; };
    const Case cases[] = {
        {"Digest realm=\"qvd\",nonce=\"abc\",stale=FALSE,algorithm=MD5", 1, "qvd", "abc", 0},
        {"Digest realm=\"sw\", nonce=\"n1\", qop=\"auth-int, auth\"", 1, "sw", "n1", 1},
        {"digest REALM=\"a,b\", NONCE=\"x\"", 1, "a,b", "x", 0},   // names in any case, a comma inside quotes
        {"Digest realm=\"sw\", nonce=\"n1\", qop=\"auth-int\"", 1, "sw", "n1", 0},
        {"Digest realm=\"sw\", algorithm=SHA-256, nonce=\"n\"", -3, "", "", 0},
        {"Digest realm=\"sw\"", -2, "", "", 0},
        {"Basic realm=\"sw\"", -1, "", "", 0},
        {"Digest", -1, "", "", 0},
        {"Digest realm=\"unterminated, nonce=\"n", -2, "", "", 0},
    };
    for (const auto& c : cases) {
        SipChallenge ch;
        int r = Digest_Read_Challenge(c.value, 0, ch);
        EXPECT_EQ(r, c.want) << c.value;
        if (r != 1) continue;
        EXPECT_STREQ(ch.realm.s, c.realm) << c.value;
        EXPECT_STREQ(ch.nonce.s, c.nonce) << c.value;
        EXPECT_EQ(ch.qop_auth, c.qop) << c.value;
    }
}

TEST(Sdp, ReceivedDescriptionsReadAsTheGatewayExpects)
{
    struct Case {
        const char* body;
        int a_use, port, media, ptime;
        const char* ip;
        int c0, c1, c2;
        const char* content_has;
    };
    const Case cases[] = {
        {"v=0\r\no=- 1 1 IN IP4 10.0.0.2\r\ns=-\r\nc=IN IP4 10.0.0.2\r\nt=0 0\r\nm=audio 4000 RTP/AVP 0 8 101\r\n"
         "a=rtpmap:101 telephone-event/8000\r\n",
         1, 4000, SENDRECV, 0, "10.0.0.2", G711_U, G711_A, 101, ""},
        // direction and packet time at the media, the connection line at the media
        {"v=0\r\no=- 1 1 IN IP4 1.1.1.1\r\ns=-\r\nt=0 0\r\nm=audio 5000 RTP/AVP 18 4\r\nc=IN IP4 10.0.0.3\r\na=sendonly\r\na=ptime:30\r\n",
         1, 5000, SENDONLY, 30, "10.0.0.3", G729, G723, 0, ""},
        // direction at the session; a dynamic payload known by its name; the fax attribute kept
        {"v=0\r\no=- 1 1 IN IP4 1.1.1.1\r\ns=-\r\nc=IN IP4 10.0.0.4\r\nt=0 0\r\na=recvonly\r\nm=audio 6000 RTP/AVP 97 8\r\n"
         "a=rtpmap:97 PCMU/8000\r\na=X-fax\r\n",
         1, 6000, RECVONLY, 0, "10.0.0.4", G711_U, G711_A, 0, "a=X-fax\r\n"},
        // a refused audio stream (port 0) is no audio
        {"v=0\r\no=- 1 1 IN IP4 1.1.1.1\r\ns=-\r\nc=IN IP4 10.0.0.5\r\nt=0 0\r\nm=audio 0 RTP/AVP 8\r\n",
         0, 0, SENDRECV, 0, "", 0, 0, 0, ""},
        {"v=0\r\no=- 1 1 IN IP4 1.1.1.1\r\ns=-\r\nc=IN IP4 10.0.0.6\r\nt=0 0\r\nm=audio 7000 RTP/AVP 8\r\na=inactive\r\n",
         1, 7000, INACTIVE, 0, "10.0.0.6", G711_A, 0, 0, ""},
    };
    for (const auto& c : cases) {
        SIP_SDP s;
        ASSERT_EQ(Sdp_Read(c.body, s), 1) << c.body;
        EXPECT_EQ(s.a_use, c.a_use) << c.body;
        EXPECT_EQ(s.a_addr.port, c.port) << c.body;
        EXPECT_STREQ(s.a_addr.ip, c.ip) << c.body;
        EXPECT_EQ(s.a_media, c.media) << c.body;
        EXPECT_EQ(s.a_ptime, c.ptime) << c.body;
        EXPECT_EQ(s.a_coders[0], c.c0) << c.body;
        EXPECT_EQ(s.a_coders[1], c.c1) << c.body;
        EXPECT_EQ(s.a_coders[2], c.c2) << c.body;
        EXPECT_NE(std::string(s.a_content).find(c.content_has), std::string::npos) << c.body;
    }
    SIP_SDP s;
    EXPECT_EQ(Sdp_Read("this is no description", s), -1);
    EXPECT_EQ(Sdp_Read("", s), -1);
}

TEST(Sdp, WrittenDescriptionReadsBackTheSame)
{
    SIP_SDP s{};
    s.a_use = 1;
    s.a_media = RECVONLY;
    s.a_ptime = 20;
    s.a_coders[0] = G711_U;
    s.a_coders[1] = G729;
    s.a_coders[2] = 101;
    std::strcpy(s.a_addr.ip, "192.168.1.20");
    s.a_addr.port = 10010;
    std::strcpy(s.a_content, "a=X-fax\r\na=ecan:fb on -\r\n");
    char buf[1024];
    Composer m(buf, sizeof buf);
    ASSERT_EQ(Sdp_Write(s, 3, m), 1);
    std::string text(m.c_str());
    EXPECT_NE(text.find("c=IN IP4 192.168.1.20\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("m=audio 10010 RTP/AVP 0 18 101\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("a=ptime:20\r\na=recvonly\r\na=X-fax\r\na=ecan:fb on -\r\n"), std::string::npos) << text;
    SIP_SDP back;
    ASSERT_EQ(Sdp_Read(text, back), 1);
    EXPECT_EQ(back.a_addr.port, 10010);
    EXPECT_EQ(back.a_media, RECVONLY);
    EXPECT_EQ(back.a_coders[0], G711_U);
    EXPECT_EQ(back.a_coders[1], G729);
    EXPECT_EQ(back.a_coders[2], 101);
    EXPECT_NE(std::string(back.a_content).find("a=X-fax\r\n"), std::string::npos);

    // a description that does not fit is not written at all
    char small[64];
    Composer tight(small, sizeof small);
    EXPECT_EQ(Sdp_Write(s, 1, tight), -1);
    EXPECT_FALSE(tight.ok());
    EXPECT_STREQ(small, "");
    SIP_SDP none{};
    Composer any(buf, sizeof buf);
    EXPECT_EQ(Sdp_Write(none, 1, any), -2);
}

TEST(RawText, HeaderValuesAreFoundInTheHeaderSectionOnly)
{
    const std::string msg = "INFO sip:a@b SIP/2.0\r\nVia: x\r\ncall-info :  ptttype=taken;reqid=1 \r\nCSeq: 1 INFO\r\n\r\nCall-Info: body\r\n";
    EXPECT_EQ(Sip_Raw_Header(msg, "Call-Info"), "ptttype=taken;reqid=1");
    EXPECT_EQ(Sip_Raw_Header(msg, "Alert-Info"), "");
    EXPECT_EQ(Sip_Raw_Body(msg), "Call-Info: body\r\n");
    EXPECT_EQ(Sip_Raw_Header("no lines at all", "Via"), "");
}

TEST(BaseLibrary, CopiesCountTheTextsEnd)
{
    struct Case { const char* src; int n; const char* want; };
    const Case cases[] = {
        {"QVD_R1.0.4", 11, "QVD_R1.0.4"},
        {"QVD_R1.0.4", 5, "QVD_"},
        {"", 11, ""},
        {"abc", 1, ""},
    };
    for (const auto& c : cases) {
        char dst[32];
        std::memset(dst, 'x', sizeof dst);
        Str_N_Copy(dst, c.src, c.n);
        EXPECT_STREQ(dst, c.want) << c.src << " " << c.n;
    }
    char a[8] = "abc";
    EXPECT_EQ(Mem_Memcmp(a, "abc", 3), 0);
    EXPECT_NE(Mem_Memcmp(a, "abd", 3), 0);
    EXPECT_EQ(EncodeInit(), 0);
    EXPECT_EQ(MT_Log_Init(10, 32, "/dev/null", 0), 0);
    EXPECT_EQ(MT_Log_SetLevel(0), 0);
    EXPECT_GT(std::strlen(LibBase_GetLibVersion()), 0u);
}

TEST(BaseLibrary, UdpReceiveReturnsAtOnceAndNamesTheSender)
{
    int a = Udp_Socket_Create(0);
    ASSERT_GE(a, 0);
    char buf[512];
    char ip[24] = "unset";
    int port = -1;
    EXPECT_LE(Udp_Socket_recv_By_Addr(a, buf, 512, ip, &port), 0) << "nothing waits: no wait either";
    sockaddr_in me{};
    socklen_t len = sizeof me;
    getsockname(a, reinterpret_cast<sockaddr*>(&me), &len);
    int b = Udp_Socket_Create(0);
    ASSERT_GE(b, 0);
    EXPECT_EQ(Udp_Socket_Send(b, "rtp!", 4, "127.0.0.1", ntohs(me.sin_port)), 4);
    int got = 0;
    for (int i = 0; i < 1000 && got <= 0; ++i) {
        got = Udp_Socket_recv_By_Addr(a, buf, 512, ip, &port);
        if (got <= 0) usleep(1000);
    }
    EXPECT_EQ(got, 4);
    EXPECT_STREQ(ip, "127.0.0.1");
    sockaddr_in other{};
    len = sizeof other;
    getsockname(b, reinterpret_cast<sockaddr*>(&other), &len);
    EXPECT_EQ(port, ntohs(other.sin_port));
    EXPECT_EQ(Udp_Socket_Send(b, "x", 1, "not an address", 5000), -1);
    Udp_Socket_Close(a);
    Udp_Socket_Close(b);
}

TEST(BaseLibrary, XmlBuilderEscapesAndRefusesWhatDoesNotFit)
{
    XML_HANDLE_T* h = Xml_Allocate("request", 42, "user_state");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Xml_Add_Str(h, "state", 0, "st_<idle>&"), 0);
    char buf[1024];
    int len = sizeof buf;
    ASSERT_EQ(Xml_Encode(h, buf, &len), 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<request id=\"42\"><user_state><state>st_&lt;idle&gt;&amp;</state></user_state></request>\r\n");
    int small = 40;
    EXPECT_EQ(Xml_Encode(h, buf, &small), -1);
    EXPECT_EQ(Xml_Free(h), 0);
    EXPECT_EQ(Xml_Free(h), -1);
}

}  // namespace
