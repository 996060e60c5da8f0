// A stand-in for radiogate's board side, for the black-box tests of the simulated board:
// opens "/dev/AG0" (under BOARD_ROOT) as radiogate does, then runs one wrapper per line read
// from standard input and prints "<command> <result>". Like radiogate's 10 ms step it reads
// the COR word every 10 ms, so the board's control socket is served while it waits.
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "DspApi.h"
#include "IoApi.h"
#include "MyApi.h"

namespace {
// The start-up memory test of the DSP resource layer: value k at every even offset k of five
// 64 KiB blocks from 0x200000, read back; the tenth mismatch fails it.
int MemoryTest(DEVICE_HANDLER fd)
{
    ApiVoiceDspResetOnOff(fd, 0, 1);
    usleep(100 * 1000);
    ApiVoiceDspResetOnOff(fd, 0, 0);
    int errors = 0;
    for (std::uint32_t block = 0; block < 5; ++block) {
        const std::uint32_t base = 0x200000 + block * 0x10000;
        for (std::uint32_t k = 0; k < 0x10000; k += 2) ApiVoiceDspShortWrite(fd, base + k, static_cast<std::uint16_t>(k), 0);
        for (std::uint32_t k = 0; k < 0x10000; k += 2) {
            int got = ApiVoiceDspShortRead(fd, base + k, 0);
            if (got == static_cast<int>(k)) continue;
            if (++errors == 10) {
                std::printf("Test Error : Ac49xShortIoTest addr[0x%lx] rData[0x%hx] \n",
                            static_cast<unsigned long>(base + k), static_cast<unsigned short>(got));
                return -1;
            }
        }
    }
    return 0;
}

struct Command {
    std::string_view name;
    int args;
    int (*run)(DEVICE_HANDLER fd, const int* a);
};

const Command kCommands[] = {
    {"cor", 0, [](DEVICE_HANDLER fd, const int*) { return IO_ReadCorInfo(fd); }},
    {"power", 0, [](DEVICE_HANDLER fd, const int*) { return IO_GetPower(fd); }},
    {"reset", 0, [](DEVICE_HANDLER fd, const int*) { return IO_GetWatchDogStatus(fd); }},
    {"cpld", 0, [](DEVICE_HANDLER fd, const int*) { return IO_GetCPLDVersion(fd); }},
    {"jumpers", 0, [](DEVICE_HANDLER fd, const int*) { return IO_Get4IPVaule(fd); }},
    {"line4", 1, [](DEVICE_HANDLER fd, const int* a) {
         int (*const get[4])(DEVICE_HANDLER) = {IO_GetChnOneValue, IO_GetChnTwoValue, IO_GetChnThreeValue,
                                                 IO_GetChnFourValue};
         return a[0] >= 1 && a[0] <= 4 ? get[a[0] - 1](fd) : -1;
     }},
    {"devtype", 1, [](DEVICE_HANDLER, const int* a) { IO_SetDevType(a[0]); return 0; }},
    {"ptt", 2, [](DEVICE_HANDLER fd, const int* a) { return IO_PTTArmSet(fd, a[1], a[0]); }},
    {"ptt1", 1, [](DEVICE_HANDLER fd, const int* a) { return IO_PTT1ArmSet(fd, a[0]); }},
    {"ptt2", 1, [](DEVICE_HANDLER fd, const int* a) { return IO_PTT2ArmSet(fd, a[0]); }},
    {"buzzer", 1, [](DEVICE_HANDLER fd, const int* a) { return IO_BuzzerSpeak(fd, a[0]); }},
    {"errled", 1, [](DEVICE_HANDLER fd, const int* a) { return IO_ErrorLedSet(fd, a[0]); }},
    {"led", 2, [](DEVICE_HANDLER fd, const int* a) { return IO_RuningLed(fd, a[0], a[1]); }},
    {"corled1", 1, [](DEVICE_HANDLER fd, const int* a) { return IO_COR1LedSet(fd, a[0]); }},
    {"corled2", 1, [](DEVICE_HANDLER fd, const int* a) { return IO_COR2LedSet(fd, a[0]); }},
    {"radio", 1, [](DEVICE_HANDLER fd, const int* a) { return IO_SetRadioChn(fd, 1, a[0]); }},
    {"uart", 1, [](DEVICE_HANDLER fd, const int* a) { return IO_UART2Change(fd, a[0]); }},
    {"lock", 1, [](DEVICE_HANDLER fd, const int* a) { return IO_LockSingle(fd, a[0]); }},
    {"gpio", 3, [](DEVICE_HANDLER fd, const int* a) { return IO_WriteGpio_date(fd, a[0], a[1], a[2]); }},
    {"setcor", 2, [](DEVICE_HANDLER fd, const int* a) { return IO_SetCor(fd, a[0], a[1]); }},
    {"line4reset", 0, [](DEVICE_HANDLER fd, const int*) { return IO_Line4Reset(fd); }},
    {"gpioinit", 0, [](DEVICE_HANDLER fd, const int*) { return IO_GpioInit(fd); }},
    {"memtest", 0, [](DEVICE_HANDLER fd, const int*) { return MemoryTest(fd); }},
};

void Run(DEVICE_HANDLER fd, const std::string& line)
{
    char name[32] = {};
    int a[3] = {};
    int n = std::sscanf(line.c_str(), "%31s %d %d %d", name, &a[0], &a[1], &a[2]);
    std::string_view cmd = name;
    if (cmd == "driver" || cmd == "reason") {
        char text[128] = {};
        int r = cmd == "driver" ? IO_GetDriverVersion(fd, text, sizeof text)
                                : IO_GetRebootReason(fd, text, 64);
        std::printf("%s %d %s\n", name, r, text);
        return;
    }
    for (const auto& c : kCommands) {
        if (c.name != cmd) continue;
        if (n - 1 < c.args) break;
        std::printf("%s %d\n", name, c.run(fd, a));
        return;
    }
    std::printf("%s ?\n", name);
}
}  // namespace

int main()
{
    if (MyOpen(&g_hDriverHandler, "/dev/AG0") < 0) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    std::string pending;
    for (;;) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, 10) > 0) {
            std::array<char, 512> buf;
            ssize_t n = read(STDIN_FILENO, buf.data(), buf.size());
            if (n <= 0) break;
            pending.append(buf.data(), static_cast<std::size_t>(n));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (line == "quit") {
                    MyClose(g_hDriverHandler);
                    return 0;
                }
                Run(g_hDriverHandler, line);
                std::fflush(stdout);
            }
        }
        IO_ReadCorInfo(g_hDriverHandler);
    }
    MyClose(g_hDriverHandler);
    return 0;
}
