// DriverRequest.h — one request of a wrapper, with the rule the wrappers share for its result.
#pragma once
#include "MyApi.h"

// MyIOControl's result, except that a negative descriptor never counts as answered: "no
// device" (13 without a request) must not let a read wrapper take its cleared record for
// the board's reply.
inline int DriverRequest(DEVICE_HANDLER fd, unsigned long code, void* record)
{
    int r = MyIOControl(fd, code, record);
    return (fd < 0 && r >= 0) ? -1 : r;
}
