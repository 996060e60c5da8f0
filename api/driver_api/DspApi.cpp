#include "DspApi.h"

#include "DriverRequest.h"
#include "HostBuffer.h"

namespace {
int Static_Single(DEVICE_HANDLER fd, unsigned nr, int device, std::uint32_t address,
                  std::uint32_t value, DSP_ACCESS_MSG_T& rec)
{
    rec = DSP_ACCESS_MSG_T{};
    rec.m_iDevice = device;
    rec.m_uValue = value;
    rec.m_uAddress = address;
    return DriverRequest(fd, DspRequestCode(nr), &rec);
}

int Static_Block(DEVICE_HANDLER fd, unsigned nr, int device, std::uint32_t address, void* buffer,
                 int count)
{
    if (buffer == nullptr) return -1;
    DSP_ACCESS_MSG_T rec{};
    rec.m_iDevice = device;
    rec.m_uBuffer = HostBuffer_Lend(buffer);
    if (rec.m_uBuffer == 0) return -1;
    rec.m_uCount = static_cast<std::uint32_t>(count);
    rec.m_uBlockAddress = address;
    int r = DriverRequest(fd, DspRequestCode(nr), &rec);
    HostBuffer_Return(rec.m_uBuffer);
    return r;
}

// A read's value, or -1 when the request failed.
int Static_Read(DEVICE_HANDLER fd, unsigned nr, std::uint32_t address, int device, std::uint32_t mask)
{
    DSP_ACCESS_MSG_T rec;
    if (Static_Single(fd, nr, device, address, 0, rec) < 0) return -1;
    return static_cast<int>(rec.m_uValue & mask);
}
}  // namespace

int ApiVoiceDspByteWrite(DEVICE_HANDLER fd, std::uint32_t address, std::uint8_t value, int device)
{
    DSP_ACCESS_MSG_T rec;
    return Static_Single(fd, E_DSP_BYTE_WRITE, device, address, value, rec);
}

int ApiVoiceDspByteRead(DEVICE_HANDLER fd, std::uint32_t address, int device)
{
    return Static_Read(fd, E_DSP_BYTE_READ, address, device, 0xFF);
}

int ApiVoiceDspShortWrite(DEVICE_HANDLER fd, std::uint32_t address, std::uint16_t value, int device)
{
    DSP_ACCESS_MSG_T rec;
    return Static_Single(fd, E_DSP_SHORT_WRITE, device, address, value, rec);
}

int ApiVoiceDspShortRead(DEVICE_HANDLER fd, std::uint32_t address, int device)
{
    return Static_Read(fd, E_DSP_SHORT_READ, address, device, 0xFFFF);
}

int ApiVoiceDspLongWrite(DEVICE_HANDLER fd, std::uint32_t address, std::uint32_t value, int device)
{
    DSP_ACCESS_MSG_T rec;
    return Static_Single(fd, E_DSP_LONG_WRITE, device, address, value, rec);
}

int ApiVoiceDspLongRead(DEVICE_HANDLER fd, std::uint32_t address, int device)
{
    return Static_Read(fd, E_DSP_LONG_READ, address, device, 0xFFFFFFFF);
}

int ApiVoiceDspResetOnOff(DEVICE_HANDLER fd, int device, int on)
{
    DSP_ACCESS_MSG_T rec{};
    rec.m_iDevice = device;
    rec.m_uValue = static_cast<std::uint32_t>(on);
    return DriverRequest(fd, DspRequestCode(E_DSP_RESET), &rec);
}

int ApiVoiceDspShortBlockWrite(DEVICE_HANDLER fd, std::uint32_t address, const std::uint16_t* buffer,
                               int count, int device)
{
    // The driver only reads a block being written; the lending API takes one pointer kind.
    return Static_Block(fd, E_DSP_SHORT_BLOCK_WRITE, device, address,
                        const_cast<std::uint16_t*>(buffer), count);
}

int ApiVoiceDspShortBlockRead(DEVICE_HANDLER fd, std::uint32_t address, std::uint16_t* buffer,
                              int count, int device)
{
    return Static_Block(fd, E_DSP_SHORT_BLOCK_READ, device, address, buffer, count);
}
