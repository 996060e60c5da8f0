#include "MyApi.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "board.h"

DEVICE_HANDLER g_hDriverHandler = -1;

int MyOpen(DEVICE_HANDLER* handle, const char* path)
{
    if (path == nullptr) return -1;
    int fd = open(board_path(path).c_str(), O_RDWR | O_CREAT, 0666);
    if (fd < 0) {
        std::perror("open device failed");
        return -1;
    }
    if (handle) *handle = fd;
    return fd;
}

int MyClose(DEVICE_HANDLER fd)
{
    if (fd < 0) return -1;
    if (close(fd) != 0) {
        std::perror("close device failed");
        return -1;
    }
    return 0;
}

int MyIOControl(DEVICE_HANDLER fd, unsigned long code, void* record)
{
    if (fd < -1) {
        const char msg[] = "请先打开设备\n";
        if (write(STDERR_FILENO, msg, std::strlen(msg))) {}
        return 13;
    }
    return ioctl(fd, code, record);
}
