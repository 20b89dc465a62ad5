// Lookups of an add-on component: product folder, component list, registry values.
#pragma once

#include <windows.h>

#include <string>

// Registry locations kept by the product and its plug-in manager (HKLM).
extern const wchar_t kProductInformationKey[];
extern const wchar_t kComponentKeyFormat[];
extern const wchar_t kComponentListFileName[];

// Reads the product's installation folder ("Local_Path"). False when the key
// or value cannot be read or the value does not fit; the buffer is then unchanged.
bool GetQuellguardServerPath(wchar_t (&wszPath)[MAX_PATH]);

// Finds the first Component of the component list whose ID equals the
// identifier (case-sensitive). Outputs are assigned only on success. A list
// that declares a document type is refused like one that does not parse.
bool GetProductInfo(std::wstring strComponentId, std::wstring& strVersion, std::wstring& strLanguage);

// Reads "_KIV_PluginDllPathname" of the component key. True only for a
// non-empty path; the output is assigned only then.
bool GetProductDllPath(std::wstring& strDllPath, std::wstring strComponentId, std::wstring strVersion,
                       std::wstring strLanguage);

// Reads "Status" of the component key as a decimal integer. The status is
// left unchanged when the value cannot be read.
void QueryActionStatus(int& nStatus, std::wstring strComponentId, std::wstring strVersion, std::wstring strLanguage);
