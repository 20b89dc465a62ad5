// Critical-section owner and scoped guard; the singleton creation lock.
#pragma once

#include <windows.h>

namespace UTIL {

// Base that forbids copying and assignment in the classes derived from it.
class CNonCopyable {
public:
    CNonCopyable() = default;
    virtual ~CNonCopyable() = default;
    CNonCopyable(const CNonCopyable&) = delete;
    CNonCopyable& operator=(const CNonCopyable&) = delete;
};

// Owns one critical section for the life of the data it protects. The owning
// thread may enter it again.
class CCriticalSection : public CNonCopyable {
public:
    CCriticalSection() { ::InitializeCriticalSection(&m_cs); }
    ~CCriticalSection() override { ::DeleteCriticalSection(&m_cs); }

    CRITICAL_SECTION* Get() { return &m_cs; }

private:
    CRITICAL_SECTION m_cs;
};

// Holds an owner's section from construction to destruction, also when an
// exception leaves the scope.
class CCriticalSectionGuard : public CNonCopyable {
public:
    explicit CCriticalSectionGuard(CCriticalSection& owner) : m_pOwner(&owner) { ::EnterCriticalSection(m_pOwner->Get()); }
    ~CCriticalSectionGuard() override { ::LeaveCriticalSection(m_pOwner->Get()); }

private:
    CCriticalSection* m_pOwner;
};

// The names the singleton code uses.
using CSingletonLocker = CCriticalSection;
using CAutoSingletonLocker = CCriticalSectionGuard;

// The singleton creation lock: taken before any singleton's own locks.
extern CSingletonLocker g_SingletonCreationLocker;

} // namespace UTIL

// The names the verifier and the process-wide lock use.
using CNonCopyable = UTIL::CNonCopyable;
using CCriticalSectionLocker = UTIL::CCriticalSection;
using CAutoCriticalSectionLocker = UTIL::CCriticalSectionGuard;
using CSLock = UTIL::CCriticalSection;

// The process's global CSLock (made before the entry point, released at exit).
extern CSLock g_CSLock;
