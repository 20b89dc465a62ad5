// process_bench.exe: KivProxy.exe from process start to exit for a run with too few arguments and
// for an Install of a component that is already installed, beside TrivialConsole.exe, with the
// peak working set of each command. Two yardsticks show what the design itself costs: COM
// initialised and released (every command past the argument check does it) and COM with one
// load of the component list (the floor of an already-installed Install).
//   process_bench [runs]
// Two log set-ups: the log server stand-in with verbosity 5 and with every record accepted.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_common.h"
#include "log_sink.h"
#include "product_setup.h"

namespace {

namespace product = standin::product;

struct Program {
    const char* name;
    std::wstring commandLine;
    DWORD expectedExit;
    std::vector<double> times;
    bool allOk = true;
    double peakMb = -1;
};

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 9;
    const std::wstring bin = bench::BinDir();
    const std::wstring dir = bench::MakeTempDir(L"process_bench");
    const std::wstring list = dir + L"\\" + product::kComponentListFile;
    if (!bench::WriteTextFile(list, bench::ComponentList(10)) ||
        product::SetString(product::kInformationKey, product::kLocalPathValue, dir) != ERROR_SUCCESS ||
        !product::MarkInstalled(dir, {L"Comp00003", L"1.0.3", L"0409"})) {
        fprintf(stderr, "cannot set up the installed component\n");
        return 1;
    }

    standin::LevelMapPublisher levels;
    standin::LogSink sink;
    if (!levels.IsValid() || !sink.Start(L"Log_ServerNamePipe", 8)) {
        fprintf(stderr, "cannot start the log server stand-in\n");
        return 1;
    }

    const std::wstring kivProxy = bench::Quote(bin + L"\\KivProxy.exe");
    const std::wstring comDom = bench::Quote(bin + L"\\ComDomLoad.exe");
    struct Setup {
        const char* name;
        uint32_t word;
    };
    for (const Setup setup : {Setup{"log: verbosity 5", 0x10005u}, Setup{"log: every record", 0u}}) {
        levels.SetWord(setup.word);
        std::vector<Program> programs = {
            {"TrivialConsole.exe", bench::Quote(bin + L"\\TrivialConsole.exe"), 0, {}},
            {"too few arguments", kivProxy, static_cast<DWORD>(-1), {}},
            {"Install, already installed", kivProxy + L" Comp00003 Install", 0, {}},
            {"COM initialised and released", comDom, 0, {}},
            {"COM + load of the component list", comDom + L" " + bench::Quote(list), 0, {}},
        };
        const int processRuns = 3 * runs;
        const size_t recordsBefore = sink.Count();
        for (int r = -2; r < processRuns; ++r) {
            // A rotating order, so that no program always follows the same one.
            for (size_t k = 0; k < programs.size(); ++k) {
                Program& p = programs[(static_cast<size_t>(r + 2) + k) % programs.size()];
                const bench::ChildRun run = bench::RunChild(p.commandLine);
                if (!run.started || run.exitCode != p.expectedExit) {
                    p.allOk = false;
                }
                if (r >= 0) {
                    p.times.push_back(run.ms);
                }
            }
        }
        ::Sleep(200);
        const size_t records = sink.Count() - recordsBefore;
        if (setup.word != 0) {
            for (Program& p : programs) {
                DWORD exitCode = 0;
                p.peakMb = static_cast<double>(bench::PeakWorkingSetAtExit(p.commandLine, &exitCode)) / (1024 * 1024);
            }
        } else {
            bench::Note("process start to exit, every record: %zu records per too-few-arguments run and Install "
                        "together (1 from the first)",
                        records / static_cast<size_t>(processRuns + 2));
        }

        const Program& trivial = programs[0];
        const Program& floor = programs[4];
        auto emit = [&](const Program& p, const Program& limit, double goal, const char* prefix) {
            bench::Row row;
            row.group = "process start to exit";
            row.figure = std::string(prefix) + p.name + (p.allOk ? "" : " (UNEXPECTED EXIT CODE)");
            row.setup = setup.name;
            row.unit = "ms";
            row.value = bench::Summarise(p.times);
            row.limit = limit.name;
            row.limitValue = bench::Summarise(limit.times);
            row.goal = goal;
            row.peakMb = p.peakMb;
            row.limitPeakMb = limit.peakMb;
            row.runs = processRuns;
            bench::EmitRow(row);
        };
        emit(programs[1], trivial, 1.25, "");
        emit(programs[2], trivial, 1.5, "");
        emit(programs[3], trivial, 0, "(reference) ");
        emit(programs[4], trivial, 0, "(reference) ");
        emit(programs[2], floor, 0, "");
    }
    sink.Stop();
    product::DeleteTree(product::kInformationKey);
    product::DeleteTree(product::ComponentRoot(L"Comp00003"));
    bench::RemoveTree(dir);
    return 0;
}
