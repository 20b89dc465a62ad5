// Manager requests against PluginManager.exe running as a process of its own.
#include <gtest/gtest.h>

#include <string>

#include "app/manager_requests.h"
#include "pipe/cmd_protocol.h"
#include "product_support.h"
#include "test_support.h"

namespace product = standin::product;
using testing_support::PluginManagerProcess;
using testing_support::ProcessResult;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::UniqueName;

namespace {

class PluginManagerProcessTest : public ::testing::Test {
protected:
    void TearDown() override { product::DeleteTree(product::ComponentRoot(m_component)); }

    std::wstring Value(const wchar_t* name) const
    {
        return product::GetString(product::ComponentKey(m_component, m_version), name);
    }

    std::wstring m_component = UniqueName(L"KivTestComp");
    std::wstring m_version = L"3.1.0042";
    TempDir m_dir;
};

TEST_F(PluginManagerProcessTest, InstallScenarioAnswersAndCompletesTheComponent)
{
    const std::wstring log = m_dir.File(L"requests.log");
    PluginManagerProcess manager(L"--scenario install --exit-after 2 --reply \"ACK from manager\" --reply-pieces 3 "
                                 L"--log \"" + log + L"\" --plugin-dir \"" + m_dir.Path() + L"\"");
    ASSERT_TRUE(manager.Listening());

    // Download, with the reply read back from the other process.
    const std::wstring id = MakeRequestId(kCmdComponentDownload);
    CCmdProtocol cmd;
    cmd.Append(kCmdComponentDownload).Append(id).Append(m_component).Append(m_version);
    std::wstring reply;
    ASSERT_TRUE(SendManagerCommand(cmd.Data(), static_cast<DWORD>(cmd.Length() * sizeof(wchar_t)), id, reply));
    EXPECT_EQ(L"ACK from manager", reply);
    EXPECT_EQ(L"3", Value(L"Status"));

    EXPECT_TRUE(RequestComponentInstall(m_component, m_version));
    EXPECT_EQ(L"7", Value(L"Status"));
    const std::wstring library = Value(L"_KIV_PluginDllPathname");
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
    PluginManagerProcess manager(L"--scenario upgrade --reply-mode silent --ready-delay 1500 --exit-after 1");
    ASSERT_TRUE(manager.Listening());

    const std::wstring id = MakeRequestId(kCmdComponentDownload);
    CCmdProtocol cmd;
    cmd.Append(kCmdComponentDownload).Append(id).Append(m_component).Append(m_version);
    std::wstring reply = L"stale";
    const ManagerReplyLimits limits = {/* idle */ 400, /* total */ 10000, /* bytes */ 4096};
    EXPECT_TRUE(
        SendManagerCommand(cmd.Data(), static_cast<DWORD>(cmd.Length() * sizeof(wchar_t)), id, reply, limits));
    EXPECT_EQ(L"", reply);
    EXPECT_EQ(L"1", Value(L"Status")) << "downloading";

    // The stand-in ends after its one request once the delayed change is made.
    const ProcessResult& run = manager.Join();
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(L"5", Value(L"Status"));
    EXPECT_NE(std::string::npos, run.output.find("left alone (silent)")) << run.output;
}

} // namespace
