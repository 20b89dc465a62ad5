// Debug log writer: filter, compose "[][<program>]<message>", hand off.
#include "log/debug_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <new>

#if defined(_MSC_VER)
#define KIV_NOINLINE __declspec(noinline)
#else
#define KIV_NOINLINE __attribute__((noinline))
#endif

namespace {

const size_t kTextChars = 4096;
const uint32_t kFilterSwitch = 0x10000;

// Threshold per level code 0..255: 2 fatal, 4 error, 5 warning, 7 info, -1 always, 9 debug.
struct LevelTable {
    signed char threshold[256];
    LevelTable()
    {
        for (int i = 0; i < 256; ++i) {
            threshold[i] = 9;
        }
        threshold[0] = threshold[1] = threshold[2] = threshold['F'] = 2;
        threshold[3] = threshold[4] = threshold['E'] = 4;
        threshold[5] = threshold['W'] = 5;
        threshold[6] = threshold[7] = threshold['I'] = 7;
        threshold['N'] = -1;
    }
};
const LevelTable g_levelTable;

// The rejected path is the hot one: one table lookup and one read of the
// shared word, no formatting and no system call once the word is mapped.
inline bool PassesFilter(int nLevel)
{
    if (static_cast<unsigned>(nLevel) > 255u) {
        return true;
    }
    uint32_t dwWord = 0;
    if (!GetLogLevelMap().ReadWord(&dwWord) || (dwWord & kFilterSwitch) == 0) {
        return true;
    }
    return g_levelTable.threshold[nLevel] <= static_cast<int16_t>(dwWord & 0xFFFF);
}
const int kMessageRoom = 4091; // 4096 minus "[][", "]" and the terminator

// Base name of the running program, fetched once per process (ANSI, then wide).
struct ProgramName {
    char szName[MAX_PATH];
    wchar_t wszName[MAX_PATH];
    size_t cchName;

    ProgramName() : cchName(0)
    {
        szName[0] = '\0';
        wszName[0] = L'\0';
        char szPath[MAX_PATH] = {};
        const DWORD cch = ::GetModuleFileNameA(nullptr, szPath, MAX_PATH);
        if (cch == 0 || cch >= MAX_PATH) {
            szPath[MAX_PATH - 1] = '\0';
        }
        const char* pszBase = strrchr(szPath, '\\');
        pszBase = pszBase != nullptr ? pszBase + 1 : szPath;
        strncpy(szName, pszBase, MAX_PATH - 1);
        szName[MAX_PATH - 1] = '\0';
        if (::MultiByteToWideChar(CP_ACP, 0, szName, -1, wszName, MAX_PATH) == 0) {
            wszName[0] = L'\0';
        }
        wszName[MAX_PATH - 1] = L'\0';
        cchName = wcslen(wszName);
    }
};

const ProgramName& GetProgramName()
{
    static const ProgramName s_name; // one-time, thread-safe
    return s_name;
}

// Composition and hand-off live apart from the filter so that a rejected
// record never pays for the large text buffer's stack frame.
KIV_NOINLINE bool ComposeAndSendW(int nLevel, const wchar_t* pwszFile, int nLine,
                                  const wchar_t* pwszFormat, va_list args) noexcept;
KIV_NOINLINE void ComposeAndSendA(int nLevel, const char* pszFile, int nLine, const char* pszFormat,
                                  va_list args) noexcept;

int32_t CurrentTime32()
{
    const time_t now = time(nullptr);
    return now == static_cast<time_t>(-1) ? -1 : static_cast<int32_t>(now);
}

} // namespace

CLogLevelMap& GetLogLevelMap()
{
    // Made once (thread-safe) and never destroyed: any thread may read the word
    // until the process has ended, exit handlers included, so the view stays
    // mapped until the system releases it with the process.
    alignas(CLogLevelMap) static unsigned char s_storage[sizeof(CLogLevelMap)];
    static CLogLevelMap* const s_pMap = new (s_storage) CLogLevelMap;
    return *s_pMap;
}

int LogLevelThreshold(int nLevel)
{
    return (nLevel >= 0 && nLevel <= 255) ? g_levelTable.threshold[nLevel] : -32768;
}

bool IsLogLevelEnabled(int nLevel)
{
    return PassesFilter(nLevel);
}

bool DebugLogW(int nLevel, const wchar_t* pwszFile, int nLine, const wchar_t* pwszFormat, ...) noexcept
{
    if (!PassesFilter(nLevel)) {
        return false;
    }
    va_list args;
    va_start(args, pwszFormat);
    const bool bSent = ComposeAndSendW(nLevel, pwszFile, nLine, pwszFormat, args);
    va_end(args);
    return bSent;
}

void DebugLogA(int nLevel, const char* pszFile, int nLine, const char* pszFormat, ...) noexcept
{
    if (!PassesFilter(nLevel)) {
        return;
    }
    va_list args;
    va_start(args, pszFormat);
    ComposeAndSendA(nLevel, pszFile, nLine, pszFormat, args);
    va_end(args);
}

namespace {

bool ComposeAndSendW(int nLevel, const wchar_t* pwszFile, int nLine, const wchar_t* pwszFormat,
                     va_list args) noexcept
{
    const ProgramName& name = GetProgramName();
    wchar_t wszText[kTextChars];
    wszText[0] = L'[';
    wszText[1] = L']';
    wszText[2] = L'[';
    wmemcpy(wszText + 3, name.wszName, name.cchName);
    size_t pos = 3 + name.cchName;
    wszText[pos++] = L']';

    const int cchRoom = kMessageRoom - static_cast<int>(name.cchName);
    int cchMessage = 0;
    if (pwszFormat != nullptr && cchRoom > 0) {
        cchMessage = _vsnwprintf(wszText + pos, static_cast<size_t>(cchRoom), pwszFormat, args);
        if (cchMessage < 0 || cchMessage > cchRoom) {
            cchMessage = cchRoom; // cut at the room left; not an error
        }
    }
    wszText[pos + static_cast<size_t>(cchMessage)] = L'\0';
    wszText[kTextChars - 1] = L'\0';

    return SendLogRecordW(CurrentTime32(), ::GetCurrentProcessId(), ::GetCurrentThreadId(), nLevel,
                          pwszFile != nullptr ? pwszFile : L"", nLine, wszText);
}

void ComposeAndSendA(int nLevel, const char* pszFile, int nLine, const char* pszFormat, va_list args) noexcept
{
    const ProgramName& name = GetProgramName();
    const size_t cchName = strlen(name.szName);
    char szText[kTextChars];
    szText[0] = '[';
    szText[1] = ']';
    szText[2] = '[';
    memcpy(szText + 3, name.szName, cchName);
    size_t pos = 3 + cchName;
    szText[pos++] = ']';

    const int cchRoom = kMessageRoom - static_cast<int>(cchName);
    int cchMessage = 0;
    if (pszFormat != nullptr && cchRoom > 0) {
        cchMessage = _vsnprintf(szText + pos, static_cast<size_t>(cchRoom), pszFormat, args);
        if (cchMessage < 0 || cchMessage > cchRoom) {
            cchMessage = cchRoom;
        }
    }
    szText[pos + static_cast<size_t>(cchMessage)] = '\0';
    szText[kTextChars - 1] = '\0';

    SendLogRecordA(CurrentTime32(), ::GetCurrentProcessId(), ::GetCurrentThreadId(), nLevel,
                   pszFile != nullptr ? pszFile : "", nLine, szText);
}

} // namespace
