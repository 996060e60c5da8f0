#include "frame.h"

#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "board.h"
#include "call_chn.h"
#include "call_relay.h"
#include "link_fee.h"
#include "link_monitor.h"
#include "link_queryip.h"
#include "link_record.h"
#include "link_relay.h"
#include "link_status.h"
#include "link_wait.h"
#include "mgcp_endpoint.h"
#include "mgcp_transport.h"
#include "settings.h"
#include "sip_legs.h"
#include "sip_reg.h"
#include "sip_transport.h"
#include "swlog.h"

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

void tick_steps()
{
    if (sip_queryip_enable == 1) Queryip_Recv_Proc();
    if (sip_fee_enable == 1) Fee_Recv_Proc();
    Sip_Reg_Timer();
    TimerPend();
    Mgcp_Check_Pend_Time();
    CallCtrl_Check_Pend_Time();
    TimerProc();
    if (soft_inet_enable == 1) Rtpswitch_Recv_Proc();
    Mgcp_Resend_Timer();
    Record_Resend_Timer();
}

void receive_steps()
{
    Recv_Status_Proc();
    // In standby the SIP datagrams stay queued in the socket.
    if (g_work_mode != 0) Sip_Recv_Proc();
    Mgcp_Process_Recv();
    Record_Ctrl_Proc();
    AcceptConnect_status();
    Fee_AcceptConnect();
    QUE_AcceptConnect();
    Rtpswitch_AcceptConnect();
    Rtpswitch_Pass();
}

void fee_keepalive() { Send_Fee_Keepalive(); }

void record_connect()
{
    for (int server = 0; server < kRecordServers; ++server)
        if (record_ctrl[server].state == 1) Record_Send_Connect(server);
}

void monitors()
{
    SipMonitor_Proc();
    Netmon_Proc();
}

// The sockets read only in some modes wake the loop only then.
bool sip_read_now() { return g_work_mode != 0; }
bool monitors_read_now() { return sip_netmon_enable == 1; }

// While a user refresh is running it takes one entry per pass; passes then come at the pace
// they always had, a pause of 100 microseconds apart.
constexpr std::int64_t kRefreshPassUs = 100;

bool refresh_running(const FrameCounters& c) { return c.refresh > 9 && c.refresh % 10 == 0; }

}  // namespace

const FrameSteps kSwitchSteps{tick_steps, receive_steps, fee_keepalive, UserCheckUpdate, record_connect, monitors};

bool FrameTick::pass(std::int64_t now_us)
{
    const std::int64_t sec = now_us / 1000000, usec = now_us % 1000000;
    if (first) {
        first = false;
        prev_sec = sec;
        prev_usec = usec;
        return false;
    }
    const long long dsec = sec - prev_sec;
    const long long dusec = usec - prev_usec;
    prev_sec = sec;
    prev_usec = usec;
    acc_us += dsec != 0 ? dusec + 1000000 : dusec;
    if (acc_us >= 1000000) {
        acc_us -= 1000000;
        return true;
    }
    return false;
}

std::int64_t FrameTick::until_tick(std::int64_t now_us) const
{
    if (first) return 0;
    // Within the coming second the accumulator grows by exactly the time that passes.
    const std::int64_t left = 1000000 - acc_us - (now_us - (prev_sec * 1000000 + prev_usec));
    return std::clamp<std::int64_t>(left, 0, 1000000);
}

bool Frame_Pass(FrameState& state, std::int64_t now_us, const FrameSteps& steps)
{
    FrameCounters& c = state.counters;
    const bool tick = state.tick.pass(now_us);
    if (tick) {
        ++c.keepalive;
        ++c.refresh;
        ++c.connect;
        steps.tick();
        ++g_sleep_seconds;
    }
    steps.receive();
    // Billing keepalive every second tick, whether or not billing is on.
    if (c.keepalive > 1) {
        if (sip_fee_enable == 1) steps.fee_keepalive();
        c.keepalive = 0;
    }
    // User refresh: ten ticks after the counter starts the scan is rewound; in the second in
    // which the counter reaches a multiple of 10 every pass refreshes one entry, until the
    // scan reports its end and the counter starts again.
    if (c.refresh > 9) {
        if (c.refresh == 10) {
            c.refresh = 11;
            steps.user_refresh(1);
        }
        if (c.refresh % 10 == 0 && steps.user_refresh(0) < 0) c.refresh = 0;
    }
    // Record-server greeting every 20 ticks.
    if (c.connect > 19) {
        steps.record_connect();
        c.connect = 0;
    }
    if (sip_netmon_enable == 1) steps.monitors();
    // Standby lasts at most 20 ticks after the monitor's last request.
    if (g_sleep_seconds > 19) {
        g_sleep_seconds = 0;
        g_work_mode = 1;
    }
    return tick;
}

std::int64_t Frame_Sleep_Us(const FrameState& state, std::int64_t now_us)
{
    std::int64_t sleep = state.tick.until_tick(now_us);
    if (refresh_running(state.counters)) sleep = std::min(sleep, kRefreshPassUs);
    for (const std::int64_t due : {Status_Next_Due_Us(), Rtpswitch_Next_Due_Us()})
        if (due != INT64_MAX) sleep = std::min(sleep, due - now_us);
    return std::max<std::int64_t>(sleep, 0);
}

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
    Record_Ctrl_Init(0);
    Record_Ctrl_Init(1);
    if (Sip_Server_Create(Settings_Atoi(sip_server_local_port.s)) < 0) return -1;
    if (Create_Fee_Socket() != 0 || Create_Rtpswitch_Socket() != 0) return -1;
    Init_Status_Tables();

    // The user tables live in the database that "db name" names, when that file exists.
    if (!g_db_name.empty() && file_exists(board_path(std::string("/") + g_db_name.s)))
        Connect_Database("", "", g_db_name.s, "", "");
    // Peers take their slots before any REGISTER can arrive.
    Load_Other_Softswitch();
    Netmon_Init(Sip_netmon_port);
    Query_Execsql(g_db, kStatusReset);

    std::signal(SIGINT, Quit_On_CtrlC);
    std::signal(SIGTERM, Quit_On_Kill);
    // A peer that closed its TCP connection must fail the send, not end the switch.
    std::signal(SIGPIPE, SIG_IGN);

    Read_Configure_QueryMode();
    print_banner();
    usleep(1000);
    Record_Load_Config();
    usleep(10000);
    for (int server = 0; server < kRecordServers; ++server)
        if (record_ctrl[server].state == 1) Record_Send_Init(server);

    Link_Wait_When(g_sip_fd, sip_read_now);
    Link_Wait_When(g_netmon_fd, monitors_read_now);
    Link_Wait_When(g_sipmonitor_fd, monitors_read_now);

    // SIGINT and SIGTERM are held back from the test of the quit flag to the start of the
    // sleep, so one that arrives in between ends the sleep rather than waiting out its time.
    sigset_t quit_signals, open_mask;
    sigemptyset(&quit_signals);
    sigaddset(&quit_signals, SIGINT);
    sigaddset(&quit_signals, SIGTERM);
    FrameState state;
    for (;;) {
        if (g_quit_signal != 0) Switch_Shutdown(g_quit_signal);
        Frame_Pass(state, monotonic_us(), kSwitchSteps);
        Write_Log_Flush();
        sigprocmask(SIG_BLOCK, &quit_signals, &open_mask);
        if (g_quit_signal == 0) Link_Wait(Frame_Sleep_Us(state, monotonic_us()), &open_mask);
        sigprocmask(SIG_SETMASK, &open_mask, nullptr);
    }
}
