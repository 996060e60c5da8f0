// sip_digest.h — answering a digest challenge (MD5, with or without qop=auth).
#pragma once
#include <string_view>

#include "text.h"

struct SipChallenge {          // what a 401 or 407 asked for
    int proxy = 0;             // 1: Proxy-Authenticate, answered with Proxy-Authorization
    Text<128> realm, nonce, opaque;
    int qop_auth = 0;          // the challenge offers qop "auth"
};

// Reads the first Digest challenge of a WWW-Authenticate or Proxy-Authenticate value.
// 1 read; -1 not a Digest challenge, -2 no nonce, -3 an algorithm other than MD5.
int Digest_Read_Challenge(std::string_view value, int proxy, SipChallenge& out);

// The 32 lowercase hex digits of the response; qop "auth" when cnonce is not empty.
void Digest_Response(std::string_view user, std::string_view realm, std::string_view password,
                     std::string_view method, std::string_view uri, std::string_view nonce,
                     std::string_view nc, std::string_view cnonce, char out[33]);

// The whole Authorization (or Proxy-Authorization) line with CRLF. Values are quoted, qop, nc and
// algorithm are tokens, algorithm=MD5 comes last; cnonce and nc are sent only when qop is used,
// because a plain digest reader would take a "cnonce=" for the nonce. 1 written, -1 it does not fit.
int Digest_Authorization_Line(const SipChallenge& ch, std::string_view user, std::string_view password,
                              std::string_view method, std::string_view uri, int nc, char* out, int size);
