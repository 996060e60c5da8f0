// user.h — the line module: the per-line records (g_sUserInfo, struct_sys.h) and the
// operations on them. So far the lookup by line number and the COR settings it hands to
// the board.
#pragma once
#include "struct_sys.h"

// The line with that number, in use and below the line count; null when there is none.
USER_INFO_T* User_GetByUserChn(int line);

// Each gives the board the line's setting: 0, or -1 when the line does not exist.
int User_SetCorParity(int line);           // the line's COR parity
int User_SetCorRead(int line);             // only checks the line
int User_SetBateTime(int line, int ms);    // the inhibit time after the line's PTT release
