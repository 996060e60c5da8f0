// http_interface.h — the HTTP broadcast server: uploads of audio for broadcast, instant
// broadcast, stop, radio channel. Its thread reads the headers of many clients side by side, each
// within its own bounds, so a slow client delays nobody else; an accepted upload is received and
// then converted (libmadMp3Dec.h) in a thread of its own, one at a time, joined later.
// Nothing in radiogate starts the server: a program that wants it runs _cbHttpServerThread (or
// http_interface_server with another port) in a thread of its own.
#pragma once
#include <atomic>
#include <cstddef>
#include <mutex>

inline constexpr int kHttpPort = 8081;

// A request: what its header says and its connection.
struct request_header_def {
    int status_code;     // not used
    int status_type;     // 1 upload, 2 instant broadcast, 3 stop broadcast, 4 update channel
    char boundary[256];  // multipart boundary from the Content-Type line
    char content_type[128];
    long content_length;  // the upload reduces it to the file's length
    int count;            // play count of an instant broadcast
    int channel_num;      // radio channel of an update channel request
    char file_name[256];  // "tmp.wav" or "tmp.mp3"
    int sock_fd;          // the client connection, -1 none
};

// Line 0's broadcast state and the remaining play count: written by the server and the player,
// read by the line logic of the main loop. Every access holds m_mtxLock.
struct BROAD_INFO_T {
    std::mutex m_mtxLock;
    int broad_status = 0;  // 0 idle, 1 start requested, 2 playing, 3 stop requested, 4 hanging up calls first
    int broad_count = 0;
};
extern BROAD_INFO_T g_sBroadInfo;
int Broad_GetStatus();

// Bounds that keep a slow or greedy client from holding a place of the server for long; the
// defaults suit the board, tests shorten them.
struct HTTP_LIMITS_T {
    int m_iHeaderMs = 5000;                 // the whole request header
    int m_iBodyMs = 300000;                 // the whole body of a request
    long m_lMaxUpload = 32L * 1024 * 1024;  // Content-Length of an upload
};
extern HTTP_LIMITS_T g_sHttpLimits;

extern std::atomic<int> fd_server;  // the listening socket, -1 when none
// 0 nothing to convert, 1 a WAV upload, 2 an MP3 upload; set by the upload, cleared by the
// conversion thread when it is done. While it is not 0 every request is refused.
extern std::atomic<int> g_flg_deal;
extern request_header_def req;   // a request record for callers of the parsers; the server keeps one per client

// The Date of every reply: the day the program was built.
extern const char g_http_build_date[];

// Serves until http_interface_server_stop; 0 then, or -1 when the listening socket cannot be
// made. A conversion still running is waited for before it returns.
int http_interface_server(int port);
// Stops the server: its listener takes no further client and is closed.
void http_interface_server_stop();
void* _cbHttpServerThread(void* unused);  // http_interface_server(8081)

// The request header read from sock one byte at a time (so the body stays in the socket),
// complete at four trailing CR or LF characters: a new[] text the caller deletes, or null for a
// peer that closed, a byte that did not come within 2 seconds, a header longer than 8191 bytes
// or one that took longer than the header bound.
char* get_server_request(int sock);
// Kind and header values of a request header; 0, or -1 when it names no known kind.
int get_req_header(const char* text, request_header_def* request);
// Receives an upload's file part into "tmp.wav" or "tmp.mp3" and sets g_flg_deal; 0 stored
// (perhaps cut short by the client), -1 nothing stored.
int parser_request_download(request_header_def* request);
// The play count from the request body; -1 when nothing came or it names none.
int parser_request_play(request_header_def* request);
// The reply carrying body ("{\"success\":true}" or "{\"success\":false}") into buffer; its
// length.
int set_respone_headers(char* buffer, std::size_t size, const request_header_def* request, const char* body);
