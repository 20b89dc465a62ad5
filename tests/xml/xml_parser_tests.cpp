// XML parser: loading, parse state, XPath selection, creation, saving and transforms on the real DOM.
#include "xml_test_fixture.h"

#include "xml/xml_com_error.h"

using QGCE_XML::CXMLElement;
using QGCE_XML::CXMLNode;
using QGCE_XML::CXMLNodeList;
using QGCE_XML::CXMLParser;
using testing_support::Narrow;
using namespace xml_test;

namespace {

const char kComponentList[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<QGCE_COMPONENT_ID_LIST>\r\n"
    "  <Component ID=\"KIV_A\" Version=\"1.0.0.1\" Language=\"0409\"/>\r\n"
    "  <Other><Component ID=\"NESTED\" Version=\"9\" Language=\"9\"/></Other>\r\n"
    "  <Component ID=\"KIV_B\" Version=\"2.5\" Language=\"0411\"/>\r\n"
    "  <!-- retired components follow -->\r\n"
    "  <Component ID=\"KIV_C\" Language=\"0804\"/>\r\n"
    "</QGCE_COMPONENT_ID_LIST>\r\n";

const wchar_t kStylesheet[] =
    L"<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
    L"<xsl:output method='text'/>"
    L"<xsl:template match='/'><xsl:for-each select='r/i'><xsl:value-of select='.'/>;</xsl:for-each></xsl:template>"
    L"</xsl:stylesheet>";

class XmlParserTest : public XmlTest {
protected:
    // Walks a list with NextNode the way the component lookup does.
    static std::vector<std::wstring> WalkIds(CXMLNodeList* pList)
    {
        std::vector<std::wstring> ids;
        for (Owned<CXMLNode> pNode(pList->NextNode()); pNode; pNode.reset(pList->NextNode())) {
            ids.push_back(pNode->GetAttributeValue(L"ID"));
        }
        return ids;
    }
};

TEST_F(XmlParserTest, MissingFileConstructsSilentlyAndIsNotParsed)
{
    ExpectNoLog("missing file", [&] {
        CXMLParser parser(m_dir.File(L"absent.xml").c_str());
        EXPECT_FALSE(parser.IsNull());
        long lCode = 0x5a5a5a5a;
        EXPECT_FALSE(parser.IsParsed(nullptr));
        EXPECT_FALSE(parser.IsParsed(&lCode));
        EXPECT_NE(0, lCode);
        EXPECT_NE(0x5a5a5a5a, lCode);
        Owned<CXMLElement> pRoot(parser.GetDocumentElement());
        EXPECT_EQ(nullptr, pRoot);
    });
}

TEST_F(XmlParserTest, MalformedTextIsNotParsedAndStoresTheParseErrorCode)
{
    CXMLParser parser(m_dir.File(L"absent.xml").c_str());
    ExpectNoLog("malformed text", [&] {
        EXPECT_EQ(0, parser.LoadXML(L"<a><b></a>"));
        long lCode = 0;
        EXPECT_FALSE(parser.IsParsed(&lCode));
        EXPECT_NE(0, lCode);
    });
    EXPECT_EQ(-1, parser.LoadXML(L"<a/>"));
    long lCode = 0x5a5a5a5a;
    EXPECT_TRUE(parser.IsParsed(&lCode));
    EXPECT_EQ(0, lCode);
}

TEST_F(XmlParserTest, NothingLoadedMakesSelectionLogPointerErrorAndReturnNull)
{
    CXMLParser parser(m_dir.File(L"absent.xml").c_str());
    ExpectOneComError("SelectNodes", E_POINTER, [&] {
        Owned<CXMLNodeList> pList(parser.SelectNodes(L"/QGCE_COMPONENT_ID_LIST/Component"));
        EXPECT_EQ(nullptr, pList);
    });
    ExpectOneComError("SelectSingleNode", E_POINTER, [&] {
        Owned<CXMLNode> pNode(parser.SelectSingleNode(L"/QGCE_COMPONENT_ID_LIST/Component"));
        EXPECT_EQ(nullptr, pNode);
    });
}

TEST_F(XmlParserTest, UncreatableDocumentMakesEveryOperationLogOnceAndReturnEmpty)
{
    const std::wstring path = WriteFile(L"list.xml", kComponentList);
    Owned<CUncreatableParser> pParser;
    ExpectOneComError("constructor", E_POINTER, [&] { pParser.reset(new CUncreatableParser(path.c_str())); });
    const std::wstring expected = std::wstring(L"[][xml_tests.exe]CXMLParser::LoadXML() catching exception ==>error(") +
                                  QGCE_XML::detail::CComErrorText(E_POINTER).Text() + L")(-2147467261)";
    ASSERT_EQ(1u, m_log.Records().size());
    EXPECT_EQ(expected, m_log.Records()[0].text);
    CXMLParser& parser = *pParser;
    EXPECT_TRUE(parser.IsNull());

    ExpectOneComError("Load", E_POINTER, [&] { EXPECT_EQ(0, parser.Load(path.c_str())); });
    ExpectOneComError("LoadXML", E_POINTER, [&] { EXPECT_EQ(0, parser.LoadXML(L"<a/>")); });
    ExpectOneComError("Save", E_POINTER, [&] { EXPECT_FALSE(parser.Save(m_dir.File(L"out.xml").c_str())); });
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(m_dir.File(L"out.xml").c_str()));
    ExpectOneComError("GetXML", E_POINTER, [&] {
        std::wstring xml = L"untouched";
        EXPECT_FALSE(parser.GetXML(xml));
        EXPECT_EQ(L"untouched", xml);
    });
    ExpectOneComError("IsParsed", E_POINTER, [&] { EXPECT_FALSE(parser.IsParsed(nullptr)); });
    ExpectOneComError("IsParsed with code", E_POINTER, [&] {
        long lCode = 0x5a5a5a5a;
        EXPECT_FALSE(parser.IsParsed(&lCode));
        EXPECT_EQ(0x5a5a5a5a, lCode);
    });
    ExpectOneComError("GetDocumentElement", E_POINTER, [&] {
        Owned<CXMLElement> p(parser.GetDocumentElement());
        EXPECT_EQ(nullptr, p);
    });
    ExpectOneComError("GetElementsByTagName", E_POINTER, [&] {
        Owned<CXMLNodeList> p(parser.GetElementsByTagName(L"Component"));
        EXPECT_EQ(nullptr, p);
    });
    ExpectOneComError("SelectSingleNode", E_POINTER, [&] {
        Owned<CXMLNode> p(parser.SelectSingleNode(L"/QGCE_COMPONENT_ID_LIST/Component"));
        EXPECT_EQ(nullptr, p);
    });
    ExpectOneComError("SelectNodes", E_POINTER, [&] {
        Owned<CXMLNodeList> p(parser.SelectNodes(L"/QGCE_COMPONENT_ID_LIST/Component"));
        EXPECT_EQ(nullptr, p);
    });
    ExpectOneComError("CreateNode", E_POINTER, [&] {
        Owned<CXMLNode> p(parser.CreateNode(NODE_ELEMENT, L"x", L""));
        EXPECT_EQ(nullptr, p);
    });
    ExpectOneComError("CreateElement", E_POINTER, [&] {
        Owned<CXMLElement> p(parser.CreateElement(L"x"));
        EXPECT_EQ(nullptr, p);
    });
    ExpectOneComError("TransformWithText", E_POINTER, [&] {
        std::wstring out = L"untouched";
        EXPECT_FALSE(parser.TransformWithText(kStylesheet, out));
        EXPECT_EQ(L"untouched", out);
    });
    CXMLParser stylesheet(m_dir.File(L"absent.xml").c_str());
    ASSERT_EQ(-1, stylesheet.LoadXML(kStylesheet));
    ExpectOneComError("TransformWithParser", E_POINTER, [&] {
        std::wstring out = L"untouched";
        EXPECT_FALSE(parser.TransformWithParser(&stylesheet, out));
        EXPECT_EQ(L"untouched", out);
    });
    ExpectOneComError("as stylesheet", E_POINTER, [&] {
        std::wstring out = L"untouched";
        EXPECT_FALSE(stylesheet.TransformWithParser(&parser, out));
        EXPECT_EQ(L"untouched", out);
    });
    ExpectNoLog("destructor", [&] { pParser.reset(); });
}

TEST_F(XmlParserTest, ComErrorTextFallsBackWhenTheSystemHasNoMessage)
{
    using QGCE_XML::detail::CComErrorText;
    EXPECT_STREQ(L"IDispatch error #64769", CComErrorText(static_cast<HRESULT>(0x8004FF01)).Text());
    EXPECT_STREQ(L"IDispatch error #65023", CComErrorText(static_cast<HRESULT>(0x8004FFFF)).Text());
    EXPECT_STREQ(L"Unknown error 0xA00F1234", CComErrorText(static_cast<HRESULT>(0xA00F1234)).Text());
    // Known codes read as the system's text, without its line break.
    const std::wstring text = CComErrorText(E_OUTOFMEMORY).Text();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(std::wstring::npos, text.find_first_of(L"\r\n")) << Narrow(text);
    EXPECT_NE(0u, text.find(L"Unknown error")) << Narrow(text);
}

TEST_F(XmlParserTest, ComponentListIsWalkedInDocumentOrderWithoutLogLines)
{
    const std::wstring path = WriteFile(L"QGCE_KIV_COMP_LIST.xml", kComponentList);
    ExpectNoLog("component walk", [&] {
        CXMLParser parser(path.c_str());
        ASSERT_TRUE(parser.IsParsed(nullptr));
        Owned<CXMLNodeList> pList(parser.SelectNodes(L"/QGCE_COMPONENT_ID_LIST/Component"));
        ASSERT_NE(nullptr, pList);
        EXPECT_EQ(3, pList->GetLength());
        Owned<CXMLNode> pFirst(pList->NextNode());
        ASSERT_NE(nullptr, pFirst);
        EXPECT_EQ(L"KIV_A", pFirst->GetAttributeValue(L"ID"));
        EXPECT_EQ(L"1.0.0.1", pFirst->GetAttributeValue(L"Version"));
        EXPECT_EQ(L"0409", pFirst->GetAttributeValue(L"Language"));
        Owned<CXMLNode> pSecond(pList->NextNode());
        ASSERT_NE(nullptr, pSecond);
        EXPECT_EQ(L"KIV_B", pSecond->GetAttributeValue(L"ID"));
        Owned<CXMLNode> pThird(pList->NextNode());
        ASSERT_NE(nullptr, pThird);
        EXPECT_EQ(L"KIV_C", pThird->GetAttributeValue(L"ID"));
        EXPECT_EQ(L"", pThird->GetAttributeValue(L"Version"));
        Owned<CXMLNode> pEnd(pList->NextNode());
        EXPECT_EQ(nullptr, pEnd);
        Owned<CXMLNode> pStillEnd(pList->NextNode());
        EXPECT_EQ(nullptr, pStillEnd);
    });
}

TEST_F(XmlParserTest, SelectionUsesTheDocumentElementAsContext)
{
    const std::wstring path = WriteFile(L"list.xml", kComponentList);
    CXMLParser parser(path.c_str());
    ASSERT_TRUE(parser.IsParsed(nullptr));
    Owned<CXMLNodeList> pRelative(parser.SelectNodes(L"Component"));
    ASSERT_NE(nullptr, pRelative);
    EXPECT_EQ((std::vector<std::wstring>{L"KIV_A", L"KIV_B", L"KIV_C"}), WalkIds(pRelative.get()));
    Owned<CXMLNodeList> pAnywhere(parser.SelectNodes(L"//Component"));
    ASSERT_NE(nullptr, pAnywhere);
    EXPECT_EQ((std::vector<std::wstring>{L"KIV_A", L"NESTED", L"KIV_B", L"KIV_C"}), WalkIds(pAnywhere.get()));
    Owned<CXMLNode> pSingle(parser.SelectSingleNode(L"/QGCE_COMPONENT_ID_LIST/Component[@ID='KIV_B']"));
    ASSERT_NE(nullptr, pSingle);
    EXPECT_EQ(L"0411", pSingle->GetAttributeValue(L"Language"));
    Owned<CXMLNodeList> pByTag(parser.GetElementsByTagName(L"Component"));
    ASSERT_NE(nullptr, pByTag);
    EXPECT_EQ(4, pByTag->GetLength());
}

TEST_F(XmlParserTest, SelectionWithoutMatchGivesEmptyListOrNullWithoutLogLine)
{
    const std::wstring path = WriteFile(L"other.xml", "<OTHER_ROOT><Component ID='X'/></OTHER_ROOT>");
    CXMLParser parser(path.c_str());
    ASSERT_TRUE(parser.IsParsed(nullptr));
    ExpectNoLog("no match", [&] {
        Owned<CXMLNodeList> pList(parser.SelectNodes(L"/QGCE_COMPONENT_ID_LIST/Component"));
        ASSERT_NE(nullptr, pList);
        EXPECT_EQ(0, pList->GetLength());
        Owned<CXMLNode> pNode(pList->NextNode());
        EXPECT_EQ(nullptr, pNode);
        Owned<CXMLNode> pSingle(parser.SelectSingleNode(L"/QGCE_COMPONENT_ID_LIST/Component"));
        EXPECT_EQ(nullptr, pSingle);
    });
}

TEST_F(XmlParserTest, InvalidXPathLogsOnceAndReturnsNull)
{
    CXMLParser parser(m_dir.File(L"absent.xml").c_str());
    ASSERT_EQ(-1, parser.LoadXML(L"<r><i/></r>"));
    ExpectOneComError("SelectNodes", kAnyFailure, [&] {
        Owned<CXMLNodeList> pList(parser.SelectNodes(L"/r/[i"));
        EXPECT_EQ(nullptr, pList);
    });
    ExpectOneComError("SelectSingleNode", kAnyFailure, [&] {
        Owned<CXMLNode> pNode(parser.SelectSingleNode(L"///"));
        EXPECT_EQ(nullptr, pNode);
    });
    ExpectOneComError("null XPath", kAnyFailure, [&] {
        Owned<CXMLNodeList> pList(parser.SelectNodes(nullptr));
        EXPECT_EQ(nullptr, pList);
    });
    const auto line = m_log.Records();
    ASSERT_EQ(1u, line.size());
    EXPECT_EQ(0u, line[0].text.find(L"[][xml_tests.exe]CXMLParser::LoadXML() catching exception ==>error("))
        << Narrow(line[0].text);
}

TEST_F(XmlParserTest, LoadEnablesStylesheetPropertiesAndReportsTheOutcome)
{
    const std::wstring good = WriteFile(L"good.xml", "<r><i>1</i></r>");
    const std::wstring bad = WriteFile(L"bad.xml", "<r><i>1</r>");
    CXMLParser parser(m_dir.File(L"absent.xml").c_str());
    ExpectNoLog("Load", [&] {
        EXPECT_EQ(-1, parser.Load(good.c_str()));
        EXPECT_TRUE(parser.IsParsed(nullptr));
        EXPECT_EQ(0, parser.Load(bad.c_str()));
        EXPECT_FALSE(parser.IsParsed(nullptr));
        EXPECT_EQ(0, parser.Load(m_dir.File(L"absent.xml").c_str()));
        EXPECT_FALSE(parser.IsParsed(nullptr));
    });
}

TEST_F(XmlParserTest, CreatedNodesJoinTheTreeAndSaveRoundTrips)
{
    CXMLParser parser(m_dir.File(L"absent.xml").c_str());
    ASSERT_EQ(-1, parser.LoadXML(L"<r/>"));
    Owned<CXMLElement> pRoot(parser.GetDocumentElement());
    ASSERT_NE(nullptr, pRoot);

    Owned<CXMLNode> pItem(parser.CreateNode(NODE_ELEMENT, L"item", L""));
    ASSERT_NE(nullptr, pItem);
    EXPECT_EQ(NODE_ELEMENT, pItem->GetNodeType());
    pItem->SetAttributeValue(L"k", L"v&<\"");
    Owned<CXMLNode> pText(parser.CreateNode(NODE_TEXT, L"", L""));
    ASSERT_NE(nullptr, pText);
    pText->SetText(L"hello");
    pItem->AppendChild(pText.get());
    pRoot->AppendChild(pItem.get());
    Owned<CXMLElement> pElement(parser.CreateElement(L"el"));
    ASSERT_NE(nullptr, pElement);
    pRoot->AppendChild(pElement.get());
    Owned<CXMLNode> pNs(parser.CreateNode(NODE_ELEMENT, L"p:ns", L"urn:kiv"));
    ASSERT_NE(nullptr, pNs);
    pRoot->AppendChild(pNs.get());

    std::wstring xml;
    ASSERT_TRUE(parser.GetXML(xml));
    EXPECT_NE(std::wstring::npos,
              Compact(xml).find(L"<r><item k=\"v&amp;&lt;&quot;\">hello</item><el/><p:ns xmlns:p=\"urn:kiv\"/></r>"))
        << Narrow(xml);

    const std::wstring saved = m_dir.File(L"saved.xml");
    ASSERT_TRUE(parser.Save(saved.c_str()));
    CXMLParser reread(saved.c_str());
    ASSERT_TRUE(reread.IsParsed(nullptr));
    Owned<CXMLNode> pBack(reread.SelectSingleNode(L"/r/item"));
    ASSERT_NE(nullptr, pBack);
    EXPECT_EQ(L"v&<\"", pBack->GetAttributeValue(L"k"));
    EXPECT_EQ(L"hello", pBack->GetText());
    std::wstring xmlBack;
    ASSERT_TRUE(reread.GetXML(xmlBack));
    EXPECT_NE(std::wstring::npos, Compact(xmlBack).find(L"<item k=\"v&amp;&lt;&quot;\">hello</item>")) << Narrow(xmlBack);

    ExpectOneComError("Save into a missing folder", kAnyFailure, [&] {
        EXPECT_FALSE(parser.Save(m_dir.File(L"no\\such\\folder\\x.xml").c_str()));
    });
    ExpectOneComError("CreateNode of an unknown type", kAnyFailure, [&] {
        Owned<CXMLNode> p(parser.CreateNode(99, L"x", L""));
        EXPECT_EQ(nullptr, p);
    });
}

TEST_F(XmlParserTest, TransformsWithStylesheetTextOrParser)
{
    CXMLParser parser(m_dir.File(L"absent.xml").c_str());
    ASSERT_EQ(-1, parser.LoadXML(L"<r><i>1</i><i>2</i><i>3</i></r>"));

    ExpectNoLog("transforms", [&] {
        std::wstring out;
        EXPECT_TRUE(parser.TransformWithText(kStylesheet, out));
        EXPECT_EQ(L"1;2;3;", out);

        std::wstring untouched = L"untouched";
        EXPECT_FALSE(parser.TransformWithText(L"<xsl:stylesheet", untouched));
        EXPECT_EQ(L"untouched", untouched);

        CXMLParser stylesheet(m_dir.File(L"absent.xml").c_str());
        ASSERT_EQ(-1, stylesheet.LoadXML(kStylesheet));
        std::wstring viaParser;
        EXPECT_TRUE(parser.TransformWithParser(&stylesheet, viaParser));
        EXPECT_EQ(L"1;2;3;", viaParser);

        CXMLParser empty(m_dir.File(L"absent.xml").c_str());
        EXPECT_FALSE(parser.TransformWithParser(&empty, untouched));
        EXPECT_EQ(L"untouched", untouched);
    });
    ExpectOneComError("null stylesheet parser", E_POINTER, [&] {
        std::wstring out = L"untouched";
        EXPECT_FALSE(parser.TransformWithParser(nullptr, out));
        EXPECT_EQ(L"untouched", out);
    });
}

TEST_F(XmlParserTest, NodesOutliveTheirParser)
{
    Owned<CXMLParser> pParser(new CXMLParser(m_dir.File(L"absent.xml").c_str()));
    ASSERT_EQ(-1, pParser->LoadXML(L"<r><i n='1'>a</i><i n='2'>b</i></r>"));
    Owned<CXMLNodeList> pList(pParser->SelectNodes(L"/r/i"));
    Owned<CXMLElement> pRoot(pParser->GetDocumentElement());
    Owned<CXMLNode> pFirst(pParser->SelectSingleNode(L"/r/i"));
    ASSERT_NE(nullptr, pList);
    ASSERT_NE(nullptr, pRoot);
    ASSERT_NE(nullptr, pFirst);
    pParser.reset();

    ExpectNoLog("after the parser", [&] {
        EXPECT_EQ(2, pList->GetLength());
        Owned<CXMLNode> pSecond(pList->GetItem(1));
        ASSERT_NE(nullptr, pSecond);
        EXPECT_EQ(L"2", pSecond->GetAttributeValue(L"n"));
        EXPECT_EQ(L"ab", pRoot->GetText());
        pFirst->SetText(L"changed");
        EXPECT_EQ(L"changedb", pRoot->GetText());
        Owned<CXMLNode> pParent(pFirst->GetParentNode());
        ASSERT_NE(nullptr, pParent);
        EXPECT_EQ(L"r", pParent->GetNodeName());
    });
}

} // namespace
