// Shared fixture of the XML wrapper tests: COM on the test thread, a log capture, a scratch folder.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "test_support.h"
#include "xml/dom_ids.h"
#include "xml/xml_parser.h"

namespace xml_test {

constexpr int kComErrorLevel = 8;
constexpr int kComErrorLine = 34;
constexpr wchar_t kComErrorPrefix[] = L"CXMLParser::LoadXML() catching exception ==>error(";
constexpr wchar_t kSource[] = L"Server/XmlParser/utilXMLParser/xml_Parser";
// Passed to ExpectOneComError when the failure code is the DOM's own choice.
constexpr HRESULT kAnyFailure = S_OK;

template <typename T>
using Owned = std::unique_ptr<T>;

class XmlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_hrCom = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_TRUE(SUCCEEDED(m_hrCom)) << std::hex << m_hrCom;
        ASSERT_TRUE(m_log.Started());
    }
    void TearDown() override
    {
        if (SUCCEEDED(m_hrCom)) {
            ::CoUninitialize();
        }
    }

    // COM-error lines received so far (after the log has gone quiet).
    std::vector<standin::LogRecord> ComErrorLines()
    {
        m_log.Settle(50);
        return m_log.Matching(kComErrorLevel, kComErrorLine, kComErrorPrefix);
    }

    // Runs `op` on a cleared log and expects exactly one COM-error line with
    // this HRESULT (any HRESULT for kAnyFailure) and nothing else.
    template <typename Op>
    void ExpectOneComError(const char* what, HRESULT hr, Op op)
    {
        SCOPED_TRACE(what);
        m_log.Settle(20);
        m_log.Clear();
        op();
        const auto lines = ComErrorLines();
        ASSERT_EQ(1u, lines.size()) << m_log.Dump();
        EXPECT_EQ(1u, m_log.Records().size()) << m_log.Dump();
        EXPECT_EQ(std::wstring(kSource), lines[0].file);
        if (hr != kAnyFailure) {
            const std::wstring tail = L")(" + std::to_wstring(static_cast<int>(hr)) + L")";
            const std::wstring& text = lines[0].text;
            EXPECT_TRUE(text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
                << testing_support::Narrow(text);
        }
    }

    // Runs `op` on a cleared log and expects no log line at all.
    template <typename Op>
    void ExpectNoLog(const char* what, Op op)
    {
        SCOPED_TRACE(what);
        m_log.Settle(20);
        m_log.Clear();
        op();
        m_log.Settle(50);
        EXPECT_TRUE(m_log.Records().empty()) << m_log.Dump();
    }

    std::wstring WriteFile(const std::wstring& name, const std::string& bytes)
    {
        const std::wstring path = m_dir.File(name);
        EXPECT_TRUE(testing_support::WriteFileBytes(path, bytes));
        return path;
    }

    HRESULT m_hrCom = E_FAIL;
    testing_support::LogCapture m_log;
    testing_support::TempDir m_dir;
};

// Serialised XML without the line breaks and tabs some DOMs indent their output with.
inline std::wstring Compact(const std::wstring& xml)
{
    std::wstring out;
    for (wchar_t c : xml) {
        if (c != L'\r' && c != L'\n' && c != L'\t') {
            out.push_back(c);
        }
    }
    return out;
}

// A parser built on a class that cannot be created, as when the parser
// component is missing from the machine.
class CUncreatableParser : public QGCE_XML::CXMLParser {
public:
    explicit CUncreatableParser(const wchar_t* pwszPath) : CXMLParser(kBogusClass, pwszPath) {}

private:
    static constexpr CLSID kBogusClass = {0x0badc0de, 0x1234, 0x4321, {0x9a, 0x8b, 0x7c, 0x6d, 0x5e, 0x4f, 0x30, 0x21}};
};

// A DOM document created directly, for tests that hand raw DOM objects to wrappers.
inline IXMLDOMDocument* NewRawDocument()
{
    IXMLDOMDocument* pDoc = nullptr;
    ::CoCreateInstance(QGCE_XML::CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument, reinterpret_cast<void**>(&pDoc));
    return pDoc;
}

} // namespace xml_test
