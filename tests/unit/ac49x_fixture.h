// The AC49x driver over the simulated DSP, for the driver's tests and benchmarks: a fresh
// simulated board per fixture, firmware images from scripts/make_firmware.py, boot and set-up.
#pragma once
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "AC49xDrv_Api.h"
#include "AC49xDrv_UserDefinedFunctions.h"
#include "MyApi.h"
#include "sim/sim_board.h"
#include "sim/sim_dsp.h"

#ifndef AC49X_SOURCE_DIR
#error "AC49X_SOURCE_DIR must be set by the build"
#endif

inline const std::string& ac49x_scratch()
{
    static const std::string dir = [] {
        char tmpl[] = "/tmp/ac49x-XXXXXX";
        static char s_dir[64];
        std::snprintf(s_dir, sizeof s_dir, "%s", mkdtemp(tmpl) ? tmpl : "/tmp");
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(s_dir, ec);
        });
        return std::string(s_dir);
    }();
    return dir;
}

// A directory of images made with the script's options ("" for good images).
inline std::string ac49x_firmware(const std::string& options = "")
{
    static std::map<std::string, std::string> made;
    auto it = made.find(options);
    if (it != made.end()) return it->second;
    std::string dir = ac49x_scratch() + "/fw" + std::to_string(made.size());
    std::string cmd = "python3 " AC49X_SOURCE_DIR "/scripts/make_firmware.py " + dir + " " + options;
    if (std::system(cmd.c_str()) != 0) std::abort();
    return made[options] = dir;
}

inline std::vector<U8> ac49x_read(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline std::string ac49x_command(const std::string& c)
{
    std::array<char, 8192> reply{};
    SimBoard_Command(c, reply.data(), reply.size());
    return reply.data();
}

// A simulated board opened for the driver, with the driver started on it.
struct Ac49xSimBoard {
    DEVICE_HANDLER fd = -1;
    Ac49xSimBoard()
    {
        static int n = 0;
        std::string path = ac49x_scratch() + "/AG0-" + std::to_string(n++);
        std::ofstream(path).flush();
        fd = MyOpen(nullptr, path.c_str());
        Ac49xUserDef_SetHandle(fd);
        Ac49xInitDriver(0);
    }
    ~Ac49xSimBoard()
    {
        MyClose(fd);
        Ac49xUserDef_SetHandle(-1);
    }
    int Boot(const std::string& dir)
    {
        kernel = ac49x_read(dir + "/kernel");
        program = ac49x_read(dir + "/program");
        return Ac49xBoot(0, program.data(), program.size(), kernel.data(), kernel.size());
    }
    // Boots with good images and sets device 0 up as the gateway does, with 12 channels.
    int BootAndSetUp(int channels = 12)
    {
        if (Boot(ac49x_firmware()) != PROGRAM_DOWNLOAD_STATUS__BOOT_STATUS_REGISTER_SUCCESS) return -1;
        Ac49xSetDefaultSetupDeviceAttr(&setup);
        setup.Open.NumberOfChannels = channels;
        return Ac49xSetupDevice(0, &setup);
    }
    std::vector<U8> kernel, program;
    Tac49xSetupDeviceAttr setup{};
};

// Every packet the driver moves, by direction, through its recording hook.
struct Ac49xRecorded {
    std::vector<std::vector<U8>> sent, received;
};
inline Ac49xRecorded g_ac49xRecorded;
inline void ac49x_record(int, U8* packet, int size, Tac49xPacketDirection direction)
{
    auto& to = direction == PACKET_DIRECTION__TX ? g_ac49xRecorded.sent : g_ac49xRecorded.received;
    to.emplace_back(packet, packet + size);
}
inline void ac49x_start_recording()
{
    g_ac49xRecorded = {};
    Ac49xInitializePacketRecording(ac49x_record);
}

// Receives one packet of a medium into buf: the driver's result.
inline int ac49x_receive(int medium, std::vector<U8>& out, int* channel = nullptr)
{
    static U8 buf[AC49X_RX_PACKET_MAX];
    Tac49xRxPacketParams rx{};
    rx.Device = 0;
    rx.TransferMedium = static_cast<Tac49xTransferMedium>(medium);
    rx.pInPacket = buf;
    int r = Ac49xReceivePacket(&rx);
    if (r == 0) out.assign(buf, buf + rx.PacketSize);
    if (channel) *channel = rx.Channel;
    return r;
}

inline int ac49x_send(int medium, std::vector<U8>& packet, int channel = 0, int protocol = PROTOCOL__PROPRIETARY)
{
    Tac49xTxPacketParams tx{};
    tx.Device = 0;
    tx.Channel = channel;
    tx.Protocol = static_cast<Tac49xProtocol>(protocol);
    tx.TransferMedium = static_cast<Tac49xTransferMedium>(medium);
    tx.pOutPacket = packet.data();
    tx.PacketSize = static_cast<int>(packet.size());
    return Ac49xTransmitPacket(&tx);
}
