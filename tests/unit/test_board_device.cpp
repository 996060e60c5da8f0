// The board device seam: which device answers, the descriptor rules of MyIOControl, and the
// simulated board's answers as the wrappers see them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <filesystem>
#include <string>

#include "DspApi.h"
#include "IoApi.h"
#include "MyApi.h"
#include "sim/sim_board.h"

namespace {
std::string g_dir = [] {
    char tmpl[] = "/tmp/boarddev-XXXXXX";
    static const std::string dir = mkdtemp(tmpl);
    std::atexit([] { std::filesystem::remove_all(dir); });
    return dir;
}();

bool Exists(const std::string& p)
{
    struct stat st{};
    return stat(p.c_str(), &st) == 0;
}

// A plain device file holding the given start-up commands.
std::string DeviceFile(const std::string& name, const std::string& commands = "")
{
    std::string p = g_dir + "/" + name;
    std::ofstream(p) << commands;
    return p;
}

std::string Command(std::string_view c)
{
    std::array<char, 8192> reply{};
    SimBoard_Command(c, reply.data(), reply.size());
    return reply.data();
}

// The output entries without their time stamps.
std::string Outputs()
{
    std::string all = Command("log"), out;
    std::size_t pos = 0;
    while (pos < all.size()) {
        std::size_t end = all.find('\n', pos);
        std::string line = all.substr(pos, end - pos);
        std::size_t blank = line.find(' ');
        out += (line.rfind("lost ", 0) == 0 ? line : line.substr(blank + 1)) + "\n";
        pos = end + 1;
    }
    return out;
}

// A simulated board opened for one test and closed after it.
struct SimOpen {
    DEVICE_HANDLER fd;
    explicit SimOpen(const std::string& path) : fd(MyOpen(nullptr, path.c_str())) {}
    ~SimOpen() { MyClose(fd); }
};
}  // namespace

TEST(BoardDevice, AMissingDeviceIsNotCreated)
{
    std::string p = g_dir + "/absent/AG0";
    DEVICE_HANDLER h = 55;
    testing::internal::CaptureStderr();
    EXPECT_EQ(MyOpen(&h, p.c_str()), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("open device failed"), std::string::npos);
    EXPECT_EQ(h, 55);
    std::string q = DeviceFile("gone");
    std::remove(q.c_str());
    EXPECT_EQ(MyOpen(&h, q.c_str()), -1);
    EXPECT_FALSE(Exists(q));
}

TEST(BoardDevice, DescriptorRules)
{
    IO_MSG_T rec{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(MyIOControl(-2, IoRequestCode(E_IO_COR_WORD), &rec), 13);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "请先打开设备\n");
    EXPECT_EQ(MyIOControl(-1, IoRequestCode(E_IO_COR_WORD), &rec), -1);
    EXPECT_EQ(MyClose(-1), -1);
}

TEST(BoardDevice, ACharacterDeviceGetsTheRealRequests)
{
    DEVICE_HANDLER h = -1;
    ASSERT_GE(MyOpen(&h, "/dev/null"), 0);
    EXPECT_EQ(IO_ReadCorInfo(h), -1);  // /dev/null has no such request
    EXPECT_FALSE(SimBoard_Owns(h));
    EXPECT_EQ(MyClose(h), 0);
}

TEST(BoardDevice, APlainFileIsTheSimulatedBoardStartedFromItsCommands)
{
    std::string p = DeviceFile("AG0", "# a board of the first generation\nset cpld 5\n"
                                      "set driver AG0 v2.3\nset reason watchdog\nset cor 0x4\n");
    DEVICE_HANDLER h = -1;
    ASSERT_GE(MyOpen(&h, p.c_str()), 0);
    EXPECT_TRUE(Exists(p + ".ctl"));
    EXPECT_EQ(IO_GetCPLDVersion(h), 5);
    EXPECT_EQ(IO_ReadCorInfo(h), 4);
    char text[128] = {};
    EXPECT_EQ(IO_GetDriverVersion(h, text, sizeof text), 0);
    EXPECT_STREQ(text, "AG0 v2.3");
    char reason[64];
    EXPECT_EQ(IO_GetRebootReason(h, reason, sizeof reason), 0);
    EXPECT_STREQ(reason, "watchdog");
    EXPECT_EQ(MyClose(h), 0);
    EXPECT_FALSE(Exists(p + ".ctl"));
}

TEST(BoardDevice, TwoOpensShareOneBoard)
{
    std::string p = DeviceFile("AG0-twice", "set power 3\n");
    DEVICE_HANDLER a = MyOpen(nullptr, p.c_str());
    DEVICE_HANDLER b = MyOpen(nullptr, p.c_str());
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_EQ(Command("set power 6"), "ok");
    EXPECT_EQ(IO_GetPower(a), 6);  // the second open did not start the board afresh
    EXPECT_EQ(MyClose(a), 0);
    EXPECT_TRUE(Exists(p + ".ctl"));
    EXPECT_EQ(IO_GetPower(b), 6);
    EXPECT_EQ(MyClose(b), 0);
    EXPECT_FALSE(Exists(p + ".ctl"));
}

TEST(BoardDevice, ControlCommands)
{
    SimOpen board(DeviceFile("AG0-commands"));
    struct Case { const char* command; const char* reply; };
    const Case cases[] = {
        {"ping", "ok"},
        {"set cor 0x1F", "ok"},
        {"set cor 12\n", "ok"},
        {"set cor -1", "error: bad number"},
        {"set cor 2147483648", "error: bad number"},  // beyond the word: refused, not wrapped
        {"set cor 0x", "error: bad number"},
        {"set cor 12abc", "error: bad number"},
        {"set jumpers 15", "ok"},
        {"set jumpers 16", "error: bad number"},
        {"set line4 1 0 0", "error: line4 takes four numbers"},
        {"set line4 1 0 0 1 1", "error: line4 takes four numbers"},
        {"set line4 1 0 1 1", "ok"},
        {"set dsp maybe", "error: dsp takes on or off"},
        {"set volume 3", "error: unknown input"},
        {"reboot", "error: unknown command"},
        {"", "error: unknown command"},
    };
    for (const auto& c : cases) EXPECT_EQ(Command(c.command), c.reply) << c.command;
    EXPECT_EQ(IO_ReadCorInfo(board.fd), 12);
    EXPECT_EQ(IO_Get4IPVaule(board.fd), 15);
    EXPECT_EQ(IO_GetChnOneValue(board.fd), 1);
    EXPECT_EQ(IO_GetChnTwoValue(board.fd), 0);
    EXPECT_EQ(IO_GetChnThreeValue(board.fd), 1);
    EXPECT_EQ(IO_GetChnFourValue(board.fd), 1);
}

TEST(BoardDevice, OutputsAreRecordedInOrder)
{
    SimOpen board(DeviceFile("AG0-outputs"));
    IO_SetDevType(1);
    IO_PTT1ArmSet(board.fd, 1);
    IO_PTTArmSet(board.fd, 1, 2);
    IO_RuningLed(board.fd, 1, 0);
    IO_UART2Change(board.fd, 3);
    IO_LockSingle(board.fd, 1);
    IO_SetRadioChn(board.fd, 1, 7);
    EXPECT_EQ(IO_WriteGpio_date(board.fd, 1, 52, 0x11F), 0x11F);
    EXPECT_EQ(IO_ReadGpio_date(board.fd, 1, 52), 0x11F);
    EXPECT_EQ(IO_WriteGpio_date(board.fd, 9, 52, 1), -1);  // no such chip
    IO_Line4Reset(board.fd);
    IO_GpioInit(board.fd);
    IO_SetDevType(0);
    ApiVoiceDspResetOnOff(board.fd, 0, 1);
    EXPECT_EQ(Outputs(),
              "ptt1 value=1\nptt chn=3 value=1\nled index=0 value=1 variant=1\nuart chn=3 variant=1\n"
              "lock value=1 variant=1\nradio radio=1 channel=7\ngpio chip=1 pin=52 value=287\n"
              "line4_reset\ngpio_init variant=1\ndsp_reset device=0 on=1\n");
    EXPECT_EQ(Command("log"), "");
}

TEST(BoardDevice, AFullOutputRecordSaysWhatWasLost)
{
    SimOpen board(DeviceFile("AG0-full"));
    // The record keeps 4096 entries (room for a DSP packet trace); 44 more push out the oldest.
    for (int i = 0; i < 4096 + 44; ++i) IO_BuzzerSpeak(board.fd, i);
    std::string first = Command("log");
    EXPECT_EQ(first.rfind("lost 44\n", 0), 0u) << first.substr(0, 40);
    EXPECT_NE(first.find(" buzzer value=44\n"), std::string::npos);
    EXPECT_EQ(first.find(" buzzer value=43\n"), std::string::npos);
    std::string all = first;
    for (std::string more = Command("log"); !more.empty(); more = Command("log")) all += more;
    EXPECT_NE(all.find(" buzzer value=4139\n"), std::string::npos);
}

TEST(BoardDevice, DspMemoryAsTheHostPortShowsIt)
{
    SimOpen board(DeviceFile("AG0-dsp"));
    const DEVICE_HANDLER fd = board.fd;
    EXPECT_EQ(ApiVoiceDspShortWrite(fd, 0x205E98, 0x3844, 0), 0);
    // The word's high byte is the byte at the even address.
    EXPECT_EQ(ApiVoiceDspByteRead(fd, 0x205E98, 0), 0x38);
    EXPECT_EQ(ApiVoiceDspByteRead(fd, 0x205E99, 0), 0x44);
    EXPECT_EQ(ApiVoiceDspByteWrite(fd, 0x205E99, 0x80, 0), 0);
    EXPECT_EQ(ApiVoiceDspShortRead(fd, 0x205E98, 0), 0x3880);
    EXPECT_EQ(ApiVoiceDspLongWrite(fd, 0x202000, 0x11223344, 0), 0);
    EXPECT_EQ(ApiVoiceDspShortRead(fd, 0x202000, 0), 0x1122);
    EXPECT_EQ(ApiVoiceDspLongRead(fd, 0x202000, 0), 0x11223344);
    const std::uint16_t out[3] = {0xA1A2, 0xB1B2, 0xC1C2};
    std::uint16_t in[3] = {};
    EXPECT_EQ(ApiVoiceDspShortBlockWrite(fd, 0x202600, out, 3, 0), 0);
    EXPECT_EQ(ApiVoiceDspShortRead(fd, 0x202602, 0), 0xB1B2);
    EXPECT_EQ(ApiVoiceDspShortBlockRead(fd, 0x202600, in, 3, 0), 0);
    EXPECT_EQ(in[2], 0xC1C2);
    // The host port control word is reached at address 0 (the driver's base wraps to it).
    EXPECT_EQ(ApiVoiceDspShortWrite(fd, 0xFFE00000u + 0x200000u, 0x2000, 0), 0);
    EXPECT_EQ(ApiVoiceDspShortRead(fd, 0, 0), 0x2000);
    // Memory holds through a reset pulse.
    ApiVoiceDspResetOnOff(fd, 0, 1);
    ApiVoiceDspResetOnOff(fd, 0, 0);
    EXPECT_EQ(ApiVoiceDspShortRead(fd, 0x202602, 0), 0xB1B2);
    // Outside the board's window nothing answers.
    EXPECT_EQ(ApiVoiceDspShortWrite(fd, 0x100000, 0x1234, 0), 0);
    EXPECT_EQ(ApiVoiceDspShortRead(fd, 0x100000, 0), 0xFFFF);
    EXPECT_EQ(Command("set dsp off"), "ok");
    EXPECT_EQ(ApiVoiceDspShortRead(fd, 0x202602, 0), 0xFFFF);
    EXPECT_EQ(ApiVoiceDspShortWrite(fd, 0x202602, 0x1111, 0), 0);
    EXPECT_EQ(Command("set dsp on"), "ok");
    EXPECT_EQ(ApiVoiceDspShortRead(fd, 0x202602, 0), 0xB1B2);
}

TEST(BoardDevice, UnknownRequestsFailLikeADriver)
{
    SimOpen board(DeviceFile("AG0-unknown"));
    IO_MSG_T rec{};
    EXPECT_EQ(MyIOControl(board.fd, IoRequestCode(0xFE), &rec), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(MyIOControl(board.fd, 0x5401, &rec), -1);
    EXPECT_EQ(MyIOControl(board.fd, IoRequestCode(E_IO_COR_WORD), nullptr), -1);
    EXPECT_EQ(IO_CheckCorOnAir_Old(board.fd, 40, 1), -2);  // channel 41 has no COR input
}
