// Shared pieces of the benchmarks: clocks, summaries, the row format that
// bench/run.sh turns into one table, child processes and their peak working set.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace bench {

// Milliseconds on the performance counter.
double NowMs();

// Best (smallest) and median of a set of times.
struct Summary {
    double best = 0;
    double median = 0;
};
Summary Summarise(std::vector<double> samples);

// One line of the table. Times are in `unit`; lower is better everywhere.
struct Row {
    std::string group;   // "log path", "PostPatternUpdate", "component lookup", "process start to exit"
    std::string figure;  // what was measured
    std::string setup;   // log set-up or other condition, "" when none
    std::string unit;    // "ns", "us" or "ms"
    Summary value;
    std::string limit;   // what it is compared with
    Summary limitValue;
    double goal = 0;     // largest acceptable median ratio; 0 for a reference row
    double peakMb = -1;       // peak working set of the command, negative when not a process
    double limitPeakMb = -1;  // the same of the limit
    int runs = 0;
};

// Prints the row as one tab-separated "@row" line for bench/run.sh.
void EmitRow(const Row& row);
// Prints a free-text "@note" line that bench/run.sh shows under the table.
void Note(const char* format, ...);

// Folder of the running benchmark (where every binary lands).
std::wstring BinDir();
// A fresh folder under the temporary folder; RemoveTree deletes it with its files.
std::wstring MakeTempDir(const wchar_t* tag);
void RemoveTree(const std::wstring& dir);

bool WriteTextFile(const std::wstring& path, const std::string& text);
std::string ReadFileBytes(const std::wstring& path);

struct ChildRun {
    bool started = false;
    DWORD exitCode = 0;
    double ms = 0; // CreateProcess to the end of the process
};

// Runs a command line detached from any console, with its standard handles on
// the null device, and waits for it. Wine starts a console host per child that
// gets a console of its own, which would add noise that is not the program's.
ChildRun RunChild(const std::wstring& commandLine);

// Runs a command line once as a debuggee and reads its peak working set
// (GetProcessMemoryInfo) when it calls the process exit, while it still
// exists; 0 when that cannot be read. Not for timing.
SIZE_T PeakWorkingSetAtExit(const std::wstring& commandLine, DWORD* exitCode);

// A component list with `count` components "Comp00000".."Comp<count-1>",
// versions "1.0.<n>" and language "0409".
std::string ComponentList(int count);

std::wstring Quote(const std::wstring& path);

} // namespace bench
