// Quarn32 scan-engine interface: the operations exported by ordinal and the data they exchange.
#pragma once

#include <windows.h>

#include <cstdint>

// Opaque engine context given by QNInit.
typedef uint32_t QNHANDLE;

// Request of QNGetPatternProperty: the caller sets both fields before the call.
struct QN_PATTERN_PROPERTY_REQUEST {
    int32_t nCapacity; // records the buffer can hold
    void* pBuffer;     // caller-owned array of QN_MAJOR_TYPE_RECORD
};

#pragma pack(push, 1)
// One major virus type, records back to back in the request buffer.
struct QN_MAJOR_TYPE_RECORD {
    uint16_t wFirstAction;
    uint16_t wSecondAction;
    char szName[17]; // ANSI code page, zero-terminated
};
#pragma pack(pop)
static_assert(sizeof(QN_MAJOR_TYPE_RECORD) == 21, "major-type records are 21 bytes");

// Configuration and property identifiers.
constexpr DWORD QN_CONFIG_ACTION_SET = 0x11000001;     // value: QN_ACTION_SET_MAJOR_TYPES
constexpr DWORD QN_ACTION_SET_MAJOR_TYPES = 2;
constexpr DWORD QN_PROPERTY_MAJOR_TYPES = 0x1000001;   // request: QN_PATTERN_PROPERTY_REQUEST

// Results: 0 is success, every error is negative.
constexpr int32_t QN_OK = 0;
constexpr int32_t QN_E_INVALID_HANDLE = -1001;
constexpr int32_t QN_E_INVALID_ARG = -1002;
constexpr int32_t QN_E_NO_MEMORY = -1003;
constexpr int32_t QN_E_INTERNAL = -1004;
constexpr int32_t QN_E_NOT_LOADED = -1005;       // no pattern in the context
constexpr int32_t QN_E_UNKNOWN_CONFIG = -1006;
constexpr int32_t QN_E_UNKNOWN_PROPERTY = -1007;
constexpr int32_t QN_E_FILE_OPEN = -2001;
constexpr int32_t QN_E_FILE_READ = -2002;
constexpr int32_t QN_E_FILE_TOO_LARGE = -2003;
constexpr int32_t QN_E_BAD_MAGIC = -2101;
constexpr int32_t QN_E_BAD_VERSION = -2102;
constexpr int32_t QN_E_BAD_HEADER = -2103;
constexpr int32_t QN_E_TRUNCATED = -2104;
constexpr int32_t QN_E_BAD_CRC = -2105;
constexpr int32_t QN_E_BAD_COUNT = -2106;        // counts beyond the file or the limits
constexpr int32_t QN_E_BAD_NAME = -2107;
constexpr int32_t QN_E_BAD_EXTLIST = -2108;
constexpr int32_t QN_E_TRAILING_DATA = -2109;
constexpr int32_t QN_E_BAD_RECORD = -2110;

// Exported by ordinal only (see quarn32.def.in); the program binds to the ordinals.
extern "C" {

// Ordinal 289. Opens an engine context. pszOptions must be empty, dwReserved 0.
int32_t WINAPI QNInit(DWORD dwThreadId, const char* pszOptions, DWORD dwReserved, QNHANDLE* phEngine);

// Ordinal 394. Loads a pattern file (ANSI path); on failure the context holds no pattern.
int32_t WINAPI QNReadPatternInFile(QNHANDLE hEngine, const char* pszPatternFile, DWORD dwFlags);

// Ordinal 652. Sets one configuration value of the context.
int32_t WINAPI QNSetConfig(QNHANDLE hEngine, DWORD dwConfigId, DWORD dwValue, DWORD dwReserved);

// Ordinal 654. For QN_PROPERTY_MAJOR_TYPES: fills at most nCapacity records, leaves nCapacity
// unchanged and returns the number of major types of the pattern (negative on error).
int32_t WINAPI QNGetPatternProperty(QNHANDLE hEngine, DWORD dwPropertyId, DWORD dwReserved,
                                    QN_PATTERN_PROPERTY_REQUEST* pRequest);

// Ordinal 449. Bytes needed for the default extension list, terminator included.
int32_t WINAPI QNGetExtListSize(QNHANDLE hEngine, DWORD* pdwSize);

// Ordinal 450. Copies the default extension list (zero-terminated ANSI) into a buffer of the
// size given by QNGetExtListSize.
int32_t WINAPI QNGetExtList(QNHANDLE hEngine, char* pBuffer);

// Ordinal 305. Frees the context; an unknown handle gives QN_E_INVALID_HANDLE.
int32_t WINAPI QNCloseHandle(QNHANDLE hEngine);

} // extern "C"
