#include "multi_log.h"

#include <dirent.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "board.h"
#include "text.h"

LOG_CONTENT_T g_LogInfo[kLogSlots];
MAP_TABLE_T g_LogMap;
int g_MultiLog_Print = 0;

namespace {

constexpr int kDefaultMaxChn = 32;        // g_iDefaultMaxChn
constexpr int kDefaultMaxRowNum = 15000;  // g_iDefaultMaxRowRum
constexpr int kDefaultBakCount = 10;      // g_iDefaultBakCout
constexpr int kDefaultMaxPrintLevel = 64; // g_eDefaultMaxPrintLevel
constexpr int kPathMax = 128;             // paths are at most 127 characters

// The HTTP server and conversion threads log beside the main loop: one entry at a time, so a
// file's entry count, its rotation and the slots stay whole.
std::mutex s_mtxLog;

// The board's local time, formatted.
void Static_ShiftedTime(char* out, std::size_t size, const char* format)
{
    time_t now = std::time(nullptr) + kBoardClockShift;
    struct tm tmv {};
    localtime_r(&now, &tmv);
    if (std::strftime(out, size, format, &tmv) == 0 && size) out[0] = '\0';
}

// Splits a path at its last '/' into directory and name; false when either does not fit.
bool Static_SplitPath(const char* path, char (&dir)[kPathMax], char (&name)[kPathMax])
{
    std::string_view p(path);
    std::size_t slash = p.rfind('/');
    std::string_view d = slash == std::string_view::npos ? std::string_view(".") : p.substr(0, slash);
    std::string_view n = slash == std::string_view::npos ? p : p.substr(slash + 1);
    if (d.empty()) d = "/";
    if (d.size() >= kPathMax || n.size() >= kPathMax) return false;
    copy_text(dir, d);
    copy_text(name, n);
    return true;
}

int Static_SlotOf(LOG_FILE_E type)
{
    for (int i = 0; i < g_LogMap.m_iCurFileNum && i < 10; ++i) {
        if (g_LogMap.m_sMap[i].m_eLogFile == type) return g_LogMap.m_sMap[i].m_iFileHandler;
    }
    return -1;
}

// Every entry takes two lines (it ends with CR LF LF), so a file's entries are its lines / 2.
int Static_CountEntries(FILE* f)
{
    long lines = 0;
    char buf[1024];
    std::size_t n;
    std::rewind(f);
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        for (std::size_t i = 0; i < n; ++i) lines += buf[i] == '\n';
    }
    long entries = lines / 2;
    return entries > 0x7fffffff ? 0x7fffffff : static_cast<int>(entries);
}

void Static_PrintOpenError(const char* mode, const char* path)
{
    std::fprintf(stderr, "[MultiLog_WriteToFile] -- fopen[%s] 文件 %s  错误[%s]\n", mode, path, std::strerror(errno));
}

int Static_InitLog(const LOG_INIT_T& req)
{
    if (req.m_pchfile_path == nullptr || req.m_eLogFile < 0 || req.m_eLogFile > E_LOG_FILE_REG) {
        std::fprintf(stderr, "[Static_InitLog] -- 参数传入错误\n");
        return -1;
    }
    int max_chn = req.m_iMaxChnNum < 1 ? kDefaultMaxChn : req.m_iMaxChnNum;
    int level = (req.m_eMaxPrintLevel == 0 || req.m_eMaxPrintLevel > 64) ? kDefaultMaxPrintLevel : req.m_eMaxPrintLevel;
    int max_rows = req.m_iMaxRowNum < 1 ? kDefaultMaxRowNum : req.m_iMaxRowNum;
    int baks = req.m_iBakFileNum < 1 ? kDefaultBakCount : req.m_iBakFileNum;

    int slot = -1;
    for (int i = 1; i < kLogSlots; ++i) {
        if (g_LogInfo[i].m_eUsed != E_LOG_FLAG_ON) {
            slot = i;
            break;
        }
    }
    if (slot < 0 || g_LogMap.m_iCurFileNum >= 10) return -1;

    char dir[kPathMax], name[kPathMax];
    if (!Static_SplitPath(req.m_pchfile_path, dir, name)) {
        std::fprintf(stderr, "[Static_InitLog] -- 参数传入错误\n");
        return -1;
    }
    // A plain file standing where the directory belongs is removed; a directory stays.
    std::string real_dir = board_path(dir);
    run_shell("rm -f " + real_dir + " 2>/dev/null");

    std::string real_file = board_path(req.m_pchfile_path);
    int entries = 0;
    FILE* f = std::fopen(real_file.c_str(), "rb");
    if (f == nullptr) {
        if (DIR* d = opendir(real_dir.c_str())) closedir(d);
        else run_shell("mkdir -p " + real_dir);
        f = std::fopen(real_file.c_str(), "w+");
        if (f == nullptr) {
            Static_PrintOpenError("w+", req.m_pchfile_path);
            return -1;
        }
    } else {
        entries = Static_CountEntries(f);
    }
    std::fclose(f);

    LOG_CONTENT_T& s = g_LogInfo[slot];
    s = {};
    s.m_eUsed = E_LOG_FLAG_ON;
    s.m_eMaxPrintLevel = static_cast<LOG_LEVEL_E>(level);
    s.m_iMaxChn = max_chn;
    s.m_iMaxRowNum = max_rows;
    s.m_iLastRow = entries;
    s.m_iBakFileNum = baks;
    s.m_iBakCout = 0;
    copy_text(s.m_chFilePath, req.m_pchfile_path);
    copy_text(s.m_chBakFilePath, req.m_pchBakFilePath ? req.m_pchBakFilePath : req.m_pchfile_path);
    g_LogMap.m_sMap[g_LogMap.m_iCurFileNum] = {req.m_eLogFile, slot};
    g_LogMap.m_iCurFileNum += 1;
    return 0;
}

// Moves the live file to the next backup index, dropping every older backup of that index.
void Static_BakLogFile(LOG_CONTENT_T& s)
{
    char stamp[64];
    Static_ShiftedTime(stamp, sizeof stamp, "%Y_%m_%d_%H_%M_%S");
    char dir[kPathMax], name[kPathMax];
    if (!Static_SplitPath(s.m_chBakFilePath, dir, name)) return;
    const std::string index = std::to_string(s.m_iBakCout);
    std::string bak = std::string(dir) + "/" + name + "_" + index + "_" + stamp + ".bak";
    if (bak.size() >= kPathMax) bak.resize(kPathMax - 1);

    run_shell("rm -f " + board_path(dir) + "/" + name + "_" + index + "_*.bak");
    run_shell("mv " + board_path(s.m_chFilePath) + " " + board_path(bak));
    s.m_iBakCout = (s.m_iBakCout + 1) % s.m_iBakFileNum;
}

int Static_LevelNumber(int level)
{
    for (int bit = 0; bit <= 6; ++bit) {
        if (level == (1 << bit)) return bit;
    }
    return -1;
}

// Terminal colour codes around a text; bit 0x80 of the foreground asks for bold, and a
// background of 0 means the default black one.
void Static_ColorText(char* out, std::size_t size, int fg, int bg, const char* text)
{
    bool bold = (fg & 0x80) != 0;
    fg &= 0x7f;
    bg = bg == 0 ? 30 : bg;
    bg += 10;
    char codes[16];
    if (fg && bg) std::snprintf(codes, sizeof codes, "%d;%d", fg, bg);
    else std::snprintf(codes, sizeof codes, "%d", fg ? fg : bg);
    if (bold) std::snprintf(out, size, "%c[%d;%sm%s%c[0;%d;%dm", 27, 1, codes, text, 27, 37, 40);
    else std::snprintf(out, size, "%c[%sm%s%c[0;%d;%dm", 27, codes, text, 27, 37, 40);
}

// Length of head cut to at most keep bytes without splitting a two-byte GBK character.
std::size_t Static_CutGbk(const char* head, std::size_t len, std::size_t keep)
{
    if (len <= keep) return len;
    std::size_t i = 0;
    while (i < keep) {
        std::size_t step = (static_cast<unsigned char>(head[i]) >= 0x81 && i + 1 < len) ? 2 : 1;
        if (i + step > keep) break;
        i += step;
    }
    return i;
}

}  // namespace

int MultiLog_Init(const LOG_INIT_T* requests, int count)
{
    std::lock_guard<std::mutex> lock(s_mtxLog);
    if (count > 10) {
        std::fprintf(stderr, "[MultiLog_Init] -- init file too many\n");
        return -1;
    }
    if (requests == nullptr) return -1;
    for (int i = 0; i < count; ++i) {
        if (Static_InitLog(requests[i]) != 0) return -1;
    }
    return 0;
}

int MultiLog_SetMaxPrintLevel(LOG_FILE_E type, int level)
{
    std::lock_guard<std::mutex> lock(s_mtxLog);
    int slot = Static_SlotOf(type);
    if (slot < 1 || slot >= kLogSlots || level > 64) return -1;
    g_LogInfo[slot].m_eMaxPrintLevel = static_cast<LOG_LEVEL_E>(level);
    return 0;
}

int MultiLog_SetMaxRowNum(LOG_FILE_E type, int rows)
{
    std::lock_guard<std::mutex> lock(s_mtxLog);
    int slot = Static_SlotOf(type);
    if (rows < 0 || slot < 1 || slot >= kLogSlots) return -1;
    g_LogInfo[slot].m_iMaxRowNum = rows;
    return 0;
}

int MultiLog_Process(LOG_FILE_E type, int level, int channel, const char* file, int line, const char* format, ...)
{
    std::lock_guard<std::mutex> lock(s_mtxLog);
    if (type < 0 || type > E_LOG_FILE_REG || file == nullptr || format == nullptr) return -1;
    int slot = Static_SlotOf(type);
    if (slot < 1 || slot >= kLogSlots) return -1;
    LOG_CONTENT_T& s = g_LogInfo[slot];
    if (s.m_eUsed != E_LOG_FLAG_ON || channel > s.m_iMaxChn || level > s.m_eMaxPrintLevel) return -1;
    if (std::strlen(format) > static_cast<std::size_t>(kLogTextMax)) return -1;

    char text[kLogTextMax];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);

    const char* mode = "a+b";
    bool rotate = s.m_iLastRow > s.m_iMaxRowNum;
    if (rotate) {
        Static_BakLogFile(s);
        mode = "w+b";
    }
    FILE* f = std::fopen(board_path(s.m_chFilePath).c_str(), mode);
    if (f == nullptr) {
        Static_PrintOpenError(rotate ? "w+" : "a+", s.m_chFilePath);
        return -1;
    }
    s.m_iLastRow = rotate ? 1 : s.m_iLastRow + 1;

    char stamp[32];
    Static_ShiftedTime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S");
    int lvno = Static_LevelNumber(level);

    // The entry is its head and a fixed tail; a head too long for the entry is cut so the tail
    // (colour reset and CR LF LF) always survives and the file keeps two lines per entry.
    char head[kLogTextMax + 512];
    const char* tail;
    if (level & (LOG_LVL_ERROR | LOG_LVL_WARNNING)) {
        char prefix[128], colored[sizeof prefix + 32];
        std::snprintf(prefix, sizeof prefix, "[lv:%d][chn:%4d][%s]:", lvno, channel,
                      (level & LOG_LVL_ERROR) ? "ERROR" : "WARNING");
        Static_ColorText(colored, sizeof colored, 37 | 0x80, 0, prefix);
        std::snprintf(head, sizeof head, "%s %s  <%s><%s:%d>", colored, text, stamp, file, line);
        tail = "\33[0m\r\n\n";
    } else {
        std::snprintf(head, sizeof head, "[lv:%d][chn:%4d]: %s <%s><%s:%d>", lvno, channel, text, stamp, file, line);
        tail = "\r\n\n";
    }
    std::size_t tail_len = std::strlen(tail);
    std::size_t head_len = Static_CutGbk(head, std::strlen(head), kLogEntryMax - 1 - tail_len);
    char entry[kLogEntryMax];
    std::memcpy(entry, head, head_len);
    std::memcpy(entry + head_len, tail, tail_len);
    std::size_t entry_len = head_len + tail_len;

    if (g_MultiLog_Print) std::fwrite(entry, 1, entry_len, stdout);
    std::fwrite(entry, 1, entry_len, f);
    std::fclose(f);
    return 0;
}

void MultiLog_Quit()
{
    std::lock_guard<std::mutex> lock(s_mtxLog);
    for (auto& s : g_LogInfo) {
        if (s.m_eUsed == E_LOG_FLAG_ON) s = {};
    }
}
