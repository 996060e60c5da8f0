// The line module's rules for a far end's SDP: the check of its addresses, the codec choice
// and the direction that answers it. They read nothing but their arguments.
#include <arpa/inet.h>

#include "multi_log.h"
#include "user.h"

namespace {
bool Static_IsIPv4(const char* text)
{
    in_addr a{};
    return text != nullptr && inet_pton(AF_INET, text, &a) == 1;
}

bool Static_PortOk(int port) { return port > 0 && port <= 65535; }
}  // namespace

int UserCheckSdp(int sip_chn, const SIP_SDP* sdp)
{
    if (sdp == nullptr || sdp->a_use == 0) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[CheckSDP]-- SipChn[%d] SDP的a_use[0]", sip_chn);
        return -1;
    }
    if (!Static_IsIPv4(sdp->a_addr.ip)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[CheckSDP]-- SipChn[%d] SDP的ip[%s]格式不正确", sip_chn, sdp->a_addr.ip);
        return -2;
    }
    if (!Static_PortOk(sdp->a_addr.port)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[CheckSDP]-- SipChn[%d] SDP的port[%d]不正确", sip_chn, sdp->a_addr.port);
        return -3;
    }
    // A fax stream replaces the audio address: it is held to the same rules.
    if (sdp->fax_use == 1 && (!Static_IsIPv4(sdp->fax.fax_addr.ip) || !Static_PortOk(sdp->fax.fax_addr.port))) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[CheckSDP]-- SipChn[%d] SDP的fax[%s:%d]不正确", sip_chn,
                  sdp->fax.fax_addr.ip, sdp->fax.fax_addr.port);
        return -4;
    }
    return 0;
}

int UserChooseCoder(const USER_INFO_T* user, const SIP_SDP* sdp)
{
    for (int peer : sdp->a_coders) {
        if (peer == 0) continue;
        for (int mine : user->m_eCodePriority)
            if (mine != 0 && mine == peer) return peer;
    }
    return -1;
}

int UserMirrorMedia(int media)
{
    switch (media) {
    case SENDRECV: return SENDRECV;
    case SENDONLY: return RECVONLY;
    case RECVONLY: return SENDONLY;
    default: return INACTIVE;
    }
}
