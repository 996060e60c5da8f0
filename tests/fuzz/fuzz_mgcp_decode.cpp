// Any datagram from a gateway is decoded without reading or writing past what arrived, and the
// call agent behind the decoder survives any sequence of them, with one-second steps between,
// keeping its tables consistent: an endpoint's call channel names the endpoint back, and its
// retransmission slot never holds more than three sends.
//
// The transaction ids and call ids the agent sends are counters the fuzzer cannot guess: "{T}" in
// a datagram stands for the transaction id last sent to the first endpoint that has one, "{C}"
// for its call id, so answers and gateway DLCXs reach the endpoints' states.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "call_chn.h"
#include "call_relay.h"
#include "mgcp_decode.h"
#include "mgcp_endpoint.h"
#include "mgcp_transport.h"
#include "settings.h"
#include "sip_legs.h"
#include "sip_reg.h"
#include "sip_transport.h"

namespace {

void substitute(std::string& text, const std::string& token, std::string_view value)
{
    for (std::size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size()))
        text.replace(at, token.size(), value);
}

void aim_at_endpoint(std::string& datagram)
{
    for (const MgcpEndpoint& ep : g_mgcp_endpoint) {
        if (ep.in_use != 1 || ep.trans_id <= 0) continue;
        substitute(datagram, "{T}", std::to_string(ep.trans_id));
        substitute(datagram, "{C}", ep.callid.view());
        return;
    }
}

void check_decoder(const std::vector<char>& bytes)
{
    std::string_view rest(bytes.data(), bytes.size());
    for (int n = 0; n < 64; ++n) {
        static MGCP_MSG_T msg;
        msg = {};
        const std::size_t before = rest.size();
        const int r = Mgcp_Decode(rest, msg);
        if (r == 2 && rest.size() >= before) __builtin_trap();   // a second message is further on
        if (r != 2) break;
    }
}

void check_tables()
{
    for (int e = 0; e < kMaxMgcpEndpoints; ++e) {
        const MgcpEndpoint& ep = g_mgcp_endpoint[e];
        if (ep.in_use != 1) continue;
        if (ep.resend_tries < 0 || ep.resend_tries > 3) __builtin_trap();
        const int chn = ep.call_chn;
        if (chn == -1) continue;
        if (chn < 0 || chn >= kMaxCallChns) __builtin_trap();
        const CallChn& c = call_chns[chn];
        if (c.use != 1 || c.type != CHN_TYPE_MGCP || c.party_chn != e) __builtin_trap();
    }
    for (int chn = 0; chn < kMaxCallChns; ++chn) {
        const CallChn& c = call_chns[chn];
        if (c.use != 1 || c.type != CHN_TYPE_MGCP) continue;
        if (c.party_chn < 0 || c.party_chn >= kMaxMgcpEndpoints) __builtin_trap();
        if (g_mgcp_endpoint[c.party_chn].call_chn != chn) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    sip_debug = 0;
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    copy_text(sip_server_local_host, "127.0.0.1");
    copy_text(sip_server_local_port, "5060");
    callctrl_pendtime = 3;
    mgcp_pendtime = 4;
    Sip_Init_All_Chn();
    Sip_Init_All_Reg();
    Mgcp_Init_All_Endpoint();
    CallCtrl_Init_All_Chn();
    return Sip_Server_Create(0) < 0 || Mgcp_Server_Create(0) < 0 ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte: which of two gateways sends (bit 0) and how many seconds pass after it
    // (bits 1-3). The tables are kept between inputs, so messages meet endpoints in every state.
    if (size == 0) return 0;
    std::string datagram(reinterpret_cast<const char*>(data) + 1, size - 1);
    // Exactly the bytes, with no terminator after them.
    check_decoder(std::vector<char>(datagram.begin(), datagram.end()));
    aim_at_endpoint(datagram);
    std::vector<char> bytes(datagram.begin(), datagram.end());
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    from.sin_port = htons(static_cast<uint16_t>(data[0] & 1 ? 9 : 19));
    Mgcp_Recv_Datagram(bytes.data(), bytes.size(), from, sizeof from);
    for (int second = (data[0] >> 1) & 7; second > 0; --second) {
        Mgcp_Check_Pend_Time();
        CallCtrl_Check_Pend_Time();
        TimerProc();
        Mgcp_Resend_Timer();
    }
    check_tables();
    return 0;
}
