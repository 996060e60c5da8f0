#include "net_manager.h"

int NetMan_Init() { return 0; }
