// Bad input to the Install command: registry values of every shape and size, component lists that are
// malformed, huge, deeply nested, entity-expanding or oddly encoded, and unusual component identifiers.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ostream>
#include <string>

#include "app/component_lookup.h"
#include "com/com_initiator.h"
#include "log/debug_log.h"
#include "reliability_support.h"

using namespace reliability;
using testing_support::LogCapture;
using testing_support::ProcessResult;
using testing_support::UniqueName;

namespace {

std::string Utf16Le(const std::wstring& text, bool bom)
{
    std::string out = bom ? std::string("\xFF\xFE", 2) : std::string();
    for (wchar_t c : text) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    return out;
}

std::string Utf16Be(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text) {
        out.push_back(static_cast<char>((c >> 8) & 0xFF));
        out.push_back(static_cast<char>(c & 0xFF));
    }
    return out;
}

std::string Repeat(const std::string& s, size_t n)
{
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i) {
        out += s;
    }
    return out;
}

class RegistryInputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_capture.Started());
        m_product.Track(m_id);
    }
    // Status as QueryActionStatus reads it from a value of this type and content; 42 when unread.
    int StatusOf(DWORD type, const void* data, DWORD cb)
    {
        EXPECT_EQ(ERROR_SUCCESS, standin::product::SetValue(ProductSetup::KeyPath(m_id, L"1"), L"Status", type, data, cb));
        int status = 42;
        QueryActionStatus(status, m_id, L"1", L"1033");
        return status;
    }
    int StatusOf(const std::wstring& text)
    {
        return StatusOf(REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

    LogCapture m_capture;
    ProductSetup m_product;
    std::wstring m_id = UniqueName(L"RelReg");
};

TEST_F(RegistryInputTest, StatusThatOverflowsNeverWrapsOntoAKnownStatus)
{
    // 2^32 + 7 and -(2^32) + 7 would read as 7 (complete) if the conversion wrapped.
    EXPECT_EQ(INT_MAX, StatusOf(L"4294967303"));
    EXPECT_EQ(INT_MIN, StatusOf(L"-4294967289"));
    EXPECT_EQ(INT_MAX, StatusOf(L"2147483648"));
    EXPECT_EQ(INT_MAX, StatusOf(std::wstring(259, L'7'))); // the longest value that fits
    EXPECT_EQ(42, StatusOf(std::wstring(260, L'7')));      // one more: not read at all
}

TEST_F(RegistryInputTest, StatusOfOtherRegistryTypesIsReadAsTextOrNotAtAll)
{
    const DWORD seven = 7;
    EXPECT_EQ(0, StatusOf(REG_DWORD, &seven, sizeof(seven))) << "the bytes 07 00 00 00 are not the text 7";
    EXPECT_EQ(7, StatusOf(REG_BINARY, L"7", 2)) << "no terminator stored";
    EXPECT_EQ(5, StatusOf(REG_BINARY, "5\0x", 3)) << "odd byte count";
    EXPECT_EQ(7, StatusOf(REG_MULTI_SZ, L"7\0" L"9\0", 8));
    EXPECT_EQ(0, StatusOf(REG_EXPAND_SZ, L"%SEVEN%", 16));
    EXPECT_EQ(5, StatusOf(REG_SZ, L"5\0" L"7", 6)) << "text ends at its first NUL";
    EXPECT_EQ(5, StatusOf(L" \t\r\n5"));
    // 520 bytes without any terminator fill the whole buffer: not read, never run past.
    const std::wstring full(260, L'7');
    EXPECT_EQ(42, StatusOf(REG_BINARY, full.data(), 520));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 245, L"QueryActionStatus - Can't open " + m_id + L" registry, err("));
}

TEST_F(RegistryInputTest, OverflowingStatusOfAnInstalledComponentIsNotSuccess)
{
    m_product.WriteComponents({{m_id, L"1"}});
    m_product.MarkInstalled(m_id, L"1");
    m_product.SetStatus(m_id, L"1", L"4294967303");
    const ProcessResult r = RunKivProxyExe(QuoteArg(m_id) + L" Install");
    EXPECT_EQ(kExitFailure, r.exitCode);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 251, L"QueryActionStatus - <<< 2147483647 0")) << m_capture.Dump();
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 492, L"InstallCommand - << -1"));
}

TEST_F(RegistryInputTest, ProductFolderOfOtherRegistryTypesIsReadOrRefusedCleanly)
{
    UTIL::CComInitiator com(COINIT_MULTITHREADED, FALSE);
    std::wstring version, language;
    // A full buffer without terminator: refused, not run past.
    const std::wstring full(260, L'p');
    m_product.SetLocalPathRaw(REG_BINARY, full.data(), 520);
    EXPECT_FALSE(GetProductInfo(L"X", version, language));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 53, L"GetQuellguardServerPath - Can't open Quellguard registry, err("));
    // A number: its bytes are no folder.
    const DWORD number = 0x00430043;
    m_product.SetLocalPathRaw(REG_DWORD, &number, sizeof(number));
    EXPECT_FALSE(GetProductInfo(L"X", version, language));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 76, L"GetProductInfo - Can't find Kiv XML file(CC\\QGCE_KIV_COMP_LIST.xml)"))
        << m_capture.Dump();
    // Environment strings are not expanded.
    const std::wstring expand = L"%TEMP%";
    m_product.SetLocalPathRaw(REG_EXPAND_SZ, expand.c_str(), static_cast<DWORD>((expand.size() + 1) * 2));
    EXPECT_FALSE(GetProductInfo(L"X", version, language));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 76, L"Can't find Kiv XML file(%TEMP%\\QGCE_KIV_COMP_LIST.xml)"));
    // Two strings: the first one is the folder.
    m_product.WriteComponents({{L"X", L"3.0"}});
    const std::wstring multi = m_product.Folder() + std::wstring(L"\0C:\\elsewhere\0", 15);
    m_product.SetLocalPathRaw(REG_MULTI_SZ, multi.c_str(), static_cast<DWORD>((multi.size() + 1) * 2));
    ASSERT_TRUE(GetProductInfo(L"X", version, language));
    EXPECT_EQ(L"3.0", version);
}

TEST_F(RegistryInputTest, ProductFolderOfTheLongestLengthThatFits)
{
    // A real folder whose path has 259 characters: the list path beyond it has 282, more than
    // MAX_PATH, and is built in full.
    std::wstring folder = m_product.Folder();
    while (folder.size() < 259) {
        folder += L"\\" + std::wstring(std::min<size_t>(100, 259 - folder.size() - 1), L'd');
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr)) << ::GetLastError();
    }
    ASSERT_EQ(259u, folder.size());
    const std::wstring list = folder + L"\\QGCE_KIV_COMP_LIST.xml";
    ASSERT_TRUE(testing_support::WriteFileBytes(L"\\\\?\\" + list,
                                                "<QGCE_COMPONENT_ID_LIST><Component ID=\"Deep\" Version=\"9\" "
                                                "Language=\"1033\"/></QGCE_COMPONENT_ID_LIST>"));
    m_product.SetLocalPath(folder);
    UTIL::CComInitiator com(COINIT_MULTITHREADED, FALSE);
    std::wstring version, language;
    if (GetProductInfo(L"Deep", version, language)) {
        EXPECT_EQ(L"9", version);
    } else {
        // Wine's parser cannot open a path that long: a clear failure naming the whole path.
        std::printf("the platform's parser refuses the %zu-character list path\n", list.size());
        EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 103, L"GetProductInfo - Can't open Kiv XML file(" + list + L")"))
            << m_capture.Dump();
    }
}

TEST_F(RegistryInputTest, ComponentKeyPathAtAndPastItsLimit)
{
    // "SOFTWARE\...\Kiv\" + id + "\1_" + language + "_" + version: 259 characters fit.
    const size_t fixed = wcslen(standin::product::kKivKey) + 1 + 3 + 4 + 1 + 1; // separators, "1_", "1033", "_", version "1"
    const std::wstring longId = m_id + std::wstring(259 - fixed - m_id.size(), L'k');
    ASSERT_EQ(259u, ProductSetup::KeyPath(longId, L"1").size());
    m_product.SetStatus(longId, L"1", L"7");
    int status = 42;
    QueryActionStatus(status, longId, L"1", L"1033");
    EXPECT_EQ(7, status);

    status = 42;
    QueryActionStatus(status, longId, L"12", L"1033"); // 260 characters
    EXPECT_EQ(42, status);
    std::wstring path = L"unchanged";
    EXPECT_FALSE(GetProductDllPath(path, longId, L"12", L"1033"));
    EXPECT_EQ(L"unchanged", path);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 230, L"QueryActionStatus - Registry path too long for " + longId));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 121, L"GetProductDllPath - Registry path too long for " + longId));
}

// One component list given to "KivProxy.exe <id> Install". The component is
// registered as installed and complete, so a list that is wrongly accepted
// shows as exit code 0 at once instead of a long install.
struct ListCase {
    const char* name;
    std::string (*make)();
    bool parses; // false: the list itself is refused ("Can't open Kiv XML file")
};

void PrintTo(const ListCase& c, std::ostream* os)
{
    *os << c.name;
}

const char kHead[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
const char kTarget[] = "RelListTarget";

std::string Entity()
{
    return std::string(kHead) + "<!DOCTYPE QGCE_COMPONENT_ID_LIST [<!ENTITY id \"" + kTarget +
           "\">]><QGCE_COMPONENT_ID_LIST><Component ID=\"&id;\" Version=\"1\" Language=\"1033\"/></QGCE_COMPONENT_ID_LIST>";
}

std::string BillionLaughs()
{
    std::string doc = std::string(kHead) + "<!DOCTYPE QGCE_COMPONENT_ID_LIST [<!ENTITY l0 \"lol\">";
    for (int i = 1; i <= 9; ++i) {
        doc += "<!ENTITY l" + std::to_string(i) + " \"" + Repeat("&l" + std::to_string(i - 1) + ";", 10) + "\">";
    }
    return doc + "]><QGCE_COMPONENT_ID_LIST><Component ID=\"&l9;\"/></QGCE_COMPONENT_ID_LIST>";
}

std::string QuadraticBlowup()
{
    // 100 KB of text referenced 50,000 times: 5 GB, without any nesting.
    return std::string(kHead) + "<!DOCTYPE QGCE_COMPONENT_ID_LIST [<!ENTITY a \"" + std::string(100000, 'x') +
           "\">]><QGCE_COMPONENT_ID_LIST><Component ID=\"" + Repeat("&a;", 50000) +
           "\"/></QGCE_COMPONENT_ID_LIST>";
}

std::string ExternalEntity()
{
    return std::string(kHead) + "<!DOCTYPE QGCE_COMPONENT_ID_LIST SYSTEM \"file:///C:/windows/win.ini\">"
                                "<QGCE_COMPONENT_ID_LIST><Component ID=\"" + kTarget +
           "\" Version=\"1\" Language=\"1033\"/></QGCE_COMPONENT_ID_LIST>";
}

std::string Utf16EntityWithoutBom()
{
    return Utf16Be(L"<!DOCTYPE QGCE_COMPONENT_ID_LIST [<!ENTITY id \"RelListTarget\">]><QGCE_COMPONENT_ID_LIST>"
                   L"<Component ID=\"&id;\" Version=\"1\" Language=\"1033\"/></QGCE_COMPONENT_ID_LIST>");
}

std::string Utf16LeEntity()
{
    return Utf16Le(L"<?xml version=\"1.0\" encoding=\"UTF-16\"?><!DOCTYPE r [<!ENTITY id \"RelListTarget\">]>"
                   L"<QGCE_COMPONENT_ID_LIST><Component ID=\"&id;\" Version=\"1\" Language=\"1033\"/>"
                   L"</QGCE_COMPONENT_ID_LIST>",
                   true);
}

std::string Malformed()
{
    return std::string(kHead) + "<QGCE_COMPONENT_ID_LIST><Component ID=\"" + kTarget + "\" Version=\"1\">";
}

std::string Empty()
{
    return std::string();
}

std::string BinaryNoise()
{
    std::string s(4096, '\0');
    for (size_t i = 0; i < s.size(); ++i) {
        s[i] = static_cast<char>((i * 2654435761u) >> 13);
    }
    return s;
}

std::string TruncatedUtf16()
{
    std::string s = Utf16Le(L"<QGCE_COMPONENT_ID_LIST><Component ID=\"RelListTarget\" Version=\"1\"/>", true);
    return s + "\x3C"; // half a character
}

std::string DeepNesting()
{
    return "<QGCE_COMPONENT_ID_LIST>" + Repeat("<a>", 1000000) + Repeat("</a>", 1000000) + "</QGCE_COMPONENT_ID_LIST>";
}

std::string HugeAttribute()
{
    return std::string(kHead) + "<QGCE_COMPONENT_ID_LIST><Component ID=\"" + std::string(1000000, 'i') +
           "\" Version=\"" + std::string(1000000, 'v') + "\"/></QGCE_COMPONENT_ID_LIST>";
}

std::string ManyComponents()
{
    return std::string(kHead) + "<QGCE_COMPONENT_ID_LIST>" + Repeat("<Component ID=\"Other\" Version=\"1\"/>", 100000) +
           "</QGCE_COMPONENT_ID_LIST>";
}

std::string Utf32()
{
    const std::wstring text = L"<?xml version=\"1.0\" encoding=\"UTF-32\"?><QGCE_COMPONENT_ID_LIST><Component ID=\"" +
                              std::wstring(L"RelListTarget") + L"\" Version=\"1\" Language=\"1033\"/></QGCE_COMPONENT_ID_LIST>";
    std::string out("\xFF\xFE\0\0", 4);
    for (wchar_t c : text) {
        out.append({static_cast<char>(c & 0xFF), static_cast<char>(c >> 8), '\0', '\0'});
    }
    return out;
}

std::string Ebcdic()
{
    // "<?xml ...?>" and the list in code page 037.
    static const unsigned char kMap[128] = {
        0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x25, 0,    0,    0x0D, 0,    0,    0,    0,    0,
        0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x40, 0x5A, 0x7F, 0x7B, 0x5B, 0x6C,
        0x50, 0x7D, 0x4D, 0x5D, 0x5C, 0x4E, 0x6B, 0x60, 0x4B, 0x61, 0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7,
        0xF8, 0xF9, 0x7A, 0x5E, 0x4C, 0x7E, 0x6E, 0x6F, 0x7C, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9,
        0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xBA,
        0xE0, 0xBB, 0xB0, 0x6D, 0x79, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x91, 0x92, 0x93, 0x94,
        0x95, 0x96, 0x97, 0x98, 0x99, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xC0, 0x4F, 0xD0, 0xA1, 0};
    const std::string text = std::string("<?xml version=\"1.0\" encoding=\"IBM037\"?><QGCE_COMPONENT_ID_LIST><Component ID=\"") +
                             kTarget + "\" Version=\"1\" Language=\"1033\"/></QGCE_COMPONENT_ID_LIST>";
    std::string out;
    for (char c : text) {
        out.push_back(static_cast<char>(kMap[static_cast<unsigned char>(c) & 0x7F]));
    }
    return out;
}

std::string UnknownEncoding()
{
    return std::string("<?xml version=\"1.0\" encoding=\"x-no-such-charset\"?><QGCE_COMPONENT_ID_LIST><Component ID=\"") +
           kTarget + "\" Version=\"1\" Language=\"1033\"/></QGCE_COMPONENT_ID_LIST>";
}

std::string Latin1DeclaredUtf8()
{
    return std::string(kHead) + "<QGCE_COMPONENT_ID_LIST><Component ID=\"K\xE4se\" Version=\"1\"/></QGCE_COMPONENT_ID_LIST>";
}

const ListCase kListCases[] = {
    {"InternalEntity", Entity, false},
    {"BillionLaughs", BillionLaughs, false},
    {"QuadraticBlowup", QuadraticBlowup, false},
    {"ExternalDtd", ExternalEntity, false},
    {"Utf16BigEndianEntityWithoutBom", Utf16EntityWithoutBom, false},
    {"Utf16LittleEndianEntity", Utf16LeEntity, false},
    {"Malformed", Malformed, false},
    {"Empty", Empty, false},
    {"BinaryNoise", BinaryNoise, false},
    {"TruncatedUtf16", TruncatedUtf16, false},
    {"MillionLevelsDeep", DeepNesting, false},
    {"Utf32", Utf32, false},
    {"Ebcdic", Ebcdic, false},
    {"UnknownEncoding", UnknownEncoding, false},
    {"Latin1DeclaredAsUtf8", Latin1DeclaredUtf8, false},
    {"TwoMegabyteAttributes", HugeAttribute, true},
    {"HundredThousandOtherComponents", ManyComponents, true},
};

class ComponentListInputTest : public ::testing::TestWithParam<ListCase> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_capture.Started());
        m_product.MarkInstalled(kTargetW, L"1");
    }
    const std::wstring kTargetW = L"RelListTarget";
    LogCapture m_capture;
    ProductSetup m_product;
};

TEST_P(ComponentListInputTest, RefusedWithAClearLineAndExitCodeMinusOne)
{
    m_product.WriteList(GetParam().make());
    const ProcessResult r = RunKivProxyExe(std::wstring(kTargetW) + L" Install", 30000);
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(kExitFailure, r.exitCode) << "0 means the list was taken; anything else is a crash";
    EXPECT_EQ("", r.output);
    std::printf("%s: %lu ms\n", GetParam().name, r.elapsedMs);
    EXPECT_LT(r.elapsedMs, 15000u);
    if (!GetParam().parses) {
        EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 103, L"GetProductInfo - Can't open Kiv XML file(" + m_product.ListPath() + L")"))
            << m_capture.Dump();
    }
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 489, L"InstallCommand - Can't find DLP version in XML!"));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 1054, L"wmain - <<< -1"));
    m_capture.Settle();
    EXPECT_TRUE(m_capture.Matching(5, -1).empty()) << "no request reaches the pipe layer";
}

INSTANTIATE_TEST_SUITE_P(Lists, ComponentListInputTest, ::testing::ValuesIn(kListCases),
                         [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

TEST(ComponentListControlTest, TheSameListsWithoutTheirFaultAreTaken)
{
    // What the refused lists would give when well formed: the component is found and complete.
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    ProductSetup product;
    product.MarkInstalled(L"RelListTarget", L"1");
    const std::string plain = std::string(kHead) +
                              "<QGCE_COMPONENT_ID_LIST><Component ID=\"RelListTarget\" Version=\"1\" Language=\"1033\"/>"
                              "</QGCE_COMPONENT_ID_LIST>";
    for (const std::string& list :
         {plain, Utf16Le(L"<QGCE_COMPONENT_ID_LIST><Component ID=\"RelListTarget\" Version=\"1\" Language=\"1033\"/>"
                         L"</QGCE_COMPONENT_ID_LIST>",
                         true),
          std::string("\xFE\xFF") +
              Utf16Be(L"<QGCE_COMPONENT_ID_LIST><Component ID=\"RelListTarget\" Version=\"1\" Language=\"1033\"/>"
                      L"</QGCE_COMPONENT_ID_LIST>")}) {
        product.WriteList(list);
        const ProcessResult r = RunKivProxyExe(L"RelListTarget Install");
        EXPECT_EQ(0u, r.exitCode) << capture.Dump();
    }
}

// Component identifiers that are hard to carry: the command line, the list,
// the registry key and the log lines must all keep them exactly.
TEST(UnusualArgumentTest, ComponentIdentifiersSurviveEveryHop)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    ProductSetup product;
    const std::wstring ids[] = {
        L"\u00c5ngstr\u00f6m",           // in the ANSI code page
        L"\u7ec4\u4ef6",                  // outside it
        L"\U0001F600emoji",               // a surrogate pair
        L"with  spaces",                  // blanks
        L"quote\"and\"quote",             // characters the command line escapes
        L"%s%n%x%S",                      // format directives must stay text
    };
    std::string xml = std::string(kHead) + "<QGCE_COMPONENT_ID_LIST>";
    for (const std::wstring& id : ids) {
        std::string escaped;
        for (char c : testing_support::Narrow(id)) {
            escaped += c == '"' ? std::string("&quot;") : std::string(1, c);
        }
        xml += "<Component ID=\"" + escaped + "\" Version=\"1\" Language=\"1033\"/>";
        product.MarkInstalled(id, L"1");
    }
    product.WriteList(xml + "</QGCE_COMPONENT_ID_LIST>");

    for (const std::wstring& id : ids) {
        SCOPED_TRACE(testing_support::Narrow(id));
        capture.Clear();
        const ProcessResult r = RunKivProxyExe(QuoteArg(id) + L" Install");
        EXPECT_EQ(0u, r.exitCode) << capture.Dump();
        EXPECT_EQ("", r.output);
        EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_INFO, 96, L"Find verion(1) LanguageID(1033) for " + id)) << capture.Dump();
    }

    // Not in the list: refused quickly, however long or strange.
    for (const std::wstring& id : {std::wstring(32000, L'L'), std::wstring(L"\xD800lone"), std::wstring(L"\"\"")}) {
        capture.Clear();
        const ProcessResult r = RunKivProxyExe(QuoteArg(id) + L" Install");
        EXPECT_EQ(kExitFailure, r.exitCode);
        EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_ERROR, 489, L"Can't find DLP version in XML!")) << capture.Dump();
    }
}

} // namespace
