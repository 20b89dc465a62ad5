// Pattern file format and descriptions: validation of every field, round trips, PatternTool.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "app/quarn32_api.h"
#include "guarded_buffer.h"
#include "pattern_format.h"
#include "pattern_fuzz.h"
#include "pattern_text.h"
#include "test_support.h"

using quarn32::Pattern;

namespace {

bool SamePattern(const Pattern& a, const Pattern& b)
{
    auto sameType = [](const quarn32::MajorType& x, const quarn32::MajorType& y) {
        return x.firstAction == y.firstAction && x.secondAction == y.secondAction && x.name == y.name;
    };
    return a.patternNumber == b.patternNumber && a.extList == b.extList && a.types.size() == b.types.size() &&
           std::equal(a.types.begin(), a.types.end(), b.types.begin(), sameType);
}

Pattern Sample()
{
    Pattern p;
    p.patternNumber = 1873100;
    p.types = {{0, 2, "Virus"}, {25, 1, "Packer Bomb"}, {7, 7, "ABCDEFGHIJKLMNOP"}};
    p.extList = "{*;exe;dll}";
    return p;
}

std::vector<uint8_t> SampleImage()
{
    std::vector<uint8_t> image;
    EXPECT_TRUE(quarn32::SerializePattern(Sample(), &image, nullptr));
    return image;
}

void Put32(std::vector<uint8_t>& image, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

int32_t Parse(const std::vector<uint8_t>& image)
{
    Pattern out;
    return quarn32::ParsePattern(image.data(), image.size(), &out);
}

TEST(PatternFormatTest, ImageRoundTrips)
{
    const std::vector<uint8_t> image = SampleImage();
    ASSERT_EQ(quarn32::kHeaderSize + 3 * quarn32::kRecordSize + 12, image.size());
    Pattern parsed;
    ASSERT_EQ(QN_OK, quarn32::ParsePattern(image.data(), image.size(), &parsed));
    EXPECT_TRUE(SamePattern(Sample(), parsed));
    EXPECT_EQ(0, std::memcmp(image.data(), "QNPT", 4));
}

TEST(PatternFormatTest, CrcMatchesTheStandardCheckValue)
{
    const char* text = "123456789";
    EXPECT_EQ(0xCBF43926u, quarn32::Crc32(reinterpret_cast<const uint8_t*>(text), 9));
}

TEST(PatternFormatTest, EveryBrokenFieldHasItsError)
{
    struct Case {
        const char* what;
        int32_t expected;
        bool fixCrc;
        void (*change)(std::vector<uint8_t>&);
    };
    const Case cases[] = {
        {"empty file", QN_E_TRUNCATED, false, [](std::vector<uint8_t>& i) { i.clear(); }},
        {"magic", QN_E_BAD_MAGIC, false, [](std::vector<uint8_t>& i) { i[0] = 'X'; }},
        {"short header", QN_E_TRUNCATED, false, [](std::vector<uint8_t>& i) { i.resize(20); }},
        {"version 2", QN_E_BAD_VERSION, true, [](std::vector<uint8_t>& i) { i[4] = 2; }},
        {"header size", QN_E_BAD_HEADER, true, [](std::vector<uint8_t>& i) { i[6] = 31; }},
        {"reserved", QN_E_BAD_HEADER, true, [](std::vector<uint8_t>& i) { i[24] = 1; }},
        {"body cut", QN_E_TRUNCATED, false, [](std::vector<uint8_t>& i) { i.pop_back(); }},
        {"trailing byte", QN_E_TRAILING_DATA, false, [](std::vector<uint8_t>& i) { i.push_back(0); }},
        {"crc", QN_E_BAD_CRC, false, [](std::vector<uint8_t>& i) { i[40] ^= 1; }},
        {"count beyond body", QN_E_BAD_COUNT, true, [](std::vector<uint8_t>& i) { Put32(i, 12, 4); }},
        {"count beyond limit", QN_E_BAD_COUNT, true, [](std::vector<uint8_t>& i) { Put32(i, 12, 0xFFFFFFFF); }},
        {"list length beyond limit", QN_E_BAD_EXTLIST, true, [](std::vector<uint8_t>& i) { Put32(i, 16, 5000); }},
        {"list length beyond body", QN_E_BAD_COUNT, true, [](std::vector<uint8_t>& i) { Put32(i, 16, 12); }},
        {"body size beyond file", QN_E_TRUNCATED, true, [](std::vector<uint8_t>& i) { Put32(i, 20, 0xFFFFFFF0); }},
        {"name without terminator", QN_E_BAD_NAME, true,
         [](std::vector<uint8_t>& i) { std::memset(&i[32 + 4], 'A', 17); }},
        {"empty name", QN_E_BAD_NAME, true, [](std::vector<uint8_t>& i) { std::memset(&i[32 + 4], 0, 17); }},
        {"control character in name", QN_E_BAD_NAME, true, [](std::vector<uint8_t>& i) { i[32 + 5] = '\n'; }},
        {"bytes after name terminator", QN_E_BAD_NAME, true, [](std::vector<uint8_t>& i) { i[32 + 4 + 16] = 'x'; }},
        {"record reserved", QN_E_BAD_RECORD, true, [](std::vector<uint8_t>& i) { i[32 + 23] = 1; }},
        {"list without terminator", QN_E_BAD_EXTLIST, true, [](std::vector<uint8_t>& i) { i.back() = '}'; }},
        {"control character in list", QN_E_BAD_EXTLIST, true,
         [](std::vector<uint8_t>& i) { i[i.size() - 3] = '\r'; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> image = SampleImage();
        c.change(image);
        if (c.fixCrc) {
            ASSERT_TRUE(quarn32::FixPatternCrc(&image));
        }
        EXPECT_STREQ(quarn32::ResultName(c.expected), quarn32::ResultName(Parse(image)));
    }
}

TEST(PatternFormatTest, WriterRefusesWhatTheReaderWouldRefuse)
{
    struct Case {
        const char* what;
        void (*change)(Pattern&);
    };
    const Case cases[] = {
        {"17-byte name", [](Pattern& p) { p.types[0].name = "ABCDEFGHIJKLMNOPQ"; }},
        {"empty name", [](Pattern& p) { p.types[0].name.clear(); }},
        {"tab in name", [](Pattern& p) { p.types[0].name = "a\tb"; }},
        {"oversized list", [](Pattern& p) { p.extList.assign(quarn32::kMaxExtListBytes + 1, 'e'); }},
        {"newline in list", [](Pattern& p) { p.extList = "{*;exe\n}"; }},
        {"too many types", [](Pattern& p) { p.types.resize(quarn32::kMaxMajorTypes + 1, {0, 0, "x"}); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Pattern p = Sample();
        c.change(p);
        std::vector<uint8_t> image;
        std::string why;
        EXPECT_FALSE(quarn32::SerializePattern(p, &image, &why));
        EXPECT_FALSE(why.empty());
        EXPECT_TRUE(image.empty());
    }
    Pattern largest = Sample();
    largest.extList.assign(quarn32::kMaxExtListBytes, 'e');
    std::vector<uint8_t> image;
    EXPECT_TRUE(quarn32::SerializePattern(largest, &image, nullptr));
    EXPECT_EQ(QN_OK, Parse(image));
}

TEST(PatternFormatTest, MutatedImagesNeverReadOutsideTheirBuffer)
{
    testing_support::GuardedBuffer guarded(quarn32::kHeaderSize + 64 * quarn32::kRecordSize + 4096);
    ASSERT_NE(nullptr, guarded.Data());
    const auto seeds = pattern_fuzz::SeedImages();
    std::mt19937 rng(20241208);
    int accepted = 0;
    for (int i = 0; i < 2000; ++i) {
        std::vector<uint8_t> image = seeds[static_cast<size_t>(i) % seeds.size()];
        pattern_fuzz::Mutate(&image, &rng);
        SCOPED_TRACE(i);
        const uint8_t* placed = guarded.Place(image);
        Pattern out;
        const int32_t result = quarn32::ParsePattern(placed, image.size(), &out);
        ASSERT_STRNE("unknown", quarn32::ResultName(result)) << result;
        if (result == QN_OK) {
            ++accepted;
            // Whatever is accepted is within the limits and written back byte for byte.
            std::vector<uint8_t> again;
            ASSERT_TRUE(quarn32::SerializePattern(out, &again, nullptr));
            EXPECT_EQ(image, again);
        }
    }
    EXPECT_GT(accepted, 0); // some mutations keep the file valid (a changed action code, say)
}

TEST(PatternDescriptionTest, DescriptionRoundTrips)
{
    const std::string text = "# comment\r\n\r\nnumber 1873100\n  type Virus 0 2\ntype \"Packer Bomb\"\t25 1\n"
                             "type ABCDEFGHIJKLMNOP 7 7\nextlist {*;exe;dll}   \n";
    Pattern parsed;
    std::string why;
    ASSERT_TRUE(quarn32::ParseDescription(text, &parsed, &why)) << why;
    EXPECT_TRUE(SamePattern(Sample(), parsed));
    Pattern again;
    ASSERT_TRUE(quarn32::ParseDescription(quarn32::FormatDescription(parsed), &again, &why)) << why;
    EXPECT_TRUE(SamePattern(parsed, again));
}

TEST(PatternDescriptionTest, ErrorsNameTheirLine)
{
    const char* const cases[][2] = {
        {"type A 0 0\nbogus 1\n", "line 2: unknown keyword"},
        {"type A 0 65536\n", "line 1: 65536 is larger than 65535"},
        {"type A 0\n", "line 1: missing field"},
        {"\n\ntype ABCDEFGHIJKLMNOPQ 0 0\n", "line 3: name"},
        {"type \"A B 0 0\n", "line 1: unterminated quoted name"},
        {"type A 0 0 9\n", "line 1: unexpected text"},
        {"type A -1 0\n", "line 1: \"-1\" is not a decimal number"},
        {"extlist {*;exe}\nextlist {*;dll}\n", "line 2: second \"extlist\" line"},
        {"number 4294967296\n", "line 1: 4294967296 is larger than"},
        {"number 1\nnumber 2\n", "line 2: second \"number\" line"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        Pattern out;
        out.patternNumber = 77;
        std::string why;
        EXPECT_FALSE(quarn32::ParseDescription(c[0], &out, &why));
        EXPECT_EQ(0u, why.find(c[1])) << why;
        EXPECT_EQ(77u, out.patternNumber);
    }
}

TEST(PatternToolTest, BuildsAndDumpsPatterns)
{
    testing_support::TempDir dir;
    const std::wstring tool = L"\"" + testing_support::BinDir() + L"\\PatternTool.exe\" ";
    ASSERT_TRUE(testing_support::WriteFileBytes(dir.File(L"in.txt"), "number 5\ntype Virus 0 2\nextlist {*;exe}\n"));
    auto r = testing_support::RunProcess(tool + L"build \"" + dir.File(L"in.txt") + L"\" \"" + dir.File(L"out.ptn") + L"\"");
    ASSERT_EQ(0u, r.exitCode);
    const std::string image = testing_support::ReadFileBytes(dir.File(L"out.ptn"));
    Pattern parsed;
    ASSERT_EQ(QN_OK, quarn32::ParsePattern(reinterpret_cast<const uint8_t*>(image.data()), image.size(), &parsed));
    EXPECT_EQ(5u, parsed.patternNumber);

    r = testing_support::RunProcess(tool + L"dump \"" + dir.File(L"out.ptn") + L"\"");
    EXPECT_EQ(0u, r.exitCode);
    Pattern dumped;
    std::string why;
    ASSERT_TRUE(quarn32::ParseDescription(r.output, &dumped, &why)) << why << r.output;
    EXPECT_TRUE(SamePattern(parsed, dumped)) << r.output;

    // Refused inputs: exit code 1 and no output file.
    ASSERT_TRUE(testing_support::WriteFileBytes(dir.File(L"bad.txt"), "type Virus 0\n"));
    r = testing_support::RunProcess(tool + L"build \"" + dir.File(L"bad.txt") + L"\" \"" + dir.File(L"bad.ptn") + L"\"");
    EXPECT_EQ(1u, r.exitCode);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(dir.File(L"bad.ptn").c_str()));
    r = testing_support::RunProcess(tool + L"dump \"" + dir.File(L"in.txt") + L"\"");
    EXPECT_EQ(1u, r.exitCode);
    EXPECT_EQ("", r.output);
    r = testing_support::RunProcess(tool + L"frobnicate");
    EXPECT_EQ(1u, r.exitCode);
}

} // namespace
