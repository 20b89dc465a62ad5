// Shared pieces of the reliability suite: product set-up, child processes, a scripted plug-in manager,
// a fast-clock install environment, import hooks and guarded buffers.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/install.h"
#include "app/manager_requests.h"
#include "common/unique_resource.h"
#include "guarded_buffer.h"
#include "test_support.h"

namespace reliability {

const DWORD kExitFailure = static_cast<DWORD>(-1);
const wchar_t kKivRoot[] = L"SOFTWARE\\Brontide\\Quellguard\\service\\Kiv";

// Child processes that crash end at once with their exception code instead
// of starting the system debugger (the error mode is inherited).
void QuietCrashes();

// True when the exit code is one of the program's two results.
inline bool IsProgramResult(DWORD dwExitCode)
{
    return dwExitCode == 0 || dwExitCode == kExitFailure;
}

// Writes a registry value under HKLM (keys created as needed).
bool SetRegValue(const std::wstring& key, const wchar_t* name, DWORD type, const void* data, DWORD cb);
bool SetRegString(const std::wstring& key, const wchar_t* name, const std::wstring& value);

// The product as the program finds it: "Local_Path" pointing at a fresh
// folder with a component list, and component keys under test-unique
// identifiers. Everything is put back or removed when the object goes.
class ProductSetup {
public:
    ProductSetup();
    ~ProductSetup();
    ProductSetup(const ProductSetup&) = delete;
    ProductSetup& operator=(const ProductSetup&) = delete;

    const std::wstring& Folder() const { return m_dir.Path(); }
    std::wstring File(const std::wstring& name) const { return m_dir.File(name); }
    std::wstring ListPath() const { return m_dir.File(L"QGCE_KIV_COMP_LIST.xml"); }

    // Points Local_Path somewhere else (the value is restored at the end).
    void SetLocalPath(const std::wstring& path);
    void SetLocalPathRaw(DWORD type, const void* data, DWORD cb);

    // Writes the component list as given, byte for byte.
    void WriteList(const std::string& bytes);
    // Writes a UTF-8 list with one Component per (id, version) pair, language 1033.
    void WriteSimpleList(const std::vector<std::pair<std::wstring, std::wstring>>& components);

    // Component key path of (id, version, language).
    static std::wstring KeyPath(const std::wstring& id, const std::wstring& version,
                                const std::wstring& language = L"1033");
    // Remembers the id's key for removal.
    void Track(const std::wstring& id);
    void SetStatus(const std::wstring& id, const std::wstring& version, const std::wstring& status);
    // A present plug-in library, registered, with status 7.
    void MarkInstalled(const std::wstring& id, const std::wstring& version);

private:
    testing_support::TempDir m_dir;
    std::vector<BYTE> m_savedLocalPath;
    DWORD m_savedType = REG_NONE;
    bool m_hadLocalPath = false;
    std::vector<std::wstring> m_tracked;
};

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

// The plug-in manager's command handler played on threads of this process:
// serves "Brontide QgdKivMgr Command Handler Manager", one request at a time,
// updates the component's registry values and answers each request as its
// reply mode says.
class ScriptedManager {
public:
    enum class Reply {
        Answer,      // open the reply pipe, write "OK", close it
        Silent,      // never open the reply pipe
        OpenAndHold, // open it and keep it open without writing until Stop
        Flood,       // write 1000-byte pieces without pause until a write fails
        Trickle,     // write a short piece every 20 ms until a write fails or Stop
    };
    struct Request {
        std::wstring command, id, component, version;
        SECURITY_IMPERSONATION_LEVEL level = static_cast<SECURITY_IMPERSONATION_LEVEL>(-1);
        bool levelRead = false;
    };

    ScriptedManager(Reply reply, const std::wstring& pluginDir);
    ~ScriptedManager();
    ScriptedManager(const ScriptedManager&) = delete;
    ScriptedManager& operator=(const ScriptedManager&) = delete;

    bool Listening() const { return m_bListening; }
    // Status written on a download request (none when negative).
    void StatusOnDownload(int status) { m_statusOnDownload = status; }
    // Whether an install or upgrade request completes the component.
    void CompleteOnInstall(bool complete) { m_completeOnInstall = complete; }
    // Stops serving (its pipe goes away) after this many requests.
    void StopServingAfter(unsigned n) { m_stopAfter = n; }

    void Stop();
    std::vector<Request> Requests() const;
    size_t BytesWritten() const { return m_bytesWritten.load(); }

private:
    void Serve();
    bool Await(OVERLAPPED& ov, DWORD* pcb);
    void Act(const Request& request);
    void Answer(const std::wstring& replyPipe);

    Reply m_reply;
    std::wstring m_pluginDir;
    int m_statusOnDownload = -1;
    bool m_completeOnInstall = false;
    unsigned m_stopAfter = 0;
    UTIL::UniqueHandle m_hPipe;
    UTIL::UniqueHandle m_hQuit;
    bool m_bListening = false;
    std::thread m_server;
    std::vector<std::thread> m_replies;
    mutable std::mutex m_mutex;
    std::vector<Request> m_requests;
    std::atomic<size_t> m_bytesWritten{0};
};

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

using testing_support::GuardedBuffer;

} // namespace reliability
