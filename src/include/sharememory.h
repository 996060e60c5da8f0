// sharememory.h — the System V segment radiogate shares with the web configuration program:
// its change flags tell which tables were edited, and radiogate publishes each line's status,
// call details, registration result and the version texts there. The lock word at offset 0
// is the whole protocol between the two processes (0 free, 1 web program, 2 radiogate).
#pragma once
#include <cstddef>
#include <sys/types.h>

#include "define_sys.h"

struct USER_INFO_T;

struct QVD_LINE_STATUS_INFO_T {  // 160 bytes
    SYS_LINE_STATUS_E m_eStatusLine;
    QVD_CALL_STATUS_E m_eStatusCall;  // never written by radiogate
    int m_iChnRes;
    int m_iChnSip;  // -1 when none
    int m_iChnRegister;
    IPV4_ADDRESS m_sRemoteAddr;
    IPV4_ADDRESS m_sLocalAddr;
    API_PCM_ADPCM_FRAME_DURATION_E m_eRtpLen;
    SYS_FLAG_E m_eCallerHangup;  // never written by radiogate
    char m_chCodeType[8];
    char m_chCallerID[64];
    REG_RESULT_E m_eRegisterResult;
};

struct QVD_VERSION_T {  // 640 bytes
    char m_chProgramVersion[128];
    char m_chDriverVersion[128];
    char m_chCpldVersion[128];
    char m_chLibSipVersion[128];
    char m_chLibBaseVersion[128];
};

struct QVD_CGI_SHARE_MEMORY_T {  // 2212 bytes
    QVD_FLAG_LOCK_E m_eLocked;
    SYS_FLAG_E m_eTBIni;
    SYS_FLAG_E m_eTBTime;  // also makes TB_INI be read
    SYS_FLAG_E m_eTBSerialCfg;
    SYS_FLAG_E m_eTBDialMap;
    SYS_FLAG_E m_eTBChannelSwitch;  // makes TB_INI be read
    SYS_FLAG_E m_eUser[kMaxUserChn];
    SYS_FLAG_E m_eUserCor[kMaxUserChn];
    SYS_FLAG_E m_eResetChn[kMaxUserChn];  // never read or written by radiogate
    QVD_LINE_STATUS_INFO_T m_sLineStatus[kMaxUserChn];
    QVD_VERSION_T m_sVersionInfo;
};

// The web program reads these bytes at these places; a change here breaks it.
static_assert(sizeof(int) == 4);
static_assert(sizeof(QVD_LINE_STATUS_INFO_T) == 160);
static_assert(offsetof(QVD_LINE_STATUS_INFO_T, m_eStatusLine) == 0);
static_assert(offsetof(QVD_LINE_STATUS_INFO_T, m_eStatusCall) == 4);
static_assert(offsetof(QVD_LINE_STATUS_INFO_T, m_iChnRes) == 8);
static_assert(offsetof(QVD_LINE_STATUS_INFO_T, m_iChnSip) == 12);
static_assert(offsetof(QVD_LINE_STATUS_INFO_T, m_iChnRegister) == 16);
static_assert(offsetof(QVD_LINE_STATUS_INFO_T, m_sRemoteAddr) == 20);
static_assert(offsetof(QVD_LINE_STATUS_INFO_T, m_sRemoteAddr.port) == 44);
static_assert(offsetof(QVD_LINE_STATUS_INFO_T, m_sLocalAddr) == 48);
static_assert(offsetof(QVD_LINE_STATUS_INFO_T, m_sLocalAddr.port) == 72);
static_assert(offsetof(QVD_LINE_STATUS_INFO_T, m_eRtpLen) == 76);
static_assert(offsetof(QVD_LINE_STATUS_INFO_T, m_eCallerHangup) == 80);
static_assert(offsetof(QVD_LINE_STATUS_INFO_T, m_chCodeType) == 84);
static_assert(offsetof(QVD_LINE_STATUS_INFO_T, m_chCallerID) == 92);
static_assert(offsetof(QVD_LINE_STATUS_INFO_T, m_eRegisterResult) == 156);
static_assert(sizeof(QVD_VERSION_T) == 640);
static_assert(offsetof(QVD_VERSION_T, m_chProgramVersion) == 0);
static_assert(offsetof(QVD_VERSION_T, m_chDriverVersion) == 128);
static_assert(offsetof(QVD_VERSION_T, m_chCpldVersion) == 256);
static_assert(offsetof(QVD_VERSION_T, m_chLibSipVersion) == 384);
static_assert(offsetof(QVD_VERSION_T, m_chLibBaseVersion) == 512);
static_assert(sizeof(QVD_CGI_SHARE_MEMORY_T) == 2212);
static_assert(offsetof(QVD_CGI_SHARE_MEMORY_T, m_eLocked) == 0);
static_assert(offsetof(QVD_CGI_SHARE_MEMORY_T, m_eTBIni) == 4);
static_assert(offsetof(QVD_CGI_SHARE_MEMORY_T, m_eTBTime) == 8);
static_assert(offsetof(QVD_CGI_SHARE_MEMORY_T, m_eTBSerialCfg) == 12);
static_assert(offsetof(QVD_CGI_SHARE_MEMORY_T, m_eTBDialMap) == 16);
static_assert(offsetof(QVD_CGI_SHARE_MEMORY_T, m_eTBChannelSwitch) == 20);
static_assert(offsetof(QVD_CGI_SHARE_MEMORY_T, m_eUser) == 24);
static_assert(offsetof(QVD_CGI_SHARE_MEMORY_T, m_eUserCor) == 60);
static_assert(offsetof(QVD_CGI_SHARE_MEMORY_T, m_eResetChn) == 96);
static_assert(offsetof(QVD_CGI_SHARE_MEMORY_T, m_sLineStatus) == 132);
static_assert(offsetof(QVD_CGI_SHARE_MEMORY_T, m_sVersionInfo) == 1572);

inline constexpr key_t kShmKeyDefault = 5063;  // g_kShmID
inline constexpr std::size_t kShmSize = sizeof(QVD_CGI_SHARE_MEMORY_T);
// How long start-up waits for a lock the web program holds before taking it anyway.
inline constexpr int kShmLockWaitMs = 30000;

extern int g_iHandleShareMemory;  // segment identifier, -1 when none
extern QVD_CGI_SHARE_MEMORY_T* g_pCgiShm;  // attached address, null when not attached

// Creates (or takes over) and attaches the segment; a key above 0 replaces 5063. The
// address, or null (also for an existing segment smaller than the layout).
QVD_CGI_SHARE_MEMORY_T* ShareMem_Create(key_t key);
QVD_CGI_SHARE_MEMORY_T* ShareMem_Attatch();  // null without identifier or on failure
int ShareMem_Free();    // releases radiogate's lock and detaches; 0, or -1
int ShareMem_Delete();  // removes the segment; 0, or -1
// Start-up of the segment: create when none, wait (bounded) for the web program's lock,
// write the versions and raise every change flag.
void SystemShareMemInit(QVD_CGI_SHARE_MEMORY_T* segment);
// The same with the lock wait bounded by max_wait_ms.
void ShareMem_InitWithin(QVD_CGI_SHARE_MEMORY_T* segment, int max_wait_ms);
void ShareMem_SetVerionInfo();
void ShareMem_SetLineStatus(int line, SYS_LINE_STATUS_E status);
void ShareMem_SetUserStatus(const USER_INFO_T* user);
void ShareMem_SetRegInfo(int line, REG_RESULT_E result);  // the line's channel and result
void ShareMem_SetRtpLen(int line, API_PCM_ADPCM_FRAME_DURATION_E duration);
void ShareMem_ResetCallStatus(int line);

// The lock word as the web program last left it (FLAG_ALL_OFF without a segment).
QVD_FLAG_LOCK_E ShareMem_GetLock();
// Takes the lock for radiogate unless someone holds it; true when this call took it.
bool ShareMem_Lock();
// Gives back a lock that ShareMem_Lock took.
void ShareMem_Unlock(bool taken);
