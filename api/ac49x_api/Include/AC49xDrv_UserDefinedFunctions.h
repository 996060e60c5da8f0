// AC49xDrv_UserDefinedFunctions.h — the platform's hooks into the AC49x driver: the board
// driver descriptor, the host-port base, the reset line, delays and the three lock pairs.
// On this board the delays are empty (every poll runs at the pace of the board requests) and
// so are the locks (one thread calls the driver); a threaded platform fills the locks, which
// the driver takes in the order Command, Hpi, Fifo.
#pragma once
#include "AC49xDrv_Definitions.h"

extern int g_devHandle;  // board driver descriptor, -1 until Ac49xUserDef_SetHandle
extern U32 ac49xUserDef_HpiPhysicalAddress[AC49X_NUMBER_OF_DEVICES];
extern int g_iRebootMode;  // block write mode of IO_WriteShortBlock

void Ac49xUserDef_SetHandle(int handle);
void Ac49xUserDef_InitUserDefSection();
void Ac49xUserDef_VoppReset(int device, int state);  // 1 holds the DSP in reset, 0 releases it
void Ac49xUserDef_DelayForDeviceResponse();
void Ac49xUserDef_DelayForHostResponse();
void Ac49xUserDef_CriticalSection_EnterCommand(int device);
void Ac49xUserDef_CriticalSection_LeaveCommand(int device);
void Ac49xUserDef_CriticalSection_EnterHpi(int device);
void Ac49xUserDef_CriticalSection_LeaveHpi(int device);
void Ac49xUserDef_CriticalSection_EnterFifo(int device, int medium);
void Ac49xUserDef_CriticalSection_LeaveFifo(int device, int medium);
int Ac49xUserDef_RaffleAndTrashPacketBits(int value);
int Ac49xUserDef_GetGpio0();
void Ac49xUserDef_SetChipConfig(int mode);

// 16-bit host-port moves: the value's two bytes are swapped on the way, so a host buffer in
// DSP memory order reaches the DSP with its first byte as the word's high byte.
int IO_WriteShort(U32 address, U16 value, int device);
U16 IO_ReadShort(U32 address, int device);
int IO_WriteByte(U32 address, U8 value, int device);
U8 IO_ReadByte(U32 address, int device);
U32 IO_ReadLong(U32 address, int device);
int IO_WriteLong(U32 address, U32 value, int device);
int IO_WriteShortBlock(U32 address, U16* buffer, int device, int wordCount);
int IO_ReadShortBlock(U32 address, U16* buffer, int device, int wordCount);
