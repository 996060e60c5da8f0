// sip_digest.cpp — digest answers with nettle's MD5.
#include "sip_digest.h"

#include <cstdio>
#include <nettle/md5.h>

#include "sip_text.h"

namespace {
void md5_hex(md5_ctx& ctx, char out[33])
{
    uint8_t d[MD5_DIGEST_SIZE];
    md5_digest(&ctx, sizeof d, d);
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < MD5_DIGEST_SIZE; ++i) {
        out[2 * i] = hex[d[i] >> 4];
        out[2 * i + 1] = hex[d[i] & 15];
    }
    out[32] = '\0';
}

void feed(md5_ctx& ctx, std::string_view s)
{
    md5_update(&ctx, s.size(), reinterpret_cast<const uint8_t*>(s.data()));
}

bool lower_eq(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

// Splits "name=value, name="value", ..." one parameter at a time.
bool next_param(std::string_view& rest, std::string_view& name, std::string_view& value)
{
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == ',' || rest.front() == '\t')) rest.remove_prefix(1);
    if (rest.empty()) return false;
    size_t eq = rest.find('=');
    if (eq == std::string_view::npos) return false;
    name = rest.substr(0, eq);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    rest.remove_prefix(eq + 1);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    if (!rest.empty() && rest.front() == '"') {
        size_t close = rest.find('"', 1);
        if (close == std::string_view::npos) {
            value = rest.substr(1);
            rest = {};
        } else {
            value = rest.substr(1, close - 1);
            rest.remove_prefix(close + 1);
        }
    } else {
        size_t comma = rest.find(',');
        value = rest.substr(0, comma);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma);
    }
    return true;
}
}  // namespace

int Digest_Read_Challenge(std::string_view value, int proxy, SipChallenge& out)
{
    out = {};
    out.proxy = proxy;
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (value.size() < 7 || !lower_eq(value.substr(0, 6), "digest") || (value[6] != ' ' && value[6] != '\t')) return -1;
    std::string_view rest = value.substr(7), name, v;
    bool nonce = false;
    while (next_param(rest, name, v)) {
        if (lower_eq(name, "realm")) copy_text(out.realm, v);
        else if (lower_eq(name, "nonce")) {
            copy_text(out.nonce, v);
            nonce = true;
        } else if (lower_eq(name, "opaque")) copy_text(out.opaque, v);
        else if (lower_eq(name, "algorithm")) {
            if (!lower_eq(v, "md5")) return -3;
        } else if (lower_eq(name, "qop")) {
            // qop="auth,auth-int": only auth is answered
            std::string_view opts = v;
            while (!opts.empty()) {
                size_t c = opts.find(',');
                std::string_view o = opts.substr(0, c);
                while (!o.empty() && o.front() == ' ') o.remove_prefix(1);
                while (!o.empty() && o.back() == ' ') o.remove_suffix(1);
                if (lower_eq(o, "auth")) out.qop_auth = 1;
                opts = c == std::string_view::npos ? std::string_view{} : opts.substr(c + 1);
            }
        }
    }
    return nonce ? 1 : -2;
}

void Digest_Response(std::string_view user, std::string_view realm, std::string_view password,
                     std::string_view method, std::string_view uri, std::string_view nonce,
                     std::string_view nc, std::string_view cnonce, char out[33])
{
    char ha1[33], ha2[33];
    md5_ctx c;
    md5_init(&c);
    feed(c, user); feed(c, ":"); feed(c, realm); feed(c, ":"); feed(c, password);
    md5_hex(c, ha1);
    md5_init(&c);
    feed(c, method); feed(c, ":"); feed(c, uri);
    md5_hex(c, ha2);
    md5_init(&c);
    feed(c, ha1); feed(c, ":"); feed(c, nonce); feed(c, ":");
    if (!cnonce.empty()) {
        feed(c, nc); feed(c, ":"); feed(c, cnonce); feed(c, ":auth:");
    }
    feed(c, ha2);
    md5_hex(c, out);
}

int Digest_Authorization_Line(const SipChallenge& ch, std::string_view user, std::string_view password,
                              std::string_view method, std::string_view uri, int nc, char* out, int size)
{
    char cnonce[17] = {};
    char ncs[9] = {};
    if (ch.qop_auth) {
        Sip_Random_Token(cnonce, sizeof cnonce, 16);
        std::snprintf(ncs, sizeof ncs, "%08x", static_cast<unsigned>(nc));
    }
    char resp[33];
    Digest_Response(user, ch.realm.view(), password, method, uri, ch.nonce.view(), ncs, cnonce, resp);
    Composer m(out, size);
    m.raw(ch.proxy ? "Proxy-Authorization: " : "Authorization: ");
    m.raw("Digest username=\"").raw(user).raw("\", realm=\"").raw(ch.realm.view());
    m.raw("\", nonce=\"").raw(ch.nonce.view()).raw("\", uri=\"").raw(uri);
    m.raw("\", response=\"").raw(resp).raw("\"");
    if (!ch.opaque.empty()) m.raw(", opaque=\"").raw(ch.opaque.view()).raw("\"");
    if (ch.qop_auth) m.raw(", cnonce=\"").raw(cnonce).raw("\", nc=").raw(ncs).raw(", qop=auth");
    m.raw(", algorithm=MD5\r\n");
    return m.ok() ? 1 : -1;
}
