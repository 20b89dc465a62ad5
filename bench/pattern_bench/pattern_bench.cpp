// pattern_bench.exe: `KivProxy.exe <id> PostPatternUpdate <pattern> <ini>` from process start to
// exit for patterns of 1, 100, 1000 and 5000 major types, beside IniWriteLoop.exe making the same
// WritePrivateProfileStringW calls (Count, three keys per type, the list in four sections) in a bare
// loop into an INI file in the same folder, also timed from process start to exit.
//   pattern_bench [runs] [largest type count]
// Two log set-ups: the log server stand-in with verbosity 5 (trace and info records filtered out,
// as in normal operation) and with every record accepted (one connection per record), the
// latter up to 1000 types. For up to 100 types a reference row compares the command with the
// same loop run after CoInitializeEx, which every command of KivProxy.exe does first.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_common.h"
#include "log_sink.h"
#include "pattern_format.h"

namespace {

const char kExtList[] = "{*;exe;dll;com;scr;doc;xls;zip}";
const wchar_t kIniExtList[] = L"exe,.dll,.com,.scr,.doc,.xls,.zip"; // as the export rewrites it

// Every type gets the engine actions 0 and 2 (written as 1 and 4) and the name
// Type_<n-1>, so that IniWriteLoop.exe can write the same values.
bool WritePattern(const std::wstring& path, int types)
{
    quarn32::Pattern pattern;
    for (int i = 0; i < types; ++i) {
        char name[17];
        snprintf(name, sizeof(name), "Type_%05d", i);
        pattern.types.push_back({0, 2, name});
    }
    pattern.extList = kExtList;
    std::vector<uint8_t> image;
    return quarn32::SerializePattern(pattern, &image, nullptr) &&
           bench::WriteTextFile(path, std::string(image.begin(), image.end()));
}

int RunsFor(int types, int runs)
{
    if (types <= 100) {
        return runs;
    }
    if (types <= 1000) {
        return std::max(3, (runs + 1) / 2);
    }
    return 3;
}

struct Cell {
    std::vector<double> times[3]; // the command, the loop, the loop with COM
    bool allOk = true;
};

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 9;
    const int largest = argc > 2 ? _wtoi(argv[2]) : 5000;
    const std::wstring bin = bench::BinDir();
    const std::wstring dir = bench::MakeTempDir(L"pattern_bench");
    const std::wstring commandIni = dir + L"\\command.ini";
    const std::wstring loopIni = dir + L"\\loop.ini";

    std::vector<int> sizes;
    for (int n : {1, 100, 1000, 5000}) {
        if (n <= largest) {
            sizes.push_back(n);
        }
    }
    for (int n : sizes) {
        if (!WritePattern(dir + L"\\p" + std::to_wstring(n) + L".ptn", n)) {
            fprintf(stderr, "cannot write the %d-type pattern\n", n);
            return 1;
        }
    }
    auto commandLine = [&](int n) {
        return bench::Quote(bin + L"\\KivProxy.exe") + L" KIVCOMP PostPatternUpdate " +
               bench::Quote(dir + L"\\p" + std::to_wstring(n) + L".ptn") + L" " + bench::Quote(commandIni);
    };
    auto loopLine = [&](int n, bool com = false) {
        return bench::Quote(bin + L"\\IniWriteLoop.exe") + L" " + bench::Quote(loopIni) + L" " + std::to_wstring(n) +
               L" " + kIniExtList + (com ? L" com" : L"");
    };

    standin::LevelMapPublisher levels;
    standin::LogSink sink;
    if (!levels.IsValid() || !sink.Start(L"Log_ServerNamePipe", 8)) {
        fprintf(stderr, "cannot start the log server stand-in\n");
        return 1;
    }

    struct Setup {
        const char* name;
        uint32_t word;
        int largest;
    };
    const Setup setups[] = {{"log: verbosity 5", 0x10005u, 5000}, {"log: every record", 0u, 1000}};
    std::vector<double> mediansVerbosity5;
    for (const Setup& setup : setups) {
        levels.SetWord(setup.word);
        for (int n : sizes) {
            if (n > setup.largest) {
                continue;
            }
            const int cellRuns = RunsFor(n, runs);
            const bool withCom = setup.word != 0 && n <= 100;
            const int programs = withCom ? 3 : 2;
            Cell cell;
            const size_t recordsBefore = sink.Count();
            // Small exports warm the file cache first; larger ones follow a warm one.
            const int warm = n <= 100 ? 2 : 0;
            for (int r = -warm; r < cellRuns; ++r) {
                // A rotating order, so that none always goes first.
                for (int k = 0; k < programs; ++k) {
                    const int which = (r + warm + k) % programs;
                    const std::wstring& ini = which == 0 ? commandIni : loopIni;
                    ::DeleteFileW(ini.c_str());
                    const bench::ChildRun run = bench::RunChild(which == 0 ? commandLine(n) : loopLine(n, which == 2));
                    if (!run.started || run.exitCode != 0) {
                        cell.allOk = false;
                    }
                    if (r >= 0) {
                        cell.times[which].push_back(run.ms);
                    }
                }
            }
            ::Sleep(200);
            const size_t records = sink.Count() - recordsBefore;
            const std::string sameIni = bench::ReadFileBytes(commandIni) == bench::ReadFileBytes(loopIni)
                                            ? ""
                                            : " (INI FILES DIFFER)";

            bench::Row row;
            row.group = "PostPatternUpdate";
            char figure[96];
            snprintf(figure, sizeof(figure), "%d major type%s, %d INI writes%s", n, n == 1 ? "" : "s", 1 + 3 * n + 4,
                     cell.allOk ? "" : " (FAILED)");
            row.figure = figure + sameIni;
            row.setup = setup.name;
            row.unit = "ms";
            row.value = bench::Summarise(cell.times[0]);
            row.limit = "IniWriteLoop.exe: same writes, bare loop";
            row.limitValue = bench::Summarise(cell.times[1]);
            row.goal = 1.25;
            row.runs = cellRuns;
            if (setup.word != 0) {
                DWORD exitCode = 0;
                ::DeleteFileW(commandIni.c_str());
                row.peakMb = static_cast<double>(bench::PeakWorkingSetAtExit(commandLine(n), &exitCode)) / (1024 * 1024);
                if (n <= 1000) { // the loop's peak hardly moves; spare the longest run
                    ::DeleteFileW(loopIni.c_str());
                    row.limitPeakMb =
                        static_cast<double>(bench::PeakWorkingSetAtExit(loopLine(n), &exitCode)) / (1024 * 1024);
                }
                mediansVerbosity5.push_back(row.value.median);
            } else {
                bench::Note("PostPatternUpdate, %d types, every record: %zu records per run", n,
                            records / static_cast<size_t>(cellRuns + warm));
            }
            bench::EmitRow(row);
            if (withCom) {
                bench::Row floor = row;
                floor.figure = "(reference) " + row.figure;
                floor.limit = "IniWriteLoop.exe com: the loop after CoInitializeEx";
                floor.limitValue = bench::Summarise(cell.times[2]);
                floor.goal = 0;
                floor.limitPeakMb = -1;
                bench::EmitRow(floor);
            }
        }
    }
    sink.Stop();

    // Growth of the whole command with the type count (verbosity 5).
    std::string growth;
    for (size_t i = 1; i < mediansVerbosity5.size(); ++i) {
        char part[96];
        snprintf(part, sizeof(part), "%s%d -> %d types: x%.1f", i > 1 ? "; " : "", sizes[i - 1], sizes[i],
                 mediansVerbosity5[i] / mediansVerbosity5[i - 1]);
        growth += part;
    }
    if (!growth.empty()) {
        bench::Note("PostPatternUpdate growth of the median (verbosity 5): %s", growth.c_str());
    }
    bench::RemoveTree(dir);
    return 0;
}
