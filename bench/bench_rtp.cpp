// The RTP layer's network-to-line path. BM_VoxHandOverDelay/J: how long a far-end packet of a
// VOX line waits between its arrival and its hand-over to the DSP beyond the configured
// pre-voice time, in loop milliseconds (the layer's own clock), with 20 ms packets arriving up
// to J ms late (a fixed pseudo-random pattern); counters extra_delay_ms (mean),
// extra_delay_p99_ms and extra_delay_max_ms. BM_NineLinesVoice: the CPU one loop millisecond
// costs per line when nine lines carry voice (nine open channels, a far end sending 20 ms
// packets to each over loopback); the counter line_ms is the time per line per loop
// millisecond, core_percent the share of one core the nine lines take.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "arm_environment.h"
#include "fifo.h"
#include "g711.h"
#include "rtp_res.h"
#include "struct_sys.h"
#include "user.h"

// The layer's calls outside itself that a benchmark has no use for.
extern "C" int __wrap__Z22RES490_SetRtpFrameSizeii(int, int) { return 0; }
extern "C" int __wrap__Z14SipMan_SendByeii(int, int) { return 0; }
extern "C" int __wrap__Z14UserRequestProi(int) { return 0; }
extern "C" int __wrap__Z14UserReleaseProi(int) { return 0; }
extern "C" int __wrap__Z19User_PstnVoiceFirstP11USER_INFO_T(USER_INFO_T*) { return 0; }
extern "C" int __wrap__Z13User_SetPTTOnP11USER_INFO_T(USER_INFO_T*) { return 0; }
extern "C" int __wrap__Z14User_SetPTTOffP11USER_INFO_T(USER_INFO_T*) { return 0; }

namespace {

constexpr int kPtime = 20;
constexpr int kPreVoice = 100;
int g_now = 0;
std::vector<int> g_handed;  // per far-end packet number: the loop ms of its hand-over, -1 none
long g_dsp_count = 0;

int OnSendCor(int ch) { return RTP_SetSendOnOff(ch, E_RTP_BUF_NETWORK, E_FLAG_ON); }
int OnSendCorOff(int ch) { return RTP_SetSendOnOff(ch, E_RTP_BUF_NETWORK, E_FLAG_OFF); }
int SendToDsp(int, unsigned char* packet, int length, int)
{
    ++g_dsp_count;
    if (length >= 12) {
        unsigned int seq = (packet[2] << 8) | packet[3];
        if (seq < g_handed.size() && g_handed[seq] < 0) g_handed[seq] = g_now;
    }
    return 0;
}

std::vector<unsigned char> Voice(unsigned int seq)
{
    std::vector<unsigned char> b(172);
    b[0] = 0x80, b[1] = 8, b[2] = seq >> 8, b[3] = seq & 0xFF;
    const std::uint32_t ts = seq * 160;
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<unsigned char>(ts >> (24 - 8 * i));
    for (int i = 12; i < 172; ++i) b[i] = linear2alaw(i % 2 ? 12000 : -12000);
    return b;
}

struct Lines {
    int far_fd = -1;
    int far_port = 0;

    explicit Lines(int lines)
    {
        far_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        bind(far_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(far_fd, reinterpret_cast<sockaddr*>(&a), &len);
        far_port = ntohs(a.sin_port);

        g_iUse_Chn_Max = lines;
        g_iChnChangeFactor = 0;
        for (int i = 0; i < kMaxUserChn; ++i) {
            USER_INFO_T& u = g_sUserInfo[i];
            u = {};
            u.m_iUserChn = i < lines ? i : -1;
            u.m_iChnRes = i;
            u.m_eUserStatus = E_USER_ON_TALKING;
            u.m_RTPflag = 2;
            u.m_sCfgCorNetwork = {E_NW_COR_DETECT_TYPE_VOX, 0, E_VOX_SENSITIVITY_0, 200, kPreVoice, 60, 0};
        }
        int base = 23000 + (getpid() % 200) * 20;
        RTP_INIT_T init{OnSendCor, OnSendCorOff, SendToDsp, nullptr, nullptr, {"127.0.0.1", base}};
        RTP_Init(&init);
        IPV4_ADDRESS far{"127.0.0.1", far_port};
        for (int i = 0; i < lines; ++i) {
            RTP_SetRemoteAddr(1, i, &far);
            RTP_SetCorInfoNetwork(i, &g_sUserInfo[i].m_sCfgCorNetwork);
            RTP_ChannelOpen(1, i);
        }
    }
    ~Lines()
    {
        for (int i = 0; i < kMaxUserChn; ++i) RTP_ChannelClose(1, i);
        close(far_fd);
    }
    void Send(int ch, const std::vector<unsigned char>& b)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(g_sRtpChnList[ch].m_sAddrLocal.port));
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        sendto(far_fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd p{g_sRtpChnList[ch].m_iSocketID, POLLIN, 0};
        poll(&p, 1, 1000);
    }
};

void Step(int ms)
{
    for (int i = 0; i < ms; ++i) {
        ++g_now;
        RTP_Process();
    }
}

void BM_VoxHandOverDelay(benchmark::State& state)
{
    constexpr int kPackets = 60;
    const int jitter = static_cast<int>(state.range(0));
    std::vector<int> extras;
    for (auto _ : state) {
        Lines lines(1);
        g_now = 0;
        g_handed.assign(kPackets, -1);
        std::vector<int> arrival(kPackets);
        unsigned int rng = 12345;
        for (int k = 0; k < kPackets; ++k) {
            rng = rng * 1103515245u + 12345u;
            const int late = jitter ? static_cast<int>((rng >> 16) % static_cast<unsigned>(jitter + 1)) : 0;
            Step(late);
            lines.Send(0, Voice(static_cast<unsigned int>(k)));
            arrival[k] = g_now + 1;
            Step(kPtime - late);
        }
        Step(1000);
        // From the packet that started play-out on, every packet should wait the pre-voice
        // time and no more.
        for (int k = 5; k < kPackets; ++k) {
            if (g_handed[k] >= 0) extras.push_back(g_handed[k] - arrival[k] - kPreVoice);
        }
    }
    std::sort(extras.begin(), extras.end());
    double sum = 0;
    for (int e : extras) sum += e;
    const std::size_t n = extras.size();
    state.counters["extra_delay_ms"] = n ? sum / static_cast<double>(n) : -1;
    state.counters["extra_delay_p99_ms"] = n ? extras[std::min(n - 1, n * 99 / 100)] : -1;
    state.counters["extra_delay_max_ms"] = n ? extras.back() : -1;
}
BENCHMARK(BM_VoxHandOverDelay)->Arg(0)->Arg(4)->Unit(benchmark::kMillisecond);

void BM_NineLinesVoice(benchmark::State& state)
{
    Lines lines(kMaxUserChn);
    g_now = 0;
    g_handed.clear();
    unsigned int seq = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int ch = 0; ch < kMaxUserChn; ++ch) lines.Send(ch, Voice(seq));
        ++seq;
        state.ResumeTiming();
        Step(kPtime);
    }
    state.counters["line_ms"] = benchmark::Counter(static_cast<double>(state.iterations()) * kPtime * kMaxUserChn,
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["core_percent"] = benchmark::Counter(static_cast<double>(state.iterations()) * kPtime / 100000,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["dsp_packets"] = static_cast<double>(g_dsp_count);
}
BENCHMARK(BM_NineLinesVoice)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
