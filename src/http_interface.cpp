#include "http_interface.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "board.h"
#include "libmadMp3Dec.h"
#include "multi_log.h"
#include "struct_sys.h"
#include "text.h"
#include "wl_net.h"

BROAD_INFO_T g_sBroadInfo;
HTTP_LIMITS_T g_sHttpLimits;
std::atomic<int> fd_server{-1};
std::atomic<int> g_flg_deal{0};
request_header_def req;

namespace {

constexpr int kHeaderMax = 8192;  // the header text is at most one less
constexpr int kBlockMax = 4096;
constexpr int kReplyMax = 2048;
constexpr int kAcceptRetryUs = 10000;
constexpr char kTrueBody[] = "{\"success\":true}";
constexpr char kFalseBody[] = "{\"success\":false}";

struct REQ_KIND_T {
    const char* m_pchPath;
    int m_iKind;
};
// Looked for in this order anywhere in the header.
constexpr REQ_KIND_T kReqKinds[] = {
    {"upload/upload", 1},
    {"broadcast/InstantBroadcast", 2},
    {"broadcast/StopBroadcast", 3},
    {"broadcast/updateChannel", 4},
};
constexpr const char* kTimesKeys[] = {"times=", "\"times\"=", "times:", "\"times\":"};

// The conversion thread, joined before the next one starts and before the server returns.
pthread_t s_tDeal{};
bool s_bDealJoinable = false;

// A point on the monotonic clock after which a client gets no more time.
struct Deadline {
    std::int64_t m_llEndUs;
    explicit Deadline(int ms) : m_llEndUs(monotonic_us() + std::int64_t{ms} * 1000) {}
    // The 2-second wait of one read, cut to what is left; 0 when nothing is left.
    int wait_ms() const
    {
        std::int64_t left = (m_llEndUs - monotonic_us() + 999) / 1000;
        if (left <= 0) return 0;
        return left < kWlnetRecvWaitMs ? static_cast<int>(left) : kWlnetRecvWaitMs;
    }
};

// One read of at most len bytes within the deadline; what wlnet_tcp_recv returns, -1 when the
// time is up.
int Static_Recv(int sock, char* buf, int len, const Deadline& until)
{
    int ms = until.wait_ms();
    if (ms == 0) return -1;
    return wlnet_tcp_recv_wait(sock, buf, len, ms);
}

// CR and LF characters at the end of the text.
int Static_TrailingBreaks(const char* text, int len)
{
    int n = 0;
    while (n < len && (text[len - 1 - n] == '\r' || text[len - 1 - n] == '\n')) ++n;
    return n;
}

// A number after a key: digits with an optional sign, held to the int range.
int Static_NumberAfter(const char* at)
{
    long v = std::strtol(at, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

void Static_Reply(const char* body)
{
    char reply[kReplyMax];
    int len = set_respone_headers(reply, sizeof reply, &req, body);
    if (len > 0) wlnet_tcp_send(req.sock_fd, reply, len);
}

// The file part's extension picks the upload file; only the file name itself is looked at.
int Static_UploadKind(std::string_view part_head)
{
    std::size_t at = part_head.find("filename=");
    if (at == std::string_view::npos) return 0;
    std::string_view name = part_head.substr(at);
    name = name.substr(0, name.find_first_of("\r\n"));
    if (name.find(".wav") != std::string_view::npos || name.find(".WAV") != std::string_view::npos) return 1;
    if (name.find(".mp3") != std::string_view::npos || name.find(".MP3") != std::string_view::npos) return 2;
    return 0;
}

void Static_JoinDeal()
{
    if (!s_bDealJoinable) return;
    pthread_join(s_tDeal, nullptr);
    s_bDealJoinable = false;
}

void Static_StartDeal()
{
    Static_JoinDeal();
    if (pthread_create(&s_tDeal, nullptr, _cbDealFileThread, nullptr) != 0) {
        // Without its thread nobody would ever clear the flag, and every later request would be
        // refused.
        g_flg_deal = 0;
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, 0, "broad deal file thread create fail......");
        return;
    }
    s_bDealJoinable = true;
}

// One request of the connection in req.sock_fd, answered; true when it was an upload that left
// something to convert.
bool Static_Serve()
{
    char* text = get_server_request(req.sock_fd);
    if (text == nullptr || get_req_header(text, &req) != 0) {
        delete[] text;
        Static_Reply(kFalseBody);
        return false;
    }
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, 0, "broad request:%s\n", text);
    delete[] text;

    if (g_flg_deal != 0) {
        Static_Reply(kFalseBody);
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, 0, "broad cannot use while deal file......");
        return false;
    }
    bool uploaded = false;
    switch (req.status_type) {
    case 1:
        if (Broad_GetStatus() != 0) {
            Static_Reply(kFalseBody);
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, 0, "broad cannot upload while playing......");
            return false;
        }
        if (req.content_length > g_sHttpLimits.m_lMaxUpload) {
            Static_Reply(kFalseBody);
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, 0, "broad upload too large:%ld, limit:%ld......",
                      req.content_length, g_sHttpLimits.m_lMaxUpload);
            return false;
        }
        run_shell("rm -rf 1.wav;rm -rf tmp.wav; rm -rf tmp.mp3");
        // The client hears success whenever the upload could start; the conversion's log line
        // tells how it went.
        parser_request_download(&req);
        uploaded = g_flg_deal != 0;
        break;
    case 2: {
        int count = parser_request_play(&req);
        if (count < 2) count = 1;
        bool playing;
        {
            std::lock_guard<std::mutex> lock(g_sBroadInfo.m_mtxLock);
            playing = g_sBroadInfo.broad_status != 0;
            if (!playing) {
                g_sBroadInfo.broad_count = count;
                g_sBroadInfo.broad_status = 1;
            }
        }
        if (playing) MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, 0, "broad started, please stop......");
        break;
    }
    case 3: {
        bool idle;
        {
            std::lock_guard<std::mutex> lock(g_sBroadInfo.m_mtxLock);
            idle = g_sBroadInfo.broad_status == 0;
            if (!idle) g_sBroadInfo.broad_status = 3;
        }
        if (idle) MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, 0, "broad has stopped......");
        break;
    }
    case 4:
        if (HTTP_Deal_ChannelSwitch(req.channel_num) != 0) {
            Static_Reply(kFalseBody);
            return false;
        }
        break;
    default:
        break;
    }
    Static_Reply(kTrueBody);
    return uploaded;
}

}  // namespace

int Broad_GetStatus()
{
    std::lock_guard<std::mutex> lock(g_sBroadInfo.m_mtxLock);
    return g_sBroadInfo.broad_status;
}

const char g_http_build_date[] = __DATE__;

int set_respone_headers(char* buffer, std::size_t size, const request_header_def*, const char* body)
{
    if (buffer == nullptr || size == 0 || body == nullptr) return -1;
    int n = std::snprintf(buffer, size,
                          "HTTP/1.1 200 OK\r\nDate: %s\r\nServer: Cassini/3.5.0.0\r\n"
                          "Content-Type: application/x-json;charset=UTF-8\r\nContent-Length: %d\r\n"
                          "Connection:keep-alive\r\n\r\n%s\r\n",
                          g_http_build_date, static_cast<int>(std::strlen(body)), body);
    if (n < 0 || static_cast<std::size_t>(n) >= size) return -1;
    return n;
}

char* get_server_request(int sock)
{
    char* text = new char[kHeaderMax]();
    Deadline until(g_sHttpLimits.m_iHeaderMs);
    int len = 0;
    while (len < kHeaderMax - 1) {
        if (Static_Recv(sock, text + len, 1, until) != 1) break;
        ++len;
        if (Static_TrailingBreaks(text, len) == 4) return text;
    }
    delete[] text;
    return nullptr;
}

int get_req_header(const char* text, request_header_def* request)
{
    if (text == nullptr || request == nullptr) return -1;
    request->status_type = -1;
    for (const REQ_KIND_T& k : kReqKinds) {
        if (std::strstr(text, k.m_pchPath)) {
            request->status_type = k.m_iKind;
            break;
        }
    }
    if (request->status_type == -1) return -1;
    if (request->status_type == 4) {
        const char* at = std::strstr(text, "channel=");
        request->channel_num = at ? Static_NumberAfter(at + 8) : 0;
    }
    if (const char* at = std::strstr(text, "Content-Type:")) {
        std::sscanf(at, "%*s %127s", request->content_type);
        if (const char* b = std::strstr(at, "boundary=")) {
            b += 9;
            copy_text(request->boundary, std::string_view(b, std::strcspn(b, "\r\n")));
        }
    }
    if (const char* at = std::strstr(text, "Content-Length:")) std::sscanf(at, "%*s %ld", &request->content_length);
    return 0;
}

int parser_request_download(request_header_def* request)
{
    const int sock = request->sock_fd;
    const long body_len = request->content_length;
    Deadline until(g_sHttpLimits.m_iBodyMs);

    // The part's own headers, read until their blank line, which a slow client may send in
    // pieces.
    char block[kBlockMax];
    int got = 0;
    const char* data = nullptr;
    while (got < kBlockMax - 1 && (body_len <= 0 || got < body_len)) {
        int n = Static_Recv(sock, block + got, kBlockMax - 1 - got, until);
        if (n <= 0) break;
        got += n;
        block[got] = '\0';
        if ((data = std::strstr(block, "\r\n\r\n")) != nullptr) break;
    }
    if (got == 0) return -1;
    block[got] = '\0';
    std::string_view head(block, data ? static_cast<std::size_t>(data - block) : static_cast<std::size_t>(got));
    int kind = Static_UploadKind(head);
    if (kind == 0) return -1;
    copy_text(request->file_name, kind == 1 ? "tmp.wav" : "tmp.mp3");
    g_flg_deal = kind;

    FILE* f = std::fopen(request->file_name, "wb");
    if (f == nullptr) return -1;
    if (data == nullptr) {
        std::fclose(f);
        return -1;
    }
    data += 4;
    long offset = data - block;
    // What follows the file is the closing delimiter: CR LF, two hyphens, the boundary, two
    // hyphens, CR LF.
    long file_len = body_len - offset - static_cast<long>(std::strlen(request->boundary)) - 8;
    if (file_len < 0) file_len = 0;
    request->content_length = file_len;

    long written = 0;
    long consumed = got;
    long first = got - offset < file_len ? got - offset : file_len;
    written += static_cast<long>(std::fwrite(data, 1, static_cast<std::size_t>(first), f));
    // The rest of the body, delimiter included, is read too, so the client's last bytes are not
    // left unread when the connection closes.
    while (consumed < body_len) {
        long want = body_len - consumed < kBlockMax ? body_len - consumed : kBlockMax;
        int n = Static_Recv(sock, block, static_cast<int>(want), until);
        if (n <= 0) break;
        consumed += n;
        long keep = file_len - written < n ? file_len - written : n;
        if (keep > 0) written += static_cast<long>(std::fwrite(block, 1, static_cast<std::size_t>(keep), f));
    }
    if (written == file_len) std::printf("Download successful\n\n");
    else std::printf("Finished length:%ld,resp.content_length:%ld\n", written, file_len);
    std::fclose(f);
    return 0;
}

int parser_request_play(request_header_def* request)
{
    char block[kBlockMax];
    Deadline until(kWlnetRecvWaitMs);
    if (Static_Recv(request->sock_fd, block, kBlockMax - 1, until) <= 0) return -1;
    block[kBlockMax - 1] = '\0';
    for (const char* key : kTimesKeys) {
        if (const char* at = std::strstr(block, key)) return Static_NumberAfter(at + std::strlen(key));
    }
    return -1;
}

int http_interface_server(int port)
{
    int listener = wlnet_tcp_create(nullptr, port);
    if (listener < 0) return -1;
    fd_server = listener;
    while (fd_server == listener) {
        req = {};
        req.sock_fd = -1;
        int sock = wlnet_tcp_accept(listener, nullptr, nullptr);
        if (sock < 0) {
            if (fd_server == listener) usleep(kAcceptRetryUs);  // out of descriptors: no busy loop
            continue;
        }
        req.sock_fd = sock;
        wlnet_set_nonblock(sock);
        bool uploaded = Static_Serve();
        wlnet_close(sock);
        if (uploaded) Static_StartDeal();
    }
    wlnet_close(listener);
    Static_JoinDeal();
    return 0;
}

void http_interface_server_stop()
{
    // The server thread may be waiting in accept: shutting the listener down wakes it, and it
    // closes the descriptor itself, so the number cannot be reused under it.
    int fd = fd_server.exchange(-1);
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void* _cbHttpServerThread(void*)
{
    http_interface_server(kHttpPort);
    return nullptr;
}
