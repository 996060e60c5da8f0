// AC49xDrv_Definitions.h — what the host and an AC49x DSP share: the host-port memory map,
// the packet and buffer-descriptor layouts, the driver's result codes, and the attribute
// records from which the command builders fill their packets.
//
// In DSP memory and in DSP packets every multi-byte value is most significant byte first and
// bit 7 is the most significant bit of a byte. The packet layouts are byte arrays, so they are
// the same on the 32-bit board and on a PC; the attribute records hold one int per packet
// field and the builders mask each value to its field's width.
#pragma once
#include <cstddef>
#include <cstdint>

typedef std::uint8_t U8;
typedef std::uint16_t U16;
typedef std::uint32_t U32;

// The driver keeps its state for four devices; the gateway boots and uses device 0 only.
inline constexpr int AC49X_NUMBER_OF_DEVICES = 4;

// ---- host-port memory map (byte addresses before the host-port base is added) ----
inline constexpr U32 AC49X_HPI_BASE_ADDRESS = 0x200000;
inline constexpr U32 AC49X_PROGRAM_BLOCK_ADDRESS = 0x0400;
inline constexpr U32 AC49X_HOST_TX_WINDOW_BEGIN = 0x2000;
inline constexpr U32 AC49X_HOST_TX_WINDOW_END = 0x2600;
inline constexpr U32 AC49X_HOST_RX_WINDOW_BEGIN = 0x2600;
inline constexpr U32 AC49X_HOST_RX_WINDOW_END = 0x2C00;
inline constexpr U32 AC49X_HOST_TX_RING = 0x2C00;
inline constexpr U32 AC49X_HOST_RX_RING = 0x2CC0;
inline constexpr int AC49X_HOST_RING_LENGTH = 48;
inline constexpr U32 AC49X_NETWORK_TX_WINDOW_BEGIN = 0x2D80;
inline constexpr U32 AC49X_NETWORK_TX_WINDOW_END = 0x4400;
inline constexpr U32 AC49X_NETWORK_RX_WINDOW_BEGIN = 0x4400;
inline constexpr U32 AC49X_NETWORK_RX_WINDOW_END = 0x5A80;
inline constexpr U32 AC49X_NETWORK_TX_RING = 0x5A80;
inline constexpr U32 AC49X_NETWORK_RX_RING = 0x5C8C;
inline constexpr int AC49X_NETWORK_RING_LENGTH = 131;
inline constexpr U32 AC49X_HCRF_COMMAND_REGISTER = 0x5E3C;
inline constexpr U32 AC49X_HCRF_STATUS_REGISTER = 0x5E40;
inline constexpr U32 AC49X_HCRF_DATA_AREA = 0x5E44;
inline constexpr U32 AC49X_DEVICE_CONTROL_REGISTER = 0x5E98;
inline constexpr U32 AC49X_BOOT_STATUS_REGISTER = 0x5EA0;
inline constexpr U32 AC49X_HCRF_INT_ENTRY = 0x10050;
inline constexpr U32 AC49X_HOST_PORT_CONTROL = 0xFFE00000;  // base + this wraps to 0

// Host port control word values (two bytes, first byte first).
inline constexpr U16 AC49X_HPC_START_KERNEL = 0x0101;
inline constexpr U16 AC49X_HPC_PROGRAM_BLOCK_READY = 0x0003;
inline constexpr U16 AC49X_HPC_RELEASE_WITHOUT_DOWNLOAD = 0x0001;
// The debug monitor: the host port control word that interrupts a running DSP to take the
// command in its HCRF command register (bytes 00 00 40 code), the command codes, and the
// 15-bit response codes it leaves in the low bytes of the HCRF status register.
inline constexpr U16 AC49X_HPC_HCRF_INTERRUPT = 0x0002;
inline constexpr U8 AC49X_HCRF_COMMAND_PENDING = 0x40;
enum Tac49xHcrfCommand : int {
    HCRF_COMMAND__HALT = 1,
    HCRF_COMMAND__RESUME = 2,
    HCRF_COMMAND__COMPARE_MEMORY = 4,
    HCRF_COMMAND__CPU_REGISTERS = 5,
    HCRF_COMMAND__TRACE_BUFFER = 6,
    HCRF_COMMAND__CRASH = 8,
};
enum Tac49xHcrfResponse : int {
    HCRF_RESPONSE__HALTED = 1,
    HCRF_RESPONSE__RESUMED = 2,
    HCRF_RESPONSE__MEMORY_COMPARED = 6,
    HCRF_RESPONSE__CPU_REGISTERS = 7,
    HCRF_RESPONSE__TRACE_BUFFER = 8,
};
inline constexpr int AC49X_HCRF_REGISTERS_SIZE = 192;
inline constexpr int AC49X_HCRF_TRACE_SIZE = 168;
inline constexpr int AC49X_HCRF_POLLS = 100;

// Firmware images: a header the download skips, then blocks.
inline constexpr std::size_t AC49X_IMAGE_HEADER_SIZE = 34;
inline constexpr std::size_t AC49X_KERNEL_BLOCK_HEADER_SIZE = 8;
inline constexpr std::size_t AC49X_PROGRAM_BLOCK_HEADER_SIZE = 8;

// Bounds of the driver's polls, in board requests.
inline constexpr int AC49X_CONTROL_REGISTER_POLLS = 100;
inline constexpr int AC49X_BOOT_STATUS_POLLS = 2000;
inline constexpr int AC49X_ECHO_POLLS = 2000;

// ---- result codes ----
enum Tac49xResult : int {
    AC49X_RESULT__OK = 0,
    AC49X_RESULT__FIFO_FULL = 1,
    AC49X_RESULT__PACKET_LONGER_THAN_RING = 3,
    AC49X_ERROR__TX_DESCRIPTOR_NOT_EMPTY = 4113,
    AC49X_ERROR__NO_PACKET = 4114,
    AC49X_ERROR__RX_NOT_READY = 4115,
    // The device's cell sizes (read back from its control register) are not usable: the
    // device is not set up, or its DSP is not there.
    AC49X_ERROR__DEVICE_NOT_SET_UP = 4116,
    AC49X_ERROR__NO_CONFIGURATION_ECHO = 4121,
    AC49X_ERROR__BAD_SYNC = 4126,
    // A received packet names a channel beyond those the device was opened with.
    AC49X_ERROR__RX_CHANNEL_OUT_OF_RANGE = 4127,
    AC49X_ERROR__RX_LENGTH = 4128,
    AC49X_ERROR__RX_INDEX = 4132,
    AC49X_ERROR__TX_INDEX = 4133,
    AC49X_ERROR__RX_WINDOW = 4134,
    AC49X_ERROR__TX_WINDOW = 4135,
    AC49X_ERROR__CONTROL_REGISTER_NOT_TAKEN = 4136,
};

// Receive limits: 6100 is what a descriptor may say at all, 3800 what the driver hands over
// (callers' buffers hold 3800 bytes). A network packet whose payload does not fit a slot of
// the media path's rings (512 bytes) is dropped.
inline constexpr int AC49X_RX_LENGTH_LIMIT = 6100;
inline constexpr int AC49X_RX_PACKET_MAX = 3800;
inline constexpr int AC49X_NETWORK_RX_PAYLOAD_MAX = 512;
inline constexpr int AC49X_RECORDING_SIZE_LIMIT = 6000;

// ---- enumerations ----
enum Tac49xControl : int { CONTROL__DISABLE = 0, CONTROL__ENABLE = 1 };

enum Tac49xProtocol : int {
    PROTOCOL__PROPRIETARY = 0, PROTOCOL__RTP = 1, PROTOCOL__RTCP = 2, PROTOCOL__FAX = 3,
    PROTOCOL__ATM_AAL2 = 4, PROTOCOL__ATM_AAL1 = 5, PROTOCOL__MEDIATED_CHANNEL_RTP = 6,
    PROTOCOL__MEDIATED_CHANNEL_RTCP = 7, PROTOCOL__CONFERENCE_1 = 8, PROTOCOL__CONFERENCE_2 = 9,
    PROTOCOL__DEBUG = 10, PROTOCOL__PLAYBACK_COMMAND = 11, PROTOCOL__PLAYBACK_VOICE = 12,
    PROTOCOL__IP_SEC = 13, PROTOCOL__CONFERENCE = 14, PROTOCOL__MEDIATED_CHANNEL_ATM_AAL1 = 15,
    PROTOCOL__MEDIATED_CHANNEL_ATM_AAL2 = 16, PROTOCOL__RECORD_COMMAND = 17,
    PROTOCOL__RECORD_TDM_PACKET = 18, PROTOCOL__RECORD_NETWORK_PACKET = 19, PROTOCOL__3GPP_IUB = 20,
    PROTOCOL__DATA_RELAY = 21, PROTOCOL__ERROR = 22,
};

enum Tac49xTransferMedium : int { TRANSFER_MEDIUM__HOST = 0, TRANSFER_MEDIUM__NETWORK = 1 };
enum Tac49xPacketDirection : int { PACKET_DIRECTION__TX = 0, PACKET_DIRECTION__RX = 1 };

enum Tac49xPacketCategory : int {
    PACKET_CATEGORY__DEVICE_CONFIGURATION_PACKET = 0,
    PACKET_CATEGORY__CHANNEL_CONFIGURATION_PACKET = 1,
    PACKET_CATEGORY__COMMAND_OR_STATUS_OR_EVENT_PACKET = 3,
};

enum Tac49xStatusOrEventPacketOpCode : int {
    STATUS_OR_EVENT_PACKET_OP_CODE__SYSTEM_ERROR_EVENT = 0,
    STATUS_OR_EVENT_PACKET_OP_CODE__GENERAL_EVENT = 1,
    STATUS_OR_EVENT_PACKET_OP_CODE__IBS_EVENT = 2,
    STATUS_OR_EVENT_PACKET_OP_CODE__CAS_EVENT = 3,
    STATUS_OR_EVENT_PACKET_OP_CODE__HDLC_FRAMER_STATUS = 4,
    STATUS_OR_EVENT_PACKET_OP_CODE__FAX_RELAY_STATUS = 5,
    STATUS_OR_EVENT_PACKET_OP_CODE__JITTER_BUFFER_STATUS = 6,
    STATUS_OR_EVENT_PACKET_OP_CODE__CALLER_ID = 7,
    STATUS_OR_EVENT_PACKET_OP_CODE__PACKETIZER_STATUS_OR_EVENT = 8,
    STATUS_OR_EVENT_PACKET_OP_CODE__DEVICE_STATUS = 10,
    STATUS_OR_EVENT_PACKET_OP_CODE__DEBUG_INFORMATION_STATUS = 11,
    STATUS_OR_EVENT_PACKET_OP_CODE__FAX_OR_DATA_SIGNAL_EVENT = 12,
    STATUS_OR_EVENT_PACKET_OP_CODE__SS7_MTP1 = 13,
    STATUS_OR_EVENT_PACKET_OP_CODE__UTOPIA_TEST_ERROR_EVENT = 14,
    STATUS_OR_EVENT_PACKET_OP_CODE__TRUNK_TESTING_MEASUREMENT_EVENT = 15,
    STATUS_OR_EVENT_PACKET_OP_CODE__BER_TEST_REPORT_EVENT = 16,
    STATUS_OR_EVENT_PACKET_OP_CODE__UTOPIA_STATUS = 17,
    STATUS_OR_EVENT_PACKET_OP_CODE__TANDEM_FREE_OPERATION_STATUS_AND_MESSAGES = 18,
    STATUS_OR_EVENT_PACKET_OP_CODE__MODULE_STATUS = 19,
    STATUS_OR_EVENT_PACKET_OP_CODE__DUA_FRAMER = 20,
    STATUS_OR_EVENT_PACKET_OP_CODE__VIDEO_AUDIO_SYNC = 21,
    STATUS_OR_EVENT_PACKET_OP_CODE__4_WAY_CONFERENCE_STATUS = 22,
    STATUS_OR_EVENT_PACKET_OP_CODE__4_WAY_CONFERENCE_DETAILS = 23,
    STATUS_OR_EVENT_PACKET_OP_CODE__PROTECTION_TEST_RESPONSE = 28,
    STATUS_OR_EVENT_PACKET_OP_CODE__RANDOM_NUMBER_RESPONSE = 29,
    STATUS_OR_EVENT_PACKET_OP_CODE__MODULE_DEBUG_PACKET = 30,
    STATUS_OR_EVENT_PACKET_OP_CODE__MODEM_RELAY = 31,
    STATUS_OR_EVENT_PACKET_OP_CODE__ERROR = 32,
};

enum Tac49xProgramDownloadStatus : int {
    PROGRAM_DOWNLOAD_STATUS__BOOT_STATUS_REGISTER_NOT_READY = 0,
    PROGRAM_DOWNLOAD_STATUS__BOOT_STATUS_REGISTER_SUCCESS = 1,
    PROGRAM_DOWNLOAD_STATUS__BOOT_STATUS_REGISTER_FAIL_CHECKSUM = 2,
    PROGRAM_DOWNLOAD_STATUS__EMIF_TEST_FAILED = 3,
    // An image that ends inside a block: nothing more is written and the DSP is not started.
    PROGRAM_DOWNLOAD_STATUS__TRUNCATED_IMAGE = 4,
    PROGRAM_DOWNLOAD_STATUS__NULL_BOOT_BLOCK = 65536,
};

enum Tac49xSetupDeviceStatus : int {
    SETUP_DEVICE_STATUS__SUCCESS = 0,
    SETUP_DEVICE_STATUS__FAILED__DUE_TO_SET_DEVICE_CONTROL_REGISTER = 1,
    SETUP_DEVICE_STATUS__FAILED__DUE_TO_UTOPIA_ROUTING_CONFIGURATION = 2,
    SETUP_DEVICE_STATUS__FAILED__DUE_TO_CALL_PROGRESS_CONFIGURATION = 3,
    SETUP_DEVICE_STATUS__FAILED__DUE_TO_USER_DEFINED_TONES_CONFIGURATION = 4,
    SETUP_DEVICE_STATUS__FAILED__DUE_TO_AGC_CONFIGURATION = 5,
    SETUP_DEVICE_STATUS__FAILED__DUE_TO_EXTENDED_CONFIGURATION = 6,
    SETUP_DEVICE_STATUS__FAILED__DUE_TO_OPEN_CONFIGURATION = 7,
};

enum Tac49xFormat : int { FORMAT__0 = 0, FORMAT__1 = 1, FORMAT__2 = 2, FORMAT__3 = 3, FORMAT__4 = 4, FORMAT__5 = 5 };

enum Tac49xCallProgressSignalType : int {
    CALL_PROGRESS_SIGNAL_TYPE__CONTINUOUS = 0,
    CALL_PROGRESS_SIGNAL_TYPE__CADENCE = 1,
    CALL_PROGRESS_SIGNAL_TYPE__BURST = 2,
    CALL_PROGRESS_SIGNAL_TYPE__SPECIAL_INFORMATION_TONE = 3,
};

enum Tac49xSerialPortSelection : int {
    SERIAL_PORT_SELECTION__VOICE_0_CAS_1 = 0,
    SERIAL_PORT_SELECTION__VOICE_1_CAS_0 = 1,
    SERIAL_PORT_SELECTION__VOICE_0_CAS_0 = 2,
    SERIAL_PORT_SELECTION__VOICE_1_CAS_1 = 3,
};

enum Tac49xIbsStringGeneratorRedirection : int {
    IBS_STRING_GENERATOR_REDIRECTION__INTO_DECODER_OUTPUT = 0,
    IBS_STRING_GENERATOR_REDIRECTION__INTO_NETWORK = 1,
    IBS_STRING_GENERATOR_REDIRECTION__INTO_ENCODER_INPUT = 2,
    IBS_STRING_GENERATOR_REDIRECTION__INTO_DECODER_OUTPUT_AND_TO_NETWORK_CONCURRENTLY = 3,
    IBS_STRING_GENERATOR_REDIRECTION__INTO_DECODER_OUTPUT_AND_TO_ENCODER_INPUT_CONCURRENTLY = 4,
};

enum Tac49xIbsSystemCode : int {
    IBS_SYSTEM_CODE__NONE = 0, IBS_SYSTEM_CODE__DTMF = 1, IBS_SYSTEM_CODE__SILENCE = 2,
    IBS_SYSTEM_CODE__MF_R1_OR_SS5 = 3, IBS_SYSTEM_CODE__MF_R2_FORWARD = 4,
    IBS_SYSTEM_CODE__MF_R2_BACKWARD = 5, IBS_SYSTEM_CODE__CALL_PROGRESS_0_TO_15 = 6,
    IBS_SYSTEM_CODE__CALL_PROGRESS_16_TO_31 = 7,
};

enum Tac49xIbsTransferMode : int {
    IBS_TRANSFER_MODE__RELAY_DISABLE_VOICE_MUTE = 0,
    IBS_TRANSFER_MODE__RELAY_ENABLE_VOICE_DISABLE = 1,
    IBS_TRANSFER_MODE__TRANSPARENT_THROUGH_VOICE = 2,
};

enum Tac49xCoder : int { CODER__G711MULAW = 2, CODER__G711ALAW = 3, CODER__G723LOW = 5, CODER__G729 = 12 };
enum Tac49xVoiceGain : int { VOICE_GAIN__MUTE = 0, VOICE_GAIN__0_DB = 32 };
enum Tac49xEchoCancelerMode : int {
    ECHO_CANCELER_MODE__DISABLE = 0, ECHO_CANCELER_MODE__ENABLE = 1,
    ECHO_CANCELER_MODE__FREEZE = 2, ECHO_CANCELER_MODE__CLEAR = 3,
};
enum Tac49xSilenceCompressionMode : int {
    SILENCE_COMPRESSION_MODE__DISABLE = 0,
    SILENCE_COMPRESSION_MODE__ENABLE_NOISE_ADAPTATION_ENABLE = 1,
    SILENCE_COMPRESSION_MODE__ENABLE_NOISE_ADAPTATION_DISABLE = 2,
};
enum Tac49xPcmAdpcmFrameDuration : int {
    PCM_ADPCM_FRAME_DURATION__10_MSEC = 80,
    PCM_ADPCM_FRAME_DURATION__20_MSEC = 160,
    PCM_ADPCM_FRAME_DURATION__30_MSEC = 240,
};

// ---- packet layouts ----
inline constexpr int AC49X_HPI_PACKET_SIZE = 3016;
inline constexpr int AC49X_HPI_HEADER_SIZE = 4;
inline constexpr int AC49X_PROPRIETARY_HEADER_END = 6;  // HPI header + proprietary header
inline constexpr U8 AC49X_SYNC5 = 5;

// A DSP packet: the 4-byte HPI header (sync 5 in bits 7-5 and UDP checksum flag in bit 4 of
// byte 0, channel in byte 1, favourite stream in bit 7 of byte 2, protocol in bits 5-0 of
// byte 3) and the payload; a proprietary payload starts with format (byte 4 bits 7-4), opcode
// (byte 5 bits 7-2) and packet category (byte 5 bits 1-0).
struct Tac49xHpiPacket {
    U8 HpiHeader[AC49X_HPI_HEADER_SIZE];
    U8 Payload[AC49X_HPI_PACKET_SIZE - AC49X_HPI_HEADER_SIZE];
};
static_assert(sizeof(Tac49xHpiPacket) == 3016);
static_assert(offsetof(Tac49xHpiPacket, Payload) == 4);

// The start of every status or event packet from the DSP.
struct Tac49xStatusOrEventHeader {
    U8 HpiHeader[4];
    U8 ProprietaryHeader[2];
    U8 TimeStamp_MswMsb, TimeStamp_MswLsb, TimeStamp_LswMsb, TimeStamp_LswLsb;
    U8 Reserved;
    U8 StatusOrEventIndex;  // ErrorMessageIndex of a system error event
};
static_assert(sizeof(Tac49xStatusOrEventHeader) == 12);
static_assert(offsetof(Tac49xStatusOrEventHeader, TimeStamp_MswMsb) == 6);
static_assert(offsetof(Tac49xStatusOrEventHeader, StatusOrEventIndex) == 11);

// A buffer descriptor as it lies in a ring: flags and 13-bit length, then the buffer's
// address in 16-bit words.
struct Tac49xBufferDescriptor {
    U8 FlagsAndLengthMsb;  // bit 7 empty, bit 6 last, bit 5 more, bits 4-0 length bits 12-8
    U8 LengthLsb;
    U8 AddressMsb, AddressLsb;
};
static_assert(sizeof(Tac49xBufferDescriptor) == 4);
static_assert(offsetof(Tac49xBufferDescriptor, AddressMsb) == 2);
inline constexpr U8 AC49X_BD_EMPTY = 0x80;
inline constexpr U8 AC49X_BD_LAST = 0x40;
inline constexpr U8 AC49X_BD_MORE = 0x20;

// Software FIFO cells: a more flag, the length (low byte first) and the cell's data.
inline constexpr int AC49X_FIFO_CELLS = 1024;
inline constexpr int AC49X_HOST_CELL_DATA = 46;
inline constexpr int AC49X_NETWORK_CELL_DATA = 58;
struct Tac49xHostFifoCell {
    std::int32_t More;
    U8 Length[2];
    U8 Data[AC49X_HOST_CELL_DATA];
};
struct Tac49xNetworkFifoCell {
    std::int32_t More;
    U8 Length[2];
    U8 Data[AC49X_NETWORK_CELL_DATA];
};
static_assert(sizeof(Tac49xHostFifoCell) == 52 && offsetof(Tac49xHostFifoCell, Data) == 6);
static_assert(sizeof(Tac49xNetworkFifoCell) == 64 && offsetof(Tac49xNetworkFifoCell, Data) == 6);

template <class Cell>
struct Tac49xFifo {
    U16 WriteIndex;
    U16 ReadIndex;
    U16 ResidentCells;
    U16 MaxUsage;
    Cell Cells[AC49X_FIFO_CELLS];
};
static_assert(sizeof(Tac49xFifo<Tac49xHostFifoCell>) == 8 + 1024 * 52);
static_assert(sizeof(Tac49xFifo<Tac49xNetworkFifoCell>) == 8 + 1024 * 64);
static_assert(offsetof(Tac49xFifo<Tac49xHostFifoCell>, Cells) == 8);

// ---- call records ----
struct Tac49xTxPacketParams {
    int Device;
    int Channel;
    Tac49xProtocol Protocol;
    Tac49xTransferMedium TransferMedium;
    U8* pOutPacket;  // the packet, header included
    int PacketSize;  // bytes, header included
    Tac49xControl UdpChecksumIncluded;
    Tac49xControl FavoriteStream;
    int BufferDescriptorCurrentIndex;  // out: the ring index when the send fails
};

struct Tac49xRxPacketParams {
    int Device;
    Tac49xTransferMedium TransferMedium;
    int Channel;                       // out, -1 when no packet
    Tac49xProtocol Protocol;           // out
    int BufferDescriptorCurrentIndex;  // out
    U8* pInPacket;                     // the caller's buffer, AC49X_RX_PACKET_MAX bytes
    int PacketSize;                    // out
    int PayloadSize;                   // out: PacketSize - 4
    U32 PacketAddress;                 // out: the buffer's byte address in DSP memory
};

#if UINTPTR_MAX == 0xFFFFFFFFu  // the 32-bit board
static_assert(sizeof(Tac49xTxPacketParams) == 36);
static_assert(offsetof(Tac49xTxPacketParams, pOutPacket) == 16);
static_assert(offsetof(Tac49xTxPacketParams, BufferDescriptorCurrentIndex) == 32);
static_assert(sizeof(Tac49xRxPacketParams) == 36);
static_assert(offsetof(Tac49xRxPacketParams, pInPacket) == 20);
static_assert(offsetof(Tac49xRxPacketParams, PacketAddress) == 32);
#endif

// ---- device attributes ----
struct Tac49xDeviceControlRegisterAttr {
    U8 NetworkCellSize;
    U8 HostCellSize;
    Tac49xControl Reset;
    Tac49xControl HostDebug;
    Tac49xControl NetworkDebug;
};

inline constexpr int AC49X_CALL_PROGRESS_SIGNALS = 32;
struct Tac49xCallProgressSignalAttr {
    int Type;
    int ToneAFrequency;
    int TwistThreshold;
    int ToneB_OrAmpModulationFrequency;
    int ThirdToneOfTripleBatchDurationTypeFrequency;
    int HighEnergyThreshold;
    int LowEnergyThreshold;
    int SignalToNoiseRatioThreshold;
    int FrequencyDeviationThreshold;
    int ToneBLevel;
    int ToneALevel;
    int AmFactor;
    int DetectionTimeOrCadenceFirstOnOrBurstDuration;
    int CadenceVoiceAddedWhileFirstOff;
    int CadenceFirstOffDuration;
    int CadenceSecondOnDuration;
    int CadenceVoiceAddedWhileSecondOff;
    int CadenceSecondOffDuration;
    int CadenceThirdOnDuration;
    int CadenceVoiceAddedWhileThirdOff;
    int CadenceThirdOffDuration;
    int CadenceFourthOnDuration;
    int CadenceVoiceAddedWhileFourthOff;
    int CadenceFourthOffDuration;
};

struct Tac49xCallProgressDeviceConfigurationAttr {
    int NumberOfSignals;
    int TotalEnergyThreshold;
    Tac49xCallProgressSignalAttr Signal[AC49X_CALL_PROGRESS_SIGNALS];
};

struct Tac49xUserDefinedToneSignalAttr {
    int ToneAFrequency;
    int TwistThreshold;
    int ToneBFrequency;
    int HighEnergyThreshold;
    int LowEnergyThreshold;
    int SignalToNoiseRatioThreshold;
    int FrequencyDeviationThreshold;
    int ToneBLevel;
    int ToneALevel;
};

struct Tac49xUserDefinedTonesDeviceConfigurationAttr {
    int NumberOfSignals;
    int TotalEnergyThreshold;
    Tac49xUserDefinedToneSignalAttr Signal[AC49X_CALL_PROGRESS_SIGNALS];
};

struct Tac49xAgcDeviceConfigurationAttr {
    int MinGain;
    int MaxGain;
    int FastAdaptationGainSlope;
    int FastAdaptationDuration;
    int SilenceDuration;
    int DetectionDuration;
    int SignalingOverhang;
};

struct Tac49xExtendedDeviceConfigurationAttr {
    int DebugUemClipEnable;
    int TextV8Jm, TextV8Cm, TextV8Ci, VxxV8Cm, VxxV8Ci;
    int FaxV8Cm, FaxV8Ci, FaxDcn, Tty, Bell103AnswerTone, V21Channel1, V25CallingTone, StuModem;
    int V23ForwardChannel, V21Channel2Data, DataSessionVxx, RespondingDualToneV8Bis,
        InitiatingDualToneV8Bis, V22Usb1, V32Aa, VxxV8JmVxxData;
    int FaxV8JmV34, FaxV21PreambleFlags, AnswerToneAmReversals, AnswerToneAm,
        AnswerWithReversalsAns, AnswerTone2100FaxCedOrModemAns, CallingFaxToneCng, SilenceOrUnkown;
    int MfcR1DetectionStandard;
    int DtmfErasureSensitivity;
    int DtmfFrequencyDeviation;
    int DtmfStepRatio;
    int DtmfStepDistance;
};

struct Tac49xDeviceCommonAttr {
    int BusSpeed;
    int WatchdogEnable;
    int IpSecPortSelection;
    int PcmClkAndFrameSyncSource;
    int LawSelect;
    int UtopiaClockDetection;
    int UtopiaCellSize;
    int PcmSerialPortRxTxDataDelay;
    int CasBitsLocation;
    int Utopia16BitMode;
    int UtopiaLogicalSlaveId;
    int CpuClkOut;
    int PcmFrameSyncWidth;
    int PcmClkDivideRatio;
    int UtopiaPhysicalSlaveId;
    int TdmInterfaceConfiguration;
    int EventsPortType;
};

// The open-device record has room for 256 channels; no packet names more.
inline constexpr int AC49X_OPEN_DEVICE_MAX_CHANNELS = 256;

struct Tac49xOpenDeviceChannelAttr {
    int Slot;
    int InterconnectedSlot;
};

struct Tac49xOpenDeviceConfigurationAttr {
    Tac49xDeviceCommonAttr Common;
    int JitterBufferStatusReportMode;
    int ConnectedSlotEnable;
    int CasReversalsDetection;
    int DeviceStatusPacketEnable;
    int DebugInfoPacketEnable;
    int SerialPortSelection;
    int DtmfSnr;
    int CasMode;
    int CasValueDuringIdle;
    int PcmValueDuringIdle;
    int CasDebounce;
    int DtmfGenerationTwistDirection;
    int DtmfGenerationTwist;
    int UtopiaTestEnable;
    int DeviceStatusInterval;
    int ErrorReportInterval;
    int DtmfGap;
    int NumberOfChannels;
    int ModuleDebugPacketsTransferMethod;
    Tac49xOpenDeviceChannelAttr Channel[AC49X_OPEN_DEVICE_MAX_CHANNELS];
};

struct Tac49xOpenDeviceFormat1ChannelAttr {
    int PcmSlot;
    int CasSlot;
    int InterconnectedPcmSlot;
};

struct Tac49xOpenDeviceConfiguration_Format1Attr {
    Tac49xDeviceCommonAttr Common;
    int JitterBufferStatusReportMode;
    int CasReversalsDetection;
    int DeviceStatusPacketEnable;
    int DebugInfoPacketEnable;
    int DtmfSnr;
    int CasMode;
    int CasValueDuringIdle;
    int PcmValueDuringIdle;
    int CasDebounce;
    int DtmfGenerationTwistDirection;
    int DtmfGenerationTwist;
    int UtopiaTestEnable;
    int DeviceStatusInterval;
    int ErrorReportInterval;
    int DtmfGap;
    int NumberOfChannels;
    int ModuleDebugPacketsTransferMethod;
    int ConnectedSlots[AC49X_OPEN_DEVICE_MAX_CHANNELS];
    int ConnectedSlotsSerialPortSelection[AC49X_OPEN_DEVICE_MAX_CHANNELS];
    int CasSerialPortSelection;
    int VoiceSerialPortSelection;
    Tac49xOpenDeviceFormat1ChannelAttr Channel[AC49X_OPEN_DEVICE_MAX_CHANNELS];
};

struct Tac49xSetupDeviceAttr {
    Tac49xDeviceControlRegisterAttr DeviceControlRegister;
    Tac49xCallProgressDeviceConfigurationAttr CallProgress;
    Tac49xUserDefinedTonesDeviceConfigurationAttr UserDefinedTones;
    Tac49xAgcDeviceConfigurationAttr Agc;
    Tac49xExtendedDeviceConfigurationAttr Extended;
    Tac49xFormat OpenDeviceFormat;
    Tac49xOpenDeviceConfigurationAttr Open;
    Tac49xOpenDeviceConfiguration_Format1Attr OpenFormat1;
};

// ---- channel attributes ----
struct Tac49xOpenOrUpdateChannelConfigurationAttr {
    int PcmSource, PacketToPacketMode, TdmMode, ChannelType;
    int DtmfErasureMode, MfTransferMode, DtmfTransferMode;
    int EchoCancelerNonLinearProcessor, PcmLimiter;
    int HybridLoss, VoiceOutputGain;
    int EchoCancelerMode, InputGain;
    int CasRelay, TestMode, DynamicJitterBufferOptimizationFactor;
    int DetectNetCasPackets, DetectNetIbsPackets, CallProgressTransferMode, DetectPcmCas,
        IgnoreNetIbsPackets, IgnoreNetCasPackets;
    int TestFaxModem, DetectUserDefinedTones, DetectCallProgress, DetectDTMFRegister, Reserve_FX2;
    int Reserve_FX5, Reserve_FX4, Reserve_FX15, Reserve_FX1, DetectMFR2BackwardRegister,
        DetectMFR2ForwardRegister, DetectMFSS5Register, DetectMFR1Register;
    int UdpChecksumEnable, IbsDetectionRedirection, IbsLevel_minus_dbm;
    int LongDtmfDetectionEnable, FaxMaxRate;
    int CallerIdOffHookService, CallerIdOnHookService, PcmSidSize;
    int EchoCancelerLength;
    int TriStateDuringIdle, CasModeDuringIdle, ActiveChannelPattern, CasValueDuringIdle;
    int PcmValueDuringIdle;
    int FaxAndCallerIdLevel;
    int V34FaxTransferMethod, V34TransferMethod, V32TransferMethod, V23TransferMethod;
    int V22TransferMethod, V21TransferMethod, Bell103TransferMethod, FaxTransferMethod;
    int CedTransferMode, TtyTransferMethod, FaxProtocol;
    int CallerIdStandard, FaxErrorCorrectionMode, CngRelayEnable;
    int AgcSlowAdaptationGainSlope;
    int AgcLocation, AgcEnable, AgcTargetEnergy;
    int FaxAndDataStatusAndEventsDisable;
    int VideoSynchronizationEnable, VoiceJitterBufferMinDelay;
    int AnswerDetectEnable, AnswerDetectDirection, AnswerDetectMode, AnswerDetectSensitivity,
        VoiceJitterBufferMaxDelay;
    int EchoCancelerDebugPackets, H324mDetectionEnable;
};

struct Tac49xAdvancedChannelConfigurationAttr {
    int EchoCancelerThreshold;  // kept in the record, not sent
    int ActiveEchoCancellationMaxLength;  // kept in the record, not sent
    int EncoderIbsOverhang_10msec, DecoderIbsOverhang_10msec;
    int MuteEncoderDuringDtmfGeneration, PcmCngThreshold;
    int SignalingJitter, FaxModemJitter;
    int EchoCancelerDuringDataBypass, EchoCancelerDuringFaxBypassDisable,
        EchoCancelerNlpDuringBypass, EchoCancelerAutomaticHandler, BypassJitter;
    int EchoCancelerDcRemover, EchoCancelerNlpThreshold;
    int EchoCancelerCng, EchoCancelerToneDetector, EchoCancelerAggressiveNlp,
        EchoCancelerNoisyEnvironmentMode, EchoCancelerReconvergenceSupport,
        EchoCancellerAutomaticToneResetMode, EchoCancellerAutomaticToneResetOnMuteMode,
        AcousticEchoCancelerEnable;
    int Ss7TransferMedium, HdlcTransferMedium, Ss7LinkRate, HdlcInterFrameFillPattern;
    int HdlcMinimumMessageLength, HdlcMinimumEndFlags, HdlcSampleRate;
    int PlaybackRequestEnable, InputGainLocation;
    int PlaybackWaterMark_msec;
    int DataBypassOutputGain, FaxBypassOutputGain;
    int DuaFrameMode, DuaReceiveTimeout_x10msec;
    int AnswerDetectNoneSpeechEventsEnable, AnswerDetectSilenceTime_x100ms,
        AnswerDetectPreWorkDelay_x100ms;
};

inline constexpr int AC49X_RTP_CANONICAL_NAME_MAX = 64;
struct Tac49xActivateOrUpdateRtpChannelConfigurationAttr {
    int AmrActiveMode, DisableRtcpIntervalRandomization, AdpcmPayloadFormat,
        BrokenConnectionActivationMode, SilenceCompressionMode;
    int IbsRedundancyLevel, RtpRedundancy, MediaProtectionMode;
    int RxPayloadTypeSource, RxPayloadType;
    int TxPayloadTypeSource, TxPayloadType;
    int TxSequenceNumber;
    int FaxBypassPayloadType, DataBypassPayloadType;
    U32 RtpSynchronizingSource;
    U32 TxTimeStamp;
    int PcmAdPcmComfortNoiseRtpPayloadTypeEnable, PcmAdPcmComfortNoiseRtpPayloadType;
    int BypassCoder;
    int TxVbdEventsRelayPayloadType;
    int NumberOfVoiceBlocks_minus_1, NumberOfBypassBlocks_minus_1;
    int DecoderPcmAdpcmFrameDuration, EncoderPcmAdpcmFrameDuration;
    int RtcpMeanTxInterval;
    int Decoder, Encoder;
    int TxSignalingRfc2833PayloadType;
    int RtpCanonicalNameStringLength;
    int BrokenConnectionEventTimeout_x20msec;
    int RxSignalingRfc2833PayloadType, Rfc2198PayloadType, RxT38PayloadType, TxT38PayloadType;
    int NoOperationEnable, NoOperationPayloadType, NoOperationTimeout_x20msec;
    int VbdEventsRelayType, BypassRedundancyType, PacketToPacketSequenceNumberMode,
        PacketToPacketSsrcMode, BlockNonePayloadType13, ReportErrorOnReceivedStreamEnable;
    int PacketToPacketNoTranscodingPayloadType;
    int TxFilterRtcp, TxFilterRfc2833, TxFilterRtp;
    int RxFilterRtcp, RxFilterRfc2833, RxFilterRtp;
    int IbsRelayTransmissionTimeout;
    int RtpSequenceNumberDetectionEnable, SseRedundancyDepth, ModemRelayHighAvailabilityOptions,
        AnswerToneOverRfc2833Enable;
    int RtcpXrEventsMode, RtcpXrMode;
    int SequenceNumberForDetection;
    int RxVbdEventsRelayPayloadType;
    char RtpCanonicalName[AC49X_RTP_CANONICAL_NAME_MAX];
};

inline constexpr int AC49X_LEAVING_REASON_MAX = 64;
struct Tac49xCloseRtpChannelConfigurationAttr {
    int SendRtcpByePacket;
    int SendReason;
    int ReasonMessageLength;
    char LeavingReasonMessage[AC49X_LEAVING_REASON_MAX];
};

struct Tac49xT38ConfigurationAttr {
    int PacketizationPeriod, RtpEncapsulation, JbigImageTranscoding, T4MmrTranscoding, T4FillBitRemoval;
    int MaxDatagramSize_In4BytesStep;
    int T38Version;
    int UdpErrorCorrectionMethod, ImageDataRedundancyLevel, T30ControlDataRedundancyLevel;
    int NoOperationPeriod;
};

inline constexpr int AC49X_IBS_STRING_SIGNALS = 30;
struct Tac49xIbsSignalAttr {
    int Pause;
    int Digit;
    int SystemCode;
};

struct Tac49xIbsStringAttr {
    int GeneratorRedirection;
    int NumberOfDigits;
    U32 OnDuration, OffDuration, PauseDuration;
    Tac49xIbsSignalAttr Signal[AC49X_IBS_STRING_SIGNALS];
};

// Regular and mediated RTP records of a channel.
inline constexpr int AC49X_RTP_REGULAR = 0;
inline constexpr int AC49X_RTP_MEDIATED = 1;

struct Tac49xSetupChannelAttr {
    Tac49xOpenOrUpdateChannelConfigurationAttr OpenOrUpdateChannel;
    Tac49xAdvancedChannelConfigurationAttr Advanced;
    Tac49xOpenOrUpdateChannelConfigurationAttr MediatedChannelConfiguration;
    Tac49xActivateOrUpdateRtpChannelConfigurationAttr ActivateOrUpdateRtp[2];
    Tac49xCloseRtpChannelConfigurationAttr CloseRtp;
    Tac49xT38ConfigurationAttr T38Configuration;
};

// Packet sizes of the builders, header included.
inline constexpr int AC49X_CALL_PROGRESS_PACKET_SIZE = 908;
inline constexpr int AC49X_USER_DEFINED_TONES_PACKET_SIZE = 332;
inline constexpr int AC49X_AGC_PACKET_SIZE = 24;
inline constexpr int AC49X_EXTENDED_PACKET_SIZE = 14;
inline constexpr int AC49X_OPEN_DEVICE_PACKET_BASE = 24;
inline constexpr int AC49X_OPEN_DEVICE_FORMAT1_PACKET_BASE = 546;
inline constexpr int AC49X_OPEN_CHANNEL_PACKET_SIZE = 42;
inline constexpr int AC49X_ADVANCED_CHANNEL_PACKET_SIZE = 28;
inline constexpr int AC49X_CLOSE_CHANNEL_PACKET_SIZE = 6;
inline constexpr int AC49X_RTP_ACTIVATE_PACKET_SIZE = 132;
inline constexpr int AC49X_RTP_CLOSE_PACKET_SIZE = 77;
inline constexpr int AC49X_T38_PACKET_SIZE = 16;
inline constexpr int AC49X_IBS_STRING_PACKET_SIZE = 80;
inline constexpr int AC49X_IBS_STOP_PACKET_SIZE = 6;

// Opcodes of the builders.
enum Tac49xDeviceConfigurationOpCode : int {
    DEVICE_CONFIGURATION_OP_CODE__CALL_PROGRESS = 0,
    DEVICE_CONFIGURATION_OP_CODE__USER_DEFINED_TONES = 1,
    DEVICE_CONFIGURATION_OP_CODE__AGC = 2,
    DEVICE_CONFIGURATION_OP_CODE__EXTENDED = 4,
    DEVICE_CONFIGURATION_OP_CODE__OPEN = 6,
};
enum Tac49xChannelConfigurationOpCode : int {
    CHANNEL_CONFIGURATION_OP_CODE__UPDATE_CHANNEL = 0,
    CHANNEL_CONFIGURATION_OP_CODE__ADVANCED_CHANNEL = 1,
    CHANNEL_CONFIGURATION_OP_CODE__CLOSE_CHANNEL = 2,
    CHANNEL_CONFIGURATION_OP_CODE__ACTIVATE_REGULAR_RTP = 3,
    CHANNEL_CONFIGURATION_OP_CODE__UPDATE_REGULAR_RTP = 4,
    CHANNEL_CONFIGURATION_OP_CODE__CLOSE_REGULAR_RTP = 5,
    CHANNEL_CONFIGURATION_OP_CODE__MEDIATED_CHANNEL = 11,
    CHANNEL_CONFIGURATION_OP_CODE__T38 = 12,
    CHANNEL_CONFIGURATION_OP_CODE__OPEN_CHANNEL = 15,
    CHANNEL_CONFIGURATION_OP_CODE__ACTIVATE_MEDIATED_RTP = 16,
    CHANNEL_CONFIGURATION_OP_CODE__UPDATE_MEDIATED_RTP = 17,
    CHANNEL_CONFIGURATION_OP_CODE__CLOSE_MEDIATED_RTP = 18,
};
enum Tac49xCommandOpCode : int {
    COMMAND_OP_CODE__IBS_STRING = 0,
    COMMAND_OP_CODE__IBS_STOP = 1,
};
// Event indexes the simulated DSP and the gateway share.
enum Tac49xGeneralEventIndex : int {
    GENERAL_EVENT_PACKET_INDEX__TONE_FINISHED = 1,
    GENERAL_EVENT_PACKET_INDEX__SWITCHED_TO_VOICE = 7,
    GENERAL_EVENT_PACKET_INDEX__SWITCHED_TO_BYPASS = 8,
    GENERAL_EVENT_PACKET_INDEX__SWITCHED_TO_FAX = 9,
    GENERAL_EVENT_PACKET_INDEX__SWITCHED_TO_DATA = 10,
};
enum Tac49xPacketizerEventIndex : int {
    PACKETIZER_EVENT_INDEX__BROKEN_CONNECTION = 15,
    PACKETIZER_EVENT_INDEX__CONNECTION_ESTABLISHED = 17,
};
