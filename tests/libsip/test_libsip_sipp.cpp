// The stack driven through the gateway's own calls against real SIPp scenarios over loopback
// (tests/sipp). Each test starts one SIPp process, polls the stack until SIPp ends, and wants
// SIPp's verdict (exit status 0: every call of the scenario went as written) and the reports.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

#include "sip_peer.h"

extern char** environ;

namespace {

class Sipp {
public:
    ~Sipp()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (!log_.empty()) unlink(log_.c_str());
    }

    // Starts SIPp with scenario file name (in tests/sipp) on its own loopback port.
    bool start(const std::string& scenario, const std::vector<std::string>& extra)
    {
        port_ = free_udp_port();
        char path[] = "/tmp/libsip-sipp-XXXXXX";
        int fd = mkstemp(path);
        if (fd < 0) return false;
        log_ = path;
        std::vector<std::string> args = {SIPP_EXECUTABLE};
        args.insert(args.end(), extra.begin(), extra.end());
        const std::vector<std::string> common = {
            "-sf", std::string(SIPP_SCENARIOS) + "/" + scenario, "-i", "127.0.0.1", "-p", std::to_string(port_),
            "-mp", std::to_string(free_udp_port()), "-nostdin", "-timeout", "30s", "-timeout_error",
            "-recv_timeout", "8000", "-trace_err", "-error_file", log_ + ".err"};
        args.insert(args.end(), common.begin(), common.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fd, 1);
        posix_spawn_file_actions_adddup2(&fa, fd, 2);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        int r = posix_spawn(&pid_, SIPP_EXECUTABLE, &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(fd);
        if (r != 0) {
            pid_ = -1;
            return false;
        }
        // SIPp is ready once its port is taken
        for (int i = 0; i < 500; ++i) {
            int s = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in a = loopback(port_);
            bool taken = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == EADDRINUSE;
            close(s);
            if (taken) return true;
            sleep_ms(10);
        }
        return false;
    }

    int port() const { return port_; }
    IPV4_ADDRESS addr() const { return loopback_addr(port_); }

    // Polls the stack until SIPp ends; SIPp's exit status, or -1 when it has not ended in ms.
    int finish(int ms)
    {
        int status = 0;
        bool ended = pump_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, ms);
        if (!ended) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // What SIPp wrote, for the failure message.
    std::string output() const
    {
        std::string out;
        for (const std::string& f : {log_, log_ + ".err"}) {
            int fd = open(f.c_str(), O_RDONLY);
            if (fd < 0) continue;
            char buf[4096];
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
            close(fd);
        }
        unlink((log_ + ".err").c_str());
        return out.size() > 6000 ? out.substr(out.size() - 6000) : out;
    }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string log_;
};

// Free handles now: taken until none is left, then given back.
int free_handles()
{
    std::vector<int> got;
    for (int h; (h = LIBSIP_CreatChn(-1)) >= 0;) got.push_back(h);
    for (int h : got) LIBSIP_ResetChn(h);
    return static_cast<int>(got.size());
}

struct SippTest : ::testing::Test {
    Sipp sipp;
    int port = 0;
    void TearDown() override { g_on_report = nullptr; }

    // A switch-side scenario: SIPp waits for what the gateway sends.
    void start_switch(const std::string& scenario)
    {
        ASSERT_TRUE(sipp.start(scenario, {"-m", "1"})) << sipp.output();
        port = start_stack(sipp.port());
        ASSERT_GT(port, 0);
    }

    // A caller-side scenario: SIPp calls line 201 of the gateway, calls times over.
    void start_caller(const std::string& scenario, int calls, int max_chn = 12)
    {
        port = start_stack(free_udp_port(), max_chn);
        ASSERT_GT(port, 0);
        ASSERT_TRUE(sipp.start(scenario, {"127.0.0.1:" + std::to_string(port), "-s", "201", "-m", std::to_string(calls),
                                          "-r", "50", "-rp", "1000", "-l", "10"}))
            << sipp.output();
    }
};

// The gateway's handling of a challenge: its line's credentials, then the code of the request.
void answer_challenge(const Report& r)
{
    if (r.type != 214) return;
    AUTH_ELEMENT_T a{};
    std::strcpy(a.m_chUserName, "100");
    std::strcpy(a.m_chPasswd, "secret");
    LIBSIP_SetAuthor(r.chn, &a);
    LIBSIP_SetChnType(r.chn, 0);
    LIBSIP_Send(r.auth_type == E_REGISTER ? 100 : 0, r.chn);
}

TEST_F(SippTest, RegisterWithDigestRefreshAndRemoval)
{
    start_switch("register_digest.xml");
    g_on_report = answer_challenge;
    int chn = LIBSIP_CreatChn(-1);
    IPV4_ADDRESS sw = sipp.addr();
    LIBSIP_SetSbcAddr(&sw);
    LIBSIP_SetRPORT(chn, 1);
    LIBSIP_SetChnType(chn, 0);
    LIBSIP_SetFromTel(chn, "100");
    LIBSIP_SetToTel(chn, "100");
    LIBSIP_SetExpires(chn, 60);
    SIP_USER_AGENT ua{};
    ua.use = 1;
    std::strcpy(ua.content, "QVD_R1.0.4");
    LIBSIP_SetUserAgent(chn, &ua);

    ASSERT_EQ(LIBSIP_Send(100, chn), 0);
    ASSERT_TRUE(pump_until([] { return count_reports(101) == 1; }, 5000)) << sipp.output();
    EXPECT_EQ(g_reports.back().expires, 60);
    EXPECT_EQ(g_reports.back().date, "Thu, 10 Dec 2026 08:00:00 GMT");
    ASSERT_EQ(LIBSIP_Send(100, chn), 0);   // refresh
    ASSERT_TRUE(pump_until([] { return count_reports(101) == 2; }, 5000)) << sipp.output();
    LIBSIP_SetExpires(chn, 0);   // removal
    ASSERT_EQ(LIBSIP_Send(100, chn), 0);
    ASSERT_TRUE(pump_until([] { return count_reports(101) == 3; }, 5000)) << sipp.output();
    EXPECT_EQ(g_reports.back().expires, 0);
    EXPECT_EQ(count_reports(214), 3);
    EXPECT_EQ(count_reports(226), 0);
    EXPECT_EQ(sipp.finish(5000), 0) << sipp.output();
}

TEST_F(SippTest, OutgoingCallWithInfoBothWays)
{
    start_switch("call_out.xml");
    g_on_report = [](const Report& r) {
        if (r.type == 203) LIBSIP_Send(204, r.chn);
        if (r.type == 206 && !r.call_info.empty()) {   // the far end's floor request gets its answer
            SIP_CALL_INFO ci{};
            ci.use = 1;
            std::strcpy(ci.content, "ptttype=taken;reqid=1000;result=accept");
            LIBSIP_SetCallInfo(r.chn, &ci);
            LIBSIP_SetDataType(r.chn, 0);
            LIBSIP_Send(229, r.chn);
        }
    };
    int chn = call_chn_to(sipp.addr());
    ASSERT_EQ(LIBSIP_Send(200, chn), 0);
    ASSERT_TRUE(pump_until([] { return count_reports(206) == 1; }, 5000)) << sipp.output();
    EXPECT_EQ(count_reports(202), 1);
    EXPECT_EQ(count_reports(203), 1);
    EXPECT_EQ(g_reports[1].sdp.a_addr.port, 40000);
    EXPECT_EQ(g_reports.back().call_info, "ptttype=taken;ptttel=300;reqid=1000");
    LIBSIP_SetDataType(chn, 4);
    LIBSIP_SetInfo(chn, "@7-201-request");
    ASSERT_EQ(LIBSIP_Send(206, chn), 0);
    ASSERT_TRUE(pump_until([] { return count_reports(229) == 1; }, 5000)) << sipp.output();
    ASSERT_EQ(LIBSIP_Send(208, chn), 0);
    ASSERT_TRUE(pump_until([] { return count_reports(224) == 1; }, 5000)) << sipp.output();
    LIBSIP_ResetChn(chn);
    EXPECT_EQ(sipp.finish(5000), 0) << sipp.output();
}

// A line's whole part of an incoming call: the answer, and the far end's BYE answered and freed.
void take_call(const Report& r)
{
    answer_call(r);
    if (r.type == 208) {
        LIBSIP_Send(224, r.chn);
        LIBSIP_ResetChn(r.chn);
    }
}

TEST_F(SippTest, IncomingCallSentTwiceIsReportedOnce)
{
    start_caller("call_in.xml", 1);
    g_on_report = take_call;
    sleep_ms(300);   // both copies wait in the socket before the stack reads the first
    EXPECT_EQ(sipp.finish(10000), 0) << sipp.output();
    ASSERT_EQ(count_reports(200), 1);
    EXPECT_TRUE(g_reports[0].has_sdp);
    EXPECT_EQ(g_reports[0].from, "300");
    EXPECT_EQ(g_reports[0].to, "201");
    ASSERT_EQ(count_reports(204), 1);
    for (const auto& r : g_reports) {
        if (r.type != 204) continue;
        EXPECT_EQ(r.data_type, 0);
        ASSERT_TRUE(r.has_sdp) << "the ACK carried none: the INVITE's stays";
        EXPECT_EQ(r.sdp.a_addr.port, 40000);
    }
    EXPECT_EQ(count_reports(208), 1);
}

TEST_F(SippTest, CallerCancelGets487)
{
    start_caller("call_cancel.xml", 1);
    g_on_report = [](const Report& r) {
        if (r.type == 200) LIBSIP_Send(202, r.chn);   // rings, no answer yet
        if (r.type == 225) LIBSIP_ResetChn(r.chn);
    };
    int before = free_handles();
    EXPECT_EQ(sipp.finish(10000), 0) << sipp.output();
    EXPECT_EQ(count_reports(209), 1);
    EXPECT_EQ(count_reports(225), 1);
    EXPECT_EQ(free_handles(), before);
}

TEST_F(SippTest, HundredRefusedCallsLeaveTheHandleCount)
{
    start_caller("call_refused.xml", 100);
    // two handles stay held, as registrations do
    int held1 = LIBSIP_CreatChn(-1), held2 = LIBSIP_CreatChn(-1);
    ASSERT_GE(held2, 0);
    int before = free_handles();
    g_on_report = [](const Report& r) {
        if (r.type == 200) {   // refused, as a line that cannot take the call does
            LIBSIP_SetDisReason(r.chn, SIP_RESPONSE_MSG_480_TEMPORARILY_UNAVAILABLE);
            LIBSIP_Send(226, r.chn);
        }
        if (r.type == 225) LIBSIP_ResetChn(r.chn);
    };
    EXPECT_EQ(sipp.finish(20000), 0) << sipp.output();
    EXPECT_EQ(count_reports(200), 100);
    pump_for(100);
    LIBSIP_TestChnState();
    EXPECT_EQ(free_handles(), before);
    LIBSIP_ResetChn(held1);
    LIBSIP_ResetChn(held2);
}

TEST_F(SippTest, CallWithoutAckEndsWithTimeOut)
{
    start_caller("call_no_ack.xml", 1);
    g_on_report = take_call;
    EXPECT_EQ(sipp.finish(10000), 0) << sipp.output();
    ASSERT_EQ(count_reports(300), 1);
    EXPECT_EQ(g_reports.back().cseq_method, SIP_REQUEST_MSG_INVITE);
    EXPECT_EQ(count_reports(204), 0);
}

}  // namespace
