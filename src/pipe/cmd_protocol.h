// Builder for the TAB-separated UTF-16 command messages exchanged over named pipes.
#pragma once

#include <string>

// A command is its name followed by its parameters, each turned into text and
// joined by one TAB. Texts travel unchanged (no quoting); a null text is an
// empty field. One object builds one message.
class CCmdProtocol {
public:
    CCmdProtocol();
    virtual ~CCmdProtocol();

    CCmdProtocol(const CCmdProtocol&) = delete;
    CCmdProtocol& operator=(const CCmdProtocol&) = delete;

    CCmdProtocol& Append(const wchar_t* pwszText);
    CCmdProtocol& Append(const std::wstring& strText);
    CCmdProtocol& Append(int nValue);
    CCmdProtocol& Append(long nValue);
    CCmdProtocol& Append(unsigned int uValue);
    CCmdProtocol& Append(unsigned long uValue);

    // The message so far, NUL-terminated.
    const wchar_t* Data() const { return m_strMessage.c_str(); }
    // Characters in the message, terminator not counted.
    size_t Length() const { return m_strMessage.size(); }
    size_t Capacity() const { return m_strMessage.capacity(); }

private:
    void AppendField(const wchar_t* pwszText, size_t cchText);

    std::wstring m_strSeparator;
    std::wstring m_strMessage;
    bool m_bFirstField;
};
