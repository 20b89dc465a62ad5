// XML document over the platform's MSXML 6.0 DOM, used without exceptions.
#include "xml/xml_parser.h"

#include <ole2.h>

#include <memory>

#include "xml/dom_ids.h"
#include "xml/xml_com_error.h"
#include "xml/xml_wrap.h"

namespace QGCE_XML {

using detail::BstrText;
using detail::CatchComErrors;
using detail::CheckHr;
using detail::MakeBstr;
using detail::RaiseComError;
using detail::Use;

namespace {

// In-process server and handler, local and remote server.
constexpr DWORD kDocumentClassContext = 0x17;
static_assert(kDocumentClassContext == CLSCTX_ALL, "class context of the document object");

// CoCreateInstance, OleRun, QueryInterface; null when any step fails.
UTIL::ComPtr<IXMLDOMDocument2> CreateDocument(const CLSID& clsid) noexcept
{
    UTIL::ComPtr<IUnknown> pUnknown;
    UTIL::ComPtr<IXMLDOMDocument2> pDoc;
    if (FAILED(::CoCreateInstance(clsid, nullptr, kDocumentClassContext, IID_IUnknown, pUnknown.PutVoid()))) {
        return pDoc;
    }
    if (FAILED(::OleRun(pUnknown.Get()))) {
        return pDoc;
    }
    if (FAILED(pUnknown->QueryInterface(IID_IXMLDOMDocument2, pDoc.PutVoid()))) {
        pDoc.Reset();
    }
    return pDoc;
}

void LoadFile(IXMLDOMDocument2* pDoc, const wchar_t* pwszPath, VARIANT_BOOL* pbLoaded)
{
    UTIL::UniqueVariant path;
    detail::MakeStringVariant(pwszPath, path);
    CheckHr(pDoc->load(path.Get(), pbLoaded), IID_IXMLDOMDocument2);
}

void SetTrueProperty(IXMLDOMDocument2* pDoc, const wchar_t* pwszName)
{
    const UTIL::UniqueBstr name = MakeBstr(pwszName);
    UTIL::UniqueVariant value;
    value.SetBool(true);
    CheckHr(pDoc->setProperty(name.Get(), value.Get()), IID_IXMLDOMDocument2);
}

long ReadParseErrorCode(IXMLDOMDocument2* pDoc)
{
    UTIL::ComPtr<IXMLDOMParseError> pError;
    CheckHr(pDoc->get_parseError(pError.Put()), IID_IXMLDOMDocument2);
    long lCode = 0;
    CheckHr(Use(pError, IID_IXMLDOMParseError)->get_errorCode(&lCode), IID_IXMLDOMParseError);
    return lCode;
}

UTIL::ComPtr<IXMLDOMElement> DocumentElement(IXMLDOMDocument2* pDoc)
{
    UTIL::ComPtr<IXMLDOMElement> pRoot;
    CheckHr(pDoc->get_documentElement(pRoot.Put()), IID_IXMLDOMDocument2);
    return pRoot;
}

void Transform(IXMLDOMDocument2* pDoc, IXMLDOMNode* pStylesheet, std::wstring& strOutput)
{
    UTIL::UniqueBstr output;
    CheckHr(pDoc->transformNode(pStylesheet, output.Put()), IID_IXMLDOMDocument2);
    std::wstring text = BstrText(output.Get());
    strOutput.swap(text);
}

} // namespace

CXMLParser::CXMLParser(const wchar_t* pwszPath) : CXMLParser(CLSID_DOMDocument60, pwszPath) {}

CXMLParser::CXMLParser(const CLSID& clsidDocument, const wchar_t* pwszPath) : m_pXMLDoc(CreateDocument(clsidDocument))
{
    CatchComErrors([&] {
        VARIANT_BOOL bLoaded = VARIANT_FALSE;
        LoadFile(Use(m_pXMLDoc, IID_IXMLDOMDocument2), pwszPath, &bLoaded);
    });
}

CXMLParser::~CXMLParser() = default;

bool CXMLParser::IsNull()
{
    return !m_pXMLDoc;
}

int CXMLParser::Load(const wchar_t* pwszPath)
{
    return CatchComErrors([&]() -> int {
        IXMLDOMDocument2* pDoc = Use(m_pXMLDoc, IID_IXMLDOMDocument2);
        SetTrueProperty(pDoc, L"AllowDocumentFunction");
        SetTrueProperty(pDoc, L"AllowXsltScript");
        VARIANT_BOOL bLoaded = VARIANT_FALSE;
        LoadFile(pDoc, pwszPath, &bLoaded);
        return bLoaded;
    });
}

int CXMLParser::LoadXML(const wchar_t* pwszXml)
{
    return CatchComErrors([&]() -> int {
        IXMLDOMDocument2* pDoc = Use(m_pXMLDoc, IID_IXMLDOMDocument2);
        const UTIL::UniqueBstr xml = MakeBstr(pwszXml);
        VARIANT_BOOL bLoaded = VARIANT_FALSE;
        CheckHr(pDoc->loadXML(xml.Get(), &bLoaded), IID_IXMLDOMDocument2);
        return bLoaded;
    });
}

bool CXMLParser::Save(const wchar_t* pwszPath)
{
    return CatchComErrors([&]() -> bool {
        IXMLDOMDocument2* pDoc = Use(m_pXMLDoc, IID_IXMLDOMDocument2);
        UTIL::UniqueVariant path;
        detail::MakeStringVariant(pwszPath, path);
        CheckHr(pDoc->save(path.Get()), IID_IXMLDOMDocument2);
        return true;
    });
}

bool CXMLParser::GetXML(std::wstring& strXml)
{
    return CatchComErrors([&]() -> bool {
        UTIL::UniqueBstr xml;
        CheckHr(Use(m_pXMLDoc, IID_IXMLDOMDocument2)->get_xml(xml.Put()), IID_IXMLDOMDocument2);
        std::wstring text = BstrText(xml.Get());
        strXml.swap(text);
        return true;
    });
}

bool CXMLParser::IsParsed(long* plErrorCode)
{
    return CatchComErrors([&]() -> bool {
        IXMLDOMDocument2* pDoc = Use(m_pXMLDoc, IID_IXMLDOMDocument2);
        const bool bParsed = ReadParseErrorCode(pDoc) == 0;
        if (plErrorCode != nullptr) {
            *plErrorCode = ReadParseErrorCode(pDoc);
        }
        return bParsed;
    });
}

CXMLElement* CXMLParser::GetDocumentElement()
{
    return CatchComErrors([&]() -> CXMLElement* {
        const UTIL::ComPtr<IXMLDOMElement> pRoot = DocumentElement(Use(m_pXMLDoc, IID_IXMLDOMDocument2));
        return detail::WrapElement(pRoot.Get());
    });
}

CXMLNodeList* CXMLParser::GetElementsByTagName(const wchar_t* pwszTagName)
{
    return CatchComErrors([&]() -> CXMLNodeList* {
        IXMLDOMDocument2* pDoc = Use(m_pXMLDoc, IID_IXMLDOMDocument2);
        const UTIL::UniqueBstr name = MakeBstr(pwszTagName);
        UTIL::ComPtr<IXMLDOMNodeList> pList;
        CheckHr(pDoc->getElementsByTagName(name.Get(), pList.Put()), IID_IXMLDOMDocument2);
        return detail::WrapNodeList(pList.Get());
    });
}

CXMLNode* CXMLParser::SelectSingleNode(const wchar_t* pwszXPath)
{
    return CatchComErrors([&]() -> CXMLNode* {
        const UTIL::ComPtr<IXMLDOMElement> pRoot = DocumentElement(Use(m_pXMLDoc, IID_IXMLDOMDocument2));
        IXMLDOMElement* pContext = Use(pRoot, IID_IXMLDOMElement);
        const UTIL::UniqueBstr xpath = MakeBstr(pwszXPath);
        UTIL::ComPtr<IXMLDOMNode> pNode;
        CheckHr(pContext->selectSingleNode(xpath.Get(), pNode.Put()), IID_IXMLDOMElement);
        return detail::WrapNode(pNode.Get());
    });
}

CXMLNodeList* CXMLParser::SelectNodes(const wchar_t* pwszXPath)
{
    return CatchComErrors([&]() -> CXMLNodeList* {
        const UTIL::ComPtr<IXMLDOMElement> pRoot = DocumentElement(Use(m_pXMLDoc, IID_IXMLDOMDocument2));
        IXMLDOMElement* pContext = Use(pRoot, IID_IXMLDOMElement);
        const UTIL::UniqueBstr xpath = MakeBstr(pwszXPath);
        UTIL::ComPtr<IXMLDOMNodeList> pList;
        CheckHr(pContext->selectNodes(xpath.Get(), pList.Put()), IID_IXMLDOMElement);
        return detail::WrapNodeList(pList.Get());
    });
}

CXMLNode* CXMLParser::CreateNode(int nType, const wchar_t* pwszName, const wchar_t* pwszNamespaceURI)
{
    return CatchComErrors([&]() -> CXMLNode* {
        IXMLDOMDocument2* pDoc = Use(m_pXMLDoc, IID_IXMLDOMDocument2);
        UTIL::UniqueVariant type;
        type.SetI4(nType);
        const UTIL::UniqueBstr name = MakeBstr(pwszName);
        const UTIL::UniqueBstr uri = MakeBstr(pwszNamespaceURI);
        UTIL::ComPtr<IXMLDOMNode> pNode;
        CheckHr(pDoc->createNode(type.Get(), name.Get(), uri.Get(), pNode.Put()), IID_IXMLDOMDocument2);
        return detail::WrapNode(pNode.Get());
    });
}

CXMLElement* CXMLParser::CreateElement(const wchar_t* pwszTagName)
{
    return CatchComErrors([&]() -> CXMLElement* {
        IXMLDOMDocument2* pDoc = Use(m_pXMLDoc, IID_IXMLDOMDocument2);
        const UTIL::UniqueBstr name = MakeBstr(pwszTagName);
        UTIL::ComPtr<IXMLDOMElement> pElement;
        CheckHr(pDoc->createElement(name.Get(), pElement.Put()), IID_IXMLDOMDocument2);
        return detail::WrapElement(pElement.Get());
    });
}

bool CXMLParser::TransformWithText(const wchar_t* pwszStylesheet, std::wstring& strOutput)
{
    return CatchComErrors([&]() -> bool {
        UTIL::ComPtr<IXMLDOMDocument> pStylesheet;
        CheckHr(::CoCreateInstance(CLSID_DOMDocument60, nullptr, kDocumentClassContext, IID_IXMLDOMDocument,
                                   pStylesheet.PutVoid()),
                IID_IXMLDOMDocument);
        const UTIL::UniqueBstr text = MakeBstr(pwszStylesheet);
        VARIANT_BOOL bLoaded = VARIANT_FALSE;
        CheckHr(Use(pStylesheet, IID_IXMLDOMDocument)->loadXML(text.Get(), &bLoaded), IID_IXMLDOMDocument);
        if (bLoaded != VARIANT_TRUE) {
            return false;
        }
        Transform(Use(m_pXMLDoc, IID_IXMLDOMDocument2), pStylesheet.Get(), strOutput);
        return true;
    });
}

bool CXMLParser::TransformWithParser(CXMLParser* pStylesheet, std::wstring& strOutput)
{
    return CatchComErrors([&]() -> bool {
        if (pStylesheet == nullptr) {
            RaiseComError(E_POINTER, IID_IXMLDOMDocument2);
        }
        // A stylesheet parser that failed has logged its own error already.
        const std::unique_ptr<CXMLElement> pRoot(pStylesheet->GetDocumentElement());
        if (!pRoot || !pRoot->m_pElement) {
            return false;
        }
        Transform(Use(m_pXMLDoc, IID_IXMLDOMDocument2), pRoot->m_pElement.Get(), strOutput);
        return true;
    });
}

} // namespace QGCE_XML
