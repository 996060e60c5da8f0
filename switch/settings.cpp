#include "settings.h"

#include <climits>
#include <cstdio>
#include <string>

#include "board.h"
#include "frame.h"
#include "ini.h"
#include "link_monitor.h"
#include "link_queryip.h"
#include "link_record.h"
#include "link_status.h"
#include "mgcp_transport.h"
#include "swlog.h"

// The process-wide values of frame.h live with the settings, so every build of the modules
// that read them (the fuzz build has no process frame) has them.
int g_work_mode = 1;
int g_sleep_seconds = 0;
Text<16> g_up_server_host;
Text<100> g_no_record_list;
Text<10> g_invite_prefix;
Text<10> g_route_prefix;

Text<20> g_db_name;
Database g_db = nullptr;

Text<16> sip_server_local_host;
Text<16> sip_server_inter_host;
Text<10> sip_server_local_port;
int soft_inet_enable = 0;
Text<20> soft_inet_mask;
int soft_mainbak_enable = 0;
int sip_queryip_enable = 0;
int sip_queryip_port = 7750;
int sip_queryip_idle = 60;
int sip_status_check_enable = 0;
int sip_status_port = 7791;
int sip_authen_enable = 0;
int sip_authen_type = 0;
int sip_expries_default = 3600;
Text<10> soft_voice_mail_tel;
int sip_debug = 1;
int callctrl_pendtime = 60;
int sip_pend_time = 80;
int soft_default_route_enable = 0;
Text<50> soft_default_route_tel;
Text<50> offline_gateway;
int sip_fee_enable = 0;
int sip_fee_check = 0;
int sip_fee_port = 7792;
int mgcp_localport = 2727;
int mgcp_pendtime = 80;
int mgcp_expires = 3600;
int soft_rtpswitch_localport = 7780;
int soft_rtpswitch_rtp_port = 30000;
int sip_netmon_enable = 0;
int Sip_netmon_port = 8010;
int soft_qiangcha_enable = 1;
int soft_listen_enable = 0;
int record_port = 6536;
int sip_monitor_port = 0;
int QUERY_WORK_MODE = 0;
int soft_rtpswitch_port_range = 0;

int Settings_Atoi(const char* text)
{
    if (text == nullptr) return 0;
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = (*p++ == '-');
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
    }
    if (neg) v = -v;
    if (v > INT_MAX) v = INT_MAX;
    return static_cast<int>(v);
}

namespace {

// One loaded settings file for the length of one reader.
class SettingsFile {
public:
    SettingsFile() : list_(Ini_Load(board_path(kSettingsFile).c_str())) {}
    ~SettingsFile() { Ini_Free(list_); }
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;

    // False after printing the one message every reader gives for a missing file.
    bool ok() const
    {
        if (list_) return true;
        std::printf("error:can't find %s file, error\n", kSettingsFile);
        return false;
    }

    // Integer key read from a text of at most `chars` characters; missing or empty: def.
    int get_int(const char* key, int def, std::size_t chars = 9) const
    {
        char buf[32] = {};
        std::size_t size = chars + 1 < sizeof buf ? chars + 1 : sizeof buf;
        Ini_Get(buf, size, key, list_);
        return buf[0] == '\0' ? def : Settings_Atoi(buf);
    }

    template <std::size_t N>
    void get_text(const char* key, Text<N>& out, const char* def = "") const
    {
        char buf[N] = {};
        Ini_Get(buf, sizeof buf, key, list_);
        copy_text(out, buf[0] == '\0' ? def : buf);
    }

    const INI_PAIR_T* list() const { return list_; }

private:
    INI_PAIR_T* list_;
};

}  // namespace

int Read_Configure_DB()
{
    SettingsFile f;
    if (!f.ok()) return -1;
    // Host, port, user and password are carried for a database server this switch never uses.
    f.get_text("db name", g_db_name);
    return 1;
}

int Read_Configure_Sip()
{
    SettingsFile f;
    if (!f.ok()) return -1;
    char host[32] = {};
    Ini_Get(host, sizeof host, "sip_server_local_host", f.list());
    // The value may name a network interface; then its address is the host.
    const char* ip = Get_Interface_Ip(host);
    copy_text(sip_server_local_host, ip ? ip : host);
    f.get_text("sip_server_inter_host", sip_server_inter_host);
    f.get_text("sip_server_local_port", sip_server_local_port);
    soft_inet_enable = f.get_int("soft_inet_enable", 0);
    f.get_text("soft_inet_mask", soft_inet_mask, "255.255.0.0");
    soft_mainbak_enable = f.get_int("soft_mainbak_enable", 0);
    return 1;
}

int Read_Configure_StQuery()
{
    SettingsFile f;
    if (!f.ok()) return -1;
    sip_queryip_enable = f.get_int("sip_queryip_enable", 0);
    sip_queryip_port = f.get_int("sip_queryip_port", 7750);
    sip_queryip_idle = f.get_int("sip_queryip_idle", 60);
    sip_status_check_enable = f.get_int("sip_status_check_enable", 0);
    sip_status_port = f.get_int("sip_status_port", 7791);
    if (sip_queryip_enable == 1 && Create_Queryip_Scoket() != 0) {
        std::printf("Read_Configure_StQuery: Call 'Create_Queryip_Scoket()' function may wrong\n");
        return -1;
    }
    if (sip_status_check_enable == 1 && Create_Status_Scoket() != 0)
        std::printf("Read_Configure_StQuery: Call 'Create_Status_Scoket()' function may wrong\n");
    return 1;
}

int Read_Configure_Authen()
{
    SettingsFile f;
    if (!f.ok()) return -1;
    sip_authen_enable = f.get_int("sip_authen_enable", 0);
    sip_authen_type = f.get_int("sip_authen_type", 0);
    return 1;
}

int Read_Configure_Sip_Param()
{
    SettingsFile f;
    if (!f.ok()) return -1;
    sip_expries_default = f.get_int("sip_expries_default", 3600);
    f.get_text("soft_voice_mail_tel", soft_voice_mail_tel);
    sip_debug = f.get_int("sip_debug", 1);
    callctrl_pendtime = f.get_int("callctrl_pendtime", 60);
    sip_pend_time = f.get_int("sip_pend_time", 80);
    soft_default_route_enable = f.get_int("soft_default_route_enable", 0);
    f.get_text("soft_default_route_tel", soft_default_route_tel);
    f.get_text("offline_gateway", offline_gateway);
    return 1;
}

int Read_Configure_Fee()
{
    SettingsFile f;
    if (!f.ok()) return -1;
    sip_fee_enable = f.get_int("sip_fee_enable", 0);
    sip_fee_check = f.get_int("sip_fee_check", 0);
    sip_fee_port = f.get_int("sip_fee_port", 7792);
    return 1;
}

int Read_Configure_MGCP()
{
    SettingsFile f;
    if (!f.ok()) return -1;
    mgcp_localport = f.get_int("mgcp_localport", 2727);
    mgcp_pendtime = f.get_int("mgcp_pendtime", 80);
    mgcp_expires = f.get_int("mgcp_expires", 3600);
    if (Mgcp_Server_Create(mgcp_localport) < 0) {
        std::printf("Read_Configure_MGCP : Call 'Mgcp_Server_Create' function may wrong\n");
        std::fflush(stdout);
        return -1;
    }
    return 1;
}

int Read_Configure_RtpSwitch()
{
    SettingsFile f;
    if (!f.ok()) return -1;
    soft_rtpswitch_localport = f.get_int("soft_rtpswitch_localport", 7780);
    soft_rtpswitch_rtp_port = f.get_int("soft_rtpswitch_rtp_port", 30000);
    return 1;
}

int Read_Configure_NetMon()
{
    SettingsFile f;
    if (!f.ok()) return -1;
    sip_netmon_enable = f.get_int("sip_netmon_enable", 0);
    Sip_netmon_port = f.get_int("Sip_netmon_port", 8010, 19);
    soft_qiangcha_enable = f.get_int("soft_qiangcha_enable", 1);
    soft_listen_enable = f.get_int("soft_listen_enable", 0);
    if (sip_netmon_enable != 0) std::printf("open the net monitor function\n");
    return 1;
}

int Read_Configure_Record()
{
    SettingsFile f;
    if (!f.ok()) return -1;
    record_port = f.get_int("record_port", 6536, 19);
    if (Record_Server_Create(record_port) < 0) {
        std::printf("Read_Configure_Record:Call 'Record_Server_Create' function may wrong \n");
        return -1;
    }
    return 1;
}

int Read_Configure_Monitor()
{
    SettingsFile f;
    if (!f.ok()) return -1;
    sip_monitor_port = f.get_int("sip_monitor_port", 0);
    return SipMonitor_Init(sip_monitor_port) < 0 ? -1 : 1;
}

void Read_Configure_QueryMode()
{
    SettingsFile f;
    if (!f.ok()) return;
    QUERY_WORK_MODE = f.get_int("QUERY_WORK_MODE", 0) != 0 ? 1 : 0;
    soft_rtpswitch_port_range = f.get_int("soft_rtpswitch_port_range", 0);
    if (QUERY_WORK_MODE != 0) std::printf("open the setting function of telphone \n");
}
