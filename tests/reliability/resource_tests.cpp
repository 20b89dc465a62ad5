// Every handle, key, view, module and COM reference is released on every path: the process's handle
// count and module list are the same before and after many repetitions of each operation.
#include <gtest/gtest.h>

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/component_lookup.h"
#include "app/kivproxy.h"
#include "app/manager_requests.h"
#include "com/com_initiator.h"
#include "log/debug_log.h"
#include "pipe/cmd_protocol.h"
#include "pipe/pipe_server.h"
#include "pipe/pipe_util.h"
#include "reliability_support.h"

using namespace reliability;
using testing_support::ProcessHandleCount;
using testing_support::UniqueName;
using UTIL::UniqueHandle;

namespace {

std::vector<HMODULE> Modules()
{
    std::vector<HMODULE> modules(512);
    DWORD cb = 0;
    ::EnumProcessModules(::GetCurrentProcess(), modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &cb);
    modules.resize(cb / sizeof(HMODULE));
    std::sort(modules.begin(), modules.end());
    return modules;
}

SIZE_T PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PagefileUsage;
}

// Runs `operation` a few times to let the platform set up what it keeps for
// good (COM's apartment, loaded DLLs), then `repeats` times more, and expects
// the handle count and the module list to be unchanged by the repetitions.
void ExpectNothingKept(const char* what, int repeats, const std::function<void()>& operation)
{
    SCOPED_TRACE(what);
    for (int i = 0; i < 3; ++i) {
        operation();
    }
    const DWORD handlesBefore = ProcessHandleCount();
    ASSERT_GT(handlesBefore, 0u);
    const std::vector<HMODULE> modulesBefore = Modules();
    const SIZE_T bytesBefore = PrivateBytes();
    for (int i = 0; i < repeats; ++i) {
        operation();
    }
    const DWORD handlesAfter = ProcessHandleCount();
    const long long grown = static_cast<long long>(PrivateBytes()) - static_cast<long long>(bytesBefore);
    std::printf("%s x%d: handles %lu -> %lu, modules %zu -> %zu, private bytes %+lld\n", what, repeats, handlesBefore,
                handlesAfter, modulesBefore.size(), Modules().size(), grown);
    // A leak shows once per repetition; the threads' runtime may make one
    // synchronisation handle of its own for good, at any point.
    EXPECT_LE(handlesAfter, handlesBefore + 1);
    EXPECT_EQ(modulesBefore, Modules());
    EXPECT_LT(grown, 8ll * 1024 * 1024);
}

int RunArgs(std::vector<std::wstring> args)
{
    std::vector<wchar_t*> argv;
    for (std::wstring& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    return RunKivProxy(static_cast<int>(args.size()), argv.data());
}

TEST(ResourceTest, TheCountSeesKeysPipesAndEvents)
{
    const DWORD before = ProcessHandleCount();
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &hKey));
    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_EQ(before + 2, ProcessHandleCount());
    ::RegCloseKey(hKey);
    event.Reset();
    EXPECT_EQ(before, ProcessHandleCount());
}

TEST(ResourceTest, InstallCommandReleasesEverythingOnEveryEarlyEnd)
{
    ProductSetup product;
    const std::wstring installed = UniqueName(L"ResInstalled");
    const std::wstring pending = UniqueName(L"ResPending");
    product.WriteComponents({{installed, L"1"}, {pending, L"1"}});
    product.MarkInstalled(installed, L"1");
    product.MarkInstalled(pending, L"1");
    product.SetStatus(pending, L"1", L"3");
    ExpectNothingKept("Install, component missing from the list", 20,
                      [] { EXPECT_EQ(-1, RunArgs({L"KivProxy.exe", L"NotInTheList", L"Install"})); });
    ExpectNothingKept("Install, installed and complete", 20,
                      [&] { EXPECT_EQ(0, RunArgs({L"KivProxy.exe", installed, L"Install"})); });
    ExpectNothingKept("Install, installed but not complete", 20,
                      [&] { EXPECT_EQ(-1, RunArgs({L"KivProxy.exe", pending, L"Install"})); });
    product.WriteList("<QGCE_COMPONENT_ID_LIST><Component ID=");
    ExpectNothingKept("Install, malformed list", 20,
                      [&] { EXPECT_EQ(-1, RunArgs({L"KivProxy.exe", installed, L"Install"})); });
    ExpectNothingKept("unknown command", 20, [] { EXPECT_EQ(-1, RunArgs({L"KivProxy.exe", L"C", L"Bogus"})); });
}

TEST(ResourceTest, PatternCommandReleasesEverythingOnEveryPath)
{
    testing_support::TempDir dir;
    const std::wstring samples = testing_support::BinDir() + L"\\samples\\";
    const std::wstring ini = dir.File(L"out.ini");
    ExpectNothingKept("PostPatternUpdate, exported", 20, [&] {
        EXPECT_EQ(0, RunArgs({L"KivProxy.exe", L"C", L"PostPatternUpdate", samples + L"standard.ptn", ini}));
    });
    ExpectNothingKept("PostPatternUpdate, no major type", 20, [&] {
        EXPECT_EQ(-1, RunArgs({L"KivProxy.exe", L"C", L"PostPatternUpdate", samples + L"no_major_types.ptn", ini}));
    });
    ExpectNothingKept("PostPatternUpdate, missing pattern", 20, [&] {
        EXPECT_EQ(-1, RunArgs({L"KivProxy.exe", L"C", L"PostPatternUpdate", dir.File(L"none.ptn"), ini}));
    });
    ExpectNothingKept("PostPatternUpdate, INI is a folder", 20, [&] {
        EXPECT_EQ(-1, RunArgs({L"KivProxy.exe", L"C", L"PostPatternUpdate", samples + L"standard.ptn", dir.Path()}));
    });
}

TEST(ResourceTest, PipeServerReleasesEverythingWhateverItsState)
{
    const std::wstring name = UniqueName(L"kiv_res_server");
    ExpectNothingKept("CPipeServer listening, read timed out", 50, [&] {
        CPipeServer server;
        ASSERT_TRUE(server.Initial(name.c_str(), nullptr));
        server.SetReadTimeout(1);
        char buffer[16];
        DWORD bytes = sizeof(buffer);
        EXPECT_FALSE(server.Read(buffer, &bytes));
    });
    ExpectNothingKept("CPipeServer with a client that came and went", 30, [&] {
        CPipeServer server;
        ASSERT_TRUE(server.Initial(3, name.c_str(), nullptr, nullptr));
        UniqueHandle client(::CreateFileW((L"\\\\.\\pipe\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                          nullptr));
        DWORD done = 0;
        EXPECT_TRUE(::WriteFile(client.Get(), "hello", 5, &done, nullptr));
        client.Reset();
        char buffer[16];
        DWORD bytes = sizeof(buffer);
        EXPECT_TRUE(server.Read(buffer, &bytes));
        bytes = sizeof(buffer);
        EXPECT_FALSE(server.Read(buffer, &bytes));
    });
    ExpectNothingKept("CPipeServer with a name too long", 50, [] {
        CPipeServer server;
        EXPECT_FALSE(server.Initial(std::wstring(300, L'n').c_str(), nullptr));
    });
    // Another server of the name, with free instances: refused.
    UniqueHandle other(::CreateNamedPipeW((L"\\\\.\\pipe\\" + name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, PIPE_UNLIMITED_INSTANCES, 1024, 1024,
                                          1000, nullptr));
    ASSERT_TRUE(other.IsValid());
    ExpectNothingKept("CPipeServer on a name another server has", 50, [&] {
        CPipeServer server;
        ::SetLastError(0xdeadbeef);
        EXPECT_FALSE(server.Initial(name.c_str(), nullptr));
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());
    });
}

TEST(ResourceTest, FailedAndAbandonedExchangesReleaseEverything)
{
    const std::wstring absent = UniqueName(L"kiv_res_absent");
    ExpectNothingKept("PipeSendAndRecvW, serving pipe absent", 50, [&] {
        CPipeServer server;
        EXPECT_FALSE(PipeSendAndRecvW(L"ping", 8, UniqueName(L"kiv_res_reply").c_str(), absent.c_str(), server, nullptr));
    });

    ProductSetup product;
    FakeManager manager(FakeManager::Reply::Silent);
    ASSERT_TRUE(manager.Listening());
    const ManagerReplyLimits limits = {/* idle */ 30, /* total */ 200, /* bytes */ 4096};
    ExpectNothingKept("request to a manager that never answers", 10, [&] {
        EXPECT_TRUE(SendComponentRequest(kCmdComponentDownload, L"ResComp", L"1", limits));
    });
    manager.Stop();
    ExpectNothingKept("request to a manager that is gone", 30, [&] {
        EXPECT_FALSE(SendComponentRequest(kCmdComponentDownload, L"ResComp", L"1", limits));
    });
}

TEST(ResourceTest, LookupsReleaseEverythingOnEveryPath)
{
    UTIL::CComInitiator com(COINIT_MULTITHREADED, FALSE);
    ProductSetup product;
    const std::wstring id = UniqueName(L"ResLookup");
    product.MarkInstalled(id, L"1");
    const std::string good = "<QGCE_COMPONENT_ID_LIST><Component ID=\"" + testing_support::Narrow(id) +
                             "\" Version=\"1\" Language=\"1033\"/></QGCE_COMPONENT_ID_LIST>";
    const struct {
        const char* what;
        std::string list;
        bool found;
    } lists[] = {{"GetProductInfo, found", good, true},
                 {"GetProductInfo, not found", "<QGCE_COMPONENT_ID_LIST/>", false},
                 {"GetProductInfo, malformed", "<QGCE_COMPONENT_ID_LIST>", false},
                 {"GetProductInfo, document type refused", "<!DOCTYPE x []>" + good, false}};
    for (const auto& l : lists) {
        product.WriteList(l.list);
        ExpectNothingKept(l.what, 30, [&] {
            std::wstring version, language;
            EXPECT_EQ(l.found, GetProductInfo(id, version, language));
        });
    }
    ::DeleteFileW(product.ListPath().c_str());
    ExpectNothingKept("GetProductInfo, no list", 30, [&] {
        std::wstring version, language;
        EXPECT_FALSE(GetProductInfo(id, version, language));
    });
    ExpectNothingKept("registry lookups, present and absent", 30, [&] {
        std::wstring path;
        int status = 0;
        EXPECT_TRUE(GetProductDllPath(path, id, L"1", L"1033"));
        QueryActionStatus(status, id, L"1", L"1033");
        EXPECT_EQ(7, status);
        EXPECT_FALSE(GetProductDllPath(path, id, L"2", L"1033"));
        QueryActionStatus(status, std::wstring(300, L'x'), L"1", L"1033");
    });
}

TEST(ResourceTest, LogCallsReleaseEverythingWithOrWithoutALogServer)
{
    ExpectNothingKept("DebugLogW and DebugLogA, no log server", 300, [] {
        EXPECT_FALSE(DebugLogW(LOG_LEVEL_ERROR, L"reliability", 1, L"%s - %d", L"Test", 1));
        DebugLogA(LOG_LEVEL_ERROR, "reliability", 2, "%s - %d", "Test", 2);
    });
    ChildProcess server(L"\"" + testing_support::BinDir() + L"\\LogServer.exe\" --quiet");
    ASSERT_TRUE(server.Started());
    ASSERT_TRUE(WaitForPipe(kLogServerPipeName, 5000));
    ExpectNothingKept("DebugLogW and DebugLogA, log server in another process", 300, [] {
        EXPECT_TRUE(DebugLogW(LOG_LEVEL_ERROR, L"reliability", 3, L"%s - %s", L"Test", std::wstring(3000, L'x').c_str()));
        DebugLogA(LOG_LEVEL_ERROR, "reliability", 4, "%s - %d", "Test", 4);
    });
    EXPECT_TRUE(server.Stop());
}

} // namespace
