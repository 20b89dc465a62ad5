// KivProxy.exe Install end to end: real registry, component list, plug-in manager
// stand-in and the real 5-second pauses.
#include <gtest/gtest.h>

#include <string>

#include "log/debug_log.h"
#include "product_support.h"
#include "test_support.h"

using testing_support::BinDir;
using testing_support::LogCapture;
using testing_support::PluginManagerProcess;
using testing_support::ProcessResult;
using testing_support::ProductSetup;
using testing_support::ReadFileBytes;
using testing_support::RunProcess;
using testing_support::UniqueName;

namespace {

const DWORD kExitFailure = static_cast<DWORD>(-1);

ProcessResult Install(const std::wstring& component)
{
    return RunProcess(L"\"" + BinDir() + L"\\KivProxy.exe\" " + component + L" Install", 90000);
}

} // namespace

// A product whose component list names the component under test, version 6.1.0, after another one.
class InstallCommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_capture.Started());
        m_product.SetLocalPath(m_product.Folder() + L"\\");
        m_product.Track(m_id);
        m_product.WriteComponents({{L"Other", L"1.0", L"1041"}, {m_id, L"6.1.0"}});
    }
    // PluginManager.exe's arguments: its requests logged and its libraries put in the product folder.
    std::wstring ManagerArgs(const std::wstring& args) const
    {
        return L"--log \"" + m_product.File(L"requests.log") + L"\" --plugin-dir \"" + m_product.Folder() + L"\" " + args;
    }
    std::string Requests() const { return ReadFileBytes(m_product.File(L"requests.log")); }
    void MarkInstalled(const std::wstring& library)
    {
        ASSERT_TRUE(testing_support::WriteFileBytes(library, "MZ"));
        m_product.SetValue(m_id, L"6.1.0", L"_KIV_PluginDllPathname", library);
        m_product.SetStatus(m_id, L"6.1.0", L"7");
    }

    LogCapture m_capture;
    ProductSetup m_product;
    const std::wstring m_id = UniqueName(L"Vreb");
};

TEST_F(InstallCommandTest, FreshInstallDownloadsThenInstallsAndSucceeds)
{
    PluginManagerProcess manager(ManagerArgs(L"--scenario install --ready-delay 0 --exit-after 2"), 120000);
    const ProcessResult r = Install(m_id);
    manager.Join();
    EXPECT_EQ(r.exitCode, 0u) << m_capture.Dump();
    EXPECT_EQ(r.output, "");
    const std::string requests = Requests();
    const size_t download = requests.find("command=kivmgr_KIV_COMPONENT_DOWNLOAD");
    const size_t install = requests.find("command=kivmgr_KIV_COMPONENT_INSTALL");
    ASSERT_NE(download, std::string::npos) << requests;
    ASSERT_NE(install, std::string::npos) << requests;
    EXPECT_LT(download, install);
    EXPECT_EQ(requests.find("UPGRADE"), std::string::npos);
    EXPECT_NE(requests.find("version=6.1.0"), std::string::npos);
    // Download, pause, ready at once, install, pause, complete: about ten seconds.
    EXPECT_GE(r.elapsedMs, 9500u);
    EXPECT_LT(r.elapsedMs, 20000u);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 469, L"DllPathFound(1), DllExisted(1)"));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 492, L"InstallCommand - << 0"));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 1054, L"wmain - <<< 0"));
}

TEST_F(InstallCommandTest, UpgradeIsRequestedWhenTheManagerSaysSo)
{
    PluginManagerProcess manager(ManagerArgs(L"--scenario upgrade --ready-delay 0 --exit-after 2"), 120000);
    const ProcessResult r = Install(m_id);
    manager.Join();
    EXPECT_EQ(r.exitCode, 0u) << m_capture.Dump();
    const std::string requests = Requests();
    EXPECT_NE(requests.find("command=kivmgr_KIV_COMPONENT_DOWNLOAD"), std::string::npos) << requests;
    EXPECT_NE(requests.find("command=kivmgr_KIV_COMPONENT_UPGRADE"), std::string::npos) << requests;
    EXPECT_EQ(requests.find("command=kivmgr_KIV_COMPONENT_INSTALL"), std::string::npos);
}

TEST_F(InstallCommandTest, AlreadyInstalledComponentNeedsNoRequest)
{
    MarkInstalled(m_product.File(L"vreb.dll"));
    // No manager runs: any request would leave the pipe layer's level-5 line.
    const ProcessResult r = Install(m_id);
    EXPECT_EQ(r.exitCode, 0u) << m_capture.Dump();
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 397, L"DllPathFound(1), DllExisted(1)"));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 492, L"InstallCommand - << 0"));
    m_capture.Settle();
    EXPECT_TRUE(m_capture.Matching(LOG_LEVEL_PIPE, -1).empty()) << m_capture.Dump();
    // One status query: no polling, so no 5-second pause.
    EXPECT_EQ(1u, m_capture.Matching(LOG_LEVEL_DEBUG, 251, L"QueryActionStatus - <<< 7 0").size()) << m_capture.Dump();
}

TEST_F(InstallCommandTest, ComponentMissingFromListSendsNothing)
{
    const ProcessResult r = Install(L"NotListed");
    EXPECT_EQ(r.exitCode, kExitFailure);
    EXPECT_EQ(r.output, "");
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 489, L"Can't find DLP version in XML!"));
    m_capture.Settle();
    EXPECT_TRUE(m_capture.Matching(LOG_LEVEL_PIPE, -1).empty()) << m_capture.Dump();
}

TEST_F(InstallCommandTest, BrokenProductSetUpsFailWithAClearLine)
{
    // Component list in UTF-16 with a byte-order mark is read like UTF-8.
    {
        const std::wstring text = L"<QGCE_COMPONENT_ID_LIST><Component ID=\"" + m_id +
                                  L"\" Version=\"6.1.0\" Language=\"1033\"/></QGCE_COMPONENT_ID_LIST>";
        std::string bytes("\xFF\xFE", 2);
        bytes.append(reinterpret_cast<const char*>(text.c_str()), text.size() * 2);
        m_product.WriteList(bytes);
        MarkInstalled(m_product.File(L"v.dll"));
        EXPECT_EQ(Install(m_id).exitCode, 0u);
    }
    // Malformed list, then a folder that does not exist.
    m_product.WriteList("<?xml version=\"1.0\" encoding=\"UTF-8\"?><QGCE_COMPONENT_ID_LIST><Component ID=\"x\""
                        "</QGCE_COMPONENT_ID_LIST>");
    EXPECT_EQ(Install(m_id).exitCode, kExitFailure);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 103, L"Can't open Kiv XML file("));
    m_product.SetLocalPath(L"C:\\does\\not\\exist");
    EXPECT_EQ(Install(m_id).exitCode, kExitFailure);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 76, L"Can't find Kiv XML file(C:\\does\\not\\exist\\QGCE_KIV_COMP_LIST.xml)"));
}
