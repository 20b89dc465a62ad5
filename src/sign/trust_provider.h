// The one table through which the signature checks reach the platform's trust
// provider, catalog administrator and certificate chain policies.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mscat.h>

#include <cstddef>
#include <string>
#include <vector>

#include "common/unique_resource.h"

// Signature settings and the trust data that carries them (the layouts of the
// Windows 8 SDK, declared here so that older headers build them too).
struct TRUST_SIGNATURE_SETTINGS {
    DWORD cbStruct;
    DWORD dwIndex;
    DWORD dwFlags;
    DWORD cSecondarySigs;
    DWORD dwVerifiedSigIndex;
    CERT_STRONG_SIGN_PARA* pCryptoPolicy;
};

struct TRUST_DATA_EX {
    DWORD cbStruct;
    LPVOID pPolicyCallbackData;
    LPVOID pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    union {
        WINTRUST_FILE_INFO* pFile;
        WINTRUST_CATALOG_INFO* pCatalog;
    };
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    WCHAR* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
    TRUST_SIGNATURE_SETTINGS* pSignatureSettings;
};

struct TRUST_CATALOG_INFO_EX {
    WINTRUST_CATALOG_INFO base;
    HCATADMIN hCatAdmin;
};

#ifndef WSS_VERIFY_SPECIFIC
#define WSS_VERIFY_SPECIFIC 0x00000001
#define WSS_GET_SECONDARY_SIG_COUNT 0x00000002
#endif

// Sizes the trust provider tells the two layouts apart by.
const DWORD kTrustDataSizeSingleSign = offsetof(TRUST_DATA_EX, pSignatureSettings);
const DWORD kTrustDataSizeMultipleSign = sizeof(TRUST_DATA_EX);
const DWORD kCatalogInfoSizeSingleSign = sizeof(WINTRUST_CATALOG_INFO);
const DWORD kCatalogInfoSizeMultipleSign = sizeof(TRUST_CATALOG_INFO_EX);

#if !defined(_WIN64)
static_assert(kTrustDataSizeSingleSign == 48 && kTrustDataSizeMultipleSign == 52, "WINTRUST_DATA layout");
static_assert(sizeof(TRUST_SIGNATURE_SETTINGS) == 24, "WINTRUST_SIGNATURE_SETTINGS layout");
static_assert(kCatalogInfoSizeSingleSign == 36 && kCatalogInfoSizeMultipleSign == 40, "WINTRUST_CATALOG_INFO layout");
static_assert(sizeof(WINTRUST_FILE_INFO) == 16 && sizeof(CATALOG_INFO) == 524, "file and catalog info layout");
#endif

using PFN_WinVerifyTrust = LONG(WINAPI*)(HWND, GUID*, LPVOID);
using PFN_WTHelperProvDataFromStateData = CRYPT_PROVIDER_DATA*(WINAPI*)(HANDLE);
using PFN_WTHelperGetProvSignerFromChain = CRYPT_PROVIDER_SGNR*(WINAPI*)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);
using PFN_WTHelperGetProvCertFromChain = CRYPT_PROVIDER_CERT*(WINAPI*)(CRYPT_PROVIDER_SGNR*, DWORD);
using PFN_CryptCATAdminAcquireContext = BOOL(WINAPI*)(HCATADMIN*, const GUID*, DWORD);
using PFN_CryptCATAdminAcquireContext2 = BOOL(WINAPI*)(HCATADMIN*, const GUID*, const WCHAR*,
                                                       const CERT_STRONG_SIGN_PARA*, DWORD);
using PFN_CryptCATAdminCalcHashFromFileHandle = BOOL(WINAPI*)(HANDLE, DWORD*, BYTE*, DWORD);
using PFN_CryptCATAdminCalcHashFromFileHandle2 = BOOL(WINAPI*)(HCATADMIN, HANDLE, DWORD*, BYTE*, DWORD);
using PFN_CryptCATAdminEnumCatalogFromHash = HCATINFO(WINAPI*)(HCATADMIN, BYTE*, DWORD, DWORD, HCATINFO*);
using PFN_CryptCATCatalogInfoFromContext = BOOL(WINAPI*)(HCATINFO, CATALOG_INFO*, DWORD);
using PFN_CryptCATAdminReleaseCatalogContext = BOOL(WINAPI*)(HCATADMIN, HCATINFO, DWORD);
using PFN_CryptCATAdminReleaseContext = BOOL(WINAPI*)(HCATADMIN, DWORD);
using PFN_CertVerifyCertificateChainPolicy = BOOL(WINAPI*)(LPCSTR, PCCERT_CHAIN_CONTEXT, PCERT_CHAIN_POLICY_PARA,
                                                           PCERT_CHAIN_POLICY_STATUS);

struct TrustProviderTable {
    PFN_WinVerifyTrust pfnWinVerifyTrust;
    PFN_WTHelperProvDataFromStateData pfnWTHelperProvDataFromStateData;
    PFN_WTHelperGetProvSignerFromChain pfnWTHelperGetProvSignerFromChain;
    PFN_WTHelperGetProvCertFromChain pfnWTHelperGetProvCertFromChain;
    PFN_CryptCATAdminAcquireContext pfnCryptCATAdminAcquireContext;
    PFN_CryptCATAdminAcquireContext2 pfnCryptCATAdminAcquireContext2; // null where the platform lacks it
    PFN_CryptCATAdminCalcHashFromFileHandle pfnCryptCATAdminCalcHashFromFileHandle;
    PFN_CryptCATAdminCalcHashFromFileHandle2 pfnCryptCATAdminCalcHashFromFileHandle2; // null where lacking
    PFN_CryptCATAdminEnumCatalogFromHash pfnCryptCATAdminEnumCatalogFromHash;
    PFN_CryptCATCatalogInfoFromContext pfnCryptCATCatalogInfoFromContext;
    PFN_CryptCATAdminReleaseCatalogContext pfnCryptCATAdminReleaseCatalogContext;
    PFN_CryptCATAdminReleaseContext pfnCryptCATAdminReleaseContext;
    PFN_CertVerifyCertificateChainPolicy pfnCertVerifyCertificateChainPolicy;
};

// The platform's entries: WinTrust.dll of the system folder and crypt32; the
// two "2" entries are null where WinTrust.dll does not export them.
const TrustProviderTable& GetPlatformTrustProvider();

// The table in use: the platform's unless replaced.
const TrustProviderTable& GetTrustProvider();

// Routes every later call through `pTable` (null: back to the platform's) and
// returns the table replaced (null when it was the platform's). The table must
// outlive its use. The singletons take their capability from the table in use
// when they are created.
const TrustProviderTable* SetTrustProvider(const TrustProviderTable* pTable);

// Both "2" entries present: the trust library verifies several signatures per file.
inline bool SupportsMultipleSign(const TrustProviderTable& table)
{
    return table.pfnCryptCATAdminAcquireContext2 != nullptr && table.pfnCryptCATAdminCalcHashFromFileHandle2 != nullptr;
}

// "<system folder>\WinTrust.dll"; empty when the system folder is unknown or too long.
bool BuildSystemWinTrustPath(wchar_t* pwszPath, size_t cchPath);

// The system folder's WinTrust.dll, held loaded, and the capability of the
// trust library in use: the "2" entries and whether it verifies several
// signatures per file. Every holder takes it from this one probe.
struct TrustLibrary {
    UTIL::UniqueModule hWinTrust;
    PFN_CryptCATAdminAcquireContext2 pfnCryptCATAdminAcquireContext2 = nullptr;
    PFN_CryptCATAdminCalcHashFromFileHandle2 pfnCryptCATAdminCalcHashFromFileHandle2 = nullptr;
    bool bMultipleSign = false;
};
// Loads WinTrust.dll of the system folder and reads the capability from the
// table in use; a library that cannot be loaded leaves everything empty.
TrustLibrary ProbeTrustLibrary();

// Pieces every trust-provider check fills the same way.
GUID ActionGenericVerifyV2();

// Object identifier of a nested signature (an unauthenticated attribute).
extern const char kNestedSignatureOid[];
// Encodings of certificates and signature messages.
const DWORD kMessageEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// Provider flags of the manager's checks: no revocation checks, SAFER, cached URLs only.
const DWORD kCheckProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_SAFER_FLAG | WTD_CACHE_ONLY_URL_RETRIEVAL;

// Trust data of an embedded or catalog check of the manager; the caller adds
// the file or catalog.
TRUST_DATA_EX CheckTrustData(DWORD cbStruct, DWORD dwUnionChoice);

// Owns the provider state of one trust data block: a verify call opens it, and
// WTD_STATEACTION_CLOSE is sent on the same data when it is closed or when the
// owner goes, whatever path the check took.
class CTrustState {
public:
    explicit CTrustState(TRUST_DATA_EX& data) : m_data(data) {}
    ~CTrustState();
    CTrustState(const CTrustState&) = delete;
    CTrustState& operator=(const CTrustState&) = delete;

    // Calls the trust provider with this state action; the provider's last
    // error is left for the caller.
    LONG Verify(DWORD dwStateAction = WTD_STATEACTION_VERIFY);
    // Closes the state opened by the last Verify and returns the close call's
    // result; 0 without a call when nothing is open.
    LONG Close();

private:
    TRUST_DATA_EX& m_data;
    bool m_bOpen = false;
};

// No window: the provider shows no user interface.
inline HWND TrustWindow()
{
    return static_cast<HWND>(INVALID_HANDLE_VALUE);
}

// Opens the file to verify (read, every sharing mode); the file information
// carries the handle, or the path when the file could not be opened.
UTIL::UniqueHandle OpenFileForTrust(LPCWSTR pwszFile, WINTRUST_FILE_INFO& fileInfo);

// Opens a file to hash it: for its image digest or a catalog's file hash
// (read; others may read it too, nobody may change it meanwhile).
UTIL::UniqueHandle OpenFileToHash(LPCWSTR pwszFile);

// The operating system's strong-signing policy "1.3.6.1.4.1.311.72.1.1".
CERT_STRONG_SIGN_PARA StrongSignPolicy();

// Settings that verify the signature at dwIndex (0 here) and report the number
// of secondary signatures; pPolicy is null or the strong-signing policy.
TRUST_SIGNATURE_SETTINGS SignatureSettings(CERT_STRONG_SIGN_PARA* pPolicy);

// A parameter of a decoded message, size first; false with the last error set
// when it cannot be read. Silent: callers that log use their own lines.
bool GetMessageParam(HCRYPTMSG hMsg, DWORD dwParamType, std::vector<BYTE>& value);

// The certificate's simple display name; empty when it has none.
std::wstring CertSimpleDisplayName(PCCERT_CONTEXT pCert);
