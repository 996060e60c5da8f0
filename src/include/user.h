// user.h — the line module: the per-line records (g_sUserInfo, struct_sys.h), their start-up,
// their 10 ms step and the lookups by which the SIP side and the board find a line; and the
// COR settings it hands to the board.
#pragma once
#include <cstdint>

#include "struct_sys.h"
#include "user_s2p.h"

extern int g_iCallTh;          // the last call number taken; 0 at start-up
extern int g_iLine4InputEna;   // four-wire input of line 7 (nine lines) enabled; -1 at load

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
// Closes the media (UserCloseRtpChn), then UserRelease.
void UserCallEnd(USER_INFO_T* user);
// Closes the line's DSP channel (nothing without one); both channel numbers become -1.
void UserCloseResChannel(USER_INFO_T* user);
void UserReOpenResChannel(USER_INFO_T* user);  // close, then open

// The clock of the one-second call guard (monotonic microseconds); null: the program's own.
void User_SetClock(std::int64_t (*clock_us)());
long long User_NowMs();
// True while a call may not start: within a second of the last INVITE or media close.
bool UserWithinCallGuard(const USER_INFO_T* user);

// ---- media of a call
// Set-up of the record for a call the line places (the dialled number) or answers.
void UserInitAsCaller(USER_INFO_T* user, const char* callee);
void UserInitAsCallee(USER_INFO_T* user, const SYS_S2P_CALLINFO_T* info);
// A peer SDP's audio (and fax) address: 0 usable; -1 no audio, -2 bad IP, -3 bad port, -4 bad
// fax address.
int UserCheckSdp(int sip_chn, const SIP_SDP* sdp);
// The first codec of the peer's list that the line has (the peer's order wins), or -1.
int UserChooseCoder(const USER_INFO_T* user, const SIP_SDP* sdp);
// The direction that answers a peer's (sdp_media).
int UserMirrorMedia(int media);
// Accepts a peer SDP: check, codec, mirrored direction, remote RTP address. 0, or -1 (the
// record unchanged).
int UserInitCallRes(USER_INFO_T* user, SIP_SDP* sdp);
// The SDP the line answers with: its codec (and telephone events), its address, its direction.
void UserSetSdpAnswer(const USER_INFO_T* user, SIP_SDP* answer);
// Opens the call's DSP and RTP media once per call; 0, or -1 without a DSP channel.
int UserOpenRtpChn(USER_INFO_T* user);
// Closes them (always, when asked); 0, or -1 without a DSP channel.
int UserCloseRtpChn(USER_INFO_T* user);

// ---- call progress
// The only way a line's state changes: shared memory, the idle hook, the talk prompt.
void UserSetStatus(USER_INFO_T* user, USER_STATUS_E status);
// One 10 ms step of the line's state.
void UserCheckStatus(USER_INFO_T* user);
// Places a call: 0, or -1 refused (no number, within the call guard) or not sent.
int UserMakeCall(USER_INFO_T* user, const char* callee);
// Dials a complete number: a call when registered (and no broadcast on line 0), else the busy
// tone. UserMakeCall's result, or -1.
int UserGetKeyOver(USER_INFO_T* user, const char* number);
// Starts a call-progress tone with PTT keyed (the state follows the tone); 0, or -1 without a
// DSP channel or when the DSP refuses.
int User_PlayToneStart(USER_INFO_T* user, SYS_PLAY_TONE_TYPE_E tone);
void UserPlayToneStop(USER_INFO_T* user);
// Re-call: arm a record (up to its maximum), adjust the BYE record after a failure, end one.
void UserCheckRecall(SYS_RECALL_T* recall, USER_INFO_T* user);
void UserJudgeByeRecall(USER_INFO_T* user);
void UserReCallEnd(SYS_RECALL_T* recall);

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
// channel, taken by dialling (user_dial.h). 0, or -1 when no line has the channel, it takes no
// keys, or the code is no dial key (A-D).
int User_OnGetKeyFromDsp(int dsp_chn, int key);

// The automatic call from line 0 to line 1 while the board's own softswitch is current, and
// its end (with the restart of that softswitch) when the host is back. Every 10 ms.
void UserAutoEstablishCall();
void UserEndAutoCall();
extern int g_iAutoEstablishEnable;  // the automatic call has been started

// What the media path calls on the line side: PTT keying by the network, local voice first,
// floor requests and releases carried as RTP telephone events (by SIP channel), and the
// network voice start and stop callbacks given to the RTP layer (by RTP channel). 0.
// Keying and releasing PTT act only on a change (board output, four-wire mute, PTT timers).
int User_SetPTTOn(USER_INFO_T* user);
int User_SetPTTOff(USER_INFO_T* user);
int User_PstnVoiceFirst(USER_INFO_T* user);
int UserRequestPro(int sip_chn);
int UserReleasePro(int sip_chn);
int UserSendCorFromVoxNetWork(int res_chn);
int UserSendCorOffFromVoxNetWork(int res_chn);
