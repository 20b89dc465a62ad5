// FakeQuarn32.dll control surface: scripts the engine double's answers and reports its calls.
#pragma once

#include <cstdint>

#include "app/quarn32_api.h"

extern "C" {

// Answers of the double. FakeQnReset sets the defaults given here.
struct FakeQnScript {
    int32_t nInitResult;          // 0: QNInit opens a handle
    int32_t nReadResult;          // 0
    int32_t nSetConfigResult;     // 0
    int32_t bForcePropertyResult; // 0: QNGetPatternProperty answers from the major types
    int32_t nForcedPropertyResult;
    int32_t bForceLaterCount;     // 0: calls after a handle's first property call return this instead
    int32_t nLaterCount;
    int32_t bForceCapacityOut;    // 0: the request's capacity is left as it is
    int32_t nCapacityOut;
    int32_t nExtListSizeResult;   // 0
    int32_t bForceExtListSize;    // 0: the size is the list's length plus its terminator
    uint32_t dwExtListSize;
    int32_t bExtListUnterminated; // 0: QNGetExtList writes exactly the reported size, no terminator added
};

struct FakeQnStats {
    int32_t nInitCalls;
    int32_t nOpened;
    int32_t nClosed;
    int32_t nOpenNow;
    int32_t nBadHandleCalls; // calls (close included) with a handle that is not open
    int32_t nEngineCalls;    // every call of the seven operations
};

void FakeQnReset(void);
void FakeQnSetScript(const FakeQnScript* pScript);
void FakeQnGetScript(FakeQnScript* pScript);
// Major types answered by QNGetPatternProperty; records are copied as they are (raw names).
void FakeQnSetMajorTypes(const QN_MAJOR_TYPE_RECORD* pRecords, int32_t nCount);
void FakeQnSetExtList(const char* pszList);
void FakeQnGetStats(FakeQnStats* pStats);
// The calls so far, ";"-separated (see fake_quarn32.cpp); returns the length, copies at most
// cchBuffer - 1 characters.
int32_t FakeQnGetTrace(char* pszBuffer, int32_t cchBuffer);

} // extern "C"
