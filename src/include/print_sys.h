// print_sys.h — printable names of radiogate's enumeration values.
// A table is rows of (value, text) ended by a row whose value is -2; -1 is an ordinary value.
#pragma once

struct PRINT_INT_TO_CHAR_T {
    int m_iMsgEnum;
    char m_chMsgPrint[128];
};

inline constexpr int kPrintTableEnd = -2;

extern const PRINT_INT_TO_CHAR_T g_sPrintRegServer[];
extern const PRINT_INT_TO_CHAR_T g_sPrintRegResult[];
extern const PRINT_INT_TO_CHAR_T g_sPrintLineStatus[];
extern const PRINT_INT_TO_CHAR_T g_sPrintUserStatus[];
extern const PRINT_INT_TO_CHAR_T g_sPrintToneType[];
extern const PRINT_INT_TO_CHAR_T g_sPrintAudioCodeType[];
extern const PRINT_INT_TO_CHAR_T g_sPrintFlag[];
extern const PRINT_INT_TO_CHAR_T g_sPrintBufDirect[];
extern const PRINT_INT_TO_CHAR_T g_sPrintIPAssignType[];

// The text of the first row holding value. A value the table lacks, or a null table, gives
// the empty text: the result always goes straight into a "%s".
const char* PrintEnum(const PRINT_INT_TO_CHAR_T* table, int value);
// The same, but null when the value is missing (for callers that leave a field empty then).
const char* PrintEnumOrNull(const PRINT_INT_TO_CHAR_T* table, int value);
