#include "AC49xDrv_Api.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "AC49xDrv_UserDefinedFunctions.h"

// ======================================================================================
// Host port
// ======================================================================================

U8 acHcrfIntEntry[8] = {};
U32 ac49xHcrfCommandRegisterAddress[AC49X_NUMBER_OF_DEVICES] = {};
U32 ac49xHcrfStatusRegisterAddress[AC49X_NUMBER_OF_DEVICES] = {};
namespace {
U8 ac49xDeviceControlRegister[AC49X_NUMBER_OF_DEVICES][4] = {};

bool Static_Device(int device) { return device >= 0 && device < AC49X_NUMBER_OF_DEVICES; }

U32 Static_Address(int device, U32 address) { return ac49xUserDef_HpiPhysicalAddress[device] + address; }
}  // namespace

int Ac49xWriteBlock(int device, U32 address, const U8* buffer, int byteCount)
{
    if (!Static_Device(device) || buffer == nullptr) return -1;
    // Each pair goes to IO_WriteShort as the host reads it (little-endian), whose swap hands
    // the board driver buffer[i] as the word's high byte.
    int r = 0;
    int i = 0;
    for (; i < byteCount - 1; i += 2)
        r = IO_WriteShort(Static_Address(device, address + static_cast<U32>(i)),
                          static_cast<U16>(buffer[i] | buffer[i + 1] << 8), device);
    if (i < byteCount)  // the odd last byte goes out as a whole word, its partner 0
        r = IO_WriteShort(Static_Address(device, address + static_cast<U32>(i)), buffer[i], device);
    return r;
}

int Ac49xReadBlock(int device, U32 address, U8* buffer, int byteCount)
{
    if (!Static_Device(device) || buffer == nullptr) return -1;
    for (int i = 0; i < byteCount; i += 2) {
        U16 w = IO_ReadShort(Static_Address(device, address + static_cast<U32>(i)), device);
        buffer[i] = static_cast<U8>(w);
        if (i + 1 < byteCount) buffer[i + 1] = static_cast<U8>(w >> 8);
    }
    return 0;
}

int Ac49xWrite4Bytes(int device, U32 address, const U8* buffer) { return Ac49xWriteBlock(device, address, buffer, 4); }
int Ac49xRead4Bytes(int device, U32 address, U8* buffer) { return Ac49xReadBlock(device, address, buffer, 4); }

int Ac49xDeviceSetControlRegister(int device, const Tac49xDeviceControlRegisterAttr* attr)
{
    if (!Static_Device(device) || attr == nullptr) return AC49X_ERROR__CONTROL_REGISTER_NOT_TAKEN;
    U8* copy = ac49xDeviceControlRegister[device];
    copy[0] = attr->NetworkCellSize;
    copy[1] = attr->HostCellSize;
    copy[2] = static_cast<U8>((copy[2] & 0x1F) | (attr->Reset & 1) << 7 | (attr->HostDebug & 1) << 6 |
                              (attr->NetworkDebug & 1) << 5);
    Ac49xWrite4Bytes(device, AC49X_DEVICE_CONTROL_REGISTER, copy);
    for (int i = 0; i < AC49X_CONTROL_REGISTER_POLLS; ++i) {
        Ac49xUserDef_DelayForDeviceResponse();
        Ac49xRead4Bytes(device, AC49X_DEVICE_CONTROL_REGISTER, copy);
        if ((copy[2] & 0x80) == 0) break;
    }
    return (copy[2] & 0x80) ? AC49X_ERROR__CONTROL_REGISTER_NOT_TAKEN : 0;
}

const U8* Ac49xDeviceControlRegisterCopy(int device)
{
    return Static_Device(device) ? ac49xDeviceControlRegister[device] : nullptr;
}

void Ac49xHcrfSetHostControlRegisterAddresses()
{
    for (int d = 0; d < AC49X_NUMBER_OF_DEVICES; ++d) {
        ac49xHcrfCommandRegisterAddress[d] = AC49X_HCRF_COMMAND_REGISTER;
        ac49xHcrfStatusRegisterAddress[d] = AC49X_HCRF_STATUS_REGISTER;
    }
}

void Ac49xSetDefaultDeviceControlRegisterAttr(Tac49xDeviceControlRegisterAttr* attr)
{
    attr->NetworkCellSize = 56;
    attr->HostCellSize = 44;
    attr->Reset = CONTROL__ENABLE;
    attr->HostDebug = CONTROL__DISABLE;
    attr->NetworkDebug = CONTROL__DISABLE;
}

void Ac49xDeviceInitHPI(int) {}

U32 Ac49xHpiAccessTimingTest(int device, U32 begin, U32 byteCount)
{
    for (U32 a = begin; a < begin + byteCount; a += 4) {
        U8 v[4] = {static_cast<U8>(a >> 24), static_cast<U8>(a >> 16), static_cast<U8>(a >> 8), static_cast<U8>(a)};
        Ac49xWrite4Bytes(device, a, v);
    }
    for (U32 a = begin; a < begin + byteCount; a += 4) {
        U8 v[4] = {};
        Ac49xRead4Bytes(device, a, v);
        if ((U32{v[0]} << 24 | U32{v[1]} << 16 | U32{v[2]} << 8 | v[3]) != a) return a;
    }
    return 0;
}

U32 Ac49xHpiAccessForXaramTimingTest(int device)
{
    for (U32 b = 0; b < 7; ++b)
        if (U32 bad = Ac49xHpiAccessTimingTest(device, 0x2000 + b * 0x2000, 0x2000)) return bad;
    for (U32 b = 0; b < 32; ++b)
        if (U32 bad = Ac49xHpiAccessTimingTest(device, 0x10000 + b * 0x2000, 0x2000)) return bad;
    return 0;
}

int Ac49xByteOrderingTest(int device)
{
    const U8 first[2] = {0x20, 0x00}, second[2] = {0x00, 0x20};
    U8 back1[2] = {}, back2[2] = {};
    Ac49xUserDef_VoppReset(device, 1);
    Ac49xUserDef_VoppReset(device, 0);
    Ac49xWriteBlock(device, AC49X_HOST_PORT_CONTROL, first, 2);
    Ac49xReadBlock(device, AC49X_HOST_PORT_CONTROL, back1, 2);
    Ac49xUserDef_VoppReset(device, 1);
    Ac49xUserDef_VoppReset(device, 0);
    Ac49xWriteBlock(device, AC49X_HOST_PORT_CONTROL, second, 2);
    Ac49xReadBlock(device, AC49X_HOST_PORT_CONTROL, back2, 2);
    auto zero = [](const U8* b) { return b[0] == 0 && b[1] == 0; };
    auto same = [](const U8* a, const U8* b) { return a[0] == b[0] && a[1] == b[1]; };
    if (zero(back1) && same(back2, second)) return 0;
    if (same(back1, first) && zero(back2)) return 1;
    return 2;
}

// ======================================================================================
// Packet transport
// ======================================================================================

Tac49xPacketRecording _49xPacketRecording = {};

namespace {
int ac49xHostBufferDescriptorCurrentIndex[AC49X_NUMBER_OF_DEVICES][2] = {};     // transmit, receive
int ac49xNetworkBufferDescriptorCurrentIndex[AC49X_NUMBER_OF_DEVICES][2] = {};  // transmit, receive
Tac49xFifo<Tac49xHostFifoCell> ac49xHostFifo[AC49X_NUMBER_OF_DEVICES];
Tac49xFifo<Tac49xNetworkFifoCell> ac49xNetFifo[AC49X_NUMBER_OF_DEVICES];
int ac49xDeviceChannels[AC49X_NUMBER_OF_DEVICES] = {};

constexpr int kTx = 0;
constexpr int kRx = 1;

// One ring of a medium with its window, in the terms the walks need.
struct Ring {
    U32 ring;
    U32 windowBegin, windowEnd;
    int length;  // descriptors the driver may address
    int* index;  // the driver's current index into it
    int cellMax;  // the largest cell the FIFO can hold
};

Ring Static_TxRing(int device, int medium)
{
    if (medium == TRANSFER_MEDIUM__HOST)
        return {AC49X_HOST_TX_RING, AC49X_HOST_TX_WINDOW_BEGIN, AC49X_HOST_TX_WINDOW_END, AC49X_HOST_RING_LENGTH,
                &ac49xHostBufferDescriptorCurrentIndex[device][kTx], AC49X_HOST_CELL_DATA};
    return {AC49X_NETWORK_TX_RING, AC49X_NETWORK_TX_WINDOW_BEGIN, AC49X_NETWORK_TX_WINDOW_END,
            AC49X_NETWORK_RING_LENGTH, &ac49xNetworkBufferDescriptorCurrentIndex[device][kTx], AC49X_NETWORK_CELL_DATA};
}

Ring Static_RxRing(int device, int medium)
{
    if (medium == TRANSFER_MEDIUM__HOST)
        return {AC49X_HOST_RX_RING, AC49X_HOST_RX_WINDOW_BEGIN, AC49X_HOST_RX_WINDOW_END, AC49X_HOST_RING_LENGTH,
                &ac49xHostBufferDescriptorCurrentIndex[device][kRx], AC49X_HOST_CELL_DATA};
    return {AC49X_NETWORK_RX_RING, AC49X_NETWORK_RX_WINDOW_BEGIN, AC49X_NETWORK_RX_WINDOW_END,
            AC49X_NETWORK_RING_LENGTH, &ac49xNetworkBufferDescriptorCurrentIndex[device][kRx], AC49X_NETWORK_CELL_DATA};
}

// A FIFO seen through one interface whatever its cell size.
struct FifoView {
    U16* write;
    U16* read;
    U16* resident;
    U16* maxUsage;
    int cellData;
    int* more(int i) const { return host ? &h->Cells[i].More : &n->Cells[i].More; }
    U8* length(int i) const { return host ? h->Cells[i].Length : n->Cells[i].Length; }
    U8* data(int i) const { return host ? h->Cells[i].Data : n->Cells[i].Data; }
    bool host;
    Tac49xFifo<Tac49xHostFifoCell>* h;
    Tac49xFifo<Tac49xNetworkFifoCell>* n;
};

FifoView Static_Fifo(int device, int medium)
{
    if (medium == TRANSFER_MEDIUM__HOST) {
        auto& f = ac49xHostFifo[device];
        return {&f.WriteIndex, &f.ReadIndex, &f.ResidentCells, &f.MaxUsage, AC49X_HOST_CELL_DATA, true, &f, nullptr};
    }
    auto& f = ac49xNetFifo[device];
    return {&f.WriteIndex, &f.ReadIndex, &f.ResidentCells, &f.MaxUsage, AC49X_NETWORK_CELL_DATA, false, nullptr, &f};
}

int Static_CellLength(const FifoView& f, int i) { return f.length(i)[0] | f.length(i)[1] << 8; }

struct Descriptor {
    U8 b[4];
    bool empty() const { return b[0] & AC49X_BD_EMPTY; }
    bool last() const { return b[0] & AC49X_BD_LAST; }
    int length() const { return (b[0] & 0x1F) << 8 | b[1]; }
    U32 address() const { return 2u * (U32{b[2]} << 8 | b[3]); }
};

// The descriptors of one transmit walk and what the check found.
struct Walk {
    std::array<Descriptor, AC49X_NETWORK_RING_LENGTH> d;
    std::array<int, AC49X_NETWORK_RING_LENGTH> index;
    int count = 0;
    int next = 0;  // the transmit index after the walk
};

constexpr int kRingBusy = -2;

// The index after i: 0 after the last descriptor, and 0 as well at the end of the ring the
// driver knows, whatever the DSP left in the last bit.
int Static_NextIndex(const Ring& r, int i, const Descriptor& d) { return d.last() || i + 1 >= r.length ? 0 : i + 1; }

// Examines the count descriptors a packet needs, from the transmit index, before anything is
// written: 0 when every one is free and its buffer takes its cell inside the window;
// kRingBusy when one still holds data; 3 when the walk comes round to its first index or
// the packet needs more descriptors than the ring has; 4133 or 4135 for an index or a buffer
// the DSP put outside its ring or window. lengths gives each cell's byte count.
int Static_CheckWalk(int device, const Ring& r, int count, const int* lengths, Walk& w)
{
    if (count > r.length) return AC49X_RESULT__PACKET_LONGER_THAN_RING;
    const int first = *r.index;
    int i = first;
    for (int k = 0; k < count; ++k) {
        if (i < 0 || i >= r.length) return AC49X_ERROR__TX_INDEX;
        if (k > 0 && i == first) return AC49X_RESULT__PACKET_LONGER_THAN_RING;
        Descriptor& d = w.d[static_cast<std::size_t>(k)];
        Ac49xRead4Bytes(device, r.ring + 4u * static_cast<U32>(i), d.b);
        if (!d.empty()) return kRingBusy;
        U32 a = d.address();
        if (a < r.windowBegin || a + static_cast<U32>(lengths[k]) > r.windowEnd) return AC49X_ERROR__TX_WINDOW;
        w.index[static_cast<std::size_t>(k)] = i;
        i = Static_NextIndex(r, i, d);
    }
    w.count = count;
    w.next = i;
    return 0;
}

// Hands over the cells of a checked walk; cell(k) gives the bytes of cell k.
template <class CellFn>
void Static_WriteWalk(int device, const Ring& r, Walk& w, const int* lengths, CellFn cell)
{
    for (int k = 0; k < w.count; ++k) {
        Descriptor& d = w.d[static_cast<std::size_t>(k)];
        const int len = lengths[k];
        Ac49xWriteBlock(device, d.address(), cell(k), len);
        d.b[0] = static_cast<U8>((d.b[0] & AC49X_BD_LAST) | (k + 1 < w.count ? AC49X_BD_MORE : 0) | ((len >> 8) & 0x1F));
        d.b[1] = static_cast<U8>(len);
        Ac49xWrite4Bytes(device, r.ring + 4u * static_cast<U32>(w.index[static_cast<std::size_t>(k)]), d.b);
    }
    *r.index = w.next;
}

int Static_Record(int device, U8* packet, int size, Tac49xPacketDirection direction)
{
    return _49xPacketRecording.Add ? _49xPacketRecording.Add(device, packet, size, direction) : 2;
}

// The usable cell size of a medium, or 0: a cell size the FIFO cannot hold (a DSP that is
// not set up reads 0, a missing one 0xFF) must never divide a packet.
int Static_CellSize(int device, int medium)
{
    const U8* copy = ac49xDeviceControlRegister[device];
    int cell = medium == TRANSFER_MEDIUM__HOST ? copy[1] : copy[0];
    int max = medium == TRANSFER_MEDIUM__HOST ? AC49X_HOST_CELL_DATA : AC49X_NETWORK_CELL_DATA;
    return cell >= 1 && cell <= max ? cell : 0;
}

// Cells of the oldest queued packet, or 0 when the FIFO holds no whole packet.
int Static_HeadPacketCells(const FifoView& f)
{
    int i = *f.read;
    for (int k = 1; k <= *f.resident; ++k) {
        if (*f.more(i) == 0) return k;
        i = (i + 1) % AC49X_FIFO_CELLS;
    }
    return 0;
}

void Static_Dequeue(const FifoView& f, int cells)
{
    *f.read = static_cast<U16>((*f.read + cells) % AC49X_FIFO_CELLS);
    *f.resident = static_cast<U16>(*f.resident - cells);
}

// Moves whole queued packets into the ring, oldest first, while it takes them. A packet the
// ring can never take (longer than the ring, or a descriptor outside its ring or window) is
// dropped with a console line rather than blocking every packet behind it.
int Static_Drain(int device, int medium)
{
    FifoView f = Static_Fifo(device, medium);
    Ring r = Static_TxRing(device, medium);
    static Walk w;
    while (*f.resident > 0) {
        int cells = Static_HeadPacketCells(f);
        if (cells == 0) {  // cannot happen: packets are queued whole
            std::printf("[Ac49xDrainFifo]-- device[%d] medium[%d]: partial packet dropped\n", device, medium);
            Static_Dequeue(f, *f.resident);
            break;
        }
        std::array<int, AC49X_NETWORK_RING_LENGTH> lengths{};
        for (int k = 0; k < std::min(cells, AC49X_NETWORK_RING_LENGTH); ++k)
            lengths[static_cast<std::size_t>(k)] = Static_CellLength(f, (*f.read + k) % AC49X_FIFO_CELLS);
        int c = Static_CheckWalk(device, r, cells, lengths.data(), w);
        if (c == kRingBusy) break;
        if (c == 0) {
            const int head = *f.read;
            Static_WriteWalk(device, r, w, lengths.data(), [&](int k) { return f.data((head + k) % AC49X_FIFO_CELLS); });
        } else {
            std::printf("[Ac49xDrainFifo]-- device[%d] medium[%d]: queued packet of %d cells dropped, error %d\n", device,
                        medium, cells, c);
        }
        Static_Dequeue(f, cells);
    }
    return *f.resident;
}
}  // namespace

int Ac49xGetResidentCellNumber(int device, int medium)
{
    if (!Static_Device(device) || medium < 0 || medium > 1) return 0;
    FifoView f = Static_Fifo(device, medium);
    if (*f.resident > *f.maxUsage) *f.maxUsage = *f.resident;
    return *f.resident;
}

int Ac49xEnqueueCell(int device, int medium, const U8* data, int length, int more)
{
    if (!Static_Device(device) || medium < 0 || medium > 1 || data == nullptr) return 1;
    FifoView f = Static_Fifo(device, medium);
    if (*f.resident >= AC49X_FIFO_CELLS) return 1;
    length = std::clamp(length, 0, f.cellData);
    const int i = *f.write;
    *f.more(i) = more;
    f.length(i)[0] = static_cast<U8>(length);
    f.length(i)[1] = static_cast<U8>(length >> 8);
    std::memcpy(f.data(i), data, static_cast<std::size_t>(length));
    *f.write = static_cast<U16>((i + 1) % AC49X_FIFO_CELLS);
    ++*f.resident;
    return 0;
}

void Ac49xDeviceInitFifo(int device)
{
    if (!Static_Device(device)) return;
    for (int medium = 0; medium < 2; ++medium) {
        Ac49xUserDef_CriticalSection_EnterFifo(device, medium);
        FifoView f = Static_Fifo(device, medium);
        *f.write = *f.read = *f.resident = *f.maxUsage = 0;
        Ac49xUserDef_CriticalSection_LeaveFifo(device, medium);
    }
}

void Ac49xInitFifo()
{
    for (int d = 0; d < AC49X_NUMBER_OF_DEVICES; ++d) Ac49xDeviceInitFifo(d);
}

void Ac49xResetDeviceBufferDescriptors(int device)
{
    if (!Static_Device(device)) return;
    for (int k = 0; k < 2; ++k)
        ac49xHostBufferDescriptorCurrentIndex[device][k] = ac49xNetworkBufferDescriptorCurrentIndex[device][k] = 0;
}

void Ac49xResetBufferDescriptors()
{
    for (int d = 0; d < AC49X_NUMBER_OF_DEVICES; ++d) Ac49xResetDeviceBufferDescriptors(d);
}

void Ac49xSetDebugMode(int mode)
{
    for (auto& copy : ac49xDeviceControlRegister)
        copy[2] = static_cast<U8>((copy[2] & ~0x60) | (mode & 1) << 6 | (mode & 1) << 5);
}

void Ac49xResetMaxUsage()
{
    for (int d = 0; d < AC49X_NUMBER_OF_DEVICES; ++d) ac49xHostFifo[d].MaxUsage = ac49xNetFifo[d].MaxUsage = 0;
}

float Ac49xGetMaxUsage(int device, int medium)
{
    if (!Static_Device(device) || medium < 0 || medium > 1) return 0;
    return static_cast<float>(*Static_Fifo(device, medium).maxUsage) / AC49X_FIFO_CELLS;
}

int Ac49xTransmitCell(int device, int medium)
{
    if (!Static_Device(device) || medium < 0 || medium > 1) return AC49X_ERROR__TX_INDEX;
    FifoView f = Static_Fifo(device, medium);
    if (*f.resident == 0) return 2;
    Ring r = Static_TxRing(device, medium);
    static Walk w;
    int len = Static_CellLength(f, *f.read);
    int c = Static_CheckWalk(device, r, 1, &len, w);
    if (c == kRingBusy) return AC49X_ERROR__TX_DESCRIPTOR_NOT_EMPTY;
    if (c != 0) return c;
    const int head = *f.read;
    Static_WriteWalk(device, r, w, &len, [&](int) { return f.data(head); });
    // A cell handed over alone carries its own more flag: the DSP joins it to the next one.
    if (*f.more(head)) {
        Descriptor& d = w.d[0];
        d.b[0] |= AC49X_BD_MORE;
        Ac49xWrite4Bytes(device, r.ring + 4u * static_cast<U32>(w.index[0]), d.b);
    }
    return 0;
}

int Ac49xDequeueAndTransmitCell(int device, int medium)
{
    if (!Static_Device(device) || medium < 0 || medium > 1) return 2;
    FifoView f = Static_Fifo(device, medium);
    if (*f.resident == 0) return 2;
    if (Ac49xTransmitCell(device, medium) == AC49X_ERROR__TX_DESCRIPTOR_NOT_EMPTY) return 3;
    Static_Dequeue(f, 1);
    return 0;
}

int Ac49xDrainFifo(int device, int medium)
{
    if (!Static_Device(device) || medium < 0 || medium > 1) return 0;
    Ac49xUserDef_CriticalSection_EnterHpi(device);
    Ac49xUserDef_CriticalSection_EnterFifo(device, medium);
    int left = Static_Drain(device, medium);
    Ac49xUserDef_CriticalSection_LeaveFifo(device, medium);
    Ac49xUserDef_CriticalSection_LeaveHpi(device);
    return left;
}

int Ac49xFifoFlush(int device, int medium, int maxTries)
{
    for (int i = 0; i < maxTries; ++i) {
        if (Ac49xDrainFifo(device, medium) == 0) return 0;
        Ac49xUserDef_DelayForDeviceResponse();
    }
    return Ac49xGetResidentCellNumber(device, medium);
}

void Ac49xResetDriver()
{
    Ac49xResetBufferDescriptors();
    Ac49xInitFifo();
}

int Ac49xTransmitPacket(Tac49xTxPacketParams* p)
{
    if (p == nullptr || p->pOutPacket == nullptr || !Static_Device(p->Device) || p->PacketSize < AC49X_HPI_HEADER_SIZE)
        return AC49X_ERROR__TX_INDEX;
    const int device = p->Device;
    U8* pkt = p->pOutPacket;
    pkt[3] = static_cast<U8>((pkt[3] & 0xC0) | (p->Protocol & 0x3F));
    pkt[1] = static_cast<U8>(p->Channel);
    pkt[0] = static_cast<U8>((pkt[0] & 0x0F) | AC49X_SYNC5 << 5 | (p->UdpChecksumIncluded & 1) << 4);
    pkt[2] = static_cast<U8>((pkt[2] & 0x7F) | (p->FavoriteStream & 1) << 7);

    const int medium = p->TransferMedium == TRANSFER_MEDIUM__HOST ? TRANSFER_MEDIUM__HOST : TRANSFER_MEDIUM__NETWORK;
    Ring r = Static_TxRing(device, medium);
    const int cell = Static_CellSize(device, medium);
    p->BufferDescriptorCurrentIndex = *r.index;
    if (cell == 0) return AC49X_ERROR__DEVICE_NOT_SET_UP;
    const int cells = (p->PacketSize + cell - 1) / cell;
    std::array<int, AC49X_NETWORK_RING_LENGTH> lengths{};
    for (int k = 0; k < std::min(cells, AC49X_NETWORK_RING_LENGTH); ++k)
        lengths[static_cast<std::size_t>(k)] = std::min(cell, p->PacketSize - k * cell);
    auto cellBytes = [&](int k) { return pkt + k * cell; };
    static Walk w;

    if (p->TransferMedium != TRANSFER_MEDIUM__HOST && p->TransferMedium != TRANSFER_MEDIUM__NETWORK) {
        // No FIFO behind this medium: a busy ring is the caller's to retry.
        Ac49xUserDef_CriticalSection_EnterHpi(device);
        int c = Static_CheckWalk(device, r, cells, lengths.data(), w);
        if (c == 0) Static_WriteWalk(device, r, w, lengths.data(), cellBytes);
        Ac49xUserDef_CriticalSection_LeaveHpi(device);
        if (c == kRingBusy || c == AC49X_RESULT__PACKET_LONGER_THAN_RING) return AC49X_ERROR__TX_DESCRIPTOR_NOT_EMPTY;
        if (c != 0) return c;
        Static_Record(device, pkt, p->PacketSize, PACKET_DIRECTION__TX);
        return 0;
    }

    Ac49xUserDef_CriticalSection_EnterHpi(device);
    Ac49xUserDef_CriticalSection_EnterFifo(device, medium);
    // What waits in the FIFO goes first, so packets reach the DSP in the order they were sent.
    int queued = Static_Drain(device, medium);
    int c = kRingBusy;
    if (queued == 0) {
        c = Static_CheckWalk(device, r, cells, lengths.data(), w);
        if (c != 0 && c != kRingBusy) {
            p->BufferDescriptorCurrentIndex = *r.index;
            Ac49xUserDef_CriticalSection_LeaveFifo(device, medium);
            Ac49xUserDef_CriticalSection_LeaveHpi(device);
            return c;
        }
    }
    if (c == kRingBusy) {
        FifoView f = Static_Fifo(device, medium);
        // Queued whole or not at all: a packet cut short in the FIFO would join the next one.
        if (cells > r.length || cells > AC49X_FIFO_CELLS - Ac49xGetResidentCellNumber(device, medium)) {
            p->BufferDescriptorCurrentIndex = *r.index;
            Ac49xUserDef_CriticalSection_LeaveFifo(device, medium);
            Ac49xUserDef_CriticalSection_LeaveHpi(device);
            return cells > r.length ? AC49X_RESULT__PACKET_LONGER_THAN_RING : AC49X_RESULT__FIFO_FULL;
        }
        for (int k = 0; k < cells; ++k)
            Ac49xEnqueueCell(device, medium, cellBytes(k), lengths[static_cast<std::size_t>(k)], k + 1 < cells);
        Ac49xGetResidentCellNumber(device, medium);
        (void)f;
        Ac49xUserDef_CriticalSection_LeaveFifo(device, medium);
        Static_Record(device, pkt, p->PacketSize, PACKET_DIRECTION__TX);
        Ac49xUserDef_CriticalSection_LeaveHpi(device);
        return 0;
    }
    Ac49xUserDef_CriticalSection_LeaveFifo(device, medium);
    Static_WriteWalk(device, r, w, lengths.data(), cellBytes);
    Static_Record(device, pkt, p->PacketSize, PACKET_DIRECTION__TX);
    Ac49xUserDef_CriticalSection_LeaveHpi(device);
    return 0;
}

namespace {
void Static_Release(int device, const Ring& r, int index, Descriptor d)
{
    d.b[0] |= AC49X_BD_EMPTY;
    Ac49xWrite4Bytes(device, r.ring + 4u * static_cast<U32>(index), d.b);
}

// A received packet the driver will not hand over, and why; 0 for a good one.
int Static_CheckReceived(int device, int medium, const Ring& r, const Descriptor& d, Tac49xRxPacketParams* p)
{
    const int len = d.length();
    const U32 a = d.address();
    if (len > AC49X_RX_LENGTH_LIMIT) return AC49X_ERROR__RX_LENGTH;
    if (len > AC49X_RX_PACKET_MAX) {
        std::printf("[Ac49xReceivePacket]-- pRxPacketParams->PacketSize[%d], MaxSize[3800]\n", len);
        return AC49X_ERROR__RX_LENGTH;
    }
    if (len < AC49X_HPI_HEADER_SIZE) return AC49X_ERROR__RX_LENGTH;
    if (medium == TRANSFER_MEDIUM__NETWORK && len - AC49X_HPI_HEADER_SIZE > AC49X_NETWORK_RX_PAYLOAD_MAX)
        return AC49X_ERROR__RX_LENGTH;
    if (a < r.windowBegin || a + static_cast<U32>(len) > r.windowEnd) return AC49X_ERROR__RX_WINDOW;
    Ac49xReadBlock(device, a, p->pInPacket, len);
    if ((p->pInPacket[0] >> 5) != AC49X_SYNC5) return AC49X_ERROR__BAD_SYNC;
    const int channels = ac49xDeviceChannels[device];
    if (channels > 0 && p->pInPacket[1] >= channels) return AC49X_ERROR__RX_CHANNEL_OUT_OF_RANGE;
    return 0;
}
}  // namespace

int Ac49xReceivePacket(Tac49xRxPacketParams* p)
{
    if (p == nullptr || p->pInPacket == nullptr || !Static_Device(p->Device)) return AC49X_ERROR__RX_INDEX;
    const int device = p->Device;
    const int medium = p->TransferMedium == TRANSFER_MEDIUM__HOST ? TRANSFER_MEDIUM__HOST : TRANSFER_MEDIUM__NETWORK;
    Ring r = Static_RxRing(device, medium);
    Ac49xUserDef_CriticalSection_EnterHpi(device);
    const int index = *r.index;
    p->BufferDescriptorCurrentIndex = index;
    p->Channel = -1;
    if (index < 0 || index >= r.length) {
        *r.index = 0;  // the index is ours; a bad one can only be put right
        Ac49xUserDef_CriticalSection_LeaveHpi(device);
        return AC49X_ERROR__RX_INDEX;
    }
    Descriptor d;
    Ac49xRead4Bytes(device, r.ring + 4u * static_cast<U32>(index), d.b);
    if (d.empty()) {
        Ac49xUserDef_CriticalSection_LeaveHpi(device);
        return AC49X_ERROR__NO_PACKET;
    }
    p->PacketSize = d.length();
    p->PayloadSize = d.length() - AC49X_HPI_HEADER_SIZE;
    p->PacketAddress = d.address();
    const int bad = Static_CheckReceived(device, medium, r, d, p);
    *r.index = Static_NextIndex(r, index, d);
    // A malformed descriptor is handed back to the DSP and passed over: left in place it
    // would be examined again at every call and hold up every packet behind it.
    Static_Release(device, r, index, d);
    if (bad != 0) {
        std::printf("[Ac49xReceivePacket]-- device[%d] medium[%d] descriptor[%d] length[%d] address[0x%x]: error %d, "
                    "skipped\n",
                    device, medium, index, p->PacketSize, static_cast<unsigned>(p->PacketAddress), bad);
        Ac49xUserDef_CriticalSection_LeaveHpi(device);
        return bad;
    }
    p->Protocol = static_cast<Tac49xProtocol>(p->pInPacket[3] & 0x3F);
    p->Channel = p->pInPacket[1];
    Static_Record(device, p->pInPacket, p->PacketSize, PACKET_DIRECTION__RX);
    Ac49xUserDef_CriticalSection_LeaveHpi(device);
    return 0;
}

int Ac49xCheckRxPacketReady(int device, int medium)
{
    if (!Static_Device(device)) return AC49X_ERROR__RX_NOT_READY;
    Ring r = Static_RxRing(device, medium == TRANSFER_MEDIUM__HOST ? TRANSFER_MEDIUM__HOST : TRANSFER_MEDIUM__NETWORK);
    int index = *r.index;
    if (index < 0 || index >= r.length) return AC49X_ERROR__RX_NOT_READY;
    Descriptor d;
    Ac49xRead4Bytes(device, r.ring + 4u * static_cast<U32>(index), d.b);
    return d.empty() ? AC49X_ERROR__RX_NOT_READY : 0;
}

int Ac49xReleaseRxPacket(int device, int index, int medium)
{
    if (!Static_Device(device)) return AC49X_ERROR__NO_PACKET;
    Ring r = Static_RxRing(device, medium == TRANSFER_MEDIUM__HOST ? TRANSFER_MEDIUM__HOST : TRANSFER_MEDIUM__NETWORK);
    if (index < 0 || index >= r.length) return AC49X_ERROR__RX_INDEX;
    Descriptor d;
    Ac49xRead4Bytes(device, r.ring + 4u * static_cast<U32>(index), d.b);
    if (d.empty()) return AC49X_ERROR__NO_PACKET;
    Static_Release(device, r, index, d);
    return 0;
}

namespace {
void Static_RecordingInitialize() { _49xPacketRecording.Callback = nullptr; }
void Static_RecordingFinalize() {}
int Static_RecordingAdd(int device, U8* packet, int size, Tac49xPacketDirection direction)
{
    if (_49xPacketRecording.Callback == nullptr) return 2;
    if (size > AC49X_RECORDING_SIZE_LIMIT) return 1;
    _49xPacketRecording.Callback(device, packet, size, direction);
    return 0;
}
}  // namespace

void Ac49xInitializePacketRecording(Tac49xPacketRecordingCallback callback) { _49xPacketRecording.Callback = callback; }

int Ac49xDeviceChannelCount(int device) { return Static_Device(device) ? ac49xDeviceChannels[device] : 0; }

// ======================================================================================
// Boot, firmware download and device set-up
// ======================================================================================

int Ac49xInitDriver(int debugMode)
{
    Ac49xUserDef_InitUserDefSection();
    Ac49xResetBufferDescriptors();
    // No device is set up after a driver start: no cell sizes until its control register is
    // written again.
    for (auto& copy : ac49xDeviceControlRegister) copy[0] = copy[1] = 0;
    Ac49xSetDebugMode(debugMode);
    Ac49xHcrfSetHostControlRegisterAddresses();
    Ac49xInitFifo();
    for (int& c : ac49xDeviceChannels) c = 0;
    _49xPacketRecording.Initialize = Static_RecordingInitialize;
    _49xPacketRecording.Finalize = Static_RecordingFinalize;
    _49xPacketRecording.Add = Static_RecordingAdd;
    _49xPacketRecording.Initialize();
    return 0;
}

namespace {
U32 Static_Be32(const U8* p) { return U32{p[0]} << 24 | U32{p[1]} << 16 | U32{p[2]} << 8 | p[3]; }
std::size_t Static_Be16(const U8* p) { return std::size_t{p[0]} << 8 | p[1]; }

void Static_WriteWord(int device, U32 address, U16 value)
{
    const U8 b[2] = {static_cast<U8>(value >> 8), static_cast<U8>(value)};
    Ac49xWriteBlock(device, address, b, 2);
}

void Static_PulseReset(int device)
{
    Ac49xUserDef_VoppReset(device, 1);
    Ac49xUserDef_DelayForDeviceResponse();
    Ac49xUserDef_VoppReset(device, 0);
}

// Reads the boot status register until its second byte satisfies done, at most 2000 times.
void Static_PollBootStatus(int device, U8 status[2], bool (*done)(U8))
{
    for (int i = 0; i < AC49X_BOOT_STATUS_POLLS; ++i) {
        Ac49xReadBlock(device, AC49X_BOOT_STATUS_REGISTER, status, 2);
        if (done(status[1])) return;
        Ac49xUserDef_DelayForDeviceResponse();
    }
}
}  // namespace

int Ac49xKernelDownLoad(int device, const U8* blocks, std::size_t size)
{
    if (!Static_Device(device) || blocks == nullptr) return PROGRAM_DOWNLOAD_STATUS__NULL_BOOT_BLOCK;
    Static_PulseReset(device);
    std::size_t at = 0;
    for (;;) {
        if (size - at < AC49X_KERNEL_BLOCK_HEADER_SIZE) return PROGRAM_DOWNLOAD_STATUS__TRUNCATED_IMAGE;
        const U32 head = Static_Be32(blocks + at);
        const std::size_t bytes = 2 * Static_Be16(blocks + at + 4);
        if (size - at - AC49X_KERNEL_BLOCK_HEADER_SIZE < bytes) return PROGRAM_DOWNLOAD_STATUS__TRUNCATED_IMAGE;
        Ac49xWriteBlock(device, 2 * (head & 0x7FFFFFFF), blocks + at + AC49X_KERNEL_BLOCK_HEADER_SIZE,
                        static_cast<int>(bytes));
        at += AC49X_KERNEL_BLOCK_HEADER_SIZE + bytes;
        if (head & 0x80000000u) break;
    }
    Static_WriteWord(device, AC49X_BOOT_STATUS_REGISTER, 0x0000);
    Static_WriteWord(device, AC49X_HOST_PORT_CONTROL, AC49X_HPC_START_KERNEL);
    return 0;
}

int Ac49xProgramDownLoad(int device, const U8* blocks, std::size_t size)
{
    if (!Static_Device(device) || blocks == nullptr) return PROGRAM_DOWNLOAD_STATUS__NULL_BOOT_BLOCK;
    U8 status[2] = {};
    Static_PollBootStatus(device, status, [](U8 s) { return s == 1; });
    if (status[1] != 1) return status[1];
    std::size_t at = 0;
    for (;;) {
        if (size - at < AC49X_PROGRAM_BLOCK_HEADER_SIZE) return PROGRAM_DOWNLOAD_STATUS__TRUNCATED_IMAGE;
        const bool last = blocks[at] & 0x80;
        const std::size_t bytes = 2 * (Static_Be16(blocks + at + 4) + 4);
        if (size - at < bytes) return PROGRAM_DOWNLOAD_STATUS__TRUNCATED_IMAGE;
        Ac49xWriteBlock(device, AC49X_PROGRAM_BLOCK_ADDRESS, blocks + at, static_cast<int>(bytes));
        const U8 handshake[2] = {status[0], 0};
        Ac49xWriteBlock(device, AC49X_BOOT_STATUS_REGISTER, handshake, 2);
        Static_WriteWord(device, AC49X_HOST_PORT_CONTROL, AC49X_HPC_PROGRAM_BLOCK_READY);
        Static_PollBootStatus(device, status, [](U8 s) { return s != 0; });
        if (status[1] != 1) return status[1];
        at += bytes;
        if (last) break;
    }
    Ac49xReadBlock(device, AC49X_HCRF_INT_ENTRY, acHcrfIntEntry, sizeof acHcrfIntEntry);
    return PROGRAM_DOWNLOAD_STATUS__BOOT_STATUS_REGISTER_SUCCESS;
}

int Ac49xResetAndRelease(int device)
{
    if (!Static_Device(device)) return PROGRAM_DOWNLOAD_STATUS__NULL_BOOT_BLOCK;
    Static_PulseReset(device);
    Static_WriteWord(device, AC49X_HOST_PORT_CONTROL, AC49X_HPC_RELEASE_WITHOUT_DOWNLOAD);
    return PROGRAM_DOWNLOAD_STATUS__NULL_BOOT_BLOCK;
}

int Ac49xBoot(int device, const U8* programImage, std::size_t programSize, const U8* kernelImage,
              std::size_t kernelSize)
{
    if (kernelImage != nullptr) {
        if (kernelSize < AC49X_IMAGE_HEADER_SIZE) return PROGRAM_DOWNLOAD_STATUS__TRUNCATED_IMAGE;
        int k = Ac49xKernelDownLoad(device, kernelImage + AC49X_IMAGE_HEADER_SIZE, kernelSize - AC49X_IMAGE_HEADER_SIZE);
        if (k != 0) return k;
    }
    if (programImage == nullptr) return Ac49xResetAndRelease(device);
    if (programSize < AC49X_IMAGE_HEADER_SIZE) return PROGRAM_DOWNLOAD_STATUS__TRUNCATED_IMAGE;
    return Ac49xProgramDownLoad(device, programImage + AC49X_IMAGE_HEADER_SIZE, programSize - AC49X_IMAGE_HEADER_SIZE);
}

void Ac49xGetDriverVersionInfo(U8* info)
{
    if (info == nullptr) return;
    std::memset(info, 0, AC49X_DRIVER_VERSION_INFO_SIZE);
    const char* texts[] = {"600", "02", "10.08.2009"};
    for (int i = 0; i < 3; ++i) std::memcpy(info + 32 * i, texts[i], std::strlen(texts[i]));
}

int Ac49xEmifTest(int device, const U8* programImage, std::size_t programSize, const U8* kernelImage,
                  std::size_t kernelSize)
{
    const int status = Ac49xBoot(device, programImage, programSize, kernelImage, kernelSize);
    std::printf("[ProgramDownloadStatus]-- %d\n", status);
    if (status == PROGRAM_DOWNLOAD_STATUS__BOOT_STATUS_REGISTER_SUCCESS) {
        std::printf("11111111111\n");
        return 1;
    }
    if (status == PROGRAM_DOWNLOAD_STATUS__EMIF_TEST_FAILED) {
        std::printf("333333333333\n");
        return 2;
    }
    std::printf("222222222222\n");
    return 0;
}

// ---- packet building ----
namespace {
// Writes v, masked to the field, into bits hi..lo of one byte.
void Put(U8* p, int byte, int hi, int lo, long long v)
{
    const int width = hi - lo + 1;
    const U8 mask = static_cast<U8>(((1u << width) - 1) << lo);
    p[byte] = static_cast<U8>((p[byte] & ~mask) | ((static_cast<unsigned>(v) << lo) & mask));
}

// Writes v, masked to width bits, most significant byte first, ending at bit 0 of byte last.
void Wide(U8* p, int first, int last, int width, long long v)
{
    unsigned long long u = static_cast<unsigned long long>(v) & ((1ull << width) - 1);
    for (int b = last; b >= first; --b, u >>= 8) p[b] = static_cast<U8>(p[b] | (u & 0xFF));
}

void Static_Proprietary(U8* p, int opcode, int category, int format = 0)
{
    Put(p, 4, 7, 4, format);
    p[5] = static_cast<U8>((opcode & 0x3F) << 2 | (category & 3));
}

int Static_Send(int device, int channel, U8* packet, int size)
{
    Tac49xTxPacketParams tx{};
    tx.Device = device;
    tx.Channel = channel;
    tx.Protocol = PROTOCOL__PROPRIETARY;
    tx.TransferMedium = TRANSFER_MEDIUM__HOST;
    tx.pOutPacket = packet;
    tx.PacketSize = size;
    tx.UdpChecksumIncluded = CONTROL__DISABLE;
    tx.FavoriteStream = CONTROL__DISABLE;
    return Ac49xTransmitPacket(&tx);
}

// Sends a device configuration packet and checks its echo.
int Static_SendConfiguration(int device, U8* packet, int size)
{
    Static_Send(device, 0, packet, size);
    return Ac49xCheckInitStateConfigurationEcho(device, packet, size);
}

U8 Packet[AC49X_HPI_PACKET_SIZE];  // the shared command buffer
}  // namespace

int Ac49xCheckInitStateConfigurationEcho(int device, const U8* sent, int sentSize)
{
    // The set-up's packets must all have left the FIFO before an echo can be looked for;
    // the wait is bounded and moves them on itself.
    for (int i = 0;; ++i) {
        if (Ac49xDrainFifo(device, TRANSFER_MEDIUM__HOST) == 0) break;
        if (i >= AC49X_ECHO_POLLS) return AC49X_ERROR__NO_CONFIGURATION_ECHO;
        Ac49xUserDef_DelayForHostResponse();
    }
    int polls = 0;
    while (Ac49xCheckRxPacketReady(device, TRANSFER_MEDIUM__HOST) != 0) {
        if (++polls >= AC49X_ECHO_POLLS) return AC49X_ERROR__NO_CONFIGURATION_ECHO;
        Ac49xUserDef_DelayForDeviceResponse();
    }
    static U8 echo[AC49X_RX_PACKET_MAX];
    Tac49xRxPacketParams rx{};
    rx.Device = device;
    rx.TransferMedium = TRANSFER_MEDIUM__HOST;
    rx.pInPacket = echo;
    int r = Ac49xReceivePacket(&rx);
    if (r != 0 && r != 4123) return r;
    const int category = echo[5] & 3, opcode = echo[5] >> 2;
    if (category == PACKET_CATEGORY__DEVICE_CONFIGURATION_PACKET && opcode == (sent[5] >> 2)) {
        if (rx.PacketSize == sentSize && std::memcmp(echo, sent, static_cast<std::size_t>(sentSize)) == 0) return 0;
        return static_cast<int>(static_cast<U32>(r) | 0xFFFE8000u);
    }
    if (category == PACKET_CATEGORY__COMMAND_OR_STATUS_OR_EVENT_PACKET &&
        opcode == STATUS_OR_EVENT_PACKET_OP_CODE__SYSTEM_ERROR_EVENT && echo[1] == 0 && (echo[0] >> 5) == AC49X_SYNC5)
        return static_cast<int>(static_cast<U32>(r) | 0x8000u | U32{echo[11]} << 16);
    return static_cast<int>((static_cast<U32>(r) & 0x7FFFu) | 0xFFFF8000u);
}

int Ac49xCallProgressDeviceConfiguration(int device, const Tac49xCallProgressDeviceConfigurationAttr* a)
{
    U8 p[AC49X_CALL_PROGRESS_PACKET_SIZE] = {};
    Static_Proprietary(p, DEVICE_CONFIGURATION_OP_CODE__CALL_PROGRESS, PACKET_CATEGORY__DEVICE_CONFIGURATION_PACKET);
    Put(p, 6, 5, 0, a->NumberOfSignals);
    Put(p, 7, 5, 0, a->TotalEnergyThreshold);
    for (int i = 0; i < AC49X_CALL_PROGRESS_SIGNALS; ++i) {
        const Tac49xCallProgressSignalAttr& g = a->Signal[i];
        const int s = 8 + 28 * i;
        Put(p, s, 6, 5, g.Type);
        Wide(p, s, s + 1, 12, g.ToneAFrequency);
        Put(p, s + 2, 7, 4, g.TwistThreshold);
        Wide(p, s + 2, s + 3, 12, g.ToneB_OrAmpModulationFrequency);
        Wide(p, s + 4, s + 5, 12, g.ThirdToneOfTripleBatchDurationTypeFrequency);
        Put(p, s + 6, 5, 0, g.HighEnergyThreshold);
        Put(p, s + 7, 5, 0, g.LowEnergyThreshold);
        Put(p, s + 8, 6, 0, g.SignalToNoiseRatioThreshold);
        Put(p, s + 9, 5, 0, g.FrequencyDeviationThreshold);
        Put(p, s + 10, 5, 0, g.ToneBLevel);
        Put(p, s + 11, 5, 0, g.ToneALevel);
        Put(p, s + 12, 7, 2, g.AmFactor);
        Wide(p, s + 12, s + 13, 10, g.DetectionTimeOrCadenceFirstOnOrBurstDuration);
        Put(p, s + 14, 7, 7, g.CadenceVoiceAddedWhileFirstOff);
        Wide(p, s + 14, s + 15, 10, g.CadenceFirstOffDuration);
        Wide(p, s + 16, s + 17, 10, g.CadenceSecondOnDuration);
        Put(p, s + 18, 7, 7, g.CadenceVoiceAddedWhileSecondOff);
        Wide(p, s + 18, s + 19, 10, g.CadenceSecondOffDuration);
        Wide(p, s + 20, s + 21, 10, g.CadenceThirdOnDuration);
        Put(p, s + 22, 7, 7, g.CadenceVoiceAddedWhileThirdOff);
        Wide(p, s + 22, s + 23, 10, g.CadenceThirdOffDuration);
        Wide(p, s + 24, s + 25, 10, g.CadenceFourthOnDuration);
        Put(p, s + 26, 7, 7, g.CadenceVoiceAddedWhileFourthOff);
        Wide(p, s + 26, s + 27, 10, g.CadenceFourthOffDuration);
    }
    return Static_SendConfiguration(device, p, sizeof p);
}

int Ac49xUserDefinedTonesDeviceConfiguration(int device, const Tac49xUserDefinedTonesDeviceConfigurationAttr* a)
{
    U8 p[AC49X_USER_DEFINED_TONES_PACKET_SIZE] = {};
    Static_Proprietary(p, DEVICE_CONFIGURATION_OP_CODE__USER_DEFINED_TONES, PACKET_CATEGORY__DEVICE_CONFIGURATION_PACKET);
    Put(p, 6, 5, 0, a->NumberOfSignals);
    Put(p, 7, 5, 0, a->TotalEnergyThreshold);
    for (int i = 0; i < AC49X_CALL_PROGRESS_SIGNALS; ++i) {
        const Tac49xUserDefinedToneSignalAttr& g = a->Signal[i];
        const int s = 8 + 10 * i;
        Wide(p, s, s + 1, 12, g.ToneAFrequency);
        Put(p, s + 2, 7, 4, g.TwistThreshold);
        Wide(p, s + 2, s + 3, 12, g.ToneBFrequency);
        Put(p, s + 4, 5, 0, g.HighEnergyThreshold);
        Put(p, s + 5, 5, 0, g.LowEnergyThreshold);
        Put(p, s + 6, 5, 0, g.SignalToNoiseRatioThreshold);
        Put(p, s + 7, 5, 0, g.FrequencyDeviationThreshold);
        Put(p, s + 8, 5, 0, g.ToneBLevel);
        Put(p, s + 9, 5, 0, g.ToneALevel);
    }
    return Static_SendConfiguration(device, p, sizeof p);
}

int Ac49xAgcDeviceConfiguration(int device, const Tac49xAgcDeviceConfigurationAttr* a)
{
    U8 p[AC49X_AGC_PACKET_SIZE] = {};
    Static_Proprietary(p, DEVICE_CONFIGURATION_OP_CODE__AGC, PACKET_CATEGORY__DEVICE_CONFIGURATION_PACKET);
    Put(p, 6, 4, 0, a->MinGain);
    Put(p, 7, 4, 0, a->MaxGain);
    Put(p, 9, 4, 0, a->FastAdaptationGainSlope);
    Wide(p, 10, 11, 16, a->FastAdaptationDuration);
    Wide(p, 12, 13, 16, a->SilenceDuration);
    Wide(p, 14, 15, 16, a->DetectionDuration);
    Wide(p, 16, 17, 16, a->SignalingOverhang);
    return Static_SendConfiguration(device, p, sizeof p);
}

int Ac49xExtendedDeviceConfiguration(int device, const Tac49xExtendedDeviceConfigurationAttr* a)
{
    U8 p[AC49X_EXTENDED_PACKET_SIZE] = {};
    Static_Proprietary(p, DEVICE_CONFIGURATION_OP_CODE__EXTENDED, PACKET_CATEGORY__DEVICE_CONFIGURATION_PACKET);
    Put(p, 6, 7, 7, a->DebugUemClipEnable);
    const int byte8[] = {a->TextV8Jm, a->TextV8Cm, a->TextV8Ci, a->VxxV8Cm, a->VxxV8Ci};
    for (int i = 0; i < 5; ++i) Put(p, 8, 4 - i, 4 - i, byte8[i]);
    const int rows[3][8] = {
        {a->FaxV8Cm, a->FaxV8Ci, a->FaxDcn, a->Tty, a->Bell103AnswerTone, a->V21Channel1, a->V25CallingTone, a->StuModem},
        {a->V23ForwardChannel, a->V21Channel2Data, a->DataSessionVxx, a->RespondingDualToneV8Bis,
         a->InitiatingDualToneV8Bis, a->V22Usb1, a->V32Aa, a->VxxV8JmVxxData},
        {a->FaxV8JmV34, a->FaxV21PreambleFlags, a->AnswerToneAmReversals, a->AnswerToneAm, a->AnswerWithReversalsAns,
         a->AnswerTone2100FaxCedOrModemAns, a->CallingFaxToneCng, a->SilenceOrUnkown},
    };
    for (int r = 0; r < 3; ++r)
        for (int i = 0; i < 8; ++i) Put(p, 9 + r, 7 - i, 7 - i, rows[r][i]);
    Put(p, 12, 7, 7, a->MfcR1DetectionStandard);
    Put(p, 12, 4, 3, a->DtmfErasureSensitivity);
    Put(p, 12, 2, 0, a->DtmfFrequencyDeviation);
    Put(p, 13, 7, 4, a->DtmfStepRatio);
    Put(p, 13, 3, 0, a->DtmfStepDistance);
    return Static_SendConfiguration(device, p, sizeof p);
}

namespace {
// Bytes 6 to 23, which both open-device formats carry.
template <class Attr>
void Static_OpenDeviceCommon(U8* p, const Attr* a, int serialPortSelection, int connectedSlotEnable)
{
    const Tac49xDeviceCommonAttr& c = a->Common;
    Put(p, 6, 7, 7, a->JitterBufferStatusReportMode);
    Put(p, 6, 6, 6, connectedSlotEnable || serialPortSelection == 2 || serialPortSelection == 3);
    Put(p, 6, 5, 5, a->CasReversalsDetection);
    Put(p, 6, 4, 4, a->DeviceStatusPacketEnable);
    Put(p, 6, 3, 3, a->DebugInfoPacketEnable);
    Put(p, 6, 2, 0, c.BusSpeed);
    Put(p, 7, 7, 7, c.WatchdogEnable);
    Put(p, 7, 6, 6, serialPortSelection == 1 || serialPortSelection == 3);
    Put(p, 7, 5, 5, c.IpSecPortSelection);
    Put(p, 7, 4, 4, serialPortSelection == 2 || serialPortSelection == 3);
    Put(p, 7, 3, 1, a->DtmfSnr);
    Put(p, 7, 0, 0, c.PcmClkAndFrameSyncSource);
    Put(p, 8, 7, 6, c.LawSelect);
    Put(p, 8, 5, 4, a->CasMode);
    Put(p, 8, 3, 0, a->CasValueDuringIdle);
    Put(p, 9, 7, 0, a->PcmValueDuringIdle);
    Put(p, 10, 7, 0, c.UtopiaClockDetection);
    Put(p, 11, 7, 4, c.UtopiaCellSize);
    Put(p, 11, 3, 0, a->CasDebounce);
    Put(p, 12, 7, 6, c.PcmSerialPortRxTxDataDelay);
    Put(p, 12, 5, 5, c.CasBitsLocation);
    Put(p, 12, 4, 4, a->DtmfGenerationTwistDirection);
    Put(p, 12, 3, 0, a->DtmfGenerationTwist);
    Put(p, 13, 7, 7, c.Utopia16BitMode);
    Put(p, 13, 6, 6, a->UtopiaTestEnable);
    Put(p, 13, 5, 0, c.UtopiaLogicalSlaveId);
    Put(p, 14, 7, 0, a->DeviceStatusInterval);
    Put(p, 15, 7, 0, a->ErrorReportInterval);
    Put(p, 18, 5, 5, c.CpuClkOut);
    Put(p, 18, 2, 1, a->DtmfGap);
    Wide(p, 18, 19, 9, a->NumberOfChannels);
    Put(p, 20, 7, 0, c.PcmFrameSyncWidth);
    Put(p, 21, 7, 0, c.PcmClkDivideRatio);
    Put(p, 22, 7, 7, a->ModuleDebugPacketsTransferMethod);
    Put(p, 22, 4, 0, c.UtopiaPhysicalSlaveId);
    Put(p, 23, 2, 1, c.TdmInterfaceConfiguration);
    Put(p, 23, 0, 0, c.EventsPortType);
}

U8 g_openDevicePacket[AC49X_OPEN_DEVICE_FORMAT1_PACKET_BASE + 4 * AC49X_OPEN_DEVICE_MAX_CHANNELS];

int Static_OpenDeviceDone(int device, int channels, int echo)
{
    if (echo == 0 && Static_Device(device)) ac49xDeviceChannels[device] = channels;
    return echo;
}
}  // namespace

int Ac49xOpenDeviceConfiguration_Format0(int device, const Tac49xOpenDeviceConfigurationAttr* a)
{
    // The record holds 256 channel entries: a larger count would send what lies beyond it.
    if (a->NumberOfChannels < 0 || a->NumberOfChannels > AC49X_OPEN_DEVICE_MAX_CHANNELS) return -1;
    const int size = AC49X_OPEN_DEVICE_PACKET_BASE + 4 * a->NumberOfChannels;
    U8* p = g_openDevicePacket;
    std::memset(p, 0, static_cast<std::size_t>(size));
    Static_Proprietary(p, DEVICE_CONFIGURATION_OP_CODE__OPEN, PACKET_CATEGORY__DEVICE_CONFIGURATION_PACKET);
    Static_OpenDeviceCommon(p, a, a->SerialPortSelection, a->ConnectedSlotEnable);
    for (int i = 0; i < a->NumberOfChannels; ++i) {
        Wide(p, 24 + 4 * i, 25 + 4 * i, 9, a->Channel[i].Slot);
        Wide(p, 26 + 4 * i, 27 + 4 * i, 9, a->Channel[i].InterconnectedSlot);
    }
    return Static_OpenDeviceDone(device, a->NumberOfChannels, Static_SendConfiguration(device, p, size));
}

int Ac49xOpenDeviceConfiguration(int device, const Tac49xOpenDeviceConfigurationAttr* a)
{
    return Ac49xOpenDeviceConfiguration_Format0(device, a);
}

// Format 1 keeps the device fields of format 0 in bytes 6-23; then one byte per slot of the
// connected-slot flags (24-279) and of their serial port selections (280-535), the CAS and
// voice port selections (536, 537), and per channel i from 546 + 4i: PcmSlot (9 bits, ending
// at byte 1), CasSlot (byte 0 bits 7-1) and InterconnectedPcmSlot (9 bits, bytes 2-3).
int Ac49xOpenDeviceConfiguration_Format1(int device, const Tac49xOpenDeviceConfiguration_Format1Attr* a)
{
    if (a->NumberOfChannels < 0 || a->NumberOfChannels > AC49X_OPEN_DEVICE_MAX_CHANNELS) return -1;
    const int size = AC49X_OPEN_DEVICE_FORMAT1_PACKET_BASE + 4 * a->NumberOfChannels;
    U8* p = g_openDevicePacket;
    std::memset(p, 0, static_cast<std::size_t>(size));
    Static_Proprietary(p, DEVICE_CONFIGURATION_OP_CODE__OPEN, PACKET_CATEGORY__DEVICE_CONFIGURATION_PACKET, FORMAT__1);
    Static_OpenDeviceCommon(p, a, 0, 0);
    for (int i = 0; i < AC49X_OPEN_DEVICE_MAX_CHANNELS; ++i) {
        Put(p, 24 + i, 0, 0, a->ConnectedSlots[i]);
        Put(p, 280 + i, 0, 0, a->ConnectedSlotsSerialPortSelection[i]);
    }
    Put(p, 536, 1, 0, a->CasSerialPortSelection);
    Put(p, 537, 1, 0, a->VoiceSerialPortSelection);
    for (int i = 0; i < a->NumberOfChannels; ++i) {
        const int s = AC49X_OPEN_DEVICE_FORMAT1_PACKET_BASE + 4 * i;
        Wide(p, s, s + 1, 9, a->Channel[i].PcmSlot);
        Put(p, s, 7, 1, a->Channel[i].CasSlot);
        Wide(p, s + 2, s + 3, 9, a->Channel[i].InterconnectedPcmSlot);
    }
    return Static_OpenDeviceDone(device, a->NumberOfChannels, Static_SendConfiguration(device, p, size));
}

int Ac49xSetupDevice(int device, const Tac49xSetupDeviceAttr* a)
{
    if (Ac49xDeviceSetControlRegister(device, &a->DeviceControlRegister) != 0)
        return SETUP_DEVICE_STATUS__FAILED__DUE_TO_SET_DEVICE_CONTROL_REGISTER;
    if (Ac49xCallProgressDeviceConfiguration(device, &a->CallProgress) != 0)
        return SETUP_DEVICE_STATUS__FAILED__DUE_TO_CALL_PROGRESS_CONFIGURATION;
    if (Ac49xUserDefinedTonesDeviceConfiguration(device, &a->UserDefinedTones) != 0)
        return SETUP_DEVICE_STATUS__FAILED__DUE_TO_USER_DEFINED_TONES_CONFIGURATION;
    if (Ac49xAgcDeviceConfiguration(device, &a->Agc) != 0) return SETUP_DEVICE_STATUS__FAILED__DUE_TO_AGC_CONFIGURATION;
    if (Ac49xExtendedDeviceConfiguration(device, &a->Extended) != 0)
        return SETUP_DEVICE_STATUS__FAILED__DUE_TO_EXTENDED_CONFIGURATION;
    int open = 0;
    if (a->OpenDeviceFormat == FORMAT__0) open = Ac49xOpenDeviceConfiguration_Format0(device, &a->Open);
    else if (a->OpenDeviceFormat == FORMAT__1) open = Ac49xOpenDeviceConfiguration_Format1(device, &a->OpenFormat1);
    return open != 0 ? SETUP_DEVICE_STATUS__FAILED__DUE_TO_OPEN_CONFIGURATION : SETUP_DEVICE_STATUS__SUCCESS;
}

void Ac49xSetDefaultOpenDeviceConfiguration_Format0Attr(Tac49xOpenDeviceConfigurationAttr* a)
{
    *a = {};
    a->NumberOfChannels = 20;
    a->DeviceStatusPacketEnable = 1;
    a->PcmValueDuringIdle = 255;
    a->CasDebounce = 5;
    a->ErrorReportInterval = 10;
    a->DeviceStatusInterval = 80;
    a->DtmfSnr = 1;
    a->Common.WatchdogEnable = 1;
    a->Common.UtopiaCellSize = 3;
    a->Common.PcmSerialPortRxTxDataDelay = 1;
    a->Common.Utopia16BitMode = 1;
    for (int i = 0; i < 20; ++i) a->Channel[i] = {i, i};
}

void Ac49xSetDefaultOpenDeviceConfigurationAttr(Tac49xOpenDeviceConfigurationAttr* a)
{
    Ac49xSetDefaultOpenDeviceConfiguration_Format0Attr(a);
}

void Ac49xSetDefaultOpenDeviceConfiguration_Format1Attr(Tac49xOpenDeviceConfiguration_Format1Attr* a)
{
    *a = {};
    a->NumberOfChannels = 20;
    a->DeviceStatusPacketEnable = 1;
    a->PcmValueDuringIdle = 213;
    a->CasDebounce = 5;
    a->ErrorReportInterval = 10;
    a->DeviceStatusInterval = 10;
    a->DtmfSnr = 1;
    a->Common.WatchdogEnable = 1;
    a->Common.UtopiaCellSize = 3;
    a->Common.PcmSerialPortRxTxDataDelay = 1;
    a->Common.Utopia16BitMode = 1;
    a->CasSerialPortSelection = 1;
    for (int i = 0; i < 20; ++i) a->Channel[i] = {i, i, i + 20};
}

void Ac49xSetDefaultAgcDeviceConfigurationAttr(Tac49xAgcDeviceConfigurationAttr* a)
{
    *a = {20, 15, 19, 1500, 120, 15, 500};
}

void Ac49xSetDefaultExtendedDeviceConfigurationAttr(Tac49xExtendedDeviceConfigurationAttr* a)
{
    *a = {};
    int* detectors[] = {&a->TextV8Jm, &a->TextV8Cm, &a->TextV8Ci, &a->VxxV8Cm, &a->VxxV8Ci, &a->FaxV8Cm, &a->FaxV8Ci,
                        &a->FaxDcn, &a->Tty, &a->V21Channel1, &a->V25CallingTone, &a->StuModem,
                        &a->V23ForwardChannel, &a->V21Channel2Data, &a->DataSessionVxx, &a->RespondingDualToneV8Bis,
                        &a->InitiatingDualToneV8Bis, &a->V22Usb1, &a->V32Aa, &a->VxxV8JmVxxData, &a->FaxV8JmV34,
                        &a->FaxV21PreambleFlags, &a->AnswerToneAmReversals, &a->AnswerToneAm,
                        &a->AnswerWithReversalsAns, &a->AnswerTone2100FaxCedOrModemAns, &a->CallingFaxToneCng,
                        &a->SilenceOrUnkown};
    for (int* d : detectors) *d = 1;
}

void Ac49xSetDefaultUserDefinedTonesDeviceConfigurationAttr(Tac49xUserDefinedTonesDeviceConfigurationAttr* a)
{
    *a = {};
    a->TotalEnergyThreshold = 44;
}

void Ac49xSetDefaultCallProgressDeviceConfigurationAttr(Tac49xCallProgressDeviceConfigurationAttr* a)
{
    *a = {};
    a->NumberOfSignals = 15;
    a->TotalEnergyThreshold = 44;
    struct Row { int type, toneA, toneB, low, levelA, levelB, firstOn, firstOff; };
    static constexpr Row rows[15] = {
        {0, 350, 440, 35, 13, 13, 300, 0}, {0, 425, 0, 35, 10, 0, 300, 0},  {1, 440, 480, 35, 19, 19, 200, 400},
        {1, 480, 620, 35, 24, 24, 50, 50}, {1, 480, 620, 35, 24, 24, 25, 25}, {1, 400, 0, 35, 16, 0, 100, 300},
        {0, 440, 0, 35, 10, 0, 300, 0},    {1, 440, 0, 35, 24, 0, 24, 24},    {0, 950, 0, 22, 0, 0, 500, 50},
        {0, 450, 0, 22, 10, 0, 500, 0},    {1, 450, 0, 24, 10, 0, 35, 35},    {1, 450, 0, 24, 10, 0, 100, 400},
        {1, 450, 0, 24, 10, 0, 200, 200},  {1, 450, 0, 24, 20, 0, 200, 200},  {0, 450, 0, 22, 10, 0, 500, 0},
    };
    for (int i = 0; i < 15; ++i) {
        Tac49xCallProgressSignalAttr& s = a->Signal[i];
        s.Type = rows[i].type;
        s.ToneAFrequency = rows[i].toneA;
        s.ToneB_OrAmpModulationFrequency = rows[i].toneB;
        s.LowEnergyThreshold = rows[i].low;
        s.ToneALevel = rows[i].levelA;
        s.ToneBLevel = rows[i].levelB;
        s.DetectionTimeOrCadenceFirstOnOrBurstDuration = rows[i].firstOn;
        s.CadenceFirstOffDuration = rows[i].firstOff;
        s.TwistThreshold = 10;
        s.SignalToNoiseRatioThreshold = 15;
        s.FrequencyDeviationThreshold = 10;
    }
}

void Ac49xSetDefaultSetupDeviceAttr(Tac49xSetupDeviceAttr* a)
{
    *a = {};
    a->OpenDeviceFormat = FORMAT__0;
    Ac49xSetDefaultDeviceControlRegisterAttr(&a->DeviceControlRegister);
    Ac49xSetDefaultOpenDeviceConfiguration_Format0Attr(&a->Open);
    Ac49xSetDefaultOpenDeviceConfiguration_Format1Attr(&a->OpenFormat1);
    Ac49xSetDefaultAgcDeviceConfigurationAttr(&a->Agc);
    Ac49xSetDefaultExtendedDeviceConfigurationAttr(&a->Extended);
    Ac49xSetDefaultUserDefinedTonesDeviceConfigurationAttr(&a->UserDefinedTones);
    Ac49xSetDefaultCallProgressDeviceConfigurationAttr(&a->CallProgress);
}

// ======================================================================================
// Channel configuration and runtime commands
// ======================================================================================

namespace {
int Static_OpenOrUpdateChannelConfiguration(int opcode, int device, int channel,
                                            const Tac49xOpenOrUpdateChannelConfigurationAttr* a)
{
    U8 p[AC49X_OPEN_CHANNEL_PACKET_SIZE] = {};
    Static_Proprietary(p, opcode, PACKET_CATEGORY__CHANNEL_CONFIGURATION_PACKET);
    Put(p, 6, 7, 7, a->PcmSource);
    Put(p, 6, 6, 6, a->PacketToPacketMode);
    Put(p, 6, 5, 3, a->TdmMode);
    Put(p, 6, 2, 0, a->ChannelType);
    Put(p, 8, 7, 6, a->DtmfErasureMode);
    Put(p, 8, 5, 3, a->MfTransferMode);
    Put(p, 8, 2, 0, a->DtmfTransferMode);
    Put(p, 9, 7, 6, a->EchoCancelerNonLinearProcessor);
    Put(p, 9, 2, 0, a->PcmLimiter);
    Put(p, 10, 7, 6, a->HybridLoss);
    Put(p, 10, 5, 0, a->VoiceOutputGain);
    Put(p, 11, 7, 6, a->EchoCancelerMode);
    Put(p, 11, 5, 0, a->InputGain);
    Put(p, 12, 7, 7, a->CasRelay);
    Put(p, 12, 6, 4, a->TestMode);
    Put(p, 12, 3, 0, a->DynamicJitterBufferOptimizationFactor);
    Put(p, 13, 7, 7, a->DetectNetCasPackets);
    Put(p, 13, 6, 6, a->DetectNetIbsPackets);
    Put(p, 13, 5, 3, a->CallProgressTransferMode);
    Put(p, 13, 2, 2, a->DetectPcmCas);
    Put(p, 13, 1, 1, a->IgnoreNetIbsPackets);
    Put(p, 13, 0, 0, a->IgnoreNetCasPackets);
    Put(p, 14, 7, 7, a->TestFaxModem);
    Put(p, 14, 4, 4, a->DetectUserDefinedTones);
    Put(p, 14, 2, 2, a->DetectCallProgress);
    Put(p, 14, 1, 1, a->DetectDTMFRegister);
    Put(p, 14, 0, 0, a->Reserve_FX2);
    const int byte15[] = {a->Reserve_FX5, a->Reserve_FX4, a->Reserve_FX15, a->Reserve_FX1,
                          a->DetectMFR2BackwardRegister, a->DetectMFR2ForwardRegister, a->DetectMFSS5Register,
                          a->DetectMFR1Register};
    for (int i = 0; i < 8; ++i) Put(p, 15, 7 - i, 7 - i, byte15[i]);
    Put(p, 16, 7, 7, a->UdpChecksumEnable);
    Put(p, 16, 6, 6, a->IbsDetectionRedirection);
    Put(p, 16, 4, 0, a->IbsLevel_minus_dbm);
    Put(p, 17, 7, 7, a->LongDtmfDetectionEnable);
    Put(p, 17, 3, 0, a->FaxMaxRate);
    Put(p, 18, 7, 7, a->CallerIdOffHookService);
    Put(p, 18, 6, 6, a->CallerIdOnHookService);
    Put(p, 18, 3, 0, a->PcmSidSize);
    Put(p, 19, 5, 0, a->EchoCancelerLength);
    Put(p, 20, 7, 7, a->TriStateDuringIdle);
    Put(p, 20, 6, 6, a->CasModeDuringIdle);
    Put(p, 20, 5, 5, a->ActiveChannelPattern);
    Put(p, 20, 3, 0, a->CasValueDuringIdle);
    Put(p, 21, 7, 0, a->PcmValueDuringIdle);
    Put(p, 23, 3, 0, a->FaxAndCallerIdLevel);
    Put(p, 24, 7, 6, a->V34FaxTransferMethod);
    Put(p, 24, 5, 4, a->V34TransferMethod);
    Put(p, 24, 3, 2, a->V32TransferMethod);
    Put(p, 24, 1, 0, a->V23TransferMethod);
    Put(p, 25, 7, 6, a->V22TransferMethod);
    Put(p, 25, 5, 4, a->V21TransferMethod);
    Put(p, 25, 3, 2, a->Bell103TransferMethod);
    Put(p, 25, 1, 0, a->FaxTransferMethod);
    Put(p, 26, 7, 7, a->CedTransferMode);
    Put(p, 26, 5, 4, a->TtyTransferMethod);
    Put(p, 26, 3, 1, a->FaxProtocol);
    Put(p, 27, 5, 2, a->CallerIdStandard);
    Put(p, 27, 1, 1, a->FaxErrorCorrectionMode);
    Put(p, 27, 0, 0, a->CngRelayEnable);
    Put(p, 28, 7, 3, a->AgcSlowAdaptationGainSlope);
    Put(p, 29, 7, 7, a->AgcLocation);
    Put(p, 29, 6, 6, a->AgcEnable);
    Put(p, 29, 5, 0, a->AgcTargetEnergy);
    Put(p, 30, 7, 7, a->FaxAndDataStatusAndEventsDisable);
    Put(p, 32, 7, 7, a->VideoSynchronizationEnable);
    Wide(p, 32, 33, 9, a->VoiceJitterBufferMinDelay);
    Put(p, 34, 7, 7, a->AnswerDetectEnable);
    Put(p, 34, 6, 6, a->AnswerDetectDirection);
    Put(p, 34, 5, 5, a->AnswerDetectMode);
    Put(p, 34, 3, 1, a->AnswerDetectSensitivity);
    Wide(p, 34, 35, 9, a->VoiceJitterBufferMaxDelay);
    Put(p, 36, 7, 7, a->EchoCancelerDebugPackets);
    Put(p, 36, 6, 6, a->H324mDetectionEnable);
    return Static_Send(device, channel, p, sizeof p);
}

int Static_ActivateOrUpdateRtpChannelConfiguration(int opcode, int device, int channel,
                                                   const Tac49xActivateOrUpdateRtpChannelConfigurationAttr* a)
{
    U8 p[AC49X_RTP_ACTIVATE_PACKET_SIZE] = {};
    Static_Proprietary(p, opcode, PACKET_CATEGORY__CHANNEL_CONFIGURATION_PACKET);
    Put(p, 6, 7, 6, a->AmrActiveMode);
    Put(p, 6, 5, 5, a->DisableRtcpIntervalRandomization);
    Put(p, 6, 4, 4, a->AdpcmPayloadFormat);
    Put(p, 6, 2, 2, a->BrokenConnectionActivationMode);
    Put(p, 6, 1, 0, a->SilenceCompressionMode);
    Put(p, 7, 6, 5, a->IbsRedundancyLevel);
    Put(p, 7, 4, 3, a->RtpRedundancy);
    Put(p, 7, 2, 0, a->MediaProtectionMode);
    Put(p, 8, 7, 7, a->RxPayloadTypeSource);
    Put(p, 8, 6, 0, a->RxPayloadType);
    Put(p, 9, 7, 7, a->TxPayloadTypeSource);
    Put(p, 9, 6, 0, a->TxPayloadType);
    Wide(p, 10, 11, 16, a->TxSequenceNumber);
    Put(p, 12, 6, 0, a->FaxBypassPayloadType);
    Put(p, 13, 6, 0, a->DataBypassPayloadType);
    Wide(p, 14, 17, 32, a->RtpSynchronizingSource);
    Wide(p, 18, 21, 32, a->TxTimeStamp);
    Put(p, 22, 7, 7, a->PcmAdPcmComfortNoiseRtpPayloadTypeEnable);
    Put(p, 22, 6, 0, a->PcmAdPcmComfortNoiseRtpPayloadType);
    Put(p, 23, 7, 0, a->BypassCoder);
    Put(p, 24, 6, 0, a->TxVbdEventsRelayPayloadType);
    Put(p, 25, 7, 4, a->NumberOfVoiceBlocks_minus_1);
    Put(p, 25, 3, 0, a->NumberOfBypassBlocks_minus_1);
    Put(p, 26, 7, 0, a->DecoderPcmAdpcmFrameDuration);
    Put(p, 27, 7, 0, a->EncoderPcmAdpcmFrameDuration);
    Wide(p, 28, 29, 16, a->RtcpMeanTxInterval);
    Put(p, 30, 7, 0, a->Decoder);
    Put(p, 31, 7, 0, a->Encoder);
    Put(p, 32, 6, 0, a->TxSignalingRfc2833PayloadType);
    const int nameLength = std::clamp(a->RtpCanonicalNameStringLength, 0, AC49X_RTP_CANONICAL_NAME_MAX);
    Put(p, 33, 6, 0, nameLength);
    Wide(p, 34, 35, 16, a->BrokenConnectionEventTimeout_x20msec);
    Put(p, 36, 6, 0, a->RxSignalingRfc2833PayloadType);
    Put(p, 37, 6, 0, a->Rfc2198PayloadType);
    Put(p, 38, 6, 0, a->RxT38PayloadType);
    Put(p, 39, 6, 0, a->TxT38PayloadType);
    Put(p, 40, 7, 7, a->NoOperationEnable);
    Put(p, 40, 6, 0, a->NoOperationPayloadType);
    Wide(p, 42, 43, 15, a->NoOperationTimeout_x20msec);
    Put(p, 44, 7, 6, a->VbdEventsRelayType);
    Put(p, 44, 5, 5, a->BypassRedundancyType);
    Put(p, 44, 4, 4, a->PacketToPacketSequenceNumberMode);
    Put(p, 44, 3, 3, a->PacketToPacketSsrcMode);
    Put(p, 44, 2, 2, a->BlockNonePayloadType13);
    Put(p, 44, 1, 1, a->ReportErrorOnReceivedStreamEnable);
    Put(p, 45, 6, 0, a->PacketToPacketNoTranscodingPayloadType);
    Put(p, 46, 2, 2, a->TxFilterRtcp);
    Put(p, 46, 1, 1, a->TxFilterRfc2833);
    Put(p, 46, 0, 0, a->TxFilterRtp);
    Put(p, 47, 2, 2, a->RxFilterRtcp);
    Put(p, 47, 1, 1, a->RxFilterRfc2833);
    Put(p, 47, 0, 0, a->RxFilterRtp);
    Wide(p, 48, 49, 16, a->IbsRelayTransmissionTimeout);
    Put(p, 50, 7, 7, a->RtpSequenceNumberDetectionEnable);
    Put(p, 50, 5, 3, a->SseRedundancyDepth);
    Put(p, 50, 2, 1, a->ModemRelayHighAvailabilityOptions);
    Put(p, 50, 0, 0, a->AnswerToneOverRfc2833Enable);
    Put(p, 51, 3, 2, a->RtcpXrEventsMode);
    Put(p, 51, 1, 0, a->RtcpXrMode);
    Wide(p, 52, 53, 16, a->SequenceNumberForDetection);
    Put(p, 55, 6, 0, a->RxVbdEventsRelayPayloadType);
    std::memcpy(p + 64, a->RtpCanonicalName, static_cast<std::size_t>(nameLength));
    return Static_Send(device, channel, p, sizeof p);
}

int Static_CloseRtpChannelConfiguration(int opcode, int device, int channel,
                                        const Tac49xCloseRtpChannelConfigurationAttr* a)
{
    U8 p[AC49X_RTP_CLOSE_PACKET_SIZE] = {};
    Static_Proprietary(p, opcode, PACKET_CATEGORY__CHANNEL_CONFIGURATION_PACKET);
    Put(p, 6, 7, 7, a->SendRtcpByePacket);
    Put(p, 6, 6, 6, a->SendReason);
    const int length = std::clamp(a->ReasonMessageLength, 0, AC49X_LEAVING_REASON_MAX);
    p[8] = static_cast<U8>(length);
    std::memcpy(p + 9, a->LeavingReasonMessage, static_cast<std::size_t>(length));
    return Static_Send(device, channel, p, sizeof p);
}

// A header-only packet in the shared command buffer.
int Static_HeaderOnly(int device, int channel, int opcode, int category)
{
    Ac49xUserDef_CriticalSection_EnterCommand(device);
    std::memset(Packet, 0, AC49X_PROPRIETARY_HEADER_END);
    Static_Proprietary(Packet, opcode, category);
    int r = Static_Send(device, channel, Packet, AC49X_PROPRIETARY_HEADER_END);
    Ac49xUserDef_CriticalSection_LeaveCommand(device);
    return r;
}
}  // namespace

int Ac49xOpenChannelConfiguration(int device, int channel, const Tac49xOpenOrUpdateChannelConfigurationAttr* a)
{
    return Static_OpenOrUpdateChannelConfiguration(CHANNEL_CONFIGURATION_OP_CODE__OPEN_CHANNEL, device, channel, a);
}
int Ac49xUpdateChannelConfiguration(int device, int channel, const Tac49xOpenOrUpdateChannelConfigurationAttr* a)
{
    return Static_OpenOrUpdateChannelConfiguration(CHANNEL_CONFIGURATION_OP_CODE__UPDATE_CHANNEL, device, channel, a);
}
int Ac49xMediatedChannelConfiguration(int device, int channel, const Tac49xOpenOrUpdateChannelConfigurationAttr* a)
{
    return Static_OpenOrUpdateChannelConfiguration(CHANNEL_CONFIGURATION_OP_CODE__MEDIATED_CHANNEL, device, channel, a);
}

int Ac49xAdvancedChannelConfiguration(int device, int channel, const Tac49xAdvancedChannelConfigurationAttr* a)
{
    U8 p[AC49X_ADVANCED_CHANNEL_PACKET_SIZE] = {};
    Static_Proprietary(p, CHANNEL_CONFIGURATION_OP_CODE__ADVANCED_CHANNEL, PACKET_CATEGORY__CHANNEL_CONFIGURATION_PACKET);
    Put(p, 6, 7, 0, a->EncoderIbsOverhang_10msec);
    Put(p, 7, 7, 0, a->DecoderIbsOverhang_10msec);
    Put(p, 8, 7, 7, a->MuteEncoderDuringDtmfGeneration);
    Put(p, 8, 5, 0, a->PcmCngThreshold);
    Put(p, 9, 7, 0, a->SignalingJitter);
    Wide(p, 10, 11, 11, a->FaxModemJitter);
    Put(p, 12, 7, 7, a->EchoCancelerDuringDataBypass);
    Put(p, 12, 6, 6, a->EchoCancelerDuringFaxBypassDisable);
    Put(p, 12, 5, 5, a->EchoCancelerNlpDuringBypass);
    Put(p, 12, 4, 4, a->EchoCancelerAutomaticHandler);
    Wide(p, 12, 13, 11, a->BypassJitter);
    Put(p, 14, 7, 6, a->EchoCancelerDcRemover);
    Put(p, 14, 5, 0, a->EchoCancelerNlpThreshold);
    const int byte15[] = {a->EchoCancelerCng, a->EchoCancelerToneDetector, a->EchoCancelerAggressiveNlp,
                          a->EchoCancelerNoisyEnvironmentMode, a->EchoCancelerReconvergenceSupport,
                          a->EchoCancellerAutomaticToneResetMode, a->EchoCancellerAutomaticToneResetOnMuteMode,
                          a->AcousticEchoCancelerEnable};
    for (int i = 0; i < 8; ++i) Put(p, 15, 7 - i, 7 - i, byte15[i]);
    Put(p, 16, 7, 7, a->Ss7TransferMedium);
    Put(p, 16, 6, 6, a->HdlcTransferMedium);
    Put(p, 16, 5, 5, a->Ss7LinkRate);
    Put(p, 16, 0, 0, a->HdlcInterFrameFillPattern);
    Put(p, 17, 6, 4, a->HdlcMinimumMessageLength);
    Put(p, 17, 3, 2, a->HdlcMinimumEndFlags);
    Put(p, 17, 1, 0, a->HdlcSampleRate);
    Put(p, 18, 7, 7, a->PlaybackRequestEnable);
    Put(p, 18, 6, 6, a->AcousticEchoCancelerEnable != 0 ? 1 : a->InputGainLocation);
    Put(p, 19, 7, 0, a->PlaybackWaterMark_msec);
    Put(p, 20, 5, 0, a->DataBypassOutputGain);
    Put(p, 21, 5, 0, a->FaxBypassOutputGain);
    Put(p, 22, 0, 0, a->DuaFrameMode);
    Put(p, 23, 7, 0, a->DuaReceiveTimeout_x10msec);
    Put(p, 24, 7, 7, a->AnswerDetectNoneSpeechEventsEnable);
    Wide(p, 24, 25, 11, a->AnswerDetectSilenceTime_x100ms);
    Wide(p, 26, 27, 11, a->AnswerDetectPreWorkDelay_x100ms);
    return Static_Send(device, channel, p, sizeof p);
}

int Ac49xCloseChannelConfiguration(int device, int channel)
{
    return Static_HeaderOnly(device, channel, CHANNEL_CONFIGURATION_OP_CODE__CLOSE_CHANNEL,
                             PACKET_CATEGORY__CHANNEL_CONFIGURATION_PACKET);
}

int Ac49xActivateRegularRtpChannelConfiguration(int device, int channel,
                                                const Tac49xActivateOrUpdateRtpChannelConfigurationAttr* a)
{
    return Static_ActivateOrUpdateRtpChannelConfiguration(CHANNEL_CONFIGURATION_OP_CODE__ACTIVATE_REGULAR_RTP, device,
                                                          channel, a);
}
int Ac49xUpdateRegularRtpChannelConfiguration(int device, int channel,
                                              const Tac49xActivateOrUpdateRtpChannelConfigurationAttr* a)
{
    return Static_ActivateOrUpdateRtpChannelConfiguration(CHANNEL_CONFIGURATION_OP_CODE__UPDATE_REGULAR_RTP, device,
                                                          channel, a);
}
int Ac49xActivateMediatedRtpChannelConfiguration(int device, int channel,
                                                 const Tac49xActivateOrUpdateRtpChannelConfigurationAttr* a)
{
    return Static_ActivateOrUpdateRtpChannelConfiguration(CHANNEL_CONFIGURATION_OP_CODE__ACTIVATE_MEDIATED_RTP, device,
                                                          channel, a);
}
int Ac49xUpdateMediatedRtpChannelConfiguration(int device, int channel,
                                               const Tac49xActivateOrUpdateRtpChannelConfigurationAttr* a)
{
    return Static_ActivateOrUpdateRtpChannelConfiguration(CHANNEL_CONFIGURATION_OP_CODE__UPDATE_MEDIATED_RTP, device,
                                                          channel, a);
}
int Ac49xCloseRegularRtpChannelConfiguration(int device, int channel, const Tac49xCloseRtpChannelConfigurationAttr* a)
{
    return Static_CloseRtpChannelConfiguration(CHANNEL_CONFIGURATION_OP_CODE__CLOSE_REGULAR_RTP, device, channel, a);
}
int Ac49xCloseMediatedRtpChannelConfiguration(int device, int channel, const Tac49xCloseRtpChannelConfigurationAttr* a)
{
    return Static_CloseRtpChannelConfiguration(CHANNEL_CONFIGURATION_OP_CODE__CLOSE_MEDIATED_RTP, device, channel, a);
}

int Ac49xT38ChannelConfiguration(int device, int channel, const Tac49xT38ConfigurationAttr* a)
{
    U8 p[AC49X_T38_PACKET_SIZE] = {};
    Static_Proprietary(p, CHANNEL_CONFIGURATION_OP_CODE__T38, PACKET_CATEGORY__CHANNEL_CONFIGURATION_PACKET);
    Put(p, 6, 6, 4, a->PacketizationPeriod);
    Put(p, 6, 3, 3, a->RtpEncapsulation);
    Put(p, 6, 2, 2, a->JbigImageTranscoding);
    Put(p, 6, 1, 1, a->T4MmrTranscoding);
    Put(p, 6, 0, 0, a->T4FillBitRemoval);
    Put(p, 7, 7, 0, a->MaxDatagramSize_In4BytesStep);
    Put(p, 8, 3, 0, a->T38Version);
    Put(p, 9, 7, 7, a->UdpErrorCorrectionMethod);
    Put(p, 9, 6, 4, a->ImageDataRedundancyLevel);
    Put(p, 9, 3, 0, a->T30ControlDataRedundancyLevel);
    Put(p, 11, 4, 0, a->NoOperationPeriod);
    return Static_Send(device, channel, p, sizeof p);
}

int Ac49xSendIbsString(int device, int channel, const Tac49xIbsStringAttr* a)
{
    Ac49xUserDef_CriticalSection_EnterCommand(device);
    U8* p = Packet;
    std::memset(p, 0, AC49X_IBS_STRING_PACKET_SIZE);
    Static_Proprietary(p, COMMAND_OP_CODE__IBS_STRING, PACKET_CATEGORY__COMMAND_OR_STATUS_OR_EVENT_PACKET);
    Put(p, 6, 7, 5, a->GeneratorRedirection);
    Put(p, 7, 5, 0, a->NumberOfDigits);
    Wide(p, 8, 11, 32, a->OnDuration);
    Wide(p, 12, 15, 32, a->OffDuration);
    Wide(p, 16, 19, 32, a->PauseDuration);
    for (int i = 0; i < AC49X_IBS_STRING_SIGNALS; ++i) {
        Put(p, 20 + 2 * i, 0, 0, a->Signal[i].Pause);
        Put(p, 21 + 2 * i, 7, 4, a->Signal[i].Digit);
        Put(p, 21 + 2 * i, 3, 0, a->Signal[i].SystemCode);
    }
    int r = Static_Send(device, channel, p, AC49X_IBS_STRING_PACKET_SIZE);
    Ac49xUserDef_CriticalSection_LeaveCommand(device);
    return r;
}

int Ac49xSendIbsStop(int device, int channel)
{
    return Static_HeaderOnly(device, channel, COMMAND_OP_CODE__IBS_STOP,
                             PACKET_CATEGORY__COMMAND_OR_STATUS_OR_EVENT_PACKET);
}

void Ac49xSetDefaultChannelConfigurationAttr(Tac49xOpenOrUpdateChannelConfigurationAttr* a, int mode)
{
    *a = {};
    a->DtmfTransferMode = IBS_TRANSFER_MODE__TRANSPARENT_THROUGH_VOICE;
    a->DynamicJitterBufferOptimizationFactor = 7;
    a->VoiceJitterBufferMinDelay = 35;
    a->VoiceJitterBufferMaxDelay = 150;
    if (mode != 0) return;
    a->DtmfErasureMode = 1;
    a->MfTransferMode = IBS_TRANSFER_MODE__TRANSPARENT_THROUGH_VOICE;
    a->CallProgressTransferMode = IBS_TRANSFER_MODE__TRANSPARENT_THROUGH_VOICE;
    a->DetectPcmCas = 1;
    a->EchoCancelerNonLinearProcessor = 2;
    a->HybridLoss = 2;
    a->VoiceOutputGain = VOICE_GAIN__0_DB;
    a->InputGain = VOICE_GAIN__0_DB;
    a->EchoCancelerMode = ECHO_CANCELER_MODE__ENABLE;
    a->DetectCallProgress = 1;
    a->DetectDTMFRegister = 1;
    a->CallerIdOnHookService = 1;
    a->CallerIdOffHookService = 1;
    a->FaxMaxRate = 5;
    a->EchoCancelerLength = 7;
    a->PcmValueDuringIdle = 255;
    a->FaxAndCallerIdLevel = 15;
    a->V34FaxTransferMethod = 1;
    a->FaxTransferMethod = 1;
    a->FaxProtocol = 3;
    a->FaxErrorCorrectionMode = 1;
    a->CngRelayEnable = 1;
    a->AnswerDetectMode = 1;
    a->AnswerDetectSensitivity = 3;
    a->VideoSynchronizationEnable = 1;
    a->AgcSlowAdaptationGainSlope = 3;
    a->AgcTargetEnergy = 19;
}

void Ac49xSetDefaultAdvancedChannelConfigurationAttr(Tac49xAdvancedChannelConfigurationAttr* a)
{
    *a = {};
    a->EchoCancelerThreshold = 8;
    a->EncoderIbsOverhang_10msec = 10;
    a->DecoderIbsOverhang_10msec = 100;
    a->SignalingJitter = 35;
    a->BypassJitter = 35;
    a->HdlcMinimumMessageLength = 2;
    a->PlaybackWaterMark_msec = 80;
    a->PlaybackRequestEnable = 1;
    a->EchoCancelerDuringDataBypass = 1;
    a->EchoCancelerCng = 1;
    a->EchoCancelerToneDetector = 1;
    a->EchoCancelerAggressiveNlp = 1;
    a->EchoCancellerAutomaticToneResetMode = 1;
    a->EchoCancelerReconvergenceSupport = 1;
    a->DuaReceiveTimeout_x10msec = 60;
    a->AnswerDetectNoneSpeechEventsEnable = 1;
    a->AnswerDetectSilenceTime_x100ms = 10;
}

void Ac49xSetDefaultRtpChannelConfigurationAttr(Tac49xActivateOrUpdateRtpChannelConfigurationAttr* a)
{
    *a = {};
    a->TxPayloadType = a->RxPayloadType = a->FaxBypassPayloadType = 8;
    a->DataBypassPayloadType = 101;
    a->RtcpMeanTxInterval = 5000;
    a->Encoder = a->Decoder = a->BypassCoder = CODER__G711ALAW;
    a->PcmAdPcmComfortNoiseRtpPayloadTypeEnable = 1;
    a->PcmAdPcmComfortNoiseRtpPayloadType = 13;
    a->TxVbdEventsRelayPayloadType = a->RxVbdEventsRelayPayloadType = 105;
    a->DecoderPcmAdpcmFrameDuration = a->EncoderPcmAdpcmFrameDuration = PCM_ADPCM_FRAME_DURATION__20_MSEC;
    a->SilenceCompressionMode = SILENCE_COMPRESSION_MODE__ENABLE_NOISE_ADAPTATION_ENABLE;
    a->BrokenConnectionEventTimeout_x20msec = 500;
    a->TxSignalingRfc2833PayloadType = a->RxSignalingRfc2833PayloadType = 101;
    a->Rfc2198PayloadType = 104;
    a->RxT38PayloadType = a->TxT38PayloadType = 106;
    a->NoOperationPayloadType = 120;
    a->NoOperationTimeout_x20msec = 500;
    a->SseRedundancyDepth = 3;
}

void Ac49xSetDefaultCloseRtpChannelConfigurationAttr(Tac49xCloseRtpChannelConfigurationAttr* a) { *a = {}; }

void Ac49xSetDefaultT38ConfigurationAttr(Tac49xT38ConfigurationAttr* a)
{
    *a = {};
    a->NoOperationPeriod = 10;
}

void Ac49xSetDefaultSetupChannelAttr(Tac49xSetupChannelAttr* a)
{
    Ac49xSetDefaultAdvancedChannelConfigurationAttr(&a->Advanced);
    for (auto& rtp : a->ActivateOrUpdateRtp) Ac49xSetDefaultRtpChannelConfigurationAttr(&rtp);
    Ac49xSetDefaultChannelConfigurationAttr(&a->OpenOrUpdateChannel, 0);
    Ac49xSetDefaultChannelConfigurationAttr(&a->MediatedChannelConfiguration, 1);
    Ac49xSetDefaultT38ConfigurationAttr(&a->T38Configuration);
    a->CloseRtp = {};
}

int Ac49xCallerIdNumber(const U8* packet, int packetSize, char* out, std::size_t outSize)
{
    constexpr int kText = 24, kLengthByte = 15, kHeaderBytes = 8;
    if (packet == nullptr || out == nullptr || outSize == 0 || packetSize <= kLengthByte) return -1;
    out[0] = '\0';
    const int length = packet[kLengthByte] - kHeaderBytes;
    if (length < 0 || kText + length > packetSize || static_cast<std::size_t>(length) >= outSize) return -1;
    std::memcpy(out, packet + kText, static_cast<std::size_t>(length));
    out[length] = '\0';
    return length;
}
