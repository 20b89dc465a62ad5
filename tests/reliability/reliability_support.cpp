// Shared pieces of the reliability suite: product set-up, child processes, a scripted plug-in manager,
// a fast-clock install environment, import hooks and guarded buffers.
#include "reliability_support.h"

#include <cstring>

#include "app/component_lookup.h"

using UTIL::UniqueHandle;

namespace reliability {

namespace {

std::string Utf8(const std::wstring& w)
{
    return testing_support::Narrow(w);
}

std::vector<std::wstring> SplitTabs(const std::wstring& text)
{
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = text.find(L'\t', start);
        fields.push_back(text.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start));
        if (tab == std::wstring::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

} // namespace

void QuietCrashes()
{
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

bool SetRegValue(const std::wstring& key, const wchar_t* name, DWORD type, const void* data, DWORD cb)
{
    HKEY hKey = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    UTIL::UniqueRegKey owner(hKey);
    return ::RegSetValueExW(hKey, name, 0, type, static_cast<const BYTE*>(data), cb) == ERROR_SUCCESS;
}

bool SetRegString(const std::wstring& key, const wchar_t* name, const std::wstring& value)
{
    return SetRegValue(key, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

ProductSetup::ProductSetup()
{
    DWORD cb = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kProductInformationKey, L"Local_Path", RRF_RT_ANY | RRF_NOEXPAND,
                       &m_savedType, nullptr, &cb) == ERROR_SUCCESS) {
        m_savedLocalPath.resize(cb);
        m_hadLocalPath = ::RegGetValueW(HKEY_LOCAL_MACHINE, kProductInformationKey, L"Local_Path",
                                        RRF_RT_ANY | RRF_NOEXPAND, &m_savedType,
                                        cb != 0 ? m_savedLocalPath.data() : nullptr, &cb) == ERROR_SUCCESS;
    }
    SetLocalPath(m_dir.Path());
}

ProductSetup::~ProductSetup()
{
    if (m_hadLocalPath) {
        SetRegValue(kProductInformationKey, L"Local_Path", m_savedType, m_savedLocalPath.data(),
                    static_cast<DWORD>(m_savedLocalPath.size()));
    } else {
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProductInformationKey, L"Local_Path");
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProductInformationKey); // only when nothing else is in it
    }
    for (const std::wstring& id : m_tracked) {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kKivRoot) + L"\\" + id).c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(kKivRoot) + L"\\" + id).c_str());
    }
}

void ProductSetup::SetLocalPath(const std::wstring& path)
{
    SetRegString(kProductInformationKey, L"Local_Path", path);
}

void ProductSetup::SetLocalPathRaw(DWORD type, const void* data, DWORD cb)
{
    SetRegValue(kProductInformationKey, L"Local_Path", type, data, cb);
}

void ProductSetup::WriteList(const std::string& bytes)
{
    testing_support::WriteFileBytes(ListPath(), bytes);
}

void ProductSetup::WriteSimpleList(const std::vector<std::pair<std::wstring, std::wstring>>& components)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<QGCE_COMPONENT_ID_LIST>\r\n";
    for (const auto& c : components) {
        xml += "<Component ID=\"" + Utf8(c.first) + "\" Version=\"" + Utf8(c.second) + "\" Language=\"1033\"/>\r\n";
    }
    xml += "</QGCE_COMPONENT_ID_LIST>\r\n";
    WriteList(xml);
}

std::wstring ProductSetup::KeyPath(const std::wstring& id, const std::wstring& version, const std::wstring& language)
{
    return std::wstring(kKivRoot) + L"\\" + id + L"\\1_" + language + L"_" + version;
}

void ProductSetup::Track(const std::wstring& id)
{
    m_tracked.push_back(id);
}

void ProductSetup::SetStatus(const std::wstring& id, const std::wstring& version, const std::wstring& status)
{
    Track(id);
    SetRegString(KeyPath(id, version), L"Status", status);
}

void ProductSetup::MarkInstalled(const std::wstring& id, const std::wstring& version)
{
    Track(id);
    const std::wstring library = m_dir.File(L"plugin_" + std::to_wstring(m_tracked.size()) + L".dll");
    testing_support::WriteFileBytes(library, "library");
    SetRegString(KeyPath(id, version), L"_KIV_PluginDllPathname", library);
    SetRegString(KeyPath(id, version), L"Status", L"7");
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

ScriptedManager::ScriptedManager(Reply reply, const std::wstring& pluginDir) : m_reply(reply), m_pluginDir(pluginDir)
{
    m_hQuit.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const std::wstring path = std::wstring(L"\\\\.\\pipe\\") + kManagerCommandPipeName;
    HANDLE h = ::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                  PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 65536, 1000, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return;
    }
    m_hPipe.Reset(h);
    m_bListening = true;
    m_server = std::thread(&ScriptedManager::Serve, this);
}

ScriptedManager::~ScriptedManager()
{
    Stop();
}

void ScriptedManager::Stop()
{
    ::SetEvent(m_hQuit.Get());
    if (m_server.joinable()) {
        m_server.join();
    }
    std::vector<std::thread> replies;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        replies.swap(m_replies);
    }
    for (std::thread& t : replies) {
        t.join();
    }
    m_hPipe.Reset();
}

std::vector<ScriptedManager::Request> ScriptedManager::Requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

// Waits for the overlapped operation on the manager's pipe; false when told to quit (the
// operation is then cancelled) or when it failed (its error is left in the last error).
bool ScriptedManager::Await(OVERLAPPED& ov, DWORD* pcb)
{
    const HANDLE handles[2] = {ov.hEvent, m_hQuit.Get()};
    if (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) {
        ::CancelIoEx(m_hPipe.Get(), &ov);
        ::GetOverlappedResult(m_hPipe.Get(), &ov, pcb, TRUE);
        ::SetLastError(ERROR_OPERATION_ABORTED);
        return false;
    }
    return ::GetOverlappedResult(m_hPipe.Get(), &ov, pcb, FALSE) != FALSE;
}

void ScriptedManager::Serve()
{
    UniqueHandle hEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    unsigned served = 0;
    while (::WaitForSingleObject(m_hQuit.Get(), 0) == WAIT_TIMEOUT) {
        OVERLAPPED ov = {};
        ov.hEvent = hEvent.Get();
        DWORD cb = 0;
        // A client that wrote and left before the call (ERROR_NO_DATA) still left its request.
        if (!::ConnectNamedPipe(m_hPipe.Get(), &ov)) {
            const DWORD err = ::GetLastError();
            if (err == ERROR_IO_PENDING) {
                if (!Await(ov, &cb)) {
                    ::DisconnectNamedPipe(m_hPipe.Get());
                    continue;
                }
            } else if (err != ERROR_PIPE_CONNECTED && err != ERROR_NO_DATA) {
                ::DisconnectNamedPipe(m_hPipe.Get());
                continue;
            }
        }
        std::vector<BYTE> raw;
        Request request;
        BYTE buffer[4096];
        for (;;) {
            ov = OVERLAPPED{};
            ov.hEvent = hEvent.Get();
            cb = 0;
            BOOL ok = ::ReadFile(m_hPipe.Get(), buffer, sizeof(buffer), &cb, &ov);
            if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
                ok = Await(ov, &cb);
            }
            if (!ok && ::GetLastError() != ERROR_MORE_DATA) {
                break; // the client closed its end, or quit
            }
            raw.insert(raw.end(), buffer, buffer + cb);
            if (!request.levelRead && ::ImpersonateNamedPipeClient(m_hPipe.Get())) {
                HANDLE hToken = nullptr;
                if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &hToken)) {
                    UniqueHandle token(hToken);
                    DWORD cbLevel = 0;
                    request.levelRead = ::GetTokenInformation(hToken, TokenImpersonationLevel, &request.level,
                                                              sizeof(request.level), &cbLevel) != FALSE;
                }
                ::RevertToSelf();
            }
        }
        ::DisconnectNamedPipe(m_hPipe.Get());
        if (::WaitForSingleObject(m_hQuit.Get(), 0) == WAIT_OBJECT_0) {
            break;
        }
        std::wstring text(raw.size() / sizeof(wchar_t), L'\0');
        if (!text.empty()) {
            memcpy(&text[0], raw.data(), text.size() * sizeof(wchar_t));
        }
        const std::vector<std::wstring> fields = SplitTabs(text);
        if (fields.size() == 4) {
            request.command = fields[0];
            request.id = fields[1];
            request.component = fields[2];
            request.version = fields[3];
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requests.push_back(request);
            }
            Act(request);
            ++served;
        }
        if (m_stopAfter != 0 && served >= m_stopAfter) {
            m_hPipe.Reset(); // the pipe goes away with its only instance
            return;
        }
    }
}

void ScriptedManager::Act(const Request& request)
{
    const std::wstring key = ProductSetup::KeyPath(request.component, request.version);
    if (request.command == kCmdComponentDownload) {
        if (m_statusOnDownload >= 0) {
            SetRegString(key, L"Status", std::to_wstring(m_statusOnDownload));
        }
    } else if (m_completeOnInstall) {
        const std::wstring library = m_pluginDir + L"\\scripted_" + request.version + L".dll";
        testing_support::WriteFileBytes(library, "library");
        SetRegString(key, L"_KIV_PluginDllPathname", library);
        SetRegString(key, L"Status", L"7");
    }
    if (m_reply == Reply::Silent) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.emplace_back(&ScriptedManager::Answer, this, request.id);
}

void ScriptedManager::Answer(const std::wstring& replyPipe)
{
    const std::wstring path = L"\\\\.\\pipe\\" + replyPipe;
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    UniqueHandle pipe(h == INVALID_HANDLE_VALUE ? nullptr : h);
    if (!pipe.IsValid()) {
        return;
    }
    DWORD done = 0;
    switch (m_reply) {
    case Reply::Answer:
        if (::WriteFile(pipe.Get(), L"OK", 4, &done, nullptr)) {
            m_bytesWritten += done;
        }
        break;
    case Reply::OpenAndHold:
        ::WaitForSingleObject(m_hQuit.Get(), 60000);
        break;
    case Reply::Flood: {
        const std::wstring piece(500, L'f');
        while (::WaitForSingleObject(m_hQuit.Get(), 0) == WAIT_TIMEOUT &&
               ::WriteFile(pipe.Get(), piece.data(), 1000, &done, nullptr)) {
            m_bytesWritten += done;
        }
        break;
    }
    case Reply::Trickle:
        while (::WriteFile(pipe.Get(), L"tick", 8, &done, nullptr)) {
            m_bytesWritten += done;
            if (::WaitForSingleObject(m_hQuit.Get(), 20) == WAIT_OBJECT_0) {
                break;
            }
        }
        break;
    case Reply::Silent:
        break;
    }
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
