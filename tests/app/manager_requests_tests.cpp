// Plug-in manager requests: identifiers, wire format, reply collection and its bounds.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "app/manager_requests.h"
#include "common/unique_resource.h"
#include "pipe/cmd_protocol.h"
#include "test_support.h"

using testing_support::LogCapture;
using UTIL::UniqueHandle;

namespace {

std::wstring PipePath(const std::wstring& name)
{
    return L"\\\\.\\pipe\\" + name;
}

std::vector<std::wstring> SplitTabs(const std::wstring& text)
{
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = text.find(L'\t', start);
        fields.push_back(text.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start));
        if (tab == std::wstring::npos) {
            return fields;
        }
        start = tab + 1;
    }
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

// Plays the manager's command handler on a thread of its own: takes one
// request on "Brontide QgdKivMgr Command Handler Manager", then answers on the
// reply pipe named in the request's second field as its script says.
class FakeManager {
public:
    enum class Mode {
        Answer,      // open the reply pipe, write the pieces, close
        Silent,      // never open the reply pipe
        OpenAndHold, // open the reply pipe, write the pieces and keep it open
        Flood,       // write the first piece again and again until that fails
    };

    FakeManager(Mode mode, std::vector<std::wstring> pieces = {}, DWORD floodIntervalMs = 0)
        : m_mode(mode), m_pieces(std::move(pieces)), m_floodIntervalMs(floodIntervalMs)
    {
        m_hRelease.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        m_hReceived.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        HANDLE h = ::CreateNamedPipeW(PipePath(kManagerCommandPipeName).c_str(), PIPE_ACCESS_INBOUND,
                                      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0, 65536, 1000, nullptr);
        m_hPipe.Reset(h == INVALID_HANDLE_VALUE ? nullptr : h);
        if (m_hPipe.IsValid()) {
            m_thread = std::thread(&FakeManager::Run, this);
        }
    }

    ~FakeManager() { Finish(); }

    bool Listening() const { return m_hPipe.IsValid(); }

    // Ends the script (a held or flooded reply pipe is let go) and waits for it.
    void Finish()
    {
        if (!m_thread.joinable()) {
            return;
        }
        ::SetEvent(m_hRelease.Get());
        if (::WaitForSingleObject(m_hReceived.Get(), 0) != WAIT_OBJECT_0) {
            // Still waiting for a request: a connection that closes at once ends the wait.
            HANDLE h = ::CreateFileW(PipePath(kManagerCommandPipeName).c_str(), GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
            UniqueHandle unblock(h == INVALID_HANDLE_VALUE ? nullptr : h);
        }
        m_thread.join();
    }

    // Valid after Finish.
    const std::vector<BYTE>& Raw() const { return m_raw; }
    std::wstring Text() const
    {
        std::wstring text(m_raw.size() / sizeof(wchar_t), L'\0');
        if (!text.empty()) {
            memcpy(&text[0], m_raw.data(), text.size() * sizeof(wchar_t));
        }
        return text;
    }
    bool ReplyOpened() const { return m_bReplyOpened; }
    size_t PiecesWritten() const { return m_piecesWritten; }

private:
    void Run()
    {
        if (!::ConnectNamedPipe(m_hPipe.Get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED &&
            ::GetLastError() != ERROR_NO_DATA) {
            ::SetEvent(m_hReceived.Get());
            return;
        }
        BYTE buffer[4096];
        DWORD cb = 0;
        while (::ReadFile(m_hPipe.Get(), buffer, sizeof(buffer), &cb, nullptr) || ::GetLastError() == ERROR_MORE_DATA) {
            m_raw.insert(m_raw.end(), buffer, buffer + cb);
        }
        ::DisconnectNamedPipe(m_hPipe.Get());
        ::SetEvent(m_hReceived.Get());

        const std::vector<std::wstring> fields = SplitTabs(Text());
        if (fields.size() < 2 || m_mode == Mode::Silent) {
            ::WaitForSingleObject(m_hRelease.Get(), 30000);
            return;
        }
        HANDLE h = ::CreateFileW(PipePath(fields[1]).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        UniqueHandle reply(h == INVALID_HANDLE_VALUE ? nullptr : h);
        m_bReplyOpened = reply.IsValid();
        if (!reply.IsValid()) {
            return;
        }
        DWORD done = 0;
        switch (m_mode) {
        case Mode::Answer:
            for (const std::wstring& piece : m_pieces) {
                if (!::WriteFile(reply.Get(), piece.data(), static_cast<DWORD>(piece.size() * sizeof(wchar_t)), &done,
                                 nullptr)) {
                    break;
                }
                ++m_piecesWritten;
            }
            break;
        case Mode::OpenAndHold:
            for (const std::wstring& piece : m_pieces) {
                ::WriteFile(reply.Get(), piece.data(), static_cast<DWORD>(piece.size() * sizeof(wchar_t)), &done,
                            nullptr);
            }
            ::WaitForSingleObject(m_hRelease.Get(), 90000);
            break;
        case Mode::Flood:
            while (::WriteFile(reply.Get(), m_pieces[0].data(), static_cast<DWORD>(m_pieces[0].size() * sizeof(wchar_t)),
                               &done, nullptr)) {
                ++m_piecesWritten;
                if (::WaitForSingleObject(m_hRelease.Get(), m_floodIntervalMs) == WAIT_OBJECT_0) {
                    break;
                }
            }
            break;
        case Mode::Silent:
            break;
        }
    }

    Mode m_mode;
    std::vector<std::wstring> m_pieces;
    DWORD m_floodIntervalMs;
    UniqueHandle m_hPipe;
    UniqueHandle m_hRelease;
    UniqueHandle m_hReceived;
    std::thread m_thread;
    std::vector<BYTE> m_raw;
    bool m_bReplyOpened = false;
    size_t m_piecesWritten = 0;
};

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
    FakeManager manager(FakeManager::Mode::Answer, {L"accepted"});
    ASSERT_TRUE(manager.Listening());
    EXPECT_TRUE(GetParam().request(L"QGCE_COMP_7", L"2.0.1005"));
    manager.Finish();

    ASSERT_EQ(0u, manager.Raw().size() % 2);
    const std::wstring text = manager.Text();
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
    FakeManager manager(FakeManager::Mode::Answer);
    ASSERT_TRUE(manager.Listening());
    EXPECT_TRUE(GetParam().request(L"C", L""));
    manager.Finish();
    const std::wstring text = manager.Text();
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
    FakeManager manager(FakeManager::Mode::Answer, {L"Hello, ", L"world", L"!"});
    const Exchange ex = SendDownload();
    EXPECT_TRUE(ex.ok);
    EXPECT_EQ(L"Hello, world!", ex.reply);
}

TEST(SendManagerCommandTest, PieceWithNulContributesOnlyItsTextBeforeIt)
{
    FakeManager manager(FakeManager::Mode::Answer, {std::wstring(L"abc\0def", 7), std::wstring(L"\0hidden", 7), L"ghi"});
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
    FakeManager manager(FakeManager::Mode::Answer, {longPiece, L"|end"});
    const Exchange ex = SendDownload();
    EXPECT_TRUE(ex.ok);
    EXPECT_EQ(longPiece + L"|end", ex.reply);
}

TEST(SendManagerCommandTest, ManagerThatClosesWithoutWritingGivesTrueAndEmptyReply)
{
    FakeManager manager(FakeManager::Mode::Answer);
    const Exchange ex = SendDownload();
    EXPECT_TRUE(ex.ok);
    EXPECT_EQ(L"", ex.reply);
    manager.Finish();
    EXPECT_TRUE(manager.ReplyOpened());
}

TEST(SendManagerCommandTest, SilentManagerEndsTheWaitAfterTheIdleBound)
{
    const ManagerReplyLimits limits = {/* idle */ 300, /* total */ 60000, /* bytes */ 1024 * 1024};
    {
        SCOPED_TRACE("reply pipe never opened");
        FakeManager manager(FakeManager::Mode::Silent);
        const Exchange ex = SendDownload(limits);
        EXPECT_TRUE(ex.ok);
        EXPECT_EQ(L"", ex.reply);
        EXPECT_GE(ex.elapsedMs, 280u);
        EXPECT_LT(ex.elapsedMs, 20000u);
    }
    {
        SCOPED_TRACE("reply pipe opened, nothing written, kept open");
        FakeManager manager(FakeManager::Mode::OpenAndHold);
        const Exchange ex = SendDownload(limits);
        EXPECT_TRUE(ex.ok);
        EXPECT_EQ(L"", ex.reply);
        EXPECT_GE(ex.elapsedMs, 280u);
        EXPECT_LT(ex.elapsedMs, 20000u);
        manager.Finish();
        EXPECT_TRUE(manager.ReplyOpened());
    }
}

TEST(SendManagerCommandTest, QuietManagerHoldingTheReplyPipeStopsAtTheTotalTimeBound)
{
    FakeManager manager(FakeManager::Mode::OpenAndHold, {L"partial"});
    const ManagerReplyLimits limits = {/* idle */ 60000, /* total */ 500, /* bytes */ 1024 * 1024};
    const Exchange ex = SendDownload(limits);
    EXPECT_TRUE(ex.ok);
    EXPECT_EQ(L"partial", ex.reply);
    EXPECT_GE(ex.elapsedMs, 480u);
    EXPECT_LT(ex.elapsedMs, 30000u); // the wait for the next piece is cut to what is left
}

TEST(SendManagerCommandTest, EndlessReplyStopsAtTheByteBound)
{
    FakeManager manager(FakeManager::Mode::Flood, {std::wstring(500, L'x')});
    const ManagerReplyLimits limits = {/* idle */ 5000, /* total */ 20000, /* bytes */ 64 * 1024};
    const Exchange ex = SendDownload(limits);
    EXPECT_TRUE(ex.ok);
    EXPECT_GE(ex.reply.size() * sizeof(wchar_t), 64u * 1024u);
    EXPECT_LT(ex.reply.size() * sizeof(wchar_t), 64u * 1024u + 2046u);
    EXPECT_EQ(std::wstring::npos, ex.reply.find_first_not_of(L'x'));
    manager.Finish(); // its next write fails: the reply pipe is gone
}

TEST(SendManagerCommandTest, TricklingReplyStopsAtTheTotalTimeBound)
{
    FakeManager manager(FakeManager::Mode::Flood, {L"tick"}, /* floodIntervalMs */ 20);
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
