// serial.h — serial ports through the terminal driver: the four-wire audio board's link and
// the ports of the serial settings table. Errors are printed on the console.
#pragma once
#include <cstddef>

typedef int SERIAL_HANDLER;  // a descriptor, -1 when closed

// Whole ints, as the settings table stores them, whatever the compiler's enum sizing.
enum SERIAL_PARITY_E : int { E_PARITY_NONE = 0, E_ODDPARITY = 1, E_EVENPARIT = 2 };
enum SERIAL_CONTROL_E : int { E_CONTROL_NONE = 0, E_HS_RTSCTS = 1, E_HS_XONXOFF = 2 };

// Port settings. While m_iChangeFlag is 0 the numbers are as configured (baud rate, data
// bits 5-8, stop bits 1-2); Serial_Init converts them in place to the terminal driver's
// constants and sets the flag, so the same record can be used again.
struct SERIAL_STRUCT {
    char m_chSerialName[64] = {};
    int m_iBaud = 0;
    int m_iDataBits = 0;
    int m_iStopBits = 0;
    SERIAL_PARITY_E m_eParity = E_PARITY_NONE;
    SERIAL_CONTROL_E m_eControl = E_CONTROL_NONE;
    int m_iChangeFlag = 0;
};
// The same record on the 32-bit board and on a 64-bit host.
static_assert(sizeof(SERIAL_STRUCT) == 88);
static_assert(offsetof(SERIAL_STRUCT, m_iBaud) == 64);
static_assert(offsetof(SERIAL_STRUCT, m_iDataBits) == 68);
static_assert(offsetof(SERIAL_STRUCT, m_iStopBits) == 72);
static_assert(offsetof(SERIAL_STRUCT, m_eParity) == 76);
static_assert(offsetof(SERIAL_STRUCT, m_eControl) == 80);
static_assert(offsetof(SERIAL_STRUCT, m_iChangeFlag) == 84);

// Opens (non-blocking, raw, 0.1 s read timeout) and configures the port named in the
// settings (a fixed board path, taken under the board root); the descriptor, or -1 with
// nothing left open and the record as it was.
SERIAL_HANDLER Serial_Init(SERIAL_STRUCT* settings);
// Flushes and closes an open port and sets the handle to -1; close's result, or the old
// handle when it was not open.
int Serial_Close(SERIAL_HANDLER* handle);
// Writes the whole buffer in up to 100 attempts, 1 ms apart: 0 when all was written,
// -1 for a negative descriptor, -2 when the port did not take everything.
int Serial_Write(SERIAL_HANDLER fd, const void* buffer, int length);
// Waits until everything written to the port has left it (tcdrain): 0, or -1 for a
// negative descriptor or a failed wait.
int Serial_Drain(SERIAL_HANDLER fd);
// Reads up to length bytes in up to 100 attempts, 1 ms apart: the number of bytes that
// arrived (length when all did, 0 when none did); -1 for a negative descriptor or a read error.
int Serial_Read(SERIAL_HANDLER fd, void* buffer, int length);
