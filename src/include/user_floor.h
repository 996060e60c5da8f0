// user_floor.h — radio floor control of the lines: PTT for network voice and for the far
// end's floor requests, the line's own requests when its receiver is active, the floor INFOs
// and their answers, and the PTT, COR-bar and four-wire un-mute timers. The callbacks the
// media path and the SIP manager call are declared in user.h and user_s2p.h.
#pragma once
#include "struct_sys.h"

// A text INFO (body kind 4) on the stack channel; -1 for a channel below 0.
int User_SendSipInfo(int chn, const char* text);
// The seize pair ("taken", "request") and the release pair ("idle", "release") of call-info
// INFOs with the call's calling number and consecutive request ids; -1 for a channel below 0.
int User_SendTakenSipInfo(int chn, const char* caller);
int User_SendIdleSipInfo(int chn, const char* caller);
// The floor message for a request (E_REQ_SPEEK_RIGHT) or release (E_RELEASE_SPEEK_RIGHT) in
// the call-info form and in the text form, with the line's own number; 0, or -1 when it
// cannot be built or the line has no call.
int User_SeepkRight(USER_INFO_T* user, SPEEK_RIGHT_E state);
int User_SeepkRightDtmf(USER_INFO_T* user, SPEEK_RIGHT_E state);
// The 200 to a far end's call-info INFO, with its request id and type and the result
// ("accept", "reject", "ack"); 0, or -1 when it cannot be built.
int User_VoiceRespCtrl(USER_INFO_T* user, VOICE_CTRL_E ctrl, const char* reqid, const char* ptttype);

// The floor step of a talking line, every 10 ms.
void UserStatusOnTalking(USER_INFO_T* user);
// The 10 ms timers of every line: PTT time-out, COR bar, four-wire input un-mute.
void UserCheckPttTime(USER_INFO_T* user);
void UserCheckSampleTime(USER_INFO_T* user);
void User_SetOffAudio(USER_INFO_T* user);

// Network voice ends whatever keyed PTT: after the PTT time-out, and for the line's own voice.
int UserSendCorOffFromVoxNetWorkLongTime(int res_chn);
int UserSendCorOffFromVoxNetWorkByPstn(int res_chn);
