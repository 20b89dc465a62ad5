// XML parser on hostile and unusual input: encodings, empty and huge files, deep nesting, entity expansion.
#include "xml_test_fixture.h"

#include <psapi.h>

#include <cstdio>

using QGCE_XML::CXMLElement;
using QGCE_XML::CXMLNode;
using QGCE_XML::CXMLNodeList;
using QGCE_XML::CXMLParser;
using testing_support::Narrow;
using namespace xml_test;

namespace {

SIZE_T PeakWorkingSet()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters))) {
        return 0;
    }
    return counters.PeakWorkingSetSize;
}

class XmlInputTest : public XmlTest {
protected:
    // Parses `bytes` from a file and reports the outcome; `elapsedMs` gets the load time.
    bool ParseFile(const std::string& bytes, DWORD* pElapsedMs = nullptr, long* plCode = nullptr)
    {
        const std::wstring path = WriteFile(L"input.xml", bytes);
        const DWORD start = ::GetTickCount();
        CXMLParser parser(path.c_str());
        const bool bParsed = parser.IsParsed(plCode);
        if (pElapsedMs != nullptr) {
            *pElapsedMs = ::GetTickCount() - start;
        }
        return bParsed;
    }

    // "Component" attribute ID of the first component in a parsed file.
    std::wstring FirstId(const std::wstring& path)
    {
        CXMLParser parser(path.c_str());
        EXPECT_TRUE(parser.IsParsed(nullptr));
        Owned<CXMLNodeList> pList(parser.SelectNodes(L"/QGCE_COMPONENT_ID_LIST/Component"));
        if (!pList) {
            return L"<no list>";
        }
        Owned<CXMLNode> pNode(pList->NextNode());
        return pNode ? pNode->GetAttributeValue(L"ID") : L"<no node>";
    }
};

TEST_F(XmlInputTest, MalformedDocumentsAreNotParsedAndNotLogged)
{
    const char* const kMalformed[] = {
        "<a><b></a>",
        "<a/><b/>",
        "no markup at all",
        "<a attr=unquoted/>",
        "<a>\x01</a>",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\xC3</a>",
        "<a>&undefined;</a>",
        "<QGCE_COMPONENT_ID_LIST><Component ID=\"A\"></QGCE_COMPONENT_ID_LIST>",
    };
    for (const char* pszInput : kMalformed) {
        SCOPED_TRACE(pszInput);
        ExpectNoLog("malformed", [&] {
            long lCode = 0;
            EXPECT_FALSE(ParseFile(pszInput, nullptr, &lCode));
            EXPECT_NE(0, lCode);
        });
    }
}

TEST_F(XmlInputTest, EmptyOrMissingFileIsNotParsed)
{
    ExpectNoLog("empty and missing", [&] {
        EXPECT_FALSE(ParseFile(""));
        EXPECT_FALSE(ParseFile("   \r\n"));
        CXMLParser missing(m_dir.File(L"never-written.xml").c_str());
        EXPECT_FALSE(missing.IsParsed(nullptr));
        CXMLParser folder(m_dir.Path().c_str());
        EXPECT_FALSE(folder.IsParsed(nullptr));
    });
}

TEST_F(XmlInputTest, DocumentsAreReadInTheirDeclaredEncoding)
{
    // "Käse €" as attribute text in every encoding that can hold it.
    const std::wstring expected = L"K\xE4se \x20AC";
    const std::string utf8Body = "<QGCE_COMPONENT_ID_LIST><Component ID=\"K\xC3\xA4se \xE2\x82\xAC\"/></QGCE_COMPONENT_ID_LIST>";
    EXPECT_EQ(expected, FirstId(WriteFile(L"utf8.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + utf8Body)));
    EXPECT_EQ(expected, FirstId(WriteFile(L"utf8-nodecl.xml", utf8Body)));
    EXPECT_EQ(expected, FirstId(WriteFile(L"utf8-bom.xml", "\xEF\xBB\xBF" + utf8Body)));

    const std::wstring wide = L"<?xml version=\"1.0\" encoding=\"UTF-16\"?><QGCE_COMPONENT_ID_LIST><Component ID=\"" +
                              expected + L"\"/></QGCE_COMPONENT_ID_LIST>";
    std::string utf16("\xFF\xFE", 2);
    for (wchar_t c : wide) {
        utf16.push_back(static_cast<char>(c & 0xFF));
        utf16.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    EXPECT_EQ(expected, FirstId(WriteFile(L"utf16.xml", utf16)));

    // ISO-8859-1 has no euro sign; its byte 0xE4 is a-umlaut and 0xA4 the currency sign.
    EXPECT_EQ(L"K\xE4se \xA4",
              FirstId(WriteFile(L"latin1.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
                                               "<QGCE_COMPONENT_ID_LIST><Component ID=\"K\xE4se \xA4\"/>"
                                               "</QGCE_COMPONENT_ID_LIST>")));
}

TEST_F(XmlInputTest, LargeDocumentLoadsInBoundedTime)
{
    std::string big = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<QGCE_COMPONENT_ID_LIST>\n";
    const int kComponents = 130000;
    char line[160];
    for (int i = 0; i < kComponents; ++i) {
        std::snprintf(line, sizeof(line), "  <Component ID=\"KIV_%06d\" Version=\"1.2.3.%d\" Language=\"0409\">x</Component>\n",
                      i, i % 1000);
        big += line;
    }
    big += "</QGCE_COMPONENT_ID_LIST>\n";
    ASSERT_GE(big.size(), 10u * 1000 * 1000);
    const std::wstring path = WriteFile(L"big.xml", big);

    const DWORD start = ::GetTickCount();
    CXMLParser parser(path.c_str());
    ASSERT_TRUE(parser.IsParsed(nullptr));
    const DWORD loadMs = ::GetTickCount() - start;
    Owned<CXMLNodeList> pList(parser.SelectNodes(L"/QGCE_COMPONENT_ID_LIST/Component"));
    ASSERT_NE(nullptr, pList);
    EXPECT_EQ(kComponents, pList->GetLength());
    Owned<CXMLNode> pLast(parser.SelectSingleNode(L"/QGCE_COMPONENT_ID_LIST/Component[last()]"));
    ASSERT_NE(nullptr, pLast);
    EXPECT_EQ(L"KIV_129999", pLast->GetAttributeValue(L"ID"));
    const DWORD totalMs = ::GetTickCount() - start;
    const SIZE_T peakMb = PeakWorkingSet() / (1024 * 1024);
    std::printf("10 MB document: %zu bytes, load %lu ms, load+select %lu ms, peak working set %lu MB\n", big.size(),
                loadMs, totalMs, static_cast<unsigned long>(peakMb));
    RecordProperty("load_ms", static_cast<int>(loadMs));
    RecordProperty("peak_working_set_mb", static_cast<int>(peakMb));
    EXPECT_LT(totalMs, 60000u);
    EXPECT_LT(peakMb, 1024u);
}

TEST_F(XmlInputTest, DeepNestingIsBoundedAndIsParsedTellsTheTruth)
{
    for (int depth : {200, 10000}) {
        SCOPED_TRACE(depth);
        std::string deep;
        for (int i = 0; i < depth; ++i) {
            deep += "<a>";
        }
        deep += "leaf";
        for (int i = 0; i < depth; ++i) {
            deep += "</a>";
        }
        const std::wstring path = WriteFile(L"deep.xml", deep);
        const DWORD start = ::GetTickCount();
        CXMLParser parser(path.c_str());
        const bool bParsed = parser.IsParsed(nullptr);
        const DWORD elapsedMs = ::GetTickCount() - start;
        std::printf("nesting %d: parsed=%d in %lu ms\n", depth, bParsed ? 1 : 0, elapsedMs);
        EXPECT_LT(elapsedMs, 10000u);
        Owned<CXMLElement> pRoot(parser.GetDocumentElement());
        if (bParsed) {
            ASSERT_NE(nullptr, pRoot);
            EXPECT_EQ(L"leaf", pRoot->GetText());
        } else {
            EXPECT_EQ(nullptr, pRoot);
        }
        if (depth == 200) {
            EXPECT_TRUE(bParsed);
        }
    }
}

TEST_F(XmlInputTest, EntityExpansionBombIsRefusedQuickly)
{
    std::string bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n <!ENTITY lol \"lol\">\n";
    for (int level = 1; level <= 9; ++level) {
        std::string refs;
        for (int i = 0; i < 10; ++i) {
            refs += "&lol" + (level == 1 ? std::string() : std::to_string(level - 1)) + ";";
        }
        bomb += " <!ENTITY lol" + std::to_string(level) + " \"" + refs + "\">\n";
    }
    bomb += "]>\n<lolz>&lol9;</lolz>\n";

    DWORD elapsedMs = 0;
    long lCode = 0;
    ExpectNoLog("billion laughs", [&] { EXPECT_FALSE(ParseFile(bomb, &elapsedMs, &lCode)); });
    std::printf("billion laughs: refused in %lu ms, code 0x%08lX, peak working set %lu MB\n", elapsedMs,
                static_cast<unsigned long>(lCode), static_cast<unsigned long>(PeakWorkingSet() / (1024 * 1024)));
    EXPECT_NE(0, lCode);
    EXPECT_LT(elapsedMs, 10000u);
}

TEST_F(XmlInputTest, ExternalEntitiesDoNotPullInLocalFiles)
{
    const std::wstring secret = WriteFile(L"secret.txt", "TOPSECRET");
    std::wstring url = L"file:///" + secret;
    for (wchar_t& c : url) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    const std::string doc = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"" + Narrow(url) +
                            "\">]><r>&x;</r>";
    const std::wstring path = WriteFile(L"external.xml", doc);
    CXMLParser parser(path.c_str());
    const bool bParsed = parser.IsParsed(nullptr);
    std::wstring xml;
    EXPECT_TRUE(parser.GetXML(xml));
    std::printf("external entity: parsed=%d, text=[%s]\n", bParsed ? 1 : 0, Narrow(xml).c_str());
    EXPECT_EQ(std::wstring::npos, xml.find(L"TOPSECRET"));
}

TEST_F(XmlInputTest, RepeatedParsingLeavesNoHandlesBehind)
{
    const std::wstring path =
        WriteFile(L"list.xml", "<QGCE_COMPONENT_ID_LIST><Component ID=\"A\" Version=\"1\"/></QGCE_COMPONENT_ID_LIST>");
    auto lookup = [&] {
        CXMLParser parser(path.c_str());
        ASSERT_TRUE(parser.IsParsed(nullptr));
        Owned<CXMLNodeList> pList(parser.SelectNodes(L"/QGCE_COMPONENT_ID_LIST/Component"));
        ASSERT_NE(nullptr, pList);
        Owned<CXMLNode> pNode(pList->NextNode());
        ASSERT_NE(nullptr, pNode);
        EXPECT_EQ(L"1", pNode->GetAttributeValue(L"Version"));
    };
    lookup();
    const DWORD before = testing_support::ProcessHandleCount();
    ASSERT_GT(before, 0u);
    for (int i = 0; i < 50; ++i) {
        lookup();
    }
    EXPECT_EQ(before, testing_support::ProcessHandleCount());
}

} // namespace
