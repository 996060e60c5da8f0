// The serial module on a pseudo-terminal pair: what Serial_Init leaves in the terminal
// driver (read back with stty), its refusals, and the read and write results.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "serial.h"
#include "text.h"

namespace {
// One pseudo-terminal pair; the module opens the terminal side by name.
struct Pty {
    int master = -1, slave = -1;
    std::string name;
    Pty()
    {
        char n[128] = {};
        if (openpty(&master, &slave, n, nullptr, nullptr) == 0) name = n;
    }
    ~Pty()
    {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
};

SERIAL_STRUCT Settings(const std::string& name, int baud, int data, int stop, SERIAL_PARITY_E parity,
                       SERIAL_CONTROL_E control)
{
    SERIAL_STRUCT s{};
    copy_text(s.m_chSerialName, name);
    s.m_iBaud = baud;
    s.m_iDataBits = data;
    s.m_iStopBits = stop;
    s.m_eParity = parity;
    s.m_eControl = control;
    return s;
}

// The settings stty shows for a terminal, as blank-separated words.
std::string Stty(const std::string& name)
{
    std::string out = " ";
    if (FILE* p = popen(("stty -a -F " + name + " 2>&1").c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    for (char& c : out)
        if (c == '\n' || c == ';') c = ' ';
    return out + " ";
}

bool Shows(const std::string& stty, const std::string& word) { return stty.find(" " + word + " ") != std::string::npos; }

int OpenDescriptors()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}
}  // namespace

TEST(Serial, InitSetsWhatTheTerminalDriverThenShows)
{
    // A pseudo-terminal keeps speed, stop bits, parity sense, flow control and the raw modes;
    // it always reports 8 data bits and no parity check, so those are read from the record.
    struct Case {
        const char* what;
        int baud, data, stop;
        SERIAL_PARITY_E parity;
        SERIAL_CONTROL_E control;
        std::vector<std::string> shown;
        int want_char_size;
    };
    const Case cases[] = {
        {"four-wire old card", 9600, 8, 1, E_PARITY_NONE, E_CONTROL_NONE,
         {"speed 9600 baud", "-cstopb", "-parodd", "-crtscts", "-ixon", "-ixoff", "ignpar", "cread", "clocal",
          "-icanon", "-echo", "-isig", "-opost", "min = 0", "time = 1"},
         CS8},
        {"new card, odd parity, RTS/CTS", 57600, 7, 2, E_ODDPARITY, E_HS_RTSCTS,
         {"speed 57600 baud", "cstopb", "parodd", "crtscts", "-ixon"}, CS7},
        {"XON/XOFF", 115200, 5, 1, E_EVENPARIT, E_HS_XONXOFF,
         {"speed 115200 baud", "-parodd", "-crtscts", "ixon", "ixoff", "start = ^Q", "stop = ^S"}, CS5},
        {"both flow bits: RTS/CTS wins", 110, 6, 1, E_PARITY_NONE, static_cast<SERIAL_CONTROL_E>(3),
         {"speed 110 baud", "crtscts", "-ixon"}, CS6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Pty pty;
        ASSERT_FALSE(pty.name.empty());
        SERIAL_STRUCT s = Settings(pty.name, c.baud, c.data, c.stop, c.parity, c.control);
        SERIAL_HANDLER h = Serial_Init(&s);
        ASSERT_GE(h, 0);
        std::string shown = Stty(pty.name);
        for (const auto& word : c.shown) {
            bool seen = word.find(' ') != std::string::npos ? shown.find(word) != std::string::npos
                                                            : Shows(shown, word);
            EXPECT_TRUE(seen) << word << " in" << shown;
        }
        EXPECT_EQ(s.m_iDataBits, c.want_char_size);
        EXPECT_EQ(s.m_iChangeFlag, 1);
        EXPECT_EQ(Serial_Close(&h), 0);
        EXPECT_EQ(h, -1);
    }
}

TEST(Serial, TheSameRecordIsConvertedOnce)
{
    Pty pty;
    SERIAL_STRUCT s = Settings(pty.name, 57600, 8, 2, E_PARITY_NONE, E_CONTROL_NONE);
    SERIAL_HANDLER h = Serial_Init(&s);
    ASSERT_GE(h, 0);
    const SERIAL_STRUCT once = s;
    Serial_Close(&h);
    h = Serial_Init(&s);  // converting CS8 again would read as an illegal data-bit count
    ASSERT_GE(h, 0);
    EXPECT_EQ(std::memcmp(&s, &once, sizeof s), 0);
    EXPECT_TRUE(Shows(Stty(pty.name), "cstopb"));
    Serial_Close(&h);
}

TEST(Serial, RefusalsSayWhyCloseThePortAndLeaveTheRecord)
{
    Pty pty;
    struct Case {
        const char* what;
        SERIAL_STRUCT s;
        const char* said;
    };
    const Case cases[] = {
        {"bad baud rate", Settings(pty.name, 12345, 8, 1, E_PARITY_NONE, E_CONTROL_NONE), "波特率[12345]错误\n"},
        {"bad data bits after a good baud rate", Settings(pty.name, 9600, 9, 1, E_PARITY_NONE, E_CONTROL_NONE),
         "非法的数据位[9]"},
        {"bad stop bits", Settings(pty.name, 9600, 8, 3, E_PARITY_NONE, E_CONTROL_NONE), "非法的停止位[3]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SERIAL_STRUCT s = c.s;
        int before = OpenDescriptors();
        testing::internal::CaptureStdout();
        EXPECT_EQ(Serial_Init(&s), -1);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.said), std::string::npos) << out;
        EXPECT_EQ(OpenDescriptors(), before);
        EXPECT_EQ(std::memcmp(&s, &c.s, sizeof s), 0);  // nothing half converted
    }
}

TEST(Serial, InitWithoutADevice)
{
    SERIAL_STRUCT s = Settings("", 9600, 8, 1, E_PARITY_NONE, E_CONTROL_NONE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Serial_Init(&s), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "psSerailCfg.m_chSerialName 无串口设备名\n");
    s = Settings("/nonexistent/ttyS3", 9600, 8, 1, E_PARITY_NONE, E_CONTROL_NONE);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Serial_Init(&s), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "初始化串口设备[/nonexistent/ttyS3]...\n打开串口[/nonexistent/ttyS3]失败!!!\n");
}

TEST(Serial, ReadTellsNothingFromEverything)
{
    Pty pty;
    SERIAL_STRUCT s = Settings(pty.name, 9600, 8, 1, E_PARITY_NONE, E_CONTROL_NONE);
    SERIAL_HANDLER h = Serial_Init(&s);
    ASSERT_GE(h, 0);
    char buf[8] = {};
    struct Case { const char* what; const char* sent; int want; const char* got; };
    const Case cases[] = {
        {"nothing arrived", "", 0, ""},
        {"part arrived", "ab", 2, "ab"},
        {"everything arrived", "wxyz", 4, "wxyz"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::memset(buf, 0, sizeof buf);
        const auto len = static_cast<ssize_t>(std::strlen(c.sent));
        if (len > 0) {
            ASSERT_EQ(write(pty.master, c.sent, static_cast<std::size_t>(len)), len);
        }
        EXPECT_EQ(Serial_Read(h, buf, 4), c.want);
        EXPECT_STREQ(buf, c.got);
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(Serial_Read(-1, buf, 4), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "请先打开串口\n");
    Serial_Close(&h);
}

TEST(Serial, WriteReportsWhatThePortDidNotTake)
{
    Pty pty;
    SERIAL_STRUCT s = Settings(pty.name, 9600, 8, 1, E_PARITY_NONE, E_HS_XONXOFF);
    SERIAL_HANDLER h = Serial_Init(&s);
    ASSERT_GE(h, 0);
    const unsigned char frame[10] = {0x68, 0x01, 0x01, 0x01, 0x8B, 0xEC, 0x00, 0x01, 0x0B, 0x10};
    EXPECT_EQ(Serial_Write(h, frame, sizeof frame), 0);
    unsigned char got[16] = {};
    EXPECT_EQ(read(pty.master, got, sizeof got), 10);
    EXPECT_EQ(std::memcmp(got, frame, sizeof frame), 0);

    // The far end sends XOFF: the port takes nothing more.
    ASSERT_EQ(write(pty.master, "\x13", 1), 1);
    usleep(20 * 1000);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Serial_Write(h, frame, sizeof frame), -2);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("write: ", 0), 0u) << err.substr(0, 80);

    testing::internal::CaptureStderr();
    EXPECT_EQ(Serial_Write(-1, frame, sizeof frame), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "请先打开串口\n");
    Serial_Close(&h);
}

TEST(Serial, CloseTakesDescriptorZeroForAPort)
{
    // Descriptor 0 is a port like any other: closing it must really close it.
    int saved = dup(0);
    Pty pty;
    ASSERT_EQ(dup2(pty.slave, 0), 0);
    SERIAL_HANDLER h = 0;
    EXPECT_EQ(Serial_Close(&h), 0);
    EXPECT_EQ(h, -1);
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
    dup2(saved, 0);
    close(saved);
    SERIAL_HANDLER none = -1;
    EXPECT_EQ(Serial_Close(&none), -1);
}
