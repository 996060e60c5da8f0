// Any bytes on any service link — console frames, billing records, relay frames, query-ip
// records on their TCP connections, in pieces; record-server messages and monitor commands as
// datagrams — are read without a crash, a hang or undefined behaviour, whatever call they name.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "call_chn.h"
#include "link_fee.h"
#include "link_monitor.h"
#include "link_net.h"
#include "link_queryip.h"
#include "link_record.h"
#include "link_relay.h"
#include "link_status.h"
#include "settings.h"
#include "sip_legs.h"
#include "sip_reg.h"

namespace {

int local_port(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

int connect_to(int listener)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(local_port(listener)));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void send_datagram(int to_fd, const uint8_t* data, size_t size)
{
    static int from = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(local_port(to_fd)));
    sendto(from, data, size, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

// A call the frames can name: channels 0 and 2, relay id "1", record channel 0 of server 0 with
// call-id "1".
void set_up_call()
{
    CallCtrl_Init_All_Chn();
    for (int chn : {0, 2}) {
        CallChn& c = call_chns[chn];
        c.use = 1;
        c.st = CHN_ST_TALK;
        c.con_chn = 2 - chn;
        copy_text(c.calling, "1");
        copy_text(c.called, "2");
        copy_text(c.rtpswitch_id, "1");
        c.recorded = 1;
        c.record_srv = 0;
        c.record_chn = 0;
    }
    RecordServer& s = record_ctrl[0];
    s = RecordServer{};
    s.state = 1;
    copy_text(s.record_ip, "127.0.0.1");
    s.record_port = 9;
    s.record_chn[0].use = 1;
    copy_text(s.record_chn[0].callid, "1");
    s.record_chn[0].peer_chn = 0;
    s.record_chn[0].party_chn = 2;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    sip_debug = 0;
    copy_text(sip_server_inter_host, "127.0.0.1");
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    // The record link's log file goes to the working directory: a scratch one.
    char dir[] = "/tmp/fuzz_links-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) return 1;
    Sip_Init_All_Chn();
    Sip_Init_All_Reg();
    Init_Status_Tables();
    sip_status_port = sip_queryip_port = sip_fee_port = soft_rtpswitch_localport = 0;
    Create_Status_Scoket();
    Create_Queryip_Scoket();
    Create_Fee_Socket();
    Create_Rtpswitch_Socket();
    Record_Server_Create(0);
    g_netmon_fd = Link_Udp_Bind(0);
    g_sipmonitor_fd = Link_Udp_Bind(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Byte 0 picks the link, byte 1 where the bytes are cut in two writes; the rest is sent.
    if (size < 2) return 0;
    const int link = data[0] % 6;
    const size_t body = size - 2;
    const size_t cut = body == 0 ? 0 : data[1] % (body + 1);
    const uint8_t* bytes = data + 2;
    set_up_call();

    if (link >= 4) {   // datagrams
        const int fd = link == 4 ? g_record_fd : (data[1] & 1 ? g_netmon_fd : g_sipmonitor_fd);
        send_datagram(fd, bytes, body);
        Record_Ctrl_Proc();
        Netmon_Proc();
        SipMonitor_Proc();
        return 0;
    }
    const int listeners[] = {g_status_listen_fd, g_queryip_listen_fd, g_fee_listen_fd, g_rtpswitch_listen_fd};
    const int client = connect_to(listeners[link]);
    if (client < 0) return 0;
    auto step = [link] {
        switch (link) {
        case 0: AcceptConnect_status(); Recv_Status_Proc(); break;
        case 1: QUE_AcceptConnect(); Queryip_Recv_Proc(); break;
        case 2: Fee_AcceptConnect(); Fee_Recv_Proc(); break;
        default: Rtpswitch_AcceptConnect(); Rtpswitch_Recv_Proc(); Rtpswitch_Pass(); break;
        }
    };
    step();
    if (link == 0) {   // identified first, so every frame is handled
        static const uint8_t heartbeat[6] = {0xF5, 0, 1, 6, 0, 0};
        send(client, heartbeat, sizeof heartbeat, 0);
        step();
    } else if (link == 1) {   // the first data of a query connection only moves it on
        send(client, "x", 1, 0);
        step();
    }
    send(client, bytes, cut, MSG_NOSIGNAL);
    step();
    send(client, bytes + cut, body - cut, MSG_NOSIGNAL);
    step();
    close(client);
    step();
    step();
    return 0;
}
