// Certificate-information checks: the signature message, its chain, the
// Authenticode policies, the signer's name and the nested signatures.
#include "sign/signature_manager.h"

#include <softpub.h>

#include <cstring>
#include <stdexcept>

#include "log/debug_log.h"
#include "sign/crypt_owners.h"
#include "sign/image_digest.h"

namespace {

const wchar_t* const kSrc = kSignatureManagerSource;
const DWORD kIgnoreExpirationAndRevocation = WTPF_IGNOREEXPIRATION | WTPF_IGNOREREVOKATION;
const DWORD kChainFlags = CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
// Nested signatures inside nested signatures are walked this deep at most.
const int kMaxNestingDepth = 4;

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
        // Each signature's verdict is tied to the bytes of this file.
        CImageDigests image(pwszFile);
        if (!image.IsOpen()) {
            throw std::runtime_error("failed to open the file to compare its digest");
        }
        bResult = VerifyCertInfoAt(hStore.Get(), hMsg.Get(), dwFlags, 0, &image);
    } catch (const std::exception& e) {
        DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__, L"%s - exception is thrown: %S", kFunc, e.what());
        bResult = false;
    }
    return EndCertInfoCheck(kFunc, hStore, hMsg, bResult);
}

bool CQgdDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoBlob(const CRYPT_DATA_BLOB& signature, DWORD dwFlags)
{
    return VerifyCertInfoBlobAt(signature, dwFlags, 0, nullptr);
}

bool CQgdDigitalSignatureManagerEx::VerifyCertInfoBlobAt(const CRYPT_DATA_BLOB& signature, DWORD dwFlags, int nDepth,
                                                         CImageDigests* pImage)
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
        bResult = VerifyCertInfoAt(hStore.Get(), hMsg.Get(), dwFlags, nDepth, pImage);
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
    return VerifyCertInfoAt(hStore, hMsg, dwFlags, 0, nullptr);
}

bool CQgdDigitalSignatureManagerEx::VerifyCertInfoAt(HCERTSTORE hStore, HCRYPTMSG hMsg, DWORD dwFlags, int nDepth,
                                                     CImageDigests* pImage)
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
        pCert.Reset(::CertFindCertificateInStore(hStore, kMessageEncoding, 0, CERT_FIND_SUBJECT_CERT, &certInfo, nullptr));
        if (!pCert) {
            throw std::runtime_error("failed to get cert context");
        }

        if (!::CryptMsgControl(hMsg, 0, CMSG_CTRL_VERIFY_SIGNATURE, pCert.Get()->pCertInfo)) {
            throw std::runtime_error("CryptMsgControl() indicates invalid sign");
        }
        if (pImage != nullptr && !pImage->SignedBy(hMsg)) {
            DebugLogW(LOG_LEVEL_ERROR, kSrc, __LINE__,
                      L"%s - The signature does not sign this file: its signed digest does not match", kFunc);
            throw std::runtime_error("the signed digest does not match the file");
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
                    bValid = VerifyCertInfoBlobAt(attr.rgValue[v], dwFlags, nDepth + 1, pImage);
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
