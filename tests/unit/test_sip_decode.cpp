// The SIP decoder's field table and the field parsers the handlers use on stored lines.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

#include "settings.h"
#include "sip_decode.h"

using namespace std::literals;

namespace {

// Every field of a decoded message as text, by its name.
std::map<std::string, std::string> fields_of(const SIP_MSG_T& m)
{
    return {
        {"msg_type", std::to_string(m.msg_type)},
        {"status_code", std::to_string(m.status_code)},
        {"request_uri", m.request_uri.s},
        {"reason", m.reason.s},
        {"version", m.version.s},
        {"has_sdp", std::to_string(m.has_sdp)},
        {"has_dtmf", std::to_string(m.has_dtmf)},
        {"has_text", std::to_string(m.has_text)},
        {"sdp_codec", std::to_string(m.sdp_codec)},
        {"sdp_port", std::to_string(m.sdp_port)},
        {"sdp_dir", std::to_string(m.sdp_dir)},
        {"inet", std::to_string(m.inet)},
        {"sdp_ip", m.sdp_ip.s},
        {"reply_ip", m.reply_ip.s},
        {"reply_port", std::to_string(m.reply_port)},
        {"dtmf_signal", m.dtmf_signal.s},
        {"callid_line", m.callid_line.s},
        {"via_line", m.via_line.s},
        {"from_line", m.from_line.s},
        {"to_line", m.to_line.s},
        {"cseq_line", m.cseq_line.s},
        {"contact_line", m.contact_line.s},
        {"content_length_line", m.content_length_line.s},
        {"content_type_line", m.content_type_line.s},
        {"expires_line", m.expires_line.s},
        {"event_line", m.event_line.s},
        {"priority_line", m.priority_line.s},
        {"user_agent_line", m.user_agent_line.s},
        {"kelvanor_info_line", m.kelvanor_info_line.s},
        {"kelvanor_callid_line", m.kelvanor_callid_line.s},
        {"refer_to_line", m.refer_to_line.s},
        {"referred_by_line", m.referred_by_line.s},
        {"sdp_body", m.sdp_body.s},
        {"dtmf_body", m.dtmf_body.s},
        {"text_body", m.text_body.s},
        {"auth_line", m.auth_line.s},
        {"proxy_auth_line", m.proxy_auth_line.s},
        {"video_line", m.video_line.s},
    };
}

const std::string kSipsakOptions =
    "OPTIONS sip:x@127.0.0.1:5038 SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 127.0.0.1:35394;branch=z9hG4bK.47a2f6be;rport;alias\r\n"
    "From: sip:sipsak@127.0.0.1:35394;tag=59650a15\r\n"
    "To: sip:x@127.0.0.1:5038\r\n"
    "Call-ID: 1499793941@127.0.0.1\r\n"
    "CSeq: 1 OPTIONS\r\n"
    "Contact: sip:sipsak@127.0.0.1:35394\r\n"
    "Content-Length: 0\r\n"
    "Max-Forwards: 70\r\n"
    "User-Agent: sipsak 0.9.8.1\r\n"
    "Accept: text/plain\r\n"
    "\r\n";

std::string with_body(std::string_view type, std::string_view body)
{
    return "INVITE sip:801@10.0.0.1 SIP/2.0\r\nCall-ID: c1\r\nContent-Type: " + std::string(type) +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

const std::string k199(199, 'v');

struct Case {
    const char* what;
    std::string datagram;
    std::vector<std::pair<std::string, std::string>> want;   // field, value
    int inet_mode = 0;                                       // soft_inet_enable
};

const std::vector<Case>& decoder_cases()
{
    static const std::vector<Case> cases = {
        {"sipsak OPTIONS", kSipsakOptions,
         {{"msg_type", "8"}, {"status_code", "0"}, {"request_uri", "sip:x@127.0.0.1:5038"}, {"version", "SIP/2.0"},
          {"via_line", "Via: SIP/2.0/UDP 127.0.0.1:35394;branch=z9hG4bK.47a2f6be;rport;alias"},
          {"reply_ip", "127.0.0.1"}, {"reply_port", "35394"},
          {"from_line", "From: sip:sipsak@127.0.0.1:35394;tag=59650a15"}, {"to_line", "To: sip:x@127.0.0.1:5038"},
          {"callid_line", "Call-ID: 1499793941@127.0.0.1"}, {"cseq_line", "CSeq: 1 OPTIONS"},
          {"contact_line", "Contact: sip:sipsak@127.0.0.1:35394"}, {"content_length_line", "Content-Length: 0"},
          {"user_agent_line", "User-Agent: sipsak 0.9.8.1"}, {"text_body", ""}}},
        {"every request method",
         "SUBSCRIBE a b\r\n", {{"msg_type", "15"}}},
        {"methods are case-sensitive prefixes", "invite sip:a SIP/2.0\r\n\r\n",
         {{"msg_type", "0"}, {"request_uri", "sip:a"}}},
        {"a prefix is enough", "INFOX sip:a SIP/2.0\r\n\r\n", {{"msg_type", "11"}}},
        {"an unknown method still fills the request line", "FOO sip:x@h SIP/2.0 extra\r\n\r\n",
         {{"msg_type", "0"}, {"request_uri", "sip:x@h"}, {"version", "SIP/2.0"}}},
        {"runs of blanks split like one", "NOTIFY    sip:n   SIP/2.0\r\n", {{"msg_type", "16"}, {"request_uri", "sip:n"},
         {"version", "SIP/2.0"}}},
        {"a short request line leaves fields empty", "REFER\r\n", {{"msg_type", "17"}, {"request_uri", ""}}},
        {"183 is ringing, the reason keeps its first word", "SIP/2.0 183 Session Progress\r\n\r\n",
         {{"msg_type", "2"}, {"status_code", "183"}, {"reason", "Session"}, {"request_uri", ""}}},
        {"status lines are recognised in any case", "sip/2.0 100 Trying\r\n", {{"msg_type", "1"}}},
        {"200", "SIP/2.0 200 OK\r\n", {{"msg_type", "3"}}},
        {"486 is a final failure", "SIP/2.0 486 Busy Here\r\n", {{"msg_type", "4"}}},
        {"603 is a final failure", "SIP/2.0 603 Decline\r\n", {{"msg_type", "4"}}},
        {"181 is in no list", "SIP/2.0 181 Forwarded\r\n", {{"msg_type", "0"}, {"status_code", "181"}}},
        {"489 is in no list", "SIP/2.0 489 Bad Event\r\n", {{"msg_type", "0"}}},
        {"a status code that is no number", "SIP/2.0 2OO OK\r\n", {{"msg_type", "0"}, {"status_code", "0"}}},
        {"LF-only lines are one long start line",
         "INVITE sip:a@b SIP/2.0\nVia: SIP/2.0/UDP 1.2.3.4\nCall-ID: x\n\n",
         {{"msg_type", "5"}, {"request_uri", "sip:a@b"}, {"version", "SIP/2.0\nVia:"}, {"via_line", ""},
          {"callid_line", ""}}},
        {"two Via lines: the last gives the reply address whole",
         "BYE x y\r\nVia: SIP/2.0/UDP 192.168.100.200:5070\r\nVia: SIP/2.0/UDP 10.0.0.5:5062;branch=1\r\n\r\n",
         {{"reply_ip", "10.0.0.5"}, {"reply_port", "5062"}, {"via_line", "Via: SIP/2.0/UDP 10.0.0.5:5062;branch=1"}}},
        {"a Via without a port means 5060", "BYE x y\r\nVia: SIP/2.0/UDP 10.0.0.5;branch=1\r\n\r\n",
         {{"reply_ip", "10.0.0.5"}, {"reply_port", "5060"}}},
        {"a Via host name is kept as written", "BYE x y\r\nVia: SIP/2.0/UDP host.example:5070\r\n\r\n",
         {{"reply_ip", "host.example"}, {"reply_port", "5070"}}},
        {"an overlong Via port is no port", "BYE x y\r\nVia: SIP/2.0/UDP 10.0.0.5:99999999999\r\n\r\n",
         {{"reply_ip", "10.0.0.5"}, {"reply_port", "0"}}},
        {"a Via port above 65535 is no port", "BYE x y\r\nVia: SIP/2.0/UDP 10.0.0.5:70000\r\n\r\n",
         {{"reply_port", "0"}}},
        {"a Via port with a letter is no port", "BYE x y\r\nVia: SIP/2.0/UDP 10.0.0.5:50x\r\n\r\n",
         {{"reply_port", "0"}}},
        {"an undecodable Via still says 5060", "BYE x y\r\nVia: garbage\r\n\r\n",
         {{"reply_ip", ""}, {"reply_port", "5060"}, {"via_line", "Via: garbage"}}},
        {"a Via host is cut to 15 characters", "BYE x y\r\nVia: SIP/2.0/UDP 1234567890123456789:5\r\n\r\n",
         {{"reply_ip", "123456789012345"}, {"reply_port", "5"}}},
        {"public mode: the Via host is the source", "BYE x y\r\nVia: SIP/2.0/UDP 10.9.8.7:5062\r\n\r\n",
         {{"inet", "1"}, {"reply_ip", "10.9.8.7"}, {"reply_port", "40000"}}, 1},
        {"public mode: another Via host", "BYE x y\r\nVia: SIP/2.0/UDP 192.168.1.2:5062\r\n\r\n",
         {{"inet", "0"}, {"reply_ip", "10.9.8.7"}, {"reply_port", "40000"}}, 1},
        {"public mode: the last Via decides",
         "BYE x y\r\nVia: SIP/2.0/UDP 10.9.8.7\r\nVia: SIP/2.0/UDP 1.1.1.1\r\n\r\n", {{"inet", "0"}}, 1},
        {"Call-ID in any mix of capitals", "OPTIONS x y\r\ncAlL-iD: abc\r\n\r\n", {{"callid_line", "cAlL-iD: abc"}}},
        {"compact header forms are not known", "OPTIONS x y\r\ni: abc\r\nf: a\r\nv: SIP/2.0/UDP 1.2.3.4\r\n\r\n",
         {{"callid_line", ""}, {"from_line", ""}, {"via_line", ""}, {"reply_ip", ""}}},
        {"a name prefix is enough, no colon needed", "OPTIONS x y\r\nToken stuff\r\nEventual\r\n\r\n",
         {{"to_line", "Token stuff"}, {"event_line", "Eventual"}}},
        {"the last of repeated headers wins", "OPTIONS x y\r\nFrom: a\r\nFrom: b\r\n\r\n", {{"from_line", "From: b"}}},
        {"every other slot",
         "NOTIFY x y\r\nExpires: 60\r\nEvent: refer\r\nPriority: emergency\r\nUser-Agent: kelvanor brennoval\r\n"
         "Kelvanor-Info: setswitch\r\nKelvanor-Callid: a,b\r\nRefer-To: <sip:1@h>\r\nReferred-By: <sip:2@h>\r\n"
         "Authorization: Digest a\r\nProxy-Authorization: Digest b\r\n\r\n",
         {{"expires_line", "Expires: 60"}, {"event_line", "Event: refer"}, {"priority_line", "Priority: emergency"},
          {"user_agent_line", "User-Agent: kelvanor brennoval"}, {"kelvanor_info_line", "Kelvanor-Info: setswitch"},
          {"kelvanor_callid_line", "Kelvanor-Callid: a,b"}, {"refer_to_line", "Refer-To: <sip:1@h>"},
          {"referred_by_line", "Referred-By: <sip:2@h>"}, {"auth_line", "Authorization: Digest a"},
          {"proxy_auth_line", "Proxy-Authorization: Digest b"}}},
        {"challenges land in the authorization slots",
         "SIP/2.0 401 Unauthorized\r\nWWW-Authenticate: Digest w\r\nProxy-Authenticate: Digest p\r\n\r\n",
         {{"auth_line", "WWW-Authenticate: Digest w"}, {"proxy_auth_line", "Proxy-Authenticate: Digest p"}}},
        {"a header longer than its slot is cut to 199", "OPTIONS x y\r\nFrom: " + std::string(300, 'f') + "\r\n\r\n",
         {{"from_line", "From: " + std::string(193, 'f')}}},
        {"an Authorization line is cut to 799",
         "REGISTER x y\r\nAuthorization: " + std::string(900, 'a') + "\r\n\r\n",
         {{"auth_line", "Authorization: " + std::string(784, 'a')}}},
        {"a last line without CR is not decoded", "OPTIONS x y\r\nFrom: a\r\nCall-ID: c", {{"from_line", "From: a"},
         {"callid_line", ""}}},
        {"a lone CR swallows the next character", "OPTIONS x y\rXCall-ID: c\r\n\r\n", {{"callid_line", "Call-ID: c"}}},
        {"the text ends at its first NUL", "OPTIONS x y\r\nFrom: a\r\n\0Call-ID: c\r\n\r\n"s,
         {{"from_line", "From: a"}, {"callid_line", ""}}},
        {"no headers: no body either", "MESSAGE x y\r\n\r\nhello", {{"has_text", "0"}, {"text_body", ""}}},
        {"Content-Length 0 does not hide the body",
         "MESSAGE x y\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\nhello\r\n",
         {{"has_text", "1"}, {"text_body", "hello\r\n"}, {"content_length_line", "Content-Length: 0"}}},
        {"application/text is text", with_body("application/text", "hi"), {{"has_text", "1"}, {"text_body", "hi"}}},
        {"a body of another type is not kept", with_body("application/pidf+xml", "<x/>"),
         {{"has_text", "0"}, {"has_sdp", "0"}, {"text_body", ""}}},
        {"a body without Content-Type is not kept", "MESSAGE x y\r\nCall-ID: 1\r\n\r\nhello",
         {{"has_text", "0"}, {"text_body", ""}}},
        {"a body is cut to 799", with_body("text/plain", std::string(1000, 'b')),
         {{"text_body", std::string(799, 'b')}}},
        {"SDP: address, port and both codecs",
         with_body("application/sdp", "v=0\r\no=- 1 1 IN IP4 1.1.1.1\r\nc=IN IP4 10.1.1.1\r\nt=0 0\r\n"
                                      "m=audio 4000 RTP/AVP 0 8 101\r\na=rtpmap:0 PCMU/8000\r\n"),
         {{"has_sdp", "1"}, {"sdp_ip", "10.1.1.1"}, {"sdp_port", "4000"}, {"sdp_codec", "3"}}},
        {"SDP content type in any case", with_body("Application/SDP", "m=audio 5 RTP/AVP 8\r\n"),
         {{"has_sdp", "1"}, {"sdp_codec", "1"}}},
        {"SDP: PCMU only", with_body("application/sdp", "m=audio 6000 RTP/AVP 0\r\n"),
         {{"sdp_port", "6000"}, {"sdp_codec", "2"}}},
        {"SDP: a payload the switch does not carry",
         with_body("application/sdp", "m=audio 6000 RTP/AVP 18\r\n"), {{"sdp_port", "6000"}, {"sdp_codec", "0"}}},
        {"SDP: a payload word that is no number is no PCMU",
         with_body("application/sdp", "m=audio 6000 RTP/AVP 8 x 0x 1234567890\r\n"),
         {{"sdp_port", "6000"}, {"sdp_codec", "1"}}},
        {"SDP: payload 0 may be written with leading zeros", with_body("application/sdp", "m=audio 6000 RTP/AVP 00\r\n"),
         {{"sdp_codec", "2"}}},
        {"SDP: the last audio line and the last c= line win",
         with_body("application/sdp", "c=IN IP4 1.1.1.1\r\nm=audio 1000 RTP/AVP 0 8\r\nm=audio 2000 RTP/AVP 8\r\n"
                                      "c=IN IP4 2.2.2.2\r\n"),
         {{"sdp_ip", "2.2.2.2"}, {"sdp_port", "2000"}, {"sdp_codec", "1"}}},
        {"SDP: a hold's direction, the last attribute winning",
         with_body("application/sdp", "a=sendonly\r\nm=audio 1000 RTP/AVP 0\r\na=inactive\r\n"), {{"sdp_dir", "3"}}},
        {"SDP: recvonly; no attribute is sendrecv",
         with_body("application/sdp", "m=audio 1000 RTP/AVP 0\r\na=recvonly\r\n"), {{"sdp_dir", "2"}}},
        {"SDP: sendrecv given", with_body("application/sdp", "a=sendonly\r\na=sendrecv\r\n"), {{"sdp_dir", "0"}}},
        {"SDP: lines may begin with blanks", with_body("application/sdp", "  c=IN IP4 3.3.3.3\r\n  m= audio 7 x 8\r\n"),
         {{"sdp_ip", "3.3.3.3"}, {"sdp_port", "7"}, {"sdp_codec", "1"}}},
        {"SDP: an empty line ends it", with_body("application/sdp", "m=audio 1000 RTP/AVP 0\r\n\r\nc=IN IP4 9.9.9.9\r\n"),
         {{"sdp_port", "1000"}, {"sdp_ip", ""}}},
        {"SDP: a c= line without a blank stops the parse",
         with_body("application/sdp", "c=IN\r\nm=audio 1000 RTP/AVP 0\r\n"), {{"sdp_port", "0"}, {"sdp_ip", ""}}},
        {"SDP: video before audio hides the audio",
         with_body("application/sdp", "c=IN IP4 4.4.4.4\r\nm=video 5002 RTP/AVP 34\r\nm=audio 5000 RTP/AVP 0\r\n"),
         {{"sdp_port", "0"}, {"sdp_codec", "0"}, {"video_line", "video 5002 RTP/AVP 34"}, {"sdp_ip", "4.4.4.4"}}},
        {"SDP: video after audio",
         with_body("application/sdp", "m=audio 5000 RTP/AVP 8\r\nm=video 5002 RTP/AVP 34\r\nc=IN IP4 5.5.5.5\r\n"),
         {{"sdp_port", "5000"}, {"sdp_codec", "1"}, {"video_line", "video 5002 RTP/AVP 34"}, {"sdp_ip", ""}}},
        {"SDP: an audio port that is no port", with_body("application/sdp", "m=audio 700000 RTP/AVP 8\r\n"),
         {{"sdp_port", "0"}, {"sdp_codec", "1"}}},
        {"SDP lines ended by LF alone are one line", with_body("application/sdp", "c=IN IP4 6.6.6.6\nm=audio 1 x 0\n"),
         {{"has_sdp", "1"}, {"sdp_ip", "0\n"}, {"sdp_port", "0"}}},   // the c= rule reads the last word
        {"dtmf-relay Signal", with_body("application/dtmf-relay", "Signal= 5\r\nDuration=160\r\n"),
         {{"has_dtmf", "1"}, {"dtmf_signal", "5"}, {"dtmf_body", "Signal= 5\r\nDuration=160\r\n"}}},
        {"dtmf-relay: the Signal value after the last =", with_body("application/dtmf-relay", "signal=a=#\r\n"),
         {{"dtmf_signal", "#"}}},
        {"dtmf-relay: a Signal line without =", with_body("application/dtmf-relay", "Signal 5\r\n"),
         {{"has_dtmf", "1"}, {"dtmf_signal", ""}}},
    };
    return cases;
}

}  // namespace

TEST(SipDecode, FieldTable)
{
    for (const Case& c : decoder_cases()) {
        SIP_MSG_T msg{};
        soft_inet_enable = c.inet_mode;
        if (c.inet_mode == 1) {   // the receive step has put in the source
            copy_text(msg.reply_ip, "10.9.8.7");
            msg.reply_port = 40000;
        }
        std::string buffer = c.datagram;   // received text is always terminated
        ASSERT_EQ(Sip_Decode(buffer.c_str(), buffer.size(), msg), 1) << c.what;
        auto got = fields_of(msg);
        for (const auto& [field, value] : c.want) {
            ASSERT_TRUE(got.count(field)) << field;
            EXPECT_EQ(got[field], value) << c.what << ": " << field;
        }
    }
    soft_inet_enable = 0;
}

TEST(SipDecode, NullBufferIsTheOnlyFailure)
{
    SIP_MSG_T msg{};
    EXPECT_EQ(Sip_Decode(nullptr, 10, msg), -1);
    EXPECT_EQ(Sip_Decode("", 0, msg), 1);
    EXPECT_EQ(msg.msg_type, 0);
}

TEST(SipDecode, NeverReadsPastTheGivenLength)
{
    // Not terminated where the length ends: the decoder must stop there.
    const char datagram[] = {'O', 'P', 'T', 'I', 'O', 'N', 'S', ' ', 'x', ' ', 'y', '\r', '\n',
                             'F', 'r', 'o', 'm', ':', ' ', 'a', '\r', '\n', '\r', '\n', 'Z', 'Z'};
    SIP_MSG_T msg{};
    EXPECT_EQ(Sip_Decode(datagram, 24, msg), 1);
    EXPECT_STREQ(msg.from_line.s, "From: a");
}

namespace {

// Runs one field parser by name on a line; its outputs as "name=value" texts.
std::map<std::string, std::string> parse(const std::string& parser, const std::string& line)
{
    std::map<std::string, std::string> out;
    if (parser == "FromTo") {
        Text<64> uri;
        Text<200> tag;
        out["result"] = std::to_string(Decode_FromTo(line, uri, tag));
        out["uri"] = uri.s;
        out["tag"] = tag.s;
    } else if (parser == "Uri") {
        Text<50> user, host;
        int port = -9;
        out["result"] = std::to_string(Decode_Uri(line, user, host, port));
        out["user"] = user.s;
        out["host"] = host.s;
        out["port"] = std::to_string(port);
    } else if (parser == "CSeq") {
        int number = -9, method = -9;
        out["result"] = std::to_string(Decode_CSeq(line, number, method));
        out["number"] = std::to_string(number);
        out["method"] = std::to_string(method);
    } else if (parser == "Contact") {
        Text<50> user;
        out["result"] = std::to_string(Decode_Contact(line, user));
        out["user"] = user.s;
    } else if (parser == "ContactExpires" || parser == "Expires") {
        Text<10> text;
        out["result"] = std::to_string(parser == "Expires" ? Decode_Expires(line, text)
                                                           : Decode_Contact_Expires(line, text));
        out["text"] = text.s;
    } else if (parser == "Priority") {
        int priority = -9;
        out["result"] = std::to_string(Decode_Priority(line, priority));
        out["priority"] = std::to_string(priority);
    } else if (parser == "Authorization" || parser == "ProxyAuthorization") {
        DigestParams d;
        d.stale = -9;
        out["result"] = std::to_string(parser == "Authorization" ? Decode_Authorization(line, d)
                                                                 : Decode_Proxy_Authorization(line, d));
        out["username"] = d.username.s;
        out["realm"] = d.realm.s;
        out["nonce"] = d.nonce.s;
        out["uri"] = d.uri.s;
        out["response"] = d.response.s;
        out["algorithm"] = d.algorithm.s;
        out["stale"] = std::to_string(d.stale);
    } else if (parser == "ReferTo") {
        Text<50> user;
        Text<200> callid, from_tag, to_tag;
        out["result"] = std::to_string(Decode_ReferTo(line, user, callid, from_tag, to_tag));
        out["user"] = user.s;
        out["callid"] = callid.s;
        out["from_tag"] = from_tag.s;
        out["to_tag"] = to_tag.s;
    }
    return out;
}

struct ParserCase {
    const char* parser;
    std::string line;
    std::vector<std::pair<std::string, std::string>> want;
};

}  // namespace

TEST(SipDecode, FieldParserTable)
{
    sip_debug = 0;
    const std::string digest =
        "Authorization: Digest username=\"801\",realm=\"10.0.0.1\",nonce=\"12345\",uri=\"sip:10.0.0.1\","
        "response=\"0123456789abcdef0123456789abcdef\",algorithm=MD5";
    const ParserCase cases[] = {
        {"FromTo", "From: \"Bob\" <sip:801@10.0.0.2:5062;transport=udp>;tag=abc;x=1",
         {{"result", "0"}, {"uri", "sip:801@10.0.0.2:5062"}, {"tag", "abc;x=1"}}},
        {"FromTo", "To: <SIP:802@h>", {{"uri", "SIP:802@h"}, {"tag", ""}}},
        {"FromTo", "To: tel:802", {{"result", "0"}, {"uri", ""}}},
        {"FromTo", "", {{"result", "-1"}}},
        {"FromTo", "To: <sip:" + std::string(100, '9') + "@h>", {{"uri", "sip:" + std::string(59, '9')}}},
        {"Uri", "sip:801@10.0.0.2:5062;transport=udp", {{"result", "1"}, {"user", "801"}, {"host", "10.0.0.2"},
         {"port", "5062"}}},
        {"Uri", "sip:801@10.0.0.2", {{"user", "801"}, {"host", "10.0.0.2"}, {"port", "-9"}}},
        {"Uri", "sip:801", {{"result", "1"}, {"user", "801"}, {"host", ""}, {"port", "-9"}}},
        {"Uri", "sip:801@h:99999999", {{"host", "h"}, {"port", "0"}}},   // no port, never an overflow
        {"Uri", "801", {{"result", "-1"}, {"user", ""}}},
        {"CSeq", "CSeq: 42 INVITE", {{"result", "0"}, {"number", "42"}, {"method", "5"}}},
        {"CSeq", "CSeq: 3 BYE", {{"number", "3"}, {"method", "7"}}},
        {"CSeq", "CSeq: 1", {{"result", "-1"}}},
        {"CSeq", "CSeq: x1 FOO", {{"result", "0"}, {"number", "0"}, {"method", "0"}}},
        {"Contact", "Contact: <sip:803@10.0.0.3:5060>", {{"result", "1"}, {"user", "803"}}},
        {"Contact", "Contact: <sip:10.0.0.3>", {{"result", "-1"}}},
        {"ContactExpires", "Contact: <sip:1@h>;expires=60", {{"result", "1"}, {"text", "60"}}},
        {"ContactExpires", "Contact: <sip:1@h>;expires= 1234567890123", {{"text", "123456789"}}},
        {"ContactExpires", "Contact: <sip:1@h>;EXPIRES=60", {{"result", "-1"}}},
        {"Expires", "Expires: 3600", {{"result", "1"}, {"text", "3600"}}},
        {"Expires", "Expires: 60 ", {{"text", "60 "}}},   // raw characters; the reader decides
        {"Expires", "", {{"result", "-1"}}},
        {"Priority", "Priority: Emergency", {{"result", "1"}, {"priority", "3"}}},
        {"Priority", "Priority: listen_urgent", {{"priority", "4"}}},
        {"Priority", "Priority: non-urgent", {{"priority", "1"}}},
        {"Priority", "Priority: urgent", {{"priority", "2"}}},
        {"Priority", "Priority: normal", {{"priority", "0"}}},
        {"Priority", "Priority: whenever", {{"result", "0"}, {"priority", "-9"}}},
        {"Authorization", digest,
         {{"result", "1"}, {"username", "801"}, {"realm", "10.0.0.1"}, {"nonce", "12345"}, {"uri", "sip:10.0.0.1"},
          {"response", "0123456789abcdef0123456789abcdef"}, {"algorithm", "MD5"}, {"stale", "-9"}}},
        // A cnonce is not the nonce; an unquoted value ends at its comma; names in any case.
        {"Authorization",
         "Authorization: Digest algorithm=MD5, Nonce=\"n1\", cnonce=\"c9\", nc=00000001, qop=auth, stale=TRUE, "
         "username=\"a,b\"",
         {{"nonce", "n1"}, {"algorithm", "MD5"}, {"stale", "1"}, {"username", "a,b"}}},
        {"Authorization", "Authorization: Digest stale=false", {{"stale", "0"}}},
        {"Authorization", "Authorization: Digest", {{"result", "-1"}}},
        {"Authorization", "Authorization: Digest username=\"" + std::string(300, 'u') + "\"",
         {{"username", std::string(199, 'u')}}},
        {"ProxyAuthorization", "Proxy-Authorization: Digest username=\"" + std::string(300, 'u') + "\",nonce=\"9\"",
         {{"result", "1"}, {"username", std::string(127, 'u')}, {"nonce", "9"}}},
        {"ReferTo", "Refer-To: <sip:805@10.0.0.1>", {{"result", "1"}, {"user", "805"}}},
        {"ReferTo",
         "Refer-To: <sip:806@10.0.0.1?Replaces=abc%4010.0.0.9%3Bto-tag%3D111%3Bfrom-tag%3D222>",
         {{"result", "2"}, {"user", "806"}, {"callid", "abc@10.0.0.9"}, {"to_tag", "111"}, {"from_tag", "222"}}},
        {"ReferTo",
         "Refer-To: <sip:806@h?Replaces=abc%40host%3Bfrom-tag%3D222%3Bto-tag%3D111>",
         {{"result", "2"}, {"to_tag", "111"}, {"from_tag", "222"}}},
        // Replaces makes a transfer attended whatever the replaced Call-ID looks like.
        {"ReferTo", "Refer-To: <sip:806@h?Replaces=abc>", {{"result", "2"}, {"callid", "abc"}}},
        {"ReferTo", "Refer-To: <sip:806@h?Replaces=5f2a9c%3bto-tag%3d77%3bfrom-tag%3d88>",
         {{"result", "2"}, {"callid", "5f2a9c"}, {"to_tag", "77"}, {"from_tag", "88"}}},
        {"ReferTo", "Refer-To: <sip:806@h?Replaces=abc%40host%3BTo-Tag%3D1%3Bearly-only&Require=replaces>",
         {{"result", "2"}, {"callid", "abc@host"}, {"to_tag", "1"}, {"from_tag", ""}}},
        {"ReferTo", "Refer-To: <sip:806@h?replaces=a@h;to-tag=1;from-tag=2", {{"result", "2"}, {"callid", "a@h"},
         {"to_tag", "1"}, {"from_tag", "2"}}},
        {"ReferTo", "Refer-To: <sip:806@h?Replaces=a%2Gb%4%3Bto-tag%3D%>", {{"result", "2"}, {"callid", "a%2Gb%4"},
         {"to_tag", "%"}}},
        {"ReferTo", "", {{"result", "-1"}}},
        {"ReferTo", "Refer-To:", {{"result", "-2"}}},
        {"ReferTo", "Refer-To: <tel:805>", {{"result", "-3"}}},
        {"ReferTo", "Refer-To: <sip:805>", {{"result", "-4"}}},
    };
    for (const ParserCase& c : cases) {
        auto got = parse(c.parser, c.line);
        for (const auto& [name, value] : c.want) {
            ASSERT_TRUE(got.count(name)) << c.parser << " " << name;
            EXPECT_EQ(got[name], value) << c.parser << " [" << c.line << "] " << name;
        }
    }
}

TEST(SipDecode, RandomSourceAdvancesItsCounter)
{
    int before = g_rand_counter;
    int a = Sip_Get_Random();
    EXPECT_EQ(g_rand_counter, before + 1);
    EXPECT_GE(a, 0);
    // A switch that runs long enough takes the counter past INT_MAX: it wraps, never overflows.
    g_rand_counter = INT_MAX;
    EXPECT_GE(Sip_Get_Random(), 0);
    EXPECT_EQ(g_rand_counter, INT_MIN);
    EXPECT_GE(Sip_Get_Random(), 0);
    EXPECT_EQ(g_rand_counter, INT_MIN + 1);
    g_rand_counter = before + 1;
}
