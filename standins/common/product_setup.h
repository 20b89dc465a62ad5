// The product's set-up as its installer and plug-in manager leave it: registry
// keys and values, the component list and the status codes. One description for
// the stand-ins, their set-up program (the sandbox), the tests and the benchmarks.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace standin {
namespace product {

// HKLM (32-bit view) <kInformationKey> value <kLocalPathValue>: the product folder.
extern const wchar_t kInformationKey[];
extern const wchar_t kLocalPathValue[];
// HKLM <kKivKey>\<component>\1_<language>_<version>, REG_SZ values <kStatusValue>
// (a decimal Status) and <kLibraryValue> (the plug-in library's path).
extern const wchar_t kKivKey[];
extern const wchar_t kStatusValue[];
extern const wchar_t kLibraryValue[];
// The component list in the product folder.
extern const wchar_t kComponentListFile[];
// The language of the components the stand-ins play: English (United States).
extern const wchar_t kDefaultLanguage[];
// The plug-in manager's command handler: its pipe and its three requests.
extern const wchar_t kManagerPipe[];
extern const wchar_t kCmdDownload[];
extern const wchar_t kCmdInstall[];
extern const wchar_t kCmdUpgrade[];

// Values of Status that the manager writes.
enum Status { kDownloading = 1, kReadyToInstall = 3, kReadyToUpgrade = 5, kInstalled = 7 };

struct Component {
    std::wstring id;
    std::wstring version;
    std::wstring language = kDefaultLanguage;
};

std::wstring ComponentRoot(const std::wstring& id);
std::wstring ComponentKey(const std::wstring& id, const std::wstring& version,
                          const std::wstring& language = kDefaultLanguage);

// Writes a value under HKLM, creating the key; the registry's result code.
LONG SetValue(const std::wstring& key, const wchar_t* name, DWORD type, const void* data, DWORD cb);
LONG SetString(const std::wstring& key, const wchar_t* name, const std::wstring& value);
// An empty string when the key or the value is missing.
std::wstring GetString(const std::wstring& key, const wchar_t* name);
// Removes the key with everything under it.
void DeleteTree(const std::wstring& key);

// The component list naming these components in this order (UTF-8, CRLF lines).
std::string ComponentListXml(const std::vector<Component>& components);
bool WriteComponentList(const std::wstring& folder, const std::vector<Component>& components);

// Where the manager puts a component's library: <dir>\<id>_<version>.dll, with any
// character other than letters, digits, '.', '-' and '_' as '_'.
std::wstring LibraryPath(const std::wstring& pluginDir, const std::wstring& id, const std::wstring& version);
// Creates the library file; false (last error set) when it cannot.
bool PlaceLibrary(const std::wstring& path);
// What an installed component leaves: its library, its path in the library value and
// Status 7. False when a step fails.
bool MarkInstalled(const std::wstring& pluginDir, const Component& component);
// Status 7 and the library file that the library value names is there.
bool IsInstalled(const Component& component);

} // namespace product
} // namespace standin
