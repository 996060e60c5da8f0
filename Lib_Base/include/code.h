// code.h — the code library's one start-up call.
#pragma once

int EncodeInit();   // 0
