// Shared pieces of the reliability suite: child processes, a fast-clock install environment and
// import hooks.
#include "reliability_support.h"

#include <cstring>

#include "app/component_lookup.h"

using UTIL::UniqueHandle;

namespace reliability {

void QuietCrashes()
{
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

testing_support::ProcessResult RunKivProxyExe(const std::wstring& args, DWORD timeoutMs)
{
    return testing_support::RunProcess(L"\"" + testing_support::BinDir() + L"\\KivProxy.exe\" " + args, timeoutMs);
}

std::wstring QuoteArg(const std::wstring& arg)
{
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

ChildProcess::ChildProcess(const std::wstring& commandLine)
{
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE hRead = nullptr;
    HANDLE hWrite = nullptr;
    if (!::CreatePipe(&hRead, &hWrite, &sa, 0)) {
        return;
    }
    UniqueHandle readEnd(hRead);
    m_stdin.Reset(hWrite);
    ::SetHandleInformation(hWrite, HANDLE_FLAG_INHERIT, 0);
    HANDLE hNul = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                OPEN_EXISTING, 0, nullptr);
    UniqueHandle nul(hNul == INVALID_HANDLE_VALUE ? nullptr : hNul);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hRead;
    si.hStdOutput = nul.Get();
    si.hStdError = nul.Get();
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = commandLine;
    if (::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        m_process.Reset(pi.hProcess);
        ::CloseHandle(pi.hThread);
    }
}

ChildProcess::~ChildProcess()
{
    if (m_process.IsValid() && !Stop(5000)) {
        Kill();
    }
}

bool ChildProcess::Stop(DWORD timeoutMs)
{
    m_stdin.Reset();
    return WaitExit(timeoutMs);
}

bool ChildProcess::WaitExit(DWORD timeoutMs)
{
    return !m_process.IsValid() || ::WaitForSingleObject(m_process.Get(), timeoutMs) == WAIT_OBJECT_0;
}

void ChildProcess::Kill()
{
    if (m_process.IsValid()) {
        ::TerminateProcess(m_process.Get(), 0xDEAD);
        ::WaitForSingleObject(m_process.Get(), 5000);
    }
}

DWORD ChildProcess::ExitCode() const
{
    DWORD code = STILL_ACTIVE;
    if (m_process.IsValid()) {
        ::GetExitCodeProcess(m_process.Get(), &code);
    }
    return code;
}

bool WaitForPipe(const std::wstring& name, DWORD timeoutMs)
{
    const std::wstring path = L"\\\\.\\pipe\\" + name;
    const DWORD start = ::GetTickCount();
    do {
        if (::WaitNamedPipeW(path.c_str(), 50)) {
            return true;
        }
        ::Sleep(10);
    } while (::GetTickCount() - start < timeoutMs);
    return false;
}

FastClockEnvironment::FastClockEnvironment(const ManagerReplyLimits& limits, DWORD realPauseMs)
    : m_limits(limits), m_realPauseMs(realPauseMs)
{
}

bool FastClockEnvironment::GetProductInfo(const std::wstring& strId, std::wstring& strVersion,
                                          std::wstring& strLanguage)
{
    return DefaultInstallEnvironment().GetProductInfo(strId, strVersion, strLanguage);
}

bool FastClockEnvironment::GetProductDllPath(std::wstring& strDllPath, const std::wstring& strId,
                                             const std::wstring& strVersion, const std::wstring& strLanguage)
{
    return DefaultInstallEnvironment().GetProductDllPath(strDllPath, strId, strVersion, strLanguage);
}

bool FastClockEnvironment::FileExists(const std::wstring& strPath)
{
    return DefaultInstallEnvironment().FileExists(strPath);
}

void FastClockEnvironment::QueryActionStatus(int& nStatus, const std::wstring& strId, const std::wstring& strVersion,
                                             const std::wstring& strLanguage)
{
    ++m_queries;
    DefaultInstallEnvironment().QueryActionStatus(nStatus, strId, strVersion, strLanguage);
}

bool FastClockEnvironment::Send(const wchar_t* pwszCommand, const std::wstring& strId, const std::wstring& strVersion)
{
    RequestRecord record;
    record.command = pwszCommand;
    const DWORD start = ::GetTickCount();
    record.delivered = SendComponentRequest(pwszCommand, strId, strVersion, m_limits);
    record.elapsedMs = ::GetTickCount() - start;
    m_requests.push_back(record);
    if (afterRequest) {
        afterRequest(record.command);
    }
    return record.delivered;
}

bool FastClockEnvironment::RequestComponentDownload(const std::wstring& strId, const std::wstring& strVersion)
{
    return Send(kCmdComponentDownload, strId, strVersion);
}

bool FastClockEnvironment::RequestComponentInstall(const std::wstring& strId, const std::wstring& strVersion)
{
    return Send(kCmdComponentInstall, strId, strVersion);
}

bool FastClockEnvironment::RequestComponentUpgrade(const std::wstring& strId, const std::wstring& strVersion)
{
    return Send(kCmdComponentUpgrade, strId, strVersion);
}

void FastClockEnvironment::Pause(DWORD dwMilliseconds)
{
    m_pausedMs += dwMilliseconds;
    ++m_pauses;
    ::Sleep(m_realPauseMs);
}

ImportHook::ImportHook(const char* pszDll, const char* pszFunction, void* pReplacement)
{
    BYTE* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) {
        return;
    }
    for (auto* desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); desc->Name != 0;
         ++desc) {
        if (_stricmp(reinterpret_cast<const char*>(base + desc->Name), pszDll) != 0 || desc->OriginalFirstThunk == 0) {
            continue;
        }
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), pszFunction) != 0) {
                continue;
            }
            void** ppSlot = reinterpret_cast<void**>(&slots->u1.Function);
            DWORD oldProtect = 0;
            if (!::VirtualProtect(ppSlot, sizeof(void*), PAGE_READWRITE, &oldProtect)) {
                return;
            }
            m_pOriginal = *ppSlot;
            *ppSlot = pReplacement;
            ::VirtualProtect(ppSlot, sizeof(void*), oldProtect, &oldProtect);
            m_ppSlot = ppSlot;
            return;
        }
    }
}

ImportHook::~ImportHook()
{
    if (m_ppSlot == nullptr) {
        return;
    }
    DWORD oldProtect = 0;
    if (::VirtualProtect(m_ppSlot, sizeof(void*), PAGE_READWRITE, &oldProtect)) {
        *m_ppSlot = m_pOriginal;
        ::VirtualProtect(m_ppSlot, sizeof(void*), oldProtect, &oldProtect);
    }
}

} // namespace reliability
