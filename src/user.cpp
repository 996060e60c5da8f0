#include "user.h"

#include <cstdio>
#include <cstring>

#include "arm_environment.h"
#include "dsp_res.h"
#include "line4.h"
#include "multi_log.h"
#include "register.h"
#include "rtp_res.h"
#include "sharememory.h"
#include "sipman.h"
#include "text.h"
#include "user_s2p.h"

int g_iCallTh = 0;

namespace {
USER_INFO_T* Static_Line(int line)
{
    USER_INFO_T* user = User_GetByUserChn(line);
    if (user == nullptr)
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[User_SetCorParity]-- User_GetByUserChn failed... return");
    return user;
}

int Static_Lines() { return g_iUse_Chn_Max < kMaxUserChn ? g_iUse_Chn_Max : kMaxUserChn; }

// The first line in use that matches, or null.
template <class Match>
USER_INFO_T* Static_Find(Match match)
{
    for (int i = 0; i < Static_Lines(); ++i) {
        USER_INFO_T& user = g_sUserInfo[i];
        if (user.m_iUserChn != -1 && match(user)) return &user;
    }
    return nullptr;
}
}  // namespace

int User_Init()
{
    g_iCallTh = 0;
    Line4_Init(g_hDriverHandler);  // a missing four-wire board leaves the lines usable
    if (SipMan_Init() == -1) {
        std::fprintf(stderr, "sip module init fail\n");
        return -1;
    }
    REGISTER_Init();
    RTP_INIT_T rtp{};
    rtp.m_pfuncOnSendCor = UserSendCorFromVoxNetWork;
    rtp.m_pfuncOnSendCorOff = UserSendCorOffFromVoxNetWork;
    rtp.m_pfuncSendPacketToPcm = RES490_SendRtpPacketToPcm;
    copy_text(rtp.m_sLocalAddr.ip, field_view(g_sSysCfgInfo.m_sDevEnv.m_chLocalIP));
    rtp.m_sLocalAddr.port = g_sSysCfgInfo.m_iRtpPortMin;
    RTP_Init(&rtp);
    AC490_API_REGISTER_INIT dsp{};
    dsp.m_iHandle = g_hDriverHandler;
    copy_text(dsp.m_chDebugIP, field_view(g_sSysCfgInfo.m_sLogInfo.m_DebugAddr.ip));
    dsp.m_iDebugPort = g_sSysCfgInfo.m_sLogInfo.m_iLocalPortDebugDsp;
    dsp.m_eChipType = E_CHIP_12;
    dsp.m_pfuncOnGetKey = User_OnGetKeyFromDsp;
    dsp.m_pfuncSignalEvent = UserDspReportMsg;
    dsp.m_pfuncSendPacketToSip = RTP_PacketRecvFromPstn;
    if (RES490_Start(&dsp) == -1) {
        std::fprintf(stderr, "AC490 init fail\n");
        return -1;
    }
    for (int i = 0; i < Static_Lines(); ++i) User_InitChnData(i);
    return 0;
}

void User_InitChnData(int line)
{
    if (line < 0 || line >= kMaxUserChn) return;
    USER_INFO_T& user = g_sUserInfo[line];
    if (user.m_iUserChn == -1) return;
    user.m_iChnRes = line;
    user.m_iChnDsp = line + g_iChnChangeFactor;
    user.m_iChn4Line = line;
    UserOpenResChannel(&user);
    UserRelease(&user);
    user.m_s4xxRecall = SYS_RECALL_T{};
    user.m_sByeRecall = SYS_RECALL_T{};
}

void UserOpenResChannel(USER_INFO_T* user)
{
    const int dsp_chn = RES490_GetAvailableChn(user->m_iUserChn);
    user->m_iChnRes = dsp_chn - g_iChnChangeFactor;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[UserOpenResChannel]--获取的资源通道为ChnRes[%d] , ChnDsp[%d]",
              user->m_iChnRes, dsp_chn);
    RES490_ChannelOpen(dsp_chn);
}

void UserRelease(USER_INFO_T* user)
{
    if (user == nullptr) return;
    user->m_iCallTh = -1;
    user->m_iChnSip = -1;
    user->m_eGetSDPFlag = E_FLAG_OFF;
    user->m_eIsPlayTone = E_FLAG_OFF;
    user->m_eSaveStatus = E_USER_ON_IDLE;
    user->m_iRingBackTimes = 0;
    user->m_eInTalkFlag = E_FLAG_OFF;
    user->m_eRingFirst = E_FLAG_ON;
    user->m_iWaitReqTime = 1;
    user->m_iWaitSendByeTime = 1;
    user->m_eUserStatus = E_USER_ON_IDLE;
    user->m_iCntStatus = 0;
    // JOIN: the call-progress machine's state change (UserSetStatus) takes these two lines
    // over; entering idle runs the registration's idle hook, which starts a waiting change.
    UserCheckRegStatus(user);
    user->m_eRequestFlag = E_FLAG_OFF;
    std::memset(user->m_chCaller, 0, sizeof user->m_chCaller);
    std::memset(user->m_chCallee, 0, sizeof user->m_chCallee);
    ArmEnv_SetPTT(user->m_iUserChn, 0);
    ShareMem_ResetCallStatus(user->m_iUserChn);
    user->m_ePTTFlag = E_FLAG_OFF;
    user->m_eOffAudioFlag = E_FLAG_OFF;
    user->m_iOffAudioTime = 0;
    user->m_eCortimeFlag = E_FLAG_OFF;
    user->m_ePttType = E_PTT_NULL;
}

void User_Process()
{
    for (int i = 0; i < Static_Lines(); ++i) {
        USER_INFO_T& user = g_sUserInfo[i];
        if (user.m_iUserChn == -1) continue;
        ++user.m_iCntStatus;
        // The call-progress step, the PTT and COR-bar time checks and the four-wire un-mute
        // step of each line run here, in this order.
    }
    // The automatic-call check and its end check run here, once per step.
}

USER_INFO_T* User_GetByUserChn(int line)
{
    if (line < 0 || line >= Static_Lines()) return nullptr;
    USER_INFO_T& user = g_sUserInfo[line];
    return user.m_iUserChn == -1 ? nullptr : &user;
}

USER_INFO_T* User_GetBySipChn(int sip_chn)
{
    return Static_Find([&](const USER_INFO_T& u) { return u.m_iChnSip == sip_chn; });
}

USER_INFO_T* User_GetByRegChn(int reg_chn)
{
    return Static_Find([&](const USER_INFO_T& u) { return u.m_sRegInfo.m_iRegChn == reg_chn; });
}

USER_INFO_T* User_GetByTel(const char* tel)
{
    if (tel == nullptr) return nullptr;
    return Static_Find([&](const USER_INFO_T& u) { return std::strncmp(u.m_chUserTel, tel, 63) == 0; });
}

USER_INFO_T* User_GetByResChn(int res_chn)
{
    return Static_Find([&](const USER_INFO_T& u) { return u.m_iUserChn == res_chn; });
}

USER_REG_INFO_T* User_GetRegInfoByRegChn(int reg_chn)
{
    USER_INFO_T* user = User_GetByRegChn(reg_chn);
    return user ? &user->m_sRegInfo : nullptr;
}

USER_REG_INFO_T* User_GetRegInfoBySipChn(int sip_chn)
{
    USER_INFO_T* user = User_GetBySipChn(sip_chn);
    return user ? &user->m_sRegInfo : nullptr;
}

int User_CheckNotifySipChn(int sip_chn)
{
    USER_INFO_T* user = User_GetBySipChn(sip_chn);
    if (user == nullptr) return 0;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "find user %s by sipchn %d", user->m_chUserTel, sip_chn);
    return -1;
}

int User_GetUseCoder(int sip_chn)
{
    USER_INFO_T* user = User_GetBySipChn(sip_chn);
    return user ? user->m_eUseCoder : -1;
}

SYS_FLAG_E User_GetVoiceCorFlag(int res_chn)
{
    USER_INFO_T* user = User_GetByResChn(res_chn);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, res_chn, "[User_GetVoiceCorFlag]-- User_GetByResChn failed... return on");
        return E_FLAG_ON;
    }
    return user->m_sCfgCorAudio.m_eUseVoiceCor;
}

int User_SetCorParity(int line)
{
    USER_INFO_T* user = Static_Line(line);
    if (user == nullptr) return -1;
    ArmEnv_SetCorParity(line, user->m_sCfgCorAudio.m_eCorParity);
    return 0;
}

int User_SetCorRead(int line) { return Static_Line(line) ? 0 : -1; }

int User_SetBateTime(int line, int ms)
{
    // The board line of a line is its number.
    if (Static_Line(line) == nullptr) return -1;
    ArmEnv_SetBateTime(line, ms);
    return 0;
}

// JOIN: floor control keys and releases PTT here (board output, four-wire mute, PTT timers).
int User_SetPTTOn(USER_INFO_T*) { return 0; }
// JOIN: floor control releases PTT here and starts the four-wire un-mute delay.
int User_SetPTTOff(USER_INFO_T*) { return 0; }
// JOIN: floor control bars network voice here while the line's own voice has priority.
int User_PstnVoiceFirst(USER_INFO_T*) { return 0; }
// JOIN: floor control takes a far-end floor request here (key PTT unless already requested).
int UserRequestPro(int) { return 0; }
// JOIN: floor control takes a far-end floor release here.
int UserReleasePro(int) { return 0; }
// JOIN: floor control keys PTT for network voice here and switches the RTP play-out on.
int UserSendCorFromVoxNetWork(int) { return 0; }
// JOIN: floor control releases PTT after network voice here (or ends a call the far end left).
int UserSendCorOffFromVoxNetWork(int) { return 0; }
