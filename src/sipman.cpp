#include "sipman.h"

#include <array>
#include <cstring>

#include "code.h"
#include "composer.h"
#include "multi_log.h"
#include "option_register.h"
#include "register.h"
#include "struct_sys.h"
#include "text.h"
#include "user.h"
#include "user_s2p.h"

// Before start-up and before the first registration both addresses name the usual SIP port
// of the board itself.
IPV4_ADDRESS g_sCurSwitchAddr = {"127.0.0.1", 5060};
IPV4_ADDRESS g_sSuccSwitchAddr = {"127.0.0.1", 5060};
int g_iAuthTypeToMd5[kAuthTableSize] = {};
int g_iAuthTypeToMsg[kAuthTableSize] = {};
SYS_STATISTIC_INFO_T g_sStatisticInfo = {};
const char g_sPhoneStatusToSwitch[6][32] = {"st_idle", "st_take_up", "st_ring", "st_talking", "st_disconnect", ""};

namespace {

constexpr char kUserAgent[] = "QVD_R1.0.4";
constexpr const char* kMaskedPassword = "******";

// Message codes handed to and reported by the stack.
enum : int {
    C_REGISTER = 100, C_REG_OK = 101, C_INVITE = 200, C_RING = 202, C_ANSWER = 203, C_ACK = 204, C_REFER = 205,
    C_INFO = 206, C_BYE = 208, C_CANCEL = 209, C_487 = 210, C_REINVITE = 211, C_REINVITE_OK = 212, C_NOTIFY = 213,
    C_CHALLENGE = 214, C_RING182 = 216, C_UPDATE = 217, C_UPDATE_OK = 218, C_OPTIONS = 219, C_BYE_OK = 224,
    C_DISACK = 225, C_FAILURE = 226, C_OPTIONS_OK = 227, C_INFO_OK = 229, C_NOTIFY_OK = 230, C_PUBLISH = 231,
    C_PUBLISH_OK = 232, C_TIMEOUT = 300,
};

// Channels the manager created for OPTIONS probes: they belong to the supervision for good.
int s_iOptionChn[kMaxSwitchAddr] = {-1, -1, -1, -1};

bool Static_IsOptionChn(int chn)
{
    for (int c : s_iOptionChn)
        if (c >= 0 && c == chn) return true;
    return false;
}

void Static_NoteOptionChn(int chn)
{
    if (Static_IsOptionChn(chn)) return;
    for (int& c : s_iOptionChn) {
        if (c < 0) {
            c = chn;
            return;
        }
    }
}

// A channel a registration record or the OPTIONS supervision still holds is theirs: freeing
// it here would let the stack hand the same handle to a new call while the module goes on
// sending on it.
bool Static_HeldByModule(int chn) { return User_GetByRegChn(chn) != nullptr || Static_IsOptionChn(chn); }

void Static_Free(int chn)
{
    if (chn < 0) return;
    if (Static_HeldByModule(chn)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipMan_ResetChn] sipchn[%d] kept by its module", chn);
        return;
    }
    LIBSIP_ResetChn(chn);
}

void Static_CountUp() { ++g_sStatisticInfo.m_sSipChn.m_iChnCur; }
void Static_CountDown() { --g_sStatisticInfo.m_sSipChn.m_iChnCur; }

void Static_FillAuthTables()
{
    struct Row {
        AUTH_MSG_TYPE_E type;
        int method, code;
    };
    static constexpr Row rows[] = {
        {E_INVITE, 1, 200}, {E_UPDATE, 0, 0},  {E_REFER, 5, 0},   {E_BYE, 2, 208},      {E_CANCEL, 3, 209},
        {E_INFO, 0, 0},     {E_SUBCRIBE, 8, 221}, {E_MESSAGE, 7, 0}, {E_NOTIFY, 0, 0}, {E_OPTIONS, 5, 0},
        {E_REGISTER, 0, 100}, {E_PRACK, 6, 0},
    };
    std::memset(g_iAuthTypeToMd5, 0, sizeof g_iAuthTypeToMd5);
    std::memset(g_iAuthTypeToMsg, 0, sizeof g_iAuthTypeToMsg);
    for (const Row& r : rows) {
        g_iAuthTypeToMd5[r.type] = r.method;
        g_iAuthTypeToMsg[r.type] = r.code;
    }
}

SIP_SDP* Static_UsableSdp(int chn)
{
    SIP_SDP* sdp = LIBSIP_GetSdp(chn);
    return sdp != nullptr && sdp->a_use != 0 ? sdp : nullptr;
}

void Static_RecvInvite(int chn, const IPV4_ADDRESS& peer)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvInvite]-- SipChn[%d]", chn);
    SYS_S2P_CALLINFO_T info{};
    copy_text(info.m_chCaller, LIBSIP_GetFromTel(chn) ? LIBSIP_GetFromTel(chn) : "");
    copy_text(info.m_chCallee, LIBSIP_GetToTel(chn) ? LIBSIP_GetToTel(chn) : "");
    SIP_SDP* sdp = LIBSIP_GetSdp(chn);
    if (sdp == nullptr)
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[RecvInvite]-- SipChn[%d] SDP[NULL]", chn);
    else if (sdp->a_use == 0)
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[RecvInvite]-- SipChn[%d] a_use=0", chn);
    else
        info.m_sSdpInfo = *sdp;
    info.m_iRingType = LIBSIP_GetAlertRingLevel(chn);
    info.m_iSipChn = chn;
    Static_CountUp();
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "[RecvInvite]-- SipChn[%d] ip[%s][%d] Caller[%s] Callee[%s], RingType[%d]",
              chn, peer.ip, peer.port, info.m_chCaller, info.m_chCallee, info.m_iRingType);
    User_S2POnNewCall(&info);
}

void Static_RecvRegister(int chn)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvRegister]-- SipChn[%d]", chn);
    int expires = LIBSIP_GetExpires(chn);
    const char* date = LIBSIP_GetSipDate(chn);
    if (date != nullptr && date[0] == '\0') date = nullptr;
    const bool held = User_GetByRegChn(chn) != nullptr;
    REG_OnReport(chn, expires != 0 ? E_REG_SUCC : E_REG_UNREGISTER, date);
    if (User_GetByRegChn(chn) != nullptr) {
        if (expires != 0) REG_OnGranted(chn, expires);
        return;
    }
    // The record let go of its channel in the report (a removal, whatever lifetime the server
    // named in its answer) and released it, count and all: counting it here again would make
    // the count drift with every removal.
    if (held) return;
    if (expires == 0) {
        Static_Free(chn);
        Static_CountDown();
    }
}

void Static_RecvInfo(int chn)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvSipInfo]-- SipChn[%d]", chn);
    if (chn < 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[SipManRecvSipInfo] SipChn [%d] Error\n", chn);
        return;
    }
    if (LIBSIP_GetDataType(chn) == 4) {
        User_S2POnGetTextSipInfoDtmf(chn, LIBSIP_GetInfo(chn));
        LIBSIP_SetDataType(chn, 0);
        LIBSIP_Send(C_INFO_OK, chn);
        return;
    }
    SIP_CALL_INFO* ci = LIBSIP_GetCallInfo(chn);
    if (ci != nullptr) {
        User_S2POnGetTextSipInfo(ci, chn);
        return;
    }
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "LIBSIP_GetCallInfo return NULL c_iSipChn :[%d]!!!", chn);
    if (User_CheckNotifySipChn(chn) == 0) {
        LIBSIP_FreeXml(chn);
        Static_Free(chn);
        return;
    }
    // An INFO without a body on a call (a keep-alive, or a floor message a switch stripped) is
    // answered like any other, or the far end would repeat it and count the call as gone.
    LIBSIP_SetDataType(chn, 0);
    LIBSIP_Send(C_INFO_OK, chn);
}

void Static_RecvNotify(int chn)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvNotify]-- SipChn[%d]", chn);
    const char* event = LIBSIP_GetEvent(chn);
    if (event != nullptr && strcasecmp(event, "refer") == 0)
        User_S2POnNotifyRefer(chn, LIBSIP_GetXml(chn));
    else
        User_S2POnNotify(chn, LIBSIP_GetXml(chn));
    LIBSIP_Send(C_NOTIFY_OK, chn);
    if (User_CheckNotifySipChn(chn) == 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[SipManRecvNotify]-- reset chn %d", chn);
        Static_Free(chn);
    }
}

// A digest challenge: the credentials of the line that owns the challenged request.
int Static_RecvAuthor(int chn)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvAuthor]-- SipChn[%d]", chn);
    AUTH_MSG_TYPE_E type = LIBSIP_GetAuthType(chn);
    if (type < 0 || type >= kAuthTableSize) return -1;
    USER_INFO_T* user = nullptr;
    if (type == E_REGISTER) {
        user = User_GetByRegChn(chn);
    } else {
        user = User_GetBySipChn(chn);
        if (user != nullptr) LIBSIP_SetDataType(chn, 1);
    }
    if (user == nullptr) return -1;
    AUTH_ELEMENT_T auth{};
    auth.m_iAuthMethod = g_iAuthTypeToMd5[type];
    copy_text(auth.m_chUserName, user->m_sRegInfo.m_chRegName);
    copy_text(auth.m_chPasswd, user->m_sRegInfo.m_chRegPwd);
    LIBSIP_SetAuthor(chn, &auth);
    LIBSIP_SetChnType(chn, 0);
    // The password never goes to a log or the console.
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn,
              "[RecvAuthor]-- c_iSipChn[%d], eAuthType[%d], MsgType[%d], UserName[%s], UserPwd[%s]", chn, type,
              g_iAuthTypeToMsg[type], auth.m_chUserName, kMaskedPassword);
    return LIBSIP_Send(g_iAuthTypeToMsg[type], chn);
}

void Static_RecvError(int chn)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvError]-- SipChn[%d]", chn);
    sip_code_method reason = LIBSIP_GetErrorCause(chn);
    sip_code_method method = LIBSIP_GetCseqMethod(chn);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "[SipManRecvError]-- SipChn[%d] ErrorCause[%d] CseqMethod[%d]", chn, reason,
              method);
    if (User_S2POnCallFailed(chn, reason, method) == 0) {
        // A 423 names the least lifetime the server takes: the registration asks again with it.
        if (reason != SIP_RESPONSE_MSG_423_INTERVAL_TOO_BRIEF || REG_OnIntervalTooBrief(chn, LIBSIP_GetMinExpires(chn)) != 0)
            REG_OnReport(chn, E_REG_FAIL, nullptr);
    }
    Static_Free(chn);
    Static_CountDown();
}

void Static_RecvInfoOk(int chn)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvInfo200OK]-- SipChn[%d]", chn);
    if (LIBSIP_GetDataType(chn) == 4) {
        User_S2POnGetTextSipInfoOkDtmf(LIBSIP_GetInfo(chn), chn);
        return;
    }
    SIP_CALL_INFO* ci = LIBSIP_GetCallInfo(chn);
    if (ci != nullptr)
        User_S2POnGetTextSipInfoOk(ci, chn);
    else
        User_S2POnGetTextSipInfoOkNoCallInfo(chn);
}

void Static_RecvReInviteOk(int chn)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvReInviteOK]-- SipChn[%d]", chn);
    SIP_SDP* sdp = LIBSIP_GetSdp(chn);
    if (sdp == nullptr)
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[RecvReInviteOK]-- SipChn[%d] pSipSdp[NULL]", chn);
    else
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "[RecvReInviteOK]-- SipChn[%d] SDP[%s:%d] CodeType[%d]", chn,
                  sdp->a_addr.ip, sdp->a_addr.port, sdp->a_coders[0]);
    if (User_S2POnReInviteOK(chn, sdp) != -1) {
        LIBSIP_SetDataType(chn, 0);
        LIBSIP_Send(C_ACK, chn);
    }
}

void Static_RecvReInvite(int chn)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvReInvite]-- SipChn[%d]", chn);
    SIP_SDP* sdp = LIBSIP_GetSdp(chn);
    if (sdp != nullptr && std::strstr(sdp->a_content, "X-fax") != nullptr) sdp->fax_use = 2;
    User_S2POnReInvite(chn, sdp);
}

void Static_Dispatch(int type, int chn, int data_type)
{
    (void)data_type;
    switch (type) {
    case C_REG_OK: Static_RecvRegister(chn); return;
    case C_INVITE: return;  // handled by the caller, which has the peer address
    case C_RING:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvRing]-- SipChn[%d]", chn);
        User_S2POnRing(chn, Static_UsableSdp(chn));
        return;
    case C_ANSWER:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvAnswer]-- SipChn[%d]", chn);
        User_S2POnAnswer(chn, Static_UsableSdp(chn));
        return;
    case C_ACK:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvAck]-- SipChn[%d]", chn);
        User_S2POnAck(chn, Static_UsableSdp(chn));
        return;
    case C_INFO: Static_RecvInfo(chn); return;
    case C_BYE:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvBye]-- SipChn[%d]", chn);
        // A BYE no line owns has been answered 481: its channel is freed all the same, or a
        // stray dialog would hold a stack channel for good.
        User_S2POnHangUp(chn);
        Static_Free(chn);
        Static_CountDown();
        return;
    case C_CANCEL:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvCancel]-- SipChn[%d]", chn);
        // The stack has answered the CANCEL and ended the call: the channel is done with.
        if (User_S2POnCancel(chn) != -1) {
            Static_Free(chn);
            Static_CountDown();
        }
        return;
    case C_487:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecv487]-- SipChn[%d]", chn);
        User_S2POnCallFailed(chn, SIP_RESPONSE_MSG_487_REQUEST_TERMINATED, LIBSIP_GetCseqMethod(chn));
        Static_Free(chn);
        Static_CountDown();
        return;
    case C_REINVITE: Static_RecvReInvite(chn); return;
    case C_REINVITE_OK: Static_RecvReInviteOk(chn); return;
    case C_NOTIFY: Static_RecvNotify(chn); return;
    case C_CHALLENGE: Static_RecvAuthor(chn); return;
    case C_UPDATE:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvUpdate]-- SipChn[%d]", chn);
        User_S2POnUpdate(chn);
        return;
    case C_OPTIONS:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "sipchn[%d] recv option ", chn);
        LIBSIP_Send(C_OPTIONS_OK, chn);
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "sipchn[%d] send PROCESS_CC_OPTIONS_OK ", chn);
        if (User_CheckNotifySipChn(chn) == 0) Static_Free(chn);
        return;
    case C_BYE_OK: MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "[RecvBye200OK]-- SipChn[%d]", chn); return;
    case C_DISACK:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvDisAck]-- SipChn[%d]", chn);
        User_S2POnDisAck(chn);
        Static_Free(chn);
        return;
    case C_FAILURE: Static_RecvError(chn); return;
    case C_OPTIONS_OK: OPT_Recv200OK(chn); return;
    case C_INFO_OK: Static_RecvInfoOk(chn); return;
    case C_PUBLISH_OK:
        Static_Free(chn);
        Static_CountDown();
        return;
    case C_TIMEOUT:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[SipManRecvTimeOut]-- SipChn[%d]", chn);
        User_S2POnTimeOut(chn, LIBSIP_GetCseqMethod(chn));
        Static_Free(chn);
        Static_CountDown();
        return;
    default:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "-- Recv No-Have-To-Deal Sip Mesg, Default Deal  iSipChn:%d ", chn);
        Static_Free(chn);
        return;
    }
}

// A sender's refusal of a channel below 0, logged as "<name>-- <arg> < 0".
bool Static_Refused(int chn, int line, const char* name, const char* arg)
{
    if (chn >= 0) return false;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, line, "%s-- %s < 0", name, arg);
    return true;
}

// A message without body, logged under the sender's name; the send's result.
int Static_SendBare(int chn, int code, int line, const char* name)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "%s-- SipChn[%d]", name, chn);
    LIBSIP_SetDataType(chn, 0);
    return LIBSIP_Send(code, chn);
}

int Static_SetSdp(int chn, SIP_SDP* sdp)
{
    LIBSIP_SetDataType(chn, 1);
    return LIBSIP_SetSdp(chn, sdp);
}

}  // namespace

int SipMan_Init()
{
    EncodeInit();
    const int lines = g_iUse_Chn_Max;
    LIBSIP_CFG_INFO_T cfg{};
    copy_text(cfg.m_chStackHost, g_sSysCfgInfo.m_sDevEnv.m_chLocalIP);
    cfg.m_iStackPort = g_sSysCfgInfo.m_sSysServer.m_iLocalSipPort;
    copy_text(cfg.m_chDefaultHost, g_sSysCfgInfo.m_sSysServer.m_sServerAddr[0].ip);
    cfg.m_iDefaultPort = g_sSysCfgInfo.m_sSysServer.m_sServerAddr[0].port;
    cfg.m_iSipMaxArray = 4 * lines + 4;
    g_sStatisticInfo.m_sSipChn.m_iChnTotal = cfg.m_iSipMaxArray;
    cfg.m_iLogLevel = 4;
    cfg.m_iEnableResetChnPromptly = 1;
    cfg.m_iDisableSessionTimer = 1;
    cfg.m_iSessionExpires = 3600;
    cfg.m_iMinSe = 90;
    cfg.m_eSourceAddrType = E_SRCADDR_SOCKET;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "LocalSip[%s:%d], RemoteSip[%s:%d], SipMaxArray[%d] ", cfg.m_chStackHost,
              cfg.m_iStackPort, cfg.m_chDefaultHost, cfg.m_iDefaultPort, cfg.m_iSipMaxArray);

    LIBSIP_REPORT_MSG_T report{};
    report.m_iInvite = report.m_iUpdate = report.m_iRefer = report.m_iBye = report.m_iCancel = report.m_iInfo =
        report.m_iNotify = 1;
    if (LIBSIP_ConfigInfo(&cfg) < 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "LIBSIP_ConfigInfo Failed");
        return -1;
    }
    LIBSIP_SetMessageUp(&report);
    LIBSIPUpInit(SipManRecvMsgFromSip);
    Static_FillAuthTables();
    for (int& c : s_iOptionChn) c = -1;
    g_sStatisticInfo.m_sSipChn.m_iChnCur = 0;
    SipMan_SetSuccessSwitchAddr(&g_sSysCfgInfo.m_sSysServer.m_sServerAddr[0]);
    return 0;
}

void SipManRecvMsgFromSip(int iType, int iSipChn, int iDataType)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_SYSTEM, -1, "[RecvMsgFromSip]-- Type[%d], SipChn[%d], iDataType[%d]", iType, iSipChn,
              iDataType);
    const IPV4_ADDRESS* host = LIBSIP_GetUserHost(iSipChn);
    if (host == nullptr) {
        LIBSIP_SetDisReason(iSipChn, SIP_RESPONSE_MSG_503);
        LIBSIP_Send(C_FAILURE, iSipChn);
        Static_Free(iSipChn);
        return;
    }
    const IPV4_ADDRESS peer = *host;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[RecvMsgFromSip]-- Type[%d], SipChn[%d], ip[%s],port[%d]", iType, iSipChn,
              peer.ip, peer.port);
    if (iType == C_INVITE)
        Static_RecvInvite(iSipChn, peer);
    else
        Static_Dispatch(iType, iSipChn, iDataType);
}

int SipMan_ResetChn(int iSipChn)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[SipMan_ResetChn] reset sipchn[%d]", iSipChn);
    LIBSIP_ResetChn(iSipChn);
    return 0;
}

int SipMan_ReleaseChn(int iSipChn)
{
    if (iSipChn < 0) return -1;
    SipMan_ResetChn(iSipChn);
    Static_CountDown();
    return 0;
}

int SipMan_SendError(int iSipChn, sip_code_method reason, int line)
{
    if (Static_Refused(iSipChn, line, "[SIPMAN_SendError]", "iSipChn")) return -1;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[SIPMAN_SendError]-- SipChn[%d] Reason[%d]", iSipChn, reason);
    LIBSIP_SetDisReason(iSipChn, reason);
    return LIBSIP_Send(C_FAILURE, iSipChn);
}

int SipMan_SendSipInfo(int iSipChn, const char* text, int line)
{
    if (iSipChn < 0) return -1;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[SipMan_SendSipInfo]-- SipChn[%d] Info[%s]", iSipChn, text ? text : "");
    LIBSIP_SetDataType(iSipChn, 4);
    LIBSIP_SetInfo(iSipChn, text ? text : "");
    return LIBSIP_Send(C_INFO, iSipChn);
}

int SipMan_SendRing(int iSipChn, int line)
{
    return Static_SendBare(iSipChn, C_RING, line, "[SipMan_SendRing]");
}

int SipMan_SendAnswer(int iSipChn, SIP_SDP* sdp, int line)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[SipMan_SendAnswer]-- SipChn[%d]", iSipChn);
    // The direction is the line's mirror of the offer (a send-only offer is answered
    // receive-only), so it is passed on as given.
    if (sdp != nullptr) {
        sdp->a_use = 1;
        sdp->a_conten_nouse = 1;
    }
    Static_SetSdp(iSipChn, sdp);
    return LIBSIP_Send(C_ANSWER, iSipChn);
}

int SipMan_SendAck(int iSipChn, int line)
{
    if (Static_Refused(iSipChn, line, "[SIPMAN_SendAck]", "SipChn")) return -1;
    return Static_SendBare(iSipChn, C_ACK, line, "[SIPMAN_SendAck]");
}

int SipMan_SendBye(int iSipChn, int line)
{
    if (Static_Refused(iSipChn, line, "[SendBye]", "iSipChn")) return -1;
    Static_SendBare(iSipChn, C_BYE, line, "[SendBye]");
    if (User_S2POnBye200OK(iSipChn) != -1) {
        Static_Free(iSipChn);
        Static_CountDown();
    }
    return 0;
}

int SipMan_SendByeOnly(int iSipChn, int line)
{
    if (Static_Refused(iSipChn, line, "[SendBye]", "iSipChn")) return -1;
    return Static_SendBare(iSipChn, C_BYE, line, "[SendBye]");
}

int SipMan_SendBye200OK(int iSipChn, int line)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[SipMan_SendBye200OK]-- SipChn[%d]", iSipChn);
    return LIBSIP_Send(C_BYE_OK, iSipChn);
}

int SipMan_SendCancel(int iSipChn, int line)
{
    if (Static_Refused(iSipChn, line, "[SIPMAN_SendCancel]", "iSipChn")) return -1;
    Static_SendBare(iSipChn, C_CANCEL, line, "[SIPMAN_SendCancel]");
    return 0;
}

int SipMan_SendReInviteOK(int iSipChn, SIP_SDP* sdp, int line)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[SipMan_SendReInviteOK]-- SipChn[%d]", iSipChn);
    if (sdp != nullptr) {
        sdp->a_use = 1;
        sdp->a_conten_nouse = 1;
    }
    Static_SetSdp(iSipChn, sdp);
    LIBSIP_Send(C_REINVITE_OK, iSipChn);
    return 0;
}

int SipMan_SendReInvite(int iSipChn, SIP_SDP* sdp, sdp_media media, int line)
{
    if (sdp == nullptr) return -1;
    SIP_SDP out = *sdp;
    if (media == SENDONLY) {
        // A fresh offer of the given codecs from the board's own address.
        out = SIP_SDP{};
        std::memcpy(out.a_coders, sdp->a_coders, sizeof out.a_coders);
        copy_text(out.a_addr.ip, g_sSysCfgInfo.m_sDevEnv.m_chLocalIP);
        out.a_addr.port = 10000;
        out.a_media = SENDONLY;
    } else if (sdp->fax_use == 1) {
        out.a_use = 0;
        out.v_use = 0;
    } else {
        out.a_media = SENDRECV;
        if (sdp->fax_use == 2) {
            int coder = User_GetUseCoder(iSipChn);
            if (coder >= 0) out.a_coders[0] = coder;
            copy_text(out.a_content, "a=X-fax\r\na=ecan:fb on -\r\na=SilcenceSupp:off - - - -\r\n");
        }
    }
    if (media != SENDONLY && sdp->fax_use != 1) out.a_use = 1;
    out.a_conten_nouse = 1;
    Static_SetSdp(iSipChn, &out);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[SendReInvite]-- SipChn[%d] SdpMedia[%d] SDP[%s:%d] CodeType[%d]", iSipChn,
              out.a_media, out.a_addr.ip, out.a_addr.port, out.a_coders[0]);
    LIBSIP_Send(C_REINVITE, iSipChn);
    return 0;
}

int SipMan_SendInvite(int* out, const char* caller, const char* callee, SIP_SDP* sdp, int ptime, int line)
{
    USER_INFO_T* user = User_GetByUserChn(line);
    if (user == nullptr || out == nullptr || caller == nullptr || callee == nullptr || sdp == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, line, "[SendInvite]--  入参错误");
        return -1;
    }
    int chn = LIBSIP_CreatChn(-1);
    if (chn < 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, line, "[SendInvite]--  LIBSIP_CreatChn通道申请失败, Return");
        return -1;
    }
    Static_CountUp();
    *out = chn;
    LIBSIP_SetFromTel(chn, caller);
    LIBSIP_SetToTel(chn, callee);
    LIBSIP_SetDataType(chn, 1);
    if (user->m_eCallMode == E_MODE_HALF) {
        SIP_CALL_INFO ci{};
        ci.use = 1;
        copy_text(ci.content, "callmode=half-duplex");
        LIBSIP_SetCallInfo(chn, &ci);
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[SendInvite]--  半双工呼叫");
    } else {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[SendInvite]--  全双工呼叫");
    }
    sdp->a_use = 1;
    sdp->a_conten_nouse = 1;
    sdp->a_media = SENDRECV;
    sdp->a_ptime = ptime;
    LIBSIP_SetSdp(chn, sdp);
    LIBSIP_SetRPORT(chn, g_sSysCfgInfo.m_iRPORT);
    if (LIBSIP_SetUserHost(chn, &g_sSuccSwitchAddr) < 0)
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, line, "Register SoftSwitch Address ERROR");
    LIBSIP_Send(C_INVITE, chn);
    return chn;
}

int SipMan_SendRegister(int iRegChn, int expires, const char* tel, const IPV4_ADDRESS* server, int line)
{
    const IPV4_ADDRESS* shown = server ? server : &g_sCurSwitchAddr;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, line,
              "[SendRegister]-- iRegChn[%d], iRegExpires[%d], pchRegTel[%s], pRegAddr[%s:%d], rport[%d]", iRegChn, expires,
              tel ? tel : "", shown->ip, shown->port, g_sSysCfgInfo.m_iRPORT);
    if (tel == nullptr || tel[0] == '\0') return -1;
    LIBSIP_SetSbcAddr(shown);
    int chn = iRegChn;
    if (chn < 0) {
        chn = LIBSIP_CreatChn(-1);
        if (chn < 0) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, line, "[SendRegister]--  LIBSIP_CreatChn通道申请失败, Return");
            return -1;
        }
        Static_CountUp();
    }
    LIBSIP_SetRPORT(chn, g_sSysCfgInfo.m_iRPORT);
    LIBSIP_SetChnType(chn, 0);
    LIBSIP_SetFromTel(chn, tel);
    LIBSIP_SetToTel(chn, tel);
    LIBSIP_SetExpires(chn, expires);
    SIP_USER_AGENT ua{};
    ua.use = 1;
    copy_text(ua.content, kUserAgent);
    LIBSIP_SetUserAgent(chn, &ua);
    if (server != nullptr) g_sCurSwitchAddr = *server;
    LIBSIP_SetUserHost(chn, &g_sCurSwitchAddr);
    LIBSIP_SetDataType(chn, 0);
    LIBSIP_Send(C_REGISTER, chn);
    LIBSIP_SetSbcAddr(&g_sCurSwitchAddr);
    return chn;
}

int SipMan_SendUnRegister(int iRegChn, const char* tel, const IPV4_ADDRESS* server, int line)
{
    const IPV4_ADDRESS* shown = server ? server : &g_sCurSwitchAddr;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[SendUnRegister]iRegChn[%d], pchRegTel[%s], pRegAddr[%s:%d]", iRegChn,
              tel ? tel : "", shown->ip, shown->port);
    if (tel == nullptr || tel[0] == '\0') return -1;
    if (iRegChn < 0) return 0;
    LIBSIP_SetRPORT(iRegChn, g_sSysCfgInfo.m_iRPORT);
    if (server != nullptr) g_sCurSwitchAddr = *server;
    LIBSIP_SetUserHost(iRegChn, &g_sCurSwitchAddr);
    LIBSIP_SetExpires(iRegChn, 0);
    LIBSIP_SetDataType(iRegChn, 0);
    LIBSIP_Send(C_REGISTER, iRegChn);
    return iRegChn;
}

int SipMan_SendOption(int iSipChn, const IPV4_ADDRESS* server)
{
    int chn = iSipChn;
    if (chn < 0) {
        chn = LIBSIP_CreatChn(-1);
        if (chn < 0) {
            MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_ERROR, -1, "[SipMan_SendOption]-- SipChn Create Failed...");
            return -1;
        }
    }
    Static_NoteOptionChn(chn);
    if (server != nullptr) LIBSIP_SetUserHost(chn, server);
    LIBSIP_SetFromTel(chn, "Hello");
    LIBSIP_SetToTel(chn, "Hello");
    LIBSIP_SetDataType(chn, 0);
    LIBSIP_Send(C_OPTIONS, chn);
    return chn;
}

int SipMan_GetRtpFrameSize(int iSipChn)
{
    SIP_SDP* sdp = LIBSIP_GetSdp(iSipChn);
    if (sdp == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[SipMan_GetRtpFrameSize]-- Can not get sdp infomation");
        return -1;
    }
    return sdp->a_ptime;
}

int SipMan_SetSuccessSwitchAddr(const IPV4_ADDRESS* addr)
{
    if (addr == nullptr) return -1;
    if (std::strlen(addr->ip) >= 7 && addr->port >= 0 && std::strcmp(addr->ip, g_sSuccSwitchAddr.ip) == 0 &&
        addr->port == g_sSuccSwitchAddr.port)
        return -1;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "设置注册成功的软交换地址 OldAddress[%s:%d], NewAddress[%s:%d]",
              g_sSuccSwitchAddr.ip, g_sSuccSwitchAddr.port, addr->ip, addr->port);
    copy_text(g_sSuccSwitchAddr.ip, addr->ip);
    g_sSuccSwitchAddr.port = addr->port;
    return 0;
}

int SipMan_SendFaxReInviteOK(int iSipChn, const FAX_INFO* fax, int line)
{
    if (Static_Refused(iSipChn, line, "[SipMan_SendFaxReInviteOK]", "iSipChn") || fax == nullptr) return -1;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[SipMan_SendFaxReInviteOK]-- SipChn[%d] Fax[%s:%d]", iSipChn, fax->fax_addr.ip,
              fax->fax_addr.port);
    SIP_SDP sdp{};
    sdp.fax_use = 1;
    sdp.fax = *fax;
    sdp.a_conten_nouse = 1;
    Static_SetSdp(iSipChn, &sdp);
    return LIBSIP_Send(C_REINVITE_OK, iSipChn);
}

int SipMan_SendPublish(const char* tel, SYS_LINE_STATUS_E status, int line)
{
    if (tel == nullptr || tel[0] == '\0' || status < 0 || status >= 6) return -1;
    const int chn = LIBSIP_CreatChn(-1);
    if (chn < 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, line, "[SipMan_SendPublish]--  LIBSIP_CreatChn通道申请失败, Return");
        return -1;
    }
    Static_CountUp();
    static int s_iPublishId = 0;
    s_iPublishId = s_iPublishId % 9999999 + 1;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[SipMan_SendPublish]-- SipChn[%d] Tel[%s] State[%s]", chn, tel,
              g_sPhoneStatusToSwitch[status]);
    std::array<char, 256> xml{};
    Composer m(xml.data(), xml.size());
    m.raw("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<request id=\"").number(s_iPublishId).raw("\">\r\n");
    m.raw("<user_state><state>").raw(g_sPhoneStatusToSwitch[status]).raw("</state></user_state>\r\n</request>\r\n");
    if (!m.ok()) {
        LIBSIP_ResetChn(chn);
        Static_CountDown();
        return -1;
    }
    LIBSIP_SetFromTel(chn, tel);
    LIBSIP_SetToTel(chn, tel);
    LIBSIP_SetUserHost(chn, &g_sSuccSwitchAddr);
    LIBSIP_SetDataType(chn, 2);
    LIBSIP_SetXmlInfo(chn, xml.data());
    LIBSIP_Send(C_PUBLISH, chn);
    return chn;
}

int SipMan_SendRing183(int iSipChn, SIP_SDP* sdp, int line)
{
    if (Static_Refused(iSipChn, line, "[SipMan_SendRing183]", "iSipChn") || sdp == nullptr) return -1;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[SipMan_SendRing183]-- SipChn[%d]", iSipChn);
    sdp->a_use = 1;
    sdp->a_conten_nouse = 1;
    Static_SetSdp(iSipChn, sdp);
    return LIBSIP_Send(C_RING, iSipChn);
}

int SipMan_SendRing182(int iSipChn, int line) { return Static_SendBare(iSipChn, C_RING182, line, "[SipMan_SendRing182]"); }

int SipMan_SendRefer(int iSipChn, const REFER_INFO* refer, int line)
{
    if (Static_Refused(iSipChn, line, "[SipMan_SendRefer]", "iSipChn") || refer == nullptr) return -1;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[SipMan_SendRefer]-- SipChn[%d] ReferTel[%s]", iSipChn, refer->m_chReferTel);
    LIBSIP_SetDataType(iSipChn, 0);
    LIBSIP_SetReferInfo(iSipChn, refer);
    return LIBSIP_Send(C_REFER, iSipChn);
}

int SipMan_SendUpdate(int iSipChn, const char* from, int line)
{
    if (Static_Refused(iSipChn, line, "[SipMan_SendUpdate]", "iSipChn") || from == nullptr) return -1;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[SipMan_SendUpdate]-- SipChn[%d] From[%s]", iSipChn, from);
    LIBSIP_SetFromTel(iSipChn, from);
    LIBSIP_SetDataType(iSipChn, 0);
    return LIBSIP_Send(C_UPDATE, iSipChn);
}

int SipMan_SendUpdateOK(int iSipChn, const IPV4_ADDRESS* addr, int coder, int line)
{
    if (Static_Refused(iSipChn, line, "[SipMan_SendUpdateOK]", "iSipChn") || addr == nullptr) return -1;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[SipMan_SendUpdateOK]-- SipChn[%d] SDP[%s:%d] CodeType[%d]", iSipChn, addr->ip,
              addr->port, coder);
    SIP_SDP sdp{};
    sdp.a_use = 1;
    sdp.a_conten_nouse = 1;
    sdp.a_coders[0] = coder;
    sdp.a_addr = *addr;
    Static_SetSdp(iSipChn, &sdp);
    return LIBSIP_Send(C_UPDATE_OK, iSipChn);
}

int SipMan_SendNotifyOK(int iSipChn, int line) { return Static_SendBare(iSipChn, C_NOTIFY_OK, line, "[SipMan_SendNotifyOK]"); }

int SipMan_SetCurrentSwitchAddr(const IPV4_ADDRESS* addr)
{
    if (addr == nullptr) return -1;
    copy_text(g_sCurSwitchAddr.ip, addr->ip);
    g_sCurSwitchAddr.port = addr->port;
    return 0;
}

const char* SipMan_GetCurSwitchIP() { return g_sCurSwitchAddr.ip; }

int SipMan_GetCurSwitchPort() { return g_sCurSwitchAddr.port; }

int SipMan_JudgeCurrentSwitch(const IPV4_ADDRESS* addr)
{
    return addr != nullptr && std::strcmp(addr->ip, g_sCurSwitchAddr.ip) == 0 && addr->port == g_sCurSwitchAddr.port ? 1 : 0;
}
