// line4.h — the four-wire audio board: one audio channel chip per line, set up over a
// serial link shared by the channels (old card, 16-bit registers, the board driver routing
// the UART) or by GPIO values (new card); its volumes and mutes; and the status frame of
// its four line status inputs, sent on the serial port once a second.
#pragma once
#include <cstddef>
#include <cstdint>

#include "MyApi.h"
#include "serial.h"

enum CHANNEL_E : int {
    E_CHANNEL_1 = 1,
    E_CHANNEL_2,
    E_CHANNEL_3,
    E_CHANNEL_4,
    E_CHANNEL_5,
    E_CHANNEL_6,
    E_CHANNEL_7,
    E_CHANNEL_8,
    E_CHANNEL_9,
};

extern SERIAL_STRUCT g_sSerialCfg;    // "/dev/ttyS3" 9600 8N1; the new card's "/dev/ttyS2" 57600
extern SERIAL_HANDLER g_hSerHandler;  // -1 until opened
extern DEVICE_HANDLER g_hDevHandler;  // the board driver, kept when the link is opened

// Start-up of the board: 0, or -1 when the link could not be opened.
int Line4_Init(DEVICE_HANDLER fd);
// 0, or -1 for a negative descriptor or (old card) a serial port that does not open.
int Line4_Open(DEVICE_HANDLER fd);
void Line4_Close();
// Nothing in the system calls it: closes, resets and reopens the link, then checks the chips.
// 0, or -1 when the link did not open or a chip failed its check.
int Line4_Reset(DEVICE_HANDLER fd);

// Old card, one register exchange with the chip of channel (1 upward): 0 / the value read,
// or -1 without a serial port or board descriptor.
int Line4_WriteRegister(int channel, int addr_high, int addr_low, int value_high, int value_low);
int Line4_ReadRegister(int channel, int addr_high, int addr_low);

// Volumes (API_VOLUME_GAIN_E levels 0..7) and mutes (flag 1 mutes) of a channel, by card; 0.
int Line4_SetSpkVolume(int channel, int level);
int Line4_SetMicVolume(int channel, int level);
int Line4_SetMuteForSpeaker(int channel, int flag);
int Line4_SetMuteForMic(int channel, int flag);

void Line4_SerialProcess();  // the 1 s status step

// The Internet checksum (RFC 1071) of the bytes as big-endian 16-bit words.
std::uint16_t PcCheckSum(const std::uint8_t* bytes, std::size_t length);
// The 10-byte status frame of the four inputs (each 0 or 1), line 1 first.
void Line4_StatusFrame(const int inputs[4], std::uint8_t frame[10]);
