// Event-notification library stand-in (bxnotify.dll): writes the product's
// entries to the Windows event log under a registered event source. When the
// environment variable KIV_EVENT_JOURNAL names a file, each entry is also
// appended to it as one readable line, so that an event can be shown where the
// event log cannot be read (Wine keeps none).
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

const char kEventLogKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

int LastErrorOr(int nFallback)
{
    const DWORD dwErr = ::GetLastError();
    return dwErr != ERROR_SUCCESS ? static_cast<int>(dwErr) : nFallback;
}

// "type=2 category=5 id=0x80050258 <message>" appended to the journal, if any.
void Journal(DWORD dwType, DWORD dwCategory, DWORD dwEventId, const char* pszMessage)
{
    char szPath[MAX_PATH] = {};
    const DWORD cch = ::GetEnvironmentVariableA("KIV_EVENT_JOURNAL", szPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) {
        return;
    }
    FILE* pFile = fopen(szPath, "ab");
    if (pFile == nullptr) {
        return;
    }
    fprintf(pFile, "type=%lu category=%lu id=0x%08lX %s\n", static_cast<unsigned long>(dwType),
            static_cast<unsigned long>(dwCategory), static_cast<unsigned long>(dwEventId),
            pszMessage != nullptr ? pszMessage : "");
    fclose(pFile);
}

} // namespace

extern "C" {

// Registers the source in the Application log. nCategoryCount, when not 0, is
// stored as the source's category count. 0 on success, else a system error code.
__declspec(dllexport) int __cdecl InitDefaultEventSource(const char* pszSource, int nCategoryCount)
{
    if (pszSource == nullptr || pszSource[0] == '\0') {
        return ERROR_INVALID_PARAMETER;
    }
    const std::string key = std::string(kEventLogKey) + pszSource;
    HKEY hKey = nullptr;
    LSTATUS status = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey,
                                       nullptr);
    if (status != ERROR_SUCCESS) {
        return static_cast<int>(status);
    }
    const DWORD dwTypes = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    status = ::RegSetValueExA(hKey, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwTypes),
                              sizeof(dwTypes));
    if (status == ERROR_SUCCESS && nCategoryCount > 0) {
        const DWORD dwCount = static_cast<DWORD>(nCategoryCount);
        status = ::RegSetValueExA(hKey, "CategoryCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwCount),
                                  sizeof(dwCount));
    }
    ::RegCloseKey(hKey);
    return static_cast<int>(status);
}

// One entry through a source opened for the call. 0 on success.
__declspec(dllexport) int __cdecl ReportEventLog(const char* pszSource, DWORD dwType, DWORD dwCategory,
                                                 DWORD dwEventId, const char* pszMessage)
{
    HANDLE hSource = ::RegisterEventSourceA(nullptr, pszSource);
    if (hSource == nullptr) {
        return LastErrorOr(ERROR_INVALID_HANDLE);
    }
    Journal(dwType, dwCategory, dwEventId, pszMessage);
    const char* strings[] = {pszMessage != nullptr ? pszMessage : ""};
    const BOOL bOk = ::ReportEventA(hSource, static_cast<WORD>(dwType), static_cast<WORD>(dwCategory), dwEventId,
                                    nullptr, 1, 0, strings, nullptr);
    const int nResult = bOk ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
    ::DeregisterEventSource(hSource);
    return nResult;
}

// *phSource receives the opened source (null on failure). 0 on success.
__declspec(dllexport) int __cdecl OpenEventSource(const char* pszServer, const char* pszSource, HANDLE* phSource)
{
    if (phSource == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phSource = ::RegisterEventSourceA(pszServer, pszSource);
    return *phSource != nullptr ? 0 : LastErrorOr(ERROR_INVALID_HANDLE);
}

__declspec(dllexport) int __cdecl CloseEventSource(HANDLE hSource)
{
    return ::DeregisterEventSource(hSource) ? 0 : LastErrorOr(ERROR_INVALID_HANDLE);
}

// One entry with the message as its only insertion string; nReserved must be 0.
__declspec(dllexport) int __cdecl ReportEventLogEx(HANDLE hSource, DWORD dwType, DWORD dwCategory, DWORD dwEventId,
                                                   const char* pszMessage, int nReserved)
{
    if (nReserved != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    Journal(dwType, dwCategory, dwEventId, pszMessage);
    const char* strings[] = {pszMessage != nullptr ? pszMessage : ""};
    return ::ReportEventA(hSource, static_cast<WORD>(dwType), static_cast<WORD>(dwCategory), dwEventId, nullptr, 1, 0,
                          strings, nullptr)
               ? 0
               : LastErrorOr(ERROR_GEN_FAILURE);
}

} // extern "C"
