// Plug-in manager requests: identifiers, wire format, reply collection and its bounds.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "app/manager_requests.h"
#include "common/unique_resource.h"
#include "fake_manager.h"
#include "pipe/cmd_protocol.h"
#include "test_support.h"

using testing_support::FakeManager;
using standin::SplitTabs;
using testing_support::LogCapture;
using UTIL::UniqueHandle;

namespace {

std::wstring PipePath(const std::wstring& name)
{
    return L"\\\\.\\pipe\\" + name;
}

// True when `s` is one or two signed decimals written back to back.
bool IsDigitsWithSigns(const std::wstring& s)
{
    if (s.empty()) {
        return false;
    }
    for (size_t i = 0; i < s.size(); ++i) {
        if (!iswdigit(s[i]) && !(s[i] == L'-' && i + 1 < s.size())) {
            return false;
        }
    }
    return true;
}

struct Exchange {
    std::wstring id;
    bool ok = false;
    std::wstring reply = L"(untouched)";
    DWORD elapsedMs = 0;
};

Exchange SendDownload(const ManagerReplyLimits& limits = kDefaultManagerReplyLimits)
{
    Exchange ex;
    ex.id = MakeRequestId(kCmdComponentDownload);
    CCmdProtocol cmd;
    cmd.Append(kCmdComponentDownload).Append(ex.id).Append(L"COMP").Append(L"1.0");
    const DWORD start = ::GetTickCount();
    ex.ok = SendManagerCommand(cmd.Data(), static_cast<DWORD>(cmd.Length() * sizeof(wchar_t)), ex.id, ex.reply, limits);
    ex.elapsedMs = ::GetTickCount() - start;
    return ex;
}

TEST(MakeRequestIdTest, AppendsTickAndThreadAsSigned32BitDecimals)
{
    EXPECT_EQ(L"kivmgr_KIV_COMPONENT_DOWNLOAD123456", MakeRequestId(kCmdComponentDownload, 1234, 56));
    EXPECT_EQ(L"N-214748364856", MakeRequestId(L"N", 2147483648u, 56));
    EXPECT_EQ(L"N2147483647-2147483648", MakeRequestId(L"N", 2147483647u, 0x80000000u));
    EXPECT_EQ(L"N-1-1", MakeRequestId(L"N", 0xFFFFFFFFu, 0xFFFFFFFFu));
    EXPECT_EQ(L"00", MakeRequestId(L"", 0, 0));

    // Live: the current tick count and this thread's identifier.
    const int tid = static_cast<int>(::GetCurrentThreadId());
    const int before = static_cast<int>(::GetTickCount());
    const std::wstring id = MakeRequestId(kCmdComponentInstall);
    const std::wstring tail = std::to_wstring(tid);
    ASSERT_EQ(0u, id.find(kCmdComponentInstall));
    ASSERT_GT(id.size(), wcslen(kCmdComponentInstall) + tail.size());
    ASSERT_EQ(tail, id.substr(id.size() - tail.size()));
    const std::wstring tick = id.substr(wcslen(kCmdComponentInstall), id.size() - wcslen(kCmdComponentInstall) - tail.size());
    EXPECT_LE(static_cast<unsigned>(_wtoi(tick.c_str()) - before), 60000u) << testing_support::Narrow(tick);
}

struct RequestCase {
    bool (*request)(std::wstring, std::wstring);
    const wchar_t* command;
    const char* name;
};

class ManagerRequestTest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(ManagerRequestTest, SendsFourTabSeparatedFieldsWithoutTerminator)
{
    FakeManager manager(FakeManager::Reply::Answer, {L"accepted"});
    ASSERT_TRUE(manager.Listening());
    EXPECT_TRUE(GetParam().request(L"QGCE_COMP_7", L"2.0.1005"));
    manager.Stop();

    const auto requests = manager.Requests();
    ASSERT_EQ(1u, requests.size());
    ASSERT_EQ(0u, requests[0].raw.size() % 2);
    const std::wstring text = requests[0].Text();
    EXPECT_EQ(std::wstring::npos, text.find(L'\0')) << "no NUL, no terminator";
    const std::vector<std::wstring> fields = SplitTabs(text);
    ASSERT_EQ(4u, fields.size()) << testing_support::Narrow(text);
    EXPECT_EQ(GetParam().command, fields[0]);
    ASSERT_EQ(0u, fields[1].find(GetParam().command));
    EXPECT_TRUE(IsDigitsWithSigns(fields[1].substr(wcslen(GetParam().command)))) << testing_support::Narrow(fields[1]);
    EXPECT_EQ(L"QGCE_COMP_7", fields[2]);
    EXPECT_EQ(L"2.0.1005", fields[3]);
    EXPECT_TRUE(manager.ReplyOpened()) << "the identifier names the listening reply pipe";
    EXPECT_EQ(1u, manager.PiecesWritten());
}

TEST_P(ManagerRequestTest, EmptyVersionStillGivesFourFields)
{
    FakeManager manager(FakeManager::Reply::Answer, {});
    ASSERT_TRUE(manager.Listening());
    EXPECT_TRUE(GetParam().request(L"C", L""));
    manager.Stop();
    const auto requests = manager.Requests();
    ASSERT_EQ(1u, requests.size());
    const std::wstring text = requests[0].Text();
    const std::vector<std::wstring> fields = SplitTabs(text);
    ASSERT_EQ(4u, fields.size());
    EXPECT_EQ(L"C", fields[2]);
    EXPECT_EQ(L"", fields[3]);
    EXPECT_EQ(L'\t', text.back());
}

INSTANTIATE_TEST_SUITE_P(AllThree, ManagerRequestTest,
                         ::testing::Values(RequestCase{RequestComponentDownload, L"kivmgr_KIV_COMPONENT_DOWNLOAD", "Download"},
                                           RequestCase{RequestComponentInstall, L"kivmgr_KIV_COMPONENT_INSTALL", "Install"},
                                           RequestCase{RequestComponentUpgrade, L"kivmgr_KIV_COMPONENT_UPGRADE", "Upgrade"}),
                         [](const ::testing::TestParamInfo<RequestCase>& info) { return std::string(info.param.name); });

TEST(SendManagerCommandTest, AbsentManagerFailsAtOnceAndClosesReplyPipe)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    ::SetLastError(0xdeadbeef);
    const Exchange ex = SendDownload();
    EXPECT_FALSE(ex.ok);
    EXPECT_LT(ex.elapsedMs, 15000u); // not the 30 s reply bound
    EXPECT_EQ(L"(untouched)", ex.reply);
    EXPECT_TRUE(capture.WaitFor(5, 66, L"[PipeSendAndRecvW] Initial pipe client failed! err=2")) << capture.Dump();

    ::SetLastError(0xdeadbeef);
    HANDLE h = ::CreateFileW(PipePath(ex.id).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    UniqueHandle probe(h == INVALID_HANDLE_VALUE ? nullptr : h);
    EXPECT_FALSE(probe.IsValid());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());

    EXPECT_FALSE(RequestComponentUpgrade(L"C", L"1"));
}

TEST(SendManagerCommandTest, ReplyPiecesAreJoinedInArrivalOrder)
{
    FakeManager manager(FakeManager::Reply::Answer, {L"Hello, ", L"world", L"!"});
    const Exchange ex = SendDownload();
    EXPECT_TRUE(ex.ok);
    EXPECT_EQ(L"Hello, world!", ex.reply);
}

TEST(SendManagerCommandTest, PieceWithNulContributesOnlyItsTextBeforeIt)
{
    FakeManager manager(FakeManager::Reply::Answer, {std::wstring(L"abc\0def", 7), std::wstring(L"\0hidden", 7), L"ghi"});
    const Exchange ex = SendDownload();
    EXPECT_TRUE(ex.ok);
    EXPECT_EQ(L"abcghi", ex.reply);
}

TEST(SendManagerCommandTest, PieceLongerThanOneReadArrivesWhole)
{
    std::wstring longPiece(1500, L'\0'); // 3000 bytes: read as 2046 + 954
    for (size_t i = 0; i < longPiece.size(); ++i) {
        longPiece[i] = static_cast<wchar_t>(L'a' + i % 26);
    }
    FakeManager manager(FakeManager::Reply::Answer, {longPiece, L"|end"});
    const Exchange ex = SendDownload();
    EXPECT_TRUE(ex.ok);
    EXPECT_EQ(longPiece + L"|end", ex.reply);
}

TEST(SendManagerCommandTest, ManagerThatClosesWithoutWritingGivesTrueAndEmptyReply)
{
    FakeManager manager(FakeManager::Reply::Answer, {});
    const Exchange ex = SendDownload();
    EXPECT_TRUE(ex.ok);
    EXPECT_EQ(L"", ex.reply);
    manager.Stop();
    EXPECT_TRUE(manager.ReplyOpened());
}

TEST(SendManagerCommandTest, SilentManagerEndsTheWaitAfterTheIdleBound)
{
    const ManagerReplyLimits limits = {/* idle */ 300, /* total */ 60000, /* bytes */ 1024 * 1024};
    {
        SCOPED_TRACE("reply pipe never opened");
        FakeManager manager(FakeManager::Reply::Silent);
        const Exchange ex = SendDownload(limits);
        EXPECT_TRUE(ex.ok);
        EXPECT_EQ(L"", ex.reply);
        EXPECT_GE(ex.elapsedMs, 280u);
        EXPECT_LT(ex.elapsedMs, 20000u);
    }
    {
        SCOPED_TRACE("reply pipe opened, nothing written, kept open");
        FakeManager manager(FakeManager::Reply::OpenAndHold, {});
        const Exchange ex = SendDownload(limits);
        EXPECT_TRUE(ex.ok);
        EXPECT_EQ(L"", ex.reply);
        EXPECT_GE(ex.elapsedMs, 280u);
        EXPECT_LT(ex.elapsedMs, 3000u);
        manager.Stop();
        EXPECT_TRUE(manager.ReplyOpened());
    }
}

TEST(SendManagerCommandTest, QuietManagerHoldingTheReplyPipeStopsAtTheTotalTimeBound)
{
    FakeManager manager(FakeManager::Reply::OpenAndHold, {L"partial"});
    const ManagerReplyLimits limits = {/* idle */ 60000, /* total */ 500, /* bytes */ 1024 * 1024};
    const Exchange ex = SendDownload(limits);
    EXPECT_TRUE(ex.ok);
    EXPECT_EQ(L"partial", ex.reply);
    EXPECT_GE(ex.elapsedMs, 480u);
    EXPECT_LT(ex.elapsedMs, 30000u); // the wait for the next piece is cut to what is left
}

TEST(SendManagerCommandTest, EndlessReplyStopsAtTheByteBound)
{
    FakeManager manager(FakeManager::Reply::Flood, {std::wstring(500, L'x')});
    const ManagerReplyLimits limits = {/* idle */ 5000, /* total */ 20000, /* bytes */ 64 * 1024};
    const Exchange ex = SendDownload(limits);
    EXPECT_TRUE(ex.ok);
    EXPECT_GE(ex.reply.size() * sizeof(wchar_t), 64u * 1024u);
    EXPECT_LT(ex.reply.size() * sizeof(wchar_t), 64u * 1024u + 2046u);
    EXPECT_EQ(std::wstring::npos, ex.reply.find_first_not_of(L'x'));
    manager.Stop(); // its next write fails: the reply pipe is gone
}

TEST(SendManagerCommandTest, TricklingReplyStopsAtTheTotalTimeBound)
{
    FakeManager manager(FakeManager::Reply::Flood, {L"tick"}, /* floodIntervalMs */ 20);
    const ManagerReplyLimits limits = {/* idle */ 2000, /* total */ 500, /* bytes */ 1024 * 1024};
    const Exchange ex = SendDownload(limits);
    EXPECT_TRUE(ex.ok);
    EXPECT_GE(ex.elapsedMs, 480u);
    EXPECT_LT(ex.elapsedMs, 15000u);
    ASSERT_GE(ex.reply.size(), 8u);
    EXPECT_EQ(0u, ex.reply.size() % 4);
    EXPECT_EQ(L"ticktick", ex.reply.substr(0, 8));
}

} // namespace
