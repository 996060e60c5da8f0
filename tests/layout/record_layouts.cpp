// The records whose bytes someone else reads (the shared memory segment of the web program,
// the board driver's requests, the serial settings, the DSP's packets) compiled once more the
// way the board's Debian armhf compiles everything: 64-bit time_t and file offsets. Each header
// asserts its own sizes and offsets, so this unit fails to compile when one would move.
// Nothing links it.
#include <ctime>
#include <sys/types.h>

#include "AC49xDrv_Definitions.h"
#include "DspApi.h"
#include "IoApi.h"
#include "serial.h"
#include "sharememory.h"
#include "struct_sys.h"

static_assert(sizeof(std::time_t) == 8 && sizeof(off_t) == 8, "compiled as the board compiles");
