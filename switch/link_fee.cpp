#include "link_fee.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "call_chn.h"
#include "call_relay.h"
#include "link_net.h"
#include "link_wait.h"
#include "mgcp_endpoint.h"
#include "settings.h"
#include "sip_legs.h"
#include "sip_reg.h"
#include "swlog.h"

int g_fee_listen_fd = -1;
int g_fee_fd = -1;

namespace {

constexpr unsigned char kMarker = 0xF5;
constexpr int kCheck = 0, kRefusal = 2, kStart = 3, kStop = 4;
constexpr std::size_t kReadMax = 10000;

bool fee_record(const unsigned char* h) { return h[0] == kMarker && h[2] == 3; }
constexpr FrameShape kShape{kMarker, 6, 4, 0, fee_record};
FramePending<2 * kFeeRecordSize> g_pending;
std::array<unsigned char, 2 * kFeeRecordSize + kReadMax> g_work;

bool in_range(int chn) { return chn >= 0 && chn < kMaxCallChns; }

using Record = std::array<unsigned char, kFeeRecordSize>;

Record make_record(int type, int chn)
{
    Record r{};
    r[0] = kMarker;
    r[2] = 3;
    r[3] = static_cast<unsigned char>(type);
    Put_U16(&r[4], static_cast<unsigned>(kFeeRecordSize - 6));
    if (in_range(chn)) {
        const CallChn& c = call_chns[chn];
        std::memcpy(&r[6], c.calling.s, std::min<std::size_t>(25, c.calling.view().size()));
        std::memcpy(&r[31], c.called.s, std::min<std::size_t>(25, c.called.view().size()));
    }
    Put_U16(&r[56], static_cast<unsigned>(chn));
    return r;
}

void drop_connection() { Link_Close(g_fee_fd); }

int send_record(const unsigned char* bytes, std::size_t size)
{
    if (g_fee_fd < 0) return -1;
    if (!Link_Send(g_fee_fd, bytes, size)) {
        Write_Log("error:send fee出错！断开连接！\n");
        drop_connection();
        return -1;
    }
    return 1;
}

// A refusal names a call by channel and numbers; a channel since given to another call is
// left alone.
bool names_call(const CallChn& c, const unsigned char* record)
{
    const std::string_view calling = Frame_Text(record + 6, 25), called = Frame_Text(record + 31, 25);
    return c.calling.view().substr(0, 25) == calling && c.called.view().substr(0, 25) == called;
}

}  // namespace

int Create_Fee_Socket()
{
    static constexpr ListenTexts kTexts{"error:fee_sockfd 创建出错！\n", "error:计费绑定端口 %ld 出错！\n", nullptr,
                                        "error:计费监听出错！\n"};
    const int fd = Link_Tcp_Listen_Reported(sip_fee_port, kTexts);
    if (fd < 0) return -fd;
    g_fee_listen_fd = fd;
    std::printf("Bind  FeeCheck  Server  Port = [%ld]  Success \n", static_cast<long>(sip_fee_port));
    std::fflush(stdout);
    return 0;
}

void Fee_AcceptConnect()
{
    sockaddr_in peer{};
    const int fd = Link_Accept(g_fee_listen_fd, peer);
    if (fd < 0) return;
    if (g_fee_fd >= 0) {
        Write_Log("error:accept new connect fee  close old\n");
        drop_connection();
    }
    g_fee_fd = fd;
    // Read on the tick only: data waiting on it must not keep waking the loop.
    Link_Wait_When(fd, Link_Read_On_Tick);
    g_pending.clear();
    Write_Log("accept connect fee \n");
}

int Fee_Recv_Proc()
{
    if (g_fee_fd < 0) return -1;
    const int n = Frame_Read(g_fee_fd, g_pending, g_work.data(), kReadMax, kShape,
                             [](const unsigned char* r, std::size_t size) {
                                 if (r[3] == kRefusal)
                                     Write_Logf("error:Fee Check fail return %d\n", CallCtrl_Recv_Fee_Check_Fail(r, size));
                                 return g_fee_fd >= 0;
                             });
    if (n < 0) return -1;
    if (n == 0) {
        Write_Log("error:fee disconnect \n ");
        drop_connection();
        return -2;
    }
    return 1;
}

int Send_Fee_Keepalive()
{
    static constexpr unsigned char kKeepalive[6] = {kMarker, 1, 1, 7, 0, 0};
    return send_record(kKeepalive, sizeof kKeepalive);
}

int Send_Fee_Check(int chn)
{
    if (!in_range(chn)) return -1;
    if (g_fee_fd < 0) return 1;   // checks need the connection; routing goes on without
    const Record r = make_record(kCheck, chn);
    send_record(r.data(), r.size());
    Write_Logf("111111111Send fee check chnno=%d calling=%s called=%s\n", chn, call_chns[chn].calling.s,
               call_chns[chn].called.s);
    return 1;
}

int Send_FeeStart(int chn, int gateway_flag, int gateway_side)
{
    if (g_fee_fd < 0) return -1;
    int gw_chn = chn;
    if (gateway_flag == 1 && gateway_side == 1) {
        if (!in_range(chn)) return -1;
        if (call_chns[chn].use != 1) return -2;
        gw_chn = call_chns[chn].con_chn;
    }
    Record r = make_record(kStart, chn);
    Text<7> gw_tel;
    if (gateway_flag == 1) {
        r[58] = 1;
        const int regno = CallCtrl_Get_Regno(gw_chn);
        // Behind an MGCP party stands an endpoint, not a registration: its number is its own.
        if (regno >= 0 && call_chns[gw_chn].type == CHN_TYPE_MGCP)
            copy_text(gw_tel, g_mgcp_endpoint[regno].tel.view());
        else if (regno >= 0 && regno < kMaxSipReg)
            copy_text(gw_tel, sipreg[regno].tel.view());
        std::memcpy(&r[59], gw_tel.s, gw_tel.view().size());
    }
    send_record(r.data(), r.size());
    const CallChn* c = in_range(chn) ? &call_chns[chn] : nullptr;
    Write_Logf("111111111Send fee start chnno=%d calling=%s called=%s gw=%d gw_tel=%s\n", chn, c ? c->calling.s : "",
               c ? c->called.s : "", gateway_flag, gw_tel.s);
    return 1;
}

int Send_FeeStop(int chn)
{
    if (g_fee_fd < 0) return -1;
    const Record r = make_record(kStop, chn);
    send_record(r.data(), r.size());
    const CallChn* c = in_range(chn) ? &call_chns[chn] : nullptr;
    Write_Logf("\n2222222222Send fee stop chnno=%d calling=%s called=%s\n", chn, c ? c->calling.s : "",
               c ? c->called.s : "");
    return 1;
}

int CallCtrl_Get_Regno(int chn)
{
    if (!in_range(chn)) return -1;
    const CallChn& c = call_chns[chn];
    if (c.use != 1) return -2;
    if (c.type == CHN_TYPE_SIP) {
        if (c.party_chn < 0 || c.party_chn >= kMaxSipLegs) return -3;
        const int regno = sip_chn[c.party_chn].regno;
        return regno >= 0 && regno < kMaxSipReg ? regno : -4;
    }
    if (c.type == CHN_TYPE_MGCP) return c.party_chn >= 0 && c.party_chn < kMaxCallChns ? c.party_chn : -5;
    return -6;
}

int CallCtrl_Recv_Fee_Check_Fail(const unsigned char* record, std::size_t size)
{
    // Only a whole record is read: the channel, the reason and both numbers.
    if (record == nullptr || size < kFeeRecordSize) return -1;
    const int chn = static_cast<int>(Get_U16(record + 56));
    const int reason = record[58];
    Text<26> calling, called;
    copy_text(calling, Frame_Text(record + 6, 25));
    copy_text(called, Frame_Text(record + 31, 25));
    Write_Logf("Get FeeCheck fail chnno=%d reason=%d calling=%s called=%s\n", chn, reason, calling.s, called.s);
    if (reason != 101 && reason != 106) return -1;
    if (!in_range(chn)) return -2;
    const CallChn& c = call_chns[chn];
    if (c.use != 1 || !names_call(c, record)) return -3;
    const int peer = c.con_chn;
    if (in_range(peer)) CallCtrl_SendHangoff(peer, 0);
    CallCtrl_SendHangoff(chn, 0);
    return 1;
}
