// Authenticode image digest of a PE file, and the digest a signature signed:
// a signature counts only for the file whose bytes it covers.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <vector>

#include "common/unique_resource.h"

// Where the parts of a PE file that its Authenticode digest leaves out lie.
// The digest covers the file from its start up to cbHashed, without the
// 4-byte checksum field and the 8-byte certificate-table directory entry.
struct ImageDigestLayout {
    ULONGLONG offChecksum;     // CheckSum of the optional header
    ULONGLONG offCertDirEntry; // IMAGE_DIRECTORY_ENTRY_SECURITY of the data directory
    ULONGLONG offCertTable;    // file offset of the certificate table (0 when there is none)
    ULONGLONG cbCertTable;     // its size (0 when there is none)
    ULONGLONG cbHashed;        // the certificate table's offset, or the file size without one
};

// Reads the layout from the first cbHeaders bytes of a file of cbFile bytes.
// False with ERROR_BAD_EXE_FORMAT for anything that is not a well-formed PE
// image whose headers and certificate table lie inside the file; nothing
// outside [pHeaders, pHeaders + cbHeaders) is read.
bool ParseImageDigestLayout(const BYTE* pHeaders, size_t cbHeaders, ULONGLONG cbFile, ImageDigestLayout& layout);

// The image digest of the file behind hFile with CALG_SHA1 or CALG_SHA_256,
// read through the handle (its file pointer is moved). False with the last
// error set when the file is not a well-formed PE image or cannot be read.
bool ComputeImageDigest(HANDLE hFile, ALG_ID algId, std::vector<BYTE>& digest);

// The digest an Authenticode signature signed: the digest of its SPC indirect
// data and its algorithm.
struct SignedImageDigest {
    ALG_ID algId;
    std::vector<BYTE> digest;
};

// Reads the signed digest from a decoded signature message. False when the
// content is not SPC indirect data, cannot be decoded, or names an algorithm
// other than SHA-1 and SHA-256; false too (CRYPT_E_HASH_VALUE) when the
// content is not what the message's one signer hashed into its authenticated
// messageDigest attribute, which the platform's signature check of a message
// does not compare everywhere. The signer's signature is not verified here.
bool GetSignedImageDigest(HCRYPTMSG hMsg, SignedImageDigest& signedDigest);

// The image digests of one file, opened to hash: each algorithm is computed at
// most once however many of the file's signatures are compared with it.
class CImageDigests {
public:
    explicit CImageDigests(LPCWSTR pwszFile);
    CImageDigests(const CImageDigests&) = delete;
    CImageDigests& operator=(const CImageDigests&) = delete;

    // False when the file could not be opened; every comparison then fails.
    bool IsOpen() const { return m_hFile.IsValid(); }

    // True when the digest the message signed equals the file's image digest;
    // false with TRUST_E_BAD_DIGEST when it differs.
    bool SignedBy(HCRYPTMSG hMsg);
    // The same for a signed digest already read.
    bool Matches(const SignedImageDigest& signedDigest);

private:
    UTIL::UniqueHandle m_hFile;
    std::vector<SignedImageDigest> m_computed;
};
