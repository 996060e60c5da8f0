// option_register.h — the OPTIONS supervision: one node per configured softswitch (the host
// and three backups), probed with OPTIONS every few seconds; it decides when every line moves
// to another softswitch and when it goes back to the host, and the registration module carries
// the move out through the two callbacks it hands in at start-up.
#pragma once
#include "struct_sys.h"

enum OPT_REG_STATUS_E : int {
    E_OPT_REG_STATUS_WAIT_RSP = 0,  // probe out (and the state at load)
    E_OPT_REG_STATUS_NO_RSP = 1,    // its answer time passed
    E_OPT_REG_STATUS_RSPED = 2,     // a 200 came back
};

struct OPT_REG_NODE_T {
    SYS_REG_SW_NAME_E m_eSwCnt;  // the node's softswitch, also its index
    int m_iSipChn;               // SIP stack channel of its probes, -1 until the first; kept
    int m_iFlagNoRsp;            // never used
    int m_iCntNoRsp;             // probes in a row without answer
    int m_iCntExpires;           // seconds since the last probe
    OPT_REG_STATUS_E m_eOptRegStatus;
    IPV4_ADDRESS* m_pOptDstAddr;  // the configured address: a change reaches the next probe
};

// Both get (from, to): the softswitch left and the one every line goes to.
typedef void (*OPT_SWITCH_CALLBACK)(SYS_REG_SW_NAME_E from, SYS_REG_SW_NAME_E to);
struct OPT_INIT_T {
    OPT_SWITCH_CALLBACK m_pfuncSwitchNoRsp;  // the current softswitch went silent
    OPT_SWITCH_CALLBACK m_pfuncSwitchBack;   // the host answers again: back to it
};

extern OPT_REG_NODE_T g_sOptRegList[kMaxSwitchAddr];  // index = SYS_REG_SW_NAME_E
extern SYS_FLAG_E g_eOptFlag;    // supervision on; on at load
extern int g_iOptSendExipres;    // seconds between probes of a softswitch
extern int g_iOptTimeOut;        // seconds after a probe at which it counts as unanswered
extern int g_iOptPktNumOfNoAns;  // unanswered probes in a row that make a switch
extern int g_iOptCntSwitch;      // switches made; none while above 4
// Host-priority mode: the host has been tried since the last successful registration. The
// registration module clears it on every success.
extern int g_iHaveRegHost;
extern OPT_INIT_T g_sOptInit;

// 0, or -1 with a warning when the record or either callback is missing (nothing is set then).
int OPT_Init(OPT_INIT_T* pOptInit);
// The one-second step.
void OPT_Process();
// A 200 to an OPTIONS on that stack channel.
void OPT_Recv200OK(int iSipChn);
// Makes softswitch i current as the supervision sees it; nothing for i outside 0..3.
void OPT_SetCurRegAddr(SYS_REG_SW_NAME_E eSwAddr);
// 1 when the current softswitch is the host, else 0.
int OPT_CheckHostAddr();
// 1 when the current softswitch's IP text is the board's own IP, else 0.
int OPT_CheckSwitchIpIsLo();

// Nothing in the system calls these three; each returns 0, or -1 with a warning out of range.
int OPT_SetFlag(SYS_FLAG_E eFlag);
int OPT_SetExpires(int iExpires);                  // 1..60
int OPT_SetNumofPacketForTimeOut(int iPktNum);     // 1..5
