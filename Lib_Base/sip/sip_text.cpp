// sip_text.cpp — raw looks at received texts, random tokens, the clock and number reading.
#include "sip_text.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>

#include "board.h"   // monotonic_us

namespace {
bool same_name(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}
}  // namespace

std::string_view Sip_Raw_Header(std::string_view text, std::string_view name)
{
    size_t pos = text.find('\n');   // skip the start line
    while (pos != std::string_view::npos && pos + 1 < text.size()) {
        size_t start = pos + 1;
        size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (line.empty() || line == "\r") break;   // end of the header section
        size_t colon = line.find(':');
        if (colon != std::string_view::npos && same_name(trim(line.substr(0, colon)), name))
            return trim(line.substr(colon + 1));
        pos = end;
    }
    return {};
}

std::string_view Sip_Raw_Body(std::string_view text)
{
    size_t p = text.find("\r\n\r\n");
    if (p != std::string_view::npos) return text.substr(p + 4);
    p = text.find("\n\n");
    if (p != std::string_view::npos) return text.substr(p + 2);
    return {};
}

void Sip_Random_Token(char* out, int size, int digits)
{
    static std::mt19937 gen(static_cast<unsigned>(std::time(nullptr)) ^ 0x5a17u);
    static const char hex[] = "0123456789abcdef";
    if (size <= 0) return;
    int n = digits < size - 1 ? digits : size - 1;
    for (int i = 0; i < n; ++i) out[i] = hex[gen() & 15u];
    out[n] = '\0';
}

long long Sip_Now_Ms() { return monotonic_us() / 1000; }

int Sip_Read_Number(std::string_view s)
{
    if (s.empty() || s.size() > 9) return -1;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}
