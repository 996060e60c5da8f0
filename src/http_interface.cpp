#include "http_interface.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

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

// The thread that receives an upload and then converts it; joined before the next one starts
// and before the server returns. Busy from its start until it has replied and converted.
pthread_t s_tDeal{};
bool s_bDealJoinable = false;
std::atomic<bool> s_bUploadBusy{false};
request_header_def s_sUploadReq;   // the upload being received, the thread's own

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

// Takes what the socket has of a request header into text (len bytes so far), never past the
// header's end, so the body stays in the socket: 1 the header is complete, 0 more is needed,
// -1 the peer closed, the read failed or the header does not fit.
int Static_HeaderStep(int sock, char* text, int& len)
{
    const int room = kHeaderMax - 1 - len;
    if (room <= 0) return -1;
    ssize_t n = recv(sock, text + len, static_cast<std::size_t>(room), MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return -1;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
    int take = 0;
    bool done = false;
    while (take < n && !done) {
        ++take;
        done = Static_TrailingBreaks(text, len + take) == 4;
    }
    if (recv(sock, text + len, static_cast<std::size_t>(take), MSG_DONTWAIT) != take) return -1;
    len += take;
    text[len] = '\0';
    if (done) return 1;
    return len >= kHeaderMax - 1 ? -1 : 0;
}

// A number after a key: digits with an optional sign, held to the int range.
int Static_NumberAfter(const char* at)
{
    long v = std::strtol(at, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// The play count a body names; -1 none.
int Static_PlayCount(const char* body)
{
    for (const char* key : kTimesKeys) {
        if (const char* at = std::strstr(body, key)) return Static_NumberAfter(at + std::strlen(key));
    }
    return -1;
}

void Static_Reply(int sock, const char* body)
{
    char reply[kReplyMax];
    int len = set_respone_headers(reply, sizeof reply, nullptr, body);
    if (len > 0) wlnet_tcp_send(sock, reply, len);
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

// The upload's own thread: it receives the file, replies, closes and converts what it stored, so
// a slow uploader holds only itself.
void* Static_UploadThread(void*)
{
    // The client hears success whenever the upload could start; the conversion's log line
    // tells how it went.
    parser_request_download(&s_sUploadReq);
    Static_Reply(s_sUploadReq.sock_fd, kTrueBody);
    wlnet_close(s_sUploadReq.sock_fd);
    if (g_flg_deal != 0) _cbDealFileThread(nullptr);
    s_bUploadBusy = false;
    return nullptr;
}

// Hands the connection to the upload thread; false when the thread cannot be made (the
// connection is still the caller's then).
bool Static_StartUpload(const request_header_def& request)
{
    Static_JoinDeal();
    s_sUploadReq = request;
    s_bUploadBusy = true;
    if (pthread_create(&s_tDeal, nullptr, Static_UploadThread, nullptr) != 0) {
        s_bUploadBusy = false;
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, 0, "broad deal file thread create fail......");
        return false;
    }
    s_bDealJoinable = true;
    return true;
}

// A connection of the server and how far its request has come.
enum HTTP_PHASE_E { E_HTTP_FREE = 0, E_HTTP_HEADER, E_HTTP_PLAY };

struct HTTP_CLIENT_T {
    int m_iPhase = E_HTTP_FREE;
    request_header_def m_sReq{};
    std::int64_t m_llStartUs = 0;
    std::int64_t m_llEndUs = 0;    // the header bound
    std::int64_t m_llByteUs = 0;   // the next bytes are waited for until then
    int m_iLen = 0;
    char m_chText[kHeaderMax];     // the header so far
};

// Clients served at once; when all are taken, the one that has waited longest for its header
// makes room. Every one reads on its own, so a slow client holds only its own place.
constexpr int kHttpMaxClients = 128;
std::array<HTTP_CLIENT_T, kHttpMaxClients> s_sClients;

void Static_Finish(HTTP_CLIENT_T& c, const char* body)
{
    if (body != nullptr) Static_Reply(c.m_sReq.sock_fd, body);
    wlnet_close(c.m_sReq.sock_fd);
    c.m_iPhase = E_HTTP_FREE;
}

// An instant broadcast with the count its body named (or none).
void Static_Play(HTTP_CLIENT_T& c, int count)
{
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
    Static_Finish(c, kTrueBody);
}

// A complete header: the request is carried out, or waits for its body.
void Static_Serve(HTTP_CLIENT_T& c)
{
    request_header_def& r = c.m_sReq;
    if (get_req_header(c.m_chText, &r) != 0) return Static_Finish(c, kFalseBody);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, 0, "broad request:%s\n", c.m_chText);

    // An upload being received counts as a conversion already: its file is not yet chosen.
    if (g_flg_deal != 0 || (r.status_type == 1 && s_bUploadBusy)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, 0, "broad cannot use while deal file......");
        return Static_Finish(c, kFalseBody);
    }
    switch (r.status_type) {
    case 1:
        if (Broad_GetStatus() != 0) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, 0, "broad cannot upload while playing......");
            return Static_Finish(c, kFalseBody);
        }
        if (r.content_length > g_sHttpLimits.m_lMaxUpload) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, 0, "broad upload too large:%ld, limit:%ld......", r.content_length,
                      g_sHttpLimits.m_lMaxUpload);
            return Static_Finish(c, kFalseBody);
        }
        run_shell("rm -rf 1.wav;rm -rf tmp.wav; rm -rf tmp.mp3");
        if (Static_StartUpload(r)) {
            c.m_iPhase = E_HTTP_FREE;   // the connection is the upload thread's now
            return;
        }
        return Static_Finish(c, kTrueBody);
    case 2:
        c.m_iPhase = E_HTTP_PLAY;
        c.m_llByteUs = monotonic_us() + std::int64_t{kWlnetRecvWaitMs} * 1000;
        return;
    case 3: {
        bool idle;
        {
            std::lock_guard<std::mutex> lock(g_sBroadInfo.m_mtxLock);
            idle = g_sBroadInfo.broad_status == 0;
            if (!idle) g_sBroadInfo.broad_status = 3;
        }
        if (idle) MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, 0, "broad has stopped......");
        return Static_Finish(c, kTrueBody);
    }
    case 4:
        return Static_Finish(c, HTTP_Deal_ChannelSwitch(r.channel_num) != 0 ? kFalseBody : kTrueBody);
    default:
        return Static_Finish(c, kTrueBody);
    }
}

// The client's socket is readable: what came moves its request on.
void Static_Readable(HTTP_CLIENT_T& c, std::int64_t now)
{
    if (c.m_iPhase == E_HTTP_PLAY) {
        char block[kBlockMax] = {};
        int n = wlnet_tcp_recv(c.m_sReq.sock_fd, block, kBlockMax - 1);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        return Static_Play(c, n > 0 ? Static_PlayCount(block) : -1);
    }
    int step = Static_HeaderStep(c.m_sReq.sock_fd, c.m_chText, c.m_iLen);
    if (step < 0) return Static_Finish(c, kFalseBody);
    if (step == 1) return Static_Serve(c);
    c.m_llByteUs = now + std::int64_t{kWlnetRecvWaitMs} * 1000;
}

// The client's time is up: a header that did not come in time, a play count that did not come.
void Static_TimeUp(HTTP_CLIENT_T& c, std::int64_t now)
{
    if (now < c.m_llByteUs && (c.m_iPhase != E_HTTP_HEADER || now < c.m_llEndUs)) return;
    if (c.m_iPhase == E_HTTP_PLAY) return Static_Play(c, -1);
    Static_Finish(c, kFalseBody);
}

// A place for a new client: a free one, else the oldest header still coming is refused.
HTTP_CLIENT_T* Static_Place()
{
    HTTP_CLIENT_T* oldest = nullptr;
    for (HTTP_CLIENT_T& c : s_sClients) {
        if (c.m_iPhase == E_HTTP_FREE) return &c;
        if (c.m_iPhase == E_HTTP_HEADER && (oldest == nullptr || c.m_llStartUs < oldest->m_llStartUs)) oldest = &c;
    }
    if (oldest != nullptr) Static_Finish(*oldest, kFalseBody);
    return oldest;
}

void Static_Accept(int listener)
{
    errno = 0;
    int sock = wlnet_tcp_accept(listener, nullptr, nullptr);
    if (sock < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) usleep(kAcceptRetryUs);   // no busy loop
        return;
    }
    HTTP_CLIENT_T* c = Static_Place();
    if (c == nullptr) {   // every place is a play count being waited for: cannot happen with 128
        wlnet_close(sock);
        return;
    }
    wlnet_set_nonblock(sock);
    const std::int64_t now = monotonic_us();
    c->m_iPhase = E_HTTP_HEADER;
    c->m_sReq = {};
    c->m_sReq.sock_fd = sock;
    c->m_llStartUs = now;
    c->m_llEndUs = now + std::int64_t{g_sHttpLimits.m_iHeaderMs} * 1000;
    c->m_llByteUs = now + std::int64_t{kWlnetRecvWaitMs} * 1000;
    c->m_iLen = 0;
    c->m_chText[0] = '\0';
}

// How long the server may sleep: until the nearest bound of a client, at most a second.
int Static_PollMs(std::int64_t now)
{
    std::int64_t next = now + 1000000;
    for (const HTTP_CLIENT_T& c : s_sClients) {
        if (c.m_iPhase == E_HTTP_FREE) continue;
        if (c.m_llByteUs < next) next = c.m_llByteUs;
        if (c.m_iPhase == E_HTTP_HEADER && c.m_llEndUs < next) next = c.m_llEndUs;
    }
    return next <= now ? 0 : static_cast<int>((next - now + 999) / 1000);
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
    while (true) {
        int ms = until.wait_ms();
        pollfd p{sock, POLLIN, 0};
        if (ms == 0 || poll(&p, 1, ms) != 1) break;
        int step = Static_HeaderStep(sock, text, len);
        if (step == 1) return text;
        if (step < 0) break;
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
    return Static_PlayCount(block);
}

int http_interface_server(int port)
{
    int listener = wlnet_tcp_create(nullptr, port);
    if (listener < 0) return -1;
    wlnet_set_nonblock(listener);
    for (HTTP_CLIENT_T& c : s_sClients) c.m_iPhase = E_HTTP_FREE;
    fd_server = listener;
    std::array<pollfd, kHttpMaxClients + 1> fds{};
    std::array<HTTP_CLIENT_T*, kHttpMaxClients + 1> owners{};
    while (fd_server == listener) {
        std::size_t n = 0;
        fds[n] = {listener, POLLIN, 0};
        owners[n++] = nullptr;
        for (HTTP_CLIENT_T& c : s_sClients) {
            if (c.m_iPhase == E_HTTP_FREE) continue;
            fds[n] = {c.m_sReq.sock_fd, POLLIN, 0};
            owners[n++] = &c;
        }
        int ready = poll(fds.data(), n, Static_PollMs(monotonic_us()));
        if (fd_server != listener) break;
        if (ready < 0) continue;   // a signal: the bounds are looked at again
        const std::int64_t now = monotonic_us();
        for (std::size_t i = 1; i < n; ++i) {
            HTTP_CLIENT_T& c = *owners[i];
            if (fds[i].revents != 0) Static_Readable(c, now);
            if (c.m_iPhase != E_HTTP_FREE) Static_TimeUp(c, now);
        }
        if (fds[0].revents != 0) Static_Accept(listener);
    }
    for (HTTP_CLIENT_T& c : s_sClients)
        if (c.m_iPhase != E_HTTP_FREE) Static_Finish(c, nullptr);
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
