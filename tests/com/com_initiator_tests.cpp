// COM initiator on real COM: balancing, foreign thread models, forcing.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "com/com_initiator.h"
#include "log/debug_log.h"
#include "test_support.h"

using testing_support::LogCapture;

namespace {

const int kLevelD = LOG_LEVEL_DEBUG;
const int kLevelE = LOG_LEVEL_ERROR;

// COM state is per thread: every case runs on a fresh thread.
void OnFreshThread(const std::function<void()>& body)
{
    std::thread t(body);
    t.join();
}

// True when COM is not initialised on this thread (probing leaves it that way).
bool ComIsFree()
{
    const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(hr)) {
        ::CoUninitialize();
    }
    return hr == S_OK;
}

} // namespace

TEST(ComInitiatorTest, FreshThreadInitialisesAndBalancesOnce)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    OnFreshThread([] {
        {
            UTIL::CComInitiator com(COINIT_MULTITHREADED, FALSE);
            EXPECT_EQ(com.GetResult(), S_OK);
            EXPECT_TRUE(com.IsHolding());
            EXPECT_FALSE(ComIsFree());
        }
        EXPECT_TRUE(ComIsFree());
        // Sent after anything the initiator logged on this thread.
        DebugLogW(kLevelD, L"tests/com", 1, L"%s - done", L"FreshThread");
    });
    ASSERT_TRUE(capture.WaitFor(kLevelD, 1, L"FreshThread - done")) << capture.Dump();
    capture.Settle();
    EXPECT_TRUE(capture.Matching(kLevelD, -1, L"UTIL::CComInitiator").empty()) << capture.Dump();
    EXPECT_TRUE(capture.Matching(kLevelE, -1, L"UTIL::CComInitiator").empty()) << capture.Dump();
}

TEST(ComInitiatorTest, SameModelAlreadyRunningCountsAsSuccessAndIsBalanced)
{
    OnFreshThread([] {
        ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        {
            UTIL::CComInitiator com(COINIT_MULTITHREADED, FALSE);
            EXPECT_EQ(com.GetResult(), S_FALSE);
            EXPECT_TRUE(com.IsHolding());
        }
        EXPECT_FALSE(ComIsFree()); // the thread's own initialisation is kept
        ::CoUninitialize();
        EXPECT_TRUE(ComIsFree());
    });
}

TEST(ComInitiatorTest, OtherModelWithoutForceKeepsThreadModelAndSkipsUninitialise)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    OnFreshThread([] {
        ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        {
            UTIL::CComInitiator com(COINIT_MULTITHREADED, FALSE);
            EXPECT_EQ(com.GetResult(), RPC_E_CHANGED_MODE);
            EXPECT_FALSE(com.IsHolding());
        }
        // Still single-threaded: the destructor made no CoUninitialize.
        EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
        ::CoUninitialize();
        ::CoUninitialize();
    });
    const std::wstring hr = std::to_wstring(static_cast<long>(RPC_E_CHANGED_MODE));
    EXPECT_TRUE(capture.WaitFor(kLevelE, 133, L"(RPC_E_CHANGED_MODE) with COM error code: [" + hr + L"]."));
    EXPECT_TRUE(capture.WaitFor(kLevelE, 141, L"UTIL::CComInitiator::Initialize - Keep the original thread model."));
    EXPECT_TRUE(capture.WaitFor(kLevelE, 151, L"CoInitializeEx failed with COM error code: [" + hr + L"]."));
    EXPECT_TRUE(capture.WaitFor(kLevelD, 57,
                                L"UTIL::CComInitiator::CComInitiator - Failed to initiate CComInitiator with thread "
                                L"model: [0] m_bInitialize: [0] result: [" + hr + L"]."));
    EXPECT_TRUE(capture.WaitFor(kLevelD, 178,
                                L"UTIL::CComInitiator::DeInitialize - Due to CoInitializeEx failed, skip to call "
                                L"CoUninitialize."));
    capture.Settle();
    EXPECT_TRUE(capture.Matching(kLevelE, 136).empty());
}

TEST(ComInitiatorTest, ForceUnwindsOneForeignInitialisationAndSwitchesModel)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    OnFreshThread([] {
        ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        {
            UTIL::CComInitiator com(COINIT_MULTITHREADED, TRUE);
            EXPECT_EQ(com.GetResult(), S_OK);
            EXPECT_TRUE(com.IsHolding());
        }
        EXPECT_TRUE(ComIsFree());
    });
    EXPECT_TRUE(capture.WaitFor(kLevelE, 136, L"Force to change thread model to: [0]."));
    EXPECT_TRUE(capture.WaitFor(kLevelD, 201, L"UTIL::CComInitiator::ChangeThreadModel - Thread model change successfully."));
    capture.Settle();
    EXPECT_TRUE(capture.Matching(kLevelE, 197).empty());
    EXPECT_TRUE(capture.Matching(kLevelE, 151).empty());
}

TEST(ComInitiatorTest, ForceGivesUpAfterTenAttempts)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    OnFreshThread([] {
        for (int i = 0; i < 12; ++i) {
            ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        }
        {
            UTIL::CComInitiator com(COINIT_MULTITHREADED, TRUE);
            EXPECT_EQ(com.GetResult(), RPC_E_CHANGED_MODE);
            EXPECT_FALSE(com.IsHolding());
        }
        // Ten attempts unwound ten of the twelve initialisations.
        ::CoUninitialize();
        ::CoUninitialize();
        EXPECT_TRUE(ComIsFree());
    });
    for (unsigned attempt = 0; attempt < 10; ++attempt) {
        EXPECT_TRUE(capture.WaitFor(kLevelE, 197, L"retry times: [" + std::to_wstring(attempt) + L"]."));
    }
    capture.Settle();
    EXPECT_EQ(capture.Matching(kLevelE, 197).size(), 10u);
    EXPECT_EQ(capture.Matching(kLevelE, 151).size(), 1u);
}

TEST(ComInitiatorTest, ForceAdjustReleasesThenInitialisesAgain)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    OnFreshThread([] {
        UTIL::CComInitiator com(COINIT_MULTITHREADED, FALSE);
        ASSERT_EQ(com.GetResult(), S_OK);
        EXPECT_EQ(com.ForceAdjustThreadModel(COINIT_APARTMENTTHREADED, FALSE), S_OK);
        EXPECT_TRUE(com.IsHolding());
        EXPECT_EQ(com.GetResult(), S_OK);
        // Now single-threaded, held once.
        EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        com.Uninitialize();
        EXPECT_FALSE(com.IsHolding());
        EXPECT_TRUE(ComIsFree());
    });
    EXPECT_TRUE(capture.WaitFor(kLevelD, 97,
                                L"UTIL::CComInitiator::ForceAdjustThreadModel - Initiate with thread model: [2] "
                                L"result: [0]."));
}
