// MyApi.h — the board driver device: open, close and one request.
// Everything radiogate does with its board goes through these three calls. When the device
// path names a character device the requests go to its driver; otherwise (a plain file, as
// the run and test scripts lay out under a board root) the simulated board answers them.
#pragma once

typedef int DEVICE_HANDLER;

extern DEVICE_HANDLER g_hDriverHandler;  // "/dev/AG0", -1 until opened at start-up

// Opens the device path (a fixed board path, taken under the board root) read/write; stores
// the descriptor through handle when one is given and returns it; -1 (after perror) on
// failure. A missing device is never created: it means the driver is not there.
int MyOpen(DEVICE_HANDLER* handle, const char* path);
// -1 for a negative descriptor or a failed close; else 0.
int MyClose(DEVICE_HANDLER fd);
// A descriptor below -1 gets "请先打开设备\n" on stderr and 13; otherwise the request's result.
int MyIOControl(DEVICE_HANDLER fd, unsigned long code, void* record);
