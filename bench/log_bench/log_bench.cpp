// Log path benchmark: rejected and accepted records beside their limits.
//
// Emits, for each figure, the best and median time of several runs beside its
// limit measured in the same runs (bench/run.sh prints the table):
//   rejected DebugLogW        vs  an empty variadic call of the same signature
//   accepted DebugLogW        vs  raw connect + message mode + write + close
// (1 and 4 threads), against an in-process log server with many instances.
//   log_bench [runs] [records per run]
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "log/debug_log.h"
#include "log_sink.h"

namespace {

volatile int g_emptySink;

// The limit of a rejected record: a call with the same signature and the same
// arguments that does nothing. Not inlined, cloned or specialised for the
// constant arguments, so that the call passes them as DebugLogW's call does.
#if defined(_MSC_VER)
__declspec(noinline)
#else
__attribute__((noipa))
#endif
bool EmptyLog(int nLevel, const wchar_t* pwszFile, int nLine, const wchar_t* pwszFormat, ...)
{
    // Keep the call from being folded away.
    g_emptySink = nLevel + nLine + (pwszFile != nullptr) + (pwszFormat != nullptr);
    return false;
}

// A 300-byte-ish LOG_WRITE message, as the raw loop's payload.
std::wstring SampleMessage()
{
    std::wstring text = L"LOG_WRITE\t1765180000\t1234\t5678\t68\tUtility/KivProxy/KivProxy\t990\t[][KivProxy.exe]wmain - >>>";
    text.resize(149, L'.');
    return text;
}

bool RawRecord(const std::wstring& msg)
{
    HANDLE h;
    for (;;) {
        h = ::CreateFileW(L"\\\\.\\pipe\\Log_ServerNamePipe", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            break;
        }
        if (::GetLastError() != ERROR_PIPE_BUSY || !::WaitNamedPipeW(L"\\\\.\\pipe\\Log_ServerNamePipe", 0)) {
            return false;
        }
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    ::SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
    DWORD written = 0;
    const BOOL ok = ::WriteFile(h, msg.c_str(), static_cast<DWORD>((msg.size() + 1) * 2), &written, nullptr);
    ::CloseHandle(h);
    return ok != FALSE;
}

// Runs `perThread` records on each of `threads` threads; returns microseconds
// per record (wall time over all records).
template <typename F>
double MicrosecondsPerRecord(int threads, int perThread, F record)
{
    std::vector<std::thread> pool;
    std::atomic<int> failures{0};
    const double start = bench::NowMs();
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            for (int i = 0; i < perThread; ++i) {
                if (!record()) {
                    ++failures;
                }
            }
        });
    }
    for (auto& th : pool) {
        th.join();
    }
    const double ms = bench::NowMs() - start;
    if (failures.load() != 0) {
        bench::Note("log path: %d of %d records failed", failures.load(), threads * perThread);
    }
    return ms * 1000.0 / (threads * perThread);
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 7;
    const int records = argc > 2 ? std::max(4, _wtoi(argv[2])) : 2000;

    standin::LevelMapPublisher levelMap;
    standin::LogSink sink;
    if (!levelMap.IsValid() || !sink.Start(L"Log_ServerNamePipe", 64)) {
        fprintf(stderr, "cannot set up the log server stand-in\n");
        return 1;
    }

    // Rejected records: filter on, verbosity 2, level 68 never passes.
    levelMap.SetVerbosity(2);
    DebugLogW(LOG_LEVEL_DEBUG, L"bench", 1, L"%s", L"warm"); // maps the level word once
    // Each run alternates slices of both loops, so that both see the same clock
    // speed and the same interruptions.
    const int slices = 20;
    const int callsPerSlice = 100000;
    std::vector<double> rejected;
    std::vector<double> empty;
    for (int r = -1; r < runs; ++r) { // the first run warms up and is not kept
        double msRejected = 0;
        double msEmpty = 0;
        for (int slice = 0; slice < slices; ++slice) {
            double t0 = bench::NowMs();
            for (int i = 0; i < callsPerSlice; ++i) {
                DebugLogW(LOG_LEVEL_DEBUG, L"Utility/KivProxy/KivProxy", 990, L"%s - >>>", L"wmain");
            }
            const double t1 = bench::NowMs();
            for (int i = 0; i < callsPerSlice; ++i) {
                EmptyLog(LOG_LEVEL_DEBUG, L"Utility/KivProxy/KivProxy", 990, L"%s - >>>", L"wmain");
            }
            msRejected += t1 - t0;
            msEmpty += bench::NowMs() - t1;
        }
        if (r >= 0) {
            rejected.push_back(msRejected * 1e6 / (slices * callsPerSlice));
            empty.push_back(msEmpty * 1e6 / (slices * callsPerSlice));
        }
    }
    bench::Row row;
    row.group = "log path";
    row.figure = "rejected record (DebugLogW)";
    row.setup = "filtered out";
    row.unit = "ns";
    row.value = bench::Summarise(rejected);
    row.limit = "empty call of the same signature";
    row.limitValue = bench::Summarise(empty);
    row.goal = 1.25;
    row.runs = runs;
    bench::EmitRow(row);

    // Accepted records: filter off, every record goes to the stand-in.
    levelMap.SetWord(0);
    const std::wstring msg = SampleMessage();
    for (int threads : {1, 4}) {
        std::vector<double> accepted;
        std::vector<double> raw;
        for (int r = 0; r < runs; ++r) {
            accepted.push_back(MicrosecondsPerRecord(threads, records / threads, [] {
                return DebugLogW(LOG_LEVEL_DEBUG, L"Utility/KivProxy/KivProxy", 990, L"%s - >>> %s", L"wmain",
                                 L"....................................................");
            }));
            raw.push_back(MicrosecondsPerRecord(threads, records / threads, [&] { return RawRecord(msg); }));
        }
        row.figure = std::string("accepted record, ") + (threads == 1 ? "1 thread" : "4 threads");
        row.setup = "one connection per record";
        row.unit = "us";
        row.value = bench::Summarise(accepted);
        row.limit = "raw connect+set-mode+write+close";
        row.limitValue = bench::Summarise(raw);
        bench::EmitRow(row);
    }
    sink.Stop();
    bench::Note("log path: %d records per run and figure; the stand-in received %zu records in all", records,
                sink.Count());
    return 0;
}
