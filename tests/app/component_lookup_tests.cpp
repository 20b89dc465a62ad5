// Component lookups against the real registry and the real component list.
#include <gtest/gtest.h>

#include <objbase.h>

#include <string>

#include "app/component_lookup.h"
#include "log/debug_log.h"
#include "product_support.h"
#include "test_support.h"

using testing_support::LogCapture;
using testing_support::ProductSetup;
using testing_support::UniqueName;

namespace {

std::string ComponentList(const std::string& components)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<QGCE_COMPONENT_ID_LIST>\r\n" + components +
           "</QGCE_COMPONENT_ID_LIST>\r\n";
}

} // namespace

class ComponentListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_TRUE(m_capture.Started());
    }
    void TearDown() override { ::CoUninitialize(); }
    void WriteList(const std::string& content) { m_product.WriteList(content); }
    ProductSetup m_product;
    LogCapture m_capture;
};

TEST_F(ComponentListTest, TrailingBackslashOrNotGivesTheSameFile)
{
    WriteList(ComponentList("<Component ID=\"A\" Version=\"1.2\" Language=\"1033\"/>"));
    for (const std::wstring& folder : {m_product.Folder(), m_product.Folder() + L"\\"}) {
        m_product.SetLocalPath(folder);
        std::wstring ver, lang;
        ASSERT_TRUE(GetProductInfo(L"A", ver, lang));
        EXPECT_EQ(ver, L"1.2");
        EXPECT_EQ(lang, L"1033");
    }
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_INFO, 96, L"GetProductInfo - Find verion(1.2) LanguageID(1033) for A"));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 106, L"GetProductInfo - <<< 1"));
}

TEST_F(ComponentListTest, FirstMatchWinsAndMatchingIsExactAndCaseSensitive)
{
    WriteList(ComponentList("<Other><Component ID=\"A\" Version=\"9\" Language=\"9\"/></Other>"
                            "<Component ID=\"a\" Version=\"0.1\" Language=\"1041\"/>"
                            "<Component ID=\" A\" Version=\"0.2\" Language=\"1041\"/>"
                            "<Component ID=\"A\" Version=\"1.0\" Language=\"1033\"/>"
                            "<Component ID=\"A\" Version=\"2.0\" Language=\"2052\"/>"));
    std::wstring ver = L"keep", lang = L"keep";
    ASSERT_TRUE(GetProductInfo(L"A", ver, lang));
    EXPECT_EQ(ver, L"1.0");
    EXPECT_EQ(lang, L"1033");

    ver = lang = L"keep";
    EXPECT_FALSE(GetProductInfo(L"B", ver, lang));
    EXPECT_EQ(ver, L"keep");
    EXPECT_FALSE(GetProductInfo(L"A ", ver, lang));
}

TEST_F(ComponentListTest, MissingVersionReadsAsEmptyAndStillMatches)
{
    WriteList(ComponentList("<Component ID=\"A\" Language=\"1033\"/>"));
    std::wstring ver = L"x", lang;
    ASSERT_TRUE(GetProductInfo(L"A", ver, lang));
    EXPECT_EQ(ver, L"");
    EXPECT_EQ(lang, L"1033");
}

TEST_F(ComponentListTest, Utf16ListWithByteOrderMarkIsRead)
{
    const std::wstring text = L"<?xml version=\"1.0\" encoding=\"UTF-16\"?><QGCE_COMPONENT_ID_LIST>"
                              L"<Component ID=\"\u00c5ngstr\u00f6m\" Version=\"3.1\" Language=\"1053\"/>"
                              L"</QGCE_COMPONENT_ID_LIST>";
    std::string bytes("\xFF\xFE", 2);
    bytes.append(reinterpret_cast<const char*>(text.c_str()), text.size() * 2);
    WriteList(bytes);
    std::wstring ver, lang;
    ASSERT_TRUE(GetProductInfo(L"\u00c5ngstr\u00f6m", ver, lang));
    EXPECT_EQ(ver, L"3.1");
}

TEST_F(ComponentListTest, UnreadableListsFailWithClearLines)
{
    std::wstring ver, lang;
    // No file.
    EXPECT_FALSE(GetProductInfo(L"A", ver, lang));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 76, L"Can't find Kiv XML file("));
    // Malformed and empty files.
    for (const std::string& bad : {std::string("<QGCE_COMPONENT_ID_LIST><Component ID=\"A\">"), std::string()}) {
        m_capture.Clear();
        WriteList(bad);
        EXPECT_FALSE(GetProductInfo(L"A", ver, lang));
        EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 103, L"GetProductInfo - Can't open Kiv XML file("));
        EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 106, L"GetProductInfo - <<< 0"));
    }
    // Another root element: no match, no message of its own.
    m_capture.Clear();
    WriteList("<COMPONENTS><Component ID=\"A\" Version=\"1\" Language=\"1\"/></COMPONENTS>");
    EXPECT_FALSE(GetProductInfo(L"A", ver, lang));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 106, L"<<< 0"));
    m_capture.Settle();
    EXPECT_TRUE(m_capture.Matching(LOG_LEVEL_ERROR, -1).empty()) << m_capture.Dump();
}

TEST_F(ComponentListTest, DocumentTypeIsRefusedOnlyBeforeTheRootElement)
{
    const std::string prolog = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- needs no <!DOCTYPE -->\r\n"
                               "<?note <!DOCTYPE?>\r\n";
    const std::string root = "<QGCE_COMPONENT_ID_LIST><![CDATA[<!DOCTYPE x>]]>"
                             "<Component ID=\"A\" Version=\"2.0\" Language=\"1033\"/></QGCE_COMPONENT_ID_LIST>";
    std::wstring ver, lang;
    WriteList(prolog + root);
    EXPECT_TRUE(GetProductInfo(L"A", ver, lang)) << m_capture.Dump();
    EXPECT_EQ(ver, L"2.0");

    WriteList(prolog + "<!DOCTYPE QGCE_COMPONENT_ID_LIST []>\r\n" + root);
    EXPECT_FALSE(GetProductInfo(L"A", ver, lang));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 103, L"GetProductInfo - Can't open Kiv XML file("));
}

TEST_F(ComponentListTest, HugeListFindsTheLastComponent)
{
    std::string components;
    for (int i = 0; i < 10000; ++i) {
        components += "<Component ID=\"C" + std::to_string(i) + "\" Version=\"" + std::to_string(i) +
                      ".0\" Language=\"1033\"/>\r\n";
    }
    WriteList(ComponentList(components));
    std::wstring ver, lang;
    ASSERT_TRUE(GetProductInfo(L"C9999", ver, lang));
    EXPECT_EQ(ver, L"9999.0");
}

TEST(ProductFolderTest, MissingOrOverlongFolderValueFails)
{
    LogCapture capture;
    ProductSetup product;
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProductInformationKey, L"Local_Path");
    wchar_t path[MAX_PATH] = L"unchanged";
    EXPECT_FALSE(GetQuellguardServerPath(path));
    EXPECT_STREQ(path, L"unchanged");

    product.SetLocalPath(L"C:\\" + std::wstring(256, L'p')); // 259 characters: fits
    ASSERT_TRUE(GetQuellguardServerPath(path));
    EXPECT_EQ(wcslen(path), 259u);
    for (size_t len : {260u, 1000u}) {
        product.SetLocalPath(std::wstring(len, L'q'));
        wcscpy(path, L"unchanged");
        EXPECT_FALSE(GetQuellguardServerPath(path));
        EXPECT_STREQ(path, L"unchanged");
    }
    // The registry call's own error: the value does not fit the buffer.
    EXPECT_TRUE(capture.WaitFor(LOG_LEVEL_ERROR, 53, L"GetQuellguardServerPath - Can't open Quellguard registry, err(234)"))
        << capture.Dump();
}

class ComponentKeyTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_capture.Started()); }
    void Set(const wchar_t* name, const std::wstring& value) { m_product.SetValue(m_id, m_version, name, value); }
    LogCapture m_capture;
    ProductSetup m_product;
    const std::wstring m_id = UniqueName(L"Comp");
    const std::wstring m_version = L"4.5";
    const std::wstring m_language = L"1033";
};

TEST_F(ComponentKeyTest, LibraryPathIsReadFromTheComponentKey)
{
    Set(L"_KIV_PluginDllPathname", L"C:\\Plugins\\comp.dll");
    std::wstring path;
    ASSERT_TRUE(GetProductDllPath(path, m_id, m_version, m_language));
    EXPECT_EQ(path, L"C:\\Plugins\\comp.dll");
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_INFO, 120, L"GetProductDllPath - Registry Path: " + ProductSetup::KeyPath(m_id, m_version)));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 146, L"GetProductDllPath - <<< C:\\Plugins\\comp.dll 1"));
}

TEST_F(ComponentKeyTest, EmptyOrMissingLibraryValueFailsWithoutErrorLine)
{
    std::wstring path = L"before";
    EXPECT_FALSE(GetProductDllPath(path, m_id, m_version, m_language)); // no key
    Set(L"_KIV_PluginDllPathname", L"");
    EXPECT_FALSE(GetProductDllPath(path, m_id, m_version, m_language));
    EXPECT_EQ(path, L"before");
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 146, L"GetProductDllPath - <<< before 0"));
    m_capture.Settle();
    EXPECT_EQ(2u, m_capture.Matching(LOG_LEVEL_DEBUG, 146, L"GetProductDllPath - <<< before 0").size())
        << m_capture.Dump();
    EXPECT_TRUE(m_capture.Matching(LOG_LEVEL_ERROR, -1).empty()) << m_capture.Dump();
}

TEST_F(ComponentKeyTest, StatusTextIsReadAsLeadingDecimal)
{
    const struct {
        const wchar_t* text;
        int expected;
    } cases[] = {{L"5", 5}, {L" 7x", 7}, {L"abc", 0}, {L"-3", -3}, {L"", 0}};
    for (const auto& c : cases) {
        Set(L"Status", c.text);
        int status = 99;
        QueryActionStatus(status, m_id, m_version, m_language);
        EXPECT_EQ(status, c.expected) << testing_support::Narrow(c.text);
    }
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 251, L"QueryActionStatus - <<< 5 0"));
}

TEST_F(ComponentKeyTest, UnreadableStatusLeavesCallersValue)
{
    int status = 42;
    QueryActionStatus(status, m_id, m_version, m_language); // no key: silent
    EXPECT_EQ(status, 42);
    Set(L"_KIV_PluginDllPathname", L"x"); // key exists, Status missing
    QueryActionStatus(status, m_id, m_version, m_language);
    EXPECT_EQ(status, 42);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 245, L"QueryActionStatus - Can't open " + m_id + L" registry, err("));
    Set(L"Status", std::wstring(1000, L'7')); // does not fit: a failed read
    QueryActionStatus(status, m_id, m_version, m_language);
    EXPECT_EQ(status, 42);
}

TEST_F(ComponentKeyTest, FailedReadsLogTheRegistryCallsOwnError)
{
    Set(L"Status", std::wstring(1000, L'7')); // does not fit; no library value at all
    std::wstring path;
    EXPECT_FALSE(GetProductDllPath(path, m_id, m_version, m_language));
    int status = 42;
    QueryActionStatus(status, m_id, m_version, m_language);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 140, L"GetProductDllPath - Can't open " + m_id + L" registry, err(2)"))
        << m_capture.Dump();
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 245, L"QueryActionStatus - Can't open " + m_id + L" registry, err(234)"))
        << m_capture.Dump();
}

TEST_F(ComponentKeyTest, ValuesAtTheirBufferSizeAreReadWhole)
{
    const std::wstring fits = L"C:\\" + std::wstring(252, L'd') + L".dll"; // 259 characters
    Set(L"_KIV_PluginDllPathname", fits);
    std::wstring path;
    ASSERT_TRUE(GetProductDllPath(path, m_id, m_version, m_language));
    EXPECT_EQ(path, fits);
    Set(L"_KIV_PluginDllPathname", fits + L"x"); // 260: no room for the terminator
    path.clear();
    EXPECT_FALSE(GetProductDllPath(path, m_id, m_version, m_language));
    EXPECT_TRUE(path.empty());
}

TEST_F(ComponentKeyTest, OverlongKeyPathIsAFailedLookup)
{
    const std::wstring longId(300, L'L');
    std::wstring path;
    EXPECT_FALSE(GetProductDllPath(path, longId, L"1", L"1"));
    int status = 11;
    QueryActionStatus(status, longId, L"1", L"1");
    EXPECT_EQ(status, 11);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 121, L"Registry path too long"));
}
