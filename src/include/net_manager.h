// net_manager.h — the network manager's start-up hook.
#pragma once

int NetMan_Init();  // no effect; 0
