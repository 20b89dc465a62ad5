// Loading external libraries only when they carry the maker's valid signature;
// refused libraries are reported to the Windows event log.
#pragma once

#include <windows.h>

#include <string>

#include "sign/held_file.h"

// Log source of these functions' lines (wire content).
extern const wchar_t kIssuerCheckSource[];

// Event source, type, category and identifier of the refusal report.
extern const char kProductEventSource[];
const DWORD kRefusedLibraryEventType = EVENTLOG_WARNING_TYPE;
const DWORD kRefusedLibraryEventCategory = 5;
const DWORD kRefusedLibraryEventId = 0x80050258;

// Loads the library when it exists and is signed by the maker (whatever issuer
// name is passed, which only goes to the log and the event). Null with the
// last error: ERROR_INVALID_PARAMETER (null issuer), ERROR_FILE_NOT_FOUND (no
// such file, or a folder), ERROR_FAILED_ISSUER_CHECK (signature refused; an
// event is written), ERROR_FILENAME_EXCED_RANGE (path too long to load as
// checked), or the loader's own error.
HMODULE LoadLibraryWithIssuerCheckW(LPCWSTR pwszIssuerName, LPCWSTR pwszLibPath);

// The decision LoadLibraryWithIssuerCheckW makes before it loads, with the
// same lines, event and record: ERROR_SUCCESS when the library would be loaded
// (it is then held in heldFile, and loadPath is the exact name to load), else
// the last error LoadLibraryWithIssuerCheckW would set.
DWORD CheckLibraryForLoading(LPCWSTR pwszIssuerName, LPCWSTR pwszLibPath, CHeldFile& heldFile,
                             std::wstring& loadPath);

// True when the file's signature is valid and made by the maker. A failure
// updates the last-invalid-signature record. False for null arguments.
bool CheckFileIssuer(LPCWSTR pwszFile, LPCWSTR pwszIssuerName);

// Reports a refused library through bxnotify.dll beside the running program.
// Best effort: failures are only logged.
void WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(const char* pszLibPath, const char* pszIssuer);
