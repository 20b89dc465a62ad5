// Command line handling and command dispatch.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "app/kivproxy.h"
#include "com/com_initiator.h"
#include "log/debug_log.h"

namespace {
const wchar_t kFunc[] = L"wmain";
const wchar_t kCommandInstall[] = L"Install";
const wchar_t kCommandPostPatternUpdate[] = L"PostPatternUpdate";

int NotEnoughParameter(int nLine)
{
    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, nLine, L"%s - Not enough parameter.", kFunc);
    printf("Not enough parameter.");
    return -1;
}
} // namespace

int RunKivProxy(int argc, wchar_t* argv[])
{
    if (argc < 3) {
        return NotEnoughParameter(985);
    }
    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 990, L"%s - >>>", kFunc);

    int nResult = -1;
    {
        UTIL::CComInitiator comInitiator(COINIT_MULTITHREADED, FALSE);
        DebugLogW(LOG_LEVEL_INFO, kKivProxySource, 995, L"%s - COM initialize status = %d", kFunc,
                  comInitiator.GetResult());
        {
            const std::wstring strComponentId(argv[1]);
            const std::wstring strCommand(argv[2]);

            if (_wcsicmp(strCommand.c_str(), kCommandInstall) == 0) {
                nResult = InstallCommand(strComponentId);
            } else if (_wcsicmp(strCommand.c_str(), kCommandPostPatternUpdate) == 0) {
                if (argc < 5) {
                    nResult = NotEnoughParameter(1044);
                } else {
                    const std::wstring strPatternFile(argv[3]);
                    const std::wstring strIniFile(argv[4]);
                    const bool bProperty = FlushPatternPropertyToIni(strPatternFile, strIniFile);
                    const bool bExtList = FlushPatternExtListToIni(strPatternFile, strIniFile);
                    nResult = (bProperty && bExtList) ? 0 : -1;
                }
            } else {
                DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 1050, L"%s - Invalid parameter.", kFunc);
                printf("Invalid parameter.");
                nResult = -1;
            }
            DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 1054, L"%s - <<< %d", kFunc, nResult);
        } // argument strings released before COM
    }     // COM released after the exit line
    fflush(stdout);
    return nResult;
}
