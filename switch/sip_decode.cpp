#include "sip_decode.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "composer.h"
#include "settings.h"
#include "sip_text.h"
#include "swlog.h"

int g_rand_counter = 200277;

namespace {

constexpr std::size_t kLineCut = kSipLineMax - 1;   // 199: the copy every line parser works on
constexpr std::size_t kBodyCut = kSipBodyMax - 1;   // 799

std::string_view cut(std::string_view text, std::size_t n) { return text.substr(0, n < text.size() ? n : text.size()); }

// Where needle first stands in text, "a" to "z" folded to capitals; npos when nowhere.
std::size_t find_nocase(std::string_view text, std::string_view needle)
{
    for (std::size_t i = 0; i + needle.size() <= text.size(); ++i)
        if (Sip_Prefix(text.substr(i), needle)) return i;
    return std::string_view::npos;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Copies text into out (size bytes, cut to size - 1, terminated) with every "%" and two hex
// digits, in either case, turned into the character they stand for; a "%" without two hex
// digits stays as it is. Returns the length written.
std::size_t unescape(std::string_view text, char* out, std::size_t size)
{
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size() && n + 1 < size; ++i) {
        int hi = -1, lo = -1;
        if (text[i] == '%' && i + 2 < text.size() && (hi = hex_digit(text[i + 1])) >= 0 &&
            (lo = hex_digit(text[i + 2])) >= 0) {
            out[n++] = static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out[n++] = text[i];
        }
    }
    out[n] = '\0';
    return n;
}

// Splits text at blanks (runs of blanks count as one); the next word or an empty view.
std::string_view next_word(std::string_view& rest)
{
    rest = skip_blanks(rest);
    std::size_t end = find_first_of_or_end(rest, " ");
    std::string_view word = rest.substr(0, end);
    rest = rest.substr(end);
    return word;
}

void Decode_StartLine(std::string_view line, SIP_MSG_T& msg)
{
    line = cut(line, kLineCut);
    msg.msg_type = SIP_OTHER;
    msg.status_code = 0;
    if (Sip_Prefix(line, "SIP/")) {
        next_word(line);
        msg.status_code = Sip_Atoi(next_word(line));
        copy_text(msg.reason, next_word(line));
        msg.msg_type = Sip_Status_Type(msg.status_code);
        return;
    }
    msg.msg_type = Decode_Method(next_word(line));
    copy_text(msg.request_uri, next_word(line));
    copy_text(msg.version, next_word(line));
}

void Decode_Via_Line(std::string_view line, SIP_MSG_T& msg)
{
    if (soft_inet_enable == 1) {
        // The reply address is already the datagram's source; the Via only says whether the
        // sender knows its own public address.
        Text<16> host;
        int port = 0;
        Decode_Via(line, host, port);
        msg.inet = std::strcmp(host.s, msg.reply_ip.s) == 0 ? 1 : 0;
        return;
    }
    Decode_Via(line, msg.reply_ip, msg.reply_port);
}

// Header names in the order they are tried; the first whose name begins the line wins.
enum class Slot { via, from, to, callid, cseq, contact, expires, ctype, clength, auth, proxy_auth,
                  user_agent, event, priority, kinfo, kcallid, refer_to, referred_by };
struct HeaderName {
    std::string_view prefix;
    Slot slot;
};
constexpr HeaderName kHeaders[] = {
    {"Via", Slot::via},
    {"From", Slot::from},
    {"To", Slot::to},
    {"Call-Id", Slot::callid},
    {"CSeq", Slot::cseq},
    {"Contact", Slot::contact},
    {"Expires", Slot::expires},
    {"Content-Type", Slot::ctype},
    {"Content-Lengt", Slot::clength},
    {"Authorization", Slot::auth},
    {"Proxy-Authorization", Slot::proxy_auth},
    {"Proxy-Authenticate", Slot::proxy_auth},
    {"WWW-Authorization", Slot::auth},
    {"WWW-Authenticate", Slot::auth},
    {"User-Agent", Slot::user_agent},
    {"Event", Slot::event},
    {"Priority", Slot::priority},
    {"Kelvanor-Info", Slot::kinfo},
    {"Kelvanor-Callid", Slot::kcallid},
    {"Refer-To", Slot::refer_to},
    {"Referred-By", Slot::referred_by},
};

void Decode_Header(std::string_view line, SIP_MSG_T& msg)
{
    for (const HeaderName& h : kHeaders) {
        if (!Sip_Prefix(line, h.prefix)) continue;
        switch (h.slot) {
        case Slot::via:
            copy_text(msg.via_line, line);
            Decode_Via_Line(line, msg);
            break;
        case Slot::from: copy_text(msg.from_line, line); break;
        case Slot::to: copy_text(msg.to_line, line); break;
        case Slot::callid: copy_text(msg.callid_line, line); break;
        case Slot::cseq: copy_text(msg.cseq_line, line); break;
        case Slot::contact: copy_text(msg.contact_line, line); break;
        case Slot::expires: copy_text(msg.expires_line, line); break;
        case Slot::ctype: copy_text(msg.content_type_line, line); break;
        case Slot::clength: copy_text(msg.content_length_line, line); break;
        case Slot::auth: copy_text(msg.auth_line, line); break;
        case Slot::proxy_auth: copy_text(msg.proxy_auth_line, line); break;
        case Slot::user_agent: copy_text(msg.user_agent_line, line); break;
        case Slot::event: copy_text(msg.event_line, line); break;
        case Slot::priority: copy_text(msg.priority_line, line); break;
        case Slot::kinfo: copy_text(msg.kelvanor_info_line, line); break;
        case Slot::kcallid: copy_text(msg.kelvanor_callid_line, line); break;
        case Slot::refer_to: copy_text(msg.refer_to_line, line); break;
        case Slot::referred_by: copy_text(msg.referred_by_line, line); break;
        }
        return;
    }
}

void Decode_Sdp_Audio(std::string_view text, SIP_MSG_T& msg)
{
    text = cut(text, kLineCut);
    text = text.substr(5 < text.size() ? 5 : text.size());   // "audio"
    msg.sdp_port = Sip_Atoi_Port(next_word(text));
    next_word(text);   // the transport
    bool pcma = false, pcmu = false;
    for (std::string_view w = next_word(text); !w.empty(); w = next_word(text)) {
        int payload = Sip_Atoi(w);
        // Sip_Atoi also gives 0 for a word that is no number; only zeros name payload 0.
        if (payload == 0 && w.find_first_not_of('0') != std::string_view::npos) continue;
        if (payload == 0) pcmu = true;
        if (payload == 8) pcma = true;
    }
    msg.sdp_codec = pcma && pcmu ? 3 : pcmu ? 2 : pcma ? 1 : 0;
}

// Visits the lines of a body (cut at CR; a last line without CR is taken too) until an empty
// line or the end, each without its leading blanks. fn returns false to stop (result -1).
template <typename Fn>
int for_each_body_line(std::string_view body, Fn fn)
{
    std::string_view rest = body;
    for (;;) {
        if (rest.empty()) return 0;
        CutLine c = Decode_GetLine(rest);
        if (c.line.empty()) return 0;
        if (!fn(skip_blanks(c.line))) return -1;
        if (!c.has_next) return 0;
        rest = c.next;
    }
}

int Decode_Sdp(std::string_view body, SIP_MSG_T& msg)
{
    return for_each_body_line(cut(body, kBodyCut), [&msg](std::string_view line) {
        if (line.empty()) return true;
        switch (line[0]) {
        case 'c': {
            std::size_t blank = line.rfind(' ');
            if (blank == std::string_view::npos) return false;
            copy_text(msg.sdp_ip, line.substr(blank + 1));
            return true;
        }
        case 'm': {
            std::size_t eq = line.find('=');
            if (eq == std::string_view::npos) return false;
            std::string_view media = skip_blanks(line.substr(eq + 1));
            if (media.empty()) return false;
            if (media.substr(0, 5) == "audio") {
                Decode_Sdp_Audio(media, msg);
            } else if (media.substr(0, 5) == "video") {
                copy_text(msg.video_line, media);
                std::printf("Decode viedo ptr = %s\n", msg.video_line.s);
                return false;   // what follows the video description belongs to it
            }
            return true;
        }
        case 'a':
            // A hold is a direction attribute; the session's or the audio line's, the last wins.
            for (int dir : {SDP_SENDRECV, SDP_SENDONLY, SDP_RECVONLY, SDP_INACTIVE}) {
                const std::string_view want = dir == SDP_SENDRECV ? "sendrecv" : Sdp_Dir_Text(dir);
                if (line.substr(0, 2) == "a=" && line.substr(2) == want) msg.sdp_dir = dir;
            }
            return true;
        default:
            return true;   // all other lines carry nothing the switch uses
        }
    });
}

int Decode_DtmfRelay(std::string_view body, SIP_MSG_T& msg)
{
    int r = for_each_body_line(cut(body, kLineCut), [&msg](std::string_view line) {
        if (!Sip_Prefix(line, "Signal")) return true;
        std::size_t eq = line.rfind('=');
        if (eq == std::string_view::npos) return false;
        copy_text(msg.dtmf_signal, skip_blanks(line.substr(eq + 1)));
        return true;
    });
    return r < 0 ? -1 : 1;
}

void Decode_Body(std::string_view body, SIP_MSG_T& msg)
{
    if (body.empty()) return;
    switch (Decode_ContentType(msg)) {
    case 1:
        msg.has_sdp = 1;
        copy_text(msg.sdp_body, body);
        Decode_Sdp(body, msg);
        break;
    case 2:
        msg.has_dtmf = 1;
        copy_text(msg.dtmf_body, body);
        Decode_DtmfRelay(body, msg);
        break;
    case 3:
        msg.has_text = 1;
        copy_text(msg.text_body, body);
        break;
    default:
        break;   // a body of another type is not kept
    }
}

// Digest parameters, read as comma-separated name=value pairs.
int Decode_Digest(std::string_view line, DigestParams& out, std::size_t cut_to)
{
    std::string_view value;
    if (Decode_HeaderValue(line, value) < 0) return -1;
    std::size_t blank = value.find(' ');
    if (blank == std::string_view::npos) return -1;
    std::string_view rest = value.substr(blank + 1);

    struct Field { std::string_view name; Text<kSipLineMax>* out; };
    const Field fields[] = {
        {"username", &out.username}, {"realm", &out.realm},         {"nonce", &out.nonce},
        {"uri", &out.uri},           {"response", &out.response},   {"algorithm", &out.algorithm},
    };
    const std::size_t size = cut_to + 1 < kSipLineMax ? cut_to + 1 : kSipLineMax;

    for (;;) {
        std::size_t start = rest.find_first_not_of(" ,");
        if (start == std::string_view::npos) break;
        rest = rest.substr(start);
        std::size_t name_end = find_first_of_or_end(rest, "=, ");
        std::string_view name = rest.substr(0, name_end);
        rest = skip_blanks(rest.substr(name_end));
        if (rest.empty() || rest[0] != '=') {   // a bare token carries no value
            std::size_t comma = find_first_of_or_end(rest, ",");
            rest = rest.substr(comma);
            continue;
        }
        rest = skip_blanks(rest.substr(1));
        char buf[kSipLineMax] = {};
        if (!rest.empty() && rest[0] == '"') {
            Sip_Copy_Quoted(rest, buf, size);
            std::size_t close = rest.find('"', 1);
            rest = close == std::string_view::npos ? std::string_view() : rest.substr(close + 1);
        } else {
            std::size_t comma = find_first_of_or_end(rest, ",");
            std::string_view token = rest.substr(0, comma);
            while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
            copy_bounded(buf, size, token);
            rest = rest.substr(comma);
        }
        // Skip whatever stands between the value and the next comma.
        rest = rest.substr(find_first_of_or_end(rest, ","));

        if (name.size() == 5 && Sip_Prefix(name, "stale")) {
            if (Sip_Strncasecmp(buf, "FALSE", 6) == 0) out.stale = 0;
            if (Sip_Strncasecmp(buf, "TRUE", 5) == 0) out.stale = 1;
            continue;
        }
        for (const Field& f : fields) {
            if (name.size() == f.name.size() && Sip_Prefix(name, f.name)) {
                copy_text(*f.out, buf);
                break;
            }
        }
    }
    return 1;
}

}  // namespace

int Decode_Method(std::string_view text)
{
    struct Method { std::string_view name; int type; };
    constexpr Method kMethods[] = {
        {"INVITE", SIP_INVITE}, {"CANCEL", SIP_CANCEL},   {"BYE", SIP_BYE},
        {"OPTIONS", SIP_OPTIONS}, {"REGISTER", SIP_REGISTER}, {"ACK", SIP_ACK},
        {"INFO", SIP_INFO},     {"MESSAGE", SIP_MESSAGE}, {"PRACK", SIP_PRACK},
        {"SUBSCRIBE", SIP_SUBSCRIBE}, {"NOTIFY", SIP_NOTIFY}, {"REFER", SIP_REFER},
    };
    for (const Method& m : kMethods) {
        if (text.substr(0, m.name.size()) == m.name) return m.type;
    }
    return SIP_OTHER;
}

int Sip_Status_Type(int code)
{
    if (code == 100) return SIP_RES_100;
    if (code == 180 || code == 182 || code == 183) return SIP_RES_180;
    if (code == 200) return SIP_RES_200;
    constexpr int kFailures[] = {300, 301, 302, 305, 410, 413, 414, 415, 416, 420, 421, 423, 491, 493,
                                 513, 600, 603, 604, 606};
    if ((code >= 400 && code <= 408) || (code >= 480 && code <= 488) || (code >= 500 && code <= 505))
        return SIP_RES_ERROR;
    for (int f : kFailures) {
        if (code == f) return SIP_RES_ERROR;
    }
    return SIP_OTHER;
}

int Decode_ContentType(const SIP_MSG_T& msg)
{
    std::string_view value;
    if (Decode_HeaderValue(msg.content_type_line.view(), value) < 0) return -1;
    if (Sip_Prefix(value, "application/sdp")) return 1;
    if (Sip_Prefix(value, "application/dtmf-relay")) return 2;
    if (Sip_Prefix(value, "application/text") || Sip_Prefix(value, "text/plain")) return 3;
    return 0;
}

int Decode_Via(std::string_view line, Text<16>& host, int& port)
{
    std::string_view value;
    if (Decode_HeaderValue(line, value) < 0) return -1;
    port = 5060;
    std::size_t slash1 = value.find('/');
    if (slash1 == std::string_view::npos) return -1;
    std::size_t slash2 = value.find('/', slash1 + 1);
    if (slash2 == std::string_view::npos) return -1;
    std::size_t blank = value.find(' ', slash2 + 1);
    if (blank == std::string_view::npos) return -1;
    std::string_view sent_by = value.substr(blank + 1);
    std::size_t host_end = find_first_of_or_end(sent_by, ": ;");
    copy_text(host, sent_by.substr(0, host_end));
    if (host_end < sent_by.size() && sent_by[host_end] == ':') {
        std::string_view rest = sent_by.substr(host_end + 1);
        port = Sip_Atoi_Port(cut(rest.substr(0, find_first_of_or_end(rest, " ;")), 16));
    }
    return 1;
}

int Sip_Decode(const char* buffer, std::size_t length, SIP_MSG_T& msg)
{
    if (buffer == nullptr) return -1;
    // The datagram is a text: it ends at its first NUL, and never beyond what arrived.
    std::string_view text(buffer, strnlen(buffer, length));

    CutLine start = Decode_GetLine(text);
    Decode_StartLine(start.line, msg);
    if (!start.has_next) return 1;

    CutLine cur = Decode_GetLine(start.next);
    while (cur.has_next && !cur.line.empty()) {
        Decode_Header(cur.line, msg);
        if (cur.next.substr(0, 2) == "\r\n") {
            Decode_Body(cur.next.substr(2), msg);
            return 1;
        }
        cur = Decode_GetLine(cur.next);
    }
    return 1;   // no empty line: no body; a last line without CR is not decoded
}

int Decode_FromTo(std::string_view line, Text<64>& uri, Text<kSipLineMax>& tag)
{
    std::string_view value;
    if (Decode_HeaderValue(cut(line, kLineCut), value) < 0) return -1;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (Sip_Prefix(value.substr(i), "sip:")) {
            std::string_view u = value.substr(i);
            copy_text(uri, u.substr(0, find_first_of_or_end(u, ";> ")));
            break;
        }
    }
    std::size_t t = value.find("tag=");
    if (t != std::string_view::npos) copy_text(tag, value.substr(t + 4));
    return 0;
}

int Decode_Uri(std::string_view uri, Text<50>& user, Text<50>& host, int& port)
{
    uri = cut(uri, kLineCut);
    std::size_t colon = uri.find(':');
    if (colon == std::string_view::npos) return -1;
    std::string_view rest = uri.substr(colon + 1);
    std::size_t at = rest.find('@');
    if (at == std::string_view::npos) {
        copy_text(user, rest);
        return 1;
    }
    copy_text(user, rest.substr(0, at));
    std::string_view hostport = rest.substr(at + 1);
    std::size_t hcolon = hostport.find(':');
    if (hcolon != std::string_view::npos) {
        copy_text(host, hostport.substr(0, hcolon));
        std::string_view p = hostport.substr(hcolon + 1);
        port = Sip_Atoi_Port(cut(p.substr(0, find_first_of_or_end(p, ";> ")), 7));
    } else {
        copy_text(host, hostport.substr(0, find_first_of_or_end(hostport, ";> ")));
    }
    return 1;
}

int Decode_CSeq(std::string_view line, int& number, int& method)
{
    std::string_view value;
    if (Decode_HeaderValue(cut(line, kLineCut), value) < 0) return -1;
    std::size_t blank = value.find(' ');
    if (blank == std::string_view::npos) return -1;
    number = Sip_Atoi(cut(value.substr(0, blank), 15));
    method = Decode_Method(value.substr(blank + 1));
    return 0;
}

int Decode_Contact(std::string_view line, Text<50>& user)
{
    std::string_view value;
    if (Decode_HeaderValue(cut(line, kLineCut), value) < 0) return -1;
    std::size_t colon = value.find(':');
    if (colon == std::string_view::npos) return -1;
    std::string_view rest = skip_blanks(value.substr(colon + 1));
    std::size_t at = rest.find('@');
    if (at == std::string_view::npos) return -1;
    copy_text(user, rest.substr(0, at));
    return 1;
}

int Decode_Contact_Expires(std::string_view line, Text<10>& text)
{
    line = cut(line, kLineCut);
    std::size_t e = line.find("expires");
    if (e == std::string_view::npos) return -1;
    std::size_t eq = line.find('=', e);
    if (eq == std::string_view::npos) return -1;
    copy_text(text, skip_blanks(line.substr(eq + 1)));
    return 1;
}

int Decode_Expires(std::string_view line, Text<10>& text)
{
    line = cut(line, kLineCut);
    std::size_t colon = line.find(':');
    if (line.empty() || colon == std::string_view::npos) return -1;
    copy_text(text, skip_blanks(line.substr(colon + 1)));
    return 1;
}

int Decode_Priority(std::string_view line, int& priority)
{
    std::string_view value;
    if (Decode_HeaderValue(cut(line, kLineCut), value) < 0) return -1;
    struct Level { std::string_view name; int value; };
    constexpr Level kLevels[] = {
        {"normal", 0}, {"non-urgent", 1}, {"urgent", 2}, {"emergency", 3}, {"listen_urgent", 4},
    };
    for (const Level& l : kLevels) {
        if (Sip_Prefix(value, l.name)) {
            priority = l.value;
            return 1;
        }
    }
    return 0;
}

int Decode_Authorization(std::string_view line, DigestParams& out)
{
    return Decode_Digest(cut(line, kBodyCut), out, 199);
}

int Decode_Proxy_Authorization(std::string_view line, DigestParams& out)
{
    return Decode_Digest(cut(line, kBodyCut), out, 127);
}

int Decode_ReferTo(std::string_view line, Text<50>& user, Text<kSipLineMax>& callid,
                   Text<kSipLineMax>& from_tag, Text<kSipLineMax>& to_tag)
{
    line = cut(line, kLineCut);
    if (line.empty()) return -1;
    std::string_view value;
    Decode_HeaderValue(line, value);
    if (value.empty()) return -2;
    std::size_t sip = value.find("sip:");
    if (sip == std::string_view::npos) return -3;
    std::string_view rest = skip_blanks(value.substr(sip + 4));
    std::size_t at = rest.find('@');
    if (at == std::string_view::npos) return -4;
    copy_text(user, rest.substr(0, at));
    rest = rest.substr(at + 1);

    // A Replaces header makes the transfer an attended one whatever its value looks like: a
    // Call-ID without "@", escapes in small or capital letters, the tags in either order. Taken
    // for a blind transfer, it would have the switch call the target the phone has called itself.
    std::size_t rep = find_nocase(rest, "Replaces");
    if (rep == std::string_view::npos) return 1;
    rest = rest.substr(rep + 8);
    rest = rest.substr(std::min(rest.find_first_not_of(" ="), rest.size()));
    rest = rest.substr(0, find_first_of_or_end(rest, ">&"));   // the URI, or its next header, ends it

    // Unescaped, never longer than the line it comes from.
    char replaces[kSipLineMax] = {};
    std::string_view params(replaces, unescape(rest, replaces, sizeof replaces));
    std::size_t end = find_first_of_or_end(params, ";");
    copy_text(callid, params.substr(0, end));
    while (end < params.size()) {
        params = params.substr(end + 1);
        end = find_first_of_or_end(params, ";");
        const std::string_view param = params.substr(0, end);
        if (Sip_Prefix(param, "to-tag=")) copy_text(to_tag, param.substr(7));
        if (Sip_Prefix(param, "from-tag=")) copy_text(from_tag, param.substr(9));
    }
    Write_Logf("Get from tag=%s\n", from_tag.s);
    return 2;
}

int Sip_Get_Random()
{
    unsigned seed = (static_cast<unsigned>(std::time(nullptr)) + static_cast<unsigned>(g_rand_counter)) ^ 0xAAAAAAAAu;
    std::srand(seed);
    // The counter only feeds the seed: after INT_MAX it wraps on instead of overflowing.
    g_rand_counter = static_cast<int>(static_cast<unsigned>(g_rand_counter) + 1u);
    return std::rand();
}

std::string_view Sdp_Dir_Text(int dir)
{
    switch (dir) {
    case SDP_SENDONLY: return "sendonly";
    case SDP_RECVONLY: return "recvonly";
    case SDP_INACTIVE: return "inactive";
    default: return {};
    }
}

int Sdp_Dir_Answer(int offered)
{
    switch (offered) {
    case SDP_SENDONLY: return SDP_RECVONLY;
    case SDP_RECVONLY: return SDP_SENDONLY;
    case SDP_INACTIVE: return SDP_INACTIVE;
    default: return SDP_SENDRECV;
    }
}
