// Dialling on a line: the keys the DSP hears on the radio's audio, the function keys and the
// digit buffer. The dial map itself is in user_dialmap.cpp; a complete number goes to
// UserGetKeyOver, the digit time-out is a step of the call-progress machine (user.cpp).
#include "user_dial.h"

#include <cstring>
#include <string_view>

#include "arm_environment.h"
#include "multi_log.h"
#include "print_sys.h"
#include "sipman.h"
#include "text.h"
#include "user.h"

namespace {

// The buffer dials once it holds this many digits, so it always keeps its terminator.
constexpr int kMaxDialDigits = static_cast<int>(sizeof(USER_DTMF_INFO_T::m_chDtmfBuf)) - 1;
// The DSP also reports the keys A-D (12-15): no number or function key has them.
constexpr int kLastDialKey = 11;

const char* Static_Status(int status) { return PrintEnum(g_sPrintUserStatus, status); }

// The function keys in the order they are examined.
constexpr FUNCTION_KEY_INFO_T USER_CONFIG_FUNCK_T::*kKeyOrder[] = {
    &USER_CONFIG_FUNCK_T::m_sKHangOff, &USER_CONFIG_FUNCK_T::m_sKHangUp, &USER_CONFIG_FUNCK_T::m_sKConDial,
    &USER_CONFIG_FUNCK_T::m_sKHotLine, &USER_CONFIG_FUNCK_T::m_sKReDial,
};

// A key's digits: its count, never past its field.
std::string_view Static_KeyDigits(const FUNCTION_KEY_INFO_T& key)
{
    const std::string_view text = field_view(key.m_chFuncKey);
    if (key.m_iKeyLen <= 0) return {};
    return text.substr(0, static_cast<std::size_t>(key.m_iKeyLen));
}

// The state a function key returns to; a line collecting the rest of a key keeps the state
// it had before the key began.
void Static_SaveStatus(USER_INFO_T* user)
{
    if (user->m_eUserStatus != E_USER_STATUS_RECVING_FUNC_KEY) user->m_eSaveStatus = user->m_eUserStatus;
}

// A line that never left its state (a one-digit key) keeps its timers running.
void Static_RestoreStatus(USER_INFO_T* user)
{
    if (user->m_eUserStatus != user->m_eSaveStatus) UserSetStatus(user, user->m_eSaveStatus);
}

// A function key the line's state does not allow: the state before the key comes back, and
// the digits go unless they are kept (the number being collected).
constexpr bool kKeepDigits = true;
int Static_Refuse(USER_INFO_T* user, const char* why, bool keep_digits = false)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn, "%s", why);
    if (!keep_digits) UserDtmfRecvClear(user);
    Static_RestoreStatus(user);
    return -1;
}

USER_INFO_T* Static_KeyLine(int line, const char* handler)
{
    USER_INFO_T* user = User_GetByUserChn(line);
    if (user == nullptr)
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[%s]-- User_GetByUserChn failed... return", handler);
    return user;
}

void Static_AppendDigit(USER_INFO_T* user, char c)
{
    USER_DTMF_INFO_T& d = user->m_sDtmfRecv;
    if (d.m_iCurLen < 0 || d.m_iCurLen >= kMaxDialDigits) d = USER_DTMF_INFO_T{};
    d.m_chDtmfBuf[d.m_iCurLen++] = c;
    d.m_chDtmfBuf[d.m_iCurLen] = '\0';
}

// Dials the digits held; the buffer is empty afterwards.
void Static_DialBuffer(USER_INFO_T* user)
{
    char number[sizeof user->m_sDtmfRecv.m_chDtmfBuf];
    copy_text(number, field_view(user->m_sDtmfRecv.m_chDtmfBuf));
    user->m_sDtmfRecv = USER_DTMF_INFO_T{};
    UserGetKeyOver(user, number);
}

}  // namespace

int User_OnGetKeyFromDsp(int dsp_chn, int key)
{
    const int res_chn = dsp_chn - g_iChnChangeFactor;
    USER_INFO_T* user = User_GetByResChn(res_chn);
    if (user == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[User_OnGetKeyFromDsp]-- User_GetByResChn failed... return");
        return -1;
    }
    if (user->m_iKeyEnable == 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[User_OnGetKeyFromDsp]-- 收键功能关闭中");
        return -1;
    }
    // As a character these would be 255, which nothing can dial and which would be sent on
    // inside the called number.
    if (key < 0 || key > kLastDialKey) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn, "[User_OnGetKeyFromDsp]-- iKeyValue[%d] 不是拨号键, 丢弃", key);
        return -1;
    }
    const char c = SystemChangeFormatOfKey(key);
    if (user->m_eDtmfType == E_DTMF_TYPE_SIPINFO && user->m_iChnSip >= 0) {
        const char text[] = {c, '\r', '\n', '\0'};
        SipMan_SendSipInfo(user->m_iChnSip, text, user->m_iUserChn);
    }
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn,
              "[User_OnGetKeyFromDsp]-- pUser[%s],iResChn[%2d],KeyValue[%c],iKeyValue[%d]", user->m_chUserTel, res_chn, c, key);

    if (user->m_eUserStatus == E_USER_PLAY_TONE_DIAL_PTT_OFF) {
        UserPlayToneStop(user);
        UserSetStatus(user, E_USER_STATUS_RECVING_KEY);
    }
    Static_AppendDigit(user, c);
    // T_KEY_INTERVAL runs from the last digit.
    if (user->m_eUserStatus == E_USER_STATUS_RECVING_KEY) user->m_iCntStatus = 0;

    USER_DTMF_INFO_T& d = user->m_sDtmfRecv;
    if (d.m_iCurLen >= kMaxDialDigits) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn, "[UserOnGetKeyFromDsp] -- 超过最大的拨号长度，直接呼出");
        Static_DialBuffer(user);
        return 0;
    }
    if (UserCheckIsFuncKey(user->m_iUserChn, d.m_chDtmfBuf) == 0) return 0;
    // (A refused function key may have emptied the buffer: the '#' must still be in it.)
    const bool sharp_held = d.m_iCurLen > 0 && d.m_chDtmfBuf[d.m_iCurLen - 1] == '#';
    if (c == '#' && sharp_held && g_sSysCfgInfo.m_eShappSubmit == E_SUBMIT_KEY &&
        user->m_eUserStatus == E_USER_STATUS_RECVING_KEY) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[ # ]作为提交按键 发起呼叫 m_chDtmfBuf[%s]", d.m_chDtmfBuf);
        d.m_chDtmfBuf[--d.m_iCurLen] = '\0';
        // A '#' with nothing before it submits no number: the line goes on collecting.
        if (d.m_iCurLen > 0) Static_DialBuffer(user);
        return 0;
    }
    if (UserCheckNumInDialMap(d.m_chDtmfBuf) == 1) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn, "[UserOnGetKeyFromDsp] -- 匹配的拨号规则");
        Static_DialBuffer(user);
    }
    return 0;
}

void UserDtmfRecvClear(USER_INFO_T* user)
{
    if (user == nullptr) return;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn, "[UserDtmfRecvClear] -- 清空缓存");
    user->m_sDtmfRecv = USER_DTMF_INFO_T{};
}

int UserCheckIsFuncKey(int line, const char* digits)
{
    USER_INFO_T* user = User_GetByUserChn(line);
    if (user == nullptr || digits == nullptr || digits[0] == '\0') return -1;
    const std::string_view held(digits);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn, "收到按键[%s]", digits);
    for (auto member : kKeyOrder) {
        FUNCTION_KEY_INFO_T& key = user->m_sKeyCfg.*member;
        const std::string_view k = Static_KeyDigits(key);
        if (k.empty()) continue;
        if (k.size() > held.size() && k.substr(0, held.size()) == held) {
            Static_SaveStatus(user);
            if (user->m_eUserStatus != E_USER_STATUS_RECVING_KEY) UserSetStatus(user, E_USER_STATUS_RECVING_FUNC_KEY);
            return 0;
        }
        if (k.size() <= held.size() && held.substr(0, k.size()) == k) {
            Static_SaveStatus(user);
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, user->m_iUserChn,
                      "[UserCheckIsFuncKey]-- 接收到的按键[%s]匹配到[%s], m_iKeyLen[%d], iBufLen[%d]", digits, key.m_chFuncDescrip,
                      key.m_iKeyLen, static_cast<int>(held.size()));
            if (key.m_fpFunc == nullptr) return 0;
            return key.m_fpFunc(line) == -1 ? -1 : 0;
        }
    }
    // Outside digit collection the buffer holds no more than the start of a function key.
    if (user->m_eUserStatus != E_USER_STATUS_RECVING_KEY) UserDtmfRecvClear(user);
    return -1;
}

int UserCanProcFuncKey(USER_INFO_T* user)
{
    if (user == nullptr) return -1;
    switch (user->m_eSaveStatus) {
    case E_USER_ON_TALKING: return Static_Refuse(user, "通话中不执行该功能键");
    case E_USER_ON_MAKE_CALL: return Static_Refuse(user, "发起呼叫中,不处理该功能键");
    case E_USER_ON_REDIAL: return Static_Refuse(user, "追呼等待间隔中,不处理该功能键");
    case E_USER_STATUS_RECVING_KEY: return Static_Refuse(user, "接收按键时,不处理该功能键", kKeepDigits);
    case E_USER_PLAY_TONE_RING_BACK_PTT_OFF: return Static_Refuse(user, "听回铃音时,不处理该功能键");
    default:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn, "[UserCanProcFuncKey]-- 处理该功能键");
        UserDtmfRecvClear(user);
        return 0;
    }
}

int User_OnHangOffKey(int line)
{
    USER_INFO_T* user = Static_KeyLine(line, "User_OnHangOffKey");
    if (user == nullptr || UserCanProcFuncKey(user) != 0) return -1;
    // The dial tone goes out with PTT keyed; its step then releases PTT for the digits.
    return User_PlayToneStart(user, E_PLAY_TONE_DAIL);
}

int User_OnConDialKey(int line)
{
    USER_INFO_T* user = Static_KeyLine(line, "User_OnConDialKey");
    if (user == nullptr || UserCanProcFuncKey(user) != 0) return -1;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, user->m_iUserChn, "[User_OnPreDailKey]-- ");
    UserSetStatus(user, E_USER_STATUS_RECVING_KEY);
    return 0;
}

int User_OnHotLineKey(int line)
{
    USER_INFO_T* user = Static_KeyLine(line, "User_OnHotLineKey");
    if (user == nullptr) return -1;
    // The board calls this without any key: the state the check looks at is the line's own,
    // not one a long-finished key left behind.
    Static_SaveStatus(user);
    if (UserCanProcFuncKey(user) != 0) return -1;
    char number[sizeof user->m_chHotLine];
    copy_text(number, field_view(user->m_chHotLine));
    return UserGetKeyOver(user, number) == 0 ? 0 : -1;
}

int User_OnHangUpKey(int line)
{
    USER_INFO_T* user = Static_KeyLine(line, "User_OnHangUpKey");
    if (user == nullptr) return -1;
    UserDtmfRecvClear(user);
    Static_RestoreStatus(user);
    switch (user->m_eSaveStatus) {
    case E_USER_ON_RING_183:
    case E_USER_ON_MAKE_CALL:
    case E_USER_PLAY_TONE_RING_BACK_PTT_ON:
    case E_USER_PLAY_TONE_RING_BACK_PTT_OFF:
        // The far end's 487 then ends the call.
        SipMan_SendCancel(user->m_iChnSip, user->m_iUserChn);
        return 0;
    case E_USER_ON_TALKING:
        // The BYE's answer handling plays the busy tone.
        SipMan_SendBye(user->m_iChnSip, user->m_iUserChn);
        return 0;
    case E_USER_ON_REDIAL:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, user->m_iUserChn, "[User_OnHangUpKey]-- 追呼间隔中不处理该功能键");
        return -1;
    case E_USER_STATUS_RECVING_KEY:
        User_PlayToneStart(user, E_PLAY_TONE_BUSY);
        return 0;
    default:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, user->m_iUserChn, "[User_OnHangUpKey]-- 触发挂机[%s]的状态异常",
                  Static_Status(user->m_eSaveStatus));
        return -1;
    }
}

int User_OnCancelReCallKey(int line)
{
    USER_INFO_T* user = Static_KeyLine(line, "User_OnCancelReCallKey");
    if (user == nullptr) return -1;
    switch (user->m_eSaveStatus) {
    case E_USER_ON_IDLE: return Static_Refuse(user, "空闲时,不处理该功能键");
    case E_USER_ON_TALKING: return Static_Refuse(user, "通话中不执行该功能键");
    case E_USER_ON_REDIAL:
        UserReCallEnd(&user->m_s4xxRecall);
        UserReCallEnd(&user->m_sByeRecall);
        UserSetStatus(user, E_USER_ON_IDLE);
        UserDtmfRecvClear(user);
        return 0;
    case E_USER_STATUS_RECVING_KEY: return Static_Refuse(user, "接收按键时,不处理该功能键", kKeepDigits);
    case E_USER_PLAY_TONE_RING_BACK_PTT_OFF: return Static_Refuse(user, "听回铃音时,不处理该功能键");
    default:
        // A line collecting the key goes back at the function-key time-out.
        return 0;
    }
}
