#include "board.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

const std::string& board_root()
{
    static const std::string root = [] {
        const char* env = std::getenv("BOARD_ROOT");
        std::string r = env ? env : "";
        while (!r.empty() && r.back() == '/') r.pop_back();
        return r;
    }();
    return root;
}

std::string board_path(std::string_view abs_path)
{
    if (abs_path.empty() || abs_path.front() != '/' || abs_path == "/dev/null")
        return std::string(abs_path);
    std::string out = board_root();
    out.append(abs_path);
    return out;
}

namespace {
// Single-quoted for the shell: a board root with blanks or quotes stays one word.
std::string shell_quote(std::string_view s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    q += "'";
    return q;
}
}  // namespace

int run_shell(std::string_view command)
{
    const std::string& root = board_root();
    if (root.empty()) return std::system(std::string(command).c_str());

    if (FILE* f = std::fopen((root + "/var/shell.log").c_str(), "ab")) {
        std::fwrite(command.data(), 1, command.size(), f);
        std::fputc('\n', f);
        std::fclose(f);
    }
    std::string line = "PATH=" + shell_quote(root + "/bin") + ":" + shell_quote(root + "/sbin") +
                       ":\"$PATH\"; export PATH; ";
    line.append(command);
    return std::system(line.c_str());
}

std::int64_t monotonic_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}
