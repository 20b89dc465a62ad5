// Runs one signature operation in a process of its own, so that the tests get
// fresh singletons and a module folder of their choosing.
//   sign_probe certinfo <file>   exit 1 when the certificate-information check passes, else 0
//   sign_probe singleton         two threads ask for the verifier at once; prints "same=1" when
//                                both got one instance
//   sign_probe load <issuer> <path>   LoadLibraryWithIssuerCheckW; prints "module=<0|1> err=<last error>"
//                                     and, when loaded, "path=<file the module was mapped from>"
//   sign_probe report <path> <issuer> reports a refused library (8-bit arguments)
// Options before the operation:
//   --cwd <folder>     run in this current folder
//   --windows-trust    trust provider and chain policies answer as on Windows (an untrusted root is refused)
#include <windows.h>
#include <wintrust.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <thread>

#include "common/text_convert.h"
#include "sign/issuer_check.h"
#include "sign/verify_file_sign.h"
#include "sign_test_support.h"

namespace {

int CertInfo(const wchar_t* pwszFile)
{
    WINTRUST_FILE_INFO fileInfo = {sizeof(fileInfo), pwszFile, nullptr, nullptr};
    WINTRUST_DATA data = sign_testing::FileTrustData(fileInfo);
    return CVerifyFileSignV2::GetInstance()->VerifyEmbeddedSignatureByCertInfo(pwszFile, data) ? 1 : 0;
}

int Singleton()
{
    std::atomic<int> ready{0};
    CVerifyFileSignV2* pFirst = nullptr;
    CVerifyFileSignV2* pSecond = nullptr;
    auto ask = [&](CVerifyFileSignV2** ppOut) {
        ++ready;
        while (ready.load() < 2) {
        }
        *ppOut = CVerifyFileSignV2::GetInstance();
    };
    std::thread first(ask, &pFirst);
    std::thread second(ask, &pSecond);
    first.join();
    second.join();
    printf("same=%d\n", pFirst != nullptr && pFirst == pSecond ? 1 : 0);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    while (argc >= 2 && wcsncmp(argv[1], L"--", 2) == 0) {
        if (wcscmp(argv[1], L"--windows-trust") == 0) {
            SetTrustProvider(&sign_testing::WindowsLikeTable());
            argv += 1;
            argc -= 1;
        } else if (argc >= 3 && wcscmp(argv[1], L"--cwd") == 0) {
            if (!::SetCurrentDirectoryW(argv[2])) {
                return 3;
            }
            argv += 2;
            argc -= 2;
        } else {
            return 2;
        }
    }
    if (argc == 3 && wcscmp(argv[1], L"certinfo") == 0) {
        return CertInfo(argv[2]);
    }
    if (argc == 2 && wcscmp(argv[1], L"singleton") == 0) {
        return Singleton();
    }
    if (argc == 4 && wcscmp(argv[1], L"load") == 0) {
        ::SetLastError(0xdeadbeef);
        HMODULE hModule = LoadLibraryWithIssuerCheckW(argv[2], argv[3]);
        const DWORD dwErr = ::GetLastError();
        printf("module=%d err=%lu\n", hModule != nullptr ? 1 : 0, dwErr);
        if (hModule != nullptr) {
            wchar_t wszPath[MAX_PATH] = {};
            ::GetModuleFileNameW(hModule, wszPath, MAX_PATH);
            printf("path=%s\n", UTIL::WideToAnsi(wszPath).c_str());
        }
        return 0;
    }
    if (argc == 4 && wcscmp(argv[1], L"report") == 0) {
        WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(UTIL::WideToAnsi(argv[2]).c_str(),
                                                                   UTIL::WideToAnsi(argv[3]).c_str());
        return 0;
    }
    return 2;
}
