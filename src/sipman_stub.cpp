// TEMPORARY, delete on merge: stands in for the SIP manager's OPTIONS sender until
// src/sipman.cpp is on main, so the gateway links with the OPTIONS supervision in it.
#include "sipman.h"

int SipMan_SendOption(int, const IPV4_ADDRESS*) { return -1; }
