#include "IoApi.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "DriverRequest.h"
#include "HostBuffer.h"
#include "text.h"

int g_eDevType = 0;

namespace {
// The board needs this long to settle after its COR read level or probe level changes.
constexpr useconds_t kCorSettleUs = 200 * 1000;

// Fills a cleared record through fill and sends it; the request's result.
template <typename Fill>
int Static_Send(DEVICE_HANDLER fd, unsigned nr, IO_MSG_T& rec, Fill fill)
{
    std::memset(&rec, 0, sizeof rec);
    fill(rec);
    return DriverRequest(fd, IoRequestCode(nr), &rec);
}

template <typename Fill>
int Static_Output(DEVICE_HANDLER fd, unsigned nr, Fill fill)
{
    IO_MSG_T rec;
    return Static_Send(fd, nr, rec, fill);
}

// An input request: the field that answer picks from the board's reply, or -1 on failure.
template <typename Fill, typename Answer>
int Static_Input(DEVICE_HANDLER fd, unsigned nr, Fill fill, Answer answer)
{
    IO_MSG_T rec;
    if (Static_Send(fd, nr, rec, fill) < 0) return -1;
    return answer(rec);
}

void Static_NoFields(IO_MSG_T&) {}
void Static_Variant(IO_MSG_T& r) { r.m_iDevType = g_eDevType; }

// One COR probe reading of channel chn at the given probe level; -1 on failure.
int Static_ProbeCor(DEVICE_HANDLER fd, int chn, int level)
{
    return Static_Input(
        fd, E_IO_COR_PROBE,
        [&](IO_MSG_T& r) {
            r.m_iProbeChn = chn;
            r.m_iProbeLevel = level;
        },
        [](const IO_MSG_T& r) { return r.m_iProbeCor; });
}

int Static_SetCorLevel(DEVICE_HANDLER fd, int chn, int level)
{
    return Static_Output(fd, E_IO_COR_LEVEL, [&](IO_MSG_T& r) {
        r.m_iCorLevelChn = chn;
        r.m_iCorLevel = level;
    });
}
}  // namespace

void IO_SetDevType(int variant) { g_eDevType = variant; }

int IO_ErrorLedSet(DEVICE_HANDLER fd, int value)
{
    return Static_Output(fd, E_IO_ERROR_LED, [&](IO_MSG_T& r) {
        r.m_iLedValue = value;
        Static_Variant(r);
    });
}

int IO_BuzzerSpeak(DEVICE_HANDLER fd, int value)
{
    return Static_Output(fd, E_IO_BUZZER, [&](IO_MSG_T& r) { r.m_iBuzzer = value; });
}

int IO_CORLedSet(DEVICE_HANDLER fd, int value, int line)
{
    return Static_Output(fd, E_IO_COR_LED, [&](IO_MSG_T& r) {
        r.m_iLedValue = value;
        r.m_iLedIndex = line + 1;
    });
}

int IO_COR1LedSet(DEVICE_HANDLER fd, int value)
{
    return Static_Output(fd, E_IO_COR1_LED, [&](IO_MSG_T& r) { r.m_iLedValue = value; });
}

int IO_COR2LedSet(DEVICE_HANDLER fd, int value)
{
    return Static_Output(fd, E_IO_COR2_LED, [&](IO_MSG_T& r) { r.m_iLedValue = value; });
}

int IO_RuningLed(DEVICE_HANDLER fd, int value, int index)
{
    return Static_Output(fd, E_IO_RUN_LED, [&](IO_MSG_T& r) {
        r.m_iLedValue = value;
        r.m_iLedIndex = index;
        Static_Variant(r);
    });
}

int IO_RuningLed4Status(DEVICE_HANDLER fd, int value)
{
    return Static_Output(fd, E_IO_RUN_LED, [&](IO_MSG_T& r) {
        r.m_iLedValue = value;
        Static_Variant(r);
    });
}

int IO_PTT1ArmSet(DEVICE_HANDLER fd, int value)
{
    return Static_Output(fd, E_IO_PTT1_2W, [&](IO_MSG_T& r) { r.m_iPtt2WValue = value; });
}

int IO_PTT2ArmSet(DEVICE_HANDLER fd, int value)
{
    return Static_Output(fd, E_IO_PTT2_2W, [&](IO_MSG_T& r) { r.m_iPtt2WValue = value; });
}

int IO_PTTArmSet(DEVICE_HANDLER fd, int value, int line)
{
    return Static_Output(fd, E_IO_PTT, [&](IO_MSG_T& r) {
        r.m_iPttValue = value;
        r.m_iPttChn = line + 1;
    });
}

int IO_WritePttValue(DEVICE_HANDLER fd, int value)
{
    return Static_Output(fd, E_IO_PTT_WORD, [&](IO_MSG_T& r) { r.m_iPttWord = value; });
}

int IO_LockSingle(DEVICE_HANDLER fd, int value)
{
    return Static_Output(fd, E_IO_LOCK, [&](IO_MSG_T& r) {
        r.m_iLock = value;
        Static_Variant(r);
    });
}

int IO_UART2Change(DEVICE_HANDLER fd, int channel)
{
    return Static_Output(fd, E_IO_UART_ROUTE, [&](IO_MSG_T& r) {
        r.m_iUartRoute = channel;
        Static_Variant(r);
    });
}

int IO_SetRadioChn(DEVICE_HANDLER fd, int radio, int channel)
{
    return Static_Output(fd, E_IO_RADIO_CHN, [&](IO_MSG_T& r) {
        r.m_iRadioChn = channel;
        r.m_iRadioNum = radio;
    });
}

int IO_Line4Reset(DEVICE_HANDLER fd) { return Static_Output(fd, E_IO_LINE4_RESET, Static_NoFields); }

int IO_GpioInit(DEVICE_HANDLER fd) { return Static_Output(fd, E_IO_GPIO_INIT, Static_Variant); }

int IO_PIN_CHN_CS_Set(DEVICE_HANDLER fd, int value)
{
    return Static_Output(fd, E_IO_CHN_CS, [&](IO_MSG_T& r) { r.m_iChnCs = value; });
}

int IO_SetGpioValue(DEVICE_HANDLER fd, int pin, int value)
{
    std::printf("[IO_SetGpioValue]-- pin[%d], value[%d], size[%d]\n", pin, value,
                static_cast<int>(sizeof(IO_MSG_T)));
    return Static_Output(fd, E_IO_GPIO_SET, [&](IO_MSG_T& r) {
        r.m_iGpioPin = pin;
        r.m_iGpioValue = value;
    });
}

int IO_SetCor(DEVICE_HANDLER fd, int chn, int level)
{
    // The two-line board has no programmable read level.
    int r = g_eDevType == 0 ? Static_SetCorLevel(fd, chn, level) : 0;
    usleep(kCorSettleUs);
    return r;
}

int IO_ReadCorInfo(DEVICE_HANDLER fd)
{
    return Static_Input(fd, E_IO_COR_WORD, Static_Variant,
                        [](const IO_MSG_T& r) { return r.m_iCorWord; });
}

int IO_GetPower(DEVICE_HANDLER fd)
{
    return Static_Input(fd, E_IO_POWER, Static_NoFields,
                        [](const IO_MSG_T& r) { return r.m_iPowerWord; });
}

int IO_GetWatchDogStatus(DEVICE_HANDLER fd)
{
    return Static_Input(fd, E_IO_RESET_INPUT, Static_Variant,
                        [](const IO_MSG_T& r) { return r.m_iResetInput; });
}

int IO_GetCPLDVersion(DEVICE_HANDLER fd)
{
    return Static_Input(fd, E_IO_CPLD_VERSION, Static_Variant,
                        [](const IO_MSG_T& r) { return r.m_iCpldVersion; });
}

int IO_Get4IPVaule(DEVICE_HANDLER fd)
{
    return Static_Input(fd, E_IO_IP_JUMPERS, Static_Variant, [](const IO_MSG_T& r) {
        return r.m_iInput[0] + 2 * r.m_iInput[1] + 4 * r.m_iInput[2] + 8 * r.m_iInput[3];
    });
}

int IO_GetIP(DEVICE_HANDLER fd)
{
    return Static_Input(
        fd, E_IO_IP_JUMPERS,
        [](IO_MSG_T& r) {
            r.m_iIpSelect = 1;
            Static_Variant(r);
        },
        [](const IO_MSG_T& r) { return r.m_iIpSelect; });
}

int IO_GetChnOneValue(DEVICE_HANDLER fd)
{
    return Static_Input(fd, E_IO_CHN_ONE, Static_NoFields,
                        [](const IO_MSG_T& r) { return r.m_iInput[0]; });
}

int IO_GetIPValue(DEVICE_HANDLER fd) { return IO_GetChnOneValue(fd); }

int IO_GetChnTwoValue(DEVICE_HANDLER fd)
{
    return Static_Input(fd, E_IO_CHN_TWO, Static_NoFields,
                        [](const IO_MSG_T& r) { return r.m_iInput[1]; });
}

int IO_GetChnThreeValue(DEVICE_HANDLER fd)
{
    return Static_Input(fd, E_IO_CHN_THREE, Static_NoFields,
                        [](const IO_MSG_T& r) { return r.m_iInput[2]; });
}

int IO_GetChnFourValue(DEVICE_HANDLER fd)
{
    return Static_Input(fd, E_IO_CHN_FOUR, Static_NoFields,
                        [](const IO_MSG_T& r) { return r.m_iInput[3]; });
}

int IO_WriteGpio_date(DEVICE_HANDLER fd, int chip, int pin, int value)
{
    return Static_Input(
        fd, E_IO_GPIO_WRITE,
        [&](IO_MSG_T& r) {
            r.m_iGpioChip = chip;
            r.m_iGpioPin = pin;
            r.m_iGpioValue = value;
        },
        [](const IO_MSG_T& r) { return r.m_iGpioValue; });
}

int IO_ReadGpio_date(DEVICE_HANDLER fd, int chip, int pin)
{
    return Static_Input(
        fd, E_IO_GPIO_READ,
        [&](IO_MSG_T& r) {
            r.m_iGpioChip = chip;
            r.m_iGpioPin = pin;
        },
        [](const IO_MSG_T& r) { return r.m_iGpioValue; });
}

int IO_CheckCorOnAir(DEVICE_HANDLER fd, int line)
{
    int high = Static_ProbeCor(fd, line + 1, 1);
    std::printf("[IO_CheckCorOnAir]======iCorHigh=[%d]\n", high);
    usleep(kCorSettleUs);
    int low = Static_ProbeCor(fd, line + 1, 0);
    std::printf("[IO_CheckCorOnAir]======iCorLow=[%d]\n", low);
    usleep(kCorSettleUs);
    if (high < 0 || low < 0) return -2;
    return high != low ? -1 : 0;
}

int IO_CheckCorOnAir_Old(DEVICE_HANDLER fd, int line, int level)
{
    int high = Static_ProbeCor(fd, line + 1, 1);
    usleep(kCorSettleUs);
    int low = Static_ProbeCor(fd, line + 1, 0);
    usleep(kCorSettleUs);
    Static_SetCorLevel(fd, line + 1, level);
    if (high < 0 || low < 0) return -2;
    return high != low ? -1 : 0;
}

int IO_GetRebootReason(DEVICE_HANDLER fd, char* buffer, int length)
{
    if (buffer == nullptr) {
        std::fputs("[IO_GetRebootReason]--chBuffer == NULL\n", stderr);
        return -1;
    }
    if (length < 1) return -1;
    buffer[0] = '\0';
    std::uint32_t lent = HostBuffer_Lend(buffer);
    if (lent == 0) return -1;
    IO_MSG_T rec;
    int r = Static_Send(fd, E_IO_REBOOT_REASON, rec, [&](IO_MSG_T& m) {
        m.m_uReasonBuffer = lent;
        m.m_iReasonLength = length;
    });
    HostBuffer_Return(lent);
    if (r < 0) buffer[0] = '\0';
    else buffer[length - 1] = '\0';  // the driver fills up to length bytes; callers print it
    return r;
}

int IO_GetDriverVersion(DEVICE_HANDLER fd, char* buffer, int length)
{
    if (buffer == nullptr || length < 1) return -1;
    // The driver's text field is 64 bytes; a smaller buffer could not hold what it may send.
    if (length < static_cast<int>(sizeof(IO_MSG_T::m_chDriverVersion))) {
        copy_bounded(buffer, static_cast<std::size_t>(length), "Len is too short\n");
        return -1;
    }
    IO_MSG_T rec;
    int r = Static_Send(fd, E_IO_DRIVER_VERSION, rec, Static_NoFields);
    std::string_view text;
    if (r >= 0)
        text = std::string_view(rec.m_chDriverVersion,
                                strnlen(rec.m_chDriverVersion, sizeof rec.m_chDriverVersion));
    copy_bounded(buffer, static_cast<std::size_t>(length), text);
    return r;
}
