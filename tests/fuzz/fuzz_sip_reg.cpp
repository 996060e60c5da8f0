// Any datagram handed to the registrar, in every authentication setting and network mode,
// registers, challenges or refuses without a crash, a hang or undefined behaviour, and the
// table stays consistent for the expiry step and the lookups that follow.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "settings.h"
#include "sip_decode.h"
#include "sip_reg.h"
#include "sip_transport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    sip_debug = 0;
    copy_text(sip_server_local_host, "10.0.0.1");
    copy_text(sip_server_inter_host, "10.0.0.1");
    copy_text(soft_inet_mask, "255.255.255.0");
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    Sip_Init_All_Reg();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte picks the settings, the rest is the datagram. The table is kept between
    // inputs, so sequences of REGISTERs meet slots in every state.
    if (size == 0) return 0;
    soft_inet_enable = data[0] & 1;
    sip_authen_enable = (data[0] >> 1) & 3;   // 0, 1, and values that are neither
    sip_authen_type = (data[0] >> 3) & 3;
    QUERY_WORK_MODE = (data[0] >> 5) & 1;
    std::vector<char> datagram(data + 1, data + size);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x0a000009);   // 10.0.0.9
    from.sin_port = htons(5060);
    static SIP_MSG_T msg;
    Sip_Recv_Decode(datagram.data(), datagram.size(), from, sizeof from, msg);
    OnRecv_Reg(msg);
    if (data[0] & 0x40) Sip_Reg_Timer();
    if (data[0] & 0x80) UserCheckUpdate(data[0] & 1);
    Find_Reg_By_Called(msg.request_uri.s);
    return 0;
}
