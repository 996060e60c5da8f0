#include "mgcp_decode.h"

#include <array>
#include <cstring>

#include "sip_text.h"
#include "swlog.h"

namespace {

// The first line of a command or response is read this far.
constexpr std::size_t kFirstLineMax = 199;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Cuts the next line off text: the characters before its LF, without a CR that ends them.
std::string_view cut_line(std::string_view& text)
{
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// The next blank-separated word of text; text is advanced past it.
std::string_view next_word(std::string_view& text)
{
    std::size_t start = 0;
    while (start < text.size() && is_blank(text[start])) ++start;
    std::size_t end = start;
    while (end < text.size() && !is_blank(text[end])) ++end;
    std::string_view word = text.substr(start, end - start);
    text.remove_prefix(end);
    return word;
}

bool all_digits(std::string_view word)
{
    if (word.empty()) return false;
    for (char c : word)
        if (c < '0' || c > '9') return false;
    return true;
}

struct Verb {
    const char* upper;
    const char* lower;   // null: recognised in upper case only
    int type;
};
// Gateways have been seen writing verbs in lower case; NTFY only ever comes in capitals.
constexpr std::array<Verb, 9> kVerbs = {{
    {"EPCF", "epcf", MGCP_EPCF},
    {"CRCX", "crcx", MGCP_CRCX},
    {"MDCX", "mdcx", MGCP_MDCX},
    {"DLCX", "dlcx", MGCP_DLCX},
    {"RQNT", "rqnt", MGCP_RQNT},
    {"NTFY", nullptr, MGCP_NTFY},
    {"AUEP", "auep", MGCP_AUEP},
    {"AUCX", "aucx", MGCP_AUCX},
    {"RSIP", "rsip", MGCP_RSIP},
}};

int verb_type(std::string_view word)
{
    const std::string_view head = word.substr(0, 4);
    for (const Verb& v : kVerbs) {
        if (head == v.upper || (v.lower != nullptr && head == v.lower)) return v.type;
    }
    return MGCP_UNKNOWN;
}

int response_type(int code)
{
    if (code < 100) return MGCP_UNKNOWN;
    if (code < 200) return MGCP_PROVISIONAL;
    if (code < 300) return MGCP_SUCCESS;
    return MGCP_ERROR;
}

void Mgcp_Decode_First_Line(std::string_view line, MGCP_MSG_T& msg)
{
    line = line.substr(0, kFirstLineMax);
    const std::string_view w1 = next_word(line);
    const std::string_view w2 = next_word(line);
    const std::string_view w3 = next_word(line);
    if (all_digits(w1) && Sip_Atoi(w1) > 0) {
        msg.code = Sip_Atoi(w1);
        msg.type = response_type(msg.code);
        msg.trans_id = Sip_Atoi(w2);
        copy_text(msg.comment, w3);
        return;
    }
    msg.type = verb_type(w1);
    msg.trans_id = Sip_Atoi(w2);
    copy_text(msg.endpoint, w3);
    next_word(line);   // "MGCP"
    copy_text(msg.version, next_word(line));
}

void Mgcp_Decode_Param_Line(std::string_view line, MGCP_MSG_T& msg)
{
    switch (line[0]) {
    case 'C': case 'c': copy_text(msg.c_line, line); break;
    case 'I': case 'i': copy_text(msg.i_line, line); break;
    case 'M': case 'm': copy_text(msg.m_line, line); break;
    case 'L': case 'l': copy_text(msg.l_line, line); break;
    case 'R': case 'r': copy_text(msg.r_line, line); break;
    case 'X': case 'x': copy_text(msg.x_line, line); break;
    case 'S': case 's': copy_text(msg.s_line, line); break;
    case 'D': case 'd': copy_text(msg.d_line, line); break;
    case 'O': case 'o': copy_text(msg.o_line, line); break;
    case 'N': case 'n': copy_text(msg.n_line, line); break;
    default: break;
    }
}

void Mgcp_Decode_Sdp_Media(std::string_view media, MGCP_MSG_T& msg)
{
    media.remove_prefix(std::min<std::size_t>(5, media.size()));   // "audio"
    msg.rtp_port = Sip_Atoi_Port(next_word(media));
    next_word(media);   // the transport
    bool pcma = false, pcmu = false;
    for (std::string_view w = next_word(media); !w.empty(); w = next_word(media)) {
        const int payload = Sip_Atoi(w);
        if (payload == 0) pcmu = true;
        if (payload == 8) pcma = true;
    }
    msg.codec = (pcma ? 1 : 0) + (pcmu ? 2 : 0);
}

bool dot_line(std::string_view line) { return line == "."; }

}  // namespace

std::string_view Mgcp_Param_Value(std::string_view line)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return line;
    line.remove_prefix(colon + 1);
    while (!line.empty() && is_blank(line.front())) line.remove_prefix(1);
    return line;
}

void Mgcp_Decode_Sdp(std::string_view body, MGCP_MSG_T& msg)
{
    while (!body.empty()) {
        std::string_view line = cut_line(body);
        while (!line.empty() && is_blank(line.front())) line.remove_prefix(1);
        if (line.empty()) continue;
        if (line[0] == 'c') {
            std::size_t last_blank = line.find_last_of(" \t");
            if (last_blank == std::string_view::npos) return;
            copy_text(msg.rtp_ip, line.substr(last_blank + 1));
        } else if (line[0] == 'm') {
            const std::size_t eq = line.find('=');
            if (eq == std::string_view::npos) return;
            std::string_view media = line.substr(eq + 1);
            while (!media.empty() && is_blank(media.front())) media.remove_prefix(1);
            if (media.substr(0, 5) == "audio") Mgcp_Decode_Sdp_Media(media, msg);
        }
        // "a=" attributes and video media lines carry nothing the agent uses.
    }
}

int Mgcp_Decode(std::string_view& text, MGCP_MSG_T& msg)
{
    if (text.empty()) return -1;
    const std::string_view first = cut_line(text);
    if (first.empty()) {
        text = {};
        return -1;
    }
    Mgcp_Decode_First_Line(first, msg);
    while (!text.empty()) {
        const std::string_view line = cut_line(text);
        if (dot_line(line)) {
            Write_Log(".........\n");
            Write_Log("Get another message\n");
            return text.empty() ? 1 : 2;
        }
        if (!line.empty()) {
            Mgcp_Decode_Param_Line(line, msg);
            continue;
        }
        // The empty line: the session description follows, up to a "." line that starts the
        // next message of the datagram, if any.
        std::string_view body = text;
        std::string_view rest = text;
        bool another = false;
        while (!rest.empty()) {
            const std::size_t at = body.size() - rest.size();
            if (dot_line(cut_line(rest))) {
                body = body.substr(0, at);
                another = !rest.empty();
                break;
            }
        }
        copy_text(msg.sdp, body);
        Mgcp_Decode_Sdp(msg.sdp.view(), msg);
        text = another ? rest : std::string_view();
        return another ? 2 : 1;
    }
    return 1;
}

int Mgcp_Decode_Observed_Event(std::string_view line, Text<50>& number, int& type)
{
    if (line.empty()) return -1;
    char folded[kMgcpLineMax] = {};
    const std::size_t n = copy_bounded(folded, sizeof folded, line);
    for (std::size_t i = 0; i < n; ++i)
        if (folded[i] >= 'A' && folded[i] <= 'Z') folded[i] = static_cast<char>(folded[i] - 'A' + 'a');
    const std::string_view low(folded, n);
    constexpr std::array<std::pair<const char*, int>, 5> kEvents = {{
        {"hd", MGCP_EV_OFFHOOK}, {"hu", MGCP_EV_ONHOOK}, {"hf", MGCP_EV_FLASH},
        {"oc", MGCP_EV_OC}, {"nat/ka", MGCP_EV_KEEPALIVE},
    }};
    for (const auto& [name, event] : kEvents) {
        if (low.find(name) != std::string_view::npos) {
            type = event;
            return 0;
        }
    }
    type = MGCP_EV_DIGITS;
    // Decode_Calledtel: the dialled characters of the value, in order.
    char digits[50] = {};
    std::size_t len = 0;
    for (char c : Mgcp_Param_Value(line)) {
        const bool dialled = (c >= '0' && c <= '9') || c == '*' || c == '#';
        if (dialled && len < sizeof digits - 1) digits[len++] = c;
    }
    copy_text(number, std::string_view(digits, len));
    Write_Logf("Decode_Calledtel=%s\n", number.s);
    return 1;
}
