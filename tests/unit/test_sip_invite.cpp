// The INVITE builders and the session description, byte for byte as the party receives them,
// and the rule that picks the media address and port a description offers.
#include <array>
#include <functional>
#include <regex>
#include <string>

#include "call_fixture.h"
#include "composer.h"
#include "sip_invite.h"

using namespace calltest;

namespace {

constexpr int kCallerLeg = 0, kCalledLeg = 1;
constexpr int kCallerChn = 6, kCalledChn = 8;
constexpr int kCallerReg = 10, kCalledReg = 11;

const std::string kStamp = "{{\\d{14}}}";
const std::string kNumber = "{{\\d+}}";

class SipInvite : public SwitchTest {
public:
    Peer peer;
    std::string port;   // the peer's port as text

    void SetUp() override
    {
        clear_tables();
        reset_switch_settings();
        copy_text(sip_server_local_host, "10.0.0.1");
        copy_text(sip_server_inter_host, "192.168.1.1");
        copy_text(sip_server_local_port, "5060");
        port = std::to_string(peer.port);

        // 801 called 802: the caller's leg a received INVITE opened, the called user's leg the
        // switch placed, on two linked call channels.
        SipLeg& in = leg(kCallerLeg, 0, kCallerReg, kCallerChn, "10.0.0.8", 5000, CODEC_SET_PCMA);
        in.st = sip_calling_wait_ring;
        copy_text(in.callid, "c1");
        copy_text(in.via_line, "Via: SIP/2.0/UDP 10.0.0.7:5062;branch=z9hG4bKa");
        copy_text(in.from_line, "From: <sip:801@10.0.0.1>;tag=a1");
        copy_text(in.to_line, "To: <sip:802@10.0.0.1>;tag=77");
        copy_text(in.callid_line, "Call-ID: c1");
        copy_text(in.cseq_line, "CSeq: 1 INVITE");
        leg(kCalledLeg, 1, kCalledReg, kCalledChn, "10.0.0.7", 4000, CODEC_SET_BOTH).st = sip_called_wait_ring;

        call_chns[kCallerChn].use = 1;
        call_chns[kCallerChn].party_chn = kCallerLeg;
        call_chns[kCalledChn].use = 1;
        call_chns[kCalledChn].party_chn = kCalledLeg;
        CallCtrl_Link_Chn(kCallerChn, kCalledChn);

        registration(kCallerReg, "801", "10.0.0.7", 0);
        registration(kCalledReg, "802", "10.0.0.8", 0);
        peer.take();
    }

    // A leg of the call between 801 and 802, signalled at the peer, offering ip:port.
    SipLeg& leg(int index, int dir, int regno, int chn, const char* ip, int port, int codec)
    {
        SipLeg& l = sip_chn[index];
        l.use = 1;
        l.dir = dir;
        l.regno = regno;
        l.ctrl_chn = chn;
        copy_text(l.calling, "801");
        copy_text(l.called, "802");
        copy_text(l.sig_ip, "127.0.0.1");
        l.sig_port = peer.port;
        copy_text(l.offer_ip, ip);
        l.offer_port = port;
        l.offer_codec = codec;
        return l;
    }

    static void registration(int regno, const char* tel, const char* ip, int inet)
    {
        SipReg& r = sipreg[regno];
        r.use = 1;
        copy_text(r.tel, tel);
        copy_text(r.ip, ip);
        r.port = 5062;
        r.inet = inet;
    }

    std::string one()
    {
        auto got = peer.take();
        return got.size() == 1 ? got[0] : std::string("(") + std::to_string(got.size()) + " datagrams)";
    }
};

// The description of the called user's leg as offered in private-network mode.
std::string sdp(const std::string& ip, int port, const std::string& codec_tail, const std::string& extra = "")
{
    return "v=0\r\no=KelvanorVtn3000 1073741824 1073741824 IN IP4 " + ip + "\r\ns=1\r\nc=IN IP4 " + ip +
           "\r\nt=0 0\r\nm=audio " + std::to_string(port) + codec_tail + extra + "\r\n";
}

std::string with_length(const std::string& body)
{
    return "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string kBoth = " RTP/AVP 8 0\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:0 PCMU/8000";
const std::string kPcma = " RTP/AVP 8\r\na=rtpmap:8 PCMA/8000";

// The media a description offers: the c= address and the audio port.
std::string offered(const std::string& text)
{
    std::smatch o, c, m;
    if (!std::regex_search(text, o, std::regex("o=KelvanorVtn3000 \\d+ 1073741824 IN IP4 ([0-9.]*)\r\n")) ||
        !std::regex_search(text, c, std::regex("c=IN IP4 ([0-9.]*)\r\n")) ||
        !std::regex_search(text, m, std::regex("m=audio (\\d+)")))
        return "no description";
    if (o[1] != c[1]) return "o= and c= differ";
    return c[1].str() + ":" + m[1].str();
}

}  // namespace

TEST_F(SipInvite, CodecTail)
{
    struct Case { int codec; const char* tail; };
    const Case cases[] = {
        {0, " RTP/AVP 8\r\na=rtpmap:8 PCMA/8000"},   // no codec known: PCMA
        {1, " RTP/AVP 8\r\na=rtpmap:8 PCMA/8000"},
        {2, " RTP/AVP 0\r\na=rtpmap:0 PCMU/8000"},
        {3, " RTP/AVP 8 0\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:0 PCMU/8000"},
        {5, ""},
        {-1, ""},
    };
    for (const Case& c : cases) {
        std::array<char, 100> buf;
        Composer m(buf);
        EXPECT_EQ(Sip_Sdp_Codec_Line(c.codec, m), 1);
        EXPECT_EQ(std::string(m.view()), c.tail) << c.codec;
    }
}

TEST_F(SipInvite, InviteToTheCalledUser)
{
    const std::string head =
        "INVITE sip:802@10.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\n"
        "Via: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK" + kNumber + kStamp + "\r\n";
    struct Case {
        const char* what;
        std::function<void(SipLeg&)> setup;
        std::string from_contact;   // From, To, Call-ID, User-Agent, CSeq and Contact
        std::string content;
    };
    const std::string lines = "From: 801 <sip:801@10.0.0.1:5060>;tag=" + kNumber + "\r\nTo: 802 <sip:802@10.0.0.1:" +
                              port + ">\r\nCall-ID: " + kStamp + kNumber +
                              "\r\nUser-Agent: kelvanor brennoval\r\nCSeq: 1 INVITE\r\n"
                              "Contact: 801 <sip:801@10.0.0.1:5060>\r\n";
    const Case cases[] = {
        {"both codecs", [](SipLeg&) {}, lines, with_length(sdp("10.0.0.7", 4000, kBoth))},
        {"codec set 0 offers PCMA", [](SipLeg& l) { l.offer_codec = 0; }, lines,
         with_length(sdp("10.0.0.7", 4000, kPcma))},
        {"an unknown codec set leaves the audio line bare", [](SipLeg& l) { l.offer_codec = 5; }, lines,
         with_length(sdp("10.0.0.7", 4000, ""))},
        {"the party's video line goes along",
         [](SipLeg& l) { copy_text(l.video_line, "video 6000 RTP/AVP 34"); }, lines,
         with_length(sdp("10.0.0.7", 4000, kBoth, "\r\nm=video 6000 RTP/AVP 34"))},
        {"no address to offer: no description", [](SipLeg& l) { l.offer_ip.clear(); }, lines,
         "Content-Length: 0\r\n\r\n"},
        {"no port to offer: no description", [](SipLeg& l) { l.offer_port = 0; }, lines, "Content-Length: 0\r\n\r\n"},
        {"an empty calling number shows as 0000", [](SipLeg& l) { l.calling.clear(); },
         "From: 0000 <sip:0000@10.0.0.1:5060>;tag=" + kNumber + "\r\nTo: 802 <sip:802@10.0.0.1:" + port +
             ">\r\nCall-ID: " + kStamp + kNumber +
             "\r\nUser-Agent: kelvanor brennoval\r\nCSeq: 1 INVITE\r\nContact:  <sip:0000@10.0.0.1:5060>\r\n",
         with_length(sdp("10.0.0.7", 4000, kBoth))},
    };
    for (const Case& c : cases) {
        SetUp();
        SipLeg& l = sip_chn[kCalledLeg];
        c.setup(l);
        EXPECT_EQ(Send_Invite(kCalledLeg), 1) << c.what;
        const std::string got = one();
        EXPECT_TRUE(matches(got, head + c.from_contact + c.content)) << c.what << "\n" << got;
        // The lines it sent are the dialog's from now on.
        EXPECT_NE(got.find(std::string(l.via_line.s) + "\r\n"), std::string::npos) << c.what;
        EXPECT_NE(got.find(std::string(l.from_line.s) + "\r\n"), std::string::npos) << c.what;
        EXPECT_EQ(std::string(l.to_line.s), "To: 802 <sip:802@10.0.0.1:" + port + ">") << c.what;
        EXPECT_EQ(std::string(l.callid_line.s), "Call-ID: " + std::string(l.callid.s)) << c.what;
        EXPECT_EQ(std::string(l.cseq_line.s), "CSeq: 1 INVITE") << c.what;
        EXPECT_EQ(std::string(l.ua_line.s), "User-Agent: kelvanor brennoval") << c.what;
        // Armed for retransmission with exactly what went out.
        EXPECT_EQ(l.timertype, SIP_INVITE) << c.what;
        EXPECT_EQ(l.timertries, 3) << c.what;
        EXPECT_EQ(l.timercount, 2) << c.what;
        EXPECT_EQ(std::string(l.timertext.s), got) << c.what;
    }
}

TEST_F(SipInvite, WithoutBothCallChannelsNothingIsBuilt)
{
    struct Case { const char* what; std::function<int()> build; };
    const Case cases[] = {
        {"INVITE", [] { return Send_Invite(kCalledLeg); }},
        {"re-INVITE", [] { return Send_Re_Invite(kCalledLeg); }},
        {"183", [] { return Send_Session_Progress(kCalledLeg); }},
        {"200", [] { return Send_Ok_Sdp(kCalledLeg); }},
    };
    for (const Case& c : cases) {
        for (int broken : {0, 1}) {
            SetUp();
            if (broken == 0) sip_chn[kCalledLeg].ctrl_chn = -1;
            else CallCtrl_Unlink_Chn(kCalledChn);
            EXPECT_EQ(c.build(), -1) << c.what << " " << broken;
            EXPECT_EQ(sip_chn[kCalledLeg].timertype, 0) << c.what;
            EXPECT_TRUE(peer.take().empty()) << c.what;
        }
    }
}

TEST_F(SipInvite, NoTwoInvitesShareACallId)
{
    // Both INVITE builders draw 64 random bits and one counter, so no two INVITEs share a Call-ID
    // and nobody can tell the next one from the last.
    std::array<char, kSipMsgMax> buffer;
    ASSERT_EQ(Send_Invite(kCalledLeg), 1);
    const std::string first = sip_chn[kCalledLeg].callid.s;
    ASSERT_EQ(Send_Service_Invite(kCalledLeg, buffer, SERVICE_ZHUANJIE), 1);
    const std::string second = sip_chn[kCalledLeg].callid.s;
    ASSERT_EQ(Send_Invite(kCalledLeg), 1);
    const std::string third = sip_chn[kCalledLeg].callid.s;
    EXPECT_NE(first, second);
    EXPECT_NE(second, third);
    EXPECT_NE(first, third);
    std::smatch a, b;
    ASSERT_TRUE(std::regex_match(first, a, std::regex("(\\d{20})(\\d+)")));
    ASSERT_TRUE(std::regex_match(second, b, std::regex("(\\d{20})(\\d+)")));
    EXPECT_EQ(std::stoll(b[2]), std::stoll(a[2]) + 1);
    EXPECT_NE(a[1], b[1]) << "the random part is drawn anew";
}

TEST_F(SipInvite, ReInviteTellsAPartyItsNewMedia)
{
    struct Case {
        const char* what;
        int leg;
        std::function<void(SipLeg&)> setup;
        std::string want;
    };
    const Case cases[] = {
        // Toward the caller the switch stands for 802: From and To change places.
        {"to the caller", kCallerLeg, [](SipLeg&) {},
         "INVITE sip:801@10.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\nVia: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK" + kNumber + kStamp +
             "\r\nFrom: <sip:802@10.0.0.1>;tag=77\r\nTo: <sip:801@10.0.0.1>;tag=a1\r\nCall-ID: c1\r\n"
             "CSeq: 1 INVITE\r\nContact: 802 <sip:802@10.0.0.1:5060>\r\n" +
             with_length("v=0\r\no=KelvanorVtn3000 141825 1073741824 IN IP4 10.0.0.8\r\ns=1\r\nc=IN IP4 10.0.0.8\r\n"
                         "t=0 0\r\nm=audio 5000" + kPcma + "\r\n")},
        {"to the called user, lines as stored, no video", kCalledLeg,
         [](SipLeg& l) {
             l.cseq = 1;
             copy_text(l.via_line, "Via: old");
             copy_text(l.from_line, "From: 801 <sip:801@10.0.0.1:5060>;tag=9");
             copy_text(l.to_line, "To: 802 <sip:802@10.0.0.1:5062>;tag=b1");
             copy_text(l.callid_line, "Call-ID: out1");
             copy_text(l.contact_line, "Contact: 801 <sip:801@10.0.0.1:5060>");
             copy_text(l.video_line, "video 6000 RTP/AVP 34");
         },
         "INVITE sip:802@10.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\nVia: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK" + kNumber + kStamp +
             "\r\nFrom: 801 <sip:801@10.0.0.1:5060>;tag=9\r\nTo: 802 <sip:802@10.0.0.1:5062>;tag=b1\r\n"
             "Call-ID: out1\r\nCSeq: 2 INVITE\r\nContact: 801 <sip:801@10.0.0.1:5060>\r\n" +
             with_length("v=0\r\no=KelvanorVtn3000 141826 1073741824 IN IP4 10.0.0.7\r\ns=1\r\nc=IN IP4 10.0.0.7\r\n"
                         "t=0 0\r\nm=audio 4000" + kBoth + "\r\n")},
        // Unlike the INVITE, the re-INVITE always describes, even an empty address.
        {"nothing to offer", kCallerLeg, [](SipLeg& l) { l.offer_ip.clear(); },
         "INVITE sip:801@10.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\nVia: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK" + kNumber + kStamp +
             "\r\nFrom: <sip:802@10.0.0.1>;tag=77\r\nTo: <sip:801@10.0.0.1>;tag=a1\r\nCall-ID: c1\r\n"
             "CSeq: 1 INVITE\r\nContact: 802 <sip:802@10.0.0.1:5060>\r\n" +
             with_length("v=0\r\no=KelvanorVtn3000 141825 1073741824 IN IP4 \r\ns=1\r\nc=IN IP4 \r\n"
                         "t=0 0\r\nm=audio 5000" + kPcma + "\r\n")},
    };
    for (const Case& c : cases) {
        SetUp();
        SipLeg& l = sip_chn[c.leg];
        c.setup(l);
        EXPECT_EQ(Send_Re_Invite(c.leg), 1) << c.what;
        const std::string got = one();
        EXPECT_TRUE(matches(got, c.want)) << c.what << "\n" << got;
        EXPECT_EQ(l.timertype, 0) << "a re-INVITE is not repeated: " << c.what;
        EXPECT_NE(got.find(std::string(l.via_line.s) + "\r\n"), std::string::npos) << c.what;
        EXPECT_NE(got.find(std::string(l.cseq_line.s) + "\r\n"), std::string::npos) << c.what;
    }
}

TEST_F(SipInvite, ServiceInvitesAreBuiltForOneDatagram)
{
    struct Case { int kind; const char* line; };
    const Case cases[] = {
        {0, "Kelvanor-Info:Softswitch-Qiangcha"}, {1, "Kelvanor-Info:Softswitch-Zhuanjie"},
        {2, "Kelvanor-Info:Softswitch-Meeting"},  {3, "Kelvanor-Info:Softswitch-Transfer"},
        {4, "Kelvanor-Info:Softswitch-Freetransfer"}, {5, "Kelvanor-Info:Softswitch-Redirect"},
        {6, "Kelvanor-Info:Softswitch-Listen"},  {9, "Kelvanor-Info:Unknown"},
    };
    // No final CRLF: the caller puts "\r\n.\r\n" between the INVITEs of one datagram.
    const std::string body = "v=0\r\no=KelvanorVtn3000 1073741824 1073741824 IN IP4 10.0.0.7\r\ns=1\r\n"
                             "c=IN IP4 10.0.0.7\r\nt=0 0\r\nm=audio 4000" + kBoth;
    for (const Case& c : cases) {
        SetUp();
        soft_inet_enable = 1;   // toward the programs the media always goes direct
        std::array<char, kSipMsgMax> buffer;
        ASSERT_EQ(Send_Service_Invite(kCalledLeg, buffer, c.kind), 1);
        const std::string got = buffer.data();
        const std::string want =
            "INVITE sip:802@10.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\nVia: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK" + kNumber +
            kStamp + "\r\nFrom: 801 <sip:801@10.0.0.1:5060>;tag=" + kNumber +
            "\r\nTo: 802 <sip:802@10.0.0.1:5060>\r\nCall-ID: " + kStamp + kNumber +
            "\r\nCSeq: 1 INVITE\r\nContact: 801 <sip:801@10.0.0.1:5060>\r\n" + c.line +
            "\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        EXPECT_TRUE(matches(got, want)) << c.kind << "\n" << got;
        EXPECT_TRUE(peer.take().empty()) << "built, not sent";
    }
    // Without the other party's channel: an empty buffer, though the leg's lines are new.
    SetUp();
    CallCtrl_Unlink_Chn(kCalledChn);
    std::array<char, kSipMsgMax> buffer;
    buffer.fill('x');
    EXPECT_EQ(Send_Service_Invite(kCalledLeg, buffer, 1), -1);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(std::string(sip_chn[kCalledLeg].cseq_line.s), "CSeq: 1 INVITE");
}

TEST_F(SipInvite, SessionProgressToTheCaller)
{
    const std::string lines = "SIP/2.0 183 Session Progress\r\nVia: SIP/2.0/UDP 10.0.0.7:5062;branch=z9hG4bKa\r\n"
                              "From: <sip:801@10.0.0.1>;tag=a1\r\nTo: <sip:802@10.0.0.1>;tag=77\r\nCall-ID: c1\r\n"
                              "CSeq: 1 INVITE\r\n";
    copy_text(sip_chn[kCallerLeg].video_line, "video 7000 RTP/AVP 34");
    EXPECT_EQ(Send_Session_Progress(kCallerLeg), 1);
    EXPECT_EQ(one(), lines + with_length(sdp("10.0.0.8", 5000, kPcma, "\r\nm=video 7000 RTP/AVP 34")));
    EXPECT_EQ(sip_chn[kCallerLeg].timertype, 0);

    sip_chn[kCallerLeg].offer_port = 0;
    EXPECT_EQ(Send_Session_Progress(kCallerLeg), 1);
    EXPECT_EQ(one(), lines + "Content-Length: 0\r\n\r\n");

    sip_chn[kCallerLeg].sig_port = 0;
    EXPECT_EQ(Send_Session_Progress(kCallerLeg), -1);
    EXPECT_TRUE(peer.take().empty());
}

TEST_F(SipInvite, OkWithSdp)
{
    struct Case { const char* what; int leg; std::string want; };
    const Case cases[] = {
        {"to the caller's INVITE: lines as stored", kCallerLeg,
         "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 10.0.0.7:5062;branch=z9hG4bKa\r\nFrom: <sip:801@10.0.0.1>;tag=a1\r\n"
         "To: <sip:802@10.0.0.1>;tag=77\r\nCall-ID: c1\r\nCSeq: 1 INVITE\r\nContact: <sip:802@10.0.0.1:5060>\r\n" +
             with_length(sdp("10.0.0.8", 5000, kPcma))},
        // The called user's re-INVITE came from its side: its own line, the stored To, is From.
        {"to the called user's re-INVITE: the lines relabelled", kCalledLeg,
         "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 10.0.0.8:5062;branch=z9hG4bKre\r\n"
         "From: 802 <sip:802@10.0.0.1:5062>;tag=b1\r\nTo: 801 <sip:801@10.0.0.1:5060>;tag=9\r\n"
         "Call-ID: out1\r\nCSeq: 7 INVITE\r\nContact: <sip:802@10.0.0.1:5060>\r\n" +
             with_length(sdp("10.0.0.7", 4000, kBoth))},
    };
    for (const Case& c : cases) {
        SetUp();
        SipLeg& out = sip_chn[kCalledLeg];
        copy_text(out.via_line, "Via: SIP/2.0/UDP 10.0.0.8:5062;branch=z9hG4bKre");
        copy_text(out.from_line, "From: 801 <sip:801@10.0.0.1:5060>;tag=9");
        copy_text(out.to_line, "To: 802 <sip:802@10.0.0.1:5062>;tag=b1");
        copy_text(out.callid_line, "Call-ID: out1");
        copy_text(out.cseq_line, "CSeq: 7 INVITE");
        EXPECT_EQ(Send_Ok_Sdp(c.leg), 1) << c.what;
        const std::string got = one();
        EXPECT_EQ(got, c.want) << c.what;
        EXPECT_EQ(sip_chn[c.leg].timertype, SIP_RES_200) << c.what;
        EXPECT_EQ(std::string(sip_chn[c.leg].timertext.s), got) << c.what;
    }
    // Without a signalling address nothing goes out now, but the slot tries it later.
    SetUp();
    sip_chn[kCallerLeg].sig_ip.clear();
    EXPECT_EQ(Send_Ok_Sdp(kCallerLeg), -1);
    EXPECT_TRUE(peer.take().empty());
    EXPECT_EQ(sip_chn[kCallerLeg].timertype, SIP_RES_200);
    EXPECT_EQ(sip_chn[kCallerLeg].timertries, 3);
}

TEST_F(SipInvite, InfoPassesDigitsOn)
{
    struct Case { const char* what; int leg; const char* digits; std::string want; std::string contact; };
    const std::string via = "Via: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK" + kNumber + kStamp + "\r\n";
    const Case cases[] = {
        {"to the caller", kCallerLeg, "5",
         "INFO sip:801@10.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\n" + via +
             "From: <sip:802@10.0.0.1>;tag=77\r\nTo: <sip:801@10.0.0.1>;tag=a1\r\nCall-ID: c1\r\nCSeq: 1 INFO\r\n"
             "Contact: 802 <sip:802@10.0.0.1:5060>\r\nContent-Type: application/dtmf-relay\r\nContent-Length: 10\r\n\r\n"
             "Signal=5\r\n",
         "Contact: 802 <sip:802@10.0.0.1:5060>"},
        {"to the called user, no digits: no body", kCalledLeg, "",
         "INFO sip:802@10.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\n" + via +
             "From: 801 <sip:801@10.0.0.1:5060>;tag=9\r\nTo: 802 <sip:802@10.0.0.1:5062>;tag=b1\r\n"
             "Call-ID: out1\r\nCSeq: 4 INFO\r\nContact: 801 <sip:801@10.0.0.1:5060>\r\nContent-Length: 0\r\n\r\n",
         "Contact: 801 <sip:801@10.0.0.1:5060>"},
        {"several digits", kCallerLeg, "*100",
         "INFO sip:801@10.0.0.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\n" + via +
             "From: <sip:802@10.0.0.1>;tag=77\r\nTo: <sip:801@10.0.0.1>;tag=a1\r\nCall-ID: c1\r\nCSeq: 1 INFO\r\n"
             "Contact: 802 <sip:802@10.0.0.1:5060>\r\nContent-Type: application/dtmf-relay\r\nContent-Length: 13\r\n\r\n"
             "Signal=*100\r\n",
         "Contact: 802 <sip:802@10.0.0.1:5060>"},
    };
    for (const Case& c : cases) {
        SetUp();
        // Digits are relayed inside an answered call.
        sip_chn[kCallerLeg].st = sip_talk;
        SipLeg& out = sip_chn[kCalledLeg];
        out.st = sip_talk;
        out.cseq = 3;
        copy_text(out.callid, "out1");
        copy_text(out.from_line, "From: 801 <sip:801@10.0.0.1:5060>;tag=9");
        copy_text(out.to_line, "To: 802 <sip:802@10.0.0.1:5062>;tag=b1");
        EXPECT_EQ(Send_Info(c.leg, c.digits), 1) << c.what;
        const std::string got = one();
        EXPECT_TRUE(matches(got, c.want)) << c.what << "\n" << got;
        EXPECT_EQ(std::string(sip_chn[c.leg].contact_line.s), c.contact) << c.what;
        EXPECT_EQ(sip_chn[c.leg].timertype, 0) << c.what;
    }
    SetUp();
    EXPECT_EQ(Send_Info(-1, "1"), -1);
    EXPECT_EQ(Send_Info(500, "1"), -1);
    EXPECT_EQ(Send_Info(7, "1"), -2);   // a free leg
    // Legs whose INVITE is unanswered keep the lines of that INVITE: no INFO goes out.
    const SipLeg before = sip_chn[kCalledLeg];
    EXPECT_EQ(Send_Info(kCallerLeg, "1"), -3);
    EXPECT_EQ(Send_Info(kCalledLeg, "1"), -3);
    EXPECT_EQ(sip_chn[kCalledLeg].cseq, before.cseq);
    EXPECT_EQ(sip_chn[kCalledLeg].via_line.view(), before.via_line.view());
    EXPECT_TRUE(peer.take().empty());
}

TEST_F(SipInvite, MediaAddressInPublicNetworkMode)
{
    // The leg under test is the called user's (registration L) for the INVITE and re-INVITE, and
    // the caller's for the 183 and 200; P is the other party's registration. Inner addresses
    // share 192.168 with the switch's inner address.
    const std::string relay = ":30008";   // soft_rtpswitch_rtp_port + the called channel 8
    const std::string relay_caller = ":30006";
    struct Case {
        const char* what;
        int l_inet, p_inet;
        const char* l_ip;
        const char* p_ip;
        const char* invite;   // host of what Send_Invite offers; "direct" for the far end itself
        const char* re_invite;
        const char* answer;   // Send_Session_Progress and Send_Ok_Sdp
    };
    const Case cases[] = {
        {"both public, both inner: direct", 1, 1, "192.168.3.4", "192.168.7.8", "direct", "direct", "direct"},
        {"both public, L inner", 1, 1, "192.168.3.4", "10.9.9.9", "inner", "inner", "local"},
        {"both public, P inner", 1, 1, "10.9.9.9", "192.168.7.8", "local", "local", "inner"},
        {"both public, neither inner", 1, 1, "10.9.9.9", "10.8.8.8", "local", "local", "local"},
        {"L private, P public and inner", 0, 1, "192.168.3.4", "192.168.7.8", "local", "inner", "local"},
        {"L private, P public not inner", 0, 1, "192.168.3.4", "10.8.8.8", "local", "local", "local"},
        {"both private", 0, 0, "192.168.3.4", "192.168.7.8", "local", "local", "local"},
        {"L public and inner, P private", 1, 0, "192.168.3.4", "192.168.7.8", "inner", "inner", "inner"},
        {"L public not inner, P private", 1, 0, "10.9.9.9", "192.168.7.8", "local", "local", "inner"},
    };
    auto host = [](const char* which, const std::string& direct, const std::string& port) {
        if (std::string(which) == "direct") return direct;
        return std::string(std::string(which) == "inner" ? "192.168.1.1" : "10.0.0.1") + port;
    };
    for (const Case& c : cases) {
        // INVITE and re-INVITE toward the called user: L is 11, P is 10.
        SetUp();
        soft_inet_enable = 1;
        registration(kCalledReg, "802", c.l_ip, c.l_inet);
        registration(kCallerReg, "801", c.p_ip, c.p_inet);
        ASSERT_EQ(Send_Invite(kCalledLeg), 1);
        EXPECT_EQ(offered(one()), host(c.invite, "10.0.0.7:4000", relay)) << c.what << ": INVITE";
        ASSERT_EQ(Send_Re_Invite(kCalledLeg), 1);
        EXPECT_EQ(offered(one()), host(c.re_invite, "10.0.0.7:4000", relay)) << c.what << ": re-INVITE";
        // 183 and 200 toward the caller: L is 10, P is 11.
        SetUp();
        soft_inet_enable = 1;
        registration(kCallerReg, "801", c.l_ip, c.l_inet);
        registration(kCalledReg, "802", c.p_ip, c.p_inet);
        ASSERT_EQ(Send_Session_Progress(kCallerLeg), 1);
        EXPECT_EQ(offered(one()), host(c.answer, "10.0.0.8:5000", relay_caller)) << c.what << ": 183";
        ASSERT_EQ(Send_Ok_Sdp(kCallerLeg), 1);
        EXPECT_EQ(offered(one()), host(c.answer, "10.0.0.8:5000", relay_caller)) << c.what << ": 200";
    }
}

TEST_F(SipInvite, WhereTheRegistrationsDoNotSayTheyCountAsPrivate)
{
    struct Case { const char* what; std::function<void()> setup; };
    const Case cases[] = {
        // An MGCP endpoint's index is no leg index: it is never read as one.
        {"the other party is an MGCP endpoint",
         [] {
             call_chns[kCallerChn].type = CHN_TYPE_MGCP;
             sip_chn[kCallerLeg].regno = 499;
             registration(499, "801", "192.168.3.4", 1);
         }},
        {"the other leg has no registration", [] { sip_chn[kCallerLeg].regno = -1; }},
        {"the other leg's registration is out of range", [] { sip_chn[kCallerLeg].regno = 500; }},
    };
    for (const Case& c : cases) {
        SetUp();
        soft_inet_enable = 1;
        registration(kCalledReg, "802", "192.168.3.4", 1);
        registration(kCallerReg, "801", "192.168.7.8", 1);
        c.setup();
        // As for a private other party: the relay, on the inner address for an inner L.
        ASSERT_EQ(Send_Invite(kCalledLeg), 1);
        EXPECT_EQ(offered(one()), "192.168.1.1:30008") << c.what;
    }
    // The called user's own registration out of range: private, so the local address.
    SetUp();
    soft_inet_enable = 1;
    sip_chn[kCalledLeg].regno = 777;
    ASSERT_EQ(Send_Invite(kCalledLeg), 1);
    const std::string got = one();
    EXPECT_EQ(offered(got), "10.0.0.1:30008");
    EXPECT_EQ(got.substr(0, 36), "INVITE sip:802@10.0.0.1:5060 SIP/2.0");
}

TEST_F(SipInvite, ShownHostAndRelayPort)
{
    // A called user on the inner network is shown the inner address throughout the INVITE.
    soft_inet_enable = 1;
    registration(kCalledReg, "802", "192.168.3.4", 0);
    ASSERT_EQ(Send_Invite(kCalledLeg), 1);
    const std::string got = one();
    EXPECT_TRUE(matches(got, "INVITE sip:802@192.168.1.1:5060 SIP/2.0\r\nMax-Forwards: 70\r\nVia: SIP/2.0/UDP 192.168.1.1:5060;{{[\\s\\S]*}}"
                             "To: 802 <sip:802@192.168.1.1:" + port + ">\r\n{{[\\s\\S]*}}"
                             "Contact: 801 <sip:801@192.168.1.1:5060>\r\n{{[\\s\\S]*}}"))
        << got;
    EXPECT_NE(got.find("From: 801 <sip:801@10.0.0.1:5060>;tag="), std::string::npos) << "From always local";

    // A port range spreads the channels over pairs of ports: 30000 + 2 * (8 mod 3).
    soft_rtpswitch_port_range = 3;
    ASSERT_EQ(Send_Invite(kCalledLeg), 1);
    EXPECT_EQ(offered(one()), "10.0.0.1:30004");
    // In private-network mode the far end's own media, whatever the flags say.
    soft_inet_enable = 0;
    ASSERT_EQ(Send_Invite(kCalledLeg), 1);
    EXPECT_EQ(offered(one()), "10.0.0.7:4000");
}
