// TEMPORARY stand-in of the OPTIONS supervision so the gateway links: it probes nothing and
// never switches. Deleted when src/option_register.cpp is on main.
#include "option_register_stub.h"

int g_iHaveRegHost = 0;
IPV4_ADDRESS g_sRegAddrSucc = {};
SYS_REG_SW_NAME_E g_eRegAddrSucc = E_REG_SW_HOST;

int OPT_Init(OPT_INIT_T* init) { return init && init->m_pfuncSwitchNoRsp && init->m_pfuncSwitchBack ? 0 : -1; }
void OPT_Process() {}
int OPT_Recv200OK(int) { return 0; }
void OPT_SetCurRegAddr(SYS_REG_SW_NAME_E) {}
int OPT_CheckHostAddr() { return 1; }
int OPT_CheckSwitchIpIsLo() { return 0; }
