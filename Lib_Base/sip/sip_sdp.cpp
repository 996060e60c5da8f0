// sip_sdp.cpp — description writer, and the reader on top of osip's SDP parser.
#include "sip_sdp.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/time.h>
#include <osipparser2/osip_list.h>
#include <osipparser2/osip_port.h>
// osip names its media record "struct sdp_media", the gateway its direction enumeration "sdp_media":
// osip's SDP declarations are kept in a namespace of their own (they stay C functions).
namespace osip_sdp {
struct sdp_media;
#include <osipparser2/sdp_message.h>
}
using osip_sdp::sdp_message_t;
using namespace osip_sdp;

namespace {
struct CodecRow { int codec; int payload; const char* name; };
// Static payload numbers; G.726-32 keeps its historical static number.
const CodecRow kCodecs[] = {
    {G711_A, 8, "PCMA/8000"}, {G711_U, 0, "PCMU/8000"}, {G729, 18, "G729/8000"},
    {G723, 4, "G723/8000"}, {GSM, 3, "GSM/8000"}, {G726, 2, "G726-32/8000"},
};

// Telephone events: TE101 is payload 101; a raw value 96..127 is that payload.
int event_payload(int coder)
{
    if (coder == TE101) return 101;
    if (coder >= 96 && coder <= 127) return coder;
    return -1;
}

const CodecRow* codec_row(int coder)
{
    for (const auto& r : kCodecs)
        if (r.codec == coder) return &r;
    return nullptr;
}

const char* direction_text(int media)
{
    switch (media) {
    case SENDONLY: return "a=sendonly";
    case RECVONLY: return "a=recvonly";
    case INACTIVE: return "a=inactive";
    default: return "a=sendrecv";
    }
}

// p is a prefix of s, letters compared without case.
bool lower_prefix(const char* s, const char* p)
{
    for (; *p; ++s, ++p) {
        char a = *s >= 'A' && *s <= 'Z' ? static_cast<char>(*s + 32) : *s;
        char b = *p >= 'A' && *p <= 'Z' ? static_cast<char>(*p + 32) : *p;
        if (a != b) return false;
    }
    return true;
}
}  // namespace

int Sdp_Write(const SIP_SDP& sdp, unsigned version, Composer& out)
{
    const IPV4_ADDRESS& a = sdp.fax_use == 1 ? sdp.fax.fax_addr : sdp.a_addr;
    if (sdp.fax_use != 1 && !sdp.a_use) return -2;
    const char* ip = a.ip[0] ? a.ip : "0.0.0.0";
    out.line("v=0");
    out.fmt("o=- %u %u IN IP4 %s\r\n", 20000u + version % 1000u, version, ip);
    out.line("s=-");
    out.fmt("c=IN IP4 %s\r\n", ip);
    out.line("t=0 0");
    if (sdp.fax_use == 1) {
        out.fmt("m=image %d udptl t38\r\n", a.port);
    } else {
        out.fmt("m=audio %d RTP/AVP", a.port);
        for (int c : sdp.a_coders) {
            if (const CodecRow* r = codec_row(c)) out.fmt(" %d", r->payload);
            else if (int ev = event_payload(c); ev >= 0) out.fmt(" %d", ev);
        }
        out.raw("\r\n");
        for (int c : sdp.a_coders) {
            if (const CodecRow* r = codec_row(c)) out.fmt("a=rtpmap:%d %s\r\n", r->payload, r->name);
            else if (int ev = event_payload(c); ev >= 0) out.fmt("a=rtpmap:%d telephone-event/8000\r\na=fmtp:%d 0-15\r\n", ev, ev);
        }
        if (sdp.a_ptime > 0) out.fmt("a=ptime:%d\r\n", sdp.a_ptime);
        out.line(direction_text(sdp.a_media));
        if (sdp.a_content[0] != '\0') {
            std::string_view extra(sdp.a_content, strnlen(sdp.a_content, sizeof sdp.a_content));
            out.raw(extra);
            if (extra.size() < 2 || extra.substr(extra.size() - 2) != "\r\n") out.raw("\r\n");
        }
    }
    return out.ok() ? 1 : -1;
}

int Sdp_Read(std::string_view body, SIP_SDP& out)
{
    out = {};
    if (body.empty() || body.size() > 4000) return -1;
    char text[4096];
    std::memcpy(text, body.data(), body.size());
    text[body.size()] = '\0';
    sdp_message_t* sdp = nullptr;
    if (sdp_message_init(&sdp) != 0) return -1;
    if (sdp_message_parse(sdp, text) != 0) {
        sdp_message_free(sdp);
        return -1;
    }
    const char* session_addr = sdp_message_c_addr_get(sdp, -1, 0);
    int session_dir = SENDRECV;
    for (int k = 0; char* name = sdp_message_a_att_field_get(sdp, -1, k); ++k) {
        if (!std::strcmp(name, "sendonly")) session_dir = SENDONLY;
        else if (!std::strcmp(name, "recvonly")) session_dir = RECVONLY;
        else if (!std::strcmp(name, "inactive")) session_dir = INACTIVE;
        else if (!std::strcmp(name, "sendrecv")) session_dir = SENDRECV;
    }
    for (int pos = 0; char* media = sdp_message_m_media_get(sdp, pos); ++pos) {
        const char* port_text = sdp_message_m_port_get(sdp, pos);
        int port = port_text ? std::atoi(port_text) : 0;
        const char* addr = sdp_message_c_addr_get(sdp, pos, 0);
        if (addr == nullptr) addr = session_addr;
        if (!std::strcmp(media, "audio") && !out.a_use && port > 0) {
            out.a_use = 1;
            out.a_addr.port = port;
            copy_bounded(out.a_addr.ip, sizeof out.a_addr.ip, addr ? addr : "");
            out.a_media = session_dir;
            int n = 0;
            for (int k = 0; char* pt = sdp_message_m_payload_get(sdp, pos, k); ++k) {
                int payload = std::atoi(pt);
                int coder = UNKONW;
                for (const auto& r : kCodecs)
                    if (r.payload == payload && payload < 96) coder = r.codec;
                if (payload >= 96 && payload <= 127) {
                    // dynamic payloads are known by their rtpmap names
                    for (int j = 0; char* f = sdp_message_a_att_field_get(sdp, pos, j); ++j) {
                        char* v = sdp_message_a_att_value_get(sdp, pos, j);
                        if (std::strcmp(f, "rtpmap") || v == nullptr || std::atoi(v) != payload) continue;
                        const char* enc = std::strchr(v, ' ');
                        if (enc == nullptr) continue;
                        ++enc;
                        if (lower_prefix(enc, "telephone-event")) coder = payload;
                        for (const auto& r : kCodecs)
                            if (lower_prefix(enc, r.name) || (r.codec == G726 && lower_prefix(enc, "g726-32"))) coder = r.codec;
                    }
                }
                if (coder != UNKONW && n < kSipSdpCoders) out.a_coders[n++] = coder;
            }
            Composer extra(out.a_content, sizeof out.a_content);
            for (int j = 0; char* f = sdp_message_a_att_field_get(sdp, pos, j); ++j) {
                char* v = sdp_message_a_att_value_get(sdp, pos, j);
                if (!std::strcmp(f, "sendonly")) out.a_media = SENDONLY;
                else if (!std::strcmp(f, "recvonly")) out.a_media = RECVONLY;
                else if (!std::strcmp(f, "inactive")) out.a_media = INACTIVE;
                else if (!std::strcmp(f, "sendrecv")) out.a_media = SENDRECV;
                else if (!std::strcmp(f, "ptime") && v) out.a_ptime = std::atoi(v);
                else if (std::strcmp(f, "rtpmap") && std::strcmp(f, "fmtp")) {
                    // other lines travel on to the gateway (it looks for "X-fax" here); a line
                    // that does not fit is left out whole, with those after it
                    size_t need = 2 + std::strlen(f) + (v ? 1 + std::strlen(v) : 0) + 2;
                    if (extra.size() + need >= sizeof out.a_content) break;
                    extra.raw("a=").raw(f);
                    if (v) extra.raw(":").raw(v);
                    extra.raw("\r\n");
                }
            }
        } else if (!std::strcmp(media, "video") && !out.v_use && port > 0) {
            out.v_use = 1;
            out.v_addr.port = port;
            copy_bounded(out.v_addr.ip, sizeof out.v_addr.ip, addr ? addr : "");
        } else if (!std::strcmp(media, "image") && port > 0) {
            out.fax_use = 1;
            out.fax.fax_addr.port = port;
            copy_bounded(out.fax.fax_addr.ip, sizeof out.fax.fax_addr.ip, addr ? addr : "");
        }
    }
    sdp_message_free(sdp);
    return 1;
}
