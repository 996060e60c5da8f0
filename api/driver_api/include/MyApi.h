// MyApi.h — the board driver device: open, close and one request.
// Everything radiogate does with its board goes through these three calls.
#pragma once

typedef int DEVICE_HANDLER;

extern DEVICE_HANDLER g_hDriverHandler;  // "/dev/AG0", -1 until opened at start-up

// Opens path read/write (mode 0666 when created); stores the descriptor through handle when
// one is given and returns it; -1 (after perror) on failure.
int MyOpen(DEVICE_HANDLER* handle, const char* path);
// -1 for a negative descriptor or a failed close; else 0.
int MyClose(DEVICE_HANDLER fd);
// A descriptor below -1 gets "请先打开设备\n" on stderr and 13; otherwise the request's result.
int MyIOControl(DEVICE_HANDLER fd, unsigned long code, void* record);
