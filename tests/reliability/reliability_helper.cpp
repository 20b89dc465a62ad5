// ReliabilityHelper.exe: the other process of the reliability suite.
//
//   ReliabilityHelper.exe squat <pipe name> <instances>
//       Serves "\\.\pipe\<name>" (duplex, message mode, any number of instances)
//       with that many listening instances until standard input ends.
//   ReliabilityHelper.exe overflow stack|memcpy|wmemcpy|strcpy <bytes>
//       Copies <bytes> into a 16-byte stack buffer, built with the project's own
//       hardening flags; prints "survived" when nothing stopped it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int Squat(const wchar_t* pwszName, int nInstances)
{
    const std::wstring path = std::wstring(L"\\\\.\\pipe\\") + pwszName;
    std::vector<HANDLE> pipes;
    std::vector<OVERLAPPED> overlapped(static_cast<size_t>(nInstances));
    for (int i = 0; i < nInstances; ++i) {
        HANDLE h = ::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                      1024, 1024, 1000, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            return 1;
        }
        pipes.push_back(h);
        overlapped[i].hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ::ConnectNamedPipe(h, &overlapped[i]);
    }
    char buffer[64];
    DWORD got = 0;
    const HANDLE hIn = ::GetStdHandle(STD_INPUT_HANDLE);
    while (::ReadFile(hIn, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    }
    for (size_t i = 0; i < pipes.size(); ++i) {
        ::CancelIo(pipes[i]);
        ::CloseHandle(pipes[i]);
        ::CloseHandle(overlapped[i].hEvent);
    }
    return 0;
}

// Each copy goes through a 16-byte local buffer; the length is only known at run time. The loop
// writes through a pointer the optimiser cannot see through, so that it cannot cut the loop short
// on the grounds that writing past the array cannot happen.
__attribute__((noinline)) void CopyByLoop(const char* src, size_t n)
{
    char buf[16];
    char* volatile target = buf;
    for (size_t i = 0; i < n; ++i) {
        target[i] = src[i];
    }
    std::printf("%c\n", buf[n % sizeof(buf)]);
}

__attribute__((noinline)) void CopyByMemcpy(const char* src, size_t n)
{
    char buf[16];
    memcpy(buf, src, n);
    std::printf("%c\n", buf[n % sizeof(buf)]);
}

__attribute__((noinline)) void CopyByWmemcpy(const wchar_t* src, size_t n)
{
    wchar_t buf[16];
    wmemcpy(buf, src, n);
    std::printf("%lc\n", static_cast<wint_t>(buf[n % 16]));
}

__attribute__((noinline)) void CopyByStrcpy(const char* src)
{
    char buf[16];
    strcpy(buf, src);
    std::printf("%c\n", buf[3]);
}

int Overflow(const wchar_t* pwszKind, size_t n)
{
    if (n > 200) {
        return 2;
    }
    char source[256];
    memset(source, 'A', sizeof(source));
    source[n] = '\0';
    wchar_t wide[256];
    wmemset(wide, L'W', 256);
    if (wcscmp(pwszKind, L"stack") == 0) {
        CopyByLoop(source, n);
    } else if (wcscmp(pwszKind, L"memcpy") == 0) {
        CopyByMemcpy(source, n);
    } else if (wcscmp(pwszKind, L"wmemcpy") == 0) {
        CopyByWmemcpy(wide, n);
    } else if (wcscmp(pwszKind, L"strcpy") == 0) {
        CopyByStrcpy(source);
    } else {
        return 2;
    }
    std::printf("survived\n");
    std::fflush(stdout);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc == 4 && wcscmp(argv[1], L"squat") == 0) {
        return Squat(argv[2], _wtoi(argv[3]));
    }
    if (argc == 4 && wcscmp(argv[1], L"overflow") == 0) {
        return Overflow(argv[2], static_cast<size_t>(_wtoi(argv[3])));
    }
    std::fprintf(stderr, "usage: ReliabilityHelper.exe squat <pipe> <instances> | overflow <kind> <bytes>\n");
    return 2;
}
