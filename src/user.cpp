#include "user.h"

#include "arm_environment.h"
#include "multi_log.h"

namespace {
USER_INFO_T* Static_Line(int line)
{
    USER_INFO_T* user = User_GetByUserChn(line);
    if (user == nullptr)
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[User_SetCorParity]-- User_GetByUserChn failed... return");
    return user;
}
}  // namespace

USER_INFO_T* User_GetByUserChn(int line)
{
    if (line < 0 || line >= g_iUse_Chn_Max || line >= kMaxUserChn) return nullptr;
    USER_INFO_T& user = g_sUserInfo[line];
    return user.m_iUserChn == -1 ? nullptr : &user;
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
