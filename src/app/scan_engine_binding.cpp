// Binding of KivProxy.exe to the scan engine Quarn32.dll, which it delay-loads.
//
// The engine's ordinals are bound on the first engine call, so the commands
// that never use the engine neither load it nor need it. When the library
// cannot be loaded or lacks one of the ordinals the program calls, every
// engine call answers with that system error code (126 or 127) instead of
// raising the delay-load exception, so an export fails the way a failed
// QNInit does: logged, and the command's exit code -1.
#include <windows.h>

#include <delayimp.h>

#include <cstdint>
#include <cstring>

#include "app/quarn32_api.h"

namespace {

const char kScanEngineLibrary[] = "Quarn32.dll";

// The system error code that every engine call answers with while unbound.
int32_t g_nBindError = 0;

int32_t WINAPI UnboundQNInit(DWORD, const char*, DWORD, QNHANDLE*)
{
    return g_nBindError;
}
int32_t WINAPI UnboundQNReadPatternInFile(QNHANDLE, const char*, DWORD)
{
    return g_nBindError;
}
int32_t WINAPI UnboundQNSetConfig(QNHANDLE, DWORD, DWORD, DWORD)
{
    return g_nBindError;
}
int32_t WINAPI UnboundQNGetPatternProperty(QNHANDLE, DWORD, DWORD, QN_PATTERN_PROPERTY_REQUEST*)
{
    return g_nBindError;
}
int32_t WINAPI UnboundQNGetExtListSize(QNHANDLE, DWORD*)
{
    return g_nBindError;
}
int32_t WINAPI UnboundQNGetExtList(QNHANDLE, char*)
{
    return g_nBindError;
}
int32_t WINAPI UnboundQNCloseHandle(QNHANDLE)
{
    return g_nBindError;
}

// Function pointers travel as FARPROC; the caller's import has the real type.
template <typename F>
FARPROC AsFarProc(F* pfn)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(pfn));
}

struct EngineOrdinal {
    WORD wOrdinal;
    FARPROC pfnUnbound;
};
const EngineOrdinal kEngineOrdinals[] = {
    {289, AsFarProc(&UnboundQNInit)},
    {394, AsFarProc(&UnboundQNReadPatternInFile)},
    {652, AsFarProc(&UnboundQNSetConfig)},
    {654, AsFarProc(&UnboundQNGetPatternProperty)},
    {449, AsFarProc(&UnboundQNGetExtListSize)},
    {450, AsFarProc(&UnboundQNGetExtList)},
    {305, AsFarProc(&UnboundQNCloseHandle)},
};

// Loads the engine once and checks every ordinal; 0 when all are there, else
// the system error code. The library stays loaded for the life of the process.
int32_t CheckEngineBinding()
{
    const HMODULE hEngine = ::LoadLibraryA(kScanEngineLibrary);
    if (hEngine == nullptr) {
        const DWORD dwErr = ::GetLastError();
        return dwErr != 0 ? static_cast<int32_t>(dwErr) : ERROR_MOD_NOT_FOUND;
    }
    for (const EngineOrdinal& entry : kEngineOrdinals) {
        if (::GetProcAddress(hEngine, MAKEINTRESOURCEA(entry.wOrdinal)) == nullptr) {
            return ERROR_PROC_NOT_FOUND;
        }
    }
    return 0;
}

// Before the delay-load helper binds an engine ordinal: null lets it bind the
// real one; a function returned instead is called in its place, and the
// import stays unbound.
FARPROC WINAPI ScanEngineNotifyHook(unsigned uNotify, PDelayLoadInfo pInfo)
{
    if (uNotify != dliStartProcessing || pInfo == nullptr || pInfo->szDll == nullptr ||
        _stricmp(pInfo->szDll, kScanEngineLibrary) != 0 || pInfo->dlp.fImportByName) {
        return nullptr;
    }
    static const int32_t s_nBindError = CheckEngineBinding(); // one-time, thread-safe
    if (s_nBindError == 0) {
        return nullptr;
    }
    g_nBindError = s_nBindError;
    for (const EngineOrdinal& entry : kEngineOrdinals) {
        if (entry.wOrdinal == pInfo->dlp.dwOrdinal) {
            return entry.pfnUnbound;
        }
    }
    return nullptr;
}

} // namespace

extern "C" {
PfnDliHook __pfnDliNotifyHook2 = ScanEngineNotifyHook;
}
