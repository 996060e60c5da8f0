// The media path's cost with both layers for real: nine lines in a call, each with a far end
// sending 20 ms A-law voice over loopback and its DSP channel (the simulated board's DSP)
// encoding a tone toward the far end. One loop millisecond is the DSP layer's 1 ms pump and
// then the RTP layer's 1 ms step, as the main loop runs them; the counter line_ms is the CPU
// time per line per loop millisecond (the simulated DSP's own work, done inside the board
// requests, included), far_packets what the far ends received.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "arm_environment.h"
#include "dsp_res.h"
#include "g711.h"
#include "gate_test_board.h"
#include "MyApi.h"
#include "rtp_loopback.h"
#include "rtp_res.h"
#include "sim/sim_board.h"
#include "struct_sys.h"
#include "udp_peer.h"
#include "user.h"

namespace {

constexpr int kLines = 9;
constexpr int kPtime = 20;

int OnSendCor(int ch) { return RTP_SetSendOnOff(ch, E_RTP_BUF_NETWORK, E_FLAG_ON); }
int OnSendCorOff(int ch) { return RTP_SetSendOnOff(ch, E_RTP_BUF_NETWORK, E_FLAG_OFF); }

void Sim(const std::string& command)
{
    std::array<char, 256> reply{};
    SimBoard_Command(command, reply.data(), reply.size());
}

std::vector<unsigned char> Voice(unsigned int seq)
{
    std::vector<unsigned char> b(12 + 160);
    b[0] = 0x80, b[1] = 8, b[2] = seq >> 8, b[3] = seq & 0xFF;
    const std::uint32_t ts = seq * 160;
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<unsigned char>(ts >> (24 - 8 * i));
    for (std::size_t i = 12; i < b.size(); ++i) b[i] = linear2alaw(i % 2 ? 12000 : -12000);
    return b;
}

// Start-up as the line module makes it, then a call on each line as the line logic sets one up.
void StartCalls(const UdpPeer& far)
{
    gate_test_root();
    fresh_logger();
    if (g_hDriverHandler < 0) MyOpen(&g_hDriverHandler, "/dev/AG0");
    Sim("set dsp on");
    g_iUse_Chn_Max = kLines;
    g_iChnChangeFactor = 0;
    g_sSysCfgInfo.m_eRequestType = E_USE_COR;
    g_sSysCfgInfo.m_eSysDealLOM = E_LOM_DEAL_NULL;
    for (int i = 0; i < kMaxUserChn; ++i) {
        USER_INFO_T& u = g_sUserInfo[i];
        u = {};
        u.m_iUserChn = i < kLines ? i : -1;
        u.m_iChnRes = i;
        u.m_iChnDsp = i;
        u.m_eUserStatus = E_USER_ON_TALKING;
        u.m_eUseCoder = G711_A;
        u.m_RTPflag = 2;
        u.m_sCfgCorNetwork = {E_NW_COR_DETECT_TYPE_DISABLE, 0, E_VOX_SENSITIVITY_0, 600, 100, 60, 0};
    }
    AC490_API_REGISTER_INIT dsp{};
    dsp.m_iHandle = g_hDriverHandler;
    dsp.m_eChipType = E_CHIP_12;
    dsp.m_pfuncSendPacketToSip = RTP_PacketRecvFromPstn;
    RES490_Start(&dsp);
    const IPV4_ADDRESS local{"127.0.0.1", rtp_free_ports(15000, 2 * kLines)};
    RTP_INIT_T rtp{OnSendCor, OnSendCorOff, RES490_SendRtpPacketToPcm, nullptr, nullptr, local};
    RTP_Init(&rtp);
    const IPV4_ADDRESS far_addr{"127.0.0.1", far.port};
    for (int i = 0; i < kLines; ++i) {
        RES490_ChannelOpen(i);
        RES490_SetCodeType(i, G711_A);
        RES490_RtpChannelOpen(i);
        Sim("chan " + std::to_string(i) + " source tone");
        RTP_SetCorInfoNetwork(i, &g_sUserInfo[i].m_sCfgCorNetwork);
        RTP_SetRemoteAddr(1, i, &far_addr);
        RTP_ChannelOpen(1, i);
        RTP_SetRtpChnCoder(i);
    }
}

void EndCalls()
{
    for (int i = 0; i < kLines; ++i) {
        RTP_ChannelClose(1, i);
        RES490_RtpChannelClose(i);
        RES490_ChannelClose(i);
    }
}

void BM_NineLinesBothWays(benchmark::State& state)
{
    UdpPeer far;
    StartCalls(far);
    unsigned int seq = 0;
    std::size_t far_packets = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int ch = 0; ch < kLines; ++ch) rtp_send_to_channel(far.fd, ch, Voice(seq).data(), 12 + 160);
        ++seq;
        far_packets += far.take(0).size();
        Sim("advance " + std::to_string(kPtime));  // the DSP's frames keep pace with the loop
        state.ResumeTiming();
        for (int ms = 0; ms < kPtime; ++ms) {
            RES490_Process();
            RTP_Process();
        }
    }
    EndCalls();
    state.counters["line_ms"] = benchmark::Counter(static_cast<double>(state.iterations()) * kPtime * kLines,
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["far_packets"] = static_cast<double>(far_packets);
}
BENCHMARK(BM_NineLinesBothWays)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
