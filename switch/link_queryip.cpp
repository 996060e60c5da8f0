#include "link_queryip.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "link_net.h"
#include "link_wait.h"
#include "settings.h"
#include "sip_reg.h"
#include "swlog.h"
#include "text.h"

int g_queryip_listen_fd = -1;

namespace {

constexpr std::size_t kReadMax = 10000;
constexpr std::size_t kRequestBody = 71;   // the length of a request: the fields end at its last byte
constexpr std::size_t kReplySize = 106;

bool query_record(const unsigned char* h) { return h[0] == 'D' && h[1] == 0 && h[2] == 2; }
constexpr FrameShape kShape{'D', 5, 3, 0, query_record};
using Pending = FramePending<160>;

struct Slot {
    int use = 0;
    int sock = -1;
    int idle = 0;   // ticks since the client last sent anything
    Pending pending;
};
std::array<Slot, kQueryipSlots> que_temp;
std::array<Slot, kQueryipSlots> queryip;
std::array<unsigned char, Pending::capacity + kReadMax> g_work;

void free_slot(Slot& s)
{
    Link_Close(s.sock);
    s.use = 0;
    s.pending.clear();
}

// A client that says nothing for longer than the idle time gives its slot up: otherwise a
// hundred silent connections would hold every slot for ever.
bool idle_too_long(Slot& s, const char* table, int i)
{
    if (++s.idle <= sip_queryip_idle) return false;
    Write_Logf("%s[%d] socketid %d idle for %d s, closed\n", table, i, s.sock, s.idle - 1);
    free_slot(s);
    return true;
}

// Answers one request; false when the answer could not be sent (the slot is then freed).
bool Get_Queryip(const unsigned char* record, std::size_t size, Slot& slot)
{
    // The fields are read backwards from the record's last byte.
    const unsigned char* last = record + size - 1;
    Text<25> calling, queried;
    Text<20> nickname;
    copy_text(calling, Frame_Text(last - 70, 24));
    copy_text(queried, Frame_Text(last - 45, 24));
    copy_text(nickname, Frame_Text(last - 20, 19));
    const unsigned char type = *last;

    Text<20> ip;
    Text<10> port;
    for (const SipReg& r : sipreg) {
        if (r.use != 1 || r.tel.view() != queried.view()) continue;
        copy_text(ip, r.ip.view());
        std::snprintf(port.s, sizeof port.s, "%d", r.port);
        break;
    }
    std::array<unsigned char, kReplySize> f{};
    f[0] = 'D';
    f[1] = 1;
    f[2] = 3;
    Put_U16(&f[3], static_cast<unsigned>(kReplySize - 5));
    std::memcpy(&f[5], calling.s, calling.view().size());
    std::memcpy(&f[30], queried.s, queried.view().size());
    std::memcpy(&f[55], ip.s, ip.view().size());
    std::memcpy(&f[75], port.s, port.view().size());
    std::memcpy(&f[85], nickname.s, nickname.view().size());
    f[105] = type;
    const bool sent = Link_Send(slot.sock, f.data(), f.size());
    Write_Logf("Get_Queryip calling=[%s] querytel=[%s] ip=[%s] port=[%s] nickname=[%s] type=[%c]\n", calling.s,
               queried.s, ip.s, port.s, nickname.s, type);
    if (!sent) {
        Write_Log("error:send queryip出错！断开连接！\n");
        free_slot(slot);
    }
    return sent;
}

}  // namespace

int Create_Queryip_Scoket()
{
    static constexpr ListenTexts kTexts{"error:que_sockfd 创建出错！\n", "error:query ip/port绑定端口 %ld 出错！\n",
                                        "error:query  ip/port绑定端口 %ld 出错！\n", "error:query ip/port监听出错！\n"};
    const int fd = Link_Tcp_Listen_Reported(sip_queryip_port, kTexts);
    if (fd < 0) return -fd;
    g_queryip_listen_fd = fd;
    std::printf("query ip/port绑定端口成功 %ld\n", static_cast<long>(sip_queryip_port));
    std::fflush(stdout);
    Write_Logf("query ip/port绑定端口成功 %ld\n", static_cast<long>(sip_queryip_port));
    return 0;
}

void QUE_AcceptConnect()
{
    sockaddr_in peer{};
    int fd = Link_Accept(g_queryip_listen_fd, peer);
    if (fd < 0) return;
    // Read on the tick only: data waiting on it must not keep waking the loop.
    Link_Wait_When(fd, Link_Read_On_Tick);
    for (int i = 0; i < kQueryipSlots; ++i) {
        Slot& s = que_temp[i];
        if (s.use == 1) continue;
        s = Slot{};
        s.use = 1;
        s.sock = fd;
        char addr[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
        Write_Logf("Queryip AcceptConnect ipaddr = %s handle[%d]=%d\n", addr, i, fd);
        return;
    }
    Write_Log("error:QUE_AcceptConnect QUE_TEMP struct full\n");
    Link_Close(fd);
}

void Queryip_Recv_Proc()
{
    for (int i = 0; i < kQueryipSlots; ++i) {
        Slot& t = que_temp[i];
        if (t.use != 1 || t.sock < 0) continue;
        const int n = Link_Recv(t.sock, reinterpret_cast<char*>(g_work.data()), kReadMax);
        if (n < 0) {
            idle_too_long(t, "QUE_TEMP", i);
            continue;
        }
        if (n == 0) {
            Write_Logf("QUE_TEMP SocketId %d error\n", t.sock);
            free_slot(t);
            continue;
        }
        // The first data only moves the connection on; it is not answered.
        for (Slot& q : queryip) {
            if (q.use == 1) continue;
            q = Slot{};
            q.use = 1;
            q.sock = t.sock;
            t = Slot{};
            break;
        }
    }
    for (int i = 0; i < kQueryipSlots; ++i) {
        Slot& q = queryip[i];
        if (q.use != 1 || q.sock < 0) continue;
        const int sock = q.sock;
        const int n = Frame_Read(sock, q.pending, g_work.data(), kReadMax, kShape,
                                 [&](const unsigned char* r, std::size_t size) {
                                     // A length that puts the fields before the record is refused.
                                     if (size - 5 < kRequestBody) return true;
                                     Write_Log("begin get_queryip\n");
                                     return Get_Queryip(r, size, q);
                                 });
        if (n == 0) {
            Write_Logf("Queryip[%d] socketid %d disconnect\n", i, sock);
            free_slot(q);
        } else if (n > 0) {
            q.idle = 0;
        } else if (q.use == 1) {
            idle_too_long(q, "Queryip", i);
        }
    }
}
