// Locks: the guard shuts other threads out for its scope and leaves on every way out.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <type_traits>

#include "sign/locks.h"

// A copy would delete or leave the same critical section twice.
static_assert(!std::is_copy_constructible<UTIL::CCriticalSection>::value &&
                  !std::is_copy_assignable<UTIL::CCriticalSection>::value,
              "critical-section owners are not copyable");
static_assert(!std::is_copy_constructible<UTIL::CCriticalSectionGuard>::value &&
                  !std::is_copy_assignable<UTIL::CCriticalSectionGuard>::value,
              "guards are not copyable");

namespace {

// Whether another thread can enter the section right now.
bool FreeForOtherThread(UTIL::CCriticalSection& owner)
{
    bool bEntered = false;
    std::thread other([&] {
        if (::TryEnterCriticalSection(owner.Get())) {
            bEntered = true;
            ::LeaveCriticalSection(owner.Get());
        }
    });
    other.join();
    return bEntered;
}

} // namespace

// The process-wide locks are ready before any code of the program runs.
TEST(LocksTest, GuardHoldsSectionForItsScopeAndItsThreadMayEnterAgain)
{
    for (UTIL::CCriticalSection* pOwner : {&UTIL::g_SingletonCreationLocker, &g_CSLock}) {
        {
            UTIL::CAutoSingletonLocker guard(*pOwner);
            EXPECT_FALSE(FreeForOtherThread(*pOwner));
            {
                CAutoCriticalSectionLocker again(*pOwner);
                EXPECT_FALSE(FreeForOtherThread(*pOwner));
            }
            EXPECT_FALSE(FreeForOtherThread(*pOwner));
        }
        EXPECT_TRUE(FreeForOtherThread(*pOwner));
    }
}

TEST(LocksTest, GuardLeavesSectionWhenExceptionPassesThrough)
{
    CCriticalSectionLocker owner;
    EXPECT_THROW(
        {
            CAutoCriticalSectionLocker guard(owner);
            CAutoCriticalSectionLocker nested(owner);
            throw std::runtime_error("leave");
        },
        std::runtime_error);
    EXPECT_TRUE(FreeForOtherThread(owner));
}
