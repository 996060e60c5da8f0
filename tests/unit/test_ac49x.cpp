// The AC49x driver against the simulated DSP: host-port byte order, the control register,
// boot, the set-up packets byte for byte with every failure code, transmit and receive with
// their error codes, and the channel command builders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ac49x_fixture.h"

namespace {
using Bytes = std::vector<U8>;

Bytes Hex(const std::string& s)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < s.size();) {
        if (s[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<U8>(std::stoi(s.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

std::string ToHex(const Bytes& b)
{
    std::string s;
    char x[4];
    for (U8 v : b) {
        std::snprintf(x, sizeof x, "%02x ", v);
        s += x;
    }
    return s;
}

std::string Log()
{
    std::string all;
    for (std::string more = ac49x_command("log"); !more.empty(); more = ac49x_command("log")) all += more;
    return all;
}

// Sim-side descriptor of a ring entry (DSP byte address before the base).
U16 Word(U32 dspAddress) { return SimDsp_Peek(AC49X_HPI_BASE_ADDRESS + dspAddress); }

// Puts bytes into DSP memory through the host port, as a DSP would have left them.
void Plant(U32 address, const Bytes& b) { Ac49xWriteBlock(0, address, b.data(), static_cast<int>(b.size())); }
}  // namespace

TEST(Ac49x, BlockMovesKeepDspByteOrder)
{
    Ac49xSimBoard board;
    struct Case { U32 address; Bytes bytes; std::vector<U16> words; U32 wordAt; };
    const Case cases[] = {
        {0x3000, {0x01, 0x02, 0x03, 0x04}, {0x0102, 0x0304}, AC49X_HPI_BASE_ADDRESS + 0x3000},
        // an odd last byte goes out as a whole word and clears the byte after it
        {0x3100, {0x11, 0x22, 0x33, 0x44, 0x55}, {0x1122, 0x3344, 0x5500}, AC49X_HPI_BASE_ADDRESS + 0x3100},
        // the host port control word wraps to board address 0
        {AC49X_HOST_PORT_CONTROL, {0x20, 0x00}, {0x2000}, 0},
    };
    for (const Case& c : cases) {
        Plant(c.address + 4, {0xEE, 0xEE, 0xEE, 0xEE});  // neighbours that the odd byte may touch
        std::uint64_t before = SimDsp_Requests();
        Ac49xWriteBlock(0, c.address, c.bytes.data(), static_cast<int>(c.bytes.size()));
        EXPECT_EQ(SimDsp_Requests() - before, c.words.size()) << std::hex << c.address;
        for (std::size_t i = 0; i < c.words.size(); ++i)
            EXPECT_EQ(SimDsp_Peek(c.wordAt + 2 * static_cast<U32>(i)), c.words[i]) << std::hex << c.address << " " << i;
        Bytes back(c.bytes.size());
        before = SimDsp_Requests();
        Ac49xReadBlock(0, c.address, back.data(), static_cast<int>(back.size()));
        EXPECT_EQ(SimDsp_Requests() - before, c.words.size());
        EXPECT_EQ(back, c.bytes);
    }
}

TEST(Ac49x, ControlRegisterIsTakenOrGives4136)
{
    Ac49xSimBoard board;
    Tac49xDeviceControlRegisterAttr attr{};
    Ac49xSetDefaultDeviceControlRegisterAttr(&attr);
    // Plain memory before boot keeps the reset bit: 100 reads of two words after the write.
    std::uint64_t before = SimDsp_Requests();
    EXPECT_EQ(Ac49xDeviceSetControlRegister(0, &attr), 4136);
    EXPECT_EQ(SimDsp_Requests() - before, 2u + 100u * 2u);

    ASSERT_EQ(board.Boot(ac49x_firmware()), 1);
    EXPECT_EQ(Ac49xDeviceSetControlRegister(0, &attr), 0);
    EXPECT_EQ(Word(AC49X_DEVICE_CONTROL_REGISTER), 0x382C);  // 56 and 44
    EXPECT_EQ(Word(AC49X_DEVICE_CONTROL_REGISTER + 2) & 0x8000, 0);
    const U8* copy = Ac49xDeviceControlRegisterCopy(0);
    EXPECT_EQ(copy[0], 56);
    EXPECT_EQ(copy[1], 44);

    ac49x_command("fault stuck");
    EXPECT_EQ(Ac49xDeviceSetControlRegister(0, &attr), 4136);
}

TEST(Ac49x, BootStatuses)
{
    struct Case { const char* what; std::string images; const char* fault; bool kernel, program; int status; };
    const Case cases[] = {
        {"good images", ac49x_firmware(), nullptr, true, true, 1},
        {"DSP rejects every block", ac49x_firmware(), "fault checksum", true, true, 2},
        {"image with a bad block", ac49x_firmware("--bad-checksum"), nullptr, true, true, 2},
        {"truncated program", ac49x_firmware("--truncate 3"), nullptr, true, true, PROGRAM_DOWNLOAD_STATUS__TRUNCATED_IMAGE},
        {"no kernel: never ready", ac49x_firmware(), nullptr, false, true, 0},
        {"no program", ac49x_firmware(), nullptr, true, false, 65536},
        {"no DSP", ac49x_firmware(), "set dsp off", true, true, 0xFF},
    };
    for (const Case& c : cases) {
        Ac49xSimBoard board;
        if (c.fault) ac49x_command(c.fault);
        Bytes kernel = ac49x_read(c.images + "/kernel"), program = ac49x_read(c.images + "/program");
        int status = Ac49xBoot(0, c.program ? program.data() : nullptr, program.size(),
                               c.kernel ? kernel.data() : nullptr, kernel.size());
        EXPECT_EQ(status, c.status) << c.what;
        if (!c.program && c.kernel) {
            EXPECT_EQ(SimDsp_Peek(0), 0x0001) << "released without download";
        }
    }
    // The whole handshake of a good boot, as the board saw it.
    Ac49xSimBoard board;
    ASSERT_EQ(board.Boot(ac49x_firmware()), 1);
    std::string log = Log();
    const char* steps[] = {"dsp_reset device=0 on=1", "dsp_reset device=0 on=0", "dsp_boot status=1",
                           "dsp_block status=1", "dsp_block status=1", "dsp_block status=1", "dsp_running"};
    std::size_t at = 0;
    for (const char* s : steps) {
        at = log.find(s, at);
        ASSERT_NE(at, std::string::npos) << s << "\n" << log;
        at += std::strlen(s);
    }
    EXPECT_EQ(acHcrfIntEntry[4], 0xAC);  // read back from the interrupt entry after the last block
    testing::internal::CaptureStdout();
    EXPECT_EQ(Ac49xEmifTest(0, board.program.data(), board.program.size(), board.kernel.data(), board.kernel.size()), 1);
    ac49x_command("fault checksum");
    EXPECT_EQ(Ac49xEmifTest(0, board.program.data(), board.program.size(), board.kernel.data(), board.kernel.size()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[ProgramDownloadStatus]-- 1\n11111111111\n[ProgramDownloadStatus]-- 2\n222222222222\n");
    ac49x_command("fault none");
    U8 version[AC49X_DRIVER_VERSION_INFO_SIZE];
    Ac49xGetDriverVersionInfo(version);
    EXPECT_STREQ(reinterpret_cast<char*>(version + 64), "10.08.2009");
    // A truncated kernel writes nothing past its last whole block and never starts the DSP.
    Bytes kernel = ac49x_read(ac49x_firmware() + "/kernel");
    EXPECT_EQ(Ac49xKernelDownLoad(0, kernel.data() + 34, kernel.size() - 35), PROGRAM_DOWNLOAD_STATUS__TRUNCATED_IMAGE);
    EXPECT_EQ(Ac49xBoot(0, nullptr, 0, kernel.data(), 20), PROGRAM_DOWNLOAD_STATUS__TRUNCATED_IMAGE);
}

TEST(Ac49x, SetUpPacketsByteForByte)
{
    Ac49xSimBoard board;
    ac49x_start_recording();
    ASSERT_EQ(board.BootAndSetUp(12), 0);
    auto& sent = g_ac49xRecorded.sent;
    ASSERT_EQ(sent.size(), 5u);
    // Each echo is the DSP's copy of what it reassembled from the ring.
    EXPECT_EQ(g_ac49xRecorded.received, sent);
    struct Case { const char* what; std::size_t size; Bytes prefix; };
    Bytes open = Hex("a0 00 00 00 00 18 10 82 00 ff 00 35 40 80 50 0a 00 00 00 0c 00 00 00 00");
    for (int i = 0; i < 12; ++i) open.insert(open.end(), {0, static_cast<U8>(i), 0, static_cast<U8>(i)});
    const Case cases[] = {
        {"call progress", 908, Hex("a0 00 00 00 00 00 0f 2c"
                                   " 01 5e a1 b8 00 00 00 23 0f 0a 0d 0d 01 2c 00 00 00 00 00 00 00 00 00 00 00 00")},
        {"user defined tones", 332, Hex("a0 00 00 00 00 04 00 2c 00 00 00 00")},
        {"AGC", 24, Hex("a0 00 00 00 00 08 14 0f 00 13 05 dc 00 78 00 0f 01 f4 00 00 00 00 00 00")},
        {"extended", 14, Hex("a0 00 00 00 00 10 00 00 1f f7 ff ff 00 00")},
        {"open device, 12 channels", 72, open},
    };
    for (std::size_t i = 0; i < 5; ++i) {
        const Case& c = cases[i];
        ASSERT_EQ(sent[i].size(), c.size) << c.what;
        EXPECT_EQ(Bytes(sent[i].begin(), sent[i].begin() + static_cast<long>(c.prefix.size())), c.prefix)
            << c.what << ": " << ToHex(sent[i]);
    }
    // Call progress signal 2 (cadence 440/480 Hz, 200 on, 400 off) and 14, the last defined one.
    const Bytes& cp = sent[0];
    EXPECT_EQ(Bytes(cp.begin() + 64, cp.begin() + 92),
              Hex("21 b8 a1 e0 00 00 00 23 0f 0a 13 13 00 c8 01 90 00 00 00 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(Bytes(cp.begin() + 400, cp.begin() + 404), Hex("01 c2 a0 00"));
    EXPECT_EQ(Bytes(cp.begin() + 428, cp.end()), Bytes(908 - 428, 0));
    EXPECT_EQ(Ac49xDeviceChannelCount(0), 12);
}

TEST(Ac49x, SetUpFailureCodes)
{
    struct Case { const char* fault; int channels; int status; std::size_t packetsSent; };
    const Case cases[] = {
        {"fault stuck", 12, 1, 0},
        {"fault syserror 7 0", 12, 3, 1},
        {"fault noecho 1", 12, 4, 2},
        {"fault syserror 7 2", 12, 5, 3},
        {"fault shortecho 4", 12, 6, 4},
        {"fault noecho 6", 12, 7, 5},
        {nullptr, 257, 7, 4},  // more channels than the record has: the open packet is not sent
        {nullptr, 256, 0, 5},
    };
    for (const Case& c : cases) {
        Ac49xSimBoard board;
        ASSERT_EQ(board.Boot(ac49x_firmware()), 1);
        if (c.fault) ac49x_command(c.fault);
        ac49x_start_recording();
        Ac49xSetDefaultSetupDeviceAttr(&board.setup);
        board.setup.Open.NumberOfChannels = c.channels;
        EXPECT_EQ(Ac49xSetupDevice(0, &board.setup), c.status) << (c.fault ? c.fault : "") << " " << c.channels;
        EXPECT_EQ(g_ac49xRecorded.sent.size(), c.packetsSent) << (c.fault ? c.fault : "") << " " << c.channels;
    }
    // The step results themselves.
    struct Step { const char* fault; int result; };
    const Step steps[] = {
        {"fault syserror 7", 0x78000},
        {"fault shortecho", -98304},
        {"fault noecho", 4121},
    };
    for (const Step& s : steps) {
        Ac49xSimBoard board;
        ASSERT_EQ(board.BootAndSetUp(), 0);
        ac49x_command(s.fault);
        Tac49xAgcDeviceConfigurationAttr agc{};
        Ac49xSetDefaultAgcDeviceConfigurationAttr(&agc);
        EXPECT_EQ(Ac49xAgcDeviceConfiguration(0, &agc), s.result) << s.fault;
    }
    // A packet of another kind in place of the echo.
    Ac49xSimBoard board;
    ASSERT_EQ(board.BootAndSetUp(), 0);
    ac49x_command("fault noecho");
    ac49x_command("event 0 tone 10");
    Tac49xAgcDeviceConfigurationAttr agc{};
    Ac49xSetDefaultAgcDeviceConfigurationAttr(&agc);
    EXPECT_EQ(Ac49xAgcDeviceConfiguration(0, &agc), -32768);
}

TEST(Ac49x, NothingIsSentToADeviceThatIsNotSetUp)
{
    Ac49xSimBoard board;
    Bytes p(40, 0);
    EXPECT_EQ(ac49x_send(TRANSFER_MEDIUM__HOST, p), AC49X_ERROR__DEVICE_NOT_SET_UP);
    EXPECT_EQ(ac49x_send(TRANSFER_MEDIUM__NETWORK, p), AC49X_ERROR__DEVICE_NOT_SET_UP);
    // A board without DSP reads its control register back as 0xFF: no cell size to cut by.
    ac49x_command("set dsp off");
    Tac49xDeviceControlRegisterAttr attr{};
    Ac49xSetDefaultDeviceControlRegisterAttr(&attr);
    EXPECT_EQ(Ac49xDeviceSetControlRegister(0, &attr), 4136);
    EXPECT_EQ(ac49x_send(TRANSFER_MEDIUM__NETWORK, p), AC49X_ERROR__DEVICE_NOT_SET_UP);
    EXPECT_EQ(Ac49xGetResidentCellNumber(0, TRANSFER_MEDIUM__NETWORK), 0);
}

TEST(Ac49x, TransmitCellsQueueingAndErrors)
{
    Ac49xSimBoard board;
    ASSERT_EQ(board.BootAndSetUp(), 0);
    ac49x_start_recording();
    // A packet longer than the ring: 3, nothing queued or written.
    Bytes huge(33 * 44, 0);
    EXPECT_EQ(ac49x_send(TRANSFER_MEDIUM__HOST, huge), AC49X_RESULT__PACKET_LONGER_THAN_RING);
    EXPECT_EQ(Ac49xGetResidentCellNumber(0, TRANSFER_MEDIUM__HOST), 0);
    EXPECT_TRUE(g_ac49xRecorded.sent.empty());
    // A descriptor whose buffer lies outside the window, second in the walk: 4135, and not a
    // cell of the packet handed over.
    const U32 outside = AC49X_PROGRAM_BLOCK_ADDRESS / 2;
    Plant(AC49X_NETWORK_TX_RING + 4, {0x80, 0x00, static_cast<U8>(outside >> 8), static_cast<U8>(outside)});
    Bytes twoCells(100, 0x77);
    Tac49xTxPacketParams bad{0, 1, PROTOCOL__RTP, TRANSFER_MEDIUM__NETWORK, twoCells.data(), 100, CONTROL__DISABLE,
                             CONTROL__DISABLE, -1};
    EXPECT_EQ(Ac49xTransmitPacket(&bad), AC49X_ERROR__TX_WINDOW);
    EXPECT_EQ(bad.BufferDescriptorCurrentIndex, 0);
    EXPECT_EQ(Word(AC49X_NETWORK_TX_RING), 0x8000) << "the first descriptor was not handed over";
    EXPECT_NE(Word(AC49X_NETWORK_TX_WINDOW_BEGIN), 0xA001);
    const U32 back = (AC49X_NETWORK_TX_WINDOW_BEGIN + 64) / 2;
    Plant(AC49X_NETWORK_TX_RING + 4, {0x80, 0x00, static_cast<U8>(back >> 8), static_cast<U8>(back)});
    ac49x_command("fault stall");
    // 172 bytes on the network medium with 56-byte cells: 56, 56, 56 and 4, more on the first three.
    Bytes rtp(172, 0x55);
    EXPECT_EQ(ac49x_send(TRANSFER_MEDIUM__NETWORK, rtp, 1, PROTOCOL__RTP), 0);
    const U16 want[] = {0x2038, 0x2038, 0x2038, 0x0004};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Word(AC49X_NETWORK_TX_RING + 4 * i), want[i]) << i;
    EXPECT_EQ(Word(AC49X_NETWORK_TX_RING + 16) & 0x8000, 0x8000);  // the fifth is still free

    // Fill the stalled host ring (32 descriptors), then the next packet goes to the FIFO whole.
    Bytes small = Hex("00 00 00 00 00 09");  // a close-channel packet, not echoed
    for (int i = 0; i < 32; ++i) ASSERT_EQ(ac49x_send(TRANSFER_MEDIUM__HOST, small), 0);
    Bytes big(100, 0x11);
    big[5] = 0x09;
    EXPECT_EQ(ac49x_send(TRANSFER_MEDIUM__HOST, big), 0);
    EXPECT_EQ(Ac49xGetResidentCellNumber(0, TRANSFER_MEDIUM__HOST), 3);
    EXPECT_EQ(g_ac49xRecorded.sent.size(), 1u + 32u + 1u);  // queued packets are recorded as sent
    // A full FIFO takes a packet whole or not at all.
    Bytes block(44 * 30, 0);
    block[5] = 0x09;
    int r = 0, sent = 0;
    while ((r = ac49x_send(TRANSFER_MEDIUM__HOST, block)) == 0) ++sent;
    EXPECT_EQ(r, AC49X_RESULT__FIFO_FULL);
    EXPECT_EQ(Ac49xGetResidentCellNumber(0, TRANSFER_MEDIUM__HOST), 3 + 30 * sent);
    // Once the DSP takes cells again the FIFO drains in order on the pump, packet by packet.
    ac49x_command("fault none");
    int left = Ac49xGetResidentCellNumber(0, TRANSFER_MEDIUM__HOST);
    for (int i = 0; i < 200 && left > 0; ++i) left = Ac49xDrainFifo(0, TRANSFER_MEDIUM__HOST);
    EXPECT_EQ(left, 0);
    ac49x_command("trace host");
    EXPECT_EQ(ac49x_send(TRANSFER_MEDIUM__HOST, small, 4), 0);
    EXPECT_NE(Log().find("dsp_in medium=host ch=4 len=6 data=a00400000009"), std::string::npos);

    // A medium without a FIFO gives 4113 while a needed descriptor is busy.
    ac49x_command("fault stall");
    for (int i = 0; i < 90; ++i) {
        Bytes one(10, 0);
        ASSERT_EQ(ac49x_send(TRANSFER_MEDIUM__NETWORK, one), 0) << i;
    }
    Bytes more(10, 0);
    EXPECT_EQ(ac49x_send(TRANSFER_MEDIUM__NETWORK, more), 0);  // queued
    Tac49xTxPacketParams tx{0, 0, PROTOCOL__RTP, static_cast<Tac49xTransferMedium>(2), more.data(), 10,
                            CONTROL__DISABLE, CONTROL__DISABLE, -1};
    EXPECT_EQ(Ac49xTransmitPacket(&tx), 4113);
}

TEST(Ac49x, ReceiveSkipsWhatItCannotHandOver)
{
    Ac49xSimBoard board;
    ASSERT_EQ(board.BootAndSetUp(), 0);
    Bytes p;
    int channel = 99;
    EXPECT_EQ(ac49x_receive(TRANSFER_MEDIUM__HOST, p, &channel), 4114);
    EXPECT_EQ(channel, -1);
    struct Case { const char* kind; int result; const char* console; };
    const Case cases[] = {
        {"sync", 4126, nullptr},
        {"long", 4128, "PacketSize[3801], MaxSize[3800]"},
        {"huge", 4128, nullptr},
        {"window", 4134, nullptr},
        {"short", 4128, nullptr},
    };
    for (const Case& c : cases) {
        ac49x_command(std::string("fault corrupt ") + c.kind);
        ac49x_command("event 3 dtmf 5");  // a good packet behind the bad one
        testing::internal::CaptureStdout();
        EXPECT_EQ(ac49x_receive(TRANSFER_MEDIUM__HOST, p), c.result) << c.kind;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("skipped"), std::string::npos) << c.kind;
        if (c.console) {
            EXPECT_NE(out.find(c.console), std::string::npos) << out;
        }
        ASSERT_EQ(ac49x_receive(TRANSFER_MEDIUM__HOST, p, &channel), 0) << c.kind << ": the ring moved on";
        EXPECT_EQ(channel, 3);
        EXPECT_EQ(p[13], 0x51) << c.kind;
        EXPECT_EQ(ac49x_receive(TRANSFER_MEDIUM__HOST, p), 4114);
    }
    // A channel beyond the 12 the device was opened with.
    ac49x_command("event 12 dtmf 1");
    EXPECT_EQ(ac49x_receive(TRANSFER_MEDIUM__HOST, p), AC49X_ERROR__RX_CHANNEL_OUT_OF_RANGE);
    // A network packet longer than a slot of the media path's rings (planted by hand).
    Bytes rtp(4 + 520, 0);
    rtp[0] = 0xA0;
    rtp[3] = PROTOCOL__RTP;
    Plant(AC49X_NETWORK_RX_WINDOW_BEGIN, rtp);
    const U32 a = AC49X_NETWORK_RX_WINDOW_BEGIN / 2;
    Plant(AC49X_NETWORK_RX_RING, {static_cast<U8>(rtp.size() >> 8), static_cast<U8>(rtp.size()), static_cast<U8>(a >> 8),
                                  static_cast<U8>(a)});
    EXPECT_EQ(ac49x_receive(TRANSFER_MEDIUM__NETWORK, p), AC49X_ERROR__RX_LENGTH);
    EXPECT_EQ(ac49x_receive(TRANSFER_MEDIUM__NETWORK, p), 4114);
    EXPECT_EQ(Ac49xReleaseRxPacket(0, 0, TRANSFER_MEDIUM__NETWORK), 4114);
}

TEST(Ac49x, DescriptorWalksStayInsideTheRing)
{
    // A DSP that never sets the last bit: the index still comes round at the ring's end.
    Ac49xSimBoard board;
    for (int i = 0; i < AC49X_HOST_RING_LENGTH; ++i) Plant(AC49X_HOST_RX_RING + 4 * i, {0x00, 0x02, 0x13, 0x00});
    Bytes p;
    for (int i = 0; i < AC49X_HOST_RING_LENGTH; ++i) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(ac49x_receive(TRANSFER_MEDIUM__HOST, p), AC49X_ERROR__RX_LENGTH) << i;
        testing::internal::GetCapturedStdout();
    }
    p.resize(AC49X_RX_PACKET_MAX);
    Tac49xRxPacketParams rx{};
    rx.pInPacket = p.data();
    EXPECT_EQ(Ac49xReceivePacket(&rx), 4114);
    EXPECT_EQ(rx.BufferDescriptorCurrentIndex, 0);
}

TEST(Ac49x, ChannelBuildersBytes)
{
    Ac49xSimBoard board;
    ASSERT_EQ(board.BootAndSetUp(), 0);
    Tac49xSetupChannelAttr ch{};
    Ac49xSetDefaultSetupChannelAttr(&ch);
    Tac49xActivateOrUpdateRtpChannelConfigurationAttr rtpLong = ch.ActivateOrUpdateRtp[0];
    rtpLong.RtpCanonicalNameStringLength = 70;
    for (int i = 0; i < AC49X_RTP_CANONICAL_NAME_MAX; ++i) rtpLong.RtpCanonicalName[i] = static_cast<char>('A' + i % 26);
    Tac49xIbsStringAttr ibs{};
    ibs.GeneratorRedirection = IBS_STRING_GENERATOR_REDIRECTION__INTO_DECODER_OUTPUT;
    ibs.NumberOfDigits = 3;
    ibs.OnDuration = 350;
    ibs.OffDuration = 350;
    for (int i = 0; i < AC49X_IBS_STRING_SIGNALS; ++i) ibs.Signal[i] = {i & 1, (i + 8) & 15, IBS_SYSTEM_CODE__CALL_PROGRESS_0_TO_15};
    Tac49xAdvancedChannelConfigurationAttr aec = ch.Advanced;
    aec.AcousticEchoCancelerEnable = 1;
    aec.InputGainLocation = 0;
    Tac49xCloseRtpChannelConfigurationAttr bye{1, 1, 70, {}};
    for (char& c : bye.LeavingReasonMessage) c = 'r';

    struct Case { const char* what; std::function<int()> send; std::size_t size; std::vector<std::pair<int, Bytes>> at; };
    const Case cases[] = {
        {"open channel 5", [&] { return Ac49xOpenChannelConfiguration(0, 5, &ch.OpenOrUpdateChannel); }, 42,
         {{0, Hex("a0 05 00 00 00 3d")},
          {6, Hex("00 00 52 80 a0 60 07 14 06 00 00 05 c0 07 00 ff 00 0f 40 01 06 03 18 13 00 00 80 23 26 96 00 00 00 00 "
                  "00 00")}}},
        {"close channel 5", [&] { return Ac49xCloseChannelConfiguration(0, 5); }, 6, {{0, Hex("a0 05 00 00 00 09")}}},
        {"IBS stop 3", [&] { return Ac49xSendIbsStop(0, 3); }, 6, {{0, Hex("a0 03 00 00 00 07")}}},
        {"advanced with acoustic echo canceller", [&] { return Ac49xAdvancedChannelConfiguration(0, 2, &aec); }, 28,
         {{0, Hex("a0 02 00 00 00 05 0a 64 00 23 00 00 80 23 00 ed 00 20 c0 50")}}},
        {"RTP activate, name of 70", [&] { return Ac49xActivateRegularRtpChannelConfiguration(0, 2, &rtpLong); }, 132,
         {{0, Hex("a0 02 00 00 00 0d 01 00 08 08 00 00 08 65 00 00 00 00 00 00 00 00 8d 03 69 00 a0 a0 13 88 03 03 65 40 "
                  "01 f4 65 68 6a 6a 78 00 01 f4 00 00 00 00 00 00 18 00 00 00 00 69")},
          {64, Bytes(rtpLong.RtpCanonicalName, rtpLong.RtpCanonicalName + 64)}}},
        {"RTP update", [&] { return Ac49xUpdateRegularRtpChannelConfiguration(0, 2, &ch.ActivateOrUpdateRtp[0]); }, 132,
         {{0, Hex("a0 02 00 00 00 11")}, {33, Hex("00")}}},
        {"RTP close, reason of 70", [&] { return Ac49xCloseRegularRtpChannelConfiguration(0, 2, &bye); }, 77,
         {{0, Hex("a0 02 00 00 00 15 c0 00 40")}, {9, Bytes(64, 'r')}}},
        {"T.38", [&] { return Ac49xT38ChannelConfiguration(0, 2, &ch.T38Configuration); }, 16,
         {{0, Hex("a0 02 00 00 00 31 00 00 00 00 00 0a 00 00 00 00")}}},
        {"IBS string of 3 digits, 30 slots", [&] { return Ac49xSendIbsString(0, 2, &ibs); }, 80,
         {{0, Hex("a0 02 00 00 00 03 00 03 00 00 01 5e 00 00 01 5e 00 00 00 00 00 86 01 96")}, {78, Hex("01 56")}}},
    };
    for (const Case& c : cases) {
        ac49x_start_recording();
        EXPECT_EQ(c.send(), 0) << c.what;
        ASSERT_EQ(g_ac49xRecorded.sent.size(), 1u) << c.what;
        const Bytes& p = g_ac49xRecorded.sent[0];
        EXPECT_EQ(p.size(), c.size) << c.what;
        for (const auto& [offset, bytes] : c.at)
            EXPECT_EQ(Bytes(p.begin() + offset, p.begin() + offset + static_cast<long>(bytes.size())), bytes)
                << c.what << " at " << offset << ": " << ToHex(p);
    }
    // What the DSP made of them.
    EXPECT_EQ(ac49x_command("chan 5").substr(0, 12), "open=0 rtp=0");
    Ac49xOpenChannelConfiguration(0, 2, &ch.OpenOrUpdateChannel);
    EXPECT_EQ(ac49x_command("chan 2").rfind("open=1 rtp=0 pt=8 frame=20 in_gain=32 out_gain=32 ", 0), 0u);
}

TEST(Ac49x, TonesEventsAndVoiceThroughTheRings)
{
    Ac49xSimBoard board;
    ASSERT_EQ(board.BootAndSetUp(), 0);
    Tac49xSetupChannelAttr ch{};
    Ac49xSetDefaultSetupChannelAttr(&ch);
    ASSERT_EQ(Ac49xOpenChannelConfiguration(0, 1, &ch.OpenOrUpdateChannel), 0);
    ch.ActivateOrUpdateRtp[0].BrokenConnectionEventTimeout_x20msec = 5;  // 100 ms
    ASSERT_EQ(Ac49xActivateRegularRtpChannelConfiguration(0, 1, &ch.ActivateOrUpdateRtp[0]), 0);
    Tac49xIbsStringAttr ibs{};
    ibs.NumberOfDigits = 1;
    ibs.OnDuration = 30;
    ibs.OffDuration = 20;
    ibs.Signal[0] = {0, 10, IBS_SYSTEM_CODE__CALL_PROGRESS_0_TO_15};
    ASSERT_EQ(Ac49xSendIbsString(0, 1, &ibs), 0);
    EXPECT_NE(ac49x_command("chan 1").find("tone=1"), std::string::npos);
    // A network packet reaches the line sink with the PTT outputs of that moment.
    Bytes rtp(4 + 12 + 160, 0xD5);
    rtp[4] = 0x80;
    rtp[5] = 8;
    rtp[6] = 0;
    rtp[7] = 42;
    ASSERT_EQ(ac49x_send(TRANSFER_MEDIUM__NETWORK, rtp, 1, PROTOCOL__RTP), 0);
    EXPECT_NE(ac49x_command("chan 1").find("rx=1 rx_bytes=172 last_seq=42 samples=160 peak=8 ptt=0"), std::string::npos)
        << ac49x_command("chan 1");

    ac49x_command("advance 120");
    ac49x_command("event 1 cid 5551234 12250830");
    std::vector<Bytes> events, voice;
    Bytes p;
    for (int i = 0; i < 20; ++i) {
        while (ac49x_receive(TRANSFER_MEDIUM__HOST, p) == 0) events.push_back(p);
        while (ac49x_receive(TRANSFER_MEDIUM__NETWORK, p) == 0) voice.push_back(p);
    }
    // tone finished (general event 1), broken connection (packetizer 15), the caller ID
    std::vector<std::pair<int, int>> kinds;
    for (const Bytes& e : events) kinds.emplace_back(e[5] >> 2, e[11]);
    EXPECT_NE(std::find(kinds.begin(), kinds.end(), std::make_pair(1, 1)), kinds.end());
    EXPECT_NE(std::find(kinds.begin(), kinds.end(), std::make_pair(8, 15)), kinds.end());
    auto cid = std::find_if(events.begin(), events.end(), [](const Bytes& e) { return (e[5] >> 2) == 7; });
    ASSERT_NE(cid, events.end());
    char number[32];
    EXPECT_EQ(Ac49xCallerIdNumber(cid->data(), static_cast<int>(cid->size()), number, sizeof number), 7);
    EXPECT_STREQ(number, "5551234");
    EXPECT_EQ(Ac49xCallerIdNumber(cid->data(), static_cast<int>(cid->size()) - 1, number, sizeof number), -1);
    EXPECT_EQ(Ac49xCallerIdNumber(cid->data(), static_cast<int>(cid->size()), number, 7), -1);
    // Voice from the channel: RTP with its own sequence, 160 bytes a frame.
    ASSERT_GE(voice.size(), 1u);
    EXPECT_EQ(voice[0][1], 1);
    EXPECT_EQ(voice[0][3], PROTOCOL__RTP);
    EXPECT_EQ(voice[0].size(), 4u + 12u + 160u);
    for (std::size_t i = 1; i < voice.size(); ++i)
        EXPECT_EQ((voice[i][6] << 8 | voice[i][7]), ((voice[i - 1][6] << 8 | voice[i - 1][7]) + 1) & 0xFFFF);
}

TEST(Ac49x, EchoWaitIsBoundedAndDrainsTheFifo)
{
    Ac49xSimBoard board;
    ASSERT_EQ(board.BootAndSetUp(), 0);
    Tac49xAgcDeviceConfigurationAttr agc{};
    Ac49xSetDefaultAgcDeviceConfigurationAttr(&agc);
    Bytes small = Hex("00 00 00 00 00 09");
    for (int stalled : {0, 300}) {
        ac49x_command(stalled ? "fault stall " + std::to_string(stalled) : std::string("fault stall"));
        for (int i = 0; i < 32; ++i) ASSERT_EQ(ac49x_send(TRANSFER_MEDIUM__HOST, small), 0);
        // the AGC packet waits in the FIFO behind the full ring
        EXPECT_EQ(Ac49xAgcDeviceConfiguration(0, &agc), stalled ? 0 : 4121) << stalled;
        ac49x_command("fault none");
        Ac49xFifoFlush(0, TRANSFER_MEDIUM__HOST, 100);
        Bytes p;
        while (ac49x_receive(TRANSFER_MEDIUM__HOST, p) == 0) {}
    }
}

TEST(Ac49x, SoakOfRandomPacketsAcrossAStalledRing)
{
    Ac49xSimBoard board;
    ASSERT_EQ(board.BootAndSetUp(), 0);
    std::mt19937 rng(14);
    std::vector<Bytes> sent, echoed;
    auto pump = [&] {
        Ac49xDrainFifo(0, TRANSFER_MEDIUM__HOST);
        Bytes p;
        int r;
        while ((r = ac49x_receive(TRANSFER_MEDIUM__HOST, p)) != 4114) {
            ASSERT_EQ(r, 0);
            echoed.push_back(p);
        }
    };
    bool stalled = false;
    for (int i = 0; i < 1000; ++i) {
        if (i == 300) {
            ac49x_command("fault stall");
            stalled = true;
        }
        // 6 to 32 host cells of 44 bytes: anything the 32-descriptor ring can take.
        Bytes p(std::uniform_int_distribution<std::size_t>(6, 32 * 44)(rng));
        for (U8& b : p) b = static_cast<U8>(rng());
        p[5] = static_cast<U8>(p[5] & 0xFC);  // a device packet: the DSP echoes it
        int r = ac49x_send(TRANSFER_MEDIUM__HOST, p);
        if (r == AC49X_RESULT__FIFO_FULL) {  // the stall has filled ring and FIFO
            ASSERT_TRUE(stalled) << i;
            ac49x_command("fault none");
            stalled = false;
            pump();
            r = ac49x_send(TRANSFER_MEDIUM__HOST, p);
        }
        ASSERT_EQ(r, 0) << i;
        p[0] = static_cast<U8>((p[0] & 0x0F) | 0xA0);  // the header as the driver filled it
        p[1] = 0;
        p[2] &= 0x7F;
        p[3] &= 0xC0;
        sent.push_back(p);
        if (!stalled) pump();
    }
    ac49x_command("fault none");
    for (int i = 0; i < 100 && echoed.size() < sent.size(); ++i) pump();
    ASSERT_EQ(echoed.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) ASSERT_EQ(echoed[i], sent[i]) << "packet " << i;
}

TEST(Ac49x, RecordingHook)
{
    Ac49xSimBoard board;
    ac49x_start_recording();
    Bytes big(6001);
    EXPECT_EQ(_49xPacketRecording.Add(0, big.data(), 6001, PACKET_DIRECTION__TX), 1);
    EXPECT_TRUE(g_ac49xRecorded.sent.empty());
    EXPECT_EQ(_49xPacketRecording.Add(0, big.data(), 6000, PACKET_DIRECTION__TX), 0);
    EXPECT_EQ(g_ac49xRecorded.sent.size(), 1u);
    _49xPacketRecording.Initialize();
    EXPECT_EQ(_49xPacketRecording.Add(0, big.data(), 10, PACKET_DIRECTION__TX), 2);
}
