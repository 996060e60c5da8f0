// sim_dsp.h — the simulated board's AC49x DSP as its host port shows it: 16-bit words of memory
// in the window from 0x200000 (each word's high byte is the byte at its even address), the
// host port control word at address 0, and the reset line. Only device 0 has a DSP; every
// other device reads 0xFFFF and loses its writes, as a board without one does.
//
// The DSP runs inside the board requests, synchronously: what the host writes is acted on
// before the request returns, and whatever depends on time (tones ending, broken RTP, voice
// frames) is brought up to date on each request from the DSP's own monotonic clock, which
// "advance" can move on. There is no thread.
//
// Boot. Until it boots the DSP is plain memory (the start-up memory test writes and reads
// it). The host port control word 01 01 starts the kernel, which shows 1 (ready) in the
// second byte of the boot status register (0x5EA0). Each 00 03 hands the DSP the program
// block at 0x400: 8 header bytes (byte 0 bit 7 last block, bytes 4-5 the data length in words,
// bytes 6-7 the block's checksum: the 16-bit sum of its big-endian data words) and the data.
// The DSP writes 1 into the boot status for a good block and 2 for a bad one; after a good
// last block it runs. scripts/make_firmware.py writes images in this form.
//
// Debug monitor. Running, the host port control word 00 02 makes the DSP take the command in
// its HCRF command register (00 00 40 code): halt 1, resume 2, compare memory 4 (no
// difference), CPU registers 5 (192 bytes, byte i is i), trace buffer 6 (168 bytes, 0xFF - i)
// answer 1, 2, 6, 7 and 8 in the status register's low bytes with the data at 0x5E44; crash 8
// answers nothing.
//
// Rings. Running, the DSP lays out its four rings; the descriptor layout and the windows are
// those the driver knows, but a window cannot hold a full ring of full-size cells (48 host
// cells of up to 46 bytes in 1536 bytes, 131 network cells of up to 58 bytes in 5760), so:
//   - the host transmit ring has 32 descriptors (the last bit on the 32nd), each with its own
//     48-byte buffer from 0x2000; the network transmit ring 90 descriptors with 64-byte
//     buffers from 0x2D80. Every buffer lies inside its window, a stalled ring included.
//   - the receive rings keep 48 and 131 descriptors; the DSP places each packet whole in the
//     next free stretch of the receive window, in order, and waits while the host has not
//     released the descriptors whose buffers it would overwrite.
// The DSP takes a transmit cell as soon as its descriptor is handed over (unless stalled) and
// joins cells by the more bit.
//
// Packets. Device configuration packets (category 0) are echoed byte for byte into the host
// receive ring. Channel packets set the channel's state: open and close, RTP activate, update
// and close (payload type, frame time, broken-connection time), gains. An IBS string plays for
// its duration and then reports "tone finished" (general event 1) unless an IBS stop came
// first; an RTP-active channel that gets no network packet for its broken-connection time
// reports "broken connection" (packetizer event 15), and "established" (17) when packets come
// again. A network RTP packet for an open, RTP-active channel goes to the channel's line sink
// when its payload type is the one the decoder was set up for (counted, its samples decoded by
// that decoder, the PTT outputs noted); another payload type is counted and dropped (the
// receive 2833 payload type counts as a telephone event). Commands to a closed channel or to
// one beyond the open device packet's count, and channel packets the part would reject, are
// refused and recorded. Every RTP-active channel sends a network packet each frame time from
// its source, with its own sequence, timestamp and SSRC.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "DspApi.h"

// Memory cleared, reset released, DSP present and not booted, faults cleared.
void SimDsp_Clear();
// A board without DSP reads 0xFFFF everywhere and loses every write.
void SimDsp_SetPresent(bool present);
// One DSP request (the request number of DSP_REQUEST_E): 0, or -1 with errno set.
int SimDsp_Request(unsigned nr, DSP_ACCESS_MSG_T& rec);

// True for the control verbs the DSP answers (sim_board.h lists them).
bool SimDsp_Handles(std::string_view verb);
std::size_t SimDsp_Command(std::string_view verb, std::string_view args, char* reply, std::size_t reply_size);

// For tests and benchmarks in the same process: the 16-bit word at a board address (as the
// DSP's memory holds it, without requests being counted), and the requests answered.
std::uint16_t SimDsp_Peek(std::uint32_t address);
std::uint64_t SimDsp_Requests();
