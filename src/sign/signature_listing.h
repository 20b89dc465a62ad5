// The signatures a file carries, described for a person: who made each one,
// with which digest algorithm, and whether it signs this very file. A
// description only; the verdict is the checks' alone.
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
