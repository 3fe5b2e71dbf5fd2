// What -fstack-protector-strong calls on: the guard that protected frames copy on entry and
// compare on return, and the routine called when the copy no longer matches. There is no C
// runtime to provide either, and the kernel's own cookie belongs to images built with /GS.
#include "platform/stack_guard.h"

namespace {

// A frame found overwritten past its end.
constexpr ULONG kDriverOverranStackBuffer = 0xF7;

// Guards the frames entered before the seed, and stands in should the seed come out zero.
constexpr ULONG_PTR kInitialGuard = 0x5DC3A1E94B7F2C68ull;

// A 64-bit finaliser: every input bit moves about half of the output bits, so inputs that
// differ only in a few low bits (addresses, time stamps) still give unrelated guards.
ULONG_PTR Mix(ULONG_PTR x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

// No byte is held at zero, as C libraries do to stop string copies at the guard: what can
// overrun a frame here is binary data copied by length (transfers, frames, registry values),
// which a zero byte does not stop, so it would only take 8 of the 64 bits an attacker must guess.
extern "C" {
ULONG_PTR __stack_chk_guard = kInitialGuard;
}

// The sources a driver has without importing anything: the time stamp counter, and where the
// loader placed the driver object, the registry path, this image and this stack, all of which
// the kernel randomises. The counter is read again at the end, as the mixing takes a varying time.
BC_UNGUARDED_FRAME void PlatformSeedStackGuard(PDRIVER_OBJECT driverObject,
                                               PUNICODE_STRING registryPath) {
    volatile UCHAR onThisStack = 0;
    ULONG_PTR guard = Mix(__stack_chk_guard ^ __builtin_ia32_rdtsc());
    guard = Mix(guard ^ ULONG_PTR(driverObject));
    guard = Mix(guard ^ ULONG_PTR(registryPath));
    guard = Mix(guard ^ ULONG_PTR(&__stack_chk_guard));
    guard = Mix(guard ^ ULONG_PTR(&onThisStack));
    guard = Mix(guard ^ __builtin_ia32_rdtsc());
    __stack_chk_guard = guard != 0 ? guard : kInitialGuard;
}

// Windows reports an overrun as the cookie found, the cookie expected and its complement. The
// value found is not passed here, so the first argument is the return address into the
// function whose frame failed its check instead: it names that function in the bug check
// itself, whatever the overrun did to the frames above it.
extern "C" [[noreturn]] BC_UNGUARDED_FRAME void __stack_chk_fail() {
    const ULONG_PTR expected = __stack_chk_guard;
    KeBugCheckEx(kDriverOverranStackBuffer, ULONG_PTR(__builtin_return_address(0)), expected,
                 ~expected, 0);
}
