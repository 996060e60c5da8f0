// sip_text.h — composing SIP texts into bounded buffers, and the few raw looks at a received text
// that the parser cannot give (header values it drops, such as a Call-Info without angle brackets).
#pragma once
#include <cstddef>
#include <string_view>

#include "text.h"

inline constexpr int kSipMsgMax = 2048;   // every message the stack sends fits here, or is not sent

// Appends to a fixed buffer; one append that does not fit spoils the whole text (ok() false).
class Composer {
public:
    Composer(char* buf, int size) : buf_(buf), size_(size) { if (size_ > 0) buf_[0] = '\0'; }
    Composer& raw(std::string_view s);
    Composer& line(std::string_view s) { return raw(s).raw("\r\n"); }
    Composer& num(long long v);
    Composer& fmt(const char* f, ...) __attribute__((format(printf, 2, 3)));
    bool ok() const { return ok_; }
    int length() const { return len_; }
    const char* text() const { return buf_; }
    void cut(int len) { if (len >= 0 && len <= len_) { len_ = len; buf_[len_] = '\0'; } }

private:
    char* buf_;
    int size_;
    int len_ = 0;
    bool ok_ = true;
};

// The value of the first header line named name (long form, any case) in a received text, up to the
// end of that line, without the blanks around it; empty when there is none. Looks only at the header
// section.
std::string_view Sip_Raw_Header(std::string_view text, std::string_view name);

// The body of a received text: what follows the first empty line.
std::string_view Sip_Raw_Body(std::string_view text);

// Fresh random tokens for tags, branches (with the magic cookie) and Call-IDs.
void Sip_Random_Token(char* out, int size, int digits);

// Milliseconds of a monotonic clock.
long long Sip_Now_Ms();

// Digits-only decimal number of at most 9 digits; -1 for anything else.
int Sip_Read_Number(std::string_view s);
