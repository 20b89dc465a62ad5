// Helpers shared by the tests: log capture, child processes, temporary files.
#include "test_support.h"

#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace testing_support {

LogCapture::LogCapture(unsigned instances)
{
    m_bStarted = m_sink.Start(L"Log_ServerNamePipe", instances);
}

LogCapture::~LogCapture()
{
    m_sink.Stop();
}

static bool Matches(const standin::LogRecord& r, int level, int line, const std::wstring& fragment)
{
    return r.level == level && (line < 0 || r.line == line) &&
           (fragment.empty() || r.text.find(fragment) != std::wstring::npos);
}

bool LogCapture::WaitFor(int level, int line, const std::wstring& fragment, DWORD timeoutMs) const
{
    return m_sink.WaitUntil(
        [&](const std::vector<standin::LogRecord>& recs) {
            for (const auto& r : recs) {
                if (Matches(r, level, line, fragment)) {
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
}

void LogCapture::Settle(DWORD quietMs) const
{
    size_t last = m_sink.Count();
    for (int i = 0; i < 100; ++i) {
        ::Sleep(quietMs);
        const size_t now = m_sink.Count();
        if (now == last) {
            return;
        }
        last = now;
    }
}

std::vector<standin::LogRecord> LogCapture::Matching(int level, int line, const std::wstring& fragment) const
{
    std::vector<standin::LogRecord> out;
    for (const auto& r : m_sink.Records()) {
        if (Matches(r, level, line, fragment)) {
            out.push_back(r);
        }
    }
    return out;
}

std::string LogCapture::Dump() const
{
    std::string s;
    for (const auto& r : m_sink.Records()) {
        s += Narrow(standin::FormatLogRecord(r));
        s += '\n';
    }
    return s;
}

ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs)
{
    ProcessResult result;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE hRead = nullptr;
    HANDLE hWrite = nullptr;
    if (!::CreatePipe(&hRead, &hWrite, &sa, 0)) {
        return result;
    }
    ::SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE hNul = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hNul;
    si.hStdOutput = hWrite;
    si.hStdError = hNul;
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = commandLine;
    const DWORD start = ::GetTickCount();
    const BOOL ok = ::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    ::CloseHandle(hWrite);
    if (hNul != INVALID_HANDLE_VALUE) {
        ::CloseHandle(hNul);
    }
    if (!ok) {
        ::CloseHandle(hRead);
        return result;
    }
    result.started = true;
    std::string output;
    std::thread reader([&] {
        char buf[4096];
        DWORD got = 0;
        while (::ReadFile(hRead, buf, sizeof(buf), &got, nullptr) && got > 0) {
            output.append(buf, got);
        }
    });
    if (::WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        result.timedOut = true;
        ::TerminateProcess(pi.hProcess, 0xDEAD);
        ::WaitForSingleObject(pi.hProcess, 5000);
    }
    result.elapsedMs = ::GetTickCount() - start;
    ::GetExitCodeProcess(pi.hProcess, &result.exitCode);
    reader.join();
    result.output = output;
    ::CloseHandle(hRead);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return result;
}

std::wstring BinDir()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path);
    const size_t slash = s.find_last_of(L"\\/");
    return slash == std::wstring::npos ? s : s.substr(0, slash);
}

std::wstring UniqueName(const std::wstring& prefix)
{
    static std::atomic<unsigned> counter{0};
    return prefix + L"_" + std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(::GetTickCount()) +
           L"_" + std::to_wstring(counter++);
}

TempDir::TempDir()
{
    wchar_t tmp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, tmp);
    m_path = std::wstring(tmp) + UniqueName(L"kivtest");
    ::CreateDirectoryW(m_path.c_str(), nullptr);
}

TempDir::~TempDir()
{
    std::wstring from = m_path;
    from.push_back(L'\0'); // double-NUL list
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    ::SHFileOperationW(&op);
}

std::string Narrow(const std::wstring& w)
{
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n : 0, '\0');
    if (n > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    }
    return s;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    fclose(f);
    return ok;
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string s;
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (f == nullptr) {
        return s;
    }
    char buf[4096];
    size_t got;
    while ((got = fread(buf, 1, sizeof(buf), f)) > 0) {
        s.append(buf, got);
    }
    fclose(f);
    return s;
}

// Wine 8 answers GetProcessHandleCount with 0 for every process; the system's
// handle table, filtered by process, gives the real number there.
static DWORD HandleCountFromSystemTable()
{
    typedef LONG(NTAPI * PFN_QUERY)(ULONG, PVOID, ULONG, PULONG);
    struct HandleEntry { // SYSTEM_HANDLE_TABLE_ENTRY_INFO
        ULONG pid;
        BYTE type;
        BYTE flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    const ULONG kSystemHandleInformation = 16;
    const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    const auto query = reinterpret_cast<PFN_QUERY>(
        reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) {
        return 0;
    }
    std::vector<BYTE> buffer(256 * 1024);
    ULONG cb = 0;
    LONG status;
    while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &cb)) ==
           kInfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) {
        return 0;
    }
    const ULONG entries = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entry = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(ULONG_PTR));
    const DWORD pid = ::GetCurrentProcessId();
    DWORD count = 0;
    for (ULONG i = 0; i < entries; ++i) {
        count += entry[i].pid == pid ? 1 : 0;
    }
    return count;
}

DWORD ProcessHandleCount()
{
    DWORD count = 0;
    if (!::GetProcessHandleCount(::GetCurrentProcess(), &count) || count == 0) {
        count = HandleCountFromSystemTable();
    }
    return count;
}

} // namespace testing_support
