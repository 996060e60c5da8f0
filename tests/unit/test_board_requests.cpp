// The request wrappers against a capturing device that stands in for MyIOControl: for each
// wrapper the request code, every byte of the record it sends, and what it makes of the reply.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <time.h>

#include "DspApi.h"
#include "HostBuffer.h"
#include "IoApi.h"

namespace {
struct Bytes {
    int offset;
    std::string data;
};

Bytes w32(int offset, std::uint32_t v)
{
    std::string d(4, '\0');
    for (int i = 0; i < 4; ++i) d[static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return {offset, d};
}
Bytes txt(int offset, std::string s) { return {offset, std::move(s)}; }

// One request the wrapper must make, and how the device answers it.
struct Req {
    unsigned long code;
    std::vector<Bytes> sent;         // every other byte of the record must be 0
    std::vector<Bytes> reply = {};   // written into the record before returning
    int result = 0;
    int buffer_at = -1;              // offset of a host-buffer field, checked apart
    const void* buffer = nullptr;    // the buffer that field must name
    std::string into_buffer = {};    // what the device writes into that buffer
};

struct Seen {
    int fd;
    unsigned long code;
    std::string record;
    const void* buffer;
};

std::vector<Req> g_script;
std::vector<Seen> g_seen;

long NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000;
}

std::size_t RecordSize(unsigned long code) { return (code >> 16) & 0x3FFF; }

// Paints the stack below the caller with non-zero bytes, so that a record that is not
// cleared before it is filled shows up as stray bytes.
__attribute__((noinline)) void PaintStack()
{
    volatile unsigned char area[8192];
    for (auto& b : area) b = 0xA5;
}
}  // namespace

// The capturing device: the same contract as the real MyIOControl for descriptors below -1.
int MyIOControl(DEVICE_HANDLER fd, unsigned long code, void* record)
{
    if (fd < -1) return 13;
    auto* bytes = static_cast<unsigned char*>(record);
    Seen s{fd, code, std::string(reinterpret_cast<char*>(bytes), RecordSize(code)), nullptr};
    std::size_t i = g_seen.size();
    g_seen.push_back(s);
    if (i >= g_script.size()) return -1;
    const Req& r = g_script[i];
    if (r.buffer_at >= 0) {
        std::uint32_t field;
        std::memcpy(&field, bytes + r.buffer_at, 4);
        void* buffer = HostBuffer_Find(field);
        g_seen.back().buffer = buffer;
        if (buffer && !r.into_buffer.empty()) std::memcpy(buffer, r.into_buffer.data(), r.into_buffer.size());
    }
    for (const auto& b : r.reply) std::memcpy(bytes + b.offset, b.data.data(), b.data.size());
    return r.result;
}

namespace {
struct Case {
    const char* what;
    std::function<int()> call;
    std::vector<Req> want;
    int want_result;
    std::function<void()> check = {};
    int variant = 1;
};

constexpr DEVICE_HANDLER kFd = 7;

void RunCases(const std::vector<Case>& cases)
{
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        IO_SetDevType(c.variant);
        g_script = c.want;
        g_seen.clear();
        PaintStack();
        EXPECT_EQ(c.call(), c.want_result);
        ASSERT_EQ(g_seen.size(), c.want.size());
        for (std::size_t i = 0; i < c.want.size(); ++i) {
            const Req& r = c.want[i];
            const Seen& s = g_seen[i];
            EXPECT_EQ(s.code, r.code) << "request " << i;
            std::string expect(RecordSize(r.code), '\0');
            for (const auto& b : r.sent) expect.replace(static_cast<std::size_t>(b.offset), b.data.size(), b.data);
            std::string got = s.record;
            if (r.buffer_at >= 0) {
                EXPECT_EQ(s.buffer, r.buffer) << "request " << i << " names another buffer";
                std::uint32_t field;
                std::memcpy(&field, got.data() + r.buffer_at, 4);
                if constexpr (sizeof(void*) == 4) {
                    // The board's driver takes the field for the caller's own address.
                    EXPECT_EQ(field, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(r.buffer)))
                        << "request " << i;
                }
                EXPECT_EQ(HostBuffer_Find(field), sizeof(void*) > 4 ? nullptr : r.buffer)
                    << "the buffer is still lent after the request";
                got.replace(static_cast<std::size_t>(r.buffer_at), 4, 4, '\0');
            }
            for (std::size_t k = 0; k < expect.size() && k < got.size(); ++k)
                EXPECT_EQ(static_cast<unsigned>(static_cast<unsigned char>(got[k])),
                          static_cast<unsigned>(static_cast<unsigned char>(expect[k])))
                    << "request " << i << " record byte " << k;
        }
        if (c.check) c.check();
    }
}
}  // namespace

TEST(BoardRequests, DspHostPortRequests)
{
    static std::uint16_t block[3] = {0x0102, 0x0304, 0x0506};
    const std::vector<Case> cases = {
        {"byte write: value byte at 4", [] { return ApiVoiceDspByteWrite(kFd, 0x200011, 0xAB, 1); },
         {{0xC0104D03, {w32(0, 1), w32(4, 0xAB), w32(8, 0x200011)}}}, 0},
        {"byte read: the byte at 4", [] { return ApiVoiceDspByteRead(kFd, 0x200011, 0); },
         {{0xC0104D33, {w32(8, 0x200011)}, {w32(4, 0xFFFF12CD)}}}, 0xCD},
        {"short write: low byte at 4, high at 5, as passed",
         [] { return ApiVoiceDspShortWrite(kFd, 0x205E98, 0xBEEF, 0); },
         {{0xC0104D13, {w32(4, 0xBEEF), w32(8, 0x205E98)}}}, 0},
        {"short read: the 16 bits at 4", [] { return ApiVoiceDspShortRead(kFd, 0x200002, 2); },
         {{0xC0104D43, {w32(0, 2), w32(8, 0x200002)}, {w32(4, 0xFFFF5A5A)}}}, 0x5A5A},
        {"short read that fails is no value", [] { return ApiVoiceDspShortRead(kFd, 0x200002, 0); },
         {{0xC0104D43, {w32(8, 0x200002)}, {w32(4, 0x1234)}, -1}}, -1},
        {"long write", [] { return ApiVoiceDspLongWrite(kFd, 0x200100, 0x89ABCDEF, 0); },
         {{0xC0104D23, {w32(4, 0x89ABCDEF), w32(8, 0x200100)}}}, 0},
        {"long read", [] { return ApiVoiceDspLongRead(kFd, 0x200100, 0); },
         {{0xC0104D53, {w32(8, 0x200100)}, {w32(4, 0x12345678)}}}, 0x12345678},
        {"byte read that fails", [] { return ApiVoiceDspByteRead(kFd, 0, 0); },
         {{0xC0104D33, {}, {w32(4, 0x55)}, -1}}, -1},
        {"reset on", [] { return ApiVoiceDspResetOnOff(kFd, 0, 1); }, {{0xC0104D63, {w32(4, 1)}}}, 0},
        {"reset off, result passed on", [] { return ApiVoiceDspResetOnOff(kFd, 1, 0); },
         {{0xC0104D63, {w32(0, 1)}, {}, -1}}, -1},
        {"block write: buffer, count, address",
         [] { return ApiVoiceDspShortBlockWrite(kFd, 0x202000, block, 3, 0); },
         {{0xC0104D73, {w32(8, 3), w32(12, 0x202000)}, {}, 0, 4, block}}, 0},
        {"block read", [] { return ApiVoiceDspShortBlockRead(kFd, 0x202600, block, 2, 1); },
         {{0xC0104D83, {w32(0, 1), w32(8, 2), w32(12, 0x202600)}, {}, 0, 4, block}}, 0},
        {"block without buffer makes no request",
         [] { return ApiVoiceDspShortBlockRead(kFd, 0x202600, nullptr, 2, 0); }, {}, -1},
    };
    RunCases(cases);
}

TEST(BoardRequests, BoardIoRequests)
{
    static char reason[64];
    static char version[128];
    static char small[32];
    static char tiny[8];
    const std::string full(64, 'v');
    const std::vector<Case> cases = {
        {"error LED with variant", [] { return IO_ErrorLedSet(kFd, 1); },
         {{0xC0D84D00, {w32(12, 1), w32(184, 1)}}}, 0},
        {"reboot reason into the caller's buffer, always terminated",
         [] { return IO_GetRebootReason(kFd, reason, 64); },
         {{0xC0D84D01, {w32(180, 64)}, {}, 0, 176, reason, std::string(64, 'x')}}, 0,
         [] { EXPECT_EQ(std::string(reason), std::string(63, 'x')); }},
        {"reboot reason that fails leaves no text", [] { return IO_GetRebootReason(kFd, reason, 64); },
         {{0xC0D84D01, {w32(180, 64)}, {}, -1, 176, reason, "garbage"}}, -1,
         [] { EXPECT_STREQ(reason, ""); }},
        {"reboot reason without buffer", [] { return IO_GetRebootReason(kFd, nullptr, 64); }, {}, -1},
        {"four-wire input 4", [] { return IO_GetChnFourValue(kFd); },
         {{0xC0D84D02, {}, {w32(212, 1)}}}, 1},
        {"buzzer", [] { return IO_BuzzerSpeak(kFd, 1); }, {{0xC0D84D10, {w32(36, 1)}}}, 0},
        {"COR LED of a line", [] { return IO_CORLedSet(kFd, 1, 2); },
         {{0xC0D84D11, {w32(12, 1), w32(20, 3)}}}, 0},
        {"two-line PTT of line 0", [] { return IO_PTT1ArmSet(kFd, 1); }, {{0xC0D84D20, {w32(32, 1)}}}, 0},
        {"PTT of a line", [] { return IO_PTTArmSet(kFd, 1, 3); },
         {{0xC0D84D21, {w32(24, 1), w32(28, 4)}}}, 0},
        {"two-line PTT of line 1", [] { return IO_PTT2ArmSet(kFd, 1); }, {{0xC0D84D30, {w32(32, 1)}}}, 0},
        {"lock with variant", [] { return IO_LockSingle(kFd, 1); },
         {{0xC0D84D31, {w32(144, 1), w32(184, 1)}}}, 0},
        {"COR LED 1", [] { return IO_COR1LedSet(kFd, 1); }, {{0xC0D84D40, {w32(12, 1)}}}, 0},
        {"COR read level on variant 0", [] { return IO_SetCor(kFd, 2, 1); },
         {{0xC0D84D41, {w32(156, 2), w32(160, 1)}}}, 0, {}, 0},
        {"COR read level on the two-line board: no request", [] { return IO_SetCor(kFd, 2, 1); }, {}, 0, {},
         1},
        {"COR LED 2", [] { return IO_COR2LedSet(kFd, 1); }, {{0xC0D84D50, {w32(12, 1)}}}, 0},
        {"COR probe, states equal", [] { return IO_CheckCorOnAir(kFd, 2); },
         {{0xC0D84D51, {w32(164, 3), w32(172, 1)}, {w32(168, 1)}},
          {0xC0D84D51, {w32(164, 3)}, {w32(168, 1)}}},
         0},
        {"COR probe, states differ", [] { return IO_CheckCorOnAir(kFd, 0); },
         {{0xC0D84D51, {w32(164, 1), w32(172, 1)}, {w32(168, 1)}},
          {0xC0D84D51, {w32(164, 1)}, {w32(168, 0)}}},
         -1},
        {"COR probe that fails is not a state", [] { return IO_CheckCorOnAir(kFd, 0); },
         {{0xC0D84D51, {w32(164, 1), w32(172, 1)}, {w32(168, 1)}, -1},
          {0xC0D84D51, {w32(164, 1)}, {w32(168, 0)}}},
         -2},
        {"old COR probe, then the read level whatever the variant",
         [] { return IO_CheckCorOnAir_Old(kFd, 1, 1); },
         {{0xC0D84D51, {w32(164, 2), w32(172, 1)}, {w32(168, 0)}},
          {0xC0D84D51, {w32(164, 2)}, {w32(168, 0)}},
          {0xC0D84D41, {w32(156, 2), w32(160, 1)}}},
         0},
        {"UART route with variant", [] { return IO_UART2Change(kFd, 2); },
         {{0xC0D84D60, {w32(108, 2), w32(184, 1)}}}, 0},
        {"radio channel", [] { return IO_SetRadioChn(kFd, 1, 5); },
         {{0xC0D84D61, {w32(148, 5), w32(152, 1)}}}, 0},
        {"four-wire reset", [] { return IO_Line4Reset(kFd); }, {{0xC0D84D70, {}}}, 0},
        {"GPIO init with variant", [] { return IO_GpioInit(kFd); }, {{0xC0D84D71, {w32(184, 1)}}}, 0},
        {"run and status LED", [] { return IO_RuningLed(kFd, 1, 3); },
         {{0xC0D84D80, {w32(12, 1), w32(20, 3), w32(184, 1)}}}, 0},
        {"status LED word only", [] { return IO_RuningLed4Status(kFd, 1); },
         {{0xC0D84D80, {w32(12, 1), w32(184, 1)}}}, 0},
        {"GPIO write returns the value", [] { return IO_WriteGpio_date(kFd, 1, 52, 0x11F); },
         {{0xC0D84D81, {w32(128, 1), w32(132, 52), w32(136, 0x11F)}, {w32(136, 0x11F)}}}, 0x11F},
        {"reset input held", [] { return IO_GetWatchDogStatus(kFd); },
         {{0xC0D84D90, {w32(184, 1)}, {w32(116, 0)}}}, 0},
        {"reset input read that fails is not 'held'", [] { return IO_GetWatchDogStatus(kFd); },
         {{0xC0D84D90, {w32(184, 1)}, {w32(116, 0)}, -1}}, -1},
        {"GPIO read", [] { return IO_ReadGpio_date(kFd, 2, 15); },
         {{0xC0D84D91, {w32(128, 2), w32(132, 15)}, {w32(136, 0x1F0)}}}, 0x1F0},
        {"CPLD version", [] { return IO_GetCPLDVersion(kFd); },
         {{0xC0D84DA0, {w32(184, 1)}, {w32(120, 12)}}}, 12},
        {"power word", [] { return IO_GetPower(kFd); }, {{0xC0D84DA1, {}, {w32(188, 5)}}}, 5},
        {"IP jumpers: bits at 200, 204, 208, 212", [] { return IO_Get4IPVaule(kFd); },
         {{0xC0D84DB0, {w32(184, 1)}, {w32(200, 1), w32(208, 1), w32(212, 1)}}}, 13},
        {"IP jumper read that fails stops the caller", [] { return IO_Get4IPVaule(kFd); },
         {{0xC0D84DB0, {w32(184, 1)}, {w32(200, 1)}, -1}}, -1},
        {"IP select", [] { return IO_GetIP(kFd); },
         {{0xC0D84DB0, {w32(124, 1), w32(184, 1)}, {w32(124, 9)}}}, 9},
        {"PTT word", [] { return IO_WritePttValue(kFd, 6); }, {{0xC0D84DB1, {w32(192, 6)}}}, 0},
        {"COR word", [] { return IO_ReadCorInfo(kFd); },
         {{0xC0D84DC0, {w32(184, 1)}, {w32(140, 0x8)}}}, 0x8},
        {"COR read that fails is no carrier word", [] { return IO_ReadCorInfo(kFd); },
         {{0xC0D84DC0, {w32(184, 1)}, {w32(140, 0)}, -1}}, -1},
        {"channel chip select", [] { return IO_PIN_CHN_CS_Set(kFd, 1); }, {{0xC0D84DC1, {w32(196, 1)}}}, 0},
        {"four-wire input 1", [] { return IO_GetChnOneValue(kFd); }, {{0xC0D84DD1, {}, {w32(200, 1)}}}, 1},
        {"IP value", [] { return IO_GetIPValue(kFd); }, {{0xC0D84DD1, {}, {w32(200, 3)}}}, 3},
        {"GPIO value", [] { return IO_SetGpioValue(kFd, 52, 1); },
         {{0xC0D84DE0, {w32(132, 52), w32(136, 1)}}}, 0},
        {"four-wire input 2", [] { return IO_GetChnTwoValue(kFd); }, {{0xC0D84DE1, {}, {w32(204, 1)}}}, 1},
        {"four-wire input 3", [] { return IO_GetChnThreeValue(kFd); }, {{0xC0D84DF1, {}, {w32(208, 1)}}}, 1},
        {"driver version: at most the field, always terminated",
         [] { return IO_GetDriverVersion(kFd, version, 128); }, {{0xC0D84DF0, {}, {txt(44, full)}}}, 0,
         [&] { EXPECT_EQ(std::string(version), full); }},
        {"driver version that fails leaves no text", [] { return IO_GetDriverVersion(kFd, version, 128); },
         {{0xC0D84DF0, {}, {txt(44, "junk")}, -1}}, -1, [] { EXPECT_STREQ(version, ""); }},
        {"driver version into 32 bytes: no request", [] { return IO_GetDriverVersion(kFd, small, 32); }, {},
         -1, [] { EXPECT_STREQ(small, "Len is too short\n"); }},
        {"driver version into 8 bytes stays inside them", [] { return IO_GetDriverVersion(kFd, tiny, 8); },
         {}, -1, [] { EXPECT_STREQ(tiny, "Len is "); }},
    };
    RunCases(cases);
}

TEST(BoardRequests, DescriptorsBelowZeroNeverLookAnswered)
{
    const std::vector<Case> cases = {
        {"-2 makes no request; a read is no value", [] { return IO_ReadCorInfo(-2); }, {}, -1},
        {"-2 makes no request; an output fails", [] { return IO_ErrorLedSet(-2, 1); }, {}, -1},
        {"-2 makes no DSP request", [] { return ApiVoiceDspShortRead(-2, 0x200000, 0); }, {}, -1},
        {"-1 reaches the device", [] { return IO_GetPower(-1); },
         {{0xC0D84DA1, {}, {w32(188, 3)}, -1}}, -1},
        {"0 is a descriptor like any other", [] { return IO_GetPower(0); },
         {{0xC0D84DA1, {}, {w32(188, 3)}}}, 3},
    };
    RunCases(cases);
    EXPECT_EQ(g_seen.empty() ? -99 : g_seen.back().fd, 0);
}

TEST(BoardRequests, RebootReasonWithoutBufferSaysSo)
{
    g_seen.clear();
    testing::internal::CaptureStderr();
    EXPECT_EQ(IO_GetRebootReason(kFd, nullptr, 64), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[IO_GetRebootReason]--chBuffer == NULL\n");
    EXPECT_TRUE(g_seen.empty());
}

TEST(BoardRequests, CorReadLevelWaitsForTheBoardEvenWithoutRequest)
{
    // The board settles for 200 ms after a COR level change; the two-line board gets the same
    // pause so that start-up takes the same course on every variant.
    IO_SetDevType(1);
    g_script.clear();
    g_seen.clear();
    const long start = NowMs();
    EXPECT_EQ(IO_SetCor(kFd, 1, 0), 0);
    EXPECT_GE(NowMs() - start, 200);
    EXPECT_TRUE(g_seen.empty());
}

TEST(BoardRequests, HostBufferFieldOfThisBuild)
{
    std::uint16_t words[4] = {};
    char text[8] = {};
    std::uint32_t a = HostBuffer_Lend(words);
    std::uint32_t b = HostBuffer_Lend(text);
    if constexpr (sizeof(void*) == 4) {
        // 32-bit board: the field is the address itself, nothing is held.
        EXPECT_EQ(a, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(words)));
        EXPECT_EQ(b, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(text)));
    } else {
        // 64-bit host: small distinct handles, never 0 (which is what a NULL buffer gives).
        EXPECT_NE(a, 0u);
        EXPECT_NE(b, 0u);
        EXPECT_NE(a, b);
    }
    EXPECT_EQ(HostBuffer_Find(a), words);
    EXPECT_EQ(HostBuffer_Find(b), text);
    HostBuffer_Return(a);
    HostBuffer_Return(b);
    EXPECT_EQ(HostBuffer_Lend(nullptr), 0u);
    EXPECT_EQ(HostBuffer_Find(0), nullptr);

    // However many requests come and go, each one's buffer can be named.
    for (int i = 0; i < 100; ++i) {
        std::uint32_t f = HostBuffer_Lend(words);
        ASSERT_NE(f, 0u) << "request " << i;
        HostBuffer_Return(f);
    }
}
