// StackGuardProbe.exe: prints the seeded stack-protector guard, or smashes its own stack.
//   StackGuardProbe guard | smash
#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" uintptr_t __stack_chk_guard;

namespace {

// Writes `count` bytes into a 16-byte buffer; the count comes from outside so
// that the compiler cannot see the overflow.
__attribute__((noinline)) int Overflow(size_t count)
{
    char buffer[16];
    volatile char* p = buffer;
    for (size_t i = 0; i < count; ++i) {
        p[i] = 'x';
    }
    return buffer[0];
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc > 1 && strcmp(argv[1], "guard") == 0) {
        printf("%08lx", static_cast<unsigned long>(__stack_chk_guard));
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "smash") == 0) {
        const int r = Overflow(16 + 64 + static_cast<size_t>(argc));
        printf("survived %d", r);
        return 0;
    }
    return 2;
}
