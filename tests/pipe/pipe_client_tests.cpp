// Pipe client: connection, message chunking, busy and absent servers.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "log_sink.h"
#include "pipe/pipe_client.h"
#include "test_support.h"

using testing_support::UniqueName;

class PipeClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_name = UniqueName(L"kiv_client_test");
        ASSERT_TRUE(m_server.Start(m_name, 2));
    }

    // Sends `bytes` bytes over a fresh connection and returns what arrived.
    standin::LogRecord SendAndReceive(DWORD bytes)
    {
        std::vector<uint8_t> data(bytes);
        for (DWORD i = 0; i < bytes; ++i) {
            data[i] = static_cast<uint8_t>(i * 7 + 1);
        }
        CPipeClient client;
        EXPECT_TRUE(client.Initial(m_name.c_str())) << ::GetLastError();
        DWORD count = bytes;
        EXPECT_TRUE(client.Send(data.data(), &count));
        EXPECT_EQ(count, bytes);
        client.Close();
        EXPECT_TRUE(m_server.WaitUntil([](const std::vector<standin::LogRecord>& r) { return !r.empty(); }, 3000));
        const standin::LogRecord rec = m_server.Records().at(0);
        EXPECT_EQ(rec.raw, data);
        return rec;
    }

    std::wstring m_name;
    standin::LogSink m_server;
};

TEST_F(PipeClientTest, MessageOf1024BytesIsOnePipeMessage)
{
    const auto rec = SendAndReceive(1024);
    EXPECT_EQ(rec.pieceSizes, std::vector<DWORD>({1024}));
}

TEST_F(PipeClientTest, MessageOf1025BytesIsTwoPipeMessages)
{
    const auto rec = SendAndReceive(1025);
    EXPECT_EQ(rec.pieceSizes, std::vector<DWORD>({1024, 1}));
}

TEST_F(PipeClientTest, LargeMessageArrivesInOrderIn1024BytePieces)
{
    const auto rec = SendAndReceive(5000);
    EXPECT_EQ(rec.pieceSizes, std::vector<DWORD>({1024, 1024, 1024, 1024, 904}));
}

TEST_F(PipeClientTest, ZeroByteSendWritesNothingAndSucceeds)
{
    CPipeClient client;
    ASSERT_TRUE(client.Initial(m_name.c_str()));
    DWORD count = 0;
    EXPECT_TRUE(client.Send(nullptr, &count));
    EXPECT_EQ(count, 0u);
    client.Close();
    ::Sleep(200);
    EXPECT_EQ(m_server.Count(), 0u);
}

TEST_F(PipeClientTest, SendWithoutConnectionFailsAndKeepsCount)
{
    CPipeClient client;
    char byte = 1;
    DWORD count = 1;
    ::SetLastError(0xdeadbeef);
    EXPECT_FALSE(client.Send(&byte, &count));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(PipeClientErrorsTest, AbsentPipeFailsAtOnceWithFileNotFound)
{
    CPipeClient client;
    const DWORD start = ::GetTickCount();
    ::SetLastError(0xdeadbeef);
    EXPECT_FALSE(client.Initial(UniqueName(L"kiv_absent").c_str()));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_LT(::GetTickCount() - start, 5000u); // no wait for a free instance
}

TEST(PipeClientErrorsTest, LackOfResourcesIsRetriedAHundredTimesInARowOnly)
{
    int retries = 0;
    int granted = 0;
    while (granted <= 1000 && CPipeClient::RetryChunkWrite(ERROR_NO_SYSTEM_RESOURCES, &retries)) {
        ++granted;
    }
    EXPECT_EQ(granted, 100);
    retries = 0;
    EXPECT_FALSE(CPipeClient::RetryChunkWrite(ERROR_BROKEN_PIPE, &retries));
    EXPECT_FALSE(CPipeClient::RetryChunkWrite(ERROR_TIMEOUT, &retries));
    EXPECT_EQ(retries, 0);
}

TEST(PipeClientErrorsTest, OverlongPipeNameIsRefused)
{
    CPipeClient client;
    ::SetLastError(0xdeadbeef);
    EXPECT_FALSE(client.Initial(std::wstring(251, L'n').c_str()));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_FALSE(client.Initial(nullptr));
}

TEST(PipeClientBusyTest, WaitsForAFreeInstanceThenConnects)
{
    const std::wstring name = UniqueName(L"kiv_busy");
    standin::LogSink server;
    ASSERT_TRUE(server.Start(name, 1));
    const std::wstring path = L"\\\\.\\pipe\\" + name;
    HANDLE hBlocker = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hBlocker, INVALID_HANDLE_VALUE);
    std::thread release([&] {
        ::Sleep(300);
        ::CloseHandle(hBlocker); // the server recycles the instance
    });
    CPipeClient client;
    const DWORD start = ::GetTickCount();
    EXPECT_TRUE(client.Initial(name.c_str())) << ::GetLastError();
    EXPECT_GE(::GetTickCount() - start, 250u);
    release.join();
    wchar_t msg[] = L"late";
    DWORD count = sizeof(msg);
    EXPECT_TRUE(client.Send(msg, &count));
}

TEST(PipeClientBusyTest, GivesUpWhenNoInstanceFreesWithinDefaultTimeout)
{
    const std::wstring name = UniqueName(L"kiv_busy");
    standin::LogSink server;
    ASSERT_TRUE(server.Start(name, 1)); // default time-out 1000 ms
    const std::wstring path = L"\\\\.\\pipe\\" + name;
    HANDLE hBlocker = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hBlocker, INVALID_HANDLE_VALUE);
    CPipeClient client;
    const DWORD start = ::GetTickCount();
    EXPECT_FALSE(client.Initial(name.c_str()));
    const DWORD elapsed = ::GetTickCount() - start;
    EXPECT_GE(elapsed, 900u);
    EXPECT_LT(elapsed, 15000u);
    ::CloseHandle(hBlocker);
}

TEST(PipeClientHostileServerTest, ServerThatNeverReadsCannotBlockTheWriterForEver)
{
    const std::wstring name = UniqueName(L"kiv_deaf");
    const std::wstring path = L"\\\\.\\pipe\\" + name;
    // A server with tiny buffers that connects and then never reads.
    HANDLE hServer = ::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                        1, 16, 16, 1000, nullptr);
    ASSERT_NE(hServer, INVALID_HANDLE_VALUE);
    std::thread accept([&] { ::ConnectNamedPipe(hServer, nullptr); });
    CPipeClient client;
    ASSERT_TRUE(client.Initial(name.c_str()));
    accept.join();
    std::vector<char> big(64 * 1024, 'b');
    DWORD count = static_cast<DWORD>(big.size());
    const DWORD start = ::GetTickCount();
    ::SetLastError(0xdeadbeef);
    EXPECT_FALSE(client.Send(big.data(), &count));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(count, big.size());
    const DWORD elapsed = ::GetTickCount() - start;
    EXPECT_GE(elapsed, 4500u);
    EXPECT_LT(elapsed, 15000u);
    client.Close();
    ::CloseHandle(hServer);
}

TEST(PipeClientHostileServerTest, WriteThatWaitsForALateReaderCompletes)
{
    const std::wstring name = UniqueName(L"kiv_late");
    const std::wstring path = L"\\\\.\\pipe\\" + name;
    // Tiny buffers: every 1024-byte piece waits until the server reads it.
    HANDLE hServer = ::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                        1, 16, 16, 1000, nullptr);
    ASSERT_NE(hServer, INVALID_HANDLE_VALUE);
    std::vector<char> received;
    std::thread reader([&] {
        ::ConnectNamedPipe(hServer, nullptr);
        ::Sleep(300); // the first write is pending by now
        std::vector<char> buf(2048);
        for (;;) {
            DWORD n = 0;
            if (!::ReadFile(hServer, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr) &&
                ::GetLastError() != ERROR_MORE_DATA) {
                break;
            }
            received.insert(received.end(), buf.begin(), buf.begin() + n);
        }
    });
    CPipeClient client;
    ASSERT_TRUE(client.Initial(name.c_str()));
    std::vector<char> data(3000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 13 + 5);
    }
    DWORD count = static_cast<DWORD>(data.size());
    const DWORD start = ::GetTickCount();
    EXPECT_TRUE(client.Send(data.data(), &count)) << ::GetLastError();
    EXPECT_EQ(count, data.size());
    EXPECT_GE(::GetTickCount() - start, 250u);
    client.Close();
    reader.join();
    EXPECT_EQ(received, data);
    ::CloseHandle(hServer);
}
