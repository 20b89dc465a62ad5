// The product around the program, for tests: its set-up and the manager stand-in process.
#include "product_support.h"

#include <algorithm>

namespace product = standin::product;

namespace testing_support {

ProductSetup::ProductSetup()
{
    DWORD cb = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, product::kInformationKey, product::kLocalPathValue,
                       RRF_RT_ANY | RRF_NOEXPAND, &m_savedType, nullptr, &cb) == ERROR_SUCCESS) {
        m_savedLocalPath.resize(cb);
        m_hadLocalPath = ::RegGetValueW(HKEY_LOCAL_MACHINE, product::kInformationKey, product::kLocalPathValue,
                                        RRF_RT_ANY | RRF_NOEXPAND, &m_savedType,
                                        cb != 0 ? m_savedLocalPath.data() : nullptr, &cb) == ERROR_SUCCESS;
    }
    SetLocalPath(m_dir.Path());
}

ProductSetup::~ProductSetup()
{
    if (m_hadLocalPath) {
        product::SetValue(product::kInformationKey, product::kLocalPathValue, m_savedType, m_savedLocalPath.data(),
                          static_cast<DWORD>(m_savedLocalPath.size()));
    } else {
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, product::kInformationKey, product::kLocalPathValue);
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, product::kInformationKey); // only when nothing else is in it
    }
    for (const std::wstring& id : m_tracked) {
        product::DeleteTree(product::ComponentRoot(id));
    }
}

void ProductSetup::SetLocalPath(const std::wstring& path)
{
    product::SetString(product::kInformationKey, product::kLocalPathValue, path);
}

void ProductSetup::SetLocalPathRaw(DWORD type, const void* data, DWORD cb)
{
    product::SetValue(product::kInformationKey, product::kLocalPathValue, type, data, cb);
}

void ProductSetup::WriteList(const std::string& bytes)
{
    WriteFileBytes(ListPath(), bytes);
}

void ProductSetup::WriteComponents(const std::vector<product::Component>& components)
{
    product::WriteComponentList(Folder(), components);
}

std::wstring ProductSetup::KeyPath(const std::wstring& id, const std::wstring& version, const std::wstring& language)
{
    return product::ComponentKey(id, version, language);
}

void ProductSetup::Track(const std::wstring& id)
{
    if (std::find(m_tracked.begin(), m_tracked.end(), id) == m_tracked.end()) {
        m_tracked.push_back(id);
    }
}

void ProductSetup::SetValue(const std::wstring& id, const std::wstring& version, const wchar_t* name,
                            const std::wstring& value)
{
    Track(id);
    product::SetString(KeyPath(id, version), name, value);
}

void ProductSetup::SetStatus(const std::wstring& id, const std::wstring& version, const std::wstring& status)
{
    SetValue(id, version, product::kStatusValue, status);
}

void ProductSetup::MarkInstalled(const std::wstring& id, const std::wstring& version)
{
    Track(id);
    product::MarkInstalled(Folder(), {id, version});
}

PluginManagerProcess::PluginManagerProcess(const std::wstring& args, DWORD timeoutMs)
{
    const std::wstring cmd = L"\"" + BinDir() + L"\\PluginManager.exe\" --no-stdin " + args;
    m_thread = std::thread([this, cmd, timeoutMs] { m_result = RunProcess(cmd, timeoutMs); });
    const std::wstring pipe = std::wstring(L"\\\\.\\pipe\\") + product::kManagerPipe;
    const DWORD start = ::GetTickCount();
    while (!m_bListening && ::GetTickCount() - start < 15000) {
        m_bListening = ::WaitNamedPipeW(pipe.c_str(), 100) != FALSE;
        if (!m_bListening) {
            ::Sleep(20);
        }
    }
}

const ProcessResult& PluginManagerProcess::Join()
{
    if (m_thread.joinable()) {
        m_thread.join();
    }
    return m_result;
}

} // namespace testing_support
