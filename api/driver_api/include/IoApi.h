// IoApi.h — the board IO requests of the board driver: LEDs, buzzer, PTT outputs, COR and
// power inputs, IP jumpers, reset input, UART routing and lock, GPIO, radio channel, reboot
// reason, driver and CPLD versions. One function per request; every record is cleared before
// it is filled, so the board never sees a stale field and a failed read never looks like data.
#pragma once
#include <sys/ioctl.h>

#include <cstddef>
#include <cstdint>

#include "MyApi.h"

// The 216-byte record as the 32-bit ARM board's driver reads it (little-endian words).
// Each request uses only its own fields; the reserved words are the driver's own.
struct IO_MSG_T {
    std::int32_t m_iReserved0[3];
    std::int32_t m_iLedValue;           // 12: 1 light, 0 dark
    std::int32_t m_iReserved16;
    std::int32_t m_iLedIndex;           // 20: run LED 0 / status LED line + 1; COR LED line + 1
    std::int32_t m_iPttValue;           // 24: per-line PTT, 1 keyed
    std::int32_t m_iPttChn;             // 28: line + 1
    std::int32_t m_iPtt2WValue;         // 32: the two-line mode's PTT requests
    std::int32_t m_iBuzzer;             // 36
    std::int32_t m_iReserved40;
    char m_chDriverVersion[64];         // 44: returned by the driver
    std::int32_t m_iUartRoute;          // 108: four-wire channel on the shared UART
    std::int32_t m_iReserved112;
    std::int32_t m_iResetInput;         // 116: returned, 0 while the input is held
    std::int32_t m_iCpldVersion;        // 120: returned
    std::int32_t m_iIpSelect;           // 124: in and out
    std::int32_t m_iGpioChip;           // 128
    std::int32_t m_iGpioPin;            // 132
    std::int32_t m_iGpioValue;          // 136: also returned
    std::int32_t m_iCorWord;            // 140: returned, one bit per line
    std::int32_t m_iLock;               // 144: four-wire register access
    std::int32_t m_iRadioChn;           // 148
    std::int32_t m_iRadioNum;           // 152
    std::int32_t m_iCorLevelChn;        // 156: line + 1
    std::int32_t m_iCorLevel;           // 160: COR read level
    std::int32_t m_iProbeChn;           // 164: line + 1
    std::int32_t m_iProbeCor;           // 168: returned COR state
    std::int32_t m_iProbeLevel;         // 172
    std::uint32_t m_uReasonBuffer;      // 176: caller's buffer (HostBuffer.h)
    std::int32_t m_iReasonLength;       // 180
    std::int32_t m_iDevType;            // 184: board variant, g_eDevType
    std::int32_t m_iPowerWord;          // 188: returned, one bit per line
    std::int32_t m_iPttWord;            // 192
    std::int32_t m_iChnCs;              // 196: channel chip select
    std::int32_t m_iInput[4];           // 200: IP jumper bits 0-3 / four-wire status inputs 1-4
};
static_assert(sizeof(IO_MSG_T) == 216);
static_assert(offsetof(IO_MSG_T, m_iLedValue) == 12);
static_assert(offsetof(IO_MSG_T, m_iLedIndex) == 20);
static_assert(offsetof(IO_MSG_T, m_iPttValue) == 24);
static_assert(offsetof(IO_MSG_T, m_iPttChn) == 28);
static_assert(offsetof(IO_MSG_T, m_iPtt2WValue) == 32);
static_assert(offsetof(IO_MSG_T, m_iBuzzer) == 36);
static_assert(offsetof(IO_MSG_T, m_chDriverVersion) == 44);
static_assert(offsetof(IO_MSG_T, m_iUartRoute) == 108);
static_assert(offsetof(IO_MSG_T, m_iResetInput) == 116);
static_assert(offsetof(IO_MSG_T, m_iCpldVersion) == 120);
static_assert(offsetof(IO_MSG_T, m_iIpSelect) == 124);
static_assert(offsetof(IO_MSG_T, m_iGpioChip) == 128);
static_assert(offsetof(IO_MSG_T, m_iGpioPin) == 132);
static_assert(offsetof(IO_MSG_T, m_iGpioValue) == 136);
static_assert(offsetof(IO_MSG_T, m_iCorWord) == 140);
static_assert(offsetof(IO_MSG_T, m_iLock) == 144);
static_assert(offsetof(IO_MSG_T, m_iRadioChn) == 148);
static_assert(offsetof(IO_MSG_T, m_iRadioNum) == 152);
static_assert(offsetof(IO_MSG_T, m_iCorLevelChn) == 156);
static_assert(offsetof(IO_MSG_T, m_iCorLevel) == 160);
static_assert(offsetof(IO_MSG_T, m_iProbeChn) == 164);
static_assert(offsetof(IO_MSG_T, m_iProbeCor) == 168);
static_assert(offsetof(IO_MSG_T, m_iProbeLevel) == 172);
static_assert(offsetof(IO_MSG_T, m_uReasonBuffer) == 176);
static_assert(offsetof(IO_MSG_T, m_iReasonLength) == 180);
static_assert(offsetof(IO_MSG_T, m_iDevType) == 184);
static_assert(offsetof(IO_MSG_T, m_iPowerWord) == 188);
static_assert(offsetof(IO_MSG_T, m_iPttWord) == 192);
static_assert(offsetof(IO_MSG_T, m_iChnCs) == 196);
static_assert(offsetof(IO_MSG_T, m_iInput) == 200);

// Request numbers of the board IO family (two requests share 0x80, 0xB0 and 0xD1).
enum IO_REQUEST_E : unsigned {
    E_IO_ERROR_LED = 0x00,
    E_IO_REBOOT_REASON = 0x01,
    E_IO_CHN_FOUR = 0x02,
    E_IO_BUZZER = 0x10,
    E_IO_COR_LED = 0x11,
    E_IO_PTT1_2W = 0x20,
    E_IO_PTT = 0x21,
    E_IO_PTT2_2W = 0x30,
    E_IO_LOCK = 0x31,
    E_IO_COR1_LED = 0x40,
    E_IO_COR_LEVEL = 0x41,
    E_IO_COR2_LED = 0x50,
    E_IO_COR_PROBE = 0x51,
    E_IO_UART_ROUTE = 0x60,
    E_IO_RADIO_CHN = 0x61,
    E_IO_LINE4_RESET = 0x70,
    E_IO_GPIO_INIT = 0x71,
    E_IO_RUN_LED = 0x80,
    E_IO_GPIO_WRITE = 0x81,
    E_IO_RESET_INPUT = 0x90,
    E_IO_GPIO_READ = 0x91,
    E_IO_CPLD_VERSION = 0xA0,
    E_IO_POWER = 0xA1,
    E_IO_IP_JUMPERS = 0xB0,
    E_IO_PTT_WORD = 0xB1,
    E_IO_COR_WORD = 0xC0,
    E_IO_CHN_CS = 0xC1,
    E_IO_CHN_ONE = 0xD1,
    E_IO_GPIO_SET = 0xE0,
    E_IO_CHN_TWO = 0xE1,
    E_IO_DRIVER_VERSION = 0xF0,
    E_IO_CHN_THREE = 0xF1,
};
inline constexpr unsigned long kIoRequestBase = 0xC0D84D00;
static_assert(_IOWR('M', 0, IO_MSG_T) == kIoRequestBase);
constexpr unsigned long IoRequestCode(unsigned nr) { return kIoRequestBase + nr; }

extern int g_eDevType;  // board variant written into most requests: 1 two-line mode, else 0

// Stores the board variant (once, at start-up).
void IO_SetDevType(int variant);

// Output requests return the request's result: 0 done, negative failed (a negative
// descriptor always fails). Input requests return the value the board reported, or -1 when
// the request failed, so a failed read is never taken for an input (the board's inputs,
// versions and GPIO values are never negative).
int IO_ErrorLedSet(DEVICE_HANDLER fd, int value);
int IO_BuzzerSpeak(DEVICE_HANDLER fd, int value);
int IO_CORLedSet(DEVICE_HANDLER fd, int value, int line);
int IO_COR1LedSet(DEVICE_HANDLER fd, int value);
int IO_COR2LedSet(DEVICE_HANDLER fd, int value);
int IO_RuningLed(DEVICE_HANDLER fd, int value, int index);
int IO_RuningLed4Status(DEVICE_HANDLER fd, int value);
int IO_PTT1ArmSet(DEVICE_HANDLER fd, int value);
int IO_PTT2ArmSet(DEVICE_HANDLER fd, int value);
int IO_PTTArmSet(DEVICE_HANDLER fd, int value, int line);
int IO_WritePttValue(DEVICE_HANDLER fd, int value);
int IO_LockSingle(DEVICE_HANDLER fd, int value);
int IO_UART2Change(DEVICE_HANDLER fd, int channel);
int IO_SetRadioChn(DEVICE_HANDLER fd, int radio, int channel);
int IO_Line4Reset(DEVICE_HANDLER fd);
int IO_GpioInit(DEVICE_HANDLER fd);
int IO_PIN_CHN_CS_Set(DEVICE_HANDLER fd, int value);
int IO_SetGpioValue(DEVICE_HANDLER fd, int pin, int value);
// The COR read level of channel chn (line + 1); only board variant 0 has the request.
// Either way the board gets 200 ms to settle before the call returns.
int IO_SetCor(DEVICE_HANDLER fd, int chn, int level);

int IO_ReadCorInfo(DEVICE_HANDLER fd);           // COR input word, one bit per line
int IO_GetPower(DEVICE_HANDLER fd);              // power input word, one bit per line
int IO_GetWatchDogStatus(DEVICE_HANDLER fd);     // reset input, 0 while held
int IO_GetCPLDVersion(DEVICE_HANDLER fd);
int IO_Get4IPVaule(DEVICE_HANDLER fd);           // IP jumper value 0..15
int IO_GetIP(DEVICE_HANDLER fd);
int IO_GetIPValue(DEVICE_HANDLER fd);
int IO_GetChnOneValue(DEVICE_HANDLER fd);        // four-wire status inputs of lines 1..4
int IO_GetChnTwoValue(DEVICE_HANDLER fd);
int IO_GetChnThreeValue(DEVICE_HANDLER fd);
int IO_GetChnFourValue(DEVICE_HANDLER fd);
int IO_WriteGpio_date(DEVICE_HANDLER fd, int chip, int pin, int value);  // the value written back
int IO_ReadGpio_date(DEVICE_HANDLER fd, int chip, int pin);

// COR probe of a line: the COR state with probe level 1, then with 0, 200 ms after each.
// -1 when the two states differ, 0 when equal, -2 when a request failed.
int IO_CheckCorOnAir(DEVICE_HANDLER fd, int line);
// The same probe without its printed lines, then the COR read level whatever the variant.
int IO_CheckCorOnAir_Old(DEVICE_HANDLER fd, int line, int level);

// The reboot reason text into buffer (length bytes, always terminated; empty when the request
// failed). The request's result; -1 for a NULL buffer or a length below 1.
int IO_GetRebootReason(DEVICE_HANDLER fd, char* buffer, int length);
// The driver's version text into buffer (always terminated, never more than the record's
// 64-byte field). A length below 64 puts "Len is too short\n" (cut to the buffer) there instead
// and makes no request: -1. Else the request's result; the text is empty when it failed.
int IO_GetDriverVersion(DEVICE_HANDLER fd, char* buffer, int length);
