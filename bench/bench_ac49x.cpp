// The AC49x driver's cost over the simulated DSP: board requests per RTP packet each way (what
// the host port pays on the board, where each request is an ioctl), and what the 1 ms pump
// costs with nine channels carrying voice (20 ms frames both ways).
#include <benchmark/benchmark.h>

#include <vector>

#include "ac49x_fixture.h"

namespace {
void Static_OpenVoiceChannels(int channels)
{
    Tac49xSetupChannelAttr ch{};
    Ac49xSetDefaultSetupChannelAttr(&ch);
    for (int c = 0; c < channels; ++c) {
        Ac49xAdvancedChannelConfiguration(0, c, &ch.Advanced);
        Ac49xOpenChannelConfiguration(0, c, &ch.OpenOrUpdateChannel);
        Ac49xActivateRegularRtpChannelConfiguration(0, c, &ch.ActivateOrUpdateRtp[0]);
    }
}

std::vector<U8> Static_Rtp(int channel)
{
    std::vector<U8> p(4 + 12 + 160, 0xD5);
    p[4] = 0x80;
    p[5] = 8;
    (void)channel;
    return p;
}

// The 1 ms step of the DSP resource layer: both receive queues until empty, then whatever
// waits in the FIFOs.
int Static_Pump()
{
    static U8 buf[AC49X_RX_PACKET_MAX];
    int packets = 0;
    for (int medium : {TRANSFER_MEDIUM__HOST, TRANSFER_MEDIUM__NETWORK}) {
        Tac49xRxPacketParams rx{};
        rx.Device = 0;
        rx.TransferMedium = static_cast<Tac49xTransferMedium>(medium);
        rx.pInPacket = buf;
        int r;
        while ((r = Ac49xReceivePacket(&rx)) != AC49X_ERROR__NO_PACKET) packets += r == 0;
        Ac49xDrainFifo(0, medium);
    }
    return packets;
}

void BM_RtpPacketToDsp(benchmark::State& state)
{
    Ac49xSimBoard board;
    if (board.BootAndSetUp() != 0) state.SkipWithError("no DSP");
    Static_OpenVoiceChannels(1);
    std::vector<U8> p = Static_Rtp(0);
    const std::uint64_t before = SimDsp_Requests();
    for (auto _ : state) benchmark::DoNotOptimize(ac49x_send(TRANSFER_MEDIUM__NETWORK, p, 0, PROTOCOL__RTP));
    state.counters["requests_per_packet"] =
        static_cast<double>(SimDsp_Requests() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_RtpPacketToDsp);

void BM_RtpPacketFromDsp(benchmark::State& state)
{
    Ac49xSimBoard board;
    if (board.BootAndSetUp() != 0) state.SkipWithError("no DSP");
    Static_OpenVoiceChannels(1);
    std::uint64_t requests = 0, packets = 0;
    for (auto _ : state) {
        ac49x_command("advance 20");  // one frame of voice waits in the DSP
        const std::uint64_t before = SimDsp_Requests();
        std::vector<U8> p;
        while (ac49x_receive(TRANSFER_MEDIUM__NETWORK, p) == 0) ++packets;
        requests += SimDsp_Requests() - before;
    }
    state.counters["requests_per_packet"] = packets ? static_cast<double>(requests) / static_cast<double>(packets) : 0;
}
BENCHMARK(BM_RtpPacketFromDsp);

// One 1 ms step with nine channels: the DSP's frames are spread over the steps (each channel
// sends every 20 ms), and every 20 ms each channel also gets one packet from the network.
void BM_PumpNineChannels(benchmark::State& state)
{
    Ac49xSimBoard board;
    if (board.BootAndSetUp() != 0) state.SkipWithError("no DSP");
    Static_OpenVoiceChannels(9);
    std::vector<U8> p = Static_Rtp(0);
    std::uint64_t step = 0, packets = 0;
    const std::uint64_t before = SimDsp_Requests();
    for (auto _ : state) {
        ac49x_command("advance 1");
        if (step % 20 < 9) ac49x_send(TRANSFER_MEDIUM__NETWORK, p, static_cast<int>(step % 20), PROTOCOL__RTP);
        packets += static_cast<std::uint64_t>(Static_Pump());
        ++step;
    }
    state.counters["requests_per_step"] =
        static_cast<double>(SimDsp_Requests() - before) / static_cast<double>(state.iterations());
    state.counters["packets_from_dsp_per_step"] = static_cast<double>(packets) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_PumpNineChannels);
}  // namespace

BENCHMARK_MAIN();
