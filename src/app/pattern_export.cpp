// Pattern export: publishes a pattern's major virus types and default extension list in an INI file.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>

#include "app/kivproxy.h"
#include "app/quarn32_api.h"
#include "common/text_convert.h"
#include "common/unique_resource.h"
#include "log/debug_log.h"

namespace {

const wchar_t kFuncProperty[] = L"FlushPatternPropertyToIni";
const wchar_t kFuncExtList[] = L"FlushPatternExtListToIni";

const wchar_t kMajorTypeSection[] = L"INI_MAJOR_VIRUS_TYPE_SECTION";
const wchar_t kCountKey[] = L"Count";
const wchar_t kDefaultExtListKey[] = L"DefaultExtList";
const wchar_t* const kExtListSections[] = {
    L"Manual Scan Configuration",
    L"Real Time Scan Configuration",
    L"Prescheduled Scan Configuration",
    L"Scan Now Configuration",
};

constexpr size_t kKeyChars = 256;
constexpr size_t kValueChars = 260;
constexpr int kUnknownFirstAction = 5;
constexpr int kUnknownSecondAction = 4;

struct ActionTranslation {
    uint16_t wEngineCode;
    int nWritten;
};
const ActionTranslation kActionTable[] = {{0, 1}, {1, 3}, {2, 4}, {3, 5}, {4, 2}, {25, 25}};

// The pattern path in the ANSI code page, or empty when it has no exact form
// there: unmappable characters would become '?', and best-fit mapping would
// turn, for example, a fullwidth backslash into a real one and so name
// another file than the one asked for.
std::string ExactAnsiPath(const std::wstring& strPath)
{
    std::string strAnsi = UTIL::WideToAnsi(strPath);
    if (strAnsi.empty() || UTIL::AnsiToWide(strAnsi) != strPath) {
        strAnsi.clear();
    }
    return strAnsi;
}

int TranslateAction(uint16_t wEngineCode, int nUnknown)
{
    for (const ActionTranslation& entry : kActionTable) {
        if (entry.wEngineCode == wEngineCode) {
            return entry.nWritten;
        }
    }
    return nUnknown;
}

struct LocalMemoryTraits {
    using type = void*;
    static type Invalid() noexcept { return nullptr; }
    static bool IsValid(type p) noexcept { return p != nullptr; }
    static void Close(type p) noexcept { ::LocalFree(p); }
};
using UniqueLocalMemory = UTIL::UniqueResource<LocalMemoryTraits>;

// One engine context; closed by Close or at the latest when the object goes.
class CScanEngineContext {
public:
    CScanEngineContext() = default;
    CScanEngineContext(const CScanEngineContext&) = delete;
    CScanEngineContext& operator=(const CScanEngineContext&) = delete;
    ~CScanEngineContext() { Close(); }

    // The engine's result; the context is open only when it is 0.
    int32_t Open()
    {
        QNHANDLE hEngine = 0;
        const int32_t nResult = QNInit(::GetCurrentThreadId(), "", 0, &hEngine);
        if (nResult == 0) {
            m_hEngine = hEngine;
            m_bOpen = true;
        }
        return nResult;
    }

    QNHANDLE Get() const { return m_hEngine; }

    void Close()
    {
        if (m_bOpen) {
            m_bOpen = false;
            QNCloseHandle(m_hEngine);
        }
    }

private:
    QNHANDLE m_hEngine = 0;
    bool m_bOpen = false;
};

// The profile writer works on paths of at most MAX_PATH - 1 characters; given a
// longer one, the platform may cut it and write somewhere else, or report a
// write that never reaches a file. Such a path is refused as a failed write.
bool WriteIniValue(const wchar_t* pwszSection, const wchar_t* pwszKey, const wchar_t* pwszValue,
                   const std::wstring& strIniFile)
{
    if (strIniFile.size() >= MAX_PATH) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return ::WritePrivateProfileStringW(pwszSection, pwszKey, pwszValue, strIniFile.c_str()) != FALSE;
}

bool WriteIniNumber(const wchar_t* pwszSection, const wchar_t* pwszKey, int nValue, const std::wstring& strIniFile)
{
    wchar_t szValue[kValueChars] = {};
    swprintf(szValue, kValueChars, L"%d", nValue);
    return WriteIniValue(pwszSection, pwszKey, szValue, strIniFile);
}

// Replaces every `from` by `to`, scanning on after the inserted text.
void ReplaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to)
{
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::wstring::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

// "{*;exe;dll}" -> "exe,.dll". A list with nothing left after the "{*;" removal stays empty.
std::wstring RewriteExtList(std::wstring strList)
{
    ReplaceAll(strList, L"{*;", L"");
    if (!strList.empty()) {
        strList.pop_back();
    }
    ReplaceAll(strList, L";", L",.");
    return strList;
}

// Writes Count and the keys of every type; false only when Count cannot be written.
bool WriteMajorTypes(const QN_MAJOR_TYPE_RECORD* pRecords, int nCount, const std::wstring& strIniFile)
{
    if (!WriteIniNumber(kMajorTypeSection, kCountKey, nCount, strIniFile)) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_WARNING, kKivProxySource, 842, L"%s - <<< WritePrivateProfileString(%s) has failed, err(%d).",
                  kFuncProperty, strIniFile.c_str(), static_cast<int>(dwErr));
        return false;
    }
    for (int n = 1; n <= nCount; ++n) {
        const QN_MAJOR_TYPE_RECORD& record = pRecords[n - 1];
        const int nFirst = TranslateAction(record.wFirstAction, kUnknownFirstAction);
        const int nSecond = TranslateAction(record.wSecondAction, kUnknownSecondAction);

        wchar_t szKey[kKeyChars] = {};
        swprintf(szKey, kKeyChars, L"1st_Act_%03d", n);
        const bool bFirstWritten = WriteIniNumber(kMajorTypeSection, szKey, nFirst, strIniFile);
        swprintf(szKey, kKeyChars, L"2nd_Act_%03d", n);
        const bool bSecondWritten = WriteIniNumber(kMajorTypeSection, szKey, nSecond, strIniFile);
        if (!bFirstWritten || !bSecondWritten) {
            continue;
        }
        // The name field may lack its terminator: at most 16 bytes are taken.
        const std::string strAnsiName(record.szName, strnlen(record.szName, sizeof(record.szName) - 1));
        const std::wstring strName = UTIL::AnsiToWide(strAnsiName);
        swprintf(szKey, kKeyChars, L"Name_%03d", n);
        WriteIniValue(kMajorTypeSection, szKey, strName.c_str(), strIniFile);
        DebugLogW(LOG_LEVEL_INFO, kKivProxySource, 886, L"%s - Virus Name and Actions: %s, %d, %d", kFuncProperty,
                  strName.c_str(), nFirst, nSecond);
    }
    return true;
}

} // namespace

// False when an argument is empty or the pattern path has no exact ANSI form, the engine
// cannot load the pattern or has no major type, or the INI file cannot be written;
// entries written before a failure stay.
bool FlushPatternPropertyToIni(const std::wstring& strPatternFile, const std::wstring& strIniFile)
{
    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 762, L"%s - >>>", kFuncProperty);
    if (strPatternFile.empty() || strIniFile.empty()) {
        DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 765, L"%s - <<< bad input", kFuncProperty);
        return false;
    }
    const std::string strAnsiPattern = ExactAnsiPath(strPatternFile);
    if (strAnsiPattern.empty()) {
        DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 767,
                  L"%s - <<< bad input: pattern path (%s) has no exact form in the ANSI code page", kFuncProperty,
                  strPatternFile.c_str());
        return false;
    }

    CScanEngineContext engine;
    const int32_t nInit = engine.Open();
    if (nInit != 0) {
        DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 773, L"%s - <<< QNInit() has failed, err(%d).", kFuncProperty,
                  nInit);
        return false;
    }
    const int32_t nRead = QNReadPatternInFile(engine.Get(), strAnsiPattern.c_str(), 0);
    if (nRead != 0) {
        DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 782, L"%s - <<< QNReadPatternInFile(%S) has failed, err(%d).",
                  kFuncProperty, strAnsiPattern.c_str(), nRead);
        return false;
    }
    const int32_t nConfig = QNSetConfig(engine.Get(), QN_CONFIG_ACTION_SET, QN_ACTION_SET_MAJOR_TYPES, 0);
    if (nConfig != 0) {
        DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 791, L"%s - <<< QNSetConfig() has failed, err(%d).",
                  kFuncProperty, nConfig);
        return false;
    }

    QN_MAJOR_TYPE_RECORD probeRecord = {};
    QN_PATTERN_PROPERTY_REQUEST request = {1, &probeRecord};
    const int32_t nTypes = QNGetPatternProperty(engine.Get(), QN_PROPERTY_MAJOR_TYPES, 0, &request);
    if (nTypes < 0) {
        DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 804, L"%s - <<< QNGetPatternProperty() has failed.",
                  kFuncProperty);
        return false;
    }
    if (nTypes == 0) {
        DebugLogW(LOG_LEVEL_WARNING, kKivProxySource, 810, L"%s - <<< QNGetPatternProperty() has no major type.",
                  kFuncProperty);
        return false;
    }
    DebugLogW(LOG_LEVEL_INFO, kKivProxySource, 816, L"%s - QNGetPatternProperty() has %d major type.", kFuncProperty,
              nTypes);

    // Records held by the buffer in use: never more than it was allocated for, whatever
    // capacity the engine hands back.
    const QN_MAJOR_TYPE_RECORD* pRecords = &probeRecord;
    int32_t nHeld = request.nCapacity < 1 ? request.nCapacity : 1;
    int32_t nCount = nTypes;
    UniqueLocalMemory buffer;
    if (nHeld < nTypes) {
        const size_t cbBuffer = static_cast<size_t>(nTypes) * sizeof(QN_MAJOR_TYPE_RECORD);
        if (cbBuffer / sizeof(QN_MAJOR_TYPE_RECORD) == static_cast<size_t>(nTypes)) {
            buffer.Reset(::LocalAlloc(LPTR, cbBuffer));
        } else {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (!buffer) {
            const DWORD dwErr = ::GetLastError();
            DebugLogW(LOG_LEVEL_WARNING, kKivProxySource, 823, L"%s - <<< Alloc memory has failed, err(%d).",
                      kFuncProperty, static_cast<int>(dwErr));
            return false;
        }
        request.nCapacity = nTypes;
        request.pBuffer = buffer.Get();
        nCount = QNGetPatternProperty(engine.Get(), QN_PROPERTY_MAJOR_TYPES, 0, &request);
        nHeld = request.nCapacity < nTypes ? request.nCapacity : nTypes;
        pRecords = static_cast<const QN_MAJOR_TYPE_RECORD*>(buffer.Get());
        if (nCount < 0) {
            DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 828, L"%s - <<< QNGetPatternProperty() has failed.",
                      kFuncProperty);
            return false;
        }
        if (nCount == 0) {
            DebugLogW(LOG_LEVEL_WARNING, kKivProxySource, 831, L"%s - <<< QNGetPatternProperty() has no major type.",
                      kFuncProperty);
            return false;
        }
    }
    if (nCount > nHeld) {
        DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 834,
                  L"%s - <<< QNGetPatternProperty() has %d major type for %d records.", kFuncProperty, nCount, nHeld);
        return false;
    }
    if (!WriteMajorTypes(pRecords, nCount, strIniFile)) {
        return false;
    }
    buffer.Reset();

    engine.Close();
    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 899, L"%s - <<<", kFuncProperty);
    return true;
}

// False when an argument is empty or the pattern path has no exact ANSI form, the engine
// cannot load the pattern or memory for the list runs out. A pattern without an extension
// list, or whose list is empty once rewritten, writes nothing and succeeds.
bool FlushPatternExtListToIni(const std::wstring& strPatternFile, const std::wstring& strIniFile)
{
    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 907, L"%s - >>>", kFuncExtList);
    if (strPatternFile.empty() || strIniFile.empty()) {
        DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 910, L"%s - <<< bad input", kFuncExtList);
        return false;
    }
    const std::string strAnsiPattern = ExactAnsiPath(strPatternFile);
    if (strAnsiPattern.empty()) {
        DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 912,
                  L"%s - <<< bad input: pattern path (%s) has no exact form in the ANSI code page", kFuncExtList,
                  strPatternFile.c_str());
        return false;
    }

    CScanEngineContext engine;
    const int32_t nInit = engine.Open();
    if (nInit != 0) {
        DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 918, L"%s - <<< QNInit() has failed, err(%d).", kFuncExtList,
                  nInit);
        return false;
    }
    const int32_t nRead = QNReadPatternInFile(engine.Get(), strAnsiPattern.c_str(), 0);
    if (nRead != 0) {
        DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 927, L"%s - <<< QNReadPatternInFile(%S) has failed, err(%d).",
                  kFuncExtList, strAnsiPattern.c_str(), nRead);
        return false;
    }

    DWORD dwSize = 0;
    const int32_t nSize = QNGetExtListSize(engine.Get(), &dwSize);
    if (nSize != 0) {
        DebugLogW(LOG_LEVEL_WARNING, kKivProxySource, 936, L"%s - QNGetExtListSize() has failed, err(%d).",
                  kFuncExtList, nSize);
    } else {
        // One byte more than reported, zeroed: the text ends inside the buffer even when the
        // engine leaves out the terminator.
        UniqueLocalMemory buffer;
        if (dwSize < MAXDWORD) {
            buffer.Reset(::LocalAlloc(LPTR, static_cast<SIZE_T>(dwSize) + 1));
        } else {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (!buffer) {
            const DWORD dwErr = ::GetLastError();
            DebugLogW(LOG_LEVEL_WARNING, kKivProxySource, 943, L"%s - <<< Alloc memory has failed, err(%d).",
                      kFuncExtList, static_cast<int>(dwErr));
            return false;
        }
        char* pszList = static_cast<char*>(buffer.Get());
        QNGetExtList(engine.Get(), pszList);
        const std::wstring strList = RewriteExtList(UTIL::AnsiToWide(std::string(pszList, strnlen(pszList, dwSize))));
        DebugLogW(LOG_LEVEL_INFO, kKivProxySource, 954, L"%s - ExtList: %s", kFuncExtList, strList.c_str());
        if (strList.empty()) {
            // An empty value would wipe the lists the scan settings are read from.
            DebugLogW(LOG_LEVEL_WARNING, kKivProxySource, 956, L"%s - ExtList is empty, DefaultExtList is kept.",
                      kFuncExtList);
        } else {
            for (const wchar_t* pwszSection : kExtListSections) {
                WriteIniValue(pwszSection, kDefaultExtListKey, strList.c_str(), strIniFile);
            }
        }
    }

    engine.Close();
    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 967, L"%s - <<<", kFuncExtList);
    return true;
}
