// The switch's settings as a switch started with an empty settings file has them, with the log
// off: every fixture starts from here and sets only what its cases are about, so no test sees
// a value another test left behind.
#pragma once
#include "settings.h"

inline void reset_switch_settings()
{
    g_db_name.clear();
    sip_server_local_host.clear();
    sip_server_inter_host.clear();
    sip_server_local_port.clear();
    soft_inet_enable = 0;
    copy_text(soft_inet_mask, "255.255.0.0");
    soft_mainbak_enable = 0;
    sip_queryip_enable = 0;
    sip_queryip_port = 7750;
    sip_status_check_enable = 0;
    sip_status_port = 7791;
    sip_authen_enable = 0;
    sip_authen_type = 0;
    sip_expries_default = 3600;
    soft_voice_mail_tel.clear();
    sip_debug = 0;
    callctrl_pendtime = 60;
    sip_pend_time = 80;
    soft_default_route_enable = 0;
    soft_default_route_tel.clear();
    offline_gateway.clear();
    sip_fee_enable = 0;
    sip_fee_check = 0;
    sip_fee_port = 7792;
    mgcp_localport = 2727;
    mgcp_pendtime = 80;
    soft_rtpswitch_localport = 7780;
    soft_rtpswitch_rtp_port = 30000;
    sip_netmon_enable = 0;
    Sip_netmon_port = 8010;
    soft_qiangcha_enable = 1;
    soft_listen_enable = 0;
    record_port = 6536;
    sip_monitor_port = 0;
    QUERY_WORK_MODE = 0;
    soft_rtpswitch_port_range = 0;
}
