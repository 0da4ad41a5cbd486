// The stack protector's guard and its failure. The guard is filled with
// random bits from the system's generator (in advapi32, which the program
// loads anyway) by a constructor that runs before the program's own code
// and is not protected itself, so that no protected function that started
// with the guard's first value returns after it changed. A guard found
// changed ends the process at once, as the platform's own checks do: the
// stack is not trusted to unwind.
#include "setup.h"

#include <stdint.h>

// The platform's fail-fast: the process ends with the code, no handler runs.
__attribute__((noreturn)) static void FailFast(unsigned int code)
{
    __asm__ volatile("int $0x29" : : "c"(code));
    __builtin_unreachable();
}

extern "C" {
uintptr_t __stack_chk_guard = 0x2b992ddfa232ULL;

__attribute__((noreturn)) void __stack_chk_fail(void)
{
    FailFast(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}
}

// RtlGenRandom, exported by advapi32 under this name.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

// Where the generator fails, what differs from start to start: the time,
// the counter, the process and thread, and where the stack lies.
__attribute__((constructor(101), no_stack_protector)) static void SeedStackGuard(void)
{
    uintptr_t seed = 0;
    LARGE_INTEGER counter = {};
    FILETIME now = {};

    if (!SystemFunction036(&seed, sizeof seed) || seed == 0) {
        QueryPerformanceCounter(&counter);
        GetSystemTimeAsFileTime(&now);
        seed = (uintptr_t)counter.QuadPart ^ ((uintptr_t)now.dwHighDateTime << 32 | now.dwLowDateTime) ^
               ((uintptr_t)GetCurrentProcessId() << 32 | GetCurrentThreadId()) ^ (uintptr_t)&seed;
    }
    __stack_chk_guard = seed;
}
