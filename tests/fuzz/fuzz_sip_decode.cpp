// Any datagram, NULs and lone CRs included, decodes without a crash, a hang or undefined
// behaviour, and so do the field parsers the handlers run on what the decoder stored.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "settings.h"
#include "sip_decode.h"
#include "sip_text.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    sip_debug = 0;   // the log writer is not what is tested here
    // The decoder prints every SDP video line on the console; libFuzzer reports on stderr.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Both network modes: the first byte picks one, the rest is the datagram.
    if (size == 0) return 0;
    soft_inet_enable = data[0] & 1;
    // Exactly the bytes, with no terminator after them: a read past the given length is a
    // finding, whatever the datagram's size.
    std::vector<char> datagram(data + 1, data + size);
    SIP_MSG_T msg{};
    if (soft_inet_enable) copy_text(msg.reply_ip, "10.0.0.1");
    Sip_Decode(datagram.data(), datagram.size(), msg);

    Text<64> uri;
    Text<200> tag, callid, from_tag, to_tag;
    Text<50> user, host;
    Text<10> expires;
    int port = 0, number = 0, method = 0, priority = 0;
    DigestParams digest;
    Decode_FromTo(msg.from_line.view(), uri, tag);
    Decode_FromTo(msg.to_line.view(), uri, tag);
    Decode_Uri(uri.view(), user, host, port);
    Decode_Uri(msg.request_uri.view(), user, host, port);
    Decode_CSeq(msg.cseq_line.view(), number, method);
    Decode_Contact(msg.contact_line.view(), user);
    Decode_Contact_Expires(msg.contact_line.view(), expires);
    Decode_Expires(msg.expires_line.view(), expires);
    Decode_Priority(msg.priority_line.view(), priority);
    Decode_Authorization(msg.auth_line.view(), digest);
    Decode_Proxy_Authorization(msg.proxy_auth_line.view(), digest);
    Decode_ReferTo(msg.refer_to_line.view(), user, callid, from_tag, to_tag);
    return 0;
}
