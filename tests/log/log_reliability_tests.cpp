// Debug log under load and with misbehaving log servers.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/debug_log.h"
#include "test_support.h"

using testing_support::LogCapture;

TEST(LogReliabilityTest, SixteenThreadsThousandRecordsEachArriveExactlyOnceAndIntact)
{
    standin::LogSink sink;
    ASSERT_TRUE(sink.Start(L"Log_ServerNamePipe", 32));
    const int kThreads = 16;
    const int kRecords = 1000;
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRecords; ++i) {
                if (!DebugLogW(LOG_LEVEL_DEBUG, L"tests/log/load", t, L"%s - t%d r%d %s", L"Load", t, i,
                               L"payload-with-some-length-0123456789")) {
                    ++refused;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(refused.load(), 0);
    ASSERT_TRUE(sink.WaitUntil([&](const std::vector<standin::LogRecord>& r) { return r.size() >= kThreads * kRecords; },
                               30000));
    ::Sleep(200);
    const auto records = sink.Records();
    EXPECT_EQ(records.size(), static_cast<size_t>(kThreads * kRecords));
    std::set<std::wstring> seen;
    for (const auto& r : records) {
        ASSERT_EQ(r.fieldCount, 8u);
        const std::wstring expected = L"[][log_tests.exe]Load - t" + std::to_wstring(r.line) + L" r";
        ASSERT_EQ(r.text.compare(0, expected.size(), expected), 0) << testing_support::Narrow(r.text);
        EXPECT_NE(r.text.find(L"payload-with-some-length-0123456789"), std::wstring::npos);
        EXPECT_TRUE(seen.insert(r.text).second) << "duplicate " << testing_support::Narrow(r.text);
    }
}

TEST(LogReliabilityTest, LogServerKilledMidRunOnlyDropsLaterRecords)
{
    testing_support::TempDir dir;
    const std::wstring file = dir.File(L"records.txt");
    const std::wstring cmd = L"\"" + testing_support::BinDir() + L"\\LogServer.exe\" --quiet --no-stdin --file \"" +
                             file + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring mutableCmd = cmd;
    ASSERT_TRUE(::CreateProcessW(nullptr, &mutableCmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    // Wait until it serves the pipe.
    for (int i = 0; i < 100 && !::WaitNamedPipeW(L"\\\\.\\pipe\\Log_ServerNamePipe", 0); ++i) {
        ::Sleep(20);
    }
    int delivered = 0;
    for (int i = 0; i < 50; ++i) {
        delivered += DebugLogW(LOG_LEVEL_INFO, L"tests/log/kill", i, L"%s - before %d", L"K", i) ? 1 : 0;
    }
    EXPECT_EQ(delivered, 50);
    ::TerminateProcess(pi.hProcess, 9);
    ::WaitForSingleObject(pi.hProcess, 5000);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);

    const DWORD start = ::GetTickCount();
    for (int i = 0; i < 50; ++i) {
        EXPECT_FALSE(DebugLogW(LOG_LEVEL_INFO, L"tests/log/kill", 100 + i, L"%s - after %d", L"K", i));
    }
    EXPECT_LT(::GetTickCount() - start, 20000u); // no call waits for the killed server
    // What was delivered before the kill was written out by the server.
    const std::string text = testing_support::ReadFileBytes(file);
    EXPECT_NE(text.find("K - before 0"), std::string::npos);
}

TEST(LogReliabilityTest, LogServerThatNeverReadsDelaysButDoesNotHangTheWriter)
{
    const wchar_t kPath[] = L"\\\\.\\pipe\\Log_ServerNamePipe";
    HANDLE hServer = ::CreateNamedPipeW(kPath, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 16,
                                        16, 1000, nullptr);
    ASSERT_NE(hServer, INVALID_HANDLE_VALUE);
    std::thread accept([&] { ::ConnectNamedPipe(hServer, nullptr); });
    const std::wstring big(3000, L'z');
    const DWORD start = ::GetTickCount();
    EXPECT_FALSE(DebugLogW(LOG_LEVEL_INFO, L"tests/log/deaf", 1, L"%s - %s", L"D", big.c_str()));
    EXPECT_LT(::GetTickCount() - start, 15000u);
    accept.join();
    ::CloseHandle(hServer);
}
