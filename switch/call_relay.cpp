#include "call_relay.h"

#include <string_view>

#include "call_chn.h"
#include "call_route.h"
#include "call_services.h"
#include "link_fee.h"
#include "link_record.h"
#include "link_relay.h"
#include "mgcp_endpoint.h"
#include "settings.h"
#include "sip_invite.h"
#include "sip_legs.h"
#include "sip_reg.h"
#include "swlog.h"

namespace {

bool in_range(int chn) { return chn >= 0 && chn < kMaxCallChns; }
bool taken(int chn) { return call_chns[chn].use == 1; }

// 0 when chn is a taken channel, else -1 (out of range) or -2 (not taken).
int check_chn(int chn)
{
    if (!in_range(chn)) return -1;
    return taken(chn) ? 0 : -2;
}

// The far-end media of from's party becomes what to's party is offered.
void copy_media(int from, int to)
{
    Text<16> ip;
    int port = 0, codec = 0;
    if (CallCtrl_Get_Media(from, ip, port, codec) > 0) CallCtrl_Set_Media(to, ip.s, port, codec);
}


}  // namespace

int CallCtrl_Recv_Ring(int chn)
{
    if (int r = check_chn(chn); r < 0) return r;
    CallChn& b = call_chns[chn];
    if (b.st != CHN_ST_CALLED) return -3;
    const int a = b.con_chn;
    if (!in_range(a)) return -4;
    copy_media(chn, a);
    b.st = CHN_ST_RINGING;
    const int r = CallCtrl_SendRing(a);
    if (r < 0) {
        Write_Logf("CallCtrl_SendRing return  %d\n", r);
        return -4;
    }
    return 1;
}

int CallCtrl_SendRing(int chn)
{
    if (int r = check_chn(chn); r < 0) return r;
    CallChn& a = call_chns[chn];
    if (a.st != CHN_ST_CALLING) {
        Write_Logf("CallCtrl_SendRing chn=%d st=%d\n", chn, a.st);
        return -3;
    }
    a.st = CHN_ST_ALERTED;
    if (a.type == CHN_TYPE_MGCP) {
        const int r = Mgcp_SendRing(a.party_chn);
        if (r < 0) {
            Write_Logf("Mgcp_SendRing return  %d\n", r);
            return -4;
        }
        return 1;
    }
    const int r = Sip_SendRing(a.party_chn);
    if (r < 0) {
        Write_Logf("Sip_SendRing return  %d\n", r);
        return -5;
    }
    return 1;
}

int CallCtrl_Recv_Anc(int chn)
{
    if (int r = check_chn(chn); r < 0) return r;
    CallChn& b = call_chns[chn];
    if (b.st < CHN_ST_CALLED || b.st > CHN_ST_TALK) return -3;
    const int a_chn = b.con_chn;
    if (!in_range(a_chn)) return -4;
    CallChn& a = call_chns[a_chn];
    b.pend = 0;
    b.st = CHN_ST_TALK;
    copy_media(chn, a_chn);
    a.video_line.clear();
    if (!b.video_line.empty()) a.video_line = b.video_line;
    const int r = CallCtrl_SendAnc(a_chn);
    if (r < 0) {
        Write_Logf("CallCtrl_SendAnc return  %d\n", r);
        return -4;
    }
    // Billing starts with the answer when routing armed it; the gateway flag comes from
    // whichever party is a gateway, and a calling trunk is not billed.
    if (a.fee_st == FEE_ST_ARMED) {
        a.fee_st = FEE_ST_STARTED;
        SoftUser* called = nullptr;
        SoftUser* calling = nullptr;
        if (int u = CallCtrl_Get_Soft_User(chn, called); u < 0) {
            Write_Logf("CallCtrl_Recv_Anc CallCtrl_Get_Soft_User return  %d\n", u);
            return -5;
        }
        if (int u = CallCtrl_Get_Soft_User(a_chn, calling); u < 0) {
            Write_Logf("CallCtrl_Recv_Anc CallCtrl_Get_Soft_User return  %d\n", u);
            return -6;
        }
        if (calling->tel_type == TEL_TYPE_GATEWAY) Send_FeeStart(a_chn, 1, 0);
        else if (called->tel_type == TEL_TYPE_GATEWAY) Send_FeeStart(a_chn, 1, 1);
        else if (calling->tel_type != TEL_TYPE_TRUNK) Send_FeeStart(a_chn, 0, 0);
    }
    return 1;
}

int CallCtrl_SendAnc(int chn)
{
    if (int r = check_chn(chn); r < 0) return r;
    CallChn& a = call_chns[chn];
    if (a.st != CHN_ST_CALLING && a.st != CHN_ST_ALERTED && a.st != CHN_ST_TALK) return -3;
    const int leg = CallCtrl_Sip_Leg(chn);
    if (a.type == CHN_TYPE_SIP && leg < 0) return -1;
    a.pend = 0;
    a.st = CHN_ST_TALK;
    if (a.type == CHN_TYPE_MGCP) {
        const int r = Mgcp_SendAnc(a.party_chn);
        if (r < 0) {
            Write_Logf("Mgcp_SendAnc return  %d\n", r);
            return -4;
        }
        return 1;
    }
    Sip_Chn_Set_Video(leg, a.video_line);
    const int r = Sip_SendAnc(leg);
    if (r < 0) {
        Write_Logf("Sip_SendAnc return  %d\n", r);
        return -5;
    }
    return 1;
}

int CallCtrl_Recv_Hangoff(int chn, int cause)
{
    if (int r = check_chn(chn); r < 0) return r;
    if (call_chns[chn].st == CHN_ST_IDLE) return -3;
    const int r = CallCtrl_SendHangoff(call_chns[chn].con_chn, cause);   // no peer: -1, and logged
    CallCtrl_Chn_Reset(chn);
    if (r < 0) {
        Write_Logf("CallCtrl_SendHangoff in recv hangoff return %d\n", r);
        return -4;
    }
    return 1;
}

int CallCtrl_SendHangoff(int chn, int cause)
{
    if (int r = check_chn(chn); r < 0) return r;
    if (call_chns[chn].st == CHN_ST_IDLE) return -3;
    const int leg = CallCtrl_Sip_Leg(chn);
    if (leg >= 0) Sip_SendHangoff(leg, cause);
    if (call_chns[chn].type == CHN_TYPE_MGCP) Mgcp_SendHangoff(call_chns[chn].party_chn);
    const CallChn& b = call_chns[chn];
    if (b.recorded == 1) Record_Hangup(chn);
    else if (soft_inet_enable == 1 && g_rtpswitch_fd >= 0 && !b.rtpswitch_id.empty())
        Send_HanoffToRtpswitch(b.rtpswitch_id.s);
    CallCtrl_Chn_Reset(chn);
    return 1;
}

int CallCtrl_Recv_Modify_Media(int chn)
{
    if (check_chn(chn) < 0) return 1;
    const int peer = call_chns[chn].con_chn;
    if (!in_range(peer)) return 1;
    copy_media(chn, peer);
    CallCtrl_Send_Modify_Media(peer);
    return 1;
}

int CallCtrl_Send_Modify_Media(int chn)
{
    if (int r = check_chn(chn); r < 0) return r;
    if (call_chns[chn].type == CHN_TYPE_MGCP) {
        // A hold or a forced release must reach the gateway too, or its endpoint keeps sending
        // to where the media no longer is.
        Mgcp_Send_Modify_Media(call_chns[chn].party_chn);
        return 1;
    }
    const int r = Send_Re_Invite(CallCtrl_Sip_Leg(chn));
    if (r < 0) {
        Write_Logf("CallCtrl_Send_Modify_Media Send_Re_Invite return  %d\n", r);
        return -5;
    }
    return 1;
}

int CallCtrl_Collect_Info_Digits(int chn, const char* text)
{
    if (!in_range(chn) || text == nullptr) return -1;
    CallChn& c = call_chns[chn];
    const char digit = text[0];
    if (c.info_len == 0) {
        if (digit == '*') {
            copy_text(c.info_buf, "*");
            c.info_len = 1;
        }
        return -1;
    }
    if (c.info_len >= 4) {
        int code = -1;
        if (digit == '*' && c.info_buf.view() == "*100") {
            Write_Log("*100*转接成功\n");
            code = 0;
        } else if (digit == '*' && c.info_buf.view() == "*200") {
            Write_Log("*200*会议成功\n");
            code = 1;
        }
        c.info_buf.clear();
        c.info_len = 0;
        return code;
    }
    if (digit == '*') {
        copy_text(c.info_buf, "*");   // a star inside a code starts it again
        c.info_len = 1;
        return -1;
    }
    const char piece[2] = {digit, '\0'};
    Composer::extend(c.info_buf).raw(piece);
    ++c.info_len;
    return -1;
}

int CallCtrl_Recv_Info(int chn, const char* text)
{
    if (!in_range(chn)) return -2;
    if (!taken(chn)) return -3;
    CallChn& b = call_chns[chn];
    SoftUser* user = nullptr;
    if (int r = CallCtrl_Get_Soft_User(chn, user); r < 0) {
        Write_Logf("CallCtrl_Get_Soft_User p_soft_user return %d\n", r);
        return -9;
    }
    const int type = CallCtrl_Collect_Info_Digits(chn, text);
    Write_Logf(" type=%d info_buf=%s\n", type, b.info_buf.s);
    if (type == 0 || type == 1) {
        const int r = CallCtrl_Info_Service(chn, type, *user);
        if (r != 0) return r;
    }
    Write_Logf("qiangcha_conn=%d meet_conn=%d info_type=%d zhuanjie=%d meet=%d cld=%d\n", sipreg[kRegService].use,
               sipreg[kRegConference].use, type, user->zhuanjie, user->meet, b.cld);
    const int peer = b.con_chn;
    if (!in_range(peer)) return -4;
    const int leg = CallCtrl_Sip_Leg(peer);
    if (leg >= 0) Send_Info(leg, text);
    return 1;
}

int CallCtrl_Check_Pend_Time()
{
    for (int chn = 0; chn < kMaxCallChns; ++chn) {
        CallChn& b = call_chns[chn];
        if (!taken(chn) || b.cld == 0 || b.pend == 0) continue;
        ++b.pend_time;
        Write_Logf("call_chn[%d].pend_time = [%d]\n", chn, b.pend_time);
        if (b.pend_time <= callctrl_pendtime) continue;
        const int a = b.con_chn;
        Write_Logf("pend call_chns[%d].pend_time time = [%d] is over and con_chn = [%d]\n", chn, callctrl_pendtime, a);
        SoftUser* user = nullptr;
        if (CallCtrl_Get_Soft_User(chn, user) < 0) {
            Write_Log("CallCtrl_Get_Soft_User <0\n");
            Write_Log("...11 \n");
            // Its caller is released too: left without a called party it would wait for ever.
            if (in_range(a) && taken(a)) CallCtrl_SendHangoff(a, 0);
            CallCtrl_SendHangoff(chn, 0);
            return -1;
        }
        if (in_range(a) && taken(a)) {
            CallChn& caller = call_chns[a];
            if (!user->no_answer_callswitch_tel.empty()) {
                Write_Logf("久呼不应呼叫转移的号码=%s\n", user->no_answer_callswitch_tel.s);
                CallCtrl_Unlink_Chn(chn);
                caller.st = CHN_ST_CALLING;
                copy_text(caller.called, user->no_answer_callswitch_tel.view());
                CallCtrl_Process_Call(a, CALL_MODE_NORMAL);
            } else {
                Write_Logf("进入语音信箱 被叫voice_mail=%d\n", user->voice_mail);
                if (user->voice_mail == 1) {
                    CallCtrl_Unlink_Chn(chn);
                    caller.st = CHN_ST_CALLING;
                    caller.to_voice_mail = 1;
                    CallCtrl_Prefix_Tel(caller.called, soft_voice_mail_tel.view());
                    Write_Logf("被叫久呼不应 转到语音信箱的号码=%s\n", caller.called.s);
                    CallCtrl_Process_Call(a, CALL_MODE_NORMAL);
                } else {
                    CallCtrl_SendHangoff(a, 0);
                }
            }
        }
        CallCtrl_SendHangoff(chn, 0);
    }
    return 1;
}
