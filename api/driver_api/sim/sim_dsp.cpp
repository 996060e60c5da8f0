#include "sim_dsp.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "AC49xDrv_Definitions.h"
#include "HostBuffer.h"
#include "board.h"
#include "g711.h"
#include "sim_board.h"

namespace {
// The host-port window of the AC49x as the board maps it: 512 KiB from 0x200000 hold
// every address the driver and the start-up memory test use.
constexpr std::uint32_t kWindowBase = AC49X_HPI_BASE_ADDRESS;
constexpr std::uint32_t kWindowWords = 0x40000;
constexpr std::uint16_t kNoDsp = 0xFFFF;  // what a floating host-port bus reads

std::array<std::uint16_t, kWindowWords> g_memory{};
std::uint16_t g_hostPortControl = 0;
bool g_present = true;
bool g_inReset = false;
std::uint64_t g_requests = 0;

enum class Stage { Plain, Kernel, Running };
Stage g_stage = Stage::Plain;

// ---- faults ----
enum class EchoFault { None, NoEcho, ShortEcho, SysError };
struct Faults {
    bool checksum = false;
    bool stuck = false;
    bool stall = false;
    std::uint64_t stallUntil = 0;  // with stall: the request count that lifts it, 0 never
    EchoFault echo = EchoFault::None;
    int echoOpcode = -1;  // -1: every device packet
    int sysErrorIndex = 0;
    int corrupt = 0;  // one-shot: the next host packet's corruption (Corrupt below)
};
Faults g_faults;
enum Corrupt { kNoCorrupt, kSync, kLong, kHuge, kWindow, kShort };

int g_trace = 0;  // 0 off, 1 host medium, 2 both

// ---- memory ----
bool Static_Device0(int device) { return device == 0 && g_present; }

std::uint16_t* Static_Word(std::uint32_t address)
{
    address &= ~1u;
    if (address == 0) return &g_hostPortControl;
    if (address < kWindowBase || address - kWindowBase >= kWindowWords * 2) return nullptr;
    return &g_memory[(address - kWindowBase) / 2];
}

// DSP-side access by DSP byte address (before the base).
U8 Byte(U32 a)
{
    std::uint16_t* w = Static_Word(kWindowBase + a);
    if (!w) return 0;
    return (a & 1) ? static_cast<U8>(*w) : static_cast<U8>(*w >> 8);
}

void SetByte(U32 a, U8 v)
{
    std::uint16_t* w = Static_Word(kWindowBase + a);
    if (!w) return;
    *w = (a & 1) ? static_cast<std::uint16_t>((*w & 0xFF00) | v) : static_cast<std::uint16_t>((*w & 0x00FF) | v << 8);
}

void ReadBytes(U32 a, U8* out, int n)
{
    for (int i = 0; i < n; ++i) out[i] = Byte(a + static_cast<U32>(i));
}

void WriteBytes(U32 a, const U8* in, int n)
{
    for (int i = 0; i < n; ++i) SetByte(a + static_cast<U32>(i), in[i]);
}

std::int64_t Static_NowUs();

// ---- rings ----
struct SimRing {
    U32 ring;
    U32 begin, end;
    int count;
    int slot;  // transmit: each descriptor's buffer size; receive: 0 (placed per packet)
    int next = 0;
    U32 alloc = 0;  // receive: where the next packet would go
};
constexpr int kHost = 0, kNet = 1;
SimRing g_tx[2] = {{AC49X_HOST_TX_RING, AC49X_HOST_TX_WINDOW_BEGIN, AC49X_HOST_TX_WINDOW_END, 32, 48},
                   {AC49X_NETWORK_TX_RING, AC49X_NETWORK_TX_WINDOW_BEGIN, AC49X_NETWORK_TX_WINDOW_END, 90, 64}};
SimRing g_rx[2] = {{AC49X_HOST_RX_RING, AC49X_HOST_RX_WINDOW_BEGIN, AC49X_HOST_RX_WINDOW_END, 48, 0},
                   {AC49X_NETWORK_RX_RING, AC49X_NETWORK_RX_WINDOW_BEGIN, AC49X_NETWORK_RX_WINDOW_END, 131, 0}};
static_assert(32 * 48 == AC49X_HOST_TX_WINDOW_END - AC49X_HOST_TX_WINDOW_BEGIN);
static_assert(90 * 64 == AC49X_NETWORK_TX_WINDOW_END - AC49X_NETWORK_TX_WINDOW_BEGIN);
static_assert(48 >= AC49X_HOST_CELL_DATA && 64 >= AC49X_NETWORK_CELL_DATA);

struct Desc {
    U8 b[4];
    bool empty() const { return b[0] & AC49X_BD_EMPTY; }
    bool last() const { return b[0] & AC49X_BD_LAST; }
    bool more() const { return b[0] & AC49X_BD_MORE; }
    int length() const { return (b[0] & 0x1F) << 8 | b[1]; }
    U32 address() const { return 2u * (U32{b[2]} << 8 | b[3]); }
};

Desc Static_Desc(const SimRing& r, int i)
{
    Desc d;
    ReadBytes(r.ring + 4u * static_cast<U32>(i), d.b, 4);
    return d;
}

void Static_SetDesc(const SimRing& r, int i, const Desc& d) { WriteBytes(r.ring + 4u * static_cast<U32>(i), d.b, 4); }

// ---- packets waiting for the host ----
constexpr int kQueueSlots = 256;
constexpr int kQueueBytes = 1536;  // the host receive window: nothing larger can be placed
struct QueuedPacket {
    int len;
    int corrupt;
    U8 data[kQueueBytes];
};
struct Queue {
    std::array<QueuedPacket, kQueueSlots> q;
    int head = 0, count = 0;
    std::uint64_t dropped = 0;
};
Queue g_out[2];

// ---- reassembly of what the host sends ----
constexpr int kJoinMax = AC49X_HPI_PACKET_SIZE + 64;
struct Join {
    U8 data[kJoinMax];
    int len = 0;
    bool overflow = false;
};
Join g_join[2];
U8 g_hostCell = 0, g_netCell = 0;

// ---- channels ----
constexpr int kChannels = 32;
enum Source { kSilence, kTone, kLoop, kInject };
struct SimChannel {
    bool open = false, rtp = false;
    int pt = 8, frameMs = 20, inGain = 32, outGain = 32;
    int brokenMs = 0;
    bool broken = false;
    std::int64_t lastNetUs = 0;
    std::int64_t nextFrameUs = 0;
    std::int64_t toneEndUs = 0;  // 0: no IBS string playing
    std::uint16_t seq = 0;
    std::uint32_t ts = 0, ssrc = 0;
    std::uint64_t tx = 0;
    double phase = 0;
    Source source = kSilence;
    std::array<U8, 4096> inject{};
    int injectHead = 0, injectCount = 0;
    // the line sink
    std::uint64_t rx = 0, rxBytes = 0, samples = 0;
    int lastSeq = -1, peak = 0, ptt = 0;
    std::array<U8, AC49X_NETWORK_RX_PAYLOAD_MAX> last{};
    int lastLen = 0;
    // what the channel was configured with: the decoder judges what reaches the line
    int rxPt = 8, decoder = CODER__G711ALAW, tx2833 = 101, rx2833 = 101;
    int dtmfMode = IBS_TRANSFER_MODE__TRANSPARENT_THROUGH_VOICE;
    int toneSig = -1;  // the call progress signal (or digit) of the IBS string playing
    bool voice = false;  // the sink hears voice (not silence)
    std::uint64_t wrongPt = 0, events2833 = 0, refused = 0;
    // digits of "event CH digits", reported on the DSP's clock
    std::array<U8, 64> digits{};
    int digitHead = 0, digitCount = 0, digitGapMs = 100;
    std::int64_t nextDigitUs = 0;
};
std::array<SimChannel, kChannels> g_chn;
std::array<std::FILE*, kChannels> g_capture{};  // "chan CH capture": the sink's payloads
int g_openedChannels = 0;  // the open device packet's channel count: no channel beyond it exists
constexpr int kVoicePeak = 1000;  // a sink packet whose peak is above this is voice
std::int64_t g_advanceUs = 0;
std::int64_t g_lastTickUs = 0;

std::int64_t Static_NowUs() { return monotonic_us() + g_advanceUs; }

void Static_Trace(const char* dir, int medium, const U8* p, int len)
{
    if (g_trace == 0 || (medium == kNet && g_trace < 2)) return;
    char hex[2 * 64 + 1] = {};
    int n = std::min(len, 64);
    for (int i = 0; i < n; ++i) std::snprintf(hex + 2 * i, 3, "%02x", p[i]);
    SimBoard_Note("%s medium=%s ch=%d len=%d data=%s", dir, medium == kHost ? "host" : "network", len > 1 ? p[1] : -1,
                  len, hex);
}

void Static_ServiceRx(int medium);

// A packet the real part would not take: counted on its channel and always recorded.
void Static_Refuse(int channel, const char* why)
{
    if (channel >= 0 && channel < kChannels) ++g_chn[static_cast<std::size_t>(channel)].refused;
    SimBoard_Note("dsp_refused ch=%d why=%s", channel, why);
}

// Queues a packet for the host and places it at once when the ring has room.
void Static_Enqueue(int medium, const U8* p, int len, int corrupt = kNoCorrupt)
{
    Queue& q = g_out[medium];
    if (len < 0 || len > kQueueBytes || q.count == kQueueSlots) {
        ++q.dropped;
        return;
    }
    QueuedPacket& s = q.q[static_cast<std::size_t>((q.head + q.count) % kQueueSlots)];
    s.len = len;
    s.corrupt = corrupt;
    std::memcpy(s.data, p, static_cast<std::size_t>(len));
    ++q.count;
    Static_ServiceRx(medium);
}

bool Static_Overlaps(const SimRing& r, U32 a, int len)
{
    for (int i = 0; i < r.count; ++i) {
        Desc d = Static_Desc(r, i);
        if (d.empty()) continue;
        U32 b = d.address();
        int l = std::min(d.length(), static_cast<int>(r.end - r.begin));
        if (a < b + static_cast<U32>(l) && b < a + static_cast<U32>(len)) return true;
    }
    return false;
}

// Places waiting packets into the receive ring while the host has released descriptors and
// window space for them.
void Static_ServiceRx(int medium)
{
    if (g_stage != Stage::Running) return;  // no rings before boot: the memory is the host's
    SimRing& r = g_rx[medium];
    Queue& q = g_out[medium];
    while (q.count > 0) {
        Desc d = Static_Desc(r, r.next);
        if (!d.empty()) return;
        QueuedPacket& s = q.q[static_cast<std::size_t>(q.head)];
        const int space = std::max(s.len, 2);
        U32 a = r.alloc < r.begin ? r.begin : r.alloc;
        if (a + static_cast<U32>(space) > r.end) a = r.begin;
        if (Static_Overlaps(r, a, space)) return;
        WriteBytes(a, s.data, s.len);
        int len = s.len;
        U32 at = a;
        switch (s.corrupt) {
        case kSync: SetByte(a, 0); break;
        case kLong: len = AC49X_RX_PACKET_MAX + 1; break;
        case kHuge: len = AC49X_RX_LENGTH_LIMIT + 1; break;
        case kWindow: at = AC49X_PROGRAM_BLOCK_ADDRESS; break;
        case kShort: len = 2; break;
        default: break;
        }
        const bool last = r.next == r.count - 1;
        d.b[0] = static_cast<U8>((last ? AC49X_BD_LAST : 0) | ((len >> 8) & 0x1F));
        d.b[1] = static_cast<U8>(len);
        d.b[2] = static_cast<U8>(at >> 9);
        d.b[3] = static_cast<U8>(at >> 1);
        Static_SetDesc(r, r.next, d);
        Static_Trace("dsp_out", medium, s.data, s.len);
        r.alloc = a + static_cast<U32>((space + 1) & ~1);
        r.next = last ? 0 : r.next + 1;
        q.head = (q.head + 1) % kQueueSlots;
        --q.count;
    }
}

// ---- events toward the host ----
void Static_EventHeader(U8* p, int channel, int opcode, int index)
{
    const std::uint32_t ts = static_cast<std::uint32_t>(Static_NowUs() / 1000);
    p[0] = AC49X_SYNC5 << 5;
    p[1] = static_cast<U8>(channel);
    p[2] = 0;
    p[3] = PROTOCOL__PROPRIETARY;
    p[4] = 0;
    p[5] = static_cast<U8>(opcode << 2 | PACKET_CATEGORY__COMMAND_OR_STATUS_OR_EVENT_PACKET);
    p[6] = static_cast<U8>(ts >> 24);
    p[7] = static_cast<U8>(ts >> 16);
    p[8] = static_cast<U8>(ts >> 8);
    p[9] = static_cast<U8>(ts);
    p[10] = 0;
    p[11] = static_cast<U8>(index);
}

void Static_Event(int channel, int opcode, int index)
{
    U8 p[16] = {};
    Static_EventHeader(p, channel, opcode, index);
    Static_Enqueue(kHost, p, sizeof p);
}

// ---- what the host sends ----
void Static_DevicePacket(const U8* p, int len)
{
    const int opcode = p[5] >> 2;
    // The open device packet names how many channels exist from now on.
    const int base = (p[4] >> 4) == 1 ? AC49X_OPEN_DEVICE_FORMAT1_PACKET_BASE : AC49X_OPEN_DEVICE_PACKET_BASE;
    if (opcode == DEVICE_CONFIGURATION_OP_CODE__OPEN && len >= base && len == base + 4 * ((p[18] & 1) << 8 | p[19]))
        g_openedChannels = (p[18] & 1) << 8 | p[19];
    const bool hit = g_faults.echoOpcode < 0 || g_faults.echoOpcode == opcode;
    switch (hit ? g_faults.echo : EchoFault::None) {
    case EchoFault::NoEcho: return;
    case EchoFault::ShortEcho: Static_Enqueue(kHost, p, len - 1); return;
    case EchoFault::SysError: Static_Event(0, STATUS_OR_EVENT_PACKET_OP_CODE__SYSTEM_ERROR_EVENT, g_faults.sysErrorIndex); return;
    case EchoFault::None: Static_Enqueue(kHost, p, len); return;
    }
}

int Static_Bits(U8 b, int hi, int lo) { return (b >> lo) & ((1 << (hi - lo + 1)) - 1); }

bool Static_KnownCoder(int coder)
{
    return coder == CODER__G711MULAW || coder == CODER__G711ALAW || coder == CODER__G723LOW || coder == CODER__G729;
}

void Static_ChannelPacket(int channel, SimChannel& c, const U8* p, int len)
{
    const int opcode = p[5] >> 2;
    const std::int64_t now = Static_NowUs();
    // Only the opening (and its advanced part, sent first) reaches a closed channel.
    if (!c.open && opcode != CHANNEL_CONFIGURATION_OP_CODE__OPEN_CHANNEL &&
        opcode != CHANNEL_CONFIGURATION_OP_CODE__ADVANCED_CHANNEL) {
        Static_Refuse(channel, "closed");
        return;
    }
    switch (opcode) {
    case CHANNEL_CONFIGURATION_OP_CODE__OPEN_CHANNEL:
    case CHANNEL_CONFIGURATION_OP_CODE__UPDATE_CHANNEL:
        if (len < AC49X_OPEN_CHANNEL_PACKET_SIZE) {
            Static_Refuse(channel, "size");
            return;
        }
        c.open = true;
        c.dtmfMode = Static_Bits(p[8], 2, 0);
        c.outGain = Static_Bits(p[10], 5, 0);
        c.inGain = Static_Bits(p[11], 5, 0);
        return;
    case CHANNEL_CONFIGURATION_OP_CODE__ADVANCED_CHANNEL:
        if (len < AC49X_ADVANCED_CHANNEL_PACKET_SIZE) Static_Refuse(channel, "size");
        return;
    case CHANNEL_CONFIGURATION_OP_CODE__CLOSE_CHANNEL:
        c.open = c.rtp = false;
        c.toneEndUs = 0;
        c.toneSig = -1;
        return;
    case CHANNEL_CONFIGURATION_OP_CODE__ACTIVATE_REGULAR_RTP:
    case CHANNEL_CONFIGURATION_OP_CODE__UPDATE_REGULAR_RTP: {
        if (len < AC49X_RTP_ACTIVATE_PACKET_SIZE) {
            Static_Refuse(channel, "size");
            return;
        }
        if (!Static_KnownCoder(p[30]) || !Static_KnownCoder(p[31])) {
            Static_Refuse(channel, "coder");
            return;
        }
        c.rxPt = Static_Bits(p[8], 6, 0);
        c.pt = Static_Bits(p[9], 6, 0);
        c.decoder = p[30];
        c.tx2833 = Static_Bits(p[32], 6, 0);
        c.rx2833 = Static_Bits(p[36], 6, 0);
        const int samples = p[27];
        c.frameMs = samples >= 8 ? samples / 8 : 20;
        c.brokenMs = 20 * (p[34] << 8 | p[35]);
        if (opcode == CHANNEL_CONFIGURATION_OP_CODE__ACTIVATE_REGULAR_RTP) {
            c.rtp = true;
            c.broken = false;
            c.lastNetUs = now;
            c.nextFrameUs = now + c.frameMs * 1000;
            c.seq = static_cast<std::uint16_t>(p[10] << 8 | p[11]);
            c.ssrc = static_cast<std::uint32_t>(p[14] << 24 | p[15] << 16 | p[16] << 8 | p[17]);
            c.ts = static_cast<std::uint32_t>(p[18] << 24 | p[19] << 16 | p[20] << 8 | p[21]);
        }
        return;
    }
    case CHANNEL_CONFIGURATION_OP_CODE__CLOSE_REGULAR_RTP:
        c.rtp = false;
        return;
    default:
        return;
    }
}

void Static_Command(int channel, SimChannel& c, const U8* p, int len)
{
    const int opcode = p[5] >> 2;
    if (!c.open) {
        Static_Refuse(channel, "closed");
        return;
    }
    if (opcode == COMMAND_OP_CODE__IBS_STOP) {
        c.toneEndUs = 0;
        c.toneSig = -1;
        SimBoard_Note("dsp_tone_stop ch=%d", channel);
        return;
    }
    if (opcode != COMMAND_OP_CODE__IBS_STRING) return;
    if (len < AC49X_IBS_STRING_PACKET_SIZE) {
        Static_Refuse(channel, "size");
        return;
    }
    auto be32 = [&](int at) { return static_cast<std::int64_t>(p[at]) << 24 | p[at + 1] << 16 | p[at + 2] << 8 | p[at + 3]; };
    c.toneSig = p[21] >> 4;
    SimBoard_Note("dsp_tone ch=%d sig=%d sys=%d on=%lld off=%lld", channel, c.toneSig, p[21] & 0x0F,
                  static_cast<long long>(be32(8)), static_cast<long long>(be32(12)));
    const int digits = std::max(1, Static_Bits(p[7], 5, 0));
    std::int64_t ms = 0;
    for (int i = 0; i < digits && i < AC49X_IBS_STRING_SIGNALS; ++i)
        ms += be32(8) + be32(12) + ((p[20 + 2 * i] & 1) ? be32(16) : 0);
    c.toneEndUs = Static_NowUs() + std::max<std::int64_t>(ms, 1) * 1000;
    (void)channel;
}

void Static_Sink(int channel, SimChannel& c, const U8* p, int len)
{
    const int rtpLen = len - AC49X_HPI_HEADER_SIZE;
    if (rtpLen < 12) return;
    const U8* rtp = p + AC49X_HPI_HEADER_SIZE;
    const int pt = rtp[1] & 0x7F;
    const U8* payload = rtp + 12;
    const int n = std::min(rtpLen - 12, static_cast<int>(c.last.size()));
    if (pt == c.rx2833 && pt != c.rxPt) {
        ++c.events2833;
        c.lastNetUs = Static_NowUs();
        return;
    }
    if (pt != c.rxPt) {  // the decoder cannot play it: the DSP drops it
        ++c.wrongPt;
        return;
    }
    ++c.rx;
    c.rxBytes += static_cast<std::uint64_t>(rtpLen);
    c.lastSeq = rtp[2] << 8 | rtp[3];
    c.ptt = SimBoard_PttWord();
    c.peak = 0;
    const bool g711 = c.decoder == CODER__G711MULAW || c.decoder == CODER__G711ALAW;
    for (int i = 0; g711 && i < n; ++i) {
        int s = c.decoder == CODER__G711MULAW ? ulaw2linear(payload[i]) : alaw2linear(payload[i]);
        c.peak = std::max(c.peak, s < 0 ? -s : s);
    }
    if (g711) c.samples += static_cast<std::uint64_t>(n);
    if ((c.peak > kVoicePeak) != c.voice) {
        c.voice = !c.voice;
        SimBoard_Note("dsp_voice ch=%d on=%d ptt=%d", channel, c.voice ? 1 : 0, c.ptt);
    }
    if (std::FILE* f = g_capture[static_cast<std::size_t>(channel)]) {
        std::fwrite(payload, 1, static_cast<std::size_t>(n), f);
        std::fflush(f);
    }
    std::memcpy(c.last.data(), payload, static_cast<std::size_t>(n));
    c.lastLen = n;
    if (c.broken) {
        c.broken = false;
        Static_Event(channel, STATUS_OR_EVENT_PACKET_OP_CODE__PACKETIZER_STATUS_OR_EVENT,
                     PACKETIZER_EVENT_INDEX__CONNECTION_ESTABLISHED);
    }
    c.lastNetUs = Static_NowUs();
}

void Static_Packet(int medium, const U8* p, int len)
{
    Static_Trace("dsp_in", medium, p, len);
    if (len < AC49X_HPI_HEADER_SIZE || (p[0] >> 5) != AC49X_SYNC5) return;
    const int channel = p[1];
    const int protocol = p[3] & 0x3F;
    if (protocol == PROTOCOL__RTP) {
        // Voice for a channel that is not playing RTP is counted, not recorded: it comes at
        // the packet rate.
        if (channel < kChannels && g_chn[static_cast<std::size_t>(channel)].open && g_chn[static_cast<std::size_t>(channel)].rtp)
            Static_Sink(channel, g_chn[static_cast<std::size_t>(channel)], p, len);
        else if (channel < kChannels)
            ++g_chn[static_cast<std::size_t>(channel)].refused;
        return;
    }
    if (protocol != PROTOCOL__PROPRIETARY || len < AC49X_PROPRIETARY_HEADER_END) return;
    const int category = p[5] & 3;
    if (category == PACKET_CATEGORY__DEVICE_CONFIGURATION_PACKET) {
        Static_DevicePacket(p, len);
        return;
    }
    if (channel >= g_openedChannels || channel >= kChannels) {
        Static_Refuse(channel, "beyond");
        return;
    }
    SimChannel& c = g_chn[static_cast<std::size_t>(channel)];
    if (category == PACKET_CATEGORY__CHANNEL_CONFIGURATION_PACKET) Static_ChannelPacket(channel, c, p, len);
    else if (category == PACKET_CATEGORY__COMMAND_OR_STATUS_OR_EVENT_PACKET) Static_Command(channel, c, p, len);
}

// Takes every cell the host has handed over, joining cells by the more bit.
void Static_ServiceTx(int medium)
{
    if (g_stage != Stage::Running || g_faults.stall) return;
    SimRing& r = g_tx[medium];
    Join& j = g_join[medium];
    for (int n = 0; n < r.count; ++n) {
        Desc d = Static_Desc(r, r.next);
        if (d.empty()) return;
        const int len = d.length();
        const U32 a = d.address();
        if (len <= r.slot && a >= r.begin && a + static_cast<U32>(len) <= r.end && j.len + len <= kJoinMax) {
            ReadBytes(a, j.data + j.len, len);
            j.len += len;
        } else {
            j.overflow = true;
        }
        d.b[0] |= AC49X_BD_EMPTY;
        Static_SetDesc(r, r.next, d);
        r.next = d.last() ? 0 : r.next + 1;
        if (!d.more()) {
            if (!j.overflow) Static_Packet(medium, j.data, j.len);
            j.len = 0;
            j.overflow = false;
        }
    }
}

// ---- voice toward the network ----
void Static_Frame(int channel, SimChannel& c)
{
    const int payload = std::clamp(c.frameMs * 8, 8, 480);
    U8 p[AC49X_HPI_HEADER_SIZE + 12 + 480] = {};
    p[0] = AC49X_SYNC5 << 5;
    p[1] = static_cast<U8>(channel);
    p[3] = PROTOCOL__RTP;
    U8* rtp = p + AC49X_HPI_HEADER_SIZE;
    rtp[0] = 0x80;
    rtp[1] = static_cast<U8>(c.pt & 0x7F);
    rtp[2] = static_cast<U8>(c.seq >> 8);
    rtp[3] = static_cast<U8>(c.seq);
    for (int i = 0; i < 4; ++i) {
        rtp[4 + i] = static_cast<U8>(c.ts >> (24 - 8 * i));
        rtp[8 + i] = static_cast<U8>(c.ssrc >> (24 - 8 * i));
    }
    U8* out = rtp + 12;
    const U8 silence = c.pt == 0 ? 0xFF : 0xD5;
    for (int i = 0; i < payload; ++i) {
        U8 v = silence;
        if (c.source == kTone) {
            int s = static_cast<int>(8000 * std::sin(c.phase));
            c.phase += 2 * M_PI * 1000 / 8000;
            v = c.pt == 0 ? linear2ulaw(s) : linear2alaw(s);
        } else if (c.source == kLoop && i < c.lastLen) {
            v = c.last[static_cast<std::size_t>(i)];
        } else if (c.source == kInject && c.injectCount > 0) {
            v = c.inject[static_cast<std::size_t>(c.injectHead)];
            c.injectHead = (c.injectHead + 1) % static_cast<int>(c.inject.size());
            --c.injectCount;
        }
        out[i] = v;
    }
    if (c.source == kInject && c.injectCount == 0) c.source = kSilence;
    ++c.seq;
    c.ts += static_cast<std::uint32_t>(payload);
    ++c.tx;
    Static_Enqueue(kNet, p, AC49X_HPI_HEADER_SIZE + 12 + payload);
}

// A DTMF digit heard on a channel: the in-band event to the host and, on a channel that relays
// DTMF and plays RTP, three RFC 2833 telephone-event packets toward the network (the end bit on
// the last) with the payload type its RTP activation gave.
void Static_Dtmf(int ch, int digit, int level)
{
    U8 p[16] = {};
    Static_EventHeader(p, ch, STATUS_OR_EVENT_PACKET_OP_CODE__IBS_EVENT, 0);
    p[13] = static_cast<U8>(digit << 4 | IBS_SYSTEM_CODE__DTMF);
    p[15] = static_cast<U8>(level);
    Static_Enqueue(kHost, p, sizeof p);
    if (ch >= kChannels) return;
    SimChannel& c = g_chn[static_cast<std::size_t>(ch)];
    const bool relay = c.dtmfMode == IBS_TRANSFER_MODE__RELAY_DISABLE_VOICE_MUTE ||
                       c.dtmfMode == IBS_TRANSFER_MODE__RELAY_ENABLE_VOICE_DISABLE;
    if (!c.open || !c.rtp || !relay) return;
    const std::uint32_t ts = c.ts;
    for (int k = 0; k < 3; ++k) {
        U8 e[AC49X_HPI_HEADER_SIZE + 16] = {};
        e[0] = AC49X_SYNC5 << 5;
        e[1] = static_cast<U8>(ch);
        e[3] = PROTOCOL__RTP;
        U8* rtp = e + AC49X_HPI_HEADER_SIZE;
        rtp[0] = 0x80;
        rtp[1] = static_cast<U8>((k == 0 ? 0x80 : 0) | (c.tx2833 & 0x7F));
        rtp[2] = static_cast<U8>(c.seq >> 8);
        rtp[3] = static_cast<U8>(c.seq);
        for (int i = 0; i < 4; ++i) {
            rtp[4 + i] = static_cast<U8>(ts >> (24 - 8 * i));
            rtp[8 + i] = static_cast<U8>(c.ssrc >> (24 - 8 * i));
        }
        const int duration = 160 * (k + 1);
        rtp[12] = static_cast<U8>(digit);
        rtp[13] = static_cast<U8>((k == 2 ? 0x80 : 0) | (level & 0x3F));
        rtp[14] = static_cast<U8>(duration >> 8);
        rtp[15] = static_cast<U8>(duration);
        ++c.seq;
        ++c.tx;
        Static_Enqueue(kNet, e, sizeof e);
    }
}

// Brings the time-driven behaviour up to now: at most once a millisecond.
void Static_Tick()
{
    if (g_stage != Stage::Running) return;
    const std::int64_t now = Static_NowUs();
    if (now - g_lastTickUs < 1000) return;
    g_lastTickUs = now;
    for (int ch = 0; ch < kChannels; ++ch) {
        SimChannel& c = g_chn[static_cast<std::size_t>(ch)];
        if (c.digitCount > 0 && now >= c.nextDigitUs) {
            Static_Dtmf(ch, c.digits[static_cast<std::size_t>(c.digitHead)], 0);
            c.digitHead = (c.digitHead + 1) % static_cast<int>(c.digits.size());
            --c.digitCount;
            c.nextDigitUs = now + std::int64_t{c.digitGapMs} * 1000;
        }
        if (c.toneEndUs != 0 && now >= c.toneEndUs) {
            c.toneEndUs = 0;
            c.toneSig = -1;
            Static_Event(ch, STATUS_OR_EVENT_PACKET_OP_CODE__GENERAL_EVENT, GENERAL_EVENT_PACKET_INDEX__TONE_FINISHED);
        }
        if (!c.open || !c.rtp) continue;
        if (c.brokenMs > 0 && !c.broken && now - c.lastNetUs >= std::int64_t{c.brokenMs} * 1000) {
            c.broken = true;
            Static_Event(ch, STATUS_OR_EVENT_PACKET_OP_CODE__PACKETIZER_STATUS_OR_EVENT,
                         PACKETIZER_EVENT_INDEX__BROKEN_CONNECTION);
        }
        const std::int64_t frame = std::int64_t{c.frameMs} * 1000;
        if (now - c.nextFrameUs > 5 * frame) c.nextFrameUs = now;  // a long pause is not caught up
        while (now >= c.nextFrameUs) {
            Static_Frame(ch, c);
            c.nextFrameUs += frame;
        }
    }
    Static_ServiceRx(kHost);
    Static_ServiceRx(kNet);
}

// ---- boot ----
void Static_SetBootStatus(U8 status) { SetByte(AC49X_BOOT_STATUS_REGISTER + 1, status); }

void Static_Run()
{
    for (int m = 0; m < 2; ++m) {
        SimRing& t = g_tx[m];
        for (int i = 0; i < t.count; ++i) {
            const U32 a = t.begin + static_cast<U32>(t.slot * i);
            Desc d{{static_cast<U8>(AC49X_BD_EMPTY | (i == t.count - 1 ? AC49X_BD_LAST : 0)), 0, static_cast<U8>(a >> 9),
                    static_cast<U8>(a >> 1)}};
            Static_SetDesc(t, i, d);
        }
        t.next = 0;
        SimRing& r = g_rx[m];
        for (int i = 0; i < r.count; ++i) {
            Desc d{{static_cast<U8>(AC49X_BD_EMPTY | (i == r.count - 1 ? AC49X_BD_LAST : 0)), 0, 0, 0}};
            Static_SetDesc(r, i, d);
        }
        r.next = 0;
        r.alloc = r.begin;
        g_out[m].head = g_out[m].count = 0;
        g_join[m] = Join{};
    }
    g_chn = {};
    g_openedChannels = 0;
    const U8 entry[8] = {0x00, 0x01, 0x00, 0x50, 0xAC, 0x49, 0x00, 0x00};
    WriteBytes(AC49X_HCRF_INT_ENTRY, entry, 8);
    g_stage = Stage::Running;
    SimBoard_Note("dsp_running");
}

// The program block the host has put at 0x400: its boot status.
U8 Static_ProgramBlock()
{
    U8 h[AC49X_PROGRAM_BLOCK_HEADER_SIZE];
    ReadBytes(AC49X_PROGRAM_BLOCK_ADDRESS, h, sizeof h);
    const int words = h[4] << 8 | h[5];
    std::uint16_t sum = 0;
    for (int i = 0; i < words; ++i) {
        const U32 a = AC49X_PROGRAM_BLOCK_ADDRESS + AC49X_PROGRAM_BLOCK_HEADER_SIZE + 2u * static_cast<U32>(i);
        sum = static_cast<std::uint16_t>(sum + (Byte(a) << 8 | Byte(a + 1)));
    }
    const bool good = !g_faults.checksum && sum == (h[6] << 8 | h[7]);
    SimBoard_Note("dsp_block status=%d", good ? 1 : 2);
    if (good && (h[0] & 0x80)) Static_Run();
    return good ? 1 : 2;
}

// The debug monitor: takes the command in the HCRF command register, leaves its data in the
// data area and its response code in the status register. The CPU registers read 0x00 0x01 ..
// (byte i is i), the trace buffer 0xFF - i, the memory compare finds no difference; a crash
// (and an unknown command) leaves no response.
void Static_Monitor()
{
    const U32 cmd = AC49X_HCRF_COMMAND_REGISTER;
    if (!(Byte(cmd + 2) & AC49X_HCRF_COMMAND_PENDING)) return;
    SetByte(cmd + 2, static_cast<U8>(Byte(cmd + 2) & ~AC49X_HCRF_COMMAND_PENDING));
    int response = 0;
    switch (Byte(cmd + 3)) {
    case HCRF_COMMAND__HALT: response = HCRF_RESPONSE__HALTED; break;
    case HCRF_COMMAND__RESUME: response = HCRF_RESPONSE__RESUMED; break;
    case HCRF_COMMAND__COMPARE_MEMORY:
        for (int i = 0; i < 4; ++i) SetByte(AC49X_HCRF_DATA_AREA + static_cast<U32>(i), 0);
        response = HCRF_RESPONSE__MEMORY_COMPARED;
        break;
    case HCRF_COMMAND__CPU_REGISTERS:
        for (int i = 0; i < AC49X_HCRF_REGISTERS_SIZE; ++i) SetByte(AC49X_HCRF_DATA_AREA + static_cast<U32>(i), static_cast<U8>(i));
        response = HCRF_RESPONSE__CPU_REGISTERS;
        break;
    case HCRF_COMMAND__TRACE_BUFFER:
        for (int i = 0; i < AC49X_HCRF_TRACE_SIZE; ++i)
            SetByte(AC49X_HCRF_DATA_AREA + static_cast<U32>(i), static_cast<U8>(0xFF - i));
        response = HCRF_RESPONSE__TRACE_BUFFER;
        break;
    default: break;
    }
    SetByte(AC49X_HCRF_STATUS_REGISTER + 2, static_cast<U8>(response >> 8));
    SetByte(AC49X_HCRF_STATUS_REGISTER + 3, static_cast<U8>(response));
    SimBoard_Note("dsp_monitor command=%d response=%d", Byte(cmd + 3), response);
}

void Static_HostPortControl(std::uint16_t v)
{
    if (g_inReset) return;
    if (v == AC49X_HPC_START_KERNEL) {
        g_stage = Stage::Kernel;
        Static_SetBootStatus(1);
        SimBoard_Note("dsp_boot status=1");
    } else if (v == AC49X_HPC_PROGRAM_BLOCK_READY && g_stage == Stage::Kernel) {
        Static_SetBootStatus(Static_ProgramBlock());
    } else if (v == AC49X_HPC_RELEASE_WITHOUT_DOWNLOAD) {
        g_stage = Stage::Plain;
    } else if (v == AC49X_HPC_HCRF_INTERRUPT && g_stage == Stage::Running) {
        Static_Monitor();
    }
}

bool Static_In(U32 rel, U32 begin, U32 end) { return rel >= begin && rel < end; }

// What the DSP does when the host has written the word at address.
void Static_AfterWrite(std::uint32_t address)
{
    if ((address & ~1u) == 0) {
        Static_HostPortControl(g_hostPortControl);
        return;
    }
    if (g_stage != Stage::Running || address < kWindowBase) return;
    const U32 rel = (address - kWindowBase) & ~1u;
    if (rel == AC49X_DEVICE_CONTROL_REGISTER + 2) {
        if ((Byte(rel) & 0x80) && !g_faults.stuck) {
            g_netCell = Byte(AC49X_DEVICE_CONTROL_REGISTER);
            g_hostCell = Byte(AC49X_DEVICE_CONTROL_REGISTER + 1);
            SetByte(rel, static_cast<U8>(Byte(rel) & 0x7F));
        }
    } else if (Static_In(rel, AC49X_HOST_TX_RING, AC49X_HOST_TX_RING + 4 * 32)) {
        Static_ServiceTx(kHost);
    } else if (Static_In(rel, AC49X_NETWORK_TX_RING, AC49X_NETWORK_TX_RING + 4 * 90)) {
        Static_ServiceTx(kNet);
    } else if (Static_In(rel, AC49X_HOST_RX_RING, AC49X_HOST_RX_RING + 4 * 48)) {
        Static_ServiceRx(kHost);
    } else if (Static_In(rel, AC49X_NETWORK_RX_RING, AC49X_NETWORK_RX_RING + 4 * 131)) {
        Static_ServiceRx(kNet);
    }
}

std::uint16_t Static_Read(int device, std::uint32_t address)
{
    std::uint16_t* w = Static_Device0(device) ? Static_Word(address) : nullptr;
    return w ? *w : kNoDsp;
}

void Static_Write(int device, std::uint32_t address, std::uint16_t value)
{
    std::uint16_t* w = Static_Device0(device) ? Static_Word(address) : nullptr;
    if (!w) return;
    *w = value;
    Static_AfterWrite(address);
}

// A block's host buffer, or NULL (errno set) when the record does not name a usable one.
std::uint16_t* Static_Block(const DSP_ACCESS_MSG_T& rec)
{
    auto* buffer = static_cast<std::uint16_t*>(HostBuffer_Find(rec.m_uBuffer));
    if (buffer == nullptr) errno = EFAULT;
    else if (rec.m_uCount > kWindowWords) errno = EINVAL, buffer = nullptr;
    return buffer;
}

// ---- control commands ----
std::size_t Static_Reply(char* reply, std::size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
std::size_t Static_Reply(char* reply, std::size_t size, const char* format, ...)
{
    if (reply == nullptr || size == 0) return 0;
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(reply, size, format, ap);
    va_end(ap);
    return n < 0 ? 0 : std::min(static_cast<std::size_t>(n), size - 1);
}

int Static_Hex(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char* Static_Fault(std::string_view args)
{
    std::string_view kind = SimBoard_Word(args);
    std::string_view a1 = SimBoard_Word(args), a2 = SimBoard_Word(args);
    int n = 0, op = -1;
    if (kind == "none") g_faults = Faults{};
    else if (kind == "checksum") g_faults.checksum = true;
    else if (kind == "stuck") g_faults.stuck = true;
    else if (kind == "stall") {
        if (!a1.empty() && !SimBoard_Number(a1, n)) return "stall takes a number of requests";
        g_faults.stall = true;
        g_faults.stallUntil = a1.empty() ? 0 : g_requests + static_cast<std::uint64_t>(n);
    }
    else if (kind == "noecho" || kind == "shortecho") {
        if (!a1.empty() && !SimBoard_Number(a1, op)) return "bad opcode";
        g_faults.echo = kind == "noecho" ? EchoFault::NoEcho : EchoFault::ShortEcho;
        g_faults.echoOpcode = a1.empty() ? -1 : op;
    } else if (kind == "syserror") {
        if (!SimBoard_Number(a1, n) || n > 255) return "syserror takes an index 0..255";
        if (!a2.empty() && !SimBoard_Number(a2, op)) return "bad opcode";
        g_faults.echo = EchoFault::SysError;
        g_faults.sysErrorIndex = n;
        g_faults.echoOpcode = a2.empty() ? -1 : op;
    } else if (kind == "corrupt") {
        const std::string_view kinds[] = {"", "sync", "long", "huge", "window", "short"};
        for (int k = 1; k <= kShort; ++k)
            if (a1 == kinds[k]) g_faults.corrupt = k;
        if (g_faults.corrupt == 0) return "corrupt takes sync, long, huge, window or short";
        if (g_stage != Stage::Running) {
            g_faults.corrupt = 0;
            return "the DSP is not running";
        }
        // A probe packet carries the corruption; it is the next to reach the host.
        U8 p[16] = {};
        Static_EventHeader(p, 0, STATUS_OR_EVENT_PACKET_OP_CODE__DEVICE_STATUS, 0);
        Static_Enqueue(kHost, p, sizeof p, g_faults.corrupt);
        g_faults.corrupt = 0;
        Static_ServiceRx(kHost);
    } else {
        return "unknown fault";
    }
    if (!g_faults.stall) {
        Static_ServiceTx(kHost);
        Static_ServiceTx(kNet);
    }
    return "";
}

// "raw HEX": a whole packet for the host exactly as given, however malformed its body.
const char* Static_RawEvent(std::string_view hex)
{
    U8 p[kQueueBytes];
    if (hex.empty() || hex.size() % 2 || hex.size() / 2 > sizeof p) return "raw takes up to 1536 hexadecimal bytes";
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (Static_Hex(hex[i]) < 0 || Static_Hex(hex[i + 1]) < 0) return "raw takes hexadecimal bytes";
        p[i / 2] = static_cast<U8>(Static_Hex(hex[i]) << 4 | Static_Hex(hex[i + 1]));
    }
    Static_Enqueue(kHost, p, static_cast<int>(hex.size() / 2));
    Static_ServiceRx(kHost);
    return "";
}

const char* Static_EventCommand(std::string_view args)
{
    if (g_stage != Stage::Running) return "the DSP is not running";
    std::string_view rest = args;
    if (SimBoard_Word(rest) == "raw") return Static_RawEvent(SimBoard_Word(rest));
    int ch = 0, v = 0, level = 0;
    if (!SimBoard_Number(SimBoard_Word(args), ch) || ch > 255) return "bad channel";
    std::string_view kind = SimBoard_Word(args);
    std::string_view a1 = SimBoard_Word(args), a2 = SimBoard_Word(args);
    if (!a2.empty() && kind != "cid" && kind != "digits" && !SimBoard_Number(a2, level)) return "bad level";
    U8 p[24 + 64] = {};
    int len = 16;
    if (kind == "digits") {
        if (ch >= kChannels) return "bad channel";
        SimChannel& c = g_chn[static_cast<std::size_t>(ch)];
        int gap = 100;
        if (!a2.empty() && (!SimBoard_Number(a2, gap) || gap < 1)) return "bad gap";
        if (a1.empty() || static_cast<int>(a1.size()) > static_cast<int>(c.digits.size()) - c.digitCount)
            return "digits takes 1..64 of 0-9, *, #, A-D";
        for (char d : a1)
            if (!((d >= '0' && d <= '9') || d == '*' || d == '#' || (d >= 'A' && d <= 'D')))
                return "digits takes 1..64 of 0-9, *, #, A-D";
        for (char d : a1) {
            const int v = d == '*' ? 10 : d == '#' ? 11 : d >= 'A' ? 12 + (d - 'A') : d - '0';
            c.digits[static_cast<std::size_t>((c.digitHead + c.digitCount) % static_cast<int>(c.digits.size()))] =
                static_cast<U8>(v);
            ++c.digitCount;
        }
        c.digitGapMs = gap;
        if (c.digitCount == static_cast<int>(a1.size())) c.nextDigitUs = Static_NowUs();
        return "";
    }
    if (kind == "dtmf") {
        if (!SimBoard_Number(a1, v) || v > 15) return "digit or tone 0..15";
        Static_Dtmf(ch, v, level);
        Static_ServiceRx(kHost);
        Static_ServiceRx(kNet);
        return "";
    }
    if (kind == "tone") {
        if (!SimBoard_Number(a1, v) || v > 15) return "digit or tone 0..15";
        Static_EventHeader(p, ch, STATUS_OR_EVENT_PACKET_OP_CODE__IBS_EVENT, 0);
        p[13] = static_cast<U8>(v << 4 | IBS_SYSTEM_CODE__CALL_PROGRESS_0_TO_15);
        p[15] = static_cast<U8>(level);
    } else if (kind == "cid") {
        if (a1.empty() || a1.size() > 64) return "cid takes a number of 1..64 characters";
        std::string_view date = a2.empty() ? std::string_view("01010000") : a2;
        if (date.size() != 8) return "date is MMDDhhmm";
        Static_EventHeader(p, ch, STATUS_OR_EVENT_PACKET_OP_CODE__CALLER_ID, 0);
        p[13] = 1;
        p[15] = static_cast<U8>(a1.size() + 8);
        std::memcpy(p + 16, date.data(), 8);
        std::memcpy(p + 24, a1.data(), a1.size());
        len = 24 + static_cast<int>(a1.size());
    } else if (kind == "syserror") {
        if (!SimBoard_Number(a1, v) || v > 255) return "syserror takes an index 0..255";
        Static_EventHeader(p, ch, STATUS_OR_EVENT_PACKET_OP_CODE__SYSTEM_ERROR_EVENT, v);
    } else {
        return "event takes dtmf, digits, tone, cid or syserror";
    }
    Static_Enqueue(kHost, p, len);
    Static_ServiceRx(kHost);
    return "";
}

void Static_CloseCapture(int ch)
{
    std::FILE*& f = g_capture[static_cast<std::size_t>(ch)];
    if (f) std::fclose(f);
    f = nullptr;
}

// "capture FILE|off": FILE is a path under the board root; ".." may not climb out of it.
const char* Static_Capture(int ch, std::string_view file)
{
    if (file.empty()) return "capture takes a file or off";
    Static_CloseCapture(ch);
    if (file == "off") return "";
    // Without a scratch board root the path would land in the machine's own file system.
    if (board_root().empty()) return "capture needs a board root";
    std::string_view rest = file;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        if (rest.substr(0, slash) == "..") return "capture file must stay under the board root";
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    std::string abs = "/";
    abs += file[0] == '/' ? file.substr(1) : file;
    g_capture[static_cast<std::size_t>(ch)] = std::fopen(board_path(abs).c_str(), "ab");
    return g_capture[static_cast<std::size_t>(ch)] ? "" : "cannot open the capture file";
}

std::size_t Static_Chan(std::string_view args, char* reply, std::size_t size)
{
    int ch = 0;
    if (!SimBoard_Number(SimBoard_Word(args), ch) || ch >= kChannels) return Static_Reply(reply, size, "error: bad channel");
    SimChannel& c = g_chn[static_cast<std::size_t>(ch)];
    std::string_view what = SimBoard_Word(args);
    if (what == "source") {
        std::string_view s = SimBoard_Word(args);
        if (s == "silence") c.source = kSilence;
        else if (s == "tone") c.source = kTone;
        else if (s == "loop") c.source = kLoop;
        else return Static_Reply(reply, size, "error: source is silence, tone or loop");
        return Static_Reply(reply, size, "ok");
    }
    if (what == "inject") {
        std::string_view hex = SimBoard_Word(args);
        if (hex.empty() || hex.size() % 2) return Static_Reply(reply, size, "error: inject takes hexadecimal bytes");
        for (std::size_t i = 0; i < hex.size(); i += 2)
            if (Static_Hex(hex[i]) < 0 || Static_Hex(hex[i + 1]) < 0)
                return Static_Reply(reply, size, "error: inject takes hexadecimal bytes");
        for (std::size_t i = 0; i < hex.size() && c.injectCount < static_cast<int>(c.inject.size()); i += 2) {
            c.inject[static_cast<std::size_t>((c.injectHead + c.injectCount) % static_cast<int>(c.inject.size()))] =
                static_cast<U8>(Static_Hex(hex[i]) << 4 | Static_Hex(hex[i + 1]));
            ++c.injectCount;
        }
        c.source = kInject;
        return Static_Reply(reply, size, "ok");
    }
    if (what == "capture") {
        const char* why = Static_Capture(ch, SimBoard_Word(args));
        return *why ? Static_Reply(reply, size, "error: %s", why) : Static_Reply(reply, size, "ok");
    }
    if (!what.empty()) return Static_Reply(reply, size, "error: chan takes source, inject or capture");
    const char* sources[] = {"silence", "tone", "loop", "inject"};
    return Static_Reply(reply, size,
                        "open=%d rtp=%d pt=%d frame=%d in_gain=%d out_gain=%d tone=%d rx=%llu rx_bytes=%llu "
                        "last_seq=%d samples=%llu peak=%d ptt=%d tx=%llu source=%s tone_sig=%d voice=%d rx_pt=%d "
                        "decoder=%d dtmf_mode=%d rfc2833_pt=%d wrong_pt=%llu events=%llu refused=%llu",
                        c.open, c.rtp, c.pt, c.frameMs, c.inGain, c.outGain, c.toneEndUs != 0,
                        static_cast<unsigned long long>(c.rx), static_cast<unsigned long long>(c.rxBytes), c.lastSeq,
                        static_cast<unsigned long long>(c.samples), c.peak, c.ptt,
                        static_cast<unsigned long long>(c.tx), sources[c.source], c.toneSig, c.voice ? 1 : 0, c.rxPt,
                        c.decoder, c.dtmfMode, c.tx2833, static_cast<unsigned long long>(c.wrongPt),
                        static_cast<unsigned long long>(c.events2833), static_cast<unsigned long long>(c.refused));
}
}  // namespace

void SimDsp_Clear()
{
    g_memory.fill(0);
    g_hostPortControl = 0;
    g_present = true;
    g_inReset = false;
    g_stage = Stage::Plain;
    g_faults = Faults{};
    g_trace = 0;
    g_requests = 0;
    g_advanceUs = 0;
    g_lastTickUs = 0;
    g_chn = {};
    g_openedChannels = 0;
    for (int ch = 0; ch < kChannels; ++ch) Static_CloseCapture(ch);
    for (int m = 0; m < 2; ++m) {
        g_out[m].head = g_out[m].count = 0;
        g_out[m].dropped = 0;
        g_join[m] = Join{};
    }
}

void SimDsp_SetPresent(bool present)
{
    g_present = present;
    if (!present) g_stage = Stage::Plain;
}

int SimDsp_Request(unsigned nr, DSP_ACCESS_MSG_T& rec)
{
    ++g_requests;
    if (g_faults.stall && g_faults.stallUntil != 0 && g_requests >= g_faults.stallUntil) {
        g_faults.stall = false;
        Static_ServiceTx(kHost);
        Static_ServiceTx(kNet);
    }
    Static_Tick();
    const std::uint32_t a = rec.m_uAddress;
    const int dev = rec.m_iDevice;
    switch (nr) {
    case E_DSP_BYTE_WRITE: {
        std::uint16_t w = Static_Read(dev, a);
        std::uint16_t b = rec.m_uValue & 0xFF;
        Static_Write(dev, a, (a & 1) ? static_cast<std::uint16_t>((w & 0xFF00) | b)
                                     : static_cast<std::uint16_t>((w & 0x00FF) | (b << 8)));
        return 0;
    }
    case E_DSP_BYTE_READ: {
        std::uint16_t w = Static_Read(dev, a);
        rec.m_uValue = (a & 1) ? (w & 0xFF) : (w >> 8);
        return 0;
    }
    case E_DSP_SHORT_WRITE:
        Static_Write(dev, a, static_cast<std::uint16_t>(rec.m_uValue));
        return 0;
    case E_DSP_SHORT_READ:
        rec.m_uValue = Static_Read(dev, a);
        return 0;
    case E_DSP_LONG_WRITE:  // the DSP keeps the most significant half first
        Static_Write(dev, a, static_cast<std::uint16_t>(rec.m_uValue >> 16));
        Static_Write(dev, a + 2, static_cast<std::uint16_t>(rec.m_uValue));
        return 0;
    case E_DSP_LONG_READ:
        rec.m_uValue = (std::uint32_t{Static_Read(dev, a)} << 16) | Static_Read(dev, a + 2);
        return 0;
    case E_DSP_RESET:
        if (dev == 0) {
            g_inReset = rec.m_uValue != 0;
            if (g_inReset) g_stage = Stage::Plain;
        }
        SimBoard_Note("dsp_reset device=%d on=%d", dev, rec.m_uValue != 0 ? 1 : 0);
        return 0;
    case E_DSP_SHORT_BLOCK_WRITE: {
        const std::uint16_t* buffer = Static_Block(rec);
        if (buffer == nullptr) return -1;
        for (std::uint32_t i = 0; i < rec.m_uCount; ++i) Static_Write(dev, rec.m_uBlockAddress + 2 * i, buffer[i]);
        return 0;
    }
    case E_DSP_SHORT_BLOCK_READ: {
        std::uint16_t* buffer = Static_Block(rec);
        if (buffer == nullptr) return -1;
        for (std::uint32_t i = 0; i < rec.m_uCount; ++i) buffer[i] = Static_Read(dev, rec.m_uBlockAddress + 2 * i);
        return 0;
    }
    default:
        errno = ENOTTY;
        return -1;
    }
}

bool SimDsp_Handles(std::string_view verb)
{
    return verb == "fault" || verb == "event" || verb == "chan" || verb == "counter" || verb == "trace" ||
           verb == "advance";
}

std::size_t SimDsp_Command(std::string_view verb, std::string_view args, char* reply, std::size_t reply_size)
{
    const char* why = "";
    if (verb == "fault") why = Static_Fault(args);
    else if (verb == "event") why = Static_EventCommand(args);
    else if (verb == "chan") return Static_Chan(args, reply, reply_size);
    else if (verb == "counter") return Static_Reply(reply, reply_size, "requests=%llu", static_cast<unsigned long long>(g_requests));
    else if (verb == "trace") {
        std::string_view m = SimBoard_Word(args);
        if (m == "off") g_trace = 0;
        else if (m == "host") g_trace = 1;
        else if (m == "all") g_trace = 2;
        else why = "trace takes off, host or all";
    } else if (verb == "advance") {
        int ms = 0;
        if (!SimBoard_Number(SimBoard_Word(args), ms)) why = "advance takes milliseconds";
        else g_advanceUs += std::int64_t{ms} * 1000;
    }
    if (*why) return Static_Reply(reply, reply_size, "error: %s", why);
    return Static_Reply(reply, reply_size, "ok");
}

std::uint16_t SimDsp_Peek(std::uint32_t address)
{
    std::uint16_t* w = Static_Word(address);
    return w ? *w : kNoDsp;
}

std::uint64_t SimDsp_Requests() { return g_requests; }
