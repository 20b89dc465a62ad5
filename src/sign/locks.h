// Critical-section owners and scoped guards; the singleton creation lock.
#pragma once

#include <windows.h>

// Base that forbids copying and assignment in the classes derived from it.
class CNonCopyable {
public:
    CNonCopyable() = default;
    virtual ~CNonCopyable() = default;
    CNonCopyable(const CNonCopyable&) = delete;
    CNonCopyable& operator=(const CNonCopyable&) = delete;
};

// Owns one critical section for the life of the data it protects.
class CCriticalSectionLocker : public CNonCopyable {
public:
    CCriticalSectionLocker() { ::InitializeCriticalSection(&m_cs); }
    ~CCriticalSectionLocker() override { ::DeleteCriticalSection(&m_cs); }

    CRITICAL_SECTION* Get() { return &m_cs; }

private:
    CRITICAL_SECTION m_cs;
};

// Holds a CCriticalSectionLocker's section from construction to destruction,
// also when an exception leaves the scope.
class CAutoCriticalSectionLocker : public CNonCopyable {
public:
    explicit CAutoCriticalSectionLocker(CCriticalSectionLocker& locker) : m_pLocker(&locker)
    {
        ::EnterCriticalSection(m_pLocker->Get());
    }
    ~CAutoCriticalSectionLocker() override { ::LeaveCriticalSection(m_pLocker->Get()); }

private:
    CCriticalSectionLocker* m_pLocker;
};

namespace UTIL {

class CNonCopyable {
public:
    CNonCopyable() = default;
    virtual ~CNonCopyable() = default;
    CNonCopyable(const CNonCopyable&) = delete;
    CNonCopyable& operator=(const CNonCopyable&) = delete;
};

// Owns the critical section that guards the creation of a process-wide singleton.
class CSingletonLocker : public CNonCopyable {
public:
    CSingletonLocker() { ::InitializeCriticalSection(&m_cs); }
    ~CSingletonLocker() override { ::DeleteCriticalSection(&m_cs); }

    CRITICAL_SECTION* Get() { return &m_cs; }

private:
    CRITICAL_SECTION m_cs;
};

class CAutoSingletonLocker : public CNonCopyable {
public:
    explicit CAutoSingletonLocker(CSingletonLocker& locker) : m_pLocker(&locker)
    {
        ::EnterCriticalSection(m_pLocker->Get());
    }
    ~CAutoSingletonLocker() override { ::LeaveCriticalSection(m_pLocker->Get()); }

private:
    CSingletonLocker* m_pLocker;
};

// The singleton creation lock: taken before any singleton's own locks.
extern CSingletonLocker g_SingletonCreationLocker;

} // namespace UTIL

// Stand-alone owner of a critical section.
class CSLock {
public:
    CSLock() { ::InitializeCriticalSection(&m_cs); }
    virtual ~CSLock() { ::DeleteCriticalSection(&m_cs); }
    CSLock(const CSLock&) = delete;
    CSLock& operator=(const CSLock&) = delete;

    CRITICAL_SECTION* Get() { return &m_cs; }

private:
    CRITICAL_SECTION m_cs;
};

// The process's global CSLock (made before the entry point, released at exit).
extern CSLock g_CSLock;
