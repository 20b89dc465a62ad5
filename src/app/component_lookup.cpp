// Lookups of an add-on component: product folder, component list, registry values.
#include "app/component_lookup.h"

#include <shlwapi.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <io.h>
#include <memory>
#include <string>
#include <vector>

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

// "<!DOCTYPE" as it appears in every encoding the XML parser can read: the
// 8-bit family (ASCII, UTF-8, ISO-8859-x, ...), UTF-16 and UTF-32 in both byte orders.
std::vector<std::string> DocumentTypeMarkers()
{
    static const char kMarker[] = "<!DOCTYPE";
    std::vector<std::string> markers(5);
    for (const char* p = kMarker; *p != '\0'; ++p) {
        const char c = *p;
        markers[0] += c;
        markers[1] += std::string{c, '\0'};
        markers[2] += std::string{'\0', c};
        markers[3] += std::string{c, '\0', '\0', '\0'};
        markers[4] += std::string{'\0', '\0', '\0', c};
    }
    return markers;
}

// True when the file holds a document type declaration. The component list
// needs none, and the platform's parser, as MSXML 6.0 does by default, must
// not expand the entities of one: a few hundred bytes of them can stand for
// gigabytes of text. False when there is none or the file cannot be read
// (the parser then reports the file itself).
bool DeclaresDocumentType(const wchar_t* pwszPath)
{
    UTIL::UniqueHandle file(::CreateFileW(pwszPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsValid()) {
        return false;
    }
    static const std::vector<std::string> kMarkers = DocumentTypeMarkers();
    const size_t cbKeep = kMarkers.back().size() - 1; // a marker may straddle two reads
    const DWORD kChunk = 64 * 1024;
    std::string window;
    std::vector<char> chunk(kChunk);
    DWORD cbRead = 0;
    while (::ReadFile(file.Get(), chunk.data(), kChunk, &cbRead, nullptr) && cbRead > 0) {
        window.append(chunk.data(), cbRead);
        for (const std::string& marker : kMarkers) {
            if (std::search(window.begin(), window.end(), marker.begin(), marker.end()) != window.end()) {
                return true;
            }
        }
        if (window.size() > cbKeep) {
            window.erase(0, window.size() - cbKeep);
        }
    }
    return false;
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
