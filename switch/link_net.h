// link_net.h — what the switch's service links share: their TCP listeners and UDP sockets, the
// non-blocking accept, read and send, big-endian fields, and the byte frames that arrive in
// pieces on a TCP connection.
//
// A descriptor is valid from 0 up; -1 means none. Every socket made here joins the loop's wait
// set (link_wait.h) and leaves it through Link_Close.
#pragma once
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

// A TCP listener on every local address: address reuse, bind, listen (backlog 100),
// non-blocking. The socket (0 or more), or -1 socket failed, -2 bind failed, -3 listen failed
// (nothing is left open).
int Link_Tcp_Listen(int port);
// The texts a listener's failure is reported with, on the console and in the log (the bind
// failure may log another text); a "%ld" in a text shows the port; null: no report.
struct ListenTexts {
    const char* socket_failed;
    const char* bind_failed;
    const char* bind_failed_log;   // null: bind_failed
    const char* listen_failed;
};
// Link_Tcp_Listen, with a failure reported by its texts.
int Link_Tcp_Listen_Reported(int port, const ListenTexts& texts);
// A non-blocking UDP socket bound to every local address: the socket, or -1 socket failed,
// -2 bind failed (nothing is left open).
int Link_Udp_Bind(int port);

// One connection waiting on the listener, made non-blocking: its socket, or -1 when none
// waits (or there is no listener). peer receives the peer's address.
int Link_Accept(int listener, sockaddr_in& peer);

// One read without waiting: the bytes read (0: the peer closed), or -1 when nothing waits or
// the read failed.
int Link_Recv(int fd, char* buffer, std::size_t size);

// The one connection of a single-peer link (billing, media relay) is kept against a newcomer
// from another host while its peer is there. The newcomer `fd` (from `from`) may replace the
// connection `current` to `peer` when none is open, its peer has closed it, or the newcomer comes
// from the same host (the peer reconnecting): false. Otherwise the newcomer is closed (and
// logged as the `link`'s): true.
bool Link_Refuse_Newcomer(int& fd, int current, const sockaddr_in& peer, const sockaddr_in& from, const char* link);

// Sends all of bytes without waiting and without a signal for a closed peer: true when every
// byte went out. A peer that does not read fills its socket buffer, and the send then fails
// rather than leave half a frame behind.
bool Link_Send(int fd, const void* bytes, std::size_t length);

// Closes fd when it is a descriptor and sets it to -1.
void Link_Close(int& fd);

// Big-endian 16-bit fields of the link frames.
inline void Put_U16(unsigned char* at, unsigned value)
{
    at[0] = static_cast<unsigned char>((value >> 8) & 0xFF);
    at[1] = static_cast<unsigned char>(value & 0xFF);
}
inline unsigned Get_U16(const unsigned char* at) { return (static_cast<unsigned>(at[0]) << 8) | at[1]; }

// A text field of a frame: at most `width` bytes from `at`, cut at the first NUL.
std::string_view Frame_Text(const unsigned char* at, std::size_t width);

// The shape of one link's frames: header size, where the 16-bit length stands, how many bytes
// follow the counted body (a closing marker), and which leading bytes mark a frame.
struct FrameShape {
    unsigned char marker;                        // the first byte of every frame
    std::size_t header;
    std::size_t length_at;
    std::size_t trailer;
    bool (*starts)(const unsigned char* head);   // reads the first `header` bytes
};

// The bytes of a frame cut short by the end of one read, kept for the next read of the same
// connection. A frame that cannot be kept (longer than the room) is dropped.
template <std::size_t N>
struct FramePending {
    unsigned char bytes[N] = {};
    std::size_t length = 0;
    static constexpr std::size_t capacity = N;
    void clear() { length = 0; }
};

// Walks the whole frames of data[0..size): calls on_frame(frame, frame_size) for each, a
// frame being header + length + trailer bytes; on_frame returns false to end the walk (its
// connection was closed). The walk ends at the first position that does
// not hold a frame's start (the rest is dropped), or at a frame cut short by the end of data:
// its bytes are returned through `kept` (offset into data; size - offset bytes) when they fit
// keep_max, else dropped. Returns the number of whole frames.
template <typename OnFrame>
int Frame_Walk(const unsigned char* data, std::size_t size, const FrameShape& shape, std::size_t keep_max,
               std::size_t& kept, OnFrame&& on_frame)
{
    kept = size;   // nothing kept
    int frames = 0;
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t left = size - pos;
        if (left < shape.header) {
            // Too short to tell; kept only when what arrived could begin a frame.
            if (data[pos] == shape.marker && left <= keep_max) kept = pos;
            break;
        }
        if (!shape.starts(data + pos)) break;
        const std::size_t total = shape.header + Get_U16(data + pos + shape.length_at) + shape.trailer;
        if (total > left) {
            if (total <= keep_max) kept = pos;
            break;
        }
        ++frames;
        if (!on_frame(data + pos, total)) break;
        pos += total;
    }
    return frames;
}

// Reads once from fd into work (which must hold pending.capacity + room bytes) behind the
// bytes kept from the last read, and walks the frames; the piece of a frame cut short is kept
// for the next read. The read's result: the bytes read, 0 the peer closed, -1 nothing read.
template <std::size_t N, typename OnFrame>
int Frame_Read(int fd, FramePending<N>& pending, unsigned char* work, std::size_t room, const FrameShape& shape,
               OnFrame&& on_frame)
{
    const std::size_t have = pending.length;
    for (std::size_t i = 0; i < have; ++i) work[i] = pending.bytes[i];
    const int n = Link_Recv(fd, reinterpret_cast<char*>(work + have), room);
    if (n <= 0) return n;
    const std::size_t size = have + static_cast<std::size_t>(n);
    std::size_t kept = size;
    pending.clear();
    Frame_Walk(work, size, shape, N, kept, on_frame);
    for (std::size_t i = kept; i < size; ++i) pending.bytes[pending.length++] = work[i];
    return n;
}
