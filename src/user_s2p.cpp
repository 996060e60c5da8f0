// The line logic's handlers of SIP events.
//
// JOIN: the call-progress machine, the line SIP events and floor control fill these. Until
// then a line takes no call: a new call is refused as unavailable, every other call event
// finds no line, and a failure answer is only told apart as belonging to a registration.
#include "user_s2p.h"

#include "arm_environment.h"
#include "multi_log.h"
#include "sipman.h"
#include "user.h"

int User_S2POnNewCall(SYS_S2P_CALLINFO_T* info)
{
    if (info == nullptr) return -1;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[UserOnNewCall]-- 不能根据被叫号码[%s]找到pUser", info->m_chCallee);
    SipMan_SendError(info->m_iSipChn, SIP_RESPONSE_MSG_480_TEMPORARILY_UNAVAILABLE, -1);
    return -1;
}

int User_S2POnRing(int, SIP_SDP*) { return 32; }
int User_S2POnAnswer(int, SIP_SDP*) { return -1; }
int User_S2POnAck(int, SIP_SDP*) { return -1; }
int User_S2POnHangUp(int) { return -1; }
int User_S2POnBye200OK(int) { return -1; }
int User_S2POnCancel(int) { return -1; }
int User_S2POnTimeOut(int, sip_code_method) { return -1; }

int User_S2POnCallFailed(int chn, sip_code_method reason, sip_code_method method)
{
    if (chn < 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[User_S2POnCallFailed]--c_iSipChn < 0 ");
        return -1;
    }
    USER_INFO_T* user = User_GetBySipChn(chn);
    if (user == nullptr) user = User_GetByRegChn(chn);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[User_S2POnCallFailed]--can not use Chn[%d] find user", chn);
        return -1;
    }
    const int line = user->m_iUserChn;
    const bool reg = method == SIP_REQUEST_MSG_REGISTER;
    switch (reason) {
    case SIP_RESPONSE_MSG_403_FORBIDDEN:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, line, "%s", reg ? "注册禁止" : "呼叫禁止");
        if (reg) return 0;
        break;
    case SIP_RESPONSE_MSG_404_NOT_FOUND:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, line, "%s", reg ? "用户不存在, 注册失败" : "用户不存在, 呼叫失败");
        if (reg) return 0;
        break;
    case SIP_RESPONSE_MSG_480_TEMPORARILY_UNAVAILABLE:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, line, "电话暂时无法接通");
        break;
    case SIP_RESPONSE_MSG_486_BUSY_HERE:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, line, "用户通话中");
        break;
    case SIP_RESPONSE_MSG_487_REQUEST_TERMINATED:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, line, "呼叫取消");
        break;
    default:
        break;
    }
    if (user->m_sRegInfo.m_iRegChn == chn) return 0;
    // JOIN: a failed call closes its media, arms the re-calls and plays the busy tone here.
    return -1;
}

int User_S2POnReInvite(int, SIP_SDP*) { return -1; }
int User_S2POnReInviteOK(int, SIP_SDP*) { return -1; }
int User_S2POnNotify(int, LIBSIP_XML_T*) { return 0; }
int User_S2POnNotifyRefer(int, LIBSIP_XML_T*) { return 0; }
int User_S2POnUpdate(int) { return 0; }
int User_S2POnDisAck(int) { return 0; }
int User_S2POnGetTextSipInfoDtmf(int, const char*) { return -1; }
int User_S2POnGetTextSipInfo(SIP_CALL_INFO*, int) { return -1; }
int User_S2POnGetTextSipInfoOkDtmf(const char*, int) { return -1; }
int User_S2POnGetTextSipInfoOk(SIP_CALL_INFO*, int) { return -1; }
int User_S2POnGetTextSipInfoOkNoCallInfo(int) { return -1; }

// JOIN: the line SIP events fill this: a broken media connection re-INVITEs or ends the call
// by NO_RTP_DEAL. Until then an event only finds its line.
int UserDspReportMsg(int dsp_chn, API_CALLBACK_SIGNAL_EVENT_E)
{
    if (User_GetByResChn(dsp_chn - g_iChnChangeFactor) == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[User_DspReportMsg]-- 根据资源通道[%d]查找用户号码失败", dsp_chn);
        return -1;
    }
    return 0;
}

// JOIN: dialling fills this: function keys, the dial map and the call. Until then a key only
// finds its line and is dropped.
int User_OnGetKeyFromDsp(int dsp_chn, int)
{
    USER_INFO_T* user = User_GetByResChn(dsp_chn - g_iChnChangeFactor);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[User_OnGetKeyFromDsp]-- User_GetByResChn failed... return");
        return -1;
    }
    if (user->m_iKeyEnable == 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[User_OnGetKeyFromDsp]-- 收键功能关闭中");
        return -1;
    }
    return 0;
}
