#include "sharememory.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "board.h"
#include "fifo.h"
#include "main.h"
#include "multi_log.h"
#include "print_sys.h"
#include "sip.h"
#include "struct_sys.h"
#include "text.h"

int g_iHandleShareMemory = -1;
QVD_CGI_SHARE_MEMORY_T* g_pCgiShm = nullptr;

namespace {

// The web program writes the lock word and the flags behind our back: every access is a
// real load or store.
volatile QVD_CGI_SHARE_MEMORY_T* Static_Shm() { return g_pCgiShm; }

void Static_SetLock(QVD_FLAG_LOCK_E value)
{
    if (auto* shm = Static_Shm()) shm->m_eLocked = value;
}

long long Static_NowMs()
{
    return monotonic_us() / 1000;
}

bool Static_LineOk(int line) { return line >= 0 && line < kMaxUserChn; }

}  // namespace

QVD_FLAG_LOCK_E ShareMem_GetLock()
{
    auto* shm = Static_Shm();
    return shm ? shm->m_eLocked : FLAG_ALL_OFF;
}

bool ShareMem_Lock()
{
    auto* shm = Static_Shm();
    if (shm == nullptr || shm->m_eLocked != FLAG_ALL_OFF) return false;
    shm->m_eLocked = FLAG_PRO_ON;
    return true;
}

void ShareMem_Unlock(bool taken)
{
    if (taken) Static_SetLock(FLAG_ALL_OFF);
}

QVD_CGI_SHARE_MEMORY_T* ShareMem_Create(key_t key)
{
    if (key <= 0) key = kShmKeyDefault;
    int id = shmget(key, kShmSize, IPC_CREAT | IPC_EXCL | 0777);
    if (id < 0) {
        if (errno == EEXIST) {
            std::printf("The share memory segment is already exist\n");
            id = shmget(key, 0, 0777);
            if (id < 0) {
                std::printf("The share memory segment is already exist... Create Failed\n");
                return nullptr;
            }
        } else {
            if (errno == EINVAL) std::printf(" or the size is not correct, Reget.\n");
            return nullptr;
        }
    }
    // A segment left under our key by something else may be smaller than our layout; writing
    // our records into it would run past its end.
    shmid_ds info{};
    if (shmctl(id, IPC_STAT, &info) != 0 || info.shm_segsz < kShmSize) {
        std::printf("The share memory segment [key %d] holds %zu bytes, %zu needed; not used\n",
                    static_cast<int>(key), static_cast<std::size_t>(info.shm_segsz), kShmSize);
        return nullptr;
    }
    g_iHandleShareMemory = id;
    return ShareMem_Attatch();
}

QVD_CGI_SHARE_MEMORY_T* ShareMem_Attatch()
{
    if (g_iHandleShareMemory < 0) return nullptr;
    void* p = shmat(g_iHandleShareMemory, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) return nullptr;
    g_pCgiShm = static_cast<QVD_CGI_SHARE_MEMORY_T*>(p);
    return g_pCgiShm;
}

int ShareMem_Free()
{
    if (g_pCgiShm == nullptr) return -1;
    if (ShareMem_GetLock() == FLAG_PRO_ON) Static_SetLock(FLAG_ALL_OFF);
    if (shmdt(g_pCgiShm) != 0) return -1;
    g_pCgiShm = nullptr;
    std::printf("[ShareMem_Free]-- \n");
    return 0;
}

int ShareMem_Delete()
{
    if (g_iHandleShareMemory < 0 || shmctl(g_iHandleShareMemory, IPC_RMID, nullptr) != 0) {
        std::printf("fail........\n");
        return -1;
    }
    g_iHandleShareMemory = -1;
    std::printf("[ShareMem_Delete]-- \n");
    return 0;
}

void SystemShareMemInit(QVD_CGI_SHARE_MEMORY_T* segment) { ShareMem_InitWithin(segment, kShmLockWaitMs); }

void ShareMem_InitWithin(QVD_CGI_SHARE_MEMORY_T* segment, int max_wait_ms)
{
    if (segment == nullptr) segment = ShareMem_Create(0);
    if (segment == nullptr) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_ERROR, -1, "创建共享内存失败, 无法用CGI程序修改数据库信息");
        return;
    }
    // A web program that died holding its lock must not keep the gateway from starting.
    long long start = Static_NowMs();
    bool logged = false;
    while (ShareMem_GetLock() == FLAG_WEB_ON) {
        // Stopped while waiting: the web program keeps its lock and its flags untouched.
        if (System_QuitPending()) return;
        if (Static_NowMs() - start >= max_wait_ms) {
            MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_WARNNING, -1, "等待共享内存解锁超时[%d ms], 强制加锁", max_wait_ms);
            break;
        }
        if (!logged) MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, -1, "等待共享内存解锁");
        logged = true;
        usleep(2000);
    }
    // Whatever an earlier run left in the lock word is overwritten here: the flags below make
    // the first reload read every table.
    Static_SetLock(FLAG_PRO_ON);
    ShareMem_SetVerionInfo();
    auto* shm = Static_Shm();
    shm->m_eTBIni = E_FLAG_ON;
    shm->m_eTBTime = E_FLAG_ON;
    shm->m_eTBSerialCfg = E_FLAG_ON;
    shm->m_eTBDialMap = E_FLAG_ON;
    shm->m_eTBChannelSwitch = E_FLAG_ON;
    for (int i = 0; i < g_iUse_Chn_Max && i < kMaxUserChn; ++i) {
        shm->m_eUser[i] = E_FLAG_ON;
        shm->m_eUserCor[i] = E_FLAG_ON;
    }
    Static_SetLock(FLAG_ALL_OFF);
}

void ShareMem_SetVerionInfo()
{
    if (g_pCgiShm == nullptr || ShareMem_GetLock() == FLAG_WEB_ON) return;
    bool taken = ShareMem_Lock();
    QVD_VERSION_T& v = g_pCgiShm->m_sVersionInfo;
    std::memset(&v, 0, sizeof v);
    copy_text(v.m_chProgramVersion, kProgramVersion);
    copy_text(v.m_chLibSipVersion, LIBSIP_GetLibVersion());
    copy_text(v.m_chLibBaseVersion, LibBase_GetLibVersion());
    copy_text(v.m_chDriverVersion, g_sSysCfgInfo.m_sDevEnv.m_chVerionDriver);
    copy_text(v.m_chCpldVersion, g_sSysCfgInfo.m_sDevEnv.m_chVersionCpld);
    ShareMem_Unlock(taken);
}

void ShareMem_SetLineStatus(int line, SYS_LINE_STATUS_E status)
{
    if (g_pCgiShm == nullptr || !Static_LineOk(line)) return;
    bool taken = ShareMem_Lock();
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, line, "[ShareMem_SetLineStatus]-- iUserChn[%d], eLineStatus[%s]", line,
              PrintEnum(g_sPrintLineStatus, status));
    g_pCgiShm->m_sLineStatus[line].m_eStatusLine = status;
    ShareMem_Unlock(taken);
}

void ShareMem_SetUserStatus(const USER_INFO_T* user)
{
    if (g_pCgiShm == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[ShareMem_SetUserStatus]-- 检查共享内存是否打开");
        return;
    }
    if (user == nullptr || user->m_iUserChn < 0 || user->m_iUserChn >= g_iUse_Chn_Max ||
        user->m_iUserChn >= kMaxUserChn) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[ShareMem_SetUserStatus]-- 入参不合法");
        return;
    }
    QVD_LINE_STATUS_INFO_T& st = g_pCgiShm->m_sLineStatus[user->m_iUserChn];
    st.m_iChnSip = user->m_iChnSip;
    st.m_iChnRegister = user->m_sRegInfo.m_iRegChn;
    st.m_iChnRes = user->m_iChnRes;
    if (user->m_eInTalkFlag == E_FLAG_ON)
        copy_text(st.m_chCallerID, user->m_eIsCaller == E_IS_CALLER ? user->m_chCallee : user->m_chCaller);
    std::memset(st.m_chCodeType, 0, sizeof st.m_chCodeType);
    if (const char* name = PrintEnumOrNull(g_sPrintAudioCodeType, user->m_eUseCoder))
        copy_text(st.m_chCodeType, name);
    st.m_eRegisterResult = user->m_sRegInfo.m_eRegResult;
    st.m_sLocalAddr = user->m_sSdpLocal.a_addr;
    st.m_sRemoteAddr = user->m_sSdpRemote.a_addr;
}

void ShareMem_SetRegInfo(int line, REG_RESULT_E result)
{
    // By line: a line whose registration has no stack channel (none could be had, or it was
    // given back) still has its result shown.
    if (g_pCgiShm == nullptr || !Static_LineOk(line) || g_sUserInfo[line].m_iUserChn == -1) return;
    bool taken = ShareMem_Lock();
    g_pCgiShm->m_sLineStatus[line].m_iChnRegister = g_sUserInfo[line].m_sRegInfo.m_iRegChn;
    g_pCgiShm->m_sLineStatus[line].m_eRegisterResult = result;
    ShareMem_Unlock(taken);
}

void ShareMem_SetRtpLen(int line, API_PCM_ADPCM_FRAME_DURATION_E duration)
{
    if (g_pCgiShm == nullptr || !Static_LineOk(line)) return;
    bool taken = ShareMem_Lock();
    g_pCgiShm->m_sLineStatus[line].m_eRtpLen = duration;
    ShareMem_Unlock(taken);
}

void ShareMem_ResetCallStatus(int line)
{
    if (line < 0 || line >= g_iUse_Chn_Max || !Static_LineOk(line)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[ShareMem_ResetCallStatus]-- iUserChn[%d]不存在", line);
        return;
    }
    if (g_pCgiShm == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[ShareMem_ResetCallStatus]-- 检查共享内存是否打开");
        return;
    }
    bool taken = ShareMem_Lock();
    QVD_LINE_STATUS_INFO_T& st = g_pCgiShm->m_sLineStatus[line];
    st.m_eStatusLine = E_LINE_STATUS_IDLE;
    st.m_iChnSip = -1;
    st.m_sLocalAddr = {};
    st.m_sRemoteAddr = {};
    std::memset(st.m_chCallerID, 0, sizeof st.m_chCallerID);
    st.m_eRtpLen = E_PCM_ADPCM_FRAME_DURATION__DISABLE;
    std::memset(st.m_chCodeType, 0, sizeof st.m_chCodeType);
    ShareMem_Unlock(taken);
}
