#include "call_services.h"

#include <array>
#include <string_view>

#include "call_relay.h"
#include "call_route.h"
#include "frame.h"
#include "link_record.h"
#include "link_relay.h"
#include "settings.h"
#include "sip_legs.h"
#include "sip_reg.h"
#include "sip_service.h"
#include "swlog.h"

namespace {

bool in_range(int chn) { return chn >= 0 && chn < kMaxCallChns; }

// The public-network flag of a channel's party: its registration's inet for a SIP party, 0 for
// anything else.
int party_inet(int chn)
{
    const int leg = CallCtrl_Sip_Leg(chn);
    if (leg < 0) return 0;
    const int regno = sip_chn[leg].regno;
    return regno >= 0 && regno < kMaxSipReg ? sipreg[regno].inet : 0;
}

int party_regno(int chn)
{
    const int leg = CallCtrl_Sip_Leg(chn);
    return leg >= 0 ? sip_chn[leg].regno : -1;
}

}  // namespace

int CallCtrl_Is_Norecord_Tel(const char* number)
{
    const std::string_view wanted = number ? number : "";
    std::string_view rest = g_no_record_list.view();
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        if (rest.substr(0, comma) == wanted) {
            Write_Logf("找到不需要录音的号码=%s\n", number ? number : "");
            return 1;
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return 0;
}

int CallCtrl_Record_Check(const SoftUser& calling, const SoftUser& called, int chn)
{
    if (!in_range(chn)) return 4;
    CallChn& p = call_chns[chn];
    if (p.to_voice_mail == 1 || p.recorded == 1) return 4;
    if (CallCtrl_Is_Norecord_Tel(p.calling.s) == 1 || CallCtrl_Is_Norecord_Tel(p.called.s) == 1) return 0;
    if (calling.record_enable != 1 && called.record_enable != 1) return 4;
    int chosen = -1;
    for (int server = 0; server < kRecordServers; ++server) {
        const RecordServer& s = record_ctrl[server];
        if (s.state != 1) continue;
        Write_Logf("找到录音服务器，正在录音的数目 = [%d] 允许录音的数目 = [%d]\n", s.record_num, g_record_capacity);
        if (s.full == 0 && s.record_num < g_record_capacity) chosen = server;   // the last one wins
        else if (s.record_num >= g_record_capacity) Write_Log("录音的数目已经超过了录音允许的数目\n");
    }
    if (chosen < 0) {
        p.recorded = 0;
        Write_Logf("录音失败:原因是没有找到录音服务器 callingtle = [%s] calledtel = [%s]\n", p.calling.s, p.called.s);
        return -2;
    }
    p.recorded = 1;
    p.record_srv = chosen;
    return 1;
}

int CallCtrl_Recv_RecordSwitch(int chn, int server)
{
    if (!in_range(chn) || call_chns[chn].use != 1) return -1;
    const int peer = call_chns[chn].con_chn;
    if (!in_range(peer) || call_chns[peer].use != 1) return -1;
    SoftUser* user = nullptr;
    for (int c : {chn, peer}) {
        if (int r = CallCtrl_Get_Soft_User(c, user); r < 0) {
            Write_Logf("CallCtrl_Recv_RecordSwitch: CallCtrl_Get_Soft_User return %d\n", r);
            return -2;
        }
    }
    if (server < 0) {
        Write_Logf("CallCtrl_Recv_RecordSwitch:record may wrong record = [%d]\n", server);
        return -3;
    }
    const int inet_b = party_inet(chn), inet_a = party_inet(peer);
    Write_Logf("录音 主叫=%d 被叫=%d(1:公网 0:私网)\n", inet_a, inet_b);
    Record_Start(server, chn, inet_b, peer, inet_a);
    return 2;
}

int CallCtrl_Recv_RtpSwitch(int chn)
{
    if (g_rtpswitch_fd < 0) {
        Write_Log("error:包转发程序没有连接\n");
        return -1;
    }
    if (!in_range(chn) || call_chns[chn].use != 1) return -2;
    const int peer = call_chns[chn].con_chn;
    if (!in_range(peer) || call_chns[peer].use != 1) return -3;
    const int leg_b = call_chns[chn].party_chn, leg_a = call_chns[peer].party_chn;
    if (leg_b < 0 || leg_b >= kMaxSipLegs) return -4;
    if (leg_a < 0 || leg_a >= kMaxSipLegs) return -5;
    SoftUser* user = nullptr;
    if (int r = CallCtrl_Get_Soft_User(chn, user); r < 0) {
        Write_Logf("CallCtrl_Recv_RtpSwitch CallCtrl_Get_Soft_User return %d\n", r);
        return -6;
    }
    if (int r = CallCtrl_Get_Soft_User(peer, user); r < 0) {
        Write_Logf("CallCtrl_Recv_RtpSwitch CallCtrl_Get_Soft_User return %d\n", r);
        return -7;
    }
    const int inet_b = party_inet(chn), inet_a = party_inet(peer);
    if (inet_a == 1 && inet_b == 1) {
        Write_Log("主被叫都在同一网内\n");
        if (Check_Reg_Inner_Net(party_regno(chn)) == 1 && Check_Reg_Inner_Net(party_regno(peer)) == 1) return 1;
    } else {
        Write_Logf("主叫=%d 被叫=%d(1:公网 0:私网)\n", inet_a, inet_b);
    }
    Text<200> id;
    Send_RtpSwitch(chn, inet_b, id);
    // The caller's request follows by the loop's own timing: nothing waits here.
    Rtpswitch_Schedule(peer, inet_a, chn, kRelaySecondRequestUs);
    return 2;
}

namespace {

bool taken(int chn) { return in_range(chn) && call_chns[chn].use == 1; }
bool connected(int chn) { return taken(chn) && call_chns[chn].st == CHN_ST_TALK; }

// The channel's party is the user: a call channel a user record names may since have been
// freed and taken by someone else's call.
bool owned_by(int chn, const SoftUser& user)
{
    SoftUser* party = nullptr;
    return taken(chn) && CallCtrl_Get_Soft_User(chn, party) > 0 && party == &user;
}

// The far-end media of from's party becomes what to's party is offered.
void copy_media(int from, int to)
{
    Text<16> ip;
    int port = 0, codec = 0;
    if (CallCtrl_Get_Media(from, ip, port, codec) > 0) CallCtrl_Set_Media(to, ip.s, port, codec);
}

// The service legs one service opened, with the link each replaced, so a service that cannot be
// completed returns every channel and leg and every link to what they were.
class ServiceLegs {
public:
    // Opens the service leg of channel a; the result of CallCtrl_New_Sip_Leg.
    int open(int a, int st, int mode)
    {
        const int former = call_chns[a].con_chn;
        const int r = CallCtrl_New_Sip_Leg(a, st, mode);
        if (r > 0) made_[count_++] = {a, former, call_chns[a].con_chn};
        return r;
    }
    int leg(int i) const { return call_chns[made_[i].made].party_chn; }
    void undo()
    {
        while (count_ > 0) {
            const Made& m = made_[--count_];
            Sip_Chn_Reset(call_chns[m.made].party_chn);
            CallCtrl_Chn_Reset(m.made);
            call_chns[m.owner].con_chn = m.former;
        }
    }

private:
    struct Made {
        int owner, former, made;
    };
    std::array<Made, 3> made_{};
    int count_ = 0;
};

// The channels of a talk the caller breaks into: the caller's own (a), the called user's
// connected call (b) and its connected partner (y). 0, or the failure of the service.
int talk_of(const SoftUser& calling, const SoftUser& called, int& a, int& b, int& y)
{
    a = calling.call_chn;
    b = called.call_chn;
    if (!owned_by(a, calling)) return -4;
    if (!connected(b) || !owned_by(b, called)) return -5;
    y = call_chns[b].con_chn;
    if (!connected(y) || call_chns[y].con_chn != b) return -6;
    return 0;
}

// The service legs of barge-in and listen-in (a toward the program as a new call, b and y as
// talking parties) and their datagram; undone when it cannot go out. 1, or the failure.
int three_party_service(int a, int b, int y, bool listen)
{
    ServiceLegs legs;
    if (legs.open(a, CHN_ST_CALLED, 0) < 0) return -8;
    if (legs.open(b, CHN_ST_TALK, 0) < 0) {
        legs.undo();
        return -9;
    }
    if (legs.open(y, CHN_ST_TALK, 0) < 0) {
        legs.undo();
        return -10;
    }
    const int r = (listen ? Sip_Listen_MakeCall : Sip_Qq_MakeCall)(legs.leg(0), legs.leg(1), legs.leg(2));
    if (listen) Write_Logf("Sip_Listen_MakeCall %d\n", r);
    else if (r < 0) Write_Logf("Sip_Qq_MakeCall return %d\n", r);
    if (r < 0) {
        legs.undo();
        return -11;
    }
    return 1;
}

}  // namespace

int CallCtrl_New_Sip_Leg(int a, int st, int mode)
{
    if (!taken(a)) return -3;
    const int n = CallCtrl_Find_Free_Chn();
    if (n < 0) {
        Write_Log("error:no free call_chns\n");
        return -1;
    }
    const int leg = Find_Free_Sip_Chn();
    if (leg < 0) {
        Write_Log("error:no free sip_chn\n");
        return -2;
    }
    CallChn& owner = call_chns[a];
    if (owner.party_chn < 0 || owner.party_chn >= kMaxSipLegs) return -3;

    CallChn& c = call_chns[n];
    c = CallChn{};
    c.use = 1;
    c.cld = 1;
    c.con_chn = a;
    c.st = st;
    c.calling = owner.calling;
    c.called = owner.called;
    c.type = CHN_TYPE_SIP;
    c.party_chn = leg;
    owner.con_chn = n;

    SipLeg& l = sip_chn[leg];
    l = SipLeg{};
    l.use = 1;
    l.dir = 1;
    l.ctrl_chn = n;
    l.called = owner.called;
    l.calling = owner.calling;
    // An unregistered program leaves the address empty; the builders refuse to send there.
    if (mode == 1) Get_Conference_Addr(l.sig_ip, l.sig_port);
    else Get_Service_Addr(l.sig_ip, l.sig_port);
    Text<16> ip;
    int port = 0, codec = 0;
    CallCtrl_Get_Media(a, ip, port, codec);
    Sip_Chn_Set_Offer(leg, ip.s, port, codec);
    return 1;
}

int CallCtrl_Process_Qiangcha(const SoftUser& calling, const SoftUser& called)
{
    Write_Log("CallCtrl_Process_Qiangcha begin\n");
    if (sipreg[kRegService].use != 1) {
        Write_Log("error:业务程序tolvarine没有连接\n");
        return -1;
    }
    if (calling.level <= called.level) {
        Write_Logf("主叫级别%d 被叫级别 %d \n", calling.level, called.level);
        return -2;
    }
    int a = -1, b = -1, y = -1;
    if (int r = talk_of(calling, called, a, b, y); r < 0) return r;
    SoftUser* partner = nullptr;
    if (CallCtrl_Get_Soft_User(y, partner) < 0) return -7;
    Write_Logf("主叫级别%s:%d 被叫级别%s:%d 被强插级别%s:%d\n", calling.tel.s, calling.level, called.tel.s, called.level,
               partner->tel.s, partner->level);
    if (partner->tel_type == TEL_TYPE_SIP || partner->tel_type == TEL_TYPE_MGCP) {
        if (partner->status != SOFT_ST_TALK) {
            Write_Logf("被强插用户的状态为 %d\n", partner->status);
            return -12;
        }
        if (calling.level <= partner->level) {
            Write_Logf("主叫级别:%d 被强插用户的级别 %d \n", calling.level, partner->level);
            return -3;
        }
    } else if (partner->tel_type != TEL_TYPE_GATEWAY) {
        return -11;
    }
    return three_party_service(a, b, y, false);
}

int CallCtrl_Process_Listen(const SoftUser& listener, const SoftUser& called)
{
    Write_Log("CallCtrl_Process_Listen begin\n");
    if (sipreg[kRegService].use != 1) {
        Write_Log("error:业务程序tolvarine没有连接\n");
        return -1;
    }
    int a = -1, b = -1, y = -1;
    if (int r = talk_of(listener, called, a, b, y); r < 0) return r;
    SoftUser* partner = nullptr;
    if (CallCtrl_Get_Soft_User(y, partner) < 0) return -7;
    return three_party_service(a, b, y, true);
}

int CallCtrl_Process_Qiangchai(const SoftUser& calling, const SoftUser& called)
{
    Write_Log("CallCtrl_Process_Qiangchai begin\n");
    int a = -1, b = -1, y = -1;
    if (int r = talk_of(calling, called, a, b, y); r < 0) return r;
    CallCtrl_Link_Chn(a, b);   // y's link to b goes with it
    copy_media(b, a);
    CallCtrl_SendAnc(a);
    copy_media(a, b);
    CallCtrl_Send_Modify_Media(b);
    CallCtrl_SendHangoff(y, 0);
    return 1;
}

int CallCtrl_Process_Daida(int caller, int ringing, int picker)
{
    Write_Log("CallCtrl_Process_Daida:daida begin\n");
    if (!in_range(caller) || !in_range(ringing) || !in_range(picker)) return -1;
    CallCtrl_SendHangoff(ringing, 0);
    CallCtrl_Link_Chn(caller, picker);
    if (int r = CallCtrl_Recv_Anc(caller); r < 0) Write_Logf("recv calling anc return %d\n", r);
    if (int r = CallCtrl_Recv_Anc(picker); r < 0) Write_Logf("recv call anc return %d\n", r);
    Write_Log("22222daida end\n");
    return 1;
}

int CallCtrl_Info_Service(int chn, int code, const SoftUser& user)
{
    const CallChn& b = call_chns[chn];
    const bool transfer = code == 0 && sipreg[kRegService].use == 1 && user.zhuanjie == 1 && b.cld == 1;
    const bool conference = code == 1 && sipreg[kRegConference].use == 1 && user.meet == 1 && b.cld == 0;
    if (!transfer && !conference) return 0;
    const int a = b.con_chn;
    if (!in_range(a)) return -4;
    SoftUser* peer = nullptr;
    if (int r = CallCtrl_Get_Soft_User(a, peer); r < 0) {
        Write_Logf("CallCtrl_Get_Soft_User p_calling_soft_user return %d\n", r);
        return -5;
    }
    if (peer->tel_type != TEL_TYPE_SIP && peer->tel_type != TEL_TYPE_MGCP && peer->tel_type != TEL_TYPE_GATEWAY)
        return 0;
    // Only a talk both parties are in can be handed over.
    if (!connected(chn) || !connected(a) || call_chns[a].con_chn != chn) return 0;
    ServiceLegs legs;
    if (legs.open(a, CHN_ST_TALK, code) < 0) return -7;
    if (legs.open(chn, CHN_ST_TALK, code) < 0) {
        legs.undo();
        return -8;
    }
    if (int r = Sip_Service_MakeCall(legs.leg(0), legs.leg(1), code); r < 0) {
        Write_Logf("Sip_Service_MakeCall return %d\n", r);
        legs.undo();
        return -10;
    }
    return 2;
}

int CallCtrl_Recv_Refer_Online(int t1, int t2)
{
    if (!in_range(t1)) return -1;
    if (!in_range(t2)) return -2;
    if (!connected(t1)) return -3;
    const int x = call_chns[t1].con_chn;
    if (!taken(x)) return -5;
    SoftUser* user = nullptr;
    if (int r = CallCtrl_Get_Soft_User(t1, user); r < 0) {
        Write_Logf("CallCtrl_Get_Soft_User p_soft_user return %d\n", r);
        return -6;
    }
    if (user->zhuanjie != 1) {
        Write_Log("error:不允许呼叫转移,没有在数据库中设置zhuanjie的值\n");
        return -7;
    }
    // Replaces may name any dialog: only another call of the referring user is handed over.
    if (t2 == t1 || !owned_by(t2, *user)) return -12;
    const int z = call_chns[t2].con_chn;
    if (!taken(z) || call_chns[z].con_chn != t2) return -5;
    Write_Logf("********c status %d\n", call_chns[z].st);
    const auto release_referrer = [&] {
        call_chns[t1].con_chn = -1;
        call_chns[t2].con_chn = -1;
        CallCtrl_SendHangoff(t1, 0);
        CallCtrl_SendHangoff(t2, 0);
    };
    const int zst = call_chns[z].st;
    if (zst == CHN_ST_TALK) {
        release_referrer();
        Write_Log("-----c is talking\n");
        CallCtrl_Link_Chn(x, z);
        copy_media(z, x);
        copy_media(x, z);
        CallCtrl_Send_Modify_Media(x);
        CallCtrl_Send_Modify_Media(z);
    } else if (zst == CHN_ST_RINGING || zst == CHN_ST_CALLED) {
        Write_Log("-----c is ringing\n");
        if (sipreg[kRegService].use != 1) {
            Write_Log("error:业务tolvarine没有连接\n");
            return -8;
        }
        ServiceLegs legs;
        if (legs.open(x, CHN_ST_TALK, 2) < 0) return -9;
        if (legs.open(z, CHN_ST_ALERTED, 2) < 0) {
            legs.undo();
            return -10;
        }
        if (int r = Sip_Transfer_MakeCall(legs.leg(0), legs.leg(1)); r < 0) {
            Write_Logf("Sip_Transfer_MakeCall return %d\n", r);
            legs.undo();
            return -11;
        }
        release_referrer();
    }
    return 1;
}

int CallCtrl_Recv_Refer_Free(int t, const char* number)
{
    if (!in_range(t)) return -1;
    if (!connected(t)) {
        Write_Log("error:CallCtrl_Recv_Refer_Free status error\n");
        return -2;
    }
    const int x = call_chns[t].con_chn;
    if (!taken(x) || call_chns[x].con_chn != t) return -3;
    SoftUser* user = nullptr;
    if (CallCtrl_Get_Soft_User(t, user) < 0) return -5;
    if (user->zhuanjie != 1) {
        Write_Log("error:不允许呼叫转移,没有在数据库中设置zhuanjie的值\n");
        return -4;
    }
    // Without the service program the partner could reach nobody: the call stays as it is.
    if (Check_Service_Conn() < 0) return -6;
    const Text<50> dialled = call_chns[x].called;
    copy_text(call_chns[x].called, number ? number : "");
    ServiceLegs legs;
    if (legs.open(x, CHN_ST_ALERTED, 2) < 0) {
        call_chns[x].called = dialled;
        return -7;
    }
    if (int r = Sip_Freetransfer_MakeCall(legs.leg(0)); r < 0) {
        Write_Logf("Sip_Freetransfer_MakeCall return %d\n", r);
        legs.undo();
        call_chns[x].called = dialled;
        return -8;
    }
    // The referrer is released only once the datagram is out: a transfer that cannot be sent
    // leaves the call as it was instead of a partner talking to nobody.
    call_chns[t].con_chn = -1;
    CallCtrl_SendHangoff(t, 0);
    return 1;
}

int CallCtrl_Recv_Redirect(int chn, const char* number)
{
    if (!in_range(chn) || !taken(chn)) return -1;
    CallChn& b = call_chns[chn];
    if (b.st != CHN_ST_RINGING && b.st != CHN_ST_CALLED) {
        Write_Logf("error:2status error called st=%d\n", b.st);
        return -2;
    }
    const int a = b.con_chn;
    if (!taken(a) || call_chns[a].con_chn != chn) return -3;
    SoftUser* user = nullptr;
    if (CallCtrl_Get_Soft_User(chn, user) < 0) return -5;
    if (user->zhuanjie != 1) {
        Write_Log("error:不允许呼叫转移,没有在数据库中设置该字段的值\n");
        return -4;
    }
    CallCtrl_Unlink_Chn(chn);
    CallCtrl_SendHangoff(chn, 0);
    CallChn& caller = call_chns[a];
    caller.st = CHN_ST_CALLING;
    copy_text(caller.called, number ? number : "");
    CallCtrl_Process_Call(a, CALL_MODE_NORMAL);
    return 1;
}

int CallCtrl_Set_Switch(int k1, int k2)
{
    if (in_range(k1))
        Write_Logf("-------chn=%d use=%d st=%d\n", k1, call_chns[k1].use, call_chns[k1].st);
    // A check that fails releases the other console call.
    const auto refuse = [](int other, int result) {
        if (in_range(other)) CallCtrl_Recv_Hangoff(other, 0);
        return result;
    };
    if (!in_range(k1)) return refuse(k2, -1);
    if (!connected(k1)) return refuse(k2, -2);
    if (!in_range(k2)) return refuse(k1, -3);
    if (!connected(k2)) return refuse(k1, -4);
    const int f1 = call_chns[k1].con_chn, f2 = call_chns[k2].con_chn;
    // The console's legs are freed by the SIP side, without signalling.
    CallCtrl_Chn_Reset(k1);
    CallCtrl_Chn_Reset(k2);
    if (!in_range(f1)) return refuse(f2, -5);
    if (!connected(f1)) return refuse(f2, -6);
    if (!in_range(f2)) return refuse(f1, -7);
    if (!connected(f2)) return refuse(f1, -8);
    CallCtrl_Link_Chn(f1, f2);
    Write_Logf("ctrl_chn1=%d ctrl_chn2=%d con_ctrl2=%d %d ", k1, k2, f1, f2);
    return 1;
}
