// Issuer-checked loading with real signed libraries. Refusal reports go to
// bxnotify.dll beside the running program, so those cases run sign_probe from
// a folder holding the recording double of the library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text_convert.h"
#include "common/unique_resource.h"
#include "log/debug_log.h"
#include "sign/issuer_check.h"
#include "sign/signature_manager.h"
#include "sign_test_support.h"
#include "test_support.h"

using sign_testing::PrintedLine;
using sign_testing::ProbeFolder;
using sign_testing::RefusalMessage;
using sign_testing::SignData;
using testing_support::BinDir;
using testing_support::LogCapture;
using testing_support::ReadFileBytes;
using testing_support::RunProcess;
using testing_support::TempDir;

namespace {

std::wstring ModuleFileName(HMODULE hModule)
{
    wchar_t wszPath[MAX_PATH] = {};
    ::GetModuleFileNameW(hModule, wszPath, MAX_PATH);
    return wszPath;
}

class IssuerCheckTest : public sign_testing::LoggedTest {};

} // namespace

TEST_F(IssuerCheckTest, NullIssuerIsRefusedBeforeThePathIsLookedAt)
{
    TempDir dir;
    ::SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, LoadLibraryWithIssuerCheckW(nullptr, dir.File(L"missing.dll").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), ::GetLastError());
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"LoadLibraryWithIssuerCheckW - lpIssuerName is NULL. SetLastError() to "
                                        L"ERROR_INVALID_PARAMETER and return NULL."));
    EXPECT_EQ(0u, CountLogged(LOG_LEVEL_DEBUG, L"File for issuer check is")) << Dump();
}

TEST_F(IssuerCheckTest, FolderOrMissingFileIsNotFoundWithoutEvent)
{
    ProbeFolder folder(L"recorder");
    ASSERT_TRUE(folder.Ready());
    const std::wstring target = folder.Dir().Path();
    auto run = folder.Run(L"load \"Brontide, Inc.\" \"" + target + L"\"");
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(PrintedLine(run, "module=0 err=2")) << run.output;
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"LoadLibraryWithIssuerCheckW - File for issuer check is (" + target + L")"));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"LoadLibraryWithIssuerCheckW - File (" + target +
                                            L") does not exist. SetLastError() to ERROR_FILE_NOT_FOUND and return NULL."));

    run = folder.Run(L"load \"Brontide, Inc.\" \"" + folder.Dir().File(L"missing.dll") + L"\"");
    EXPECT_TRUE(PrintedLine(run, "module=0 err=2")) << run.output;
    EXPECT_TRUE(folder.Calls().empty());
    EXPECT_EQ(0u, CountLogged(LOG_LEVEL_DEBUG, L"Issuer check failed")) << Dump();
}

TEST_F(IssuerCheckTest, ForeignSignedLibraryIsRefusedWithOneWarningEvent)
{
    ProbeFolder folder(L"recorder");
    ASSERT_TRUE(folder.Ready());
    sign_testing::ScopedRecordFolder product;
    ASSERT_TRUE(product.Ok());
    const std::wstring library = SignData(L"other.dll");

    const auto run = folder.Run(L"load \"Any Issuer\" \"" + library + L"\"");
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(PrintedLine(run, "module=0 err=536876103")) << run.output;

    const std::string message = RefusalMessage("Any Issuer", UTIL::WideToAnsi(library));
    const std::vector<std::string> expected = {
        "InitDefaultEventSource|Brontide Quellguard|0",
        "OpenEventSource|NULL|Brontide Quellguard",
        "ReportEventLogEx|23063|2|5|0x80050258|" + message + "|0",
        "CloseEventSource|23063",
    };
    EXPECT_EQ(expected, folder.Calls());

    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"CheckFileIssuer - Checking whether file (" + library +
                                            L") is signed by issuer (Any Issuer)"));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"CheckFileIssuer - failed to check digital signature for " + library +
                                            L", err=536876103"));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG,
                       L"LoadLibraryWithIssuerCheckW - File (" + library +
                           L") is not issued by (Any Issuer). Issuer check failed. Write to Windows Event Log, "
                           L"SetLastError() to customized error code ERROR_FAILED_ISSUER_CHECK (0x20001447) and "
                           L"return NULL."));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed - "
                                        L"InitDefaultEventSource return 0"));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed - "
                                        L"ReportEventLogEx Msg = " + UTIL::AnsiToWide(message)));
    EXPECT_TRUE(Logged(LOG_LEVEL_PIPE, L"CBxNotifyDLL::ReportEventLogEx(23063, 2, 5, -2147155368, " +
                                           UTIL::AnsiToWide(message) + L") return 7"));

    // The failure also went to the last-invalid-signature record.
    const std::wstring record = library + L"\t536876103";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.c_str()), (record.size() + 1) * sizeof(wchar_t)),
              ReadFileBytes(product.RecordFile()));
}

TEST_F(IssuerCheckTest, MakerNameGivenAsIssuerDoesNotChangeTheVerdict)
{
    ProbeFolder folder(L"recorder");
    ASSERT_TRUE(folder.Ready());
    const std::wstring library = SignData(L"other.dll");
    const auto run = folder.Run(L"load \"Brontide, Inc.\" \"" + library + L"\"");
    EXPECT_TRUE(PrintedLine(run, "module=0 err=536876103")) << run.output;
    const auto calls = folder.Calls();
    ASSERT_EQ(4u, calls.size());
    EXPECT_NE(std::string::npos, calls[2].find(RefusalMessage("Brontide, Inc.", UTIL::WideToAnsi(library))));
}

TEST_F(IssuerCheckTest, OverlongEventMessageIsCutToItsBuffer)
{
    ProbeFolder folder(L"recorder");
    ASSERT_TRUE(folder.Ready());
    const std::string path = "C:\\" + std::string(1500, 'p') + ".dll";
    const auto run = folder.Run(L"report \"" + UTIL::AnsiToWide(path) + L"\" \"Brontide, Inc.\"");
    EXPECT_EQ(0u, run.exitCode);
    const auto calls = folder.Calls();
    ASSERT_EQ(4u, calls.size());
    const std::string prefix = "ReportEventLogEx|23063|2|5|0x80050258|";
    ASSERT_EQ(0u, calls[2].find(prefix));
    const std::string message = calls[2].substr(prefix.size(), calls[2].size() - prefix.size() - 2); // "|0"
    EXPECT_EQ(1283u, message.size());
    EXPECT_EQ(RefusalMessage("Brontide, Inc.", path).substr(0, 1283), message);
}

TEST_F(IssuerCheckTest, UnopenedEventSourceIsLoggedAndNothingReported)
{
    ProbeFolder folder(L"recorder");
    ASSERT_TRUE(folder.Ready());
    ::SetEnvironmentVariableW(L"KIV_BXNOTIFY_OPEN_FAILS", L"1");
    const auto run = folder.Run(L"report \"C:\\lib\\x.dll\" \"Brontide, Inc.\"");
    ::SetEnvironmentVariableW(L"KIV_BXNOTIFY_OPEN_FAILS", nullptr);
    EXPECT_EQ(0u, run.exitCode);
    const std::vector<std::string> expected = {"InitDefaultEventSource|Brontide Quellguard|0",
                                               "OpenEventSource|NULL|Brontide Quellguard"};
    EXPECT_EQ(expected, folder.Calls());
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG,
                       L"WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed - OpenEventSource failed (1722)"));
    EXPECT_TRUE(Logged(LOG_LEVEL_PIPE, L"CBxNotifyDLL::OpenEventSource(NULL, Brontide Quellguard, "));
}

TEST_F(IssuerCheckTest, ReportWithoutUsableNotificationLibraryOnlyLogs)
{
    for (const wchar_t* pwszVariant : {static_cast<const wchar_t*>(nullptr), L"foreign"}) {
        SCOPED_TRACE(pwszVariant != nullptr ? "foreign-signed bxnotify.dll" : "no bxnotify.dll");
        ProbeFolder folder(pwszVariant);
        ASSERT_TRUE(folder.Ready());
        ClearLog();
        const auto run = folder.Run(L"report \"C:\\lib\\x.dll\" \"Brontide, Inc.\"");
        EXPECT_EQ(0u, run.exitCode);
        EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG,
                           L"WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed - BxNotify initialization failed"));
        EXPECT_TRUE(folder.Calls().empty());
    }
}

TEST_F(IssuerCheckTest, MakerLibraryWithoutExtensionLoadsUnderItsExactName)
{
    TempDir dir;
    const std::wstring path = dir.File(L"makerlib");
    ASSERT_TRUE(::CopyFileW(SignData(L"maker.dll").c_str(), path.c_str(), FALSE));
    // A decoy the loader would pick if it appended its default extension.
    ASSERT_TRUE(::CopyFileW(SignData(L"unsigned.dll").c_str(), dir.File(L"makerlib.dll").c_str(), FALSE));

    HMODULE hModule = LoadLibraryWithIssuerCheckW(L"Brontide, Inc.", path.c_str());
    ASSERT_NE(nullptr, hModule) << ::GetLastError();
    const std::wstring loaded = ModuleFileName(hModule);
    EXPECT_EQ(std::wstring::npos, loaded.find(L"makerlib.dll")) << testing_support::Narrow(loaded);
    EXPECT_NE(nullptr, ::GetProcAddress(hModule, "KivSampleValue"));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"CheckFileIssuer - successfully to check digital signature for " + path));
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"LoadLibraryWithIssuerCheckW - Calling LoadLibraryW()..."));
    ::FreeLibrary(hModule);
}

TEST_F(IssuerCheckTest, OtherExtensionIsLoadedUnchanged)
{
    TempDir dir;
    const std::wstring path = dir.File(L"maker.plg");
    ASSERT_TRUE(::CopyFileW(SignData(L"maker.dll").c_str(), path.c_str(), FALSE));
    HMODULE hModule = LoadLibraryWithIssuerCheckW(L"Brontide, Inc.", path.c_str());
    ASSERT_NE(nullptr, hModule) << ::GetLastError();
    const std::wstring loaded = ModuleFileName(hModule);
    EXPECT_EQ(0, _wcsicmp(path.c_str(), loaded.c_str())) << testing_support::Narrow(loaded);
    ::FreeLibrary(hModule);
}

TEST_F(IssuerCheckTest, CheckedPathTooLongToLoadIsRefusedNotCut)
{
    TempDir dir;
    std::wstring folder = L"\\\\?\\" + dir.Path();
    std::vector<std::wstring> created;
    auto cleanup = UTIL::MakeScopeExit([&] {
        for (auto it = created.rbegin(); it != created.rend(); ++it) {
            ::RemoveDirectoryW(it->c_str());
        }
    });
    while (folder.size() < 200) {
        folder += L"\\" + std::wstring(40, L'd');
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
        created.push_back(folder);
    }
    const std::wstring path = folder + L"\\" + std::wstring(80, L'm') + L".dll";
    ASSERT_TRUE(::CopyFileW(SignData(L"maker.dll").c_str(), path.c_str(), FALSE));
    ASSERT_GT(path.size(), static_cast<size_t>(MAX_PATH));

    ::SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, LoadLibraryWithIssuerCheckW(L"Brontide, Inc.", path.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), ::GetLastError());
    EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"CheckFileIssuer - successfully to check digital signature for"));
    EXPECT_EQ(0u, CountLogged(LOG_LEVEL_DEBUG, L"Calling LoadLibraryW()")) << Dump();
    ::DeleteFileW(path.c_str());
}

TEST_F(IssuerCheckTest, CheckFileIssuerNeedsBothArguments)
{
    EXPECT_FALSE(CheckFileIssuer(nullptr, L"Brontide, Inc."));
    EXPECT_FALSE(CheckFileIssuer(SignData(L"maker.dll").c_str(), nullptr));
    EXPECT_EQ(2u, CountLogged(LOG_LEVEL_ERROR, L"CheckFileIssuer - pwszFile or pwszIssuerName is NULL")) << Dump();
    EXPECT_TRUE(CheckFileIssuer(SignData(L"maker.dll").c_str(), L"whoever"));
}
