// libcode.cpp — the code library: its start-up call has nothing to prepare on this system.
#include "code.h"

int EncodeInit()
{
    return 0;
}
