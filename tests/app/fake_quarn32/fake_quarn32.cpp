// FakeQuarn32.dll: engine double for tests; scripted answers, counted handles, a trace of calls.
// Trace entries:
//   Init(self|other,'<options>',<reserved>)   Read('<path>',<flags>)   SetConfig(0x<id>,<value>,<reserved>)
//   Property(0x<id>,<reserved>,cap=<capacity>)   ExtListSize   ExtList   Close
// A call with a handle that is not open is traced as "<name>(bad handle)".
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "fake_quarn32_control.h"

namespace {

struct FakeState {
    std::mutex lock;
    FakeQnScript script = {};
    std::vector<QN_MAJOR_TYPE_RECORD> types;
    std::string extList;
    FakeQnStats stats = {};
    std::map<QNHANDLE, int> propertyCalls; // open handles and their property calls so far
    QNHANDLE nextHandle = 0x7000;
    std::string trace;

    FakeState() { Reset(); }

    void Reset()
    {
        script = FakeQnScript{};
        types.clear();
        extList = "{*;exe}";
        stats = FakeQnStats{};
        propertyCalls.clear();
        trace.clear();
    }

    void Trace(const std::string& entry)
    {
        if (!trace.empty()) {
            trace += ';';
        }
        trace += entry;
    }

    // True when the handle is open; otherwise traces the bad call.
    bool Check(QNHANDLE hEngine, const char* name)
    {
        ++stats.nEngineCalls;
        if (propertyCalls.count(hEngine) != 0) {
            return true;
        }
        ++stats.nBadHandleCalls;
        Trace(std::string(name) + "(bad handle)");
        return false;
    }
};

FakeState& State()
{
    static FakeState state;
    return state;
}

std::string Format(const char* format, ...)
{
    char buf[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    return buf;
}

} // namespace

extern "C" {

int32_t WINAPI QNInit(DWORD dwThreadId, const char* pszOptions, DWORD dwReserved, QNHANDLE* phEngine)
{
    FakeState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    ++s.stats.nEngineCalls;
    ++s.stats.nInitCalls;
    s.Trace(Format("Init(%s,'%s',%lu)", dwThreadId == ::GetCurrentThreadId() ? "self" : "other",
                   pszOptions != nullptr ? pszOptions : "(null)", dwReserved));
    if (s.script.nInitResult != 0) {
        return s.script.nInitResult;
    }
    const QNHANDLE h = ++s.nextHandle;
    s.propertyCalls[h] = 0;
    *phEngine = h;
    ++s.stats.nOpened;
    ++s.stats.nOpenNow;
    return 0;
}

int32_t WINAPI QNReadPatternInFile(QNHANDLE hEngine, const char* pszPatternFile, DWORD dwFlags)
{
    FakeState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.Check(hEngine, "Read")) {
        return QN_E_INVALID_HANDLE;
    }
    s.Trace(Format("Read('%s',%lu)", pszPatternFile != nullptr ? pszPatternFile : "(null)", dwFlags));
    return s.script.nReadResult;
}

int32_t WINAPI QNSetConfig(QNHANDLE hEngine, DWORD dwConfigId, DWORD dwValue, DWORD dwReserved)
{
    FakeState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.Check(hEngine, "SetConfig")) {
        return QN_E_INVALID_HANDLE;
    }
    s.Trace(Format("SetConfig(0x%08lx,%lu,%lu)", dwConfigId, dwValue, dwReserved));
    return s.script.nSetConfigResult;
}

int32_t WINAPI QNGetPatternProperty(QNHANDLE hEngine, DWORD dwPropertyId, DWORD dwReserved,
                                    QN_PATTERN_PROPERTY_REQUEST* pRequest)
{
    FakeState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.Check(hEngine, "Property")) {
        return QN_E_INVALID_HANDLE;
    }
    s.Trace(Format("Property(0x%08lx,%lu,cap=%ld)", dwPropertyId, dwReserved,
                   pRequest != nullptr ? static_cast<long>(pRequest->nCapacity) : -999L));
    const int nCall = ++s.propertyCalls[hEngine];
    if (s.script.bForcePropertyResult) {
        return s.script.nForcedPropertyResult;
    }
    if (pRequest == nullptr || pRequest->nCapacity < 0) {
        return QN_E_INVALID_ARG;
    }
    // Never writes past the capacity it was given, whatever it reports afterwards.
    const size_t fill = std::min(s.types.size(), static_cast<size_t>(pRequest->nCapacity));
    if (fill != 0) {
        std::memcpy(pRequest->pBuffer, s.types.data(), fill * sizeof(QN_MAJOR_TYPE_RECORD));
    }
    if (s.script.bForceCapacityOut) {
        pRequest->nCapacity = s.script.nCapacityOut;
    }
    if (nCall > 1 && s.script.bForceLaterCount) {
        return s.script.nLaterCount;
    }
    return static_cast<int32_t>(s.types.size());
}

int32_t WINAPI QNGetExtListSize(QNHANDLE hEngine, DWORD* pdwSize)
{
    FakeState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.Check(hEngine, "ExtListSize")) {
        return QN_E_INVALID_HANDLE;
    }
    s.Trace("ExtListSize");
    if (s.script.nExtListSizeResult != 0) {
        return s.script.nExtListSizeResult;
    }
    *pdwSize = s.script.bForceExtListSize ? s.script.dwExtListSize : static_cast<DWORD>(s.extList.size() + 1);
    return 0;
}

int32_t WINAPI QNGetExtList(QNHANDLE hEngine, char* pBuffer)
{
    FakeState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.Check(hEngine, "ExtList")) {
        return QN_E_INVALID_HANDLE;
    }
    s.Trace("ExtList");
    const size_t size = s.script.bForceExtListSize ? s.script.dwExtListSize : s.extList.size() + 1;
    if (s.script.bExtListUnterminated) {
        // Fills the whole reported size with list text and no terminator.
        for (size_t i = 0; i < size; ++i) {
            pBuffer[i] = s.extList.empty() ? 'x' : s.extList[i % s.extList.size()];
        }
    } else {
        const size_t n = std::min(size, s.extList.size() + 1);
        std::memcpy(pBuffer, s.extList.c_str(), n);
    }
    return 0;
}

int32_t WINAPI QNCloseHandle(QNHANDLE hEngine)
{
    FakeState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.Check(hEngine, "Close")) {
        return QN_E_INVALID_HANDLE;
    }
    s.Trace("Close");
    s.propertyCalls.erase(hEngine);
    ++s.stats.nClosed;
    --s.stats.nOpenNow;
    return 0;
}

void FakeQnReset(void)
{
    FakeState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.Reset();
}

void FakeQnSetScript(const FakeQnScript* pScript)
{
    FakeState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.script = *pScript;
}

void FakeQnGetScript(FakeQnScript* pScript)
{
    FakeState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    *pScript = s.script;
}

void FakeQnSetMajorTypes(const QN_MAJOR_TYPE_RECORD* pRecords, int32_t nCount)
{
    FakeState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.types.assign(pRecords, pRecords + (nCount > 0 ? nCount : 0));
}

void FakeQnSetExtList(const char* pszList)
{
    FakeState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.extList = pszList;
}

void FakeQnGetStats(FakeQnStats* pStats)
{
    FakeState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    *pStats = s.stats;
}

int32_t FakeQnGetTrace(char* pszBuffer, int32_t cchBuffer)
{
    FakeState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (pszBuffer != nullptr && cchBuffer > 0) {
        const size_t n = std::min(s.trace.size(), static_cast<size_t>(cchBuffer - 1));
        std::memcpy(pszBuffer, s.trace.data(), n);
        pszBuffer[n] = '\0';
    }
    return static_cast<int32_t>(s.trace.size());
}

} // extern "C"
