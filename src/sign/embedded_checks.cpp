// Embedded signatures through the trust provider, with the certificate
// information and trusted keys of the multiple-signature verifier as fallback.
#include "sign/signature_manager.h"

#include <softpub.h>

#include "log/debug_log.h"
#include "sign/signature_decision.h"
#include "sign/signature_listing.h"
#include "sign/verify_file_sign.h"

namespace {

const wchar_t* const kSrc = kSignatureManagerSource;

// The fallback after a failed trust call: the certificate-information check of
// the multiple-signature verifier with a fresh trust data block.
bool VerifyByCertificateInformation(LPCWSTR pwszFunc, LPCWSTR pwszFile, WINTRUST_FILE_INFO& fileInfo, LONG lStatus)
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
    data.dwProvFlags = kCheckProvFlags;
    const bool bValid = CVerifyFileSignV2::GetInstance()->VerifyEmbeddedSignatureByCertInfo(pwszFile, data);
    RecordSignatureCheck(SignatureCheck::KeyList, bValid, static_cast<DWORD>(lStatus));
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__,
              bValid ? L"%s - successfully to verify by certificate information"
                     : L"%s - failed to verify by certificate information",
              pwszFunc);
    return bValid;
}

// A signature the trust provider accepted counts only when it signs this very
// file; otherwise the call counts as failed with TRUST_E_BAD_DIGEST.
LONG RequireSignsFile(LPCWSTR pwszFunc, LPCWSTR pwszFile, DWORD dwIndex, LONG lStatus)
{
    if (lStatus != 0 || SignatureSignsFile(pwszFile, dwIndex)) {
        return lStatus;
    }
    DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__,
              L"%s - The signature at index %d does not sign this file: its signed digest does not match", pwszFunc,
              static_cast<int>(dwIndex));
    ::SetLastError(static_cast<DWORD>(TRUST_E_BAD_DIGEST));
    return static_cast<LONG>(TRUST_E_BAD_DIGEST);
}

} // namespace

DigitalSignatureResult CQgdDigitalSignatureManagerEx::VerifyEmbeddedSignatureSingleSign(LPCWSTR pwszFile, DWORD dwFlags)
{
    static const wchar_t kFunc[] = L"CQgdDigitalSignatureManagerEx::VerifyEmbeddedSignatureSingleSign";
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - >>> try to verify file=%s", kFunc, pwszFile);
    WINTRUST_FILE_INFO fileInfo;
    UTIL::UniqueHandle hFile = OpenFileForTrust(pwszFile, fileInfo);
    TRUST_DATA_EX data = CheckTrustData(kTrustDataSizeSingleSign, WTD_CHOICE_FILE);
    data.pFile = &fileInfo;
    CTrustState state(data);

    LONG lStatus = RequireSignsFile(kFunc, pwszFile, 0, state.Verify());
    const DWORD dwErr = ::GetLastError();
    bool bValid = false;
    if (lStatus == 0) {
        bValid = CheckSigner(kFunc, data.hWVTStateData, dwFlags);
        if (!bValid) {
            lStatus = static_cast<LONG>(ERROR_FAILED_ISSUER_CHECK);
        }
        RecordSignatureCheck(SignatureCheck::Embedded, bValid, static_cast<DWORD>(lStatus));
    } else {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to call WinVerifyTrust(), StatusVerify=%x, GetLastError=%x",
                  kFunc, lStatus, dwErr);
        RecordSignatureCheck(SignatureCheck::Embedded, false, static_cast<DWORD>(lStatus));
        bValid = VerifyByCertificateInformation(kFunc, pwszFile, fileInfo, lStatus);
    }

    state.Close();
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
    WINTRUST_FILE_INFO fileInfo;
    UTIL::UniqueHandle hFile = OpenFileForTrust(pwszFile, fileInfo);
    CERT_STRONG_SIGN_PARA strongSign = StrongSignPolicy();
    TRUST_SIGNATURE_SETTINGS settings = SignatureSettings(bStrongSign ? &strongSign : nullptr);
    TRUST_DATA_EX data = CheckTrustData(kTrustDataSizeMultipleSign, WTD_CHOICE_FILE);
    data.pFile = &fileInfo;
    data.pSignatureSettings = &settings;
    CTrustState state(data);

    LONG lStatus = RequireSignsFile(kFunc, pwszFile, 0, state.Verify());
    DWORD dwErr = ::GetLastError();
    const DWORD cSecondarySigs = settings.cSecondarySigs;
    bool bValid = false;
    bool bTrustCallFailed = false;

    if (lStatus == 0) {
        bValid = CheckSigner(kFunc, data.hWVTStateData, dwFlags);
        if (!bValid) {
            lStatus = static_cast<LONG>(ERROR_FAILED_ISSUER_CHECK);
        }
        RecordSignatureCheck(SignatureCheck::Embedded, bValid, static_cast<DWORD>(lStatus));
    } else {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - failed to call WinVerifyTrust(), StatusVerify=%x, GetLastError=%x",
                  kFunc, lStatus, dwErr);
        RecordSignatureCheck(SignatureCheck::Embedded, false, static_cast<DWORD>(lStatus));
        bTrustCallFailed = true;
    }

    for (DWORD i = 1; !bValid && i <= cSecondarySigs; ++i) {
        state.Close();
        settings.dwIndex = i;
        lStatus = RequireSignsFile(kFunc, pwszFile, i, state.Verify());
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
        RecordSignatureCheck(SignatureCheck::Embedded, bValid, static_cast<DWORD>(lStatus));
    }

    if (!bValid && bTrustCallFailed) {
        bValid = VerifyByCertificateInformation(kFunc, pwszFile, fileInfo, lStatus);
    }

    state.Close();
    hFile.Reset();
    DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - <<<", kFunc);
    return DigitalSignatureResult{bValid ? 0 : static_cast<DWORD>(lStatus), bValid};
}
