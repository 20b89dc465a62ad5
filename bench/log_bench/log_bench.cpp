// Log path benchmark: rejected and accepted records beside their limits.
//
// Prints, for each figure, min and median over several runs and the ratio to
// its limit measured in the same run:
//   rejected DebugLogW        vs  an empty variadic call of the same signature
//   accepted DebugLogW        vs  raw connect + message mode + write + close
// (1 and 4 threads), against an in-process log server with many instances.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "log/debug_log.h"
#include "log_sink.h"

namespace {

#if defined(_MSC_VER)
__declspec(noinline)
#else
__attribute__((noinline))
#endif
bool EmptyLog(int nLevel, const wchar_t* pwszFile, int nLine, const wchar_t* pwszFormat, ...)
{
    // Keep the call from being folded away.
    static volatile int s_sink;
    s_sink = nLevel + nLine + (pwszFile != nullptr) + (pwszFormat != nullptr);
    return false;
}

double NowNs()
{
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER c;
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) * 1e9 / static_cast<double>(freq.QuadPart);
}

struct Stat {
    double min;
    double median;
};

Stat Summarise(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v.front(), v[v.size() / 2]};
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

// Runs `perThread` records on each of `threads` threads; returns records per second.
template <typename F>
double RecordsPerSecond(int threads, int perThread, F record)
{
    std::vector<std::thread> pool;
    std::atomic<int> failures{0};
    const double start = NowNs();
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
    const double seconds = (NowNs() - start) / 1e9;
    if (failures.load() != 0) {
        fprintf(stderr, "warning: %d records failed\n", failures.load());
    }
    return threads * perThread / seconds;
}

void PrintRow(const char* what, Stat value, const char* unit, Stat limit, bool lowerIsBetter)
{
    const double ratio = lowerIsBetter ? value.median / limit.median : limit.median / value.median;
    printf("%-34s %10.1f %10.1f %-10s | limit %10.1f %10.1f | ratio %.2f (goal <= 1.25)\n", what, value.min,
           value.median, unit, limit.min, limit.median, ratio);
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    const int runs = argc > 1 ? _wtoi(argv[1]) : 7;
    const int records = argc > 2 ? _wtoi(argv[2]) : 2000;

    standin::LevelMapPublisher levelMap;
    standin::LogSink sink;
    if (!levelMap.IsValid() || !sink.Start(L"Log_ServerNamePipe", 64)) {
        fprintf(stderr, "cannot set up the log server stand-in\n");
        return 1;
    }

    printf("%-34s %10s %10s %-10s | %-5s %10s %10s |\n", "figure", "best", "median", "unit", "", "best", "median");

    // Rejected records: filter on, verbosity 2, level 68 never passes.
    levelMap.SetVerbosity(2);
    DebugLogW(LOG_LEVEL_DEBUG, L"bench", 1, L"%s", L"warm"); // maps the level word once
    const int calls = 2000000;
    std::vector<double> rejected;
    std::vector<double> empty;
    for (int r = 0; r < runs; ++r) {
        double t0 = NowNs();
        for (int i = 0; i < calls; ++i) {
            DebugLogW(LOG_LEVEL_DEBUG, L"Utility/KivProxy/KivProxy", 990, L"%s - >>>", L"wmain");
        }
        rejected.push_back((NowNs() - t0) / calls);
        t0 = NowNs();
        for (int i = 0; i < calls; ++i) {
            EmptyLog(LOG_LEVEL_DEBUG, L"Utility/KivProxy/KivProxy", 990, L"%s - >>>", L"wmain");
        }
        empty.push_back((NowNs() - t0) / calls);
    }
    PrintRow("rejected DebugLogW", Summarise(rejected), "ns/call", Summarise(empty), true);

    // Accepted records: filter off.
    levelMap.SetWord(0);
    const std::wstring msg = SampleMessage();
    for (int threads : {1, 4}) {
        std::vector<double> accepted;
        std::vector<double> raw;
        for (int r = 0; r < runs; ++r) {
            accepted.push_back(RecordsPerSecond(threads, records / threads, [] {
                return DebugLogW(LOG_LEVEL_DEBUG, L"Utility/KivProxy/KivProxy", 990, L"%s - >>> %s", L"wmain",
                                 L"....................................................");
            }));
            raw.push_back(RecordsPerSecond(threads, records / threads, [&] { return RawRecord(msg); }));
        }
        std::vector<double> acceptedSlow;
        std::vector<double> rawSlow;
        for (double v : accepted) acceptedSlow.push_back(-v);
        for (double v : raw) rawSlow.push_back(-v);
        Stat a = Summarise(acceptedSlow);
        Stat w = Summarise(rawSlow);
        a = {-a.min, -a.median}; // best and median rate
        w = {-w.min, -w.median};
        char label[64];
        snprintf(label, sizeof(label), "accepted DebugLogW, %d thread%s", threads, threads > 1 ? "s" : "");
        PrintRow(label, a, "rec/s", w, false);
    }
    sink.Stop();
    printf("records received by the stand-in: %zu\n", sink.Count());
    return 0;
}
