// Lock classes: not copyable, guards leave on every way out, the global locks exist.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <type_traits>

#include "sign/locks.h"

template <typename T>
constexpr bool kNoCopy = !std::is_copy_constructible<T>::value && !std::is_copy_assignable<T>::value;

static_assert(kNoCopy<CNonCopyable>, "CNonCopyable copies");
static_assert(kNoCopy<CCriticalSectionLocker>, "CCriticalSectionLocker copies");
static_assert(kNoCopy<CAutoCriticalSectionLocker>, "CAutoCriticalSectionLocker copies");
static_assert(kNoCopy<UTIL::CNonCopyable>, "UTIL::CNonCopyable copies");
static_assert(kNoCopy<UTIL::CSingletonLocker>, "UTIL::CSingletonLocker copies");
static_assert(kNoCopy<UTIL::CAutoSingletonLocker>, "UTIL::CAutoSingletonLocker copies");
static_assert(kNoCopy<CSLock>, "CSLock copies");

static_assert(std::has_virtual_destructor<CCriticalSectionLocker>::value, "virtual destructor");
static_assert(std::has_virtual_destructor<UTIL::CAutoSingletonLocker>::value, "virtual destructor");
static_assert(std::has_virtual_destructor<CSLock>::value, "virtual destructor");
static_assert(std::is_base_of<CNonCopyable, CAutoCriticalSectionLocker>::value, "base");
static_assert(std::is_base_of<UTIL::CNonCopyable, UTIL::CSingletonLocker>::value, "base");
static_assert(!std::is_base_of<CNonCopyable, UTIL::CSingletonLocker>::value, "the two sets stay apart");

namespace {

// Whether another thread can enter the section right now.
bool FreeForOtherThread(CRITICAL_SECTION* pcs)
{
    bool bEntered = false;
    std::thread other([&] {
        if (::TryEnterCriticalSection(pcs)) {
            bEntered = true;
            ::LeaveCriticalSection(pcs);
        }
    });
    other.join();
    return bEntered;
}

} // namespace

TEST(LocksTest, GuardHoldsSectionForItsScope)
{
    CCriticalSectionLocker owner;
    {
        CAutoCriticalSectionLocker guard(owner);
        EXPECT_FALSE(FreeForOtherThread(owner.Get()));
        {
            CAutoCriticalSectionLocker again(owner); // the owning thread may enter again
            EXPECT_FALSE(FreeForOtherThread(owner.Get()));
        }
        EXPECT_FALSE(FreeForOtherThread(owner.Get()));
    }
    EXPECT_TRUE(FreeForOtherThread(owner.Get()));
}

TEST(LocksTest, GuardLeavesSectionWhenExceptionPassesThrough)
{
    CCriticalSectionLocker owner;
    UTIL::CSingletonLocker singletonOwner;
    EXPECT_THROW(
        {
            CAutoCriticalSectionLocker guard(owner);
            UTIL::CAutoSingletonLocker singletonGuard(singletonOwner);
            throw std::runtime_error("leave");
        },
        std::runtime_error);
    EXPECT_TRUE(FreeForOtherThread(owner.Get()));
    EXPECT_TRUE(FreeForOtherThread(singletonOwner.Get()));
}

TEST(LocksTest, GlobalLocksAreUsableBeforeAnyCodeMakesThem)
{
    {
        UTIL::CAutoSingletonLocker guard(UTIL::g_SingletonCreationLocker);
        EXPECT_FALSE(FreeForOtherThread(UTIL::g_SingletonCreationLocker.Get()));
    }
    EXPECT_TRUE(FreeForOtherThread(UTIL::g_SingletonCreationLocker.Get()));
    EXPECT_TRUE(FreeForOtherThread(g_CSLock.Get()));
}
