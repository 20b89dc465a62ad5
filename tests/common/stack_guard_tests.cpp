// Stack-protector guard of the program's libraries: seeded per process, and a
// smashed stack still ends the process.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "test_support.h"

extern "C" uintptr_t __stack_chk_guard;

using testing_support::ProcessResult;

namespace {

ProcessResult RunProbe(const wchar_t* mode)
{
    return testing_support::RunProcess(L"\"" + testing_support::BinDir() + L"\\StackGuardProbe.exe\" " + mode);
}

} // namespace

TEST(StackGuardTest, GuardIsSeededBeforeMainAndDiffersBetweenProcesses)
{
    EXPECT_NE(0u, __stack_chk_guard);
    EXPECT_NE(0x2B992DDFu, __stack_chk_guard); // the value before seeding

    const ProcessResult first = RunProbe(L"guard");
    const ProcessResult second = RunProbe(L"guard");
    ASSERT_EQ(0u, first.exitCode);
    ASSERT_EQ(0u, second.exitCode);
    EXPECT_EQ(8u, first.output.size());
    EXPECT_NE("2b992ddf", first.output);
    EXPECT_NE(first.output, second.output);
}

TEST(StackGuardTest, SmashedStackEndsTheProcessAtOnce)
{
    const ProcessResult r = RunProbe(L"smash");
    ASSERT_TRUE(r.started);
    EXPECT_EQ(static_cast<DWORD>(STATUS_STACK_BUFFER_OVERRUN), r.exitCode);
    EXPECT_EQ(std::string::npos, r.output.find("survived"));
}
