#include "register.h"

#include <cstring>

#include "multi_log.h"
#include "option_register.h"
#include "print_sys.h"
#include "sharememory.h"
#include "sipman.h"
#include "text.h"
#include "user.h"

int g_iSwitchChange = 0;

namespace {

constexpr int kRetrySeconds = 30;
constexpr const char* kMaskedPassword = "******";

// The softswitch every REGISTER goes to. The OPTIONS supervision keeps its own index of the
// current softswitch; the two switch callbacks move both.
SYS_REG_SW_NAME_E s_eRegSwitch = E_REG_SW_HOST;

int Static_Lines() { return g_iUse_Chn_Max < kMaxUserChn ? g_iUse_Chn_Max : kMaxUserChn; }

template <class Each>
void Static_EachLine(Each each)
{
    for (int i = 0; i < Static_Lines(); ++i)
        if (g_sUserInfo[i].m_iUserChn != -1) each(g_sUserInfo[i]);
}

const IPV4_ADDRESS& Static_Server(SYS_REG_SW_NAME_E sw)
{
    int i = sw >= 0 && sw < kMaxSwitchAddr ? sw : 0;
    return g_sSysCfgInfo.m_sSysServer.m_sServerAddr[i];
}

const char* Static_ServerName(int sw) { return PrintEnum(g_sPrintRegServer, sw >= 0 && sw < kMaxSwitchAddr ? sw : 4); }

int Static_Threshold(int expires)
{
    return static_cast<int>(expires * 0.8);
}

// The lifetime a REGISTER asks for: the configured one, raised to what the server said it takes.
int Static_AskExpires(const USER_REG_INFO_T& r) { return r.m_iMinExpires > r.m_iRegExpires ? r.m_iMinExpires : r.m_iRegExpires; }

void Static_SendRegister(USER_INFO_T& user)
{
    USER_REG_INFO_T& r = user.m_sRegInfo;
    r.m_sCurSwitchAddr = Static_Server(s_eRegSwitch);
    r.m_eCurSwitch = s_eRegSwitch;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user.m_iUserChn,
              "向 [ %s ][ %s:%d ]发起第一次注册, CntExpire[%d], Expire[%d], RegTel[%s]", Static_ServerName(r.m_eCurSwitch),
              r.m_sCurSwitchAddr.ip, r.m_sCurSwitchAddr.port, r.m_iCntRegExpire, Static_AskExpires(r), r.m_chRegTel);
    r.m_iRegChn = SipMan_SendRegister(r.m_iRegChn, Static_AskExpires(r), r.m_chRegTel, &r.m_sCurSwitchAddr, user.m_iUserChn);
    REG_SetUserRegisterStatus(&r, E_REG_STATUS_WAIT_RSP_FIRST);
}

// The waiting deletion or change of a line whose registration has just ended.
void Static_ApplyWaiting(USER_INFO_T& user)
{
    if (user.m_iDelFlag == 1)
        REG_DeleteRegisterUser(&user);
    else if (user.m_iModFlag == 1)
        REG_ModifyRegisterUser(&user);
}

void Static_SetResult(USER_INFO_T& user, REG_RESULT_E result)
{
    USER_REG_INFO_T& r = user.m_sRegInfo;
    const int line = user.m_iUserChn;
    r.m_eRegResult = result;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line,
              "[RegSetUserRegResult]-- pUser[%s], RegSwitch[%s:%d], Expires[%d],  RegResult[ %s ]", r.m_chRegTel,
              r.m_sCurSwitchAddr.ip, r.m_sCurSwitchAddr.port, Static_AskExpires(r), PrintEnum(g_sPrintRegResult, result));
    ShareMem_SetRegInfo(line, result);
    switch (result) {
    case E_REG_UNREGISTER:
        REG_SetUserRegisterStatus(&r, E_REG_STATUS_INIT);
        // However the registration ends (an answer to the removal, its time-out), its channel
        // leaves the SIP manager's count here, once.
        SipMan_ReleaseChn(r.m_iRegChn);
        r.m_iRegChn = -1;
        break;
    case E_REG_SUCC:
        g_iHaveRegHost = 0;
        SipMan_SetSuccessSwitchAddr(&Static_Server(s_eRegSwitch));
        REG_SetUserRegisterStatus(&r, E_REG_STATUS_WAIT_NEXT_EXPIRE);
        break;
    case E_REG_FAIL:
    case E_REG_TIMEOUT:
        r.m_iCntRegExpire = r.m_iThreadRegExpire - kRetrySeconds;
        REG_SetUserRegisterStatus(&r, E_REG_STATUS_WAIT_NEXT_EXPIRE);
        // The SIP manager frees a failed REGISTER's channel; a timed-out one stays for the next.
        if (result == E_REG_FAIL) r.m_iRegChn = -1;
        if (user.m_eInTalkFlag == E_FLAG_ON) SipMan_SendBye(user.m_iChnSip, line);
        break;
    default:
        break;
    }
}

void Static_Step(USER_INFO_T& user)
{
    USER_REG_INFO_T& r = user.m_sRegInfo;
    switch (r.m_eRegStatus) {
    case E_REG_STATUS_WAIT_NEXT_EXPIRE:
        if (r.m_iCntRegExpire >= r.m_iThreadRegExpire) Static_SendRegister(user);
        break;
    case E_REG_STATUS_WAIT_RSP_FIRST:
        if (r.m_iCntRegRsp > 1) REG_SetUserRegisterStatus(&r, E_REG_STATUS_WAIT_RSP_SECOND);
        break;
    case E_REG_STATUS_WAIT_RSP_SECOND:
        if (r.m_iCntRegRsp > 2) REG_SetUserRegisterStatus(&r, E_REG_STATUS_WAIT_RSP_THIRD);
        break;
    case E_REG_STATUS_WAIT_RSP_THIRD:
        // The stack reports no REGISTER time-out: this timer is what finds a dead softswitch.
        if (r.m_iCntRegRsp > 4) Static_SetResult(user, E_REG_TIMEOUT);
        break;
    case E_REG_STATUS_WAIT_UNREGISTING:
        if (r.m_iCntRegRsp > 2) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user.m_iUserChn,
                      "向 [ %s ] [%s:%d]发起注销超时, CntExpire[%d], Expire[%d], RegTel[%s]",
                      Static_ServerName(r.m_eCurSwitch), r.m_sCurSwitchAddr.ip, r.m_sCurSwitchAddr.port, r.m_iCntRegExpire,
                      r.m_iRegExpires, r.m_chRegTel);
            Static_SetResult(user, E_REG_UNREGISTER);
            Static_ApplyWaiting(user);
        }
        break;
    default:
        break;
    }
}

void Static_CheckChangeSwitch()
{
    if (g_iSwitchChange != 1) return;
    bool all = true;
    Static_EachLine([&](USER_INFO_T& u) {
        if (u.m_sRegInfo.m_eRegResult != E_REG_UNREGISTER || u.m_sRegInfo.m_eRegStatus != E_REG_STATUS_INIT) all = false;
    });
    if (!all) return;
    const IPV4_ADDRESS& to = Static_Server(s_eRegSwitch);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[RegCheckChangeSwitchServer]-- 所有用户已经注销,重新发起注册DstSw[%s][%s:%d]",
              Static_ServerName(s_eRegSwitch), to.ip, to.port);
    REG_UserRegAll_Now();
}

USER_INFO_T* Static_ByRegChn(int chn) { return chn < 0 ? nullptr : User_GetByRegChn(chn); }

}  // namespace

int REGISTER_Init()
{
    s_eRegSwitch = E_REG_SW_HOST;
    g_iSwitchChange = 0;
    OPT_INIT_T init{};
    init.m_pfuncSwitchNoRsp = RegChangeSwitchServerNoRsp;
    init.m_pfuncSwitchBack = RegChangeSwitchServer;
    return OPT_Init(&init);
}

SYS_REG_SW_NAME_E REG_GetRegSwitch() { return s_eRegSwitch; }

void REG_SetUserRegisterStatus(USER_REG_INFO_T* reg, REG_STATUS_E status)
{
    if (reg == nullptr) return;
    reg->m_eRegStatus = status;
    if (status != E_REG_STATUS_WAIT_NEXT_EXPIRE) reg->m_iCntRegRsp = 0;
    if (status == E_REG_STATUS_WAIT_RSP_FIRST) reg->m_iCntRegExpire = 0;
}

int Reg_UserInit(int iIndex)
{
    if (iIndex < 0 || iIndex >= kMaxUserChn) return -1;
    if (User_GetByUserChn(iIndex) == nullptr)
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, iIndex, "[Reg_UserInit]-- iUserChn[%d] 错误", iIndex);
    USER_REG_INFO_T& r = g_sUserInfo[iIndex].m_sRegInfo;
    r.m_iRegChn = -1;
    r.m_eRegResult = E_REG_UNREGISTER;
    REG_SetUserRegisterStatus(&r, E_REG_STATUS_INIT);
    r.m_iThreadRegExpire = Static_Threshold(Static_AskExpires(r));
    r.m_iCntRegExpire = r.m_iThreadRegExpire;
    return REG_UserRegByChn(iIndex, 0);
}

int REG_UserRegByChn(int line, int)
{
    USER_INFO_T* user = User_GetByUserChn(line);
    if (user == nullptr) return -1;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "[REG_UserRegByChn]-- iUserChn[%d]", line);
    REG_SetUserRegisterStatus(&user->m_sRegInfo, E_REG_STATUS_WAIT_NEXT_EXPIRE);
    return 0;
}

int REG_UserUnRegByChn(int line, int)
{
    USER_INFO_T* user = User_GetByUserChn(line);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, line, "[REG_UserUnRegByChn] can't find RegUser");
        return -1;
    }
    USER_REG_INFO_T& r = user->m_sRegInfo;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, line,
              "[REG_UserUnRegByChn]-- RegChn[%d], Regstatus[%d] , RegExpires[%d], RegTel[%s], Addr[%s:%d]\n", r.m_iRegChn,
              r.m_eRegStatus, r.m_iRegExpires, r.m_chRegTel, r.m_sCurSwitchAddr.ip, r.m_sCurSwitchAddr.port);
    SipMan_SendUnRegister(r.m_iRegChn, r.m_chRegTel, &r.m_sCurSwitchAddr, line);
    REG_SetUserRegisterStatus(&r, E_REG_STATUS_WAIT_UNREGISTING);
    return 0;
}

void REG_UserRegAll_Now()
{
    Static_EachLine([](USER_INFO_T& u) {
        u.m_sRegInfo.m_iCntRegExpire = u.m_sRegInfo.m_iThreadRegExpire;
        REG_SetUserRegisterStatus(&u.m_sRegInfo, E_REG_STATUS_WAIT_NEXT_EXPIRE);
    });
}

void REG_UserRegAll()
{
    Static_EachLine([](USER_INFO_T& u) { REG_SetUserRegisterStatus(&u.m_sRegInfo, E_REG_STATUS_WAIT_NEXT_EXPIRE); });
}

void REG_UserUnRegAll()
{
    Static_EachLine([](USER_INFO_T& u) { REG_UserUnRegByChn(u.m_iUserChn, 0); });
}

void REG_Process()
{
    Static_EachLine([](USER_INFO_T& u) {
        Static_Step(u);
        ++u.m_sRegInfo.m_iCntRegExpire;
        ++u.m_sRegInfo.m_iCntRegRsp;
    });
    Static_CheckChangeSwitch();
}

void REG_OnReport(int c_iSipChn, REG_RESULT_E result, const char* pchDate)
{
    Sys_TimeSync(pchDate);
    USER_INFO_T* user = Static_ByRegChn(c_iSipChn);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[RegNodeGetBySipChn]-- 无法根据SipChn[%d]找到对应用户", c_iSipChn);
        return;
    }
    USER_REG_INFO_T& r = user->m_sRegInfo;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn,
              "[REG_OnReport]-- c_iSipChn[%d], RegTel[%s], RegName[%s], RegPwd[%s], Result[%s]", c_iSipChn, r.m_chRegTel,
              r.m_chRegName, kMaskedPassword, PrintEnum(g_sPrintRegResult, result));
    // A server may answer a removal with a lifetime of its own: the removal is over all the
    // same, so the change or deletion waiting for it applies.
    if (result == E_REG_SUCC && r.m_eRegStatus == E_REG_STATUS_WAIT_UNREGISTING) result = E_REG_UNREGISTER;
    if (result != E_REG_UNREGISTER) {
        Static_SetResult(*user, result);
        return;
    }
    if (User_GetBySipChn(c_iSipChn) != nullptr) return;
    Static_SetResult(*user, E_REG_UNREGISTER);
    Static_ApplyWaiting(*user);
}

void REG_OnGranted(int c_iSipChn, int expires)
{
    USER_INFO_T* user = Static_ByRegChn(c_iSipChn);
    if (user == nullptr || expires <= 0) return;
    // A server may grant less (or more) than was asked: the refresh must come before the
    // granted lifetime runs out, not the asked one.
    int threshold = Static_Threshold(expires);
    user->m_sRegInfo.m_iThreadRegExpire = threshold > 0 ? threshold : 1;
}

int REG_OnIntervalTooBrief(int c_iSipChn, int min_expires)
{
    USER_INFO_T* user = Static_ByRegChn(c_iSipChn);
    if (user == nullptr) return -1;
    USER_REG_INFO_T& r = user->m_sRegInfo;
    // Only a raise is worth asking again at once; a server that keeps naming what was just
    // asked is an ordinary failure and waits for the retry.
    if (min_expires <= Static_AskExpires(r)) return -1;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn, "[REG_OnIntervalTooBrief]-- RegTel[%s] Expires[%d] -> Min-Expires[%d]",
              r.m_chRegTel, Static_AskExpires(r), min_expires);
    r.m_iMinExpires = min_expires;
    r.m_iThreadRegExpire = Static_Threshold(min_expires);
    // The answer ended the REGISTER's channel, which the SIP manager frees: a new one is taken.
    r.m_iRegChn = -1;
    r.m_iCntRegExpire = r.m_iThreadRegExpire;
    REG_SetUserRegisterStatus(&r, E_REG_STATUS_WAIT_NEXT_EXPIRE);
    return 0;
}

void UserCheckRegStatus(USER_INFO_T* user)
{
    if (user == nullptr || (user->m_iDelFlag != 1 && user->m_iModFlag != 1)) return;
    if (user->m_sRegInfo.m_eRegResult == E_REG_FAIL) {
        // Nothing is registered to remove: the waiting change or deletion applies at once.
        Static_ApplyWaiting(*user);
        return;
    }
    if (user->m_iDelFlag == 1)
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "用户空闲中,注销已删除的用户");
    else if (user->m_iModFlag == 1)
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "用户空闲中,注销已修改配置信息的用户");
    else
        return;
    REG_UserUnRegByChn(user->m_iUserChn, 0);
}

void REG_DeleteRegisterUser(USER_INFO_T* user)
{
    if (user == nullptr) return;
    user->m_iDelFlag = 0;
    std::memset(static_cast<void*>(user), 0, sizeof *user);
    user->m_iUserChn = -1;
    user->m_sRegInfo.m_iRegChn = -1;
    user->m_iChnSip = -1;
    REG_SetUserRegisterStatus(&user->m_sRegInfo, E_REG_STATUS_INIT);
}

void REG_ModifyRegisterUser(USER_INFO_T* user)
{
    if (user == nullptr) return;
    user->m_iModFlag = 0;
    USER_REG_INFO_T& r = user->m_sRegInfo;
    std::memset(&r, 0, sizeof r);
    copy_text(r.m_chRegTel, user->m_chNewRegTel);
    copy_text(r.m_chRegName, user->m_chNewRegName);
    copy_text(r.m_chRegPwd, user->m_chNewRegPwd);
    r.m_iRegExpires = user->m_iNewRegExpires;
    Reg_UserInit(user->m_iUserChn);
}

void RegChangeSwitchServerNoRsp(SYS_REG_SW_NAME_E from, SYS_REG_SW_NAME_E to)
{
    const IPV4_ADDRESS& a = Static_Server(from);
    const IPV4_ADDRESS& b = Static_Server(to);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[RegChangeSwitchServerNoRsp]-- 检测到[%s][%s:%d]无响应, 切换到[%s][%s:%d]",
              Static_ServerName(from), a.ip, a.port, Static_ServerName(to), b.ip, b.port);
    s_eRegSwitch = to;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "[RegChangeSwitchServerNoRsp]-- 向新软交换[%s][%s:%d],尝试发起注册",
              Static_ServerName(to), b.ip, b.port);
    REG_UserRegAll_Now();
}

void RegChangeSwitchServer(SYS_REG_SW_NAME_E from, SYS_REG_SW_NAME_E to)
{
    const IPV4_ADDRESS& a = Static_Server(from);
    const IPV4_ADDRESS& b = Static_Server(to);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[RegChangeSwitchServer]-- 检测到需要【 主备切换 】[%s][%s:%d]---->[%s][%s:%d]",
              Static_ServerName(from), a.ip, a.port, Static_ServerName(to), b.ip, b.port);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[RegChangeSwitchServer]-- 先向当前软交换[%s][%s:%d],发起注销",
              Static_ServerName(from), a.ip, a.port);
    REG_UserUnRegAll();
    s_eRegSwitch = to;
    g_iSwitchChange = 1;
}
