// The four-wire audio board on the simulated board, its serial peer a pseudo-terminal linked
// at the board root's "/dev/ttyS2" or "/dev/ttyS3": the status frame, the old card's register
// exchanges (each byte written and each drain noted in the board's record, between the UART
// route and lock requests) and the volume and mute operations of both cards.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "board_env_fixture.h"
#include "line4.h"

// The test is linked with the serial module's writes and drains wrapped: each is noted in the
// simulated board's output record, so the record shows the serial link and the board's
// requests in the order they happened.
int Real_Serial_Write(SERIAL_HANDLER fd, const void* buffer, int length) __asm__("__real__Z12Serial_WriteiPKvi");
int Real_Serial_Drain(SERIAL_HANDLER fd) __asm__("__real__Z12Serial_Draini");

namespace {

std::string Hex(const std::uint8_t* p, std::size_t n)
{
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
        s += b;
    }
    return s;
}

// One pseudo-terminal pair, its terminal side linked at the board root's path.
struct PtyPeer {
    int master = -1, slave = -1;
    std::string link;
    explicit PtyPeer(const std::string& board_name)
    {
        char name[128] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
        fcntl(master, F_SETFL, O_NONBLOCK);
        link = gate_test_root() + board_name;
        std::filesystem::remove(link);
        std::filesystem::create_symlink(name, link);
    }
    ~PtyPeer()
    {
        std::filesystem::remove(link);
        close(slave);
        close(master);
    }
    std::string Read()
    {
        std::string out;
        std::uint8_t buf[4096];
        for (;;) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) return out;
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) return out;
            out += (out.empty() ? "" : " ") + Hex(buf, static_cast<std::size_t>(n));
        }
    }
};

class Line4Test : public BoardEnvTest {
protected:
    void SetUp() override
    {
        BoardEnvTest::SetUp();
        Serial_Close(&g_hSerHandler);
        g_hDevHandler = g_hDriverHandler;
        g_sSerialCfg = SERIAL_STRUCT{"/dev/ttyS3", 9600, 8, 1, E_PARITY_NONE, E_CONTROL_NONE, 0};
    }
    void TearDown() override { Serial_Close(&g_hSerHandler); }
};

std::string Frame(std::uint16_t addr, std::uint16_t value)
{
    const std::uint8_t f[] = {0xFC, 0xF3, 0x3B, static_cast<std::uint8_t>(addr >> 8), static_cast<std::uint8_t>(addr),
                              static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    return Hex(f, sizeof f);
}

TEST(Line4Frame, StatusFrameAndItsChecksum)
{
    struct Case {
        int in[4];
        const char* frame;
    };
    const Case cases[] = {
        {{0, 0, 0, 0}, "68 01 01 01 8b ec 00 01 0b 10"}, {{1, 0, 0, 1}, "68 01 01 01 95 ec 00 01 01 10"},
        {{0, 1, 1, 1}, "68 01 01 01 86 ec 00 01 10 10"}, {{1, 1, 1, 1}, "68 01 01 01 8d ec 00 01 09 10"},
        {{0, 1, 1, 0}, "68 01 01 01 93 ec 00 01 03 10"},
    };
    for (const Case& c : cases) {
        std::uint8_t f[10];
        Line4_StatusFrame(c.in, f);
        EXPECT_EQ(Hex(f, 10), c.frame);
    }
    const std::uint8_t odd[] = {0x01, 0x02, 0x03};  // a last odd byte is the high byte of a word
    EXPECT_EQ(PcCheckSum(odd, 3), static_cast<std::uint16_t>(~(0x0102 + 0x0300)));
}

TEST_F(Line4Test, StatusFrameGoesOutOnceWrittenOnlyOnAChange)
{
    g_iCardType = 1;
    g_sSerialCfg = SERIAL_STRUCT{"/dev/ttyS2", 57600, 8, 1, E_PARITY_NONE, E_CONTROL_NONE, 0};
    sim("set line4 0 0 0 0");
    Line4_SerialProcess();  // the state it starts from, nothing to send
    // No port yet: the change waits and is sent once the port is there.
    sim("set line4 1 0 0 1");
    Line4_SerialProcess();
    EXPECT_LT(g_hSerHandler, 0);
    PtyPeer peer("/dev/ttyS2");
    Line4_SerialProcess();
    EXPECT_EQ(peer.Read(), "68 01 01 01 95 ec 00 01 01 10");
    Line4_SerialProcess();
    EXPECT_EQ(peer.Read(), "");
    sim("set line4 2 0 0 1");  // logged and remembered, not sent
    Line4_SerialProcess();
    sim("set line4 0 0 0 0");
    Line4_SerialProcess();
    EXPECT_EQ(peer.Read(), "68 01 01 01 8b ec 00 01 0b 10");
}

TEST_F(Line4Test, OldCardChipsAreProgrammedUnderTheirRouteAndLock)
{
    Board(E_SYS_2W, 0, 2);
    PtyPeer peer("/dev/ttyS3");
    ASSERT_EQ(Line4_Init(g_hDriverHandler), 0);
    const std::vector<std::string> out = sim_outputs();
    static const std::uint16_t kRegs[][2] = {
        {0x1E0F, 0x5A00}, {0x1E34, 0x0022}, {0x1E38, 0x0017}, {0x1E3D, 0x00A0}, {0x1E3E, 0x00A0}, {0x1E50, 0x0100},
        {0x1E57, 0x7FFF}, {0x1E6E, 0x0020}, {0x1E41, 0x0001}, {0x1E44, 0x0000}, {0x1E45, 0x0000}, {0x1E46, 0x0211},
        {0x1E4D, 0x00A0}, {0x1E52, 0x0006}, {0x1E63, 0x0020}, {0x1E70, 0x07C0}, {0x1E86, 0x0008}, {0x1E87, 0x0003},
        {0x1E88, 0x0020}, {0x1E8C, 0x0380}, {0x1E9A, 0x0300}, {0x1E9C, 0x1C00}, {0x1EC5, 0x0800}, {0x1EC6, 0x1A00},
        {0x1EC7, 0x1A00}, {0x1ED4, 0x1000}, {0x1ED5, 0x3000}, {0x1ED6, 0x2000}, {0x1ED7, 0x0700}, {0x1EDA, 0x3000},
        {0x1EDB, 0x1F00}, {0x1E36, 0x001F}, {0x1E37, 0x001F}, {0x1E48, 0x0380}, {0x1EDE, 0x4300}, {0x1EED, 0x1C00},
        {0x1EEE, 0x4000}, {0x1EF4, 0x4001}, {0x1EF7, 0x0000}, {0x1EFC, 0x0080}, {0x1EFE, 0x00A0}, {0x1E3A, 0x0000},
    };
    std::vector<std::string> want = {"line4_reset"};
    std::string bytes;
    for (int ch = 1; ch <= 2; ++ch) {
        want.push_back("uart chn=" + std::to_string(ch) + " variant=0");
        want.push_back("lock value=1 variant=0");
        for (const auto& r : kRegs) {
            want.push_back("serial " + Frame(r[0], r[1]));
            bytes += (bytes.empty() ? "" : " ") + Frame(r[0], r[1]);
        }
        want.push_back("drain");  // every byte is out before the lock goes and the route moves
        want.push_back("lock value=0 variant=0");
    }
    EXPECT_EQ(out, want);
    EXPECT_EQ(peer.Read(), bytes);
}

TEST_F(Line4Test, OldCardVolumesAndMutesAreRegisterWrites)
{
    Board(E_SYS_9W, 0, 9);
    PtyPeer peer("/dev/ttyS3");
    ASSERT_EQ(Line4_Open(g_hDriverHandler), 0);
    struct Case {
        int (*op)(int, int);
        int channel, arg;
        std::string frames;
    };
    const Case cases[] = {
        {Line4_SetSpkVolume, 1, 0, Frame(0x1E3E, 0x00A0) + " " + Frame(0x3FC6, 0x0009)},
        {Line4_SetSpkVolume, 7, 7, Frame(0x1E3E, 0x00A0) + " " + Frame(0x3FC6, 0x001D)},
        {Line4_SetSpkVolume, 8, 5, Frame(0x1E3E, 0x00A0) + " " + Frame(0x3FC6, 0x0FD9)},
        {Line4_SetSpkVolume, 9, 7, Frame(0x1E3E, 0x00A0) + " " + Frame(0x3FC6, 0x0FD9)},  // the loudest it has
        {Line4_SetMicVolume, 2, 6, Frame(0x1E3D, 0x00A0) + " " + Frame(0x3FC0, 0x000A)},
        {Line4_SetMicVolume, 9, 5, Frame(0x1E3D, 0x00A0) + " " + Frame(0x3FC0, 0xFB30)},
        {Line4_SetMuteForSpeaker, 3, 1, Frame(0x1E3F, 0x0000)},
        {Line4_SetMuteForSpeaker, 3, 0, Frame(0x1E3F, 0xFFFF)},
        {Line4_SetMuteForMic, 4, 1, Frame(0x1E40, 0x0000)},
        {Line4_SetMicVolume, 1, 8, ""},  // no such level
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.op(c.channel, c.arg), 0);
        EXPECT_EQ(peer.Read(), c.frames) << "channel " << c.channel << " arg " << c.arg;
    }
}

TEST_F(Line4Test, NewCardSetUpAndVolumesAreGpioWrites)
{
    Board(E_SYS_4W, 1, 4);
    ASSERT_EQ(Line4_Init(g_hDriverHandler), 0);
    EXPECT_LT(g_hSerHandler, 0);  // no port until the first status step
    std::vector<std::string> want = {"line4_reset"};
    for (int ch = 1; ch <= 4; ++ch) {
        const int chip = ch <= 2 ? 1 : 2;
        const bool first = ch == 1 || ch == 3;
        want.push_back("gpio chip=" + std::to_string(chip) + " pin=" + (first ? "52" : "53") + " value=287");
        want.push_back("gpio chip=" + std::to_string(chip) + " pin=" + (first ? "15" : "16") + " value=496");
    }
    EXPECT_EQ(sim_outputs(), want);

    struct Case {
        int (*op)(int, int);
        int channel, arg;
        const char* want;
    };
    const Case cases[] = {
        {Line4_SetSpkVolume, 2, 0, "gpio chip=1 pin=53 value=256"},
        {Line4_SetMicVolume, 4, 7, "gpio chip=2 pin=16 value=511"},
        {Line4_SetMuteForSpeaker, 3, 1, "gpio chip=2 pin=52 value=256"},
        {Line4_SetMuteForSpeaker, 3, 0, "gpio chip=2 pin=52 value=313"},
        {Line4_SetMuteForMic, 1, 0, "gpio chip=1 pin=15 value=511"},
        {Line4_SetSpkVolume, 5, 3, nullptr},  // the new card has four channels
    };
    for (const Case& c : cases) {
        c.op(c.channel, c.arg);
        std::vector<std::string> w;
        if (c.want) w.push_back(c.want);
        EXPECT_EQ(sim_outputs(), w) << "channel " << c.channel << " arg " << c.arg;
    }
}

TEST_F(Line4Test, NewCardSpeakerVolumeChangesTheVolumeOnly)
{
    for (SYS_COMPATIBLE_MODE_E mode : {E_SYS_2W, E_SYS_9W}) {
        Board(mode, 1, mode == E_SYS_2W ? 2 : 9);
        Line4_SetSpkVolume(1, 7);
        EXPECT_EQ(g_iUse_Chn_Max, mode == E_SYS_2W ? 2 : 9);
        EXPECT_EQ(g_sSysCfgInfo.m_sDevEnv.m_eSysCompMod, mode);
        EXPECT_EQ(sim_outputs(), std::vector<std::string>{"gpio chip=1 pin=52 value=289"});
    }
    // A four-line board staged as 4V takes the 4V table.
    Board(E_SYS_4W, 1, 4);
    g_sDBInfo.m_sSysCfgInfo.m_sDevEnv.m_eSysCompMod = E_SYS_4V;
    Line4_SetSpkVolume(3, 7);
    EXPECT_EQ(sim_outputs(), std::vector<std::string>{"gpio chip=2 pin=52 value=319"});
    EXPECT_EQ(g_sSysCfgInfo.m_sDevEnv.m_eSysCompMod, E_SYS_4W);
}

}  // namespace

extern "C" int __wrap__Z12Serial_WriteiPKvi(SERIAL_HANDLER fd, const void* buffer, int length)
{
    if (fd >= 0 && buffer && length > 0)
        SimBoard_Note("serial %s", Hex(static_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(length)).c_str());
    return Real_Serial_Write(fd, buffer, length);
}

extern "C" int __wrap__Z12Serial_Draini(SERIAL_HANDLER fd)
{
    SimBoard_Note("drain");
    return Real_Serial_Drain(fd);
}
