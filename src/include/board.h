// board.h — the one seam between the programs' fixed paths and shell lines and the machine.
// On the board BOARD_ROOT is unset and every path is used as written. On a PC the run and
// test scripts set BOARD_ROOT to a scratch directory and both programs live inside it.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// The board root without a trailing slash; empty when BOARD_ROOT is unset, empty or "/".
const std::string& board_root();

// A fixed absolute path of the board ("/tmp/log/softswitch.log") resolved under the board
// root. Relative paths and the null device are returned unchanged.
std::string board_path(std::string_view abs_path);

// Hands one command line to the shell and returns system()'s status.
// Callers resolve the fixed paths inside the line with board_path() themselves, so the line
// shows exactly what runs. Under a board root the line is appended to
// $BOARD_ROOT/var/shell.log and run with $BOARD_ROOT/bin and $BOARD_ROOT/sbin first on PATH,
// where the scripts keep harmless stand-ins for reboot, ifconfig, killall, ntpclient and date.
int run_shell(std::string_view command);

// Microseconds on the program's one monotonic clock: loop timing and time-outs never follow a
// clock that the time synchronisation or an operator sets.
std::int64_t monotonic_us();
