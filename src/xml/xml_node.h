// XML DOM nodes, elements and node lists wrapped without exceptions.
//
// Each wrapper owns one reference on its DOM object and stays usable after the
// parser that produced it is gone (not after COM is uninitialised). Every
// operation that calls the DOM catches its own COM errors: a failure is logged
// once and the operation returns its empty value (null, empty text, 0, false
// or no effect). Wrappers returned by an operation belong to the caller, who
// deletes them through the virtual destructor.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <string>

#include "xml/com_owners.h"

namespace QGCE_XML {

class CXMLElement;
class CXMLNodeList;
class CXMLParser;

class CXMLNode {
public:
    // Takes a reference of its own on `pNode` (which may be null).
    explicit CXMLNode(IXMLDOMNode* pNode) noexcept;
    virtual ~CXMLNode();

    CXMLNode(const CXMLNode&) = delete;
    CXMLNode& operator=(const CXMLNode&) = delete;

    // Empty on failure.
    virtual std::wstring GetNodeName();
    // Text of the node and its descendants; empty on failure.
    virtual std::wstring GetText();
    // No effect on failure.
    virtual void SetText(const wchar_t* pwszText);
    // The related node, or null when there is none or on failure.
    virtual CXMLNode* GetParentNode();
    virtual CXMLNode* GetFirstChild();
    virtual CXMLNode* GetLastChild();
    virtual CXMLNode* GetPreviousSibling();
    virtual CXMLNode* GetNextSibling();
    // -1 when the node has children, 0 when not or on failure.
    virtual int HasChildNodes();
    // XPath with this node as context; null when nothing matches or on failure.
    virtual CXMLNode* SelectSingleNode(const wchar_t* pwszXPath);
    // XPath with this node as context; an empty list when nothing matches,
    // null on failure (an invalid expression among them).
    virtual CXMLNodeList* SelectNodes(const wchar_t* pwszXPath);
    // True when there is no DOM node behind the wrapper.
    virtual bool IsNull();
    // Appends the child's DOM object (the wrapper stays the caller's); no effect on failure.
    virtual void AppendChild(CXMLElement* pChild);
    virtual void AppendChild(CXMLNode* pChild);
    // Removes the child; returns the removed child as an element, or null when
    // it is not an element or on failure.
    virtual CXMLElement* RemoveChild(CXMLElement* pChild);
    virtual CXMLElement* RemoveChild(CXMLNode* pChild);
    // DOM node type (1 element, 2 attribute, 3 text, ...); 0 on failure.
    virtual int GetNodeType();
    // Copy of the node, with all descendants when `bDeep`; null on failure.
    virtual CXMLNode* CloneNode(bool bDeep);
    // The node serialised as XML; false (output unchanged) on failure.
    virtual bool GetXML(std::wstring& strXml);
    // This node as an element, or null (logged) when it is not an element.
    virtual CXMLElement* GetOwnElement();
    // Attribute text; empty when absent, when this is not an element or on failure.
    virtual std::wstring GetAttributeValue(const wchar_t* pwszName);
    // Creates or replaces the attribute; no effect when this is not an element or on failure.
    virtual void SetAttributeValue(const wchar_t* pwszName, const wchar_t* pwszValue);

protected:
    UTIL::ComPtr<IXMLDOMNode> m_pNode;
};

class CXMLElement : public CXMLNode {
public:
    // Takes a reference of its own on `pElement` (which may be null) and on
    // the same object's IXMLDOMNode.
    explicit CXMLElement(IXMLDOMElement* pElement) noexcept;
    ~CXMLElement() override;

    std::wstring GetAttributeValue(const wchar_t* pwszName) override;
    void SetAttributeValue(const wchar_t* pwszName, const wchar_t* pwszValue) override;
    // No effect when absent or on failure.
    virtual void RemoveAttribute(const wchar_t* pwszName);
    // Descendant elements of that name; null on failure.
    virtual CXMLNodeList* GetElementsByTagName(const wchar_t* pwszTagName);
    // XPath with the element as context; the same results as the node's.
    CXMLNode* SelectSingleNode(const wchar_t* pwszXPath) override;
    CXMLNodeList* SelectNodes(const wchar_t* pwszXPath) override;
    // Namespace URI of the element. Returns the HRESULT of the DOM call (not
    // logged); the output is assigned only on success. E_POINTER when the
    // wrapper holds no element.
    virtual HRESULT GetNamespaceURI(std::wstring& strUri);

private:
    friend class CXMLNode;
    friend class CXMLParser;

    UTIL::ComPtr<IXMLDOMElement> m_pElement;
};

class CXMLNodeList {
public:
    // Takes a reference of its own on `pNodeList` (which may be null).
    explicit CXMLNodeList(IXMLDOMNodeList* pNodeList) noexcept;
    virtual ~CXMLNodeList();

    CXMLNodeList(const CXMLNodeList&) = delete;
    CXMLNodeList& operator=(const CXMLNodeList&) = delete;

    // Number of entries; 0 on failure.
    virtual long GetLength();
    // Entry at a zero-based index; null when out of range or on failure.
    virtual CXMLNode* GetItem(long lIndex);
    // Advances the list's own iterator: the first call gives the first entry;
    // null at the end or on failure. GetItem may move the same iterator (the
    // DOM's own behaviour), so walk a list with NextNode alone.
    virtual CXMLNode* NextNode();

private:
    UTIL::ComPtr<IXMLDOMNodeList> m_pNodeList;
};

} // namespace QGCE_XML
