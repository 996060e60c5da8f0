// The upload conversion to 8 kHz A-law: sample scaling and decimation, the WAV reader's chunk
// walk and refusals, and what deal_file leaves behind. MP3 files made by real encoders are
// converted in the black-box tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "g711.h"
#include "gate_test_board.h"
#include "http_interface.h"
#include "libmadMp3Dec.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::string_literals;

std::string U16(unsigned v) { return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)}; }
std::string U32(unsigned v) { return U16(v & 0xFFFF) + U16(v >> 16); }
std::string Chunk(const std::string& id, const std::string& body, bool pad = true)
{
    std::string c = id + U32(static_cast<unsigned>(body.size())) + body;
    if (pad && body.size() % 2) c += '\0';
    return c;
}

struct WavSpec {
    int tag = 1, channels = 1, rate = 8000, bits = 16;
    std::string before_fmt, before_data, after_data;
    std::string fmt_extra;  // bytes behind the 16 format bytes
};

WavSpec Fmt(int tag, int channels, int rate, int bits, std::string before_fmt = "", std::string before_data = "",
            std::string after_data = "", std::string fmt_extra = "")
{
    WavSpec s;
    s.tag = tag;
    s.channels = channels;
    s.rate = rate;
    s.bits = bits;
    s.before_fmt = std::move(before_fmt);
    s.before_data = std::move(before_data);
    s.after_data = std::move(after_data);
    s.fmt_extra = std::move(fmt_extra);
    return s;
}

std::string Wav(const WavSpec& s, const std::string& data, long data_len = -1)
{
    int align = s.channels * s.bits / 8;
    std::string fmt = U16(s.tag) + U16(s.channels) + U32(s.rate) + U32(s.rate * align) + U16(align) + U16(s.bits) +
                      s.fmt_extra;
    std::string d = "data" + U32(static_cast<unsigned>(data_len < 0 ? data.size() : data_len)) + data;
    std::string body = "WAVE" + s.before_fmt + Chunk("fmt ", fmt) + s.before_data + d + s.after_data;
    return "RIFF" + U32(static_cast<unsigned>(body.size())) + body;
}

std::string Header(unsigned length)
{
    return "RIFF" + U32(length + 36) + "WAVEfmt " + U32(16) + U16(6) + U16(1) + U32(8000) + U32(8000) + U16(1) +
           U16(8) + "data" + U32(length);
}

std::string Linear(const std::vector<int>& samples)
{
    std::string s;
    for (int v : samples) s += U16(static_cast<unsigned>(v) & 0xFFFF);
    return s;
}

// The gateway's A-law of linear samples.
std::string Alaw(const std::vector<int>& samples)
{
    std::string s;
    for (int v : samples) s += static_cast<char>(linear2alaw(v));
    return s;
}

// wav_convert on the bytes of a file; its result and what it wrote.
std::pair<int, std::string> Convert(const std::string& file)
{
    FILE* in = fmemopen(const_cast<char*>(file.data()), file.size(), "rb");
    FILE* out = std::tmpfile();
    int rc = wav_convert(in, out);
    std::fflush(out);
    std::rewind(out);
    std::string got;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) got.append(buf, n);
    std::fclose(in);
    std::fclose(out);
    return {rc, got};
}

TEST(Scale, RoundsAndClips)
{
    struct Case {
        long long in;
        int want;
    } cases[] = {
        {0, 0}, {4095, 0}, {4096, 1}, {-1, 0}, {-4096, 0}, {-4097, -1},
        {MAD_F_ONE, 32767}, {MAD_F_ONE - 4096, 32767}, {MAD_F_ONE - 4097 - 8192, 32766},
        {-MAD_F_ONE, -32768}, {-MAD_F_ONE - 100000, -32768}, {INT_MAX, 32767}, {INT_MIN, -32768},
    };
    for (const Case& c : cases) EXPECT_EQ(_scale(static_cast<mad_fixed_t>(c.in)), c.want) << c.in;
}

TEST(Decimation, KeepsTheSpecifiedSamplesOfAFrame)
{
    std::vector<int> idx(1152);
    for (int i = 0; i < 1152; ++i) idx[i] = i;
    std::string in = Linear(idx);
    auto in_p = reinterpret_cast<const unsigned char*>(in.data());
    using Fn = int (*)(const unsigned char*, int, unsigned char*, int);
    std::vector<int> every441;
    for (int i = 0, step = 6; i < 1152; i += step, step = 11 - step) every441.push_back(i);
    EXPECT_EQ(every441.size(), 210u);
    EXPECT_THAT(std::vector<int>(every441.begin(), every441.begin() + 5), ::testing::ElementsAre(0, 6, 11, 17, 22));
    struct Case {
        Fn fn;
        int step;  // 0: the 44.1 kHz pattern
    } cases[] = {
        {wlaudio_transform_48k_to_8k, 6}, {wlaudio_transform_441k_to_8k, 0}, {wlaudio_transform_32k_to_8k, 4},
        {wlaudio_transform_24k_to_8k, 3}, {wlaudio_transform_16k_to_8k, 2},
    };
    for (const Case& c : cases) {
        std::vector<int> want;
        if (c.step) {
            for (int i = 0; i < 1152; i += c.step) want.push_back(i);
        } else {
            want = every441;
        }
        unsigned char out[4096];
        std::memset(out, 0xAB, sizeof out);
        int len = c.fn(in_p, static_cast<int>(in.size()), out, sizeof out);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), len), Linear(want)) << c.step;
        EXPECT_EQ(out[len], 0) << "zeroed behind the samples";
        // A small output buffer holds what fits and no more.
        std::memset(out, 0xAB, sizeof out);
        len = c.fn(in_p, static_cast<int>(in.size()), out, 11);
        EXPECT_EQ(len, 10);
        EXPECT_EQ(out[11], 0xAB);
    }
}

class Wavs : public GateTest {};

TEST_F(Wavs, ConvertedSampleBySample)
{
    std::vector<int> samples;
    for (int i = 0; i < 8000; ++i) samples.push_back((i * 2654435761u) % 65536 - 32768);
    std::string alaw, want_lin = Alaw(samples), ulaw, want_u;
    for (int c = 0; c < 256; ++c) {
        alaw += static_cast<char>(c);
        ulaw += static_cast<char>(c);
        want_u += static_cast<char>(ulaw2alaw(static_cast<unsigned char>(c)));
    }
    const std::string list = Chunk("LIST", "INFOICMT\x05\0\0\0dataX"s);  // a 'd', and an odd length
    struct Case {
        const char* name;
        WavSpec spec;
        std::string data, want;
        long data_len;
    } cases[] = {
        // 16000 data bytes: 8000 samples, size 8036.
        {"linear", {}, Linear(samples), want_lin, -1},
        {"alaw", Fmt(6, 1, 8000, 8), alaw, alaw, -1},
        {"ulaw", Fmt(7, 1, 8000, 8), ulaw, want_u, -1},
        {"chunks before and after", Fmt(1, 1, 8000, 16, Chunk("fact", U32(3)), list, list), Linear({1000, -1000}),
         Alaw({1000, -1000}), -1},
        {"format extension", Fmt(6, 1, 8000, 8, "", "", "", U16(0)), "abc", "abc", -1},
        {"odd linear length", {}, Linear({5, 6}) + "\x01", Alaw({5, 6}), -1},
        {"data longer than the file", Fmt(6, 1, 8000, 8), "xyz", "xyz", 100000},
    };
    for (const Case& c : cases) {
        auto [rc, got] = Convert(Wav(c.spec, c.data, c.data_len));
        EXPECT_EQ(rc, 0) << c.name;
        EXPECT_EQ(got, Header(static_cast<unsigned>(c.want.size())) + c.want) << c.name;
    }
    auto [rc, got] = Convert(Wav({}, Linear(samples)));
    EXPECT_EQ(got.size(), 44u + 8000u);
    EXPECT_EQ(got.substr(4, 4), U32(8036));
    EXPECT_EQ(got.substr(40, 4), U32(8000));
}

TEST_F(Wavs, Refused)
{
    struct Case {
        const char* name;
        std::string file;
        const char* logged;  // the flow-log line, or null when the console tells
    } cases[] = {
        {"stereo", Wav(Fmt(1, 2, 8000, 16), "abcd"), "broad wav tag:1, nsamplerate:8000, nchannels:2, bits:16 error"},
        {"16 kHz", Wav(Fmt(1, 1, 16000, 16), "abcd"), "broad wav tag:1, nsamplerate:16000, nchannels:1, bits:16 error"},
        {"44.1 kHz A-law", Wav(Fmt(6, 1, 44100, 8), "ab"), "nsamplerate:44100"},
        {"float", Wav(Fmt(3, 1, 8000, 32), "abcd"), "broad wav tag:3,"},
        {"8-bit linear", Wav(Fmt(1, 1, 8000, 8), "ab"), "broad wav tag:1, nsamplerate:8000, nchannels:1, bits:8 error"},
        {"not RIFF", "RIFX" + Wav({}, "ab").substr(4), nullptr},
        {"no data chunk", Wav({}, "").substr(0, 36), nullptr},
        {"data before fmt", "RIFF" + U32(20) + "WAVE" + Chunk("data", "ab"), nullptr},
        {"short", "RIFF" + U32(20) + "WAV", nullptr},
        {"short fmt", "RIFF" + U32(20) + "WAVE" + Chunk("fmt ", U16(1) + U16(1)), nullptr},
    };
    for (const Case& c : cases) {
        std::size_t before = Flow().size();
        auto [rc, got] = Convert(c.file);
        EXPECT_EQ(rc, -1) << c.name;
        std::string added = Flow().substr(before);
        if (c.logged) {
            EXPECT_THAT(added, HasSubstr(c.logged)) << c.name;
            EXPECT_THAT(added, HasSubstr("only 8000 Hz mono linear/alaw/ulaw......")) << c.name;
        } else {
            EXPECT_EQ(added, "") << c.name;
        }
    }
}

class DealFile : public GateTest {
protected:
    void SetUp() override
    {
        GateTest::SetUp();
        ASSERT_EQ(chdir(root.c_str()), 0);
        for (const char* f : {"tmp.wav", "tmp.mp3", "1.wav"}) std::remove(f);
    }
    void TearDown() override { g_flg_deal = 0; }
    bool Exists(const char* f) { return std::filesystem::exists(root + "/" + f); }
};

TEST_F(DealFile, SuccessReplacesTheUploadByTheOutput)
{
    write_file(root + "/tmp.wav", Wav(Fmt(6, 1, 8000, 8), "hello"));
    g_flg_deal = 1;
    EXPECT_EQ(_cbDealFileThread(nullptr), nullptr);
    EXPECT_EQ(g_flg_deal.load(), 0);
    EXPECT_EQ(read_file(root + "/1.wav"), Header(5) + "hello");
    EXPECT_FALSE(Exists("tmp.wav"));
    EXPECT_THAT(shell_log(), HasSubstr("rm -rf tmp.wav; rm -rf tmp.mp3\n"));
    EXPECT_THAT(Flow(), HasSubstr("broad mp3 transfrom wav success......"));
}

TEST_F(DealFile, FailureIsLoggedAsOneAndLeavesNoOutput)
{
    struct Case {
        int flag;
        const char *file, *content;
    } cases[] = {
        {1, "tmp.wav", nullptr},                                // no upload
        {1, "tmp.wav", "RIFF...."},                             // not a WAV
        {2, "tmp.mp3", nullptr},                                // no upload
        {2, "tmp.mp3", "this is no mp3 at all, not one frame"},  // nothing decodes
        {3, "tmp.wav", "x"},                                    // no such kind
    };
    for (const Case& c : cases) {
        if (c.content) write_file(root + "/" + c.file, c.content);
        std::size_t before = Flow().size();
        g_flg_deal = c.flag;
        _cbDealFileThread(nullptr);
        EXPECT_EQ(g_flg_deal.load(), 0);
        std::string added = Flow().substr(before);
        EXPECT_THAT(added, HasSubstr("broad transfrom wav fail......")) << c.flag << c.file;
        EXPECT_THAT(added, Not(HasSubstr("success"))) << c.flag << c.file;
        EXPECT_FALSE(Exists("1.wav")) << c.flag << c.file;
        EXPECT_EQ(Exists(c.file), c.content != nullptr) << "the upload stays for a look";
        for (const char* f : {"tmp.wav", "tmp.mp3", "1.wav"}) std::remove(f);
    }
}

TEST(Mp3Convert, NothingDecodedIsAFailureWithAnEmptyHeader)
{
    std::vector<unsigned char> zeros(5000 + MAD_BUFFER_GUARD, 0);
    FILE* out = std::tmpfile();
    EXPECT_EQ(mp3_convert(zeros.data(), zeros.size(), out), -1);
    std::rewind(out);
    char buf[64];
    EXPECT_EQ(std::fread(buf, 1, sizeof buf, out), 44u);
    EXPECT_EQ(std::string(buf, 44), Header(0));
    std::fclose(out);
}

}  // namespace
