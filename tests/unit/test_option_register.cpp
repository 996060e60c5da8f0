// The OPTIONS supervision driven second by second: when each softswitch is probed and when a
// silent one counts a miss, which addresses are never probed, and where the lines are sent
// (and what the supervision takes as current while the registration module is told).
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "gate_test_board.h"
#include "option_register.h"
#include "sipman.h"

// Linked alone, the supervision reads its configuration from this record.
SYS_CFG_INFO_T g_sSysCfgInfo;

namespace {

struct SentOption {
    int step;
    int chn;  // as handed in
    std::string ip;
    int port;
};
std::vector<SentOption> g_sent;
int g_step = 0;
int g_nextChn = 100;
bool g_noChannel = false;  // the stack has no channel to give

struct Switch {
    char kind;  // 'N' no answer, 'B' back to the host
    int from, to;
    int current;  // the supervision's current softswitch while the callback ran
    int step;
    bool operator==(const Switch&) const = default;
};
void PrintTo(const Switch& s, std::ostream* os)
{
    *os << s.kind << "(" << s.from << "->" << s.to << ") current " << s.current << " at " << s.step;
}
std::vector<Switch> g_switches;
std::vector<int> g_successAfterSwitch;  // steps at which the test's registration succeeds

// The softswitch whose IP the supervision holds as current, found through its own check
// against the board's IP; -1 when none of the four.
int CurrentSwitch()
{
    char saved[sizeof g_sSysCfgInfo.m_sDevEnv.m_chLocalIP];
    std::memcpy(saved, g_sSysCfgInfo.m_sDevEnv.m_chLocalIP, sizeof saved);
    int found = -1;
    for (int i = 0; i < kMaxSwitchAddr && found < 0; ++i) {
        std::snprintf(g_sSysCfgInfo.m_sDevEnv.m_chLocalIP, sizeof saved, "%s",
                      g_sSysCfgInfo.m_sSysServer.m_sServerAddr[i].ip);
        if (OPT_CheckSwitchIpIsLo() == 1) found = i;
    }
    std::memcpy(g_sSysCfgInfo.m_sDevEnv.m_chLocalIP, saved, sizeof saved);
    return found;
}

void Record(char kind, SYS_REG_SW_NAME_E from, SYS_REG_SW_NAME_E to)
{
    g_switches.push_back({kind, from, to, CurrentSwitch(), g_step});
    EXPECT_EQ(OPT_CheckHostAddr(), to == E_REG_SW_HOST ? 1 : 0);
}
void OnNoRsp(SYS_REG_SW_NAME_E from, SYS_REG_SW_NAME_E to) { Record('N', from, to); }
void OnBack(SYS_REG_SW_NAME_E from, SYS_REG_SW_NAME_E to) { Record('B', from, to); }

}  // namespace

// The SIP manager's OPTIONS sender as the supervision sees it: a new channel when none is given.
int SipMan_SendOption(int iSipChn, const IPV4_ADDRESS* pSwitchAddr)
{
    g_sent.push_back({g_step, iSipChn, pSwitchAddr->ip, pSwitchAddr->port});
    if (iSipChn >= 0) return iSipChn;
    return g_noChannel ? -1 : g_nextChn++;
}

namespace {

// Four softswitches 10.0.0.1:5060 .. 10.0.0.4:5063, the board at 10.0.0.9, the module as at
// load and started with both callbacks.
class OptTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = gate_test_root();
        fresh_logger();
        std::remove((root + "/tmp/log/QVD_FLOW.log").c_str());
        LOG_INIT_T flow{E_LOG_FILE_FLOW, LOG_LEVEL_E{}, 0, 0, 0, "/tmp/log/QVD_FLOW.log", "/root/log/QVD_FLOW.log"};
        ASSERT_EQ(MultiLog_Init(&flow, 1), 0);

        g_sSysCfgInfo = {};
        for (int i = 0; i < kMaxSwitchAddr; ++i) {
            IPV4_ADDRESS& a = g_sSysCfgInfo.m_sSysServer.m_sServerAddr[i];
            std::snprintf(a.ip, sizeof a.ip, "10.0.0.%d", i + 1);
            a.port = 5060 + i;
        }
        std::snprintf(g_sSysCfgInfo.m_sDevEnv.m_chLocalIP, sizeof g_sSysCfgInfo.m_sDevEnv.m_chLocalIP, "10.0.0.9");
        Mode(E_REG_SW_TYPE_IN_SEQUENCE);

        g_eOptFlag = E_FLAG_ON;
        g_iOptSendExipres = 5;
        g_iOptTimeOut = 3;
        g_iOptPktNumOfNoAns = 3;
        g_iOptCntSwitch = 0;
        g_iHaveRegHost = 1;
        g_sOptInit = {};
        for (OPT_REG_NODE_T& node : g_sOptRegList) node = {};
        g_sent.clear();
        g_switches.clear();
        g_step = 0;
        g_nextChn = 100;
        g_noChannel = false;

        OPT_INIT_T init{OnNoRsp, OnBack};
        ASSERT_EQ(OPT_Init(&init), 0);
    }
    static void Mode(SYS_REG_SW_TYPE_E mode) { g_sSysCfgInfo.m_sSysServer.m_eSwMode = mode; }

    // Runs one-second steps up to and including step `last`; the softswitches in `answering`
    // answer each probe at once (within the step that sent it).
    void RunTo(int last, std::vector<int> answering = {})
    {
        while (g_step < last) {
            ++g_step;
            std::size_t before = g_sent.size();
            OPT_Process();
            for (std::size_t k = before; k < g_sent.size(); ++k) {
                for (int i : answering) {
                    const OPT_REG_NODE_T& node = g_sOptRegList[i];
                    if (g_sent[k].port == 5060 + i && node.m_iSipChn >= 0) OPT_Recv200OK(node.m_iSipChn);
                }
            }
        }
    }
    // Steps at which the softswitch was probed.
    static std::vector<int> ProbesOf(int sw)
    {
        std::vector<int> steps;
        for (const SentOption& s : g_sent)
            if (s.port == 5060 + sw) steps.push_back(s.step);
        return steps;
    }
    std::string Flow() { return read_file(root + "/tmp/log/QVD_FLOW.log"); }
    bool Logged(const std::string& text) { return Flow().find(text) != std::string::npos; }

    std::string root;
};

TEST_F(OptTest, ProbesEveryFiveSecondsAndCountsAMissThreeSecondsAfter)
{
    Mode(E_REG_SW_TYPE_NO_SWITCH);
    // Steps at which each node counts a miss; backup 1 answers every probe.
    std::vector<int> misses[kMaxSwitchAddr];
    while (g_step < 16) {
        OPT_REG_STATUS_E before[kMaxSwitchAddr];
        for (int i = 0; i < kMaxSwitchAddr; ++i) before[i] = g_sOptRegList[i].m_eOptRegStatus;
        RunTo(g_step + 1, {1});
        for (int i = 0; i < kMaxSwitchAddr; ++i)
            if (before[i] != E_OPT_REG_STATUS_NO_RSP && g_sOptRegList[i].m_eOptRegStatus == E_OPT_REG_STATUS_NO_RSP)
                misses[i].push_back(g_step);
    }
    const std::vector<int> probes{6, 11, 16};
    for (int i = 0; i < kMaxSwitchAddr; ++i) EXPECT_EQ(ProbesOf(i), probes) << "softswitch " << i;
    // The miss before the first probe comes from the state at start-up. In no-switch mode the
    // third miss of a softswitch clears its count.
    for (int i : {0, 2, 3}) EXPECT_EQ(misses[i], (std::vector<int>{4, 9, 14})) << "softswitch " << i;
    EXPECT_EQ(misses[1], (std::vector<int>{4}));
    EXPECT_EQ(g_sOptRegList[0].m_iCntNoRsp, 0);
    EXPECT_EQ(g_sOptRegList[1].m_iCntNoRsp, 0);
    EXPECT_EQ(g_sOptRegList[1].m_eOptRegStatus, E_OPT_REG_STATUS_RSPED);
    EXPECT_EQ(g_sOptRegList[2].m_eOptRegStatus, E_OPT_REG_STATUS_WAIT_RSP);
    EXPECT_TRUE(g_switches.empty());

    // Every probe of a node goes on the channel its first probe got, to the address configured
    // at the time of the probe.
    for (const SentOption& s : g_sent) {
        int sw = s.port - 5060;
        EXPECT_EQ(s.chn, s.step == 6 ? -1 : 100 + sw) << "softswitch " << sw << " step " << s.step;
        EXPECT_EQ(s.ip, "10.0.0." + std::to_string(sw + 1));
    }
    std::snprintf(g_sSysCfgInfo.m_sSysServer.m_sServerAddr[2].ip, 24, "192.168.1.7");
    RunTo(21);
    const SentOption& last = g_sent[g_sent.size() - 2];
    EXPECT_EQ(last.ip, "192.168.1.7");
    EXPECT_EQ(last.port, 5062);
    EXPECT_EQ(last.chn, 102);
}

TEST_F(OptTest, WithoutAChannelTheNodeAsksAgainAtTheNextProbe)
{
    g_noChannel = true;
    RunTo(6);
    EXPECT_EQ(g_sOptRegList[0].m_iSipChn, -1);
    g_noChannel = false;
    RunTo(11);
    EXPECT_EQ(g_sent.back().chn, -1);
    EXPECT_EQ(g_sOptRegList[3].m_iSipChn, 103);
}

TEST_F(OptTest, SupervisionOffProbesNothingAndCountsNothing)
{
    ASSERT_EQ(OPT_SetFlag(E_FLAG_OFF), 0);
    RunTo(20);
    EXPECT_TRUE(g_sent.empty());
    for (const OPT_REG_NODE_T& node : g_sOptRegList) EXPECT_EQ(node.m_iCntExpires, 0);
    ASSERT_EQ(OPT_SetFlag(E_FLAG_ON), 0);
    RunTo(26);
    EXPECT_EQ(ProbesOf(0), (std::vector<int>{26}));
}

TEST_F(OptTest, UnusableAddressIsNeverProbed)
{
    const char* cases[] = {nullptr, "", "0", "0.0.0.0", "255.255.255.255", "127.0.0.1"};
    for (const char* ip : cases) {
        SCOPED_TRACE(ip ? ip : "(absent)");
        SetUp();
        if (ip == nullptr) g_sOptRegList[2].m_pOptDstAddr = nullptr;
        else std::snprintf(g_sSysCfgInfo.m_sSysServer.m_sServerAddr[2].ip, 24, "%s", ip);
        RunTo(11);
        EXPECT_TRUE(ProbesOf(2).empty());
        EXPECT_EQ(ProbesOf(1), (std::vector<int>{6, 11}));
        EXPECT_EQ(ProbesOf(3), (std::vector<int>{6, 11}));
        std::string text = std::string("[OptCheckToSendPacket] Switch Ip:[") + (ip ? ip : "") +
                           "]Format May Error,Stop Send Option";
        EXPECT_EQ(count_of(Flow(), text), 2u);
        // Only the miss of the start-up state is ever counted for it.
        EXPECT_EQ(g_sOptRegList[2].m_iCntNoRsp, 1);
    }
}

// Nobody answers: the current softswitch moves on at its third miss, four times, then stays.
TEST_F(OptTest, InSequenceModeWalksTheBackupsUpToTheLimit)
{
    RunTo(80);
    // Within a step the nodes go in index order: the new current node's miss of the step in
    // which it became current is its first.
    const std::vector<Switch> want{
        {'N', 0, 1, 1, 14}, {'N', 1, 2, 2, 24}, {'N', 2, 3, 3, 34}, {'N', 3, 0, 0, 44}};
    EXPECT_EQ(g_switches, want);
    // Host misses at 49, 54 and 59 hit the limit; each further miss (64 .. 79) raises the
    // count again.
    EXPECT_EQ(g_iOptCntSwitch, 9);
    EXPECT_EQ(CurrentSwitch(), 0);

    // The first softswitch that answers while over the limit becomes current.
    g_switches.clear();
    RunTo(81, {2});
    EXPECT_EQ(g_switches, (std::vector<Switch>{{'N', 0, 2, 2, 81}}));
    EXPECT_EQ(g_iOptCntSwitch, 0);
    EXPECT_TRUE(Logged("[OptCheckAllServerNoAnswer]-- 收到[备2软交换][10.0.0.3:5062]的响应,向该软交换进行注册. "
                       "g_iOptCntSwitch[9]"));
    // Counting starts again from there: backup 2 silent again (89, 94, 99) moves the lines on.
    RunTo(100);
    ASSERT_EQ(g_switches.size(), 2u);
    EXPECT_EQ(g_switches.back(), (Switch{'N', 2, 3, 3, 99}));
    EXPECT_EQ(g_iOptCntSwitch, 1);
}

TEST_F(OptTest, HostPriorityTriesTheHostFirstAfterEachRegistration)
{
    Mode(E_REG_SW_TYPE_HOST_PRIORITY);
    g_iHaveRegHost = 0;
    RunTo(29);
    // The lines registered with backup 1: the registration module clears the flag.
    g_iHaveRegHost = 0;
    RunTo(60);
    // The node that switched clears its own count after its miss of that step: the host, silent
    // all along, needs three more misses (19, 24, 29) for the second switch.
    const std::vector<Switch> want{
        {'N', 0, 0, 0, 14},  // the host itself once more
        {'N', 0, 1, 1, 29},
        {'N', 1, 0, 0, 39},  // from the silent backup, not from backup 3
        {'N', 0, 1, 1, 54},
    };
    EXPECT_EQ(g_switches, want);
    EXPECT_EQ(g_iHaveRegHost, 1);
}

TEST_F(OptTest, MissesOfAnythingButTheCurrentSoftswitchMoveNothing)
{
    struct Case {
        SYS_REG_SW_TYPE_E mode;
        std::vector<int> answering;
    };
    const Case cases[] = {
        {E_REG_SW_TYPE_IN_SEQUENCE, {0}},     // the host answers, the backups are silent
        {E_REG_SW_TYPE_HOST_PRIORITY, {0}},
        {E_REG_SW_TYPE_NO_SWITCH, {}},        // nobody answers, but nothing may move
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        SetUp();
        Mode(c.mode);
        RunTo(13, c.answering);
        EXPECT_EQ(g_sOptRegList[2].m_iCntNoRsp, 2);
        RunTo(58, c.answering);
        EXPECT_TRUE(g_switches.empty());
        EXPECT_EQ(g_iOptCntSwitch, 0);
        EXPECT_EQ(CurrentSwitch(), 0);
        // Each third miss cleared the count: 4, 9, 14 | 19, 24, 29 | ... | 49, 54.
        EXPECT_EQ(g_sOptRegList[2].m_iCntNoRsp, 2);
    }
}

TEST_F(OptTest, AnswerOfTheHostBringsTheLinesBackInHostPriorityMode)
{
    struct Case {
        SYS_REG_SW_TYPE_E mode;
        SYS_REG_SW_NAME_E current;
        int answering;
        std::vector<Switch> want;
    };
    const Case cases[] = {
        {E_REG_SW_TYPE_HOST_PRIORITY, E_REG_SW_BAK_2, 0, {{'B', 2, 0, 0, 6}}},
        {E_REG_SW_TYPE_HOST_PRIORITY, E_REG_SW_HOST, 0, {}},
        {E_REG_SW_TYPE_HOST_PRIORITY, E_REG_SW_BAK_2, 1, {}},
        {E_REG_SW_TYPE_IN_SEQUENCE, E_REG_SW_BAK_2, 0, {}},
        {E_REG_SW_TYPE_NO_SWITCH, E_REG_SW_BAK_2, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " current " << c.current << " answer " << c.answering);
        SetUp();
        Mode(c.mode);
        OPT_SetCurRegAddr(c.current);
        RunTo(5);
        for (OPT_REG_NODE_T& node : g_sOptRegList) node.m_iCntNoRsp = 2;
        RunTo(6, {c.answering});
        EXPECT_EQ(g_switches, c.want);
        EXPECT_EQ(g_sOptRegList[c.answering].m_iCntNoRsp, 0);
        EXPECT_EQ(g_sOptRegList[3].m_iCntNoRsp, c.want.empty() ? 2 : 0);
        EXPECT_EQ(Logged("[OptCheckHostSwRegisterPriority]-- 收到主软交换[10.0.0.15060]的OPT响应,"
                         "当前注册成功的软交换[10.0.0.3:5062], 主备切换"),
                  !c.want.empty());
    }
}

TEST_F(OptTest, AnswerOnAChannelOfNoNodeIsIgnored)
{
    Mode(E_REG_SW_TYPE_HOST_PRIORITY);
    OPT_SetCurRegAddr(E_REG_SW_BAK_1);
    g_iOptCntSwitch = 5;
    // Before the first probe every node holds channel -1: a report on -1 belongs to none.
    for (int chn : {-1, 77}) {
        OPT_Recv200OK(chn);
        EXPECT_TRUE(Logged("[OPT_Recv200OK]-- Cannot Get OptRegNode By SipChn[" + std::to_string(chn) + "]")) << chn;
    }
    EXPECT_TRUE(g_switches.empty());
    EXPECT_EQ(g_iOptCntSwitch, 5);
    for (const OPT_REG_NODE_T& node : g_sOptRegList) EXPECT_EQ(node.m_eOptRegStatus, E_OPT_REG_STATUS_WAIT_RSP);
}

TEST_F(OptTest, SettersTakeTheirRangeOnly)
{
    struct Case {
        int (*set)(int);
        int* value;
        int lo, hi;
        const char* warning;
    };
    const Case cases[] = {
        {OPT_SetExpires, &g_iOptSendExipres, 1, 60, "[OPT_SetExpires]-- 请检测OPT_EXPIRES[%d]注册周期, RANGE[1-60]"},
        {OPT_SetNumofPacketForTimeOut, &g_iOptPktNumOfNoAns, 1, 5, "[OPT_SetExpires]-- 请检测Expire_Num[%d], RANGE[1-5]"},
    };
    for (const Case& c : cases) {
        for (int v : {c.lo - 1, c.lo, c.hi, c.hi + 1}) {
            int before = *c.value;
            bool in = v >= c.lo && v <= c.hi;
            EXPECT_EQ(c.set(v), in ? 0 : -1) << v;
            EXPECT_EQ(*c.value, in ? v : before) << v;
            char text[128];
            std::snprintf(text, sizeof text, c.warning, v);
            EXPECT_EQ(Logged(text), !in) << text;
        }
    }
    ASSERT_EQ(OPT_SetExpires(5), 0);
    EXPECT_EQ(OPT_SetFlag(static_cast<SYS_FLAG_E>(2)), -1);
    EXPECT_EQ(g_eOptFlag, E_FLAG_ON);

    // Two misses now move the lines: the start-up one and the first unanswered probe.
    ASSERT_EQ(OPT_SetNumofPacketForTimeOut(2), 0);
    RunTo(9);
    EXPECT_EQ(g_switches, (std::vector<Switch>{{'N', 0, 1, 1, 9}}));
}

TEST_F(OptTest, InitStartsEveryNodeOnItsAddressWithTheHostCurrent)
{
    EXPECT_TRUE(Logged("[OPT_Init]-- 主软交换 [10.0.0.1 : 5060]"));
    EXPECT_TRUE(Logged("[OPT_Init]-- 备3软交换 [10.0.0.4 : 5063]"));
    for (int i = 0; i < kMaxSwitchAddr; ++i) {
        EXPECT_EQ(g_sOptRegList[i].m_eSwCnt, i);
        EXPECT_EQ(g_sOptRegList[i].m_iSipChn, -1);
        EXPECT_EQ(g_sOptRegList[i].m_pOptDstAddr, &g_sSysCfgInfo.m_sSysServer.m_sServerAddr[i]);
    }
    EXPECT_EQ(g_iHaveRegHost, 0);
    EXPECT_EQ(CurrentSwitch(), 0);
    EXPECT_EQ(OPT_CheckHostAddr(), 1);
    EXPECT_EQ(OPT_CheckSwitchIpIsLo(), 0);

    // The current softswitch is a copy: it follows OPT_SetCurRegAddr, not the configuration.
    std::snprintf(g_sSysCfgInfo.m_sSysServer.m_sServerAddr[3].ip, 24, "10.0.0.9");
    OPT_SetCurRegAddr(E_REG_SW_BAK_3);
    EXPECT_EQ(OPT_CheckSwitchIpIsLo(), 1);
    EXPECT_EQ(OPT_CheckHostAddr(), 0);
    std::snprintf(g_sSysCfgInfo.m_sSysServer.m_sServerAddr[3].ip, 24, "10.0.0.4");
    EXPECT_EQ(OPT_CheckSwitchIpIsLo(), 1);
    for (int bad : {4, -1}) {
        OPT_SetCurRegAddr(static_cast<SYS_REG_SW_NAME_E>(bad));
        EXPECT_EQ(OPT_CheckHostAddr(), 0) << bad;
        EXPECT_EQ(OPT_CheckSwitchIpIsLo(), 1) << bad;
    }
}

TEST_F(OptTest, InitWithoutBothCallbacksIsRefusedAndLeavesTheModuleAlone)
{
    OPT_INIT_T no_rsp_missing{nullptr, OnBack};
    OPT_INIT_T back_missing{OnNoRsp, nullptr};
    OPT_INIT_T* cases[] = {nullptr, &no_rsp_missing, &back_missing};
    for (OPT_INIT_T* init : cases) {
        g_iHaveRegHost = 1;
        g_sOptRegList[1].m_iSipChn = 42;
        EXPECT_EQ(OPT_Init(init), -1);
        EXPECT_EQ(g_iHaveRegHost, 1);
        EXPECT_EQ(g_sOptRegList[1].m_iSipChn, 42);
        EXPECT_EQ(g_sOptInit.m_pfuncSwitchNoRsp, OnNoRsp);
    }
    EXPECT_EQ(count_of(Flow(), "pOptInit or m_pfuncSwitchNoRsp or m_pfuncSwitchBack is NULL"), 3u);

    // Never started: a switch still moves the supervision's own softswitch, and calls nothing.
    g_sOptInit = {};
    ASSERT_EQ(OPT_SetNumofPacketForTimeOut(2), 0);
    RunTo(9);
    EXPECT_TRUE(g_switches.empty());
    EXPECT_EQ(CurrentSwitch(), 1);
}

}  // namespace
