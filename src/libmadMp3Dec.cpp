#include "libmadMp3Dec.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "board.h"
#include "g711.h"
#include "http_interface.h"
#include "multi_log.h"

namespace {

constexpr char kWavUpload[] = "tmp.wav";
constexpr char kMp3Upload[] = "tmp.mp3";
constexpr char kOutFile[] = "1.wav";
constexpr long kHeaderLen = sizeof(wave_header_t);
constexpr int kPcmBufLen = 4096;   // 16-bit samples of one frame at the source rate
constexpr int kAlawBufLen = 2048;  // one frame at 8 kHz, one byte a sample
constexpr int kLinearBlock = 320;
constexpr int kAlawBlock = 160;
constexpr int kTagLinear = 1, kTagAlaw = 6, kTagUlaw = 7;

uint16_t Static_U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Static_U32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
void Static_PutU16(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void Static_PutU32(unsigned char* p, uint32_t v)
{
    Static_PutU16(p, v);
    Static_PutU16(p + 2, v >> 16);
}

// One field of the input header, read whole or reported by its message.
bool Static_ReadField(FILE* in, unsigned char* to, std::size_t len, const char* message)
{
    if (std::fread(to, 1, len, in) == len) return true;
    std::printf("%s", message);
    return false;
}

bool Static_Skip(FILE* in, uint32_t len)
{
    // Chunks are padded to an even length.
    long skip = static_cast<long>(len) + (len & 1);
    return std::fseek(in, skip, SEEK_CUR) == 0;
}

// The header of "1.wav" for length bytes of A-law data, at the start of out.
bool Static_WriteHeader(FILE* out, uint32_t length)
{
    unsigned char h[kHeaderLen];
    std::memcpy(h, "RIFF", 4);
    Static_PutU32(h + 4, length + 36);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    Static_PutU32(h + 16, 16);
    Static_PutU16(h + 20, kTagAlaw);
    Static_PutU16(h + 22, 1);
    Static_PutU32(h + 24, 8000);
    Static_PutU32(h + 28, 8000);
    Static_PutU16(h + 32, 1);
    Static_PutU16(h + 34, 8);
    std::memcpy(h + 36, "data", 4);
    Static_PutU32(h + 40, length);
    return std::fseek(out, 0, SEEK_SET) == 0 && std::fwrite(h, 1, sizeof h, out) == sizeof h;
}

// The format fields of a "fmt " chunk of len bytes, in their order; the rest of the chunk
// skipped.
bool Static_ReadFmt(FILE* in, uint32_t len, wave_header_t& hdr)
{
    unsigned char b[4];
    if (len < 16) {
        std::printf("read fmt_len error!\n");
        return false;
    }
    hdr.fmt_len = len;
    if (!Static_ReadField(in, b, 2, "read tag error!\n")) return false;
    hdr.format = Static_U16(b);
    if (!Static_ReadField(in, b, 2, "read channels error!\n")) return false;
    hdr.channels = Static_U16(b);
    if (!Static_ReadField(in, b, 4, "read samp_freq error!\n")) return false;
    hdr.samp_freq = Static_U32(b);
    if (!Static_ReadField(in, b, 4, "read byte_rate error!\n")) return false;
    hdr.byte_rate = Static_U32(b);
    if (!Static_ReadField(in, b, 2, "read byte_samp error!\n")) return false;
    hdr.block_align = Static_U16(b);
    if (!Static_ReadField(in, b, 2, "read bit_samp error!\n")) return false;
    hdr.bit_samp = Static_U16(b);
    return Static_Skip(in, len - 16);
}

// The player sends "1.wav" as 8 kHz mono A-law whatever it holds: anything else would come out
// at the wrong speed or as noise, so it is refused here.
bool Static_FormatOk(const wave_header_t& hdr)
{
    bool coded = (hdr.format == kTagLinear && hdr.bit_samp == 16) ||
                 ((hdr.format == kTagAlaw || hdr.format == kTagUlaw) && hdr.bit_samp == 8);
    if (coded && hdr.samp_freq == 8000 && hdr.channels == 1) return true;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, 0,
              "broad wav tag:%d, nsamplerate:%u, nchannels:%d, bits:%d error, only 8000 Hz mono linear/alaw/ulaw......",
              hdr.format, hdr.samp_freq, hdr.channels, hdr.bit_samp);
    return false;
}

// The kept samples of one frame: every step-th sample from the first.
int Static_KeepEvery(int step, const unsigned char* in, int in_len, unsigned char* out, int out_size)
{
    if (out == nullptr || out_size <= 0) return 0;
    std::memset(out, 0, static_cast<std::size_t>(out_size));
    if (in == nullptr || in_len <= 0) return 0;
    int n = in_len / 2, len = 0;
    for (int i = 0; i < n && len + 2 <= out_size; i += step, len += 2) std::memcpy(out + len, in + 2 * i, 2);
    return len;
}

// One MP3 frame's samples at rate (count of them in pcm) as 8 kHz samples in out; -1 for a rate
// the conversion does not know.
int Static_To8k(unsigned rate, const unsigned char* pcm, int pcm_len, unsigned char* out, int out_size)
{
    switch (rate) {
    case 48000: return wlaudio_transform_48k_to_8k(pcm, pcm_len, out, out_size);
    case 44100: return wlaudio_transform_441k_to_8k(pcm, pcm_len, out, out_size);
    case 32000: return wlaudio_transform_32k_to_8k(pcm, pcm_len, out, out_size);
    case 24000: return wlaudio_transform_24k_to_8k(pcm, pcm_len, out, out_size);
    case 16000: return wlaudio_transform_16k_to_8k(pcm, pcm_len, out, out_size);
    case 8000: {
        int len = pcm_len < out_size ? pcm_len : out_size;
        std::memcpy(out, pcm, static_cast<std::size_t>(len));
        return len;
    }
    default: return -1;
    }
}

// The data of the "data" chunk, len bytes (or up to the end of the file), as A-law into out;
// the number of A-law bytes.
uint32_t Static_ConvertData(FILE* in, FILE* out, int tag, uint32_t len)
{
    unsigned char in_buf[kLinearBlock], out_buf[kLinearBlock];
    uint32_t left = len, written = 0;
    const std::size_t block = tag == kTagLinear ? kLinearBlock : kAlawBlock;
    while (left > 0) {
        std::size_t want = left < block ? left : block;
        std::size_t n = std::fread(in_buf, 1, want, in);
        if (n == 0) break;
        left -= static_cast<uint32_t>(n);
        std::size_t m = 0;
        if (tag == kTagLinear) {
            // An odd last byte is half a sample: dropped.
            for (std::size_t i = 0; i + 1 < n; i += 2)
                out_buf[m++] = linear2alaw(static_cast<int16_t>(Static_U16(in_buf + i)));
        } else {
            for (std::size_t i = 0; i < n; ++i) out_buf[m++] = tag == kTagUlaw ? ulaw2alaw(in_buf[i]) : in_buf[i];
        }
        if (std::fwrite(out_buf, 1, m, out) != m) break;
        written += static_cast<uint32_t>(m);
    }
    return written;
}

// Reads a whole file into memory with libmad's guard bytes (zeros) behind it, without which
// libmad cannot decode the last frame. False when it cannot be read.
bool Static_ReadWhole(const char* path, std::vector<unsigned char>& buf, std::size_t& len)
{
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    bool ok = size > 0 && std::fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        len = static_cast<std::size_t>(size);
        buf.assign(len + MAD_BUFFER_GUARD, 0);
        ok = std::fread(buf.data(), 1, len, f) == len;
    }
    std::fclose(f);
    return ok;
}

// "1.wav" from the upload through convert, which writes into the open output; the upload
// removed on success, "1.wav" removed on failure.
template <typename Convert>
int Static_MakeOutput(Convert convert)
{
    FILE* out = std::fopen(kOutFile, "w+b");
    if (out == nullptr) return -1;
    int result = convert(out);
    if (std::fclose(out) != 0) result = -1;
    if (result != 0) {
        std::remove(kOutFile);
        return -1;
    }
    run_shell("rm -rf tmp.wav; rm -rf tmp.mp3");
    return 0;
}

}  // namespace

int16_t _scale(mad_fixed_t sample)
{
    // Done in 64 bits: the rounding must not overflow a sample near the top of the range.
    std::int64_t s = static_cast<std::int64_t>(sample) + (1L << (MAD_F_FRACBITS - 16));
    if (s >= MAD_F_ONE) s = MAD_F_ONE - 1;
    else if (s < -MAD_F_ONE) s = -MAD_F_ONE;
    return static_cast<int16_t>(s >> (MAD_F_FRACBITS + 1 - 16));
}

int wlaudio_transform_48k_to_8k(const unsigned char* in, int in_len, unsigned char* out, int out_size)
{
    return Static_KeepEvery(6, in, in_len, out, out_size);
}

int wlaudio_transform_32k_to_8k(const unsigned char* in, int in_len, unsigned char* out, int out_size)
{
    return Static_KeepEvery(4, in, in_len, out, out_size);
}

int wlaudio_transform_24k_to_8k(const unsigned char* in, int in_len, unsigned char* out, int out_size)
{
    return Static_KeepEvery(3, in, in_len, out, out_size);
}

int wlaudio_transform_16k_to_8k(const unsigned char* in, int in_len, unsigned char* out, int out_size)
{
    return Static_KeepEvery(2, in, in_len, out, out_size);
}

int wlaudio_transform_441k_to_8k(const unsigned char* in, int in_len, unsigned char* out, int out_size)
{
    if (out == nullptr || out_size <= 0) return 0;
    std::memset(out, 0, static_cast<std::size_t>(out_size));
    if (in == nullptr || in_len <= 0) return 0;
    // 44100 / 8000 is 5.5125: steps of 6 and 5 in turn keep 2 of every 11 samples.
    int n = in_len / 2, len = 0, step = 6;
    for (int i = 0; i < n && len + 2 <= out_size; i += step, step = 11 - step, len += 2)
        std::memcpy(out + len, in + 2 * i, 2);
    return len;
}

int wav_convert(FILE* in, FILE* out)
{
    if (in == nullptr || out == nullptr) return -1;
    wave_header_t hdr{};
    unsigned char b[4];
    if (!Static_ReadField(in, b, 4, "read riff error!\n")) return -1;
    std::memcpy(hdr.riff, b, 4);
    if (!Static_ReadField(in, b, 4, "read size error!\n")) return -1;
    hdr.size = Static_U32(b);
    if (!Static_ReadField(in, b, 4, "read wave_flag error!\n")) return -1;
    std::memcpy(hdr.wave_flag, b, 4);
    if (std::memcmp(hdr.riff, "RIFF", 4) != 0 || std::memcmp(hdr.wave_flag, "WAVE", 4) != 0) {
        std::printf("error : not a RIFF WAVE file!\n");
        return -1;
    }
    // The chunks in their order: "fmt " before "data", any other chunk (LIST, fact...) skipped.
    bool have_fmt = false;
    for (;;) {
        unsigned char id[4];
        if (std::fread(id, 1, 4, in) != 4 || std::fread(b, 1, 4, in) != 4) {
            std::printf(have_fmt ? "error : cannot read data!\n" : "read fmt error!\n");
            return -1;
        }
        uint32_t len = Static_U32(b);
        if (std::memcmp(id, "fmt ", 4) == 0 && !have_fmt) {
            std::memcpy(hdr.fmt, id, 4);
            if (!Static_ReadFmt(in, len, hdr)) return -1;
            if (!Static_FormatOk(hdr)) return -1;
            have_fmt = true;
        } else if (std::memcmp(id, "data", 4) == 0) {
            if (!have_fmt) {
                std::printf("read fmt error!\n");
                return -1;
            }
            std::memcpy(hdr.data_flag, id, 4);
            hdr.length = len;
            break;
        } else if (!Static_Skip(in, len)) {
            std::printf("error : cannot read data!\n");
            return -1;
        }
    }
    if (std::fseek(out, kHeaderLen, SEEK_SET) != 0) return -1;
    uint32_t written = Static_ConvertData(in, out, hdr.format, hdr.length);
    return Static_WriteHeader(out, written) ? 0 : -1;
}

int mp3_convert(const unsigned char* data, std::size_t len, FILE* out)
{
    if (data == nullptr || out == nullptr || std::fseek(out, kHeaderLen, SEEK_SET) != 0) return -1;
    unsigned char pcm[kPcmBufLen], pcm8k[kPcmBufLen], alaw[kAlawBufLen];
    mad_stream stream;
    mad_frame frame;
    mad_synth synth;
    mad_stream_init(&stream);
    mad_frame_init(&frame);
    mad_synth_init(&synth);
    mad_stream_options(&stream, MAD_OPTION_IGNORECRC);
    mad_stream_buffer(&stream, data, len);

    uint32_t length = 0;
    for (;;) {
        if (mad_frame_decode(&frame, &stream) != 0) {
            if (MAD_RECOVERABLE(stream.error)) continue;
            break;
        }
        mad_synth_frame(&synth, &frame);
        const mad_pcm& p = synth.pcm;
        int n = p.length < kPcmBufLen / 2 ? p.length : kPcmBufLen / 2;
        for (int i = 0; i < n; ++i) {
            auto s = static_cast<uint16_t>(_scale(p.samples[0][i]));
            pcm[2 * i] = static_cast<unsigned char>(s);
            pcm[2 * i + 1] = static_cast<unsigned char>(s >> 8);
        }
        int got = Static_To8k(p.samplerate, pcm, 2 * n, pcm8k, sizeof pcm8k);
        if (got < 0) {
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, 0,
                      "broad mp3 nsamplerate:%d, npayload:%d, nchannels:%d error......\n",
                      static_cast<int>(p.samplerate), static_cast<int>(p.length), static_cast<int>(p.channels));
            break;
        }
        int m = got / 2 < kAlawBufLen ? got / 2 : kAlawBufLen;
        if (m == 0) continue;
        for (int i = 0; i < m; ++i) alaw[i] = linear2alaw(static_cast<int16_t>(Static_U16(pcm8k + 2 * i)));
        if (std::fwrite(alaw, 1, static_cast<std::size_t>(m), out) != static_cast<std::size_t>(m)) break;
        length += static_cast<uint32_t>(m);
    }
    mad_synth_finish(&synth);
    mad_frame_finish(&frame);
    mad_stream_finish(&stream);
    if (!Static_WriteHeader(out, length)) return -1;
    // A stop in the middle keeps what was written; a file that gave nothing at all (not an MP3,
    // or a rate from its first frame on that the conversion does not know) failed.
    return length == 0 ? -1 : 0;
}

int deal_file()
{
    switch (g_flg_deal.load()) {
    case 1: {
        FILE* in = std::fopen(kWavUpload, "rb");
        if (in == nullptr) return -1;
        int result = Static_MakeOutput([in](FILE* out) { return wav_convert(in, out); });
        std::fclose(in);
        return result;
    }
    case 2: {
        std::vector<unsigned char> buf;
        std::size_t len = 0;
        if (!Static_ReadWhole(kMp3Upload, buf, len)) return -1;
        return Static_MakeOutput([&](FILE* out) { return mp3_convert(buf.data(), len + MAD_BUFFER_GUARD, out); });
    }
    default: return -1;
    }
}

void* _cbDealFileThread(void*)
{
    int result = deal_file();
    g_flg_deal = 0;
    if (result == 0) MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, 0, "broad mp3 transfrom wav success......");
    else MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, 0, "broad transfrom wav fail......");
    return nullptr;
}

// ---- a synchronous libmad player ----

namespace {

enum mad_flow _error(void*, struct mad_stream* stream, struct mad_frame*)
{
    std::fprintf(stderr, "decoding error 0x%04x (%s) at byte offset %p\n", static_cast<unsigned>(stream->error),
                 mad_stream_errorstr(stream), static_cast<const void*>(stream->this_frame));
    return MAD_FLOW_CONTINUE;
}

// One unsigned decimal number at *p; false without a digit or on overflow.
bool Static_ParseUnsigned(const char*& p, unsigned long& value)
{
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    value = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        if (value > 100000000UL) return false;
        value = value * 10 + static_cast<unsigned long>(*p++ - '0');
    }
    return true;
}

// One term: up to three fields h:m:s, the last with an optional ".fraction" or "/denominator".
bool Static_ParseTerm(const char*& p, mad_timer_t& term)
{
    unsigned long fields[3] = {};
    int count = 0;
    for (;;) {
        if (count == 3 || !Static_ParseUnsigned(p, fields[count])) return false;
        ++count;
        if (*p != ':') break;
        ++p;
    }
    unsigned long seconds = 0;
    for (int i = 0; i < count; ++i) seconds = seconds * 60 + fields[i];
    unsigned long numer = 0, denom = 1;
    if (*p == '.') {
        ++p;
        const char* start = p;
        if (!Static_ParseUnsigned(p, numer) || p - start > 8) return false;
        for (const char* q = start; q < p; ++q) denom *= 10;
    } else if (*p == '/') {
        // "n/d" is a count of seconds as a fraction: the single field is the numerator.
        ++p;
        if (count != 1 || !Static_ParseUnsigned(p, denom) || denom == 0) return false;
        numer = seconds;
        seconds = 0;
    }
    mad_timer_set(&term, seconds, numer, denom);
    return true;
}

}  // namespace

int _parse_time(mad_timer_t* timer, const char* text)
{
    if (timer == nullptr || text == nullptr) return -1;
    mad_timer_t sum = mad_timer_zero;
    const char* p = text;
    bool first = true;
    while (*p) {
        bool negative = false;
        if (*p == '+' || *p == '-') negative = *p++ == '-';
        else if (!first) return -1;
        mad_timer_t term;
        if (!Static_ParseTerm(p, term)) return -1;
        if (negative) mad_timer_negate(&term);
        mad_timer_add(&sum, term);
        first = false;
    }
    if (first) return -1;
    *timer = sum;
    return 0;
}

int _get_time(const char* text, int positive, const char* name, mad_timer_t* timer)
{
    if (_parse_time(timer, text) != 0) {
        std::fprintf(stderr, "invalid %s time \"%s\"\n", name ? name : "", text ? text : "");
        return -1;
    }
    if (positive && mad_timer_sign(*timer) <= 0) {
        std::fprintf(stderr, "%s must be positive\n", name ? name : "");
        return -1;
    }
    return 0;
}

int LIBMAD_Decode(LIBMAD_PLAYER_T* player)
{
    if (player == nullptr) {
        std::printf("mp3fp[NULL]");
        return -1;
    }
    _get_time("0:05", 1, "fade-in time", &player->m_tFadeIn);
    mad_decoder decoder;
    mad_decoder_init(&decoder, player->m_pUser, player->m_pfuncInput, nullptr, nullptr, player->m_pfuncOutput, _error,
                     nullptr);
    int result = mad_decoder_run(&decoder, MAD_DECODER_MODE_SYNC);
    mad_decoder_finish(&decoder);
    std::printf("result[%d]\n\n", result);
    return result;
}
