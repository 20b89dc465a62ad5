// KivProxy.exe Install end to end: real registry, component list, plug-in manager
// stand-in and the real 5-second pauses.
#include <gtest/gtest.h>

#include <objbase.h>

#include <string>
#include <thread>

#include "app/component_lookup.h"
#include "log/debug_log.h"
#include "test_support.h"

using testing_support::BinDir;
using testing_support::LogCapture;
using testing_support::ProcessResult;
using testing_support::ReadFileBytes;
using testing_support::RunProcess;
using testing_support::TempDir;
using testing_support::UniqueName;

namespace {

const wchar_t kKivRoot[] = L"SOFTWARE\\Brontide\\Quellguard\\service\\Kiv";
const DWORD kExitFailure = static_cast<DWORD>(-1);

void SetRegText(const std::wstring& key, const wchar_t* name, const std::wstring& value)
{
    HKEY h = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(h);
}

// A product installation: folder with a component list, registry pointing at it.
class ProductSandbox {
public:
    ProductSandbox() : id(UniqueName(L"Vreb")), version(L"6.1.0"), language(L"1033")
    {
        SetRegText(kProductInformationKey, L"Local_Path", dir.Path() + L"\\");
        WriteList("<Component ID=\"Other\" Version=\"1.0\" Language=\"1041\"/>"
                  "<Component ID=\"" + testing_support::Narrow(id) + "\" Version=\"6.1.0\" Language=\"1033\"/>");
    }
    ~ProductSandbox()
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kKivRoot) + L"\\" + id).c_str());
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProductInformationKey, L"Local_Path");
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProductInformationKey);
    }
    void WriteList(const std::string& components)
    {
        testing_support::WriteFileBytes(dir.File(L"QGCE_KIV_COMP_LIST.xml"),
                                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><QGCE_COMPONENT_ID_LIST>" +
                                            components + "</QGCE_COMPONENT_ID_LIST>");
    }
    std::wstring ComponentKey() const { return std::wstring(kKivRoot) + L"\\" + id + L"\\1_" + language + L"_" + version; }
    ProcessResult Install(const std::wstring& component) const
    {
        return RunProcess(L"\"" + BinDir() + L"\\KivProxy.exe\" " + component + L" Install", 90000);
    }

    TempDir dir;
    std::wstring id, version, language;
};

// PluginManager.exe running for the length of one test.
class ManagerProcess {
public:
    ManagerProcess(const std::wstring& args, const TempDir& dir) : logFile(dir.File(L"requests.log"))
    {
        const std::wstring cmd = L"\"" + BinDir() + L"\\PluginManager.exe\" --no-stdin --log \"" + logFile +
                                 L"\" --plugin-dir \"" + dir.Path() + L"\" " + args;
        m_thread = std::thread([this, cmd] { m_result = RunProcess(cmd, 120000); });
        const std::wstring pipe = L"\\\\.\\pipe\\Brontide QgdKivMgr Command Handler Manager";
        for (int i = 0; i < 200 && !::WaitNamedPipeW(pipe.c_str(), 50); ++i) {
            ::Sleep(20);
        }
    }
    ~ManagerProcess() { Stop(); }
    void Stop()
    {
        if (m_thread.joinable()) {
            m_thread.join(); // the stand-in ends after its --exit-after requests
        }
    }
    std::string Requests() const { return ReadFileBytes(logFile); }
    std::wstring logFile;

private:
    std::thread m_thread;
    ProcessResult m_result;
};

} // namespace

class InstallCommandTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_capture.Started()); }
    LogCapture m_capture;
    ProductSandbox m_product;
};

TEST_F(InstallCommandTest, FreshInstallDownloadsThenInstallsAndSucceeds)
{
    ManagerProcess manager(L"--scenario install --ready-delay 0 --exit-after 2", m_product.dir);
    const ProcessResult r = m_product.Install(m_product.id);
    manager.Stop();
    EXPECT_EQ(r.exitCode, 0u) << m_capture.Dump();
    EXPECT_EQ(r.output, "");
    const std::string requests = manager.Requests();
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
    ManagerProcess manager(L"--scenario upgrade --ready-delay 0 --exit-after 2", m_product.dir);
    const ProcessResult r = m_product.Install(m_product.id);
    manager.Stop();
    EXPECT_EQ(r.exitCode, 0u) << m_capture.Dump();
    const std::string requests = manager.Requests();
    EXPECT_NE(requests.find("command=kivmgr_KIV_COMPONENT_DOWNLOAD"), std::string::npos) << requests;
    EXPECT_NE(requests.find("command=kivmgr_KIV_COMPONENT_UPGRADE"), std::string::npos) << requests;
    EXPECT_EQ(requests.find("command=kivmgr_KIV_COMPONENT_INSTALL"), std::string::npos);
}

TEST_F(InstallCommandTest, AlreadyInstalledComponentNeedsNoRequest)
{
    const std::wstring library = m_product.dir.File(L"vreb.dll");
    ASSERT_TRUE(testing_support::WriteFileBytes(library, "MZ"));
    SetRegText(m_product.ComponentKey(), L"_KIV_PluginDllPathname", library);
    SetRegText(m_product.ComponentKey(), L"Status", L"7");
    // No manager runs: any request would leave the pipe layer's level-5 line.
    const ProcessResult r = m_product.Install(m_product.id);
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
    const ProcessResult r = m_product.Install(L"NotListed");
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
        const std::wstring text = L"<QGCE_COMPONENT_ID_LIST><Component ID=\"" + m_product.id +
                                  L"\" Version=\"6.1.0\" Language=\"1033\"/></QGCE_COMPONENT_ID_LIST>";
        std::string bytes("\xFF\xFE", 2);
        bytes.append(reinterpret_cast<const char*>(text.c_str()), text.size() * 2);
        testing_support::WriteFileBytes(m_product.dir.File(L"QGCE_KIV_COMP_LIST.xml"), bytes);
        const std::wstring library = m_product.dir.File(L"v.dll");
        testing_support::WriteFileBytes(library, "MZ");
        SetRegText(m_product.ComponentKey(), L"_KIV_PluginDllPathname", library);
        SetRegText(m_product.ComponentKey(), L"Status", L"7");
        EXPECT_EQ(m_product.Install(m_product.id).exitCode, 0u);
    }
    // Malformed list, then a folder that does not exist.
    m_product.WriteList("<Component ID=\"x\"");
    EXPECT_EQ(m_product.Install(m_product.id).exitCode, kExitFailure);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 103, L"Can't open Kiv XML file("));
    SetRegText(kProductInformationKey, L"Local_Path", L"C:\\does\\not\\exist");
    EXPECT_EQ(m_product.Install(m_product.id).exitCode, kExitFailure);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 76, L"Can't find Kiv XML file(C:\\does\\not\\exist\\QGCE_KIV_COMP_LIST.xml)"));
}
