// COM error handling of the XML wrapper: raising, message text and the log line.
#include "xml/xml_com_error.h"

#include <cstdio>
#include <cwchar>

#include "log/debug_log.h"

namespace QGCE_XML {

const wchar_t kXmlLogSource[] = L"Server/XmlParser/utilXMLParser/xml_Parser";

namespace detail {

void RaiseComError(HRESULT hr, const IID& iid)
{
    throw CComError(hr, iid);
}

UTIL::UniqueBstr MakeBstr(const wchar_t* pwszText)
{
    if (pwszText == nullptr) {
        return UTIL::UniqueBstr();
    }
    UTIL::UniqueBstr bstr(::SysAllocString(pwszText));
    if (!bstr) {
        RaiseComError(E_OUTOFMEMORY, IID_NULL);
    }
    return bstr;
}

void MakeStringVariant(const wchar_t* pwszText, UTIL::UniqueVariant& var)
{
    var.SetBstr(MakeBstr(pwszText).Take());
}

std::wstring BstrText(BSTR bstr)
{
    return bstr != nullptr ? std::wstring(bstr) : std::wstring();
}

CComErrorText::CComErrorText(HRESULT hr) noexcept
{
    wchar_t* pwszMessage = nullptr;
    const DWORD cch = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&pwszMessage),
        0, nullptr);
    if (cch != 0 && pwszMessage != nullptr) {
        const size_t len = std::wcslen(pwszMessage);
        if (len > 1 && pwszMessage[len - 1] == L'\n') {
            pwszMessage[len - 1] = L'\0';
            if (pwszMessage[len - 2] == L'\r') {
                pwszMessage[len - 2] = L'\0';
            }
        }
        m_pwszSystem = pwszMessage;
        return;
    }
    if (pwszMessage != nullptr) {
        ::LocalFree(pwszMessage);
    }
    const DWORD dwHr = static_cast<DWORD>(hr);
    const size_t cchMax = sizeof(m_wszFallback) / sizeof(m_wszFallback[0]);
    if (dwHr >= 0x80040201u && dwHr <= 0x8004FFFFu) {
        _snwprintf(m_wszFallback, cchMax - 1, L"IDispatch error #%d", static_cast<int>(dwHr - 0x80040200u));
    } else {
        _snwprintf(m_wszFallback, cchMax - 1, L"Unknown error 0x%0lX", static_cast<unsigned long>(dwHr));
    }
    m_wszFallback[cchMax - 1] = L'\0';
}

CComErrorText::~CComErrorText()
{
    if (m_pwszSystem != nullptr) {
        ::LocalFree(m_pwszSystem);
    }
}

void LogComError(HRESULT hr) noexcept
{
    const CComErrorText text(hr);
    DebugLogW(LOG_LEVEL_XML_ERROR, kXmlLogSource, 34, L"CXMLParser::LoadXML() catching exception ==>error(%s)(%d)",
              text.Text(), static_cast<int>(hr));
}

} // namespace detail
} // namespace QGCE_XML
