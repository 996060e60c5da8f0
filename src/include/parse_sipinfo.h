// parse_sipinfo.h — the floor-control INFO bodies: the call-info form
// "ptttype=<type>;ptttel=<number>;reqid=<id>[;result=<result>]" and the text form
// "@<id>-<number>-<word>", each field of a T_MSG_STRUCT at most 31 characters.
#pragma once
#include "struct_sys.h"

// Every encoded body fits the 128-byte work area of the stack's Call-Info text.
inline constexpr int kSipInfoBodyMax = 128;

// Call-info form of msg into out[0..size): ";result=" is added only when comment is exactly
// "request". 0; -1 for a missing argument or size below 1, an empty request id or type, a
// body longer than 127 characters, or one that does not fit size (nothing is written then).
int Enc_Sipinfo_ExternMsg(char* out, int size, const char* comment, const T_MSG_STRUCT* msg);
// Text form "@" id "-" number "-" word; 0, or -1 as above (empty id or number).
int Enc_Sipinfo_ExternMsgDtmf(char* out, int size, const T_MSG_STRUCT* msg);

// The call-info form from text[0..length) (it ends earlier at a NUL): type, request id and,
// when present, result; the number is not read. 0; -1 for a missing argument, a length below
// 1, no type ended by ';', no request id, or a value that is empty where a key has none or
// longer than its field. msg is cleared first.
int Dec_Sipinfo_ExternMsg(const char* text, int length, T_MSG_STRUCT* msg);
// The text form: id (after the first character, up to the first '-'), number (up to the next
// '-') and word (the rest). 0; -1 for a missing argument, a length below 1, a missing '-' or a
// part longer than its field. msg is cleared first.
int Dec_Sipinfo_ExternMsgDtmf(const char* text, int length, T_MSG_STRUCT* msg);
