// Loading external libraries only when they carry the maker's valid signature;
// refused libraries are reported to the Windows event log.
#include "sign/issuer_check.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <io.h>
#include <string>

#include "common/text_convert.h"
#include "log/debug_log.h"
#include "sign/bxnotify_dll.h"
#include "sign/signature_manager.h"
#include "sign/verify_file_sign.h"

const wchar_t kIssuerCheckSource[] = L"client/libdigitalsignature/LoadLibraryWithIssuerCheck";
const char kProductEventSource[] = "Brontide Quellguard";

namespace {

const wchar_t* const kSrc = kIssuerCheckSource;
const size_t kLoadPathChars = MAX_PATH + 1;
const size_t kExtensionChars = 256;
const size_t kEventMessageBytes = 1284;
const char kRefusedLibraryMessage[] =
    "Quellguard agent attempted to load a library not signed by the expected issuer \"%s\". The process was "
    "stopped. Verify the integrity of the library and try again (%s).";

bool FileExists(LPCWSTR pwszPath)
{
    if (_waccess(pwszPath, 0) != 0) {
        return false;
    }
    const DWORD dwAttributes = ::GetFileAttributesW(pwszPath);
    return (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0; // the failure value has every bit set
}

} // namespace

DWORD CheckLibraryForLoading(LPCWSTR pwszIssuerName, LPCWSTR pwszLibPath, CHeldFile& heldFile,
                             std::wstring& loadPath)
{
    static const wchar_t kFunc[] = L"LoadLibraryWithIssuerCheckW";
    if (pwszIssuerName == nullptr) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__,
                  L"%s - lpIssuerName is NULL. SetLastError() to ERROR_INVALID_PARAMETER and return NULL.", kFunc);
        return ERROR_INVALID_PARAMETER;
    }
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - File for issuer check is (%s)", kFunc, pwszLibPath);

    if (!FileExists(pwszLibPath)) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__,
                  L"%s - File (%s) does not exist. SetLastError() to ERROR_FILE_NOT_FOUND and return NULL.", kFunc,
                  pwszLibPath);
        return ERROR_FILE_NOT_FOUND;
    }

    // From here until the loader returns, the file is held: what is checked is
    // what is loaded, under the one full path resolved now.
    if (!heldFile.Hold(pwszLibPath)) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - File (%s) cannot be held for the issuer check, err=%d", kFunc,
                  pwszLibPath, dwErr);
        return dwErr;
    }
    const std::wstring& fullPath = heldFile.FullPath();

    if (!CheckFileIssuer(fullPath.c_str(), pwszIssuerName)) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__,
                  L"%s - File (%s) is not issued by (%s). Issuer check failed. Write to Windows Event Log, "
                  L"SetLastError() to customized error code ERROR_FAILED_ISSUER_CHECK (0x%08X) and return NULL.",
                  kFunc, fullPath.c_str(), pwszIssuerName, ERROR_FAILED_ISSUER_CHECK);
        const std::string strPath = UTIL::WideToAnsi(fullPath);
        const std::string strIssuer = UTIL::WideToAnsi(pwszIssuerName);
        WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(strPath.c_str(), strIssuer.c_str());
        return ERROR_FAILED_ISSUER_CHECK;
    }

    // A full path that does not fit the buffer (with the trailing dot it may
    // need) is refused rather than cut.
    wchar_t wszPath[kLoadPathChars] = {};
    wchar_t wszExtension[kExtensionChars] = {};
    const size_t cchPath = fullPath.size();
    bool bFits = cchPath < kLoadPathChars;
    if (bFits) {
        wcscpy(wszPath, fullPath.c_str());
        if (_wsplitpath_s(wszPath, nullptr, 0, nullptr, 0, nullptr, 0, wszExtension, kExtensionChars) != 0) {
            wszExtension[0] = L'\0';
        }
        if (wszExtension[0] == L'\0') {
            // Without an extension the loader would append ".dll".
            bFits = cchPath + 1 < kLoadPathChars;
            if (bFits) {
                wcscat(wszPath, L".");
            }
        }
    }
    if (!bFits) {
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - File path (%s) is too long to load, err=%d", kFunc,
                  fullPath.c_str(), ERROR_FILENAME_EXCED_RANGE);
        return ERROR_FILENAME_EXCED_RANGE;
    }
    loadPath = wszPath;
    return ERROR_SUCCESS;
}

HMODULE LoadLibraryWithIssuerCheckW(LPCWSTR pwszIssuerName, LPCWSTR pwszLibPath)
{
    static const wchar_t kFunc[] = L"LoadLibraryWithIssuerCheckW";
    CHeldFile heldFile;
    std::wstring loadPath;
    const DWORD dwErr = CheckLibraryForLoading(pwszIssuerName, pwszLibPath, heldFile, loadPath);
    if (dwErr != ERROR_SUCCESS) {
        ::SetLastError(dwErr);
        return nullptr;
    }
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - Calling LoadLibraryW()...", kFunc);
    return ::LoadLibraryW(loadPath.c_str());
}

bool CheckFileIssuer(LPCWSTR pwszFile, LPCWSTR pwszIssuerName)
{
    static const wchar_t kFunc[] = L"CheckFileIssuer";
    if (pwszFile == nullptr || pwszIssuerName == nullptr) {
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - pwszFile or pwszIssuerName is NULL", kFunc);
        return false;
    }
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - Checking whether file (%s) is signed by issuer (%s)", kFunc,
              pwszFile, pwszIssuerName);
    const DigitalSignatureResult result =
        CQgdDigitalSignatureManagerEx::VerifyDigitalSignatureAndRecord(pwszFile, SIGNER_FLAG_MAKER, false);
    if (result.bValid) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - successfully to check digital signature for %s", kFunc,
                  pwszFile);
        return true;
    }
    DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - failed to check digital signature for %s, err=%d", kFunc,
              pwszFile, static_cast<int>(result.dwErrorCode));
    return false;
}

void WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(const char* pszLibPath, const char* pszIssuer)
{
    static const wchar_t kFunc[] = L"WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed";
    // A message longer than the buffer is cut at its end.
    char szMessage[kEventMessageBytes] = {};
    _snprintf(szMessage, kEventMessageBytes - 1, kRefusedLibraryMessage, pszIssuer != nullptr ? pszIssuer : "",
              pszLibPath != nullptr ? pszLibPath : "");
    szMessage[kEventMessageBytes - 1] = '\0';

    CBxNotifyDLL notify;
    if (!notify.Init(nullptr)) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - BxNotify initialization failed", kFunc);
        return;
    }
    const int nInit = notify.InitDefaultEventSource(kProductEventSource, 0);
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - InitDefaultEventSource return %d", kFunc, nInit);

    HANDLE hSource = nullptr;
    const int nOpen = notify.OpenEventSource(nullptr, kProductEventSource, &hSource);
    if (hSource != nullptr) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - ReportEventLogEx Msg = %S", kFunc, szMessage);
        notify.ReportEventLogEx(hSource, kRefusedLibraryEventType, kRefusedLibraryEventCategory,
                                kRefusedLibraryEventId, szMessage);
        notify.CloseEventSource(hSource);
    } else {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - OpenEventSource failed (%d)", kFunc, nOpen);
    }
}
