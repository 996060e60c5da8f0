#include "sip_text.h"

namespace {

// Texts are compared as if they ended at 199 characters, the width of every stored line.
constexpr std::size_t kCompareMax = 199;

unsigned char fold(unsigned char c) { return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 32) : c; }

// Nine digits always fit an int; a tenth could overflow it.
constexpr std::size_t kAtoiMaxDigits = 9;

}  // namespace

CutLine Decode_GetLine(std::string_view text)
{
    CutLine cut;
    std::size_t cr = text.find('\r');
    if (text.empty() || cr == std::string_view::npos) {
        cut.line = text;
        return cut;
    }
    cut.line = text.substr(0, cr);
    std::size_t next = cr + 1;
    if (next < text.size()) ++next;   // whatever follows the CR is taken to be its LF
    cut.next = text.substr(next);
    cut.has_next = true;
    return cut;
}

int Decode_HeaderValue(std::string_view line, std::string_view& value)
{
    if (line.empty()) return -1;
    std::size_t colon = line.find(':');
    value = colon == std::string_view::npos ? line : skip_blanks(line.substr(colon + 1));
    return 1;
}

int Sip_Strncasecmp(std::string_view a, std::string_view b, std::size_t n)
{
    if (a.size() > kCompareMax) a = a.substr(0, kCompareMax);
    if (b.size() > kCompareMax) b = b.substr(0, kCompareMax);
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char ca = i < a.size() ? fold(static_cast<unsigned char>(a[i])) : 0;
        unsigned char cb = i < b.size() ? fold(static_cast<unsigned char>(b[i])) : 0;
        if (ca != cb) return ca - cb;
        if (ca == 0) return 0;
    }
    return 0;
}

int Sip_Atoi(std::string_view text)
{
    if (text.empty() || text.size() > kAtoiMaxDigits) return 0;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value;
}

int Sip_Atoi_Port(std::string_view text)
{
    int port = Sip_Atoi(text);
    return port >= 1 && port <= 65535 ? port : 0;
}

std::size_t Sip_Copy_Quoted(std::string_view src, char* dst, std::size_t dst_size)
{
    std::size_t taken = 0;
    std::size_t written = 0;
    int quotes = 0;
    bool closed = false;
    for (char c : src) {
        if (c == '"') {
            if (++quotes == 2) {
                closed = true;
                break;
            }
            continue;
        }
        ++taken;
        if (dst != nullptr && written + 1 < dst_size) dst[written++] = c;
    }
    if (dst != nullptr && dst_size > 0) dst[written] = '\0';
    return closed ? taken : 0;
}
