// Radio floor control: who keys the line's PTT (network voice, the far end's floor INFO or
// telephone event), when the line asks the far end for the floor (its receiver active while
// talking) and the INFOs that carry requests, releases and answers.
#include "user_floor.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "arm_environment.h"
#include "line4.h"
#include "multi_log.h"
#include "parse_sipinfo.h"
#include "rtp_res.h"
#include "sipman.h"
#include "text.h"
#include "user.h"

namespace {

// Message codes of the stack: an INFO, and the 200 to a received INFO.
constexpr int kSendInfo = 206;
constexpr int kSendInfoOk = 229;
constexpr int kBodyCallInfo = 0;

constexpr int kPairIdFirst = 1000;
constexpr int kPairIdWrap = 9000;    // a pair id above this starts again at the first
constexpr int kFloorIdRange = 256;   // floor message ids run 1..256
constexpr int kWaitAnswerSteps = 100;   // a request or release unanswered for 1 s lapses
constexpr int kReleaseHoldSteps = 30;   // no COR release this soon after network voice ended
constexpr int kUnmuteMs = 500;          // the four-wire input stays muted after a PTT release

// Request ids are process-wide: the far end sees one sequence whichever line asks.
int s_iTakenReqId = kPairIdFirst;
int s_iIdleReqId = kPairIdFirst;
int s_iFloorIdDtmf = 0;
int s_iFloorIdSip = 0;
// The pair last printed for a VOX line: line-side voice flag and floor state.
int s_iVoxShownBusy = -1;
int s_iVoxShownState = -1;

int Static_Line(const USER_INFO_T* user) { return user ? user->m_iUserChn : -1; }

const SYS_CFG_INFO_T& Static_Staged() { return g_sDBInfo.m_sSysCfgInfo; }

int Static_NextFloorId(int& counter)
{
    counter = counter % kFloorIdRange + 1;
    return counter;
}

// A call-info body on the channel as the stack's Call-Info text, with message code.
int Static_SendCallInfo(int chn, std::string_view body, int code)
{
    SIP_CALL_INFO ci{};
    ci.use = 1;
    copy_text(ci.content, body);
    LIBSIP_SetDataType(chn, kBodyCallInfo);
    LIBSIP_SetCallInfo(chn, &ci);
    return LIBSIP_Send(code, chn);
}

int Static_SendPair(int chn, const char* caller, int& counter, const char* first, const char* second)
{
    if (chn < 0) return -1;
    if (counter > kPairIdWrap) counter = kPairIdFirst;
    for (const char* type : {first, second}) {
        char body[kSipInfoBodyMax];
        std::snprintf(body, sizeof body, "ptttype=%s;ptttel=%.63s;reqid=%d", type, caller ? caller : "", counter++);
        Static_SendCallInfo(chn, body, kSendInfo);
    }
    return 0;
}

// The four-wire input of a channel at a volume: 0 mutes it, 1..7 un-mutes it at that level,
// higher values leave it as it is.
void Static_InputVolume(int channel, int level)
{
    if (level < 0 || level >= 8) return;
    Line4_SetMuteForMic(channel, level == 0 ? 1 : 0);
    if (level != 0) Line4_SetMicVolume(channel, level);
}

// The floor message of the configured form, once the floor state is the new one.
void Static_FloorMessage(USER_INFO_T* user, SPEEK_RIGHT_E state)
{
    user->m_eSpeekStatus = state;
    switch (g_sSysCfgInfo.m_eRequestInfoType) {
    case E_INFO_DTMF: User_SeepkRightDtmf(user, state); break;
    case E_INFO_SIP: User_SeepkRight(user, state); break;
    default: break;
    }
}

void Static_Seize(USER_INFO_T* user)
{
    User_SendSipInfo(user->m_iChnSip, Static_Staged().m_chrequestpro);
    User_SendTakenSipInfo(user->m_iChnSip, user->m_chCaller);
    user->m_eOldSpeekStatus = user->m_eSpeekStatus;
    Static_FloorMessage(user, E_REQ_SPEEK_RIGHT);
    user->m_iWaitReqTime = 1;
}

void Static_Release(USER_INFO_T* user)
{
    User_SendSipInfo(user->m_iChnSip, Static_Staged().m_chreleasepro);
    User_SendIdleSipInfo(user->m_iChnSip, user->m_chCaller);
    Static_FloorMessage(user, E_RELEASE_SPEEK_RIGHT);
    user->m_iWaitReqTime = 1;
}

// The nine-line board's four-wire input of line 7 follows its COR while it talks.
void Static_Line4Input(USER_INFO_T* user)
{
    if (g_sSysCfgInfo.m_sDevEnv.m_eSysCompMod != E_SYS_9W || user->m_iUserChn != 7) return;
    const int cor = ArmEnv_GetCorInfo(user->m_iChn4Line);
    int on = -1;
    if (cor == 1 && g_iLine4InputEna == 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[UserStatusOnTalking]-- 四线输入使能打开");
        g_iLine4InputEna = 1;
        Static_InputVolume(user->m_iUserChn + 1, user->m_eCodecGainInput);
        on = 1;
    } else if (cor != 1 && g_iLine4InputEna == 1) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[UserStatusOnTalking]-- 四线输入使能关闭");
        g_iLine4InputEna = 0;
        Line4_SetMuteForMic(user->m_iUserChn + 1, 1);
        on = 0;
    }
    if (on < 0) return;
    for (int c = 0; c < g_iUse_Chn_Max && c < kMaxUserChn; ++c) RTP_SetPttOnOff(c, on);
}

void Static_ByCor(USER_INFO_T* user)
{
    const int cor = ArmEnv_GetCorInfo(user->m_iChn4Line);
    if (cor == 1 && user->m_eSpeekStatus == E_QUIET_MODE && user->m_ePTTFlag != E_FLAG_ON) {
        if (user->m_eRequestFlag == E_FLAG_ON) return;
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "发送抢占话权请求 by cor");
        Static_Seize(user);
    } else if (cor != 1 && user->m_eSpeekStatus == E_REQ_SPEEK_SUCC) {
        if (user->m_eRequestFlag == E_FLAG_ON || user->m_errorFlg > 0) {
            if (user->m_errorFlg > 0) --user->m_errorFlg;
            return;
        }
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "发送释放话权请求 by cor");
        Static_Release(user);
    }
}

void Static_ByVox(USER_INFO_T* user)
{
    const SYS_FLAG_E busy = RTP_GetRtpBusy(user->m_iChnRes);
    if (busy != s_iVoxShownBusy && user->m_eSpeekStatus != s_iVoxShownState) {
        std::printf("~~~~~~~~~~~~~~   %d     %d\n", busy, user->m_eSpeekStatus);
        s_iVoxShownBusy = busy;
        s_iVoxShownState = user->m_eSpeekStatus;
    }
    if (busy == E_FLAG_ON && user->m_eSpeekStatus == E_QUIET_MODE) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "发送抢占话权请求 by vox");
        Static_Seize(user);
    } else if (busy != E_FLAG_ON && user->m_eSpeekStatus == E_REQ_SPEEK_SUCC) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "发送释放话权请求 by vox");
        Static_Release(user);
    }
}

// The line whose call a floor message or answer belongs to, logged when there is none.
USER_INFO_T* Static_CallLine(int chn, const char* func)
{
    USER_INFO_T* user = User_GetBySipChn(chn);
    if (user == nullptr) MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[%s] pUser[NULL]", func);
    return user;
}

bool Static_Contains(const char* field, std::string_view word)
{
    return std::string_view(field, strnlen(field, sizeof(T_MSG_STRUCT::m_chMsg))).find(word) != std::string_view::npos;
}

// A received text as an event: trailing line ends (a digit sent as INFO ends in CR LF) are
// not part of it.
std::string_view Static_EventText(const char* text)
{
    std::string_view v(text, strnlen(text, kSipInfoBodyMax));
    while (!v.empty() && (v.back() == '\r' || v.back() == '\n')) v.remove_suffix(1);
    return v;
}

// A received call-info body decoded; false after the log line for a missing or undecodable one.
bool Static_ReadCallInfo(const SIP_CALL_INFO* info, T_MSG_STRUCT& msg)
{
    if (info == nullptr || info->content[0] == '\0') {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "c_pchTextValue[NULL]");
        return false;
    }
    if (Dec_Sipinfo_ExternMsg(info->content, static_cast<int>(sizeof info->content), &msg) != 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[User_S2POnGetTextSipInfo] <Dec_Sipinfo_ExternMsg> failed");
        return false;
    }
    return true;
}

// A received text-form body decoded; false after the log line when it does not decode.
bool Static_ReadText(const char* text, T_MSG_STRUCT& msg)
{
    if (Dec_Sipinfo_ExternMsgDtmf(text, kSipInfoBodyMax, &msg) == 0) return true;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[User_S2POnGetTextSipInfo] <Dec_Sipinfo_ExternMsg> failed");
    return false;
}

// The network voice end shared by the time-out and local-voice cases: a call the far end
// left while its voice still played is hung up now; otherwise PTT and play-out go off.
int Static_VoiceEnd(int res_chn, bool only_vox)
{
    USER_INFO_T* user = User_GetByResChn(res_chn);
    if (user == nullptr) return 0;
    if (RTP_GetRtpOverFlag(res_chn) == E_FLAG_ON) {
        UserHangUpAfterPlayVoice(user);
        RTP_SetRtpOverFlag(res_chn, E_FLAG_OFF);
        return 0;
    }
    if (only_vox) {
        if (user->m_ePttType != E_PTT_VOX || user->m_eRequestFlag == E_FLAG_ON) return 0;
        user->m_errorFlg = kReleaseHoldSteps;
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "Ptt Off By Vox1");
    }
    User_SetPTTOff(user);
    RTP_SetSendOnOff(res_chn, E_RTP_BUF_NETWORK, E_FLAG_OFF);
    user->m_ePttType = E_PTT_NULL;
    return 0;
}

}  // namespace

// ---- senders

int User_SendSipInfo(int chn, const char* text)
{
    if (chn < 0) return -1;
    USER_INFO_T* user = User_GetBySipChn(chn);
    return SipMan_SendSipInfo(chn, text, Static_Line(user));
}

int User_SendTakenSipInfo(int chn, const char* caller)
{
    return Static_SendPair(chn, caller, s_iTakenReqId, "taken", "request");
}

int User_SendIdleSipInfo(int chn, const char* caller)
{
    return Static_SendPair(chn, caller, s_iIdleReqId, "idle", "release");
}

int User_SeepkRightDtmf(USER_INFO_T* user, SPEEK_RIGHT_E state)
{
    if (user == nullptr || user->m_iChnSip < 0) return -1;
    T_MSG_STRUCT msg{};
    std::snprintf(msg.m_chId, sizeof msg.m_chId, "%d", Static_NextFloorId(s_iFloorIdDtmf));
    copy_text(msg.m_chTel, user->m_chUserTel);
    copy_text(msg.m_chMsg, state == E_REQ_SPEEK_RIGHT ? "request" : "release");
    char body[kSipInfoBodyMax];
    if (Enc_Sipinfo_ExternMsgDtmf(body, sizeof body, &msg) != 0) return -1;
    return User_SendSipInfo(user->m_iChnSip, body) < 0 ? -1 : 0;
}

int User_SeepkRight(USER_INFO_T* user, SPEEK_RIGHT_E state)
{
    if (user == nullptr || user->m_iChnSip < 0) return -1;
    T_MSG_STRUCT msg{};
    std::snprintf(msg.m_chreqid, sizeof msg.m_chreqid, "%d", Static_NextFloorId(s_iFloorIdSip));
    copy_text(msg.m_chptttype, state == E_REQ_SPEEK_RIGHT ? "request" : "release");
    copy_text(msg.m_chTel, user->m_chUserTel);
    char body[kSipInfoBodyMax];
    if (Enc_Sipinfo_ExternMsg(body, sizeof body, "", &msg) != 0) return -1;
    return Static_SendCallInfo(user->m_iChnSip, body, kSendInfo) < 0 ? -1 : 0;
}

int User_VoiceRespCtrl(USER_INFO_T* user, VOICE_CTRL_E ctrl, const char* reqid, const char* ptttype)
{
    if (user == nullptr) return -1;
    const char* result = ctrl == E_REQ_SUCC ? "accept" : ctrl == E_REQ_FAIL ? "reject" : ctrl == E_REL_SUCC ? "ack" : nullptr;
    if (result == nullptr) return -1;
    T_MSG_STRUCT msg{};
    copy_text(msg.m_chreqid, reqid ? reqid : "");
    copy_text(msg.m_chptttype, ptttype ? ptttype : "");
    copy_text(msg.m_chresult, result);
    char body[kSipInfoBodyMax];
    if (Enc_Sipinfo_ExternMsg(body, sizeof body, "request", &msg) != 0) return -1;
    return Static_SendCallInfo(user->m_iChnSip, body, kSendInfoOk) < 0 ? -1 : 0;
}

// ---- steps

void UserStatusOnTalking(USER_INFO_T* user)
{
    if (user == nullptr) return;
    Static_Line4Input(user);
    if (user->m_eSpeekStatus == E_REQ_SPEEK_RIGHT || user->m_eSpeekStatus == E_RELEASE_SPEEK_RIGHT) {
        if (user->m_iWaitReqTime++ % kWaitAnswerSteps == 0) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "恢复静音状态");
            user->m_eSpeekStatus = E_QUIET_MODE;
        }
    }
    switch (g_sSysCfgInfo.m_eRequestType) {
    case E_USE_COR: Static_ByCor(user); break;
    case E_USE_VOX: Static_ByVox(user); break;
    default: break;
    }
}

void UserCheckPttTime(USER_INFO_T* user)
{
    if (user == nullptr || user->m_ePTTFlag != E_FLAG_ON) return;
    user->m_iPTTOnTime += 10;
    if (user->m_iPTTOnTime < user->m_sCfgCorNetwork.m_iPTTTimeOut * 1000) return;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn, "已到达PTT 按下的最大时长");
    user->m_eSampleCorFlag = E_FLAG_ON;
    user->m_eRequestFlag = E_FLAG_OFF;
    UserSendCorOffFromVoxNetWorkLongTime(user->m_iChnRes);
}

void UserCheckSampleTime(USER_INFO_T* user)
{
    if (user == nullptr || user->m_eSampleCorFlag != E_FLAG_ON) return;
    user->m_iSampleCorTime += 10;
    if (user->m_iSampleCorTime < user->m_sCfgCorNetwork.m_iSamplCorTimeMax) return;
    user->m_eSampleCorFlag = E_FLAG_OFF;
    user->m_iSampleCorTime = 0;
}

void User_SetOffAudio(USER_INFO_T* user)
{
    if (user == nullptr || user->m_eOffAudioFlag != E_FLAG_ON) return;
    user->m_iOffAudioTime += 10;
    if (user->m_iOffAudioTime < kUnmuteMs) return;
    user->m_eOffAudioFlag = E_FLAG_OFF;
    user->m_iOffAudioTime = 0;
    Static_InputVolume(user->m_iUserChn + 1, user->m_eCodecGainInput);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn, "PTT 释放延时打开声卡");
}

// ---- network voice

int UserSendCorFromVoxNetWork(int res_chn)
{
    USER_INFO_T* user = User_GetByResChn(res_chn);
    if (user == nullptr) return 0;
    const int cor = ArmEnv_GetCorInfo(user->m_iChn4Line);
    const SYS_FLAG_E busy = RTP_GetRtpBusy(res_chn);
    if ((cor == 1 || busy == E_FLAG_ON) && user->m_sCfgCorAudio.m_eUseVoiceCor == E_FLAG_ON) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn, "模拟侧PTT已经按下,网络侧禁止按下, cor[%d] busy[%d]", cor, busy);
        User_SetPTTOff(user);
        user->m_ePttType = E_PTT_NULL;
    } else if (user->m_eSampleCorFlag == E_FLAG_ON) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn, "长时间PTT占用后,PTT释放延迟中");
    } else if (user->m_ePttType != E_PTT_NULL || user->m_eRequestFlag == E_FLAG_ON) {
        // PTT is already the far end's, by a floor INFO or a telephone event.
    } else {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "Ptt On By Vox");
        User_SetPTTOn(user);
        RTP_SetSendOnOff(res_chn, E_RTP_BUF_NETWORK, E_FLAG_ON);
        user->m_ePttType = E_PTT_VOX;
    }
    return 0;
}

int UserSendCorOffFromVoxNetWork(int res_chn) { return Static_VoiceEnd(res_chn, true); }
int UserSendCorOffFromVoxNetWorkLongTime(int res_chn) { return Static_VoiceEnd(res_chn, false); }
int UserSendCorOffFromVoxNetWorkByPstn(int res_chn) { return Static_VoiceEnd(res_chn, false); }

int User_PstnVoiceFirst(USER_INFO_T* user)
{
    if (user == nullptr) return 0;
    user->m_eSampleCorFlag = E_FLAG_ON;
    UserSendCorOffFromVoxNetWorkByPstn(user->m_iChnRes);
    user->m_iSampleCorTime = 0;
    return 0;
}

// ---- floor requests as events (text INFO or RTP telephone event)

namespace {
USER_INFO_T* Static_EventLine(int chn, const char* func, const char* vox_warning)
{
    if (chn < 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[%s] sipchn < 0", func);
        return nullptr;
    }
    USER_INFO_T* user = User_GetBySipChn(chn);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[%s] User is NULL", func);
        return nullptr;
    }
    if (user->m_sCfgCorNetwork.m_eCorType == E_NW_COR_DETECT_TYPE_VOX) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn, "%s", vox_warning);
        return nullptr;
    }
    return user;
}
}  // namespace

// The board is not sampled here: this runs inside the RTP and SIP polls, and a sample taken
// there would advance the COR inhibit and hot-line timers by a step for every event packet.
int UserRequestPro(int chn)
{
    USER_INFO_T* user = Static_EventLine(chn, "UserRequestPro", "[UserRequestPro] NET COR 类型为 vox  不能抢权");
    if (user == nullptr || user->m_eRequestFlag == E_FLAG_ON) return 0;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[UserRequestPro] 收到抢权消息，处理中。。。");
    User_SetPTTOn(user);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[UserRequestPro] 抢权成功，PTT按下");
    user->m_eRequestFlag = E_FLAG_ON;
    return 0;
}

int UserReleasePro(int chn)
{
    USER_INFO_T* user = Static_EventLine(chn, "UserReleasePro", "[UserRequestPro] NET COR 类型为 vox  不能放权");
    if (user == nullptr || user->m_eRequestFlag != E_FLAG_ON) return 0;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[UserReleasePro] 收到放权消息，处理中。。。");
    User_SetPTTOff(user);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[UserReleasePro] 放权成功，释放PTT");
    user->m_eRequestFlag = E_FLAG_OFF;
    return 0;
}

// ---- INFOs from the far end and the answers to the line's own

int User_S2POnGetTextSipInfo(SIP_CALL_INFO* info, int chn)
{
    T_MSG_STRUCT msg{};
    const bool read = Static_ReadCallInfo(info, msg);
    USER_INFO_T* user = Static_CallLine(chn, "User_S2POnGetTextSipInfo");
    if (user == nullptr) return -1;
    if (!read) {
        // The INFO is still answered, without a result: unanswered, the far end would repeat it
        // and then count the call as gone.
        LIBSIP_SetDataType(chn, kBodyCallInfo);
        LIBSIP_Send(kSendInfoOk, chn);
        return -1;
    }
    const std::string_view type(msg.m_chptttype);
    if (type == "taken" || type == "request") {
        if (user->m_ePttType != E_PTT_NULL) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, user->m_iUserChn, "Ptt On By Cor Failed,Vox Ptt on or Pstn Ptt On");
            return User_VoiceRespCtrl(user, E_REQ_FAIL, msg.m_chreqid, msg.m_chptttype);
        }
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "网络侧抢占话权 COR");
        user->m_ePttType = E_PTT_SIPINFO;
        User_SetPTTOn(user);
        return User_VoiceRespCtrl(user, E_REQ_SUCC, msg.m_chreqid, msg.m_chptttype);
    }
    if (type == "idle" || type == "release") {
        if (user->m_ePttType == E_PTT_SIPINFO) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "网络侧释放话权 COR");
            user->m_ePttType = E_PTT_NULL;
            User_SetPTTOff(user);
        }
        return User_VoiceRespCtrl(user, E_REL_SUCC, msg.m_chreqid, msg.m_chptttype);
    }
    LIBSIP_SetDataType(chn, kBodyCallInfo);
    LIBSIP_Send(kSendInfoOk, chn);
    return 0;
}

int User_S2POnGetTextSipInfoDtmf(int chn, const char* text)
{
    static constexpr char kFunc[] = "User_S2POnGetTextSipInfoDtmf";
    if (text == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "c_pchTextValue[NULL]");
        return -1;
    }
    // An event is the whole text of a floor code setting; other short texts are unknown events.
    const std::string_view event = Static_EventText(text);
    const SYS_CFG_INFO_T& staged = Static_Staged();
    if (!event.empty() && event == field_view(staged.m_chrequestpro)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "recv request info!  \n");
        return UserRequestPro(chn);
    }
    if (!event.empty() && event == field_view(staged.m_chreleasepro)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "recv release info!  \n");
        return UserReleasePro(chn);
    }
    if (event.size() == 1 || event == "10" || event == "11") {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[UserGetEvent] recv unknow event!");
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[UserGetSipXmlKey]-- Recv SIPINFO from Sip  , Event Error");
        return -1;
    }
    T_MSG_STRUCT msg{};
    if (!Static_ReadText(text, msg)) return -1;
    // The number names the line; only that line's own call may move its floor.
    USER_INFO_T* user = User_GetByTel(msg.m_chTel);
    if (user == nullptr || user->m_iChnSip != chn) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[%s] pUser[NULL]", kFunc);
        return -1;
    }
    const int line = user->m_iUserChn;
    if (Static_Contains(msg.m_chMsg, "granted")) {
        if (user->m_eSpeekStatus == E_REQ_SPEEK_RIGHT) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "抢权成功");
            user->m_eSpeekStatus = E_REQ_SPEEK_SUCC;
        } else {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "开始放音");
            user->m_eSpeekStatus = E_LISTEN_ONLY;
        }
    } else if (Static_Contains(msg.m_chMsg, "deny")) {
        if (user->m_eSpeekStatus == E_REQ_SPEEK_RIGHT) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "抢权失败");
            user->m_eSpeekStatus = E_REQ_SPEEK_FAIL;
        }
    } else if (Static_Contains(msg.m_chMsg, "ack")) {
        if (user->m_eSpeekStatus == E_RELEASE_SPEEK_RIGHT) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "释放成功");
            user->m_eSpeekStatus = E_QUIET_MODE;
        } else if (user->m_eSpeekStatus == E_LISTEN_ONLY) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "停止放音");
            user->m_eSpeekStatus = E_QUIET_MODE;
        }
    }
    return 0;
}

int User_S2POnGetTextSipInfoOk(SIP_CALL_INFO* info, int chn)
{
    T_MSG_STRUCT msg{};
    if (!Static_ReadCallInfo(info, msg)) return -1;
    USER_INFO_T* user = Static_CallLine(chn, "User_S2POnGetTextSipInfo");
    if (user == nullptr) return -1;
    const std::string_view type(msg.m_chptttype), result(msg.m_chresult);
    const int line = user->m_iUserChn;
    if (result == "accept" && type == "request") {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "sipinfo 抢权成功");
        user->m_eSpeekStatus = E_REQ_SPEEK_SUCC;
    } else if (result == "accept" && type == "release") {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "sipinfo 释放成功");
        user->m_eSpeekStatus = E_QUIET_MODE;
    } else if (result == "reject" && type == "request") {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "sipinfo 抢权失败");
    } else if (result == "reject" && type == "release") {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "sipinfo 释放失败");
    }
    return 0;
}

int User_S2POnGetTextSipInfoOkDtmf(const char* text, int chn)
{
    if (text == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "c_pchTextValue[NULL]");
        return -1;
    }
    T_MSG_STRUCT msg{};
    if (!Static_ReadText(text, msg)) return -1;
    USER_INFO_T* user = Static_CallLine(chn, "User_S2POnGetTextSipInfo");
    if (user == nullptr) return -1;
    if (Static_Contains(msg.m_chMsg, "granted")) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "Ptt Off By Cor Succ");
        user->m_eSpeekStatus = E_QUIET_MODE;
    } else if (Static_Contains(msg.m_chMsg, "deny")) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "Ptt Off By Cor Failed");
    }
    return 0;
}

int User_S2POnGetTextSipInfoOkNoCallInfo(int chn)
{
    USER_INFO_T* user = Static_CallLine(chn, "User_S2POnGetTextSipInfo");
    if (user == nullptr) return -1;
    if (user->m_eSpeekStatus == E_REQ_SPEEK_RIGHT)
        user->m_eSpeekStatus = E_REQ_SPEEK_SUCC;
    else if (user->m_eSpeekStatus == E_RELEASE_SPEEK_RIGHT)
        user->m_eSpeekStatus = E_QUIET_MODE;
    return 0;
}
