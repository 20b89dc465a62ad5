// The product around the program, for tests: its set-up in the registry and the
// product folder, and the plug-in manager stand-in run as a process.
#pragma once

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "product_setup.h"
#include "test_support.h"

namespace testing_support {

// The product as the program finds it: "Local_Path" pointing at a fresh folder
// (the component list is written there when the test asks) and component keys
// under the identifiers the test names. Local_Path is put back and the keys are
// removed when the object goes.
class ProductSetup {
public:
    ProductSetup();
    ~ProductSetup();
    ProductSetup(const ProductSetup&) = delete;
    ProductSetup& operator=(const ProductSetup&) = delete;

    const std::wstring& Folder() const { return m_dir.Path(); }
    std::wstring File(const std::wstring& name) const { return m_dir.File(name); }
    std::wstring ListPath() const { return m_dir.File(standin::product::kComponentListFile); }

    // Points Local_Path somewhere else, or gives it any type and content.
    void SetLocalPath(const std::wstring& path);
    void SetLocalPathRaw(DWORD type, const void* data, DWORD cb);

    // The component list as given, byte for byte, or in the product's own form.
    void WriteList(const std::string& bytes);
    void WriteComponents(const std::vector<standin::product::Component>& components);

    static std::wstring KeyPath(const std::wstring& id, const std::wstring& version,
                                const std::wstring& language = standin::product::kDefaultLanguage);
    // Removes the identifier's key at the end.
    void Track(const std::wstring& id);
    // A REG_SZ value of the component's key.
    void SetValue(const std::wstring& id, const std::wstring& version, const wchar_t* name, const std::wstring& value);
    void SetStatus(const std::wstring& id, const std::wstring& version, const std::wstring& status);
    // A present plug-in library in the folder, registered, with Status 7.
    void MarkInstalled(const std::wstring& id, const std::wstring& version);

private:
    TempDir m_dir;
    std::vector<BYTE> m_savedLocalPath;
    DWORD m_savedType = REG_NONE;
    bool m_hadLocalPath = false;
    std::vector<std::wstring> m_tracked;
};

// PluginManager.exe run with --no-stdin and `args` on a thread of the test until
// it stops by itself (--exit-after) or the time-out ends it.
class PluginManagerProcess {
public:
    explicit PluginManagerProcess(const std::wstring& args, DWORD timeoutMs = 60000);
    ~PluginManagerProcess() { Join(); }
    PluginManagerProcess(const PluginManagerProcess&) = delete;
    PluginManagerProcess& operator=(const PluginManagerProcess&) = delete;

    // Whether its pipe took connections within 15 seconds of the start.
    bool Listening() const { return m_bListening; }
    const ProcessResult& Join();

private:
    std::thread m_thread;
    ProcessResult m_result;
    bool m_bListening = false;
};

} // namespace testing_support
