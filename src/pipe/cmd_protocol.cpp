// Builder for the TAB-separated UTF-16 command messages exchanged over named pipes.
#include "pipe/cmd_protocol.h"

#include <cstdio>
#include <cwchar>

namespace {
const size_t kInitialCapacity = 1024;
const size_t kScratchChars = 256;
} // namespace

CCmdProtocol::CCmdProtocol() : m_strSeparator(L"\t"), m_bFirstField(true)
{
    m_strMessage.reserve(kInitialCapacity);
}

CCmdProtocol::~CCmdProtocol() = default;

void CCmdProtocol::AppendField(const wchar_t* pwszText, size_t cchText)
{
    const size_t cchNeeded = m_strSeparator.size() + cchText;
    if (m_strMessage.capacity() - m_strMessage.size() < cchNeeded) {
        m_strMessage.reserve(m_strMessage.capacity() * 2);
    }
    if (m_bFirstField) {
        m_bFirstField = false;
    } else {
        m_strMessage.append(m_strSeparator);
    }
    m_strMessage.append(pwszText, cchText);
}

CCmdProtocol& CCmdProtocol::Append(const wchar_t* pwszText)
{
    if (pwszText == nullptr) {
        pwszText = L"";
    }
    AppendField(pwszText, wcslen(pwszText));
    return *this;
}

CCmdProtocol& CCmdProtocol::Append(const std::wstring& strText)
{
    AppendField(strText.c_str(), strText.size());
    return *this;
}

CCmdProtocol& CCmdProtocol::Append(int nValue)
{
    return Append(static_cast<long>(nValue));
}

CCmdProtocol& CCmdProtocol::Append(long nValue)
{
    wchar_t wszScratch[kScratchChars];
    const int cch = swprintf(wszScratch, kScratchChars, L"%ld", nValue);
    AppendField(wszScratch, cch > 0 ? static_cast<size_t>(cch) : 0);
    return *this;
}

CCmdProtocol& CCmdProtocol::Append(unsigned int uValue)
{
    return Append(static_cast<unsigned long>(uValue));
}

CCmdProtocol& CCmdProtocol::Append(unsigned long uValue)
{
    wchar_t wszScratch[kScratchChars];
    const int cch = swprintf(wszScratch, kScratchChars, L"%lu", uValue);
    AppendField(wszScratch, cch > 0 ? static_cast<size_t>(cch) : 0);
    return *this;
}
