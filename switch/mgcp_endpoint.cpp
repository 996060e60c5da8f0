#include "mgcp_endpoint.h"

#include <cstdio>
#include <cstring>

#include "call_relay.h"
#include "call_route.h"
#include "link_status.h"
#include "mgcp_transport.h"
#include "settings.h"
#include "sip_text.h"
#include "sqlite.h"
#include "swlog.h"

std::array<MgcpEndpoint, kMaxMgcpEndpoints> g_mgcp_endpoint;

namespace {

bool in_range(int e) { return e >= 0 && e < kMaxMgcpEndpoints; }
bool usable(int e) { return in_range(e) && g_mgcp_endpoint[e].in_use == 1; }
bool chn_in_range(int chn) { return chn >= 0 && chn < kMaxCallChns; }

// A name is kept to 49 characters, so it is compared within that length: a longer name must
// find the record it took before, not take a new one at every keep-alive.
std::string_view kept_name(std::string_view name) { return name.substr(0, kMgcpNameMax - 1); }

bool same_address(const sockaddr_in& a, const sockaddr_in& b)
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

int Mgcp_Find_Endpoint_By_Name(std::string_view name)
{
    if (name.empty()) return -1;
    for (int e = 0; e < kMaxMgcpEndpoints; ++e) {
        const MgcpEndpoint& ep = g_mgcp_endpoint[e];
        if (ep.in_use == 1 && ep.endpoint.view() == kept_name(name)) return e;
    }
    return -1;
}

// Transaction id 0 is what an id that is no number reads as: it names no command.
int Mgcp_Find_Endpoint_By_Transid(int trans_id)
{
    if (trans_id <= 0) return -1;
    for (int e = 0; e < kMaxMgcpEndpoints; ++e) {
        const MgcpEndpoint& ep = g_mgcp_endpoint[e];
        if (ep.in_use == 1 && ep.trans_id == trans_id) return e;
    }
    return -1;
}

int Mgcp_Find_Endpoint_By_Callid(std::string_view callid)
{
    if (callid.empty()) return -1;
    for (int e = 0; e < kMaxMgcpEndpoints; ++e) {
        const MgcpEndpoint& ep = g_mgcp_endpoint[e];
        if (ep.in_use == 1 && ep.callid.view() == callid) return e;
    }
    return -1;
}

int Mgcp_Find_Idle_Endpoint()
{
    for (int e = 0; e < kMaxMgcpEndpoints; ++e)
        if (g_mgcp_endpoint[e].in_use != 1) return e;
    return -1;
}

// Ends the call of the endpoint's call channel, if it has one: a routed channel through call
// control (the peer is told and both are freed), a channel the dial handler took but routing
// never saw (state 0, which call control refuses to release) simply freed. 1; -1 none.
int release_call(int e)
{
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    const int chn = ep.call_chn;
    if (!chn_in_range(chn)) return -1;
    const CallChn& c = call_chns[chn];
    if (c.use != 1 || c.type != CHN_TYPE_MGCP || c.party_chn != e) {
        ep.call_chn = -1;   // a channel that has moved on is not this endpoint's any more
        return -1;
    }
    if (c.st == CHN_ST_IDLE) return CallCtrl_Chn_Reset(chn);
    return CallCtrl_Recv_Hangoff(chn, 0);
}

// After an error or a give-up the endpoint starts afresh: its call part cleared and the gateway
// asked again for what comes next, so it is never left in a state nothing moves it out of or
// with no event requested. A phone that is off the hook hears busy tone until it is hung up.
void restart(int e)
{
    Mgcp_Chn_Reset(e);
    Mgcp_Send_RQNT(e, g_mgcp_endpoint[e].offhook == 1 ? RQNT_BUSY : RQNT_WAIT_OFFHOOK);
}

// A record for an unknown name: 400 and -3 when none is free.
int take_record(const MGCP_MSG_T& msg)
{
    const int e = Mgcp_Find_Idle_Endpoint();
    if (e < 0) {
        Mgcp_Send_Response(msg, 400);
        Write_Log("no idle regno\n");
        return -3;
    }
    Write_Logf("find idle mgcp regno=%d\n", e);
    g_mgcp_endpoint[e] = MgcpEndpoint{};
    g_mgcp_endpoint[e].in_use = 1;
    return e;
}

void store_registration(int e, const MGCP_MSG_T& msg)
{
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    copy_text(ep.endpoint, kept_name(msg.endpoint.view()));
    Mgcp_Get_Soft_User_From_Db(ep.endpoint.s, e);
    ep.gw_addr = msg.from_addr;
}

int OnRecv_RSIP(const MGCP_MSG_T& msg)
{
    if (msg.endpoint.empty()) {
        Mgcp_Send_Response(msg, 400);
        return -4;
    }
    int e = Mgcp_Find_Endpoint_By_Name(msg.endpoint.view());
    if (e < 0) {
        e = take_record(msg);
        if (e < 0) return e;
    } else if (!same_address(g_mgcp_endpoint[e].gw_addr, msg.from_addr) && g_mgcp_endpoint[e].st != MGCP_ST_IDLE) {
        // The name moves to another address: the call it had at the old one cannot go on there.
        Write_Logf("mgcp regno=%d moves to ip=%s port=%d, its call is released\n", e, msg.from_ip.s, msg.from_port);
        release_call(e);
        Mgcp_Chn_Reset(e);
    }
    store_registration(e, msg);
    Mgcp_Send_Response(msg, 200);
    Mgcp_Send_RQNT(e, RQNT_WAIT_OFFHOOK);
    return 1;
}

int OnRecv_Keepalive_Mgcp(const MGCP_MSG_T& msg)
{
    if (msg.endpoint.empty() || Mgcp_Find_Endpoint_By_Name(msg.endpoint.view()) >= 0) return 1;
    const int e = take_record(msg);
    if (e < 0) return e;
    store_registration(e, msg);
    Mgcp_Send_RQNT(e, RQNT_WAIT_OFFHOOK);
    return 1;
}

int OnRecv_Pickup_Mgcp(int e)
{
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    ep.offhook = 1;
    if (ep.st == MGCP_ST_IDLE) {
        Write_Log("calling pickup detected\n");
        ep.called_side = 0;
        ep.st = MGCP_ST_DIAL;
        Mgcp_Send_RQNT(e, RQNT_DIAL);
        Mgcp_Set_Softuser_St(e, SOFT_ST_BUSY);
        return 1;
    }
    if (ep.st != MGCP_ST_RINGING) return 1;
    Write_Log("called pickup detected\n");
    if (!chn_in_range(ep.call_chn)) return -1;
    Mgcp_Send_MDCX(e);
    ep.st = MGCP_ST_TALK;
    ep.ringing = 0;
    Mgcp_Set_Softuser_St(e, SOFT_ST_TALK);
    if (CallCtrl_Recv_Anc(ep.call_chn) < 0) {
        Write_Log("warn in CallCtrl_Recv_Anc\n");
        return -1;
    }
    return 1;
}

int OnRecv_Hangoff_Mgcp(int e)
{
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    ep.offhook = 0;
    Write_Logf("OnRecv_Hangoff_Mgcp begin ,st=%d\n", ep.st);
    if (ep.st == MGCP_ST_IDLE || ep.st == MGCP_ST_DIAL) {
        Mgcp_Set_Softuser_St(e, SOFT_ST_FREE);
        Mgcp_Send_RQNT(e, RQNT_WAIT_OFFHOOK);
        ep.st = MGCP_ST_IDLE;
    } else {
        Mgcp_Send_DLCX(e, DLCX_PLAIN);
        ep.st = MGCP_ST_RELEASING;
    }
    return release_call(e);
}

// Digits are a number only while dial tone was asked for; in any other state they are stray
// (a gateway repeating its notification, or digits dialled into a call) and change nothing.
int OnRecv_Dial_Mgcp(int e, const Text<50>& number)
{
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    if (ep.st != MGCP_ST_DIAL) {
        Write_Logf("mgcp regno=%d st=%d digits %s ignored\n", e, ep.st, number.s);
        return -2;
    }
    if (ep.tel.view() == number.view()) {
        Mgcp_Chn_Reset(e);
        Mgcp_Send_RQNT(e, RQNT_BUSY);
        Write_Log("error:calling=called\n");
        return -1;
    }
    const int chn = CallCtrl_Find_Free_Chn();
    if (chn < 0) {
        Write_Log("no free call_chns\n");
        Mgcp_Send_RQNT(e, RQNT_BUSY);   // the caller hears why, and hanging up is reported
        return -3;
    }
    CallChn& c = call_chns[chn];
    c = CallChn{};
    c.use = 1;
    c.type = CHN_TYPE_MGCP;
    c.party_chn = e;
    c.calling = ep.tel;
    c.called = number;
    ep.call_chn = chn;
    Mgcp_Send_CRCX(e, CRCX_PLAIN);
    ep.st = MGCP_ST_CRCX;
    ep.ringing = 1;
    Write_Logf("chn=%d st=%d\n", chn, ep.st);
    return 1;
}

int OnRecv_NTFY(const MGCP_MSG_T& msg)
{
    Text<50> number;
    int type = 0;
    // A notification without an observed event has nothing to act on; it has been answered.
    const int result = Mgcp_Decode_Observed_Event(msg.o_line.view(), number, type);
    if (result < 0) return 1;
    if (type == MGCP_EV_KEEPALIVE) return OnRecv_Keepalive_Mgcp(msg);
    const int e = Mgcp_Find_Endpoint_By_Name(msg.endpoint.view());
    if (e < 0) return 1;
    Write_Logf("OnRecv_NTFY calledtel=%s type=%d result=%d\n", number.s, type, result);
    switch (type) {
    case MGCP_EV_OFFHOOK: return OnRecv_Pickup_Mgcp(e);
    case MGCP_EV_ONHOOK: return OnRecv_Hangoff_Mgcp(e);
    case MGCP_EV_DIGITS: return OnRecv_Dial_Mgcp(e, number);
    default: return 1;
    }
}

int OnRecv_Suc_After_Crcx(int e, const MGCP_MSG_T& msg)
{
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    const int chn = ep.call_chn;
    if (!chn_in_range(chn)) return -1;
    Write_Log("---------OnRecv_Suc_After_Crcx\n");
    if (!msg.sdp.empty()) {
        ep.gw_rtp_port = msg.rtp_port;
        copy_text(ep.gw_rtp_ip, msg.rtp_ip.view());
        ep.gw_codec = msg.codec;
    }
    if (!msg.i_line.empty()) ep.conn_line = msg.i_line;
    if (ep.called_side == 0) {
        ep.st = MGCP_ST_ROUTING;
        const int r = CallCtrl_Recv_Newcall(chn);
        Write_Logf("mgcp CallCtrl_Recv_Newcall return %d\n", r);
        return 1;
    }
    ep.st = MGCP_ST_RINGING;
    if (const int r = CallCtrl_Recv_Ring(chn); r < 0) {
        Write_Logf("CallCtrl_Recv_Ring return %d\n", r);
        return -6;
    }
    return 1;
}

// The command the endpoint waits an answer for, which the answer ends.
int answered_verb(int e)
{
    const MgcpEndpoint& ep = g_mgcp_endpoint[e];
    const int verb = ep.resend_tries > 0 ? ep.resend_verb : 0;
    Mgcp_Clear_Resend(e, verb);
    return verb;
}

int OnRecv_Success(const MGCP_MSG_T& msg)
{
    const int e = Mgcp_Find_Endpoint_By_Transid(msg.trans_id);
    if (e < 0) {
        Write_Logf("Unknown transaction_id=%ld\n", static_cast<long>(msg.trans_id));
        return -1;
    }
    Write_Logf("OnRecv_Success st=%d\n", g_mgcp_endpoint[e].st);
    switch (answered_verb(e)) {
    case MGCP_CRCX: return OnRecv_Suc_After_Crcx(e, msg);
    case MGCP_MDCX: g_mgcp_endpoint[e].st = MGCP_ST_TALK; return 1;
    case MGCP_DLCX: return Mgcp_Chn_Reset(e);
    default: return 1;   // an RQNT answered
    }
}

int OnRecv_Error(const MGCP_MSG_T& msg)
{
    const int e = Mgcp_Find_Endpoint_By_Transid(msg.trans_id);
    if (e < 0) {
        Write_Logf("Unknown transaction_id=%ld\n", static_cast<long>(msg.trans_id));
        return -1;
    }
    answered_verb(e);
    // "Already off hook" and "already on hook": what was asked for is moot.
    if (msg.code == 401 || msg.code == 402) return 1;
    release_call(e);
    if (msg.code == 500) return Mgcp_Reg_Reset(e);
    restart(e);
    return 1;
}

int OnRecv_DLCX(const MGCP_MSG_T& msg)
{
    const int e = Mgcp_Find_Endpoint_By_Callid(Mgcp_Param_Value(msg.c_line.view()));
    if (e < 0) {
        Write_Logf("Unknown callid=%s endpoint=%s in DLCX\n", msg.c_line.s, msg.endpoint.s);
        // Silence would have the gateway repeat its DLCX and then take the agent for gone.
        Mgcp_Send_Response(msg, kMgcpUnknownCallId);
        return -1;
    }
    Mgcp_Send_Response(msg, 200);
    // The endpoint's state stays: its coming on-hook ends it.
    return release_call(e);
}

// The dispatch consoles watching the endpoint's number; a push that reaches none is not an error
// for an endpoint.
void push_status(const MgcpEndpoint& ep, int console_status) { Send_Status_To_Dispatch(ep.tel.s, console_status); }

}  // namespace

void Mgcp_Init_All_Endpoint()
{
    g_mgcp_endpoint.fill(MgcpEndpoint{});
    Mgcp_Reset_Ids();
}

int Mgcp_Set_Softuser_St(int e, int status)
{
    if (!in_range(e)) return -3;
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    if (ep.in_use != 1) return -1;
    ep.user.status = status;
    Write_Logf("Mgcp_Set_Softuser_St regno %d st %d ddddd\n", e, status);
    int console = 0;
    switch (status) {
    case SOFT_ST_FREE: console = 0; break;
    case SOFT_ST_BUSY: console = 1; break;
    case SOFT_ST_AWAY: console = 2; break;
    case SOFT_ST_TALK: console = 4; break;
    default: return -2;
    }
    push_status(ep, console);
    return 1;
}

int Mgcp_Chn_Reset(int e)
{
    if (!usable(e)) return -1;
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    ep.st = MGCP_ST_IDLE;
    ep.called_side = 0;
    ep.ringing = 0;
    ep.ring_time = 0;
    ep.trans_id = 0;
    ep.gw_rtp_ip.clear();
    ep.gw_rtp_port = 0;
    ep.far_rtp_ip.clear();
    ep.far_rtp_port = 0;
    ep.callid.clear();
    ep.conn_line.clear();
    ep.resend_timer = ep.resend_next = ep.resend_tries = ep.resend_verb = 0;
    ep.resend_text.clear();
    ep.call_chn = -1;
    Mgcp_Set_Softuser_St(e, SOFT_ST_FREE);
    Write_Logf("========== Mgcp_Chn_Reset chn=%d\n", e);
    return 1;
}

int Mgcp_Reg_Reset(int e)
{
    if (!usable(e)) return -1;
    Mgcp_Set_Softuser_St(e, SOFT_ST_AWAY);
    g_mgcp_endpoint[e] = MgcpEndpoint{};
    Write_Logf("Mgcp_Reg_Reset chn=%d\n", e);
    return 1;
}

int Mgcp_Chn_Unlink(int e, int chn)
{
    if (!in_range(e)) return -1;
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    if (ep.call_chn != chn) return 0;
    ep.call_chn = -1;
    return 1;
}

int Mgcp_Chn_Open_Called(int e, int chn)
{
    if (!in_range(e)) return -1;
    if (!usable(e)) return -2;
    g_mgcp_endpoint[e].call_chn = chn;
    g_mgcp_endpoint[e].called_side = 1;
    return 1;
}

int Mgcp_Set_Resend(int e, const char* text, int verb, int tries, int wait, const sockaddr_in& addr)
{
    if (!usable(e)) return -1;
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    copy_text(ep.resend_text, text == nullptr ? "" : text);
    ep.resend_verb = verb;
    ep.resend_tries = tries;
    ep.resend_timer = wait;
    ep.resend_next = wait * 2;
    ep.resend_addr = addr;
    return 1;
}

int Mgcp_Clear_Resend(int e, int verb)
{
    if (!usable(e)) return -1;
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    if (ep.resend_tries <= 0 || ep.resend_verb != verb) return -1;
    ep.resend_timer = ep.resend_next = ep.resend_tries = ep.resend_verb = 0;
    ep.resend_text.clear();
    return 1;
}

int Mgcp_Makecall(int e)
{
    if (!in_range(e)) return -1;
    if (!usable(e)) return -2;
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    if (ep.st != MGCP_ST_IDLE) return -3;
    Mgcp_Send_CRCX(e, CRCX_RING);
    Mgcp_Set_Softuser_St(e, SOFT_ST_BUSY);
    ep.st = MGCP_ST_CALLED;
    ep.ringing = 1;
    ep.ring_time = 0;
    Write_Logf("regno=%d st=%d\n", e, ep.st);
    return 1;
}

int Mgcp_SendRing(int e)
{
    if (!usable(e)) return -1;
    Mgcp_Send_RQNT(e, RQNT_RINGBACK);
    g_mgcp_endpoint[e].st = MGCP_ST_RINGBACK;
    return 1;
}

int Mgcp_SendAnc(int e)
{
    if (!in_range(e)) return -1;
    if (!usable(e)) return -2;
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    Mgcp_Send_MDCX(e);
    ep.st = MGCP_ST_TALK;
    ep.ringing = 0;
    Mgcp_Set_Softuser_St(e, SOFT_ST_TALK);
    return 1;
}

int Mgcp_SendHangoff(int e)
{
    Write_Log("Mgcp_SendHangoff begin\n");
    if (!usable(e)) return -1;
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    const bool rung = ep.st == MGCP_ST_CALLED || ep.st == MGCP_ST_RINGING;
    Mgcp_Send_DLCX(e, rung ? DLCX_SILENT : DLCX_BUSY);
    ep.st = MGCP_ST_RELEASING;
    ep.ringing = 0;   // released: its own no-answer count has nothing left to end
    return 1;
}

int Mgcp_Send_Modify_Media(int e)
{
    if (!in_range(e)) return -1;
    if (!usable(e)) return -2;
    if (g_mgcp_endpoint[e].st == MGCP_ST_TALK) Mgcp_Send_MDCX(e);
    return 1;
}

int Mgcp_Find_Endpoint_By_Tel(const char* tel)
{
    if (tel == nullptr || tel[0] == '\0') return -1;
    const std::string_view wanted(tel);
    for (int e = 0; e < kMaxMgcpEndpoints; ++e) {
        const MgcpEndpoint& ep = g_mgcp_endpoint[e];
        if (ep.in_use == 1 && ep.tel.view() == wanted) return e;
    }
    return -1;
}

int Mgcp_Get_Soft_User_From_Db(const char* name, int e)
{
    if (!in_range(e)) return -1;
    char quoted[kMgcpNameMax * 2 + 3];
    char sql[200];
    Dataset ds = nullptr;
    if (Query_Quote(quoted, sizeof quoted, name == nullptr ? "" : name) >= 0 &&
        std::snprintf(sql, sizeof sql, "select *  from softswitch where username=%s", quoted) < static_cast<int>(sizeof sql))
        ds = Query_Open(g_db, sql);
    if (ds == nullptr || Query_RecCount(ds) < 1) {
        if (ds != nullptr) Query_Close(ds);
        Write_Log("Find softswitch user count=0\n");
        return -1;
    }
    auto field = [&](const char* column) -> std::string_view {
        const char* v = Query_Fields(ds, column, 0);
        return v == nullptr ? std::string_view() : std::string_view(v);
    };
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    SoftUser& u = ep.user;
    copy_text(ep.tel, field("tel"));
    u.tel_type = Sip_Atoi(field("tel_type"));
    copy_text(u.callswitch_tel, field("callswitch_tel"));
    copy_text(u.busy_callswitch_tel, field("busy_callswitch_tel"));
    copy_text(u.offline_callswitch_tel, field("offline_callswitch_tel"));
    copy_text(u.no_answer_callswitch_tel, field("no_answer_callswitch_tel"));
    u.restrict_call_in = Sip_Atoi(field("restrict_call_in"));
    u.restrict_call_out = Sip_Atoi(field("restrict_call_out"));
    u.level = Sip_Atoi(field("level"));
    Query_Close(ds);
    Write_Logf("Find_Endpoint_By_Tel tel=%s\n", ep.tel.s);
    return 1;
}

int Mgcp_OnRecv(const MGCP_MSG_T& msg)
{
    int r = 0;
    switch (msg.type) {
    case MGCP_SUCCESS:
        if ((r = OnRecv_Success(msg)) < 0) Write_Logf("\nOnRecv Success return=%d\n", r);
        break;
    case MGCP_ERROR:
        r = OnRecv_Error(msg);
        break;
    case MGCP_DLCX:
        r = OnRecv_DLCX(msg);
        Write_Logf("\nOnRecv DLCX return=%d\n", r);
        break;
    case MGCP_NTFY:
        Mgcp_Send_Response(msg, 200);
        r = OnRecv_NTFY(msg);
        Write_Logf("\nOnRecv NTFY return=%d\n", r);
        break;
    case MGCP_RSIP:
        r = OnRecv_RSIP(msg);
        Write_Logf("\nOnRecv RSIP return=%d\n", r);
        break;
    default:
        break;   // provisional answers and the commands a call agent does not take are ignored
    }
    return r;
}

int Mgcp_Check_Pend_Time()
{
    for (int e = 0; e < kMaxMgcpEndpoints; ++e) {
        MgcpEndpoint& ep = g_mgcp_endpoint[e];
        if (ep.in_use != 1 || ep.called_side == 0 || ep.ringing == 0) continue;
        ++ep.ring_time;
        Write_Logf("pppppend mgcp chn=%d time=%d\n", e, ep.ring_time);
        if (ep.ring_time <= mgcp_pendtime) continue;
        ep.ringing = 0;
        Mgcp_Send_DLCX(e, DLCX_BUSY);
        ep.st = MGCP_ST_RELEASING;
        release_call(e);
    }
    return 1;
}

int Mgcp_Resend_Timer()
{
    Mgcp_Answers_Tick();
    for (int e = 0; e < kMaxMgcpEndpoints; ++e) {
        MgcpEndpoint& ep = g_mgcp_endpoint[e];
        if (ep.in_use != 1 || ep.resend_tries <= 0) continue;
        if (--ep.resend_timer >= 1) continue;
        if (--ep.resend_tries > 0) {
            Send_Udp_Data_Mgcp(ep.resend_text.s, ep.resend_text.view().size(), ep.resend_addr);
            ep.resend_timer = ep.resend_next;
            ep.resend_next *= 2;
            continue;
        }
        Write_Logf("mgcp regno=%d command not answered, given up\n", e);
        release_call(e);
        restart(e);
    }
    return 1;
}
