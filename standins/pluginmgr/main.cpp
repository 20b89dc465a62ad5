// PluginManager.exe: the plug-in manager's command handler, played for tests and the sandbox.
//
//   PluginManager.exe [--scenario install|upgrade|never-ready|none|silent|no-write]
//                     [--reply-mode answer|silent|no-write] [--reply TEXT] [--reply-pieces N]
//                     [--reply-delay MS] [--ready-delay MS] [--complete-delay MS]
//                     [--language LANG] [--component ID] [--version VER]
//                     [--plugin-dir DIR] [--skip-library] [--log FILE]
//                     [--exit-after N] [--instances N] [--pipe NAME] [--no-stdin]
//
// Serves "Brontide QgdKivMgr Command Handler Manager" and takes the requests
//   kivmgr_KIV_COMPONENT_DOWNLOAD / _INSTALL / _UPGRADE
// each as "<command> TAB <request id> TAB <component> TAB <version>" in
// UTF-16LE without terminator. For each it prints a line, appends a line to
// the --log file (UTF-8, "command=.. id=.. component=.. version=.."), updates
// the component's registry values as the scenario says, then opens the reply
// pipe "\\.\pipe\<request id>" as a client, writes the reply text in
// --reply-pieces pipe messages and closes it.
//
// Registry: the component's key and values as standins/common/product_setup.h
// describes them. The component and version come from the request unless --component /
// --version override them; the request carries no language, so it is
// --language, 1033 (English, United States) by default.
//
// Scenarios (what happens to "Status"):
//   install      download: 1 at once, 3 after --ready-delay ms;
//                install or upgrade: after --complete-delay ms the library file
//                <plugin-dir>\<component>_<version>.dll is created, its path
//                written to _KIV_PluginDllPathname (unless --skip-library), then 7
//   upgrade      as install, but download leads to 5
//   never-ready  download: 1, and nothing more
//   none         no registry change (default)
//   silent       none + --reply-mode silent: the reply pipe is never opened
//   no-write     none + --reply-mode no-write: the reply pipe is opened and
//                closed without a write
// With a delay of 0 the values are written before the reply, so a requester
// that has read the reply to its end finds them already set.
//
// It stops after --exit-after requests, rejected ones included (letting
// delayed registry changes finish), when its standard input reaches end of file (unless --no-stdin),
// or on Ctrl-C / Ctrl-Break. Exit code 0, 2 for a bad command line, 1 when
// the pipe cannot be served.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_resource.h"
#include "console.h"
#include "pipe_serving.h"
#include "product_setup.h"

namespace {

namespace product = standin::product;
using product::kCmdDownload;
using product::kCmdInstall;
using product::kCmdUpgrade;

const DWORD kRequestReadTimeoutMs = 10000;

enum class Scenario { None, Install, Upgrade, NeverReady };
enum class ReplyMode { Answer, Silent, NoWrite };

struct Options {
    std::wstring pipe = product::kManagerPipe;
    Scenario scenario = Scenario::None;
    ReplyMode replyMode = ReplyMode::Answer;
    std::wstring reply = L"OK";
    unsigned replyPieces = 1;
    DWORD replyDelayMs = 0;
    DWORD readyDelayMs = 0;
    DWORD completeDelayMs = 0;
    std::wstring language = product::kDefaultLanguage;
    std::wstring component; // empty: from the request
    std::wstring version;
    bool versionGiven = false;
    std::wstring pluginDir;
    bool skipLibrary = false;
    std::wstring logFile;
    unsigned exitAfter = 0; // 0: no limit
    unsigned instances = 4;
    bool watchStdin = true;
};

Options g_opt;
UTIL::UniqueHandle g_quit;  // stop serving
UTIL::UniqueHandle g_abort; // also drop delayed registry changes
std::mutex g_outLock;
std::atomic<unsigned> g_requests{0};
std::mutex g_actionLock;
std::vector<std::thread> g_actions;

// Control characters shown as \t, \0, \xNN so that a log line stays one line.
std::wstring Printable(const std::wstring& s)
{
    std::wstring out;
    for (wchar_t c : s) {
        if (c == L'\t') {
            out += L"\\t";
        } else if (c == L'\0') {
            out += L"\\0";
        } else if (c < 0x20) {
            wchar_t buf[8];
            swprintf(buf, 8, L"\\x%02X", static_cast<unsigned>(c));
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

void Say(const std::wstring& line)
{
    std::lock_guard<std::mutex> lock(g_outLock);
    printf("PluginManager: %s\n", standin::ToUtf8(line).c_str());
    fflush(stdout);
}

void AppendLog(const std::wstring& line)
{
    if (g_opt.logFile.empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_outLock);
    FILE* f = _wfopen(g_opt.logFile.c_str(), L"ab");
    if (f != nullptr) {
        fprintf(f, "%s\n", standin::ToUtf8(line).c_str());
        fclose(f);
    }
}

bool SetRegString(const std::wstring& keyPath, const wchar_t* name, const std::wstring& value)
{
    const LONG rc = product::SetString(keyPath, name, value);
    if (rc != ERROR_SUCCESS) {
        Say(L"cannot write " + keyPath + L"\\" + name + L", err=" + std::to_wstring(rc));
        return false;
    }
    return true;
}

void SetStatus(const std::wstring& keyPath, int status)
{
    if (SetRegString(keyPath, product::kStatusValue, std::to_wstring(status))) {
        Say(L"Status=" + std::to_wstring(status) + L" under HKLM\\" + keyPath);
    }
}

void CompleteComponent(const std::wstring& keyPath, const std::wstring& component, const std::wstring& version)
{
    if (!g_opt.skipLibrary) {
        ::CreateDirectoryW(g_opt.pluginDir.c_str(), nullptr);
        const std::wstring library = product::LibraryPath(g_opt.pluginDir, component, version);
        if (!product::PlaceLibrary(library)) {
            Say(L"cannot create " + library + L", err=" + std::to_wstring(::GetLastError()));
        } else if (SetRegString(keyPath, product::kLibraryValue, library)) {
            Say(std::wstring(product::kLibraryValue) + L"=" + library);
        }
    }
    SetStatus(keyPath, product::kInstalled);
}

// Runs `action` now when `delayMs` is 0, else on a thread of its own after
// the delay (dropped when the stand-in is aborted first).
template <typename F>
void RunAfter(DWORD delayMs, F action)
{
    if (delayMs == 0) {
        action();
        return;
    }
    std::lock_guard<std::mutex> lock(g_actionLock);
    g_actions.emplace_back([delayMs, action] {
        if (::WaitForSingleObject(g_abort.Get(), delayMs) == WAIT_TIMEOUT) {
            action();
        }
    });
}

void UpdateRegistry(const std::wstring& command, const std::wstring& component, const std::wstring& version)
{
    if (g_opt.scenario == Scenario::None) {
        return;
    }
    const std::wstring keyPath = product::ComponentKey(component, version, g_opt.language);
    if (command == kCmdDownload) {
        SetStatus(keyPath, product::kDownloading);
        if (g_opt.scenario == Scenario::Install || g_opt.scenario == Scenario::Upgrade) {
            const int ready = g_opt.scenario == Scenario::Install ? product::kReadyToInstall : product::kReadyToUpgrade;
            RunAfter(g_opt.readyDelayMs, [keyPath, ready] { SetStatus(keyPath, ready); });
        }
    } else if (g_opt.scenario != Scenario::NeverReady) {
        RunAfter(g_opt.completeDelayMs,
                 [keyPath, component, version] { CompleteComponent(keyPath, component, version); });
    }
}

void WriteReply(const std::wstring& requestId)
{
    if (g_opt.replyMode == ReplyMode::Silent) {
        Say(L"reply pipe " + requestId + L" left alone (silent)");
        return;
    }
    if (g_opt.replyDelayMs != 0 && ::WaitForSingleObject(g_abort.Get(), g_opt.replyDelayMs) != WAIT_TIMEOUT) {
        return;
    }
    const std::wstring path = L"\\\\.\\pipe\\" + requestId;
    UTIL::UniqueHandle pipe;
    for (int attempt = 0; attempt < 5; ++attempt) {
        pipe.Reset(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (pipe.IsValid() || ::GetLastError() != ERROR_PIPE_BUSY) {
            break;
        }
        ::WaitNamedPipeW(path.c_str(), 2000);
    }
    if (!pipe.IsValid()) {
        Say(L"cannot open reply pipe " + path + L", err=" + std::to_wstring(::GetLastError()));
        return;
    }
    unsigned written = 0;
    if (g_opt.replyMode == ReplyMode::Answer && !g_opt.reply.empty()) {
        const size_t length = g_opt.reply.size();
        const size_t pieces = g_opt.replyPieces < 1 ? 1 : (g_opt.replyPieces > length ? length : g_opt.replyPieces);
        size_t start = 0;
        for (size_t i = 0; i < pieces; ++i) {
            const size_t end = (i + 1 == pieces) ? length : start + length / pieces;
            DWORD done = 0;
            if (!::WriteFile(pipe.Get(), g_opt.reply.data() + start, static_cast<DWORD>((end - start) * sizeof(wchar_t)),
                             &done, nullptr)) {
                Say(L"reply write failed, err=" + std::to_wstring(::GetLastError()));
                break;
            }
            ++written;
            start = end;
        }
    }
    pipe.Reset();
    Say(L"replied on " + requestId + L" in " + std::to_wstring(written) + L" piece(s)");
}

void HandleRequest(const standin::PipeMessage& message)
{
    const std::vector<BYTE>& raw = message.raw;
    const std::wstring text = message.Text();
    const std::vector<std::wstring> fields = standin::SplitTabs(text);
    const bool hasNul = text.find(L'\0') != std::wstring::npos;
    const bool known = fields[0] == kCmdDownload || fields[0] == kCmdInstall || fields[0] == kCmdUpgrade;
    if (fields.size() != 4 || hasNul || !known || (raw.size() % 2) != 0) {
        const std::wstring line = L"rejected bytes=" + std::to_wstring(raw.size()) + L" fields=" +
                                  std::to_wstring(fields.size()) + L" text=" + Printable(text);
        Say(line);
        AppendLog(line);
        return;
    }
    const std::wstring& command = fields[0];
    const std::wstring& requestId = fields[1];
    const std::wstring component = g_opt.component.empty() ? fields[2] : g_opt.component;
    const std::wstring version = g_opt.versionGiven ? g_opt.version : fields[3];
    const std::wstring line = L"command=" + command + L" id=" + requestId + L" component=" + Printable(fields[2]) +
                              L" version=" + Printable(fields[3]);
    Say(line);
    AppendLog(line);
    UpdateRegistry(command, component, version);
    WriteReply(requestId);
}

// One connection's message: a request when its sender closed its end after writing.
void OnMessage(const standin::PipeMessage& message)
{
    if (!message.complete) {
        if (!message.raw.empty()) {
            Say(L"request not finished by its sender, dropped");
        }
        return;
    }
    HandleRequest(message);
    const unsigned seen = ++g_requests;
    if (g_opt.exitAfter != 0 && seen >= g_opt.exitAfter) {
        ::SetEvent(g_quit.Get());
    }
}

int Usage()
{
    fprintf(stderr,
            "usage: PluginManager.exe [--scenario install|upgrade|never-ready|none|silent|no-write]\n"
            "         [--reply-mode answer|silent|no-write] [--reply TEXT] [--reply-pieces N] [--reply-delay MS]\n"
            "         [--ready-delay MS] [--complete-delay MS] [--language LANG] [--component ID] [--version VER]\n"
            "         [--plugin-dir DIR] [--skip-library] [--log FILE] [--exit-after N] [--instances N]\n"
            "         [--pipe NAME] [--no-stdin]\n");
    return 2;
}

bool ParseNumber(const wchar_t* text, DWORD& value)
{
    wchar_t* end = nullptr;
    const unsigned long v = wcstoul(text, &end, 10);
    if (end == text || *end != L'\0') {
        return false;
    }
    value = static_cast<DWORD>(v);
    return true;
}

bool ParseArgs(int argc, wchar_t* argv[])
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        const bool hasNext = i + 1 < argc;
        DWORD n = 0;
        if (a == L"--skip-library") {
            g_opt.skipLibrary = true;
        } else if (a == L"--no-stdin") {
            g_opt.watchStdin = false;
        } else if (!hasNext) {
            return false;
        } else if (a == L"--scenario") {
            const std::wstring v = argv[++i];
            if (v == L"install") {
                g_opt.scenario = Scenario::Install;
            } else if (v == L"upgrade") {
                g_opt.scenario = Scenario::Upgrade;
            } else if (v == L"never-ready") {
                g_opt.scenario = Scenario::NeverReady;
            } else if (v == L"none") {
                g_opt.scenario = Scenario::None;
            } else if (v == L"silent") {
                g_opt.scenario = Scenario::None;
                g_opt.replyMode = ReplyMode::Silent;
            } else if (v == L"no-write") {
                g_opt.scenario = Scenario::None;
                g_opt.replyMode = ReplyMode::NoWrite;
            } else {
                return false;
            }
        } else if (a == L"--reply-mode") {
            const std::wstring v = argv[++i];
            if (v == L"answer") {
                g_opt.replyMode = ReplyMode::Answer;
            } else if (v == L"silent") {
                g_opt.replyMode = ReplyMode::Silent;
            } else if (v == L"no-write") {
                g_opt.replyMode = ReplyMode::NoWrite;
            } else {
                return false;
            }
        } else if (a == L"--reply") {
            g_opt.reply = argv[++i];
        } else if (a == L"--reply-pieces" && ParseNumber(argv[i + 1], n) && n > 0) {
            g_opt.replyPieces = n;
            ++i;
        } else if (a == L"--reply-delay" && ParseNumber(argv[i + 1], n)) {
            g_opt.replyDelayMs = n;
            ++i;
        } else if (a == L"--ready-delay" && ParseNumber(argv[i + 1], n)) {
            g_opt.readyDelayMs = n;
            ++i;
        } else if (a == L"--complete-delay" && ParseNumber(argv[i + 1], n)) {
            g_opt.completeDelayMs = n;
            ++i;
        } else if (a == L"--language") {
            g_opt.language = argv[++i];
        } else if (a == L"--component") {
            g_opt.component = argv[++i];
        } else if (a == L"--version") {
            g_opt.version = argv[++i];
            g_opt.versionGiven = true;
        } else if (a == L"--plugin-dir") {
            g_opt.pluginDir = argv[++i];
        } else if (a == L"--log") {
            g_opt.logFile = argv[++i];
        } else if (a == L"--exit-after" && ParseNumber(argv[i + 1], n)) {
            g_opt.exitAfter = n;
            ++i;
        } else if (a == L"--instances" && ParseNumber(argv[i + 1], n) && n > 0 && n <= 64) {
            g_opt.instances = n;
            ++i;
        } else if (a == L"--pipe") {
            g_opt.pipe = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (!ParseArgs(argc, argv)) {
        return Usage();
    }
    if (g_opt.pluginDir.empty()) {
        wchar_t tmp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, tmp);
        g_opt.pluginDir = std::wstring(tmp) + L"PluginManagerPlugins";
    }
    while (!g_opt.pluginDir.empty() && (g_opt.pluginDir.back() == L'\\' || g_opt.pluginDir.back() == L'/')) {
        g_opt.pluginDir.pop_back();
    }

    g_quit.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_abort.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const std::wstring path = L"\\\\.\\pipe\\" + g_opt.pipe;
    standin::InboundPipeServer server;
    if (!server.Start(path, g_opt.instances, g_quit.Get(), kRequestReadTimeoutMs, OnMessage)) {
        const DWORD err = ::GetLastError();
        fprintf(stderr, "PluginManager: cannot serve %s, err=%lu\n", standin::ToUtf8(path).c_str(), err);
        return 1;
    }
    Say(L"listening on " + path + L" with " + std::to_wstring(g_opt.instances) + L" instances");
    standin::SetEventsOnConsoleEnd({g_abort.Get(), g_quit.Get()}, g_opt.watchStdin);

    ::WaitForSingleObject(g_quit.Get(), INFINITE);
    server.Join();
    std::vector<std::thread> actions;
    {
        std::lock_guard<std::mutex> lock(g_actionLock);
        actions.swap(g_actions);
    }
    for (std::thread& t : actions) {
        t.join();
    }
    Say(L"stopped after " + std::to_wstring(g_requests.load()) + L" request(s)");
    return 0;
}
