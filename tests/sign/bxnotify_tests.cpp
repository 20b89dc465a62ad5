// Notification library wrapper with signed doubles of bxnotify.dll and the
// project's own bxnotify.dll beside the test program.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/text_convert.h"
#include "common/unique_resource.h"
#include "log/debug_log.h"
#include "sign/bxnotify_dll.h"
#include "sign_test_support.h"
#include "test_support.h"

using sign_testing::SignData;
using testing_support::BinDir;
using testing_support::LogCapture;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

namespace {

std::string Folder(const wchar_t* pwszVariant)
{
    return UTIL::WideToAnsi(SignData(pwszVariant));
}

bool Loaded(const std::wstring& path)
{
    return ::GetModuleHandleW(path.c_str()) != nullptr;
}

std::string Hex(const void* p)
{
    char sz[16] = {};
    snprintf(sz, sizeof(sz), "%X", static_cast<unsigned int>(reinterpret_cast<uintptr_t>(p)));
    return sz;
}

class BxNotifyTest : public sign_testing::LoggedTest {};

} // namespace

TEST_F(BxNotifyTest, ForeignSignedLibraryIsNotLoaded)
{
    const std::wstring path = SignData(L"foreign\\bxnotify.dll");
    CBxNotifyDLL notify;
    EXPECT_EQ(0, notify.Init(Folder(L"foreign").c_str()));
    EXPECT_FALSE(Loaded(path));
    m_capture.Settle();
    const auto verify = m_capture.Matching(
        LOG_LEVEL_ERROR, -1,
        L"CBxNotifyDLL::Init - CBxNotifyDLL:CBxNotifyDLL() Verify DigitalSignature Failed(bxnotify.dll) error = 0x20001447");
    const auto load = m_capture.Matching(
        LOG_LEVEL_ERROR, -1, L"CBxNotifyDLL::Init - CBxNotifyDLL::CBxNotifyDLL() LoadLibrary(bxnotify.dll) error = 536876103");
    ASSERT_EQ(1u, verify.size()) << Dump();
    ASSERT_EQ(1u, load.size()) << Dump();
    EXPECT_LT(verify[0].line, load[0].line);

    // Nothing bound: every wrapper answers -2 and still logs.
    ClearLog();
    HANDLE hSource = nullptr;
    EXPECT_EQ(-2, notify.InitDefaultEventSource("Src", 0));
    EXPECT_EQ(-2, notify.OpenEventSource(nullptr, "Src", &hSource));
    EXPECT_EQ(-2, notify.ReportEventLogEx(hSource, 2, 5, 1, "m"));
    EXPECT_EQ(-2, notify.CloseEventSource(hSource));
    EXPECT_TRUE(Logged(LOG_LEVEL_PIPE, L"CBxNotifyDLL::InitDefaultEventSource(Src) return -2"));
    EXPECT_TRUE(Logged(LOG_LEVEL_PIPE, L"CBxNotifyDLL::ReportEventLogEx(0, 2, 5, 1, m) return -2"));
    EXPECT_TRUE(Logged(LOG_LEVEL_PIPE, L"CBxNotifyDLL::CloseEventSource(0)"));
}

TEST_F(BxNotifyTest, SecondInitReturnsOneWithoutLoading)
{
    CBxNotifyDLL notify;
    EXPECT_EQ(0, notify.Init(Folder(L"foreign").c_str()));
    ClearLog();
    EXPECT_EQ(1, notify.Init(Folder(L"recorder").c_str()));
    EXPECT_FALSE(Loaded(SignData(L"recorder\\bxnotify.dll")));
    EXPECT_EQ(0u, CountLogged(LOG_LEVEL_DEBUG, L"try to verify file=")) << Dump();
    EXPECT_EQ(-2, notify.InitDefaultEventSource("Src", 0));
}

TEST_F(BxNotifyTest, WrappersPassCallsAndLogThem)
{
    TempDir dir;
    const std::wstring record = dir.File(L"calls.txt");
    ::SetEnvironmentVariableW(L"KIV_BXNOTIFY_RECORD", record.c_str());
    const std::wstring path = SignData(L"recorder\\bxnotify.dll");
    {
        CBxNotifyDLL notify;
        ASSERT_EQ(1, notify.Init(Folder(L"recorder").c_str()));
        EXPECT_TRUE(Loaded(path));
        EXPECT_EQ(1, notify.Init(Folder(L"recorder").c_str()));

        EXPECT_EQ(0, notify.InitDefaultEventSource("Src", 3));
        HANDLE hSource = nullptr;
        EXPECT_EQ(0, notify.OpenEventSource(nullptr, "Src", &hSource));
        EXPECT_NE(nullptr, hSource);
        EXPECT_EQ(7, notify.ReportEventLogEx(hSource, EVENTLOG_WARNING_TYPE, 0x10005, 0x80050258, "text"));
        EXPECT_EQ(0, notify.CloseEventSource(hSource));

        const std::wstring address = UTIL::AnsiToWide(Hex(&hSource));
        EXPECT_TRUE(Logged(LOG_LEVEL_PIPE, L"CBxNotifyDLL::InitDefaultEventSource(Src)"));
        EXPECT_TRUE(Logged(LOG_LEVEL_PIPE, L"CBxNotifyDLL::InitDefaultEventSource(Src) return 0"));
        EXPECT_TRUE(Logged(LOG_LEVEL_PIPE, L"CBxNotifyDLL::OpenEventSource(NULL, Src, " + address + L")"));
        EXPECT_TRUE(Logged(LOG_LEVEL_PIPE, L"CBxNotifyDLL::OpenEventSource(NULL, Src, " + address + L") return 0"));
        EXPECT_TRUE(Logged(LOG_LEVEL_PIPE, L"CBxNotifyDLL::ReportEventLogEx(23063, 2, 5, -2147155368, text) return 7"));
        EXPECT_TRUE(Logged(LOG_LEVEL_PIPE, L"CBxNotifyDLL::CloseEventSource(23063)"));
        m_capture.Settle();
        for (const auto& rec : m_capture.Matching(LOG_LEVEL_PIPE, -1, L"CBxNotifyDLL::")) {
            EXPECT_EQ(L"client/libstdmisutils/BxNotifyDLL", rec.file);
        }
        EXPECT_EQ(1u, m_capture.Matching(LOG_LEVEL_PIPE, -1, L"CBxNotifyDLL::CloseEventSource").size()) << Dump();
    }
    ::SetEnvironmentVariableW(L"KIV_BXNOTIFY_RECORD", nullptr);
    EXPECT_FALSE(Loaded(path));
    EXPECT_EQ("InitDefaultEventSource|Src|3\n"
              "OpenEventSource|NULL|Src\n"
              "ReportEventLogEx|23063|2|65541|0x80050258|text|0\n"
              "CloseEventSource|23063\n",
              ReadFileBytes(record));
}

TEST_F(BxNotifyTest, LibraryLackingOneExportIsRefusedWhole)
{
    const std::wstring path = SignData(L"noreport\\bxnotify.dll");
    CBxNotifyDLL notify;
    EXPECT_EQ(0, notify.Init(Folder(L"noreport").c_str()));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"CBxNotifyDLL::Init - CBxNotifyDLL::CBxNotifyDLL() GetProcAddress error = 127"));
    EXPECT_FALSE(Loaded(path));
    HANDLE hSource = nullptr;
    EXPECT_EQ(-2, notify.OpenEventSource(nullptr, "Src", &hSource));
    EXPECT_EQ(-2, notify.InitDefaultEventSource("Src", 0));
}

TEST_F(BxNotifyTest, FolderIsTakenAsGivenOrFromTheRunningProgram)
{
    {
        CBxNotifyDLL notify;
        EXPECT_EQ(0, notify.Init(""));
        EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"CBxNotifyDLL::Init - failed to call GetModuleName()"));
    }
    {
        TempDir dir;
        CBxNotifyDLL notify;
        EXPECT_EQ(0, notify.Init((UTIL::WideToAnsi(dir.Path()) + "\\\\").c_str()));
        EXPECT_TRUE(Logged(LOG_LEVEL_DEBUG, L"try to verify file=" + dir.Path() + L"\\bxnotify.dll"));
        EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"Verify DigitalSignature Failed(bxnotify.dll) error = 0x"));
        EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, L"LoadLibrary(bxnotify.dll) error = "));
    }
    {
        // The project's bxnotify.dll beside this program, writing to the real event log.
        const std::string source = UTIL::WideToAnsi(testing_support::UniqueName(L"KivTestSource"));
        const std::wstring sourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" +
                                       UTIL::AnsiToWide(source);
        auto removeSource = UTIL::MakeScopeExit([&] { ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, sourceKey.c_str()); });
        CBxNotifyDLL notify;
        ASSERT_EQ(1, notify.Init(nullptr));
        EXPECT_TRUE(Loaded(BinDir() + L"\\bxnotify.dll"));
        EXPECT_EQ(0, notify.InitDefaultEventSource(source.c_str(), 0));
        HANDLE hSource = nullptr;
        EXPECT_EQ(0, notify.OpenEventSource(nullptr, source.c_str(), &hSource));
        ASSERT_NE(nullptr, hSource);
        EXPECT_EQ(0, notify.ReportEventLogEx(hSource, EVENTLOG_WARNING_TYPE, 5, 0x80050258, "KivProxy test entry"));
        EXPECT_EQ(0, notify.CloseEventSource(hSource));
    }
}
