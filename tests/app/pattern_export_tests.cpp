// Pattern export to INI, driven by the scripted engine double FakeQuarn32.dll.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/kivproxy.h"
#include "common/text_convert.h"
#include "fake_quarn32_control.h"
#include "test_support.h"

using testing_support::LogCapture;
using testing_support::TempDir;

namespace {

const wchar_t kSource[] = L"Utility/KivProxy/KivProxy";
const wchar_t kSection[] = L"INI_MAJOR_VIRUS_TYPE_SECTION";
const wchar_t* const kExtListSections[] = {L"Manual Scan Configuration", L"Real Time Scan Configuration",
                                           L"Prescheduled Scan Configuration", L"Scan Now Configuration"};

QN_MAJOR_TYPE_RECORD Record(const char* name, uint16_t first, uint16_t second)
{
    QN_MAJOR_TYPE_RECORD record = {};
    record.wFirstAction = first;
    record.wSecondAction = second;
    memcpy(record.szName, name, strnlen(name, sizeof(record.szName)));
    return record;
}

void SetTypes(const std::vector<QN_MAJOR_TYPE_RECORD>& types)
{
    FakeQnSetMajorTypes(types.data(), static_cast<int32_t>(types.size()));
}

class PatternExportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeQnReset();
        ASSERT_TRUE(m_capture.Started());
        m_pattern = m_dir.File(L"pattern.ptn");
        m_ini = m_dir.File(L"pattern.ini");
    }

    // Every path closes what it opened, and only that.
    void TearDown() override
    {
        const FakeQnStats stats = Stats();
        EXPECT_EQ(0, stats.nOpenNow) << Trace();
        EXPECT_EQ(stats.nOpened, stats.nClosed) << Trace();
        EXPECT_EQ(0, stats.nBadHandleCalls) << Trace();
    }

    static FakeQnStats Stats()
    {
        FakeQnStats stats = {};
        FakeQnGetStats(&stats);
        return stats;
    }

    static std::string Trace()
    {
        std::vector<char> buf(static_cast<size_t>(FakeQnGetTrace(nullptr, 0)) + 1);
        FakeQnGetTrace(buf.data(), static_cast<int32_t>(buf.size()));
        return buf.data();
    }

    template <typename F>
    static void Script(F change)
    {
        FakeQnScript script = {};
        FakeQnGetScript(&script);
        change(script);
        FakeQnSetScript(&script);
    }

    std::string AnsiPattern() const { return UTIL::WideToAnsi(m_pattern); }
    std::string OpenRead() const { return "Init(self,'',0);Read('" + AnsiPattern() + "',0)"; }

    std::wstring Ini(const wchar_t* section, const std::wstring& key) const
    {
        wchar_t value[512] = {};
        ::GetPrivateProfileStringW(section, key.c_str(), L"<absent>", value, 512, m_ini.c_str());
        return value;
    }

    bool IniExists() const { return ::GetFileAttributesW(m_ini.c_str()) != INVALID_FILE_ATTRIBUTES; }

    // Waits for the record and checks its source and its whole message.
    void ExpectLine(int level, int line, const std::wstring& message) const
    {
        SCOPED_TRACE(testing_support::Narrow(message));
        ASSERT_TRUE(m_capture.WaitFor(level, line, message)) << m_capture.Dump();
        const auto records = m_capture.Matching(level, line, message);
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(kSource, records[0].file);
        const std::wstring& text = records[0].text;
        ASSERT_GE(text.size(), message.size() + 1);
        EXPECT_EQ(L']', text[text.size() - message.size() - 1]) << testing_support::Narrow(text);
        EXPECT_EQ(message, text.substr(text.size() - message.size()));
    }

    std::vector<std::wstring> TextsOf(int level, int line) const
    {
        m_capture.Settle();
        std::vector<std::wstring> texts;
        for (const auto& r : m_capture.Matching(level, line)) {
            texts.push_back(r.text.substr(r.text.find(L"]", 2) + 1));
        }
        return texts;
    }

    TempDir m_dir;
    LogCapture m_capture;
    std::wstring m_pattern;
    std::wstring m_ini;
};

TEST_F(PatternExportTest, EmptyPathIsBadInputWithoutEngineCall)
{
    const std::wstring cases[][2] = {{L"", m_ini}, {m_pattern, L""}, {L"", L""}};
    for (const auto& c : cases) {
        EXPECT_FALSE(FlushPatternPropertyToIni(c[0], c[1]));
        EXPECT_FALSE(FlushPatternExtListToIni(c[0], c[1]));
    }
    EXPECT_EQ(0, Stats().nEngineCalls);
    EXPECT_FALSE(IniExists());
    ExpectLine(69, 765, L"FlushPatternPropertyToIni - <<< bad input");
    ExpectLine(69, 910, L"FlushPatternExtListToIni - <<< bad input");
    EXPECT_EQ(3u, TextsOf(69, 765).size());
    EXPECT_EQ(3u, TextsOf(69, 910).size());
    EXPECT_EQ(3u, TextsOf(68, 762).size());
    EXPECT_EQ(3u, TextsOf(68, 907).size());
}

TEST_F(PatternExportTest, InitFailureClosesNothing)
{
    Script([](FakeQnScript& s) { s.nInitResult = -77; });
    EXPECT_FALSE(FlushPatternPropertyToIni(m_pattern, m_ini));
    EXPECT_FALSE(FlushPatternExtListToIni(m_pattern, m_ini));
    EXPECT_EQ("Init(self,'',0);Init(self,'',0)", Trace());
    EXPECT_EQ(0, Stats().nOpened);
    ExpectLine(69, 773, L"FlushPatternPropertyToIni - <<< QNInit() has failed, err(-77).");
    ExpectLine(69, 918, L"FlushPatternExtListToIni - <<< QNInit() has failed, err(-77).");
}

TEST_F(PatternExportTest, ReadFailureNamesAnsiPathAndCloses)
{
    m_pattern = m_dir.File(L"caf\u00e9 pattern.ptn");
    Script([](FakeQnScript& s) { s.nReadResult = -2105; });
    EXPECT_FALSE(FlushPatternPropertyToIni(m_pattern, m_ini));
    EXPECT_FALSE(FlushPatternExtListToIni(m_pattern, m_ini));
    EXPECT_EQ(OpenRead() + ";Close;" + OpenRead() + ";Close", Trace());
    const std::wstring shown = UTIL::AnsiToWide(AnsiPattern());
    ExpectLine(69, 782, L"FlushPatternPropertyToIni - <<< QNReadPatternInFile(" + shown + L") has failed, err(-2105).");
    ExpectLine(69, 927, L"FlushPatternExtListToIni - <<< QNReadPatternInFile(" + shown + L") has failed, err(-2105).");
    EXPECT_FALSE(IniExists());
}

TEST_F(PatternExportTest, SetConfigFailureClosesAndExtListNeverConfigures)
{
    Script([](FakeQnScript& s) { s.nSetConfigResult = -1006; });
    FakeQnSetExtList("{*;exe}");
    EXPECT_FALSE(FlushPatternPropertyToIni(m_pattern, m_ini));
    EXPECT_TRUE(FlushPatternExtListToIni(m_pattern, m_ini));
    EXPECT_EQ(OpenRead() + ";SetConfig(0x11000001,2,0);Close;" + OpenRead() + ";ExtListSize;ExtList;Close", Trace());
    ExpectLine(69, 791, L"FlushPatternPropertyToIni - <<< QNSetConfig() has failed, err(-1006).");
    EXPECT_EQ(L"<absent>", Ini(kSection, L"Count"));
}

TEST_F(PatternExportTest, ProbeFailureOrNoMajorTypeFailsAndCloses)
{
    Script([](FakeQnScript& s) {
        s.bForcePropertyResult = 1;
        s.nForcedPropertyResult = -5;
    });
    EXPECT_FALSE(FlushPatternPropertyToIni(m_pattern, m_ini));
    ExpectLine(69, 804, L"FlushPatternPropertyToIni - <<< QNGetPatternProperty() has failed.");

    Script([](FakeQnScript& s) { s.nForcedPropertyResult = 0; });
    EXPECT_FALSE(FlushPatternPropertyToIni(m_pattern, m_ini));
    ExpectLine(87, 810, L"FlushPatternPropertyToIni - <<< QNGetPatternProperty() has no major type.");

    const std::string once = OpenRead() + ";SetConfig(0x11000001,2,0);Property(0x01000001,0,cap=1);Close";
    EXPECT_EQ(once + ";" + once, Trace());
    EXPECT_FALSE(IniExists());
    EXPECT_TRUE(TextsOf(68, 899).empty());
}

TEST_F(PatternExportTest, TwelveTypesAreWrittenInOrderAfterCount)
{
    std::vector<QN_MAJOR_TYPE_RECORD> types;
    for (int n = 1; n <= 12; ++n) {
        char name[17];
        snprintf(name, sizeof(name), "Name_%03d", n);
        types.push_back(Record(name, static_cast<uint16_t>(n % 6), 25));
    }
    SetTypes(types);
    EXPECT_TRUE(FlushPatternPropertyToIni(m_pattern, m_ini));
    EXPECT_EQ(OpenRead() + ";SetConfig(0x11000001,2,0);Property(0x01000001,0,cap=1);Property(0x01000001,0,cap=12);Close",
              Trace());

    // The file lists keys in the order they were first written.
    const int firstWritten[] = {1, 3, 4, 5, 2, 5}; // engine codes 0..4 and 5 (unknown)
    std::string expected = "[INI_MAJOR_VIRUS_TYPE_SECTION]\r\nCount=12\r\n";
    std::vector<std::wstring> expectedLines;
    for (int n = 1; n <= 12; ++n) {
        char lines[128];
        snprintf(lines, sizeof(lines), "1st_Act_%03d=%d\r\n2nd_Act_%03d=25\r\nName_%03d=Name_%03d\r\n", n,
                 firstWritten[n % 6], n, n, n);
        expected += lines;
        expectedLines.push_back(L"FlushPatternPropertyToIni - Virus Name and Actions: " +
                                UTIL::AnsiToWide(types[n - 1].szName) + L", " + std::to_wstring(firstWritten[n % 6]) +
                                L", 25");
    }
    EXPECT_EQ(expected, testing_support::ReadFileBytes(m_ini));
    EXPECT_EQ(L"12", Ini(kSection, L"Count"));
    EXPECT_EQ(L"Name_012", Ini(kSection, L"Name_012"));

    ExpectLine(73, 816, L"FlushPatternPropertyToIni - QNGetPatternProperty() has 12 major type.");
    ExpectLine(68, 899, L"FlushPatternPropertyToIni - <<<");
    std::vector<std::wstring> logged = TextsOf(73, 886);
    std::sort(logged.begin(), logged.end()); // records travel over separate connections
    EXPECT_EQ(expectedLines, logged);
}

TEST_F(PatternExportTest, ActionCodesAreTranslated)
{
    struct Case {
        uint16_t code;
        int first;
        int second;
    };
    const Case cases[] = {{0, 1, 1},  {1, 3, 3},  {2, 4, 4},  {3, 5, 5},  {4, 2, 2},
                          {25, 25, 25}, {5, 5, 4}, {7, 5, 4}, {26, 5, 4}, {65535, 5, 4}};
    std::vector<QN_MAJOR_TYPE_RECORD> types;
    for (const Case& c : cases) {
        types.push_back(Record(("Code" + std::to_string(c.code)).c_str(), c.code, c.code));
    }
    SetTypes(types);
    ASSERT_TRUE(FlushPatternPropertyToIni(m_pattern, m_ini));
    for (size_t i = 0; i < types.size(); ++i) {
        SCOPED_TRACE(cases[i].code);
        wchar_t key[32];
        swprintf(key, 32, L"1st_Act_%03d", static_cast<int>(i + 1));
        EXPECT_EQ(std::to_wstring(cases[i].first), Ini(kSection, key));
        swprintf(key, 32, L"2nd_Act_%03d", static_cast<int>(i + 1));
        EXPECT_EQ(std::to_wstring(cases[i].second), Ini(kSection, key));
    }
}

TEST_F(PatternExportTest, SingleTypeIsExportedFromTheProbe)
{
    SetTypes({Record("Joke", 4, 7)});
    EXPECT_TRUE(FlushPatternPropertyToIni(m_pattern, m_ini));
    EXPECT_EQ(OpenRead() + ";SetConfig(0x11000001,2,0);Property(0x01000001,0,cap=1);Close", Trace());
    EXPECT_EQ(L"1", Ini(kSection, L"Count"));
    EXPECT_EQ(L"2", Ini(kSection, L"1st_Act_001"));
    EXPECT_EQ(L"4", Ini(kSection, L"2nd_Act_001"));
    EXPECT_EQ(L"Joke", Ini(kSection, L"Name_001"));
    ExpectLine(73, 816, L"FlushPatternPropertyToIni - QNGetPatternProperty() has 1 major type.");
    ExpectLine(73, 886, L"FlushPatternPropertyToIni - Virus Name and Actions: Joke, 2, 4");
}

TEST_F(PatternExportTest, NamesAreTakenFromTheirFieldOnly)
{
    QN_MAJOR_TYPE_RECORD unterminated = Record("", 0, 0);
    memcpy(unterminated.szName, "ABCDEFGHIJKLMNOPQ", 17);
    QN_MAJOR_TYPE_RECORD padded = Record("", 0, 0);
    memcpy(padded.szName, "Ab\0junk", 7);
    SetTypes({unterminated, padded, Record("Caf\xE9", 0, 0)});
    ASSERT_TRUE(FlushPatternPropertyToIni(m_pattern, m_ini));
    EXPECT_EQ(L"ABCDEFGHIJKLMNOP", Ini(kSection, L"Name_001"));
    EXPECT_EQ(L"Ab", Ini(kSection, L"Name_002"));
    EXPECT_EQ(UTIL::AnsiToWide("Caf\xE9"), Ini(kSection, L"Name_003"));
}

TEST_F(PatternExportTest, InconsistentSecondAnswerWritesNothing)
{
    const std::vector<QN_MAJOR_TYPE_RECORD> three = {Record("A", 0, 0), Record("B", 1, 1), Record("C", 2, 2)};
    struct Case {
        int32_t laterCount;
        int32_t capacityOut; // -1: unchanged
        int level;
        int line;
        const wchar_t* message;
    };
    const Case cases[] = {
        {5, -1, 69, 834, L"FlushPatternPropertyToIni - <<< QNGetPatternProperty() has 5 major type for 3 records."},
        {100, 100, 69, 834, L"FlushPatternPropertyToIni - <<< QNGetPatternProperty() has 100 major type for 3 records."},
        {3, 2, 69, 834, L"FlushPatternPropertyToIni - <<< QNGetPatternProperty() has 3 major type for 2 records."},
        {-7, -1, 69, 828, L"FlushPatternPropertyToIni - <<< QNGetPatternProperty() has failed."},
        {0, -1, 87, 831, L"FlushPatternPropertyToIni - <<< QNGetPatternProperty() has no major type."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        FakeQnReset();
        SetTypes(three);
        Script([&](FakeQnScript& s) {
            s.bForceLaterCount = 1;
            s.nLaterCount = c.laterCount;
            s.bForceCapacityOut = c.capacityOut >= 0;
            s.nCapacityOut = c.capacityOut;
        });
        EXPECT_FALSE(FlushPatternPropertyToIni(m_pattern, m_ini));
        ExpectLine(c.level, c.line, c.message);
        EXPECT_EQ(0, Stats().nOpenNow);
        EXPECT_FALSE(IniExists());
    }
}

TEST_F(PatternExportTest, FewerTypesOnSecondAnswerAreWritten)
{
    SetTypes({Record("A", 0, 0), Record("B", 1, 1), Record("C", 2, 2)});
    Script([](FakeQnScript& s) {
        s.bForceLaterCount = 1;
        s.nLaterCount = 2;
    });
    EXPECT_TRUE(FlushPatternPropertyToIni(m_pattern, m_ini));
    EXPECT_EQ(L"2", Ini(kSection, L"Count"));
    EXPECT_EQ(L"B", Ini(kSection, L"Name_002"));
    EXPECT_EQ(L"<absent>", Ini(kSection, L"Name_003"));
}

TEST_F(PatternExportTest, HugeTypeCountFailsAllocationAndCloses)
{
    for (const int32_t count : {0x7FFFFFFF, 150000000}) {
        SCOPED_TRACE(count);
        FakeQnReset();
        m_capture.Clear();
        Script([&](FakeQnScript& s) {
            s.bForcePropertyResult = 1;
            s.nForcedPropertyResult = count;
        });
        EXPECT_FALSE(FlushPatternPropertyToIni(m_pattern, m_ini));
        ExpectLine(87, 823, L"FlushPatternPropertyToIni - <<< Alloc memory has failed, err(8).");
        EXPECT_EQ(1, Stats().nClosed);
    }
}

TEST_F(PatternExportTest, IniInMissingFolderFailsAtCount)
{
    m_ini = m_dir.File(L"missing\\pattern.ini");
    SetTypes({Record("A", 0, 0), Record("B", 1, 1)});
    EXPECT_FALSE(FlushPatternPropertyToIni(m_pattern, m_ini));
    ExpectLine(87, 842, L"FlushPatternPropertyToIni - <<< WritePrivateProfileString(" + m_ini + L") has failed, err(3).");
    EXPECT_TRUE(TextsOf(73, 886).empty());
    EXPECT_TRUE(TextsOf(68, 899).empty());
}

TEST_F(PatternExportTest, ExtListIsRewrittenIntoAllFourSections)
{
    FakeQnSetExtList("{*;ab;cd}");
    EXPECT_TRUE(FlushPatternExtListToIni(m_pattern, m_ini));
    EXPECT_EQ(OpenRead() + ";ExtListSize;ExtList;Close", Trace());
    for (const wchar_t* section : kExtListSections) {
        EXPECT_EQ(L"ab,.cd", Ini(section, L"DefaultExtList")) << testing_support::Narrow(section);
    }
    ExpectLine(68, 907, L"FlushPatternExtListToIni - >>>");
    ExpectLine(73, 954, L"FlushPatternExtListToIni - ExtList: ab,.cd");
    ExpectLine(68, 967, L"FlushPatternExtListToIni - <<<");
}

TEST_F(PatternExportTest, ExtListRewriteEdgeCases)
{
    const char* const cases[][2] = {
        {"{*;exe;dll;com}", "exe,.dll,.com"},
        {"{*;a;;b}", "a,.,.b"},
        {"{*{*;;}", "{*,."}, // text joined by a removal is not scanned again
        {"{*;exe}{*;dll}", "exe}dll"},
        {"abc", "ab"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        FakeQnSetExtList(c[0]);
        EXPECT_TRUE(FlushPatternExtListToIni(m_pattern, m_ini));
        EXPECT_EQ(UTIL::AnsiToWide(c[1]), Ini(L"Scan Now Configuration", L"DefaultExtList"));
    }
}

TEST_F(PatternExportTest, EmptyExtListKeepsTheScanSettings)
{
    for (const wchar_t* section : kExtListSections) {
        ASSERT_TRUE(::WritePrivateProfileStringW(section, L"DefaultExtList", L"exe,.dll", m_ini.c_str()));
    }
    for (const char* list : {"{*;}", "", "{*;", "x"}) {
        SCOPED_TRACE(list);
        m_capture.Clear();
        FakeQnSetExtList(list);
        EXPECT_TRUE(FlushPatternExtListToIni(m_pattern, m_ini));
        for (const wchar_t* section : kExtListSections) {
            EXPECT_EQ(L"exe,.dll", Ini(section, L"DefaultExtList")) << testing_support::Narrow(section);
        }
        ExpectLine(87, 956, L"FlushPatternExtListToIni - ExtList is empty, DefaultExtList is kept.");
    }
}

TEST_F(PatternExportTest, UnterminatedExtListStaysInsideItsBuffer)
{
    FakeQnSetExtList("{*;ab;cd}");
    Script([](FakeQnScript& s) {
        s.bForceExtListSize = 1;
        s.dwExtListSize = 6; // "{*;ab;" and no terminator
        s.bExtListUnterminated = 1;
    });
    EXPECT_TRUE(FlushPatternExtListToIni(m_pattern, m_ini));
    EXPECT_EQ(L"ab", Ini(L"Manual Scan Configuration", L"DefaultExtList"));
}

TEST_F(PatternExportTest, ExtListSizeFailureWritesNothingAndSucceeds)
{
    Script([](FakeQnScript& s) { s.nExtListSizeResult = -1005; });
    EXPECT_TRUE(FlushPatternExtListToIni(m_pattern, m_ini));
    EXPECT_EQ(OpenRead() + ";ExtListSize;Close", Trace());
    ExpectLine(87, 936, L"FlushPatternExtListToIni - QNGetExtListSize() has failed, err(-1005).");
    ExpectLine(68, 967, L"FlushPatternExtListToIni - <<<");
    EXPECT_FALSE(IniExists());
}

TEST_F(PatternExportTest, ExtListAllocationFailureFailsAndCloses)
{
    Script([](FakeQnScript& s) {
        s.bForceExtListSize = 1;
        s.dwExtListSize = 0xFFFFFFF0u;
    });
    EXPECT_FALSE(FlushPatternExtListToIni(m_pattern, m_ini));
    EXPECT_EQ(OpenRead() + ";ExtListSize;Close", Trace());
    ExpectLine(87, 943, L"FlushPatternExtListToIni - <<< Alloc memory has failed, err(8).");
    EXPECT_FALSE(IniExists());
}

TEST_F(PatternExportTest, RepeatedExportsKeepHandleCount)
{
    SetTypes({Record("A", 0, 0), Record("B", 1, 1)});
    ASSERT_TRUE(FlushPatternPropertyToIni(m_pattern, m_ini));
    ASSERT_TRUE(FlushPatternExtListToIni(m_pattern, m_ini));
    const DWORD before = testing_support::ProcessHandleCount();
    ASSERT_GT(before, 0u);
    for (int i = 0; i < 20; ++i) {
        FlushPatternPropertyToIni(m_pattern, m_ini);
        FlushPatternExtListToIni(m_pattern, m_ini);
    }
    // A leak shows once per export; the in-process log capture may make one
    // synchronisation handle of its own for good, at any point.
    EXPECT_LE(testing_support::ProcessHandleCount(), before + 1);
    EXPECT_EQ(42, Stats().nClosed);
}

} // namespace
