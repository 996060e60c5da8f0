// sip_text.h — the text helpers the SIP decoder, the SIP builders and the record-server link
// share: the line cutter, the header-value finder, a case-insensitive prefix compare, the one
// number reader for received text, and the quoted-value copy.
// A blank is the space character only; tabs are ordinary characters.
#pragma once
#include <cstddef>
#include <string_view>

// One cut of a line: the text before its first CR, and where the following line starts (the
// character after the CR is skipped when there is one, taken to be the LF).
struct CutLine {
    std::string_view line;
    std::string_view next;
    bool has_next = false;   // false when the text has no CR or is empty
};

// Cuts text at its first CR. Without a CR the whole text is the line and there is no next.
CutLine Decode_GetLine(std::string_view text);

// The value of a header line: after its first ":" and the blanks that follow; without ":" the
// line itself. 1, or -1 for an empty line (value untouched).
int Decode_HeaderValue(std::string_view line, std::string_view& value);

// Compares the first n characters of a and b with "a" to "z" folded to capitals, each text
// taken at most 199 characters long; the result has the sign of a byte compare (0: equal).
int Sip_Strncasecmp(std::string_view a, std::string_view b, std::size_t n);

// True when text begins with prefix, "a" to "z" folded to capitals.
inline bool Sip_Prefix(std::string_view text, std::string_view prefix)
{
    return Sip_Strncasecmp(text, prefix, prefix.size()) == 0;
}

// The value of a text made only of the digits "0" to "9", at most 9 of them (so it never
// overflows); 0 for the empty text, any other character (signs and blanks included) or more
// than 9 digits.
int Sip_Atoi(std::string_view text);

// A port read from received text: Sip_Atoi, and 0 for anything outside 1..65535, so a value
// that is no port is never used as one.
int Sip_Atoi_Port(std::string_view text);

// Copies src into dst (dst_size bytes, cut to dst_size - 1, always terminated), dropping every
// double quote, up to the second double quote. Returns the number of characters taken from
// src, quotes not counted; 0 when src ends before a second double quote (what was taken stays
// in dst).
std::size_t Sip_Copy_Quoted(std::string_view src, char* dst, std::size_t dst_size);

// Where one of the characters of set first stands in text, or text.size().
inline std::size_t find_first_of_or_end(std::string_view text, std::string_view set)
{
    std::size_t p = text.find_first_of(set);
    return p == std::string_view::npos ? text.size() : p;
}

// text without its leading blanks.
inline std::string_view skip_blanks(std::string_view text)
{
    std::size_t p = text.find_first_not_of(' ');
    return p == std::string_view::npos ? std::string_view() : text.substr(p);
}
