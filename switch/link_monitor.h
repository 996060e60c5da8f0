// link_monitor.h — the network monitor and the SIP monitor: short CRLF text commands over UDP
// ("r_..."), answered "a_...": heartbeats, the list of registrations, the mirror of the log and
// the standby of the network monitor, and one line per new registration for the SIP monitor.
#pragma once
#include <string_view>
#include <cstddef>

extern int g_netmon_fd;       // -1 when it could not be made
extern int g_sipmonitor_fd;   // -1 when it could not be made
extern int net_printf_use;    // 1 while the log is mirrored to the network monitor

inline constexpr int kSipMonitorReplyPort = 8002;
inline constexpr std::size_t kNetmonBatchMax = 4000;

// Each returns 1: the socket on port (8000 and 8008 when port is below 1); a failure leaves it
// at -1. SipMonitor_Init also reads the switch's identity (eth0's MAC address).
int Netmon_Init(int port);
int SipMonitor_Init(int port);
// Every pass while sip_netmon_enable is 1: one datagram each.
void SipMonitor_Proc();
void Netmon_Proc();
// The SIP-monitor line of one registration to the SIP monitor.
void SipMonitor_Send_Reg(int regno);
// Write_Log's mirror: the text to the network monitor while it has asked for it.
void Netmon_Mirror_Log(std::string_view text);
