#include "call_chn.h"

#include "mgcp_endpoint.h"
#include "sip_legs.h"
#include "sip_reg.h"
#include "swlog.h"

std::array<CallChn, kMaxCallChns> call_chns;

namespace {

// Runs 0 to 999 and survives between searches, so a freed channel is not handed out again
// at once. Each cursor value names the even channel 2 × (cursor mod 500): one lap of the
// cursor offers every even channel twice.
int g_find_cursor = 0;

bool in_range(int chn) { return chn >= 0 && chn < kMaxCallChns; }
bool taken(int chn) { return call_chns[chn].use == 1; }
bool leg_in_range(int leg) { return leg >= 0 && leg < kMaxSipLegs; }
bool endpoint_in_range(int e) { return e >= 0 && e < kMaxMgcpEndpoints; }

// Checks shared by the accessors of a channel's party: 0 for a SIP party whose leg index is
// usable, else the accessors' common failure (-1 out of range, -2 not taken, -3 leg index).
int sip_party(int chn)
{
    if (!in_range(chn)) return -1;
    if (!taken(chn)) return -2;
    if (call_chns[chn].type != CHN_TYPE_SIP) return 0;
    return leg_in_range(call_chns[chn].party_chn) ? 0 : -3;
}

// A partner that still names chn forgets it; one that has moved on is left alone.
void drop_back_link(int chn)
{
    int con = call_chns[chn].con_chn;
    if (in_range(con) && con != chn && call_chns[con].con_chn == chn) call_chns[con].con_chn = -1;
}

}  // namespace

void CallCtrl_Init_All_Chn()
{
    call_chns.fill(CallChn{});
    g_find_cursor = 0;
}

int CallCtrl_Find_Free_Chn()
{
    if (g_find_cursor > kMaxCallChns - 1) g_find_cursor = 0;
    for (int step = 0; step < kMaxCallChns; ++step) {
        if (g_find_cursor >= kMaxCallChns) {  // the wrap takes a step of its own
            g_find_cursor = 0;
            continue;
        }
        int chn = 2 * (g_find_cursor % kUsableCallChns);
        ++g_find_cursor;
        if (call_chns[chn].use != 1) return chn;
    }
    return -1;
}

int CallCtrl_Link_Chn(int chn, int con)
{
    if (!in_range(chn)) return -1;
    if (!taken(chn)) return -2;
    if (!in_range(con)) return -3;
    if (!taken(con)) return -4;
    if (chn == con) return -5;
    drop_back_link(chn);
    drop_back_link(con);
    call_chns[chn].con_chn = con;
    call_chns[con].con_chn = chn;
    return 1;
}

int CallCtrl_Unlink_Chn(int chn)
{
    if (!in_range(chn)) return -1;
    if (!taken(chn)) return -2;
    drop_back_link(chn);
    call_chns[chn].con_chn = -1;
    return 1;
}

int CallCtrl_Chn_Reset(int chn)
{
    if (!in_range(chn)) return -1;
    if (!taken(chn)) return -2;
    CallChn& c = call_chns[chn];
    // A call whose billing started owes its stop, once: the record goes out with the billing
    // link.
    if (c.fee_st == FEE_ST_STARTED) c.fee_st = FEE_ST_NONE;
    // The party's leg forgets this channel while it still names it; a leg that has moved on to
    // another channel keeps its own.
    if (c.type == CHN_TYPE_SIP) Sip_Chn_Unlink(c.party_chn, chn);
    if (c.type == CHN_TYPE_MGCP) Mgcp_Chn_Unlink(c.party_chn, chn);

    // A partner left pointing here would later release whatever call takes this number next.
    drop_back_link(chn);
    c = CallChn{};
    Write_Logf("----------- CallCtrl_Chn_Reset chn=%d\n", chn);
    return 1;
}

int CallCtrl_Sip_Leg(int chn)
{
    if (!in_range(chn) || !taken(chn)) return -1;
    const CallChn& c = call_chns[chn];
    return c.type == CHN_TYPE_SIP && leg_in_range(c.party_chn) ? c.party_chn : -1;
}

int CallCtrl_Get_Media(int chn, Text<16>& ip, int& port, int& codec)
{
    if (int r = sip_party(chn); r < 0) return r;
    const CallChn& c = call_chns[chn];
    if (c.type == CHN_TYPE_MGCP) {
        if (!endpoint_in_range(c.party_chn)) return -4;
        const MgcpEndpoint& ep = g_mgcp_endpoint[c.party_chn];
        copy_text(ip, ep.gw_rtp_ip.view());
        port = ep.gw_rtp_port;
        codec = ep.gw_codec;
        return 2;
    }
    if (c.type != CHN_TYPE_SIP) return -5;
    const SipLeg& l = sip_chn[c.party_chn];
    copy_text(ip, l.rtp_ip.view());
    port = l.rtp_port;
    codec = l.rtp_codec;
    return 1;
}

int CallCtrl_Set_Media(int chn, const char* ip, int port, int codec)
{
    if (int r = sip_party(chn); r < 0) return r;
    const CallChn& c = call_chns[chn];
    if (c.type == CHN_TYPE_MGCP) {
        if (!endpoint_in_range(c.party_chn)) return -4;
        MgcpEndpoint& ep = g_mgcp_endpoint[c.party_chn];
        copy_text(ep.far_rtp_ip, ip == nullptr ? "" : ip);
        ep.far_rtp_port = port;
        ep.far_codec = codec;
        return 2;
    }
    if (c.type != CHN_TYPE_SIP) return -5;
    return Sip_Chn_Set_Offer(c.party_chn, ip, port, codec) > 0 ? 1 : -3;
}

int CallCtrl_Get_Soft_User(int chn, SoftUser*& user)
{
    if (int r = sip_party(chn); r < 0) return r;
    const CallChn& c = call_chns[chn];
    if (c.type == CHN_TYPE_MGCP) {
        if (!endpoint_in_range(c.party_chn)) return -5;
        user = &g_mgcp_endpoint[c.party_chn].user;
        return 2;
    }
    if (c.type != CHN_TYPE_SIP) return -6;
    const int regno = sip_chn[c.party_chn].regno;
    if (regno < 0 || regno >= kMaxSipReg) return -4;
    user = &sipreg[regno].soft_user;
    return 1;
}
