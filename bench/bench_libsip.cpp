// Cost of the SIP stack's 10 ms poll: idle (nothing waits, nothing runs), and with registrations
// and OPTIONS probes waiting for answers (osip's timers walked on every poll).
#include <benchmark/benchmark.h>

#include "loopback.h"
#include "sip.h"

static int start_stack()
{
    LIBSIP_CFG_INFO_T cfg = loopback_cfg(9, 40);   // requests go to the discard port
    return LIBSIP_ConfigInfo(&cfg);
}

static void BM_PollIdle(benchmark::State& state)
{
    start_stack();
    for (auto _ : state) LIBSIP_Thread();
}
BENCHMARK(BM_PollIdle);

static void BM_PollWithRequestsWaiting(benchmark::State& state)
{
    start_stack();
    for (int i = 0; i < state.range(0); ++i) {
        int chn = LIBSIP_CreatChn(-1);
        LIBSIP_SetFromTel(chn, "100");
        LIBSIP_Send(i % 2 ? 100 : 219, chn);   // sent to the discard port: no answer comes
    }
    for (auto _ : state) LIBSIP_Thread();
}
BENCHMARK(BM_PollWithRequestsWaiting)->Arg(9)->Arg(40);

BENCHMARK_MAIN();
