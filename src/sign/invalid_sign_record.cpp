// The record of the last invalid signature: one line naming the file and the
// error code, kept in the product's folder for the people who support it.
#include "sign/verify_file_sign.h"

#include <shlwapi.h>

#include <cstdio>
#include <cwchar>

#include "log/debug_log.h"

const wchar_t kInvalidSignRecordFileName[] = L"DSInvalidLogLastInfo.log";

namespace {

const wchar_t* const kSrc = kVerifyFileSignSource;

const wchar_t kRegAppPathKey[] = L"SOFTWARE\\Brontide\\FernwickNTCorp\\CurrentVersion";
const wchar_t kRegAppPathValue[] = L"Application Path";
const wchar_t kRegAppPathFolder[] = L"Misc";
const wchar_t kRegServiceInfoKey[] = L"SOFTWARE\\Brontide\\Quellguard\\service\\Information";
const wchar_t kRegServiceInfoValue[] = L"Local_Path";
const wchar_t kRegServiceInfoFolder[] = L"TEMP";

const size_t kRecordChars = 512;

// Reads a string value into a 260-character folder buffer; always terminated.
LSTATUS ReadFolderValue(HKEY hKey, LPCWSTR pwszValue, wchar_t (&wszFolder)[MAX_PATH])
{
    DWORD dwType = 0;
    DWORD cb = sizeof(wszFolder);
    const LSTATUS status =
        ::RegQueryValueExW(hKey, pwszValue, nullptr, &dwType, reinterpret_cast<BYTE*>(wszFolder), &cb);
    if (status != ERROR_SUCCESS) {
        wszFolder[0] = L'\0';
        return status;
    }
    if (dwType != REG_SZ && dwType != REG_EXPAND_SZ) {
        wszFolder[0] = L'\0';
        return ERROR_UNSUPPORTED_TYPE;
    }
    const size_t cch = cb / sizeof(wchar_t);
    wszFolder[cch < MAX_PATH ? cch : MAX_PATH - 1] = L'\0';
    return ERROR_SUCCESS;
}

} // namespace

std::wstring CVerifyFileSignV2::InvalidSignRecordPath()
{
    static const wchar_t kFunc[] = L"CVerifyFileSignV2::WriteDigitalSignInvalidLog";
    wchar_t wszFolder[MAX_PATH] = {};
    UTIL::UniqueRegKey hKey;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRegAppPathKey, 0, KEY_READ, hKey.Put()) == ERROR_SUCCESS) {
        const LSTATUS status = ReadFolderValue(hKey.Get(), kRegAppPathValue, wszFolder);
        if (status != ERROR_SUCCESS) {
            DebugLogW(LOG_LEVEL_INFO, kSrc, __LINE__,
                      L"%s - Failed to get registry key _REG_APP_PATH_KEY_NAME, Windows error code: %x", kFunc, status);
        } else if (!::PathAppendW(wszFolder, kRegAppPathFolder)) {
            wszFolder[0] = L'\0';
        }
    } else if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRegServiceInfoKey, 0, KEY_READ, hKey.Put()) == ERROR_SUCCESS) {
        const LSTATUS status = ReadFolderValue(hKey.Get(), kRegServiceInfoValue, wszFolder);
        if (status != ERROR_SUCCESS) {
            DebugLogW(LOG_LEVEL_INFO, kSrc, __LINE__,
                      L"%s - Failed to get registry key _REG_SERVICE_INFORMATION_SECTION, Windows error code: %x",
                      kFunc, status);
        } else if (!::PathAppendW(wszFolder, kRegServiceInfoFolder)) {
            wszFolder[0] = L'\0';
        }
    }
    if (wszFolder[0] == L'\0' || !::PathAppendW(wszFolder, kInvalidSignRecordFileName)) {
        return std::wstring();
    }
    return wszFolder;
}

void CVerifyFileSignV2::WriteDigitalSignInvalidLog(LPCWSTR pwszFile, DWORD dwErrorCode)
{
    static const wchar_t kFunc[] = L"CVerifyFileSignV2::WriteDigitalSignInvalidLog";
    const std::wstring recordPath = InvalidSignRecordPath();
    if (recordPath.empty()) {
        return;
    }

    UTIL::UniqueHandle hFile(
        ::CreateFileW(recordPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hFile) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_WARNING, kSrc, __LINE__, L"%s - Failed to open file: %s, Windows error code: %x", kFunc,
                  recordPath.c_str(), dwErr);
        return;
    }

    // "<path>\t<code>": the path gives way so that the code always fits.
    wchar_t wszCode[16] = {};
    _snwprintf(wszCode, 15, L"%d", static_cast<int>(dwErrorCode));
    const size_t cchCode = wcslen(wszCode);
    const wchar_t* pwszPath = pwszFile != nullptr ? pwszFile : L"";
    size_t cchPath = wcslen(pwszPath);
    const size_t cchPathRoom = kRecordChars - 1 - 1 - cchCode;
    if (cchPath > cchPathRoom) {
        cchPath = cchPathRoom;
    }
    wchar_t wszRecord[kRecordChars] = {};
    _snwprintf(wszRecord, kRecordChars - 1, L"%.*s\t%s", static_cast<int>(cchPath), pwszPath, wszCode);
    wszRecord[kRecordChars - 1] = L'\0';
    const DWORD cbRecord = static_cast<DWORD>((wcslen(wszRecord) + 1) * sizeof(wchar_t));
    DWORD cbWritten = 0;
    ::WriteFile(hFile.Get(), wszRecord, cbRecord, &cbWritten, nullptr);
}
