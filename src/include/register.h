// register.h — registration of every line with the current softswitch: the first REGISTER,
// refreshes at 0.8 of the granted lifetime, three timed waiting phases for the answer, retries
// 30 s after a failure or a time-out, removal when the configuration changes or deletes a line,
// and the move of all lines to another softswitch when the OPTIONS supervision asks for it.
// Its clock is REG_Process, once a second.
#pragma once
#include "struct_sys.h"

extern int g_iSwitchChange;  // the supervision asked to go back to the host; never cleared

// Hands the OPTIONS supervision the two switch callbacks.
int REGISTER_Init();
void REG_Process();
// An answer to a REGISTER (E_REG_SUCC, E_REG_UNREGISTER with its Date text) or a failure.
void REG_OnReport(int c_iSipChn, REG_RESULT_E result, const char* pchDate);
// The lifetime the server granted in its answer: the next refresh leaves at 0.8 of it.
void REG_OnGranted(int c_iSipChn, int expires);
// A 423 with the least lifetime the server takes: 0 when the line asks again with it at the
// next step, -1 when that asks for nothing new (the answer is then an ordinary failure).
int REG_OnIntervalTooBrief(int c_iSipChn, int min_expires);

int Reg_UserInit(int iIndex);
int REG_UserRegByChn(int line, int unused);
int REG_UserUnRegByChn(int line, int unused);
void REG_UserRegAll_Now();
void REG_UserRegAll();
void REG_UserUnRegAll();
void REG_SetUserRegisterStatus(USER_REG_INFO_T* reg, REG_STATUS_E status);
void REG_DeleteRegisterUser(USER_INFO_T* user);
void REG_ModifyRegisterUser(USER_INFO_T* user);
void RegChangeSwitchServer(SYS_REG_SW_NAME_E from, SYS_REG_SW_NAME_E to);
void RegChangeSwitchServerNoRsp(SYS_REG_SW_NAME_E from, SYS_REG_SW_NAME_E to);
// Run whenever a line enters the idle state: a waiting deletion or change starts here.
void UserCheckRegStatus(USER_INFO_T* user);
// The softswitch every REGISTER goes to.
SYS_REG_SW_NAME_E REG_GetRegSwitch();
