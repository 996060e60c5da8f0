// The AC49x driver's receive path: crafted receive descriptors and packets, as a DSP (or a
// corrupted host-port memory) could leave them, planted in the simulated DSP's memory before
// it boots. Whatever they say, the receive hands over only packets it checked, never reads
// outside the receive window or past its buffer, and never wedges: every call gives back one
// full descriptor, so the ring is empty again after as many calls as descriptors were planted.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "AC49xDrv_Api.h"
#include "AC49xDrv_UserDefinedFunctions.h"
#include "MyApi.h"

namespace {
int g_fd = -1;
U8 g_packet[AC49X_RX_PACKET_MAX];
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char path[] = "/tmp/fuzz-ac49x-XXXXXX";
    int tmp = mkstemp(path);
    if (tmp < 0) std::abort();
    close(tmp);
    g_fd = MyOpen(nullptr, path);
    unlink(path);
    if (g_fd < 0) std::abort();
    Ac49xUserDef_SetHandle(g_fd);
    return 0;
}

// Input: medium (bit 0 of byte 0), the receive index to start at (byte 1), the number of
// descriptors (byte 2, 1..16), the descriptors, then the bytes of the receive window.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3) return 0;
    Ac49xInitDriver(0);
    const int medium = data[0] & 1;
    const U32 ring = medium ? AC49X_NETWORK_RX_RING : AC49X_HOST_RX_RING;
    const U32 window = medium ? AC49X_NETWORK_RX_WINDOW_BEGIN : AC49X_HOST_RX_WINDOW_BEGIN;
    const int length = medium ? AC49X_NETWORK_RING_LENGTH : AC49X_HOST_RING_LENGTH;
    const int start = data[1] % length;
    const int count = data[2] % 16 + 1;
    data += 3;
    size -= 3;
    // Start from an empty ring, the driver's index moved to start.
    U8 empty[4] = {AC49X_BD_EMPTY, 0, 0, 0};
    for (int i = 0; i < length; ++i) Ac49xWrite4Bytes(0, ring + 4u * static_cast<U32>(i), empty);
    Tac49xRxPacketParams rx{};
    rx.Device = 0;
    rx.TransferMedium = static_cast<Tac49xTransferMedium>(medium);
    rx.pInPacket = g_packet;
    for (int i = 0; i < start; ++i) {
        U8 one[4] = {0, 8, static_cast<U8>(window >> 9), static_cast<U8>(window >> 1)};
        Ac49xWrite4Bytes(0, ring + 4u * static_cast<U32>(i), one);
        Ac49xReceivePacket(&rx);
    }
    for (int k = 0; k < count && size >= 4; ++k, data += 4, size -= 4)
        Ac49xWrite4Bytes(0, ring + 4u * static_cast<U32>((start + k) % length), data);
    Ac49xWriteBlock(0, window, data, static_cast<int>(size < 1600 ? size : 1600));

    for (int call = 0; call <= count + 1; ++call) {
        std::memset(g_packet, 0xCC, sizeof g_packet);
        int r = Ac49xReceivePacket(&rx);
        if (rx.BufferDescriptorCurrentIndex < 0 || rx.BufferDescriptorCurrentIndex >= length) __builtin_trap();
        if (r == AC49X_ERROR__NO_PACKET) return 0;
        if (r != 0) continue;
        if (rx.PacketSize < AC49X_HPI_HEADER_SIZE || rx.PacketSize > AC49X_RX_PACKET_MAX) __builtin_trap();
        if ((g_packet[0] >> 5) != AC49X_SYNC5 || rx.Channel != g_packet[1]) __builtin_trap();
        if (medium && rx.PayloadSize > AC49X_NETWORK_RX_PAYLOAD_MAX) __builtin_trap();
        char number[32];
        int n = Ac49xCallerIdNumber(g_packet, rx.PacketSize, number, sizeof number);
        if (n >= static_cast<int>(sizeof number) || (n >= 0 && std::strlen(number) > static_cast<std::size_t>(n)))
            __builtin_trap();
    }
    __builtin_trap();  // the ring never emptied: the receive is wedged
}
