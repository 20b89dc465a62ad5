// Multiple-signature verifier: embedded signatures checked against the maker's
// trusted public keys, and the record of the last invalid signature.
#pragma once

#include <windows.h>
#include <wintrust.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/unique_resource.h"
#include "sign/image_digest.h"
#include "sign/locks.h"
#include "sign/trust_provider.h"

// Log source of the verifier's lines (wire content).
extern const wchar_t kVerifyFileSignSource[];

// Signer name the key-list library must carry.
extern const wchar_t kMakerSignerName[];

// Name of the record file kept in the product's folder.
extern const wchar_t kInvalidSignRecordFileName[];

using PublicKey = std::vector<BYTE>;

// The key-list library last considered and what came of all loads so far.
struct KeyListStatus {
    std::wstring path;      // the library last considered (empty when none could be named)
    bool bAccepted = false; // some library was accepted and its entries found
    size_t cKeys = 0;       // trusted keys held
};

class CVerifyFileSignV2 {
public:
    // The one instance, created on the first call under the singleton creation lock.
    static CVerifyFileSignV2* GetInstance();

    CVerifyFileSignV2(const CVerifyFileSignV2&) = delete;
    CVerifyFileSignV2& operator=(const CVerifyFileSignV2&) = delete;

    // True when the file's embedded signature is intact (hash-only trust check,
    // or the low-level hash check after an explicit distrust) and its primary or
    // a nested signature was made by a trusted key. Sets the caller's
    // dwProvFlags to WTD_HASH_ONLY_FLAG.
    bool VerifyEmbeddedSignatureByCertInfo(LPCWSTR pwszFile, WINTRUST_DATA& trustData);

    // Copies the caller's trust parameters and runs V2 or V1; returns the trust
    // provider's status (0 when a signature verified).
    LONG VerifyEmbeddedSignature(LPCWSTR pwszFile, const WINTRUST_DATA& trustData, bool bStrongSign);
    LONG VerifyEmbeddedSignatureV1(LPCWSTR pwszFile);
    // Tries the primary signature, then each secondary one until one verifies.
    LONG VerifyEmbeddedSignatureV2(LPCWSTR pwszFile, bool bStrongSign);

    // Verifies the primary signature's message signature and collects its key,
    // its signer name and the keys of the nested signatures. Each signature
    // counts only when its signed digest matches the file's image digest.
    // False when the primary or any nested signature fails; outputs are then
    // incomplete.
    bool VerifySignatureAndGetCertInfo(LPCWSTR pwszFile, PublicKey& primaryKey, std::wstring& strSigner,
                                       std::vector<PublicKey>& secondaryKeys);
    // With a file's image digests, the nested signature counts only when its
    // signed digest matches that file; without them it is checked as a block alone.
    bool VerifySecondarySignatureAndGetCertInfo(const CRYPT_ATTR_BLOB& nestedSignature, PublicKey& key,
                                                CImageDigests* pImage = nullptr);

    // The message parameter in a new zero-filled buffer, or null.
    static std::unique_ptr<BYTE[]> GetInfoFromMsg(HCRYPTMSG hMsg, DWORD dwParamType);

    // The key-list library demands integrity checking, is intact, is signed by
    // the maker and its signature passes the trust provider in full.
    bool IntegrityCheckForZorIVA(LPCWSTR pwszPath);

    // Adds the keys of the key-list library (null or empty: ZorIVA.dll.new or
    // ZorIVA.dll beside this module). True when the library was accepted and
    // both entries were found; the key set is left as it was otherwise.
    bool LoadZorIVAAndUpdatePublicKeyList(LPCWSTR pwszPath);

    KeyListStatus GetKeyListStatus();

    // Where the record file is kept: "Misc" under the product's application
    // path, else "TEMP" under its local path; empty when neither is known.
    static std::wstring InvalidSignRecordPath();

    // Writes "<file>\t<code>" to the record file in the product's folder.
    // Best effort: failures are only logged.
    void WriteDigitalSignInvalidLog(LPCWSTR pwszFile, DWORD dwErrorCode);

    bool IsMultipleSignSupported() const { return m_trustLibrary.bMultipleSign; }

private:
    CVerifyFileSignV2();
    ~CVerifyFileSignV2();

    bool IsTrustedKey(const PublicKey& primaryKey, const std::vector<PublicKey>& secondaryKeys);
    // The primary signature through the trust provider with the manager's
    // settings, signed by the maker (any letter case): 0, or the refusal.
    static LONG VerifyPrimaryByTrustProvider(LPCWSTR pwszPath);
    // Trust data of the given layout made from the stored trust parameters.
    TRUST_DATA_EX StoredTrustData(DWORD cbStruct, WINTRUST_FILE_INFO& fileInfo) const;

    // Held until the verifier goes; its "2" entries are probed only.
    TrustLibrary m_trustLibrary;

    // Trust parameters copied from the caller's WINTRUST_DATA.
    LPVOID m_pPolicyCallbackData;
    LPVOID m_pSIPClientData;
    DWORD m_dwUIChoice;
    DWORD m_fdwRevocationChecks;
    DWORD m_dwUnionChoice;
    HANDLE m_hWVTStateData;
    DWORD m_dwProvFlags;
    DWORD m_dwUIContext;

    std::set<PublicKey> m_publicKeys;
    std::wstring m_keyListPath;    // the key-list library last considered
    bool m_bKeyListAccepted = false; // some key-list library was accepted
    CCriticalSectionLocker m_keyListLock;
    // Keeps one embedded check (copy of the parameters and the trust calls) at a time.
    CCriticalSectionLocker m_trustParamLock;

    static std::atomic<CVerifyFileSignV2*> s_pInstance;
};

// The image at the path demands integrity checking (IMAGE_DLLCHARACTERISTICS_FORCE_INTEGRITY).
bool IsIntegrityCheckEnabled(LPCWSTR pwszPath);

// Checks the file's Authenticode hash against its signed indirect data
// without the trust provider.
bool LowLevelVerifyHash(LPCWSTR pwszPath);

// Full path of the module that contains this code; false, with an empty
// buffer, when it cannot be told in full.
bool GetCurrentModulePath(LPWSTR pwszPath, DWORD cchPath);
