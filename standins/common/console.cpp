// Console ends of the stand-in programs: when to quit, and UTF-8 output.
#include "console.h"

#include <vector>

#include "common/unique_resource.h"

namespace standin {

namespace {

std::vector<HANDLE> g_quitEvents;

void SetQuitEvents()
{
    for (HANDLE hEvent : g_quitEvents) {
        ::SetEvent(hEvent);
    }
}

BOOL WINAPI OnConsoleCtrl(DWORD)
{
    SetQuitEvents();
    return TRUE;
}

DWORD WINAPI WatchStdin(void*)
{
    char buf[256];
    DWORD got = 0;
    const HANDLE hIn = ::GetStdHandle(STD_INPUT_HANDLE);
    while (hIn != nullptr && hIn != INVALID_HANDLE_VALUE && ::ReadFile(hIn, buf, sizeof(buf), &got, nullptr) && got > 0) {
    }
    SetQuitEvents();
    return 0;
}

} // namespace

void SetEventsOnConsoleEnd(std::initializer_list<HANDLE> events, bool watchStdin)
{
    g_quitEvents.assign(events);
    ::SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
    if (watchStdin) {
        UTIL::UniqueHandle thread(::CreateThread(nullptr, 0, WatchStdin, nullptr, 0, nullptr));
    }
}

std::string ToUtf8(const std::wstring& text)
{
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string s(n > 0 ? n : 0, '\0');
    if (n > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &s[0], n, nullptr, nullptr);
    }
    return s;
}

} // namespace standin
