#include "sip_service.h"

#include <array>
#include <initializer_list>
#include <string_view>

#include "composer.h"
#include "sip_invite.h"
#include "sip_legs.h"
#include "sip_reg.h"
#include "sip_transport.h"
#include "swlog.h"

namespace {

constexpr std::string_view kSeparator = "\r\n.\r\n";

bool leg_in_range(int leg) { return leg >= 0 && leg < kMaxSipLegs; }

int program_addr(int regno, Text<16>& ip, int& port)
{
    ip.clear();
    port = 0;
    const SipReg& r = sipreg[regno];
    if (r.use == 0) return -1;
    copy_text(ip, r.ip.view());
    port = r.port;
    return 1;
}

// The legs' INVITEs (the given order; a leg may come twice), joined and sent to the program at
// regno, with the whole datagram armed for resending on the leg holding. Every INVITE is built
// before anything is sent: a datagram without one of its INVITEs would leave that party's leg
// waiting for an answer the program cannot give. A program that is not registered has no address,
// and a datagram with no resend slot would be lost with its one copy: both refuse, so call
// control keeps the call as it was rather than hand it to a service that never comes.
int send_joined(std::initializer_list<int> order, int kind, int regno, int holding)
{
    Text<16> ip;
    int port = 0;
    if (program_addr(regno, ip, port) < 0) {
        Write_Logf("error:service datagram kind %d not sent: program %d not registered\n", kind, regno);
        return -5;
    }
    static std::array<char, kServiceDatagramMax> joined;
    std::array<char, kSipMsgMax> invite;
    Composer d(joined);
    int built = -1;   // a leg given twice carries one INVITE, sent twice
    std::size_t first_at = 0, first_len = 0;
    std::size_t n = 0;
    for (int leg : order) {
        if (n++ > 0) d.raw(kSeparator);
        if (leg == built) {
            d.raw(std::string_view(joined.data() + first_at, first_len));
            continue;
        }
        if (Send_Service_Invite(leg, invite, kind) < 0) {
            Write_Logf("error:service INVITE of sip_chn[%d] not built, datagram kind %d not sent\n", leg, kind);
            return -4;
        }
        first_at = d.size();
        d.raw(std::string_view(invite.data()));
        first_len = d.size() - first_at;
        built = leg;
    }
    d.raw("\r\n");
    if (!d.ok()) {
        Write_Logf("error:service datagram kind %d does not fit its %zu bytes, not sent\n", kind, kServiceDatagramMax);
        return -4;
    }
    if (Sip_Retrans_Set_Service(holding, d.view(), ip.s, port) < 0) {
        Write_Logf("error:no resend slot for the service datagram of sip_chn[%d], not sent\n", holding);
        return -6;
    }
    Send_Udp_Data(d.c_str(), d.size(), ip.s, port);
    return 1;
}

}  // namespace

int Get_Service_Addr(Text<16>& ip, int& port) { return program_addr(kRegService, ip, port); }
int Get_Conference_Addr(Text<16>& ip, int& port) { return program_addr(kRegConference, ip, port); }

int Check_Service_Conn()
{
    if (sipreg[kRegService].use == 1) return 1;
    Write_Log("error:tolvarine业务程序没有连接\n");
    return -1;
}

int Check_Conference_Conn() { return sipreg[kRegConference].use == 1 ? 1 : -1; }

int Sip_Service_MakeCall(int leg_a, int leg_b, int mode)
{
    Write_Log("Sip_Service_MakeCall begin\n");
    if (!leg_in_range(leg_a)) return -1;
    if (!leg_in_range(leg_b)) return -2;
    const int regno = mode == 1 ? kRegConference : kRegService;
    for (int leg : {leg_a, leg_b}) {
        sip_chn[leg].st = sip_talk;
        sip_chn[leg].regno = regno;
    }
    if (mode == 1) return send_joined({leg_b, leg_a}, SERVICE_MEETING, kRegConference, leg_a);
    return send_joined({leg_a, leg_b}, SERVICE_ZHUANJIE, kRegService, leg_b);
}

int Sip_Transfer_MakeCall(int leg1, int leg2)
{
    if (!leg_in_range(leg1)) return -2;
    if (!leg_in_range(leg2)) return -3;
    sip_chn[leg1].st = sip_talk;
    sip_chn[leg2].st = sip_called_wait_200;
    sip_chn[leg1].regno = kRegService;
    sip_chn[leg2].regno = kRegService;
    return send_joined({leg1, leg2}, SERVICE_TRANSFER, kRegService, leg1);
}

int Sip_Freetransfer_MakeCall(int leg)
{
    if (!leg_in_range(leg)) return -2;
    sip_chn[leg].st = sip_called_wait_ring;
    return send_joined({leg, leg}, SERVICE_FREETRANSFER, kRegService, leg);
}

namespace {

int three_legs(int leg1, int leg2, int leg3, int kind)
{
    if (!leg_in_range(leg1)) return -1;
    if (!leg_in_range(leg2)) return -2;
    if (!leg_in_range(leg3)) return -3;
    sip_chn[leg1].st = sip_called_wait_ring;
    sip_chn[leg2].st = sip_talk;
    sip_chn[leg3].st = sip_talk;
    return send_joined({leg1, leg2, leg3}, kind, kRegService, leg1);
}

}  // namespace

int Sip_Qq_MakeCall(int leg1, int leg2, int leg3) { return three_legs(leg1, leg2, leg3, SERVICE_QIANGCHA); }
int Sip_Listen_MakeCall(int leg1, int leg2, int leg3) { return three_legs(leg1, leg2, leg3, SERVICE_LISTEN); }
