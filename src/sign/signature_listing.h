// The signatures a file carries, walked in the order the trust provider numbers
// them: described for a person, or asked whether one of them signs this very
// file.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

struct SignatureSummary {
    bool bNested = false;          // a nested signature of the primary one
    std::wstring signer;           // the signing certificate's name; empty when it is missing
    ALG_ID digestAlgorithm = 0;    // CALG_SHA1 or CALG_SHA_256; 0 when unreadable
    bool bSignatureIntact = false; // the signature verifies with the signer's certificate
    bool bSignsThisFile = false;   // its signed digest equals the file's image digest
};

// The primary signature first, then its nested signatures in order; empty when
// the file carries no readable signature.
std::vector<SignatureSummary> DescribeSignatures(LPCWSTR pwszFile);

// True when the signature at this index (0 the primary, then the nested ones in
// order) signs the file: its signed digest equals the file's image digest.
bool SignatureSignsFile(LPCWSTR pwszFile, DWORD dwIndex);
