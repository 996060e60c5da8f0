// main.h — radiogate's process frame: command line, banner, start-up chain, the one polling
// loop that turns elapsed time into millisecond steps (with the 10 ms, 1 s and 1 min steps),
// the daily reboot and the orderly end on SIGINT or SIGTERM.
#pragma once
#include <sys/time.h>

#include <ctime>

// The whole life of the process; the exit status (-1 when start-up failed).
int System_Main(int argc, char** argv);
// 0 when an argument after the program name begins with text, else -1.
int Command_Line_Exist(int argc, char** argv, const char* text);
// An argument beginning "--v" prints the banner and ends the process with 0.
void Command_Line_Check(int argc, char** argv);
void System_Print();
int System_Init();     // 0, or -1 after its line on standard error
int System_LogInit();  // what MultiLog_Init returns
void System_Run();     // one pass of the loop
// Whole milliseconds to run for a pass at now (a monotonic time); 0 on the first call, at
// most 1999 after a stall; -1 for a null time. The part below one millisecond is carried.
int System_GetProcessCnt(const timeval* now);
void System_Check10ms(long long counter);
void System_Check1000ms(long long counter);
void System_Check1minute(long long counter);
[[noreturn]] void System_Quit(int signal);
// True once SIGINT or SIGTERM has arrived: a start-up step that waits gives up its wait.
bool System_QuitPending();

void Static_SysReboot();  // the 1 s step of the daily reboot
// The clock check of the daily reboot; 1 when it handed "reboot" to the shell.
int Static_GetRebootTime(long long seconds);
// The wall clock the reboot check reads; null restores time().
void System_SetWallClock(time_t (*clock)());
