// option_register_stub.h — TEMPORARY: the OPTIONS supervision's interface as the registration
// module and the SIP manager call it, until src/include/option_register.h is on main; then
// this file and src/option_register_stub.cpp go and the includes name option_register.h.
#pragma once
#include "define_sys.h"

typedef void (*OPT_SWITCH_FUNC)(SYS_REG_SW_NAME_E from, SYS_REG_SW_NAME_E to);
struct OPT_INIT_T {
    OPT_SWITCH_FUNC m_pfuncSwitchNoRsp;
    OPT_SWITCH_FUNC m_pfuncSwitchBack;
};

extern int g_iHaveRegHost;
extern IPV4_ADDRESS g_sRegAddrSucc;
extern SYS_REG_SW_NAME_E g_eRegAddrSucc;

int OPT_Init(OPT_INIT_T* init);
void OPT_Process();
int OPT_Recv200OK(int iSipChn);
void OPT_SetCurRegAddr(SYS_REG_SW_NAME_E sw);
int OPT_CheckHostAddr();
int OPT_CheckSwitchIpIsLo();
