// The AC49x debug monitor (HCRF) and the firmware image's download information: nothing in
// the gateway calls them; they serve a developer at the bench.
#include <cstring>
#include <string_view>

#include "AC49xDrv_Api.h"
#include "AC49xDrv_UserDefinedFunctions.h"

namespace {
bool Static_Device(int device) { return device >= 0 && device < AC49X_NUMBER_OF_DEVICES; }

// One command and its expected response.
int Static_Command(int device, int code, int response)
{
    if (!Static_Device(device)) return -1;
    Ac49xHcrfSetCommandRegister(device, code);
    HcrfSendInterrupt(device);
    return HcrfWaitForResponse(device) == response ? 0 : -1;
}
}  // namespace

void Ac49xHcrfWriteRegister(int device, U32 address, U32 value)
{
    if (!Static_Device(device)) return;
    const U8 b[4] = {static_cast<U8>(value >> 24), static_cast<U8>(value >> 16), static_cast<U8>(value >> 8),
                     static_cast<U8>(value)};
    Ac49xWrite4Bytes(device, address, b);
}

U32 Ac49xHcrfReadRegister(int device, U32 address)
{
    if (!Static_Device(device)) return 0;
    U8 b[4] = {};
    Ac49xRead4Bytes(device, address, b);
    return U32{b[0]} << 24 | U32{b[1]} << 16 | U32{b[2]} << 8 | b[3];
}

void Ac49xHcrfSetCommandRegister(int device, int code)
{
    if (!Static_Device(device)) return;
    Ac49xHcrfWriteRegister(device, ac49xHcrfCommandRegisterAddress[device],
                           U32{AC49X_HCRF_COMMAND_PENDING} << 8 | static_cast<U8>(code));
}

void HcrfSendInterrupt(int device)
{
    if (!Static_Device(device)) return;
    Ac49xHcrfWriteRegister(device, ac49xHcrfStatusRegisterAddress[device], 0);
    const U8 hpc[2] = {static_cast<U8>(AC49X_HPC_HCRF_INTERRUPT >> 8), static_cast<U8>(AC49X_HPC_HCRF_INTERRUPT)};
    Ac49xWriteBlock(device, AC49X_HOST_PORT_CONTROL, hpc, 2);
}

int HcrfCommandRegisterReady(int device)
{
    if (!Static_Device(device)) return 0;
    return (Ac49xHcrfReadRegister(device, ac49xHcrfCommandRegisterAddress[device]) >> 8 & AC49X_HCRF_COMMAND_PENDING) ? 0 : 1;
}

int HcrfWaitForResponse(int device)
{
    if (!Static_Device(device)) return 0;
    for (int i = 0; i < AC49X_HCRF_POLLS; ++i) {
        const int code = static_cast<int>(Ac49xHcrfReadRegister(device, ac49xHcrfStatusRegisterAddress[device]) & 0x7FFF);
        if (code != 0) return code;
        Ac49xUserDef_DelayForDeviceResponse();
    }
    return 0;
}

int HcrfDeviceHalt(int device) { return Static_Command(device, HCRF_COMMAND__HALT, HCRF_RESPONSE__HALTED); }
int HcrfDeviceResume(int device) { return Static_Command(device, HCRF_COMMAND__RESUME, HCRF_RESPONSE__RESUMED); }

int HcrfGetCpuRegisters(int device, U8* registers192)
{
    if (registers192 == nullptr || Static_Command(device, HCRF_COMMAND__CPU_REGISTERS, HCRF_RESPONSE__CPU_REGISTERS) != 0)
        return -1;
    Ac49xReadBlock(device, AC49X_HCRF_DATA_AREA, registers192, AC49X_HCRF_REGISTERS_SIZE);
    return 0;
}

int HcrfGetDspTraceBuffer(int device, U8* trace168)
{
    if (trace168 == nullptr || Static_Command(device, HCRF_COMMAND__TRACE_BUFFER, HCRF_RESPONSE__TRACE_BUFFER) != 0)
        return -1;
    Ac49xReadBlock(device, AC49X_HCRF_DATA_AREA, trace168, AC49X_HCRF_TRACE_SIZE);
    return 0;
}

long HcrfCompareLocalMemory(int device)
{
    if (Static_Command(device, HCRF_COMMAND__COMPARE_MEMORY, HCRF_RESPONSE__MEMORY_COMPARED) != 0) return -1;
    return static_cast<long>(Ac49xHcrfReadRegister(device, AC49X_HCRF_DATA_AREA));
}

int HcrfDeviceCrash(int device)
{
    if (!Static_Device(device)) return -1;
    Ac49xHcrfSetCommandRegister(device, HCRF_COMMAND__CRASH);
    HcrfSendInterrupt(device);
    return 0;
}

int Ac49xHcrfReadMonitorInfo(int device, U8* registers192, U8* trace168)
{
    if (HcrfDeviceHalt(device) != 0) return -1;
    const int r = HcrfGetCpuRegisters(device, registers192) == 0 && HcrfGetDspTraceBuffer(device, trace168) == 0 ? 0 : -1;
    // A halted DSP carries no voice: it is resumed whatever the reads gave.
    return HcrfDeviceResume(device) == 0 ? r : -1;
}

long Ac49xHcrfCompareLocalMemory(int device)
{
    if (HcrfDeviceHalt(device) != 0) return -1;
    const long differences = HcrfCompareLocalMemory(device);
    return HcrfDeviceResume(device) == 0 ? differences : -1;
}

int Ac49xHcrfWriteMonitorInfo(int) { return 0; }

int Ac49xGetDspDownloadInfo(const U8* image, std::size_t size, char* info, std::size_t infoSize)
{
    constexpr std::size_t kInfoBytes = 35;
    if (image == nullptr || info == nullptr || size < kInfoBytes) return -1;
    auto text = [&](std::size_t from, std::size_t to) {
        std::string_view v(reinterpret_cast<const char*>(image) + from, to - from);
        return v.substr(0, v.find('\0'));
    };
    const std::string_view fields[3][3] = {
        {text(0, 2), ".", text(2, 4)}, {"AC49", text(4, 8), {}}, {text(8, kInfoBytes), "-S", {}}};
    std::size_t need = 0;
    for (const auto& f : fields)
        for (std::string_view p : f) need += p.size();
    if (need + 3 > infoSize) return -1;  // and a NUL after each field
    std::size_t at = 0;
    for (const auto& f : fields) {
        for (std::string_view p : f) {
            if (p.empty()) continue;
            std::memcpy(info + at, p.data(), p.size());
            at += p.size();
        }
        info[at++] = '\0';
    }
    return static_cast<int>(at);
}
