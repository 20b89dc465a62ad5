// Debug log: level filter, text composition and forwarding, checked through the log server stand-in.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "common/unique_resource.h"
#include "log/debug_log.h"
#include "test_support.h"

using standin::LevelMapPublisher;
using standin::LogRecord;
using testing_support::LogCapture;

namespace {

const wchar_t kSrc[] = L"tests/log";
const wchar_t kProgramPrefix[] = L"[][log_tests.exe]";

// Sends one record at `level` and reports whether the stand-in received it.
bool Delivered(LogCapture& capture, int level, int line)
{
    const bool accepted = DebugLogW(level, kSrc, line, L"%s - probe", L"Probe");
    const bool arrived = capture.WaitFor(level, line, L"", accepted ? 3000 : 200);
    EXPECT_EQ(accepted, arrived) << "level " << level;
    return arrived;
}

// Started again with this variable set, the program is the log probe: it logs
// one D and one E record before any test runs, and no test runs, and the same
// from an exit handler registered before its first log call, so that the
// handler runs after everything that first call set up for the process ends.
const wchar_t kProbeVariable[] = L"KIV_LOG_PROBE";

const bool g_bLogProbe = [] {
    if (::GetEnvironmentVariableW(kProbeVariable, nullptr, 0) == 0) {
        return false;
    }
    atexit([] {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, 162, L"%s - at exit", L"Probe");
        DebugLogW(LOG_LEVEL_ERROR, kSrc, 163, L"%s - at exit", L"Probe");
    });
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, 160, L"%s - at start", L"Probe");
    DebugLogW(LOG_LEVEL_ERROR, kSrc, 161, L"%s - at start", L"Probe");
    return true;
}();

// Runs the log probe in a process of its own and waits for its records.
void RunLogProbe(LogCapture& capture)
{
    wchar_t wszExe[MAX_PATH] = {};
    ASSERT_NE(::GetModuleFileNameW(nullptr, wszExe, MAX_PATH), 0u);
    ASSERT_TRUE(::SetEnvironmentVariableW(kProbeVariable, L"1"));
    const testing_support::ProcessResult r =
        testing_support::RunProcess(L"\"" + std::wstring(wszExe) + L"\" --gtest_filter=-*");
    ::SetEnvironmentVariableW(kProbeVariable, nullptr);
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitCode, 0u);
    ASSERT_TRUE(capture.WaitFor(LOG_LEVEL_ERROR, 161)) << capture.Dump();
    ASSERT_TRUE(capture.WaitFor(LOG_LEVEL_ERROR, 163)) << capture.Dump();
    capture.Settle();
}

} // namespace

// A test double of the C++ runtime: while set on a thread, every allocation
// made by that thread fails as it does when memory runs out.
static thread_local bool t_bFailAllocations = false;

void* operator new(std::size_t cb)
{
    void* p = t_bFailAllocations ? nullptr : std::malloc(cb != 0 ? cb : 1);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

class DebugLogFilterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_capture.Started());
        ASSERT_TRUE(m_map.IsValid());
    }
    LevelMapPublisher m_map;
    LogCapture m_capture;
};

TEST_F(DebugLogFilterTest, DebugLevelNeedsVerbosityNine)
{
    m_map.SetVerbosity(8);
    EXPECT_FALSE(Delivered(m_capture, LOG_LEVEL_DEBUG, 1));
    m_map.SetVerbosity(9);
    EXPECT_TRUE(Delivered(m_capture, LOG_LEVEL_DEBUG, 2));
}

TEST_F(DebugLogFilterTest, ThresholdsFollowTheLevelTable)
{
    m_map.SetVerbosity(4);
    EXPECT_TRUE(Delivered(m_capture, LOG_LEVEL_ERROR, 10)); // E: 4
    EXPECT_TRUE(Delivered(m_capture, 'F', 11));             // F: 2
    EXPECT_FALSE(Delivered(m_capture, LOG_LEVEL_WARNING, 12)); // W: 5
    EXPECT_FALSE(Delivered(m_capture, LOG_LEVEL_INFO, 13));    // I: 7
    m_map.SetVerbosity(5);
    EXPECT_TRUE(Delivered(m_capture, LOG_LEVEL_PIPE, 14));
    EXPECT_FALSE(Delivered(m_capture, LOG_LEVEL_XML_ERROR, 15)); // 8: 9
}

TEST_F(DebugLogFilterTest, NoticePassesFromMinusOneUp)
{
    m_map.SetVerbosity(-1);
    EXPECT_TRUE(Delivered(m_capture, LOG_LEVEL_NOTICE, 20));
    EXPECT_FALSE(Delivered(m_capture, LOG_LEVEL_ERROR, 21));
    m_map.SetVerbosity(-2);
    EXPECT_FALSE(Delivered(m_capture, LOG_LEVEL_NOTICE, 22));
}

TEST_F(DebugLogFilterTest, CodesOutside0To255AreNeverFiltered)
{
    m_map.SetVerbosity(-32768);
    EXPECT_TRUE(Delivered(m_capture, 300, 30));
    EXPECT_TRUE(Delivered(m_capture, -7, 31));
    EXPECT_FALSE(Delivered(m_capture, 255, 32));
}

TEST_F(DebugLogFilterTest, FilterSwitchOffLetsEverythingThrough)
{
    m_map.SetWord(0x0000FFF0); // verbosity -16, but bit 16 clear
    EXPECT_TRUE(Delivered(m_capture, LOG_LEVEL_DEBUG, 40));
    m_map.SetWord(0xFFFE0000); // upper bits set, bit 16 clear, verbosity 0
    EXPECT_TRUE(Delivered(m_capture, LOG_LEVEL_DEBUG, 41));
}

TEST_F(DebugLogFilterTest, WordThatOthersMayOnlyReadStillFilters)
{
    m_map.SetVerbosity(8);
    UTIL::UniqueHandle hMap(::OpenFileMappingW(READ_CONTROL | WRITE_DAC, FALSE, kLogLevelMapName));
    ASSERT_TRUE(hMap.IsValid()) << ::GetLastError();
    PSECURITY_DESCRIPTOR pReadOnly = nullptr; // everyone: SECTION_QUERY | SECTION_MAP_READ
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;0x5;;;WD)", SDDL_REVISION_1,
                                                                       &pReadOnly, nullptr));
    const BOOL bRestricted = ::SetKernelObjectSecurity(hMap.Get(), DACL_SECURITY_INFORMATION, pReadOnly);
    ::LocalFree(pReadOnly);
    auto restore = UTIL::MakeScopeExit([&] {
        SECURITY_DESCRIPTOR open;
        ::InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
        ::SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
        EXPECT_TRUE(::SetKernelObjectSecurity(hMap.Get(), DACL_SECURITY_INFORMATION, &open));
    });
    ASSERT_TRUE(bRestricted) << ::GetLastError();

    RunLogProbe(m_capture);
    EXPECT_TRUE(m_capture.Matching(LOG_LEVEL_DEBUG, 160).empty()) << m_capture.Dump();
}

TEST_F(DebugLogFilterTest, WordStillFiltersWhenTheProcessEnds)
{
    m_map.SetVerbosity(8);
    RunLogProbe(m_capture);
    EXPECT_TRUE(m_capture.Matching(LOG_LEVEL_DEBUG, 160).empty()) << m_capture.Dump();
    EXPECT_TRUE(m_capture.Matching(LOG_LEVEL_DEBUG, 162).empty()) << m_capture.Dump();
}

TEST(DebugLogMapTest, FirstCallCreatesZeroFilledMapWhenNoneExists)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    EXPECT_TRUE(DebugLogW(LOG_LEVEL_DEBUG, kSrc, 50, L"%s - first", L"Func"));
    EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 50));

    HANDLE hMap = ::OpenFileMappingW(FILE_MAP_READ, FALSE, L"Global\\log_level_map_file");
    ASSERT_NE(hMap, nullptr) << ::GetLastError();
    auto* pWord = static_cast<const uint32_t*>(::MapViewOfFile(hMap, FILE_MAP_READ, 0, 0, 4));
    ASSERT_NE(pWord, nullptr);
    EXPECT_EQ(*pWord, 0u);
    ::UnmapViewOfFile(pWord);
    ::CloseHandle(hMap);
}

TEST(DebugLogMapTest, MappingHandleIsNotInherited)
{
    const HANDLE hMapping = GetLogLevelMap().Mapping();
    ASSERT_NE(hMapping, nullptr);
    DWORD dwFlags = HANDLE_FLAG_INHERIT;
    ASSERT_TRUE(::GetHandleInformation(hMapping, &dwFlags)) << ::GetLastError();
    EXPECT_EQ(dwFlags & HANDLE_FLAG_INHERIT, 0u);
}

TEST(DebugLogTextTest, RecordCarriesProgramNameFieldsAndTrailingNul)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    const DWORD before = static_cast<DWORD>(time(nullptr));
    ASSERT_TRUE(DebugLogW(LOG_LEVEL_INFO, L"server/some/file", 4108, L"%s - value %d", L"NS::Func", -12));
    ASSERT_TRUE(capture.WaitFor(LOG_LEVEL_INFO, 4108));
    const LogRecord r = capture.Matching(LOG_LEVEL_INFO, 4108)[0];
    EXPECT_EQ(r.command, L"LOG_WRITE");
    EXPECT_EQ(r.fieldCount, 8u);
    EXPECT_EQ(r.pid, ::GetCurrentProcessId());
    EXPECT_EQ(r.tid, ::GetCurrentThreadId());
    EXPECT_GE(static_cast<DWORD>(r.time), before);
    EXPECT_LE(static_cast<DWORD>(r.time), before + 5);
    EXPECT_EQ(r.file, L"server/some/file");
    EXPECT_EQ(r.text, std::wstring(kProgramPrefix) + L"NS::Func - value -12");
    // The terminating NUL travels with the message, and nothing after it.
    ASSERT_GE(r.raw.size(), 2u);
    EXPECT_EQ(r.raw[r.raw.size() - 1], 0);
    EXPECT_EQ(r.raw[r.raw.size() - 2], 0);
    const std::wstring expectedText = L"LOG_WRITE\t" + std::to_wstring(r.time) + L"\t" +
                                      std::to_wstring(r.pid) + L"\t" + std::to_wstring(r.tid) +
                                      L"\t73\tserver/some/file\t4108\t" + r.text;
    EXPECT_EQ(r.raw.size(), (expectedText.size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(0, memcmp(r.raw.data(), expectedText.c_str(), expectedText.size() * sizeof(wchar_t)));
}

TEST(DebugLogTextTest, WideFormatsUseMicrosoftStringConversions)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    ASSERT_TRUE(DebugLogW(LOG_LEVEL_DEBUG, kSrc, 60, L"%s - wide=%s narrow=%S", L"F", L"w\u00e9", "n8"));
    ASSERT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 60));
    EXPECT_EQ(capture.Matching(LOG_LEVEL_DEBUG, 60)[0].text,
              std::wstring(kProgramPrefix) + L"F - wide=w\u00e9 narrow=n8");
}

TEST(DebugLogTextTest, LongMessageIsCutTo4095Characters)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    const std::wstring big(100000, L'x');
    ASSERT_TRUE(DebugLogW(LOG_LEVEL_DEBUG, kSrc, 70, L"%s - %s", L"F", big.c_str()));
    ASSERT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 70, L"", 5000));
    const LogRecord r = capture.Matching(LOG_LEVEL_DEBUG, 70)[0];
    EXPECT_EQ(r.text.size(), 4095u);
    EXPECT_EQ(r.text.compare(0, wcslen(kProgramPrefix), kProgramPrefix), 0);
    EXPECT_EQ(r.text.substr(wcslen(kProgramPrefix), 4), L"F - ");
    EXPECT_EQ(r.text.back(), L'x');
    // 4096 characters with the NUL, in 1024-byte pieces after the header fields.
    size_t total = 0;
    for (DWORD piece : r.pieceSizes) {
        EXPECT_LE(piece, 1024u);
        total += piece;
    }
    EXPECT_EQ(total, r.raw.size());
}

TEST(DebugLogTextTest, RecordOf1026BytesArrivesAs1024And2)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    // Find the header length first, then size the text to make 1026 bytes in all.
    ASSERT_TRUE(DebugLogW(LOG_LEVEL_DEBUG, kSrc, 80, L"%s", L""));
    ASSERT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 80));
    const size_t base = capture.Matching(LOG_LEVEL_DEBUG, 80)[0].raw.size(); // header + prefix + NUL
    const size_t extraChars = (1026 - base) / 2;
    const std::wstring text(extraChars, L'y');
    // The time field can change length only at a power of ten: a second later it is the same width.
    ASSERT_TRUE(DebugLogW(LOG_LEVEL_DEBUG, kSrc, 81, L"%s", text.c_str()));
    ASSERT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 81));
    const LogRecord r = capture.Matching(LOG_LEVEL_DEBUG, 81)[0];
    ASSERT_EQ(r.raw.size(), 1026u);
    ASSERT_EQ(r.pieceSizes.size(), 2u);
    EXPECT_EQ(r.pieceSizes[0], 1024u);
    EXPECT_EQ(r.pieceSizes[1], 2u);
}

TEST(DebugLogTextTest, EightBitEntryConvertsFromAnsiCodePage)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    char accented[2] = {0, 0};
    wchar_t expected = 0;
    // A character outside ASCII in this system's ANSI code page.
    for (int c = 0xC0; c <= 0xFF && expected == 0; ++c) {
        const char ch = static_cast<char>(c);
        wchar_t w = 0;
        if (::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &ch, 1, &w, 1) == 1 && w > 0x7F) {
            accented[0] = ch;
            expected = w;
        }
    }
    ASSERT_NE(expected, 0);
    DebugLogA(LOG_LEVEL_PIPE, "client/a8", 90, "CBx::Call(%s, %d) %s", "NULL", 7, accented);
    ASSERT_TRUE(capture.WaitFor(LOG_LEVEL_PIPE, 90));
    const LogRecord r = capture.Matching(LOG_LEVEL_PIPE, 90)[0];
    EXPECT_EQ(r.file, L"client/a8");
    EXPECT_EQ(r.text, std::wstring(kProgramPrefix) + L"CBx::Call(NULL, 7) " + expected);
}

TEST(DebugLogTextTest, RecordThatCannotBeComposedIsDroppedWithoutThrowing)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    bool bSent = true;
    bool bThrew = false;
    t_bFailAllocations = true;
    try {
        bSent = DebugLogW(300, kSrc, 150, L"%s - no memory", L"F");
        DebugLogA(300, "tests/log", 151, "%s - no memory", "F");
    } catch (...) {
        bThrew = true;
    }
    t_bFailAllocations = false;
    EXPECT_FALSE(bThrew);
    EXPECT_FALSE(bSent);
    ASSERT_TRUE(DebugLogW(300, kSrc, 152, L"%s - memory again", L"F"));
    ASSERT_TRUE(capture.WaitFor(300, 152));
    capture.Settle();
    EXPECT_TRUE(capture.Matching(300, 150).empty()) << capture.Dump();
    EXPECT_TRUE(capture.Matching(300, 151).empty()) << capture.Dump();
}

TEST(DebugLogTextTest, TwoThreadsFirstRecordsBothCarryTheProgramName)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    std::atomic<int> ready{0};
    auto worker = [&](int line) {
        ++ready;
        while (ready.load() < 2) {
        }
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, line, L"%s - go", L"T");
    };
    std::thread a(worker, 101);
    std::thread b(worker, 102);
    a.join();
    b.join();
    ASSERT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 101));
    ASSERT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, 102));
    for (int line : {101, 102}) {
        EXPECT_EQ(capture.Matching(LOG_LEVEL_DEBUG, line)[0].text, std::wstring(kProgramPrefix) + L"T - go");
    }
}

TEST(DebugLogDeliveryTest, WithoutLogServerCallsFailQuickly)
{
    const DWORD start = ::GetTickCount();
    for (int i = 0; i < 200; ++i) {
        EXPECT_FALSE(DebugLogW(LOG_LEVEL_ERROR, kSrc, 110, L"%s - nobody listens", L"F"));
    }
    EXPECT_LT(::GetTickCount() - start, 20000u); // no call waits for a log server
}

TEST(DebugLogDeliveryTest, BusyLogServerDropsRecordAfterDefaultTimeout)
{
    // One instance, taken by a client that never writes: the writer waits for
    // the pipe's default time-out (1000 ms here) and drops its record.
    standin::LogSink sink;
    ASSERT_TRUE(sink.Start(L"Log_ServerNamePipe", 1));
    HANDLE hBlocker = ::CreateFileW(L"\\\\.\\pipe\\Log_ServerNamePipe", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
    ASSERT_NE(hBlocker, INVALID_HANDLE_VALUE);
    const DWORD start = ::GetTickCount();
    EXPECT_FALSE(DebugLogW(LOG_LEVEL_ERROR, kSrc, 120, L"%s - busy", L"F"));
    const DWORD elapsed = ::GetTickCount() - start;
    EXPECT_GE(elapsed, 900u);
    EXPECT_LT(elapsed, 15000u);
    ::CloseHandle(hBlocker);
}

TEST(DebugLogDeliveryTest, RepeatedRecordsLeakNoHandles)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    // The first round lets the in-process capture make what its threads keep
    // for good (it creates some only once they contend); the second is measured.
    DWORD before = 0;
    for (int line : {130, 131}) {
        before = testing_support::ProcessHandleCount();
        for (int i = 0; i < 200; ++i) {
            DebugLogW(LOG_LEVEL_DEBUG, kSrc, line, L"%s - %d", L"F", i);
        }
        ASSERT_TRUE(capture.WaitFor(LOG_LEVEL_DEBUG, line, L"F - 199", 5000));
        capture.Settle();
        EXPECT_EQ(capture.Matching(LOG_LEVEL_DEBUG, line).size(), 200u);
    }
    ASSERT_GT(before, 0u);
    EXPECT_LE(testing_support::ProcessHandleCount(), before + 2);
}
