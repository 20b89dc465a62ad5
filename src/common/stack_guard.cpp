// Stack-protector guard for GCC builds: seeded from RtlGenRandom at start-up.
//
// GCC's own libssp seeds the guard through CryptAcquireContext, which loads the
// RSA provider with the crypto and bcrypt libraries into every program and
// library built with -fstack-protector before main runs (about 17 ms per
// process under Wine). These definitions take the place of libssp's ssp.o
// (all of its symbols, so it is never linked in beside them); libssp's checked
// string functions still report through __chk_fail. MSVC builds use /GS and
// its own cookie, so this file is empty there.
#if defined(__GNUC__) && defined(_WIN32)

#include <windows.h>

#include <cstdint>

extern "C" {

// Non-zero before seeding, so that a protected frame never sees 0.
uintptr_t __stack_chk_guard = 0x2B992DDFu;

// A smashed stack or an overflowed checked buffer ends the process at once,
// as /GS does, without running any more of its code.
__attribute__((noreturn)) void __stack_chk_fail(void)
{
    ::TerminateProcess(::GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    __builtin_trap();
}

__attribute__((noreturn)) void __stack_chk_fail_local(void)
{
    __stack_chk_fail();
}

__attribute__((noreturn)) void __chk_fail(void)
{
    __stack_chk_fail();
}

BOOLEAN WINAPI SystemFunction036(PVOID pvBuffer, ULONG cbBuffer); // RtlGenRandom, advapi32

} // extern "C"

namespace {

// Runs before the program's other static constructors, unprotected itself (the
// guard changes under it). When no random bytes can be had, mixes the clocks
// and identifiers as the /GS cookie does.
__attribute__((constructor(101), no_stack_protector, noinline)) void SeedStackGuard()
{
    uintptr_t guard = 0;
    if (!SystemFunction036(&guard, sizeof(guard)) || guard == 0) {
        FILETIME ft;
        ::GetSystemTimeAsFileTime(&ft);
        LARGE_INTEGER counter;
        ::QueryPerformanceCounter(&counter);
        guard = ft.dwLowDateTime ^ ft.dwHighDateTime ^ ::GetCurrentProcessId() ^ ::GetCurrentThreadId() ^
                ::GetTickCount() ^ counter.LowPart ^ static_cast<uintptr_t>(counter.HighPart) ^
                reinterpret_cast<uintptr_t>(&guard);
        if (guard == 0) {
            guard = 0x2B992DDFu;
        }
    }
    __stack_chk_guard = guard;
}

} // namespace

#endif
