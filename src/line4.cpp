#include "line4.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <cstdio>

#include "IoApi.h"
#include "arm_environment.h"
#include "multi_log.h"
#include "struct_sys.h"
#include "text.h"

SERIAL_STRUCT g_sSerialCfg = {"/dev/ttyS3", 9600, 8, 1, E_PARITY_NONE, E_CONTROL_NONE, 0};
SERIAL_HANDLER g_hSerHandler = -1;
DEVICE_HANDLER g_hDevHandler = -1;

namespace {

constexpr useconds_t kPauseUs = 1000;
constexpr std::uint8_t kWriteCmd[] = {0xFC, 0xF3, 0x3B};
constexpr std::uint8_t kReadCmd[] = {0xFC, 0xF3, 0x37};
constexpr std::uint8_t kReadHigh[] = {0xFC, 0xF3, 0x60, 0x26};
constexpr std::uint8_t kReadLow[] = {0xFC, 0xF3, 0x60, 0x25};

struct Register {
    std::uint16_t addr, value;
};
// The channel chip's set-up, written in this order.
constexpr Register kChipSetup[] = {
    {0x1E0F, 0x5A00}, {0x1E34, 0x0022}, {0x1E38, 0x0017}, {0x1E3D, 0x00A0}, {0x1E3E, 0x00A0}, {0x1E50, 0x0100},
    {0x1E57, 0x7FFF}, {0x1E6E, 0x0020}, {0x1E41, 0x0001}, {0x1E44, 0x0000}, {0x1E45, 0x0000}, {0x1E46, 0x0211},
    {0x1E4D, 0x00A0}, {0x1E52, 0x0006}, {0x1E63, 0x0020}, {0x1E70, 0x07C0}, {0x1E86, 0x0008}, {0x1E87, 0x0003},
    {0x1E88, 0x0020}, {0x1E8C, 0x0380}, {0x1E9A, 0x0300}, {0x1E9C, 0x1C00}, {0x1EC5, 0x0800}, {0x1EC6, 0x1A00},
    {0x1EC7, 0x1A00}, {0x1ED4, 0x1000}, {0x1ED5, 0x3000}, {0x1ED6, 0x2000}, {0x1ED7, 0x0700}, {0x1EDA, 0x3000},
    {0x1EDB, 0x1F00}, {0x1E36, 0x001F}, {0x1E37, 0x001F}, {0x1E48, 0x0380}, {0x1EDE, 0x4300}, {0x1EED, 0x1C00},
    {0x1EEE, 0x4000}, {0x1EF4, 0x4001}, {0x1EF7, 0x0000}, {0x1EFC, 0x0080}, {0x1EFE, 0x00A0}, {0x1E3A, 0x0000},
};
static_assert(std::size(kChipSetup) == 42);

// Old card volume values by level; channels 8 and 9 have values for levels 0..5 only, and
// take their loudest for 6 and 7.
constexpr std::array<std::uint16_t, 8> kOldSpk = {0x0009, 0x000C, 0x000F, 0x0011, 0x0014, 0x0017, 0x001A, 0x001D};
constexpr std::array<std::uint16_t, 8> kOldSpk89 = {0x0000, 0x0010, 0x0040, 0x0100, 0x03FB, 0x0FD9, 0x0FD9, 0x0FD9};
constexpr std::array<std::uint16_t, 8> kOldMic = {0x0000, 0x0001, 0x0002, 0x0003, 0x0004, 0x0007, 0x000A, 0x000D};
constexpr std::array<std::uint16_t, 8> kOldMic89 = {0x0000, 0x0100, 0x03FB, 0x0FD9, 0x3F18, 0xFB30, 0xFB30, 0xFB30};
// New card GPIO values by level.
constexpr std::array<int, 8> kNewSpk = {0x100, 0x110, 0x113, 0x116, 0x119, 0x11B, 0x11F, 0x121};
constexpr std::array<int, 8> kNewSpk4V = {0x100, 0x125, 0x129, 0x12D, 0x131, 0x135, 0x139, 0x13F};
constexpr std::array<int, 8> kNewMic = {0x100, 0x1C6, 0x1CE, 0x1D6, 0x1DE, 0x1E6, 0x1F0, 0x1FF};
constexpr int kNewMute = 0x100, kNewSpkOn = 0x139, kNewMicOn = 0x1FF;

// The status frame's code for inputs (line 1, 2, 3, 4) read as a 4-bit number, line 1 highest.
constexpr std::uint8_t kStatusCode[16] = {0x0B, 0x02, 0x06, 0x0F, 0x0C, 0x07, 0x03, 0x10,
                                          0x0E, 0x01, 0x05, 0x0A, 0x04, 0x08, 0x0D, 0x09};

std::array<int, 4> s_aLastStatus{};  // the inputs last reported

bool Static_Level(int level) { return level >= 0 && level <= 7; }

// A register exchange on the UART shared by the channels: routed to the channel's chip and
// locked for the whole of it. The bytes are drained out of the port before the lock goes,
// so no byte of it reaches the chip the next route selects.
template <class Body>
void Static_Exchange(int channel, Body body)
{
    IO_UART2Change(g_hDevHandler, channel);
    IO_LockSingle(g_hDevHandler, 1);
    usleep(kPauseUs);
    body();
    Serial_Drain(g_hSerHandler);
    IO_LockSingle(g_hDevHandler, 0);
}

void Static_SendRegister(int addr_high, int addr_low, int value_high, int value_low)
{
    const std::uint8_t frame[] = {kWriteCmd[0], kWriteCmd[1], kWriteCmd[2], static_cast<std::uint8_t>(addr_high),
                                  static_cast<std::uint8_t>(addr_low), static_cast<std::uint8_t>(value_high),
                                  static_cast<std::uint8_t>(value_low)};
    Serial_Write(g_hSerHandler, frame, sizeof frame);
}

// 0, or -1 (logged) when the board is not open.
int Static_CheckOpen(const char* who)
{
    if (g_hSerHandler < 0) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_ERROR, -1, "[%s]-- 请先初始化串口驱动 g_hSerHandler[%d]", who, g_hSerHandler);
        return -1;
    }
    if (g_hDevHandler < 0) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_ERROR, -1, "[%s]-- 请先初始化ARM驱动 g_hDevHandler[%d]", who, g_hDevHandler);
        return -1;
    }
    return 0;
}

void Line4InitChn(int channel)
{
    if (g_hSerHandler < 0) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_ERROR, -1, "[Line4InitChn]-- 请先初始化串口驱动 g_hSerHandler[%d]", g_hSerHandler);
        return;
    }
    usleep(kPauseUs);
    Static_Exchange(channel, [] {
        for (const Register& r : kChipSetup) {
            Static_SendRegister(r.addr >> 8, r.addr & 0xFF, r.value >> 8, r.value & 0xFF);
            usleep(kPauseUs);
        }
    });
}

// One register write; 0, or -1 (logged).
int Static_WriteOne(int channel, Register r)
{
    if (Line4_WriteRegister(channel, r.addr >> 8, r.addr & 0xFF, r.value >> 8, r.value & 0xFF) == 0) return 0;
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_ERROR, channel, "[Line4_WriteRegister]--%d%d fail!!! ", r.addr >> 8,
              r.addr & 0xFF);
    return -1;
}

// Two register writes, the first enabling the path, the second its value; 0 or -1.
int Static_WritePair(int channel, Register first, Register second)
{
    return Static_WriteOne(channel, first) == 0 ? Static_WriteOne(channel, second) : -1;
}

std::uint16_t Static_OldValue(int channel, int level, const std::array<std::uint16_t, 8>& low,
                              const std::array<std::uint16_t, 8>& high)
{
    if (channel >= 1 && channel <= 7) return low[static_cast<std::size_t>(level)];
    if (channel == 8 || channel == 9) return high[static_cast<std::size_t>(level)];
    return 0;
}

int Static_OldSpkVolume(int channel, int level)
{
    if (!Static_Level(level)) return -1;
    std::uint16_t v = Static_OldValue(channel, level, kOldSpk, kOldSpk89);
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, channel, "[Line4_SetSpkVolume]-- eChn[%d],[0x%02d]", channel, v >> 8);
    return Static_WritePair(channel, {0x1E3E, 0x00A0}, {0x3FC6, v});
}

int Static_OldMicVolume(int channel, int level)
{
    if (!Static_Level(level)) return -1;
    std::uint16_t v = Static_OldValue(channel, level, kOldMic, kOldMic89);
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, channel, "[Line4SetMicVolume]-- eChn[%d],[0x%02d]", channel, v >> 8);
    return Static_WritePair(channel, {0x1E3D, 0x00A0}, {0x3FC0, v});
}

int Static_OldMute(const char* who, std::uint16_t addr, int channel, int flag)
{
    std::uint16_t v = flag == 1 ? 0x0000 : 0xFFFF;
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, channel, "[%s]-- eChn[%d], iFlag[%d], [0x%02d%02d]", who, channel, flag,
              v >> 8, v & 0xFF);
    return Static_WriteOne(channel, {addr, v});
}

// The GPIO chip of a channel on the new card, 0 for a channel it does not have.
int Static_Chip(int channel) { return channel == 1 || channel == 2 ? 1 : (channel == 3 || channel == 4 ? 2 : 0); }

void Static_NewWrite(int channel, int pin, int value)
{
    IO_WriteGpio_date(g_hDevHandler, Static_Chip(channel), pin, value);
}

int Static_SpkPin(int channel) { return channel == 1 || channel == 3 ? 52 : 53; }
int Static_MicPin(int channel) { return channel == 1 || channel == 3 ? 15 : 16; }

// The speaker volume only: the line count and the compatibility mode are the board
// environment's and stay as start-up fixed them.
void Static_NewSpkVolume(int channel, int level)
{
    if (Static_Chip(channel) == 0 || !Static_Level(level)) return;
    const auto& table = g_sDBInfo.m_sSysCfgInfo.m_sDevEnv.m_eSysCompMod == E_SYS_4V ? kNewSpk4V : kNewSpk;
    int v = table[static_cast<std::size_t>(level)];
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, channel, "[Line4_SetSpkVolume]-- eChn[%d],[0x%04x]", channel, v);
    Static_NewWrite(channel, Static_SpkPin(channel), v);
}

void Static_NewMicVolume(int channel, int level)
{
    if (Static_Chip(channel) == 0 || !Static_Level(level)) return;
    int v = kNewMic[static_cast<std::size_t>(level)];
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, channel, "[Line4_SetMicVolume]-- eChn[%d], [0x%04x]", channel, v);
    Static_NewWrite(channel, Static_MicPin(channel), v);
}

void Static_NewMute(const char* who, int pin, int on_value, int channel, int flag)
{
    if (Static_Chip(channel) == 0) return;
    int v = flag == 1 ? kNewMute : on_value;
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, channel, "[%s]-- eChn[%d], iFlag[%d], [0x%04x]", who, channel, flag, v);
    Static_NewWrite(channel, pin, v);
}

bool Static_NewCard() { return ArmEnv_GetCardType() == 1; }

}  // namespace

int Line4_Init(DEVICE_HANDLER fd)
{
    if (Static_NewCard()) {
        copy_text(g_sSerialCfg.m_chSerialName, "/dev/ttyS2");
        g_sSerialCfg.m_iBaud = 57600;
        g_sSerialCfg.m_iDataBits = 8;
        g_sSerialCfg.m_iStopBits = 1;
        g_sSerialCfg.m_iChangeFlag = 0;
    }
    IO_Line4Reset(fd);
    if (Line4_Open(fd) != 0) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_ERROR, -1, "[Line4_Init]-- Line4_Open failed...");
        return -1;
    }
    int channels = 0;
    switch (g_sSysCfgInfo.m_sDevEnv.m_eSysCompMod) {
    case E_SYS_4W: channels = 4; break;
    case E_SYS_9W: channels = 9; break;
    case E_SYS_2W: channels = 2; break;
    default: break;
    }
    for (int ch = E_CHANNEL_1; ch <= channels; ++ch) {
        if (Static_NewCard()) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, ch, "[Line4_Init]-- Line4_init for new...");
            Line4_SetSpkVolume(ch, E_API_VOLUME_LEVL_6);
            Line4_SetMicVolume(ch, E_API_VOLUME_LEVL_6);
        } else {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, ch, "[Line4_Init]-- Line4_init for old...");
            Line4InitChn(ch);
        }
    }
    return 0;
}

int Line4_Open(DEVICE_HANDLER fd)
{
    if (fd < 0) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_ERROR, -1, "hDevHandler<0");
        return -1;
    }
    std::printf("[Line4_Open]-- hDevHandler[%d]\n", fd);
    g_hDevHandler = fd;
    if (Static_NewCard()) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_WARNNING, -1, "当前为新板卡，不需要串口");
        return 0;
    }
    g_hSerHandler = Serial_Init(&g_sSerialCfg);
    if (g_hSerHandler < 0) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_ERROR, -1, "串口初始化失败");
        return -1;
    }
    std::printf("[Line4_Open]-- hDevHandler[%d]              --- Succ\n", fd);
    return 0;
}

void Line4_Close()
{
    if (Static_NewCard()) return;
    std::printf("[Line4_Close]-- \n");
    Serial_Close(&g_hSerHandler);
}

int Line4_Reset(DEVICE_HANDLER fd)
{
    Line4_Close();
    IO_Line4Reset(fd);
    if (Line4_Open(fd) != 0) {
        std::printf("[Line4_Reset]-- Fail...     Reason[ Line4_Open Failed...]\n");
        return -1;
    }
    int result = 0;
    for (int ch = E_CHANNEL_1; ch <= E_CHANNEL_4; ++ch) {
        if (Line4_ReadRegister(ch, 0x1E, 0x65) == 0) continue;
        std::printf("[Line4_Reset]-- Failed...ChipNum[%d]\n", ch);
        if (Line4_ReadRegister(ch, 0x1E, 0x65) != 0) {
            std::printf("[Line4_Reset2]-- Failed...ChipNum[%d]\n", ch);
            result = -1;
        }
    }
    return result;
}

int Line4_WriteRegister(int channel, int addr_high, int addr_low, int value_high, int value_low)
{
    if (Static_CheckOpen("Line4_WriteRegister") != 0) return -1;
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, channel, "[%s]-- Addr[0x%02x0%02x], Value[0x%02x0%02x]",
              "Line4_WriteRegister", addr_high, addr_low, value_high, value_low);
    Static_Exchange(channel, [&] {
        Static_SendRegister(addr_high, addr_low, value_high, value_low);
        usleep(kPauseUs);
    });
    return 0;
}

int Line4_ReadRegister(int channel, int addr_high, int addr_low)
{
    if (Static_CheckOpen("Line4_ReadRegister") != 0) return -1;
    std::uint8_t high = 0, low = 0;
    Static_Exchange(channel, [&] {
        const std::uint8_t ask[] = {kReadCmd[0], kReadCmd[1], kReadCmd[2], static_cast<std::uint8_t>(addr_high),
                                    static_cast<std::uint8_t>(addr_low)};
        Serial_Write(g_hSerHandler, ask, sizeof ask);
        usleep(kPauseUs);
        // The chip answers a byte only once it has the whole request.
        Serial_Write(g_hSerHandler, kReadHigh, sizeof kReadHigh);
        Serial_Drain(g_hSerHandler);
        usleep(kPauseUs);
        Serial_Read(g_hSerHandler, &high, 1);
        Serial_Write(g_hSerHandler, kReadLow, sizeof kReadLow);
        Serial_Drain(g_hSerHandler);
        usleep(kPauseUs);
        Serial_Read(g_hSerHandler, &low, 1);
    });
    int value = high << 8 | low;
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, channel, "[Line4_ReadRegister]-- Chn[%d], Addr[0x%02x%02x], ReadValue[0x%04x]",
              channel, addr_high, addr_low, value);
    return value;
}

int Line4_SetSpkVolume(int channel, int level)
{
    if (Static_NewCard()) Static_NewSpkVolume(channel, level);
    else Static_OldSpkVolume(channel, level);
    return 0;
}

int Line4_SetMicVolume(int channel, int level)
{
    if (Static_NewCard()) Static_NewMicVolume(channel, level);
    else Static_OldMicVolume(channel, level);
    return 0;
}

int Line4_SetMuteForSpeaker(int channel, int flag)
{
    if (Static_NewCard()) Static_NewMute("Line4_SetMuteForSpeaker", Static_SpkPin(channel), kNewSpkOn, channel, flag);
    else Static_OldMute("Line4_SetMuteForSpeaker", 0x1E3F, channel, flag);
    return 0;
}

int Line4_SetMuteForMic(int channel, int flag)
{
    if (Static_NewCard()) Static_NewMute("Line4_SetMuteForMic", Static_MicPin(channel), kNewMicOn, channel, flag);
    else Static_OldMute("Line4_SetMuteForMic", 0x1E40, channel, flag);
    return 0;
}

std::uint16_t PcCheckSum(const std::uint8_t* bytes, std::size_t length)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < length; i += 2) sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (length % 2) sum += static_cast<std::uint32_t>(bytes[length - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

void Line4_StatusFrame(const int inputs[4], std::uint8_t frame[10])
{
    const std::uint8_t code = kStatusCode[(inputs[0] << 3) | (inputs[1] << 2) | (inputs[2] << 1) | inputs[3]];
    const std::uint8_t summed[8] = {0x68, 0x01, 0x01, 0x01, 0x00, 0x01, code, 0x10};
    const std::uint16_t cs = PcCheckSum(summed, sizeof summed);
    const std::uint8_t out[10] = {0x68, 0x01, 0x01, 0x01, static_cast<std::uint8_t>(cs >> 8),
                                  static_cast<std::uint8_t>(cs & 0xFF), 0x00, 0x01, code, 0x10};
    std::copy(std::begin(out), std::end(out), frame);
}

void Line4_SerialProcess()
{
    int now[4] = {IO_GetChnOneValue(g_hDevHandler), IO_GetChnTwoValue(g_hDevHandler),
                  IO_GetChnThreeValue(g_hDevHandler), IO_GetChnFourValue(g_hDevHandler)};
    // Descriptor 0 is a port like any other; only a negative handle means none is open.
    if (g_hSerHandler < 0) g_hSerHandler = Serial_Init(&g_sSerialCfg);
    bool changed = false;
    for (int i = 0; i < 4; ++i) changed = changed || now[i] != s_aLastStatus[static_cast<std::size_t>(i)];
    if (!changed) return;
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, -1,
              "-------------- g_hSerHandler=[%d],iChnOneStatus=[%d],iChnTwoStatus=[%d],iChnThreeStatus=[%d],"
              "iChnFourStatus=[%d]",
              g_hSerHandler, now[0], now[1], now[2], now[3]);
    bool reportable = true;
    for (int v : now) reportable = reportable && (v == 0 || v == 1);
    if (reportable) {
        std::uint8_t frame[10];
        Line4_StatusFrame(now, frame);
        // Remembered only once the frame is out: a frame that could not be written is sent
        // again at the next step instead of the change being lost.
        if (Serial_Write(g_hSerHandler, frame, sizeof frame) != 0) return;
    }
    for (int i = 0; i < 4; ++i) s_aLastStatus[static_cast<std::size_t>(i)] = now[i];
}
