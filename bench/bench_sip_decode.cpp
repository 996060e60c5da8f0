// Datagrams the SIP decoder gets through per second, and what the whole receive step costs per
// datagram (receive, log, decode, dispatch, answer) with the log on (sip_debug 1) and off.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "settings.h"
#include "sip_decode.h"
#include "sip_transport.h"

namespace {

const std::vector<std::string>& messages()
{
    static const std::vector<std::string> m = {
        // sipsak OPTIONS
        "OPTIONS sip:x@127.0.0.1:5060 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:35394;branch=z9hG4bK.47a2f6be;rport;alias\r\n"
        "From: sip:sipsak@127.0.0.1:35394;tag=59650a15\r\nTo: sip:x@127.0.0.1:5060\r\nCall-ID: 1499793941@127.0.0.1\r\n"
        "CSeq: 1 OPTIONS\r\nContact: sip:sipsak@127.0.0.1:35394\r\nContent-Length: 0\r\nMax-Forwards: 70\r\n"
        "User-Agent: sipsak 0.9.8.1\r\nAccept: text/plain\r\n\r\n",
        // SIPp INVITE with SDP
        "INVITE sip:service@127.0.0.1:5060 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bK-10417-1-0\r\n"
        "From: sipp <sip:sipp@127.0.0.1:5061>;tag=10417SIPpTag001\r\nTo: service <sip:service@127.0.0.1:5060>\r\n"
        "Call-ID: 1-10417@127.0.0.1\r\nCSeq: 1 INVITE\r\nContact: sip:sipp@127.0.0.1:5061\r\nMax-Forwards: 70\r\n"
        "Subject: Performance Test\r\nContent-Type: application/sdp\r\nContent-Length:   129\r\n\r\n"
        "v=0\r\no=user1 53655765 2353687637 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
        "m=audio 6000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n",
        // SIPp 200 OK with SDP
        "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-10417-1-0\r\n"
        "From: sipp <sip:sipp@127.0.0.1:5060>;tag=10417SIPpTag001\r\nTo: service <sip:service@127.0.0.1:5062>;tag=10475SIPpTag011\r\n"
        "Call-ID: 1-10417@127.0.0.1\r\nCSeq: 1 INVITE\r\nContact: <sip:127.0.0.1:5062;transport=UDP>\r\n"
        "Content-Type: application/sdp\r\nContent-Length:   129\r\n\r\n"
        "v=0\r\no=user1 53655765 2353687637 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
        "m=audio 6004 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n",
        // sipsak REGISTER
        "REGISTER sip:127.0.0.1:5060 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:52877;branch=z9hG4bK.5a2a84a2;rport;alias\r\n"
        "From: sip:100@127.0.0.1:5060;tag=66fe1915\r\nTo: sip:100@127.0.0.1:5060\r\nCall-ID: 1727928597@127.0.0.1\r\n"
        "CSeq: 1 REGISTER\r\nContent-Length: 0\r\nMax-Forwards: 70\r\nUser-Agent: sipsak 0.9.8.1\r\nExpires: 15\r\n"
        "Contact: sip:100@127.0.0.1:5090\r\n\r\n",
    };
    return m;
}

void BM_Sip_Decode(benchmark::State& state)
{
    const std::string& text = messages()[static_cast<std::size_t>(state.range(0))];
    SIP_MSG_T msg;
    for (auto _ : state) {
        msg = {};
        benchmark::DoNotOptimize(Sip_Decode(text.c_str(), text.size(), msg));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Sip_Decode)->ArgName("msg")->DenseRange(0, 3);

int bound_udp(sockaddr_in& addr)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t n = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &n);
    return fd;
}

// One OPTIONS per datagram, answered 200 to a sink the benchmark drains.
void BM_Sip_Recv_Proc(benchmark::State& state)
{
    sip_debug = static_cast<int>(state.range(0));
    if (g_sip_fd < 0 && Sip_Server_Create(0) < 0) {
        state.SkipWithError("no SIP socket");
        return;
    }
    sockaddr_in sw{};
    socklen_t n = sizeof sw;
    getsockname(g_sip_fd, reinterpret_cast<sockaddr*>(&sw), &n);
    sw.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in sender_addr{};
    int sender = bound_udp(sender_addr);   // the answers come back to the sender, drained

    std::string options = "OPTIONS sip:x@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" +
                          std::to_string(ntohs(sender_addr.sin_port)) +
                          ";branch=z9hG4bK.1;rport\r\nFrom: sip:b@127.0.0.1;tag=1\r\nTo: sip:x@127.0.0.1\r\n"
                          "Call-ID: 1@127.0.0.1\r\nCSeq: 1 OPTIONS\r\nContact: sip:b@127.0.0.1\r\n"
                          "Content-Length: 0\r\nUser-Agent: bench\r\n\r\n";
    constexpr int kBatch = kSipRecvPerPass;
    char drain[4096];
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < kBatch; ++i)
            sendto(sender, options.data(), options.size(), 0, reinterpret_cast<sockaddr*>(&sw), sizeof sw);
        state.ResumeTiming();
        Sip_Recv_Proc();
        state.PauseTiming();
        while (recv(sender, drain, sizeof drain, MSG_DONTWAIT) >= 0) {}
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    close(sender);
}
BENCHMARK(BM_Sip_Recv_Proc)->ArgName("sip_debug")->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    // The log goes to a scratch board root, never to the machine's /tmp/log.
    char root[] = "/tmp/bench_sip_XXXXXX";
    if (mkdtemp(root) == nullptr) return 1;
    setenv("BOARD_ROOT", root, 1);
    std::string logdir = std::string(root) + "/tmp/log";
    std::string mk = "mkdir -p " + logdir;
    if (std::system(mk.c_str()) != 0) return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::string rm = std::string("rm -rf ") + root;
    return std::system(rm.c_str()) == 0 ? 0 : 1;
}
