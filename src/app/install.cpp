// Install workflow: download, wait for readiness, install or upgrade, wait for completion, verify.
#include "app/install.h"

#include <io.h>

#include "app/component_lookup.h"
#include "app/kivproxy.h"
#include "app/manager_requests.h"
#include "log/debug_log.h"

namespace {

const wchar_t kFunc[] = L"InstallCommand";

class CDefaultInstallEnvironment : public IInstallEnvironment {
public:
    bool GetProductInfo(const std::wstring& strId, std::wstring& strVersion, std::wstring& strLanguage) override
    {
        return ::GetProductInfo(strId, strVersion, strLanguage);
    }
    bool GetProductDllPath(std::wstring& strDllPath, const std::wstring& strId, const std::wstring& strVersion,
                           const std::wstring& strLanguage) override
    {
        return ::GetProductDllPath(strDllPath, strId, strVersion, strLanguage);
    }
    bool FileExists(const std::wstring& strPath) override { return _waccess(strPath.c_str(), 0) == 0; }
    void QueryActionStatus(int& nStatus, const std::wstring& strId, const std::wstring& strVersion,
                           const std::wstring& strLanguage) override
    {
        ::QueryActionStatus(nStatus, strId, strVersion, strLanguage);
    }
    bool RequestComponentDownload(const std::wstring& strId, const std::wstring& strVersion) override
    {
        return ::RequestComponentDownload(strId, strVersion);
    }
    bool RequestComponentInstall(const std::wstring& strId, const std::wstring& strVersion) override
    {
        return ::RequestComponentInstall(strId, strVersion);
    }
    bool RequestComponentUpgrade(const std::wstring& strId, const std::wstring& strVersion) override
    {
        return ::RequestComponentUpgrade(strId, strVersion);
    }
    void Pause(DWORD dwMilliseconds) override { ::Sleep(dwMilliseconds); }
};

// Looks the plug-in library up and checks that its file exists.
bool CheckPluginLibrary(IInstallEnvironment& env, std::wstring& strDllPath, const std::wstring& strId,
                        const std::wstring& strVersion, const std::wstring& strLanguage, int nLine)
{
    const bool bFound = env.GetProductDllPath(strDllPath, strId, strVersion, strLanguage);
    const bool bExists = bFound && env.FileExists(strDllPath);
    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, nLine, L"%s - DllPathFound(%d), DllExisted(%d)", kFunc,
              bFound ? 1 : 0, bExists ? 1 : 0);
    return bFound && bExists;
}

} // namespace

IInstallEnvironment& DefaultInstallEnvironment()
{
    static CDefaultInstallEnvironment s_env;
    return s_env;
}

int RunInstallWorkflow(const std::wstring& strId, IInstallEnvironment& env)
{
    int nResult = -1;
    std::wstring strVersion;
    std::wstring strLanguage;
    std::wstring strDllPath;
    int nStatus = 0;
    unsigned uAttempts = 0; // shared by both polling phases

    if (!env.GetProductInfo(strId, strVersion, strLanguage)) {
        DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 489, L"%s - Can't find DLP version in XML!", kFunc);
    } else {
        bool bCheckFinal = CheckPluginLibrary(env, strDllPath, strId, strVersion, strLanguage, 397);
        if (!bCheckFinal) {
            env.RequestComponentDownload(strId, strVersion);
            env.Pause(kInstallPauseMs);

            // Wait until the package is ready for installing or upgrading.
            nStatus = 0;
            for (;;) {
                env.QueryActionStatus(nStatus, strId, strVersion, strLanguage);
                if (nStatus == KIV_STATUS_READY_TO_INSTALL || nStatus == KIV_STATUS_READY_TO_UPGRADE) {
                    break;
                }
                env.Pause(kInstallPauseMs);
                if (++uAttempts > kInstallMaxAttempts) {
                    env.QueryActionStatus(nStatus, strId, strVersion, strLanguage);
                    break;
                }
            }

            bool bRequested = true;
            if (nStatus == KIV_STATUS_READY_TO_UPGRADE) {
                env.RequestComponentUpgrade(strId, strVersion);
            } else if (nStatus == KIV_STATUS_READY_TO_INSTALL) {
                env.RequestComponentInstall(strId, strVersion);
            } else {
                bRequested = false;
                DebugLogW(LOG_LEVEL_WARNING, kKivProxySource, 437,
                          L"%s - Vreb package is not ready, skip install/upgrade", kFunc);
                DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 484,
                          L"%s - Can't complete DLP download/install, status(%d)", kFunc, nStatus);
            }

            if (bRequested) {
                // Wait until the operation is complete, with what is left of the attempts.
                env.Pause(kInstallPauseMs);
                nStatus = 0;
                for (;;) {
                    env.QueryActionStatus(nStatus, strId, strVersion, strLanguage);
                    if (nStatus == KIV_STATUS_COMPLETE) {
                        break;
                    }
                    env.Pause(kInstallPauseMs);
                    if (++uAttempts > kInstallMaxAttempts) {
                        break;
                    }
                }
                bCheckFinal = CheckPluginLibrary(env, strDllPath, strId, strVersion, strLanguage, 469);
                if (!bCheckFinal) {
                    DebugLogW(LOG_LEVEL_ERROR, kKivProxySource, 484,
                              L"%s - Can't complete DLP download/install, status(%d)", kFunc, nStatus);
                }
            }
        }

        if (bCheckFinal) {
            nStatus = 0;
            env.QueryActionStatus(nStatus, strId, strVersion, strLanguage);
            nResult = (nStatus == KIV_STATUS_COMPLETE) ? 0 : -1;
        }
    }

    DebugLogW(LOG_LEVEL_DEBUG, kKivProxySource, 492, L"%s - << %d", kFunc, nResult);
    return nResult;
}

int InstallCommand(const std::wstring& strComponentId)
{
    return RunInstallWorkflow(strComponentId, DefaultInstallEnvironment());
}
