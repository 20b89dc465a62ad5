// Command line handling of KivProxy.exe, run as a real process.
#include <gtest/gtest.h>

#include <string>

#include "app/kivproxy.h"
#include "log/debug_log.h"
#include "test_support.h"

using testing_support::LogCapture;
using testing_support::ProcessResult;
using testing_support::RunProcess;

namespace {

const DWORD kExitFailure = static_cast<DWORD>(-1);

ProcessResult RunKivProxyExe(const std::wstring& args)
{
    return RunProcess(L"\"" + testing_support::BinDir() + L"\\KivProxy.exe\"" + (args.empty() ? L"" : L" " + args));
}

} // namespace

TEST(EntryPointTest, TooFewArgumentsPrintNotEnoughParameterWithoutEntryLine)
{
    for (const std::wstring args : {L"", L"compA"}) {
        SCOPED_TRACE(testing_support::Narrow(args));
        LogCapture capture;
        ASSERT_TRUE(capture.Started());
        const ProcessResult r = RunKivProxyExe(args);
        ASSERT_TRUE(r.started);
        EXPECT_EQ(r.output, "Not enough parameter.");
        EXPECT_EQ(r.exitCode, kExitFailure);
        EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 985, L"wmain - Not enough parameter."));
        capture.Settle();
        EXPECT_EQ(capture.Records().size(), 1u) << capture.Dump();
    }
}

TEST(EntryPointTest, UnknownCommandWordIsInvalidParameter)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    const ProcessResult r = RunKivProxyExe(L"compA Uninstall");
    EXPECT_EQ(r.output, "Invalid parameter.");
    EXPECT_EQ(r.exitCode, kExitFailure);
    EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 990, L"wmain - >>>"));
    EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_INFO, 995, L"wmain - COM initialize status = 0"));
    EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_ERROR, 1050, L"wmain - Invalid parameter."));
    EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 1054, L"wmain - <<< -1"));
}

TEST(EntryPointTest, CommandWordsAreMatchedWithoutRegardToCaseButNotTrimmed)
{
    for (const std::wstring word : {L"install", L"INSTALL"}) {
        SCOPED_TRACE(testing_support::Narrow(word));
        LogCapture capture;
        ASSERT_TRUE(capture.Started());
        const ProcessResult r = RunKivProxyExe(L"compA " + word);
        EXPECT_EQ(r.output, "");
        // The install command ran: it looked the component up and ended.
        EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 68, L"GetProductInfo - >>>")) << capture.Dump();
        EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 492, L"InstallCommand - << ")) << capture.Dump();
    }
    // Dispatched to the pattern export, which needs two paths more.
    EXPECT_EQ(RunKivProxyExe(L"compA postpatternupdate").output, "Not enough parameter.");
    EXPECT_EQ(RunKivProxyExe(L"compA \"Install \"").output, "Invalid parameter.");
    EXPECT_EQ(RunKivProxyExe(L"compA Inst").output, "Invalid parameter.");
}

TEST(EntryPointTest, PostPatternUpdateWithOnePathIsNotEnoughParameter)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    const ProcessResult r = RunKivProxyExe(L"compA PostPatternUpdate C:\\only.ptn");
    EXPECT_EQ(r.output, "Not enough parameter.");
    EXPECT_EQ(r.exitCode, kExitFailure);
    EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 990));
    EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 1044, L"wmain - Not enough parameter."));
    EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 1054, L"wmain - <<< -1"));
}

TEST(EntryPointTest, ExitCodeAndOutputDoNotDependOnTheLogServer)
{
    // No log server runs here: every record is dropped, the result stays.
    const ProcessResult invalid = RunKivProxyExe(L"compA Bogus");
    EXPECT_EQ(invalid.output, "Invalid parameter.");
    EXPECT_EQ(invalid.exitCode, kExitFailure);
    const ProcessResult few = RunKivProxyExe(L"compA");
    EXPECT_EQ(few.output, "Not enough parameter.");
    EXPECT_EQ(few.exitCode, kExitFailure);
}

TEST(EntryPointTest, EmptyAndHugeArgumentsAreHandled)
{
    const ProcessResult empty = RunKivProxyExe(L"\"\" \"\"");
    EXPECT_EQ(empty.output, "Invalid parameter.");
    EXPECT_EQ(empty.exitCode, kExitFailure);

    // The command line of a process is limited to 32767 characters; larger
    // arguments are driven through the same code in process.
    std::wstring id(100000, L'c');
    std::wstring word(100000, L'w');
    std::wstring prog = L"KivProxy.exe";
    wchar_t* argv[] = {&prog[0], &id[0], &word[0], nullptr};
    EXPECT_EQ(RunKivProxy(3, argv), -1);

    const ProcessResult longArg = RunKivProxyExe(std::wstring(30000, L'i') + L" bogus");
    EXPECT_EQ(longArg.output, "Invalid parameter.");
    EXPECT_EQ(longArg.exitCode, kExitFailure);
}
