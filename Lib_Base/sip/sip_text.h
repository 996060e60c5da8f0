// sip_text.h — the stack's message bound, and the few raw looks at a received text
// that the parser cannot give (header values it drops, such as a Call-Info without angle brackets).
#pragma once
#include <cstddef>
#include <string_view>

#include "composer.h"
#include "text.h"

inline constexpr int kSipMsgMax = 2048;   // every message the stack sends fits here, or is not sent

// The value of the first header line named name (long form, any case) in a received text, up to the
// end of that line, without the blanks around it; empty when there is none. Looks only at the header
// section.
std::string_view Sip_Raw_Header(std::string_view text, std::string_view name);

// The body of a received text: what follows the first empty line.
std::string_view Sip_Raw_Body(std::string_view text);

// Fresh random tokens for tags, branches (with the magic cookie) and Call-IDs.
void Sip_Random_Token(char* out, int size, int digits);

// Milliseconds of the program's one monotonic clock.
long long Sip_Now_Ms();

// Digits-only decimal number of at most 9 digits; -1 for anything else.
int Sip_Read_Number(std::string_view s);
