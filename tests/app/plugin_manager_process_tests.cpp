// Manager requests against PluginManager.exe running as a process of its own.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "app/manager_requests.h"
#include "common/unique_resource.h"
#include "pipe/cmd_protocol.h"
#include "test_support.h"

using testing_support::BinDir;
using testing_support::ProcessResult;
using testing_support::ReadFileBytes;
using testing_support::RunProcess;
using testing_support::TempDir;
using testing_support::UniqueName;

namespace {

const wchar_t kKivKey[] = L"SOFTWARE\\Brontide\\Quellguard\\service\\Kiv";

std::wstring ReadRegString(const std::wstring& keyPath, const wchar_t* name)
{
    HKEY hKey = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
        return L"(no key)";
    }
    UTIL::UniqueRegKey key(hKey);
    wchar_t value[520] = {};
    DWORD cb = sizeof(value) - sizeof(wchar_t);
    if (::RegQueryValueExW(key.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &cb) != ERROR_SUCCESS) {
        return L"(no value)";
    }
    return value;
}

bool WaitForManagerPipe(DWORD timeoutMs)
{
    const std::wstring path = std::wstring(L"\\\\.\\pipe\\") + kManagerCommandPipeName;
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < timeoutMs) {
        if (::WaitNamedPipeW(path.c_str(), 100)) {
            return true;
        }
        ::Sleep(20);
    }
    return false;
}

// Runs PluginManager.exe with `args` on a thread while the test talks to it.
class PluginManagerRun {
public:
    explicit PluginManagerRun(const std::wstring& args)
    {
        const std::wstring cmd = L"\"" + BinDir() + L"\\PluginManager.exe\" --no-stdin " + args;
        m_thread = std::thread([this, cmd] { m_result = RunProcess(cmd, 30000); });
    }
    ~PluginManagerRun() { Join(); }
    const ProcessResult& Join()
    {
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return m_result;
    }

private:
    std::thread m_thread;
    ProcessResult m_result;
};

class PluginManagerProcessTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kKivKey) + L"\\" + m_component).c_str());
    }

    std::wstring KeyPath() const { return std::wstring(kKivKey) + L"\\" + m_component + L"\\1_1033_" + m_version; }

    std::wstring m_component = UniqueName(L"KivTestComp");
    std::wstring m_version = L"3.1.0042";
    TempDir m_dir;
};

TEST_F(PluginManagerProcessTest, InstallScenarioAnswersAndCompletesTheComponent)
{
    const std::wstring log = m_dir.File(L"requests.log");
    PluginManagerRun manager(L"--scenario install --exit-after 2 --reply \"ACK from manager\" --reply-pieces 3 "
                             L"--log \"" + log + L"\" --plugin-dir \"" + m_dir.Path() + L"\"");
    ASSERT_TRUE(WaitForManagerPipe(15000));

    // Download, with the reply read back from the other process.
    const std::wstring id = MakeRequestId(kCmdComponentDownload);
    CCmdProtocol cmd;
    cmd.Append(kCmdComponentDownload).Append(id).Append(m_component).Append(m_version);
    std::wstring reply;
    ASSERT_TRUE(SendManagerCommand(cmd.Data(), static_cast<DWORD>(cmd.Length() * sizeof(wchar_t)), id, reply));
    EXPECT_EQ(L"ACK from manager", reply);
    EXPECT_EQ(L"3", ReadRegString(KeyPath(), L"Status"));

    EXPECT_TRUE(RequestComponentInstall(m_component, m_version));
    EXPECT_EQ(L"7", ReadRegString(KeyPath(), L"Status"));
    const std::wstring library = ReadRegString(KeyPath(), L"_KIV_PluginDllPathname");
    EXPECT_EQ(m_dir.Path() + L"\\" + m_component + L"_" + m_version + L".dll", library);
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(library.c_str()));

    const ProcessResult& run = manager.Join();
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(0u, run.exitCode);
    const std::string comp = testing_support::Narrow(m_component);
    const std::string requests = ReadFileBytes(log);
    EXPECT_NE(std::string::npos, requests.find("command=kivmgr_KIV_COMPONENT_DOWNLOAD id=" + testing_support::Narrow(id) +
                                               " component=" + comp + " version=3.1.0042\n"))
        << requests;
    EXPECT_NE(std::string::npos, requests.find("command=kivmgr_KIV_COMPONENT_INSTALL id=kivmgr_KIV_COMPONENT_INSTALL"))
        << requests;
    EXPECT_NE(std::string::npos, run.output.find("replied on " + testing_support::Narrow(id) + " in 3 piece(s)"))
        << run.output;
}

TEST_F(PluginManagerProcessTest, SilentUpgradeScenarioLeavesOnlyTheRegistryToFollow)
{
    PluginManagerRun manager(L"--scenario upgrade --reply-mode silent --ready-delay 1500 --exit-after 1");
    ASSERT_TRUE(WaitForManagerPipe(15000));

    const std::wstring id = MakeRequestId(kCmdComponentDownload);
    CCmdProtocol cmd;
    cmd.Append(kCmdComponentDownload).Append(id).Append(m_component).Append(m_version);
    std::wstring reply = L"stale";
    const ManagerReplyLimits limits = {/* idle */ 400, /* total */ 10000, /* bytes */ 4096};
    EXPECT_TRUE(
        SendManagerCommand(cmd.Data(), static_cast<DWORD>(cmd.Length() * sizeof(wchar_t)), id, reply, limits));
    EXPECT_EQ(L"", reply);
    EXPECT_EQ(L"1", ReadRegString(KeyPath(), L"Status")) << "downloading";

    // The stand-in ends after its one request once the delayed change is made.
    const ProcessResult& run = manager.Join();
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(L"5", ReadRegString(KeyPath(), L"Status"));
    EXPECT_NE(std::string::npos, run.output.find("left alone (silent)")) << run.output;
}

} // namespace
