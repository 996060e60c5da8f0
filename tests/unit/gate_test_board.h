// A scratch board root for the gateway's unit tests: BOARD_ROOT points at it before anything
// resolves a path, and the harmless stand-ins of the board's commands (reboot above all) are
// in its bin before any command reaches the shell.
#pragma once
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "board.h"
#include "main.h"
#include "multi_log.h"

#ifndef GATE_SOURCE_DIR
#error "GATE_SOURCE_DIR must be set by the build"
#endif

inline const std::string& gate_test_root()
{
    static const std::string root = [] {
        char tmpl[] = "/tmp/gate-unit-XXXXXX";
        std::string r = mkdtemp(tmpl) ? tmpl : "";
        std::string cmd = std::string(GATE_SOURCE_DIR "/scripts/make_board.sh ") + r;
        if (r.empty() || std::system(cmd.c_str()) != 0 || !std::filesystem::exists(r + "/bin/reboot")) {
            std::fprintf(stderr, "no scratch board root, refusing to run\n");
            std::abort();
        }
        setenv("BOARD_ROOT", r.c_str(), 1);
        // Strings may be gone when exit handlers run; the path is kept in a plain buffer.
        static char s_remove[256];
        std::snprintf(s_remove, sizeof s_remove, "%s", r.c_str());
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(s_remove, ec);
        });
        return r;
    }();
    if (board_root() != root) std::abort();  // something resolved a path before the root was set
    return root;
}

inline std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline void write_file(const std::string& path, const std::string& data)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

inline std::string shell_log() { return read_file(gate_test_root() + "/var/shell.log"); }

inline std::size_t count_of(const std::string& hay, const std::string& needle)
{
    std::size_t n = 0;
    for (std::size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++n;
    return n;
}

// A segment key of this process alone: the tests never meet the web program's 5063.
inline key_t private_shm_key() { return static_cast<key_t>(0x5a000000 | (getpid() & 0xffffff)); }

inline void remove_shm(key_t key)
{
    int id = shmget(key, 0, 0);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
}

// No file registered with the logger, entries not echoed: a test starts from here.
inline void fresh_logger()
{
    g_MultiLog_Print = 0;
    MultiLog_Quit();
    g_LogMap = {};
}

// A test with radiogate's three log files registered and a segment key of its own (free).
class GateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = gate_test_root();
        fresh_logger();
        ASSERT_EQ(System_LogInit(), 0);
        key = private_shm_key();
        remove_shm(key);
    }
    std::string Flow() { return read_file(root + "/tmp/log/QVD_FLOW.log"); }

    std::string root;
    key_t key = 0;
};
