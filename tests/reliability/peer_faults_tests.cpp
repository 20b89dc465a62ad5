// Peers that misbehave: plug-in managers that stay silent, hold the reply pipe, write for ever, die
// half-way or never make the package ready; squatters on the reply, manager and log pipe names.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "app/kivproxy.h"
#include "app/manager_requests.h"
#include "com/com_initiator.h"
#include "log/debug_log.h"
#include "pipe/cmd_protocol.h"
#include "reliability_support.h"

using namespace reliability;
using testing_support::LogCapture;
using testing_support::UniqueName;
using UTIL::UniqueHandle;

namespace {

// Short reply bounds so that a misbehaving manager costs a fraction of a second per request.
const ManagerReplyLimits kShortLimits = {/* dwIdleTimeoutMs */ 300, /* dwTotalTimeoutMs */ 800,
                                         /* cbMaxReply */ 64 * 1024};
// The install workflow never pauses for more than 45 seconds in all.
const DWORD kMaxPausedMs = 45000;
// Pipe set-up around one request: reply pipe retries (0.5 s), a busy wait (1 s)
// and room for a loaded machine.
const DWORD kRequestSetupSlackMs = 5000;

class PeerFaultTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_capture.Started());
        m_product.WriteComponents({{m_id, m_version}});
        m_product.Track(m_id);
    }

    // Runs the workflow and checks that it stayed within its bounds: at most 45 s of pauses, each
    // request within the reply bound, and no time spent beyond requests and (short) pauses.
    int RunWithinBounds(FastClockEnvironment& env)
    {
        const DWORD start = ::GetTickCount();
        const int result = RunInstallWorkflow(m_id, env);
        const DWORD elapsed = ::GetTickCount() - start;
        EXPECT_LE(env.PausedMs(), kMaxPausedMs);
        DWORD inRequests = 0;
        for (const auto& r : env.Requests()) {
            EXPECT_LE(r.elapsedMs, kShortLimits.dwTotalTimeoutMs + kRequestSetupSlackMs)
                << testing_support::Narrow(r.command);
            inRequests += r.elapsedMs;
        }
        EXPECT_LE(elapsed, inRequests + env.Pauses() * 20 + 10000);
        std::printf("workflow: result %d, %lu ms real, %lu ms of pauses, %u queries, %zu requests\n", result, elapsed,
                    env.PausedMs(), env.Queries(), env.Requests().size());
        return result;
    }

    UTIL::CComInitiator m_com{COINIT_MULTITHREADED, FALSE}; // the component list is read through COM
    LogCapture m_capture;
    ProductSetup m_product;
    std::wstring m_id = UniqueName(L"RelComp");
    std::wstring m_version = L"2.5.100";
};

TEST_F(PeerFaultTest, ManagerThatNeverOpensTheReplyPipeCostsOnlyTheIdleBound)
{
    FakeManager manager(FakeManager::Reply::Silent);
    ASSERT_TRUE(manager.Listening());
    manager.StatusOnDownload(3);
    manager.CompleteOnInstall(m_product.Folder());
    FastClockEnvironment env(kShortLimits);

    EXPECT_EQ(0, RunWithinBounds(env));
    ASSERT_EQ(2u, env.Requests().size());
    for (const auto& r : env.Requests()) {
        EXPECT_TRUE(r.delivered);
        EXPECT_GE(r.elapsedMs, kShortLimits.dwIdleTimeoutMs - 20);
    }
    manager.Stop();
    EXPECT_EQ(2u, manager.Requests().size());
}

TEST_F(PeerFaultTest, ManagerThatHoldsTheReplyPipeWithoutWritingCostsOnlyTheIdleBound)
{
    FakeManager manager(FakeManager::Reply::OpenAndHold, {});
    ASSERT_TRUE(manager.Listening());
    manager.StatusOnDownload(5);
    manager.CompleteOnInstall(m_product.Folder());
    FastClockEnvironment env(kShortLimits);

    EXPECT_EQ(0, RunWithinBounds(env));
    ASSERT_EQ(2u, env.Requests().size());
    EXPECT_EQ(kCmdComponentUpgrade, env.Requests()[1].command);
    for (const auto& r : env.Requests()) {
        EXPECT_TRUE(r.delivered);
        EXPECT_GE(r.elapsedMs, kShortLimits.dwIdleTimeoutMs - 20);
    }
    EXPECT_EQ(0u, manager.BytesWritten());
}

TEST_F(PeerFaultTest, ManagerThatWritesForeverIsCutOffAndTheInstallGoesOn)
{
    // Flood: 1000-byte pieces without pause; trickle: a short piece every 20 ms.
    for (const bool flood : {true, false}) {
        SCOPED_TRACE(flood ? "flood" : "trickle");
        FakeManager manager(FakeManager::Reply::Flood, {flood ? std::wstring(500, L'f') : std::wstring(L"tick")},
                            flood ? 0 : 20);
        ASSERT_TRUE(manager.Listening());
        manager.StatusOnDownload(3);
        manager.CompleteOnInstall(m_product.Folder());
        FastClockEnvironment env(kShortLimits);

        EXPECT_EQ(0, RunWithinBounds(env));
        ASSERT_EQ(2u, env.Requests().size());
        for (const auto& r : env.Requests()) {
            EXPECT_TRUE(r.delivered);
            if (!flood) {
                // Data keeps coming: only the total bound ends the wait.
                EXPECT_GE(r.elapsedMs, kShortLimits.dwTotalTimeoutMs - 20);
            }
        }
        const DWORD stopStart = ::GetTickCount();
        manager.Stop(); // its writers have ended or end now: the reply pipes are gone
        EXPECT_LT(::GetTickCount() - stopStart, 10000u);
        if (flood) {
            // Reading stopped at the byte bound, once per request.
            EXPECT_GE(manager.BytesWritten(), 2 * kShortLimits.cbMaxReply);
        }
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, ProductSetup::KeyPath(m_id, m_version).c_str());
    }
}

TEST_F(PeerFaultTest, ManagerThatDiesBetweenDownloadAndInstallEndsTheInstallWithinItsBounds)
{
    // The real stand-in process: makes the package ready at once, answers, then exits.
    ChildProcess manager(L"\"" + testing_support::BinDir() +
                         L"\\PluginManager.exe\" --scenario install --exit-after 1 --plugin-dir " +
                         QuoteArg(m_product.Folder()));
    ASSERT_TRUE(manager.Started());
    ASSERT_TRUE(WaitForPipe(kManagerCommandPipeName, 5000));
    FastClockEnvironment env(kShortLimits);
    env.afterRequest = [&](const std::wstring& command) {
        if (command == kCmdComponentDownload) {
            EXPECT_TRUE(manager.WaitExit(5000)) << "the manager stops after one request";
        }
    };

    EXPECT_EQ(-1, RunWithinBounds(env));
    EXPECT_EQ(0u, manager.ExitCode());
    ASSERT_EQ(2u, env.Requests().size());
    EXPECT_TRUE(env.Requests()[0].delivered);
    EXPECT_EQ(kCmdComponentInstall, env.Requests()[1].command);
    EXPECT_FALSE(env.Requests()[1].delivered);
    EXPECT_LT(env.Requests()[1].elapsedMs, 10000u);
    // Ready at the first query, then the whole completion phase: 8 pauses, 40 s.
    EXPECT_EQ(40000u, env.PausedMs());
    EXPECT_TRUE(m_capture.WaitFor(5, 66, L"[PipeSendAndRecvW] Initial pipe client failed! err=2")) << m_capture.Dump();
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 484, L"InstallCommand - Can't complete DLP download/install, status(3)"))
        << m_capture.Dump();
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 492, L"InstallCommand - << -1"));
}

TEST_F(PeerFaultTest, ManagerThatNeverMakesThePackageReadyGivesUpAfterSevenQueries)
{
    FakeManager manager(FakeManager::Reply::Answer);
    ASSERT_TRUE(manager.Listening());
    manager.StatusOnDownload(1);
    FastClockEnvironment env(kShortLimits);

    EXPECT_EQ(-1, RunWithinBounds(env));
    EXPECT_EQ(7u, env.Queries());
    EXPECT_EQ(35000u, env.PausedMs());
    ASSERT_EQ(1u, env.Requests().size());
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_WARNING, 437, L"Vreb package is not ready, skip install/upgrade"));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 484, L"status(1)")) << m_capture.Dump();
}

TEST_F(PeerFaultTest, ManagerThatNeverMakesThePackageReadyWithRealPauses)
{
    // The one run with the program's real 5-second pauses, as a process of its own.
    const std::wstring log = m_product.File(L"requests.log");
    ChildProcess manager(L"\"" + testing_support::BinDir() + L"\\PluginManager.exe\" --scenario never-ready --log " +
                         QuoteArg(log));
    ASSERT_TRUE(manager.Started());
    ASSERT_TRUE(WaitForPipe(kManagerCommandPipeName, 5000));

    const testing_support::ProcessResult r = RunKivProxyExe(QuoteArg(m_id) + L" Install", 58000);
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(kExitFailure, r.exitCode);
    EXPECT_EQ("", r.output);
    std::printf("never ready, real pauses: %lu ms\n", r.elapsedMs);
    EXPECT_GE(r.elapsedMs, 35000u);
    EXPECT_LT(r.elapsedMs, 45000u);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 484, L"InstallCommand - Can't complete DLP download/install, status(1)"))
        << m_capture.Dump();
    m_capture.Settle();
    EXPECT_EQ(7u, m_capture.Matching(LOG_LEVEL_DEBUG, 251).size()) << "seven status queries";
    EXPECT_TRUE(manager.Stop());
    const std::string requests = testing_support::ReadFileBytes(log);
    EXPECT_NE(std::string::npos, requests.find("command=kivmgr_KIV_COMPONENT_DOWNLOAD")) << requests;
    EXPECT_EQ(std::string::npos, requests.find("INSTALL")) << requests;
}

TEST_F(PeerFaultTest, AnotherProcessServingTheReplyPipeNameMakesTheRequestFailCleanly)
{
    FakeManager manager(FakeManager::Reply::Answer);
    ASSERT_TRUE(manager.Listening());
    const std::wstring id = MakeRequestId(kCmdComponentDownload);
    // A process that serves the reply pipe's name first, with free instances.
    ChildProcess squatter(L"\"" + testing_support::BinDir() + L"\\ReliabilityHelper.exe\" squat " + id + L" 2");
    ASSERT_TRUE(squatter.Started());
    ASSERT_TRUE(WaitForPipe(id, 5000));

    CCmdProtocol cmd;
    cmd.Append(kCmdComponentDownload).Append(id).Append(m_id).Append(m_version);
    std::wstring reply = L"(untouched)";
    const DWORD start = ::GetTickCount();
    ::SetLastError(0xdeadbeef);
    EXPECT_FALSE(SendManagerCommand(cmd.Data(), static_cast<DWORD>(cmd.Length() * sizeof(wchar_t)), id, reply,
                                    kShortLimits));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());
    EXPECT_LT(::GetTickCount() - start, 10000u);
    EXPECT_EQ(L"(untouched)", reply);
    EXPECT_TRUE(m_capture.WaitFor(5, 260, L"[CPipeServer::Initial] CreateNamedPipe failed! err=5")) << m_capture.Dump();
    EXPECT_TRUE(m_capture.WaitFor(5, 58, L"[PipeSendAndRecvW] Initial pipe server failed!"));
    manager.Stop();
    EXPECT_TRUE(manager.Requests().empty()) << "nothing is sent when the reply could go elsewhere";
    // The other process's pipe is left as it was.
    EXPECT_TRUE(WaitForPipe(id, 1000));
    EXPECT_TRUE(squatter.Stop());
}

// A pipe held by a process that made it first, with every instance taken and a
// default time-out of weeks: a client must not wait for it.
class BusyPipe {
public:
    explicit BusyPipe(const std::wstring& name)
    {
        const std::wstring path = L"\\\\.\\pipe\\" + name;
        HANDLE h = ::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0,
                                      4096, /* nDefaultTimeOut */ 0xFFFFFFFE, nullptr);
        m_server.Reset(h == INVALID_HANDLE_VALUE ? nullptr : h);
        h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        m_blocker.Reset(h == INVALID_HANDLE_VALUE ? nullptr : h);
    }
    bool Held() const { return m_server.IsValid() && m_blocker.IsValid(); }

private:
    UniqueHandle m_server;
    UniqueHandle m_blocker;
};

TEST(PipeSquatterTest, ManagerPipeKeptBusyWithAnEndlessDefaultWaitFailsTheRequestInASecond)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    BusyPipe squatter(kManagerCommandPipeName);
    ASSERT_TRUE(squatter.Held());
    const DWORD start = ::GetTickCount();
    ::SetLastError(0xdeadbeef);
    EXPECT_FALSE(RequestComponentDownload(L"C", L"1"));
    const DWORD elapsed = ::GetTickCount() - start;
    EXPECT_GE(elapsed, 900u);
    EXPECT_LT(elapsed, 15000u);
    EXPECT_TRUE(capture.WaitFor(5, 66, L"[PipeSendAndRecvW] Initial pipe client failed! err=")) << capture.Dump();
}

TEST(PipeSquatterTest, LogPipeKeptBusyWithAnEndlessDefaultWaitDropsTheRecordInASecond)
{
    BusyPipe squatter(kLogServerPipeName);
    ASSERT_TRUE(squatter.Held());
    const DWORD start = ::GetTickCount();
    EXPECT_FALSE(DebugLogW(LOG_LEVEL_ERROR, L"reliability", 1, L"%s - squatted", L"Test"));
    const DWORD elapsed = ::GetTickCount() - start;
    EXPECT_GE(elapsed, 900u);
    EXPECT_LT(elapsed, 15000u);
    // The program ends too: its record is dropped after the wait.
    const testing_support::ProcessResult r = RunKivProxyExe(L"C", 30000);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(kExitFailure, r.exitCode);
    EXPECT_EQ("Not enough parameter.", r.output);
}

} // namespace
