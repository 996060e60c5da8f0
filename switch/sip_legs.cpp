#include "sip_legs.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "call_chn.h"
#include "call_relay.h"
#include "call_route.h"
#include "call_services.h"
#include "composer.h"
#include "link_relay.h"
#include "settings.h"
#include "sip_invite.h"
#include "sip_reg.h"
#include "sip_service.h"
#include "sip_text.h"
#include "sip_transport.h"
#include "swlog.h"

std::array<SipLeg, kMaxSipLegs> sip_chn;

namespace {

// Response codes the switch gives a caller it cannot connect.
constexpr int kBusyHere = 486;
constexpr int kRequestTerminated = 487;
constexpr int kNotAcceptableHere = 488;

// What marks the INVITE of another switch of this kind, and of the operator console.
constexpr std::string_view kSwitchAgent = "User-Agent: kelvanor brennoval";
constexpr std::string_view kConsoleAgent = "User-Agent: kelvanor marsolet";

bool leg_in_range(int leg) { return leg >= 0 && leg < kMaxSipLegs; }
bool leg_in_use(int leg) { return leg_in_range(leg) && sip_chn[leg].use == 1; }
bool chn_in_range(int chn) { return chn >= 0 && chn < kMaxCallChns; }
bool reg_in_range(int regno) { return regno >= 0 && regno < kMaxSipReg; }

// The status of the leg's own SIP user, named by the number the leg knows it by, so a
// registration since taken over by another number is left alone.
void set_user_status(const SipLeg& l, int status)
{
    if (!reg_in_range(l.regno)) return;
    Sip_Set_Softuser_St(l.regno, status, l.dir == 1 ? l.called.s : l.calling.s);
}

// 486 to a caller that was refused as busy, 488 for everything else.
int refusal_code(int cause) { return cause == 1 ? kBusyHere : kNotAcceptableHere; }

// A failed check on a new INVITE: 488 on the leg (it goes out once: freeing the leg empties the
// slot it was armed in), then the leg is freed.
int refuse_invite(int leg, int result, const char* why)
{
    Send_Chn_Response(leg, kNotAcceptableHere);
    Sip_Chn_Reset(leg);
    if (why != nullptr) Write_Log(why);
    return result;
}

// The media of an SDP the leg's party sent.
void take_media(SipLeg& l, const SIP_MSG_T& msg)
{
    l.rtp_port = msg.sdp_port;
    copy_text(l.rtp_ip, msg.sdp_ip.view());
    l.rtp_codec = msg.sdp_codec;
    l.rtp_dir = msg.sdp_dir;
}

// Appends ";tag=" and tag to the stored To line. A line with no room for it is left as it was
// rather than cut: a cut tag would name another dialog.
void add_to_tag(SipLeg& l, std::string_view tag)
{
    Composer t = Composer::extend(l.to_line);
    t.raw(";tag=").raw(tag);
    if (!t.ok()) Write_Logf("error:no room for the To tag of sip_chn[%d]\n", static_cast<int>(&l - sip_chn.data()));
}

// A leg the switch placed takes the far end's tag from the first answer that carries one. A
// service leg is talking before its program answers, so its 200 takes the road of a repeated
// answer: without this its ACK and BYE would name no dialog of the program.
void take_to_tag(SipLeg& l, const SIP_MSG_T& msg)
{
    Text<64> uri;
    Text<kSipLineMax> tag;
    if (l.dir != 1 || Decode_FromTo(l.to_line.view(), uri, tag) < 0 || !tag.empty()) return;
    if (Decode_FromTo(msg.to_line.view(), uri, tag) == 0 && !tag.empty()) add_to_tag(l, tag.view());
}

bool recorded_call(int chn)
{
    const int con = call_chns[chn].con_chn;
    return call_chns[chn].recorded == 1 || (chn_in_range(con) && call_chns[con].recorded == 1);
}

int request_record_switch(int chn) { return CallCtrl_Recv_RecordSwitch(chn, call_chns[chn].record_srv); }

// The media of a call that is not recorded goes through the relay in public-network mode.
void request_relay(int chn)
{
    if (!recorded_call(chn) && soft_inet_enable == 1 && g_rtpswitch_fd >= 0) CallCtrl_Recv_RtpSwitch(chn);
}

// The callee answered an INVITE whose call is gone (its CANCEL crossed the 200) or cannot go
// on: acknowledge the answer and end the dialog with a BYE, so no half-open call is left.
void end_answered_leg(int leg, const SIP_MSG_T& msg)
{
    SipLeg& l = sip_chn[leg];
    copy_text(l.to_line, msg.to_line.view());
    Send_Ack(leg);
    l.st = sip_talk;
    l.pend = 0;
    l.ctrl_chn = -1;
    Sip_SendHangoff(leg, 0);
}

// A final response to an INVITE on an established dialog answers the switch's own re-INVITE.
// Besides a talking leg, that is a caller's leg whose 200 is still waiting for its ACK: the
// switch relays a media change there too, and the party repeats its answer until it is
// acknowledged and then ends the call, so that answer is acknowledged rather than logged as
// out of state. Before its 200 a caller's leg has had no INVITE of the switch to answer.
bool answers_re_invite(const SipLeg& l)
{
    return l.st == sip_talk || (l.dir == 0 && l.st == sip_calling_wait_200ack);
}

// The answer to the switch's BYE or CANCEL frees the leg. The switch sends either only once the
// leg's call is released, so a leg still in a call sent neither: such a response is a stray, and
// freeing the leg would leave its call channel naming a free leg that the next call takes.
void free_released_leg(int leg)
{
    if (!chn_in_range(sip_chn[leg].ctrl_chn)) Sip_Chn_Reset(leg);
}

bool another_free_leg(int taken)
{
    for (int leg = taken + 1; leg < kMaxSipLegs; ++leg)
        if (sip_chn[leg].use == 0) return true;
    return false;
}

// The datagrams of several INVITEs toward the service programs are longer than a leg's own slot
// text; only the leg that holds such a datagram needs room for one, and few do at a time.
constexpr int kServiceSlots = 32;
struct ServiceSlot {
    int leg = -1;
    Text<kServiceDatagramMax> text;
};
std::array<ServiceSlot, kServiceSlots> g_service_slots;

void drop_service_slot(SipLeg& l)
{
    if (l.service_slot < 0) return;
    g_service_slots[static_cast<std::size_t>(l.service_slot)] = ServiceSlot{};
    l.service_slot = -1;
}

// What the leg's armed slot sends.
std::string_view armed_text(const SipLeg& l)
{
    return l.service_slot >= 0 ? g_service_slots[static_cast<std::size_t>(l.service_slot)].text.view()
                               : l.timertext.view();
}

}  // namespace

void Sip_Init_All_Chn()
{
    sip_chn.fill(SipLeg{});
    g_service_slots.fill(ServiceSlot{});
    Sip_Chn_Index_Rebuild();
}

int Find_Free_Sip_Chn()
{
    for (int leg = 0; leg < kMaxSipLegs; ++leg)
        if (sip_chn[leg].use == 0) return leg;
    return -1;
}

int Sip_Chn_Reset(int leg)
{
    if (!leg_in_use(leg)) return -1;
    set_user_status(sip_chn[leg], SOFT_ST_FREE);
    Write_Logf("===========sip chnno=%d reset\n", leg);
    drop_service_slot(sip_chn[leg]);
    sip_chn[leg] = SipLeg{};
    Sip_Chn_Index_Callid(leg);
    return 1;
}

int Sip_Chn_Open_Called(int ctrl_chn, int regno)
{
    if (!reg_in_range(regno)) return -2;
    if (!chn_in_range(ctrl_chn) || call_chns[ctrl_chn].use != 1) return -3;
    const int leg = Find_Free_Sip_Chn();
    if (leg < 0) return -1;
    const SipReg& reg = sipreg[regno];
    const CallChn& c = call_chns[ctrl_chn];
    SipLeg& l = sip_chn[leg];
    l = SipLeg{};
    l.use = 1;
    l.dir = 1;
    l.regno = regno;
    copy_text(l.sig_ip, reg.ip.view());
    l.sig_port = reg.port;
    l.ctrl_chn = ctrl_chn;
    l.called = c.called;
    l.calling = c.calling;
    l.video_line = c.video_line;
    Sip_Chn_Index_Callid(leg);
    return leg;
}

int Sip_Chn_Set_Offer(int leg, const char* ip, int port, int codec)
{
    if (!leg_in_range(leg)) return -1;
    if (!leg_in_use(leg)) return -2;
    SipLeg& l = sip_chn[leg];
    copy_text(l.offer_ip, ip ? ip : "");
    l.offer_port = port;
    l.offer_codec = codec;
    return 1;
}

int Sip_Chn_Set_Video(int leg, const Text<kSipLineMax>& line)
{
    if (!leg_in_range(leg)) return -1;
    if (!leg_in_use(leg)) return -2;
    sip_chn[leg].video_line = line;
    return 1;
}

int Sip_Chn_Unlink(int leg, int chn)
{
    if (!leg_in_range(leg)) return -1;
    if (sip_chn[leg].ctrl_chn != chn) return 0;
    sip_chn[leg].ctrl_chn = -1;
    return 1;
}

SipDialog* Sip_Chn_Dialog(int leg) { return leg_in_use(leg) ? &sip_chn[leg] : nullptr; }

int Sip_Retrans_Set(int leg, const char* text, int kind, int tries, int interval, const char* ip, int port)
{
    if (!leg_in_use(leg)) return -1;
    SipLeg& l = sip_chn[leg];
    // A leg being released waits only for the answer to its BYE or CANCEL, or for that message's
    // last repetition. Anything else in the slot (a NOTIFY after a REFER, say) would, once
    // answered, leave the leg waiting for nothing for ever; such a message goes out once. Only a
    // BYE replaces a CANCEL: the callee answered across it.
    if ((l.timertype == SIP_BYE || l.timertype == SIP_CANCEL) && l.timertries > 0 && kind != SIP_BYE) return -2;
    drop_service_slot(l);
    l.timercount = interval;
    l.timernext = 2 * interval;
    l.timertries = tries;
    l.timertype = kind;
    copy_text(l.timertext, text ? text : "");
    copy_text(l.timerip, ip ? ip : "");
    l.timerport = port;
    return 1;
}

int Sip_Retrans_Set_Service(int leg, std::string_view datagram, const char* ip, int port)
{
    if (!leg_in_use(leg)) return -1;
    if (datagram.size() >= kServiceDatagramMax) return -4;
    SipLeg& l = sip_chn[leg];
    int slot = l.service_slot;
    for (int s = 0; slot < 0 && s < kServiceSlots; ++s)
        if (g_service_slots[static_cast<std::size_t>(s)].leg < 0) slot = s;
    if (slot < 0) return -3;
    const int r = Sip_Retrans_Set(leg, "", SIP_INVITE, kRetransTries, kRetransFirstInterval, ip, port);
    if (r < 0) return r;
    ServiceSlot& held = g_service_slots[static_cast<std::size_t>(slot)];
    held.leg = leg;
    copy_text(held.text, datagram);
    l.service_slot = slot;
    return 1;
}

int Sip_Retrans_Clear(int leg, int kind)
{
    if (!leg_in_use(leg) || sip_chn[leg].timertype != kind) return -1;
    SipLeg& l = sip_chn[leg];
    drop_service_slot(l);
    l.timercount = 0;
    l.timertries = 0;
    l.timertype = 0;
    l.timertext.clear();
    l.timerip.clear();
    l.timerport = 0;
    return 1;
}

int Sip_Find_Calling_Reg(int leg, int& regno)
{
    if (!leg_in_range(leg)) return -1;
    const SipLeg& l = sip_chn[leg];
    int other = -1;
    for (int r = 0; r < kMaxSipReg; ++r) {
        const SipReg& reg = sipreg[r];
        if (reg.use != 1) continue;
        if (reg.ip.view() != l.sig_ip.view() || reg.port != l.sig_port) continue;
        if (reg.soft_user.tel_type == TEL_TYPE_SIP) {
            if (reg.tel.view() == l.calling.view()) {
                regno = r;
                return 1;
            }
            continue;
        }
        other = r;   // a gateway, peer or program may call with any number; the last one wins
    }
    if (other >= 0) {
        regno = other;
        return 2;
    }
    Write_Logf("找不到主叫ip=[%s] port=[%d]\n", l.sig_ip.s, l.sig_port);
    return -1;
}

int OnRecv_Invite(const SIP_MSG_T& msg, const char* callid)
{
    const int leg = Find_Free_Sip_Chn();
    // A call needs a leg for its called party as well. Taking the last free leg for the caller
    // would send it a 100 and then a 488 once routing finds no leg left, although a leg waiting
    // for the answer to its BYE is about to come free. Unanswered, the caller repeats its INVITE.
    if (leg < 0 || !another_free_leg(leg)) {
        Write_Log("error:no free chnno\n");
        return -1;
    }
    SipLeg& l = sip_chn[leg];
    l = SipLeg{};
    l.use = 1;
    l.dir = 0;
    l.st = sip_calling_wait_ring;
    l.pend = 1;
    copy_text(l.via_line, msg.via_line.view());
    copy_text(l.callid_line, msg.callid_line.view());
    copy_text(l.from_line, msg.from_line.view());
    copy_text(l.to_line, msg.to_line.view());
    copy_text(l.cseq_line, msg.cseq_line.view());
    copy_text(l.contact_line, msg.contact_line.view());
    copy_text(l.callid, callid ? callid : "");
    Sip_Chn_Index_Callid(leg);
    copy_text(l.sig_ip, msg.reply_ip.view());
    l.sig_port = msg.reply_port;
    if (msg.has_sdp) {
        take_media(l, msg);
        if (!msg.video_line.empty()) copy_text(l.video_line, msg.video_line.view());
    }

    Text<64> uri;
    Text<kSipLineMax> tag;
    Text<50> host;
    int port = 0;
    if (Decode_FromTo(msg.to_line.view(), uri, tag) < 0) return refuse_invite(leg, -2, nullptr);
    if (Decode_Uri(uri.view(), l.called, host, port) < 0) return refuse_invite(leg, -3, nullptr);
    if (l.called.empty()) return refuse_invite(leg, -4, "error:decode calledtel error\n");
    uri.clear();
    if (Decode_FromTo(msg.from_line.view(), uri, tag) < 0) return refuse_invite(leg, -6, "error:Decode_FromTo error\n");
    if (Decode_Uri(uri.view(), l.calling, host, port) < 0) return refuse_invite(leg, -7, nullptr);
    if (l.calling.empty()) return refuse_invite(leg, -8, "error:Decode callingtel error\n");
    if (l.calling.view() == l.called.view()) return refuse_invite(leg, -9, "error:主叫和被叫相同\n");
    if (!msg.priority_line.empty()) Decode_Priority(msg.priority_line.view(), l.priority);

    int regno = -1;
    if (Sip_Find_Calling_Reg(leg, regno) < 0) return refuse_invite(leg, -10, "error:主叫未注册\n");
    l.regno = regno;
    if (Send_Try(leg) < 0) return refuse_invite(leg, -11, "error:Send_Try error\n");
    set_user_status(l, SOFT_ST_BUSY);

    // From the switch's one random source: a tag drawn from a generator seeded only with the
    // second would be the same for every INVITE of that second, and a tag is to be unique.
    char number[16] = {};
    std::snprintf(number, sizeof number, "%d", Sip_Get_Random());
    add_to_tag(l, number);

    const int chn = CallCtrl_Find_Free_Chn();
    if (!chn_in_range(chn)) {
        Write_Log("error:OnRecv_Invite error no idle ctrl_chn\n");   // this one is logged before the 488
        return refuse_invite(leg, -1, nullptr);
    }
    l.ctrl_chn = chn;
    CallChn& c = call_chns[chn];
    c.use = 1;
    c.type = CHN_TYPE_SIP;
    c.party_chn = leg;
    copy_text(c.calling, l.calling.view());
    copy_text(c.called, l.called.view());
    c.priority = l.priority;
    copy_text(c.video_line, l.video_line.view());
    if (msg.user_agent_line.view() == kSwitchAgent) {
        c.from_switch = 1;
        Write_Log("从主的软交换呼过来,不再呼到主软交换\n");
    } else if (msg.user_agent_line.view() == kConsoleAgent) {
        c.from_console = 1;
        Write_Log("从话务台过来的呼叫(B->C)\n");
    }
    Write_Logf("Sip CallCtrl_Recv_Newcall return %d\n", CallCtrl_Recv_Newcall(chn));
    return 1;
}

int OnRecv_ReInvite(const SIP_MSG_T& msg, int leg)
{
    if (!leg_in_use(leg)) return -1;
    SipLeg& l = sip_chn[leg];
    Write_Logf("OnRecv_ReInvite st %d\n", l.st);
    switch (l.st) {
    case sip_calling_wait_ring:
        if (Send_Try(leg) < 0) {
            // The call is routed already: freeing only the leg would leave its call channel, and
            // a called party ringing for a caller who is gone.
            if (chn_in_range(l.ctrl_chn)) CallCtrl_Recv_Hangoff(l.ctrl_chn, 0);
            return refuse_invite(leg, -1, nullptr);
        }
        break;
    case sip_calling_wait_200:
        Send_Ringing(leg);
        break;
    case sip_calling_wait_200ack:
    case sip_talk: {
        copy_text(l.cseq_line, msg.cseq_line.view());
        copy_text(l.via_line, msg.via_line.view());
        // A hold or a resume changes only the direction; the other party must hear of it too.
        const bool changed = msg.has_sdp && (msg.sdp_port != l.rtp_port || msg.sdp_ip.view() != l.rtp_ip.view() ||
                                             msg.sdp_dir != l.rtp_dir);
        // The answer mirrors the direction offered: a sendonly offer gets recvonly.
        if (msg.has_sdp) l.rtp_dir = msg.sdp_dir;
        Send_Ok_Sdp(leg);
        if (changed) {
            take_media(l, msg);
            const int peer = chn_in_range(l.ctrl_chn) ? CallCtrl_Sip_Leg(call_chns[l.ctrl_chn].con_chn) : -1;
            if (peer >= 0) sip_chn[peer].offer_dir = msg.sdp_dir;
            CallCtrl_Recv_Modify_Media(l.ctrl_chn);
        }
        break;
    }
    default:
        break;
    }
    return 1;
}

int OnRecv_Trying(const SIP_MSG_T&, int leg)
{
    Sip_Retrans_Clear(leg, SIP_INVITE);
    return 1;
}

int OnRecv_Ring(const SIP_MSG_T& msg, int leg)
{
    if (!leg_in_use(leg)) return -1;
    SipLeg& l = sip_chn[leg];
    if (l.st == sip_called_wait_ring) {
        l.st = sip_called_wait_200;
        Text<64> uri;
        Text<kSipLineMax> tag;
        // A ringing without a tag adds none: an empty ";tag=" would make the To line of every
        // later request of the dialog (CANCEL, BYE) one that strict phones refuse.
        if (Decode_FromTo(msg.to_line.view(), uri, tag) == 0 && !tag.empty()) add_to_tag(l, tag.view());
        const int chn = l.ctrl_chn;
        if (!chn_in_range(chn)) return -1;   // the INVITE stays armed
        if (msg.has_sdp) {
            l.peer_sdp = 1;
            take_media(l, msg);
            if (recorded_call(chn)) {
                const int con = call_chns[chn].con_chn;
                call_chns[chn].record_switch_done = 1;
                if (chn_in_range(con)) call_chns[con].record_switch_done = 1;
                if (request_record_switch(chn) < 0) {
                    // The callee cannot be answered with a failure to an INVITE the switch sent:
                    // the INVITE is cancelled and the call released.
                    Write_Log("CallCtrl_Recv_Ring :CallCtrl_Recv_RecordSwitch may wrong \n");
                    Sip_SendHangoff(leg, 0);
                    CallCtrl_Recv_Hangoff(chn, 0);
                    return 1;
                }
            }
            request_relay(chn);
        }
        const int r = CallCtrl_Recv_Ring(chn);
        if (r < 0) Write_Logf("CallCtrl_Recv_Ring return  %d\n", r);
    } else if (l.st == sip_talk) {
        take_to_tag(l, msg);   // a service leg's ringing: a BYE before its 200 names the dialog
    }
    Sip_Retrans_Clear(leg, SIP_INVITE);
    return 1;
}

int OnRecv_200OK(const SIP_MSG_T& msg, int leg)
{
    if (!leg_in_use(leg)) return -1;
    SipLeg& l = sip_chn[leg];
    int number = 0, method = 0;
    if (Decode_CSeq(msg.cseq_line.view(), number, method) < 0) return -1;
    switch (method) {
    case SIP_INVITE: {
        Sip_Retrans_Clear(leg, SIP_INVITE);
        if (answers_re_invite(l)) {
            // A repeated 200, or the answer to the switch's re-INVITE: also on a caller's leg
            // whose ACK is still on its way, where the party re-sends its 200 until acknowledged.
            take_to_tag(l, msg);
            Send_Ack(leg);
            return 1;
        }
        if (l.st != sip_called_wait_ring && l.st != sip_called_wait_200) {
            Write_Log("recv 200OK,but the status is error!!!\n");
            return -1;
        }
        const int chn = l.ctrl_chn;
        if (!chn_in_range(chn)) {
            end_answered_leg(leg, msg);   // the call was released while this leg rang
            return -1;
        }
        if (msg.has_sdp) {
            l.peer_sdp = 1;
            take_media(l, msg);
            l.video_line.clear();
            call_chns[chn].video_line.clear();
            if (!msg.video_line.empty()) {
                copy_text(l.video_line, msg.video_line.view());
                copy_text(call_chns[chn].video_line, msg.video_line.view());
            }
            const int con = call_chns[chn].con_chn;
            const bool requested = call_chns[chn].record_switch_done == 1 ||
                                   (chn_in_range(con) && call_chns[con].record_switch_done == 1);
            if (recorded_call(chn) && !requested && request_record_switch(chn) < 0) {
                end_answered_leg(leg, msg);
                CallCtrl_Recv_Hangoff(chn, 0);
                return -1;
            }
            request_relay(chn);
        }
        copy_text(l.to_line, msg.to_line.view());
        Send_Ack(leg);
        l.st = sip_talk;
        l.pend = 0;
        set_user_status(l, SOFT_ST_TALK);
        const int r = CallCtrl_Recv_Anc(chn);
        if (r < 0) Write_Logf("CallCtrl_Recv_Anc return  %d\n", r);
        break;
    }
    case SIP_BYE:
        Sip_Retrans_Clear(leg, SIP_BYE);
        free_released_leg(leg);
        break;
    case SIP_CANCEL:
        Sip_Retrans_Clear(leg, SIP_CANCEL);
        // A leg whose callee answered across the CANCEL waits for the answer to its BYE.
        if (l.st != sip_talk) free_released_leg(leg);
        break;
    case SIP_NOTIFY:
        Sip_Retrans_Clear(leg, SIP_NOTIFY);
        break;
    default:
        break;   // the switch sends no REGISTER of its own
    }
    return 1;
}

int OnRecv_ResError(const SIP_MSG_T& msg, int leg)
{
    int number = 0, method = 0;
    if (Decode_CSeq(msg.cseq_line.view(), number, method) < 0) return -1;
    Sip_Retrans_Clear(leg, method);   // a request's retransmission kind is its method
    if (method == SIP_REGISTER) return 1;
    if (!leg_in_use(leg)) {
        if (method == SIP_INVITE) Send_Ack_Response(msg);
        return -1;
    }
    SipLeg& l = sip_chn[leg];
    switch (method) {
    case SIP_INVITE: {
        l.pend = 0;
        // A service leg is talking before its program answers: a failure to the INVITE that
        // opened its dialog (the first CSeq of a leg the switch placed) ends it like any other.
        if (answers_re_invite(l) && !(l.dir == 1 && number == 1)) {
            // A refused re-INVITE leaves the session as it was: a phone that declines a hold or
            // a media change keeps its call, so the refusal is acknowledged and nothing released.
            Send_Ack(leg);
            return 1;
        }
        // The ACK of a failure carries the To line of the failure, tag included. A caller's leg
        // keeps its own lines: there the To line names the switch's side.
        if (l.dir == 1) copy_text(l.to_line, msg.to_line.view());
        Send_Ack(leg);
        // A redirect that names no number ends like any other failure: the INVITE is over, and
        // a leg left waiting would hold both parties until the no-answer timers.
        if (msg.status_code == 302 && OnRecv_Redirect(msg, leg) > 0) return 1;
        if (chn_in_range(l.ctrl_chn)) {
            Write_Log("OnRecv_ResError\n");
            CallCtrl_Recv_Hangoff(l.ctrl_chn, msg.status_code == kBusyHere ? 1 : 0);
        }
        Sip_Chn_Reset(leg);
        return 1;
    }
    case SIP_BYE:
        free_released_leg(leg);
        return 1;
    case SIP_CANCEL:
        if (l.st != sip_talk) free_released_leg(leg);
        return 1;
    default:
        return 1;
    }
}

int OnRecv_Redirect(const SIP_MSG_T& msg, int leg)
{
    if (!leg_in_use(leg)) return -1;
    Text<50> number;
    if (Decode_Contact(msg.contact_line.view(), number) < 0 || number.empty()) {
        Write_Logf("error:Decode_Contact error contact line[%s]\n", msg.contact_line.s);
        return -1;
    }
    // The redirect ended this INVITE: releasing the called party must not CANCEL it.
    SipLeg& l = sip_chn[leg];
    l.st = sip_cancelled;
    l.pend = 0;
    const int chn = l.ctrl_chn;
    if (chn_in_range(chn)) {
        const int r = CallCtrl_Recv_Redirect(chn, number.s);
        if (r < 0) {
            Write_Logf("CallCtrl_Recv_Redirect return %d\n", r);
            Write_Log("CallCtrl_Recv_Redirect\n");
            CallCtrl_Recv_Hangoff(chn, 0);
        }
    }
    // Releasing the called party freed the leg, and the caller's new route may have taken it
    // again already: only a leg still in the redirect's hands is freed here.
    if (sip_chn[leg].use == 1 && sip_chn[leg].st == sip_cancelled) Sip_Chn_Reset(leg);
    return 1;
}

int OnRecv_Cancel(const SIP_MSG_T& msg, int leg)
{
    if (!leg_in_use(leg)) return -1;
    Write_Log("OnRecv_Cancel\n");
    Send_Msg_Response(msg, 200);
    Send_Chn_Response(leg, kRequestTerminated);
    SipLeg& l = sip_chn[leg];
    l.st = sip_cancelled;
    if (chn_in_range(l.ctrl_chn)) CallCtrl_Recv_Hangoff(l.ctrl_chn, 0);
    Sip_Chn_Reset(leg);
    return 1;
}

int OnRecv_Bye(const SIP_MSG_T& msg, int leg)
{
    if (!leg_in_use(leg)) return -1;
    Write_Log("OnRecv_Bye\n");
    Send_Msg_Response(msg, 200);
    const int chn = sip_chn[leg].ctrl_chn;
    if (chn_in_range(chn)) {
        const int r = CallCtrl_Recv_Hangoff(chn, 0);
        if (r < 0) Write_Logf("CallCtrl_Recv_Hangoff return %d\n", r);
    }
    Sip_Chn_Reset(leg);
    return 1;
}

int OnRecv_Ack(int leg)
{
    if (!leg_in_use(leg)) return -1;
    SipLeg& l = sip_chn[leg];
    if (l.st == sip_calling_wait_200ack) {
        Sip_Retrans_Clear(leg, SIP_RES_200);
        l.st = sip_talk;
        set_user_status(l, SOFT_ST_TALK);
    } else if (l.st == sip_talk) {
        Sip_Retrans_Clear(leg, SIP_RES_200);   // the ACK of a re-INVITE's 200
    }
    return 1;
}

int OnRecv_Info(const SIP_MSG_T& msg, int leg)
{
    if (!leg_in_use(leg)) return -1;
    Write_Logf("recv info=%s\n", msg.dtmf_signal.s);
    Write_Logf("CallCtrl_Recv_Info return %d\n", CallCtrl_Recv_Info(sip_chn[leg].ctrl_chn, msg.dtmf_signal.s));
    return 1;
}

int OnRecv_Message(const SIP_MSG_T& msg)
{
    // The destination is the host and port of the To URI; the port must run to the line's end.
    const std::string_view to = msg.to_line.view();
    const std::size_t at = to.find('@');
    if (at == std::string_view::npos) return -1;
    const std::size_t colon = to.find(':', at + 1);
    if (colon == std::string_view::npos) return -2;
    const int port = Sip_Atoi(Decode_GetLine(to.substr(colon + 1)).line);
    if (port == 0) return -3;
    Text<16> host;
    copy_text(host, to.substr(at + 1, colon - at - 1));
    Send_Message_Relay(msg, host.s, port);
    return 1;
}

int OnRecv_SetSwitch(const SIP_MSG_T& msg)
{
    if (msg.kelvanor_info_line.view().find("setswitch") == std::string_view::npos) return -1;
    const std::string_view line = msg.kelvanor_callid_line.view();
    const std::size_t colon = line.find(':');
    const std::size_t comma = line.find(',');
    if (colon == std::string_view::npos || comma == std::string_view::npos || comma < colon) return -2;
    Text<kSipLineMax> callid1, callid2;
    copy_text(callid1, skip_blanks(line.substr(colon + 1, comma - colon - 1)));
    copy_text(callid2, line.substr(comma + 1));
    const int leg1 = Sip_Find_Chn_By_Callid(callid1.s);
    const int leg2 = Sip_Find_Chn_By_Callid(callid2.s);
    if (leg1 < 0 || leg2 < 0) return -3;
    Write_Logf("callid1=%s callid2=%s chn1=%d chn2=%d ctrl1=%d ctrl2=%d\n", callid1.s, callid2.s, leg1, leg2,
               sip_chn[leg1].ctrl_chn, sip_chn[leg2].ctrl_chn);
    // A leg waiting for the answer to its BYE still names the channel it had, which may since
    // belong to another call: only a leg's own channel is switched, and one channel only once.
    const auto own_chn = [](int leg) {
        const int chn = sip_chn[leg].ctrl_chn;
        return CallCtrl_Sip_Leg(chn) == leg ? chn : -1;
    };
    const int k1 = own_chn(leg1);
    const int k2 = leg2 == leg1 || own_chn(leg2) == k1 ? -1 : own_chn(leg2);
    const int r = CallCtrl_Set_Switch(k1, k2);
    if (r < 0) Write_Logf("CallCtrl_Set_Switch return %d\n", r);
    // The console ends both of its calls itself: their legs go without a BYE. A console call the
    // switch refused still stands: its channel lets go of the leg first and its far end is
    // released, so no channel is left naming a freed leg.
    for (const int leg : {leg1, leg2}) {
        if (!leg_in_use(leg)) continue;
        const int chn = own_chn(leg);
        if (chn >= 0) {
            const int far = call_chns[chn].con_chn;
            CallCtrl_Chn_Reset(chn);
            if (chn_in_range(far) && call_chns[far].use == 1) CallCtrl_Recv_Hangoff(far, 0);
        }
        Sip_Chn_Reset(leg);
    }
    return 1;
}

namespace {

// The REFER that call control is carrying out and the leg it came on. The transfer releases
// that leg: its phone hears that the transfer is done (RFC 3515) just before the BYE, while the
// dialog still stands, since a phone may wait for that word to end its side of the call. The
// BYE's retransmission then takes the leg's slot: it is the one that frees the leg.
const SIP_MSG_T* g_refer = nullptr;
int g_referrer = -1;

void report_transfer_done(int leg)
{
    if (leg != g_referrer || g_refer == nullptr) return;
    g_referrer = -1;
    Send_Refer_Notify(*g_refer, leg, 3);
}

void begin_refer(const SIP_MSG_T& msg, int leg)
{
    g_refer = &msg;
    g_referrer = leg;
}

// Call control's result r for the REFER on leg: a transfer that left the referrer's call as it
// was did not happen, and is reported as failed.
int end_refer(int leg, int r)
{
    if (r >= 0 && g_referrer == leg) {
        Write_Log("error:recv refer left the call as it was\n");
        r = -13;
    }
    g_refer = nullptr;
    g_referrer = -1;
    return r;
}

}  // namespace

int OnRecv_Refer(const SIP_MSG_T& msg, int leg)
{
    Write_Logf("OnRecv_Refer begin chnno %d\n", leg);
    Text<50> user;
    Text<kSipLineMax> callid, from_tag, to_tag;
    const int kind = Decode_ReferTo(msg.refer_to_line.view(), user, callid, from_tag, to_tag);
    Write_Logf("Decode_ReferTo return %d\n", kind);
    const int chn = leg_in_use(leg) ? sip_chn[leg].ctrl_chn : -1;
    if (kind == 1) {
        if (Find_Reg_By_Tel(user.s) < 0) {
            Write_Logf("error:recv refer find regno error with tel %s\n", user.s);
            return -1;
        }
        begin_refer(msg, leg);
        const int r = end_refer(leg, CallCtrl_Recv_Refer_Free(chn, user.s));
        if (r < 0) Write_Logf("CallCtrl_Recv_Refer_Free return %d", r);
        return r;
    }
    if (kind == 2) {
        const int other = Sip_Find_Chn_By_Callid(callid.s);
        if (other < 0) {
            Write_Logf("error:recv refer find chnno error with tel %s\n", user.s);
            return -2;
        }
        std::printf("*******callctrl chn %d  callctrl  refrer_chn %d \n", chn, sip_chn[other].ctrl_chn);
        begin_refer(msg, leg);
        const int r = end_refer(leg, CallCtrl_Recv_Refer_Online(chn, sip_chn[other].ctrl_chn));
        if (r < 0) Write_Logf("CallCtrl_Recv_Refer_Online return %d\n", r);
        return r;
    }
    return -1;
}

int Sip_Makecall(int leg)
{
    if (!leg_in_range(leg)) return -1;
    if (!leg_in_use(leg)) return -2;
    SipLeg& l = sip_chn[leg];
    Write_Logf("Sip_Makecall begin sip_chn=%d\n", leg);
    l.st = sip_called_wait_ring;
    l.pend = 1;
    Send_Invite(leg);
    set_user_status(l, SOFT_ST_BUSY);
    return 1;
}

int Sip_SendRing(int leg)
{
    if (!leg_in_range(leg)) return -1;
    if (!leg_in_use(leg)) return -2;
    SipLeg& l = sip_chn[leg];
    if (!chn_in_range(l.ctrl_chn)) return -3;
    const int con = call_chns[l.ctrl_chn].con_chn;
    if (!chn_in_range(con)) return -4;
    // A called party that sent SDP with its ringing lets the caller know its media before the
    // answer: a SIP peer when its 18x carried SDP, an MGCP endpoint when its gateway gave its
    // media in the CRCX answer.
    const int peer_leg = CallCtrl_Sip_Leg(con);
    Text<16> peer_ip;
    int peer_port = 0, peer_codec = 0;
    const bool gateway_media = CallCtrl_Get_Media(con, peer_ip, peer_port, peer_codec) == 2 && peer_port > 0;
    const bool early_media = (peer_leg >= 0 && sip_chn[peer_leg].peer_sdp == 1) || gateway_media;
    if (early_media) Send_Session_Progress(leg);
    else Send_Ringing(leg);
    l.st = sip_calling_wait_200;
    return 1;
}

int Sip_SendAnc(int leg)
{
    if (!leg_in_range(leg)) return -1;
    if (!leg_in_use(leg)) return -2;
    SipLeg& l = sip_chn[leg];
    l.st = sip_calling_wait_200ack;
    l.pend = 0;
    Send_Ok_Sdp(leg);
    return 1;
}

int Sip_SendHangoff(int leg, int cause)
{
    if (!leg_in_range(leg)) return -1;
    if (!leg_in_use(leg)) return -2;
    SipLeg& l = sip_chn[leg];
    report_transfer_done(leg);
    Write_Logf("sip_chn[%d]挂机,", leg);
    switch (l.st) {
    case sip_calling_wait_ring:
    case sip_calling_wait_200:
        Write_Log("挂机状态为sip_calling_wait_ring/sip_calling_wait_200\n");
        Send_Chn_Response(leg, refusal_code(cause));
        Sip_Chn_Reset(leg);
        break;
    case sip_calling_wait_200ack:
        Write_Log("挂机状态为sip_calling_wait_200ack\n");
        Send_Chn_Response(leg, refusal_code(cause));
        Send_Bye(leg);
        Sip_Chn_Reset(leg);
        break;
    case sip_talk:
        Write_Log("挂机状态为sip_talk\n");
        Send_Bye(leg);
        // The leg waits for the answer to its BYE; a BYE that could not even be armed has
        // nothing to wait for.
        if (l.timertype != SIP_BYE) Sip_Chn_Reset(leg);
        break;
    case sip_called_wait_ring:
    case sip_called_wait_200:
        Write_Log("......挂机状态为sip_called_wait_ring/sip_called_wait_200\n");
        Send_Cancel(leg);
        l.pend = 0;   // released: no longer waiting for an answer, so never cancelled again
        break;
    default:
        Sip_Chn_Reset(leg);
        break;
    }
    return 1;
}

int TimerProc()
{
    for (int leg = 0; leg < kMaxSipLegs; ++leg) {
        SipLeg& l = sip_chn[leg];
        if (l.use != 1 || l.timertries <= 0) continue;
        --l.timercount;
        Write_Logf("sip_chn[%d].timercount=%d\n", leg, l.timercount);
        if (l.timercount > 0) continue;
        if (--l.timertries > 0) {
            l.timercount = l.timernext;
            l.timernext *= 2;
            const std::string_view text = armed_text(l);
            Send_Udp_Data(text.data(), text.size(), l.timerip.s, l.timerport);
            continue;
        }
        if (chn_in_range(l.ctrl_chn)) {
            Write_Log("TimerProc\n");
            CallCtrl_Recv_Hangoff(l.ctrl_chn, 0);
        }
        Sip_Chn_Reset(leg);
    }
    return 1;
}

int TimerPend()
{
    for (int leg = 0; leg < kMaxSipLegs; ++leg) {
        SipLeg& l = sip_chn[leg];
        if (l.use != 1 || l.dir != 1 || l.pend != 1) continue;
        ++l.pend_time;
        Write_Logf("sip_chn[%d].pend_time = [%d] \n", leg, l.pend_time);
        if (l.pend_time <= sip_pend_time) continue;
        Write_Logf("pend sip_chn[%d].pend_time = [%d] is over time\n", leg, sip_pend_time);
        l.pend_time = 0;
        const int chn = l.ctrl_chn;
        Sip_SendHangoff(leg, 0);
        l.pend = 0;   // also where the release did not free the leg: it is cancelled once
        if (chn_in_range(chn)) {
            Write_Log("TimerPend\n");
            CallCtrl_Recv_Hangoff(chn, 0);
        }
    }
    return 1;
}
