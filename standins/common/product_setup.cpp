// The product's set-up as its installer and plug-in manager leave it.
#include "product_setup.h"

#include "common/unique_resource.h"
#include "console.h"

namespace standin {
namespace product {

const wchar_t kInformationKey[] = L"SOFTWARE\\Brontide\\Quellguard\\service\\Information";
const wchar_t kLocalPathValue[] = L"Local_Path";
const wchar_t kKivKey[] = L"SOFTWARE\\Brontide\\Quellguard\\service\\Kiv";
const wchar_t kStatusValue[] = L"Status";
const wchar_t kLibraryValue[] = L"_KIV_PluginDllPathname";
const wchar_t kComponentListFile[] = L"QGCE_KIV_COMP_LIST.xml";
const wchar_t kDefaultLanguage[] = L"1033";
const wchar_t kManagerPipe[] = L"Brontide QgdKivMgr Command Handler Manager";
const wchar_t kCmdDownload[] = L"kivmgr_KIV_COMPONENT_DOWNLOAD";
const wchar_t kCmdInstall[] = L"kivmgr_KIV_COMPONENT_INSTALL";
const wchar_t kCmdUpgrade[] = L"kivmgr_KIV_COMPONENT_UPGRADE";

namespace {

std::wstring SafeFileName(const std::wstring& s)
{
    std::wstring out;
    for (wchar_t c : s) {
        const bool ok = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
                        c == L'.' || c == L'-' || c == L'_';
        out += ok ? c : L'_';
    }
    return out.empty() ? std::wstring(L"_") : out;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    UTIL::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file.IsValid() &&
           ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

} // namespace

std::wstring ComponentRoot(const std::wstring& id)
{
    return std::wstring(kKivKey) + L"\\" + id;
}

std::wstring ComponentKey(const std::wstring& id, const std::wstring& version, const std::wstring& language)
{
    return ComponentRoot(id) + L"\\1_" + language + L"_" + version;
}

LONG SetValue(const std::wstring& key, const wchar_t* name, DWORD type, const void* data, DWORD cb)
{
    UTIL::UniqueRegKey hKey;
    LONG rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, hKey.Put(),
                                nullptr);
    if (rc == ERROR_SUCCESS) {
        rc = ::RegSetValueExW(hKey.Get(), name, 0, type, static_cast<const BYTE*>(data), cb);
    }
    return rc;
}

LONG SetString(const std::wstring& key, const wchar_t* name, const std::wstring& value)
{
    return SetValue(key, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::wstring GetString(const std::wstring& key, const wchar_t* name)
{
    wchar_t value[1024] = {};
    DWORD cb = sizeof(value) - sizeof(wchar_t);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &cb) != ERROR_SUCCESS) {
        return std::wstring();
    }
    return value;
}

void DeleteTree(const std::wstring& key)
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
}

std::string ComponentListXml(const std::vector<Component>& components)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<QGCE_COMPONENT_ID_LIST>\r\n";
    for (const Component& c : components) {
        xml += "  <Component ID=\"" + ToUtf8(c.id) + "\" Version=\"" + ToUtf8(c.version) + "\" Language=\"" +
               ToUtf8(c.language) + "\"/>\r\n";
    }
    return xml + "</QGCE_COMPONENT_ID_LIST>\r\n";
}

bool WriteComponentList(const std::wstring& folder, const std::vector<Component>& components)
{
    return WriteBytes(folder + L"\\" + kComponentListFile, ComponentListXml(components));
}

std::wstring LibraryPath(const std::wstring& pluginDir, const std::wstring& id, const std::wstring& version)
{
    return pluginDir + L"\\" + SafeFileName(id) + L"_" + SafeFileName(version) + L".dll";
}

bool PlaceLibrary(const std::wstring& path)
{
    return WriteBytes(path, "plug-in library placed by a stand-in\r\n");
}

bool MarkInstalled(const std::wstring& pluginDir, const Component& component)
{
    ::CreateDirectoryW(pluginDir.c_str(), nullptr);
    const std::wstring library = LibraryPath(pluginDir, component.id, component.version);
    const std::wstring key = ComponentKey(component.id, component.version, component.language);
    return PlaceLibrary(library) && SetString(key, kLibraryValue, library) == ERROR_SUCCESS &&
           SetString(key, kStatusValue, std::to_wstring(kInstalled)) == ERROR_SUCCESS;
}

bool IsInstalled(const Component& component)
{
    const std::wstring key = ComponentKey(component.id, component.version, component.language);
    const std::wstring library = GetString(key, kLibraryValue);
    return GetString(key, kStatusValue) == std::to_wstring(kInstalled) && !library.empty() &&
           ::GetFileAttributesW(library.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace product
} // namespace standin
