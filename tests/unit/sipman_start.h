// The SIP manager started for a test: no line configured, its stack on a free loopback port, the
// test's peer as the first softswitch.
#pragma once

#include "sip_peer.h"
#include "sipman.h"
#include "struct_sys.h"
#include "text.h"
#include "user.h"

// lines: how many lines the gateway uses; rport: the RPORT setting. The stack's port, or -1 when
// the manager did not start.
inline int StartSipManager(const Peer& peer, int lines, int rport)
{
    for (auto& u : g_sUserInfo) u = {};
    for (auto& u : g_sUserInfo) u.m_iUserChn = -1;
    g_iUse_Chn_Max = lines;
    copy_text(g_sSysCfgInfo.m_sDevEnv.m_chLocalIP, "127.0.0.1");
    const int port = free_udp_port();
    g_sSysCfgInfo.m_sSysServer.m_iLocalSipPort = port;
    g_sSysCfgInfo.m_sSysServer.m_sServerAddr[0] = peer.addr();
    g_sSysCfgInfo.m_iRPORT = rport;
    return SipMan_Init() == 0 ? port : -1;
}
