// settings.h — the switch's settings, read once at start-up from "/root/switch/sip_server.ini".
// One process-wide value per key, named as the key; written by the readers only.
#pragma once
#include "sqlite.h"
#include "text.h"

inline constexpr const char* kSettingsFile = "/root/switch/sip_server.ini";

// "db name": kept so start-up can open the database it names.
extern Text<20> g_db_name;
// The user database that "db name" names, opened at start-up; null when that file is missing.
extern Database g_db;

// Read_Configure_Sip
extern Text<16> sip_server_local_host;
extern Text<16> sip_server_inter_host;
extern Text<10> sip_server_local_port;
extern int soft_inet_enable;
extern Text<20> soft_inet_mask;
extern int soft_mainbak_enable;
// Read_Configure_StQuery
extern int sip_queryip_enable;
extern int sip_queryip_port;
extern int sip_queryip_idle;   // seconds a silent query-ip connection is kept
extern int sip_status_check_enable;
extern int sip_status_port;
// Read_Configure_Authen
extern int sip_authen_enable;
extern int sip_authen_type;
// Read_Configure_Sip_Param
extern int sip_expries_default;
extern Text<10> soft_voice_mail_tel;
extern int sip_debug;  // 1 until its reader runs, so early socket failures are logged
extern int callctrl_pendtime;
extern int sip_pend_time;
extern int soft_default_route_enable;
extern Text<50> soft_default_route_tel;
extern Text<50> offline_gateway;
// Read_Configure_Fee
extern int sip_fee_enable;
extern int sip_fee_check;
extern int sip_fee_port;
// Read_Configure_MGCP
extern int mgcp_localport;
extern int mgcp_pendtime;
extern int mgcp_expires;   // seconds a silent gateway's idle endpoint records live
// Read_Configure_RtpSwitch
extern int soft_rtpswitch_localport;
extern int soft_rtpswitch_rtp_port;
// Read_Configure_NetMon
extern int sip_netmon_enable;
extern int Sip_netmon_port;
extern int soft_qiangcha_enable;
extern int soft_listen_enable;
// Read_Configure_Record
extern int record_port;
// Read_Configure_Monitor
extern int sip_monitor_port;
// Read_Configure_QueryMode
extern int QUERY_WORK_MODE;
extern int soft_rtpswitch_port_range;

// Each returns 1, or -1 when the settings file cannot be read (after printing why).
int Read_Configure_DB();
int Read_Configure_Sip();
int Read_Configure_StQuery();
int Read_Configure_Authen();
int Read_Configure_Sip_Param();
int Read_Configure_Fee();
int Read_Configure_MGCP();
int Read_Configure_RtpSwitch();
int Read_Configure_NetMon();
int Read_Configure_Record();
int Read_Configure_Monitor();
void Read_Configure_QueryMode();

// Decimal value of a settings text: leading blanks, an optional sign, digits up to the first
// other character; no digits gives 0. Saturates at the int range instead of overflowing.
int Settings_Atoi(const char* text);
