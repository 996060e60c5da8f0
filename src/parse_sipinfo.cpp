#include "parse_sipinfo.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "composer.h"
#include "text.h"

namespace {

constexpr std::size_t kFieldMax = sizeof(T_MSG_STRUCT::m_chreqid) - 1;  // 31 characters a field

// The body as it arrived: never past the given length, nor past a NUL inside it.
std::string_view Static_Body(const char* text, int length)
{
    return {text, strnlen(text, static_cast<std::size_t>(length))};
}

// A received value into its field: a value longer than the field is refused, not cut, so a
// request id or type is never answered in a form the far end did not send.
bool Static_Take(char (&field)[32], std::string_view value)
{
    if (value.size() > kFieldMax) return false;
    copy_text(field, value);
    return true;
}

// The value of key in body: from the character `skip` places after the key's start up to
// the next ';', or to the end of the body when none follows. False when the key is followed
// by nothing at all.
bool Static_KeyValue(std::string_view body, std::size_t at, std::size_t skip, std::string_view& value)
{
    const std::size_t from = at + skip;
    if (from > body.size()) return false;
    const std::size_t end = body.find(';', from);
    value = body.substr(from, end == std::string_view::npos ? std::string_view::npos : end - from);
    return true;
}

// Copies a composed body out when it fits the caller's buffer.
int Static_Out(const char* func, const Composer& m, char* out, int size)
{
    if (!m.ok() || m.size() >= static_cast<std::size_t>(size)) {
        std::printf("[%s] : 入参的buf 长度不够 [%d]\n", func, size);
        return -1;
    }
    std::memcpy(out, m.c_str(), m.size() + 1);
    return 0;
}

using Field = char (T_MSG_STRUCT::*)[32];

// What both encoders need: somewhere to write, a record, and the two fields its form cannot
// do without.
bool Static_EncReady(const char* func, const char* out, int size, const T_MSG_STRUCT* msg, Field first, Field second)
{
    if (out == nullptr || size <= 0 || msg == nullptr) {
        std::printf("[%s] : input is error\n", func);
        return false;
    }
    if ((msg->*first)[0] == '\0' || (msg->*second)[0] == '\0') {
        std::printf("[%s] : >>>>>mesg is error<<<<<<<<\n", func);
        return false;
    }
    return true;
}

}  // namespace

int Enc_Sipinfo_ExternMsg(char* out, int size, const char* comment, const T_MSG_STRUCT* msg)
{
    if (!Static_EncReady("Enc_Sipinfo_ExternMsg", out, size, msg, &T_MSG_STRUCT::m_chreqid, &T_MSG_STRUCT::m_chptttype))
        return -1;
    char work[kSipInfoBodyMax];
    Composer m(work, sizeof work);
    m.raw("ptttype=").raw(field_view(msg->m_chptttype)).raw(";ptttel=").raw(field_view(msg->m_chTel));
    m.raw(";reqid=").raw(field_view(msg->m_chreqid));
    if (comment != nullptr && std::strcmp(comment, "request") == 0) m.raw(";result=").raw(field_view(msg->m_chresult));
    return Static_Out("Enc_Sipinfo_ExternMsg", m, out, size);
}

int Enc_Sipinfo_ExternMsgDtmf(char* out, int size, const T_MSG_STRUCT* msg)
{
    if (!Static_EncReady("Enc_Sipinfo_ExternMsgDtmf", out, size, msg, &T_MSG_STRUCT::m_chId, &T_MSG_STRUCT::m_chTel)) return -1;
    char work[kSipInfoBodyMax];
    Composer m(work, sizeof work);
    m.raw("@").raw(field_view(msg->m_chId)).raw("-").raw(field_view(msg->m_chTel)).raw("-").raw(field_view(msg->m_chMsg));
    return Static_Out("Enc_Sipinfo_ExternMsgDtmf", m, out, size);
}

int Dec_Sipinfo_ExternMsg(const char* text, int length, T_MSG_STRUCT* msg)
{
    if (text == nullptr || length <= 0 || msg == nullptr) {
        std::printf("[Dec_Sipinfo_ExternMsg] : input is error\n");
        return -1;
    }
    *msg = T_MSG_STRUCT{};
    const std::string_view body = Static_Body(text, length);
    const std::size_t type_at = body.find("ptttype");
    if (type_at == std::string_view::npos) return -1;
    const std::size_t type_end = body.find(';', type_at);
    // The value begins just past "ptttype=": a ';' before that leaves no value at all.
    if (type_end == std::string_view::npos || type_at + 8 > type_end) return -1;
    if (!Static_Take(msg->m_chptttype, body.substr(type_at + 8, type_end - type_at - 8))) return -1;
    std::string_view value;
    const std::size_t result_at = body.find("result");
    if (result_at != std::string_view::npos) {
        if (!Static_KeyValue(body, result_at, 7, value) || !Static_Take(msg->m_chresult, value)) return -1;
    }
    const std::size_t reqid_at = body.find("reqid");
    if (reqid_at == std::string_view::npos) {
        std::printf("[Dec_Sipinfo_ExternMsg] : >>>>>reqid is error<<<<<<<<\n");
        return -1;
    }
    if (!Static_KeyValue(body, reqid_at, 6, value) || !Static_Take(msg->m_chreqid, value)) return -1;
    return 0;
}

int Dec_Sipinfo_ExternMsgDtmf(const char* text, int length, T_MSG_STRUCT* msg)
{
    if (text == nullptr || length <= 0 || msg == nullptr) {
        std::printf("[Dec_Sipinfo_ExternMsgDtmf] : input is error\n");
        return -1;
    }
    *msg = T_MSG_STRUCT{};
    const std::string_view body = Static_Body(text, length);
    // The first character is the form's mark ('@'), whatever it holds: the id follows it.
    const std::size_t id_end = body.find('-', 1);
    if (body.empty() || id_end == std::string_view::npos) return -1;
    const std::size_t tel_end = body.find('-', id_end + 1);
    if (tel_end == std::string_view::npos) return -1;
    if (!Static_Take(msg->m_chId, body.substr(1, id_end - 1)) ||
        !Static_Take(msg->m_chTel, body.substr(id_end + 1, tel_end - id_end - 1)) ||
        !Static_Take(msg->m_chMsg, body.substr(tel_end + 1)))
        return -1;
    return 0;
}
