// What the product's load decision said about one file, gathered from the
// signature checks while they run.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "sign/signature_decision.h"
#include "sign/signature_listing.h"
#include "sign/verify_file_sign.h"

struct FileReport {
    std::wstring file;                        // as given
    std::wstring fullPath;                    // what was checked (empty when it never got that far)
    bool bLoadable = false;                   // the verdict
    bool bLoaded = false;                     // --load: the library was really loaded (and freed again)
    DWORD dwCode = ERROR_SUCCESS;             // the last error the load decision gives
    std::wstring problem;                     // a refusal before any signature check, in words
    std::vector<SignatureSummary> signatures; // primary first, then nested
    SignatureDecision decision;
    KeyListStatus keyList;
    bool bHaveRecord = false;                 // a record was read after a refusal
    std::wstring recordPath;                  // where the record is kept; empty when the product's folders are unknown
    std::wstring recordFile;                  // the file the record names
    long recordCode = 0;                      // the code it holds
};

// Runs the decision LoadLibraryWithIssuerCheckW makes for the file (and, with
// bLoad, the load itself) and gathers the report.
FileReport CheckFile(const std::wstring& file, const std::wstring& issuer, bool bLoad);

// The symbolic name of a code the checks give ("TRUST_E_BAD_DIGEST"), or null.
const wchar_t* ErrorCodeName(DWORD dwCode);
