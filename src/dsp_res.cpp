#include "dsp_res.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "AC49xDrv_Api.h"
#include "AC49xDrv_UserDefinedFunctions.h"
#include "DspApi.h"
#include "arm_environment.h"
#include "board.h"
#include "fifo.h"
#include "multi_log.h"
#include "print_sys.h"
#include "sip.h"

AC490_API_REGISTER_INIT g_sResRegister{};
AC490_CHIP_INFO_T g_sResChipInfo{E_CHIP_UNUSED, E_CHIP_12, 12, "/root/profile/kernel", "/root/profile/program", {}};
DSP_INFO_T g_sResChnInfo[kMaxResChn]{};
Tac49xSetupChannelAttr g_sSetupChannelAttr[1][kMaxResChn]{};
int g_iaPlayToneType[kMaxResChn]{};
DIAL_TONE_STATE_E eDialToneState = E_TONE_STOP;

// Rows 0 to 7 are reached by no tone type: a tone type t is row t + 8.
const API_PLAY_TONE_DURATION_NODE_T g_sMapPlayToneDura[kPlayToneRows] = {
    {0, 100, 100, 0, 100},    {1, 100, 100, 0, 100},  {2, 100, 100, 0, 100}, {3, 100, 100, 0, 100},
    {4, 100, 100, 0, 100},    {5, 100, 100, 0, 100},  {6, 100, 100, 0, 100}, {7, 100, 100, 0, 100},
    {8, 20000, 100, 0, 0},    {9, 20000, 100, 0, 0},  {10, 350, 350, 0, 0},  {11, 1000, 4000, 0, 0},
    {12, 2000, 2000, 0, 0},   {13, 400, 0, 0, 0},     {14, 1000, 40, 0, 0},
};

namespace {
constexpr int kDevice = 0;  // the board carries one DSP

struct ChipType {
    RES490_CHIP_TYPE_E type;
    int channels;
    const char* kernel;
    const char* program;
};
constexpr ChipType kChipTypes[] = {
    {E_CHIP_12, 12, "/root/profile/kernel", "/root/profile/program"},
    {E_CHIP_16, 16, "/root/profile/kernel_16", "/root/profile/program_16"},
    {E_CHIP_20, 20, "/root/profile/kernel_20", "/root/profile/program_20"},
};

// Boot results (the driver's Tac49xProgramDownloadStatus) and set-up results as logged.
constexpr std::string_view kBootText[] = {"Boot Status Reg not ready",       "Boot Status Reg success",
                                          "Boot Status Reg failed checksum", "EMIF Test Failed",
                                          "Boot image truncated",            "NULL boot Block"};
constexpr std::string_view kSetupText[] = {"Success",
                                           "Failed Due to Set Device Control Register",
                                           "Failed Due to UTOPIA Routing Configuration",
                                           "Failed Due to Call Progress Configuration",
                                           "Failed Due to U.D.T Configuration",
                                           "Failed Due to AGC Configuration",
                                           "Failed Due to Extended Configuration",
                                           "Failed Due to Open Configuration"};

const char* Static_BootText(int status)
{
    if (status == PROGRAM_DOWNLOAD_STATUS__NULL_BOOT_BLOCK) return kBootText[5].data();
    return status >= 0 && status <= PROGRAM_DOWNLOAD_STATUS__TRUNCATED_IMAGE ? kBootText[status].data() : "";
}

const char* Static_SetupText(int status) { return status >= 0 && status < 8 ? kSetupText[status].data() : ""; }

// Attribute values the gateway chooses over the driver's defaults.
constexpr int kPayloadTypeExternal = 1;
constexpr int kBrokenConnectionAtActivation = 1;
constexpr int kCallerIdTelcordiaBellcore = 0;
constexpr int kFaxProtocolT38DataRate2 = 3;
constexpr int kFaxAndCallerIdMinus6Dbm = 15;

// The firmware images, kept for the life of the process.
struct Image {
    U8* data = nullptr;
    std::size_t size = 0;
};
Image s_kernel, s_program;

// Debug stream.
int s_iDebugSock = -1;
std::uint16_t s_uDebugSeq = 0;
std::uint32_t s_uDebugTime = 0;

// What the pump receives into: the largest packet the driver hands over.
U8 s_rxPacket[AC49X_RX_PACKET_MAX];

int Static_Device(int dsp_chn) { return dsp_chn / g_iCurChnPerChip; }
int Static_ChnOnDevice(int dsp_chn) { return dsp_chn % g_iCurChnPerChip; }

// The record of an active DSP channel, or null: callers may name channels the board does not
// have, and the tables hold only kMaxResChn of them.
DSP_INFO_T* Static_Chn(int dsp_chn)
{
    if (dsp_chn < 0 || dsp_chn >= kMaxResChn || dsp_chn >= g_iMaxResChnNum) return nullptr;
    DSP_INFO_T& r = g_sResChnInfo[dsp_chn];
    return r.m_eFlagActive == E_FLAG_ON ? &r : nullptr;
}

Tac49xSetupChannelAttr& Static_Attr(int dsp_chn) { return g_sSetupChannelAttr[0][dsp_chn]; }
Tac49xActivateOrUpdateRtpChannelConfigurationAttr& Static_Rtp(int dsp_chn)
{
    return Static_Attr(dsp_chn).ActivateOrUpdateRtp[AC49X_RTP_REGULAR];
}

// The DSP channel of a channel on a device as the DSP names it, or -1 when it is not active.
int Static_EventChn(int device, int channel)
{
    if (device != kDevice || channel < 0 || channel >= g_iCurChnPerChip) return -1;
    const int dsp_chn = device * g_iCurChnPerChip + channel;
    return Static_Chn(dsp_chn) ? dsp_chn : -1;
}

// Reads a whole file into img; false (after its console line) when it cannot.
bool Static_ReadImage(const char* path, Image& img)
{
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, -1, "pathName[%s]", path);
    const std::string full = board_path(path);
    struct stat st {};
    if (stat(full.c_str(), &st) != 0) {
        std::printf("Get file %s info failed\n", path);
        return false;
    }
    if (st.st_size <= 0) {
        std::printf("Get file %s size error\n", path);
        return false;
    }
    FILE* f = std::fopen(full.c_str(), "rb");
    if (f == nullptr) {
        std::printf("Open file %s failed\n", path);
        return false;
    }
    const long size = static_cast<long>(st.st_size);
    auto* buf = static_cast<U8*>(std::calloc(static_cast<std::size_t>(size) + 1, 1));
    if (buf == nullptr) {
        std::printf("Get buff of size %ld failed\n", size + 1);
        std::fclose(f);
        return false;
    }
    const std::size_t got = std::fread(buf, 1, static_cast<std::size_t>(size), f);
    std::fclose(f);
    // A short read is still booted from: the driver stops at an incomplete block.
    if (got != static_cast<std::size_t>(size)) std::printf("Read file %s may be not finished\n", path);
    std::free(img.data);
    img.data = buf;
    img.size = got;
    return true;
}

void Static_SetChannelDefaults(int dsp_chn, U32 ssrc)
{
    Tac49xSetupChannelAttr& a = Static_Attr(dsp_chn);
    Ac49xSetDefaultSetupChannelAttr(&a);
    Tac49xActivateOrUpdateRtpChannelConfigurationAttr& rtp = Static_Rtp(dsp_chn);
    rtp.RxPayloadTypeSource = kPayloadTypeExternal;
    rtp.TxPayloadTypeSource = kPayloadTypeExternal;
    rtp.TxPayloadType = 8;
    rtp.RxPayloadType = 8;
    rtp.PcmAdPcmComfortNoiseRtpPayloadTypeEnable = CONTROL__DISABLE;
    rtp.PcmAdPcmComfortNoiseRtpPayloadType = 13;
    rtp.TxSignalingRfc2833PayloadType = 101;
    rtp.RxSignalingRfc2833PayloadType = 101;
    rtp.FaxBypassPayloadType = 8;
    rtp.DataBypassPayloadType = 103;
    rtp.Encoder = CODER__G711ALAW;
    rtp.Decoder = CODER__G711ALAW;
    rtp.RtpSynchronizingSource = ssrc;
    rtp.SilenceCompressionMode = SILENCE_COMPRESSION_MODE__DISABLE;
    rtp.BrokenConnectionActivationMode = kBrokenConnectionAtActivation;

    Tac49xOpenOrUpdateChannelConfigurationAttr& open = a.OpenOrUpdateChannel;
    open.InputGain = VOICE_GAIN__0_DB;
    open.VoiceOutputGain = VOICE_GAIN__0_DB;
    open.IbsLevel_minus_dbm = 0;
    open.FaxAndCallerIdLevel = kFaxAndCallerIdMinus6Dbm;
    open.DtmfTransferMode = IBS_TRANSFER_MODE__TRANSPARENT_THROUGH_VOICE;
    open.MfTransferMode = IBS_TRANSFER_MODE__TRANSPARENT_THROUGH_VOICE;
    open.CallProgressTransferMode = IBS_TRANSFER_MODE__TRANSPARENT_THROUGH_VOICE;
    open.FaxProtocol = kFaxProtocolT38DataRate2;
    open.CallerIdOnHookService = CONTROL__ENABLE;
    open.CallerIdStandard = kCallerIdTelcordiaBellcore;
}

// Memory test, boot, set-up and channel defaults of one device; it stays out of use when any
// step fails.
void Static_StartDevice(int device)
{
    AC490_CHIP_INFO_T& chip = g_sResChipInfo;
    if (RES490_CheckChipExist(g_sResRegister.m_iHandle, device) != 0) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_WARNNING, -1, "自动检测  --> 490 第[%d]芯片 不存在[%s]range[0,1]", device,
                  Static_BootText(PROGRAM_DOWNLOAD_STATUS__BOOT_STATUS_REGISTER_NOT_READY));
        chip.m_eStatus = E_CHIP_UNUSED;
        return;
    }
    chip.m_eStatus = E_CHIP_USED;
    const int boot = Ac49xBoot(device, s_program.data, s_program.size, s_kernel.data, s_kernel.size);
    if (boot != PROGRAM_DOWNLOAD_STATUS__BOOT_STATUS_REGISTER_SUCCESS) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_WARNNING, -1, "490 第[%d]芯片 Boot failed, Reason[%s]", device + 1,
                  Static_BootText(boot));
        chip.m_eStatus = E_CHIP_UNUSED;
        return;
    }
    Tac49xSetupDeviceAttr& setup = chip.m_sSetupDeviceAttr;
    Ac49xSetDefaultSetupDeviceAttr(&setup);
    setup.Open.NumberOfChannels = chip.m_iChnNumOfChip;
    for (Tac49xOpenDeviceChannelAttr& c : setup.Open.Channel) c.Slot += device * chip.m_iChnNumOfChip;
    const int result = Ac49xSetupDevice(device, &setup);
    if (result != SETUP_DEVICE_STATUS__SUCCESS) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_WARNNING, -1, "Setup Device[%d] Failed, Error %s", device,
                  Static_SetupText(result));
        chip.m_eStatus = E_CHIP_UNUSED;
        return;
    }
    U32 ssrc = 1;
    for (int ch = 0; ch < chip.m_iChnNumOfChip; ++ch) {
        const int dsp_chn = device * g_iCurChnPerChip + ch;
        if (dsp_chn >= kMaxResChn) break;
        g_sResChnInfo[dsp_chn].m_eFlagActive = E_FLAG_ON;
        Static_SetChannelDefaults(dsp_chn, ssrc++);
    }
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_SIMPLE, -1, "****************第[%d]块芯片启动成功****************", device + 1);
}

void Static_OnGeneralEvent(int device, int channel, int dsp_chn, const U8* p, int size)
{
    switch (p[11]) {
    case GENERAL_EVENT_PACKET_INDEX__TONE_FINISHED: {
        CallBack_OnSignalEvent(device, channel, E_ACSE_PLAY_TONE_FINISH);
        // Cadenced tones are strings the DSP plays once: they go on until the line stops them.
        const DSP_INFO_T& r = g_sResChnInfo[dsp_chn];
        if (r.m_ePlayTone == E_FLAG_ON && r.m_eToneType != E_PLAY_TONE_WAIT_IN) RES490_PlayTone(dsp_chn, r.m_eToneType);
        break;
    }
    case GENERAL_EVENT_PACKET_INDEX__SWITCHED_TO_VOICE:
        CallBack_OnSignalEvent(device, channel, E_ACSE_SWITCH_TO_VOICE);
        break;
    case GENERAL_EVENT_PACKET_INDEX__SWITCHED_TO_FAX: {
        if (size < 14) return;
        const int initiating = (p[12] >> 1) & 1;
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, dsp_chn,
                  "[Res490PacketRecvGeneralEvent]-- Switch To FaxMode, InitiatingFlag[%d], ReasonIdentifierCode[%d], "
                  "MediaGatewayState[%d]\n",
                  initiating, p[13], p[12] >> 2);
        if (initiating != 0 && p[13] != 0) CallBack_OnSignalEvent(device, channel, E_ACSE_SWITCH_TO_FAX);
        break;
    }
    case GENERAL_EVENT_PACKET_INDEX__SWITCHED_TO_DATA:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, dsp_chn, "GENERAL_EVENT_PACKET_INDEX__SWITCHED_TO_DATA");
        break;
    case GENERAL_EVENT_PACKET_INDEX__SWITCHED_TO_BYPASS:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, dsp_chn, "GENERAL_EVENT_PACKET_INDEX__SWITCHED_TO_BYPASS");
        break;
    default:
        break;
    }
}

// Two ASCII digits as a number; anything else counts as 0.
int Static_TwoDigits(const U8* at)
{
    auto digit = [](U8 c) { return c >= '0' && c <= '9' ? c - '0' : -1; };
    const int hi = digit(at[0]), lo = digit(at[1]);
    return hi < 0 || lo < 0 ? 0 : hi * 10 + lo;
}

void Static_OnCallerId(int dsp_chn, const U8* p, int size)
{
    g_sResChnInfo[dsp_chn].m_eSendCid = E_FLAG_OFF;
    if (size < 14) return;
    const int sub = p[13] & 0x3F;
    if (sub == 17) {
        CallBack_OnSignalEvent(kDevice, Static_ChnOnDevice(dsp_chn), E_ACSE_CALLER_ID_GENERATION_COMPLETED);
        return;
    }
    if (sub != 1 || size < 24) return;
    char number[256];
    // The length byte comes from the DSP: a number it names beyond the packet is dropped.
    const int length = Ac49xCallerIdNumber(p, size, number, sizeof number);
    if (length < 0) return;
    struct tm date {};
    date.tm_mon = Static_TwoDigits(p + 16) - 1;
    date.tm_mday = Static_TwoDigits(p + 18);
    date.tm_hour = Static_TwoDigits(p + 20);
    date.tm_min = Static_TwoDigits(p + 22);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, dsp_chn,
              "[PacketStauts_OnCallerID]-- ResChn[%02d], chCallerID[%s], iCallerIDLen[%02d], stmDate[%02d%02d %02d%02d]",
              dsp_chn, number, length, date.tm_mon + 1, date.tm_mday, date.tm_hour, date.tm_min);
    CallBack_OnGetCallerID(dsp_chn, number, length, &date);
}

// The bytes each dispatched opcode reads (index 0 unused).
constexpr int kEventMinSize[13] = {0, 12, 16, 0, 0, 0, 0, 14, 12, 0, 0, 0, 6};

void Static_OnHostPacket(int device, int channel, const U8* p, int size)
{
    if (size < AC49X_PROPRIETARY_HEADER_END || (p[3] & 0x3F) != PROTOCOL__PROPRIETARY) return;
    const int opcode = p[5] >> 2;
    if (opcode < 1 || opcode > 12 || size < kEventMinSize[opcode]) return;
    const int dsp_chn = Static_EventChn(device, channel);
    if (dsp_chn < 0) return;
    switch (opcode) {
    case STATUS_OR_EVENT_PACKET_OP_CODE__GENERAL_EVENT:
        Static_OnGeneralEvent(device, channel, dsp_chn, p, size);
        break;
    case STATUS_OR_EVENT_PACKET_OP_CODE__IBS_EVENT:
        CallBack_OnGetKey(device, channel, p, size);
        break;
    case STATUS_OR_EVENT_PACKET_OP_CODE__CALLER_ID:
        Static_OnCallerId(dsp_chn, p, size);
        break;
    case STATUS_OR_EVENT_PACKET_OP_CODE__PACKETIZER_STATUS_OR_EVENT:
        if (p[11] == PACKETIZER_EVENT_INDEX__BROKEN_CONNECTION)
            CallBack_OnSignalEvent(device, channel, E_ACSE_CONNECTION_BROKEN);
        else if (p[11] == PACKETIZER_EVENT_INDEX__CONNECTION_ESTABLISHED)
            CallBack_OnSignalEvent(device, channel, E_ACSE_CONNECTION_ESTABLISH);
        break;
    case STATUS_OR_EVENT_PACKET_OP_CODE__FAX_OR_DATA_SIGNAL_EVENT:
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_ERROR, dsp_chn, "[Res490PacketRecvProprietary]-- ");
        CallBack_OnSignalEvent(device, channel, E_ACSE_CNG_DETECTED);
        break;
    default:  // channel state and the rest: nothing to do
        break;
    }
}

void Static_OnNetworkPacket(int device, int channel, U8* p, int size, int protocol)
{
    if (protocol != PROTOCOL__RTP || size <= AC49X_HPI_HEADER_SIZE) return;
    const int dsp_chn = Static_EventChn(device, channel);
    if (dsp_chn < 0) return;
    CallBack_OnSendPacketToSip(dsp_chn, p + AC49X_HPI_HEADER_SIZE, size - AC49X_HPI_HEADER_SIZE, kDspPacketRtp);
}

// Takes what a queue holds now; bounded by the ring's length so that a DSP that keeps
// producing cannot hold the loop.
void Static_Drain(int device, Tac49xTransferMedium medium)
{
    const int most = medium == TRANSFER_MEDIUM__HOST ? AC49X_HOST_RING_LENGTH : AC49X_NETWORK_RING_LENGTH;
    for (int n = 0; n < most; ++n) {
        Tac49xRxPacketParams rx{};
        rx.Device = device;
        rx.TransferMedium = medium;
        rx.pInPacket = s_rxPacket;
        const int r = Ac49xReceivePacket(&rx);
        if (r == AC49X_ERROR__NO_PACKET) return;
        if (r != 0) continue;  // the driver has passed over a malformed packet
        if (medium == TRANSFER_MEDIUM__HOST) Static_OnHostPacket(device, rx.Channel, s_rxPacket, rx.PacketSize);
        else Static_OnNetworkPacket(device, rx.Channel, s_rxPacket, rx.PacketSize, rx.Protocol);
    }
}

// The common opening of a channel command: the record and where it lives, or null.
DSP_INFO_T* Static_Command(int dsp_chn, int& device, int& channel)
{
    DSP_INFO_T* r = Static_Chn(dsp_chn);
    device = Static_Device(dsp_chn);
    channel = Static_ChnOnDevice(dsp_chn);
    return r;
}

int Static_UpdateRtp(int dsp_chn)
{
    return Ac49xUpdateRegularRtpChannelConfiguration(Static_Device(dsp_chn), Static_ChnOnDevice(dsp_chn),
                                                     &Static_Rtp(dsp_chn));
}
}  // namespace

int RES490_CheckChipExist(int handle, int device)
{
    constexpr U32 kBase = AC49X_HPI_BASE_ADDRESS;
    constexpr U32 kBlock = 0x10000;
    constexpr int kBlocks = 5;
    constexpr int kMaxErrors = 10;
    ApiVoiceDspResetOnOff(handle, device, 1);
    usleep(100000);
    ApiVoiceDspResetOnOff(handle, device, 0);
    int errors = 0;
    for (int b = 0; b < kBlocks; ++b) {
        const U32 block = kBase + kBlock * static_cast<U32>(b);
        for (U32 k = 0; k < kBlock; k += 2) ApiVoiceDspShortWrite(handle, block + k, static_cast<U16>(k), device);
        for (U32 k = 0; k < kBlock; k += 2) {
            const int v = ApiVoiceDspShortRead(handle, block + k, device);
            if (v == static_cast<int>(k)) continue;
            if (++errors == kMaxErrors) {
                std::printf("Test Error : Ac49xShortIoTest addr[0x%lx] rData[0x%hx] \n", static_cast<unsigned long>(block + k),
                            static_cast<unsigned short>(v));
                return -1;
            }
        }
    }
    return 0;
}

int RES490_Start(const AC490_API_REGISTER_INIT* init)
{
    if (init == nullptr) return -1;
    // Register.
    g_sResChipInfo = AC490_CHIP_INFO_T{};
    g_sResChipInfo.m_eStatus = E_CHIP_UNUSED;
    const ChipType* chip = &kChipTypes[0];
    for (const ChipType& t : kChipTypes)
        if (t.type == init->m_eChipType) chip = &t;
    g_sResChipInfo.m_eChipType = chip->type;
    g_sResChipInfo.m_iChnNumOfChip = chip->channels;
    std::snprintf(g_sResChipInfo.m_chKernalPath, sizeof g_sResChipInfo.m_chKernalPath, "%s", chip->kernel);
    std::snprintf(g_sResChipInfo.m_chProgramPath, sizeof g_sResChipInfo.m_chProgramPath, "%s", chip->program);
    std::memset(g_sResChnInfo, 0, sizeof g_sResChnInfo);
    std::memset(g_sSetupChannelAttr, 0, sizeof g_sSetupChannelAttr);
    std::memset(g_iaPlayToneType, 0, sizeof g_iaPlayToneType);
    g_sResRegister = AC490_API_REGISTER_INIT{};
    g_sResRegister.m_iHandle = init->m_iHandle;
    g_sResRegister.m_eChipType = chip->type;
    g_sResRegister.m_iFlgDebug = init->m_iDebugPort > 0 ? 1 : 0;
    std::memcpy(g_sResRegister.m_chDebugIP, init->m_chDebugIP, sizeof g_sResRegister.m_chDebugIP);
    g_sResRegister.m_chDebugIP[sizeof g_sResRegister.m_chDebugIP - 1] = '\0';
    g_sResRegister.m_iDebugPort = init->m_iDebugPort;
    g_sResRegister.m_pfuncOnGetKey = init->m_pfuncOnGetKey;
    g_sResRegister.m_pfuncSignalEvent = init->m_pfuncSignalEvent;
    g_sResRegister.m_pfuncSendPacketToSip = init->m_pfuncSendPacketToSip;
    g_sResRegister.m_pfuncRtcpStatistic = init->m_pfuncRtcpStatistic;
    g_sResRegister.m_pfuncOnCallerID = init->m_pfuncOnCallerID;
    s_uDebugSeq = 0;
    s_uDebugTime = 0;

    Ac49xUserDef_SetHandle(init->m_iHandle);
    Ac49xInitDriver(0);
    Ac49xInitializePacketRecording(Res490FlushPacketToNet);

    if (!Static_ReadImage(g_sResChipInfo.m_chKernalPath, s_kernel)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "Get kernel buff from file %s failed, 确认文件是否存在\n",
                  g_sResChipInfo.m_chKernalPath);
        return -1;
    }
    if (!Static_ReadImage(g_sResChipInfo.m_chProgramPath, s_program)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "Get program buff from file %s failed, 确认文件是否存在\n",
                  g_sResChipInfo.m_chProgramPath);
        return -1;
    }
    Static_StartDevice(kDevice);
    int active = 0;
    for (const DSP_INFO_T& r : g_sResChnInfo) active += r.m_eFlagActive == E_FLAG_ON;
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_SIMPLE, -1, "共有 [ %d ] 资源通道可用", active);
    return 0;
}

void RES490_Process()
{
    if (g_sResChipInfo.m_eStatus != E_CHIP_USED) return;
    // Commands the ring could not take at once wait in the driver's FIFO, and every later one
    // queues behind them: they move on as soon as the DSP frees descriptors, not at the next
    // command (a tone stop would otherwise stay stranded and the tone play on).
    Ac49xDrainFifo(kDevice, TRANSFER_MEDIUM__HOST);
    Ac49xDrainFifo(kDevice, TRANSFER_MEDIUM__NETWORK);
    Static_Drain(kDevice, TRANSFER_MEDIUM__HOST);
    Static_Drain(kDevice, TRANSFER_MEDIUM__NETWORK);
}

int RES490_SendRtpPacketToPcm(int dsp_chn, unsigned char* packet, int length, int type)
{
    if (packet == nullptr || Static_Chn(dsp_chn) == nullptr) return -1;
    if (length <= 0 || length > kResPacketSize - AC49X_HPI_HEADER_SIZE) return -1;
    static U8 buf[kResPacketSize];
    std::memset(buf, 0, sizeof buf);
    buf[0] = AC49X_SYNC5 << 5;
    buf[1] = static_cast<U8>(Static_ChnOnDevice(dsp_chn));
    buf[3] = static_cast<U8>(type & 0x3F);
    std::memcpy(buf + AC49X_HPI_HEADER_SIZE, packet, static_cast<std::size_t>(length));
    Tac49xTxPacketParams tx{};
    tx.Device = Static_Device(dsp_chn);
    tx.Channel = Static_ChnOnDevice(dsp_chn);
    tx.Protocol = static_cast<Tac49xProtocol>(type & 0x3F);
    tx.TransferMedium = TRANSFER_MEDIUM__NETWORK;
    tx.pOutPacket = buf;
    tx.PacketSize = length + AC49X_HPI_HEADER_SIZE;
    tx.UdpChecksumIncluded = CONTROL__DISABLE;
    tx.FavoriteStream = CONTROL__DISABLE;
    return Ac49xTransmitPacket(&tx) == 0 ? 0 : -1;
}

void Res490FlushPacketToNet(int device, U8* packet, int size, Tac49xPacketDirection direction)
{
    if (g_sResRegister.m_iFlgDebug == 0 || packet == nullptr || size < AC49X_HPI_HEADER_SIZE) return;
    if (size > AC49X_RECORDING_SIZE_LIMIT || (packet[3] & 0x3F) == PROTOCOL__RTP) return;
    if (s_iDebugSock < 0) {
        s_iDebugSock = Udp_Socket_Create(kDebugLocalPort);
        if (s_iDebugSock < 0) {
            // Another program has the port: the gateway goes on without its debug stream.
            g_sResRegister.m_iFlgDebug = 0;
            MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_WARNNING, -1,
                      "[Res490FlushPacketToNet]-- local port %d busy, DSP debug stream off", kDebugLocalPort);
            return;
        }
    }
    static U8 out[16 + AC49X_RECORDING_SIZE_LIMIT];
    std::memset(out, 0, 16);
    out[0] = 2;
    out[1] = 88;
    out[2] = static_cast<U8>((direction & 1) << 7 | 0x0A);
    out[3] = static_cast<U8>(device);
    out[4] = static_cast<U8>(s_uDebugSeq >> 8);
    out[5] = static_cast<U8>(s_uDebugSeq);
    for (int i = 0; i < 4; ++i) out[8 + i] = static_cast<U8>(s_uDebugTime >> (24 - 8 * i));
    std::memcpy(out + 16, packet, static_cast<std::size_t>(size));
    Udp_Socket_Send(s_iDebugSock, out, 16 + size, g_sResRegister.m_chDebugIP, g_sResRegister.m_iDebugPort);
    s_uDebugTime += 10;
    ++s_uDebugSeq;
}

// ---- callback dispatch ----
void CallBack_OnSignalEvent(int device, int channel, API_CALLBACK_SIGNAL_EVENT_E event)
{
    if (g_sResRegister.m_pfuncSignalEvent) g_sResRegister.m_pfuncSignalEvent(device * g_iCurChnPerChip + channel, event);
}

void CallBack_OnGetKey(int device, int channel, const U8* p, int size)
{
    if (p == nullptr || size < 16) return;
    const int dsp_chn = device * g_iCurChnPerChip + channel;
    const int system_code = p[13] & 0x0F;
    const int digit = p[13] >> 4;
    if (system_code == IBS_SYSTEM_CODE__DTMF) {
        if ((p[12] & 0x30) != 0) return;
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, dsp_chn, "iResChn[%d], c_iDeviceID[%d], pIbsEvent->Digit[%d]\n", dsp_chn,
                  device, digit);
        if (g_sResRegister.m_pfuncOnGetKey) g_sResRegister.m_pfuncOnGetKey(dsp_chn, digit);
    } else if (system_code == IBS_SYSTEM_CODE__CALL_PROGRESS_0_TO_15) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, dsp_chn, "[OnCallProgressTone]-- ToneNum[%d], Level[%d]db", digit, p[15]);
        if (digit == 10) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, dsp_chn,
                      "[CallBack_OnGetKey] -- pIbsEvent->Digit = E_KELVANOR_BUSY_TONE,");
            CallBack_OnSignalEvent(device, channel, E_ACSE_DETECT_BUSY_TONE);
        } else if (digit == 9) {
            eDialToneState = E_TONE_PLAY;
            std::printf("通道%d", dsp_chn);
        }
    }
}

void CallBack_OnGetCallerID(int dsp_chn, char* number, int length, struct tm* date)
{
    if (g_sResRegister.m_pfuncOnCallerID == nullptr) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, dsp_chn, "[CallBack_OnGetCallerID]-- g_sResRegister.m_pfuncOnCallerID is NULL");
        return;
    }
    g_sResRegister.m_pfuncOnCallerID(dsp_chn, number, length, date);
}

void CallBack_OnSendPacketToSip(int dsp_chn, unsigned char* packet, int length, int type)
{
    if (g_sResRegister.m_pfuncSendPacketToSip) g_sResRegister.m_pfuncSendPacketToSip(dsp_chn, packet, length, type);
}

void CallBack_OnChnState(int, int) {}

// ---- channel control ----
int RES490_GetAvailableChn(int line) { return line + g_iChnChangeFactor; }

int RES490_ChannelOpen(int dsp_chn)
{
    int device = 0, channel = 0;
    DSP_INFO_T* r = Static_Command(dsp_chn, device, channel);
    if (r == nullptr) return -1;
    if (r->m_eFlagChnOpen == E_FLAG_ON && dsp_chn != 0) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, dsp_chn, "通道已经打开");
        return -1;
    }
    r->m_eFlagChnOpen = E_FLAG_ON;
    Tac49xSetupChannelAttr& a = Static_Attr(dsp_chn);
    a.Advanced.DecoderIbsOverhang_10msec = 1;
    if (Ac49xAdvancedChannelConfiguration(device, channel, &a.Advanced) != 0) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_WARNNING, dsp_chn,
                  "Channel Advanced Configuration Command FAIL to Channel[%d] At Device[%d]\n", channel, device);
        return -1;
    }
    if (Ac49xOpenChannelConfiguration(device, channel, &a.OpenOrUpdateChannel) != 0) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_WARNNING, dsp_chn, "Channel Open Command FAIL to Channel[%d] At    Device[%d]\n",
                  channel, device);
        return -1;
    }
    if (r->m_eFaxType == E_FAX_TYPE_T_38) {
        a.T38Configuration.RtpEncapsulation = 0;
        if (Ac49xT38ChannelConfiguration(device, channel, &a.T38Configuration) != 0) {
            MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_WARNNING, dsp_chn, "T38 Configuration FAIL to Channel[%d] At   Device[%d]",
                      channel, device);
            return -1;
        }
    }
    return 0;
}

int RES490_ChannelClose(int dsp_chn)
{
    int device = 0, channel = 0;
    DSP_INFO_T* r = Static_Command(dsp_chn, device, channel);
    if (r == nullptr) return -1;
    if (r->m_eFlagChnOpen != E_FLAG_ON) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, dsp_chn, "通道已经关闭");
        return -1;
    }
    r->m_eFlagChnOpen = E_FLAG_OFF;
    r->m_eFlagUsed = E_FLAG_OFF;
    return Ac49xCloseChannelConfiguration(device, channel);
}

int RES490_RtpChannelOpen(int dsp_chn)
{
    int device = 0, channel = 0;
    DSP_INFO_T* r = Static_Command(dsp_chn, device, channel);
    if (r == nullptr) return -1;
    if (r->m_eFlagRtpChnOpen == E_FLAG_ON) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, dsp_chn, "rtp通道已经打开");
        return -1;
    }
    r->m_eFlagRtpChnOpen = E_FLAG_ON;
    const int result = Ac49xActivateRegularRtpChannelConfiguration(device, channel, &Static_Rtp(dsp_chn));
    if (result != 0) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_WARNNING, dsp_chn,
                  "Activate RTP Channel command FAIL to Channel[%d] At Device[%d], ReturnValue[%x]\n", channel, device,
                  static_cast<unsigned>(result));
        return -1;
    }
    return 0;
}

int RES490_RtpChannelClose(int dsp_chn)
{
    int device = 0, channel = 0;
    DSP_INFO_T* r = Static_Command(dsp_chn, device, channel);
    if (r == nullptr) return -1;
    if (r->m_eFlagRtpChnOpen != E_FLAG_ON) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, dsp_chn, "rtp通道已经关闭");
        return -1;
    }
    r->m_eFlagRtpChnOpen = E_FLAG_OFF;
    Tac49xCloseRtpChannelConfigurationAttr& close = Static_Attr(dsp_chn).CloseRtp;
    close = Tac49xCloseRtpChannelConfigurationAttr{};
    Ac49xCloseRegularRtpChannelConfiguration(device, channel, &close);
    return 0;
}

int RES490_SetCodeType(int dsp_chn, int codec)
{
    DSP_INFO_T* r = Static_Chn(dsp_chn);
    if (r == nullptr) return -1;
    struct Coder {
        int codec, payload, coder;
    };
    constexpr Coder kCoders[] = {{G711_U, 0, CODER__G711MULAW}, {G729, 18, CODER__G729}, {G723, 4, CODER__G723LOW}};
    Coder use{codec, 8, CODER__G711ALAW};  // A-law for G711_A and anything unknown
    for (const Coder& c : kCoders)
        if (c.codec == codec) use = c;
    Tac49xActivateOrUpdateRtpChannelConfigurationAttr& rtp = Static_Rtp(dsp_chn);
    rtp.TxPayloadType = use.payload;
    rtp.RxPayloadType = use.payload;
    rtp.Encoder = use.coder;
    rtp.Decoder = use.coder;
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, dsp_chn, "[RES490_SetCodeType]-- CodeType[%s], SetCodeType[%d], iPayLoad[%d]",
              PrintEnum(g_sPrintAudioCodeType, codec), use.coder, use.payload);
    if (r->m_eFlagRtpChnOpen != E_FLAG_ON) return 0;
    return Static_UpdateRtp(dsp_chn);
}

int RES490_SetRtpFrameSize(int dsp_chn, int duration)
{
    if (Static_Chn(dsp_chn) == nullptr) return -1;
    int samples = PCM_ADPCM_FRAME_DURATION__20_MSEC;
    if (duration == E_PCM_ADPCM_FRAME_DURATION__10_MSEC) samples = PCM_ADPCM_FRAME_DURATION__10_MSEC;
    else if (duration == E_PCM_ADPCM_FRAME_DURATION__30_MSEC) samples = PCM_ADPCM_FRAME_DURATION__30_MSEC;
    Static_Rtp(dsp_chn).DecoderPcmAdpcmFrameDuration = samples;
    Static_Rtp(dsp_chn).EncoderPcmAdpcmFrameDuration = samples;
    return Static_UpdateRtp(dsp_chn);
}

namespace {
// Gains outside 0..63 are refused: the packet field has six bits and would wrap a negative
// value into a loud one.
int Static_SetGain(int dsp_chn, int gain, int Tac49xOpenOrUpdateChannelConfigurationAttr::*field)
{
    if (Static_Chn(dsp_chn) == nullptr || gain < 0 || gain >= 64) return -1;
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, dsp_chn, "[RES490_SetGainPcmInput]-- ResChn[%d] Gain[%d]DB", dsp_chn, gain - 32);
    Static_Attr(dsp_chn).OpenOrUpdateChannel.*field = gain;
    return 0;
}

// Writes one attribute of an active channel: 0, or -1.
template <class Record>
int Static_Set(int dsp_chn, Record& (*record)(int), int Record::*field, int value)
{
    if (Static_Chn(dsp_chn) == nullptr) return -1;
    record(dsp_chn).*field = value;
    return 0;
}

Tac49xOpenOrUpdateChannelConfigurationAttr& Static_Open(int dsp_chn) { return Static_Attr(dsp_chn).OpenOrUpdateChannel; }
}  // namespace

int RES490_SetGainPcmInput(int dsp_chn, int gain)
{
    return Static_SetGain(dsp_chn, gain, &Tac49xOpenOrUpdateChannelConfigurationAttr::InputGain);
}

int RES490_SetGainPcmOutput(int dsp_chn, int gain)
{
    return Static_SetGain(dsp_chn, gain, &Tac49xOpenOrUpdateChannelConfigurationAttr::VoiceOutputGain);
}

int RES490_SetDtmfTransferType(int dsp_chn, int type)
{
    if (Static_Chn(dsp_chn) == nullptr) return -1;
    int mode = IBS_TRANSFER_MODE__TRANSPARENT_THROUGH_VOICE;
    if (type == E_DTMF_TYPE_RFC2833) mode = IBS_TRANSFER_MODE__RELAY_ENABLE_VOICE_DISABLE;
    else if (type == E_DTMF_TYPE_SIPINFO) mode = IBS_TRANSFER_MODE__RELAY_DISABLE_VOICE_MUTE;
    else MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, dsp_chn, "\n[RES490_SetDtmfTransferType]\n");
    Static_Open(dsp_chn).DtmfTransferMode = mode;
    return 0;
}

int RES490_SetEchoCanceler(int dsp_chn, int mode)
{
    return Static_Set(dsp_chn, Static_Open, &Tac49xOpenOrUpdateChannelConfigurationAttr::EchoCancelerMode, mode);
}

int RES490_SetAutoGainControl(int dsp_chn, int flag)
{
    return Static_Set(dsp_chn, Static_Open, &Tac49xOpenOrUpdateChannelConfigurationAttr::AgcEnable, flag);
}

int RES490_SetSilenceCompressionMode(int dsp_chn, int mode)
{
    return Static_Set(dsp_chn, Static_Rtp, &Tac49xActivateOrUpdateRtpChannelConfigurationAttr::SilenceCompressionMode,
                      mode);
}

int RES490_SetComfortNoiseMode(int dsp_chn, int enable, int payload_type, int seconds)
{
    if (Static_Chn(dsp_chn) == nullptr) return -1;
    Tac49xActivateOrUpdateRtpChannelConfigurationAttr& rtp = Static_Rtp(dsp_chn);
    rtp.NoOperationEnable = enable;
    rtp.NoOperationPayloadType = payload_type;
    rtp.NoOperationTimeout_x20msec = (seconds * 50) & 0xFFFF;
    return 0;
}

int RES490_SetMaxTimeNoRtp(int dsp_chn, int seconds)
{
    return Static_Set(dsp_chn, Static_Rtp,
                      &Tac49xActivateOrUpdateRtpChannelConfigurationAttr::BrokenConnectionEventTimeout_x20msec,
                      (seconds * 50) & 0xFFFF);
}

int RES490_Set2833PayloadSend(int dsp_chn, int payload_type)
{
    return Static_Set(dsp_chn, Static_Rtp,
                      &Tac49xActivateOrUpdateRtpChannelConfigurationAttr::TxSignalingRfc2833PayloadType, payload_type);
}

int RES490_Set2833PayLoadRecv(int dsp_chn, int payload_type)
{
    return Static_Set(dsp_chn, Static_Rtp,
                      &Tac49xActivateOrUpdateRtpChannelConfigurationAttr::RxSignalingRfc2833PayloadType, payload_type);
}

int RES490_SendDtmf(int dsp_chn, const char* text, int length, int redirection)
{
    int device = 0, channel = 0;
    if (Static_Command(dsp_chn, device, channel) == nullptr || text == nullptr) return -1;
    if (length <= 0 || length > AC49X_IBS_STRING_SIGNALS) return -1;
    Tac49xIbsStringAttr ibs{};
    ibs.GeneratorRedirection = redirection;
    ibs.NumberOfDigits = length;
    ibs.OnDuration = ibs.OffDuration = ibs.PauseDuration = 100;
    for (int i = 0; i < length; ++i) {
        const int digit = SystemChangeKeySendToDsp(text[i]);
        if (digit < 0) return -1;
        ibs.Signal[i] = {0, digit, IBS_SYSTEM_CODE__DTMF};
    }
    return Ac49xSendIbsString(device, channel, &ibs);
}

int RES490_PlayTone(int dsp_chn, int tone)
{
    int device = 0, channel = 0;
    DSP_INFO_T* r = Static_Command(dsp_chn, device, channel);
    std::printf("iDeviceNum: %d\n", device);
    std::printf("iDeciceChn :%d\n", channel);
    if (r == nullptr) return -1;
    // Only tone types have rows: a value outside them would play an unrelated signal and
    // leave the channel marked as playing.
    const API_PLAY_TONE_DURATION_NODE_T* row = nullptr;
    if (tone >= 0 && tone < E_PLAY_TONE_MAX) {
        for (const API_PLAY_TONE_DURATION_NODE_T& n : g_sMapPlayToneDura)
            if (n.m_iToneType == tone + 8) row = &n;
    }
    if (row == nullptr) return -1;
    if (r->m_ePlayTone == E_FLAG_ON) RES490_StopPlayTone(dsp_chn);
    r->m_ePlayTone = E_FLAG_ON;
    r->m_eToneType = static_cast<SYS_PLAY_TONE_TYPE_E>(tone);
    g_iaPlayToneType[dsp_chn] = tone;
    r->m_iPlayTime = 255;
    Tac49xIbsStringAttr ibs{};
    ibs.GeneratorRedirection = IBS_STRING_GENERATOR_REDIRECTION__INTO_DECODER_OUTPUT;
    ibs.NumberOfDigits = 1;
    ibs.OnDuration = static_cast<U32>(row->m_iOnDuration);
    ibs.OffDuration = static_cast<U32>(row->m_iOffDuration);
    ibs.PauseDuration = static_cast<U32>(row->m_iPauseDuration);
    ibs.Signal[0] = {row->m_iFlagPause, tone + 8, IBS_SYSTEM_CODE__CALL_PROGRESS_0_TO_15};
    return Ac49xSendIbsString(device, channel, &ibs);
}

int RES490_StopPlayTone(int dsp_chn)
{
    int device = 0, channel = 0;
    DSP_INFO_T* r = Static_Command(dsp_chn, device, channel);
    if (r == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[RES490_StopPlayTone] -- 资源通道 = %d 异常", dsp_chn);
        return -1;
    }
    if (r->m_ePlayTone != E_FLAG_ON) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, dsp_chn, "[RES490_StopPlayTone] -- 该通道未在放音");
        return -1;
    }
    r->m_ePlayTone = E_FLAG_OFF;
    return Ac49xSendIbsStop(device, channel);
}

int SystemChangeKeySendToDsp(char key)
{
    if (key >= '0' && key <= '9') return key - '0';
    if (key == '*') return 10;
    if (key == '#') return 11;
    if (key >= 'A' && key <= 'D') return 12 + (key - 'A');
    return -1;
}
