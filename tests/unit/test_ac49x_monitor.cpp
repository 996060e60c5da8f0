// The AC49x debug monitor against the simulated DSP, and the firmware image's download
// information.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ac49x_fixture.h"

namespace {
std::vector<std::string> Monitor()
{
    std::vector<std::string> out;
    for (std::string more = ac49x_command("log"); !more.empty(); more = ac49x_command("log"))
        for (std::size_t at = more.find("dsp_monitor"); at != std::string::npos; at = more.find("dsp_monitor", at + 1))
            out.push_back(more.substr(at, more.find('\n', at) - at));
    return out;
}
}  // namespace

// Halt, the CPU registers and the trace buffer read from the data area, resume; a compare of
// local memory; each command taken once and answered with its own code.
TEST(Ac49xMonitor, ReadsRegistersAndTraceBetweenHaltAndResume)
{
    Ac49xSimBoard board;
    ASSERT_EQ(board.BootAndSetUp(), 0);
    Monitor();
    std::vector<U8> registers(AC49X_HCRF_REGISTERS_SIZE), trace(AC49X_HCRF_TRACE_SIZE);
    ASSERT_EQ(Ac49xHcrfReadMonitorInfo(0, registers.data(), trace.data()), 0);
    for (int i = 0; i < AC49X_HCRF_REGISTERS_SIZE; ++i) ASSERT_EQ(registers[static_cast<std::size_t>(i)], i) << i;
    for (int i = 0; i < AC49X_HCRF_TRACE_SIZE; ++i) ASSERT_EQ(trace[static_cast<std::size_t>(i)], 0xFF - i) << i;
    EXPECT_EQ(HcrfCommandRegisterReady(0), 1);
    EXPECT_EQ(Ac49xHcrfCompareLocalMemory(0), 0);
    EXPECT_EQ(Monitor(), (std::vector<std::string>{"dsp_monitor command=1 response=1", "dsp_monitor command=5 response=7",
                                                    "dsp_monitor command=6 response=8", "dsp_monitor command=2 response=2",
                                                    "dsp_monitor command=1 response=1", "dsp_monitor command=4 response=6",
                                                    "dsp_monitor command=2 response=2"}));
    EXPECT_EQ(Ac49xHcrfWriteMonitorInfo(0), 0);
}

// A DSP that does not answer: the wait gives up after its polls and the reads fail; a crash
// command waits for nothing.
TEST(Ac49xMonitor, ADspThatDoesNotAnswerFailsTheMonitor)
{
    Ac49xSimBoard board;
    ASSERT_EQ(board.BootAndSetUp(), 0);
    ASSERT_EQ(HcrfDeviceCrash(0), 0);
    EXPECT_EQ(HcrfWaitForResponse(0), 0) << "a crash has no response";
    ac49x_command("set dsp off");
    std::vector<U8> registers(AC49X_HCRF_REGISTERS_SIZE), trace(AC49X_HCRF_TRACE_SIZE);
    EXPECT_EQ(HcrfDeviceHalt(0), -1);
    EXPECT_EQ(Ac49xHcrfReadMonitorInfo(0, registers.data(), trace.data()), -1);
    EXPECT_EQ(Ac49xHcrfCompareLocalMemory(0), -1);
    EXPECT_EQ(HcrfDeviceHalt(4), -1) << "no fifth device";
    ac49x_command("set dsp on");
}

TEST(Ac49xMonitor, DownloadInfoNamesVersionPartAndBuild)
{
    std::string head = "0210";
    head += "9110";
    head += "build 2009-08-10";
    head.resize(35, '\0');
    head += "rest of the image";
    const auto* image = reinterpret_cast<const U8*>(head.data());
    char info[64];
    const std::string want("02.10\0AC499110\0build 2009-08-10-S\0", 34);
    ASSERT_EQ(Ac49xGetDspDownloadInfo(image, head.size(), info, sizeof info), static_cast<int>(want.size()));
    EXPECT_EQ(std::string(info, want.size()), want);
    // A build text that fills its 27 bytes has no NUL of its own: it stops at the 35th byte.
    std::string full(35, 'x');
    ASSERT_EQ(Ac49xGetDspDownloadInfo(reinterpret_cast<const U8*>(full.data()), 35, info, sizeof info), 2 + 1 + 2 + 1 + 4 + 4 + 1 + 27 + 2 + 1);
    EXPECT_EQ(Ac49xGetDspDownloadInfo(image, 34, info, sizeof info), -1) << "a truncated image";
    EXPECT_EQ(Ac49xGetDspDownloadInfo(image, head.size(), info, 20), -1) << "no room";
    EXPECT_EQ(Ac49xGetDspDownloadInfo(nullptr, 35, info, sizeof info), -1);
}
