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
#include "sign/signature_decision.h"
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

} // namespace

// ---------------------------------------------------------------------------
// CSingletonWinTrustHelper

CSingletonWinTrustHelper& CSingletonWinTrustHelper::GetInstance()
{
    static CSingletonWinTrustHelper s_instance;
    return s_instance;
}

CSingletonWinTrustHelper::CSingletonWinTrustHelper() : m_trustLibrary(ProbeTrustLibrary())
{
    static const wchar_t kFunc[] = L"CSingletonWinTrustHelper::CSingletonWinTrustHelper";
    if (!m_trustLibrary.hWinTrust) {
        return;
    }
    if (m_trustLibrary.bMultipleSign) {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - support multiple sign platform", kFunc);
    } else {
        DebugLogW(LOG_LEVEL_DEBUG, kSrc, __LINE__, L"%s - support single sign platform", kFunc);
        m_trustLibrary = TrustLibrary();
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
    const bool bMultipleSign = CSingletonWinTrustHelper::GetInstance().IsMultipleSignSupported();
    const DigitalSignatureResult result = bMultipleSign
                                              ? VerifyEmbeddedSignatureMultipleSign(pwszFile, dwFlags, bStrongSign)
                                              : VerifyEmbeddedSignatureSingleSign(pwszFile, dwFlags);
    if (result.bValid) {
        return result;
    }
    if (!bMultipleSign) {
        const bool bCertificate = VerifyDigitalSignatureCertInfoFile(pwszFile, dwFlags);
        RecordSignatureCheck(SignatureCheck::Certificate, bCertificate, result.dwErrorCode);
        if (bCertificate) {
            return valid;
        }
    }
    if ((dwFlags & VERIFY_FLAG_CATALOG) == 0) {
        return result;
    }
    const DWORD dwCatalog =
        bMultipleSign ? VerifyByMSCatalogMutipleSign(pwszFile, bStrongSign) : VerifyByMSCatalogSingleSign(pwszFile);
    RecordSignatureCheck(SignatureCheck::Catalog, dwCatalog == 0, dwCatalog);
    return dwCatalog == 0 ? valid : result;
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
