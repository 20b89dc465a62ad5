// Recording double of bxnotify.dll for the tests: every call is appended as one
// line to the file named by KIV_BXNOTIFY_RECORD (fields separated by '|').
// With KIV_BXNOTIFY_OPEN_FAILS set, OpenEventSource opens nothing and answers
// RPC_S_SERVER_UNAVAILABLE. Built without ReportEventLog when
// KIV_WITHOUT_REPORT_EVENT_LOG is defined.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

const HANDLE kSourceHandle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x5A17));

void Record(const char* pszFormat, ...)
{
    char szPath[MAX_PATH] = {};
    if (::GetEnvironmentVariableA("KIV_BXNOTIFY_RECORD", szPath, MAX_PATH) == 0) {
        return;
    }
    FILE* pFile = fopen(szPath, "ab");
    if (pFile == nullptr) {
        return;
    }
    va_list args;
    va_start(args, pszFormat);
    vfprintf(pFile, pszFormat, args);
    va_end(args);
    fputc('\n', pFile);
    fclose(pFile);
}

const char* Text(const char* psz)
{
    return psz != nullptr ? psz : "NULL";
}

} // namespace

extern "C" {

__declspec(dllexport) int __cdecl InitDefaultEventSource(const char* pszSource, int nValue)
{
    Record("InitDefaultEventSource|%s|%d", Text(pszSource), nValue);
    return 0;
}

#if !defined(KIV_WITHOUT_REPORT_EVENT_LOG)
__declspec(dllexport) int __cdecl ReportEventLog()
{
    Record("ReportEventLog");
    return 0;
}
#endif

__declspec(dllexport) int __cdecl OpenEventSource(const char* pszServer, const char* pszSource, HANDLE* phSource)
{
    Record("OpenEventSource|%s|%s", Text(pszServer), Text(pszSource));
    if (::GetEnvironmentVariableA("KIV_BXNOTIFY_OPEN_FAILS", nullptr, 0) != 0) {
        *phSource = nullptr;
        return RPC_S_SERVER_UNAVAILABLE;
    }
    *phSource = kSourceHandle;
    return 0;
}

__declspec(dllexport) int __cdecl CloseEventSource(HANDLE hSource)
{
    Record("CloseEventSource|%lu", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(hSource)));
    return 0;
}

__declspec(dllexport) int __cdecl ReportEventLogEx(HANDLE hSource, DWORD dwType, DWORD dwCategory, DWORD dwEventId,
                                                   const char* pszMessage, int nReserved)
{
    Record("ReportEventLogEx|%lu|%lu|%lu|0x%08lX|%s|%d", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(hSource)),
           static_cast<unsigned long>(dwType), static_cast<unsigned long>(dwCategory),
           static_cast<unsigned long>(dwEventId), Text(pszMessage), nReserved);
    return 7;
}

} // extern "C"
