// Install workflow: the exact sequence of lookups, requests and pauses for every path.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "app/install.h"
#include "log/debug_log.h"
#include "test_support.h"

using testing_support::LogCapture;

namespace {

// Scripted answers; every call is recorded as one word.
class ScriptedEnvironment : public IInstallEnvironment {
public:
    bool productKnown = true;
    std::deque<bool> dllRegistered; // answers of GetProductDllPath, last one repeats
    std::deque<bool> dllPresent;    // answers of FileExists, last one repeats
    std::deque<int> statuses;       // answers of QueryActionStatus, last one repeats
    bool statusReadable = true;
    std::vector<std::string> calls;

    bool GetProductInfo(const std::wstring& id, std::wstring& ver, std::wstring& lang) override
    {
        calls.push_back("info");
        EXPECT_EQ(id, L"Comp.X");
        if (productKnown) {
            ver = L"2.0";
            lang = L"1033";
        }
        return productKnown;
    }
    bool GetProductDllPath(std::wstring& path, const std::wstring&, const std::wstring& ver,
                           const std::wstring& lang) override
    {
        calls.push_back("dll");
        EXPECT_EQ(ver, L"2.0");
        EXPECT_EQ(lang, L"1033");
        const bool found = Next(dllRegistered, false);
        if (found) {
            path = L"C:\\plugins\\x.dll";
        }
        return found;
    }
    bool FileExists(const std::wstring&) override
    {
        calls.push_back("exists");
        return Next(dllPresent, false);
    }
    void QueryActionStatus(int& status, const std::wstring&, const std::wstring&, const std::wstring&) override
    {
        calls.push_back("query");
        const int next = Next(statuses, 0);
        if (statusReadable) {
            status = next;
        }
    }
    bool RequestComponentDownload(const std::wstring&, const std::wstring& ver) override
    {
        EXPECT_EQ(ver, L"2.0");
        calls.push_back("DOWNLOAD");
        return true;
    }
    bool RequestComponentInstall(const std::wstring&, const std::wstring&) override
    {
        calls.push_back("INSTALL");
        return true;
    }
    bool RequestComponentUpgrade(const std::wstring&, const std::wstring&) override
    {
        calls.push_back("UPGRADE");
        return true;
    }
    void Pause(DWORD ms) override
    {
        EXPECT_EQ(ms, 5000u);
        calls.push_back("pause");
    }

    size_t Count(const std::string& word) const
    {
        size_t n = 0;
        for (const auto& c : calls) {
            n += (c == word);
        }
        return n;
    }

private:
    template <typename T>
    static T Next(std::deque<T>& q, T fallback)
    {
        if (q.empty()) {
            return fallback;
        }
        const T v = q.front();
        if (q.size() > 1) {
            q.pop_front();
        }
        return v;
    }
};

using Calls = std::vector<std::string>;

} // namespace

class InstallWorkflowTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_capture.Started()); }
    int Run() { return RunInstallWorkflow(L"Comp.X", m_env); }
    ScriptedEnvironment m_env;
    LogCapture m_capture;
};

TEST_F(InstallWorkflowTest, ComponentMissingFromListSendsNothing)
{
    m_env.productKnown = false;
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(m_env.calls, Calls({"info"}));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 489, L"InstallCommand - Can't find DLP version in XML!"));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 492, L"InstallCommand - << -1"));
}

TEST_F(InstallWorkflowTest, AlreadyInstalledAndCompleteNeedsNoRequestNorPause)
{
    m_env.dllRegistered = {true};
    m_env.dllPresent = {true};
    m_env.statuses = {7};
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(m_env.calls, Calls({"info", "dll", "exists", "query"}));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 397, L"InstallCommand - DllPathFound(1), DllExisted(1)"));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 492, L"InstallCommand - << 0"));
}

TEST_F(InstallWorkflowTest, AlreadyInstalledButNotCompleteFailsWithOnlyTheExitLine)
{
    m_env.dllRegistered = {true};
    m_env.dllPresent = {true};
    m_env.statuses = {3};
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(m_env.calls, Calls({"info", "dll", "exists", "query"}));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 492, L"<< -1"));
    m_capture.Settle();
    EXPECT_TRUE(m_capture.Matching(LOG_LEVEL_ERROR, -1).empty()) << m_capture.Dump();
}

TEST_F(InstallWorkflowTest, RegisteredButMissingFileRunsTheWholeInstall)
{
    m_env.dllRegistered = {true};
    m_env.dllPresent = {false, true};
    m_env.statuses = {3, 7};
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(m_env.calls, Calls({"info", "dll", "exists", "DOWNLOAD", "pause", "query", "INSTALL", "pause", "query",
                                  "dll", "exists", "query"}));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 397, L"DllPathFound(1), DllExisted(0)"));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 469, L"DllPathFound(1), DllExisted(1)"));
}

TEST_F(InstallWorkflowTest, ReadyAtFirstQueryLeavesSixCompletionQueries)
{
    m_env.dllRegistered = {false, true};
    m_env.dllPresent = {true};
    m_env.statuses = {3, 0}; // never completes
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(m_env.calls,
              Calls({"info", "dll", "DOWNLOAD", "pause", "query", "INSTALL", "pause", "query", "pause", "query",
                     "pause", "query", "pause", "query", "pause", "query", "pause", "query", "pause", "dll", "exists",
                     "query"}));
}

TEST_F(InstallWorkflowTest, UpgradeReadyOnlyAtSeventhQueryLeavesOneCompletionQuery)
{
    m_env.dllRegistered = {false, true};
    m_env.dllPresent = {true};
    m_env.statuses = {0, 0, 0, 0, 0, 0, 5, 7};
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(m_env.Count("query"), 7u + 1u + 1u);
    EXPECT_EQ(m_env.calls,
              Calls({"info", "dll", "DOWNLOAD", "pause", "query", "pause", "query", "pause", "query", "pause", "query",
                     "pause", "query", "pause", "query", "pause", "query", "UPGRADE", "pause", "query", "dll", "exists",
                     "query"}));
    // Seven pauses after status queries at most, plus the two after requests.
    EXPECT_LE(m_env.Count("pause"), 9u);
}

TEST_F(InstallWorkflowTest, NeverReadyGivesUpAfterSevenQueries)
{
    m_env.statuses = {0};
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(m_env.Count("query"), 7u);
    EXPECT_EQ(m_env.Count("pause"), 7u);
    EXPECT_EQ(m_env.Count("INSTALL") + m_env.Count("UPGRADE"), 0u);
    EXPECT_EQ(m_env.calls.back(), "query");
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_WARNING, 437,
                                  L"InstallCommand - Vreb package is not ready, skip install/upgrade"));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 484,
                                  L"InstallCommand - Can't complete DLP download/install, status(0)"));
}

TEST_F(InstallWorkflowTest, CompleteButLibraryValueEmptyFailsWithLastStatus)
{
    m_env.dllRegistered = {false};
    m_env.statuses = {3, 7};
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(m_env.Count("INSTALL"), 1u);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_DEBUG, 469, L"DllPathFound(0), DllExisted(0)"));
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 484, L"status(7)"));
}

TEST_F(InstallWorkflowTest, UnreadableStatusCountsAsNotReady)
{
    m_env.statusReadable = false;
    m_env.statuses = {7};
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(m_env.Count("query"), 7u);
    EXPECT_EQ(m_env.Count("INSTALL") + m_env.Count("UPGRADE"), 0u);
    EXPECT_TRUE(m_capture.WaitFor(LOG_LEVEL_ERROR, 484, L"status(0)"));
}
