// The signatures a file carries, described for a person.
#include "sign/signature_listing.h"

#include <cstring>

#include "sign/crypt_owners.h"
#include "sign/image_digest.h"
#include "sign/trust_provider.h"

namespace {

SignatureSummary Describe(HCERTSTORE hStore, HCRYPTMSG hMsg, CImageDigests& image, bool bNested)
{
    SignatureSummary summary;
    summary.bNested = bNested;
    std::vector<BYTE> certInfo;
    if (GetMessageParam(hMsg, CMSG_SIGNER_CERT_INFO_PARAM, certInfo) && !certInfo.empty()) {
        UTIL::UniqueCertContext pCert(::CertFindCertificateInStore(
            hStore, kMessageEncoding, 0, CERT_FIND_SUBJECT_CERT, certInfo.data(), nullptr));
        if (pCert) {
            summary.signer = CertSimpleDisplayName(pCert.Get());
            summary.bSignatureIntact =
                ::CryptMsgControl(hMsg, 0, CMSG_CTRL_VERIFY_SIGNATURE, pCert.Get()->pCertInfo) != FALSE;
        }
    }
    SignedImageDigest signedDigest = {};
    if (GetSignedImageDigest(hMsg, signedDigest)) {
        summary.digestAlgorithm = signedDigest.algId;
        summary.bSignsThisFile = image.Matches(signedDigest);
    }
    return summary;
}

// Calls visit(store, message, nested) for the primary signature and then each
// nested one, in the order the trust provider numbers them, until it returns
// false; an unreadable nested signature comes with null handles. False when the
// file carries no readable signature.
template <typename Visit>
bool ForEachSignature(LPCWSTR pwszFile, Visit visit)
{
    UTIL::UniqueCertStore hStore;
    UTIL::UniqueCryptMsg hMsg;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, pwszFile, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, hStore.Put(), hMsg.Put(),
                            nullptr)) {
        return false;
    }
    if (!visit(hStore.Get(), hMsg.Get(), false)) {
        return true;
    }
    std::vector<BYTE> signerInfoBuf;
    if (!GetMessageParam(hMsg.Get(), CMSG_SIGNER_INFO_PARAM, signerInfoBuf) || signerInfoBuf.empty()) {
        return true;
    }
    const auto* pSignerInfo = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfoBuf.data());
    for (DWORD a = 0; a < pSignerInfo->UnauthAttrs.cAttr; ++a) {
        const CRYPT_ATTRIBUTE& attr = pSignerInfo->UnauthAttrs.rgAttr[a];
        if (attr.pszObjId == nullptr || strcmp(attr.pszObjId, kNestedSignatureOid) != 0) {
            continue;
        }
        for (DWORD v = 0; v < attr.cValue; ++v) {
            CERT_BLOB blob = {attr.rgValue[v].cbData, attr.rgValue[v].pbData};
            UTIL::UniqueCertStore hNestedStore;
            UTIL::UniqueCryptMsg hNestedMsg;
            ::CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                               CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, hNestedStore.Put(),
                               hNestedMsg.Put(), nullptr);
            if (!visit(hNestedStore.Get(), hNestedMsg.Get(), true)) {
                return true;
            }
        }
    }
    return true;
}

} // namespace

std::vector<SignatureSummary> DescribeSignatures(LPCWSTR pwszFile)
{
    std::vector<SignatureSummary> signatures;
    CImageDigests image(pwszFile);
    ForEachSignature(pwszFile, [&](HCERTSTORE hStore, HCRYPTMSG hMsg, bool bNested) {
        if (hMsg == nullptr) {
            SignatureSummary unreadable;
            unreadable.bNested = bNested;
            signatures.push_back(unreadable);
        } else {
            signatures.push_back(Describe(hStore, hMsg, image, bNested));
        }
        return true;
    });
    return signatures;
}

bool SignatureSignsFile(LPCWSTR pwszFile, DWORD dwIndex)
{
    CImageDigests image(pwszFile);
    bool bSigns = false;
    DWORD dwAt = 0;
    ForEachSignature(pwszFile, [&](HCERTSTORE, HCRYPTMSG hMsg, bool) {
        if (dwAt++ != dwIndex) {
            return true;
        }
        bSigns = hMsg != nullptr && image.SignedBy(hMsg);
        return false;
    });
    return bSigns;
}
