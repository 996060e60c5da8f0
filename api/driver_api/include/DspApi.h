// DspApi.h — the DSP host-port requests of the board driver: single 8-, 16- and 32-bit
// accesses, 16-bit block moves and the DSP reset line.
// Values travel exactly as the caller passes them; the AC49x driver does any byte swapping.
#pragma once
#include <sys/ioctl.h>

#include <bit>
#include <cstddef>
#include <cstdint>

#include "MyApi.h"

// The 16-byte record as the 32-bit ARM board's driver reads it (little-endian words).
// Single access: device, value, DSP address. Block access: device, host buffer, number of
// 16-bit words, DSP address. The buffer field is 32 bits wide on the board; a 64-bit build
// puts a HostBuffer handle there instead of the pointer (HostBuffer.h).
struct DSP_ACCESS_MSG_T {
    std::int32_t m_iDevice = 0;
    union {
        std::uint32_t m_uValue = 0;  // byte at 4; 16-bit value low byte at 4, high at 5
        std::uint32_t m_uBuffer;
    };
    union {
        std::uint32_t m_uAddress = 0;
        std::uint32_t m_uCount;
    };
    std::uint32_t m_uBlockAddress = 0;
};
static_assert(std::endian::native == std::endian::little,
              "the records are filled as the little-endian board reads them");
static_assert(sizeof(DSP_ACCESS_MSG_T) == 16);
static_assert(offsetof(DSP_ACCESS_MSG_T, m_iDevice) == 0);
static_assert(offsetof(DSP_ACCESS_MSG_T, m_uValue) == 4);
static_assert(offsetof(DSP_ACCESS_MSG_T, m_uBuffer) == 4);
static_assert(offsetof(DSP_ACCESS_MSG_T, m_uAddress) == 8);
static_assert(offsetof(DSP_ACCESS_MSG_T, m_uCount) == 8);
static_assert(offsetof(DSP_ACCESS_MSG_T, m_uBlockAddress) == 12);

// Request numbers of the DSP family; the request code is the read-write ioctl code of type
// 'M' with the record's size.
enum DSP_REQUEST_E : unsigned {
    E_DSP_BYTE_WRITE = 0x03,
    E_DSP_SHORT_WRITE = 0x13,
    E_DSP_LONG_WRITE = 0x23,
    E_DSP_BYTE_READ = 0x33,
    E_DSP_SHORT_READ = 0x43,
    E_DSP_LONG_READ = 0x53,
    E_DSP_RESET = 0x63,
    E_DSP_SHORT_BLOCK_WRITE = 0x73,
    E_DSP_SHORT_BLOCK_READ = 0x83,
};
inline constexpr unsigned long kDspRequestBase = 0xC0104D00;
static_assert(_IOWR('M', 0, DSP_ACCESS_MSG_T) == kDspRequestBase);
constexpr unsigned long DspRequestCode(unsigned nr) { return kDspRequestBase + nr; }

// Writes return the request's result (0 done, negative failed); reads return the value read,
// or -1 when the request failed (a long read of 0xFFFFFFFF cannot be told from a failure).
int ApiVoiceDspByteWrite(DEVICE_HANDLER fd, std::uint32_t address, std::uint8_t value, int device);
int ApiVoiceDspByteRead(DEVICE_HANDLER fd, std::uint32_t address, int device);
int ApiVoiceDspShortWrite(DEVICE_HANDLER fd, std::uint32_t address, std::uint16_t value, int device);
int ApiVoiceDspShortRead(DEVICE_HANDLER fd, std::uint32_t address, int device);
int ApiVoiceDspLongWrite(DEVICE_HANDLER fd, std::uint32_t address, std::uint32_t value, int device);
int ApiVoiceDspLongRead(DEVICE_HANDLER fd, std::uint32_t address, int device);
// on 1 holds the DSP in reset, 0 releases it.
int ApiVoiceDspResetOnOff(DEVICE_HANDLER fd, int device, int on);
// count 16-bit words between buffer and DSP memory from address; -1 for a NULL buffer.
int ApiVoiceDspShortBlockWrite(DEVICE_HANDLER fd, std::uint32_t address, const std::uint16_t* buffer,
                               int count, int device);
int ApiVoiceDspShortBlockRead(DEVICE_HANDLER fd, std::uint32_t address, std::uint16_t* buffer,
                              int count, int device);
