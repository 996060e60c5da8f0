#include "sim_dsp.h"

#include <array>
#include <cerrno>
#include <cstdint>

#include "HostBuffer.h"
#include "sim_board.h"

namespace {
// The host-port window of the AC49x as the board maps it: 512 KiB from 0x200000 hold
// every address the driver and the start-up memory test use.
constexpr std::uint32_t kWindowBase = 0x200000;
constexpr std::uint32_t kWindowWords = 0x40000;
constexpr std::uint16_t kNoDsp = 0xFFFF;  // what a floating host-port bus reads

std::array<std::uint16_t, kWindowWords> g_memory{};
std::uint16_t g_hostPortControl = 0;
bool g_present = true;
bool g_inReset = false;

// The word that holds address, or NULL outside the memory the board has.
std::uint16_t* Static_Word(std::uint32_t address)
{
    address &= ~1u;
    if (address == 0) return &g_hostPortControl;
    if (address < kWindowBase || address - kWindowBase >= kWindowWords * 2) return nullptr;
    return &g_memory[(address - kWindowBase) / 2];
}

std::uint16_t Static_Read(std::uint32_t address)
{
    std::uint16_t* w = g_present ? Static_Word(address) : nullptr;
    return w ? *w : kNoDsp;
}

void Static_Write(std::uint32_t address, std::uint16_t value)
{
    if (std::uint16_t* w = g_present ? Static_Word(address) : nullptr) *w = value;
}

// A block's host buffer, or NULL (errno set) when the record does not name a usable one.
std::uint16_t* Static_Block(const DSP_ACCESS_MSG_T& rec)
{
    auto* buffer = static_cast<std::uint16_t*>(HostBuffer_Find(rec.m_uBuffer));
    if (buffer == nullptr) errno = EFAULT;
    else if (rec.m_uCount > kWindowWords) errno = EINVAL, buffer = nullptr;
    return buffer;
}
}  // namespace

void SimDsp_Clear()
{
    g_memory.fill(0);
    g_hostPortControl = 0;
    g_present = true;
    g_inReset = false;
}

void SimDsp_SetPresent(bool present) { g_present = present; }

int SimDsp_Request(unsigned nr, DSP_ACCESS_MSG_T& rec)
{
    const std::uint32_t a = rec.m_uAddress;
    switch (nr) {
    case E_DSP_BYTE_WRITE: {
        std::uint16_t w = Static_Read(a);
        std::uint16_t b = rec.m_uValue & 0xFF;
        Static_Write(a, (a & 1) ? static_cast<std::uint16_t>((w & 0xFF00) | b)
                                : static_cast<std::uint16_t>((w & 0x00FF) | (b << 8)));
        return 0;
    }
    case E_DSP_BYTE_READ: {
        std::uint16_t w = Static_Read(a);
        rec.m_uValue = (a & 1) ? (w & 0xFF) : (w >> 8);
        return 0;
    }
    case E_DSP_SHORT_WRITE:
        Static_Write(a, static_cast<std::uint16_t>(rec.m_uValue));
        return 0;
    case E_DSP_SHORT_READ:
        rec.m_uValue = Static_Read(a);
        return 0;
    case E_DSP_LONG_WRITE:  // the DSP keeps the most significant half first
        Static_Write(a, static_cast<std::uint16_t>(rec.m_uValue >> 16));
        Static_Write(a + 2, static_cast<std::uint16_t>(rec.m_uValue));
        return 0;
    case E_DSP_LONG_READ:
        rec.m_uValue = (std::uint32_t{Static_Read(a)} << 16) | Static_Read(a + 2);
        return 0;
    case E_DSP_RESET:
        g_inReset = rec.m_uValue != 0;
        SimBoard_Note("dsp_reset device=%d on=%d", rec.m_iDevice, g_inReset ? 1 : 0);
        return 0;
    case E_DSP_SHORT_BLOCK_WRITE: {
        const std::uint16_t* buffer = Static_Block(rec);
        if (buffer == nullptr) return -1;
        for (std::uint32_t i = 0; i < rec.m_uCount; ++i) Static_Write(rec.m_uBlockAddress + 2 * i, buffer[i]);
        return 0;
    }
    case E_DSP_SHORT_BLOCK_READ: {
        std::uint16_t* buffer = Static_Block(rec);
        if (buffer == nullptr) return -1;
        for (std::uint32_t i = 0; i < rec.m_uCount; ++i) buffer[i] = Static_Read(rec.m_uBlockAddress + 2 * i);
        return 0;
    }
    default:
        errno = ENOTTY;
        return -1;
    }
}
