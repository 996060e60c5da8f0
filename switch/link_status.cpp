#include "link_status.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "board.h"
#include "link_net.h"
#include "settings.h"
#include "sip_legs.h"
#include "sip_reg.h"
#include "swlog.h"
#include "text.h"

int g_status_listen_fd = -1;

namespace {

constexpr unsigned char kMarker = 0xF5;
constexpr std::size_t kHeader = 6;
constexpr std::size_t kNumberBytes = 25;
constexpr std::size_t kReadMax = 20000;

// Frame types.
constexpr int kAdd = 0, kDelete = 1, kDone = 2, kFailed = 3, kQuery = 4, kStatus = 5, kHeartbeat = 6,
              kHeartbeatAnswer = 7, kRegister = 9, kRegisterAnswer = 10;

// A console frame: marker, a sequence byte, origin 1 or 2, type, length.
bool console_frame(const unsigned char* h) { return h[0] == kMarker && (h[2] == 1 || h[2] == 2); }
constexpr FrameShape kShape{kMarker, kHeader, 4, 0, console_frame};

// The longest frame kept across reads; longer ones are dropped.
using Pending = FramePending<128>;

struct Conn {
    int use = 0;
    int sock = -1;
    std::int64_t last_us = 0;   // when the connection was accepted or last sent a frame
    Pending pending;
};

struct Check {
    int use = 0;
    int sock = -1;
    int status = DISPATCH_ST_OFFLINE;
    Text<30> number;
};

std::array<Conn, kStatusSlots> status_temp;
std::array<Conn, kStatusSlots> status_client;
std::array<Check, kStatusSlots> status_check;
std::array<unsigned char, Pending::capacity + kReadMax> g_work;

// The number of a request: its 25 bytes as far as the frame holds them, cut at the first NUL.
struct Request {
    unsigned char seq;
    unsigned char raw[kNumberBytes];   // as received, zero beyond the frame
    Text<kNumberBytes + 1> number;
};

Request read_request(const unsigned char* frame, std::size_t size)
{
    Request r{};
    r.seq = frame[1];
    const std::size_t n = size - kHeader < kNumberBytes ? size - kHeader : kNumberBytes;
    std::memcpy(r.raw, frame + kHeader, n);
    copy_text(r.number, Frame_Text(r.raw, kNumberBytes));
    return r;
}

void reset_conn(Conn& c)
{
    Link_Close(c.sock);
    c.use = 0;
    c.last_us = 0;
    c.pending.clear();
}

void clear_check(Check& k)
{
    k.use = 0;
    k.sock = -1;
    k.status = DISPATCH_ST_OFFLINE;
    k.number.clear();
}

void Delete_Check_By_Socket(int sock)
{
    for (Check& k : status_check)
        if (k.use == 1 && k.sock == sock) clear_check(k);
}

void Close_Status_Client(Conn& c)
{
    Delete_Check_By_Socket(c.sock);
    reset_conn(c);
}

// A send that failed closes the connection it went to, wherever it lives.
void close_socket(int sock)
{
    for (Conn& c : status_client)
        if (c.use == 1 && c.sock == sock) return Close_Status_Client(c);
    for (Conn& c : status_temp)
        if (c.use == 1 && c.sock == sock) return reset_conn(c);
}

bool send_frame(int sock, const unsigned char* frame, std::size_t size, const char* failure)
{
    if (Link_Send(sock, frame, size)) return true;
    Write_Log(failure);
    close_socket(sock);
    return false;
}

void header(unsigned char* f, unsigned seq, int type, std::size_t total)
{
    f[0] = kMarker;
    f[1] = static_cast<unsigned char>(seq);
    f[2] = 2;
    f[3] = static_cast<unsigned char>(type);
    Put_U16(f + 4, static_cast<unsigned>(total - kHeader));
}

bool Send_Check_Ack(int sock, const Request& r, bool done, int detail)
{
    unsigned char f[42] = {};
    if (done) {
        header(f, r.seq, kDone, 41);
        std::memcpy(f + 6, r.raw, kNumberBytes);
        f[31] = static_cast<unsigned char>(detail);
        return send_frame(sock, f, 41, "send status 出错！断开连接！\n");
    }
    header(f, r.seq, kFailed, 42);
    f[6] = static_cast<unsigned char>(detail);
    std::memcpy(f + 7, r.raw, kNumberBytes);
    return send_frame(sock, f, 42, "send status 出错！断开连接！\n");
}

bool Send_Result(int status, std::string_view number, int sock)
{
    unsigned char f[42] = {};
    header(f, 0, kStatus, 42);
    f[6] = static_cast<unsigned char>(status);
    std::memcpy(f + 7, number.data(), number.size() < kNumberBytes ? number.size() : kNumberBytes);
    Text<kNumberBytes + 1> shown;
    copy_text(shown, number);
    Write_Logf("状态查询 tel=[%s] result=[%d](0:空闲 1:忙 2:离线 3:不存在此号码 4:通话) sockid=[%d]\n", shown.s, status,
               sock);
    return send_frame(sock, f, 42, "send Send_Result 出错！断开连接！\n");
}

bool Send_Answer(int sock, unsigned seq, int type)
{
    unsigned char f[17] = {};
    header(f, seq, type, 17);
    f[6] = type == kRegisterAnswer ? 1 : 0;
    return send_frame(sock, f, 17, "send Send_Reg 出错！断开连接！\n");
}

bool same_number(const Check& k, std::string_view number)
{
    return k.number.view().substr(0, kNumberBytes) == number.substr(0, kNumberBytes);
}

int Find_Check(int sock, std::string_view number)
{
    for (int i = 0; i < kStatusSlots; ++i)
        if (status_check[i].use == 1 && status_check[i].sock == sock && same_number(status_check[i], number)) return i;
    return -1;
}

void Add_Check(int sock, const Request& r)
{
    if (const int slot = Find_Check(sock, r.number.view()); slot >= 0) {
        if (!Send_Check_Ack(sock, r, true, 0)) return;
        Write_Logf("add check already! tel :%s\n", r.number.s);
        Send_Result(status_check[slot].status, r.number.view(), sock);
        return;
    }
    int slot = -1;
    for (int i = 0; i < kStatusSlots && slot < 0; ++i)
        if (status_check[i].use == 0) slot = i;
    if (slot < 0) {
        Send_Check_Ack(sock, r, false, 2);
        return;
    }
    Check& k = status_check[slot];
    k.use = 1;
    k.sock = sock;
    copy_text(k.number, r.number.view());
    if (!Send_Check_Ack(sock, r, true, 0)) return;   // the failed send dropped the new check too
    Write_Logf("add check successful! queno is:%d tel is:%s\n", slot, r.number.s);
    k.status = Check_Tel_Status(r.number.s);
    Send_Result(k.status, r.number.view(), sock);
}

void Delete_Check(int sock, const Request& r)
{
    Write_Log("delete check!\n");
    const int slot = Find_Check(sock, r.number.view());
    if (slot < 0) {
        Write_Logf("not exist tel while delete checke! tel :%s\n", r.number.s);
        Send_Check_Ack(sock, r, false, 3);
        return;
    }
    clear_check(status_check[slot]);
    if (Send_Check_Ack(sock, r, true, 1)) Write_Logf("delete check successful! queno is:%d tel is:%s\n", slot, r.number.s);
}

void Answer_Status_Query(int sock, const Request& r)
{
    Write_Log("query status!\n");
    const int slot = Find_Check(sock, r.number.view());
    if (slot < 0) {
        Write_Log("not exist tel in query status!\n");
        Send_Result(DISPATCH_ST_UNKNOWN, r.number.view(), sock);
        return;
    }
    Send_Result(status_check[slot].status, r.number.view(), sock);
}

void handle_frame(int sock, const unsigned char* frame, std::size_t size)
{
    const Request r = read_request(frame, size);
    switch (frame[3]) {
    case kAdd: Add_Check(sock, r); break;
    case kDelete: Delete_Check(sock, r); break;
    case kQuery: Answer_Status_Query(sock, r); break;
    case kHeartbeat:
        if (Send_Answer(sock, r.seq, kHeartbeatAnswer)) Write_Log("Dispatch  heart beat\n");
        break;
    case kRegister:
        if (Send_Answer(sock, r.seq, kRegisterAnswer)) Write_Log("Dispatch register\n");
        break;
    default: Write_Log("recv status something!\n"); break;
    }
}

int Find_Free_Status()
{
    for (int i = 0; i < kStatusSlots; ++i)
        if (status_client[i].use != 1) return i;
    return -1;
}

void read_temp(int slot, std::int64_t now)
{
    Conn& c = status_temp[slot];
    bool heartbeat = false;
    unsigned seq = 0;
    const int n = Frame_Read(c.sock, c.pending, g_work.data(), kReadMax, kShape,
                             [&](const unsigned char* f, std::size_t) {
                                 heartbeat = f[3] == kHeartbeat;
                                 seq = f[1];
                                 return false;   // only the first frame can identify the console
                             });
    if (n < 0) {
        if (now - c.last_us > kConsoleIdleUs) {
            Write_Logf("status :%d  disconnect!\n", slot);
            reset_conn(c);
        }
        return;
    }
    if (n == 0) {
        Write_Logf("status_temp[%d] recv error!\n", slot);
        reset_conn(c);
        return;
    }
    if (!heartbeat) return;
    c.pending.clear();
    const int free = Find_Free_Status();
    if (free < 0) {
        Write_Log("error Find_Free_Status!\n");
        Send_Answer(c.sock, seq, kHeartbeatAnswer);   // an answer echoes its request's sequence
        return;
    }
    Conn& to = status_client[free];
    to = Conn{};
    to.use = 1;
    to.sock = c.sock;
    to.last_us = now;
    c.sock = -1;   // moved, not closed
    reset_conn(c);
}

void read_client(int slot, std::int64_t now)
{
    Conn& c = status_client[slot];
    const int sock = c.sock;
    const int n = Frame_Read(sock, c.pending, g_work.data(), kReadMax, kShape,
                             [&](const unsigned char* f, std::size_t size) {
                                 c.last_us = now;
                                 handle_frame(sock, f, size);
                                 return c.use == 1 && c.sock == sock;   // a failed send closed it
                             });
    if (n < 0) {
        if (now - c.last_us > kConsoleIdleUs) {
            Write_Logf("status2:%d disconnect!\n", slot);
            Close_Status_Client(c);
        }
        return;
    }
    if (n == 0) {
        Write_Logf("status socket[%d]:%d error!\n", slot, sock);
        Close_Status_Client(c);
    }
}

}  // namespace

int Create_Status_Scoket()
{
    static constexpr ListenTexts kTexts{"状态查询socket 创建出错！\n", "Bind Status  Query  Port = [%ld]  Error\n", nullptr,
                                        nullptr};
    const int fd = Link_Tcp_Listen_Reported(sip_status_port, kTexts);
    if (fd < 0) return -fd;
    g_status_listen_fd = fd;
    std::printf("Bind  Status  Query  Port = [%ld]  Success \n", static_cast<long>(sip_status_port));
    std::fflush(stdout);
    return 0;
}

void Init_Status_Tables()
{
    for (Check& k : status_check) clear_check(k);
    for (Conn& c : status_client) c = Conn{};
    for (Conn& c : status_temp) c = Conn{};
}

int AcceptConnect_status()
{
    sockaddr_in peer{};
    int fd = Link_Accept(g_status_listen_fd, peer);
    if (fd < 0) return 0;
    if (peer.sin_addr.s_addr == 0) {
        Write_Log("AcceptConnect_status ipaddress is null\n");
        Link_Close(fd);
        return -1;
    }
    Write_Log("accept connect status client \n");
    for (int i = 0; i < kStatusSlots; ++i) {
        Conn& c = status_temp[i];
        if (c.use != 0) continue;
        c = Conn{};
        c.use = 1;
        c.sock = fd;
        c.last_us = monotonic_us();
        Write_Logf("accept connect status_temp i = [%d] socketid %d\n", i, fd);
        return 0;
    }
    Write_Log("status_temp have no space\n");
    Link_Close(fd);
    return -1;
}

void Recv_Status_Proc()
{
    const std::int64_t now = monotonic_us();
    for (int i = 0; i < kStatusSlots; ++i)
        if (status_temp[i].use == 1 && status_temp[i].sock >= 0) read_temp(i, now);
    for (int i = 0; i < kStatusSlots; ++i)
        if (status_client[i].use == 1 && status_client[i].sock >= 0) read_client(i, now);
}

std::int64_t Status_Next_Due_Us()
{
    std::int64_t due = INT64_MAX;
    for (const auto* table : {&status_temp, &status_client})
        for (const Conn& c : *table)
            if (c.use == 1 && c.sock >= 0) due = std::min(due, c.last_us + kConsoleIdleUs + 1);
    return due;
}

int Send_Status_To_Dispatch(const char* number, int status)
{
    Write_Log("查找调度client结构体数组中是否有成员\n");
    const std::string_view wanted = number ? number : "";
    int sent = -1;
    // Every console watching the number hears of the change, not only the first one: a console
    // passed over would show the old status until some later change happened to reach it.
    for (Check& k : status_check) {
        if (k.use != 1 || !same_number(k, wanted) || k.status == status) continue;
        k.status = status;
        Write_Log("找到该成员，发送状态信息\n");
        if (Send_Result(status, k.number.view(), k.sock)) sent = 1;
    }
    return sent;
}

int Check_Tel_Status(const char* number)
{
    const std::string_view wanted = number ? number : "";
    bool registered = false;
    for (const SipReg& r : sipreg)
        if (r.use == 1 && r.tel.view() == wanted) registered = true;
    if (!registered) return DISPATCH_ST_OFFLINE;
    for (const SipLeg& l : sip_chn)
        if (l.use == 1 && (l.calling.view() == wanted || l.called.view() == wanted)) return DISPATCH_ST_BUSY;
    return DISPATCH_ST_IDLE;
}

int Status_Open_Connections()
{
    int n = 0;
    for (const Conn& c : status_temp) n += c.use == 1;
    for (const Conn& c : status_client) n += c.use == 1;
    return n;
}
