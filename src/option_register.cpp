#include "option_register.h"

#include <cstring>

#include "multi_log.h"
#include "print_sys.h"
#include "sipman.h"

namespace {
// A node as it stands before its first probe.
constexpr OPT_REG_NODE_T Static_FreshNode(int index)
{
    return {static_cast<SYS_REG_SW_NAME_E>(index), -1, 0, 0, 0, E_OPT_REG_STATUS_WAIT_RSP,
            &g_sSysCfgInfo.m_sSysServer.m_sServerAddr[index]};
}
}  // namespace

// Ready at load: a probe or an answer before OPT_Init finds each node on its own address.
OPT_REG_NODE_T g_sOptRegList[kMaxSwitchAddr] = {Static_FreshNode(0), Static_FreshNode(1), Static_FreshNode(2),
                                                Static_FreshNode(3)};
SYS_FLAG_E g_eOptFlag = E_FLAG_ON;
int g_iOptSendExipres = 5;
int g_iOptTimeOut = 3;
int g_iOptPktNumOfNoAns = 3;
int g_iOptCntSwitch = 0;
int g_iHaveRegHost = 0;
OPT_INIT_T g_sOptInit;

namespace {
// The current softswitch as the supervision sees it. The registration module keeps its own
// index under the same name; the switch callbacks move both, so neither is shared.
SYS_REG_SW_NAME_E g_eRegAddrSucc = E_REG_SW_HOST;
IPV4_ADDRESS g_sRegAddrSucc;

constexpr int kMaxSwitchCount = 4;  // above it no further switch until a softswitch answers
// Above every file's maximum: the time-out entry is kept but never written, because it would
// come every five seconds for each silent softswitch.
constexpr int kLogLvlOptTimeOut = LOG_LVL_MAX;

const char* Static_SwName(int index) { return PrintEnum(g_sPrintRegServer, index); }

bool Static_AddrUsable(const IPV4_ADDRESS* addr)
{
    if (addr == nullptr) return false;
    static constexpr const char* kUnusable[] = {"", "0", "0.0.0.0", "255.255.255.255", "127.0.0.1"};
    for (const char* bad : kUnusable)
        if (std::strcmp(addr->ip, bad) == 0) return false;
    return true;
}

void Static_ResetAllNoRsp()
{
    for (OPT_REG_NODE_T& node : g_sOptRegList) node.m_iCntNoRsp = 0;
}

// Every move goes through here: the supervision's current softswitch is the target before the
// registration module hears of the move, so what the callback asks of it is already true. A
// module that was never started has no callbacks and only moves its own index.
void Static_Switch(OPT_SWITCH_CALLBACK callback, SYS_REG_SW_NAME_E from, SYS_REG_SW_NAME_E to)
{
    OPT_SetCurRegAddr(to);
    if (callback != nullptr) callback(from, to);
}

void OptCheckToSendPacket(OPT_REG_NODE_T& node)
{
    if (node.m_iCntExpires < g_iOptSendExipres) return;
    node.m_iCntExpires = 0;
    if (!Static_AddrUsable(node.m_pOptDstAddr)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1,
                  "[OptCheckToSendPacket] Switch Ip:[%s]Format May Error,Stop Send Option",
                  node.m_pOptDstAddr ? node.m_pOptDstAddr->ip : "");
        return;
    }
    // A channel that could not be had stays -1 and is asked for again at the next probe.
    node.m_iSipChn = SipMan_SendOption(node.m_iSipChn, node.m_pOptDstAddr);
    node.m_eOptRegStatus = E_OPT_REG_STATUS_WAIT_RSP;
}

void OptCheckSwitchServer(OPT_REG_NODE_T& node)
{
    if (node.m_iCntNoRsp < g_iOptPktNumOfNoAns) return;
    SYS_REG_SW_TYPE_E mode = g_sSysCfgInfo.m_sSysServer.m_eSwMode;
    if (mode == E_REG_SW_TYPE_NO_SWITCH || node.m_eSwCnt != g_eRegAddrSucc) {
        node.m_iCntNoRsp = 0;
        return;
    }
    // The miss count stays as it is above the limit, so every further miss raises the count
    // again; only an answer brings it back (OptCheckAllServerNoAnswer).
    if (++g_iOptCntSwitch > kMaxSwitchCount) return;
    SYS_REG_SW_NAME_E from = node.m_eSwCnt;
    SYS_REG_SW_NAME_E to = static_cast<SYS_REG_SW_NAME_E>((from + 1) % kMaxSwitchAddr);
    if (mode == E_REG_SW_TYPE_HOST_PRIORITY && g_iHaveRegHost == 0) {
        // The first switch after a successful registration tries the host once more.
        g_iHaveRegHost = 1;
        to = E_REG_SW_HOST;
    }
    Static_Switch(g_sOptInit.m_pfuncSwitchNoRsp, from, to);
    Static_ResetAllNoRsp();
}

void OptCheckRspTimeOut(OPT_REG_NODE_T& node)
{
    if (node.m_iCntExpires < g_iOptTimeOut || node.m_eOptRegStatus != E_OPT_REG_STATUS_WAIT_RSP) return;
    node.m_eOptRegStatus = E_OPT_REG_STATUS_NO_RSP;
    node.m_iCntNoRsp += 1;
    const IPV4_ADDRESS* addr = node.m_pOptDstAddr;
    MULTI_LOG(E_LOG_FILE_FLOW, kLogLvlOptTimeOut, -1, "[OptCheckRspTimeOut]-- [%s]Opt未响应, SwitchServer[%s:%d]",
              Static_SwName(node.m_eSwCnt), addr ? addr->ip : "", addr ? addr->port : 0);
    OptCheckSwitchServer(node);
}

void OptCheckHostSwRegisterPriority(const OPT_REG_NODE_T& node)
{
    if (g_sSysCfgInfo.m_sSysServer.m_eSwMode != E_REG_SW_TYPE_HOST_PRIORITY) return;
    if (node.m_eSwCnt != E_REG_SW_HOST || g_eRegAddrSucc == E_REG_SW_HOST) return;
    const IPV4_ADDRESS* host = node.m_pOptDstAddr;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1,
              "[OptCheckHostSwRegisterPriority]-- 收到主软交换[%s%d]的OPT响应,当前注册成功的软交换[%s:%d], 主备切换",
              host ? host->ip : "", host ? host->port : 0, g_sRegAddrSucc.ip, g_sRegAddrSucc.port);
    Static_Switch(g_sOptInit.m_pfuncSwitchBack, g_eRegAddrSucc, E_REG_SW_HOST);
    Static_ResetAllNoRsp();
}

void OptCheckAllServerNoAnswer(const OPT_REG_NODE_T& node)
{
    if (g_iOptCntSwitch <= kMaxSwitchCount) return;
    const IPV4_ADDRESS* addr = node.m_pOptDstAddr;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1,
              "[OptCheckAllServerNoAnswer]-- 收到[%s][%s:%d]的响应,向该软交换进行注册. g_iOptCntSwitch[%d]",
              Static_SwName(node.m_eSwCnt), addr ? addr->ip : "", addr ? addr->port : 0, g_iOptCntSwitch);
    g_iOptCntSwitch = 0;
    Static_Switch(g_sOptInit.m_pfuncSwitchNoRsp, g_eRegAddrSucc, node.m_eSwCnt);
}

OPT_REG_NODE_T* Static_NodeBySipChn(int sip_chn)
{
    // A node that never got a channel holds -1: no report may be taken for its answer.
    if (sip_chn < 0) return nullptr;
    for (OPT_REG_NODE_T& node : g_sOptRegList)
        if (node.m_iSipChn == sip_chn) return &node;
    return nullptr;
}
}  // namespace

int OPT_Init(OPT_INIT_T* pOptInit)
{
    if (pOptInit == nullptr || pOptInit->m_pfuncSwitchNoRsp == nullptr || pOptInit->m_pfuncSwitchBack == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1,
                  "pOptInit or m_pfuncSwitchNoRsp or m_pfuncSwitchBack is NULL");
        return -1;
    }
    g_sOptInit = *pOptInit;
    g_iHaveRegHost = 0;
    for (int i = 0; i < kMaxSwitchAddr; ++i) {
        OPT_REG_NODE_T& node = g_sOptRegList[i];
        node = Static_FreshNode(i);
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "[OPT_Init]-- %s [%s : %d]", Static_SwName(i),
                  node.m_pOptDstAddr->ip, node.m_pOptDstAddr->port);
    }
    OPT_SetCurRegAddr(E_REG_SW_HOST);
    return 0;
}

void OPT_Process()
{
    if (g_eOptFlag == E_FLAG_OFF) return;
    for (OPT_REG_NODE_T& node : g_sOptRegList) {
        OptCheckToSendPacket(node);
        OptCheckRspTimeOut(node);
        node.m_iCntExpires += 1;
    }
}

void OPT_Recv200OK(int iSipChn)
{
    OPT_REG_NODE_T* node = Static_NodeBySipChn(iSipChn);
    if (node == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[OPT_Recv200OK]-- Cannot Get OptRegNode By SipChn[%d]",
                  iSipChn);
        return;
    }
    node->m_eOptRegStatus = E_OPT_REG_STATUS_RSPED;
    OptCheckHostSwRegisterPriority(*node);
    OptCheckAllServerNoAnswer(*node);
    node->m_iCntNoRsp = 0;
}

void OPT_SetCurRegAddr(SYS_REG_SW_NAME_E eSwAddr)
{
    if (eSwAddr < E_REG_SW_HOST || eSwAddr >= kMaxSwitchAddr) return;
    const IPV4_ADDRESS& addr = g_sSysCfgInfo.m_sSysServer.m_sServerAddr[eSwAddr];
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "[OPT_SetCurRegAddr]-- eSwAddr[%s][%s:%d]", Static_SwName(eSwAddr),
              addr.ip, addr.port);
    g_sRegAddrSucc = addr;
    g_eRegAddrSucc = eSwAddr;
}

int OPT_CheckHostAddr() { return g_eRegAddrSucc == E_REG_SW_HOST ? 1 : 0; }

int OPT_CheckSwitchIpIsLo()
{
    return std::strcmp(g_sRegAddrSucc.ip, g_sSysCfgInfo.m_sDevEnv.m_chLocalIP) == 0 ? 1 : 0;
}

int OPT_SetFlag(SYS_FLAG_E eFlag)
{
    if (eFlag != E_FLAG_OFF && eFlag != E_FLAG_ON) return -1;
    g_eOptFlag = eFlag;
    return 0;
}

int OPT_SetExpires(int iExpires)
{
    if (iExpires < 1 || iExpires > 60) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[OPT_SetExpires]-- 请检测OPT_EXPIRES[%d]注册周期, RANGE[1-60]",
                  iExpires);
        return -1;
    }
    g_iOptSendExipres = iExpires;
    return 0;
}

int OPT_SetNumofPacketForTimeOut(int iPktNum)
{
    if (iPktNum < 1 || iPktNum > 5) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[OPT_SetExpires]-- 请检测Expire_Num[%d], RANGE[1-5]", iPktNum);
        return -1;
    }
    g_iOptPktNumOfNoAns = iPktNum;
    return 0;
}
