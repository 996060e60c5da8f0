#include "sip_transport.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "link_net.h"
#include "settings.h"
#include "sip_legs.h"
#include "sip_reg.h"
#include "sip_response.h"
#include "sip_text.h"
#include "swlog.h"

int g_sip_fd = -1;

namespace {

std::array<char, kSipRecvMax + 1> g_recv_buffer;
SIP_MSG_T g_recv_msg;

bool dotted_address(const char* ip, in_addr& out) { return ip != nullptr && inet_pton(AF_INET, ip, &out) == 1; }

// A Via host that is a name, not a dotted address, cannot be sent to: such a request is
// answered where it came from.
void reply_to_source_if_unsendable(SIP_MSG_T& msg, const char* src_ip, int src_port)
{
    in_addr unused{};
    if (msg.reply_ip.empty() || dotted_address(msg.reply_ip.s, unused)) return;
    Write_Logf("reply host [%s] is no address, answering %s:%d\n", msg.reply_ip.s, src_ip, src_port);
    copy_text(msg.reply_ip, src_ip);
    msg.reply_port = src_port;
}

// A refusal goes back to the datagram's source: its Via may name the party it pretends to be.
void answer_at_source(SIP_MSG_T& msg)
{
    if (msg.src_addr_len == 0) return;
    Text<16> ip;
    int port = 0;
    Sip_Msg_Source(msg, ip, port);
    msg.reply_ip = ip;
    msg.reply_port = port;
}

// The requests that act on the leg whose Call-ID they carry.
bool in_dialog_request(int type)
{
    switch (type) {
    case SIP_INVITE:
    case SIP_CANCEL:
    case SIP_BYE:
    case SIP_ACK:
    case SIP_INFO:
    case SIP_REFER:
        return true;
    default:
        return false;
    }
}

}  // namespace

int Sip_Server_Create(int port)
{
    if (g_sip_fd >= 0) {   // descriptor 0 is a socket like any other
        Write_Log("warning : sip server have been created\n");
        return 0;
    }
    const int fd = Link_Udp_Bind(port);
    if (fd == -1) {
        Report_Console_And_Log("error:create sip udp server failed, socket error\n");
        return -1;
    }
    if (fd < 0) {
        // A port outside 0..65535 fails like a bind.
        Report_Console_And_Log("error:create sip udp server failed, bind local address error!\n");
        return -1;
    }
    g_sip_fd = fd;
    std::printf("Bind  SIP  Server  Port = [%i]  Success \n", port);
    std::fflush(stdout);
    return 1;
}

int Send_Udp_Data(const char* text, std::size_t length, const char* ip, int port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    bool sent = text != nullptr && dotted_address(ip, to.sin_addr) && port >= 1 && port <= 65535;
    if (sent) {
        to.sin_port = htons(static_cast<uint16_t>(port));
        sent = sendto(g_sip_fd, text, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0;
    }
    if (!sent) {
        Write_Logf("***********************函数 Send_Udp_Data 发送错误 ip=%s port=%d\n", ip ? ip : "", port);
        return -1;
    }
    if (sip_debug != 0) {
        char head[96];
        std::snprintf(head, sizeof head, "Send_Udp_Data remoteip = %s remoteport = %d \n", ip, port);
        Write_Log_Texts({head, "send data = \n", text, "\n"});
    }
    return 1;
}

int Send_Udp_Data_Direct(const char* text, std::size_t length, const SIP_MSG_T& msg)
{
    if (text == nullptr ||
        sendto(g_sip_fd, text, length, 0, reinterpret_cast<const sockaddr*>(&msg.src_addr), msg.src_addr_len) < 0) {
        Write_Log("*************************函数:Send_Udp_Data_Direct 出错\n");
        return -1;
    }
    Write_Log_Texts({"Send_Udp_Data_Direct send data = \n", text, "\n"});
    return 1;
}

int Sip_Recv_Udp(char* buffer, std::size_t size, sockaddr_in& addr, socklen_t& addr_len)
{
    addr_len = sizeof addr;
    ssize_t n = recvfrom(g_sip_fd, buffer, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&addr), &addr_len);
    return n < 0 ? -1 : static_cast<int>(n);
}

int Sip_Recv_Proc()
{
    for (int i = 0; i < kSipRecvPerPass; ++i) {
        sockaddr_in from{};
        socklen_t from_len = 0;
        int n = Sip_Recv_Udp(g_recv_buffer.data(), kSipRecvMax, from, from_len);
        if (n < 0) break;   // nothing waits
        // A keepalive (CRLF) or a flood of tiny datagrams is skipped, counted against the pass's
        // budget: ending the pass there would leave the REGISTERs behind them waiting.
        if (n < kSipMinDatagram) continue;
        g_recv_buffer[static_cast<std::size_t>(n)] = '\0';
        Sip_Recv_Datagram(g_recv_buffer.data(), static_cast<std::size_t>(n), from, from_len);
    }
    return 1;
}

int Sip_Recv_Decode(const char* text, std::size_t length, const sockaddr_in& from, socklen_t from_len,
                    SIP_MSG_T& msg)
{
    char src_ip[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, src_ip, sizeof src_ip);
    const int src_port = ntohs(from.sin_port);
    msg = {};
    msg.src_addr = from;
    msg.src_addr_len = from_len;
    if (soft_inet_enable == 1) {
        copy_text(msg.reply_ip, src_ip);
        msg.reply_port = src_port;
    }
    if (Sip_Decode(text, length, msg) != 1) return -1;
    reply_to_source_if_unsendable(msg, src_ip, src_port);
    return 1;
}

int Sip_Recv_Datagram(const char* text, std::size_t length, const sockaddr_in& from, socklen_t from_len)
{
    if (sip_debug != 0) {
        char src_ip[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, src_ip, sizeof src_ip);
        char head[64];
        std::snprintf(head, sizeof head, "recv data from ip=%s port=%d \n", src_ip, ntohs(from.sin_port));
        // The text as it arrived, up to its first NUL (it need not be terminated), and no more
        // than a formatted log text holds.
        const std::string_view as_arrived =
            text == nullptr ? std::string_view() : std::string_view(text, std::min(length, kLogTextMax - 1));
        Write_Log_Texts({head, "recv data = \n", as_arrived, "\n"});
    }

    SIP_MSG_T& msg = g_recv_msg;
    if (Sip_Recv_Decode(text, length, from, from_len, msg) != 1) {
        Write_Log("error:Sip_Decode error\n");
        return -1;
    }
    OnRecvSip(msg);
    return 1;
}

void Sip_Msg_Source(const SIP_MSG_T& msg, Text<16>& ip, int& port)
{
    if (msg.src_addr_len == 0) {
        copy_text(ip, msg.reply_ip.view());
        port = msg.reply_port;
        return;
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &msg.src_addr.sin_addr, text, sizeof text);
    copy_text(ip, text);
    port = ntohs(msg.src_addr.sin_port);
}

int Sip_Find_Chn_By_Callid(const char* callid)
{
    if (callid == nullptr) return -2;
    return Sip_Chn_Find_Callid(callid);
}

int OnRecvSip(SIP_MSG_T& msg)
{
    std::string_view value;
    if (Decode_HeaderValue(msg.callid_line.view(), value) < 0) return -1;
    // value is the tail of callid_line, so it is terminated.
    const char* callid = value.data();
    Write_Logf("OnRecvSip :callid: %s \n", callid);
    int leg = Sip_Find_Chn_By_Callid(callid);
    bool has_leg = leg >= 0;
    int r = 0;
    // Knowing a Call-ID proves nothing: a request acts in a dialog only from its far end.
    if (has_leg && in_dialog_request(msg.msg_type) && !Sip_Chn_From_Far_End(leg, msg)) {
        Write_Logf("request %d for sip_chn[%d] not from its far end, 481\n", msg.msg_type, leg);
        answer_at_source(msg);
        if (msg.msg_type != SIP_ACK) Send_Msg_Response(msg, 481);   // an ACK is never answered
        return 0;
    }

    switch (msg.msg_type) {
    case SIP_RES_100:
        if (has_leg) OnRecv_Trying(msg, leg);
        break;
    case SIP_RES_180:
        if (!has_leg) {
            Write_Logf("OnRecv_Ring : Could not Find chn =  %d\n", leg);
        } else if ((r = OnRecv_Ring(msg, leg)) < 0) {
            Write_Logf("OnRecv_Ring return  %d\n", r);
        }
        break;
    case SIP_RES_200:
        if (has_leg) OnRecv_200OK(msg, leg);
        break;
    case SIP_RES_ERROR:
        // Without a leg the handler still acknowledges a failure to an INVITE.
        OnRecv_ResError(msg, leg);
        break;
    case SIP_INVITE:
        if (has_leg) OnRecv_ReInvite(msg, leg);
        else OnRecv_Invite(msg, callid);
        break;
    case SIP_CANCEL:
        if (has_leg) OnRecv_Cancel(msg, leg);
        else Send_Msg_Response(msg, 200);
        break;
    case SIP_BYE:
        if (has_leg) OnRecv_Bye(msg, leg);
        else Send_Msg_Response(msg, 200);
        break;
    case SIP_OPTIONS:
    case SIP_SUBSCRIBE:
        Send_Msg_Response(msg, 200);
        break;
    case SIP_REGISTER:
        if ((r = OnRecv_Reg(msg)) < 0) Write_Logf("OnRecv_Reg return  %d\n", r);
        break;
    case SIP_ACK:
        if (has_leg) OnRecv_Ack(leg);
        break;   // an ACK for no leg (the 487 after a CANCEL) is dropped
    case SIP_INFO:
        Send_Msg_Response(msg, 200);
        if (has_leg) OnRecv_Info(msg, leg);
        break;
    case SIP_MESSAGE:
        if (Sip_Max_Forwards(msg) <= 0) {   // it has gone round too often: a loop
            Send_Msg_Response(msg, 483);
            break;
        }
        Send_Msg_Response(msg, 200);
        OnRecv_Message(msg);
        break;
    case SIP_NOTIFY:
        // Answered whatever the console-switch handler made of it; a refused one where it came
        // from, not at the console whose address its Via may name.
        if (OnRecv_SetSwitch(msg) == -4) answer_at_source(msg);
        Send_Msg_Response(msg, 200);
        break;
    case SIP_REFER:
        if (!has_leg) {
            Send_Msg_Response(msg, 488);
            break;
        }
        Send_Msg_Response(msg, 202);
        if (OnRecv_Refer(msg, leg) < 0) Send_Refer_Notify(msg, leg, 2);
        break;
    default:
        break;   // other kinds and PRACK are never answered
    }
    return 0;
}
