// Signature manager: judges a file's code signature for a set of allowed
// signers through embedded signatures, certificate information and catalogs.
#include "sign/signature_manager.h"

#include <softpub.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>
#include <stdexcept>

#include "common/text_convert.h"
#include "log/debug_log.h"
#include "sign/crypt_owners.h"
#include "sign/verify_file_sign.h"

const wchar_t kSignatureManagerSource[] = L"client/libdigitalsignature/QgdDigitalSignatureManagerEx";

namespace {

const wchar_t* const kSrc = kSignatureManagerSource;

const wchar_t* const kMicrosoftSigners[] = {
    L"Microsoft Windows",
    L"Microsoft Windows Publisher",
    L"Microsoft Corporation",
    L"Microsoft Windows Component Publisher",
    L"Microsoft Windows Hardware Compatibility Publisher",
};

const char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";
const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const DWORD kProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_SAFER_FLAG | WTD_CACHE_ONLY_URL_RETRIEVAL;
const DWORD kIgnoreExpirationAndRevocation = WTPF_IGNOREEXPIRATION | WTPF_IGNOREREVOKATION;
const DWORD kChainFlags = CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
const LONG kTrustNoSignature = static_cast<LONG>(0x800B0100);
// Nested signatures inside nested signatures are walked this deep at most.
const int kMaxNestingDepth = 4;

GUID DriverActionVerify()
{
    GUID guid = DRIVER_ACTION_VERIFY;
    return guid;
}

void CloseTrustState(TRUST_DATA_EX& data)
{
    GUID action = ActionGenericVerifyV2();
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    GetTrustProvider().pfnWinVerifyTrust(TrustWindow(), &action, &data);
    data.hWVTStateData = nullptr;
}

// Trust data of an embedded or catalog check; the caller adds the file or catalog.
TRUST_DATA_EX CheckTrustData(DWORD cbStruct, DWORD dwUnionChoice)
{
    TRUST_DATA_EX data = {};
    data.cbStruct = cbStruct;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = dwUnionChoice;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = kProvFlags;
    return data;
}

// The fallback after a failed trust call: the certificate-information check of
// the multiple-signature verifier with a fresh trust data block.
bool VerifyByCertificateInformation(LPCWSTR pwszFunc, LPCWSTR pwszFile, WINTRUST_FILE_INFO& fileInfo)
{
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - try to verify by certificate information", pwszFunc);
    WINTRUST_DATA data = {};
    data.cbStruct = kTrustDataSizeSingleSign;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    data.hWVTStateData = nullptr;
    data.dwProvFlags = kProvFlags;
    const bool bValid = CVerifyFileSignV2::GetInstance()->VerifyEmbeddedSignatureByCertInfo(pwszFile, data);
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__,
              bValid ? L"%s - successfully to verify by certificate information"
                     : L"%s - failed to verify by certificate information",
              pwszFunc);
    return bValid;
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

// ---------------------------------------------------------------------------
// CSingletonWinTrustHelper

CSingletonWinTrustHelper& CSingletonWinTrustHelper::GetInstance()
{
    static CSingletonWinTrustHelper s_instance;
    return s_instance;
}

CSingletonWinTrustHelper::CSingletonWinTrustHelper()
    : m_bSupportMultipleSign(false),
      m_pfnCryptCATAdminAcquireContext2(nullptr),
      m_pfnCryptCATAdminCalcHashFromFileHandle2(nullptr)
{
    static const wchar_t kFunc[] = L"CSingletonWinTrustHelper::CSingletonWinTrustHelper";
    wchar_t wszWinTrust[MAX_PATH] = {};
    if (!BuildSystemWinTrustPath(wszWinTrust, MAX_PATH)) {
        return;
    }
    m_hWinTrust.Reset(::LoadLibraryW(wszWinTrust));
    if (!m_hWinTrust) {
        return;
    }
    // The table in use holds this library's exports unless it was replaced.
    const TrustProviderTable& api = GetTrustProvider();
    if (api.pfnCryptCATAdminAcquireContext2 != nullptr && api.pfnCryptCATAdminCalcHashFromFileHandle2 != nullptr) {
        m_pfnCryptCATAdminAcquireContext2 = api.pfnCryptCATAdminAcquireContext2;
        m_pfnCryptCATAdminCalcHashFromFileHandle2 = api.pfnCryptCATAdminCalcHashFromFileHandle2;
        m_bSupportMultipleSign = true;
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - support multiple sign platform", kFunc);
    } else {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - support single sign platform", kFunc);
        m_hWinTrust.Reset();
    }
}

// ---------------------------------------------------------------------------
// Whole-file verdicts

DigitalSignatureResult CQgdDigitalSignatureManagerEx::VerifyDigitalSignatureAndRecord(LPCWSTR pwszFile, DWORD dwFlags,
                                                                                      bool bStrongSign)
{
    const DigitalSignatureResult result = VerifyDigitalSignature(pwszFile, dwFlags, bStrongSign);
    if (!result.bValid) {
        CVerifyFileSignV2::GetInstance()->WriteDigitalSignInvalidLog(pwszFile, result.dwErrorCode);
    }
    return result;
}

DigitalSignatureResult CQgdDigitalSignatureManagerEx::VerifyDigitalSignature(LPCWSTR pwszFile, DWORD dwFlags,
                                                                             bool bStrongSign)
{
    const DigitalSignatureResult valid = {0, true};
    if (CSingletonWinTrustHelper::GetInstance().IsMultipleSignSupported()) {
        const DigitalSignatureResult result = VerifyEmbeddedSignatureMultipleSign(pwszFile, dwFlags, bStrongSign);
        if (result.bValid || (dwFlags & VERIFY_FLAG_CATALOG) == 0) {
            return result;
        }
        return VerifyByMSCatalogMutipleSign(pwszFile, bStrongSign) == 0 ? valid : result;
    }

    const DigitalSignatureResult result = VerifyEmbeddedSignatureSingleSign(pwszFile, dwFlags);
    if (result.bValid) {
        return result;
    }
    if (VerifyDigitalSignatureCertInfoFile(pwszFile, dwFlags)) {
        return valid;
    }
    if ((dwFlags & VERIFY_FLAG_CATALOG) == 0) {
        return result;
    }
    return VerifyByMSCatalogSingleSign(pwszFile) == 0 ? valid : result;
}

// ---------------------------------------------------------------------------
// Embedded signatures through the trust provider

bool CQgdDigitalSignatureManagerEx::CheckSigner(LPCWSTR pwszFunc, HANDLE hStateData, DWORD dwFlags)
{
    if (dwFlags == 0) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - find a valid digital signature and no need to check signer",
                  pwszFunc);
        return true;
    }
    const SignerSet signers = PrepareSigners(dwFlags);
    const std::wstring strSigner = GetSignerFromhWVTStateData(hStateData);
    if (VerifySignerForDigitalSignature(strSigner, signers)) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - find a valid digital signature and signer is correct",
                  pwszFunc);
        return true;
    }
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - find a valid digital signature but signer is incorrect",
              pwszFunc);
    return false;
}

DigitalSignatureResult CQgdDigitalSignatureManagerEx::VerifyEmbeddedSignatureSingleSign(LPCWSTR pwszFile, DWORD dwFlags)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::VerifyEmbeddedSignatureSingleSign";
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - >>> try to verify file=%s", kFunc, pwszFile);
    const TrustProviderTable& api = GetTrustProvider();
    WINTRUST_FILE_INFO fileInfo;
    UTIL::UniqueHandle hFile = OpenFileForTrust(pwszFile, fileInfo);

    TRUST_DATA_EX data = CheckTrustData(kTrustDataSizeSingleSign, WTD_CHOICE_FILE);
    data.pFile = &fileInfo;

    GUID action = ActionGenericVerifyV2();
    LONG lStatus = api.pfnWinVerifyTrust(TrustWindow(), &action, &data);
    const DWORD dwErr = ::GetLastError();
    bool bValid = false;
    if (lStatus == 0) {
        bValid = CheckSigner(kFunc, data.hWVTStateData, dwFlags);
        if (!bValid) {
            lStatus = static_cast<LONG>(ERROR_FAILED_ISSUER_CHECK);
        }
    } else {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to call WinVerifyTrust(), StatusVerify=%x, GetLastError=%x",
                  kFunc, lStatus, dwErr);
        bValid = VerifyByCertificateInformation(kFunc, pwszFile, fileInfo);
    }

    CloseTrustState(data);
    hFile.Reset();
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - <<<", kFunc);
    return DigitalSignatureResult{bValid ? 0 : static_cast<DWORD>(lStatus), bValid};
}

DigitalSignatureResult CQgdDigitalSignatureManagerEx::VerifyEmbeddedSignatureMultipleSign(LPCWSTR pwszFile,
                                                                                          DWORD dwFlags,
                                                                                          bool bStrongSign)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::VerifyEmbeddedSignatureMultipleSign";
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - >>> try to verify file=%s", kFunc, pwszFile);
    const TrustProviderTable& api = GetTrustProvider();
    WINTRUST_FILE_INFO fileInfo;
    UTIL::UniqueHandle hFile = OpenFileForTrust(pwszFile, fileInfo);

    CERT_STRONG_SIGN_PARA strongSign = StrongSignPolicy();
    TRUST_SIGNATURE_SETTINGS settings = SignatureSettings(bStrongSign ? &strongSign : nullptr);
    TRUST_DATA_EX data = CheckTrustData(kTrustDataSizeMultipleSign, WTD_CHOICE_FILE);
    data.pFile = &fileInfo;
    data.pSignatureSettings = &settings;

    GUID action = ActionGenericVerifyV2();
    LONG lStatus = api.pfnWinVerifyTrust(TrustWindow(), &action, &data);
    DWORD dwErr = ::GetLastError();
    const DWORD cSecondarySigs = settings.cSecondarySigs;
    bool bValid = false;
    bool bTrustCallFailed = false;

    if (lStatus == 0) {
        bValid = CheckSigner(kFunc, data.hWVTStateData, dwFlags);
        if (!bValid) {
            lStatus = static_cast<LONG>(ERROR_FAILED_ISSUER_CHECK);
        }
    } else {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to call WinVerifyTrust(), StatusVerify=%x, GetLastError=%x",
                  kFunc, lStatus, dwErr);
        bTrustCallFailed = true;
    }

    for (DWORD i = 1; !bValid && i <= cSecondarySigs; ++i) {
        CloseTrustState(data);
        settings.dwIndex = i;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        lStatus = api.pfnWinVerifyTrust(TrustWindow(), &action, &data);
        dwErr = ::GetLastError();
        if (lStatus != 0) {
            DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__,
                      L"%s - failed to call WinVerifyTrust(), StatusVerify=%x, GetLastError=%x", kFunc, lStatus, dwErr);
            bTrustCallFailed = true;
        } else {
            bValid = CheckSigner(kFunc, data.hWVTStateData, dwFlags);
            if (!bValid) {
                lStatus = static_cast<LONG>(ERROR_FAILED_ISSUER_CHECK);
            }
        }
    }

    if (!bValid && bTrustCallFailed) {
        bValid = VerifyByCertificateInformation(kFunc, pwszFile, fileInfo);
    }

    CloseTrustState(data);
    hFile.Reset();
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - <<<", kFunc);
    return DigitalSignatureResult{bValid ? 0 : static_cast<DWORD>(lStatus), bValid};
}

// ---------------------------------------------------------------------------
// System catalogs

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

    GUID action = ActionGenericVerifyV2();
    LONG lStatus = api.pfnWinVerifyTrust(TrustWindow(), &action, &data);
    bool bValid = false;
    if (lStatus != 0) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to call WinVerifyTrust(), err=%x", kFunc, lStatus);
    } else {
        bValid = CheckSigner(kFunc, data.hWVTStateData, SIGNER_FLAG_MICROSOFT);
        if (!bValid) {
            lStatus = static_cast<LONG>(ERROR_FAILED_ISSUER_CHECK);
        }
    }

    CloseTrustState(data);
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - <<<", kFunc);
    return bValid ? 0 : static_cast<DWORD>(lStatus);
}

DWORD CQgdDigitalSignatureManagerEx::VerifyByMSCatalogMutipleSign(LPCWSTR pwszFile, bool bStrongSign)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::VerifyByMSCatalogMutipleSign";
    static const wchar_t* const kAlgorithms[] = {L"SHA1", L"SHA256"};
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - >>> try to verify file=%s", kFunc, pwszFile);
    const TrustProviderTable& api = GetTrustProvider();
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
    GUID action = ActionGenericVerifyV2();
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

        LONG lStatus = api.pfnWinVerifyTrust(TrustWindow(), &action, &data);
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
            CloseTrustState(data);
            settings.dwIndex = i + 1;
            data.dwStateAction = WTD_STATEACTION_VERIFY;
            lStatus = api.pfnWinVerifyTrust(TrustWindow(), &action, &data);
        }
        CloseTrustState(data);
    }

    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - <<<", kFunc);
    return bValid ? 0 : static_cast<DWORD>(lCode);
}

// ---------------------------------------------------------------------------
// Certificate information

namespace {

// Closes what a certificate-information check queried and logs its verdict.
bool EndCertInfoCheck(const wchar_t* pwszFunc, UTIL::UniqueCertStore& hStore, UTIL::UniqueCryptMsg& hMsg, bool bResult)
{
    if (hStore) {
        ::CertCloseStore(hStore.Take(), CERT_CLOSE_STORE_CHECK_FLAG);
    }
    hMsg.Reset();
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - verify result=%d", pwszFunc, bResult ? 1 : 0);
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - <<<", pwszFunc);
    return bResult;
}

} // namespace

bool CQgdDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoFile(LPCWSTR pwszFile, DWORD dwFlags)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoFile";
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - >>>", kFunc);
    bool bResult = false;
    UTIL::UniqueCertStore hStore;
    UTIL::UniqueCryptMsg hMsg;
    try {
        if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, pwszFile, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                                CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, hStore.Put(), hMsg.Put(),
                                nullptr)) {
            const DWORD dwErr = ::GetLastError();
            DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - failed to call CryptQueryObject(), err=%d", kFunc, dwErr);
            throw std::runtime_error("failed to call CryptQueryObject() to query digital signature");
        }
        bResult = VerifyCertInfoAt(hStore.Get(), hMsg.Get(), dwFlags, 0);
    } catch (const std::exception& e) {
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - exception is thrown: %S", kFunc, e.what());
        bResult = false;
    }
    return EndCertInfoCheck(kFunc, hStore, hMsg, bResult);
}

bool CQgdDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoBlob(const CRYPT_DATA_BLOB& signature, DWORD dwFlags)
{
    return VerifyCertInfoBlobAt(signature, dwFlags, 0);
}

bool CQgdDigitalSignatureManagerEx::VerifyCertInfoBlobAt(const CRYPT_DATA_BLOB& signature, DWORD dwFlags, int nDepth)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoBlob";
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - >>>", kFunc);
    bool bResult = false;
    UTIL::UniqueCertStore hStore;
    UTIL::UniqueCryptMsg hMsg;
    try {
        CERT_BLOB blob = {signature.cbData, signature.pbData};
        if (!::CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                                CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, hStore.Put(), hMsg.Put(),
                                nullptr)) {
            throw std::runtime_error("failed to call CryptQueryObject() to query digital signature");
        }
        bResult = VerifyCertInfoAt(hStore.Get(), hMsg.Get(), dwFlags, nDepth);
    } catch (const std::exception& e) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - exception is thrown: %S", kFunc, e.what());
        bResult = false;
    }
    return EndCertInfoCheck(kFunc, hStore, hMsg, bResult);
}

namespace {

// Runs one chain policy; throws `pszCallFailure` when the call fails and, after
// logging the policy's error, `pszInvalid` when the policy rejects the chain.
void RequireChainPolicy(const TrustProviderTable& api, LPCSTR pszPolicy, PCCERT_CHAIN_CONTEXT pChain,
                        CERT_CHAIN_POLICY_PARA& para, CERT_CHAIN_POLICY_STATUS& status, const wchar_t* pwszFunc,
                        const char* pszCallFailure, const char* pszInvalid)
{
    if (!api.pfnCertVerifyCertificateChainPolicy(pszPolicy, pChain, &para, &status)) {
        throw std::runtime_error(pszCallFailure);
    }
    if (status.dwError != 0) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - CERT_CHAIN_POLICY_STATUS::dwError=[%08x]", pwszFunc,
                  status.dwError);
        throw std::runtime_error(pszInvalid);
    }
}

} // namespace

bool CQgdDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfo(HCERTSTORE hStore, HCRYPTMSG hMsg, DWORD dwFlags)
{
    return VerifyCertInfoAt(hStore, hMsg, dwFlags, 0);
}

bool CQgdDigitalSignatureManagerEx::VerifyCertInfoAt(HCERTSTORE hStore, HCRYPTMSG hMsg, DWORD dwFlags, int nDepth)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfo";
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - >>>", kFunc);
    const TrustProviderTable& api = GetTrustProvider();
    bool bValid = false;
    std::unique_ptr<BYTE[]> signerInfoBuf;
    UTIL::UniqueCertContext pCert;
    UTIL::UniqueCertChain pChain;

    try {
        signerInfoBuf = EzMsgGetParam(hMsg, CMSG_SIGNER_INFO_PARAM);
        if (!signerInfoBuf) {
            throw std::runtime_error("failed to get signer cert info");
        }
        auto* pSignerInfo = reinterpret_cast<CMSG_SIGNER_INFO*>(signerInfoBuf.get());

        CERT_INFO certInfo = {};
        certInfo.Issuer = pSignerInfo->Issuer;
        certInfo.SerialNumber = pSignerInfo->SerialNumber;
        pCert.Reset(::CertFindCertificateInStore(hStore, kEncoding, 0, CERT_FIND_SUBJECT_CERT, &certInfo, nullptr));
        if (!pCert) {
            throw std::runtime_error("failed to get cert context");
        }

        if (!::CryptMsgControl(hMsg, 0, CMSG_CTRL_VERIFY_SIGNATURE, pCert.Get()->pCertInfo)) {
            throw std::runtime_error("CryptMsgControl() indicates invalid sign");
        }

        CERT_CHAIN_PARA chainPara = {};
        chainPara.cbSize = sizeof(CERT_CHAIN_PARA);
        chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
        chainPara.RequestedUsage.Usage.cUsageIdentifier = 0;
        chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = nullptr;
        if (!::CertGetCertificateChain(HCCE_LOCAL_MACHINE, pCert.Get(), nullptr, hStore, &chainPara, kChainFlags,
                                       nullptr, pChain.Put())) {
            throw std::runtime_error("failed to call CertGetCertificateChain() to create a chain for the cert");
        }
        const CERT_TRUST_STATUS& trust = pChain.Get()->TrustStatus;
        if (trust.dwErrorStatus != CERT_TRUST_NO_ERROR && trust.dwErrorStatus != CERT_TRUST_IS_NOT_TIME_VALID) {
            DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__,
                      L"%s - CERT_TRUST_STATUS::dwErrorStatus=[%08x], CERT_TRUST_STATUS::dwInfoStatus=[%08x]", kFunc,
                      trust.dwErrorStatus, trust.dwInfoStatus);
            throw std::runtime_error("CertGetCertificateChain() indicates invalid sign");
        }

        AUTHENTICODE_EXTRA_CERT_CHAIN_POLICY_PARA extraPara = {};
        extraPara.cbSize = sizeof(AUTHENTICODE_EXTRA_CERT_CHAIN_POLICY_PARA);
        extraPara.dwRegPolicySettings = kIgnoreExpirationAndRevocation;
        extraPara.pSignerInfo = pSignerInfo;
        CERT_CHAIN_POLICY_PARA policyPara = {};
        policyPara.cbSize = sizeof(CERT_CHAIN_POLICY_PARA);
        policyPara.dwFlags = 0;
        policyPara.pvExtraPolicyPara = &extraPara;
        AUTHENTICODE_EXTRA_CERT_CHAIN_POLICY_STATUS extraStatus = {};
        extraStatus.cbSize = sizeof(AUTHENTICODE_EXTRA_CERT_CHAIN_POLICY_STATUS);
        CERT_CHAIN_POLICY_STATUS policyStatus = {};
        policyStatus.cbSize = sizeof(CERT_CHAIN_POLICY_STATUS);
        policyStatus.pvExtraPolicyStatus = &extraStatus;
        RequireChainPolicy(api, CERT_CHAIN_POLICY_AUTHENTICODE, pChain.Get(), policyPara, policyStatus, kFunc,
                           "failed to call CertVerifyCertificateChainPolicy() to verify the chain policy",
                           "CertVerifyCertificateChainPolicy() indicates invalid sign");

        AUTHENTICODE_TS_EXTRA_CERT_CHAIN_POLICY_PARA tsExtraPara = {};
        tsExtraPara.cbSize = sizeof(AUTHENTICODE_TS_EXTRA_CERT_CHAIN_POLICY_PARA);
        tsExtraPara.dwRegPolicySettings = kIgnoreExpirationAndRevocation;
        tsExtraPara.fCommercial = TRUE;
        CERT_CHAIN_POLICY_PARA tsPolicyPara = {};
        tsPolicyPara.cbSize = sizeof(CERT_CHAIN_POLICY_PARA);
        tsPolicyPara.dwFlags = 0;
        tsPolicyPara.pvExtraPolicyPara = &tsExtraPara;
        CERT_CHAIN_POLICY_STATUS tsPolicyStatus = {};
        tsPolicyStatus.cbSize = sizeof(CERT_CHAIN_POLICY_STATUS);
        RequireChainPolicy(api, CERT_CHAIN_POLICY_AUTHENTICODE_TS, pChain.Get(), tsPolicyPara, tsPolicyStatus, kFunc,
                           "failed to call CertVerifyCertificateChainPolicy() to verify the chain policy for timestamp",
                           "CertVerifyCertificateChainPolicy() indicates invalid timestamp sign");

        const std::wstring strSigner = EzCertGetSubjectName(pCert.Get());
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - signer=%s", kFunc, strSigner.c_str());
        if (dwFlags != 0) {
            bValid = VerifySignerForDigitalSignature(strSigner, PrepareSigners(dwFlags));
            DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__,
                      bValid ? L"%s - find a valid digital signature and signer is correct"
                             : L"%s - find a valid digital signature but signer is incorrect",
                      kFunc);
        } else {
            DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__,
                      L"%s - find a valid digital signature and no need to check signer", kFunc);
            bValid = true;
        }

        if (!bValid && nDepth < kMaxNestingDepth) {
            for (DWORD a = 0; !bValid && a < pSignerInfo->UnauthAttrs.cAttr; ++a) {
                const CRYPT_ATTRIBUTE& attr = pSignerInfo->UnauthAttrs.rgAttr[a];
                if (attr.pszObjId == nullptr || strcmp(attr.pszObjId, kNestedSignatureOid) != 0) {
                    continue;
                }
                for (DWORD v = 0; !bValid && v < attr.cValue; ++v) {
                    bValid = VerifyCertInfoBlobAt(attr.rgValue[v], dwFlags, nDepth + 1);
                }
            }
        }
    } catch (const std::exception& e) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - exception is thrown: %S", kFunc, e.what());
        bValid = false;
    }

    signerInfoBuf.reset();
    pCert.Reset();
    pChain.Reset();
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - verify result=%d", kFunc, bValid ? 1 : 0);
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - <<<", kFunc);
    return bValid;
}

// ---------------------------------------------------------------------------
// Signers

SignerSet CQgdDigitalSignatureManagerEx::PrepareSigners(DWORD dwFlags)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::PrepareSigners";
    SignerSet signers;
    if (dwFlags & SIGNER_FLAG_MAKER) {
        signers.insert(kMakerSignerName);
    }
    if (dwFlags & SIGNER_FLAG_MICROSOFT) {
        for (const wchar_t* pwszName : kMicrosoftSigners) {
            signers.insert(pwszName);
        }
    }
    if (signers.empty()) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - allowed signers=ALL", kFunc);
    } else {
        std::wstring strList;
        for (const std::wstring& strName : signers) {
            strList += L"[" + strName + L"],";
        }
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - allowed signers=%s", kFunc, strList.c_str());
    }
    return signers;
}

bool CQgdDigitalSignatureManagerEx::VerifySignerForDigitalSignature(const std::wstring& strSigner,
                                                                    const SignerSet& signers)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::VerifySignerForDigitalSignature";
    if (signers.empty()) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - no need to check signers, bypass", kFunc);
        return true;
    }
    if (signers.count(strSigner) != 0) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - signer=[%s] is in trusted list", kFunc, strSigner.c_str());
        return true;
    }
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - signer=[%s] is not in trusted list", kFunc, strSigner.c_str());
    return false;
}

std::wstring CQgdDigitalSignatureManagerEx::GetSignerFromhWVTStateData(HANDLE hStateData)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::GetSignerFromhWVTStateData";
    const TrustProviderTable& api = GetTrustProvider();
    CRYPT_PROVIDER_DATA* pProvData = api.pfnWTHelperProvDataFromStateData(hStateData);
    if (pProvData == nullptr) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__,
                  L"%s - failed to call WTHelperProvDataFromStateData() to get Provider Data", kFunc);
        return std::wstring();
    }
    CRYPT_PROVIDER_SGNR* pSigner = api.pfnWTHelperGetProvSignerFromChain(pProvData, 0, FALSE, 0);
    if (pSigner == nullptr) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__,
                  L"%s - failed to call WTHelperGetProvSignerFromChain() to get Provider Signer", kFunc);
        return std::wstring();
    }
    CRYPT_PROVIDER_CERT* pProvCert = api.pfnWTHelperGetProvCertFromChain(pSigner, 0);
    if (pProvCert == nullptr) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__,
                  L"%s - failed to call WTHelperGetProvCertFromChain() to get Provider Certificate", kFunc);
        return std::wstring();
    }
    if (pProvCert->pCert == nullptr) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to get Signer Certificate", kFunc);
        return std::wstring();
    }
    try {
        const std::wstring strSigner = CertSimpleDisplayName(pProvCert->pCert);
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - get signer=[%s] for the digital signature", kFunc,
                  strSigner.c_str());
        return strSigner;
    } catch (const std::exception& e) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - exception was thrown=[%s]", kFunc,
                  UTIL::AnsiToWide(e.what()).c_str());
        return std::wstring();
    }
}

// ---------------------------------------------------------------------------
// Small wrappers

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

std::unique_ptr<BYTE[]> CQgdDigitalSignatureManagerEx::EzMsgGetParam(HCRYPTMSG hMsg, DWORD dwParamType)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::EzMsgGetParam";
    if (hMsg == nullptr) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - invalid function parameter", kFunc);
        return nullptr;
    }
    DWORD cb = 0;
    if (!::CryptMsgGetParam(hMsg, dwParamType, 0, nullptr, &cb) || cb == 0) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to get dwSize by calling CryptMsgGetParam()", kFunc);
        return nullptr;
    }
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[cb]());
    if (!buffer || !::CryptMsgGetParam(hMsg, dwParamType, 0, buffer.get(), &cb)) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to call CryptMsgGetParam()", kFunc);
        return nullptr;
    }
    return buffer;
}

std::wstring CQgdDigitalSignatureManagerEx::EzCertGetSubjectName(PCCERT_CONTEXT pCert)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::EzCertGetSubjectName";
    const std::wstring strName = CertSimpleDisplayName(pCert);
    if (strName.empty()) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to get dwSize by calling CertGetNameString()", kFunc);
        return strName;
    }
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - subject name=[%s]", kFunc, strName.c_str());
    return strName;
}
