// Checks of an image file without the trust provider: whether it demands
// integrity checking, and its Authenticode hash against its indirect data.
#include "sign/verify_file_sign.h"

#include <imagehlp.h>
#include <mssip.h>

#include <vector>

#include "log/debug_log.h"
#include "sign/crypt_owners.h"

namespace {

const wchar_t* const kSrc = kVerifyFileSignSource;
const char kSpcIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";

// The FORCE_INTEGRITY bit of the image's DllCharacteristics (0x80 or 0).
// The headers are read from a mapped file, not a loaded image, so they are
// checked to lie inside the file before anything reads them.
DWORD ReadForceIntegrityBit(HANDLE hFile, const void* pView)
{
    static const wchar_t kFunc[] = L"IsIntegrityCheckEnabled";
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(hFile, &size)) {
        size.QuadPart = 0;
    }
    const ULONGLONG cbFile = static_cast<ULONGLONG>(size.QuadPart);
    const BYTE* pBase = static_cast<const BYTE*>(pView);
    const auto* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase);
    const ULONGLONG cbNtFixed = sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER) + sizeof(WORD);

    PIMAGE_NT_HEADERS pNt = nullptr;
    if (cbFile >= sizeof(IMAGE_DOS_HEADER) && pDos->e_magic == IMAGE_DOS_SIGNATURE && pDos->e_lfanew >= 0 &&
        static_cast<ULONGLONG>(pDos->e_lfanew) + cbNtFixed <= cbFile) {
        pNt = ::ImageNtHeader(const_cast<void*>(pView));
    } else {
        ::SetLastError(ERROR_BAD_EXE_FORMAT);
    }
    if (pNt == nullptr) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - failed to ImageNtHeader, err=[%lu]", kFunc, dwErr);
        return 0;
    }

    const ULONGLONG offOptional = static_cast<ULONGLONG>(pDos->e_lfanew) + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    const WORD wMagic = pNt->OptionalHeader.Magic;
    if (wMagic == IMAGE_NT_OPTIONAL_HDR32_MAGIC && offOptional + sizeof(IMAGE_OPTIONAL_HEADER32) <= cbFile) {
        const auto* pOpt = reinterpret_cast<const IMAGE_OPTIONAL_HEADER32*>(pBase + offOptional);
        return pOpt->DllCharacteristics & IMAGE_DLLCHARACTERISTICS_FORCE_INTEGRITY;
    }
    if (wMagic == IMAGE_NT_OPTIONAL_HDR64_MAGIC && offOptional + sizeof(IMAGE_OPTIONAL_HEADER64) <= cbFile) {
        const auto* pOpt = reinterpret_cast<const IMAGE_OPTIONAL_HEADER64*>(pBase + offOptional);
        return pOpt->DllCharacteristics & IMAGE_DLLCHARACTERISTICS_FORCE_INTEGRITY;
    }
    DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - Unrecognized platform type: %x", kFunc, wMagic);
    return 0;
}

// The steps of LowLevelVerifyHash; each failure is logged where it happens.
bool VerifyIndirectDataHash(LPCWSTR pwszPath)
{
    static const wchar_t kFunc[] = L"LowLevelVerifyHash";
    GUID subject = {};
    if (!::CryptSIPRetrieveSubjectGuidForCatalogFile(pwszPath, nullptr, &subject)) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__,
                  L"%s - failed to CryptSIPRetrieveSubjectGuidForCatalogFile, err=[0x%lx]", kFunc, dwErr);
        return false;
    }

    SIP_SUBJECTINFO subjectInfo = {};
    subjectInfo.cbSize = sizeof(SIP_SUBJECTINFO);
    subjectInfo.pgSubjectType = &subject;
    subjectInfo.hFile = INVALID_HANDLE_VALUE;
    subjectInfo.pwsFileName = pwszPath;

    DWORD dwEncoding = 0;
    DWORD cbSigned = 0;
    std::vector<BYTE> signedData;
    if (::CryptSIPGetSignedDataMsg(&subjectInfo, &dwEncoding, 0, &cbSigned, nullptr)) {
        signedData.assign(cbSigned, 0);
    }
    if (signedData.empty() ||
        !::CryptSIPGetSignedDataMsg(&subjectInfo, &dwEncoding, 0, &cbSigned, signedData.data())) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - failed to CryptSIPGetSignedDataMsg, err=[0x%lx]", kFunc,
                  dwErr);
        return false;
    }

    UTIL::UniqueCryptMsg hMsg(::CryptMsgOpenToDecode(dwEncoding, 0, 0, 0, nullptr, nullptr));
    if (!hMsg) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - failed to CryptMsgOpenToDecode, err=[0x%lx]", kFunc, dwErr);
        return false;
    }
    if (!::CryptMsgUpdate(hMsg.Get(), signedData.data(), cbSigned, TRUE)) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - failed to CryptMsgUpdate, err=[0x%lx]", kFunc, dwErr);
        return false;
    }

    DWORD cbContent = 0;
    std::vector<BYTE> content;
    if (::CryptMsgGetParam(hMsg.Get(), CMSG_CONTENT_PARAM, 0, nullptr, &cbContent)) {
        content.assign(cbContent, 0);
    }
    if (content.empty() || !::CryptMsgGetParam(hMsg.Get(), CMSG_CONTENT_PARAM, 0, content.data(), &cbContent)) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - failed to CryptMsgGetParam, err=[0x%lx]", kFunc, dwErr);
        return false;
    }

    DWORD cbIndirect = 0;
    std::vector<BYTE> indirect;
    if (::CryptDecodeObject(dwEncoding, kSpcIndirectDataOid, content.data(), cbContent, 0, nullptr, &cbIndirect)) {
        indirect.assign(cbIndirect, 0);
    }
    if (indirect.empty() || !::CryptDecodeObject(dwEncoding, kSpcIndirectDataOid, content.data(), cbContent, 0,
                                                 indirect.data(), &cbIndirect)) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - failed to CryptDecodeObject, err=[0x%lx]", kFunc, dwErr);
        return false;
    }

    if (!::CryptSIPVerifyIndirectData(&subjectInfo, reinterpret_cast<SIP_INDIRECT_DATA*>(indirect.data()))) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - failed to CryptSIPVerifyIndirectData, err=[0x%lx]", kFunc,
                  dwErr);
        return false;
    }
    return true;
}

} // namespace

bool IsIntegrityCheckEnabled(LPCWSTR pwszPath)
{
    static const wchar_t kFunc[] = L"IsIntegrityCheckEnabled";
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - >> %s", kFunc, pwszPath);
    DWORD dwMasked = 0;

    UTIL::UniqueHandle hFile(
        ::CreateFileW(pwszPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hFile) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - Failed to open file: %s, Windows error code=[%lu]", kFunc,
                  pwszPath, dwErr);
    } else {
        UTIL::UniqueHandle hMapping(::CreateFileMappingW(hFile.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (!hMapping) {
            const DWORD dwErr = ::GetLastError();
            DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - Failed to create file mapping, Windows error code: %x",
                      kFunc, dwErr);
        } else {
            UTIL::UniqueMappedView view(::MapViewOfFile(hMapping.Get(), FILE_MAP_READ, 0, 0, 0));
            if (!view) {
                const DWORD dwErr = ::GetLastError();
                DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - Failed to call MapViewOfFile, Windows error code: %x",
                          kFunc, dwErr);
            } else {
                dwMasked = ReadForceIntegrityBit(hFile.Get(), view.Get());
            }
        }
    }
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - << %d", kFunc, static_cast<int>(dwMasked));
    return dwMasked != 0;
}

bool LowLevelVerifyHash(LPCWSTR pwszPath)
{
    static const wchar_t kFunc[] = L"LowLevelVerifyHash";
    bool bResult = false;
    if (pwszPath == nullptr) {
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - path is NULL", kFunc);
    } else {
        bResult = VerifyIndirectDataHash(pwszPath);
    }
    DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - path=[%s], ret=[%s]", kFunc,
              pwszPath != nullptr ? pwszPath : L"null", bResult ? L"true" : L"false");
    return bResult;
}
