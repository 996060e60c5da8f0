#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "settings.h"
#include "switch_settings.h"
#include "sip_decode.h"
#include "sip_digest.h"
#include "sip_nonce.h"
#include "sip_reg.h"
#include "sip_transport.h"
#include "udp_peer.h"
#include "swlog.h"

namespace {

// The registrar logs and may open the database; both live in a scratch board root.
std::string g_root;

std::string log_text()
{
    Write_Log_Flush();
    std::ifstream f(g_root + "/tmp/log/softswitch.log", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void clear_log()
{
    Write_Log_Flush();
    std::filesystem::remove(g_root + "/tmp/log/softswitch.log");
}

// A SIP party on a loopback address: the REGISTERs it sends name it in their Via, so the
// switch answers here.
struct Peer : UdpPeer {
    using UdpPeer::UdpPeer;

    // Every datagram waiting now. The switch sends on loopback before OnRecv_Reg returns,
    // so what it sent is here.
    std::vector<std::string> take() { return UdpPeer::take(200); }
    // Status code of the one answer that must be waiting, or 0.
    int code()
    {
        auto got = take();
        if (got.size() != 1 || got[0].compare(0, 8, "SIP/2.0 ") != 0) return 0;
        last = got[0];
        return std::atoi(got[0].c_str() + 8);
    }
    std::string last;
    int cseq = 0;       // each REGISTER it sends is a new request
    std::string sent;   // the last one, for a retransmission
};

std::string register_text(Peer& p, const std::string& number, const std::string& extra)
{
    const std::string at = p.ip + ":" + std::to_string(p.port);
    return p.sent = "REGISTER sip:127.0.0.1 SIP/2.0\r\n"
           "Via: SIP/2.0/UDP " + at + ";branch=z9hG4bK" + number + "\r\n"
           "From: <sip:" + number + "@127.0.0.1>;tag=77\r\n"
           "To: <sip:" + number + "@127.0.0.1>\r\n"
           "Call-ID: reg-" + number + "@" + p.ip + "\r\n"
           "CSeq: " + std::to_string(++p.cseq) + " REGISTER\r\n"
           "Contact: <sip:" + number + "@" + at + ">\r\n" + extra +
           "Content-Length: 0\r\n\r\n";
}

int receive(const std::string& text)
{
    SIP_MSG_T msg{};
    Sip_Decode(text.c_str(), text.size(), msg);
    return OnRecv_Reg(msg);
}

int send_register(Peer& p, const std::string& number, const std::string& extra = "")
{
    return receive(register_text(p, number, extra));
}

// The last REGISTER again, as a phone retransmits it.
int resend(Peer& p) { return receive(p.sent); }

// The nonce of a challenge text.
std::string nonce_of(const std::string& challenge)
{
    auto at = challenge.find("nonce=\"");
    if (at == std::string::npos) return "";
    at += 7;
    return challenge.substr(at, challenge.find('"', at) - at);
}

std::string response_for(const std::string& nonce, const std::string& user, const std::string& password,
                         const std::string& uri = "sip:127.0.0.1")
{
    Text<kMd5HexLen + 1> out;
    Sip_Digest_Response(kDigestMethodRegister, "127.0.0.1", uri, nonce, user, password, out);
    return out.s;
}

// The credentials line of the configured type with the given parameter list.
std::string credentials(const std::string& params)
{
    return std::string(sip_authen_type == 0 ? "Authorization: " : "Proxy-Authorization: ") + "Digest " + params + "\r\n";
}

std::string answer(const std::string& user, const std::string& nonce, const std::string& response)
{
    return credentials("username=\"" + user + "\",realm=\"127.0.0.1\",nonce=\"" + nonce +
                       "\",uri=\"sip:127.0.0.1\",response=\"" + response + "\",algorithm=MD5");
}

class Registrar : public ::testing::Test {
protected:
    // One root and one SIP socket for the whole run: the board root is read once per process.
    // Made by the first test, not at load, so listing the tests leaves nothing behind.
    static void SetUpTestSuite()
    {
        if (!g_root.empty()) return;
        char tmpl[] = "/tmp/sipregtest-XXXXXX";
        g_root = mkdtemp(tmpl);
        setenv("BOARD_ROOT", g_root.c_str(), 1);
        std::filesystem::create_directories(g_root + "/tmp/log");
        Sip_Server_Create(0);
        std::atexit([] { std::filesystem::remove_all(g_root); });
    }

    void SetUp() override
    {
        Sip_Init_All_Reg();
        reset_switch_settings();
        sip_debug = 1;   // the cases read the log
        copy_text(sip_server_local_host, "127.0.0.1");
        clear_log();
    }
    void TearDown() override
    {
        if (g_db) sqlite3_close(g_db);
        g_db = nullptr;
    }

    // Registers number through a full challenge and answer; the slot, or -1.
    int register_authed(Peer& p, const std::string& number)
    {
        send_register(p, number);
        if (p.code() != (sip_authen_type == 0 ? 401 : 407)) return -1;
        const std::string nonce = nonce_of(p.last);
        if (send_register(p, number, answer(number, nonce, response_for(nonce, number, ""))) != 1) return -1;
        return p.code() == 200 ? Find_Reg_By_Tel(number.c_str()) : -1;
    }
};

TEST_F(Registrar, LifetimeComesFromExpiresThenContactThenDefault)
{
    struct Case { const char* extra; const char* contact_param; int want; };
    const Case cases[] = {
        {"Expires: 60\r\n", "", 60},
        {"Expires: 60  \r\n", "", 60},             // blanks after the value
        {"Expires: 60x\r\n", "", 0},               // no number
        {"Expires: -5\r\n", "", 0},
        {"Expires: \r\n", "", 0},
        {"Expires: 1234567890\r\n", "", 123456789},  // read up to 9 characters
        {"Expires: 30\r\n", ";expires=90", 30},    // the header wins over the parameter
        {"", ";expires=120", 120},
        {"", ";expires=120;q=0.5", 120},           // another parameter follows
        {"", "", 3600},
    };
    Peer p("127.0.0.1");
    int n = 0;
    for (const auto& c : cases) {
        std::string number = "70" + std::to_string(n++);
        std::string text = register_text(p, number, c.extra);
        if (*c.contact_param) {
            auto at = text.find(">\r\n", text.find("Contact:"));
            text.insert(at + 1, c.contact_param);
        }
        SIP_MSG_T msg{};
        Sip_Decode(text.c_str(), text.size(), msg);
        EXPECT_EQ(OnRecv_Reg(msg), 1) << c.extra << c.contact_param;
        EXPECT_EQ(p.code(), 200);
        int regno = Find_Reg_By_Tel(number.c_str());
        ASSERT_GE(regno, 10);
        EXPECT_EQ(sipreg[regno].expires, c.want) << c.extra << c.contact_param;
    }
}

TEST_F(Registrar, LifetimeEndsAtTheTickAfterIt)
{
    Peer p("127.0.0.1");
    struct Case { int lifetime; };
    for (Case c : {Case{0}, Case{1}, Case{3}}) {
        Sip_Init_All_Reg();
        ASSERT_EQ(send_register(p, "801", "Expires: " + std::to_string(c.lifetime) + "\r\n"), 1);
        ASSERT_EQ(p.code(), 200);
        const int regno = Find_Reg_By_Tel("801");
        for (int tick = 0; tick < c.lifetime; ++tick) Sip_Reg_Timer();
        EXPECT_EQ(sipreg[regno].use, 1) << "lifetime " << c.lifetime;
        clear_log();
        Sip_Reg_Timer();
        EXPECT_EQ(sipreg[regno].use, 0) << "lifetime " << c.lifetime;
        EXPECT_NE(log_text().find("!!!reg[10] tel=[801] 注册超时,注销!\n"), std::string::npos);
        EXPECT_NE(log_text().find("[SOFT_ST_AWAY]"), std::string::npos);
    }
}

TEST_F(Registrar, PeerSoftswitchNeverExpires)
{
    sipreg[10].use = 1;
    sipreg[10].soft_user.tel_type = TEL_TYPE_TRUNK;
    for (int i = 0; i < 5; ++i) Sip_Reg_Timer();
    EXPECT_EQ(sipreg[10].use, 1);
    EXPECT_EQ(sipreg[10].expires, 0);
}

TEST_F(Registrar, AuthOffNewThenKnownThenMoved)
{
    Peer a("127.0.0.1"), b("127.0.0.2");
    ASSERT_EQ(send_register(a, "1001", "Expires: 60\r\n"), 1);
    EXPECT_EQ(a.code(), 200);
    const int regno = Find_Reg_By_Tel("1001");
    EXPECT_EQ(regno, 10);
    EXPECT_NE(log_text().find("用户号码 = [1001]  状态为 [SOFT_ST_FREE]"), std::string::npos);

    // Again from the same address: answered, nobody told.
    clear_log();
    ASSERT_EQ(send_register(a, "1001", "Expires: 60\r\n"), 1);
    EXPECT_EQ(a.code(), 200);
    EXPECT_EQ(log_text().find("SOFT_ST_FREE"), std::string::npos);

    // From a new address: the old one hears the 30-byte notice, then the binding moves.
    ASSERT_EQ(send_register(b, "1001", "Expires: 50\r\n"), 1);
    EXPECT_EQ(b.code(), 200);
    auto at_old = a.take();
    ASSERT_EQ(at_old.size(), 1u);
    EXPECT_EQ(at_old[0], std::string("D\x01\x04\x00\x19" "1001", 9) + std::string(21, '\0'));
    EXPECT_EQ(std::string(sipreg[regno].ip.s), "127.0.0.2");
    EXPECT_EQ(sipreg[regno].port, b.port);
    EXPECT_EQ(sipreg[regno].expires, 50);
}

TEST_F(Registrar, TableHoldsFourHundredNinetyNumbers)
{
    Peer p("127.0.0.1");
    sip_debug = 0;
    for (int i = 0; i < 490; ++i) {
        ASSERT_EQ(send_register(p, std::to_string(5000 + i)), 1) << i;
        p.take();
    }
    EXPECT_EQ(send_register(p, "9999"), -4);
    EXPECT_EQ(p.code(), 488);
    // A number already in the table still refreshes.
    EXPECT_EQ(send_register(p, "5000"), 1);
    EXPECT_EQ(p.code(), 200);

    sip_authen_enable = 1;
    sip_debug = 1;
    EXPECT_EQ(send_register(p, "9999"), -6);
    EXPECT_EQ(p.code(), 488);
    EXPECT_NE(log_text().find("no free regno\n"), std::string::npos);
}

TEST_F(Registrar, ServiceAndConferenceProgramsTakeSlotsZeroAndOne)
{
    struct Case { int authen; };
    for (Case c : {Case{0}, Case{1}}) {
        Sip_Init_All_Reg();
        sip_authen_enable = c.authen;
        Peer p("127.0.0.3");
        EXPECT_EQ(send_register(p, "svc", "Kelvanor-Info: service register\r\n"), 2);
        EXPECT_EQ(p.code(), 200);
        EXPECT_EQ(send_register(p, "conf", "Kelvanor-Info: conference register\r\nExpires: 40\r\n"), 2);
        EXPECT_EQ(p.code(), 200);
        EXPECT_EQ(std::string(sipreg[0].tel.s), "*");
        EXPECT_EQ(std::string(sipreg[1].tel.s), "#");
        for (int slot : {0, 1}) {
            EXPECT_EQ(sipreg[slot].use, 1);
            EXPECT_EQ(sipreg[slot].soft_user.tel_type, TEL_TYPE_SERVICE);
            EXPECT_EQ(std::string(sipreg[slot].ip.s), "127.0.0.3");
            EXPECT_EQ(sipreg[slot].port, p.port);
        }
        EXPECT_EQ(sipreg[1].expires, 40);
    }
}

TEST_F(Registrar, PlainRegisterCannotTakeAProgramOrPeerSlot)
{
    Peer svc("127.0.0.3"), intruder("127.0.0.4");
    send_register(svc, "svc", "Kelvanor-Info: service register\r\n");
    svc.take();
    sipreg[10].use = 1;
    sipreg[10].soft_user.tel_type = TEL_TYPE_TRUNK;
    copy_text(sipreg[10].tel, "88");
    copy_text(sipreg[10].ip, "127.0.0.9");
    sipreg[10].port = 5070;

    for (int authen : {0, 1}) {
        sip_authen_enable = authen;
        for (const char* number : {"*", "88"}) {
            EXPECT_EQ(send_register(intruder, number), -5) << number;
            EXPECT_EQ(intruder.code(), 488);
        }
    }
    EXPECT_EQ(std::string(sipreg[0].ip.s), "127.0.0.3");
    EXPECT_EQ(std::string(sipreg[10].ip.s), "127.0.0.9");
    EXPECT_EQ(sipreg[10].port, 5070);
    EXPECT_EQ(svc.take().size(), 0u);  // no moved notice either
}

TEST_F(Registrar, UndecodableNumbersAreRefused)
{
    struct Case { const char* from; int want; };
    const Case cases[] = {
        {"", -1},                          // no From line
        {"From: <tel:1001>\r\n", -2},
        {"From: <sip:@127.0.0.1>\r\n", -3},
    };
    Peer p("127.0.0.1");
    for (const auto& c : cases) {
        std::string text = register_text(p, "1001", "");
        auto from = text.find("From:");
        text.replace(from, text.find("\r\n", from) + 2 - from, c.from);
        SIP_MSG_T msg{};
        Sip_Decode(text.c_str(), text.size(), msg);
        EXPECT_EQ(OnRecv_Reg(msg), c.want) << c.from;
        EXPECT_EQ(p.code(), 488) << c.from;
    }
    EXPECT_EQ(Find_Free_Reg(), 10);
}

class RegistrarAuth : public Registrar, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override
    {
        Registrar::SetUp();
        sip_authen_enable = 1;
        sip_authen_type = GetParam();
    }
    int challenge_code() const { return sip_authen_type == 0 ? 401 : 407; }
    int bad_nonce() const { return sip_authen_type == 0 ? -8 : -11; }
    int bad_response() const { return sip_authen_type == 0 ? -9 : -12; }
};

TEST_P(RegistrarAuth, ChallengeThenAnswer)
{
    Peer p("127.0.0.1");
    ASSERT_EQ(send_register(p, "1001", "Expires: 60\r\n"), 1);
    EXPECT_EQ(p.code(), challenge_code());
    const std::string nonce = nonce_of(p.last);
    ASSERT_FALSE(nonce.empty());
    // Nothing reaches the number before its credentials pass, and it holds no slot.
    EXPECT_EQ(Find_Reg_By_Tel("1001"), -1);
    EXPECT_EQ(Find_Reg_By_Called("1001"), -3);
    EXPECT_EQ(log_text().find("SOFT_ST_FREE"), std::string::npos);

    ASSERT_EQ(send_register(p, "1001", "Expires: 60\r\n" + answer("1001", nonce, response_for(nonce, "1001", ""))), 1);
    EXPECT_EQ(p.code(), 200);
    const int regno = Find_Reg_By_Tel("1001");
    ASSERT_GE(regno, 10);
    EXPECT_EQ(Find_Reg_By_Called("1001"), regno);
    EXPECT_EQ(std::string(sipreg[regno].ip.s), "127.0.0.1");
    EXPECT_EQ(sipreg[regno].port, p.port);
    EXPECT_EQ(sipreg[regno].expires, 60);
    EXPECT_NE(log_text().find("用户号码 = [1001]  状态为 [SOFT_ST_FREE]"), std::string::npos);
}

TEST_P(RegistrarAuth, UnansweredChallengesLeaveRoomForEveryNewUser)
{
    // Challenges nobody answers, for more numbers than the table has slots, whatever lifetime
    // they ask for: the table stays free for whoever answers.
    Peer attacker("127.0.0.2"), p("127.0.0.1");
    sip_debug = 0;
    for (int i = 0; i < 2 * kMaxSipReg; ++i) {
        ASSERT_EQ(send_register(attacker, std::to_string(20000 + i), "Expires: 999999999\r\n"), 1) << i;
        attacker.take();
    }
    EXPECT_EQ(Find_Free_Reg(), kRegFirstUser);
    for (int i = 0; i < 490; ++i) ASSERT_GE(register_authed(p, std::to_string(5000 + i)), kRegFirstUser) << i;
    EXPECT_EQ(Find_Free_Reg(), -1);
}

// A retransmitted REGISTER is challenged with the nonce it had; an answer passes once, and its
// repeat from anywhere, or an answer that comes too late, is challenged afresh.
TEST_P(RegistrarAuth, ANoncePassesOnce)
{
    Peer a("127.0.0.1"), b("127.0.0.2");
    ASSERT_EQ(send_register(a, "1001"), 1);
    ASSERT_EQ(a.code(), challenge_code());
    const std::string nonce = nonce_of(a.last);
    ASSERT_EQ(resend(a), 1);
    ASSERT_EQ(a.code(), challenge_code());
    EXPECT_EQ(nonce_of(a.last), nonce) << "a retransmission gets the same challenge";

    const std::string credentials_line = answer("1001", nonce, response_for(nonce, "1001", ""));
    ASSERT_EQ(send_register(a, "1001", "Expires: 60\r\n" + credentials_line), 1);
    ASSERT_EQ(a.code(), 200);
    const int regno = Find_Reg_By_Tel("1001");
    ASSERT_GE(regno, 10);
    const SipReg before = sipreg[regno];

    struct Case { const char* what; Peer* from; bool same_bytes; };
    const Case cases[] = {
        {"the very datagram again", &a, true},
        {"the answer again from the same address", &a, false},
        {"the answer again from another address", &b, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.same_bytes ? resend(*c.from) : send_register(*c.from, "1001", "Expires: 3600\r\n" + credentials_line), 1);
        EXPECT_EQ(c.from->code(), challenge_code());
        EXPECT_NE(nonce_of(c.from->last), nonce);
        EXPECT_EQ(std::string(sipreg[regno].ip.s), before.ip.s);
        EXPECT_EQ(sipreg[regno].port, before.port);
        EXPECT_EQ(sipreg[regno].expires, before.expires);
    }
    EXPECT_EQ(a.take().size(), 0u) << "no moved notice";
    EXPECT_NE(log_text().find("[1001] nonce " + nonce + " spent, challenged again\n"), std::string::npos);
    // The newest challenge is answered as any other.
    const std::string again = nonce_of(b.last);
    EXPECT_EQ(send_register(b, "1001", answer("1001", again, response_for(again, "1001", ""))), 1);
    EXPECT_EQ(b.code(), 200);
    EXPECT_EQ(std::string(sipreg[regno].ip.s), "127.0.0.2");
}

TEST_P(RegistrarAuth, AnAnswerAfterTheClientGaveUpIsChallengedAgain)
{
    struct Case { int ticks; int want; };
    for (Case c : {Case{0, 200}, Case{kNonceOpenSeconds, 200}, Case{kNonceOpenSeconds + 1, 0}}) {
        SCOPED_TRACE(c.ticks);
        Sip_Init_All_Reg();
        Peer p("127.0.0.1");
        send_register(p, "1001");
        ASSERT_EQ(p.code(), challenge_code());
        const std::string nonce = nonce_of(p.last);
        for (int i = 0; i < c.ticks; ++i) Sip_Reg_Timer();
        EXPECT_EQ(send_register(p, "1001", answer("1001", nonce, response_for(nonce, "1001", ""))), 1);
        EXPECT_EQ(p.code(), c.want != 0 ? c.want : challenge_code());
        EXPECT_EQ(Find_Reg_By_Tel("1001") >= 0, c.want == 200);
    }
}

TEST_P(RegistrarAuth, AnAnswerFindsTheTableFilledWhileItsChallengeWasOpen)
{
    Peer p("127.0.0.1"), late("127.0.0.2");
    sip_debug = 0;
    for (int i = 0; i < 489; ++i) ASSERT_GE(register_authed(p, std::to_string(5000 + i)), kRegFirstUser) << i;
    send_register(late, "1001");
    ASSERT_EQ(late.code(), challenge_code());
    const std::string nonce = nonce_of(late.last);
    // The challenge holds nothing: another user takes the last slot meanwhile.
    ASSERT_GE(register_authed(p, "1002"), kRegFirstUser);
    sip_debug = 1;
    EXPECT_EQ(send_register(late, "1001", answer("1001", nonce, response_for(nonce, "1001", ""))), -6);
    EXPECT_EQ(late.code(), 488);
    EXPECT_NE(log_text().find("no free regno\n"), std::string::npos);
    EXPECT_EQ(Find_Reg_By_Tel("1001"), -1);
}

TEST_P(RegistrarAuth, AnsweredChallengeTakesTheLifetimeAskedFor)
{
    Peer p("127.0.0.1");
    ASSERT_EQ(send_register(p, "1001", "Expires: 3600\r\n"), 1);
    EXPECT_EQ(p.code(), challenge_code());
    const std::string nonce = nonce_of(p.last);
    ASSERT_EQ(send_register(p, "1001", "Expires: 3600\r\n" + answer("1001", nonce, response_for(nonce, "1001", ""))), 1);
    EXPECT_EQ(p.code(), 200);
    EXPECT_EQ(sipreg[Find_Reg_By_Tel("1001")].expires, 3600);
}

TEST_P(RegistrarAuth, ChallengeLeavesTheBindingAndTheCallStatusAlone)
{
    Peer a("127.0.0.1"), b("127.0.0.2");
    const int regno = register_authed(a, "1001");
    ASSERT_GE(regno, 10);
    ASSERT_EQ(Sip_Set_Softuser_St(regno, SOFT_ST_BUSY, "1001"), 1);
    const SipReg before = sipreg[regno];

    ASSERT_EQ(send_register(b, "1001", "Expires: 10\r\n"), 1);
    EXPECT_EQ(b.code(), challenge_code());
    EXPECT_EQ(sipreg[regno].soft_user.status, SOFT_ST_BUSY);
    EXPECT_EQ(std::string(sipreg[regno].ip.s), before.ip.s);
    EXPECT_EQ(sipreg[regno].port, before.port);
    EXPECT_EQ(sipreg[regno].expires, before.expires);
    EXPECT_EQ(a.take().size(), 0u);  // the old address hears nothing yet

    // Credentials pass: only now the old address is told and the binding moves.
    const std::string nonce = nonce_of(b.last);
    ASSERT_EQ(send_register(b, "1001", "Expires: 10\r\n" + answer("1001", nonce, response_for(nonce, "1001", ""))), 1);
    EXPECT_EQ(b.code(), 200);
    EXPECT_EQ(a.take().size(), 1u);
    EXPECT_EQ(std::string(sipreg[regno].ip.s), "127.0.0.2");
    EXPECT_EQ(sipreg[regno].expires, 10);
    EXPECT_EQ(sipreg[regno].soft_user.status, SOFT_ST_BUSY);
}

// Credentials that must fail, sent from another address for a registered number and for a
// number whose slot is held only for its challenge.
TEST_P(RegistrarAuth, FailedCredentialsNeverTouchARegistration)
{
    // Each builds the credentials line for user from the slot's current nonce and an older one.
    using Line = std::string (*)(const std::string& user, const std::string& nonce, const std::string& old_nonce);
    struct Case {
        const char* what;
        int want_www, want_proxy;
        Line line;
    };
    const Case cases[] = {
        {"wrong password", -9, -12,
         [](const std::string& u, const std::string& n, const std::string&) {
             return answer(u, n, response_for(n, u, "guess"));
         }},
        {"stale nonce", -8, -11,
         [](const std::string& u, const std::string&, const std::string& o) { return answer(u, o, response_for(o, u, "")); }},
        {"uppercase response", -9, -12,
         [](const std::string& u, const std::string& n, const std::string&) {
             std::string r = response_for(n, u, "");
             for (char& ch : r) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
             return answer(u, n, r);
         }},
        {"response of an empty nonce", -8, -11,
         [](const std::string& u, const std::string&, const std::string&) { return answer(u, "", response_for("", u, "")); }},
        {"no nonce at all", -8, -11,
         [](const std::string& u, const std::string& n, const std::string&) {
             return credentials("username=\"" + u + "\",realm=\"127.0.0.1\",uri=\"sip:127.0.0.1\",response=\"" +
                                response_for(n, u, "") + "\"");
         }},
        {"scheme word only", -10, -13,
         [](const std::string&, const std::string&, const std::string&) {
             return std::string(sip_authen_type == 0 ? "Authorization: Digest\r\n" : "Proxy-Authorization: Digest\r\n");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int want = sip_authen_type == 0 ? c.want_www : c.want_proxy;
        Sip_Init_All_Reg();
        Peer a("127.0.0.1"), b("127.0.0.2");
        // The registration; then from elsewhere an older challenge and the newer one that
        // replaced it.
        const int regno = register_authed(a, "1001");
        ASSERT_GE(regno, 10);
        const SipReg before = sipreg[regno];
        send_register(b, "1001");
        ASSERT_EQ(b.code(), challenge_code());
        const std::string old_nonce = nonce_of(b.last);
        send_register(b, "1001");
        ASSERT_EQ(b.code(), challenge_code());
        const std::string nonce = nonce_of(b.last);
        ASSERT_NE(nonce, old_nonce);

        EXPECT_EQ(send_register(b, "1001", "Expires: 5\r\n" + c.line("1001", nonce, old_nonce)), want);
        EXPECT_EQ(b.code(), 488);
        EXPECT_EQ(sipreg[regno].use, 1);
        EXPECT_EQ(std::string(sipreg[regno].ip.s), before.ip.s);
        EXPECT_EQ(sipreg[regno].port, before.port);
        EXPECT_EQ(sipreg[regno].expires, before.expires);
        EXPECT_EQ(Find_Reg_By_Called("1001"), regno);
        EXPECT_EQ(a.take().size(), 0u);

        // A number that was only challenged (twice) never gets a slot.
        send_register(b, "1002");
        b.code();
        const std::string held_old = nonce_of(b.last);
        send_register(b, "1002");
        b.code();
        EXPECT_EQ(send_register(b, "1002", c.line("1002", nonce_of(b.last), held_old)), want);
        EXPECT_EQ(b.code(), 488);
        EXPECT_EQ(Find_Reg_By_Tel("1002"), -1);
    }
}

TEST_P(RegistrarAuth, AnswerWithoutAnyChallengeFails)
{
    Peer p("127.0.0.1");
    EXPECT_EQ(send_register(p, "1003", answer("1003", "", response_for("", "1003", ""))), bad_nonce());
    EXPECT_EQ(p.code(), 488);
    EXPECT_EQ(Find_Reg_By_Tel("1003"), -1);
}

// Digest parameters are found at their own names, wherever they stand and however quoted.
TEST_P(RegistrarAuth, CredentialParametersByName)
{
    struct Case {
        const char* what;
        std::string (*params)(const std::string& nonce, const std::string& response);
        int want_ok;  // 1 passes; 0 fails with the response result
    };
    const Case cases[] = {
        {"cnonce after nonce",
         [](const std::string& n, const std::string& r) {
             return "username=\"1001\",realm=\"127.0.0.1\",nonce=\"" + n + "\",uri=\"sip:127.0.0.1\",response=\"" + r +
                    "\",cnonce=\"0a4f113b\",nc=00000001";
         },
         1},
        {"algorithm first, blanks after commas",
         [](const std::string& n, const std::string& r) {
             return "algorithm=MD5, username=\"1001\", realm=\"127.0.0.1\", nonce=\"" + n +
                    "\", uri=\"sip:127.0.0.1\", response=\"" + r + "\"";
         },
         1},
        {"unquoted values end at their comma",
         [](const std::string& n, const std::string& r) {
             return "username=1001,realm=127.0.0.1,nonce=" + n + ",uri=\"sip:127.0.0.1\",response=" + r +
                    ",algorithm=MD5";
         },
         1},
        {"response inside another parameter's value",
         [](const std::string& n, const std::string&) {
             return "username=\"1001\",realm=\"127.0.0.1\",nonce=\"" + n +
                    "\",uri=\"sip:127.0.0.1\",opaque=\"response=x\"";
         },
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sip_Init_All_Reg();
        Peer p("127.0.0.1");
        send_register(p, "1001");
        p.code();
        const std::string nonce = nonce_of(p.last);
        const int rc = send_register(p, "1001", credentials(c.params(nonce, response_for(nonce, "1001", ""))));
        if (c.want_ok) {
            EXPECT_EQ(rc, 1);
            EXPECT_EQ(p.code(), 200);
        } else {
            EXPECT_EQ(rc, bad_response());
            EXPECT_EQ(p.code(), 488);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Types, RegistrarAuth, ::testing::Values(0, 1));

TEST_F(Registrar, UnknownAuthTypeOrSwitchChangesNothing)
{
    Peer p("127.0.0.1");
    struct Case { int enable, type; };
    for (Case c : {Case{1, 2}, Case{2, 0}}) {
        sip_authen_enable = c.enable;
        sip_authen_type = c.type;
        EXPECT_EQ(send_register(p, "1001"), 1);
        EXPECT_EQ(p.take().size(), 0u);
        EXPECT_EQ(Find_Reg_By_Tel("1001"), -1);
    }
}

TEST_F(Registrar, StatusOfAFreedAndReusedSlotIsLeftAlone)
{
    Peer p("127.0.0.1");
    send_register(p, "1001", "Expires: 0\r\n");
    p.take();
    const int regno = Find_Reg_By_Tel("1001");
    Sip_Reg_Timer();
    send_register(p, "1002");
    p.take();
    ASSERT_EQ(Find_Reg_By_Tel("1002"), regno);
    // A leg of 1001's call ends and sets its user free: 1002 must not be touched.
    ASSERT_EQ(Sip_Set_Softuser_St(regno, SOFT_ST_BUSY, "1002"), 1);
    EXPECT_EQ(Sip_Set_Softuser_St(regno, SOFT_ST_FREE, "1001"), -3);
    EXPECT_EQ(sipreg[regno].soft_user.status, SOFT_ST_BUSY);
}

TEST_F(Registrar, SetStatusChecksInOrder)
{
    sipreg[10].use = 1;
    copy_text(sipreg[10].tel, "1001");
    Sip_Load_User(10);
    sipreg[0].use = 1;
    sipreg[0].soft_user.tel_type = TEL_TYPE_SERVICE;
    copy_text(sipreg[0].tel, "*");
    struct Case { int regno, status; const char* tel; int want; };
    const Case cases[] = {
        {-1, 0, "1001", -5}, {500, 0, "1001", -5}, {11, 0, "1001", -1}, {0, 0, "*", -2},
        {10, 0, nullptr, -3}, {10, 3, "1001", -4}, {10, SOFT_ST_TALK, "1001", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(Sip_Set_Softuser_St(c.regno, c.status, c.tel), c.want) << c.regno << " " << c.status;
    EXPECT_NE(log_text().find("用户号码 = [1001]  状态为 [SOFT_ST_TALK],同时向调度发送状态\n"), std::string::npos);
}

TEST_F(Registrar, FindRegByCalled)
{
    auto put = [](int regno, const char* tel, int type) {
        sipreg[regno].use = 1;
        copy_text(sipreg[regno].tel, tel);
        sipreg[regno].soft_user.tel_type = type;
    };
    struct Case { int mode; const char* called; int want; };
    const Case cases[] = {
        {0, nullptr, -1}, {0, "", -2},
        {0, "*a101", 0}, {0, "#5", 1}, {1, "#5", 0}, {1, "*9", 0},
        {0, "1001", 12}, {0, "1002", -3},                   // 1002 is not registered
        {0, "6001", 14},                                    // gateway prefix "6"
        {0, "7001", 16},                                    // two peers: the last in slot order
        {0, "5551", -3}, {1, "5551", 15},                   // gateway "55" and peer "555"
        {0, "99", -3},
    };
    put(0, "*", TEL_TYPE_SERVICE);
    put(1, "#", TEL_TYPE_SERVICE);
    put(12, "1001", TEL_TYPE_SIP);
    put(14, "6", TEL_TYPE_GATEWAY);
    put(15, "555", TEL_TYPE_TRUNK);
    put(11, "55", TEL_TYPE_GATEWAY);
    put(10, "700", TEL_TYPE_TRUNK);
    put(16, "7", TEL_TYPE_TRUNK);
    for (const auto& c : cases) {
        QUERY_WORK_MODE = c.mode;
        EXPECT_EQ(Find_Reg_By_Called(c.called), c.want) << (c.called ? c.called : "null") << " mode " << c.mode;
    }
    // With the programs away, "*" numbers find nothing.
    sipreg[0] = SipReg{};
    QUERY_WORK_MODE = 0;
    EXPECT_EQ(Find_Reg_By_Called("*1"), -3);
}

TEST_F(Registrar, InnerNetworkTest)
{
    struct Case { const char *ip, *inner, *mask; int want; };
    const Case cases[] = {
        {"10.1.7.3", "10.1.5.9", "255.255.0.0", 1},
        {"10.2.7.3", "10.1.5.9", "255.255.0.0", -5},
        {"", "10.1.5.9", "255.255.0.0", -1},
        {"10.1.7.3", "10.1.5.9", "255.255", -3},
        {"10.1.7.3", "10", "255.255.0.0", -2},
        {"10.9.7.3", "10.1.5.9", "255..", 1},   // an empty mask octet ends the test
        {"192.168.1.20", "192.168.1.1", "255.255.255.0", 1},
        {"192.168.2.20", "192.168.1.1", "255.255.255.0", -5},
    };
    for (const auto& c : cases) {
        copy_text(sipreg[10].ip, c.ip);
        copy_text(sip_server_inter_host, c.inner);
        copy_text(soft_inet_mask, c.mask);
        EXPECT_EQ(Check_Reg_Inner_Net(10), c.want) << c.ip << " " << c.inner << " " << c.mask;
    }
    EXPECT_EQ(Check_Reg_Inner_Net(500), -4);
}

TEST_F(Registrar, PublicNetworkFlag)
{
    soft_inet_enable = 1;
    copy_text(sip_server_inter_host, "127.0.0.1");
    copy_text(soft_inet_mask, "255.255.255.0");
    Peer p("127.0.0.1");
    struct Case { int msg_inet; int want; };
    for (Case c : {Case{1, 1}, Case{0, 0}}) {
        std::string text = register_text(p, "1001", "");
        SIP_MSG_T msg{};
        copy_text(msg.reply_ip, "127.0.0.1");
        msg.reply_port = p.port;
        Sip_Decode(text.c_str(), text.size(), msg);
        msg.inet = c.msg_inet;
        EXPECT_EQ(OnRecv_Reg(msg), 1);
        p.take();
        EXPECT_EQ(sipreg[10].inet, c.want);
        EXPECT_NE(log_text().find(c.want ? "[1001] sipreg.inet=1\n" : "[1001] sipreg.inet=0\n"), std::string::npos);
    }
    // The service program is marked inner by its address.
    std::string text = register_text(p, "svc", "Kelvanor-Info: service register\r\n");
    SIP_MSG_T msg{};
    copy_text(msg.reply_ip, "127.0.0.1");
    msg.reply_port = p.port;
    Sip_Decode(text.c_str(), text.size(), msg);
    EXPECT_EQ(OnRecv_Reg(msg), 2);
    EXPECT_EQ(sipreg[0].inet, 1);
}

// A database with the user table, for the peer load and the online state.
sqlite3* open_db()
{
    std::string path = g_root + "/users.db";
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "create table softswitch (tel text, password text, ip text, port text, station_send text,"
                 " tel_type text, status int);"
                 "insert into softswitch values ('8', 'pw8', '10.0.0.8', '5060', '1', '3', 0);"
                 "insert into softswitch values ('9', '', '127.0.0.1', '5060', '0', '3', 0);"
                 "insert into softswitch values ('7', '', '10.0.0.7', 'x', '', '3', 0);"
                 "insert into softswitch values ('1001', '', '', '0', '0', '0', 0);"
                 "insert into softswitch values ('1''2', '', '', '0', '0', '0', 0);"
                 "insert into softswitch values ('1003', 'pw3', '', '0', '0', '0', 0);",
                 nullptr, nullptr, nullptr);
    return db;
}

std::string db_row(const char* tel)
{
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(g_db, "select status, ip, port from softswitch where tel = ?", -1, &st, nullptr);
    sqlite3_bind_text(st, 1, tel, -1, SQLITE_TRANSIENT);
    std::string row = "none";
    if (sqlite3_step(st) == SQLITE_ROW)
        row = std::to_string(sqlite3_column_int(st, 0)) + " " +
              reinterpret_cast<const char*>(sqlite3_column_text(st, 1)) + " " +
              reinterpret_cast<const char*>(sqlite3_column_text(st, 2));
    sqlite3_finalize(st);
    return row;
}

TEST_F(Registrar, PeerSoftswitchesLoadIntoTheirRowSlots)
{
    EXPECT_EQ(Load_Other_Softswitch(), -1);  // no database
    g_db = open_db();
    ASSERT_EQ(Load_Other_Softswitch(), 1);
    EXPECT_EQ(sipreg[10].use, 1);
    EXPECT_EQ(std::string(sipreg[10].tel.s), "8");
    EXPECT_EQ(std::string(sipreg[10].password.s), "pw8");
    EXPECT_EQ(std::string(sipreg[10].ip.s), "10.0.0.8");
    EXPECT_EQ(sipreg[10].port, 5060);
    EXPECT_EQ(sipreg[10].station_send, 1);
    EXPECT_EQ(sipreg[10].soft_user.tel_type, TEL_TYPE_TRUNK);
    EXPECT_EQ(sipreg[11].use, 0);  // the switch's own row
    EXPECT_EQ(sipreg[12].use, 1);  // keeps row index 2
    EXPECT_EQ(sipreg[12].port, 0);
    EXPECT_EQ(sipreg[13].use, 0);
    EXPECT_NE(log_text().find("其他软交换regno=10 tel=8 tel_type=3 ip=10.0.0.8 port=5060 station_send=1\n"),
              std::string::npos);
    // A user then takes the first slot the peers left.
    Peer p("127.0.0.1");
    send_register(p, "1001");
    EXPECT_EQ(Find_Reg_By_Tel("1001"), 11);
}

TEST_F(Registrar, AUserWhoseRowHoldsAPasswordRegistersOnlyWithIt)
{
    g_db = open_db();
    sip_authen_enable = 1;
    struct Case {
        const char* tel;
        const char* password;
        int want;
    };
    const Case cases[] = {
        {"1003", "", 488},      // its row's password, not the empty one
        {"1003", "wrong", 488},
        {"1003", "pw3", 200},
        {"1001", "", 200},      // a row with an empty password
        {"1004", "", 200},      // no row at all
    };
    for (const Case& c : cases) {
        Peer p("127.0.0.1");
        send_register(p, c.tel);
        ASSERT_EQ(p.code(), 401) << c.tel;
        const std::string nonce = nonce_of(p.last);
        send_register(p, c.tel, answer(c.tel, nonce, response_for(nonce, c.tel, c.password)));
        EXPECT_EQ(p.code(), c.want) << c.tel << " with [" << c.password << "]";
    }
}

TEST_F(Registrar, OnlineStateInTheDatabaseTakesNumbersAsData)
{
    g_db = open_db();
    Peer p("127.0.0.1");
    send_register(p, "1001", "Expires: 0\r\n");
    EXPECT_EQ(db_row("1001"), "1 127.0.0.1 " + std::to_string(p.port));
    // A number with a quote updates its own row and nothing else.
    send_register(p, "1'2");
    EXPECT_EQ(db_row("1'2"), "1 127.0.0.1 " + std::to_string(p.port));
    send_register(p, "1'or'1'='1");
    EXPECT_EQ(db_row("8"), "0 10.0.0.8 5060");
    Sip_Reg_Timer();
    EXPECT_EQ(db_row("1001").substr(0, 1), "0");
    EXPECT_EQ(db_row("1'2").substr(0, 1), "1");
}

TEST_F(Registrar, UserRefreshWalksTheRegistrationsOnce)
{
    for (int regno : {0, 10, 12, 499}) {
        sipreg[regno].use = 1;
        copy_text(sipreg[regno].tel, std::to_string(100 + regno));
    }
    EXPECT_EQ(UserCheckUpdate(1), 1);
    std::vector<int> results;
    for (int i = 0; i < 5; ++i) results.push_back(UserCheckUpdate(0));
    EXPECT_EQ(results, (std::vector<int>{2, 2, 2, -1, -1}));
    for (int regno : {10, 12, 499}) EXPECT_EQ(std::string(sipreg[regno].soft_user.tel.s), std::to_string(100 + regno));
    EXPECT_TRUE(sipreg[0].soft_user.tel.empty());  // the programs are never refreshed
    EXPECT_NE(log_text().find("UserCheckUpdate sip regno=499 tel=599\n"), std::string::npos);
    EXPECT_EQ(UserCheckUpdate(1), 1);
    EXPECT_EQ(UserCheckUpdate(0), 2);
}

}  // namespace
