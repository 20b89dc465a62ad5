// Start-up of KivProxy.exe: what it loads before the argument check, and how it runs
// when the scan engine it binds on first use is missing or incomplete.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/debug_log.h"
#include "pe_imports.h"
#include "test_support.h"

using testing_support::LogCapture;
using testing_support::ProcessResult;
using testing_support::TempDir;

namespace {

const DWORD kExitFailure = static_cast<DWORD>(-1);

std::wstring BinFile(const wchar_t* name)
{
    return testing_support::BinDir() + L"\\" + name;
}

ProcessResult RunIn(const TempDir& dir, const std::wstring& args)
{
    return testing_support::RunProcess(L"\"" + dir.File(L"KivProxy.exe") + L"\"" + (args.empty() ? L"" : L" " + args));
}

} // namespace

TEST(StartupImportTest, LoaderBindsOnlyKernelRuntimeAndRegistryLibraries)
{
    const std::string image = testing_support::ReadFileBytes(BinFile(L"KivProxy.exe"));
    std::vector<pe_imports::DllImports> loadTime;
    std::vector<pe_imports::DllImports> delayed;
    ASSERT_TRUE(pe_imports::LoadTimeImports(image, &loadTime));
    ASSERT_TRUE(pe_imports::DelayImports(image, &delayed));
    for (const pe_imports::DllImports& entry : loadTime) {
        SCOPED_TRACE(entry.dll);
        EXPECT_TRUE(_stricmp(entry.dll.c_str(), "KERNEL32.dll") == 0 || _stricmp(entry.dll.c_str(), "msvcrt.dll") == 0 ||
                    _stricmp(entry.dll.c_str(), "ADVAPI32.dll") == 0);
    }
    for (const char* dll : {"ole32.dll", "oleaut32.dll", "shlwapi.dll", "Quarn32.dll"}) {
        SCOPED_TRACE(dll);
        EXPECT_EQ(nullptr, pe_imports::Find(loadTime, dll));
        EXPECT_NE(nullptr, pe_imports::Find(delayed, dll));
    }
    // The stack-protector guard is seeded without the crypto provider.
    const pe_imports::DllImports* advapi = pe_imports::Find(loadTime, "ADVAPI32.dll");
    ASSERT_NE(nullptr, advapi);
    for (const std::string& name : advapi->names) {
        EXPECT_EQ(std::string::npos, name.find("CryptAcquireContext")) << name;
    }
}

TEST(StartupTest, ArgumentErrorsDoNotNeedTheEngine)
{
    TempDir dir;
    ASSERT_TRUE(::CopyFileW(BinFile(L"KivProxy.exe").c_str(), dir.File(L"KivProxy.exe").c_str(), FALSE));
    LogCapture capture;
    ASSERT_TRUE(capture.Started());

    const ProcessResult few = RunIn(dir, L"");
    ASSERT_TRUE(few.started);
    EXPECT_EQ("Not enough parameter.", few.output);
    EXPECT_EQ(kExitFailure, few.exitCode);
    EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 985, L"wmain - Not enough parameter."));

    const ProcessResult invalid = RunIn(dir, L"compA Frobnicate");
    EXPECT_EQ("Invalid parameter.", invalid.output);
    EXPECT_EQ(kExitFailure, invalid.exitCode);
    EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_INFO, 995, L"wmain - COM initialize status = 0"));
    EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 1054, L"wmain - <<< -1"));
}

// A missing engine, or a library in its place without the engine's ordinals, fails
// both exports the way a failed QNInit does, with the system error code.
TEST(StartupTest, UnusableEngineFailsBothExportsLikeAFailedInit)
{
    struct Case {
        const wchar_t* engine; // copied beside the program as Quarn32.dll; null: none
        int err;
    };
    for (const Case c : {Case{nullptr, ERROR_MOD_NOT_FOUND}, Case{L"NoOrdinalEngine.dll", ERROR_PROC_NOT_FOUND}}) {
        SCOPED_TRACE(c.err);
        TempDir dir;
        ASSERT_TRUE(::CopyFileW(BinFile(L"KivProxy.exe").c_str(), dir.File(L"KivProxy.exe").c_str(), FALSE));
        if (c.engine != nullptr) {
            ASSERT_TRUE(::CopyFileW(BinFile(c.engine).c_str(), dir.File(L"Quarn32.dll").c_str(), FALSE));
        }
        const std::wstring ini = dir.File(L"pattern.ini");
        LogCapture capture;
        ASSERT_TRUE(capture.Started());

        const ProcessResult r = RunIn(dir, L"KIVCOMP PostPatternUpdate \"" + BinFile(L"samples\\standard.ptn") +
                                               L"\" \"" + ini + L"\"");
        ASSERT_TRUE(r.started);
        EXPECT_EQ(kExitFailure, r.exitCode);
        EXPECT_EQ("", r.output);
        const std::wstring err = L"err(" + std::to_wstring(c.err) + L").";
        EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_ERROR, 773, L"FlushPatternPropertyToIni - <<< QNInit() has failed, " + err))
            << capture.Dump();
        EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_ERROR, 918, L"FlushPatternExtListToIni - <<< QNInit() has failed, " + err))
            << capture.Dump();
        EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 1054, L"wmain - <<< -1"));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(ini.c_str()));
    }
}
