// Catalog checks: a file whose embedded signature fails may still pass when a
// system catalog signed by one of the platform's signers lists its hash.
#include "sign/signature_manager.h"

#include <softpub.h>

#include <cstdio>
#include <vector>

#include "log/debug_log.h"

namespace {

const wchar_t* const kSrc = kSignatureManagerSource;
const LONG kTrustNoSignature = static_cast<LONG>(0x800B0100);

GUID DriverActionVerify()
{
    GUID guid = DRIVER_ACTION_VERIFY;
    return guid;
}

std::wstring HexUpper(const std::vector<BYTE>& bytes)
{
    std::wstring text;
    text.reserve(bytes.size() * 2);
    for (BYTE b : bytes) {
        wchar_t wsz[3] = {};
        _snwprintf(wsz, 2, L"%02X", b);
        text.append(wsz, 2);
    }
    return text;
}

// Releases a catalog administrator context through the table in use.
struct CatAdminTraits {
    using type = HCATADMIN;
    static type Invalid() noexcept { return nullptr; }
    static bool IsValid(type h) noexcept { return h != nullptr; }
    static void Close(type h) noexcept { GetTrustProvider().pfnCryptCATAdminReleaseContext(h, 0); }
};
using UniqueCatAdmin = UTIL::UniqueResource<CatAdminTraits>;

// Finds the catalog that lists the hash; false (error kept) when there is none.
bool FindCatalog(LPCWSTR pwszFunc, HCATADMIN hCatAdmin, std::vector<BYTE>& hash, CATALOG_INFO& catalogInfo,
                 DWORD& dwErr)
{
    const TrustProviderTable& api = GetTrustProvider();
    HCATINFO hCatInfo =
        api.pfnCryptCATAdminEnumCatalogFromHash(hCatAdmin, hash.data(), static_cast<DWORD>(hash.size()), 0, nullptr);
    if (hCatInfo == nullptr) {
        dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to call CryptCATAdminEnumCatalogFromHash(), err=%d",
                  pwszFunc, dwErr);
        return false;
    }
    catalogInfo = {};
    catalogInfo.cbStruct = sizeof(CATALOG_INFO);
    const BOOL bInfo = api.pfnCryptCATCatalogInfoFromContext(hCatInfo, &catalogInfo, 0);
    dwErr = bInfo ? ERROR_SUCCESS : ::GetLastError();
    api.pfnCryptCATAdminReleaseCatalogContext(hCatAdmin, hCatInfo, 0);
    if (!bInfo) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to call CryptCATCatalogInfoFromContext(), err=%d",
                  pwszFunc, dwErr);
        return false;
    }
    catalogInfo.wszCatalogFile[MAX_PATH - 1] = L'\0';
    return true;
}

// Hash size first, then the hash. Some providers answer the size query with
// success, others with ERROR_INSUFFICIENT_BUFFER; both give the size.
template <typename Calc>
std::vector<BYTE> CalcHash(LPCWSTR pwszFunc, LPCWSTR pwszCall, Calc calc)
{
    DWORD cbHash = 0;
    if (!calc(&cbHash, nullptr)) {
        const DWORD dwErr = ::GetLastError();
        if (dwErr != ERROR_INSUFFICIENT_BUFFER || cbHash == 0) {
            DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to call %s(), err=%d", pwszFunc, pwszCall, dwErr);
            ::SetLastError(dwErr);
            return std::vector<BYTE>();
        }
    }
    std::vector<BYTE> hash(cbHash, 0);
    if (cbHash == 0 || !calc(&cbHash, hash.data())) {
        const DWORD dwErr = cbHash == 0 ? ERROR_INVALID_DATA : ::GetLastError();
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to call %s(), err=%d", pwszFunc, pwszCall, dwErr);
        ::SetLastError(dwErr);
        return std::vector<BYTE>();
    }
    hash.resize(cbHash);
    return hash;
}

} // namespace

DWORD CQgdDigitalSignatureManagerEx::VerifyByMSCatalogSingleSign(LPCWSTR pwszFile)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::VerifyByMSCatalogSingleSign";
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - >>> try to verify file=%s", kFunc, pwszFile);
    const TrustProviderTable& api = GetTrustProvider();

    UTIL::UniqueHandle hFile(
        ::CreateFileW(pwszFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hFile) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to open file=%s", kFunc, pwszFile);
        return dwErr;
    }

    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - create context with algorithm=%s", kFunc, L"SHA1");
    UniqueCatAdmin hCatAdmin;
    const GUID subsystem = DriverActionVerify();
    if (!api.pfnCryptCATAdminAcquireContext(hCatAdmin.Put(), &subsystem, 0)) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to call CryptCATAdminAcquireContext(), err=%d", kFunc,
                  dwErr);
        return dwErr;
    }

    std::vector<BYTE> hash = EzCATAdminCalcHashFromFileHandle(hFile.Get());
    if (hash.empty()) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to call EzCATAdminCalcHashFromFileHandle(), err=%d",
                  kFunc, dwErr);
        return dwErr;
    }

    CATALOG_INFO catalogInfo = {};
    DWORD dwErr = ERROR_SUCCESS;
    if (!FindCatalog(kFunc, hCatAdmin.Get(), hash, catalogInfo, dwErr)) {
        return dwErr;
    }

    const std::wstring strTag = HexUpper(hash);
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - hash algorithm=%s, file hash=%s", kFunc, L"SHA1", strTag.c_str());

    WINTRUST_CATALOG_INFO catalog = {};
    catalog.cbStruct = kCatalogInfoSizeSingleSign;
    catalog.dwCatalogVersion = 0;
    catalog.pcwszCatalogFilePath = catalogInfo.wszCatalogFile;
    catalog.pcwszMemberTag = strTag.c_str();
    catalog.pcwszMemberFilePath = pwszFile;
    catalog.hMemberFile = nullptr;

    TRUST_DATA_EX data = CheckTrustData(kTrustDataSizeSingleSign, WTD_CHOICE_CATALOG);
    data.pCatalog = &catalog;
    CTrustState state(data);

    LONG lStatus = state.Verify();
    bool bValid = false;
    if (lStatus != 0) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to call WinVerifyTrust(), err=%x", kFunc, lStatus);
    } else {
        bValid = CheckSigner(kFunc, data.hWVTStateData, SIGNER_FLAG_MICROSOFT);
        if (!bValid) {
            lStatus = static_cast<LONG>(ERROR_FAILED_ISSUER_CHECK);
        }
    }

    state.Close();
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - <<<", kFunc);
    return bValid ? 0 : static_cast<DWORD>(lStatus);
}

DWORD CQgdDigitalSignatureManagerEx::VerifyByMSCatalogMutipleSign(LPCWSTR pwszFile, bool bStrongSign)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::VerifyByMSCatalogMutipleSign";
    static const wchar_t* const kAlgorithms[] = {L"SHA1", L"SHA256"};
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - >>> try to verify file=%s", kFunc, pwszFile);
    const CSingletonWinTrustHelper& helper = CSingletonWinTrustHelper::GetInstance();

    UTIL::UniqueHandle hFile(
        ::CreateFileW(pwszFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hFile) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to open file=%s", kFunc, pwszFile);
        return dwErr;
    }

    const PFN_CryptCATAdminAcquireContext2 pfnAcquireContext2 = helper.GetCryptCATAdminAcquireContext2();
    const CERT_STRONG_SIGN_PARA strongSign = StrongSignPolicy();
    const GUID subsystem = DriverActionVerify();
    LONG lCode = kTrustNoSignature;
    bool bValid = false;

    for (const wchar_t* pwszAlgorithm : kAlgorithms) {
        if (bValid) {
            break;
        }
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - create context with algorithm=%s", kFunc, pwszAlgorithm);
        UniqueCatAdmin hCatAdmin;
        if (pfnAcquireContext2 == nullptr ||
            !pfnAcquireContext2(hCatAdmin.Put(), &subsystem, pwszAlgorithm, bStrongSign ? &strongSign : nullptr, 0)) {
            const DWORD dwErr = pfnAcquireContext2 == nullptr ? ERROR_PROC_NOT_FOUND : ::GetLastError();
            DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to call CryptCATAdminAcquireContext2(), err=%d",
                      kFunc, dwErr);
            continue;
        }

        std::vector<BYTE> hash = EzCATAdminCalcHashFromFileHandle2(hCatAdmin.Get(), hFile.Get());
        if (hash.empty()) {
            const DWORD dwErr = ::GetLastError();
            DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__,
                      L"%s - failed to call EzCATAdminCalcHashFromFileHandle2(), err=%d", kFunc, dwErr);
            continue;
        }

        CATALOG_INFO catalogInfo = {};
        DWORD dwErr = ERROR_SUCCESS;
        if (!FindCatalog(kFunc, hCatAdmin.Get(), hash, catalogInfo, dwErr)) {
            continue;
        }
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - catalog file path=%s", kFunc, catalogInfo.wszCatalogFile);
        const std::wstring strTag = HexUpper(hash);
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - hash algorithm=%s, file hash=%s", kFunc, pwszAlgorithm,
                  strTag.c_str());

        TRUST_CATALOG_INFO_EX catalog = {};
        catalog.base.cbStruct = kCatalogInfoSizeMultipleSign;
        catalog.base.dwCatalogVersion = 0;
        catalog.base.pcwszCatalogFilePath = catalogInfo.wszCatalogFile;
        catalog.base.pcwszMemberTag = strTag.c_str();
        catalog.base.pcwszMemberFilePath = pwszFile;
        catalog.base.hMemberFile = nullptr;
        catalog.hCatAdmin = hCatAdmin.Get();

        CERT_STRONG_SIGN_PARA policy = strongSign;
        TRUST_SIGNATURE_SETTINGS settings = SignatureSettings(bStrongSign ? &policy : nullptr);
        TRUST_DATA_EX data = CheckTrustData(kTrustDataSizeMultipleSign, WTD_CHOICE_CATALOG);
        data.pCatalog = &catalog.base;
        data.pSignatureSettings = &settings;
        CTrustState state(data);

        LONG lStatus = state.Verify();
        const DWORD cSecondarySigs = settings.cSecondarySigs;
        for (DWORD i = 0;; ++i) {
            if (lStatus != 0) {
                DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to call WinVerifyTrust(), err=%x", kFunc,
                          lStatus);
            } else {
                bValid = CheckSigner(kFunc, data.hWVTStateData, SIGNER_FLAG_MICROSOFT);
                if (!bValid) {
                    lStatus = static_cast<LONG>(ERROR_FAILED_ISSUER_CHECK);
                }
            }
            lCode = lStatus;
            if (bValid || i + 1 > cSecondarySigs) {
                break;
            }
            state.Close();
            settings.dwIndex = i + 1;
            lStatus = state.Verify();
        }
    }

    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - <<<", kFunc);
    return bValid ? 0 : static_cast<DWORD>(lCode);
}

std::vector<BYTE> CQgdDigitalSignatureManagerEx::EzCATAdminCalcHashFromFileHandle(HANDLE hFile)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::EzCATAdminCalcHashFromFileHandle";
    if (hFile == nullptr || hFile == INVALID_HANDLE_VALUE) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - invalid function parameter", kFunc);
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return std::vector<BYTE>();
    }
    const PFN_CryptCATAdminCalcHashFromFileHandle pfnCalc = GetTrustProvider().pfnCryptCATAdminCalcHashFromFileHandle;
    return CalcHash(kFunc, L"CryptCATAdminCalcHashFromFileHandle",
                    [&](DWORD* pcb, BYTE* pb) { return pfnCalc(hFile, pcb, pb, 0) != FALSE; });
}

std::vector<BYTE> CQgdDigitalSignatureManagerEx::EzCATAdminCalcHashFromFileHandle2(HCATADMIN hCatAdmin, HANDLE hFile)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::EzCATAdminCalcHashFromFileHandle2";
    const PFN_CryptCATAdminCalcHashFromFileHandle2 pfnCalc =
        CSingletonWinTrustHelper::GetInstance().GetCryptCATAdminCalcHashFromFileHandle2();
    if (hCatAdmin == nullptr || hFile == nullptr || hFile == INVALID_HANDLE_VALUE || pfnCalc == nullptr) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - invalid function parameter", kFunc);
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return std::vector<BYTE>();
    }
    // Every algorithm hashes the file from its start.
    ::SetFilePointer(hFile, 0, nullptr, FILE_BEGIN);
    return CalcHash(kFunc, L"CryptCATAdminCalcHashFromFileHandle2",
                    [&](DWORD* pcb, BYTE* pb) { return pfnCalc(hCatAdmin, hFile, pcb, pb, 0) != FALSE; });
}
