// The stack driven through the gateway's own calls against this project's running sipswitch:
// each test starts the real switch binary on a scratch board root and registers a line with it,
// refreshes and removes it, with authentication off and with both kinds of digest challenge.
// What can be seen from outside is checked: the codes the stack reports and the switch's log.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sip_peer.h"

extern char** environ;

namespace {

// Upper bound of every wait for the switch or the stack; each wait ends as soon as its event is seen.
constexpr int kWaitMs = 20000;

// One sipswitch under its own board root, on a free loopback port; ended with SIGTERM.
class SwitchProcess {
public:
    ~SwitchProcess()
    {
        stop();
        if (!root_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(root_, ec);
        }
    }

    // Lays out the board root and starts the switch with the settings (settings adds lines). A
    // port taken by someone else between its choice and the switch's bind ends the switch at
    // once; another port is tried then.
    bool start(const std::string& settings)
    {
        char tmpl[] = "/tmp/libsip-switch-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return false;
        root_ = tmpl;
        for (const char* d : {"root/switch", "tmp/log", "var"})
            std::filesystem::create_directories(root_ + "/" + d);
        for (int attempt = 0; attempt < 3; ++attempt)
            if (spawn(settings)) return true;
        return false;
    }

    // Ends the switch as an operator does; its exit status, or -1 when it did not end by itself.
    int stop()
    {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        int status = 0;
        pid_t got = 0;
        for (int i = 0; i < 1000 && (got = waitpid(pid_, &status, WNOHANG)) == 0; ++i) sleep_ms(10);
        if (got == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        return got > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    IPV4_ADDRESS addr() const { return loopback_addr(port_); }
    std::string log() const { return read_file(root_ + "/tmp/log/softswitch.log"); }
    std::string output() const { return read_file(root_ + "/var/stdout"); }

    // Polls the stack (the switch may send to it meanwhile) until the log holds text.
    bool log_shows(const std::string& text, int ms) const
    {
        return pump_until([&] { return log().find(text) != std::string::npos; }, ms);
    }

    static std::string read_file(const std::string& path)
    {
        std::ifstream f(path, std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }

private:
    bool spawn(const std::string& settings)
    {
        port_ = free_udp_port();
        std::ofstream ini(root_ + "/root/switch/sip_server.ini");
        ini << "sip_server_local_host=127.0.0.1\nsip_server_local_port=" << port_ << "\nsip_debug=1\nmgcp_localport=0\n";
        // The switch's service links listen on fixed ports by default; switches of tests that
        // run side by side each get their own.
        for (const char* key : {"sip_fee_port", "soft_rtpswitch_localport", "record_port", "sip_monitor_port",
                                "Sip_netmon_port"})
            ini << key << "=" << free_udp_port() << "\n";
        ini << settings;
        ini.close();
        if (!ini) return false;

        std::vector<std::string> env_text;
        for (char** e = environ; *e != nullptr; ++e)
            if (std::strncmp(*e, "BOARD_ROOT=", 11) != 0) env_text.emplace_back(*e);
        env_text.push_back("BOARD_ROOT=" + root_);
        std::vector<char*> envp;
        for (auto& e : env_text) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<std::string> words;
#ifdef SIPSWITCH_LAUNCHER
        // The board's build runs its switch through the same emulator as its tests.
        std::istringstream launcher(SIPSWITCH_LAUNCHER);
        for (std::string w; launcher >> w;) words.push_back(w);
#endif
        words.emplace_back(SIPSWITCH_EXE);
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);

        int out = open((root_ + "/var/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0) return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out, 1);
        posix_spawn_file_actions_adddup2(&fa, out, 2);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addchdir_np(&fa, root_.c_str());
        int r = posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        close(out);
        if (r != 0) {
            pid_ = -1;
            return false;
        }
        // The switch is ready once its banner is out: its socket is bound and its loop runs.
        for (int i = 0; i < kWaitMs / 10; ++i) {
            if (read_file(root_ + "/var/stdout").find("*****\n\n") != std::string::npos) return true;
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            sleep_ms(10);
        }
        stop();
        return false;
    }

    std::string root_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// The line's credentials as the gateway hands them over on a challenge. The switch keeps no
// password for a SIP user, so a line registers with it by an empty password.
std::string g_user_name;
std::string g_password;

void answer_challenge(const Report& r)
{
    if (r.type != 214) return;
    AUTH_ELEMENT_T a{};
    a.m_iAuthMethod = r.auth_type;
    std::snprintf(a.m_chUserName, sizeof a.m_chUserName, "%s", g_user_name.c_str());
    std::snprintf(a.m_chPasswd, sizeof a.m_chPasswd, "%s", g_password.c_str());
    LIBSIP_SetAuthor(r.chn, &a);
    LIBSIP_SetChnType(r.chn, 0);
    LIBSIP_Send(r.auth_type == E_REGISTER ? 100 : 0, r.chn);
}

struct SwitchTest : ::testing::Test {
    SwitchProcess sw;
    int chn = -1;
    int stack_port = 0;

    void start(const std::string& settings)
    {
        ASSERT_TRUE(sw.start(settings)) << sw.output();
        // The switch has no transaction layer: a REGISTER copy that crosses its challenge gets a
        // second challenge with a new nonce, and the answer to the first is then refused. A long
        // T1 keeps the stack from repeating a REGISTER while a busy machine delays the switch
        // (seconds at a time on a loaded CI machine); each wait still ends at its answer.
        stack_port = start_stack(sw.addr().port, 12, 5000);
        ASSERT_GT(stack_port, 0);
        g_password = "";
        g_on_report = answer_challenge;
    }

    void TearDown() override
    {
        g_on_report = nullptr;
        if (chn >= 0) LIBSIP_ResetChn(chn);
        EXPECT_EQ(sw.stop(), 0) << sw.output();
    }

    // The gateway's REGISTER: the switch as the stack's server, rport on, From = To = the number,
    // Expires and the gateway's User-Agent; the removal is the same with Expires 0.
    int send_register(const char* number, int expires)
    {
        IPV4_ADDRESS server = sw.addr();
        LIBSIP_SetSbcAddr(&server);
        if (chn < 0) chn = LIBSIP_CreatChn(-1);
        EXPECT_GE(chn, 0);
        LIBSIP_SetRPORT(chn, 1);
        LIBSIP_SetChnType(chn, 0);
        LIBSIP_SetFromTel(chn, number);
        LIBSIP_SetToTel(chn, number);
        LIBSIP_SetExpires(chn, expires);
        SIP_USER_AGENT ua{};
        ua.use = 1;
        std::strcpy(ua.content, "QVD_R1.0.4");
        LIBSIP_SetUserAgent(chn, &ua);
        return LIBSIP_Send(100, chn);
    }

    // Registers, refreshes and removes number; challenges is the number of 214 reports each
    // REGISTER is to bring (0 or 1).
    void register_refresh_remove(const char* number, int challenges)
    {
        g_user_name = number;
        ASSERT_EQ(send_register(number, 60), 0);
        ASSERT_TRUE(pump_until([] { return count_reports(101) == 1 || count_reports(226) > 0; }, kWaitMs)) << sw.log();
        ASSERT_EQ(count_reports(101), 1) << sw.log();
        EXPECT_EQ(g_reports.back().expires, 60);
        EXPECT_EQ(g_reports.back().chn, chn);
        // the switch announces a new registration's user as free, and answers at the address
        // it binds the number to: the stack's own
        EXPECT_TRUE(sw.log_shows(std::string("用户号码 = [") + number + "]  状态为 [SOFT_ST_FREE]", kWaitMs)) << sw.log();
        const std::string to_stack = "Send_Udp_Data remoteip = 127.0.0.1 remoteport = " + std::to_string(stack_port) + " \n";
        EXPECT_NE(sw.log().find(to_stack), std::string::npos) << sw.log();

        ASSERT_EQ(send_register(number, 60), 0);   // refresh
        ASSERT_TRUE(pump_until([] { return count_reports(101) == 2 || count_reports(226) > 0; }, kWaitMs)) << sw.log();
        ASSERT_EQ(count_reports(101), 2) << sw.log();
        EXPECT_EQ(g_reports.back().expires, 60);

        ASSERT_EQ(send_register(number, 0), 0);   // removal
        ASSERT_TRUE(pump_until([] { return count_reports(101) == 3 || count_reports(226) > 0; }, kWaitMs)) << sw.log();
        ASSERT_EQ(count_reports(101), 3) << sw.log();
        EXPECT_EQ(g_reports.back().expires, 0);
        // a lifetime of 0 ends the binding at the switch's next tick
        EXPECT_TRUE(sw.log_shows(std::string("] tel=[") + number + "] 注册超时,注销!", kWaitMs)) << sw.log();

        EXPECT_EQ(count_reports(214), 3 * challenges);
        EXPECT_EQ(count_reports(226), 0);
        EXPECT_EQ(count_reports(300), 0);
        for (const Report& r : g_reports) {
            if (r.type != 214) continue;
            EXPECT_EQ(r.auth_type, E_REGISTER);
        }
        // the switch never refused a credential nor failed to read a line
        EXPECT_EQ(sw.log().find("error:"), std::string::npos) << sw.log();
    }
};

TEST_F(SwitchTest, RegistersWithoutAuthentication)
{
    start("sip_authen_enable=0\n");
    register_refresh_remove("2001", 0);
}

TEST_F(SwitchTest, RegistersThroughWwwDigest)
{
    start("sip_authen_enable=1\nsip_authen_type=0\n");
    register_refresh_remove("2001", 1);
}

TEST_F(SwitchTest, RegistersThroughProxyDigest)
{
    start("sip_authen_enable=1\nsip_authen_type=1\n");
    register_refresh_remove("2001", 1);
}

// A digest the switch cannot match is refused, so the accepted ones above were really checked.
TEST_F(SwitchTest, WrongPasswordIsRefused)
{
    start("sip_authen_enable=1\nsip_authen_type=0\n");
    g_user_name = "2002";
    g_password = "secret";
    ASSERT_EQ(send_register("2002", 60), 0);
    ASSERT_TRUE(pump_until([] { return count_reports(226) == 1; }, kWaitMs)) << sw.log();
    EXPECT_EQ(count_reports(214), 1);
    EXPECT_EQ(count_reports(101), 0);
    EXPECT_EQ(g_reports.back().error_cause, 488);
    EXPECT_TRUE(sw.log_shows("error:[2002]www密码错误", kWaitMs)) << sw.log();
}

}  // namespace
