#include "call_services.h"

#include <string_view>

#include "frame.h"
#include "link_record.h"
#include "link_relay.h"
#include "settings.h"
#include "sip_legs.h"
#include "sip_reg.h"
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
