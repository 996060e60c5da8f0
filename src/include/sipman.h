// sipman.h — the SIP manager: binds the lines to the SIP stack and sends every SIP message the
// gateway originates.
#pragma once
#include "define_sys.h"

// An OPTIONS from and to "Hello" towards the server, on chn or on a new channel when chn is
// below 0; the channel, or -1 when none could be had.
int SipMan_SendOption(int iSipChn, const IPV4_ADDRESS* pSwitchAddr);
