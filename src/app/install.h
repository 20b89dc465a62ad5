// Install workflow of one add-on component.
#pragma once

#include <windows.h>

#include <string>

// What the workflow asks of the outside world. The program uses the real
// lookups, requests and a real 5-second pause; tests drive the same sequence
// with their own answers.
class IInstallEnvironment {
public:
    virtual ~IInstallEnvironment() = default;
    virtual bool GetProductInfo(const std::wstring& strId, std::wstring& strVersion, std::wstring& strLanguage) = 0;
    virtual bool GetProductDllPath(std::wstring& strDllPath, const std::wstring& strId, const std::wstring& strVersion,
                                   const std::wstring& strLanguage) = 0;
    virtual bool FileExists(const std::wstring& strPath) = 0;
    virtual void QueryActionStatus(int& nStatus, const std::wstring& strId, const std::wstring& strVersion,
                                   const std::wstring& strLanguage) = 0;
    virtual bool RequestComponentDownload(const std::wstring& strId, const std::wstring& strVersion) = 0;
    virtual bool RequestComponentInstall(const std::wstring& strId, const std::wstring& strVersion) = 0;
    virtual bool RequestComponentUpgrade(const std::wstring& strId, const std::wstring& strVersion) = 0;
    virtual void Pause(DWORD dwMilliseconds) = 0;
};

// The production environment: registry, component list, plug-in manager pipe, Sleep.
IInstallEnvironment& DefaultInstallEnvironment();

// Install workflow over a given environment; 0 on success, -1 on failure.
int RunInstallWorkflow(const std::wstring& strComponentId, IInstallEnvironment& env);

// Component action statuses kept by the plug-in manager.
enum : int {
    KIV_STATUS_READY_TO_INSTALL = 3,
    KIV_STATUS_READY_TO_UPGRADE = 5,
    KIV_STATUS_COMPLETE = 7,
};

const DWORD kInstallPauseMs = 5000;
const unsigned kInstallMaxAttempts = 5;
