// A far end's floor INFO body of any shape through both decoders: a decoded field always fits
// its field and what decodes encodes again within the body limit; the text form reads back
// the same id, number and word.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "parse_sipinfo.h"

namespace {
void Check(const T_MSG_STRUCT& m)
{
    for (const char* f : {m.m_chreqid, m.m_chptttype, m.m_chresult, m.m_chId, m.m_chTel, m.m_chMsg})
        if (strnlen(f, 32) > 31) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The body without a terminator, so a read past the given length is caught.
    std::vector<char> body(data, data + size);
    const int length = static_cast<int>(size);
    T_MSG_STRUCT msg{};
    char out[kSipInfoBodyMax];
    if (Dec_Sipinfo_ExternMsg(body.data(), length, &msg) == 0) {
        Check(msg);
        // A value may hold another key (the keys are found anywhere in the text), so what is
        // built again need not read back the same: it must only fit and stay within the fields.
        T_MSG_STRUCT again{};
        if (Enc_Sipinfo_ExternMsg(out, sizeof out, "request", &msg) == 0) {
            if (std::strlen(out) >= sizeof out) std::abort();
            if (Dec_Sipinfo_ExternMsg(out, static_cast<int>(std::strlen(out)), &again) == 0) Check(again);
        }
    }
    msg = T_MSG_STRUCT{};
    if (Dec_Sipinfo_ExternMsgDtmf(body.data(), length, &msg) == 0) {
        Check(msg);
        if (msg.m_chId[0] != '\0' && msg.m_chTel[0] != '\0' && Enc_Sipinfo_ExternMsgDtmf(out, sizeof out, &msg) == 0) {
            T_MSG_STRUCT again{};
            if (Dec_Sipinfo_ExternMsgDtmf(out, static_cast<int>(std::strlen(out)), &again) != 0) std::abort();
            if (std::strchr(msg.m_chId, '-') == nullptr && std::strchr(msg.m_chTel, '-') == nullptr &&
                (std::strcmp(again.m_chId, msg.m_chId) || std::strcmp(again.m_chTel, msg.m_chTel) ||
                 std::strcmp(again.m_chMsg, msg.m_chMsg)))
                std::abort();
        }
    }
    return 0;
}
