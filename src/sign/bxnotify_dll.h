// Wrapper over the maker's event-notification library bxnotify.dll: loaded only
// when signed by the maker, five exports bound as a whole.
#pragma once

#include <windows.h>

#include "common/unique_resource.h"

// Log source of the wrapper's lines (wire content).
extern const char kBxNotifySourceA[];
extern const wchar_t kBxNotifySourceW[];

// Exports of bxnotify.dll (C calling convention, 8-bit strings in the ANSI code page).
using PFN_BxInitDefaultEventSource = int(__cdecl*)(const char* pszSource, int nValue);
using PFN_BxReportEventLog = int(__cdecl*)();
using PFN_BxOpenEventSource = int(__cdecl*)(const char* pszServer, const char* pszSource, HANDLE* phSource);
using PFN_BxCloseEventSource = int(__cdecl*)(HANDLE hSource);
using PFN_BxReportEventLogEx = int(__cdecl*)(HANDLE hSource, DWORD dwType, DWORD dwCategory, DWORD dwEventId,
                                             const char* pszMessage, int nReserved);

// Used by one thread; holds no lock.
class CBxNotifyDLL {
public:
    CBxNotifyDLL();
    CBxNotifyDLL(const CBxNotifyDLL&) = delete;
    CBxNotifyDLL& operator=(const CBxNotifyDLL&) = delete;

    // Loads bxnotify.dll from the folder (null: the running program's folder)
    // when its signature is valid and made by the maker, and binds its five
    // exports. 1 when all are bound, or when Init ran before on this object;
    // 0 otherwise (nothing stays loaded).
    int Init(const char* pszFolder);

    // The export's result, or -2 when the entry is not bound.
    int InitDefaultEventSource(const char* pszSource, int nValue);
    int OpenEventSource(const char* pszServer, const char* pszSource, HANDLE* phSource);
    int CloseEventSource(HANDLE hSource);
    int ReportEventLogEx(HANDLE hSource, DWORD dwType, DWORD dwCategory, DWORD dwEventId, const char* pszMessage);

private:
    void Unbind();

    UTIL::UniqueModule m_hModule;
    PFN_BxInitDefaultEventSource m_pfnInitDefaultEventSource;
    PFN_BxReportEventLog m_pfnReportEventLog;
    PFN_BxOpenEventSource m_pfnOpenEventSource;
    PFN_BxCloseEventSource m_pfnCloseEventSource;
    PFN_BxReportEventLogEx m_pfnReportEventLogEx;
    bool m_bInitialized;
};
