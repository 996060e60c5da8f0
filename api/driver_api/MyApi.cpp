#include "MyApi.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "board.h"
#include "sim/sim_board.h"

DEVICE_HANDLER g_hDriverHandler = -1;

int MyOpen(DEVICE_HANDLER* handle, const char* path)
{
    if (path == nullptr) return -1;
    const std::string where = board_path(path);
    // No O_CREAT: creating a missing "/dev/AG0" would hide a board without its driver behind
    // a plain file, and the program would run on as if it had a board.
    int fd = open(where.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::perror("open device failed");
        return -1;
    }
    struct stat st{};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && !SimBoard_Attach(fd, where.c_str())) {
        std::fprintf(stderr, "open device failed: simulated board opened too often\n");
        close(fd);
        return -1;
    }
    if (handle) *handle = fd;
    return fd;
}

int MyClose(DEVICE_HANDLER fd)
{
    if (fd < 0) return -1;
    if (SimBoard_Owns(fd)) SimBoard_Detach(fd);
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
    if (SimBoard_Owns(fd)) return SimBoard_Request(code, record);
    return ioctl(fd, code, record);
}
