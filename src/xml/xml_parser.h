// XML document over the platform's MSXML 6.0 DOM, used without exceptions.
//
// COM must be initialised on the calling thread before a parser is made, and
// every object of this wrapper must be gone before COM is released. Each
// operation catches its own COM errors: a failure is logged once (level 8)
// and the operation returns its empty value (null, empty text, 0 or false).
// Nodes, elements and lists it returns belong to the caller and stay usable
// after the parser is deleted.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <string>

#include "xml/com_owners.h"
#include "xml/xml_node.h"

namespace QGCE_XML {

class CXMLParser {
public:
    // Creates a DOMDocument60 and loads the file. Always constructs: a
    // document that cannot be created leaves IsNull() true (and the failed
    // load is logged); a file that does not load or parse shows in IsParsed().
    explicit CXMLParser(const wchar_t* pwszPath);
    virtual ~CXMLParser();

    CXMLParser(const CXMLParser&) = delete;
    CXMLParser& operator=(const CXMLParser&) = delete;

    // True when the document object could not be created.
    virtual bool IsNull();
    // Enables the document() function and XSLT script for this document, then
    // loads the file. -1 when loaded, 0 when not or on failure.
    virtual int Load(const wchar_t* pwszPath);
    // -1 when the text loaded, 0 when not or on failure.
    virtual int LoadXML(const wchar_t* pwszXml);
    // False on failure.
    virtual bool Save(const wchar_t* pwszPath);
    // The serialised document; false (output unchanged) on failure.
    virtual bool GetXML(std::wstring& strXml);
    // True when the last load parsed without error. When `plErrorCode` is not
    // null the parse error code (0 when none) is stored there, except on failure.
    virtual bool IsParsed(long* plErrorCode);
    // Null when there is no document element or on failure.
    virtual CXMLElement* GetDocumentElement();
    // Null on failure.
    virtual CXMLNodeList* GetElementsByTagName(const wchar_t* pwszTagName);
    // XPath with the document element as context; null when nothing matches,
    // when nothing is loaded or on failure.
    virtual CXMLNode* SelectSingleNode(const wchar_t* pwszXPath);
    // XPath with the document element as context; an empty list when nothing
    // matches, null when nothing is loaded or on failure (invalid expression).
    virtual CXMLNodeList* SelectNodes(const wchar_t* pwszXPath);
    // A new node of a DOM node type (1 element, 3 text, ...) owned by this
    // document but not yet in its tree; null on failure.
    virtual CXMLNode* CreateNode(int nType, const wchar_t* pwszName, const wchar_t* pwszNamespaceURI);
    virtual CXMLElement* CreateElement(const wchar_t* pwszTagName);
    // Transforms this document with an XSLT stylesheet given as text. True
    // with the output assigned on success; false when the stylesheet does not
    // parse (not logged) or on failure.
    virtual bool TransformWithText(const wchar_t* pwszStylesheet, std::wstring& strOutput);
    // Transforms this document with the document element of another parser.
    // True with the output assigned on success; false when that parser has no
    // document element or on failure.
    virtual bool TransformWithParser(CXMLParser* pStylesheet, std::wstring& strOutput);

protected:
    // Builds the document from another class (the public constructor passes
    // CLSID_DOMDocument60); lets tests stand for a missing parser component.
    CXMLParser(const CLSID& clsidDocument, const wchar_t* pwszPath);

private:
    UTIL::ComPtr<IXMLDOMDocument2> m_pXMLDoc;
};

} // namespace QGCE_XML
