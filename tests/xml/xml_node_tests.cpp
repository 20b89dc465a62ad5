// XML nodes, elements and lists: navigation, attributes, tree changes and reference ownership on the real DOM.
#include "xml_test_fixture.h"

using QGCE_XML::CXMLElement;
using QGCE_XML::CXMLNode;
using QGCE_XML::CXMLNodeList;
using QGCE_XML::CXMLParser;
using testing_support::Narrow;
using namespace xml_test;

namespace {

const int kNoticeLevel = 5;
const int kOwnElementLine = 287;
const int kSetAttributeLine = 307;

ULONG RefCount(IUnknown* p)
{
    p->AddRef();
    return p->Release();
}

class XmlNodeTest : public XmlTest {
protected:
    void SetUp() override
    {
        XmlTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        m_pParser.reset(new CXMLParser(m_dir.File(L"absent.xml").c_str()));
        ASSERT_EQ(-1, m_pParser->LoadXML(L"<r a='1'><!--c--><x>one</x>text<y b='2'><z/></y><x>two</x></r>"));
        m_pRoot.reset(m_pParser->GetDocumentElement());
        ASSERT_NE(nullptr, m_pRoot);
    }
    void TearDown() override
    {
        m_pRoot.reset();
        m_pParser.reset();
        XmlTest::TearDown();
    }

    std::wstring DocumentXml()
    {
        std::wstring xml;
        EXPECT_TRUE(m_pParser->GetXML(xml));
        return xml;
    }

    Owned<CXMLParser> m_pParser;
    Owned<CXMLElement> m_pRoot;
};

TEST_F(XmlNodeTest, NullWrappersLogEveryOperationOnceAndReturnEmpty)
{
    CXMLNode node(nullptr);
    EXPECT_TRUE(node.IsNull());
    ExpectOneComError("GetNodeName", E_POINTER, [&] { EXPECT_EQ(L"", node.GetNodeName()); });
    ExpectOneComError("GetText", E_POINTER, [&] { EXPECT_EQ(L"", node.GetText()); });
    ExpectOneComError("SetText", E_POINTER, [&] { node.SetText(L"t"); });
    ExpectOneComError("GetParentNode", E_POINTER, [&] { EXPECT_EQ(nullptr, Owned<CXMLNode>(node.GetParentNode())); });
    ExpectOneComError("GetFirstChild", E_POINTER, [&] { EXPECT_EQ(nullptr, Owned<CXMLNode>(node.GetFirstChild())); });
    ExpectOneComError("GetLastChild", E_POINTER, [&] { EXPECT_EQ(nullptr, Owned<CXMLNode>(node.GetLastChild())); });
    ExpectOneComError("GetPreviousSibling", E_POINTER,
                      [&] { EXPECT_EQ(nullptr, Owned<CXMLNode>(node.GetPreviousSibling())); });
    ExpectOneComError("GetNextSibling", E_POINTER, [&] { EXPECT_EQ(nullptr, Owned<CXMLNode>(node.GetNextSibling())); });
    ExpectOneComError("HasChildNodes", E_POINTER, [&] { EXPECT_EQ(0, node.HasChildNodes()); });
    ExpectOneComError("SelectSingleNode", E_POINTER,
                      [&] { EXPECT_EQ(nullptr, Owned<CXMLNode>(node.SelectSingleNode(L"x"))); });
    ExpectOneComError("SelectNodes", E_POINTER, [&] { EXPECT_EQ(nullptr, Owned<CXMLNodeList>(node.SelectNodes(L"x"))); });
    ExpectOneComError("GetNodeType", E_POINTER, [&] { EXPECT_EQ(0, node.GetNodeType()); });
    ExpectOneComError("CloneNode", E_POINTER, [&] { EXPECT_EQ(nullptr, Owned<CXMLNode>(node.CloneNode(true))); });
    ExpectOneComError("GetXML", E_POINTER, [&] {
        std::wstring xml = L"untouched";
        EXPECT_FALSE(node.GetXML(xml));
        EXPECT_EQ(L"untouched", xml);
    });
    ExpectOneComError("AppendChild", E_POINTER, [&] { node.AppendChild(m_pRoot.get()); });
    ExpectOneComError("RemoveChild", E_POINTER,
                      [&] { EXPECT_EQ(nullptr, Owned<CXMLElement>(node.RemoveChild(m_pRoot.get()))); });

    CXMLElement element(nullptr);
    EXPECT_TRUE(element.IsNull());
    ExpectOneComError("element GetAttributeValue", E_POINTER, [&] { EXPECT_EQ(L"", element.GetAttributeValue(L"a")); });
    ExpectOneComError("element SetAttributeValue", E_POINTER, [&] { element.SetAttributeValue(L"a", L"v"); });
    ExpectOneComError("element RemoveAttribute", E_POINTER, [&] { element.RemoveAttribute(L"a"); });
    ExpectOneComError("element GetElementsByTagName", E_POINTER,
                      [&] { EXPECT_EQ(nullptr, Owned<CXMLNodeList>(element.GetElementsByTagName(L"x"))); });
    ExpectOneComError("element SelectNodes", E_POINTER,
                      [&] { EXPECT_EQ(nullptr, Owned<CXMLNodeList>(element.SelectNodes(L"x"))); });
    ExpectOneComError("element SelectSingleNode", E_POINTER,
                      [&] { EXPECT_EQ(nullptr, Owned<CXMLNode>(element.SelectSingleNode(L"x"))); });
    ExpectNoLog("element GetNamespaceURI", [&] {
        std::wstring uri = L"untouched";
        EXPECT_EQ(E_POINTER, element.GetNamespaceURI(uri));
        EXPECT_EQ(L"untouched", uri);
    });

    CXMLNodeList list(nullptr);
    ExpectOneComError("GetLength", E_POINTER, [&] { EXPECT_EQ(0, list.GetLength()); });
    ExpectOneComError("GetItem", E_POINTER, [&] { EXPECT_EQ(nullptr, Owned<CXMLNode>(list.GetItem(0))); });
    ExpectOneComError("NextNode", E_POINTER, [&] { EXPECT_EQ(nullptr, Owned<CXMLNode>(list.NextNode())); });
}

TEST_F(XmlNodeTest, NullChildrenAreRefusedWithOneLogLine)
{
    const std::wstring before = DocumentXml();
    ExpectOneComError("append null element", E_POINTER, [&] { m_pRoot->AppendChild(static_cast<CXMLElement*>(nullptr)); });
    ExpectOneComError("append null node", E_POINTER, [&] { m_pRoot->AppendChild(static_cast<CXMLNode*>(nullptr)); });
    CXMLElement empty(nullptr);
    ExpectOneComError("append empty wrapper", E_POINTER, [&] { m_pRoot->AppendChild(&empty); });
    ExpectOneComError("remove null node", E_POINTER,
                      [&] { EXPECT_EQ(nullptr, Owned<CXMLElement>(m_pRoot->RemoveChild(static_cast<CXMLNode*>(nullptr)))); });
    EXPECT_EQ(before, DocumentXml());
}

TEST_F(XmlNodeTest, NavigationFollowsTheTree)
{
    ExpectNoLog("navigation", [&] {
        EXPECT_EQ(L"r", m_pRoot->GetNodeName());
        EXPECT_EQ(NODE_ELEMENT, m_pRoot->GetNodeType());
        EXPECT_EQ(-1, m_pRoot->HasChildNodes());
        EXPECT_EQ(L"onetexttwo", m_pRoot->GetText());

        Owned<CXMLNode> pFirst(m_pRoot->GetFirstChild());
        ASSERT_NE(nullptr, pFirst);
        EXPECT_EQ(NODE_COMMENT, pFirst->GetNodeType());
        EXPECT_EQ(0, pFirst->HasChildNodes());
        Owned<CXMLNode> pNoPrevious(pFirst->GetPreviousSibling());
        EXPECT_EQ(nullptr, pNoPrevious);

        Owned<CXMLNode> pX(pFirst->GetNextSibling());
        ASSERT_NE(nullptr, pX);
        EXPECT_EQ(L"x", pX->GetNodeName());
        Owned<CXMLNode> pText(pX->GetNextSibling());
        ASSERT_NE(nullptr, pText);
        EXPECT_EQ(NODE_TEXT, pText->GetNodeType());
        EXPECT_EQ(L"text", pText->GetText());
        Owned<CXMLNode> pBack(pText->GetPreviousSibling());
        ASSERT_NE(nullptr, pBack);
        EXPECT_EQ(L"one", pBack->GetText());

        Owned<CXMLNode> pLast(m_pRoot->GetLastChild());
        ASSERT_NE(nullptr, pLast);
        EXPECT_EQ(L"two", pLast->GetText());
        Owned<CXMLNode> pNoNext(pLast->GetNextSibling());
        EXPECT_EQ(nullptr, pNoNext);
        Owned<CXMLNode> pParent(pLast->GetParentNode());
        ASSERT_NE(nullptr, pParent);
        EXPECT_EQ(L"r", pParent->GetNodeName());

        Owned<CXMLNode> pZ(m_pRoot->SelectSingleNode(L"y/z"));
        ASSERT_NE(nullptr, pZ);
        Owned<CXMLNode> pNoChild(pZ->GetFirstChild());
        EXPECT_EQ(nullptr, pNoChild);
        EXPECT_EQ(0, pZ->HasChildNodes());
    });
}

TEST_F(XmlNodeTest, NodeAndElementSelectionAgreeForTheSameContext)
{
    Owned<CXMLNode> pY(m_pParser->SelectSingleNode(L"/r/y"));
    ASSERT_NE(nullptr, pY);
    Owned<CXMLElement> pYElement(pY->GetOwnElement());
    ASSERT_NE(nullptr, pYElement);
    ExpectNoLog("selection", [&] {
        Owned<CXMLNodeList> pFromNode(pY->SelectNodes(L"z | ../x"));
        Owned<CXMLNodeList> pFromElement(pYElement->SelectNodes(L"z | ../x"));
        ASSERT_NE(nullptr, pFromNode);
        ASSERT_NE(nullptr, pFromElement);
        ASSERT_EQ(3, pFromNode->GetLength());
        ASSERT_EQ(3, pFromElement->GetLength());
        for (long i = 0; i < 3; ++i) {
            Owned<CXMLNode> a(pFromNode->GetItem(i));
            Owned<CXMLNode> b(pFromElement->GetItem(i));
            ASSERT_NE(nullptr, a);
            ASSERT_NE(nullptr, b);
            std::wstring xa;
            std::wstring xb;
            EXPECT_TRUE(a->GetXML(xa));
            EXPECT_TRUE(b->GetXML(xb));
            EXPECT_EQ(xa, xb);
        }
        Owned<CXMLNode> pSingle(pYElement->SelectSingleNode(L"z"));
        ASSERT_NE(nullptr, pSingle);
        EXPECT_EQ(L"z", pSingle->GetNodeName());
        Owned<CXMLNode> pNone(pYElement->SelectSingleNode(L"x"));
        EXPECT_EQ(nullptr, pNone);
        Owned<CXMLNodeList> pTags(m_pRoot->GetElementsByTagName(L"x"));
        ASSERT_NE(nullptr, pTags);
        EXPECT_EQ(2, pTags->GetLength());
    });
    ExpectOneComError("invalid XPath on an element", kAnyFailure,
                      [&] { EXPECT_EQ(nullptr, Owned<CXMLNodeList>(pYElement->SelectNodes(L"z[")));});
}

TEST_F(XmlNodeTest, ListIsWalkedOnceAndIndexedWithinBounds)
{
    Owned<CXMLNodeList> pList(m_pParser->SelectNodes(L"/r/*"));
    ASSERT_NE(nullptr, pList);
    ExpectNoLog("list", [&] {
        ASSERT_EQ(3, pList->GetLength());
        std::vector<std::wstring> names;
        for (int i = 0; i < 3; ++i) {
            Owned<CXMLNode> p(pList->NextNode());
            ASSERT_NE(nullptr, p);
            names.push_back(p->GetNodeName());
        }
        EXPECT_EQ((std::vector<std::wstring>{L"x", L"y", L"x"}), names);
        Owned<CXMLNode> pEnd(pList->NextNode());
        EXPECT_EQ(nullptr, pEnd);
        Owned<CXMLNode> pStillEnd(pList->NextNode());
        EXPECT_EQ(nullptr, pStillEnd);

        EXPECT_EQ(3, pList->GetLength());
        Owned<CXMLNode> pBefore(pList->GetItem(-1));
        EXPECT_EQ(nullptr, pBefore);
        Owned<CXMLNode> pPast(pList->GetItem(3));
        EXPECT_EQ(nullptr, pPast);
        Owned<CXMLNode> pFirst(pList->GetItem(0));
        ASSERT_NE(nullptr, pFirst);
        EXPECT_EQ(L"one", pFirst->GetText());
        Owned<CXMLNode> pLast(pList->GetItem(2));
        ASSERT_NE(nullptr, pLast);
        EXPECT_EQ(L"two", pLast->GetText());
    });
    Owned<CXMLNodeList> pEmpty(m_pParser->SelectNodes(L"/r/none"));
    ASSERT_NE(nullptr, pEmpty);
    EXPECT_EQ(0, pEmpty->GetLength());
    EXPECT_EQ(nullptr, Owned<CXMLNode>(pEmpty->GetItem(0)));
    EXPECT_EQ(nullptr, Owned<CXMLNode>(pEmpty->NextNode()));
}

TEST_F(XmlNodeTest, AttributesThroughNonElementsLogTheNoticeOnly)
{
    Owned<CXMLNode> pComment(m_pRoot->GetFirstChild());
    ASSERT_NE(nullptr, pComment);
    Owned<CXMLNode> pText(m_pParser->SelectSingleNode(L"/r/text()"));
    ASSERT_NE(nullptr, pText);
    const std::wstring before = DocumentXml();

    for (CXMLNode* pNode : {pComment.get(), pText.get()}) {
        m_log.Settle(20);
        m_log.Clear();
        EXPECT_EQ(L"", pNode->GetAttributeValue(L"a"));
        Owned<CXMLElement> pOwn(pNode->GetOwnElement());
        EXPECT_EQ(nullptr, pOwn);
        m_log.Settle(50);
        const auto notices = m_log.Matching(kNoticeLevel, kOwnElementLine,
                                            L"QGCE_XML::CXMLNode::GetOwnElement - GetOwnElement -> return nullptr)");
        EXPECT_EQ(2u, notices.size()) << m_log.Dump();
        EXPECT_EQ(2u, m_log.Records().size()) << m_log.Dump();

        m_log.Clear();
        pNode->SetAttributeValue(L"newAttr", L"v");
        m_log.Settle(50);
        EXPECT_EQ(1u, m_log.Matching(kNoticeLevel, kOwnElementLine).size()) << m_log.Dump();
        EXPECT_EQ(1u, m_log.Matching(kNoticeLevel, kSetAttributeLine,
                                     L"QGCE_XML::CXMLNode::SetAttributeValue - SetAttributeValue ptr=nullptr, "
                                     L"strAttrName [newAttr]")
                          .size())
            << m_log.Dump();
        EXPECT_EQ(2u, m_log.Records().size()) << m_log.Dump();
        EXPECT_EQ(std::wstring(kSource), m_log.Records()[0].file);
    }
    EXPECT_EQ(before, DocumentXml());
}

TEST_F(XmlNodeTest, AttributesAreReadWrittenAndRemoved)
{
    Owned<CXMLNode> pY(m_pParser->SelectSingleNode(L"/r/y"));
    ASSERT_NE(nullptr, pY);
    ExpectNoLog("attributes", [&] {
        EXPECT_EQ(L"2", pY->GetAttributeValue(L"b"));
        EXPECT_EQ(L"", pY->GetAttributeValue(L"absent"));
        EXPECT_EQ(L"1", m_pRoot->GetAttributeValue(L"a"));
        EXPECT_EQ(L"", m_pRoot->GetAttributeValue(L"absent"));

        pY->SetAttributeValue(L"b", L"changed");
        pY->SetAttributeValue(L"c", L"");
        m_pRoot->SetAttributeValue(L"d", L"\x20AC \xFC");
        EXPECT_EQ(L"changed", pY->GetAttributeValue(L"b"));
        EXPECT_EQ(L"\x20AC \xFC", m_pRoot->GetAttributeValue(L"d"));

        m_pRoot->RemoveAttribute(L"a");
        m_pRoot->RemoveAttribute(L"never-there");
        EXPECT_EQ(L"", m_pRoot->GetAttributeValue(L"a"));
    });
    Owned<CXMLNode> pCheck(m_pParser->SelectSingleNode(L"/r/y[@b='changed' and @c='']"));
    EXPECT_NE(nullptr, pCheck);
    Owned<CXMLNode> pGone(m_pParser->SelectSingleNode(L"/r[@a]"));
    EXPECT_EQ(nullptr, pGone);
}

TEST_F(XmlNodeTest, ChildrenAreAppendedAndRemoved)
{
    Owned<CXMLElement> pNew(m_pParser->CreateElement(L"n"));
    ASSERT_NE(nullptr, pNew);
    Owned<CXMLNode> pText(m_pParser->CreateNode(NODE_TEXT, L"", L""));
    ASSERT_NE(nullptr, pText);
    pText->SetText(L"tail");
    ExpectNoLog("append", [&] {
        m_pRoot->AppendChild(pNew.get());
        m_pRoot->AppendChild(pText.get());
    });
    EXPECT_NE(std::wstring::npos, Compact(DocumentXml()).find(L"<x>two</x><n/>tail</r>")) << Narrow(DocumentXml());

    ExpectNoLog("remove", [&] {
        Owned<CXMLElement> pRemoved(m_pRoot->RemoveChild(pNew.get()));
        ASSERT_NE(nullptr, pRemoved);
        EXPECT_EQ(L"n", pRemoved->GetNodeName());
        Owned<CXMLNode> pY(m_pParser->SelectSingleNode(L"/r/y"));
        ASSERT_NE(nullptr, pY);
        Owned<CXMLElement> pRemovedY(m_pRoot->RemoveChild(pY.get()));
        ASSERT_NE(nullptr, pRemovedY);
        EXPECT_EQ(L"2", pRemovedY->GetAttributeValue(L"b"));
        Owned<CXMLElement> pRemovedText(m_pRoot->RemoveChild(pText.get()));
        EXPECT_EQ(nullptr, pRemovedText);
    });
    EXPECT_NE(std::wstring::npos, Compact(DocumentXml()).find(L"<r a=\"1\"><!--c--><x>one</x>text<x>two</x></r>"))
        << Narrow(DocumentXml());

    Owned<CXMLNode> pZ(m_pParser->SelectSingleNode(L"//z"));
    EXPECT_EQ(nullptr, pZ);
    ExpectOneComError("remove a node that is not a child", kAnyFailure, [&] {
        Owned<CXMLElement> pOther(m_pParser->CreateElement(L"other"));
        ASSERT_NE(nullptr, pOther);
        EXPECT_EQ(nullptr, Owned<CXMLElement>(m_pRoot->RemoveChild(pOther.get())));
    });
}

TEST_F(XmlNodeTest, CloneIsShallowOrDeep)
{
    Owned<CXMLNode> pY(m_pParser->SelectSingleNode(L"/r/y"));
    ASSERT_NE(nullptr, pY);
    ExpectNoLog("clone", [&] {
        Owned<CXMLNode> pShallow(pY->CloneNode(false));
        ASSERT_NE(nullptr, pShallow);
        std::wstring shallow;
        ASSERT_TRUE(pShallow->GetXML(shallow));
        EXPECT_EQ(L"<y b=\"2\"/>", Compact(shallow));
        EXPECT_EQ(0, pShallow->HasChildNodes());

        Owned<CXMLNode> pDeep(pY->CloneNode(true));
        ASSERT_NE(nullptr, pDeep);
        std::wstring deep;
        ASSERT_TRUE(pDeep->GetXML(deep));
        EXPECT_EQ(L"<y b=\"2\"><z/></y>", Compact(deep));
        Owned<CXMLNode> pNoParent(pDeep->GetParentNode());
        EXPECT_EQ(nullptr, pNoParent);

        pDeep->SetAttributeValue(L"b", L"copy");
        EXPECT_EQ(L"2", pY->GetAttributeValue(L"b"));
    });
}

TEST_F(XmlNodeTest, NamespaceUriIsReturnedWithTheCallResult)
{
    ASSERT_EQ(-1, m_pParser->LoadXML(L"<r xmlns='urn:default'><p:q xmlns:p='urn:p'/></r>"));
    Owned<CXMLElement> pRoot(m_pParser->GetDocumentElement());
    ASSERT_NE(nullptr, pRoot);
    Owned<CXMLNode> pQ(pRoot->GetFirstChild());
    ASSERT_NE(nullptr, pQ);
    Owned<CXMLElement> pQElement(pQ->GetOwnElement());
    ASSERT_NE(nullptr, pQElement);
    ExpectNoLog("namespaces", [&] {
        std::wstring uri;
        EXPECT_TRUE(SUCCEEDED(pRoot->GetNamespaceURI(uri)));
        EXPECT_EQ(L"urn:default", uri);
        EXPECT_TRUE(SUCCEEDED(pQElement->GetNamespaceURI(uri)));
        EXPECT_EQ(L"urn:p", uri);
    });
    ASSERT_EQ(-1, m_pParser->LoadXML(L"<plain/>"));
    Owned<CXMLElement> pPlain(m_pParser->GetDocumentElement());
    ASSERT_NE(nullptr, pPlain);
    std::wstring uri = L"untouched";
    const HRESULT hr = pPlain->GetNamespaceURI(uri);
    EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    EXPECT_EQ(L"", uri);
}

TEST_F(XmlNodeTest, WrappersHoldOneReferenceEachAndReleaseIt)
{
    IXMLDOMDocument* pDoc = NewRawDocument();
    ASSERT_NE(nullptr, pDoc);
    IXMLDOMElement* pRaw = nullptr;
    BSTR name = ::SysAllocString(L"raw");
    ASSERT_EQ(S_OK, pDoc->createElement(name, &pRaw));
    ::SysFreeString(name);
    ASSERT_NE(nullptr, pRaw);
    const ULONG base = RefCount(pRaw);

    {
        CXMLNode node(pRaw);
        EXPECT_EQ(base + 1, RefCount(pRaw));
        EXPECT_FALSE(node.IsNull());
        EXPECT_EQ(L"raw", node.GetNodeName());
    }
    EXPECT_EQ(base, RefCount(pRaw));
    {
        CXMLElement element(pRaw);
        EXPECT_GT(RefCount(pRaw), base);
        Owned<CXMLElement> pOwn(element.GetOwnElement());
        ASSERT_NE(nullptr, pOwn);
        pOwn->SetAttributeValue(L"k", L"v");
        EXPECT_EQ(L"v", element.GetAttributeValue(L"k"));
    }
    EXPECT_EQ(base, RefCount(pRaw));
    pRaw->Release();
    pDoc->Release();
}

} // namespace
