// Arbitrary datagrams into the SIP stack's receive path, with the gateway's answers on every
// report, so that what arrives also drives dialogs, challenges, CANCEL and channel frees.
#include <cstdint>
#include <cstring>

#include "loopback.h"
#include "sip.h"
#include "sip_ua.h"

namespace {

void gateway(int type, int chn, int data_type)
{
    (void)data_type;
    LIBSIP_GetSdp(chn);
    LIBSIP_GetCallInfo(chn);
    LIBSIP_GetUserHost(chn);
    switch (type) {
    case 200: {
        LIBSIP_Send(202, chn);
        SIP_SDP sdp{};
        sdp.a_use = 1;
        sdp.a_coders[0] = G711_A;
        sdp.a_coders[1] = 101;
        std::strcpy(sdp.a_addr.ip, "127.0.0.1");
        sdp.a_addr.port = 10000;
        LIBSIP_SetSdp(chn, &sdp);
        LIBSIP_SetDataType(chn, 1);
        LIBSIP_Send(chn % 3 == 0 ? 226 : 203, chn);
        break;
    }
    case 206: LIBSIP_Send(229, chn); break;
    case 208: LIBSIP_Send(224, chn); LIBSIP_ResetChn(chn); break;
    case 211: LIBSIP_SetDataType(chn, 1); LIBSIP_Send(212, chn); break;
    case 212: case 203: LIBSIP_Send(204, chn); break;
    case 213: LIBSIP_Send(230, chn); break;
    case 214: {
        AUTH_ELEMENT_T a{};
        std::strcpy(a.m_chUserName, "100");
        std::strcpy(a.m_chPasswd, "pw");
        LIBSIP_SetAuthor(chn, &a);
        LIBSIP_Send(0, chn);
        break;
    }
    case 226: LIBSIP_GetMinExpires(chn); LIBSIP_ResetChn(chn); break;
    case 225: case 210: case 300: LIBSIP_ResetChn(chn); break;
    default: break;
    }
}

bool start()
{
    LIBSIP_CFG_INFO_T cfg = loopback_cfg(9, 12);   // requests go to the discard port
    if (LIBSIP_ConfigInfo(&cfg) != 0) return false;
    LIBSIP_REPORT_MSG_T rep{};
    rep.m_iInvite = rep.m_iUpdate = rep.m_iRefer = rep.m_iBye = rep.m_iCancel = rep.m_iInfo = rep.m_iNotify = 1;
    LIBSIP_SetMessageUp(&rep);
    LIBSIPUpInit(gateway);
    // a registration and a call of the gateway's own, so that answers find transactions
    int reg = LIBSIP_CreatChn(-1);
    LIBSIP_SetFromTel(reg, "100");
    LIBSIP_Send(100, reg);
    int call = LIBSIP_CreatChn(-1);
    LIBSIP_SetToTel(call, "300");
    LIBSIP_Send(200, call);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = start();
    static unsigned runs = 0;
    if (!ready || size > 4000) return 0;
    IPV4_ADDRESS src{};
    std::strcpy(src.ip, "127.0.0.1");
    src.port = 9;   // answers go to the discard port
    Ua_On_Datagram(reinterpret_cast<const char*>(data), static_cast<int>(size), src);
    LIBSIP_Thread();
    if (++runs % 512 == 0) LIBSIP_TestChnState();
    return 0;
}
