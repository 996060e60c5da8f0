// user.h — the line module: the per-line records (g_sUserInfo, struct_sys.h), their start-up,
// their 10 ms step and the lookups by which the SIP side and the board find a line; and the
// COR settings it hands to the board.
#pragma once
#include "struct_sys.h"

extern int g_iCallTh;  // the last call number taken; 0 at start-up

// Starts the line side: four-wire board, SIP manager, registration, media path, every line.
// 0, or -1 after "sip module init fail\n" or "AC490 init fail\n" on standard error.
int User_Init();
// One 10 ms step of every line in use, in line order.
void User_Process();
// (Re)initialises the call part of a line in use; nothing for a free slot.
void User_InitChnData(int line);
// Takes the line's DSP channel (m_iChnRes follows it) and opens it.
void UserOpenResChannel(USER_INFO_T* user);
// Ends the call state of a line: back to idle, PTT released, call details cleared.
void UserRelease(USER_INFO_T* user);

// Lookups over the lines in use below the line count: the first match, null or -1 when none.
USER_INFO_T* User_GetByUserChn(int line);
USER_INFO_T* User_GetBySipChn(int sip_chn);
USER_INFO_T* User_GetByRegChn(int reg_chn);
USER_INFO_T* User_GetByTel(const char* tel);  // the first 63 characters compared
USER_INFO_T* User_GetByResChn(int res_chn);   // the RTP channel is the line number
USER_REG_INFO_T* User_GetRegInfoByRegChn(int reg_chn);
USER_REG_INFO_T* User_GetRegInfoBySipChn(int sip_chn);
// -1 when a line uses that SIP channel for its call, else 0.
int User_CheckNotifySipChn(int sip_chn);
// The codec chosen for the call on that SIP channel, or -1.
int User_GetUseCoder(int sip_chn);
// The line's voice-COR flag; on when no line has that RTP channel.
SYS_FLAG_E User_GetVoiceCorFlag(int res_chn);

// Each gives the board the line's setting: 0, or -1 when the line does not exist.
int User_SetCorParity(int line);           // the line's COR parity
int User_SetCorRead(int line);             // only checks the line
int User_SetBateTime(int line, int ms);    // the inhibit time after the line's PTT release

// The DSP's key callback: a digit code (0-9, 10 '*', 11 '#', 12-15 'A'-'D') heard on a DSP
// channel. 0, or -1 when no line has the channel or it takes no keys.
int User_OnGetKeyFromDsp(int dsp_chn, int key);

// What the media path calls on the line side: PTT keying by the network, local voice first,
// floor requests and releases carried as RTP telephone events (by SIP channel), and the
// network voice start and stop callbacks given to the RTP layer (by RTP channel). 0.
int User_SetPTTOn(USER_INFO_T* user);
int User_SetPTTOff(USER_INFO_T* user);
int User_PstnVoiceFirst(USER_INFO_T* user);
int UserRequestPro(int sip_chn);
int UserReleasePro(int sip_chn);
int UserSendCorFromVoxNetWork(int res_chn);
int UserSendCorOffFromVoxNetWork(int res_chn);
