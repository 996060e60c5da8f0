// composer.h — the one way a message or a stored line is built, in both programs and the SIP
// stack: by appending pieces to a bounded buffer. A piece that does not fit fails the whole
// composition; the buffer then holds what it held before the composer started, so a cut
// message is never sent and a stored line is never left half extended.
#pragma once
#include <array>
#include <charconv>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "text.h"

class Composer {
public:
    // Composes into buf[0..size), starting after the first `keep` bytes (0: buf is cleared).
    Composer(char* buf, std::size_t size, std::size_t keep = 0)
        : buf_(buf), size_(size), start_(keep), len_(keep)
    {
        if (buf_ == nullptr || size_ == 0 || keep >= size_) {
            failed_ = true;
            return;
        }
        buf_[len_] = '\0';
    }
    template <std::size_t N>
    explicit Composer(std::array<char, N>& buf) : Composer(buf.data(), N) {}
    // Extends a stored line in place (for example a tag added to a To line).
    template <std::size_t N>
    static Composer extend(Text<N>& line) { return Composer(line.s, N, std::strlen(line.s)); }

    Composer& raw(std::string_view piece)
    {
        if (failed_ || piece.empty()) return *this;   // an empty view may have no data pointer
        if (piece.size() >= size_ - len_) return fail();
        std::memcpy(buf_ + len_, piece.data(), piece.size());
        len_ += piece.size();
        buf_[len_] = '\0';
        return *this;
    }
    Composer& line(std::string_view text) { return raw(text).raw("\r\n"); }
    // A stored or received header line with its CRLF; an absent (empty) line adds nothing,
    // so a missing header never turns into the empty line that ends the header section.
    Composer& header(std::string_view stored) { return stored.empty() ? *this : line(stored); }
    Composer& number(long long n)
    {
        char digits[24];
        auto r = std::to_chars(digits, digits + sizeof digits, n);
        return raw(std::string_view(digits, static_cast<std::size_t>(r.ptr - digits)));
    }
    Composer& fmt(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (failed_) return *this;
        va_list ap;
        va_start(ap, format);
        const int n = std::vsnprintf(buf_ + len_, size_ - len_, format, ap);
        va_end(ap);
        if (n < 0 || static_cast<std::size_t>(n) >= size_ - len_) return fail();
        len_ += static_cast<std::size_t>(n);
        return *this;
    }

    bool ok() const { return !failed_; }
    std::size_t size() const { return failed_ ? 0 : len_; }
    std::string_view view() const { return failed_ ? std::string_view() : std::string_view(buf_, len_); }
    const char* c_str() const { return buf_; }

private:
    Composer& fail()
    {
        failed_ = true;
        if (buf_ != nullptr && start_ < size_) buf_[start_] = '\0';
        return *this;
    }

    char* buf_;
    std::size_t size_;
    std::size_t start_;
    std::size_t len_;
    bool failed_ = false;
};
