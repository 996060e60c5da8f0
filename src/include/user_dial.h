// user_dial.h — dialling on a line: the digits the radio keys in (reported by the DSP through
// User_OnGetKeyFromDsp, user.h), the five function keys stored per line by the configuration,
// and the dial map that says when a number is complete. A complete number goes to
// UserGetKeyOver (user.h).
#pragma once
#include "struct_sys.h"

// The digits held (all of them, from the first) against the line's function keys, in the order
// off-hook, hang-up, continuous dial, hot line, cancel re-call. 0 when they are the start of a
// key (the line then waits for its next digit) or a whole key whose handler did not refuse;
// -1 when no key matches, the handler refused or the line does not exist.
int UserCheckIsFuncKey(int line, const char* digits);
// May a function key act, by the state the line was in before the key began? 0 allowed (the
// digits are emptied), -1 refused (the state before the key is restored).
int UserCanProcFuncKey(USER_INFO_T* user);

// The function-key handlers the configuration stores in m_sKeyCfg; each takes the line index
// and returns 0, or -1 when refused or the line does not exist. The hot-line handler is also
// what the board calls when a carrier is held on an idle line.
int User_OnHangOffKey(int line);       // the dial tone
int User_OnHangUpKey(int line);        // CANCEL, BYE or the busy tone, by the state
int User_OnConDialKey(int line);       // digit collection without the dial tone
int User_OnHotLineKey(int line);       // dials the line's hot-line number
int User_OnCancelReCallKey(int line);  // a pending re-call is dropped

void UserDtmfRecvClear(USER_INFO_T* user);

// The dial map (g_sDialRuleTable): 1 when exactly one rule matches the whole number and no
// rule could still match it with more digits; else 0.
int UserCheckNumInDialMap(const char* number);
// One rule against a number, a character at a time: 'x' is any character, "[...]" one
// character of a list of characters and ranges ("[1,3-5,8]"), anything else itself.
// E_PART_MATCH when the number is a start of what the rule accepts; E_NO_MATCH also for a
// list that is not closed before the rule ends.
MATCH_TYPE_E UserMatchRule(const char* number, const char* rule);
