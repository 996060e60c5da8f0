// sipman.h — the SIP manager: binds the lines to the SIP stack. It sets the stack up, takes
// every report of the stack through one callback and hands it to the line logic, the
// registration module or the OPTIONS supervision, sends every SIP message the gateway
// originates, answers digest challenges with the line's credentials and keeps the addresses
// of the current and the last successful softswitch.
#pragma once
#include "define_sys.h"
#include "sip.h"

struct SYS_STATISTIC_CHN_T {
    int m_iChnTotal;  // stack channels: 4 per line in use + 4
    int m_iChnCur;    // channels the manager counts as in use
};
struct SYS_STATISTIC_INFO_T {
    SYS_STATISTIC_CHN_T m_sSipChn;
};

inline constexpr int kAuthTableSize = 32;

extern IPV4_ADDRESS g_sCurSwitchAddr;   // server the last REGISTER or removal went to
extern IPV4_ADDRESS g_sSuccSwitchAddr;  // server of the last successful registration; INVITEs go there
extern int g_iAuthTypeToMd5[kAuthTableSize];  // by AUTH_MSG_TYPE_E: digest method handed back
extern int g_iAuthTypeToMsg[kAuthTableSize];  // by AUTH_MSG_TYPE_E: code that re-sends the request
extern SYS_STATISTIC_INFO_T g_sStatisticInfo;
extern const char g_sPhoneStatusToSwitch[6][32];

// Configures the stack; 0, or -1 when the stack refuses the configuration.
int SipMan_Init();
// The stack's receive callback; runs inside LIBSIP_Thread.
void SipManRecvMsgFromSip(int iType, int iSipChn, int iDataType);

// Senders: the send's result unless said; the last argument is the line (log channel).
int SipMan_SendError(int iSipChn, sip_code_method reason, int line);
int SipMan_SendSipInfo(int iSipChn, const char* text, int line);
int SipMan_SendRing(int iSipChn, int line);
int SipMan_SendAnswer(int iSipChn, SIP_SDP* sdp, int line);
int SipMan_SendAck(int iSipChn, int line);
int SipMan_SendBye(int iSipChn, int line);  // 0 once sent; the line's BYE answer handling runs at once
// A BYE alone, for a channel the SIP manager frees after the report at hand; the send's result.
int SipMan_SendByeOnly(int iSipChn, int line);
int SipMan_SendBye200OK(int iSipChn, int line);
int SipMan_SendCancel(int iSipChn, int line);
int SipMan_SendReInviteOK(int iSipChn, SIP_SDP* sdp, int line);
int SipMan_SendReInvite(int iSipChn, SIP_SDP* sdp, sdp_media media, int line);
// A new call channel into *out; the channel, or -1.
int SipMan_SendInvite(int* out, const char* caller, const char* callee, SIP_SDP* sdp, int ptime, int line);
// REGISTER of number to server (null: the current server) on a registration channel (below 0:
// a new one); the channel, or -1.
int SipMan_SendRegister(int iRegChn, int expires, const char* tel, const IPV4_ADDRESS* server, int line);
// Removal (Expires 0); the channel, 0 when the line has none (nothing sent), -1 without number.
int SipMan_SendUnRegister(int iRegChn, const char* tel, const IPV4_ADDRESS* server, int line);
// OPTIONS probe on the supervision's channel (below 0: a new one) to server; the channel, or -1.
// The channel stays with the supervision: the manager never frees it.
int SipMan_SendOption(int iSipChn, const IPV4_ADDRESS* server);

// The 200 to a fax re-INVITE, its SDP carrying only the fax stream.
int SipMan_SendFaxReInviteOK(int iSipChn, const FAX_INFO* fax, int line);
// PUBLISH of a line state (its text of g_sPhoneStatusToSwitch) on a new channel to the
// successful server; the channel, or -1.
int SipMan_SendPublish(const char* tel, SYS_LINE_STATUS_E status, int line);
int SipMan_SendRing183(int iSipChn, SIP_SDP* sdp, int line);  // 183 with early media
int SipMan_SendRing182(int iSipChn, int line);
int SipMan_SendRefer(int iSipChn, const REFER_INFO* refer, int line);
int SipMan_SendUpdate(int iSipChn, const char* from, int line);  // UPDATE with a new From
// 200 to an UPDATE with an SDP of addr and the one codec.
int SipMan_SendUpdateOK(int iSipChn, const IPV4_ADDRESS* addr, int coder, int line);
int SipMan_SendNotifyOK(int iSipChn, int line);
// The current server (where REGISTERs go): set, read; 1 when addr is it, else 0.
int SipMan_SetCurrentSwitchAddr(const IPV4_ADDRESS* addr);
const char* SipMan_GetCurSwitchIP();
int SipMan_GetCurSwitchPort();
int SipMan_JudgeCurrentSwitch(const IPV4_ADDRESS* addr);

// Frees a stack channel; 0.
int SipMan_ResetChn(int iSipChn);
// Frees a channel the manager counted as in use (a REGISTER's, a call's) and lowers the count;
// 0, or -1 for a channel below 0.
int SipMan_ReleaseChn(int iSipChn);
// The packet time of the channel's received SDP, or -1.
int SipMan_GetRtpFrameSize(int iSipChn);
// 0 when the successful server changed, -1 for none or the same one.
int SipMan_SetSuccessSwitchAddr(const IPV4_ADDRESS* addr);
