// Debug log: filtered by the shared verbosity word, forwarded to the log server.
#pragma once

#include <windows.h>

#include <cstdint>

#include "common/unique_resource.h"

// Level codes used across the program.
enum : int {
    LOG_LEVEL_PIPE = 5,      // failures inside the pipe layer and 8-bit callers
    LOG_LEVEL_XML_ERROR = 8, // COM error report of the XML wrapper
    LOG_LEVEL_DEBUG = 68,    // 'D': entry/exit traces and details
    LOG_LEVEL_ERROR = 69,    // 'E': failures
    LOG_LEVEL_INFO = 73,     // 'I': notable facts
    LOG_LEVEL_NOTICE = 78,   // 'N'
    LOG_LEVEL_WARNING = 87,  // 'W': warnings
};

// Formats "[][<program>]<message>" (at most 4095 characters) and sends it as a
// LOG_WRITE record to the log server. Wide formats follow the Microsoft
// convention: "%s" takes a wide string, "%S" an 8-bit one.
// Returns false when the record is filtered out or cannot be composed or
// delivered (it is then dropped); never throws, never logs its own failures.
bool DebugLogW(int nLevel, const wchar_t* pwszFile, int nLine, const wchar_t* pwszFormat, ...) noexcept;

// 8-bit twin of DebugLogW: the source file and text are converted from the
// ANSI code page before they are sent.
void DebugLogA(int nLevel, const char* pszFile, int nLine, const char* pszFormat, ...) noexcept;

// True when a record of this level passes the shared verbosity filter.
bool IsLogLevelEnabled(int nLevel);

// Filter threshold of a level code in 0..255.
int LogLevelThreshold(int nLevel);

// Process-wide holder of the shared verbosity word "Global\log_level_map_file".
class CLogLevelMap {
public:
    CLogLevelMap();
    CLogLevelMap(const CLogLevelMap&) = delete;
    CLogLevelMap& operator=(const CLogLevelMap&) = delete;

    // False when there is no mapped word (every record then passes).
    bool ReadWord(uint32_t* pdwWord) const
    {
        const void* pView = m_view.Get();
        if (pView == nullptr) {
            return false;
        }
        *pdwWord = *static_cast<const volatile uint32_t*>(pView);
        return true;
    }

    // The mapping (not inheritable); null when it could not be created or opened.
    HANDLE Mapping() const { return m_hMapping.Get(); }

private:
    UTIL::UniqueHandle m_hMapping;
    UTIL::UniqueMappedView m_view;
};

// The process-wide level map holder, created on the first call and kept, with
// the word mapped, until the process ends.
CLogLevelMap& GetLogLevelMap();

// Forwarders: build a LOG_WRITE message and write it to "Log_ServerNamePipe"
// over a connection of its own. True when the whole message was written;
// false, without throwing, also when memory for the message runs out.
bool SendLogRecordW(int32_t nTime, uint32_t dwProcessId, uint32_t dwThreadId, int32_t nLevel,
                    const wchar_t* pwszFile, int32_t nLine, const wchar_t* pwszText) noexcept;
bool SendLogRecordA(int32_t nTime, uint32_t dwProcessId, uint32_t dwThreadId, int32_t nLevel,
                    const char* pszFile, int32_t nLine, const char* pszText) noexcept;

// Name of the log server's pipe and of the shared verbosity word.
extern const wchar_t kLogServerPipeName[];
extern const wchar_t kLogLevelMapName[];
