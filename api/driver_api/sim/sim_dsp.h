// sim_dsp.h — the simulated board's DSP as its host port shows it: 16-bit words of memory
// in the window from 0x200000 (each word's high byte is the byte at its even address) and
// the host port control word at address 0, with the reset line.
#pragma once
#include "DspApi.h"

// Memory cleared, reset released, DSP present.
void SimDsp_Clear();
// A board without DSP reads 0xFFFF everywhere and loses every write.
void SimDsp_SetPresent(bool present);
// One DSP request (the request number of DSP_REQUEST_E): 0, or -1 with errno set.
int SimDsp_Request(unsigned nr, DSP_ACCESS_MSG_T& rec);
