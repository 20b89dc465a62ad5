// Shared pieces of the reliability suite: child processes, a fast-clock install environment and
// import hooks (the product set-up, the fake manager and guarded buffers come from tests/support).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "app/install.h"
#include "app/manager_requests.h"
#include "common/unique_resource.h"
#include "fake_manager.h"
#include "guarded_buffer.h"
#include "product_support.h"
#include "test_support.h"

namespace reliability {

using testing_support::FakeManager;
using testing_support::GuardedBuffer;
using testing_support::ProductSetup;

const DWORD kExitFailure = static_cast<DWORD>(-1);

// Child processes that crash end at once with their exception code instead
// of starting the system debugger (the error mode is inherited).
void QuietCrashes();

// True when the exit code is one of the program's two results.
inline bool IsProgramResult(DWORD dwExitCode)
{
    return dwExitCode == 0 || dwExitCode == kExitFailure;
}

// Runs KivProxy.exe from the build folder with the given argument text.
testing_support::ProcessResult RunKivProxyExe(const std::wstring& args, DWORD timeoutMs = 60000);

// Quotes one argument for the command line as the C runtime splits it.
std::wstring QuoteArg(const std::wstring& arg);

// A child process whose standard input is a pipe held by the test (stand-ins
// stop when it closes) and whose output goes nowhere.
class ChildProcess {
public:
    explicit ChildProcess(const std::wstring& commandLine);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_process.IsValid(); }
    // Closes its standard input and waits for it to end; false when it did not.
    bool Stop(DWORD timeoutMs = 10000);
    bool WaitExit(DWORD timeoutMs);
    void Kill();
    DWORD ExitCode() const;
    HANDLE Handle() const { return m_process.Get(); }

private:
    UTIL::UniqueHandle m_process;
    UTIL::UniqueHandle m_stdin;
};

// Waits until a pipe of that name accepts connections.
bool WaitForPipe(const std::wstring& name, DWORD timeoutMs);

// The program's install environment with the registry, the component list,
// the file system and the plug-in manager pipe as they are, but with every
// 5-second pause counted instead of slept (a short real pause lets the
// manager act) and each request's reply wait held to `limits`.
class FastClockEnvironment : public IInstallEnvironment {
public:
    struct RequestRecord {
        std::wstring command;
        bool delivered = false;
        DWORD elapsedMs = 0;
    };

    explicit FastClockEnvironment(const ManagerReplyLimits& limits, DWORD realPauseMs = 20);

    bool GetProductInfo(const std::wstring& strId, std::wstring& strVersion, std::wstring& strLanguage) override;
    bool GetProductDllPath(std::wstring& strDllPath, const std::wstring& strId, const std::wstring& strVersion,
                           const std::wstring& strLanguage) override;
    bool FileExists(const std::wstring& strPath) override;
    void QueryActionStatus(int& nStatus, const std::wstring& strId, const std::wstring& strVersion,
                           const std::wstring& strLanguage) override;
    bool RequestComponentDownload(const std::wstring& strId, const std::wstring& strVersion) override;
    bool RequestComponentInstall(const std::wstring& strId, const std::wstring& strVersion) override;
    bool RequestComponentUpgrade(const std::wstring& strId, const std::wstring& strVersion) override;
    void Pause(DWORD dwMilliseconds) override;

    // Called after each request with its command name.
    std::function<void(const std::wstring&)> afterRequest;

    DWORD PausedMs() const { return m_pausedMs; }
    unsigned Pauses() const { return m_pauses; }
    unsigned Queries() const { return m_queries; }
    const std::vector<RequestRecord>& Requests() const { return m_requests; }

private:
    bool Send(const wchar_t* pwszCommand, const std::wstring& strId, const std::wstring& strVersion);

    ManagerReplyLimits m_limits;
    DWORD m_realPauseMs;
    DWORD m_pausedMs = 0;
    unsigned m_pauses = 0;
    unsigned m_queries = 0;
    std::vector<RequestRecord> m_requests;
};

// Replaces one function that the running program imports from a DLL, in the
// program's own import table, until the object goes. Calls made through other
// modules' tables are not seen.
class ImportHook {
public:
    ImportHook(const char* pszDll, const char* pszFunction, void* pReplacement);
    ~ImportHook();
    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;

    bool Installed() const { return m_ppSlot != nullptr; }
    void* Original() const { return m_pOriginal; }

private:
    void** m_ppSlot = nullptr;
    void* m_pOriginal = nullptr;
};

} // namespace reliability
