#include "gate_frame.h"

#include <unistd.h>

#include <csignal>

namespace {
volatile std::sig_atomic_t g_quit = 0;
void on_quit(int) { g_quit = 1; }
}  // namespace

int Gate_Main(int, char**)
{
    std::signal(SIGINT, on_quit);
    std::signal(SIGTERM, on_quit);
    while (!g_quit) usleep(5000);
    return 0;
}
