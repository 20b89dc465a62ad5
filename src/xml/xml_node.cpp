// XML DOM nodes, elements and node lists wrapped without exceptions.
#include "xml/xml_node.h"

#include <memory>

#include "log/debug_log.h"
#include "xml/xml_com_error.h"
#include "xml/xml_wrap.h"

namespace QGCE_XML {

using detail::BstrText;
using detail::CatchComErrors;
using detail::CheckHr;
using detail::MakeBstr;
using detail::RaiseComError;
using detail::Use;

namespace detail {

CXMLNode* WrapNode(IXMLDOMNode* p)
{
    return p != nullptr ? new CXMLNode(p) : nullptr;
}

CXMLElement* WrapElement(IXMLDOMElement* p)
{
    return p != nullptr ? new CXMLElement(p) : nullptr;
}

CXMLNodeList* WrapNodeList(IXMLDOMNodeList* p)
{
    return p != nullptr ? new CXMLNodeList(p) : nullptr;
}

CXMLElement* ElementFromNode(IXMLDOMNode* p)
{
    if (p == nullptr) {
        return nullptr;
    }
    UTIL::ComPtr<IXMLDOMElement> pElement;
    const HRESULT hr = p->QueryInterface(IID_IXMLDOMElement, pElement.PutVoid());
    if (hr == E_NOINTERFACE) {
        return nullptr;
    }
    CheckHr(hr, IID_IXMLDOMNode);
    return WrapElement(pElement.Get());
}

} // namespace detail

namespace {

// Runs a DOM call that yields a related node and wraps its result.
template <typename Call>
CXMLNode* RelatedNode(const UTIL::ComPtr<IXMLDOMNode>& pNode, Call call)
{
    return CatchComErrors([&]() -> CXMLNode* {
        UTIL::ComPtr<IXMLDOMNode> pResult;
        CheckHr(call(Use(pNode, IID_IXMLDOMNode), pResult.Put()), IID_IXMLDOMNode);
        return detail::WrapNode(pResult.Get());
    });
}

// Runs a DOM call that yields text.
template <typename Call>
std::wstring NodeText(const UTIL::ComPtr<IXMLDOMNode>& pNode, Call call)
{
    return CatchComErrors([&]() -> std::wstring {
        UTIL::UniqueBstr bstr;
        CheckHr(call(Use(pNode, IID_IXMLDOMNode), bstr.Put()), IID_IXMLDOMNode);
        return BstrText(bstr.Get());
    });
}

// selectSingleNode / selectNodes on any node interface (node or element).
template <typename T>
CXMLNode* SelectSingle(const UTIL::ComPtr<T>& p, const IID& iid, const wchar_t* pwszXPath)
{
    return CatchComErrors([&]() -> CXMLNode* {
        T* pContext = Use(p, iid);
        const UTIL::UniqueBstr xpath = MakeBstr(pwszXPath);
        UTIL::ComPtr<IXMLDOMNode> pResult;
        CheckHr(pContext->selectSingleNode(xpath.Get(), pResult.Put()), iid);
        return detail::WrapNode(pResult.Get());
    });
}

template <typename T>
CXMLNodeList* SelectList(const UTIL::ComPtr<T>& p, const IID& iid, const wchar_t* pwszXPath)
{
    return CatchComErrors([&]() -> CXMLNodeList* {
        T* pContext = Use(p, iid);
        const UTIL::UniqueBstr xpath = MakeBstr(pwszXPath);
        UTIL::ComPtr<IXMLDOMNodeList> pResult;
        CheckHr(pContext->selectNodes(xpath.Get(), pResult.Put()), iid);
        return detail::WrapNodeList(pResult.Get());
    });
}

// appendChild / removeChild of `pChild` under `pParent`.
void Append(const UTIL::ComPtr<IXMLDOMNode>& pParent, IXMLDOMNode* pChild)
{
    CatchComErrors([&] {
        IXMLDOMNode* pTarget = Use(pParent, IID_IXMLDOMNode);
        if (pChild == nullptr) {
            RaiseComError(E_POINTER, IID_IXMLDOMNode);
        }
        UTIL::ComPtr<IXMLDOMNode> pAppended;
        CheckHr(pTarget->appendChild(pChild, pAppended.Put()), IID_IXMLDOMNode);
    });
}

CXMLElement* Remove(const UTIL::ComPtr<IXMLDOMNode>& pParent, IXMLDOMNode* pChild)
{
    return CatchComErrors([&]() -> CXMLElement* {
        IXMLDOMNode* pTarget = Use(pParent, IID_IXMLDOMNode);
        if (pChild == nullptr) {
            RaiseComError(E_POINTER, IID_IXMLDOMNode);
        }
        UTIL::ComPtr<IXMLDOMNode> pRemoved;
        CheckHr(pTarget->removeChild(pChild, pRemoved.Put()), IID_IXMLDOMNode);
        return detail::ElementFromNode(pRemoved.Get());
    });
}

} // namespace

// ---------------------------------------------------------------- CXMLNode

CXMLNode::CXMLNode(IXMLDOMNode* pNode) noexcept : m_pNode(pNode) {}

CXMLNode::~CXMLNode() = default;

std::wstring CXMLNode::GetNodeName()
{
    return NodeText(m_pNode, [](IXMLDOMNode* p, BSTR* pbstr) { return p->get_nodeName(pbstr); });
}

std::wstring CXMLNode::GetText()
{
    return NodeText(m_pNode, [](IXMLDOMNode* p, BSTR* pbstr) { return p->get_text(pbstr); });
}

void CXMLNode::SetText(const wchar_t* pwszText)
{
    CatchComErrors([&] {
        IXMLDOMNode* pNode = Use(m_pNode, IID_IXMLDOMNode);
        const UTIL::UniqueBstr text = MakeBstr(pwszText);
        CheckHr(pNode->put_text(text.Get()), IID_IXMLDOMNode);
    });
}

CXMLNode* CXMLNode::GetParentNode()
{
    return RelatedNode(m_pNode, [](IXMLDOMNode* p, IXMLDOMNode** pp) { return p->get_parentNode(pp); });
}

CXMLNode* CXMLNode::GetFirstChild()
{
    return RelatedNode(m_pNode, [](IXMLDOMNode* p, IXMLDOMNode** pp) { return p->get_firstChild(pp); });
}

CXMLNode* CXMLNode::GetLastChild()
{
    return RelatedNode(m_pNode, [](IXMLDOMNode* p, IXMLDOMNode** pp) { return p->get_lastChild(pp); });
}

CXMLNode* CXMLNode::GetPreviousSibling()
{
    return RelatedNode(m_pNode, [](IXMLDOMNode* p, IXMLDOMNode** pp) { return p->get_previousSibling(pp); });
}

CXMLNode* CXMLNode::GetNextSibling()
{
    return RelatedNode(m_pNode, [](IXMLDOMNode* p, IXMLDOMNode** pp) { return p->get_nextSibling(pp); });
}

int CXMLNode::HasChildNodes()
{
    return CatchComErrors([&]() -> int {
        VARIANT_BOOL bHas = VARIANT_FALSE;
        CheckHr(Use(m_pNode, IID_IXMLDOMNode)->hasChildNodes(&bHas), IID_IXMLDOMNode);
        return bHas;
    });
}

CXMLNode* CXMLNode::SelectSingleNode(const wchar_t* pwszXPath)
{
    return SelectSingle(m_pNode, IID_IXMLDOMNode, pwszXPath);
}

CXMLNodeList* CXMLNode::SelectNodes(const wchar_t* pwszXPath)
{
    return SelectList(m_pNode, IID_IXMLDOMNode, pwszXPath);
}

bool CXMLNode::IsNull()
{
    return !m_pNode;
}

void CXMLNode::AppendChild(CXMLElement* pChild)
{
    Append(m_pNode, pChild != nullptr ? pChild->m_pElement.Get() : nullptr);
}

void CXMLNode::AppendChild(CXMLNode* pChild)
{
    Append(m_pNode, pChild != nullptr ? pChild->m_pNode.Get() : nullptr);
}

CXMLElement* CXMLNode::RemoveChild(CXMLElement* pChild)
{
    return Remove(m_pNode, pChild != nullptr ? pChild->m_pElement.Get() : nullptr);
}

CXMLElement* CXMLNode::RemoveChild(CXMLNode* pChild)
{
    return Remove(m_pNode, pChild != nullptr ? pChild->m_pNode.Get() : nullptr);
}

int CXMLNode::GetNodeType()
{
    return CatchComErrors([&]() -> int {
        DOMNodeType type = NODE_INVALID;
        CheckHr(Use(m_pNode, IID_IXMLDOMNode)->get_nodeType(&type), IID_IXMLDOMNode);
        return static_cast<int>(type);
    });
}

CXMLNode* CXMLNode::CloneNode(bool bDeep)
{
    return RelatedNode(m_pNode, [bDeep](IXMLDOMNode* p, IXMLDOMNode** pp) {
        return p->cloneNode(bDeep ? VARIANT_TRUE : VARIANT_FALSE, pp);
    });
}

bool CXMLNode::GetXML(std::wstring& strXml)
{
    return CatchComErrors([&]() -> bool {
        UTIL::UniqueBstr bstr;
        CheckHr(Use(m_pNode, IID_IXMLDOMNode)->get_xml(bstr.Put()), IID_IXMLDOMNode);
        std::wstring text = BstrText(bstr.Get());
        strXml.swap(text);
        return true;
    });
}

CXMLElement* CXMLNode::GetOwnElement()
{
    CXMLElement* pElement = nullptr;
    if (GetNodeType() == NODE_ELEMENT) {
        pElement = CatchComErrors([&]() -> CXMLElement* { return detail::ElementFromNode(m_pNode.Get()); });
    }
    if (pElement == nullptr) {
        DebugLogW(kXmlNoticeLevel, kXmlLogSource, 287, L"%s - GetOwnElement -> return nullptr)",
                  L"QGCE_XML::CXMLNode::GetOwnElement");
    }
    return pElement;
}

std::wstring CXMLNode::GetAttributeValue(const wchar_t* pwszName)
{
    const std::unique_ptr<CXMLElement> pElement(GetOwnElement());
    if (!pElement) {
        return std::wstring();
    }
    return pElement->GetAttributeValue(pwszName);
}

void CXMLNode::SetAttributeValue(const wchar_t* pwszName, const wchar_t* pwszValue)
{
    const std::unique_ptr<CXMLElement> pElement(GetOwnElement());
    if (!pElement) {
        DebugLogW(kXmlNoticeLevel, kXmlLogSource, 307, L"%s - SetAttributeValue ptr=nullptr, strAttrName [%s]",
                  L"QGCE_XML::CXMLNode::SetAttributeValue", pwszName != nullptr ? pwszName : L"");
        return;
    }
    pElement->SetAttributeValue(pwszName, pwszValue);
}

// ---------------------------------------------------------------- CXMLElement

namespace {

UTIL::ComPtr<IXMLDOMNode> NodeOfElement(IXMLDOMElement* pElement) noexcept
{
    UTIL::ComPtr<IXMLDOMNode> pNode;
    if (pElement != nullptr) {
        pElement->QueryInterface(IID_IXMLDOMNode, pNode.PutVoid());
    }
    return pNode;
}

} // namespace

CXMLElement::CXMLElement(IXMLDOMElement* pElement) noexcept
    : CXMLNode(NodeOfElement(pElement).Get()), m_pElement(pElement)
{
}

// Members go in reverse order: the element reference first, then the node's.
CXMLElement::~CXMLElement() = default;

std::wstring CXMLElement::GetAttributeValue(const wchar_t* pwszName)
{
    return CatchComErrors([&]() -> std::wstring {
        IXMLDOMElement* pElement = Use(m_pElement, IID_IXMLDOMElement);
        const UTIL::UniqueBstr name = MakeBstr(pwszName);
        UTIL::UniqueVariant value;
        CheckHr(pElement->getAttribute(name.Get(), value.Put()), IID_IXMLDOMElement);
        if (value.Type() != VT_BSTR) {
            return std::wstring();
        }
        return BstrText(V_BSTR(&value.Get()));
    });
}

void CXMLElement::SetAttributeValue(const wchar_t* pwszName, const wchar_t* pwszValue)
{
    CatchComErrors([&] {
        IXMLDOMElement* pElement = Use(m_pElement, IID_IXMLDOMElement);
        const UTIL::UniqueBstr name = MakeBstr(pwszName);
        UTIL::UniqueVariant value;
        detail::MakeStringVariant(pwszValue, value);
        CheckHr(pElement->setAttribute(name.Get(), value.Get()), IID_IXMLDOMElement);
    });
}

void CXMLElement::RemoveAttribute(const wchar_t* pwszName)
{
    CatchComErrors([&] {
        IXMLDOMElement* pElement = Use(m_pElement, IID_IXMLDOMElement);
        const UTIL::UniqueBstr name = MakeBstr(pwszName);
        CheckHr(pElement->removeAttribute(name.Get()), IID_IXMLDOMElement);
    });
}

CXMLNodeList* CXMLElement::GetElementsByTagName(const wchar_t* pwszTagName)
{
    return CatchComErrors([&]() -> CXMLNodeList* {
        IXMLDOMElement* pElement = Use(m_pElement, IID_IXMLDOMElement);
        const UTIL::UniqueBstr name = MakeBstr(pwszTagName);
        UTIL::ComPtr<IXMLDOMNodeList> pList;
        CheckHr(pElement->getElementsByTagName(name.Get(), pList.Put()), IID_IXMLDOMElement);
        return detail::WrapNodeList(pList.Get());
    });
}

CXMLNode* CXMLElement::SelectSingleNode(const wchar_t* pwszXPath)
{
    return SelectSingle(m_pElement, IID_IXMLDOMElement, pwszXPath);
}

CXMLNodeList* CXMLElement::SelectNodes(const wchar_t* pwszXPath)
{
    return SelectList(m_pElement, IID_IXMLDOMElement, pwszXPath);
}

HRESULT CXMLElement::GetNamespaceURI(std::wstring& strUri)
{
    if (!m_pElement) {
        return E_POINTER;
    }
    UTIL::UniqueBstr bstr;
    const HRESULT hr = m_pElement->get_namespaceURI(bstr.Put());
    if (SUCCEEDED(hr)) {
        try {
            strUri = BstrText(bstr.Get());
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
    return hr;
}

// ---------------------------------------------------------------- CXMLNodeList

CXMLNodeList::CXMLNodeList(IXMLDOMNodeList* pNodeList) noexcept : m_pNodeList(pNodeList) {}

CXMLNodeList::~CXMLNodeList() = default;

long CXMLNodeList::GetLength()
{
    return CatchComErrors([&]() -> long {
        long lLength = 0;
        CheckHr(Use(m_pNodeList, IID_IXMLDOMNodeList)->get_length(&lLength), IID_IXMLDOMNodeList);
        return lLength;
    });
}

CXMLNode* CXMLNodeList::GetItem(long lIndex)
{
    return CatchComErrors([&]() -> CXMLNode* {
        UTIL::ComPtr<IXMLDOMNode> pItem;
        CheckHr(Use(m_pNodeList, IID_IXMLDOMNodeList)->get_item(lIndex, pItem.Put()), IID_IXMLDOMNodeList);
        return detail::WrapNode(pItem.Get());
    });
}

CXMLNode* CXMLNodeList::NextNode()
{
    return CatchComErrors([&]() -> CXMLNode* {
        UTIL::ComPtr<IXMLDOMNode> pNext;
        CheckHr(Use(m_pNodeList, IID_IXMLDOMNodeList)->nextNode(pNext.Put()), IID_IXMLDOMNodeList);
        return detail::WrapNode(pNext.Get());
    });
}

} // namespace QGCE_XML
