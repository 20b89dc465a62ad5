// Request/reply exchange: reply pipe first, then the request, failures logged at level 5.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/unique_resource.h"
#include "pipe/pipe_util.h"
#include "test_support.h"

using testing_support::LogCapture;
using testing_support::UniqueName;
using UTIL::UniqueHandle;

namespace {

std::wstring PipePath(const std::wstring& name)
{
    return L"\\\\.\\pipe\\" + name;
}

UniqueHandle OpenClient(const std::wstring& name)
{
    HANDLE h = ::CreateFileW(PipePath(name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

UniqueHandle ServingPipe(const std::wstring& name, DWORD inBuffer)
{
    HANDLE h = ::CreateNamedPipeW(PipePath(name).c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                  1, 0, inBuffer, 1000, nullptr);
    return UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

class PipeSendAndRecvWTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_capture.Started()); }

    LogCapture m_capture;
    std::wstring m_reply = UniqueName(L"kiv_reply");
    std::wstring m_serving = UniqueName(L"kiv_serving");
};

TEST_F(PipeSendAndRecvWTest, AbsentServingPipeFailsAtOnceAndReplyPipeGoesWithServer)
{
    const wchar_t request[] = L"ping";
    {
        CPipeServer server;
        const DWORD start = ::GetTickCount();
        ::SetLastError(0xdeadbeef);
        EXPECT_FALSE(PipeSendAndRecvW(request, 8, m_reply.c_str(), m_serving.c_str(), server, nullptr));
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
        EXPECT_LT(::GetTickCount() - start, 10000u);
        EXPECT_TRUE(m_capture.WaitFor(5, 66, L"[PipeSendAndRecvW] Initial pipe client failed! err=2"))
            << m_capture.Dump();
    }
    ::SetLastError(0xdeadbeef);
    EXPECT_FALSE(OpenClient(m_reply).IsValid());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
    for (const auto& rec : m_capture.Matching(5, 66)) {
        EXPECT_EQ(L"server/libpipe/pipe_util", rec.file);
    }
}

TEST_F(PipeSendAndRecvWTest, TakenReplyPipeFailsBeforeAnythingIsSent)
{
    CPipeServer taken;
    ASSERT_TRUE(taken.Initial(m_reply.c_str(), nullptr));
    UniqueHandle serving = ServingPipe(m_serving, 4096);
    ASSERT_TRUE(serving.IsValid());

    CPipeServer server;
    EXPECT_FALSE(PipeSendAndRecvW(L"ping", 8, m_reply.c_str(), m_serving.c_str(), server, nullptr));
    EXPECT_TRUE(m_capture.WaitFor(5, 58, L"[PipeSendAndRecvW] Initial pipe server failed!")) << m_capture.Dump();
    EXPECT_TRUE(m_capture.WaitFor(5, 266, L"Retry 5 times. Still Failed!")) << m_capture.Dump();
    // Nobody connected to the serving pipe.
    UniqueHandle probe = OpenClient(m_serving);
    EXPECT_TRUE(probe.IsValid()) << ::GetLastError();
}

TEST_F(PipeSendAndRecvWTest, WriteThatFailsIsLoggedAndReported)
{
    UniqueHandle serving = ServingPipe(m_serving, 1024);
    ASSERT_TRUE(serving.IsValid());
    // Accepts the connection, never reads, then drops the client while the
    // request is still being written.
    std::thread dropper([&] {
        if (::ConnectNamedPipe(serving.Get(), nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED) {
            ::Sleep(300);
        }
        ::DisconnectNamedPipe(serving.Get());
    });
    const std::vector<wchar_t> request(128 * 1024, L'r');
    CPipeServer server;
    ::SetLastError(0xdeadbeef);
    EXPECT_FALSE(PipeSendAndRecvW(request.data(), static_cast<DWORD>(request.size() * sizeof(wchar_t)),
                                  m_reply.c_str(), m_serving.c_str(), server, nullptr));
    const DWORD err = ::GetLastError();
    EXPECT_NE(0xdeadbeefu, err);
    dropper.join();
    EXPECT_TRUE(m_capture.WaitFor(5, 73, L"[PipeSendAndRecvW] pipe send failed!. err=" + std::to_wstring(err)))
        << m_capture.Dump();
}

TEST_F(PipeSendAndRecvWTest, RequestArrivesAfterReplyPipeListens)
{
    UniqueHandle serving = ServingPipe(m_serving, 4096);
    ASSERT_TRUE(serving.IsValid());
    std::wstring received;
    bool replyPipeWasThere = false;
    std::thread peer([&] {
        // A client that came (and left) before the call still left its data.
        if (!::ConnectNamedPipe(serving.Get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED &&
            ::GetLastError() != ERROR_NO_DATA) {
            return;
        }
        wchar_t buffer[512];
        DWORD cb = 0;
        while (::ReadFile(serving.Get(), buffer, sizeof(buffer), &cb, nullptr) || ::GetLastError() == ERROR_MORE_DATA) {
            received.append(buffer, cb / sizeof(wchar_t));
        }
        UniqueHandle reply = OpenClient(m_reply);
        replyPipeWasThere = reply.IsValid();
        DWORD done = 0;
        if (reply.IsValid()) {
            ::WriteFile(reply.Get(), L"pong", 8, &done, nullptr);
        }
    });

    CPipeServer server;
    const std::wstring request = L"ping\t" + m_reply;
    ASSERT_TRUE(PipeSendAndRecvW(request.c_str(), static_cast<DWORD>(request.size() * sizeof(wchar_t)),
                                 m_reply.c_str(), m_serving.c_str(), server, nullptr));
    server.SetReadTimeout(10000);
    wchar_t buffer[1024];
    DWORD cb = 2046;
    ASSERT_TRUE(server.Read(buffer, &cb));
    EXPECT_EQ(L"pong", std::wstring(buffer, cb / sizeof(wchar_t)));
    cb = 2046;
    DWORD pid = 0;
    EXPECT_FALSE(server.Read(buffer, &cb, &pid)); // the peer left: its process is named
    peer.join();
    EXPECT_EQ(request, received);
    EXPECT_TRUE(replyPipeWasThere);
    EXPECT_TRUE(m_capture.WaitFor(68, 572, L"The connected pipe client PID [" + std::to_wstring(pid) + L"]"))
        << m_capture.Dump();
    m_capture.Settle();
    EXPECT_TRUE(m_capture.Matching(5, -1).empty()) << m_capture.Dump();
}

} // namespace
