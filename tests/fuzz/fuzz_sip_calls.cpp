// Any sequence of datagrams from two registered phones, with one-second steps between them,
// drives the legs, routing and call control without a crash, a hang or undefined behaviour, and
// the channels of every call stay linked in pairs, each naming a leg that names it back.
//
// The switch runs in public-network mode, so every answer goes to where the datagram "came
// from": 127.0.0.1, on ports where nothing listens. MESSAGE is left out: it is relayed to the
// address its To line names, which the fuzzer would choose.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "call_chn.h"
#include "call_relay.h"
#include "settings.h"
#include "sip_decode.h"
#include "sip_legs.h"
#include "sip_reg.h"
#include "sip_transport.h"

namespace {

constexpr int kPorts[2] = {9, 19};   // the two phones

void registration(int regno, const char* tel, int port)
{
    SipReg& r = sipreg[regno];
    if (r.use == 1 && r.port == port) return;
    r = SipReg{};
    r.use = 1;
    copy_text(r.tel, tel);
    copy_text(r.ip, "127.0.0.1");
    r.port = port;
    Sip_Load_User(regno);
    // Both may transfer, confer and pick up, and 801 outranks 802: every service can start.
    SoftUser& u = r.soft_user;
    u.zhuanjie = u.meet = u.daida = u.group = 1;
    u.level = regno == 10 ? 2 : 1;
}

// The service and conference programs, registered where nothing listens.
void program(int regno, const char* tel)
{
    SipReg& r = sipreg[regno];
    if (r.use == 1) return;
    r = SipReg{};
    r.use = 1;
    copy_text(r.tel, tel);
    copy_text(r.ip, "127.0.0.1");
    r.port = 29;
    r.soft_user.tel_type = TEL_TYPE_SERVICE;
}

bool chn_ok(int chn) { return chn >= -1 && chn < kMaxCallChns; }

void check_tables()
{
    for (int chn = 0; chn < kMaxCallChns; ++chn) {
        const CallChn& c = call_chns[chn];
        if (c.use != 1 || c.con_chn == -1) continue;
        // Linked channels name each other; a freed partner leaves no pointer behind.
        if (!chn_ok(c.con_chn) || call_chns[c.con_chn].use != 1 || call_chns[c.con_chn].con_chn != chn)
            __builtin_trap();
    }
    for (int chn = 0; chn < kMaxCallChns; ++chn) {
        // A SIP party's leg is in use and names its channel back: a channel left naming a freed
        // leg would act on whichever call takes that leg next.
        const int leg = CallCtrl_Sip_Leg(chn);
        if (leg >= 0 && (sip_chn[leg].use != 1 || sip_chn[leg].ctrl_chn != chn)) __builtin_trap();
    }
    for (const SipLeg& l : sip_chn) {
        if (l.use != 1) continue;
        if (!chn_ok(l.ctrl_chn) || l.timertries < 0 || l.timertries > 3) __builtin_trap();
    }
}

// The Call-IDs of the switch's own INVITEs are time stamps the fuzzer cannot guess: a datagram
// whose Call-ID line is "Call-ID: B" is taken to be in the dialog of the newest leg the switch
// placed.
void aim_at_placed_leg(std::string& datagram)
{
    static const std::string kLine = "\nCall-ID: B\r\n";
    const std::size_t at = datagram.find(kLine);
    if (at == std::string::npos) return;
    for (int leg = kMaxSipLegs - 1; leg >= 0; --leg) {
        if (sip_chn[leg].use == 1 && sip_chn[leg].dir == 1) {
            datagram.replace(at + kLine.size() - 3, 1, sip_chn[leg].callid.view());
            return;
        }
    }
}

bool is_message(const std::string& datagram)
{
    static SIP_MSG_T kind;
    kind = {};
    Sip_Decode(datagram.data(), datagram.size(), kind);
    return kind.msg_type == SIP_MESSAGE;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    sip_debug = 0;
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    soft_inet_enable = 1;
    copy_text(sip_server_local_host, "127.0.0.1");
    copy_text(sip_server_inter_host, "127.0.0.2");
    copy_text(soft_inet_mask, "255.255.255.0");
    copy_text(sip_server_local_port, "5060");
    callctrl_pendtime = 3;
    sip_pend_time = 5;
    Sip_Init_All_Chn();
    Sip_Init_All_Reg();
    CallCtrl_Init_All_Chn();
    return Sip_Server_Create(0) < 0 ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte: which phone sends (bit 0) and how many seconds pass after it (bits 1-3).
    // The tables are kept between inputs, so datagrams meet legs in every state.
    if (size == 0) return 0;
    registration(10, "801", kPorts[0]);
    registration(11, "802", kPorts[1]);
    program(kRegService, "*");
    program(kRegConference, "#");
    std::string datagram(reinterpret_cast<const char*>(data) + 1, size - 1);
    aim_at_placed_leg(datagram);
    // Exactly the bytes, with no terminator after them.
    std::vector<char> bytes(datagram.begin(), datagram.end());
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    from.sin_port = htons(static_cast<uint16_t>(kPorts[data[0] & 1]));
    if (!is_message(datagram)) Sip_Recv_Datagram(bytes.data(), bytes.size(), from, sizeof from);
    for (int second = (data[0] >> 1) & 7; second > 0; --second) {
        TimerPend();
        CallCtrl_Check_Pend_Time();
        TimerProc();
    }
    check_tables();
    return 0;
}
