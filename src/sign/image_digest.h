// Authenticode image digest of a PE file, and the digest a signature signed:
// a signature counts only for the file whose bytes it covers.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <vector>

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

// True when the file's image digest, computed with the signature's algorithm,
// equals the signed digest; false with TRUST_E_BAD_DIGEST when it differs.
bool ImageMatchesSignedDigest(const SignedImageDigest& signedDigest, HANDLE hFile);

// True when the digest the message signed equals the image digest of the file
// behind hFile computed with the message's own algorithm.
bool SignedDigestMatchesFile(HCRYPTMSG hMsg, HANDLE hFile);
