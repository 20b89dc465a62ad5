// Multiple-signature verifier: embedded signatures checked against the maker's
// trusted public keys, and the record of the last invalid signature.
#include "sign/verify_file_sign.h"

#include <shlwapi.h>
#include <softpub.h>

#include <cwchar>
#include <new>

#include "log/debug_log.h"
#include "sign/crypt_owners.h"
#include "sign/held_file.h"
#include "sign/image_digest.h"
#include "sign/signature_manager.h"

const wchar_t kVerifyFileSignSource[] = L"server/libfileio/VerifyFileSignV2";
const wchar_t kMakerSignerName[] = L"Brontide, Inc.";

namespace {

const wchar_t* const kSrc = kVerifyFileSignSource;

const wchar_t kZorIVA[] = L"ZorIVA.dll";
const wchar_t kZorIVANew[] = L"ZorIVA.dll.new";
const LONG kTrustExplicitDistrust = static_cast<LONG>(0x800B0111);

using PFN_GetCertificatePublicKeyAmount = int(__cdecl*)();
using PFN_GetCertificatePublicKey = int(__cdecl*)(int nIndex, BYTE* pbKey, DWORD* pcbKey);

PublicKey KeyOf(PCCERT_CONTEXT pCert)
{
    const CRYPT_BIT_BLOB& bits = pCert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    return PublicKey(bits.pbData, bits.pbData + bits.cbData);
}

} // namespace

std::atomic<CVerifyFileSignV2*> CVerifyFileSignV2::s_pInstance{nullptr};

CVerifyFileSignV2* CVerifyFileSignV2::GetInstance()
{
    CVerifyFileSignV2* pInstance = s_pInstance.load(std::memory_order_acquire);
    if (pInstance != nullptr) {
        return pInstance;
    }
    UTIL::CAutoSingletonLocker guard(UTIL::g_SingletonCreationLocker);
    pInstance = s_pInstance.load(std::memory_order_relaxed);
    if (pInstance == nullptr) {
        static CVerifyFileSignV2 s_instance;
        pInstance = &s_instance;
        s_pInstance.store(pInstance, std::memory_order_release);
    }
    return pInstance;
}

CVerifyFileSignV2::CVerifyFileSignV2()
    : m_trustLibrary(ProbeTrustLibrary()),
      m_pPolicyCallbackData(nullptr),
      m_pSIPClientData(nullptr),
      m_dwUIChoice(0),
      m_fdwRevocationChecks(0),
      m_dwUnionChoice(0),
      m_hWVTStateData(nullptr),
      m_dwProvFlags(0),
      m_dwUIContext(0)
{
    static const wchar_t kFunc[] = L"CVerifyFileSignV2::CVerifyFileSignV2";
    if (m_trustLibrary.hWinTrust && !m_trustLibrary.bMultipleSign) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - Do not support multiple sign.", kFunc);
    }
    LoadZorIVAAndUpdatePublicKeyList(nullptr);
}

CVerifyFileSignV2::~CVerifyFileSignV2()
{
    CAutoCriticalSectionLocker lock(m_keyListLock);
    m_publicKeys.clear();
}

bool CVerifyFileSignV2::LoadZorIVAAndUpdatePublicKeyList(LPCWSTR pwszPath)
{
    static const wchar_t kFunc[] = L"CVerifyFileSignV2::LoadZorIVAAndUpdatePublicKeyList";
    bool bResult = false;
    wchar_t wszPath[MAX_PATH + 1] = {};
    bool bHavePath = false;

    if (pwszPath != nullptr && pwszPath[0] != L'\0') {
        // A longer path would name another file once cut; it is refused.
        if (wcslen(pwszPath) <= MAX_PATH) {
            wcscpy(wszPath, pwszPath);
            bHavePath = true;
        }
    } else if (GetCurrentModulePath(wszPath, MAX_PATH) && ::PathRemoveFileSpecW(wszPath) && wszPath[0] != L'\0') {
        // Without the module's folder a bare name would go through the DLL search
        // order, so nothing is loaded then.
        wchar_t wszFolder[MAX_PATH + 1] = {};
        wcscpy(wszFolder, wszPath);
        if (::PathAppendW(wszPath, kZorIVANew) && ::PathFileExistsW(wszPath)) {
            bHavePath = true;
        } else {
            wcscpy(wszPath, wszFolder);
            bHavePath = ::PathAppendW(wszPath, kZorIVA) != FALSE;
        }
    }

    // The library is held from its check until it is loaded and unloaded again.
    // One that cannot be held is still checked, for the lines that say why, but
    // never loaded.
    CHeldFile heldFile;
    const bool bHeld = bHavePath && heldFile.Hold(wszPath);
    if (bHavePath && IntegrityCheckForZorIVA(bHeld ? heldFile.FullPath().c_str() : wszPath)) {
        UTIL::UniqueModule hLib;
        if (bHeld) {
            hLib.Reset(::LoadLibraryW(heldFile.FullPath().c_str()));
        } else {
            DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - %s could not be held while it was checked; not loaded",
                      kFunc, wszPath);
        }
        if (hLib) {
            const auto pfnAmount = reinterpret_cast<PFN_GetCertificatePublicKeyAmount>(
                reinterpret_cast<void*>(::GetProcAddress(hLib.Get(), "GetCertificatePublicKeyAmount")));
            const auto pfnKey = reinterpret_cast<PFN_GetCertificatePublicKey>(
                reinterpret_cast<void*>(::GetProcAddress(hLib.Get(), "GetCertificatePublicKey")));
            if (pfnAmount == nullptr || pfnKey == nullptr) {
                DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - Function not found", kFunc);
            } else {
                bResult = true;
                DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - Load ZorIVA successfully", kFunc);
                CAutoCriticalSectionLocker lock(m_keyListLock);
                const int nKeys = pfnAmount();
                for (int i = 0; i < nKeys; ++i) {
                    DWORD cbKey = 0;
                    if (!pfnKey(i, nullptr, &cbKey) || cbKey == 0) {
                        continue;
                    }
                    std::unique_ptr<BYTE[]> key(new (std::nothrow) BYTE[cbKey]());
                    if (!key) {
                        continue;
                    }
                    DWORD cbFilled = cbKey;
                    if (pfnKey(i, key.get(), &cbFilled)) {
                        const DWORD cbUsed = cbFilled < cbKey ? cbFilled : cbKey;
                        m_publicKeys.insert(PublicKey(key.get(), key.get() + cbUsed));
                    }
                }
                DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - Total keys loaded: %d", kFunc,
                          static_cast<int>(m_publicKeys.size()));
            }
        }
    }
    {
        CAutoCriticalSectionLocker lock(m_keyListLock);
        m_keyListPath = wszPath;
        m_bKeyListAccepted = m_bKeyListAccepted || bResult;
    }
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - << %s", kFunc, wszPath);
    return bResult;
}

KeyListStatus CVerifyFileSignV2::GetKeyListStatus()
{
    CAutoCriticalSectionLocker lock(m_keyListLock);
    KeyListStatus status;
    status.path = m_keyListPath;
    status.bAccepted = m_bKeyListAccepted;
    status.cKeys = m_publicKeys.size();
    return status;
}

bool CVerifyFileSignV2::IntegrityCheckForZorIVA(LPCWSTR pwszPath)
{
    static const wchar_t kFunc[] = L"CVerifyFileSignV2::IntegrityCheckForZorIVA";
    if (!IsIntegrityCheckEnabled(pwszPath)) {
        return false;
    }
    PublicKey primaryKey;
    std::wstring strSigner;
    std::vector<PublicKey> secondaryKeys;
    if (!VerifySignatureAndGetCertInfo(pwszPath, primaryKey, strSigner, secondaryKeys)) {
        return false;
    }
    if (_wcsicmp(strSigner.c_str(), kMakerSignerName) != 0) {
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - Invalid issuer: %s", kFunc, strSigner.c_str());
        return false;
    }
    // The key list decides which other signatures count, so its own signature
    // must pass the trust provider in full (chain, root and policy), not the
    // key-list check it feeds.
    const LONG lStatus = VerifyPrimaryByTrustProvider(pwszPath);
    if (lStatus != 0) {
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - The trust provider refused the signature, error code: %x",
                  kFunc, lStatus);
        return false;
    }
    return true;
}

LONG CVerifyFileSignV2::VerifyPrimaryByTrustProvider(LPCWSTR pwszPath)
{
    WINTRUST_FILE_INFO fileInfo;
    UTIL::UniqueHandle hFile = OpenFileForTrust(pwszPath, fileInfo);
    TRUST_DATA_EX data = CheckTrustData(kTrustDataSizeSingleSign, WTD_CHOICE_FILE);
    data.pFile = &fileInfo;
    CTrustState state(data);
    LONG lStatus = state.Verify();
    if (lStatus == 0 &&
        _wcsicmp(CQgdDigitalSignatureManagerEx::GetSignerFromhWVTStateData(data.hWVTStateData).c_str(),
                 kMakerSignerName) != 0) {
        lStatus = static_cast<LONG>(ERROR_FAILED_ISSUER_CHECK);
    }
    return lStatus;
}

bool CVerifyFileSignV2::VerifyEmbeddedSignatureByCertInfo(LPCWSTR pwszFile, WINTRUST_DATA& trustData)
{
    static const wchar_t kFunc[] = L"CVerifyFileSignV2::VerifyEmbeddedSignatureByCertInfo";
    trustData.dwProvFlags = WTD_HASH_ONLY_FLAG;
    const LONG lStatus = VerifyEmbeddedSignature(pwszFile, trustData, false);
    if (lStatus != 0 && !(lStatus == kTrustExplicitDistrust && LowLevelVerifyHash(pwszFile))) {
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - The file hash doesn't match the file signature, error code: %x",
                  kFunc, lStatus);
        return false;
    }

    PublicKey primaryKey;
    std::wstring strSigner;
    std::vector<PublicKey> secondaryKeys;
    if (!VerifySignatureAndGetCertInfo(pwszFile, primaryKey, strSigner, secondaryKeys)) {
        return false;
    }
    return IsTrustedKey(primaryKey, secondaryKeys);
}

bool CVerifyFileSignV2::IsTrustedKey(const PublicKey& primaryKey, const std::vector<PublicKey>& secondaryKeys)
{
    static const wchar_t kFunc[] = L"CVerifyFileSignV2::VerifyEmbeddedSignatureByCertInfo";
    CAutoCriticalSectionLocker lock(m_keyListLock);
    const bool bPrimary = m_publicKeys.count(primaryKey) != 0;
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - Primary signature verified: %d", kFunc, bPrimary ? 1 : 0);
    if (bPrimary) {
        return true;
    }
    if (secondaryKeys.empty()) {
        return false;
    }
    bool bSecondary = false;
    for (const PublicKey& key : secondaryKeys) {
        if (m_publicKeys.count(key) != 0) {
            bSecondary = true;
            break;
        }
    }
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - Secondary signature verified: %d", kFunc, bSecondary ? 1 : 0);
    return bSecondary;
}

LONG CVerifyFileSignV2::VerifyEmbeddedSignature(LPCWSTR pwszFile, const WINTRUST_DATA& trustData, bool bStrongSign)
{
    CAutoCriticalSectionLocker lock(m_trustParamLock);
    m_pPolicyCallbackData = trustData.pPolicyCallbackData;
    m_pSIPClientData = trustData.pSIPClientData;
    m_dwUIChoice = trustData.dwUIChoice;
    m_fdwRevocationChecks = trustData.fdwRevocationChecks;
    m_dwUnionChoice = trustData.dwUnionChoice;
    m_hWVTStateData = trustData.hWVTStateData;
    m_dwProvFlags = trustData.dwProvFlags;
    m_dwUIContext = trustData.dwUIContext;
    return m_trustLibrary.bMultipleSign ? VerifyEmbeddedSignatureV2(pwszFile, bStrongSign)
                                  : VerifyEmbeddedSignatureV1(pwszFile);
}

TRUST_DATA_EX CVerifyFileSignV2::StoredTrustData(DWORD cbStruct, WINTRUST_FILE_INFO& fileInfo) const
{
    TRUST_DATA_EX data = {};
    data.cbStruct = cbStruct;
    data.pPolicyCallbackData = m_pPolicyCallbackData;
    data.pSIPClientData = m_pSIPClientData;
    data.dwUIChoice = m_dwUIChoice;
    data.fdwRevocationChecks = m_fdwRevocationChecks;
    data.dwUnionChoice = m_dwUnionChoice;
    data.pFile = &fileInfo;
    data.hWVTStateData = m_hWVTStateData;
    data.pwszURLReference = nullptr;
    data.dwProvFlags = m_dwProvFlags;
    data.dwUIContext = m_dwUIContext;
    return data;
}

LONG CVerifyFileSignV2::VerifyEmbeddedSignatureV1(LPCWSTR pwszFile)
{
    static const wchar_t kFunc[] = L"CVerifyFileSignV2::VerifyEmbeddedSignatureV1";
    WINTRUST_FILE_INFO fileInfo;
    UTIL::UniqueHandle hFile = OpenFileForTrust(pwszFile, fileInfo);
    TRUST_DATA_EX data = StoredTrustData(kTrustDataSizeSingleSign, fileInfo);
    CTrustState state(data);

    const LONG lResult = state.Verify(WTD_STATEACTION_IGNORE);
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - WinVerifyTrust result=(0x%x)", kFunc, lResult);
    const LONG lClose = state.Close();
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - WinVerifyTrust close state action result=(0x%x)", kFunc, lClose);
    return lResult;
}

LONG CVerifyFileSignV2::VerifyEmbeddedSignatureV2(LPCWSTR pwszFile, bool bStrongSign)
{
    static const wchar_t kFunc[] = L"CVerifyFileSignV2::VerifyEmbeddedSignatureV2";
    WINTRUST_FILE_INFO fileInfo;
    UTIL::UniqueHandle hFile = OpenFileForTrust(pwszFile, fileInfo);
    CERT_STRONG_SIGN_PARA strongSign = StrongSignPolicy();
    TRUST_SIGNATURE_SETTINGS settings = SignatureSettings(bStrongSign ? &strongSign : nullptr);
    TRUST_DATA_EX data = StoredTrustData(kTrustDataSizeMultipleSign, fileInfo);
    data.pSignatureSettings = &settings;
    CTrustState state(data);

    LONG lResult = state.Verify();
    const DWORD cSecondarySigs = settings.cSecondarySigs;
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - WinVerifyTrust result=(0x%x), secondary sigs=(%d)", kFunc,
              lResult, static_cast<int>(cSecondarySigs));

    for (DWORD i = 1; lResult != 0 && i <= cSecondarySigs; ++i) {
        const LONG lClose = state.Close();
        if (lClose != 0) {
            DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - close WinVerifyTrust failed... ret=(0x%x)", kFunc, lClose);
            return lClose;
        }
        settings.dwIndex = i;
        lResult = state.Verify();
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - Verify secondary signature at index %d... ret=(0x%x)", kFunc,
                  static_cast<int>(i), lResult);
    }

    const LONG lClose = state.Close();
    if (lClose != 0) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - close WinVerifyTrust failed... ret=(0x%x)", kFunc, lClose);
    }
    return lResult;
}

bool CVerifyFileSignV2::VerifySignatureAndGetCertInfo(LPCWSTR pwszFile, PublicKey& primaryKey, std::wstring& strSigner,
                                                      std::vector<PublicKey>& secondaryKeys)
{
    static const wchar_t kFunc[] = L"CVerifyFileSignV2::VerifySignatureAndGetCertInfo";
    bool bResult = false;
    UTIL::UniqueCertStore hStore;
    UTIL::UniqueCryptMsg hMsg;
    std::unique_ptr<BYTE[]> signerInfoBuf;
    UTIL::UniqueCertContext pCert;
    CImageDigests image(pwszFile);

    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, pwszFile, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, hStore.Put(), hMsg.Put(),
                            nullptr)) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - Failed to call CryptQueryObject, Windows error code: %x", kFunc,
                  dwErr);
    } else if ((signerInfoBuf = GetInfoFromMsg(hMsg.Get(), CMSG_SIGNER_INFO_PARAM)) != nullptr) {
        const auto* pSignerInfo = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfoBuf.get());
        CERT_INFO certInfo = {};
        certInfo.Issuer = pSignerInfo->Issuer;
        certInfo.SerialNumber = pSignerInfo->SerialNumber;
        pCert.Reset(::CertFindCertificateInStore(hStore.Get(), kMessageEncoding, 0, CERT_FIND_SUBJECT_CERT, &certInfo, nullptr));
        if (!pCert) {
            const DWORD dwErr = ::GetLastError();
            DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__,
                      L"%s - Failed to find certificate from store, Windows error code: %x", kFunc, dwErr);
        } else if (!::CryptMsgControl(hMsg.Get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, pCert.Get()->pCertInfo)) {
            const DWORD dwErr = ::GetLastError();
            DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__,
                      L"%s - Failed to verify the primary signature, Windows error code: %x", kFunc, dwErr);
        } else if (!image.SignedBy(hMsg.Get())) {
            DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__,
                      L"%s - The primary signature does not sign this file: its signed digest does not match", kFunc);
        } else {
            bResult = true;
            primaryKey = KeyOf(pCert.Get());
            strSigner = CertSimpleDisplayName(pCert.Get());
            for (DWORD a = 0; a < pSignerInfo->UnauthAttrs.cAttr; ++a) {
                const CRYPT_ATTRIBUTE& attr = pSignerInfo->UnauthAttrs.rgAttr[a];
                if (attr.pszObjId == nullptr || _stricmp(attr.pszObjId, kNestedSignatureOid) != 0) {
                    continue;
                }
                for (DWORD v = 0; v < attr.cValue; ++v) {
                    PublicKey key;
                    if (!VerifySecondarySignatureAndGetCertInfo(attr.rgValue[v], key, &image)) {
                        bResult = false;
                        break;
                    }
                    secondaryKeys.push_back(key);
                }
            }
        }
    }
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - << %d", kFunc, bResult ? 1 : 0);
    return bResult;
}

bool CVerifyFileSignV2::VerifySecondarySignatureAndGetCertInfo(const CRYPT_ATTR_BLOB& nestedSignature, PublicKey& key,
                                                               CImageDigests* pImage)
{
    static const wchar_t kFunc[] = L"CVerifyFileSignV2::VerifySecondarySignatureAndGetCertInfo";
    bool bResult = false;
    UTIL::UniqueCertStore hStore;
    UTIL::UniqueCryptMsg hMsg;
    CERT_BLOB blob = {nestedSignature.cbData, nestedSignature.pbData};

    if (::CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                           CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, hStore.Put(), hMsg.Put(),
                           nullptr)) {
        std::unique_ptr<BYTE[]> certInfoBuf = GetInfoFromMsg(hMsg.Get(), CMSG_SIGNER_CERT_INFO_PARAM);
        if (certInfoBuf) {
            const auto* pCertInfo = reinterpret_cast<const CERT_INFO*>(certInfoBuf.get());
            UTIL::UniqueCertContext pCert(
                ::CertFindCertificateInStore(hStore.Get(), kMessageEncoding, 0, CERT_FIND_SUBJECT_CERT, pCertInfo, nullptr));
            if (pCert) {
                if (!::CryptMsgControl(hMsg.Get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, pCert.Get()->pCertInfo)) {
                    const DWORD dwErr = ::GetLastError();
                    DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__,
                              L"%s - Failed to verify the secondary signature, Windows error code: %x", kFunc, dwErr);
                } else if (pImage != nullptr && !pImage->SignedBy(hMsg.Get())) {
                    DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__,
                              L"%s - The nested signature does not sign this file: its signed digest does not match",
                              kFunc);
                } else {
                    key = KeyOf(pCert.Get());
                    bResult = true;
                }
            }
        }
    }
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - << %d", kFunc, bResult ? 1 : 0);
    return bResult;
}

std::unique_ptr<BYTE[]> CVerifyFileSignV2::GetInfoFromMsg(HCRYPTMSG hMsg, DWORD dwParamType)
{
    static const wchar_t kFunc[] = L"CVerifyFileSignV2::GetInfoFromMsg";
    std::unique_ptr<BYTE[]> buffer;
    DWORD cb = 0;
    if (!::CryptMsgGetParam(hMsg, dwParamType, 0, nullptr, &cb)) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - Failed to get required buffer size, Windows error code: %x",
                  kFunc, dwErr);
    } else {
        buffer.reset(new (std::nothrow) BYTE[cb ? cb : 1]());
        if (!buffer) {
            DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - Failed to allocate buffer", kFunc);
        } else if (!::CryptMsgGetParam(hMsg, dwParamType, 0, buffer.get(), &cb)) {
            const DWORD dwErr = ::GetLastError();
            DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - Failed to retrieve required info, Windows error code: %x",
                      kFunc, dwErr);
            buffer.reset();
        }
    }
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - << %d", kFunc, buffer ? 1 : 0);
    return buffer;
}

bool GetCurrentModulePath(LPWSTR pwszPath, DWORD cchPath)
{
    static const wchar_t kFunc[] = L"GetCurrentModulePath";
    HMODULE hModule = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&GetCurrentModulePath), &hModule)) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - Failed to get module handle, Windows error code: %x", kFunc,
                  dwErr);
        return false;
    }
    const DWORD cch = ::GetModuleFileNameW(hModule, pwszPath, cchPath);
    if (cch == 0 || cch >= cchPath) {
        const DWORD dwErr = cch == 0 ? ::GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        if (cchPath > 0) {
            pwszPath[0] = L'\0';
        }
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - Failed to get module file name, Windows error code: %x", kFunc,
                  dwErr);
        return false;
    }
    return true;
}
