// The supplementary services on tables laid out by hand: a talk between two users, a third user
// that breaks in, and the service program as a loopback party. What a service leaves behind when
// it cannot be completed, and what the joined datagram and its resending hold.
#include <array>
#include <string>

#include "call_fixture.h"
#include "call_services.h"
#include "sip_service.h"

using namespace calltest;

namespace {

constexpr int kRegA = 10, kRegB = 11, kRegY = 12;   // who breaks in, the called user, its partner

class Services : public SwitchTest {
public:
    Peer program, a_phone, b_phone, y_phone;
    int a = -1, b = -1, y = -1;

    void SetUp() override
    {
        clear_tables();
        registration(kRegService, "*", program, TEL_TYPE_SERVICE);
        registration(kRegA, "804", a_phone, TEL_TYPE_SIP);
        registration(kRegB, "802", b_phone, TEL_TYPE_SIP);
        registration(kRegY, "801", y_phone, TEL_TYPE_SIP);
        a = party(kRegA, CHN_ST_CALLING, "127.0.0.3", 6000);
        b = party(kRegB, CHN_ST_TALK, "127.0.0.2", 5000);
        y = party(kRegY, CHN_ST_TALK, "127.0.0.1", 4000);
        ASSERT_EQ(CallCtrl_Link_Chn(b, y), 1);
        sipreg[kRegB].soft_user.status = SOFT_ST_TALK;
        sipreg[kRegY].soft_user.status = SOFT_ST_TALK;
    }

    static void registration(int regno, const char* tel, const Peer& p, int type)
    {
        SipReg& r = sipreg[regno];
        r.use = 1;
        copy_text(r.tel, tel);
        copy_text(r.ip, "127.0.0.1");
        r.port = p.port;
        r.soft_user.tel_type = type;
        copy_text(r.soft_user.tel, tel);
    }

    // A call channel of the user at regno in state st, with a SIP leg that knows the party's media.
    static int party(int regno, int st, const char* ip, int port)
    {
        const int chn = CallCtrl_Find_Free_Chn();
        const int leg = Find_Free_Sip_Chn();
        CallChn& c = call_chns[chn];
        c.use = 1;
        c.st = st;
        c.party_chn = leg;
        copy_text(c.calling, sipreg[regno].tel.view());
        copy_text(c.called, "802");
        SipLeg& l = sip_chn[leg];
        l.use = 1;
        l.st = st == CHN_ST_TALK ? sip_talk : sip_calling_wait_ring;
        l.regno = regno;
        l.ctrl_chn = chn;
        copy_text(l.rtp_ip, ip);
        l.rtp_port = port;
        sipreg[regno].soft_user.call_chn = chn;
        return chn;
    }

    static int used_legs()
    {
        int n = 0;
        for (const SipLeg& l : sip_chn) n += l.use;
        return n;
    }
    static int used_chns()
    {
        int n = 0;
        for (const CallChn& c : call_chns) n += c.use;
        return n;
    }

    // The talk of b and y is as it was, and nothing is left of a service.
    void expect_untouched(int legs, int chns)
    {
        EXPECT_EQ(call_chns[b].con_chn, y);
        EXPECT_EQ(call_chns[y].con_chn, b);
        EXPECT_EQ(call_chns[a].con_chn, -1);
        EXPECT_EQ(used_legs(), legs);
        EXPECT_EQ(used_chns(), chns);
        EXPECT_TRUE(program.take().empty());
    }
};

TEST_F(Services, AServiceThatCannotBeCompletedLeavesTheTalkAsItWas)
{
    const SoftUser& listener = sipreg[kRegA].soft_user;
    const SoftUser& called = sipreg[kRegB].soft_user;
    const int legs = used_legs(), chns = used_chns();

    // Room for two of the three service legs only.
    std::array<int, kMaxSipLegs> held{};
    int n = 0;
    while (used_legs() < kMaxSipLegs - 2) {
        const int leg = Find_Free_Sip_Chn();
        sip_chn[leg].use = 1;
        held[n++] = leg;
    }
    EXPECT_EQ(CallCtrl_Process_Listen(listener, called), -10);
    expect_untouched(legs + n, chns);
    for (int i = 0; i < n; ++i) sip_chn[held[i]] = SipLeg{};

    // The program gone: nothing is opened at all.
    sipreg[kRegService].use = 0;
    EXPECT_EQ(CallCtrl_Process_Listen(listener, called), -1);
    expect_untouched(legs, chns);
}

TEST_F(Services, ServicesActOnlyOnTheUsersOwnConnectedCall)
{
    const SoftUser& u = sipreg[kRegA].soft_user;
    SoftUser& v = sipreg[kRegB].soft_user;
    struct Case {
        const char* what;
        void (*spoil)(Services&);
        int result;
    };
    const Case cases[] = {
        {"the called user's channel is free", [](Services& t) { call_chns[t.b].use = 0; }, -5},
        {"the called user's call still rings", [](Services& t) { call_chns[t.b].st = CHN_ST_RINGING; }, -5},
        {"the channel is another user's call",
         [](Services& t) { sipreg[kRegB].soft_user.call_chn = t.y; }, -5},
        {"the partner names another channel", [](Services& t) { call_chns[t.y].con_chn = -1; }, -6},
        {"the caller's channel is another user's",
         [](Services& t) { sipreg[kRegA].soft_user.call_chn = t.b; }, -4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        c.spoil(*this);
        const int legs = used_legs(), chns = used_chns();
        EXPECT_EQ(CallCtrl_Process_Listen(u, v), c.result);
        EXPECT_EQ(CallCtrl_Process_Qiangchai(u, v), c.result);
        EXPECT_EQ(used_legs(), legs);
        EXPECT_EQ(used_chns(), chns);
        EXPECT_TRUE(program.take().empty());
        EXPECT_TRUE(y_phone.take().empty());
    }
}

TEST_F(Services, TheJoinedDatagramIsResentWholeFromItsLegsSlot)
{
    // Long numbers make three INVITEs longer than one message buffer together.
    for (int chn : {a, b, y}) {
        copy_text(call_chns[chn].calling, std::string(49, '7'));
        copy_text(call_chns[chn].called, std::string(49, '8'));
    }
    EXPECT_EQ(CallCtrl_Process_Listen(sipreg[kRegA].soft_user, sipreg[kRegB].soft_user), 1);
    const std::vector<std::string> sent = program.take(200);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_GT(sent[0].size(), kSipMsgMax);
    std::size_t parts = 1;
    for (std::size_t at = 0; (at = sent[0].find("\r\n.\r\n", at)) != std::string::npos; at += 5) ++parts;
    EXPECT_EQ(parts, 3u);
    EXPECT_EQ(sent[0].compare(sent[0].size() - 2, 2, "\r\n"), 0);

    // The B and Y parties are each linked to their own service leg now.
    EXPECT_NE(call_chns[b].con_chn, y);
    EXPECT_NE(call_chns[y].con_chn, b);
    const int holding = call_chns[call_chns[a].con_chn].party_chn;
    EXPECT_EQ(sip_chn[holding].regno, -1);
    for (int tick = 0; tick < 2; ++tick) TimerProc();
    const std::vector<std::string> again = program.take(200);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0], sent[0]);

    // Given up at the fourteenth second: the holding leg's call is released and every service
    // leg's slot with it; a datagram of the next service finds a slot again.
    for (int tick = 2; tick < 14; ++tick) TimerProc();
    EXPECT_EQ(sip_chn[holding].use, 0);
    EXPECT_EQ(call_chns[a].use, 0);
}

TEST_F(Services, ServiceBuildersRefuseWhatTheyCannotSend)
{
    const int n = CallCtrl_New_Sip_Leg(a, CHN_ST_CALLED, 0) == 1 ? call_chns[a].con_chn : -1;
    ASSERT_GE(n, 0);
    const int leg = call_chns[n].party_chn;
    EXPECT_EQ(Sip_Freetransfer_MakeCall(-1), -2);
    EXPECT_EQ(Sip_Qq_MakeCall(leg, kMaxSipLegs, leg), -2);
    EXPECT_EQ(Sip_Transfer_MakeCall(leg, -1), -3);
    // Not registered: nothing goes out, and no slot is armed.
    sipreg[kRegService].use = 0;
    EXPECT_EQ(Sip_Freetransfer_MakeCall(leg), -5);
    EXPECT_EQ(sip_chn[leg].timertries, 0);
    EXPECT_TRUE(program.take().empty());
    // Every service slot held by other legs: refused, logged, nothing sent.
    sipreg[kRegService].use = 1;
    for (int other = 0, held = 0; held < 64 && other < kMaxSipLegs; ++other) {
        if (sip_chn[other].use == 1) continue;
        sip_chn[other].use = 1;
        if (Sip_Retrans_Set_Service(other, "x", "127.0.0.1", 9) == 1) ++held;
        else break;
    }
    sip_debug = 1;
    root->clear_log();
    EXPECT_EQ(Sip_Freetransfer_MakeCall(leg), -6);
    sip_debug = 0;
    EXPECT_TRUE(program.take().empty());
    EXPECT_NE(root->log().find("no resend slot"), std::string::npos);
}

TEST_F(Services, ConsoleSwitch)
{
    // b and y are the console's two calls here, each with a far end.
    const int f1 = party(kRegA, CHN_ST_TALK, "127.0.0.3", 6000);
    const int f2 = party(kRegA, CHN_ST_TALK, "127.0.0.4", 7000);
    CallCtrl_Link_Chn(b, f1);
    CallCtrl_Link_Chn(y, f2);
    EXPECT_EQ(CallCtrl_Set_Switch(b, y), 1);
    EXPECT_EQ(call_chns[f1].con_chn, f2);
    EXPECT_EQ(call_chns[f2].con_chn, f1);
    EXPECT_EQ(call_chns[b].use, 0);
    EXPECT_EQ(call_chns[y].use, 0);

    // One console call not answered yet: the other console channel is released, nothing else.
    SetUp();
    const int g1 = party(kRegA, CHN_ST_TALK, "127.0.0.3", 6000);
    const int g2 = party(kRegA, CHN_ST_TALK, "127.0.0.4", 7000);
    CallCtrl_Link_Chn(b, g1);
    CallCtrl_Link_Chn(y, g2);
    call_chns[y].st = CHN_ST_RINGING;
    EXPECT_EQ(CallCtrl_Set_Switch(b, y), -4);
    EXPECT_EQ(call_chns[b].use, 0);
    EXPECT_EQ(call_chns[g1].use, 0);   // its far end released with it
    EXPECT_EQ(call_chns[y].use, 1);
    EXPECT_EQ(call_chns[g2].con_chn, y);
}

}  // namespace
