// Routing of a new call and the relay of its progress: the number rules and lookups as tables,
// and whole routing runs from a caller's channel to the INVITE its called party receives.
#include <sqlite3.h>

#include <functional>
#include <string>
#include <vector>

#include "call_fixture.h"
#include "call_relay.h"
#include "call_route.h"

using namespace calltest;

namespace {

constexpr int kCallerLeg = 0;
constexpr int kCallerChn = 0;

// The called number in the request line of an INVITE ("" for none).
std::string invited(const std::string& msg)
{
    if (msg.rfind("INVITE sip:", 0) != 0) return "";
    return msg.substr(11, msg.find('@') - 11);
}

class CallRoute : public SwitchTest {
public:
    Peer a, b, c, service;

    void SetUp() override
    {
        clear_tables();
        reset_switch_settings();
        copy_text(sip_server_local_host, "127.0.0.1");
        copy_text(sip_server_local_port, "5060");
        close_db();
        user(10, "801", a);
        user(11, "802", b);
        for (Peer* p : {&a, &b, &c, &service}) p->take();
    }
    void TearDown() override { close_db(); }

    static void close_db()
    {
        if (g_db) sqlite3_close(g_db);
        g_db = nullptr;
    }
    static void open_db(const std::string& sql)
    {
        sqlite3_open(":memory:", &g_db);
        sqlite3_exec(g_db,
                     ("create table softswitch (tel text, offline_callswitch_tel text, voice_mail text);"
                      "create table shortdial (phone_tel text, short_tel text, complete_tel text);" + sql).c_str(),
                     nullptr, nullptr, nullptr);
    }

    static SipReg& user(int regno, const char* tel, const Peer& at, int type = TEL_TYPE_SIP)
    {
        SipReg& r = sipreg[regno];
        r = SipReg{};
        r.use = 1;
        copy_text(r.tel, tel);
        copy_text(r.ip, "127.0.0.1");
        r.port = at.port;
        r.soft_user.tel_type = type;
        Sip_Load_User(regno);
        return r;
    }

    // 801's INVITE to called, as its SIP leg and call channel stand when call control takes it.
    void caller_dials(const char* called)
    {
        SipLeg& l = sip_chn[kCallerLeg];
        l = SipLeg{};
        l.use = 1;
        l.st = sip_calling_wait_ring;
        l.regno = 10;
        l.ctrl_chn = kCallerChn;
        copy_text(l.calling, "801");
        copy_text(l.called, called);
        copy_text(l.sig_ip, "127.0.0.1");
        l.sig_port = a.port;
        copy_text(l.callid, "route1");
        copy_text(l.rtp_ip, "127.0.0.1");
        l.rtp_port = 4000;
        l.rtp_codec = CODEC_SET_PCMA;
        CallChn& ch = call_chns[kCallerChn];
        ch = CallChn{};
        ch.use = 1;
        ch.st = CHN_ST_CALLING;
        ch.party_chn = kCallerLeg;
        copy_text(ch.calling, "801");
        copy_text(ch.called, called);
    }

    CallChn& caller() { return call_chns[kCallerChn]; }
    CallChn& called_chn() { return call_chns[caller().con_chn]; }
};

}  // namespace

TEST_F(CallRoute, ForbiddenPrefixes)
{
    struct Case { const char* list; const char* number; int want; };
    const Case cases[] = {
        {"", "900", -1},
        {"9", "", -2},
        {"9", "900", 1},
        {"00,9", "900", 1},
        {"00,8", "900", -4},
        {"00,,8", "900", 1},   // an empty entry matches every number
        {",8", "900", 1},
        {"8,", "900", -4},     // a trailing comma ends the list
        {"900", "90", -4},
    };
    for (const Case& c : cases) EXPECT_EQ(CallCtrl_Get_Restrict_Callout(c.list, c.number), c.want) << c.list << "/" << c.number;
}

TEST_F(CallRoute, PrefixesKeepNumbersInTheirField)
{
    struct Case { std::string number, prefix; std::size_t prefix_max, number_max; std::string want; };
    const std::string long40(40, '1'), long30(30, '2');
    const Case cases[] = {
        {"801", "9", 49, 49, "9801"},
        {"801", "", 49, 49, "801"},
        {long40, "0000000000", 49, 49, "0000000000" + long40.substr(0, 39)},
        // The number rules: at most 24 of the prefix, at most 25 of the number.
        {long30, long30, 24, 25, long30.substr(0, 24) + long30.substr(0, 25)},
        {"801", long30, 24, 25, long30.substr(0, 24) + "801"},
    };
    for (const Case& c : cases) {
        Text<50> number;
        copy_text(number, c.number);
        CallCtrl_Prefix_Tel(number, c.prefix, c.prefix_max, c.number_max);
        EXPECT_EQ(std::string(number.s), c.want) << c.prefix << "+" << c.number;
    }
}

TEST_F(CallRoute, NumberRules)
{
    struct Case {
        const char* what;
        std::function<void(SoftUser& u, SoftUser& g)> setup;
        const char* calling;
        const char* called;
    };
    const Case cases[] = {
        {"none", [](SoftUser&, SoftUser&) {}, "801", "802"},
        {"caller: digits taken off", [](SoftUser& u, SoftUser&) { u.calling_del_len = 1; }, "01", "802"},
        {"caller: more digits than the number has: kept", [](SoftUser& u, SoftUser&) { u.calling_del_len = 3; }, "801",
         "802"},
        {"caller: prefixes", [](SoftUser& u, SoftUser&) {
             copy_text(u.calling_prefix, "55");
             copy_text(u.called_prefix, "0");
         }, "55801", "0802"},
        {"caller: a new calling number", [](SoftUser& u, SoftUser&) { copy_text(u.new_calling_tel, "100"); }, "100",
         "802"},
        {"gateway: digits taken off where the caller has no rule",
         [](SoftUser&, SoftUser& g) { g.calling_del_len = 2; }, "1", "802"},
        {"gateway: prefixes where the caller has none", [](SoftUser&, SoftUser& g) {
             copy_text(g.calling_prefix, "7");
             copy_text(g.called_prefix, "6");
         }, "7801", "6802"},
        {"gateway: the caller's own prefix wins", [](SoftUser& u, SoftUser& g) {
             copy_text(u.calling_prefix, "55");
             copy_text(g.calling_prefix, "7");
         }, "55801", "802"},
        {"gateway: a new calling number", [](SoftUser&, SoftUser& g) { copy_text(g.new_calling_tel, "200"); }, "200",
         "802"},
    };
    for (const Case& c : cases) {
        SetUp();
        caller_dials("802");
        SoftUser u, g;
        c.setup(u, g);
        EXPECT_EQ(CallCtrl_Calling_Number_Rule(kCallerChn, u), 1);
        CallCtrl_Called_Gw_Number_Rule(kCallerChn, u, g);
        EXPECT_STREQ(caller().calling.s, c.calling) << c.what;
        EXPECT_STREQ(caller().called.s, c.called) << c.what;
    }
}

TEST_F(CallRoute, DefaultRouteNeedsARegisteredGatewayOrPeer)
{
    EXPECT_EQ(CallCtrl_Find_Default_Route("9"), -1);
    user(20, "9", c);   // a SIP user does not count
    EXPECT_EQ(CallCtrl_Find_Default_Route("9"), -1);
    user(20, "9", c, TEL_TYPE_GATEWAY);
    EXPECT_EQ(CallCtrl_Find_Default_Route("9"), 1);
    EXPECT_EQ(CallCtrl_Find_Default_Route("95"), 1);
    EXPECT_EQ(CallCtrl_Find_Default_Route("8"), -1);
    user(20, "9", c, TEL_TYPE_TRUNK);
    EXPECT_EQ(CallCtrl_Find_Default_Route("9"), 1);
}

TEST_F(CallRoute, Announcements)
{
    struct Case { const char* what; bool service; int console; int code; int want; const char* called; int fee; };
    const Case cases[] = {
        {"do not disturb", true, 0, ANNOUNCE_NO_DISTURB, 1, "*a101", FEE_ST_NEVER},
        {"offline", true, 0, ANNOUNCE_OFFLINE, 1, "*a103", FEE_ST_NEVER},
        {"may not call out", true, 0, ANNOUNCE_NO_CALL_OUT, 1, "*a104", FEE_ST_NEVER},
        {"forbidden prefix", true, 0, ANNOUNCE_FORBIDDEN, 1, "*a105", FEE_ST_NEVER},
        {"no such announcement", true, 0, -102, -1, "802", FEE_ST_NEVER},
        {"no service program", false, 0, ANNOUNCE_OFFLINE, -2, "802", FEE_ST_NONE},
        {"a console call", true, 1, ANNOUNCE_OFFLINE, -3, "802", FEE_ST_NONE},
    };
    for (const Case& c : cases) {
        SetUp();
        if (c.service) user(kRegService, "*", service, TEL_TYPE_SERVICE);
        caller_dials("802");
        caller().from_console = c.console;
        EXPECT_EQ(CallCtrl_Set_Announce_Tel(kCallerChn, c.code), c.want) << c.what;
        EXPECT_STREQ(caller().called.s, c.called) << c.what;
        EXPECT_EQ(caller().fee_st, c.fee) << c.what;
    }
}

TEST_F(CallRoute, WhoGetsTheCall)
{
    struct Case {
        const char* what;
        std::function<void(CallRoute&)> setup;
        const char* dialled;
        int want;                 // CallCtrl_Process_Call's result
        const char* invited_at_b; // the number in the INVITE that b receives ("" none)
        const char* invited_at_c;
        int mode = CALL_MODE_NORMAL;
    };
    const Case cases[] = {
        {"a registered user", nullptr, "802", 2, "802", ""},
        {"an unknown number", nullptr, "899", -7, "", ""},
        {"an empty number", nullptr, "", -7, "", ""},
        {"forwarded always", [](CallRoute&) { copy_text(sipreg[11].soft_user.callswitch_tel, "803"); }, "802", 2, "",
         "803"},
        {"never forwarded back to the caller",
         [](CallRoute&) { copy_text(sipreg[11].soft_user.callswitch_tel, "801"); }, "802", 2, "802", ""},
        {"forwarded when busy",
         [](CallRoute&) {
             sipreg[11].soft_user.status = SOFT_ST_TALK;
             copy_text(sipreg[11].soft_user.busy_callswitch_tel, "803");
         },
         "802", 2, "", "803"},
        {"a busy user without a forward still gets the call",
         [](CallRoute&) { sipreg[11].soft_user.status = SOFT_ST_BUSY; }, "802", 2, "802", ""},
        {"do not disturb without the service program", [](CallRoute&) { sipreg[11].soft_user.restrict_call_in = 1; },
         "802", -3, "", ""},
        {"pickup of a busy user is refused while pickup is not offered",
         [](CallRoute&) { sipreg[11].soft_user.status = SOFT_ST_BUSY; }, "802", 3, "", "", CALL_MODE_PICKUP},
        {"a gateway gets the number without its prefix",
         [](CallRoute& t) { user(20, "90", t.c, TEL_TYPE_GATEWAY); }, "90555", 2, "", "555"},
        {"a peer that wants the whole number", [](CallRoute& t) { user(20, "90", t.c, TEL_TYPE_TRUNK).station_send = 1; },
         "90555", 2, "", "90555"},
        {"the default route: N before the number, then N taken off by the peer",
         [](CallRoute& t) {
             soft_default_route_enable = 1;
             copy_text(soft_default_route_tel, "7");
             user(20, "7", t.c, TEL_TYPE_TRUNK);
         },
         "555", 2, "", "555"},
        // A gateway and a peer that both match make the lookup find neither, so the default
        // route would be put before the number again and again: the loop is bounded.
        {"a default route that cycles has no route",
         [](CallRoute& t) {
             soft_default_route_enable = 1;
             copy_text(soft_default_route_tel, "7");
             user(20, "7", t.c, TEL_TYPE_TRUNK);
             user(21, "7", t.c, TEL_TYPE_GATEWAY);
         },
         "555", -7, "", ""},
        {"a default route nobody serves", [](CallRoute&) {
             soft_default_route_enable = 1;
             copy_text(soft_default_route_tel, "7");
         }, "555", -7, "", ""},
    };
    for (const Case& cs : cases) {
        SetUp();
        user(12, "803", c);
        if (cs.setup) cs.setup(*this);
        caller_dials(cs.dialled);
        EXPECT_EQ(CallCtrl_Process_Call(kCallerChn, cs.mode), cs.want) << cs.what;
        auto at_b = b.take(), at_c = c.take();
        EXPECT_EQ(at_b.empty() ? "" : invited(at_b[0]), cs.invited_at_b) << cs.what;
        EXPECT_EQ(at_c.empty() ? "" : invited(at_c[0]), cs.invited_at_c) << cs.what;
        const bool placed = *cs.invited_at_b || *cs.invited_at_c;
        auto at_a = a.firsts();
        if (placed) {
            EXPECT_TRUE(at_a.empty()) << cs.what;
            EXPECT_EQ(caller().st, CHN_ST_CALLING) << cs.what;
            EXPECT_EQ(called_chn().st, CHN_ST_CALLED) << cs.what;
            EXPECT_EQ(called_chn().con_chn, kCallerChn) << cs.what;
        } else {
            EXPECT_EQ(at_a, std::vector<std::string>{"SIP/2.0 488 Not Acceptable Here"}) << cs.what;
            EXPECT_TRUE(tables_free()) << cs.what;
        }
    }
}

TEST_F(CallRoute, TheDatabaseTables)
{
    struct Case {
        const char* what;
        const char* rows;
        bool service;
        const char* dialled;
        const char* invited_at_b;
        const char* invited_at_service;
    };
    const Case cases[] = {
        {"a short number", "insert into shortdial values ('801', '2', '802');", false, "2", "802", ""},
        {"a short number of someone else's", "insert into shortdial values ('805', '2', '802');", false, "2", "", ""},
        {"an offline user's forward", "insert into softswitch values ('850', '802', '0');", false, "850", "802", ""},
        {"an offline user without forward: the announcement", "insert into softswitch values ('850', '', '0');", true,
         "850", "", "*a103"},
        {"a quote in the number changes no statement", "insert into shortdial values ('801', '2', '802');", false,
         "2'", "", ""},
    };
    for (const Case& c : cases) {
        SetUp();
        open_db(c.rows);
        if (c.service) user(kRegService, "*", service, TEL_TYPE_SERVICE);
        caller_dials(c.dialled);
        CallCtrl_Recv_Newcall(kCallerChn);
        auto at_b = b.take(), at_s = service.take();
        EXPECT_EQ(at_b.empty() ? "" : invited(at_b[0]), c.invited_at_b) << c.what;
        EXPECT_EQ(at_s.empty() ? "" : invited(at_s[0]), c.invited_at_service) << c.what;
        if (*c.invited_at_service) {
            EXPECT_EQ(caller().fee_st, FEE_ST_NEVER) << "announcements are never billed";
        }
    }
}

TEST_F(CallRoute, BillingIsArmedByRoutingAndStartedByTheAnswer)
{
    sip_fee_enable = 1;
    caller_dials("802");
    ASSERT_EQ(CallCtrl_Process_Call(kCallerChn, CALL_MODE_NORMAL), 2);
    EXPECT_EQ(caller().fee_st, FEE_ST_ARMED);
    const int called = caller().con_chn;
    EXPECT_EQ(CallCtrl_Recv_Ring(called), 1);
    EXPECT_EQ(caller().fee_st, FEE_ST_ARMED);
    EXPECT_EQ(CallCtrl_Recv_Anc(called), 1);
    EXPECT_EQ(caller().fee_st, FEE_ST_STARTED);
    EXPECT_EQ(caller().st, CHN_ST_TALK);
    EXPECT_EQ(call_chns[called].st, CHN_ST_TALK);

    // Off, nothing is armed.
    SetUp();
    caller_dials("802");
    ASSERT_EQ(CallCtrl_Process_Call(kCallerChn, CALL_MODE_NORMAL), 2);
    EXPECT_EQ(CallCtrl_Recv_Anc(caller().con_chn), 1);
    EXPECT_EQ(caller().fee_st, FEE_ST_NONE);
}

TEST_F(CallRoute, ProgressRelay)
{
    caller_dials("802");
    ASSERT_EQ(CallCtrl_Process_Call(kCallerChn, CALL_MODE_NORMAL), 2);
    const int called = caller().con_chn;
    SipLeg& b_leg = sip_chn[called_chn().party_chn];
    copy_text(b_leg.rtp_ip, "127.0.0.2");
    b_leg.rtp_port = 5000;
    EXPECT_EQ(CallCtrl_Recv_Ring(called), 1);
    EXPECT_EQ(caller().st, CHN_ST_ALERTED);
    EXPECT_STREQ(sip_chn[kCallerLeg].offer_ip.s, "127.0.0.2");
    // A second ringing is refused and changes nothing.
    b_leg.rtp_port = 6000;
    EXPECT_EQ(CallCtrl_Recv_Ring(called), -3);
    EXPECT_EQ(sip_chn[kCallerLeg].offer_port, 5000);
    EXPECT_EQ(CallCtrl_Recv_Ring(-1), -1);
    EXPECT_EQ(CallCtrl_Recv_Ring(1), -2);

    // An answer without ringing connects the call too.
    SetUp();
    caller_dials("802");
    ASSERT_EQ(CallCtrl_Process_Call(kCallerChn, CALL_MODE_NORMAL), 2);
    EXPECT_EQ(CallCtrl_Recv_Anc(caller().con_chn), 1);
    EXPECT_EQ(caller().st, CHN_ST_TALK);
    EXPECT_EQ(sip_chn[kCallerLeg].st, sip_calling_wait_200ack);
    EXPECT_EQ(a.firsts(), std::vector<std::string>{"SIP/2.0 200 OK"});

    // Released from one side, both channels are free.
    EXPECT_EQ(CallCtrl_Recv_Hangoff(caller().con_chn, 0), 1);
    EXPECT_FALSE(caller().use);
    // A channel without a peer is freed, and the release it could not pass on is reported.
    caller_dials("802");
    caller().st = CHN_ST_CALLING;
    sip_debug = 1;
    root->clear_log();
    EXPECT_EQ(CallCtrl_Recv_Hangoff(kCallerChn, 0), -4);
    sip_debug = 0;
    EXPECT_FALSE(caller().use);
    EXPECT_NE(root->log().find("CallCtrl_SendHangoff in recv hangoff return -1\n"), std::string::npos) << root->log();
}

TEST_F(CallRoute, NoAnswerAfterTheCallControlTime)
{
    struct Case {
        const char* what;
        std::function<void()> setup;
        const char* caller_gets;       // first line at a
        const char* invited_at_c;      // the caller routed again
    };
    const Case cases[] = {
        {"released", [] {}, "SIP/2.0 488 Not Acceptable Here", ""},
        {"forwarded", [] { copy_text(sipreg[11].soft_user.no_answer_callswitch_tel, "803"); }, nullptr, "803"},
        {"to voice mail", [] {
             sipreg[11].soft_user.voice_mail = 1;
             copy_text(soft_voice_mail_tel, "80");
             copy_text(sipreg[12].tel, "80802");
             Sip_Load_User(12);
         }, nullptr, "80802"},
    };
    for (const Case& cs : cases) {
        SetUp();
        callctrl_pendtime = 60;
        user(12, "803", c);
        cs.setup();
        caller_dials("802");
        ASSERT_EQ(CallCtrl_Process_Call(kCallerChn, CALL_MODE_NORMAL), 2);
        const int ringing = caller().con_chn;
        ASSERT_EQ(CallCtrl_Recv_Ring(ringing), 1);
        b.take();
        a.take();
        for (int s = 0; s < 60; ++s) CallCtrl_Check_Pend_Time();
        EXPECT_EQ(call_chns[ringing].st, CHN_ST_RINGING) << "60 seconds is still ringing: " << cs.what;
        CallCtrl_Check_Pend_Time();
        EXPECT_EQ(b.firsts(), std::vector<std::string>{"CANCEL sip:802@127.0.0.1:5060 SIP/2.0"}) << cs.what;
        auto at_a = a.firsts();
        if (cs.caller_gets) {
            EXPECT_EQ(at_a, std::vector<std::string>{cs.caller_gets}) << cs.what;
            EXPECT_FALSE(caller().use) << cs.what;
        } else {
            EXPECT_TRUE(at_a.empty()) << cs.what;
            auto at_c = c.take();
            ASSERT_EQ(at_c.size(), 1u) << cs.what;
            EXPECT_EQ(invited(at_c[0]), cs.invited_at_c) << cs.what;
            EXPECT_EQ(caller().st, CHN_ST_CALLING) << cs.what;
            EXPECT_NE(caller().con_chn, ringing) << cs.what;
        }
    }
}

TEST_F(CallRoute, ChannelAccessorsReachTheParty)
{
    struct Case {
        const char* what;
        std::function<void(CallChn&)> setup;
        int media, user;
    };
    const Case cases[] = {
        {"a SIP party", [](CallChn&) {}, 1, 1},
        {"out of range", nullptr, -1, -1},
        {"not taken", [](CallChn& c) { c.use = 0; }, -2, -2},
        {"a leg index that is no leg", [](CallChn& c) { c.party_chn = 500; }, -3, -3},
        {"a leg without registration", [](CallChn&) { sip_chn[kCallerLeg].regno = -1; }, 1, -4},
        {"a leg with a registration out of range", [](CallChn&) { sip_chn[kCallerLeg].regno = 500; }, 1, -4},
        {"an MGCP party: its endpoint's gateway media and user", [](CallChn& c) { c.type = CHN_TYPE_MGCP; }, 2, 2},
        {"an endpoint index that is no endpoint", [](CallChn& c) { c.type = CHN_TYPE_MGCP; c.party_chn = 1000; }, -4, -5},
        {"an unknown type", [](CallChn& c) { c.type = 7; }, -5, -6},
    };
    for (const Case& c : cases) {
        SetUp();
        caller_dials("802");
        const int chn = c.setup ? kCallerChn : kMaxCallChns;
        if (c.setup) c.setup(caller());
        Text<16> ip;
        int port = 0, codec = 0;
        EXPECT_EQ(CallCtrl_Get_Media(chn, ip, port, codec), c.media) << c.what;
        EXPECT_EQ(CallCtrl_Set_Media(chn, "10.1.2.3", 7000, 2), c.media) << c.what;
        SoftUser* user = nullptr;
        EXPECT_EQ(CallCtrl_Get_Soft_User(chn, user), c.user) << c.what;
        if (c.user == 1) {
            EXPECT_EQ(user, &sipreg[10].soft_user) << c.what;
        }
        if (c.user == 2) {
            EXPECT_EQ(user, &g_mgcp_endpoint[kCallerLeg].user) << c.what;
            // What was set is the endpoint's far media, for its MDCX; what is read its gateway's.
            const MgcpEndpoint& ep = g_mgcp_endpoint[kCallerLeg];
            EXPECT_EQ(std::string(ep.far_rtp_ip.s) + ":" + std::to_string(ep.far_rtp_port), "10.1.2.3:7000");
            EXPECT_EQ(ep.far_codec, 2);
            EXPECT_EQ(port, 0) << "the endpoint has no gateway media yet";
        }
        if (c.media == 1) {
            EXPECT_EQ(std::string(ip.s) + ":" + std::to_string(port), "127.0.0.1:4000") << c.what;
            EXPECT_EQ(codec, CODEC_SET_PCMA) << c.what;
            const SipLeg& l = sip_chn[kCallerLeg];
            EXPECT_EQ(std::string(l.offer_ip.s) + ":" + std::to_string(l.offer_port), "10.1.2.3:7000") << c.what;
            EXPECT_EQ(l.offer_codec, 2) << c.what;
        }
    }
}

TEST_F(CallRoute, AResetChannelIsForgottenByItsLegOnly)
{
    caller_dials("802");
    EXPECT_EQ(CallCtrl_Chn_Reset(kCallerChn), 1);
    EXPECT_EQ(sip_chn[kCallerLeg].ctrl_chn, -1);
    // A leg that has moved on to another channel keeps it.
    caller_dials("802");
    sip_chn[kCallerLeg].ctrl_chn = 4;
    EXPECT_EQ(CallCtrl_Chn_Reset(kCallerChn), 1);
    EXPECT_EQ(sip_chn[kCallerLeg].ctrl_chn, 4);
    // An index that is no leg is never followed.
    caller_dials("802");
    caller().party_chn = 600;
    EXPECT_EQ(CallCtrl_Chn_Reset(kCallerChn), 1);
    caller_dials("802");
    caller().type = CHN_TYPE_MGCP;
    EXPECT_EQ(CallCtrl_Chn_Reset(kCallerChn), 1);
    EXPECT_EQ(sip_chn[kCallerLeg].ctrl_chn, kCallerChn) << "an endpoint number is no leg number";
}
