#include "call_route.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "call_relay.h"
#include "call_services.h"
#include "composer.h"
#include "link_fee.h"
#include "mgcp_endpoint.h"
#include "settings.h"
#include "sip_legs.h"
#include "sip_reg.h"
#include "sip_service.h"
#include "sip_text.h"
#include "sqlite.h"
#include "swlog.h"

namespace {

// Every rewrite that routes again is limited (one forward, one group prefix, one announcement),
// but tables can still make the lookups cycle: a default-route number that a gateway and a
// peer softswitch both match is found by no registration lookup and would be put before the
// called number again and again. A call that has not settled after this many lookups has no
// route.
constexpr int kMaxRouteLookups = 16;

// SIP Priority of the calling channel that asks for a forced release, and for listen-in.
constexpr int kPriorityEmergency = 3;
constexpr int kPriorityListenUrgent = 4;

// Where the lookup loop goes on: routed again with the called number as it is now.
constexpr int kRouteAgain = 0;

bool in_range(int chn) { return chn >= 0 && chn < kMaxCallChns; }

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The caller is released (cause 0: its SIP side answers 488) and the result handed on.
int release(int chn, int result)
{
    CallCtrl_SendHangoff(chn, 0);
    return result;
}

int no_route(int chn)
{
    Write_Logf("error无法找到被叫tel=%s\n", call_chns[chn].called.s);
    return release(chn, -7);
}

// The called number without the first n characters.
void drop_front(Text<50>& number, std::size_t n)
{
    Text<50> rest;
    copy_text(rest, number.view().substr(std::min(n, number.view().size())));
    number = rest;
}

// Runs a SELECT whose one parameter is a quoted literal; null when it cannot be built or run.
Dataset open_query(const char* format, std::string_view a, std::string_view b = {})
{
    char qa[128], qb[128], sql[400];
    if (Query_Quote(qa, sizeof qa, a) < 0 || Query_Quote(qb, sizeof qb, b) < 0) return nullptr;
    if (std::snprintf(sql, sizeof sql, format, qa, qb) >= static_cast<int>(sizeof sql)) return nullptr;
    return Query_Open(g_db, sql);
}

// What the per-call decision for a called user V means for the lookup loop: kRouteAgain,
// kCallTheUser, or the final result of routing (the caller released where it is refused).
constexpr int kCallTheUser = 100;
int apply_application(int chn, SoftUser& calling, const SoftUser& called, int mode)
{
    const int app = CallCtrl_Call_Application(chn, calling, called, mode);
    if (app < 0) return CallCtrl_Set_Announce_Tel(chn, app) < 0 ? release(chn, -3) : kRouteAgain;
    if (app == 1) return kRouteAgain;
    if (app == 2) return 2;
    if (app == 3) return release(chn, 3);
    return kCallTheUser;
}

// Call channel q becomes the called party of the calling channel chn, of the given type, with its
// numbers; the two are linked.
CallChn& open_called_chn(int chn, int q, int type)
{
    const CallChn& p = call_chns[chn];
    CallChn& c = call_chns[q];
    c = CallChn{};
    c.use = 1;
    c.st = CHN_ST_CALLED;
    c.cld = 1;
    c.type = type;
    c.calling = p.calling;
    c.called = p.called;
    CallCtrl_Link_Chn(chn, q);
    return c;
}

// The called SIP party at registration regno: its channel linked to the caller's, a leg filled
// for it, and its INVITE sent.
int call_sip_party(int chn, SoftUser& calling, int regno)
{
    SipReg& reg = sipreg[regno];
    SoftUser& called = reg.soft_user;
    CallChn& p = call_chns[chn];
    const int q = CallCtrl_Find_Free_Chn();
    if (q < 0) {
        Write_Log("error:no free call_chns\n");
        return release(chn, -3);
    }
    if (called.tel_type == TEL_TYPE_SIP) called.call_chn = q;
    // A gateway or peer that does not want its own prefix gets the number without it.
    if ((called.tel_type == TEL_TYPE_GATEWAY || called.tel_type == TEL_TYPE_TRUNK) && reg.station_send == 0)
        drop_front(p.called, reg.tel.view().size());
    CallCtrl_Called_Gw_Number_Rule(chn, calling, called);
    if (sip_fee_enable == 1 && p.fee_st != FEE_ST_NEVER) p.fee_st = FEE_ST_ARMED;

    CallChn& c = open_called_chn(chn, q, CHN_TYPE_SIP);
    c.record_srv = p.record_srv;
    c.recorded = p.recorded;
    c.video_line = p.video_line;

    const int leg = Sip_Chn_Open_Called(q, regno);
    if (leg < 0) {
        Write_Log("error:no free sip_chn\n");
        CallCtrl_SendHangoff(chn, 0);
        CallCtrl_SendHangoff(q, 0);
        return -5;
    }
    // The called party is offered the caller's media.
    Text<16> offer_ip;
    int offer_port = 0, offer_codec = 0;
    CallCtrl_Get_Media(chn, offer_ip, offer_port, offer_codec);
    Sip_Chn_Set_Offer(leg, offer_ip.s, offer_port, offer_codec);
    c.party_chn = leg;
    c.pend = 1;

    const int r = Sip_Makecall(leg);
    Write_Logf("Sip_Makecall return  %d chn[%d] con_chn[%d]  rechn[%d] con_reg_chn[%d]\n", r, chn, q, leg, regno);
    if (r > 0) return 2;
    CallCtrl_SendHangoff(chn, 0);
    CallCtrl_SendHangoff(q, 0);
    return -5;
}

// The called MGCP endpoint e: its channel linked to the caller's, offered the caller's media,
// and rung. An endpoint already in a call is busy: the caller is released as by a busy party,
// and the call the endpoint is in keeps it.
int call_mgcp_party(int chn, int e)
{
    MgcpEndpoint& ep = g_mgcp_endpoint[e];
    CallChn& p = call_chns[chn];
    if (ep.st != MGCP_ST_IDLE) {
        Write_Logf("mgcp called regno=%d tel=%s st=%d is busy\n", e, ep.tel.s, ep.st);
        CallCtrl_SendHangoff(chn, 1);
        return 3;
    }
    const int q = CallCtrl_Find_Free_Chn();
    if (q < 0) {
        Write_Log("error:no free call_chns\n");
        return release(chn, -3);
    }
    ep.user.call_chn = q;
    if (sip_fee_enable == 1 && p.fee_st != FEE_ST_NEVER) p.fee_st = FEE_ST_ARMED;

    CallChn& c = open_called_chn(chn, q, CHN_TYPE_MGCP);
    c.party_chn = e;
    c.pend = 1;
    Mgcp_Chn_Open_Called(e, q);
    // The endpoint is offered the caller's media.
    Text<16> offer_ip;
    int offer_port = 0, offer_codec = 0;
    if (CallCtrl_Get_Media(chn, offer_ip, offer_port, offer_codec) > 0)
        CallCtrl_Set_Media(q, offer_ip.s, offer_port, offer_codec);

    const int r = Mgcp_Makecall(e);
    Write_Logf("Mgcp_Makecall return  %d\n", r);
    if (r > 0) return 1;
    CallCtrl_SendHangoff(chn, 0);
    CallCtrl_SendHangoff(q, 0);
    return -5;
}

// No registration serves the called number: the offline forward or voice mail of table
// softswitch, the main switch's offline gateway, an announcement for a known user, the group
// prefix, or the default route. kRouteAgain, or the final result with the caller released.
int route_offline(int chn, SoftUser& calling)
{
    CallChn& p = call_chns[chn];
    Text<50> forward;
    int rows = 0, voice_mail = 0;
    const int offline = CallCtrl_Get_Offline_Tel(p.called.s, forward, rows, voice_mail);
    Write_Logf("需要使用主和备软交换=%d 离线路由=%s tmp=%d(tmp!=-1数据库中存在) 从主软交换过来=%d\n", soft_mainbak_enable,
               offline_gateway.s, offline, p.from_switch);

    if (soft_mainbak_enable == 1 && !offline_gateway.empty() && offline != -1 && p.from_switch != 1) {
        CallCtrl_Prefix_Tel(p.called, offline_gateway.view());
        Write_Logf("使用离线路由后 called=%s\n", p.called.s);
        return kRouteAgain;
    }
    if (offline == 1 && calling.forward_count < 1 && calling.tel.view() != forward.view()) {
        Write_Logf("sip called=%s  offline_switch tel=%s\n", p.called.s, forward.s);
        p.called = forward;
        ++calling.forward_count;
        return kRouteAgain;
    }
    if (offline == -2 && voice_mail == 1 && calling.forward_count < 1) {
        CallCtrl_Prefix_Tel(p.called, soft_voice_mail_tel.view());
        Write_Logf("被叫离线 转到语音信箱的号码=%s\n", p.called.s);
        p.to_voice_mail = 1;
        ++calling.forward_count;
        return kRouteAgain;
    }
    if (rows >= 1 && CallCtrl_Set_Announce_Tel(chn, ANNOUNCE_OFFLINE) == 1) {
        Write_Log("找到离线用户\n");
        return kRouteAgain;
    }

    const bool grouped = calling.group != 0 && !calling.group_prefix.empty();
    if (grouped && p.short_st == 0) {
        CallCtrl_Prefix_Tel(p.called, calling.group_prefix.view());
        p.short_st = 1;
        Write_Logf("########缩位拨号 短号变成长号=%s\n", p.called.s);
        return kRouteAgain;
    }
    if (grouped && p.short_st == 1 && starts_with(p.called.view(), calling.group_prefix.view())) {
        drop_front(p.called, calling.group_prefix.view().size());
        p.short_st = 2;
        Write_Logf("########缩位拨号 长号变成短号=%s\n", p.called.s);
    }

    if (soft_default_route_enable != 1 || soft_default_route_tel.empty() ||
        CallCtrl_Find_Default_Route(soft_default_route_tel.s) < 0)
        return no_route(chn);
    CallCtrl_Prefix_Tel(p.called, soft_default_route_tel.view());
    Write_Logf("使用默认路由后 called=%s\n", p.called.s);
    if (!calling.forbid_tel.empty()) {
        Write_Logf("222开始比较主叫呼出限制号码,限制号码=%s 被叫号码=%s\n", calling.forbid_tel.s, p.called.s);
        if (CallCtrl_Get_Restrict_Callout(calling.forbid_tel.s, p.called.s) == 1) {
            Write_Logf("主叫被呼出限制,不允许呼叫 %s\n", p.called.s);
            if (CallCtrl_Set_Announce_Tel(chn, ANNOUNCE_FORBIDDEN) < 0) return release(chn, -5);
        }
    }
    return kRouteAgain;
}

}  // namespace

void CallCtrl_Prefix_Tel(Text<50>& number, std::string_view prefix, std::size_t prefix_max, std::size_t number_max)
{
    Text<50> joined;
    copy_text(joined, prefix.substr(0, std::min(prefix_max, prefix.size())));
    const std::size_t room = joined.capacity - 1 - joined.view().size();
    Composer::extend(joined).raw(number.view().substr(0, std::min(room, number_max)));
    number = joined;
}

int CallCtrl_Recv_Newcall(int chn)
{
    if (!in_range(chn)) return -1;
    CallChn& p = call_chns[chn];
    if (p.use != 1) return -2;
    p.cld = 0;
    p.st = CHN_ST_CALLING;

    SoftUser* user = nullptr;
    if (CallCtrl_Get_Soft_User(chn, user) < 0) {
        Write_Log("CallCtrl_Recv_Newcall : Call 'CallCtrl_Get_Soft_User' function may wrong \n");
        return release(chn, -3);
    }
    SoftUser& u = *user;
    u.call_chn = chn;
    u.forward_count = 0;
    if (u.tel_type == TEL_TYPE_GATEWAY) u.level = p.priority == 2 ? 10 : 0;   // urgent calls of a gateway

    if ((u.tel_type == TEL_TYPE_SIP || u.tel_type == TEL_TYPE_MGCP) && p.called.view().size() < 3) {
        Text<50> full;
        if (Find_ShortTel_In_Db(p.calling.s, p.called.s, full) == 1) {
            Write_Logf("Find_ShortTel_In_Db : 主叫=%s 被叫=%s 缩位号码=%s\n", p.calling.s, p.called.s, full.s);
            p.called = full;
        }
    }
    if (u.restrict_call_out == 1) {
        Write_Log(" CallCtrl_Recv_Newcall: The Calling Tel Is restrict To Call Out\n");
        if (CallCtrl_Set_Announce_Tel(chn, ANNOUNCE_NO_CALL_OUT) < 0) return release(chn, -4);
    }
    if (!u.forbid_tel.empty()) {
        Write_Logf("Begin Compare The Forbidden Tel Num Of Calling ,Forbidden Tel Num = [%s] And Called Tel = [%s]\n",
                   u.forbid_tel.s, p.called.s);
        const int r = CallCtrl_Get_Restrict_Callout(u.forbid_tel.s, p.called.s);
        if (r == 1) {
            Write_Logf("Calling Tel is Forbidden to Call Out = [%s]\n", p.called.s);
            if (CallCtrl_Set_Announce_Tel(chn, ANNOUNCE_FORBIDDEN) < 0) return release(chn, -5);
        } else {
            Write_Logf("CallCtrl_Get_Restrict_Callout return %d\n", r);
        }
    }
    if (starts_with(p.called.view(), "*11")) {
        drop_front(p.called, 3);
        CallCtrl_Process_Call(chn, CALL_MODE_PICKUP);
    } else {
        CallCtrl_Process_Call(chn, CALL_MODE_NORMAL);
    }
    return 1;
}

int CallCtrl_Process_Call(int chn, int mode)
{
    if (!in_range(chn)) return -1;
    CallChn& p = call_chns[chn];
    if (p.use != 1) return -2;
    SoftUser* user = nullptr;
    if (int r = CallCtrl_Get_Soft_User(chn, user); r < 0) {
        CallCtrl_SendHangoff(chn, 0);
        Write_Logf("CallCtrl_Process_Call CallCtrl_Get_Soft_User return %d\n", r);
        return -3;
    }
    SoftUser& u = *user;
    CallCtrl_Calling_Number_Rule(chn, u);

    for (int lookup = 0; lookup < kMaxRouteLookups; ++lookup) {
        // Nothing is reached by an empty number ("*11" alone, or a prefix the tables took off).
        if (p.called.empty()) return no_route(chn);
        const int regno = Find_Reg_By_Called(p.called.s);
        if (regno >= 0) {
            // Every lookup that finds a registration asks the billing server again.
            if (sip_fee_enable == 1 && sip_fee_check == 1) Send_Fee_Check(chn);
            SoftUser& v = sipreg[regno].soft_user;
            if (v.tel_type != TEL_TYPE_SIP) return call_sip_party(chn, u, regno);
            const int app = apply_application(chn, u, v, mode);
            if (app == kRouteAgain) continue;
            return app == kCallTheUser ? call_sip_party(chn, u, regno) : app;
        }
        const int e = Mgcp_Find_Endpoint_By_Tel(p.called.s);
        if (e >= 0) {
            Write_Logf("mgcp CallCtrl_Recv_Newcall begin...reg=%d called=%s\n", e, p.called.s);
            const int app = apply_application(chn, u, g_mgcp_endpoint[e].user, mode);
            if (app == kRouteAgain) continue;
            return app == kCallTheUser ? call_mgcp_party(chn, e) : app;
        }
        const int r = route_offline(chn, u);
        if (r != kRouteAgain) return r;
    }
    Write_Logf("error:route of called=%s still changing after %d lookups\n", p.called.s, kMaxRouteLookups);
    return no_route(chn);
}

int CallCtrl_Call_Application(int chn, SoftUser& calling, const SoftUser& called, int mode)
{
    CallChn& p = call_chns[chn];
    if (p.short_st == 1 && calling.group != called.group) {
        Write_Log("主叫与被叫不在同一组内,不能使用短号\n");
        return 3;
    }
    if (called.restrict_call_in == 1) {
        Write_Log("The Called Tel Is Forbidden To Disturb\n");
        return ANNOUNCE_NO_DISTURB;
    }
    if (calling.forward_count < 1 && !called.callswitch_tel.empty() && called.callswitch_tel.view() != calling.tel.view()) {
        Write_Logf("The Call Forward Tel Num At Firsthand Is = [%s]\n", called.callswitch_tel.s);
        p.called = called.callswitch_tel;
        ++calling.forward_count;
        return 1;
    }
    if (calling.group != 0 && calling.group == called.group && !calling.group_prefix.empty() &&
        starts_with(p.calling.view(), calling.group_prefix.view()))
        drop_front(p.calling, calling.group_prefix.view().size());
    if (called.status != SOFT_ST_FREE && called.status != SOFT_ST_AWAY) {
        if (called.busy_callswitch_tel.empty()) {
            if (called.voice_mail == 1 && calling.forward_count < 1) {
                CallCtrl_Prefix_Tel(p.called, soft_voice_mail_tel.view());
                ++calling.forward_count;
                p.to_voice_mail = 1;
                return 1;
            }
        } else if (calling.forward_count < 1 && called.busy_callswitch_tel.view() != calling.tel.view()) {
            Write_Logf("The Called Tel Is Busy Now , and Forward Tel Is = [%s]\n", called.busy_callswitch_tel.s);
            p.called = called.busy_callswitch_tel;
            ++calling.forward_count;
            return 1;
        }
    }
    // A call that can be recorded: to a free user, or to a talking one that no service may
    // break in on.
    if (called.status == SOFT_ST_FREE ||
        (called.status == SOFT_ST_TALK && soft_listen_enable != 1 && soft_qiangcha_enable != 1))
        CallCtrl_Record_Check(calling, called, chn);
    if (called.status == SOFT_ST_BUSY && mode == CALL_MODE_PICKUP) {
        Write_Logf("calling daida=%d calling.group=%d called.group=%d\n", calling.daida, calling.group, called.group);
        if (calling.daida != 1 || calling.group == 0 || calling.group != called.group) return 3;
        // Only a call that rings at the called user now is picked up: its user record may
        // still name a channel since taken by another call.
        const int ringing = called.call_chn;
        if (!in_range(ringing)) return -1;
        const CallChn& r = call_chns[ringing];
        SoftUser* party = nullptr;
        if (r.use != 1 || (r.st != CHN_ST_CALLED && r.st != CHN_ST_RINGING) ||
            CallCtrl_Get_Soft_User(ringing, party) < 0 || party != &called)
            return -1;
        const int caller = r.con_chn;
        if (!in_range(caller) || call_chns[caller].use != 1 || call_chns[caller].con_chn != ringing) return -1;
        CallCtrl_Process_Daida(caller, ringing, chn);
        return 2;
    }
    if (called.status != SOFT_ST_TALK || soft_inet_enable != 0) return 0;
    if (p.priority == kPriorityEmergency) return CallCtrl_Process_Qiangchai(calling, called) > 0 ? 2 : 0;
    if (p.priority == kPriorityListenUrgent) {
        std::printf("Call Application : enter into listen\n");
        const int r = CallCtrl_Process_Listen(calling, called);
        std::printf("Call Application : enter into listen: tmp = [%d]\n", r);
        return r > 0 ? 2 : 0;
    }
    std::printf("Call Application : enter into qiangcha\n");
    return CallCtrl_Process_Qiangcha(calling, called) > 0 ? 2 : 0;
}

int CallCtrl_Set_Announce_Tel(int chn, int code)
{
    if (!in_range(chn)) return -1;
    CallChn& p = call_chns[chn];
    if (Check_Service_Conn() < 0) return -2;
    if (p.from_console == 1) return -3;
    p.fee_st = FEE_ST_NEVER;   // an announcement is never billed
    const char* number = nullptr;
    switch (code) {
    case ANNOUNCE_NO_DISTURB: number = "*a101"; break;
    case ANNOUNCE_OFFLINE: number = "*a103"; break;
    case ANNOUNCE_NO_CALL_OUT: number = "*a104"; break;
    case ANNOUNCE_FORBIDDEN: number = "*a105"; break;
    default: return -1;
    }
    copy_text(p.called, number);
    return 1;
}

int CallCtrl_Calling_Number_Rule(int chn, const SoftUser& u)
{
    if (!in_range(chn)) return -1;
    CallChn& p = call_chns[chn];
    if (u.calling_del_len != 0 && p.calling.view().size() > static_cast<std::size_t>(u.calling_del_len)) {
        drop_front(p.calling, static_cast<std::size_t>(u.calling_del_len));
        Write_Logf("删除主叫号码[%d]位,主叫号码[%s]\n", u.calling_del_len, p.calling.s);
    }
    if (!u.calling_prefix.empty()) {
        CallCtrl_Prefix_Tel(p.calling, u.calling_prefix.view(), 24, 25);
        Write_Logf("添加主叫前缀[%s]后,主叫号码[%s]\n", u.calling_prefix.s, p.calling.s);
    }
    if (!u.called_prefix.empty()) {
        CallCtrl_Prefix_Tel(p.called, u.called_prefix.view(), 24, 25);
        Write_Logf("添加被叫前缀[%s]后,被叫号码[%s]\n", u.called_prefix.s, p.called.s);
    }
    if (u.calling_prefix.empty() && u.calling_del_len == 0 && !u.new_calling_tel.empty()) {
        p.calling = u.new_calling_tel;
        Write_Logf("使用新的主叫号码[%s]\n", p.calling.s);
    }
    return 1;
}

void CallCtrl_Called_Gw_Number_Rule(int chn, const SoftUser& u, const SoftUser& g)
{
    if (!in_range(chn)) return;
    CallChn& p = call_chns[chn];
    if (g.calling_prefix.empty()) {
        if (g.calling_del_len != 0 && u.calling_del_len == 0 &&
            p.calling.view().size() > static_cast<std::size_t>(g.calling_del_len)) {
            drop_front(p.calling, static_cast<std::size_t>(g.calling_del_len));
            Write_Logf("被叫是网关,删除主叫号码[%d]位,主叫号码[%s]\n", g.calling_del_len, p.calling.s);
        }
    } else if (u.calling_prefix.empty()) {
        CallCtrl_Prefix_Tel(p.calling, g.calling_prefix.view(), 24, 25);
        Write_Logf("被叫是网关,添加主叫前缀[%s]后,主叫号码[%s]\n", g.calling_prefix.s, p.calling.s);
    }
    if (!g.called_prefix.empty() && u.called_prefix.empty()) {
        CallCtrl_Prefix_Tel(p.called, g.called_prefix.view(), 24, 25);
        Write_Logf("被叫是网关,添加被叫前缀[%s]后,被叫号码[%s]\n", g.called_prefix.s, p.called.s);
    }
    if (g.calling_prefix.empty() && g.calling_del_len == 0 && !g.new_calling_tel.empty() && u.new_calling_tel.empty()) {
        p.calling = g.new_calling_tel;
        Write_Logf("被叫是网关,使用新的主叫号码[%s]\n", p.calling.s);
    }
}

int CallCtrl_Find_Default_Route(const char* number)
{
    const std::string_view wanted = number ? number : "";
    for (int regno = 0; regno < kMaxSipReg; ++regno) {
        const SipReg& r = sipreg[regno];
        const int type = r.soft_user.tel_type;
        if (r.use != 1 || (type != TEL_TYPE_GATEWAY && type != TEL_TYPE_TRUNK)) continue;
        if (!starts_with(wanted, r.tel.view())) continue;
        Write_Logf("默认路由tel=%s的tel_type=%d\n", r.tel.s, type);
        return 1;
    }
    Write_Logf("error:默认路由tel=%s不在线\n", number ? number : "");
    return -1;
}

int CallCtrl_Get_Restrict_Callout(const char* list, const char* number)
{
    if (list == nullptr || list[0] == '\0') return -1;
    if (number == nullptr || number[0] == '\0') return -2;
    std::string_view rest = list;
    for (;;) {
        const std::size_t comma = rest.find(',');
        Text<100> entry;
        copy_text(entry, rest.substr(0, comma));
        Write_Logf("呼出限制号码=%s\n", entry.s);
        if (starts_with(number, entry.view())) return 1;   // an empty entry matches every number
        if (comma == std::string_view::npos || comma + 1 == rest.size()) return -4;
        rest.remove_prefix(comma + 1);
    }
}

int CallCtrl_Get_Offline_Tel(const char* number, Text<50>& forward, int& rows, int& voice_mail)
{
    rows = 0;
    voice_mail = 0;
    Dataset ds = open_query("select * from softswitch where tel = %s", number ? number : "");
    if (ds == nullptr) return -1;
    rows = Query_RecCount(ds);
    if (rows < 1) {
        rows = 0;
        Query_Close(ds);
        return -1;
    }
    const char* tel = Query_Fields(ds, "offline_callswitch_tel", 0);
    const char* mail = Query_Fields(ds, "voice_mail", 0);
    copy_text(forward, tel ? tel : "");
    voice_mail = Sip_Atoi(mail ? mail : "");
    Query_Close(ds);
    return forward.empty() ? -2 : 1;
}

int Find_ShortTel_In_Db(const char* calling, const char* short_tel, Text<50>& full)
{
    Dataset ds = open_query("select * from shortdial where phone_tel=%s and short_tel=%s", calling ? calling : "",
                            short_tel ? short_tel : "");
    if (ds == nullptr) return -1;
    if (Query_RecCount(ds) < 1) {
        Query_Close(ds);
        return -1;
    }
    const char* tel = Query_Fields(ds, "complete_tel", 0);
    copy_text(full, tel ? tel : "");
    Query_Close(ds);
    return 1;
}
