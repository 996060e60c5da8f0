// user_s2p.h — the line logic's side of the SIP events the SIP manager hands over (new call,
// ringing, answer, ACK, BYE, CANCEL, failure, time-out, re-INVITE, INFO, NOTIFY, UPDATE).
// Each returns 0, or -1 when no line owns the channel or the event is refused.
#pragma once
#include "dsp_res.h"
#include "sip.h"

struct SYS_S2P_CALLINFO_T {  // a new incoming call
    int m_iSipChn;
    int m_iRingType;  // the stack's alert level; not used further
    char m_chCaller[64];
    char m_chCallee[64];
    SIP_SDP m_sSdpInfo;  // all zero when the INVITE had no audio
};

int User_S2POnNewCall(SYS_S2P_CALLINFO_T* info);
int User_S2POnRing(int chn, SIP_SDP* sdp);  // 32 when no line has the channel
int User_S2POnAnswer(int chn, SIP_SDP* sdp);
int User_S2POnAck(int chn, SIP_SDP* sdp);
int User_S2POnHangUp(int chn);
int User_S2POnBye200OK(int chn);
int User_S2POnCancel(int chn);
int User_S2POnTimeOut(int chn, sip_code_method method);
// 0 for a registration channel (the manager then reports the registration failure).
int User_S2POnCallFailed(int chn, sip_code_method reason, sip_code_method method);
int User_S2POnReInvite(int chn, SIP_SDP* sdp);
int User_S2POnReInviteOK(int chn, SIP_SDP* sdp);
int User_S2POnNotify(int chn, LIBSIP_XML_T* xml);
int User_S2POnNotifyRefer(int chn, LIBSIP_XML_T* xml);
int User_S2POnUpdate(int chn);
int User_S2POnDisAck(int chn);
int User_S2POnGetTextSipInfoDtmf(int chn, const char* text);
int User_S2POnGetTextSipInfo(SIP_CALL_INFO* info, int chn);
int User_S2POnGetTextSipInfoOkDtmf(const char* text, int chn);
int User_S2POnGetTextSipInfoOk(SIP_CALL_INFO* info, int chn);
int User_S2POnGetTextSipInfoOkNoCallInfo(int chn);

struct USER_INFO_T;

// Barring of a new call to the line (the INVITE guard is taken when none applies): 0; -1 not
// registered, -2 broadcast on, -3 within a second of the last INVITE or media close.
int UserJudgeForbidden(USER_INFO_T* user);
// The far end's BYE once its voice has drained: media closed, re-call armed, busy tone.
void UserHangUpAfterPlayVoice(USER_INFO_T* user);
// The broadcast player ends a line's call with a BYE; 0, or -1 without a call.
int User_BroadBye(USER_INFO_T* user);

// The DSP's event callback for a DSP channel: 0, or -1 when no line has the channel.
int UserDspReportMsg(int dsp_chn, API_CALLBACK_SIGNAL_EVENT_E event);
