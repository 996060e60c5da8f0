// AC49xDrv_Api.h — the AC49x driver: host-port block moves and the device control register,
// packet transport through the DSP's buffer-descriptor rings and the software FIFOs, boot and
// device set-up, and the channel configuration and runtime command builders.
// Results: 0 for success, a transport error 4113..4136 (AC49xDrv_Definitions.h), 1 for a full
// software FIFO and 3 for a packet longer than the ring; the boot returns a
// Tac49xProgramDownloadStatus and the device set-up a Tac49xSetupDeviceStatus.
#pragma once
#include <cstddef>

#include "AC49xDrv_Definitions.h"

// ---- host port ----
int Ac49xWriteBlock(int device, U32 address, const U8* buffer, int byteCount);
int Ac49xReadBlock(int device, U32 address, U8* buffer, int byteCount);
int Ac49xWrite4Bytes(int device, U32 address, const U8* buffer);
int Ac49xRead4Bytes(int device, U32 address, U8* buffer);
// 0, or 4136 when the DSP keeps the reset bit through 100 reads.
int Ac49xDeviceSetControlRegister(int device, const Tac49xDeviceControlRegisterAttr* attr);
void Ac49xHcrfSetHostControlRegisterAddresses();
void Ac49xSetDefaultDeviceControlRegisterAttr(Tac49xDeviceControlRegisterAttr* attr);
// The host's copy of a device's control register, as the DSP last showed it.
const U8* Ac49xDeviceControlRegisterCopy(int device);
void Ac49xDeviceInitHPI(int device);
// The first address of the range whose read-back differs, 0 when all match.
U32 Ac49xHpiAccessTimingTest(int device, U32 begin, U32 byteCount);
U32 Ac49xHpiAccessForXaramTimingTest(int device);
int Ac49xByteOrderingTest(int device);

extern U8 acHcrfIntEntry[8];
extern U32 ac49xHcrfCommandRegisterAddress[AC49X_NUMBER_OF_DEVICES];
extern U32 ac49xHcrfStatusRegisterAddress[AC49X_NUMBER_OF_DEVICES];

// ---- debug monitor (HCRF) ----
// Registers are 4 bytes, most significant first.
void Ac49xHcrfWriteRegister(int device, U32 address, U32 value);
U32 Ac49xHcrfReadRegister(int device, U32 address);
// Bytes 00 00 40 code into the command register.
void Ac49xHcrfSetCommandRegister(int device, int code);
// Clears the status register and interrupts the DSP through the host port control word.
void HcrfSendInterrupt(int device);
// 1 once the DSP has taken the last command (the pending bit is clear), else 0.
int HcrfCommandRegisterReady(int device);
// Polls the status register at most 100 times: the 15-bit response code, 0 when none came.
int HcrfWaitForResponse(int device);
// Each sends one command and waits for its response: 0, or -1 for none or another one.
int HcrfDeviceHalt(int device);
int HcrfDeviceResume(int device);
int HcrfGetCpuRegisters(int device, U8* registers192);
int HcrfGetDspTraceBuffer(int device, U8* trace168);
// The DSP's count of local-memory differences (the data area's first 4 bytes), or -1.
long HcrfCompareLocalMemory(int device);
// Sends the crash command; nothing answers it.
int HcrfDeviceCrash(int device);
// Halt, CPU registers, trace buffer, resume: 0, or -1 at the first step that failed (the DSP is
// resumed when it was halted).
int Ac49xHcrfReadMonitorInfo(int device, U8* registers192, U8* trace168);
// Halt, compare, resume: the count of differences, or -1.
long Ac49xHcrfCompareLocalMemory(int device);
int Ac49xHcrfWriteMonitorInfo(int device);

// ---- packet transport ----
int Ac49xTransmitPacket(Tac49xTxPacketParams* params);
int Ac49xReceivePacket(Tac49xRxPacketParams* params);
int Ac49xCheckRxPacketReady(int device, int medium);
int Ac49xReleaseRxPacket(int device, int index, int medium);
int Ac49xGetResidentCellNumber(int device, int medium);
int Ac49xEnqueueCell(int device, int medium, const U8* data, int length, int more);
void Ac49xInitFifo();
void Ac49xDeviceInitFifo(int device);
void Ac49xResetBufferDescriptors();
void Ac49xResetDeviceBufferDescriptors(int device);
void Ac49xSetDebugMode(int mode);
void Ac49xResetMaxUsage();
float Ac49xGetMaxUsage(int device, int medium);
int Ac49xTransmitCell(int device, int medium);
int Ac49xDequeueAndTransmitCell(int device, int medium);
// Hands the ring every whole queued packet it can take now, oldest first; never waits.
// The cells still queued afterwards.
int Ac49xDrainFifo(int device, int medium);
// Drains until the FIFO is empty, waiting for the DSP between tries, at most maxTries tries;
// 0 when empty.
int Ac49xFifoFlush(int device, int medium, int maxTries);
void Ac49xResetDriver();

typedef void (*Tac49xPacketRecordingCallback)(int device, U8* packet, int size, Tac49xPacketDirection direction);
struct Tac49xPacketRecording {
    void (*Initialize)();
    void (*Finalize)();
    int (*Add)(int device, U8* packet, int size, Tac49xPacketDirection direction);
    Tac49xPacketRecordingCallback Callback;
};
extern Tac49xPacketRecording _49xPacketRecording;
void Ac49xInitializePacketRecording(Tac49xPacketRecordingCallback callback);

// ---- boot and device set-up ----
int Ac49xInitDriver(int debugMode);
// The images with their sizes: a truncated image stops the download with
// PROGRAM_DOWNLOAD_STATUS__TRUNCATED_IMAGE before its incomplete block.
int Ac49xBoot(int device, const U8* programImage, std::size_t programSize, const U8* kernelImage,
              std::size_t kernelSize);
int Ac49xKernelDownLoad(int device, const U8* blocks, std::size_t size);
int Ac49xProgramDownLoad(int device, const U8* blocks, std::size_t size);
int Ac49xResetAndRelease(int device);
int Ac49xSetupDevice(int device, const Tac49xSetupDeviceAttr* attr);
int Ac49xCallProgressDeviceConfiguration(int device, const Tac49xCallProgressDeviceConfigurationAttr* attr);
int Ac49xUserDefinedTonesDeviceConfiguration(int device, const Tac49xUserDefinedTonesDeviceConfigurationAttr* attr);
int Ac49xAgcDeviceConfiguration(int device, const Tac49xAgcDeviceConfigurationAttr* attr);
int Ac49xExtendedDeviceConfiguration(int device, const Tac49xExtendedDeviceConfigurationAttr* attr);
int Ac49xOpenDeviceConfiguration(int device, const Tac49xOpenDeviceConfigurationAttr* attr);
int Ac49xOpenDeviceConfiguration_Format0(int device, const Tac49xOpenDeviceConfigurationAttr* attr);
int Ac49xOpenDeviceConfiguration_Format1(int device, const Tac49xOpenDeviceConfiguration_Format1Attr* attr);
int Ac49xCheckInitStateConfigurationEcho(int device, const U8* sentPacket, int sentSize);
void Ac49xSetDefaultSetupDeviceAttr(Tac49xSetupDeviceAttr* attr);
void Ac49xSetDefaultOpenDeviceConfigurationAttr(Tac49xOpenDeviceConfigurationAttr* attr);
void Ac49xSetDefaultOpenDeviceConfiguration_Format0Attr(Tac49xOpenDeviceConfigurationAttr* attr);
void Ac49xSetDefaultOpenDeviceConfiguration_Format1Attr(Tac49xOpenDeviceConfiguration_Format1Attr* attr);
void Ac49xSetDefaultAgcDeviceConfigurationAttr(Tac49xAgcDeviceConfigurationAttr* attr);
void Ac49xSetDefaultExtendedDeviceConfigurationAttr(Tac49xExtendedDeviceConfigurationAttr* attr);
void Ac49xSetDefaultUserDefinedTonesDeviceConfigurationAttr(Tac49xUserDefinedTonesDeviceConfigurationAttr* attr);
void Ac49xSetDefaultCallProgressDeviceConfigurationAttr(Tac49xCallProgressDeviceConfigurationAttr* attr);
// The driver's version record: three 32-byte texts ("600", "02", "10.08.2009") and room for
// more, 376 bytes in all.
inline constexpr int AC49X_DRIVER_VERSION_INFO_SIZE = 376;
void Ac49xGetDriverVersionInfo(U8* info);
// The first 35 bytes of a firmware image as NUL-separated texts in info: the version (bytes
// 0-1 "." bytes 2-3), the part ("AC49" and bytes 4-7) and the build (bytes 8-34 up to their
// first NUL, with "-S"). The bytes written, or -1 for an image shorter than 35 bytes or an
// info buffer too small (nothing is written then).
int Ac49xGetDspDownloadInfo(const U8* image, std::size_t size, char* info, std::size_t infoSize);
// Boots with the images, prints the status and a line of 1s, 2s or 3s by it; 1 for success, 0
// for a failed boot, 2 when the memory interface test failed.
int Ac49xEmifTest(int device, const U8* programImage, std::size_t programSize, const U8* kernelImage,
                  std::size_t kernelSize);
// The channels a device was opened with (0 before its open-device packet was echoed).
int Ac49xDeviceChannelCount(int device);

// ---- channel configuration and runtime commands ----
int Ac49xOpenChannelConfiguration(int device, int channel, const Tac49xOpenOrUpdateChannelConfigurationAttr* attr);
int Ac49xUpdateChannelConfiguration(int device, int channel, const Tac49xOpenOrUpdateChannelConfigurationAttr* attr);
int Ac49xMediatedChannelConfiguration(int device, int channel, const Tac49xOpenOrUpdateChannelConfigurationAttr* attr);
int Ac49xAdvancedChannelConfiguration(int device, int channel, const Tac49xAdvancedChannelConfigurationAttr* attr);
int Ac49xCloseChannelConfiguration(int device, int channel);
int Ac49xActivateRegularRtpChannelConfiguration(int device, int channel,
                                                const Tac49xActivateOrUpdateRtpChannelConfigurationAttr* attr);
int Ac49xUpdateRegularRtpChannelConfiguration(int device, int channel,
                                              const Tac49xActivateOrUpdateRtpChannelConfigurationAttr* attr);
int Ac49xActivateMediatedRtpChannelConfiguration(int device, int channel,
                                                 const Tac49xActivateOrUpdateRtpChannelConfigurationAttr* attr);
int Ac49xUpdateMediatedRtpChannelConfiguration(int device, int channel,
                                               const Tac49xActivateOrUpdateRtpChannelConfigurationAttr* attr);
int Ac49xCloseRegularRtpChannelConfiguration(int device, int channel, const Tac49xCloseRtpChannelConfigurationAttr* attr);
int Ac49xCloseMediatedRtpChannelConfiguration(int device, int channel, const Tac49xCloseRtpChannelConfigurationAttr* attr);
int Ac49xT38ChannelConfiguration(int device, int channel, const Tac49xT38ConfigurationAttr* attr);
int Ac49xSendIbsString(int device, int channel, const Tac49xIbsStringAttr* attr);
int Ac49xSendIbsStop(int device, int channel);
void Ac49xSetDefaultSetupChannelAttr(Tac49xSetupChannelAttr* attr);
void Ac49xSetDefaultChannelConfigurationAttr(Tac49xOpenOrUpdateChannelConfigurationAttr* attr, int mode);
void Ac49xSetDefaultAdvancedChannelConfigurationAttr(Tac49xAdvancedChannelConfigurationAttr* attr);
void Ac49xSetDefaultRtpChannelConfigurationAttr(Tac49xActivateOrUpdateRtpChannelConfigurationAttr* attr);
void Ac49xSetDefaultCloseRtpChannelConfigurationAttr(Tac49xCloseRtpChannelConfigurationAttr* attr);
void Ac49xSetDefaultT38ConfigurationAttr(Tac49xT38ConfigurationAttr* attr);

// ---- reading what the DSP sent ----
// The number of a received caller-ID event (its text from byte 24, byte 15 - 8 characters),
// copied into out (always terminated); its length, or -1 when the length byte names text
// the packet does not hold or out cannot take.
int Ac49xCallerIdNumber(const U8* packet, int packetSize, char* out, std::size_t outSize);
