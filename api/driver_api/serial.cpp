#include "serial.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "board.h"

namespace {
// The four-wire board's link and the settings table pace each transfer at 1 ms per attempt;
// 100 attempts bound how long a silent or stuck port can hold the main loop.
constexpr int kAttempts = 100;
constexpr useconds_t kAttemptPauseUs = 1000;

struct BaudRow { int baud; speed_t speed; };
constexpr std::array<BaudRow, 11> kBauds{{
    {110, B110}, {300, B300}, {600, B600}, {1200, B1200}, {2400, B2400}, {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
}};
constexpr std::array<int, 4> kCharSizes{CS5, CS6, CS7, CS8};

// Converts the configured numbers of settings into the terminal constants, all or nothing:
// a record left half converted would be converted again, wrongly, by the next call.
bool Static_Convert(SERIAL_STRUCT& s)
{
    int speed = -1;
    for (const auto& row : kBauds)
        if (row.baud == s.m_iBaud) speed = static_cast<int>(row.speed);
    if (speed < 0) {
        std::printf("波特率[%d]错误\n", s.m_iBaud);
        return false;
    }
    if (s.m_iDataBits < 5 || s.m_iDataBits > 8) {
        std::printf("非法的数据位[%d]", s.m_iDataBits);
        return false;
    }
    int size = kCharSizes[static_cast<std::size_t>(s.m_iDataBits - 5)];
    int stop;
    if (s.m_iStopBits == 1) stop = 0;
    else if (s.m_iStopBits == 2) stop = CSTOPB;
    else {
        std::printf("非法的停止位[%d]", s.m_iStopBits);
        return false;
    }
    s.m_iBaud = speed;
    s.m_iDataBits = size;
    s.m_iStopBits = stop;
    s.m_iChangeFlag = 1;
    return true;
}

// Closes a port whose set-up failed; its result is -1.
int Static_Fail(int fd)
{
    close(fd);
    return -1;
}
}  // namespace

SERIAL_HANDLER Serial_Init(SERIAL_STRUCT* settings)
{
    if (settings == nullptr || settings->m_chSerialName[0] == '\0') {
        std::fputs("psSerailCfg.m_chSerialName 无串口设备名\n", stderr);
        return -1;
    }
    SERIAL_STRUCT& s = *settings;
    s.m_chSerialName[sizeof s.m_chSerialName - 1] = '\0';
    std::printf("初始化串口设备[%s]...\n", s.m_chSerialName);
    int fd = open(board_path(s.m_chSerialName).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::printf("打开串口[%s]失败!!!\n", s.m_chSerialName);
        return -1;
    }
    std::printf("打开串口[%s]成功,设置串口属性\n", s.m_chSerialName);

    if (s.m_iChangeFlag == 0 && !Static_Convert(s)) return Static_Fail(fd);

    termios t{};
    const auto speed = static_cast<speed_t>(s.m_iBaud);
    if (cfsetospeed(&t, speed) != 0) {
        std::printf("设置串口输出速度失败\n");
        return Static_Fail(fd);
    }
    if (cfsetispeed(&t, speed) != 0) {
        std::printf("设置串口输入速度失败\n");
        return Static_Fail(fd);
    }
    t.c_cflag |= speed | static_cast<tcflag_t>(s.m_iDataBits) | static_cast<tcflag_t>(s.m_iStopBits) |
                 CREAD | CLOCAL;
    if (s.m_eParity == E_EVENPARIT) {
        t.c_cflag |= PARENB;
        std::printf("偶校验设置成功\n");
    } else if (s.m_eParity == E_ODDPARITY) {
        t.c_cflag |= PARENB | PARODD;
        std::printf("奇校验设置成功\n");
    }
    t.c_iflag = IGNPAR;
    if (s.m_eControl & E_HS_RTSCTS) {
        t.c_cflag |= CRTSCTS;
        std::printf("Rts/Cts流控制生效");
    } else if (s.m_eControl & E_HS_XONXOFF) {
        t.c_iflag |= IXON | IXOFF;
        // From an all-zero setting the flow characters would be NUL, which the status frame
        // carries: the port would stop on data and send NUL to stop the far end.
        t.c_cc[VSTART] = 0x11;
        t.c_cc[VSTOP] = 0x13;
        std::printf("Xon/Xoff流控制生效");
    }
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cc[VTIME] = 1;
    t.c_cc[VMIN] = 0;
    tcflush(fd, TCIOFLUSH);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        std::printf("串口属性设置失败\n");
        return Static_Fail(fd);
    }
    std::printf("设置串口打开成功\n");
    return fd;
}

int Serial_Close(SERIAL_HANDLER* handle)
{
    if (handle == nullptr) return -1;
    int old = *handle;
    *handle = -1;
    if (old < 0) return old;
    tcflush(old, TCIOFLUSH);
    return close(old);
}

int Serial_Write(SERIAL_HANDLER fd, const void* buffer, int length)
{
    if (fd < 0) {
        std::fputs("请先打开串口\n", stderr);
        return -1;
    }
    if (buffer == nullptr || length < 0) return -2;
    const char* p = static_cast<const char*>(buffer);
    int done = 0;
    for (int i = 0; i < kAttempts && done < length; ++i) {
        ssize_t n = write(fd, p + done, static_cast<std::size_t>(length - done));
        if (n <= 0) std::perror("write");
        else done += static_cast<int>(n);
        usleep(kAttemptPauseUs);
    }
    return done == length ? 0 : -2;
}

int Serial_Drain(SERIAL_HANDLER fd)
{
    if (fd < 0) return -1;
    int r;
    while ((r = tcdrain(fd)) != 0 && errno == EINTR) {}
    return r == 0 ? 0 : -1;
}

int Serial_Read(SERIAL_HANDLER fd, void* buffer, int length)
{
    if (fd < 0) {
        std::fputs("请先打开串口\n", stderr);
        return -1;
    }
    if (buffer == nullptr || length < 0) return -1;
    char* p = static_cast<char*>(buffer);
    int got = 0;
    for (int i = 0; i < kAttempts && got < length; ++i) {
        ssize_t n = read(fd, p + got, static_cast<std::size_t>(length - got));
        if (n > 0) got += static_cast<int>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR) return got > 0 ? got : -1;
        usleep(kAttemptPauseUs);
    }
    return got;
}
