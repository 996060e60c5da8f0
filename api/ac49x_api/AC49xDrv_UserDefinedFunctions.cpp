#include "AC49xDrv_UserDefinedFunctions.h"

#include "DspApi.h"

int g_devHandle = -1;
U32 ac49xUserDef_HpiPhysicalAddress[AC49X_NUMBER_OF_DEVICES] = {};
int g_iRebootMode = 0;

void Ac49xUserDef_SetHandle(int handle) { g_devHandle = handle; }

void Ac49xUserDef_InitUserDefSection()
{
    for (U32& base : ac49xUserDef_HpiPhysicalAddress) base = AC49X_HPI_BASE_ADDRESS;
}

void Ac49xUserDef_VoppReset(int device, int state) { ApiVoiceDspResetOnOff(g_devHandle, device, state); }

void Ac49xUserDef_DelayForDeviceResponse() {}
void Ac49xUserDef_DelayForHostResponse() {}
void Ac49xUserDef_CriticalSection_EnterCommand(int) {}
void Ac49xUserDef_CriticalSection_LeaveCommand(int) {}
void Ac49xUserDef_CriticalSection_EnterHpi(int) {}
void Ac49xUserDef_CriticalSection_LeaveHpi(int) {}
void Ac49xUserDef_CriticalSection_EnterFifo(int, int) {}
void Ac49xUserDef_CriticalSection_LeaveFifo(int, int) {}
int Ac49xUserDef_RaffleAndTrashPacketBits(int value) { return value; }
int Ac49xUserDef_GetGpio0() { return 0; }
void Ac49xUserDef_SetChipConfig(int mode) { g_iRebootMode = mode; }

namespace {
U16 Static_Swap(U16 v) { return static_cast<U16>((v >> 8) | (v << 8)); }
}  // namespace

int IO_WriteShort(U32 address, U16 value, int device)
{
    return ApiVoiceDspShortWrite(g_devHandle, address, Static_Swap(value), device);
}

U16 IO_ReadShort(U32 address, int device)
{
    return Static_Swap(static_cast<U16>(ApiVoiceDspShortRead(g_devHandle, address, device)));
}

int IO_WriteByte(U32 address, U8 value, int device)
{
    return ApiVoiceDspByteWrite(g_devHandle, address, value, device);
}

U8 IO_ReadByte(U32 address, int device)
{
    return static_cast<U8>(ApiVoiceDspByteRead(g_devHandle, address, device));
}

U32 IO_ReadLong(U32 address, int device)
{
    return static_cast<U32>(ApiVoiceDspLongRead(g_devHandle, address, device));
}

int IO_WriteLong(U32 address, U32 value, int device)
{
    return ApiVoiceDspShortWrite(g_devHandle, address, static_cast<U16>(value), device);
}

int IO_WriteShortBlock(U32 address, U16* buffer, int device, int wordCount)
{
    if (buffer == nullptr || wordCount < 0) return -1;
    int r = 0;
    if (g_iRebootMode == 1) {
        for (int i = 0; i < wordCount; ++i) r = IO_WriteShort(address + 2u * static_cast<U32>(i), buffer[i], device);
    } else if (g_iRebootMode == 0) {
        for (int i = 0; i < wordCount; ++i) buffer[i] = Static_Swap(buffer[i]);
        r = ApiVoiceDspShortBlockWrite(g_devHandle, address, buffer, wordCount, device);
    }
    return r;
}

int IO_ReadShortBlock(U32 address, U16* buffer, int device, int wordCount)
{
    if (buffer == nullptr || wordCount < 0) return -1;
    int r = ApiVoiceDspShortBlockRead(g_devHandle, address, buffer, wordCount, device);
    for (int i = 0; i < wordCount; ++i) buffer[i] = Static_Swap(buffer[i]);
    return r;
}
