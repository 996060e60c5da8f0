// The HTTP broadcast server's pieces: reply text, header read and parse, upload and play-count
// readers over a socket pair, the refusals of the running server, and the logger it shares with
// the main loop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gate_test_board.h"
#include "http_interface.h"
#include "multi_log.h"
#include "text.h"
#include "wl_net.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string Reply(const char* body)
{
    return std::string("HTTP/1.1 200 OK\r\nDate: ") + g_http_build_date +
           "\r\nServer: Cassini/3.5.0.0\r\nContent-Type: application/x-json;charset=UTF-8\r\nContent-Length: " +
           std::to_string(std::strlen(body)) + "\r\nConnection:keep-alive\r\n\r\n" + body + "\r\n";
}
const std::string kTrue = Reply("{\"success\":true}");
const std::string kFalse = Reply("{\"success\":false}");

// A connected pair: the server's end (non-blocking, as the server makes it) and the client's.
struct Pair {
    int server = -1, client = -1;
    Pair()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
        server = fds[0];
        client = fds[1];
        wlnet_set_nonblock(server);
    }
    ~Pair()
    {
        if (server >= 0) close(server);
        if (client >= 0) close(client);
    }
    void Send(const std::string& s) { ASSERT_EQ(write(client, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    void CloseClient()
    {
        close(client);
        client = -1;
    }
};

std::string Header(int sock)
{
    char* text = get_server_request(sock);
    std::string s = text ? text : "(null)";
    delete[] text;
    return s;
}

class Http : public GateTest {
protected:
    void SetUp() override
    {
        GateTest::SetUp();
        ASSERT_EQ(chdir(root.c_str()), 0);
        std::remove("tmp.wav");
        std::remove("tmp.mp3");
        saved = g_sHttpLimits;
        g_flg_deal = 0;
        req = {};
    }
    void TearDown() override
    {
        g_sHttpLimits = saved;
        g_flg_deal = 0;
        std::lock_guard<std::mutex> lock(g_sBroadInfo.m_mtxLock);
        g_sBroadInfo.broad_status = 0;
    }
    HTTP_LIMITS_T saved;
};

TEST_F(Http, ReplyTextIsExact)
{
    char buf[2048];
    int n = set_respone_headers(buf, sizeof buf, &req, "{\"success\":true}");
    EXPECT_EQ(std::string(buf, n), kTrue);
    n = set_respone_headers(buf, sizeof buf, &req, "{\"success\":false}");
    EXPECT_EQ(std::string(buf, n), kFalse);
    EXPECT_THAT(kTrue, HasSubstr("Content-Length: 16\r\n"));
    EXPECT_EQ(set_respone_headers(buf, 100, &req, "{\"success\":true}"), -1);  // never cut short
}

TEST_F(Http, HeaderParse)
{
    struct Case {
        const char* text;
        int rc, kind, channel;
        const char *type, *boundary;
        long length;
    } cases[] = {
        {"GET /upload/upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=----abc\r\n"
         "Content-Length: 1234\r\n\r\n",
         0, 1, 0, "multipart/form-data;", "----abc", 1234},
        {"POST /broadcast/InstantBroadcast HTTP/1.1\r\n\r\n", 0, 2, 0, "", "", 0},
        {"GET /x/broadcast/StopBroadcast?y HTTP/1.1\r\n\r\n", 0, 3, 0, "", "", 0},
        {"GET /broadcast/updateChannel?channel=7 HTTP/1.1\r\n\r\n", 0, 4, 7, "", "", 0},
        {"GET /broadcast/updateChannel HTTP/1.1\r\n\r\n", 0, 4, 0, "", "", 0},  // no "channel=": 0
        {"GET /broadcast/updateChannel?channel=99999999999999 HTTP/1.1\r\n\r\n", 0, 4, 2147483647, "", "", 0},
        {"GET /index.html HTTP/1.1\r\n\r\n", -1, -1, 0, "", "", 0},
        // Order of the search: an upload path wins over a later kind.
        {"GET /broadcast/StopBroadcast/upload/upload HTTP/1.1\r\n\r\n", 0, 1, 0, "", "", 0},
        // A boundary ends at the line's end, also a bare LF.
        {"GET /upload/upload\nContent-Type: a; boundary=xyz\n\n\n\n", 0, 1, 0, "a;", "xyz", 0},
        {"GET /upload/upload\r\nContent-Length: -5\r\n\r\n", 0, 1, 0, "", "", -5},
    };
    for (const Case& c : cases) {
        request_header_def r{};
        EXPECT_EQ(get_req_header(c.text, &r), c.rc) << c.text;
        EXPECT_EQ(r.status_type, c.kind) << c.text;
        EXPECT_EQ(r.channel_num, c.channel) << c.text;
        EXPECT_STREQ(r.content_type, c.type) << c.text;
        EXPECT_STREQ(r.boundary, c.boundary) << c.text;
        EXPECT_EQ(r.content_length, c.length) << c.text;
    }
    // Over-long values are cut to their fields.
    std::string text = "GET /upload/upload\r\nContent-Type: " + std::string(300, 't') + "; boundary=" +
                       std::string(400, 'b') + "\r\n\r\n";
    request_header_def r{};
    EXPECT_EQ(get_req_header(text.c_str(), &r), 0);
    EXPECT_EQ(std::strlen(r.content_type), 127u);
    EXPECT_EQ(std::strlen(r.boundary), 255u);
}

TEST_F(Http, HeaderReadEndsAtFourBreaksAndLeavesTheBody)
{
    struct Case {
        std::string sent, want;
    } cases[] = {
        {"GET /a HTTP/1.1\r\nHost: h\r\n\r\nBODY", "GET /a HTTP/1.1\r\nHost: h\r\n\r\n"},
        {"GET /a HTTP/1.1\n\n\n\nBODY", "GET /a HTTP/1.1\n\n\n\n"},
        {"\r\n\r\nBODY", "\r\n\r\n"},  // nothing before the breaks: looked at from the start only
    };
    for (const Case& c : cases) {
        Pair p;
        p.Send(c.sent);
        EXPECT_EQ(Header(p.server), c.want);
        char rest[16] = {};
        EXPECT_EQ(read(p.server, rest, sizeof rest), 4);
        EXPECT_STREQ(rest, "BODY");
    }
}

TEST_F(Http, HeaderReadRefusals)
{
    g_sHttpLimits.m_iHeaderMs = 300;
    {  // the peer closes before the header is complete
        Pair p;
        p.Send("GET /broadcast/StopBroadcast HTTP/1.1\r\n");
        p.CloseClient();
        EXPECT_EQ(Header(p.server), "(null)");
    }
    {  // longer than the buffer: refused after 8191 bytes, nothing written beyond it
        Pair p;
        p.Send("GET /broadcast/StopBroadcast HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n");
        EXPECT_EQ(Header(p.server), "(null)");
    }
    {  // exactly 8191 bytes still fit
        Pair p;
        std::string h = "GET /broadcast/StopBroadcast HTTP/1.1\r\nX: ";
        h += std::string(8191 - h.size() - 4, 'a') + "\r\n\r\n";
        p.Send(h);
        EXPECT_EQ(Header(p.server), h);
    }
    {  // a client that trickles its header gets no more than the header bound
        Pair p;
        int fd = p.client;
        std::thread slow([fd] {
            for (char ch : std::string("GET /broadcast/StopBroadcast HTTP/1.1\r\n\r\n")) {
                if (write(fd, &ch, 1) != 1) return;
                usleep(30000);
            }
        });
        EXPECT_EQ(Header(p.server), "(null)");
        slow.join();
    }
}

std::string Multipart(const std::string& boundary, const std::string& filename, const std::string& data)
{
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + filename +
           "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + data + "\r\n--" + boundary + "--\r\n";
}

// Runs the upload reader on body as the request's whole body; its result.
int Upload(const std::string& body, const std::string& boundary, Pair& p, bool close_after = true)
{
    req = {};
    copy_text(req.boundary, boundary);
    req.content_length = static_cast<long>(body.size());
    req.sock_fd = p.server;
    int fd = p.client;
    std::thread writer([&body, fd] {
        // In pieces, as a network delivers it.
        for (std::size_t at = 0; at < body.size(); at += 1000) {
            std::size_t n = std::min<std::size_t>(1000, body.size() - at);
            if (write(fd, body.data() + at, n) != static_cast<ssize_t>(n)) return;
        }
    });
    int rc = parser_request_download(&req);
    writer.join();
    if (close_after) p.CloseClient();
    return rc;
}

std::string Bytes(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return s;
}

TEST_F(Http, UploadKeepsExactlyTheFileBytes)
{
    const std::string b = "------------------------d74496d66958873e";
    struct Case {
        std::string filename, data, file;
        int flag;
    } cases[] = {
        {"a.wav", Bytes(100), "tmp.wav", 1},    // fits the first read: no delimiter behind it
        {"b.mp3", Bytes(20000), "tmp.mp3", 2},  // many reads
        {"c.WAV", Bytes(4000), "tmp.wav", 1},   // the delimiter straddles two reads
        {"d.MP3", "\r\n\r\n--" + b + "\r\nfilename=\"x.txt\"\r\n", "tmp.mp3", 2},  // look-alikes inside
        {"e.wav", "", "tmp.wav", 1},
    };
    for (const Case& c : cases) {
        Pair p;
        g_flg_deal = 0;
        std::string body = Multipart(b, c.filename, c.data);
        EXPECT_EQ(Upload(body, b, p), 0) << c.filename;
        EXPECT_EQ(g_flg_deal.load(), c.flag) << c.filename;
        EXPECT_STREQ(req.file_name, c.file.c_str());
        EXPECT_EQ(req.content_length, static_cast<long>(c.data.size())) << c.filename;
        EXPECT_EQ(read_file(root + "/" + c.file), c.data) << c.filename;
        std::remove(c.file.c_str());
    }
}

TEST_F(Http, UploadNotStored)
{
    const std::string b = "xyz";
    struct Case {
        std::string body;
    } cases[] = {
        {Multipart(b, "a.txt", "data.wav")},                 // another extension; ".wav" only in the data
        {Multipart(b, "a.Wav", "x")},                        // neither case of the four
        {"--xyz\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nabc.wav\r\n--xyz--\r\n"},  // no file name
    };
    for (const Case& c : cases) {
        Pair p;
        EXPECT_EQ(Upload(c.body, b, p), -1) << c.body;
        EXPECT_EQ(g_flg_deal.load(), 0);
        EXPECT_FALSE(std::filesystem::exists(root + "/tmp.wav"));
        EXPECT_FALSE(std::filesystem::exists(root + "/tmp.mp3"));
    }
    Pair p;  // nothing comes at all
    req = {};
    req.sock_fd = p.server;
    req.content_length = 100;
    g_sHttpLimits.m_iBodyMs = 200;
    EXPECT_EQ(parser_request_download(&req), -1);
}

TEST_F(Http, UploadBodyIsBounded)
{
    // A client that stops in the middle: what came is stored, and the reader gives up at the
    // body bound instead of waiting for the rest.
    g_sHttpLimits.m_iBodyMs = 300;
    const std::string b = "xyz";
    std::string body = Multipart(b, "a.wav", Bytes(10000));
    Pair p;
    req = {};
    copy_text(req.boundary, b);
    req.content_length = static_cast<long>(body.size());
    req.sock_fd = p.server;
    p.Send(body.substr(0, 5000));
    int fd = p.client;
    std::thread slow([fd] {
        for (int i = 0; i < 40; ++i) {
            if (write(fd, "z", 1) != 1) return;
            usleep(20000);
        }
    });
    EXPECT_EQ(parser_request_download(&req), 0);
    slow.join();
    std::string stored = read_file(root + "/tmp.wav");
    EXPECT_GE(stored.size(), 5000u - 150u);
    EXPECT_LT(stored.size(), 10000u);
    std::remove("tmp.wav");
}

TEST_F(Http, PlayCount)
{
    struct Case {
        const char* body;
        int count;
    } cases[] = {
        {"times=3", 3}, {"{\"times\":4}", 4}, {"\"times\"=5", 5}, {"a=1&times:6", 6},
        {"times=2&times:9", 2}, {"count=3", -1},
    };
    for (const Case& c : cases) {
        Pair p;
        p.Send(c.body);
        req = {};
        req.sock_fd = p.server;
        EXPECT_EQ(parser_request_play(&req), c.count) << c.body;
    }
    Pair p;
    p.CloseClient();
    req = {};
    req.sock_fd = p.server;
    EXPECT_EQ(parser_request_play(&req), -1);
}

int FreePort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// One request to the server on port; everything it answered.
std::string Ask(int port, const std::string& request)
{
    int s = wlnet_tcp_connect("127.0.0.1", port, 2000);
    if (s < 0) return "(no connection)";
    if (!request.empty() && write(s, request.data(), request.size()) < 0) return "(not sent)";
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = read(s, buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
    close(s);
    return got;
}

// Every descriptor is valid, 0 included: failures are -1, never 0.
TEST(WlNet, FailuresAreMinusOne)
{
    int port = FreePort();
    EXPECT_EQ(wlnet_tcp_connect("127.0.0.1", port, 500), -1);  // nobody listens
    EXPECT_EQ(wlnet_tcp_connect("not an address", port, 500), -1);
    EXPECT_EQ(wlnet_tcp_create(nullptr, 0), -1);
    EXPECT_EQ(wlnet_tcp_create(nullptr, 65536), -1);
    EXPECT_EQ(wlnet_udp_create(nullptr, 0), -1);
    int udp = wlnet_udp_create("127.0.0.1", port);
    ASSERT_GE(udp, 0);
    EXPECT_EQ(wlnet_udp_create("127.0.0.1", port), -1);  // the port is taken
    EXPECT_EQ(wlnet_close(udp), 0);
    EXPECT_EQ(wlnet_close(-1), -1);
    int listener = wlnet_tcp_create("127.0.0.1", port);
    ASSERT_GE(listener, 0);
    int client = wlnet_tcp_connect("127.0.0.1", port, 2000);
    ASSERT_GE(client, 0);
    char peer[16];
    EXPECT_EQ(wlnet_get_port(client), port);
    EXPECT_STREQ(wlnet_get_ip(client, peer), "127.0.0.1");
    EXPECT_STREQ(wlnet_get_ip(-1, peer), "0.0.0.0");
    EXPECT_STREQ(wlnet_get_ip_by_socket(-1, peer), "127.0.0.1");
    int served = wlnet_tcp_accept(listener, peer, &port);
    EXPECT_GE(served, 0);
    EXPECT_STREQ(peer, "127.0.0.1");
    for (int fd : {served, client, listener}) EXPECT_EQ(wlnet_close(fd), 0);
}

class HttpServer : public Http {
protected:
    void SetUp() override
    {
        Http::SetUp();
        port = FreePort();
        server = std::thread([this] { result = http_interface_server(port); });
        while (fd_server < 0) usleep(1000);
    }
    void TearDown() override
    {
        http_interface_server_stop();
        server.join();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(fd_server.load(), -1);
        EXPECT_EQ(Ask(port, ""), "(no connection)");
        Http::TearDown();
    }
    int port = 0, result = -1;
    std::thread server;
};

TEST_F(HttpServer, EveryRequestIsRefusedWhileAConversionRuns)
{
    g_flg_deal = 2;
    for (const char* path : {"/broadcast/StopBroadcast", "/broadcast/InstantBroadcast", "/upload/upload"})
        EXPECT_EQ(Ask(port, std::string("GET ") + path + " HTTP/1.1\r\n\r\n"), kFalse) << path;
    EXPECT_EQ(count_of(Flow(), "broad cannot use while deal file......"), 3u);
    EXPECT_EQ(Broad_GetStatus(), 0);
    g_flg_deal = 0;
    EXPECT_EQ(Ask(port, "GET /broadcast/StopBroadcast HTTP/1.1\r\n\r\n"), kTrue);
}

TEST_F(HttpServer, AnUploadAboveTheLimitIsRefusedBeforeAnythingIsRemoved)
{
    g_sHttpLimits.m_lMaxUpload = 1000;
    write_file(root + "/1.wav", "old");
    EXPECT_EQ(Ask(port, "POST /upload/upload HTTP/1.1\r\nContent-Length: 1001\r\n\r\n"), kFalse);
    EXPECT_THAT(Flow(), HasSubstr("broad upload too large:1001, limit:1000......"));
    EXPECT_EQ(read_file(root + "/1.wav"), "old");
    std::remove("1.wav");
}

TEST_F(HttpServer, BroadcastStateMoves)
{
    struct Step {
        const char* request;
        int status, count;
        const char* logged;  // a new flow-log line, or null
    } steps[] = {
        {"GET /broadcast/StopBroadcast HTTP/1.1\r\n\r\n", 0, 0, "broad has stopped......"},
        {"POST /broadcast/InstantBroadcast HTTP/1.1\r\n\r\ntimes=3", 1, 3, nullptr},
        {"POST /broadcast/InstantBroadcast HTTP/1.1\r\n\r\ntimes=5", 1, 3, "broad started, please stop......"},
        {"GET /broadcast/StopBroadcast HTTP/1.1\r\n\r\n", 3, 3, nullptr},
    };
    for (const Step& s : steps) {
        std::size_t before = Flow().size();
        EXPECT_EQ(Ask(port, s.request), kTrue) << s.request;
        std::lock_guard<std::mutex> lock(g_sBroadInfo.m_mtxLock);
        EXPECT_EQ(g_sBroadInfo.broad_status, s.status) << s.request;
        EXPECT_EQ(g_sBroadInfo.broad_count, s.count) << s.request;
        std::string added = Flow().substr(before);
        if (s.logged) EXPECT_THAT(added, HasSubstr(s.logged)) << s.request;
        else EXPECT_THAT(added, Not(HasSubstr("ERROR"))) << s.request;
    }
    EXPECT_EQ(Ask(port, "POST /upload/upload HTTP/1.1\r\nContent-Length: 10\r\n\r\n"), kFalse);
    EXPECT_THAT(Flow(), HasSubstr("broad cannot upload while playing......"));
}

// The logger is shared by the loop and the HTTP threads: every entry arrives whole and counted,
// rotation included.
TEST_F(Http, LoggerSharedByThreads)
{
    fresh_logger();
    LOG_INIT_T r{E_LOG_FILE_FLOW, static_cast<LOG_LEVEL_E>(0), 0, 300, 10, "/tmp/log/threads.log",
                 "/root/log/threads.log"};
    std::filesystem::remove(root + "/tmp/log/threads.log");
    for (auto& e : std::filesystem::directory_iterator(root + "/root/log"))
        if (e.path().filename().string().rfind("threads.log", 0) == 0) std::filesystem::remove(e.path());
    ASSERT_EQ(MultiLog_Init(&r, 1), 0);
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, 1, "thread %d entry %d", t, i);
        });
    for (auto& th : ts) th.join();

    std::string all = read_file(root + "/tmp/log/threads.log");
    int files = 1;
    for (auto& e : std::filesystem::directory_iterator(root + "/root/log")) {
        if (e.path().filename().string().rfind("threads.log_", 0) != 0) continue;
        std::string bak = read_file(e.path());
        EXPECT_LE(count_of(bak, "\r\n\n"), 302u);  // a full file holds the limit and one more
        all += bak;
        ++files;
    }
    EXPECT_EQ(files, 1 + (kThreads * kEach - 1) / 301);
    EXPECT_EQ(count_of(all, "\r\n\n"), static_cast<std::size_t>(kThreads * kEach));
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kEach; ++i)
            EXPECT_EQ(count_of(all, "thread " + std::to_string(t) + " entry " + std::to_string(i) + " <"), 1u);
}

}  // namespace
