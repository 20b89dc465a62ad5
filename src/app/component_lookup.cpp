// Lookups of an add-on component: product folder, component list, registry values.
#include "app/component_lookup.h"

#include <shlwapi.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <io.h>
#include <memory>
#include <string>

#include "app/kivproxy.h"
#include "common/unique_resource.h"
#include "log/debug_log.h"
#include "xml/xml_parser.h"

const wchar_t kProductInformationKey[] = L"SOFTWARE\\Brontide\\Quellguard\\service\\Information";
const wchar_t kComponentKeyFormat[] = L"SOFTWARE\\Brontide\\Quellguard\\service\\Kiv\\%s\\1_%s_%s";
const wchar_t kComponentListFileName[] = L"QGCE_KIV_COMP_LIST.xml";

namespace {

const DWORD kValueBytes = MAX_PATH * sizeof(wchar_t); // 520: 259 characters and the terminator

// A registry value read into a zero-filled buffer of 260 characters (one
// more in reserve, so that a value stored without terminator still ends).
struct RegText {
    wchar_t wsz[MAX_PATH + 1] = {};
    // Fits only when the text and its terminator fit the 260 characters.
    bool Fits() const { return wcslen(wsz) < MAX_PATH; }
};

// Reads a value, returning the registry call's result: the registry functions
// return their error instead of setting the thread's last error, so this is
// the number the caller reports. ERROR_MORE_DATA also when the text leaves no
// room for its terminator.
LONG ReadRegText(HKEY hKey, const wchar_t* pwszValue, RegText& text)
{
    DWORD cb = kValueBytes;
    LONG rc = ::RegQueryValueExW(hKey, pwszValue, nullptr, nullptr, reinterpret_cast<BYTE*>(text.wsz), &cb);
    if (rc == ERROR_SUCCESS && !text.Fits()) {
        rc = ERROR_MORE_DATA; // 260 characters without room for the terminator
    }
    return rc;
}

// Opens a key for reading; the owner stays empty when the open fails.
bool OpenKey(const wchar_t* pwszPath, bool bEx, UTIL::UniqueRegKey& key)
{
    HKEY hKey = nullptr;
    const LONG rc = bEx ? ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, pwszPath, 0, KEY_READ, &hKey)
                        : ::RegOpenKeyW(HKEY_LOCAL_MACHINE, pwszPath, &hKey);
    if (rc != ERROR_SUCCESS) {
        return false;
    }
    key.Reset(hKey);
    return true;
}

// Formats the component key path; false when it would not fit 259 characters.
bool FormatComponentKey(wchar_t (&wszKey)[MAX_PATH], const std::wstring& strId, const std::wstring& strLanguage,
                        const std::wstring& strVersion)
{
    const int cch = _snwprintf(wszKey, MAX_PATH, kComponentKeyFormat, strId.c_str(), strLanguage.c_str(),
                               strVersion.c_str());
    wszKey[MAX_PATH - 1] = L'\0';
    return cch >= 0 && cch < MAX_PATH;
}

// Formats the component key path, logs it, and opens the key. A path over
// 259 characters is a failed lookup with a line of its own; a key that does
// not open is silent. The owner stays empty on failure.
bool OpenComponentKey(const wchar_t* pwszFunc, int nLine, const std::wstring& strId, const std::wstring& strVersion,
                      const std::wstring& strLanguage, UTIL::UniqueRegKey& key)
{
    wchar_t wszKey[MAX_PATH] = {};
    const bool bKeyFits = FormatComponentKey(wszKey, strId, strLanguage, strVersion);
    DebugLogW(LOG_LEVEL_INFO, kKivProxySource, nLine, L"%s - Registry Path: %s", pwszFunc, wszKey);
    if (!bKeyFits) {
        DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, nLine + 1, L"%s - Registry path too long for %s", pwszFunc,
                  strId.c_str());
        return false;
    }
    return OpenKey(wszKey, false, key);
}

// A file's characters from its start, read as far as they are asked for. The
// form is told from a byte order mark or from where the zero bytes of the
// first characters lie: the 8-bit family (ASCII, UTF-8, ISO-8859-x, ...),
// UTF-16 and UTF-32 in either byte order. Only the markup characters of the
// prolog are looked at, and they are ASCII in every one of these forms.
class CPrologText {
public:
    explicit CPrologText(HANDLE hFile) : m_hFile(hFile)
    {
        int b[4];
        for (size_t i = 0; i < 4; ++i) {
            b[i] = Byte(i);
        }
        if (b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0) {
            SetForm(4, false, 4);
        } else if (b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF) {
            SetForm(4, true, 4);
        } else if (b[0] == 0xFF && b[1] == 0xFE) {
            SetForm(2, false, 2);
        } else if (b[0] == 0xFE && b[1] == 0xFF) {
            SetForm(2, true, 2);
        } else if (b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
            SetForm(1, false, 3);
        } else if (b[0] > 0 && b[1] == 0 && b[2] == 0 && b[3] == 0) {
            SetForm(4, false, 0);
        } else if (b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] > 0) {
            SetForm(4, true, 0);
        } else if (b[0] > 0 && b[1] == 0) {
            SetForm(2, false, 0);
        } else if (b[0] == 0 && b[1] > 0) {
            SetForm(2, true, 0);
        }
    }

    // The character at `index`, or -1 past the end of what can be read.
    long long Char(size_t index)
    {
        long long ch = 0;
        for (size_t i = 0; i < m_cbUnit; ++i) {
            const int b = Byte(m_cbStart + index * m_cbUnit + (m_bBigEndian ? i : m_cbUnit - 1 - i));
            if (b < 0) {
                return -1;
            }
            ch = (ch << 8) | b;
        }
        return ch;
    }

    bool StartsWith(size_t index, const char* pszText)
    {
        for (size_t i = 0; pszText[i] != '\0'; ++i) {
            if (Char(index + i) != pszText[i]) {
                return false;
            }
        }
        return true;
    }

    // Index just past the next `pszText` from `index` on; false when there is none.
    bool SkipPast(size_t& index, const char* pszText)
    {
        for (; Char(index) >= 0; ++index) {
            if (StartsWith(index, pszText)) {
                index += strlen(pszText);
                return true;
            }
        }
        return false;
    }

private:
    void SetForm(size_t cbUnit, bool bBigEndian, size_t cbStart)
    {
        m_cbUnit = cbUnit;
        m_bBigEndian = bBigEndian;
        m_cbStart = cbStart;
    }

    // The byte at `pos`, or -1 past the end of the file or of what can be read.
    int Byte(size_t pos)
    {
        while (pos >= m_bytes.size() && !m_bEnd) {
            char chunk[4096];
            DWORD cbRead = 0;
            if (!::ReadFile(m_hFile, chunk, sizeof(chunk), &cbRead, nullptr) || cbRead == 0) {
                m_bEnd = true;
            } else {
                m_bytes.append(chunk, cbRead);
            }
        }
        return pos < m_bytes.size() ? static_cast<unsigned char>(m_bytes[pos]) : -1;
    }

    HANDLE m_hFile;
    std::string m_bytes;
    bool m_bEnd = false;
    size_t m_cbUnit = 1;
    bool m_bBigEndian = false;
    size_t m_cbStart = 0;
};

// True when the file declares a document type in its prolog, before the root
// element (comments, processing instructions and white space are passed
// over). The component list needs none, and the platform's parser, as
// MSXML 6.0 does by default, must not expand the entities of one: a few
// hundred bytes of them can stand for gigabytes of text. False when there is
// none or the file cannot be read (the parser then reports the file itself).
bool DeclaresDocumentType(const wchar_t* pwszPath)
{
    UTIL::UniqueHandle file(::CreateFileW(pwszPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsValid()) {
        return false;
    }
    CPrologText text(file.Get());
    size_t index = 0;
    for (;;) {
        const long long ch = text.Char(index);
        if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n') {
            ++index;
        } else if (text.StartsWith(index, "<?")) {
            index += 2;
            if (!text.SkipPast(index, "?>")) {
                return false;
            }
        } else if (text.StartsWith(index, "<!--")) {
            index += 4;
            if (!text.SkipPast(index, "-->")) {
                return false;
            }
        } else {
            return text.StartsWith(index, "<!DOCTYPE");
        }
    }
}

} // namespace

bool GetQuellguardServerPath(wchar_t (&wszPath)[MAX_PATH])
{
    const wchar_t kFunc[] = L"GetQuellguardServerPath";
    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 36, L"%s - >>>", kFunc);
    bool bResult = false;
    UTIL::UniqueRegKey key;
    if (OpenKey(kProductInformationKey, true, key)) {
        RegText text;
        const LONG rc = ReadRegText(key.Get(), L"Local_Path", text);
        if (rc == ERROR_SUCCESS) {
            wcsncpy(wszPath, text.wsz, MAX_PATH - 1);
            wszPath[MAX_PATH - 1] = L'\0';
            bResult = true;
        } else {
            DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 53, L"%s - Can't open Quellguard registry, err(%d)", kFunc,
                      static_cast<int>(rc));
        }
    }
    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 59, L"%s - <<< %d", kFunc, bResult ? 1 : 0);
    return bResult;
}

bool GetProductInfo(std::wstring strComponentId, std::wstring& strVersion, std::wstring& strLanguage)
{
    const wchar_t kFunc[] = L"GetProductInfo";
    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 68, L"%s - >>>", kFunc);

    wchar_t wszFolder[MAX_PATH] = {};
    if (!GetQuellguardServerPath(wszFolder)) {
        DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 106, L"%s - <<< %d", kFunc, 0);
        return false;
    }
    ::PathRemoveBackslashW(wszFolder);
    wchar_t wszListPath[2 * MAX_PATH] = {};
    _snwprintf(wszListPath, 2 * MAX_PATH - 1, L"%s\\%s", wszFolder, kComponentListFileName);

    if (_waccess(wszListPath, 0) != 0) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 76, L"%s - Can't find Kiv XML file(%s), err(%d)", kFunc,
                  wszListPath, dwErr);
        return false;
    }

    bool bResult = false;
    if (DeclaresDocumentType(wszListPath)) {
        DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 103, L"%s - Can't open Kiv XML file(%s)", kFunc, wszListPath);
    } else {
        QGCE_XML::CXMLParser parser(wszListPath);
        if (!parser.IsParsed(nullptr)) {
            DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 103, L"%s - Can't open Kiv XML file(%s)", kFunc, wszListPath);
        } else {
            std::unique_ptr<QGCE_XML::CXMLNodeList> nodes(parser.SelectNodes(L"/QGCE_COMPONENT_ID_LIST/Component"));
            for (std::unique_ptr<QGCE_XML::CXMLNode> node(nodes ? nodes->NextNode() : nullptr); node;
                 node.reset(nodes->NextNode())) {
                if (node->GetAttributeValue(L"ID") != strComponentId) {
                    continue;
                }
                strVersion = node->GetAttributeValue(L"Version");
                strLanguage = node->GetAttributeValue(L"Language");
                DebugLogW(LOG_LEVEL_INFO, kKivProxySource, 96, L"%s - Find verion(%s) LanguageID(%s) for %s", kFunc,
                          strVersion.c_str(), strLanguage.c_str(), strComponentId.c_str());
                bResult = true;
                break;
            }
        }
    }
    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 106, L"%s - <<< %d", kFunc, bResult ? 1 : 0);
    return bResult;
}

bool GetProductDllPath(std::wstring& strDllPath, std::wstring strComponentId, std::wstring strVersion,
                       std::wstring strLanguage)
{
    const wchar_t kFunc[] = L"GetProductDllPath";
    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 117, L"%s - >>>", kFunc);
    bool bResult = false;
    UTIL::UniqueRegKey key;
    if (OpenComponentKey(kFunc, 120, strComponentId, strVersion, strLanguage, key)) {
        RegText text;
        const LONG rc = ReadRegText(key.Get(), L"_KIV_PluginDllPathname", text);
        if (rc != ERROR_SUCCESS) {
            DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 140, L"%s - Can't open %s registry, err(%d)", kFunc,
                      strComponentId.c_str(), static_cast<int>(rc));
        } else if (text.wsz[0] != L'\0') {
            strDllPath = text.wsz;
            bResult = true;
        }
    }
    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 146, L"%s - <<< %s %d", kFunc, strDllPath.c_str(), bResult ? 1 : 0);
    return bResult;
}

void QueryActionStatus(int& nStatus, std::wstring strComponentId, std::wstring strVersion, std::wstring strLanguage)
{
    const wchar_t kFunc[] = L"QueryActionStatus";
    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 226, L"%s - >>>", kFunc);
    UTIL::UniqueRegKey key;
    if (OpenComponentKey(kFunc, 229, strComponentId, strVersion, strLanguage, key)) {
        RegText text;
        const LONG rc = ReadRegText(key.Get(), L"Status", text);
        if (rc == ERROR_SUCCESS) {
            nStatus = _wtoi(text.wsz);
        } else {
            DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 245, L"%s - Can't open %s registry, err(%d)", kFunc,
                      strComponentId.c_str(), static_cast<int>(rc));
        }
    }
    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 251, L"%s - <<< %d %d", kFunc, nStatus, 0);
}
