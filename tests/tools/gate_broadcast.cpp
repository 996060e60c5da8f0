// A whole gateway with its HTTP broadcast server and its broadcast player started, for the
// black-box tests (radiogate itself starts neither, as on the board): the server's thread on
// port 8081 and the player's thread body, then the gateway's own frame, as radiogate's main
// runs it. It ends as radiogate does (SIGTERM or SIGINT); the server thread, stopped by the
// gateway's shutdown, is waited for before the process goes.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "broad_player.h"
#include "http_interface.h"
#include "main.h"

namespace {

pthread_t s_tServer{};

// The gateway's shutdown has stopped the server; a start-up that failed has not, and a stop
// that came before the server listened found nothing to stop: it is stopped until it ends.
void Static_JoinServer()
{
    while (pthread_tryjoin_np(s_tServer, nullptr) == EBUSY) {
        http_interface_server_stop();
        usleep(10000);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (pthread_create(&s_tServer, nullptr, _cbHttpServerThread, nullptr) != 0) return 1;
    std::atexit(Static_JoinServer);
    pthread_t player;
    if (pthread_create(&player, nullptr, _cbBroadThread, nullptr) != 0) return 1;
    pthread_join(player, nullptr);
    return System_Main(argc, argv);
}
