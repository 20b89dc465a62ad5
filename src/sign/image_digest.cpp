// Authenticode image digest of a PE file, read through its handle in chunks,
// and the digest a signature message signed, tied to its signer's attributes.
#include "sign/image_digest.h"

#include <wintrust.h>

#include <algorithm>
#include <cstring>

#include "sign/crypt_owners.h"
#include "sign/trust_provider.h"

namespace {

const DWORD kChunkSize = 64 * 1024;

// Offsets inside the headers (IMAGE_DOS_HEADER, IMAGE_FILE_HEADER and both optional header forms).
const ULONGLONG kOffLfanew = 0x3C;
const ULONGLONG kCbNtSignature = 4;
const ULONGLONG kOffSizeOfOptionalHeader = 16;
const ULONGLONG kOffChecksum = 64;
const ULONGLONG kOffDirCount32 = 92;
const ULONGLONG kOffDirs32 = 96;
const ULONGLONG kOffDirCount64 = 108;
const ULONGLONG kOffDirs64 = 112;
const ULONGLONG kCbDirEntry = 8;

struct DigestAlgorithm {
    const char* pszOid;
    ALG_ID algId;
    DWORD cbDigest;
};

const DigestAlgorithm kDigestAlgorithms[] = {
    {"1.3.14.3.2.26", CALG_SHA1, 20},
    {"2.16.840.1.101.3.4.2.1", CALG_SHA_256, 32},
};

const DigestAlgorithm* FindAlgorithm(const char* pszOid)
{
    for (const DigestAlgorithm& algorithm : kDigestAlgorithms) {
        if (pszOid != nullptr && std::strcmp(pszOid, algorithm.pszOid) == 0) {
            return &algorithm;
        }
    }
    return nullptr;
}

bool Fail(DWORD dwErr)
{
    ::SetLastError(dwErr);
    return false;
}

WORD ReadWord(const BYTE* p)
{
    return static_cast<WORD>(p[0] | (p[1] << 8));
}

DWORD ReadDword(const BYTE* p)
{
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
           (static_cast<DWORD>(p[3]) << 24);
}

// A hash object of the platform's AES provider; the provider outlives the hash.
struct PlatformHash {
    UTIL::UniqueCryptProv hProv;
    UTIL::UniqueCryptHash hHash;

    bool Start(ALG_ID algId)
    {
        if (!::CryptAcquireContextW(hProv.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
            return false;
        }
        return ::CryptCreateHash(hProv.Get(), algId, 0, 0, hHash.Put()) != FALSE;
    }

    bool Add(const BYTE* pb, DWORD cb) { return ::CryptHashData(hHash.Get(), pb, cb, 0) != FALSE; }

    bool Finish(std::vector<BYTE>& value)
    {
        DWORD cb = 0;
        DWORD cbSize = sizeof(cb);
        if (!::CryptGetHashParam(hHash.Get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&cb), &cbSize, 0)) {
            return false;
        }
        value.assign(cb, 0);
        if (!::CryptGetHashParam(hHash.Get(), HP_HASHVAL, value.data(), &cb, 0)) {
            return false;
        }
        value.resize(cb);
        return true;
    }
};

// Reads exactly cb bytes at the file pointer; a short file fails with ERROR_HANDLE_EOF.
bool ReadExactly(HANDLE hFile, BYTE* pb, DWORD cb)
{
    while (cb > 0) {
        DWORD cbRead = 0;
        if (!::ReadFile(hFile, pb, cb, &cbRead, nullptr)) {
            return false;
        }
        if (cbRead == 0) {
            return Fail(ERROR_HANDLE_EOF);
        }
        pb += cbRead;
        cb -= cbRead;
    }
    return true;
}

bool Seek(HANDLE hFile, ULONGLONG offset)
{
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(hFile, position, nullptr, FILE_BEGIN) != FALSE;
}

bool HashFileRange(HANDLE hFile, PlatformHash& hash, ULONGLONG start, ULONGLONG end, std::vector<BYTE>& buffer)
{
    if (!Seek(hFile, start)) {
        return false;
    }
    while (start < end) {
        const DWORD cb = static_cast<DWORD>(std::min<ULONGLONG>(end - start, buffer.size()));
        if (!ReadExactly(hFile, buffer.data(), cb) || !hash.Add(buffer.data(), cb)) {
            return false;
        }
        start += cb;
    }
    return true;
}

bool Decode(LPCSTR pszStructType, const BYTE* pb, DWORD cb, std::vector<BYTE>& value)
{
    const DWORD dwEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    DWORD cbValue = 0;
    if (!::CryptDecodeObject(dwEncoding, pszStructType, pb, cb, 0, nullptr, &cbValue)) {
        return false;
    }
    value.assign(cbValue, 0);
    return ::CryptDecodeObject(dwEncoding, pszStructType, pb, cb, 0, value.data(), &cbValue) != FALSE;
}

// Where the contents octets of a DER SEQUENCE that fills the whole buffer
// begin: a signer's message digest covers these alone when the signed content
// is not plain data.
bool SequenceContents(const std::vector<BYTE>& der, size_t& offset)
{
    if (der.size() < 2 || der[0] != 0x30) {
        return false;
    }
    size_t pos = 2;
    ULONGLONG cbContents = der[1];
    if (der[1] & 0x80) {
        const size_t cbLength = der[1] & 0x7F;
        if (cbLength == 0 || cbLength > 4 || der.size() < 2 + cbLength) {
            return false;
        }
        cbContents = 0;
        for (size_t i = 0; i < cbLength; ++i) {
            cbContents = (cbContents << 8) | der[2 + i];
        }
        pos += cbLength;
    }
    if (cbContents != der.size() - pos) {
        return false;
    }
    offset = pos;
    return true;
}

// The one messageDigest value among the signer's authenticated attributes.
const CRYPT_ATTR_BLOB* FindMessageDigest(const CMSG_SIGNER_INFO& signer)
{
    const CRYPT_ATTR_BLOB* pFound = nullptr;
    for (DWORD i = 0; i < signer.AuthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attr = signer.AuthAttrs.rgAttr[i];
        if (attr.pszObjId == nullptr || std::strcmp(attr.pszObjId, szOID_PKCS_9_MESSAGE_DIGEST) != 0) {
            continue;
        }
        if (pFound != nullptr || attr.cValue != 1) {
            return nullptr;
        }
        pFound = &attr.rgValue[0];
    }
    return pFound;
}

// The content must be what the single signer's authenticated attributes
// hashed: a signature check of the message does not compare the two here.
bool ContentMatchesSigner(HCRYPTMSG hMsg, const std::vector<BYTE>& content)
{
    DWORD cSigners = 0;
    DWORD cb = sizeof(cSigners);
    if (!::CryptMsgGetParam(hMsg, CMSG_SIGNER_COUNT_PARAM, 0, &cSigners, &cb)) {
        return false;
    }
    if (cSigners != 1) {
        return Fail(static_cast<DWORD>(CRYPT_E_BAD_MSG));
    }
    std::vector<BYTE> signerInfo;
    if (!GetMessageParam(hMsg, CMSG_SIGNER_INFO_PARAM, signerInfo)) {
        return false;
    }
    const CMSG_SIGNER_INFO& signer = *reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo.data());
    const DigestAlgorithm* pAlgorithm = FindAlgorithm(signer.HashAlgorithm.pszObjId);
    if (pAlgorithm == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    }
    const CRYPT_ATTR_BLOB* pAttr = FindMessageDigest(signer);
    if (pAttr == nullptr) {
        return Fail(static_cast<DWORD>(CRYPT_E_BAD_MSG));
    }
    std::vector<BYTE> signedHash;
    if (!Decode(X509_OCTET_STRING, pAttr->pbData, pAttr->cbData, signedHash)) {
        return false;
    }
    const CRYPT_DATA_BLOB& signedBlob = *reinterpret_cast<const CRYPT_DATA_BLOB*>(signedHash.data());

    size_t offContents = 0;
    if (!SequenceContents(content, offContents)) {
        return Fail(static_cast<DWORD>(CRYPT_E_BAD_MSG));
    }
    PlatformHash hash;
    std::vector<BYTE> contentHash;
    if (!hash.Start(pAlgorithm->algId) ||
        !hash.Add(content.data() + offContents, static_cast<DWORD>(content.size() - offContents)) ||
        !hash.Finish(contentHash)) {
        return false;
    }
    if (contentHash.size() != signedBlob.cbData ||
        std::memcmp(contentHash.data(), signedBlob.pbData, signedBlob.cbData) != 0) {
        return Fail(static_cast<DWORD>(CRYPT_E_HASH_VALUE));
    }
    return true;
}

} // namespace

bool ParseImageDigestLayout(const BYTE* pHeaders, size_t cbHeaders, ULONGLONG cbFile, ImageDigestLayout& layout)
{
    const ULONGLONG cbAvailable = std::min<ULONGLONG>(cbHeaders, cbFile);
    if (pHeaders == nullptr || cbAvailable < kOffLfanew + 4 || ReadWord(pHeaders) != IMAGE_DOS_SIGNATURE) {
        return Fail(ERROR_BAD_EXE_FORMAT);
    }
    const ULONGLONG offNt = ReadDword(pHeaders + kOffLfanew);
    const ULONGLONG offFileHeader = offNt + kCbNtSignature;
    const ULONGLONG offOptional = offFileHeader + sizeof(IMAGE_FILE_HEADER);
    if (offOptional + sizeof(WORD) > cbAvailable || ReadDword(pHeaders + offNt) != IMAGE_NT_SIGNATURE) {
        return Fail(ERROR_BAD_EXE_FORMAT);
    }
    const ULONGLONG cbOptional = ReadWord(pHeaders + offFileHeader + kOffSizeOfOptionalHeader);
    if (offOptional + cbOptional > cbAvailable) {
        return Fail(ERROR_BAD_EXE_FORMAT);
    }
    ULONGLONG offDirCount = 0;
    ULONGLONG offDirs = 0;
    switch (ReadWord(pHeaders + offOptional)) {
    case IMAGE_NT_OPTIONAL_HDR32_MAGIC:
        offDirCount = kOffDirCount32;
        offDirs = kOffDirs32;
        break;
    case IMAGE_NT_OPTIONAL_HDR64_MAGIC:
        offDirCount = kOffDirCount64;
        offDirs = kOffDirs64;
        break;
    default:
        return Fail(ERROR_BAD_EXE_FORMAT);
    }
    if (cbOptional < offDirs) {
        return Fail(ERROR_BAD_EXE_FORMAT);
    }
    const ULONGLONG cDirs = ReadDword(pHeaders + offOptional + offDirCount);
    if (cDirs <= IMAGE_DIRECTORY_ENTRY_SECURITY || offDirs + cDirs * kCbDirEntry > cbOptional) {
        return Fail(ERROR_BAD_EXE_FORMAT);
    }

    ImageDigestLayout found = {};
    found.offChecksum = offOptional + kOffChecksum;
    found.offCertDirEntry = offOptional + offDirs + IMAGE_DIRECTORY_ENTRY_SECURITY * kCbDirEntry;
    const ULONGLONG offTable = ReadDword(pHeaders + found.offCertDirEntry);
    const ULONGLONG cbTable = ReadDword(pHeaders + found.offCertDirEntry + 4);
    if (offTable == 0 && cbTable == 0) {
        found.cbHashed = cbFile;
    } else {
        // A table lies behind the headers and ends inside the file.
        if (offTable == 0 || cbTable == 0 || offTable < offOptional + cbOptional || offTable + cbTable > cbFile) {
            return Fail(ERROR_BAD_EXE_FORMAT);
        }
        found.offCertTable = offTable;
        found.cbCertTable = cbTable;
        found.cbHashed = offTable;
    }
    layout = found;
    return true;
}

bool ComputeImageDigest(HANDLE hFile, ALG_ID algId, std::vector<BYTE>& digest)
{
    if (algId != CALG_SHA1 && algId != CALG_SHA_256) {
        return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    }
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(hFile, &size)) {
        return false;
    }
    const ULONGLONG cbFile = static_cast<ULONGLONG>(size.QuadPart);
    std::vector<BYTE> buffer(kChunkSize);
    const DWORD cbHeaders = static_cast<DWORD>(std::min<ULONGLONG>(cbFile, buffer.size()));
    if (!Seek(hFile, 0) || !ReadExactly(hFile, buffer.data(), cbHeaders)) {
        return false;
    }
    ImageDigestLayout layout = {};
    if (!ParseImageDigestLayout(buffer.data(), cbHeaders, cbFile, layout)) {
        return false;
    }
    PlatformHash hash;
    std::vector<BYTE> value;
    if (!hash.Start(algId) || !HashFileRange(hFile, hash, 0, layout.offChecksum, buffer) ||
        !HashFileRange(hFile, hash, layout.offChecksum + 4, layout.offCertDirEntry, buffer) ||
        !HashFileRange(hFile, hash, layout.offCertDirEntry + kCbDirEntry, layout.cbHashed, buffer) ||
        !hash.Finish(value)) {
        return false;
    }
    digest.swap(value);
    return true;
}

bool GetSignedImageDigest(HCRYPTMSG hMsg, SignedImageDigest& signedDigest)
{
    std::vector<BYTE> contentType;
    if (!GetMessageParam(hMsg, CMSG_INNER_CONTENT_TYPE_PARAM, contentType)) {
        return false;
    }
    contentType.push_back(0);
    if (std::strcmp(reinterpret_cast<const char*>(contentType.data()), SPC_INDIRECT_DATA_OBJID) != 0) {
        return Fail(static_cast<DWORD>(CRYPT_E_UNEXPECTED_MSG_TYPE));
    }
    std::vector<BYTE> content;
    std::vector<BYTE> decoded;
    if (!GetMessageParam(hMsg, CMSG_CONTENT_PARAM, content) ||
        !Decode(SPC_INDIRECT_DATA_OBJID, content.data(), static_cast<DWORD>(content.size()), decoded)) {
        return false;
    }
    const SPC_INDIRECT_DATA_CONTENT& indirect = *reinterpret_cast<const SPC_INDIRECT_DATA_CONTENT*>(decoded.data());
    const DigestAlgorithm* pAlgorithm = FindAlgorithm(indirect.DigestAlgorithm.pszObjId);
    if (pAlgorithm == nullptr || indirect.Digest.cbData != pAlgorithm->cbDigest) {
        return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    }
    if (!ContentMatchesSigner(hMsg, content)) {
        return false;
    }
    signedDigest.algId = pAlgorithm->algId;
    signedDigest.digest.assign(indirect.Digest.pbData, indirect.Digest.pbData + indirect.Digest.cbData);
    return true;
}

CImageDigests::CImageDigests(LPCWSTR pwszFile) : m_hFile(OpenFileToHash(pwszFile)) {}

bool CImageDigests::SignedBy(HCRYPTMSG hMsg)
{
    SignedImageDigest signedDigest = {};
    return GetSignedImageDigest(hMsg, signedDigest) && Matches(signedDigest);
}

bool CImageDigests::Matches(const SignedImageDigest& signedDigest)
{
    auto known = std::find_if(m_computed.begin(), m_computed.end(),
                              [&](const SignedImageDigest& d) { return d.algId == signedDigest.algId; });
    if (known == m_computed.end()) {
        SignedImageDigest computed = {signedDigest.algId, {}};
        if (!m_hFile || !ComputeImageDigest(m_hFile.Get(), signedDigest.algId, computed.digest)) {
            return false;
        }
        known = m_computed.insert(m_computed.end(), computed);
    }
    return known->digest == signedDigest.digest || Fail(static_cast<DWORD>(TRUST_E_BAD_DIGEST));
}
