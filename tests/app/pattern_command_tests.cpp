// PostPatternUpdate end to end: KivProxy.exe with the real Quarn32.dll and built sample patterns.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/quarn32_api.h"
#include "pattern_format.h"
#include "pe_imports.h"
#include "test_support.h"

using testing_support::LogCapture;
using testing_support::ProcessResult;
using testing_support::TempDir;

namespace {

const DWORD kExitFailure = static_cast<DWORD>(-1);

class PatternCommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_capture.Started());
        m_ini = m_dir.File(L"pattern.ini");
    }

    static std::wstring Sample(const wchar_t* name) { return testing_support::BinDir() + L"\\samples\\" + name; }

    ProcessResult Run(const std::wstring& pattern, const std::wstring& ini) const
    {
        return testing_support::RunProcess(L"\"" + testing_support::BinDir() + L"\\KivProxy.exe\" KIVCOMP PostPatternUpdate \"" +
                                           pattern + L"\" \"" + ini + L"\"");
    }

    std::wstring Ini(const wchar_t* section, const wchar_t* key) const
    {
        wchar_t value[512] = {};
        ::GetPrivateProfileStringW(section, key, L"<absent>", value, 512, m_ini.c_str());
        return value;
    }

    // A record of the program with this level, line and message, sent under the program's source name.
    bool Logged(int level, int line, const std::wstring& message) const
    {
        const std::wstring fragment = L"[KivProxy.exe]" + message;
        if (!m_capture.WaitFor(level, line, fragment)) {
            return false;
        }
        const auto records = m_capture.Matching(level, line, fragment);
        return std::all_of(records.begin(), records.end(),
                           [](const standin::LogRecord& r) { return r.file == L"Utility/KivProxy/KivProxy"; });
    }

    TempDir m_dir;
    LogCapture m_capture;
    std::wstring m_ini;
};

TEST(PatternCommandImportTest, EngineIsBoundByOrdinalOnlyOnFirstUse)
{
    const std::string image = testing_support::ReadFileBytes(testing_support::BinDir() + L"\\KivProxy.exe");
    std::vector<pe_imports::DllImports> loadTime;
    std::vector<pe_imports::DllImports> delayed;
    ASSERT_TRUE(pe_imports::LoadTimeImports(image, &loadTime));
    ASSERT_TRUE(pe_imports::DelayImports(image, &delayed));
    EXPECT_EQ(nullptr, pe_imports::Find(loadTime, "Quarn32.dll"));
    const pe_imports::DllImports* engine = pe_imports::Find(delayed, "Quarn32.dll");
    ASSERT_NE(nullptr, engine);
    std::vector<uint16_t> ordinals = engine->ordinals;
    std::sort(ordinals.begin(), ordinals.end());
    EXPECT_EQ((std::vector<uint16_t>{289, 305, 394, 449, 450, 652, 654}), ordinals);
    EXPECT_TRUE(engine->names.empty()) << engine->names.front();
}

TEST_F(PatternCommandTest, SamplePatternIsExported)
{
    const ProcessResult r = Run(Sample(L"standard.ptn"), m_ini);
    ASSERT_TRUE(r.started);
    EXPECT_EQ(0u, r.exitCode) << m_capture.Dump();
    EXPECT_EQ("", r.output);

    const wchar_t* section = L"INI_MAJOR_VIRUS_TYPE_SECTION";
    EXPECT_EQ(L"12", Ini(section, L"Count"));
    struct Expected {
        const wchar_t* n;
        const wchar_t* name;
        const wchar_t* first;
        const wchar_t* second;
    };
    // samples/patterns/standard.txt: Virus 0 2, Backdoor 3 25, Joke 4 0, Dialer 7 7,
    // "Packer Bomb" 3 3, Test_Virus 2 9.
    const Expected expected[] = {{L"001", L"Virus", L"1", L"4"},   {L"004", L"Backdoor", L"5", L"25"},
                                 {L"005", L"Joke", L"2", L"1"},    {L"007", L"Dialer", L"5", L"4"},
                                 {L"009", L"Packer Bomb", L"5", L"5"}, {L"012", L"Test_Virus", L"4", L"4"}};
    for (const Expected& e : expected) {
        SCOPED_TRACE(testing_support::Narrow(e.name));
        EXPECT_EQ(e.name, Ini(section, (std::wstring(L"Name_") + e.n).c_str()));
        EXPECT_EQ(e.first, Ini(section, (std::wstring(L"1st_Act_") + e.n).c_str()));
        EXPECT_EQ(e.second, Ini(section, (std::wstring(L"2nd_Act_") + e.n).c_str()));
    }
    EXPECT_EQ(L"<absent>", Ini(section, L"Name_013"));
    for (const wchar_t* s : {L"Manual Scan Configuration", L"Real Time Scan Configuration",
                             L"Prescheduled Scan Configuration", L"Scan Now Configuration"}) {
        EXPECT_EQ(L"exe,.dll,.com,.scr,.doc,.xls,.zip", Ini(s, L"DefaultExtList"));
    }
    EXPECT_TRUE(Logged(68, 899, L"FlushPatternPropertyToIni - <<<"));
    EXPECT_TRUE(Logged(68, 967, L"FlushPatternExtListToIni - <<<"));
    EXPECT_TRUE(Logged(68, 1054, L"wmain - <<< 0"));
}

TEST_F(PatternCommandTest, SingleTypeSampleIsExported)
{
    const ProcessResult r = Run(Sample(L"single_type.ptn"), m_ini);
    EXPECT_EQ(0u, r.exitCode) << m_capture.Dump();
    EXPECT_EQ(L"1", Ini(L"INI_MAJOR_VIRUS_TYPE_SECTION", L"Count"));
    EXPECT_EQ(L"Virus", Ini(L"INI_MAJOR_VIRUS_TYPE_SECTION", L"Name_001"));
    EXPECT_EQ(L"exe", Ini(L"Scan Now Configuration", L"DefaultExtList"));
}

TEST_F(PatternCommandTest, CorruptPatternFailsAndLeavesIniUntouched)
{
    std::string image = testing_support::ReadFileBytes(Sample(L"standard.ptn"));
    ASSERT_GT(image.size(), quarn32::kHeaderSize + 10);
    image[quarn32::kHeaderSize + 8] ^= 0x20; // a name byte; the CRC no longer matches
    const std::wstring corrupt = m_dir.File(L"corrupt.ptn");
    ASSERT_TRUE(testing_support::WriteFileBytes(corrupt, image));
    const std::string before = "[Other]\r\nKey=Value\r\n";
    ASSERT_TRUE(testing_support::WriteFileBytes(m_ini, before));

    const ProcessResult r = Run(corrupt, m_ini);
    EXPECT_EQ(kExitFailure, r.exitCode);
    EXPECT_EQ("", r.output);
    EXPECT_EQ(before, testing_support::ReadFileBytes(m_ini));
    const std::wstring failed = L"(" + corrupt + L") has failed, err(" + std::to_wstring(QN_E_BAD_CRC) + L").";
    EXPECT_TRUE(Logged(69, 782, L"FlushPatternPropertyToIni - <<< QNReadPatternInFile" + failed)) << m_capture.Dump();
    EXPECT_TRUE(Logged(69, 927, L"FlushPatternExtListToIni - <<< QNReadPatternInFile" + failed));
    EXPECT_TRUE(Logged(68, 1054, L"wmain - <<< -1"));
}

TEST_F(PatternCommandTest, MissingPatternFailsWithFileError)
{
    const std::wstring missing = m_dir.File(L"absent.ptn");
    const ProcessResult r = Run(missing, m_ini);
    EXPECT_EQ(kExitFailure, r.exitCode);
    EXPECT_TRUE(Logged(69, 782, L"FlushPatternPropertyToIni - <<< QNReadPatternInFile(" + missing + L") has failed, err(" +
                                    std::to_wstring(QN_E_FILE_OPEN) + L")."));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(m_ini.c_str()));
}

TEST_F(PatternCommandTest, OnlyTypeExportFailsBothRun)
{
    const ProcessResult r = Run(Sample(L"no_major_types.ptn"), m_ini);
    EXPECT_EQ(kExitFailure, r.exitCode);
    EXPECT_EQ("", r.output);
    EXPECT_TRUE(Logged(68, 762, L"FlushPatternPropertyToIni - >>>"));
    EXPECT_TRUE(Logged(87, 810, L"FlushPatternPropertyToIni - <<< QNGetPatternProperty() has no major type."));
    EXPECT_TRUE(Logged(68, 907, L"FlushPatternExtListToIni - >>>"));
    EXPECT_TRUE(Logged(68, 967, L"FlushPatternExtListToIni - <<<"));
    EXPECT_TRUE(Logged(68, 1054, L"wmain - <<< -1"));
    EXPECT_EQ(L"<absent>", Ini(L"INI_MAJOR_VIRUS_TYPE_SECTION", L"Count"));
    EXPECT_EQ(L"exe,.dll", Ini(L"Real Time Scan Configuration", L"DefaultExtList"));
}

TEST_F(PatternCommandTest, EmptyPathsAreBadInput)
{
    const ProcessResult r = Run(L"", L"");
    EXPECT_EQ(kExitFailure, r.exitCode);
    EXPECT_EQ("", r.output);
    EXPECT_TRUE(Logged(69, 765, L"FlushPatternPropertyToIni - <<< bad input"));
    EXPECT_TRUE(Logged(69, 910, L"FlushPatternExtListToIni - <<< bad input"));
    EXPECT_TRUE(Logged(68, 1054, L"wmain - <<< -1"));
}

} // namespace
