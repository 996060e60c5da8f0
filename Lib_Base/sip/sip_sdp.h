// sip_sdp.h — the gateway's SIP_SDP record to and from session descriptions.
#pragma once
#include <string_view>

#include "sip.h"
#include "sip_text.h"

// Writes the description of sdp (audio per a_coders, or a T.38 image stream when fax_use is 1).
// version is the o= line's version. 1 written, -1 it does not fit, -2 nothing to offer.
int Sdp_Write(const SIP_SDP& sdp, unsigned version, Composer& out);

// Reads a received description. A missing direction line reads as SENDRECV; an audio stream with
// port 0 is not used. 1 read, -1 the text is not a description.
int Sdp_Read(std::string_view body, SIP_SDP& out);
