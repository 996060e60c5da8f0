#include "frame.h"

#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "board.h"
#include "call_chn.h"
#include "call_relay.h"
#include "mgcp_endpoint.h"
#include "mgcp_transport.h"
#include "settings.h"
#include "sip_legs.h"
#include "sip_reg.h"
#include "sip_transport.h"
#include "swlog.h"

int g_work_mode = 1;
int g_sleep_seconds = 0;
Text<16> g_up_server_host;
Text<100> g_no_record_list;
Text<10> g_invite_prefix;
Text<10> g_route_prefix;

namespace {

// Set by the signal handlers; the loop runs the shutdown at its next pass, so no file or
// table work ever runs on top of the step the signal interrupted.
volatile std::sig_atomic_t g_quit_signal = 0;

void Quit_On_CtrlC(int) { g_quit_signal = SIGINT; }
void Quit_On_Kill(int) { g_quit_signal = SIGTERM; }

constexpr const char* kStatusReset = "update softswitch set status=0";

[[noreturn]] void Switch_Shutdown(int sig)
{
    Write_Log(sig == SIGINT ? "Ctrl-C softswitch is quitting......\n"
                            : "killall softswitch is quitting......\n");
    // Every party still in a call is told, in leg order.
    for (int leg = 0; leg < kMaxSipLegs; ++leg) Sip_SendHangoff(leg, 0);
    Query_Execsql(g_db, kStatusReset);
    Query_Disconnect(g_db);
    g_db = nullptr;
    std::fflush(stdout);
    std::exit(0);
}

bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void print_banner()
{
    std::printf("%s", soft_inet_enable == 1 ? "公网版本\n" : "内网版本\n");
    std::printf("*****************************************************************\n");
    std::printf("*%s\n", kSwitchVersion);
    std::printf("*MAX CALL CHANNEL = [%d] MAX REGISTER CHANNEL = [%d] \n", 500, 500);
    std::printf("*Softswitch Local Host Address = [%s]\n", sip_server_local_host.s);
    std::printf("*Softswitch Inner Host Address = [%s]\n", sip_server_inter_host.s);
    std::printf("callctrl_pendtime_int = %d\n", callctrl_pendtime);
    std::printf("*****************************************************************\n\n");
    std::fflush(stdout);
}

int run_settings_readers()
{
    using Reader = int (*)();
    constexpr Reader readers[] = {
        Read_Configure_DB,      Read_Configure_Sip,       Read_Configure_StQuery, Read_Configure_Authen,
        Read_Configure_Sip_Param, Read_Configure_Fee,     Read_Configure_MGCP,    Read_Configure_RtpSwitch,
        Read_Configure_NetMon,  Read_Configure_Record,    Read_Configure_Monitor,
    };
    for (Reader r : readers) {
        if (r() < 0) return -1;
    }
    return 1;
}

// The one-second tick, on the program's monotonic clock: a change of the seconds field counts as
// one second whatever its size, so a stall gives one tick, not a burst.
struct TickClock {
    bool first = true;
    std::int64_t prev_sec = 0;
    std::int64_t prev_usec = 0;
    long long acc_us = 0;

    bool pass()
    {
        const std::int64_t now = monotonic_us();
        const std::int64_t sec = now / 1000000, usec = now % 1000000;
        if (first) {
            first = false;
            prev_sec = sec;
            prev_usec = usec;
            return false;
        }
        long long dsec = sec - prev_sec;
        long long dusec = usec - prev_usec;
        prev_sec = sec;
        prev_usec = usec;
        acc_us += dsec != 0 ? dusec + 1000000 : dusec;
        if (acc_us >= 1000000) {
            acc_us -= 1000000;
            return true;
        }
        return false;
    }
};

struct LoopCounters {
    int keepalive = 0;
    int refresh = 0;
    int connect = 0;
};

void run_tick(LoopCounters& c)
{
    ++c.keepalive;
    ++c.refresh;
    ++c.connect;
    Sip_Reg_Timer();
    TimerPend();
    Mgcp_Check_Pend_Time();
    CallCtrl_Check_Pend_Time();
    TimerProc();
    Mgcp_Resend_Timer();
    ++g_sleep_seconds;
}

void run_pass_steps(LoopCounters& c)
{
    // In standby the SIP datagrams stay queued in the socket.
    if (g_work_mode != 0) Sip_Recv_Proc();
    Mgcp_Process_Recv();
    // Billing keepalive every second tick, whether or not billing is on.
    if (c.keepalive > 1) c.keepalive = 0;
    // User refresh: ten ticks after the counter starts the scan is rewound; in the second in
    // which the counter reaches a multiple of 10 every pass refreshes one entry, until the
    // scan reports its end and the counter starts again.
    if (c.refresh > 9) {
        if (c.refresh == 10) {
            c.refresh = 11;
            UserCheckUpdate(1);
        }
        if (c.refresh % 10 == 0 && UserCheckUpdate(0) < 0) c.refresh = 0;
    }
    // Record-server greeting every 20 ticks.
    if (c.connect > 19) c.connect = 0;
    // Standby lasts at most 20 ticks after the monitor's last request.
    if (g_sleep_seconds > 19) {
        g_sleep_seconds = 0;
        g_work_mode = 1;
    }
}

}  // namespace

int Connect_Database(const char* host, const char* port, const char* name, const char* user,
                     const char* password)
{
    g_db = Query_Connect(host, port, name, user, password);
    if (g_db == nullptr) {
        Write_Logf("error:连接数据库[%s]错误\n", name ? name : "");
        return -1;
    }
    return 1;
}

int Switch_Main()
{
    g_up_server_host.clear();
    g_no_record_list.clear();
    g_invite_prefix.clear();
    g_route_prefix.clear();

    if (run_settings_readers() < 0) return -1;
    Sip_Init_All_Chn();
    Sip_Init_All_Reg();
    Mgcp_Init_All_Endpoint();
    CallCtrl_Init_All_Chn();
    if (Sip_Server_Create(Settings_Atoi(sip_server_local_port.s)) < 0) return -1;

    // The user tables live in the database that "db name" names, when that file exists.
    if (!g_db_name.empty() && file_exists(board_path(std::string("/") + g_db_name.s)))
        Connect_Database("", "", g_db_name.s, "", "");
    // Peers take their slots before any REGISTER can arrive.
    Load_Other_Softswitch();
    Query_Execsql(g_db, kStatusReset);

    std::signal(SIGINT, Quit_On_CtrlC);
    std::signal(SIGTERM, Quit_On_Kill);
    // A peer that closed its TCP connection must fail the send, not end the switch.
    std::signal(SIGPIPE, SIG_IGN);

    Read_Configure_QueryMode();
    print_banner();
    usleep(1000);
    usleep(10000);

    TickClock clock;
    LoopCounters counters;
    for (;;) {
        if (g_quit_signal != 0) Switch_Shutdown(g_quit_signal);
        if (clock.pass()) run_tick(counters);
        run_pass_steps(counters);
        usleep(100);
    }
}
