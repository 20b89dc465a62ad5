// Multiple-signature verifier: embedded signatures checked against the maker's
// trusted public keys, and the record of the last invalid signature.
#include "sign/verify_file_sign.h"

#include <imagehlp.h>
#include <mssip.h>
#include <shlwapi.h>
#include <softpub.h>

#include <cstdio>
#include <cwchar>
#include <new>

#include "log/debug_log.h"
#include "sign/crypt_owners.h"

const wchar_t kVerifyFileSignSource[] = L"server/libfileio/VerifyFileSignV2";
const wchar_t kMakerSignerName[] = L"Brontide, Inc.";
const wchar_t kInvalidSignRecordFileName[] = L"DSInvalidLogLastInfo.log";

namespace {

const wchar_t* const kSrc = kVerifyFileSignSource;

const wchar_t kZorIVA[] = L"ZorIVA.dll";
const wchar_t kZorIVANew[] = L"ZorIVA.dll.new";
const char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";
const char kSpcIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";
const LONG kTrustExplicitDistrust = static_cast<LONG>(0x800B0111);
const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

const wchar_t kRegAppPathKey[] = L"SOFTWARE\\Brontide\\FernwickNTCorp\\CurrentVersion";
const wchar_t kRegAppPathValue[] = L"Application Path";
const wchar_t kRegAppPathFolder[] = L"Misc";
const wchar_t kRegServiceInfoKey[] = L"SOFTWARE\\Brontide\\Quellguard\\service\\Information";
const wchar_t kRegServiceInfoValue[] = L"Local_Path";
const wchar_t kRegServiceInfoFolder[] = L"TEMP";

const size_t kRecordChars = 512;

using PFN_GetCertificatePublicKeyAmount = int(__cdecl*)();
using PFN_GetCertificatePublicKey = int(__cdecl*)(int nIndex, BYTE* pbKey, DWORD* pcbKey);

PublicKey KeyOf(PCCERT_CONTEXT pCert)
{
    const CRYPT_BIT_BLOB& bits = pCert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    return PublicKey(bits.pbData, bits.pbData + bits.cbData);
}

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
    : m_bSupportMultipleSign(false),
      m_pfnCryptCATAdminAcquireContext2(nullptr),
      m_pfnCryptCATAdminCalcHashFromFileHandle2(nullptr),
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
    wchar_t wszWinTrust[MAX_PATH + 1] = {};
    if (BuildSystemWinTrustPath(wszWinTrust, MAX_PATH + 1)) {
        m_hWinTrust.Reset(::LoadLibraryW(wszWinTrust));
    }
    if (m_hWinTrust) {
        // The table in use holds this library's exports unless it was replaced.
        const TrustProviderTable& api = GetTrustProvider();
        m_pfnCryptCATAdminAcquireContext2 = api.pfnCryptCATAdminAcquireContext2;
        m_pfnCryptCATAdminCalcHashFromFileHandle2 = api.pfnCryptCATAdminCalcHashFromFileHandle2;
        m_bSupportMultipleSign =
            m_pfnCryptCATAdminAcquireContext2 != nullptr && m_pfnCryptCATAdminCalcHashFromFileHandle2 != nullptr;
        if (!m_bSupportMultipleSign) {
            DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - Do not support multiple sign.", kFunc);
        }
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

    if (bHavePath && IntegrityCheckForZorIVA(wszPath)) {
        UTIL::UniqueModule hLib(::LoadLibraryW(wszPath));
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
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - << %s", kFunc, wszPath);
    return bResult;
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
    return true;
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
    return m_bSupportMultipleSign ? VerifyEmbeddedSignatureV2(pwszFile, bStrongSign)
                                  : VerifyEmbeddedSignatureV1(pwszFile);
}

TRUST_DATA_EX CVerifyFileSignV2::StoredTrustData(DWORD cbStruct, DWORD dwStateAction, WINTRUST_FILE_INFO& fileInfo) const
{
    TRUST_DATA_EX data = {};
    data.cbStruct = cbStruct;
    data.pPolicyCallbackData = m_pPolicyCallbackData;
    data.pSIPClientData = m_pSIPClientData;
    data.dwUIChoice = m_dwUIChoice;
    data.fdwRevocationChecks = m_fdwRevocationChecks;
    data.dwUnionChoice = m_dwUnionChoice;
    data.pFile = &fileInfo;
    data.dwStateAction = dwStateAction;
    data.hWVTStateData = m_hWVTStateData;
    data.pwszURLReference = nullptr;
    data.dwProvFlags = m_dwProvFlags;
    data.dwUIContext = m_dwUIContext;
    return data;
}

LONG CVerifyFileSignV2::VerifyEmbeddedSignatureV1(LPCWSTR pwszFile)
{
    static const wchar_t kFunc[] = L"CVerifyFileSignV2::VerifyEmbeddedSignatureV1";
    const TrustProviderTable& api = GetTrustProvider();
    WINTRUST_FILE_INFO fileInfo;
    UTIL::UniqueHandle hFile = OpenFileForTrust(pwszFile, fileInfo);
    TRUST_DATA_EX data = StoredTrustData(kTrustDataSizeSingleSign, WTD_STATEACTION_IGNORE, fileInfo);

    GUID action = ActionGenericVerifyV2();
    const HWND hWnd = TrustWindow();
    const LONG lResult = api.pfnWinVerifyTrust(hWnd, &action, &data);
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - WinVerifyTrust result=(0x%x)", kFunc, lResult);

    data.dwStateAction = WTD_STATEACTION_CLOSE;
    const LONG lClose = api.pfnWinVerifyTrust(hWnd, &action, &data);
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - WinVerifyTrust close state action result=(0x%x)", kFunc, lClose);
    return lResult;
}

LONG CVerifyFileSignV2::VerifyEmbeddedSignatureV2(LPCWSTR pwszFile, bool bStrongSign)
{
    static const wchar_t kFunc[] = L"CVerifyFileSignV2::VerifyEmbeddedSignatureV2";
    const TrustProviderTable& api = GetTrustProvider();
    WINTRUST_FILE_INFO fileInfo;
    UTIL::UniqueHandle hFile = OpenFileForTrust(pwszFile, fileInfo);
    CERT_STRONG_SIGN_PARA strongSign = StrongSignPolicy();
    TRUST_SIGNATURE_SETTINGS settings = SignatureSettings(bStrongSign ? &strongSign : nullptr);
    TRUST_DATA_EX data = StoredTrustData(kTrustDataSizeMultipleSign, WTD_STATEACTION_VERIFY, fileInfo);
    data.pSignatureSettings = &settings;

    GUID action = ActionGenericVerifyV2();
    const HWND hWnd = TrustWindow();
    LONG lResult = api.pfnWinVerifyTrust(hWnd, &action, &data);
    const DWORD cSecondarySigs = settings.cSecondarySigs;
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - WinVerifyTrust result=(0x%x), secondary sigs=(%d)", kFunc,
              lResult, static_cast<int>(cSecondarySigs));

    for (DWORD i = 1; lResult != 0 && i <= cSecondarySigs; ++i) {
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        const LONG lClose = api.pfnWinVerifyTrust(hWnd, &action, &data);
        if (lClose != 0) {
            DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - close WinVerifyTrust failed... ret=(0x%x)", kFunc, lClose);
            return lClose;
        }
        data.hWVTStateData = nullptr;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        settings.dwIndex = i;
        lResult = api.pfnWinVerifyTrust(hWnd, &action, &data);
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - Verify secondary signature at index %d... ret=(0x%x)", kFunc,
                  static_cast<int>(i), lResult);
    }

    data.dwStateAction = WTD_STATEACTION_CLOSE;
    const LONG lClose = api.pfnWinVerifyTrust(hWnd, &action, &data);
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
        pCert.Reset(::CertFindCertificateInStore(hStore.Get(), kEncoding, 0, CERT_FIND_SUBJECT_CERT, &certInfo, nullptr));
        if (!pCert) {
            const DWORD dwErr = ::GetLastError();
            DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__,
                      L"%s - Failed to find certificate from store, Windows error code: %x", kFunc, dwErr);
        } else if (!::CryptMsgControl(hMsg.Get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, pCert.Get()->pCertInfo)) {
            const DWORD dwErr = ::GetLastError();
            DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__,
                      L"%s - Failed to verify the primary signature, Windows error code: %x", kFunc, dwErr);
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
                    if (!VerifySecondarySignatureAndGetCertInfo(attr.rgValue[v], key)) {
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

bool CVerifyFileSignV2::VerifySecondarySignatureAndGetCertInfo(const CRYPT_ATTR_BLOB& nestedSignature, PublicKey& key)
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
                ::CertFindCertificateInStore(hStore.Get(), kEncoding, 0, CERT_FIND_SUBJECT_CERT, pCertInfo, nullptr));
            if (pCert) {
                if (!::CryptMsgControl(hMsg.Get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, pCert.Get()->pCertInfo)) {
                    const DWORD dwErr = ::GetLastError();
                    DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__,
                              L"%s - Failed to verify the secondary signature, Windows error code: %x", kFunc, dwErr);
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

void CVerifyFileSignV2::WriteDigitalSignInvalidLog(LPCWSTR pwszFile, DWORD dwErrorCode)
{
    static const wchar_t kFunc[] = L"CVerifyFileSignV2::WriteDigitalSignInvalidLog";
    wchar_t wszFolder[MAX_PATH] = {};
    {
        UTIL::UniqueRegKey hKey;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRegAppPathKey, 0, KEY_READ, hKey.Put()) == ERROR_SUCCESS) {
            const LSTATUS status = ReadFolderValue(hKey.Get(), kRegAppPathValue, wszFolder);
            if (status != ERROR_SUCCESS) {
                DebugLogW(LOG_LEVEL_INFO, kSrc, __LINE__,
                          L"%s - Failed to get registry key _REG_APP_PATH_KEY_NAME, Windows error code: %x", kFunc,
                          status);
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
    }
    if (wszFolder[0] == L'\0' || !::PathAppendW(wszFolder, kInvalidSignRecordFileName)) {
        return;
    }

    UTIL::UniqueHandle hFile(
        ::CreateFileW(wszFolder, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hFile) {
        const DWORD dwErr = ::GetLastError();
        DebugLogW(LOG_LEVEL_WARNING, kSrc, __LINE__, L"%s - Failed to open file: %s, Windows error code: %x", kFunc,
                  wszFolder, dwErr);
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

namespace {

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
