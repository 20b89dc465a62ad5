// Shared pieces of the benchmarks: clocks, summaries, rows, child processes.
#include "bench_common.h"

#include <psapi.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "product_setup.h"

namespace bench {

double NowMs()
{
    static const double s_msPerTick = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return 1000.0 / static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER c;
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) * s_msPerTick;
}

Summary Summarise(std::vector<double> samples)
{
    Summary s;
    if (samples.empty()) {
        return s;
    }
    std::sort(samples.begin(), samples.end());
    s.best = samples.front();
    const size_t n = samples.size();
    s.median = (n % 2 == 1) ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    return s;
}

void EmitRow(const Row& r)
{
    printf("@row\t%s\t%s\t%s\t%s\t%.6g\t%.6g\t%s\t%.6g\t%.6g\t%.3g\t%.1f\t%.1f\t%d\n", r.group.c_str(),
           r.figure.c_str(), r.setup.c_str(), r.unit.c_str(), r.value.best, r.value.median, r.limit.c_str(),
           r.limitValue.best, r.limitValue.median, r.goal, r.peakMb, r.limitPeakMb, r.runs);
    fflush(stdout);
}

void Note(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    printf("@note\t%s\n", text);
    fflush(stdout);
}

std::wstring BinDir()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path);
    return s.substr(0, s.find_last_of(L"\\/"));
}

std::wstring MakeTempDir(const wchar_t* tag)
{
    wchar_t tmp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, tmp);
    const std::wstring dir = std::wstring(tmp) + L"kiv_" + tag + L"_" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

void RemoveTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW fd;
    HANDLE h = ::FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring path = dir + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                ::DeleteFileW(path.c_str());
            }
        } while (::FindNextFileW(h, &fd));
        ::FindClose(h);
    }
    ::RemoveDirectoryW(dir.c_str());
}

bool WriteTextFile(const std::wstring& path, const std::string& text)
{
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && ok;
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (f == nullptr) {
        return bytes;
    }
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
        bytes.append(buf, n);
    }
    fclose(f);
    return bytes;
}

ChildRun RunChild(const std::wstring& commandLine)
{
    ChildRun run;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = commandLine;
    const double start = NowMs();
    if (!::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr, &si, &pi)) {
        return run;
    }
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    run.ms = NowMs() - start;
    run.started = true;
    ::GetExitCodeProcess(pi.hProcess, &run.exitCode);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return run;
}

SIZE_T PeakWorkingSetAtExit(const std::wstring& commandLine, DWORD* exitCode)
{
    // ntdll sits at the same address in every process, so does its exit call.
    BYTE* const pExit =
        reinterpret_cast<BYTE*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlExitUserProcess"));
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = commandLine;
    *exitCode = 0;
    if (pExit == nullptr || !::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE,
                                              DEBUG_ONLY_THIS_PROCESS | DETACHED_PROCESS, nullptr, nullptr, &si, &pi)) {
        return 0;
    }
    SIZE_T peak = 0;
    BYTE original = 0;
    bool armed = false;
    for (;;) {
        DEBUG_EVENT ev;
        if (!::WaitForDebugEvent(&ev, 600000)) {
            ::TerminateProcess(pi.hProcess, 1);
            break;
        }
        DWORD continueStatus = DBG_CONTINUE;
        switch (ev.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT: {
            if (ev.u.CreateProcessInfo.hFile != nullptr) {
                ::CloseHandle(ev.u.CreateProcessInfo.hFile);
            }
            const BYTE breakpoint = 0xCC;
            SIZE_T n = 0;
            armed = ::ReadProcessMemory(pi.hProcess, pExit, &original, 1, &n) &&
                    ::WriteProcessMemory(pi.hProcess, pExit, &breakpoint, 1, &n);
            ::FlushInstructionCache(pi.hProcess, pExit, 1);
            break;
        }
        case LOAD_DLL_DEBUG_EVENT:
            if (ev.u.LoadDll.hFile != nullptr) {
                ::CloseHandle(ev.u.LoadDll.hFile);
            }
            break;
        case EXCEPTION_DEBUG_EVENT: {
            const EXCEPTION_RECORD& er = ev.u.Exception.ExceptionRecord;
            if (er.ExceptionCode == EXCEPTION_BREAKPOINT && armed && er.ExceptionAddress == pExit) {
                PROCESS_MEMORY_COUNTERS pmc = {};
                pmc.cb = sizeof(pmc);
                if (::GetProcessMemoryInfo(pi.hProcess, &pmc, sizeof(pmc))) {
                    peak = pmc.PeakWorkingSetSize;
                }
                // Put the instruction back and run it.
                SIZE_T n = 0;
                ::WriteProcessMemory(pi.hProcess, pExit, &original, 1, &n);
                ::FlushInstructionCache(pi.hProcess, pExit, 1);
                HANDLE hThread = ::OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, ev.dwThreadId);
                if (hThread != nullptr) {
                    CONTEXT ctx = {};
                    ctx.ContextFlags = CONTEXT_CONTROL;
                    if (::GetThreadContext(hThread, &ctx)) {
                        ctx.Eip = static_cast<DWORD>(reinterpret_cast<uintptr_t>(pExit));
                        ::SetThreadContext(hThread, &ctx);
                    }
                    ::CloseHandle(hThread);
                }
                armed = false;
            } else if (er.ExceptionCode != EXCEPTION_BREAKPOINT) {
                continueStatus = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        }
        default:
            break;
        }
        ::ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, continueStatus);
        if (ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
            *exitCode = ev.u.ExitProcess.dwExitCode;
            break;
        }
    }
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return peak;
}

std::string ComponentList(int count)
{
    std::vector<standin::product::Component> components;
    for (int i = 0; i < count; ++i) {
        wchar_t id[16];
        swprintf(id, 16, L"Comp%05d", i);
        components.push_back({id, L"1.0." + std::to_wstring(i), L"0409"});
    }
    return standin::product::ComponentListXml(components);
}

std::wstring Quote(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

} // namespace bench
