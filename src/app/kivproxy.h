// KivProxy commands: add-on component install and pattern export.
#pragma once

#include <string>

// Log source name of the program's own lines (wire content, not a file path).
extern const wchar_t kKivProxySource[];

// Runs the command line the way wmain does; returns the exit code (0 / -1).
int RunKivProxy(int argc, wchar_t* argv[]);

// Install or upgrade one add-on component through the plug-in manager.
int InstallCommand(const std::wstring& strComponentId);

// Pattern export after a virus-pattern update.
bool FlushPatternPropertyToIni(const std::wstring& strPatternFile, const std::wstring& strIniFile);
bool FlushPatternExtListToIni(const std::wstring& strPatternFile, const std::wstring& strIniFile);
