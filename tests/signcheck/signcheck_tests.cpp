// SignCheck.exe as a person or a script runs it: the verdict, the exit code and
// the report for genuine, tampered and unusable files, and bad usage.
#include <gtest/gtest.h>

#include <string>

#include "sign_test_support.h"
#include "test_support.h"

using sign_testing::SignData;
using testing_support::BinDir;
using testing_support::ProcessResult;
using testing_support::RunProcess;
using testing_support::TempDir;

namespace {

ProcessResult SignCheck(const std::wstring& arguments)
{
    return RunProcess(L"\"" + BinDir() + L"\\SignCheck.exe\" " + arguments);
}

// A path as it appears inside a JSON string.
std::string JsonPath(const std::wstring& path)
{
    std::string out;
    for (char ch : testing_support::Narrow(path)) {
        out += ch == '\\' ? std::string("\\\\") : std::string(1, ch);
    }
    return out;
}

bool Has(const ProcessResult& run, const std::string& fragment)
{
    return run.output.find(fragment) != std::string::npos;
}

} // namespace

TEST(SignCheckTest, GenuineLibraryWouldBeLoadedAndLoads)
{
    const std::wstring library = SignData(L"maker.dll");
    ProcessResult run = SignCheck(L"--json \"" + library + L"\"");
    ASSERT_TRUE(run.started);
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_TRUE(Has(run, "\"verdict\":\"would be loaded\",\"loadable\":true")) << run.output;
    EXPECT_TRUE(Has(run, "\"code\":{\"value\":0,\"hex\":\"0x00000000\",\"name\":\"ERROR_SUCCESS\"}")) << run.output;
    EXPECT_TRUE(Has(run, "{\"role\":\"primary\",\"signer\":\"Brontide, Inc.\",\"digest\":\"SHA-256\","
                         "\"signsThisFile\":true,\"intact\":true}"))
        << run.output;
    EXPECT_TRUE(Has(run, "\"decidedBy\":\"embedded signature\"")) << run.output;

    run = SignCheck(L"--load \"" + library + L"\"");
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_TRUE(Has(run, "verdict       loaded (and freed again)")) << run.output;
}

TEST(SignCheckTest, TamperedLibraryIsRefusedWithTheCheckThatRefusedAndTheRecord)
{
    sign_testing::ScopedRecordFolder product;
    ASSERT_TRUE(product.Ok());
    const std::wstring library = SignData(L"tampered.dll");

    const ProcessResult run = SignCheck(L"--json \"" + library + L"\"");
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_TRUE(Has(run, "\"verdict\":\"refused\",\"loadable\":false")) << run.output;
    EXPECT_TRUE(Has(run, "\"code\":{\"value\":536876103,\"hex\":\"0x20001447\",\"name\":\"ERROR_FAILED_ISSUER_CHECK\"}"))
        << run.output;
    EXPECT_TRUE(Has(run, "\"signer\":\"Brontide, Inc.\",\"digest\":\"SHA-256\",\"signsThisFile\":false")) << run.output;
    EXPECT_TRUE(Has(run, "\"firstRefusal\":{\"check\":\"embedded signature\",\"code\":{\"value\":2148098064,"
                         "\"hex\":\"0x80096010\",\"name\":\"TRUST_E_BAD_DIGEST\"}}"))
        << run.output;
    EXPECT_TRUE(Has(run, "\"decidedBy\":null")) << run.output;
    EXPECT_TRUE(Has(run, "\"record\":{\"path\":\"" + JsonPath(product.RecordFile()) +
                             "\",\"file\":\"" + JsonPath(library) + "\",\"code\":{\"value\":2148098064"))
        << run.output;
}

TEST(SignCheckTest, UnusableFilesAreRefusedWithAReasonAndBadUsageIsNamed)
{
    TempDir dir;
    ASSERT_TRUE(testing_support::WriteFileBytes(dir.File(L"notes.dll"), "not a library"));
    const ProcessResult run = SignCheck(L"\"" + SignData(L"maker.dll") + L"\" \"" + dir.File(L"missing.dll") +
                                        L"\" \"" + dir.Path() + L"\" \"" + dir.File(L"notes.dll") + L"\" \"C:\\" +
                                        std::wstring(300, L'x') + L".dll\"");
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_TRUE(Has(run, "problem       no such file")) << run.output;
    EXPECT_TRUE(Has(run, "problem       a folder, not a file")) << run.output;
    EXPECT_TRUE(Has(run, "problem       not a PE image")) << run.output;
    EXPECT_TRUE(Has(run, "problem       the path is too long to load")) << run.output;
    EXPECT_TRUE(Has(run, "verdict       would be loaded")) << run.output;

    for (const wchar_t* pwszArguments : {L"", L"--json", L"--frobnicate x.dll", L"--issuer"}) {
        SCOPED_TRACE(testing_support::Narrow(pwszArguments));
        const ProcessResult usage = SignCheck(pwszArguments);
        EXPECT_EQ(2u, usage.exitCode) << usage.output;
        EXPECT_TRUE(usage.output.empty()) << usage.output;
    }
    // The problem is named on standard error, before the usage text.
    const ProcessResult named =
        RunProcess(L"cmd /c \"\"" + BinDir() + L"\\SignCheck.exe\" --frobnicate x.dll 2>&1\"");
    EXPECT_TRUE(Has(named, "SignCheck: unknown option --frobnicate")) << named.output;
    EXPECT_TRUE(Has(named, "usage: SignCheck.exe [--issuer NAME] [--load] [--json] FILE...")) << named.output;
}
