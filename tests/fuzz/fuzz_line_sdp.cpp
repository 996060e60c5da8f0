// A far end's SDP of any shape, read as the stack reads it, then judged by the line: the check
// never looks past the record's fields, a codec is chosen only when both sides have it (and is
// the first of the far end's list that the line has), and the answer's direction is always one
// of the four. The first eight bytes are the line's codec preferences.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sip_sdp.h"
#include "struct_sys.h"
#include "user.h"

SYS_CFG_INFO_T g_sSysCfgInfo;
SYS_DATA_BASE_INFO_T g_sDBInfo;
USER_INFO_T g_sUserInfo[kMaxUserChn];
int g_iUse_Chn_Max = 2;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < kMaxCodePriority) return 0;
    USER_INFO_T user{};
    for (int i = 0; i < kMaxCodePriority; ++i) user.m_eCodePriority[i] = data[i] % 10;
    const std::string_view body(reinterpret_cast<const char*>(data + kMaxCodePriority), size - kMaxCodePriority);
    SIP_SDP sdp{};
    if (Sdp_Read(body, sdp) != 1) return 0;
    const int check = UserCheckSdp(0, &sdp);
    if (check > 0 || check < -4) std::abort();
    const int coder = UserChooseCoder(&user, &sdp);
    if (coder != -1) {
        bool line_has = false;
        for (int c : user.m_eCodePriority) line_has = line_has || (c != 0 && c == coder);
        int first = -1;
        for (int c : sdp.a_coders) {
            if (c == 0) continue;
            bool mine = false;
            for (int m : user.m_eCodePriority) mine = mine || (m != 0 && m == c);
            if (mine) {
                first = c;
                break;
            }
        }
        if (coder == 0 || !line_has || coder != first) std::abort();
    }
    const int media = UserMirrorMedia(sdp.a_media);
    if (media < SENDRECV || media > INACTIVE) std::abort();
    return 0;
}
