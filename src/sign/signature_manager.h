// Signature manager: judges a file's code signature for a set of allowed
// signers through embedded signatures, certificate information and catalogs.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/unique_resource.h"
#include "sign/image_digest.h"
#include "sign/trust_provider.h"

// Log source of the manager's lines (wire content).
extern const wchar_t kSignatureManagerSource[];

// Verification flags, combined by OR.
const DWORD SIGNER_FLAG_MAKER = 0x00000001;     // "Brontide, Inc."
const DWORD SIGNER_FLAG_MICROSOFT = 0x00000002; // the platform's five signer names
const DWORD VERIFY_FLAG_CATALOG = 0x00010000;   // a failed embedded signature may pass through a catalog

// A valid signature whose signer is not allowed; also the last error of a
// library refused by the issuer check.
const DWORD ERROR_FAILED_ISSUER_CHECK = 0x20001447;

struct DigitalSignatureResult {
    DWORD dwErrorCode; // 0 when valid
    bool bValid;
};

using SignerSet = std::set<std::wstring>;

// The trust library's capability, probed once per process.
class CSingletonWinTrustHelper {
public:
    static CSingletonWinTrustHelper& GetInstance();

    CSingletonWinTrustHelper(const CSingletonWinTrustHelper&) = delete;
    CSingletonWinTrustHelper& operator=(const CSingletonWinTrustHelper&) = delete;

    bool IsMultipleSignSupported() const { return m_trustLibrary.bMultipleSign; }
    PFN_CryptCATAdminAcquireContext2 GetCryptCATAdminAcquireContext2() const
    {
        return m_trustLibrary.pfnCryptCATAdminAcquireContext2;
    }
    PFN_CryptCATAdminCalcHashFromFileHandle2 GetCryptCATAdminCalcHashFromFileHandle2() const
    {
        return m_trustLibrary.pfnCryptCATAdminCalcHashFromFileHandle2;
    }

private:
    CSingletonWinTrustHelper();
    ~CSingletonWinTrustHelper() = default;

    // Released again on a single sign platform.
    TrustLibrary m_trustLibrary;
};

// Stateless; every operation may run on any thread and lets no exception out.
class CQgdDigitalSignatureManagerEx {
public:
    // VerifyDigitalSignature, and on an invalid verdict the path and code go to
    // the last-invalid-signature record.
    static DigitalSignatureResult VerifyDigitalSignatureAndRecord(LPCWSTR pwszFile, DWORD dwFlags, bool bStrongSign);
    static DigitalSignatureResult VerifyDigitalSignature(LPCWSTR pwszFile, DWORD dwFlags, bool bStrongSign);

    static DigitalSignatureResult VerifyEmbeddedSignatureMultipleSign(LPCWSTR pwszFile, DWORD dwFlags,
                                                                      bool bStrongSign);
    static DigitalSignatureResult VerifyEmbeddedSignatureSingleSign(LPCWSTR pwszFile, DWORD dwFlags);

    // 0 when a catalog signed by one of the platform's signers lists the file.
    static DWORD VerifyByMSCatalogMutipleSign(LPCWSTR pwszFile, bool bStrongSign);
    static DWORD VerifyByMSCatalogSingleSign(LPCWSTR pwszFile);

    // Certificate-information checks: message signature, chain, Authenticode
    // policies, signer name, then nested signatures. False on any failure. The
    // file form counts a signature only when its signed digest matches the
    // file; the blob and message forms judge a signature block on its own.
    static bool VerifyDigitalSignatureCertInfoFile(LPCWSTR pwszFile, DWORD dwFlags);
    static bool VerifyDigitalSignatureCertInfoBlob(const CRYPT_DATA_BLOB& signature, DWORD dwFlags);
    static bool VerifyDigitalSignatureCertInfo(HCERTSTORE hStore, HCRYPTMSG hMsg, DWORD dwFlags);

    static SignerSet PrepareSigners(DWORD dwFlags);
    static bool VerifySignerForDigitalSignature(const std::wstring& strSigner, const SignerSet& signers);
    // Empty on failure.
    static std::wstring GetSignerFromhWVTStateData(HANDLE hStateData);

    // The file hash; empty on failure with the failing call's last error kept.
    static std::vector<BYTE> EzCATAdminCalcHashFromFileHandle(HANDLE hFile);
    static std::vector<BYTE> EzCATAdminCalcHashFromFileHandle2(HCATADMIN hCatAdmin, HANDLE hFile);
    // The parameter in a new zero-filled buffer, or null.
    static std::unique_ptr<BYTE[]> EzMsgGetParam(HCRYPTMSG hMsg, DWORD dwParamType);
    static std::wstring EzCertGetSubjectName(PCCERT_CONTEXT pCert);

private:
    static bool CheckSigner(LPCWSTR pwszFunc, HANDLE hStateData, DWORD dwFlags);
    // The verdict of one verify call of the embedded checks: an accepted
    // signature still needs an allowed signer (else lStatus becomes
    // ERROR_FAILED_ISSUER_CHECK); a failed call is logged and sets bCallFailed.
    static bool JudgeEmbeddedCall(LPCWSTR pwszFunc, HANDLE hStateData, DWORD dwFlags, DWORD dwErr, LONG& lStatus,
                                  bool& bCallFailed);
    // With a file's image digests, each signature counts only when its signed
    // digest matches that file.
    static bool VerifyCertInfoBlobAt(const CRYPT_DATA_BLOB& signature, DWORD dwFlags, int nDepth,
                                     CImageDigests* pImage);
    static bool VerifyCertInfoAt(HCERTSTORE hStore, HCRYPTMSG hMsg, DWORD dwFlags, int nDepth, CImageDigests* pImage);
};
