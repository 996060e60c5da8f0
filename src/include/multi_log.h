// multi_log.h — radiogate's log files: each registered once under a file type, entries with a
// level bit, a channel, the source place and a time stamp, rotated into numbered backups.
#pragma once
#include <ctime>

// The board's clock runs 8 hours behind its local time; time stamps and the daily reboot add this.
inline constexpr time_t kBoardClockShift = 28800;

enum LOG_FILE_E : int { E_LOG_FILE_CFG = 0, E_LOG_FILE_FLOW = 1, E_LOG_FILE_REG = 2, E_LOG_MAX = 3 };

// Bit values; a file's maximum level is compared as a number, so 8 admits 1, 2, 4 and 8.
enum LOG_LEVEL_E : int {
    LOG_LVL_ERROR = 1,
    LOG_LVL_WARNNING = 2,
    LOG_LVL_SIMPLE = 4,
    LOG_LVL_FLOW = 8,
    LOG_LVL_DEBUG = 16,
    LOG_LVL_PRO = 32,
    LOG_LVL_SYSTEM = 64,
    LOG_LVL_MAX = 65,
};

enum LOG_FLAG_E : int { E_LOG_FLAG_OFF = 0, E_LOG_FLAG_ON = 1 };

struct LOG_INIT_T {  // one registration request; zero numbers take the defaults
    LOG_FILE_E m_eLogFile;
    LOG_LEVEL_E m_eMaxPrintLevel;
    int m_iMaxChnNum;
    int m_iMaxRowNum;
    int m_iBakFileNum;
    const char* m_pchfile_path;    // the live file
    const char* m_pchBakFilePath;  // its directory and name name the backups
};

struct LOG_CONTENT_T {  // one registered file
    LOG_FLAG_E m_eUsed;
    int m_iMaxChn;
    int m_iMaxRowNum;  // entry limit
    int m_iLastRow;    // entries in the live file
    int m_iBakFileNum;
    int m_iBakCout;  // next backup index
    LOG_LEVEL_E m_eMaxPrintLevel;
    char m_chFilePath[256];
    char m_chBakFilePath[256];
};

struct FILE_TO_HANDLER_T {
    LOG_FILE_E m_eLogFile;
    int m_iFileHandler;  // slot index in g_LogInfo
};
struct MAP_TABLE_T {
    FILE_TO_HANDLER_T m_sMap[10];
    int m_iCurFileNum;
};

inline constexpr int kLogSlots = 10;  // slot 0 is never used
inline constexpr int kLogTextMax = 1600;
inline constexpr int kLogEntryMax = 256;

extern LOG_CONTENT_T g_LogInfo[kLogSlots];
extern MAP_TABLE_T g_LogMap;
extern int g_MultiLog_Print;  // 1 echoes every written entry on standard output

// 0, or -1 for more than 10 requests, a null array or the first request that fails.
int MultiLog_Init(const LOG_INIT_T* requests, int count);
// 0, or -1 when the type has no file or the level exceeds 64.
int MultiLog_SetMaxPrintLevel(LOG_FILE_E type, int level);
// 0, or -1 for a negative value or a type without a file.
int MultiLog_SetMaxRowNum(LOG_FILE_E type, int rows);
// Writes one entry; 0 written, -1 not written.
int MultiLog_Process(LOG_FILE_E type, int level, int channel, const char* file, int line, const char* format,
                     ...) __attribute__((format(printf, 6, 7)));
void MultiLog_Quit();

// One entry from the calling place.
#define MULTI_LOG(type, level, channel, ...) \
    MultiLog_Process((type), (level), (channel), __FILE_NAME__, __LINE__, __VA_ARGS__)
