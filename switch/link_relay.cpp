#include "link_relay.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdint>
#include <cstring>

#include "board.h"
#include "call_chn.h"
#include "call_relay.h"
#include "link_net.h"
#include "link_wait.h"
#include "settings.h"
#include "sip_response.h"
#include "swlog.h"

int g_rtpswitch_listen_fd = -1;
int g_rtpswitch_fd = -1;

namespace {

sockaddr_in g_rtpswitch_peer{};   // where the connection came from

constexpr unsigned char kMarker = 0xF5;
constexpr int kPublic = 1, kPrivate = 2, kMute = 3, kHangoff = 4;
constexpr std::size_t kIdBytes = 200;
constexpr std::size_t kRequestSize = 240, kHangoffSize = 217;
constexpr std::size_t kReadMax = 5000;
constexpr int kSilentTicks = 9;   // the tenth silent tick closes the connection

bool relay_frame(const unsigned char* h) { return h[0] == kMarker && h[2] == 0x0B; }
// The length counts the bytes between the header and the closing marker.
constexpr FrameShape kShape{kMarker, 6, 4, 1, relay_frame};
FramePending<2 * kRequestSize> g_pending;
std::array<unsigned char, 2 * kRequestSize + kReadMax> g_work;

unsigned g_seq = 0;
int g_silence = 0;

struct Due {
    std::int64_t at_us = 0;   // 0: nothing due
    int inet = 0;
    int first_chn = -1;
};
std::array<Due, kMaxCallChns> g_due;

bool in_range(int chn) { return chn >= 0 && chn < kMaxCallChns; }

unsigned next_seq()
{
    const unsigned s = g_seq;
    g_seq = (g_seq + 1) & 0xFF;
    return s;
}

void drop_connection()
{
    Link_Close(g_rtpswitch_fd);
    g_pending.clear();
}

int Send_Rtpswitch_Data(const unsigned char* bytes, std::size_t size)
{
    if (g_rtpswitch_fd < 0) {
        Write_Log("error:包转发程序没有连接\n");
        return -1;
    }
    if (!Link_Send(g_rtpswitch_fd, bytes, size)) {
        Write_Log("error:send rtpswitch出错！断开连接！\n");
        drop_connection();
    }
    return 1;
}

// The call's new relay id: the time stamp and the sequence number + 123 after the channel's
// id, or alone when the id has no room left for them.
void new_relay_id(CallChn& c)
{
    char stamp[kSipStampSize];
    Sip_Time_Stamp(stamp);
    char piece[48];
    std::snprintf(piece, sizeof piece, "%s%u", stamp, g_seq + 123);
    if (c.rtpswitch_id.view().size() + std::strlen(piece) < c.rtpswitch_id.capacity)
        Composer::extend(c.rtpswitch_id).raw(piece);
    else
        copy_text(c.rtpswitch_id, piece);
}

}  // namespace

int Create_Rtpswitch_Socket()
{
    static constexpr ListenTexts kTexts{"error:包转发服务器tcp_socket创建出错!\n", "error:包转发服务器绑定端口 %ld 出错!\n",
                                        nullptr, "error:包转发服务器listen出错!\n"};
    const int fd = Link_Tcp_Listen_Reported(soft_rtpswitch_localport, kTexts);
    if (fd < 0) return fd;
    g_rtpswitch_listen_fd = fd;
    std::printf("Bind  RTP Switch  Server  Port = [%ld]  Success \n", static_cast<long>(soft_rtpswitch_localport));
    std::fflush(stdout);
    return 0;
}

void Rtpswitch_AcceptConnect()
{
    sockaddr_in peer{};
    int fd = Link_Accept(g_rtpswitch_listen_fd, peer);
    if (fd < 0) return;
    if (Link_Refuse_Newcomer(fd, g_rtpswitch_fd, g_rtpswitch_peer, peer, "rtpswitch")) return;
    if (g_rtpswitch_fd >= 0) {
        Write_Log("error:accept new connect rtpswitch  close old\n");
        drop_connection();
    }
    g_rtpswitch_fd = fd;
    g_rtpswitch_peer = peer;
    // Read on the tick only: data waiting on it must not keep waking the loop.
    Link_Wait_When(fd, Link_Read_On_Tick);
    g_silence = 0;
    Write_Log("accept connect rtp switch \n");
}

void Send_RtpSwitch(int chn, int inet, Text<200>& relay_id)
{
    if (g_rtpswitch_fd < 0) {
        Write_Log("error:包转发程序没有连接\n");
        return;
    }
    if (!in_range(chn)) return;
    CallChn& c = call_chns[chn];
    if (relay_id.empty()) {
        new_relay_id(c);
        relay_id = c.rtpswitch_id;
    } else {
        c.rtpswitch_id = relay_id;
    }
    Text<16> ip;
    int port = 0, codec = 0;
    CallCtrl_Get_Media(chn, ip, port, codec);
    const int relay_port = soft_rtpswitch_port_range >= 1
                               ? soft_rtpswitch_rtp_port + 2 * (chn % soft_rtpswitch_port_range)
                               : soft_rtpswitch_rtp_port + chn;
    const char* shown = inet == 1 ? ip.s : "0.0.0.0";

    std::array<unsigned char, kRequestSize> f{};
    f[0] = kMarker;
    f[1] = static_cast<unsigned char>(next_seq());
    f[2] = 0x0B;
    f[3] = inet == 1 ? kPublic : kPrivate;
    Put_U16(&f[4], static_cast<unsigned>(kRequestSize - 7));
    std::memcpy(&f[6], c.rtpswitch_id.s, c.rtpswitch_id.view().size());
    Put_U16(&f[206], static_cast<unsigned>(relay_port));
    Put_U16(&f[210], static_cast<unsigned>(port));
    std::memcpy(&f[214], shown, std::min<std::size_t>(15, std::strlen(shown)));
    f[239] = kMarker;
    Write_Logf("***Send_RtpSwitch internet=%d callid=%s lport=%ld port=%d host=%s\n", inet, c.rtpswitch_id.s,
               static_cast<long>(soft_rtpswitch_rtp_port + chn), port, shown);
    Send_Rtpswitch_Data(f.data(), f.size());
}

void Rtpswitch_Schedule(int chn, int inet, int first_chn, long long delay_us)
{
    if (!in_range(chn)) return;
    g_due[chn] = Due{monotonic_us() + delay_us, inet, first_chn};
}

void Rtpswitch_Pass()
{
    std::int64_t now = 0;
    for (int chn = 0; chn < kMaxCallChns; ++chn) {
        Due& d = g_due[chn];
        if (d.at_us == 0) continue;
        if (now == 0) now = monotonic_us();
        if (now < d.at_us) continue;
        const Due due = d;
        d = Due{};
        // The call may have ended in the meantime; its channels then carry other calls.
        if (call_chns[chn].use != 1 || !in_range(due.first_chn) || call_chns[chn].con_chn != due.first_chn ||
            call_chns[due.first_chn].rtpswitch_id.empty())
            continue;
        Text<200> id = call_chns[due.first_chn].rtpswitch_id;
        Send_RtpSwitch(chn, due.inet, id);
    }
}

std::int64_t Rtpswitch_Next_Due_Us()
{
    std::int64_t due = INT64_MAX;
    for (const Due& d : g_due)
        if (d.at_us != 0) due = std::min(due, d.at_us);
    return due;
}

int Send_HanoffToRtpswitch(const char* relay_id)
{
    std::array<unsigned char, kHangoffSize> f{};
    f[0] = kMarker;
    f[1] = static_cast<unsigned char>(next_seq());
    f[2] = 0x0B;
    f[3] = kHangoff;
    Put_U16(&f[4], static_cast<unsigned>(kHangoffSize - 7));
    Text<kIdBytes> id;
    copy_text(id, relay_id ? relay_id : "");
    std::memcpy(&f[6], id.s, id.view().size());
    f[216] = kMarker;
    Write_Logf("Send_HanoffToRtpswitch callid=%s\n", id.s);
    return Send_Rtpswitch_Data(f.data(), f.size());
}

int Rtpswitch_Recv_Proc()
{
    if (g_rtpswitch_fd < 0) return -1;
    const int n = Frame_Read(g_rtpswitch_fd, g_pending, g_work.data(), kReadMax, kShape,
                             [](const unsigned char* f, std::size_t size) {
                                 if (f[3] == kMute) {
                                     Text<kIdBytes> id;
                                     copy_text(id, Frame_Text(f + 6, std::min(kIdBytes, size - 6)));
                                     Rtpswitch_Mute(id.s);
                                 }
                                 return g_rtpswitch_fd >= 0;
                             });
    if (n < 0) {
        if (++g_silence > kSilentTicks) {
            Write_Log("error:rtpswitch connect timeout\n ");
            drop_connection();
            g_silence = 0;
        }
        return -1;
    }
    g_silence = 0;
    if (n == 0) {
        Write_Log("error:rtpswitch disconnect \n ");
        drop_connection();
        return -2;
    }
    if (n > 5) Write_Log("---get data from rtpswitch\n");
    return 1;
}

int Rtpswitch_Mute(const char* relay_id)
{
    const std::string_view id = relay_id ? relay_id : "";
    int found[2] = {-1, -1};
    // An empty id names no call, and only channels in use carry one.
    for (int chn = 0, k = 0; chn < kMaxCallChns && k < 2 && !id.empty(); ++chn)
        if (call_chns[chn].use == 1 && call_chns[chn].rtpswitch_id.view() == id) found[k++] = chn;
    Text<kIdBytes> shown;
    copy_text(shown, id);
    Write_Logf("---Rtpswitch_Mute find chn1=%d chn2=%d callid=%s\n", found[0], found[1], shown.s);
    Write_Log("...12 \n");
    int released = 0;
    for (int chn : found)
        if (chn >= 0 && CallCtrl_SendHangoff(chn, 0) > 0) ++released;
    return released;
}
