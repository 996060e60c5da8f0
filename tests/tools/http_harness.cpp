// The HTTP broadcast server alone, for the black-box tests (radiogate itself never starts it):
// radiogate's log files, the server thread on a port, and on SIGTERM or SIGINT the gateway's own
// stop, after which the server thread (and any conversion) is waited for.
//
//   http_harness [--stdin-closed] PORT [HEADER_MS BODY_MS MAX_UPLOAD]
//
// --stdin-closed closes standard input first, so the listener takes descriptor 0.
// Prints "http harness ready\n" once the server listens and "http harness stopped\n" at the end.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http_interface.h"
#include "main.h"
#include "multi_log.h"

namespace {

int s_iPort = kHttpPort;
std::atomic<bool> s_bServerEnded{false};
int s_iServerResult = 0;

void* Static_ServerThread(void*)
{
    s_iServerResult = http_interface_server(s_iPort);
    s_bServerEnded = true;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 2 && std::strcmp(argv[1], "--stdin-closed") == 0) {
        close(0);
        --argc;
        ++argv;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: http_harness [--stdin-closed] PORT [HEADER_MS BODY_MS MAX_UPLOAD]\n");
        return 2;
    }
    s_iPort = std::atoi(argv[1]);
    if (argc >= 5) {
        g_sHttpLimits.m_iHeaderMs = std::atoi(argv[2]);
        g_sHttpLimits.m_iBodyMs = std::atoi(argv[3]);
        g_sHttpLimits.m_lMaxUpload = std::atol(argv[4]);
    }
    if (System_LogInit() != 0) return 1;

    // The signals are taken by this thread alone, in sigwait; the others inherit the mask.
    sigset_t quit;
    sigemptyset(&quit);
    sigaddset(&quit, SIGTERM);
    sigaddset(&quit, SIGINT);
    pthread_sigmask(SIG_BLOCK, &quit, nullptr);

    pthread_t server;
    if (pthread_create(&server, nullptr, Static_ServerThread, nullptr) != 0) return 1;
    while (fd_server < 0 && !s_bServerEnded) usleep(1000);
    if (s_bServerEnded) {
        pthread_join(server, nullptr);
        std::printf("http harness: no server on port %d (%d)\n", s_iPort, s_iServerResult);
        return 1;
    }
    std::printf("http harness ready\n");

    int sig = 0;
    sigwait(&quit, &sig);
    http_interface_server_stop();
    pthread_join(server, nullptr);
    std::printf("http harness stopped\n");
    return s_iServerResult == 0 ? 0 : 1;
}
