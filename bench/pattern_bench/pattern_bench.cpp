// pattern_bench.exe: times `KivProxy.exe <id> PostPatternUpdate <pattern> <ini>` from process start to
// exit for patterns of 1, 100 and 1000 major types, next to a trivial console program, under three
// log set-ups: no log server, a log server taking every record, a log server with verbosity 5.
// A last table times only the INI writes of each export, made in-process with the same calls.
//   pattern_bench [runs]      (default 20 timed runs per cell, after 2 untimed ones)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "log_sink.h"
#include "pattern_format.h"

namespace {

std::wstring BinDir()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path);
    return s.substr(0, s.find_last_of(L"\\/"));
}

bool WritePattern(const std::wstring& path, int types)
{
    quarn32::Pattern pattern;
    for (int i = 0; i < types; ++i) {
        char name[17];
        snprintf(name, sizeof(name), "Type_%05d", i);
        pattern.types.push_back({static_cast<uint16_t>(i % 6), static_cast<uint16_t>(i % 26), name});
    }
    pattern.extList = "{*;exe;dll;com;scr;doc;xls;zip}";
    std::vector<uint8_t> image;
    if (!quarn32::SerializePattern(pattern, &image, nullptr)) {
        return false;
    }
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = fwrite(image.data(), 1, image.size(), f) == image.size();
    fclose(f);
    return ok;
}

// Milliseconds from CreateProcess to the end of the process; negative when it cannot start.
double RunOnce(const std::wstring& commandLine, DWORD* exitCode)
{
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = commandLine;
    LARGE_INTEGER freq, start, end;
    ::QueryPerformanceFrequency(&freq);
    ::QueryPerformanceCounter(&start);
    if (!::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
        return -1.0;
    }
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    ::QueryPerformanceCounter(&end);
    ::GetExitCodeProcess(pi.hProcess, exitCode);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(freq.QuadPart);
}

struct Stats {
    double median = 0, mean = 0, min = 0, max = 0;
    bool allOk = true;
};

Stats Measure(const std::wstring& commandLine, int runs, const std::wstring& iniToRemove)
{
    std::vector<double> times;
    Stats s;
    for (int i = -2; i < runs; ++i) {
        if (!iniToRemove.empty()) {
            ::DeleteFileW(iniToRemove.c_str());
        }
        DWORD exitCode = 1;
        const double ms = RunOnce(commandLine, &exitCode);
        if (ms < 0 || exitCode != 0) {
            s.allOk = false;
        }
        if (i >= 0) {
            times.push_back(ms);
        }
    }
    std::sort(times.begin(), times.end());
    s.median = times[times.size() / 2];
    s.min = times.front();
    s.max = times.back();
    for (double t : times) {
        s.mean += t;
    }
    s.mean /= static_cast<double>(times.size());
    return s;
}

// Milliseconds for the private-profile writes the export makes for `types` major types
// (Count, three keys per type, the list in four sections), into a fresh file.
double TimeIniWrites(const std::wstring& ini, int types)
{
    ::DeleteFileW(ini.c_str());
    LARGE_INTEGER freq, start, end;
    ::QueryPerformanceFrequency(&freq);
    ::QueryPerformanceCounter(&start);
    const wchar_t* section = L"INI_MAJOR_VIRUS_TYPE_SECTION";
    ::WritePrivateProfileStringW(section, L"Count", std::to_wstring(types).c_str(), ini.c_str());
    for (int n = 1; n <= types; ++n) {
        wchar_t key[32];
        swprintf(key, 32, L"1st_Act_%03d", n);
        ::WritePrivateProfileStringW(section, key, L"1", ini.c_str());
        swprintf(key, 32, L"2nd_Act_%03d", n);
        ::WritePrivateProfileStringW(section, key, L"4", ini.c_str());
        swprintf(key, 32, L"Name_%03d", n);
        ::WritePrivateProfileStringW(section, key, L"Type_00000", ini.c_str());
    }
    for (const wchar_t* s : {L"Manual Scan Configuration", L"Real Time Scan Configuration",
                             L"Prescheduled Scan Configuration", L"Scan Now Configuration"}) {
        ::WritePrivateProfileStringW(s, L"DefaultExtList", L"exe,.dll,.com,.scr,.doc,.xls,.zip", ini.c_str());
    }
    ::QueryPerformanceCounter(&end);
    ::DeleteFileW(ini.c_str());
    return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(freq.QuadPart);
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 20;
    const std::wstring bin = BinDir();
    wchar_t tmp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, tmp);
    const std::wstring dir = std::wstring(tmp) + L"kiv_pattern_bench_" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(dir.c_str(), nullptr);
    const std::wstring ini = dir + L"\\pattern.ini";

    const int sizes[] = {1, 100, 1000};
    for (int n : sizes) {
        if (!WritePattern(dir + L"\\p" + std::to_wstring(n) + L".ptn", n)) {
            fprintf(stderr, "cannot write the %d-type pattern\n", n);
            return 1;
        }
    }

    printf("runs per cell: %d (after 2 untimed), times in ms from CreateProcess to exit\n\n", runs);
    printf("%-26s %-31s %9s %9s %9s %9s %5s\n", "log set-up", "program", "median", "mean", "min", "max", "exit");
    const char* setups[] = {"no log server", "log server, every record", "log server, verbosity 5"};
    for (int setup = 0; setup < 3; ++setup) {
        std::unique_ptr<standin::LogSink> sink;
        std::unique_ptr<standin::LevelMapPublisher> levels;
        if (setup >= 1) {
            sink = std::make_unique<standin::LogSink>();
            if (!sink->Start(L"Log_ServerNamePipe", 8)) {
                fprintf(stderr, "cannot start the log server stand-in\n");
                return 1;
            }
        }
        if (setup == 2) {
            levels = std::make_unique<standin::LevelMapPublisher>();
            levels->SetVerbosity(5);
        }
        struct Row {
            std::string label;
            std::wstring cmd;
            std::wstring ini;
        };
        std::vector<Row> rows = {{"TrivialConsole.exe", L"\"" + bin + L"\\TrivialConsole.exe\"", L""}};
        for (int n : sizes) {
            rows.push_back({"PostPatternUpdate, " + std::to_string(n) + " types",
                            L"\"" + bin + L"\\KivProxy.exe\" KIVCOMP PostPatternUpdate \"" + dir + L"\\p" +
                                std::to_wstring(n) + L".ptn\" \"" + ini + L"\"",
                            ini});
        }
        for (const Row& row : rows) {
            const size_t before = sink ? sink->Count() : 0;
            const Stats s = Measure(row.cmd, runs, row.ini);
            printf("%-26s %-31s %9.2f %9.2f %9.2f %9.2f %5s", setups[setup], row.label.c_str(), s.median, s.mean,
                   s.min, s.max, s.allOk ? "0" : "FAIL");
            if (sink) {
                ::Sleep(200);
                printf("  %zu records/run", (sink->Count() - before) / static_cast<size_t>(runs + 2));
            }
            printf("\n");
            fflush(stdout);
        }
        if (sink) {
            sink->Stop();
        }
    }
    printf("\nINI writes alone, in-process (median of %d):\n", runs);
    for (int n : sizes) {
        std::vector<double> times;
        for (int i = 0; i < runs; ++i) {
            times.push_back(TimeIniWrites(ini, n));
        }
        std::sort(times.begin(), times.end());
        printf("  %4d types: %4d writes, %9.2f ms\n", n, 1 + 3 * n + 4, times[times.size() / 2]);
    }
    ::DeleteFileW(ini.c_str());
    for (int n : sizes) {
        ::DeleteFileW((dir + L"\\p" + std::to_wstring(n) + L".ptn").c_str());
    }
    ::RemoveDirectoryW(dir.c_str());
    return 0;
}
