// A driver that breaks every rule the image checks enforce, to prove that the checks catch
// each one: a foreign import, a name off the allow-list, a dynamically initialised global,
// x87 arithmetic, AVX instructions in ordinary code, executable pool, a writable code section, an
// old subsystem version, a stale checksum, no base relocations and no stack protector.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long milliseconds);

// Writable and executable at once ("awx").
asm(".section .wx,\"awx\"\n\tret\n\t.text");

// An absolute address in data, which only a base relocation can fix when the image moves.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);
void* volatile entryAddress = reinterpret_cast<void*>(&DriverEntry);

static ULONG Seed() {
    return ULONG(KeQueryActiveProcessorCount(nullptr));
}
ULONG dynamicGlobal = Seed();

__attribute__((target("avx"))) void ScaleAvx(float* v, int n) {
    for (int i = 0; i < n; ++i)
        v[i] *= 3.0f;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    volatile long double x87 = dynamicGlobal;
    x87 = x87 * 1.5L;
    float values[16] = {};
    ScaleAvx(values, 16);
    Sleep(1);
    ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 16, 0x20426164), 0x20426164);
    return STATUS_SUCCESS + NTSTATUS(x87) + NTSTATUS(values[3]);
}
