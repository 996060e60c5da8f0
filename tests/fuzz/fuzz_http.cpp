// Whatever a client sends and whatever file it uploads is read without a crash, a hang or
// undefined behaviour. The first byte picks the reader: 0 a whole request over a socket pair
// (header, then the upload's file part or the play count by its kind), 1 a WAV file through the
// conversion, 2 an MP3 file through the conversion.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "http_interface.h"
#include "libmadMp3Dec.h"
#include "wl_net.h"

// The radio channel is stored by the configuration module, which is not what is tested here.
int HTTP_Deal_ChannelSwitch(int) { return 0; }

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Uploads are stored in the working directory: a scratch one.
    static char dir[] = "/tmp/fuzz-http-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) return 1;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    });
    // The readers print their progress and complaints on the console; libFuzzer reports on stderr.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    return 0;
}

namespace {

void Static_Request(const uint8_t* data, size_t size)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    // The whole request is there and the client has gone: every read ends at once.
    if (size && write(fds[1], data, size) != static_cast<ssize_t>(size)) size = 0;
    close(fds[1]);
    wlnet_set_nonblock(fds[0]);
    req = {};
    req.sock_fd = fds[0];
    g_flg_deal = 0;
    if (char* text = get_server_request(fds[0])) {
        if (get_req_header(text, &req) == 0) {
            if (req.status_type == 1) parser_request_download(&req);
            if (req.status_type == 2) parser_request_play(&req);
        }
        delete[] text;
    }
    close(fds[0]);
    g_flg_deal = 0;
}

// The conversion's output in memory.
struct MemOut {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    ~MemOut()
    {
        if (f) std::fclose(f);
        std::free(buf);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t* rest = data + 1;
    size_t len = size - 1;
    switch (data[0] % 3) {
    case 0:
        Static_Request(rest, len);
        break;
    case 1: {
        // Exactly the bytes: a read past them is a finding.
        std::vector<unsigned char> file(rest, rest + len);
        FILE* in = fmemopen(file.empty() ? nullptr : file.data(), file.size(), "rb");
        MemOut out;
        if (in && out.f) wav_convert(in, out.f);
        if (in) std::fclose(in);
        break;
    }
    default: {
        std::vector<unsigned char> file(rest, rest + len);
        file.resize(len + MAD_BUFFER_GUARD, 0);
        MemOut out;
        if (out.f) mp3_convert(file.data(), file.size(), out.f);
        break;
    }
    }
    return 0;
}
