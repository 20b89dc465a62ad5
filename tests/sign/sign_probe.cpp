// Runs one signature operation in a process of its own, so that the tests get
// fresh singletons and a module folder of their choosing.
//   sign_probe certinfo <file>   exit 1 when the certificate-information check passes, else 0
//   sign_probe singleton         two threads ask for the verifier at once; prints "same=1" when
//                                both got one instance
#include <windows.h>
#include <wintrust.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <thread>

#include "sign/verify_file_sign.h"

namespace {

int CertInfo(const wchar_t* pwszFile)
{
    WINTRUST_FILE_INFO fileInfo = {sizeof(fileInfo), pwszFile, nullptr, nullptr};
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(WINTRUST_DATA);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
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
    if (argc == 3 && wcscmp(argv[1], L"certinfo") == 0) {
        return CertInfo(argv[2]);
    }
    if (argc == 2 && wcscmp(argv[1], L"singleton") == 0) {
        return Singleton();
    }
    return 2;
}
