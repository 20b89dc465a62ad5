// Debug log: filter, composition and forwarding, checked through the log server stand-in.
#include <gtest/gtest.h>

#include "log/debug_log.h"
#include "test_support.h"

using testing_support::LogCapture;

TEST(DebugLogTest, SmokeRecordArrives)
{
    LogCapture capture;
    ASSERT_TRUE(capture.Started());
    EXPECT_TRUE(DebugLogW(68, L"src/x", 12, L"%s - >>>", L"Func"));
    EXPECT_TRUE(capture.WaitFor(68, 12, L"Func - >>>"));
}
