#include "main.h"

#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "MyApi.h"
#include "arm_environment.h"
#include "board.h"
#include "broad_player.h"
#include "db_cfg.h"
#include "fifo.h"
#include "define_sys.h"
#include "dsp_res.h"
#include "http_interface.h"
#include "line4.h"
#include "multi_log.h"
#include "net_manager.h"
#include "option_register.h"
#include "register.h"
#include "rtp_res.h"
#include "sharememory.h"
#include "sip.h"
#include "struct_sys.h"
#include "user.h"

namespace {

constexpr char kDevicePath[] = "/dev/AG0";
constexpr int kMaxCatchUpMs = 1999;
constexpr int kPassSleepUs = 5000;

volatile std::sig_atomic_t s_iQuitSignal = 0;

// Loop state.
bool s_bCounting = false;
timeval s_tvLast{};
long long s_llMsCounter = 0;  // grows for the life of the process

// Daily reboot state.
long long s_llRebootSeconds = 0;
long long s_llRebootChecks = 0;
long long s_llRebootLastDay = LLONG_MIN;  // day of the previous clock check, none yet
time_t Static_Time() { return std::time(nullptr); }
time_t (*s_pfnWallClock)() = Static_Time;

void Static_OnQuitSignal(int sig) { s_iQuitSignal = sig; }

void Static_Separator() { std::printf("%s\n", std::string(54, '-').c_str()); }

timeval Static_MonotonicNow()
{
    std::int64_t us = monotonic_us();
    return timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

}  // namespace

int Command_Line_Exist(int argc, char** argv, const char* text)
{
    if (argv == nullptr || text == nullptr) return -1;
    std::size_t n = std::strlen(text);
    for (int i = 1; i < argc; ++i) {
        if (argv[i] && std::strncmp(argv[i], text, n) == 0) return 0;
    }
    return -1;
}

void Command_Line_Check(int argc, char** argv)
{
    if (Command_Line_Exist(argc, argv, "--v") == 0) {
        System_Print();
        std::exit(0);
    }
}

void System_Print()
{
    std::printf("\n");
    Static_Separator();
    std::printf("                   QVD                   \n");
    std::printf("                   ver[%s_%s_branch]\n", kProgramVersion, kProgramBranchDate);
    std::printf("                 modify date[%s]time[%s]\n", __DATE__, __TIME__);
    Static_Separator();
    std::printf("\n");
}

int System_LogInit()
{
    // The base library's own logger stays silent: everything goes to the gateway's files.
    MT_Log_Init(10, 32, "/dev/null", 0);
    MT_Log_SetLevel(0);
    static const LOG_INIT_T files[] = {
        {E_LOG_FILE_CFG, static_cast<LOG_LEVEL_E>(0), 0, 0, 0, "/tmp/log/QVD_CFG.log", "/root/log/QVD_CFG.log"},
        {E_LOG_FILE_FLOW, static_cast<LOG_LEVEL_E>(0), 0, 0, 0, "/tmp/log/QVD_FLOW.log", "/root/log/QVD_FLOW.log"},
        {E_LOG_FILE_REG, static_cast<LOG_LEVEL_E>(0), 0, 0, 0, "/tmp/log/QVD_REG.log", "/root/log/QVD_REG.log"},
    };
    return MultiLog_Init(files, 3);
}

int System_Init()
{
    g_MultiLog_Print = 1;
    if (System_LogInit() == -1) {
        std::fprintf(stderr, "log file initializing fail\n");
        return -1;
    }
    if (MyOpen(&g_hDriverHandler, kDevicePath) < 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "打开驱动[%s]失败", kDevicePath);
        return -1;
    }
    if (DB_Init() != 0) {
        std::fprintf(stderr, "Data Base  initializing fail\n");
        return -1;
    }
    Sys_InitConfig();
    // Stopped while waiting for the web program: nothing more is started, the loop ends at once.
    if (System_QuitPending()) return 0;
    if (ArmEnv_Init() != 0) {
        std::fprintf(stderr, "Arm environment init fail\n");
        return -1;
    }
    ShareMem_SetVerionInfo();
    if (User_Init() != 0) {
        std::fprintf(stderr, "User module init fail\n");
        return -1;
    }
    NetMan_Init();
    g_MultiLog_Print = 1;
    return 0;
}

int System_GetProcessCnt(const timeval* now)
{
    if (now == nullptr) return -1;
    if (!s_bCounting) {
        s_bCounting = true;
        s_tvLast = *now;
        return 0;
    }
    long long us = (static_cast<long long>(now->tv_sec) - s_tvLast.tv_sec) * 1000000LL + (now->tv_usec - s_tvLast.tv_usec);
    if (us < 0) {  // the clock went back: count afresh from here
        s_tvLast = *now;
        return 0;
    }
    long long ms = us / 1000;
    if (ms > kMaxCatchUpMs) {
        // After a long stall only this much is caught up; the rest is given up for good.
        s_tvLast = *now;
        return kMaxCatchUpMs;
    }
    // Only the whole milliseconds counted move the mark, so the part below one millisecond
    // counts in the next pass and counted time keeps up with real time.
    long long last_us = static_cast<long long>(s_tvLast.tv_usec) + ms * 1000;
    s_tvLast.tv_sec += static_cast<time_t>(last_us / 1000000);
    s_tvLast.tv_usec = static_cast<suseconds_t>(last_us % 1000000);
    return static_cast<int>(ms);
}

void System_Run()
{
    timeval now = Static_MonotonicNow();
    int ms = System_GetProcessCnt(&now);
    for (int i = 0; i < ms; ++i) {
        ++s_llMsCounter;
        RES490_Process();
        RTP_Process();
        Broad_Process(s_llMsCounter);  // nothing until something starts the player
        System_Check10ms(s_llMsCounter);
        System_Check1000ms(s_llMsCounter);
        System_Check1minute(s_llMsCounter);
    }
    usleep(kPassSleepUs);
}

void System_Check10ms(long long counter)
{
    if (counter % 10 != 0) return;
    // The stack's callbacks must have updated the lines before their states are stepped.
    LIBSIP_Thread();
    User_Process();
    ArmEnv_Process();
}

void System_Check1000ms(long long counter)
{
    if (counter % 1000 != 0) return;
    REG_Process();
    Static_SysReboot();
    OPT_Process();
    Sys_GetConfig(E_TB_ALL);
    Sys_CheckTimeSyncExpires();
    ArmEnv_SetWatchDog();
    ArmEnv_SetLed();
    ArmEnv_Set4StatusLed();
    ArmEnv_Get4IPValue();
    ArmEnv_SetIp();
    Line4_SerialProcess();
}

void System_Check1minute(long long counter)
{
    if (counter % 60000 != 0) return;
    // The stamp the board environment reads back at the next start-up as the time of the
    // last minute the program was alive.
    run_shell("date > " + board_path("/root/log/newsdate"));
    LIBSIP_TestChnState();
}

bool System_QuitPending() { return s_iQuitSignal != 0; }

void System_Quit(int)
{
    DB_Exit();
    MultiLog_Quit();
    ArmEnv_Quit();
    g_hDriverHandler = -1;
    ShareMem_Free();
    http_interface_server_stop();
    std::fprintf(stderr, "QUITE SYSTEM..................\n");
    std::exit(0);
}

void Static_SysReboot()
{
    int last = -1;
    for (int i = 0; i < g_iUse_Chn_Max && i < kMaxUserChn; ++i) {
        if (g_sUserInfo[i].m_iUserChn != -1) last = i;
    }
    if (last < 0) return;
    int flag = g_sDBInfo.m_sSysCfgInfo.m_sReStartFlag;
    if (g_sUserInfo[last].m_sRegInfo.m_eRegResult == E_REG_SUCC && flag == 1) {
        ++s_llRebootSeconds;
        Static_GetRebootTime(s_llRebootSeconds);
    }
    if (flag == 0) s_llRebootSeconds = 0;
}

int Static_GetRebootTime(long long seconds)
{
    if (seconds < static_cast<long long>(g_sDBInfo.m_sSysCfgInfo.m_sCntDayTime) * 86400LL) return 0;
    time_t now = s_pfnWallClock() + kBoardClockShift;
    struct tm t {};
    localtime_r(&now, &t);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &t);
    if (++s_llRebootChecks % 10 == 0) MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "%s", text);

    // Checks come about once a second but may straddle "00:00:00" (loop jitter, a stall):
    // a check in the first minute of a new day counts as midnight too, once.
    long long day = (t.tm_year + 1900LL) * 1000 + t.tm_yday;
    bool new_day = s_llRebootLastDay != LLONG_MIN && day > s_llRebootLastDay;
    s_llRebootLastDay = day;
    int tod = t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
    if (std::strcmp(text, "00:00:00") != 0 && !(new_day && tod < 60)) return 0;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "Timer to reboot");
    run_shell("reboot");
    return 1;
}

void System_SetWallClock(time_t (*clock)()) { s_pfnWallClock = clock ? clock : Static_Time; }

int System_Main(int argc, char** argv)
{
    // The console is often a pipe to a supervisor: every line must reach it as it is written.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    struct sigaction sa {};
    sa.sa_handler = Static_OnQuitSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    Command_Line_Check(argc, argv);
    System_Print();
    if (System_Init() != 0) {
        std::fprintf(stderr, "[main]<ERROR> : 系统初始化失败,系统退出......\n");
        return -1;
    }
    // The handler only notes the signal; the shutdown runs here, between two passes, where
    // no table is half written.
    while (s_iQuitSignal == 0) System_Run();
    System_Quit(s_iQuitSignal);
}
