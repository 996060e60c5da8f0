// arm_environment.h — the board itself as radiogate sees it: the number of lines, the CPLD
// version (DSP channel offset and four-wire card generation), COR and power sampling with
// the inhibit after a line's own PTT release and the hot line, the PTT outputs, the run,
// status and COR LEDs, the radio channel, the IP jumpers, the reset input, the start-up
// record and the board's own network addresses. Main loop only.
#pragma once
#include "define_sys.h"

struct COR_INFO_T {
    int m_iBateTime;            // ms of inhibit counted
    int m_iCorInfo;             // COR level as reported after inhibit and hot-line handling
    SYS_FLAG_E m_eBateFlag;     // inhibit in force
    SYS_FLAG_E m_eBateGetFlag;  // old card: the last read matched the active level
    int m_iPowerInfo;           // power input, inverted
    int m_iPttHotTime;          // ms of continuous active COR
    int m_iBateToStop;          // 10 ms steps counted while inhibit is in force
    int m_iPttHotCountMode2;
    int m_iPttHotTimeMode2;
    long stOldTime;  // not used
};

extern int g_iChnChangeFactor;  // added to a line index to get its DSP channel: 0 or 1
extern int g_iCardType;         // four-wire card: 0 old (CPLD below 12), 1 new
extern int g_iCorAbleValue[kMaxUserChn];     // the input level at which a line's COR is active
extern int g_iBateTimeThread[kMaxUserChn];   // each line's inhibit time, ms
extern int g_iCorFlag[kMaxUserChn];          // the hot line fired for this COR activation
extern COR_INFO_T g_sCorInfo[kMaxUserChn];

// Board start-up: 0, or -1 when an address of "eth0" cannot be read.
int ArmEnv_Init();
void ArmEnv_Quit();     // error LED dark, device closed
void ArmEnv_Process();  // the 10 ms step: COR, then power sampling

void ArmEnv_SetCorParity(int line, int parity);
void ArmEnv_SetCorRead(int line, int level);
void ArmEnv_SetBateTime(int line, int ms);
int ArmEnv_GetCorInfo(int line);  // 1 COR active, else 0
// Keys (E_FLAG_ON) or releases (E_FLAG_OFF) a line's PTT output.
void ArmEnv_SetPTT(int line, int flag);

// The 1 s steps, in the order the loop runs them.
void ArmEnv_SetWatchDog();
void ArmEnv_SetLed();  // no effect
void ArmEnv_Set4StatusLed();
void ArmEnv_Get4IPValue();
void ArmEnv_SetIp();

void ArmEnv_ChannelSwitch(int channel);
int ArmEnv_GetCardType();
// -1 when the COR probe reads the line differently at both probe levels, else 0.
int ArmEnv_CheckCorOnAir(int line);
int ArmEnv_GetPowerByChn(int line);  // the line's power input; 0 out of range
