// The line logic's handlers of SIP events, the DSP's broken-connection report and the
// automatic call between lines 0 and 1.
// The INFO handlers are floor control's (user_floor.cpp).
#include "user_s2p.h"

#include <cstring>
#include <string_view>

#include "arm_environment.h"
#include "board.h"
#include "http_interface.h"
#include "multi_log.h"
#include "option_register.h"
#include "print_sys.h"
#include "rtp_res.h"
#include "sipman.h"
#include "text.h"
#include "user.h"

int g_iAutoEstablishEnable = 0;

namespace {

constexpr std::string_view kHalfDuplexWord = "half-duple";
constexpr int kDefaultSipPort = 5060;

const char* Static_Status(int status) { return PrintEnum(g_sPrintUserStatus, status); }

// An address of the board itself: a softswitch running on the board sends from whichever of
// them the route to the line picks, whatever address it was configured by.
bool Static_IsOwnAddress(const char* ip)
{
    return std::strncmp(ip, "127.", 4) == 0 || std::strcmp(ip, g_sSysCfgInfo.m_sDevEnv.m_chLocalIP) == 0;
}

// Calls are taken only from the softswitches the line registers with: anybody else reaching
// the SIP port could otherwise key the radio's transmitter.
bool Static_FromSwitch(int chn)
{
    const IPV4_ADDRESS* peer = LIBSIP_GetUserHost(chn);
    if (peer == nullptr) return false;
    for (const IPV4_ADDRESS& sw : g_sSysCfgInfo.m_sSysServer.m_sServerAddr) {
        const int port = sw.port > 0 ? sw.port : kDefaultSipPort;
        if (sw.ip[0] == '\0' || port != peer->port) continue;
        if (std::strcmp(sw.ip, peer->ip) == 0 || (Static_IsOwnAddress(sw.ip) && Static_IsOwnAddress(peer->ip))) return true;
    }
    return false;
}

// Half duplex when the INVITE's call-info text holds the word with at least one character
// after it ("callmode=half-duplex"; a text ending in the bare word is full duplex).
SIPINFO_MODE Static_CallMode(int chn)
{
    const SIP_CALL_INFO* ci = LIBSIP_GetCallInfo(chn);
    if (ci == nullptr) return E_MODE_FULL;
    const std::string_view text(ci->content, strnlen(ci->content, sizeof ci->content));
    const std::size_t at = text.find(kHalfDuplexWord);
    return at != std::string_view::npos && at + kHalfDuplexWord.size() < text.size() ? E_MODE_HALF : E_MODE_FULL;
}

// The far end's channel is freed by the SIP manager after this report: the line lets go of it.
void Static_LeaveChn(USER_INFO_T* user, int chn)
{
    if (user->m_iChnSip == chn) user->m_iChnSip = -1;
}

// A call the line placed that cannot go on once the far end has answered: the 2xx is
// acknowledged and the call ended with a BYE (whose answer handling plays the busy tone).
void Static_AckAndBye(int chn, int line)
{
    SipMan_SendAck(chn, line);
    SipMan_SendBye(chn, line);
}

int Static_AnswerNewCall(USER_INFO_T* user, SYS_S2P_CALLINFO_T* info, SIPINFO_MODE mode)
{
    const int line = user->m_iUserChn;
    UserReOpenResChannel(user);
    UserInitAsCallee(user, info);
    if (info->m_sSdpInfo.a_use == 0) {
        // No offer: the line offers its first codec in the 200 and takes the answer in the ACK.
        user->m_eUseCoder = user->m_eCodePriority[0];
        user->m_eSdpMediaType = SENDRECV;
    } else if (UserInitCallRes(user, &info->m_sSdpInfo) != 0) {
        SipMan_SendError(info->m_iSipChn, SIP_RESPONSE_MSG_480_TEMPORARILY_UNAVAILABLE, line);
        UserRelease(user);
        return -1;
    }
    user->m_eCallMode = mode;
    SipMan_SendRing(info->m_iSipChn, line);
    UserSetStatus(user, E_USER_ON_SEND_RING);
    SIP_SDP answer{};
    UserSetSdpAnswer(user, &answer);
    return SipMan_SendAnswer(info->m_iSipChn, &answer, line);
}

}  // namespace

int UserJudgeForbidden(USER_INFO_T* user)
{
    if (user->m_sRegInfo.m_eRegResult != E_REG_SUCC) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, user->m_iUserChn,
                  "[JudgeUserIsForbidden]-- 该用户UserTel[%s], regchn[%d], 未注册，或者注册失败, 不允许进行呼叫\n", user->m_chUserTel,
                  user->m_sRegInfo.m_iRegChn);
        return -1;
    }
    if (User_GetByUserChn(0) != nullptr && Broad_GetStatus() != 0) return -2;
    if (UserWithinCallGuard(user)) return -3;
    user->m_tInviteTime = User_NowMs();
    return 0;
}

int User_S2POnNewCall(SYS_S2P_CALLINFO_T* info)
{
    if (info == nullptr) return -1;
    const int chn = info->m_iSipChn;
    if (!Static_FromSwitch(chn)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[UserOnNewCall]-- SipChn[%d] 呼叫不是来自软交换, 拒绝", chn);
        SipMan_SendError(chn, SIP_RESPONSE_MSG_403_FORBIDDEN, -1);
        return -1;
    }
    USER_INFO_T* user = User_GetByTel(info->m_chCallee);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[UserOnNewCall]-- 不能根据被叫号码[%s]找到pUser", info->m_chCallee);
        SipMan_SendError(chn, SIP_RESPONSE_MSG_480_TEMPORARILY_UNAVAILABLE, -1);
        return -1;
    }
    const int line = user->m_iUserChn;
    if (UserJudgeForbidden(user) != 0) {
        SipMan_SendError(chn, SIP_RESPONSE_MSG_480_TEMPORARILY_UNAVAILABLE, line);
        return -1;
    }
    const IPV4_ADDRESS* peer = LIBSIP_GetUserHost(chn);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[UserOnNewCall]-- 收到新呼叫, Caller[%s], Callee[%s] , RemoteAddr[%s:%d]",
              info->m_chCaller, info->m_chCallee, peer ? peer->ip : "", peer ? peer->port : 0);
    // The duplex belongs to the call that is answered: a refused INVITE leaves the line's own.
    const SIPINFO_MODE mode = Static_CallMode(chn);
    switch (user->m_eUserStatus) {
    case E_USER_ON_IDLE: return Static_AnswerNewCall(user, info, mode);
    case E_USER_ON_REDIAL:
        switch (user->m_eRecallOnNewCall) {
        case E_IGNORE_NEWCALL: SipMan_SendError(chn, SIP_RESPONSE_MSG_486_BUSY_HERE, line); return -1;
        case E_CANCEL_RECALL:
            if (user->m_s4xxRecall.m_eReCallFlag == E_FLAG_ON) UserReCallEnd(&user->m_s4xxRecall);
            if (user->m_sByeRecall.m_eReCallFlag == E_FLAG_ON) UserReCallEnd(&user->m_sByeRecall);
            return Static_AnswerNewCall(user, info, mode);
        case E_NEWCALL_AND_RECALL: return Static_AnswerNewCall(user, info, mode);
        default: return -1;
        }
    default: SipMan_SendError(chn, SIP_RESPONSE_MSG_486_BUSY_HERE, line); return -1;
    }
}

int User_S2POnRing(int chn, SIP_SDP* sdp)
{
    USER_INFO_T* user = User_GetBySipChn(chn);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "pUser == NULL");
        return 32;
    }
    const int line = user->m_iUserChn;
    if (sdp == nullptr || sdp->a_use == 0) return User_PlayToneStart(user, E_PLAY_TONE_RING_BACK);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, line, "Tel[%s]收到Sip侧183, 接收彩铃", user->m_chUserTel);
    if (UserInitCallRes(user, sdp) != 0) {
        // No final answer yet: the INVITE is cancelled; its 487 finds no line and is freed.
        SipMan_SendCancel(chn, line);
        UserRelease(user);
        return -1;
    }
    UserPlayToneStop(user);
    UserSetStatus(user, E_USER_ON_RING_183);
    UserOpenRtpChn(user);
    // The radio hears the early media only while it transmits.
    User_SetPTTOn(user);
    return 0;
}

int User_S2POnAnswer(int chn, SIP_SDP* sdp)
{
    USER_INFO_T* user = User_GetBySipChn(chn);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[S2POnAnswer]--无法根据SipChn[%d]找到用户", chn);
        Static_AckAndBye(chn, -1);
        return -1;
    }
    const int line = user->m_iUserChn;
    if (sdp != nullptr && sdp->a_use == 1 && UserInitCallRes(user, sdp) != 0) {
        Static_AckAndBye(chn, line);
        return -1;
    }
    UserPlayToneStop(user);
    if (user->m_eUserStatus == E_USER_ON_RING_183) UserCloseRtpChn(user);
    user->m_ePttType = E_PTT_NULL;
    User_SetPTTOff(user);
    UserOpenRtpChn(user);
    user->m_iWaitSendByeTime = 0;
    UserSetStatus(user, E_USER_ON_TALKING);
    SipMan_SendAck(chn, line);
    return 0;
}

int User_S2POnAck(int chn, SIP_SDP* sdp)
{
    if (chn < 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[S2POnAck]--c_iSipChn < 0 ");
        return -1;
    }
    USER_INFO_T* user = User_GetBySipChn(chn);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[User_S2POnAck]--can not user SipChn find user\n");
        return -1;
    }
    // The ACK of the line's answer to a re-INVITE changes nothing.
    if (user->m_eUserStatus != E_USER_ON_SEND_RING) return 0;
    if (sdp != nullptr && (user->m_eGetSDPFlag == E_FLAG_ON || UserInitCallRes(user, sdp) == 0)) {
        UserOpenRtpChn(user);
        user->m_iWaitSendByeTime = 0;
        UserSetStatus(user, E_USER_ON_TALKING);
        return 0;
    }
    // The INVITE is answered and acknowledged: only a BYE can refuse the call now.
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn, "[User_S2POnAck]-- SipChn[%d] SDP不可用, 挂机", chn);
    SipMan_SendBye(chn, user->m_iUserChn);
    return -1;
}

void UserHangUpAfterPlayVoice(USER_INFO_T* user)
{
    if (user == nullptr) return;
    UserCloseRtpChn(user);
    UserReCallEnd(&user->m_s4xxRecall);
    UserCheckRecall(&user->m_sByeRecall, user);
    User_PlayToneStart(user, E_PLAY_TONE_BUSY);
}

int User_S2POnHangUp(int chn)
{
    USER_INFO_T* user = User_GetBySipChn(chn);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[S2POnHangUp]-- 不能根据SipChn[%d]找到pUser", chn);
        SipMan_SendError(chn, SIP_RESPONSE_MSG_481_CALL_TRANSACTION_DOES_NOT_EXIST, -1);
        return -1;
    }
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn,
              "[S2POnHangUp]-- 收到[ 当前 ]Sip通道的挂机信号 UserTel[%s]  SipChn[%d] UserStatus[%s]", user->m_chUserTel, chn,
              Static_Status(user->m_eUserStatus));
    SipMan_SendBye200OK(chn, user->m_iUserChn);
    user->m_RTPflag = 0;
    Static_LeaveChn(user, chn);
    if (user->m_iChnRes >= 0 && RTP_GetNetCorFlag(user->m_iChnRes) == E_FLAG_ON) {
        // The radio is still sending the far end's last words: the hang-up waits for them.
        RTP_SetRtpOverFlag(user->m_iChnRes, E_FLAG_ON);
        return 0;
    }
    UserHangUpAfterPlayVoice(user);
    return 0;
}

int User_S2POnBye200OK(int chn)
{
    USER_INFO_T* user = User_GetBySipChn(chn);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[S2POnBye200OK]-- GetUserBySipChn Failed...       SipChn[%d]", chn);
        return 0;
    }
    UserCloseRtpChn(user);
    user->m_RTPflag = 0;
    UserReCallEnd(&user->m_s4xxRecall);
    UserReCallEnd(&user->m_sByeRecall);
    User_PlayToneStart(user, E_PLAY_TONE_BUSY);
    Static_LeaveChn(user, chn);
    return 0;
}

int User_S2POnCancel(int chn)
{
    USER_INFO_T* user = User_GetBySipChn(chn);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[S2POnCancel]--不能根据SipChn[%d]找到pUser", chn);
        return -1;
    }
    User_PlayToneStart(user, E_PLAY_TONE_BUSY);
    Static_LeaveChn(user, chn);
    return 0;
}

namespace {
// An INFO or re-INVITE of a talking call that failed for want of the dialog's other end: the
// call is over, and the far end is told so before the line lets go of the channel.
bool Static_InDialogFailure(const USER_INFO_T* user, sip_code_method method)
{
    return method == SIP_REQUEST_MSG_INFO || (method == SIP_REQUEST_MSG_INVITE && user->m_eInTalkFlag == E_FLAG_ON);
}
}  // namespace

int User_S2POnTimeOut(int chn, sip_code_method method)
{
    USER_INFO_T* user = User_GetBySipChn(chn);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[UserOnTimeOut]-- [UserInfoGetBySipChn] return NULL ;sipchn[%d] line:[%d]", chn,
                  __LINE__);
        return -1;
    }
    if (Static_InDialogFailure(user, method)) SipMan_SendByeOnly(chn, user->m_iUserChn);
    UserCloseRtpChn(user);
    User_PlayToneStart(user, E_PLAY_TONE_BUSY);
    Static_LeaveChn(user, chn);
    return 0;
}

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
    if (reason == SIP_RESPONSE_MSG_408_REQUEST_TIMEOUT && Static_InDialogFailure(user, method))
        SipMan_SendByeOnly(chn, line);
    UserCloseRtpChn(user);
    if (reason >= SIP_RESPONSE_MSG_401_UNAUTHORIZED && reason <= SIP_RESPONSE_MSG_493_UNDECIPHERABLE &&
        reason != SIP_RESPONSE_MSG_487_REQUEST_TERMINATED) {
        UserCheckRecall(&user->m_s4xxRecall, user);
        UserJudgeByeRecall(user);
    }
    User_PlayToneStart(user, E_PLAY_TONE_BUSY);
    Static_LeaveChn(user, chn);
    return -1;
}

int User_S2POnReInvite(int chn, SIP_SDP* sdp)
{
    USER_INFO_T* user = User_GetBySipChn(chn);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "无法根据SipChn[%d]找到对应用户", chn);
        return 0;
    }
    const int line = user->m_iUserChn;
    if (sdp == nullptr) {
        SipMan_SendError(chn, SIP_RESPONSE_MSG_488_NOT_ACCEPTABLE_HERE, line);
        return -1;
    }
    const int* c = sdp->a_coders;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line,
              "[UserOnReInvite]-- pUser[%s], SipChn[%d], ResChn[%d],Status[%s], AudioCode[%d][%d][%d][%d][%d][%d][%d][%d], Addr[%s][%d]",
              user->m_chUserTel, chn, user->m_iChnRes, Static_Status(user->m_eUserStatus), c[0], c[1], c[2], c[3], c[4], c[5], c[6],
              c[7], sdp->a_addr.ip, sdp->a_addr.port);
    // An offer the line cannot take is refused; the call goes on as it was.
    if (UserInitCallRes(user, sdp) != 0) {
        SipMan_SendError(chn, SIP_RESPONSE_MSG_488_NOT_ACCEPTABLE_HERE, line);
        return -1;
    }
    SIP_SDP answer{};
    UserSetSdpAnswer(user, &answer);
    if (user->m_iChnRes >= 0) {
        RES490_SetCodeType(user->m_iChnRes + g_iChnChangeFactor, user->m_eUseCoder);
        RTP_SetRtpChnCoder(line);
        RTP_SetPlayVoiceCoder(user->m_iChnRes, static_cast<codec>(user->m_eUseCoder));
    }
    SipMan_SendReInviteOK(chn, &answer, line);
    return 0;
}

int User_S2POnReInviteOK(int chn, SIP_SDP* sdp)
{
    USER_INFO_T* user = User_GetBySipChn(chn);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[User_S2POnReInviteOK]--无法根据SipChn[%d]找到用户", chn);
        return -1;
    }
    // The answer is taken only when it names a usable address; without one the media stay.
    if (sdp != nullptr && UserCheckSdp(chn, sdp) == 0) {
        user->m_sSdpRemote = *sdp;
        RTP_SetRemoteAddr(user->m_iCallTh, user->m_iChnRes, sdp->fax_use == 1 ? &sdp->fax.fax_addr : &sdp->a_addr);
    }
    return 0;
}

int User_S2POnNotify(int, LIBSIP_XML_T*) { return 0; }
int User_S2POnNotifyRefer(int, LIBSIP_XML_T*) { return 0; }
int User_S2POnUpdate(int) { return 0; }
int User_S2POnDisAck(int) { return 0; }

int UserDspReportMsg(int dsp_chn, API_CALLBACK_SIGNAL_EVENT_E event)
{
    USER_INFO_T* user = User_GetByResChn(dsp_chn - g_iChnChangeFactor);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[User_DspReportMsg]-- 根据资源通道[%d]查找用户号码失败", dsp_chn);
        return -1;
    }
    if (event != E_ACSE_CONNECTION_BROKEN || g_sSysCfgInfo.m_eSysDealLOM != E_LOM_DEAL_RECONNECT) return 0;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn, "长时间未收到语音包ChnDsp[%d]", dsp_chn);
    if (user->m_iChnSip < 0) return 0;
    SIP_SDP offer = user->m_sSdpLocal;
    SipMan_SendReInvite(user->m_iChnSip, &offer, SENDRECV, user->m_iUserChn);
    return 0;
}

int User_BroadBye(USER_INFO_T* user)
{
    if (user == nullptr || user->m_iChnSip < 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[User_BroadBye]-- 不能根据SipChn[%d]找到pUser", user ? user->m_iChnSip : -1);
        return -1;
    }
    const int chn = user->m_iChnSip;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn,
              "[User_BroadBye]-- 收到[ 当前 ]Sip通道的挂机信号 UserTel[%s]  SipChn[%d] UserStatus[%s]", user->m_chUserTel, chn,
              Static_Status(user->m_eUserStatus));
    // The BYE's answer handling ends the line's side of the call.
    SipMan_SendBye(chn, user->m_iUserChn);
    return 0;
}

// ---- the automatic call

namespace {
bool Static_BothLines(USER_INFO_T*& line0, USER_INFO_T*& line1)
{
    line0 = User_GetByUserChn(0);
    line1 = User_GetByUserChn(1);
    return line0 != nullptr && line1 != nullptr;
}
}  // namespace

void UserAutoEstablishCall()
{
    if (OPT_CheckHostAddr() || !OPT_CheckSwitchIpIsLo()) return;
    USER_INFO_T *line0 = nullptr, *line1 = nullptr;
    if (!Static_BothLines(line0, line1)) return;
    for (const USER_INFO_T* u : {line0, line1})
        if (u->m_sRegInfo.m_eRegResult != E_REG_SUCC || u->m_eUserStatus != E_USER_ON_IDLE) return;
    // The guard would refuse the call at every 10 ms step: it is waited out here.
    if (UserWithinCallGuard(line0)) return;
    char number[sizeof line1->m_chUserTel];
    copy_text(number, line1->m_chUserTel);
    UserGetKeyOver(line0, number);
    g_iAutoEstablishEnable = 1;
}

void UserEndAutoCall()
{
    if (!OPT_CheckHostAddr() || g_iAutoEstablishEnable != 1) return;
    USER_INFO_T *line0 = nullptr, *line1 = nullptr;
    if (!Static_BothLines(line0, line1)) return;
    for (USER_INFO_T* u : {line0, line1}) {
        // The board's softswitch is restarted below: its calls end without a BYE.
        if (u->m_iChnSip >= 0) {
            LIBSIP_ResetChn(u->m_iChnSip);
            --g_sStatisticInfo.m_sSipChn.m_iChnCur;
        }
        UserPlayToneStop(u);
        UserCallEnd(u);
    }
    g_iAutoEstablishEnable = 0;
    run_shell("killall sipswitch;./switch/sipswitch &");
}
