// Quarn32.dll through its ordinal exports: contexts, configuration, properties, pattern loading.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "app/quarn32_api.h"
#include "common/text_convert.h"
#include "pattern_format.h"
#include "pattern_fuzz.h"
#include "test_support.h"

namespace {

class Quarn32EngineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(QN_OK, QNInit(::GetCurrentThreadId(), "", 0, &m_hEngine)); }
    void TearDown() override { EXPECT_EQ(QN_OK, QNCloseHandle(m_hEngine)); }

    // Writes a pattern file and returns its ANSI path.
    std::string WritePattern(const quarn32::Pattern& pattern, const wchar_t* name = L"p.ptn")
    {
        std::vector<uint8_t> image;
        EXPECT_TRUE(quarn32::SerializePattern(pattern, &image, nullptr));
        return WriteImage(image, name);
    }

    std::string WriteImage(const std::vector<uint8_t>& image, const wchar_t* name = L"p.ptn")
    {
        const std::wstring path = m_dir.File(name);
        EXPECT_TRUE(testing_support::WriteFileBytes(path, std::string(image.begin(), image.end())));
        return UTIL::WideToAnsi(path);
    }

    static quarn32::Pattern FiveTypes()
    {
        quarn32::Pattern p;
        for (uint16_t i = 0; i < 5; ++i) {
            p.types.push_back({i, static_cast<uint16_t>(i + 20), "Type" + std::to_string(i)});
        }
        p.extList = "{*;exe;dll}";
        return p;
    }

    testing_support::TempDir m_dir;
    QNHANDLE m_hEngine = 0;
};

TEST(Quarn32ContextTest, InitRefusesBadArguments)
{
    QNHANDLE h = 0x1234;
    EXPECT_EQ(QN_E_INVALID_ARG, QNInit(::GetCurrentThreadId(), "", 0, nullptr));
    EXPECT_EQ(QN_E_INVALID_ARG, QNInit(::GetCurrentThreadId(), nullptr, 0, &h));
    EXPECT_EQ(QN_E_INVALID_ARG, QNInit(::GetCurrentThreadId(), "fast", 0, &h));
    EXPECT_EQ(QN_E_INVALID_ARG, QNInit(::GetCurrentThreadId(), "", 1, &h));
    EXPECT_EQ(0x1234u, h);
}

TEST(Quarn32ContextTest, HandlesAreDistinctAndCloseOnce)
{
    QNHANDLE a = 0;
    QNHANDLE b = 0;
    ASSERT_EQ(QN_OK, QNInit(::GetCurrentThreadId(), "", 0, &a));
    ASSERT_EQ(QN_OK, QNInit(::GetCurrentThreadId(), "", 0, &b));
    EXPECT_NE(a, b);
    EXPECT_EQ(QN_OK, QNCloseHandle(a));
    EXPECT_EQ(QN_E_INVALID_HANDLE, QNCloseHandle(a));
    EXPECT_EQ(QN_E_INVALID_HANDLE, QNCloseHandle(0));

    // Every operation refuses a closed handle.
    DWORD size = 0;
    char list[8] = {};
    QN_PATTERN_PROPERTY_REQUEST request = {0, nullptr};
    EXPECT_EQ(QN_E_INVALID_HANDLE, QNReadPatternInFile(a, "x.ptn", 0));
    EXPECT_EQ(QN_E_INVALID_HANDLE, QNSetConfig(a, QN_CONFIG_ACTION_SET, QN_ACTION_SET_MAJOR_TYPES, 0));
    EXPECT_EQ(QN_E_INVALID_HANDLE, QNGetPatternProperty(a, QN_PROPERTY_MAJOR_TYPES, 0, &request));
    EXPECT_EQ(QN_E_INVALID_HANDLE, QNGetExtListSize(a, &size));
    EXPECT_EQ(QN_E_INVALID_HANDLE, QNGetExtList(a, list));
    EXPECT_EQ(QN_OK, QNCloseHandle(b));
}

TEST(Quarn32ContextTest, OperationsAreExportedByOrdinalOnly)
{
    HMODULE engine = ::GetModuleHandleW(L"Quarn32.dll");
    ASSERT_NE(nullptr, engine);
    for (const WORD ordinal : {289, 305, 394, 449, 450, 652, 654}) {
        EXPECT_NE(nullptr, ::GetProcAddress(engine, MAKEINTRESOURCEA(ordinal))) << ordinal;
    }
    for (const char* name : {"QNInit", "QNInit@16", "_QNInit@16", "QNCloseHandle", "QNGetPatternProperty"}) {
        EXPECT_EQ(nullptr, ::GetProcAddress(engine, name)) << name;
    }
}

TEST_F(Quarn32EngineTest, ContextsOnManyThreadsStayApart)
{
    const std::string path = WritePattern(FiveTypes());
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                QNHANDLE h = 0;
                QN_MAJOR_TYPE_RECORD records[5] = {};
                QN_PATTERN_PROPERTY_REQUEST request = {5, records};
                if (QNInit(::GetCurrentThreadId(), "", 0, &h) != QN_OK ||
                    QNReadPatternInFile(h, path.c_str(), 0) != QN_OK ||
                    QNGetPatternProperty(h, QN_PROPERTY_MAJOR_TYPES, 0, &request) != 5 ||
                    std::strcmp(records[4].szName, "Type4") != 0 || QNCloseHandle(h) != QN_OK) {
                    ++failures[t];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(std::vector<int>(failures.size(), 0), failures);
    // The fixture's own context is untouched by the others.
    QN_PATTERN_PROPERTY_REQUEST request = {0, nullptr};
    EXPECT_EQ(QN_E_NOT_LOADED, QNGetPatternProperty(m_hEngine, QN_PROPERTY_MAJOR_TYPES, 0, &request));
}

TEST_F(Quarn32EngineTest, SetConfigAcceptsOnlyTheMajorTypeActionSet)
{
    EXPECT_EQ(QN_OK, QNSetConfig(m_hEngine, QN_CONFIG_ACTION_SET, QN_ACTION_SET_MAJOR_TYPES, 0));
    EXPECT_EQ(QN_E_INVALID_ARG, QNSetConfig(m_hEngine, QN_CONFIG_ACTION_SET, 3, 0));
    EXPECT_EQ(QN_E_INVALID_ARG, QNSetConfig(m_hEngine, QN_CONFIG_ACTION_SET, QN_ACTION_SET_MAJOR_TYPES, 1));
    EXPECT_EQ(QN_E_UNKNOWN_CONFIG, QNSetConfig(m_hEngine, 0x11000002, QN_ACTION_SET_MAJOR_TYPES, 0));
}

TEST_F(Quarn32EngineTest, QueriesNeedALoadedPattern)
{
    QN_MAJOR_TYPE_RECORD record = {};
    QN_PATTERN_PROPERTY_REQUEST request = {1, &record};
    DWORD size = 0;
    EXPECT_EQ(QN_E_NOT_LOADED, QNGetPatternProperty(m_hEngine, QN_PROPERTY_MAJOR_TYPES, 0, &request));
    EXPECT_EQ(QN_E_NOT_LOADED, QNGetExtListSize(m_hEngine, &size));
}

TEST_F(Quarn32EngineTest, PropertyFillsUpToCapacityAndReturnsCount)
{
    ASSERT_EQ(QN_OK, QNReadPatternInFile(m_hEngine, WritePattern(FiveTypes()).c_str(), 0));

    QN_MAJOR_TYPE_RECORD records[6];
    std::memset(records, 0xCC, sizeof(records));
    QN_PATTERN_PROPERTY_REQUEST request = {2, records};
    EXPECT_EQ(5, QNGetPatternProperty(m_hEngine, QN_PROPERTY_MAJOR_TYPES, 0, &request));
    EXPECT_EQ(2, request.nCapacity);
    EXPECT_EQ(1, records[1].wFirstAction);
    EXPECT_EQ(21, records[1].wSecondAction);
    EXPECT_EQ(0, std::memcmp(records[1].szName, "Type1\0\0\0\0\0\0\0\0\0\0\0\0", 17));
    EXPECT_EQ(0xCC, reinterpret_cast<const uint8_t*>(&records[2])[0]); // untouched past the capacity

    request = {6, records};
    EXPECT_EQ(5, QNGetPatternProperty(m_hEngine, QN_PROPERTY_MAJOR_TYPES, 0, &request));
    EXPECT_EQ(6, request.nCapacity);
    EXPECT_STREQ("Type4", records[4].szName);
    EXPECT_EQ(0xCC, reinterpret_cast<const uint8_t*>(&records[5])[0]);

    request = {0, nullptr};
    EXPECT_EQ(5, QNGetPatternProperty(m_hEngine, QN_PROPERTY_MAJOR_TYPES, 0, &request));

    request = {-1, records};
    EXPECT_EQ(QN_E_INVALID_ARG, QNGetPatternProperty(m_hEngine, QN_PROPERTY_MAJOR_TYPES, 0, &request));
    request = {1, nullptr};
    EXPECT_EQ(QN_E_INVALID_ARG, QNGetPatternProperty(m_hEngine, QN_PROPERTY_MAJOR_TYPES, 0, &request));
    EXPECT_EQ(QN_E_INVALID_ARG, QNGetPatternProperty(m_hEngine, QN_PROPERTY_MAJOR_TYPES, 0, nullptr));
    request = {1, records};
    EXPECT_EQ(QN_E_INVALID_ARG, QNGetPatternProperty(m_hEngine, QN_PROPERTY_MAJOR_TYPES, 7, &request));
    EXPECT_EQ(QN_E_UNKNOWN_PROPERTY, QNGetPatternProperty(m_hEngine, 0x1000002, 0, &request));
}

TEST_F(Quarn32EngineTest, ExtListFitsItsReportedSize)
{
    ASSERT_EQ(QN_OK, QNReadPatternInFile(m_hEngine, WritePattern(FiveTypes()).c_str(), 0));
    DWORD size = 0;
    ASSERT_EQ(QN_OK, QNGetExtListSize(m_hEngine, &size));
    EXPECT_EQ(12u, size);
    char buffer[16];
    std::memset(buffer, 'Z', sizeof(buffer));
    EXPECT_EQ(QN_OK, QNGetExtList(m_hEngine, buffer));
    EXPECT_STREQ("{*;exe;dll}", buffer);
    EXPECT_EQ('Z', buffer[12]);
    EXPECT_EQ(QN_E_INVALID_ARG, QNGetExtListSize(m_hEngine, nullptr));
    EXPECT_EQ(QN_E_INVALID_ARG, QNGetExtList(m_hEngine, nullptr));
}

TEST_F(Quarn32EngineTest, ReadFailuresAreReportedAndUnloadThePattern)
{
    const std::string good = WritePattern(FiveTypes(), L"good.ptn");
    std::vector<uint8_t> image;
    ASSERT_TRUE(quarn32::SerializePattern(FiveTypes(), &image, nullptr));
    image[40] ^= 0x01;
    const std::string corrupt = WriteImage(image, L"corrupt.ptn");
    const std::string huge = WriteImage(std::vector<uint8_t>(quarn32::kMaxPatternFileBytes + 1, 0), L"huge.ptn");

    ASSERT_EQ(QN_OK, QNReadPatternInFile(m_hEngine, good.c_str(), 0));
    EXPECT_EQ(QN_E_BAD_CRC, QNReadPatternInFile(m_hEngine, corrupt.c_str(), 0));
    QN_PATTERN_PROPERTY_REQUEST request = {0, nullptr};
    EXPECT_EQ(QN_E_NOT_LOADED, QNGetPatternProperty(m_hEngine, QN_PROPERTY_MAJOR_TYPES, 0, &request));

    EXPECT_EQ(QN_E_FILE_OPEN, QNReadPatternInFile(m_hEngine, (good + ".missing").c_str(), 0));
    EXPECT_EQ(QN_E_FILE_OPEN, QNReadPatternInFile(m_hEngine, UTIL::WideToAnsi(m_dir.Path()).c_str(), 0));
    EXPECT_EQ(QN_E_FILE_TOO_LARGE, QNReadPatternInFile(m_hEngine, huge.c_str(), 0));
    EXPECT_EQ(QN_E_INVALID_ARG, QNReadPatternInFile(m_hEngine, "", 0));
    EXPECT_EQ(QN_E_INVALID_ARG, QNReadPatternInFile(m_hEngine, nullptr, 0));
    EXPECT_EQ(QN_E_INVALID_ARG, QNReadPatternInFile(m_hEngine, good.c_str(), 1));
}

TEST_F(Quarn32EngineTest, MutatedPatternFilesGiveResultsNotCrashes)
{
    const auto seeds = pattern_fuzz::SeedImages();
    std::mt19937 rng(7);
    DWORD handlesBefore = 0;
    for (int i = 0; i < 2000; ++i) {
        if (i == 1) {
            handlesBefore = testing_support::ProcessHandleCount(); // after one-time set-up
        }
        SCOPED_TRACE(i);
        std::vector<uint8_t> image = seeds[static_cast<size_t>(i) % seeds.size()];
        pattern_fuzz::Mutate(&image, &rng);
        const int32_t read = QNReadPatternInFile(m_hEngine, WriteImage(image).c_str(), 0);
        ASSERT_STRNE("unknown", quarn32::ResultName(read)) << read;
        QN_PATTERN_PROPERTY_REQUEST request = {0, nullptr};
        const int32_t count = QNGetPatternProperty(m_hEngine, QN_PROPERTY_MAJOR_TYPES, 0, &request);
        DWORD size = 0;
        const int32_t sized = QNGetExtListSize(m_hEngine, &size);
        if (read != QN_OK) {
            EXPECT_EQ(QN_E_NOT_LOADED, count);
            EXPECT_EQ(QN_E_NOT_LOADED, sized);
            continue;
        }
        ASSERT_GE(count, 0);
        ASSERT_LE(count, static_cast<int32_t>(quarn32::kMaxMajorTypes));
        std::vector<QN_MAJOR_TYPE_RECORD> records(static_cast<size_t>(count));
        request = {count, records.data()};
        EXPECT_EQ(count, QNGetPatternProperty(m_hEngine, QN_PROPERTY_MAJOR_TYPES, 0, &request));
        for (const QN_MAJOR_TYPE_RECORD& r : records) {
            EXPECT_EQ('\0', r.szName[16]);
            EXPECT_NE('\0', r.szName[0]);
        }
        ASSERT_EQ(QN_OK, sized);
        ASSERT_LE(size, quarn32::kMaxExtListBytes + 1);
        std::vector<char> list(size + 1, 'Z');
        EXPECT_EQ(QN_OK, QNGetExtList(m_hEngine, list.data()));
        EXPECT_EQ('\0', list[size - 1]);
        EXPECT_EQ('Z', list[size]);
    }
    ASSERT_GT(handlesBefore, 0u);
    EXPECT_EQ(handlesBefore, testing_support::ProcessHandleCount());
}

} // namespace
