// broad_player.h — the broadcast player: it plays the converted upload "1.wav" (8 kHz A-law)
// on line 0's radio as many times as the broadcast request asked. It hangs up the calls of
// lines 0 to 3, waits for line 0 to be idle, opens line 0's DSP and RTP channels for PCMA, keys
// its PTT, lets 2 seconds of lead-in pass and then hands the file's audio to the DSP as RTP
// packets of 160 bytes every 20 ms. Its state is the broadcast state of http_interface.h
// (g_sBroadInfo), which the HTTP server sets to start (1) or stop (3); the open file and the
// broadcast's RTP numbering are RTP channel 0's (rtp_res.h).
//
// The line records, the RTP layer, the DSP driver and the board belong to the main loop's one
// thread, so the player steps there too (Broad_Process); it never sleeps. Nothing in radiogate
// starts it: a program that wants it calls Broad_Start, or runs _cbBroadThread in a thread the
// way the board's software was meant to.
#pragma once

inline constexpr int kBroadStepMs = 20;       // one packet time
inline constexpr int kBroadLeadInSteps = 100; // 2 s of PTT before the first packet
inline constexpr int kBroadPayload = 160;     // 20 ms of A-law
inline constexpr int kBroadPacketLen = 12 + kBroadPayload;
inline constexpr int kBroadWavHeader = 44;    // the header the conversion writes
inline constexpr unsigned char kBroadSilence = 0xD5;  // A-law silence

// Turns the player on: from then on Broad_Process steps it. Safe from any thread.
void Broad_Start();
// The thread body of the board's design: it only turns the player on (Broad_Start) and
// returns, so a thread started on it leaves every record to the main loop.
void* _cbBroadThread(void* unused);
// The main loop's millisecond hook (counter: its loop milliseconds, paced on the monotonic
// clock): one broad_play_voice every kBroadStepMs once the player is on, nothing before.
void Broad_Process(long long counter);
// One 20 ms step of the broadcast state; 0, or -1 when RTP channel 0's or line 0's record is
// missing.
int broad_play_voice();
