// Debug log writer: filter, compose "[][<program>]<message>", hand off.
#include "log/debug_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>

namespace {

const size_t kTextChars = 4096;
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

int32_t CurrentTime32()
{
    const time_t now = time(nullptr);
    return now == static_cast<time_t>(-1) ? -1 : static_cast<int32_t>(now);
}

} // namespace

bool DebugLogW(int nLevel, const wchar_t* pwszFile, int nLine, const wchar_t* pwszFormat, ...)
{
    if (!IsLogLevelEnabled(nLevel)) {
        return false;
    }

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
        va_list args;
        va_start(args, pwszFormat);
        cchMessage = _vsnwprintf(wszText + pos, static_cast<size_t>(cchRoom), pwszFormat, args);
        va_end(args);
        if (cchMessage < 0 || cchMessage > cchRoom) {
            cchMessage = cchRoom; // cut at the room left; not an error
        }
    }
    wszText[pos + static_cast<size_t>(cchMessage)] = L'\0';
    wszText[kTextChars - 1] = L'\0';

    return SendLogRecordW(CurrentTime32(), ::GetCurrentProcessId(), ::GetCurrentThreadId(), nLevel,
                          pwszFile != nullptr ? pwszFile : L"", nLine, wszText);
}

void DebugLogA(int nLevel, const char* pszFile, int nLine, const char* pszFormat, ...)
{
    if (!IsLogLevelEnabled(nLevel)) {
        return;
    }

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
        va_list args;
        va_start(args, pszFormat);
        cchMessage = _vsnprintf(szText + pos, static_cast<size_t>(cchRoom), pszFormat, args);
        va_end(args);
        if (cchMessage < 0 || cchMessage > cchRoom) {
            cchMessage = cchRoom;
        }
    }
    szText[pos + static_cast<size_t>(cchMessage)] = '\0';
    szText[kTextChars - 1] = '\0';

    SendLogRecordA(CurrentTime32(), ::GetCurrentProcessId(), ::GetCurrentThreadId(), nLevel,
                   pszFile != nullptr ? pszFile : "", nLine, szText);
}
