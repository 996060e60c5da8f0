// text.h — fixed text fields and the bounded copies into them.
#pragma once
#include <cstddef>
#include <cstring>
#include <string_view>

template <std::size_t N>
struct Text {
    static_assert(N > 0);
    char s[N] = {};  // always NUL-terminated
    std::string_view view() const { return {s, std::strlen(s)}; }
    bool empty() const { return s[0] == '\0'; }
    void clear() { s[0] = '\0'; }
    static constexpr std::size_t capacity = N;
};

// Copies src into a buffer of dst_size bytes, cut to dst_size - 1, always terminated.
// Returns the number of bytes copied. A dst_size of 0 writes nothing.
inline std::size_t copy_bounded(char* dst, std::size_t dst_size, std::string_view src)
{
    if (dst == nullptr || dst_size == 0) return 0;
    std::size_t n = src.size() < dst_size - 1 ? src.size() : dst_size - 1;
    if (n) std::memmove(dst, src.data(), n);
    dst[n] = '\0';
    return n;
}

template <std::size_t N>
std::size_t copy_text(Text<N>& dst, std::string_view src) { return copy_bounded(dst.s, N, src); }

template <std::size_t N>
std::size_t copy_text(char (&dst)[N], std::string_view src) { return copy_bounded(dst, N, src); }

// A fixed character field read as text: up to its first NUL, never past its end, so a field
// filled to the last byte is still read safely.
template <std::size_t N>
std::string_view field_view(const char (&field)[N]) { return {field, strnlen(field, N)}; }
