// Bad input to the PostPatternUpdate command: mutated and unreadable pattern files, INI paths that
// cannot be written, and paths with unusual characters, all through KivProxy.exe.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "app/quarn32_api.h"
#include "log/debug_log.h"
#include "pattern_format.h"
#include "pattern_fuzz.h"
#include "reliability_support.h"

using namespace reliability;
using testing_support::LogCapture;
using testing_support::ProcessResult;
using testing_support::TempDir;

namespace {

const wchar_t kTypesSection[] = L"INI_MAJOR_VIRUS_TYPE_SECTION";
const wchar_t* const kExtSections[] = {L"Manual Scan Configuration", L"Real Time Scan Configuration",
                                       L"Prescheduled Scan Configuration", L"Scan Now Configuration"};

std::wstring Sample(const wchar_t* name)
{
    return testing_support::BinDir() + L"\\samples\\" + name;
}

std::wstring IniValue(const std::wstring& ini, const wchar_t* section, const std::wstring& key)
{
    wchar_t value[8192] = {};
    ::GetPrivateProfileStringW(section, key.c_str(), L"<absent>", value, 8192, ini.c_str());
    return value;
}

std::wstring Key(const wchar_t* prefix, size_t n)
{
    std::wstring digits = std::to_wstring(n);
    if (digits.size() < 3) {
        digits.insert(0, 3 - digits.size(), L'0');
    }
    return prefix + digits;
}

class PatternInputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QuietCrashes();
        ASSERT_TRUE(m_capture.Started());
    }

    ProcessResult Run(const std::wstring& pattern, const std::wstring& ini)
    {
        m_capture.Clear();
        return RunKivProxyExe(L"KIVCOMP PostPatternUpdate " + QuoteArg(pattern) + L" " + QuoteArg(ini), 20000);
    }

    // The engine's read error was reported by both exports, under the path as given.
    void ExpectReadFailure(const std::wstring& pattern, int32_t error)
    {
        const std::wstring tail = L"(" + pattern + L") has failed, err(" + std::to_wstring(error) + L").";
        EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 782, L"QNReadPatternInFile" + tail)) << m_capture.Dump();
        EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 927, L"QNReadPatternInFile" + tail));
    }

    TempDir m_dir;
    LogCapture m_capture;
};

TEST_F(PatternInputTest, MutatedPatternsGiveTheEnginesVerdictAndNothingElse)
{
    // Each mutated file is judged by the pattern reader itself, in this process; the program must
    // then report exactly that: the read error, no major type, or every type and the list.
    const int kRuns = 100;
    const auto seeds = pattern_fuzz::SeedImages();
    std::mt19937 rng(20260611);
    int succeeded = 0, refused = 0, empty = 0;
    const DWORD start = ::GetTickCount();
    for (int i = 0; i < kRuns; ++i) {
        SCOPED_TRACE(i);
        std::vector<uint8_t> image = seeds[static_cast<size_t>(i) % seeds.size()];
        pattern_fuzz::Mutate(&image, &rng);
        const std::wstring pattern = m_dir.File(L"mutant" + std::to_wstring(i) + L".ptn");
        const std::wstring ini = m_dir.File(L"mutant" + std::to_wstring(i) + L".ini");
        ASSERT_TRUE(testing_support::WriteFileBytes(pattern, std::string(image.begin(), image.end())));
        quarn32::Pattern parsed;
        // The engine reads the file into a buffer of its own: an empty file gives it no buffer at all.
        const int32_t verdict = quarn32::ParsePattern(image.empty() ? nullptr : image.data(), image.size(), &parsed);

        const ProcessResult r = Run(pattern, ini);
        ASSERT_TRUE(r.started);
        ASSERT_FALSE(r.timedOut);
        ASSERT_TRUE(IsProgramResult(r.exitCode)) << "exit code 0x" << std::hex << r.exitCode;
        EXPECT_EQ("", r.output);
        if (verdict != QN_OK) {
            ++refused;
            EXPECT_EQ(kExitFailure, r.exitCode);
            ExpectReadFailure(pattern, verdict);
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(ini.c_str())) << "nothing written";
            continue;
        }
        // A list that is empty once "{*;" and its last character are gone is not written.
        std::string rest = parsed.extList;
        for (size_t pos = 0; (pos = rest.find("{*;", pos)) != std::string::npos;) {
            rest.erase(pos, 3);
        }
        const std::wstring list = IniValue(ini, kExtSections[0], L"DefaultExtList");
        EXPECT_EQ(rest.size() <= 1, list == L"<absent>") << parsed.extList;
        for (const wchar_t* section : kExtSections) {
            EXPECT_EQ(list, IniValue(ini, section, L"DefaultExtList"));
        }
        const size_t n = parsed.types.size();
        if (n == 0) {
            ++empty;
            EXPECT_EQ(kExitFailure, r.exitCode);
            EXPECT_EQ(L"<absent>", IniValue(ini, kTypesSection, L"Count"));
            EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_WARNING, 810, L"has no major type."));
            continue;
        }
        ++succeeded;
        EXPECT_EQ(0u, r.exitCode) << m_capture.Dump();
        EXPECT_EQ(std::to_wstring(n), IniValue(ini, kTypesSection, L"Count"));
        EXPECT_NE(L"<absent>", IniValue(ini, kTypesSection, Key(L"Name_", n)));
        EXPECT_NE(L"<absent>", IniValue(ini, kTypesSection, Key(L"2nd_Act_", n)));
        EXPECT_EQ(L"<absent>", IniValue(ini, kTypesSection, Key(L"Name_", n + 1)));
    }
    const DWORD elapsed = ::GetTickCount() - start;
    std::printf("%d mutated patterns in %lu ms: %d exported, %d without major type, %d refused by the reader\n", kRuns,
                elapsed, succeeded, empty, refused);
    EXPECT_GT(succeeded, 0);
    EXPECT_GT(refused, 0);
}

TEST_F(PatternInputTest, UnreadablePatternFilesFailBothExports)
{
    const std::wstring ini = m_dir.File(L"out.ini");
    // A folder.
    EXPECT_EQ(kExitFailure, Run(m_dir.Path(), ini).exitCode);
    ExpectReadFailure(m_dir.Path(), QN_E_FILE_OPEN);
    // An empty file.
    const std::wstring empty = m_dir.File(L"empty.ptn");
    ASSERT_TRUE(testing_support::WriteFileBytes(empty, ""));
    EXPECT_EQ(kExitFailure, Run(empty, ini).exitCode);
    ExpectReadFailure(empty, QN_E_INVALID_ARG);
    // Larger than any pattern can be.
    const std::wstring huge = m_dir.File(L"huge.ptn");
    ASSERT_TRUE(testing_support::WriteFileBytes(huge, std::string(quarn32::kMaxPatternFileBytes + 1, 'Q')));
    EXPECT_EQ(kExitFailure, Run(huge, ini).exitCode);
    ExpectReadFailure(huge, QN_E_FILE_TOO_LARGE);
    // A path longer than the engine's ANSI file functions take.
    const std::wstring overlong = m_dir.File(std::wstring(300, L'p') + L".ptn");
    EXPECT_EQ(kExitFailure, Run(overlong, ini).exitCode);
    ExpectReadFailure(overlong, QN_E_FILE_OPEN);
    // A good pattern that another process holds without sharing.
    const std::wstring locked = m_dir.File(L"locked.ptn");
    ASSERT_TRUE(::CopyFileW(Sample(L"standard.ptn").c_str(), locked.c_str(), FALSE));
    HANDLE h = ::CreateFileW(locked.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    UTIL::UniqueHandle holder(h == INVALID_HANDLE_VALUE ? nullptr : h);
    ASSERT_TRUE(holder.IsValid());
    EXPECT_EQ(kExitFailure, Run(locked, ini).exitCode);
    ExpectReadFailure(locked, QN_E_FILE_OPEN);
    holder.Reset();
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(ini.c_str()));
    EXPECT_EQ(0u, Run(locked, ini).exitCode) << "the same file once released";
}

TEST_F(PatternInputTest, IniPathsThatCannotBeWrittenFailTheCommand)
{
    const std::wstring folder = m_dir.File(L"a folder.ini");
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring inis[] = {
        folder,                                            // a folder
        m_dir.File(L"no such folder\\x.ini"),              // a folder that does not exist
        m_dir.File(L"bad|name.ini"),                       // a character files cannot have
        m_dir.File(std::wstring(300, L'n') + L".ini"),     // a name longer than any file system takes
        L"CON",                                            // a device that is no file
    };
    for (const std::wstring& ini : inis) {
        SCOPED_TRACE(testing_support::Narrow(ini));
        const ProcessResult r = Run(Sample(L"standard.ptn"), ini);
        EXPECT_EQ(kExitFailure, r.exitCode);
        EXPECT_EQ("", r.output);
        EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_WARNING, 842,
                                      L"FlushPatternPropertyToIni - <<< WritePrivateProfileString(" + ini +
                                          L") has failed, err("))
            << m_capture.Dump();
        // The list export does not look at its writes and ends normally.
        EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 967, L"FlushPatternExtListToIni - <<<"));
        EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 1054, L"wmain - <<< -1"));
    }
    // The null device takes every write: nothing fails, nothing is kept.
    EXPECT_EQ(0u, Run(Sample(L"standard.ptn"), L"NUL").exitCode);
}

TEST_F(PatternInputTest, ReadOnlyIniFailsAtCountAndIsLeftAsItWas)
{
    const std::wstring ini = m_dir.File(L"readonly.ini");
    const std::string before = "[Other]\r\nKey=Value\r\n";
    ASSERT_TRUE(testing_support::WriteFileBytes(ini, before));
    ASSERT_TRUE(::SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_READONLY));
    HANDLE h = ::CreateFileW(ini.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    UTIL::UniqueHandle probe(h == INVALID_HANDLE_VALUE ? nullptr : h);
    if (probe.IsValid()) {
        probe.Reset();
        ::SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
        GTEST_SKIP() << "the platform lets this account write read-only files (Wine run as root)";
    }
    const ProcessResult r = Run(Sample(L"standard.ptn"), ini);
    EXPECT_EQ(kExitFailure, r.exitCode);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_WARNING, 842, L"WritePrivateProfileString(" + ini + L") has failed, err("));
    EXPECT_EQ(before, testing_support::ReadFileBytes(ini));
    ::SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(PatternInputTest, IniHeldOpenWithoutSharingFailsAtCountAndIsLeftAsItWas)
{
    const std::wstring ini = m_dir.File(L"held.ini");
    const std::string before = "[Other]\r\nKey=Value\r\n";
    ASSERT_TRUE(testing_support::WriteFileBytes(ini, before));
    HANDLE h = ::CreateFileW(ini.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    UTIL::UniqueHandle holder(h == INVALID_HANDLE_VALUE ? nullptr : h);
    ASSERT_TRUE(holder.IsValid());
    const ProcessResult r = Run(Sample(L"standard.ptn"), ini);
    EXPECT_EQ(kExitFailure, r.exitCode);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_WARNING, 842, L"WritePrivateProfileString(" + ini + L") has failed, err("))
        << m_capture.Dump();
    holder.Reset();
    EXPECT_EQ(before, testing_support::ReadFileBytes(ini));
}

TEST_F(PatternInputTest, PathsWithUnusualCharacters)
{
    // Blanks, quotes-free punctuation and characters of the ANSI code page: exported as usual.
    const std::wstring folder = m_dir.File(L"caf\u00e9 & co (1)");
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring pattern = folder + L"\\r\u00e9sum\u00e9 pattern.ptn";
    ASSERT_TRUE(::CopyFileW(Sample(L"standard.ptn").c_str(), pattern.c_str(), FALSE));
    // The INI path goes to the system in UTF-16: any character will do.
    const std::wstring ini = folder + L"\\\u8bbe\u7f6e \U0001F600.ini";
    EXPECT_EQ(0u, Run(pattern, ini).exitCode) << m_capture.Dump();
    EXPECT_EQ(L"12", IniValue(ini, kTypesSection, L"Count"));

    // The pattern path goes to the engine in the ANSI code page: a path without an exact form
    // there is refused before the engine sees it.
    const std::wstring chinese = folder + L"\\\u6a21\u5f0f.ptn";
    ASSERT_TRUE(::CopyFileW(Sample(L"standard.ptn").c_str(), chinese.c_str(), FALSE));
    const std::wstring ini2 = m_dir.File(L"second.ini");
    EXPECT_EQ(kExitFailure, Run(chinese, ini2).exitCode);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 767,
                                  L"FlushPatternPropertyToIni - <<< bad input: pattern path (" + chinese +
                                      L") has no exact form in the ANSI code page"))
        << m_capture.Dump();
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 912, L"FlushPatternExtListToIni - <<< bad input: pattern path ("));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(ini2.c_str()));

    // Best-fit mapping would turn a fullwidth letter into its plain twin and read another file:
    // "\uff53tandard.ptn" does not exist, "standard.ptn" beside it does.
    const std::wstring twin = folder + L"\\standard.ptn";
    ASSERT_TRUE(::CopyFileW(Sample(L"standard.ptn").c_str(), twin.c_str(), FALSE));
    const std::wstring fullwidth = folder + L"\\\uff53tandard.ptn";
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(fullwidth.c_str()));
    EXPECT_EQ(kExitFailure, Run(fullwidth, ini2).exitCode);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 767, L"has no exact form in the ANSI code page"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(ini2.c_str())) << "nothing exported from the twin";
    m_capture.Settle();
    EXPECT_TRUE(m_capture.Matching(LOG_LEVEL_ERROR, 782).empty()) << "the engine was not asked";
}

} // namespace
