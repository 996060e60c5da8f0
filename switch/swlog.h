// swlog.h — the switch's log writer and its network-interface lookups.
#pragma once
#include <cstddef>
#include <initializer_list>
#include <string_view>

inline constexpr std::size_t kLogTextMax = 10000;  // every caller formats into this much
inline constexpr int kLogRestartWrites = 20000;

// Appends text to "/tmp/log/softswitch.log" while sip_debug is not 0. The texts of a loop pass
// are gathered and reach the file together at Write_Log_Flush, which the loop calls at the end
// of every pass (and the process at its exit). The file is kept open, and opened again when the
// name no longer leads to it (rotated, renamed or deleted); after 20000 appends the file is
// started afresh. "/tmp/log" is never created here.
void Write_Log(const char* text);
// Write_Log of each text in turn (at most 8; each ends at its first NUL): the file, the restart
// count and the mirror see what as many Write_Log calls would give them.
void Write_Log_Texts(std::initializer_list<std::string_view> texts);
// Writes the gathered texts to the file the name leads to now.
void Write_Log_Flush();

// Formats into a 10000-byte buffer (cut there) and hands it to Write_Log. Text that arrived
// from outside goes in as an argument ("%s"), never as the format.
void Write_Logf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A failure the console must show too: printed on standard output, then logged.
void Report_Console_And_Log(const char* text);

// IPv4 address of the interface named name ("eth..." or "lo...", any case): the shared
// 32-byte result text, or null. The result is cleared by the next lookup.
const char* Get_Interface_Ip(const char* name);

// Twelve upper-case hex digits of eth0's hardware address into buffer (13 bytes or more):
// 1, or -1 when it cannot be read (buffer untouched).
int Get_Mac_Addr(char* buffer, std::size_t size);

void Str_Hex_Upper(char* text);
