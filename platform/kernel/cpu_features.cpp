// Which wide routines the kernel image uses. CPUID tells what the processor has; XCR0 tells
// which register state the OS saves on a context switch, and so what KeSaveExtendedProcessorState
// may be asked to save: a feature the OS has not enabled may not be named in its mask.
#include "imaging/bayer_routines.h"
#include "platform/cpu_features.h"

namespace {

// Written once by DriverEntry, before any stream exists; read-only afterwards.
const BayerRoutines* gWideRoutines = nullptr;
ULONG64 gWideStateMask = 0;

void Cpuid(unsigned leaf, unsigned subleaf, unsigned r[4]) {
    __asm__("cpuid" : "=a"(r[0]), "=b"(r[1]), "=c"(r[2]), "=d"(r[3]) : "a"(leaf), "c"(subleaf));
}

ULONG64 EnabledStateMask() {
    unsigned low, high;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return ULONG64(high) << 32 | low;
}

constexpr unsigned kOsxsave = 1u << 27;    // leaf 1, ecx
constexpr unsigned kAvx = 1u << 28;        // leaf 1, ecx
constexpr unsigned kAvx2 = 1u << 5;        // leaf 7, ebx
constexpr unsigned kAvx512f = 1u << 16;    // leaf 7, ebx
constexpr unsigned kAvx512bw = 1u << 30;   // leaf 7, ebx
constexpr unsigned kAvx512vbmi = 1u << 1;  // leaf 7, ecx

}  // namespace

void PlatformChooseWideVectors() {
    unsigned r[4];
    Cpuid(0, 0, r);
    const unsigned maxLeaf = r[0];
    Cpuid(1, 0, r);
    if (maxLeaf < 7 || !(r[2] & kOsxsave) || !(r[2] & kAvx))
        return;
    const ULONG64 enabled = EnabledStateMask();
    Cpuid(7, 0, r);
    const ULONG64 avx = XSTATE_MASK_LEGACY_SSE | XSTATE_MASK_AVX;
    const ULONG64 avx512 = avx | XSTATE_MASK_AVX512;
    // The 512-bit routines order their output pixels with VBMI's byte permutes.
    if ((r[1] & kAvx512f) && (r[1] & kAvx512bw) && (r[2] & kAvx512vbmi) &&
        (enabled & avx512) == avx512) {
        gWideRoutines = &kBayerRoutinesAvx512;
        gWideStateMask = XSTATE_MASK_AVX | XSTATE_MASK_AVX512;
    } else if ((r[1] & kAvx2) && (enabled & avx) == avx) {
        gWideRoutines = &kBayerRoutinesAvx2;
        gWideStateMask = XSTATE_MASK_AVX;
    }
}

const BayerRoutines* PlatformBeginWideVectors(WideVectorState* state) {
    if (!gWideRoutines)
        return nullptr;
    if (!NT_SUCCESS(KeSaveExtendedProcessorState(gWideStateMask, &state->save)))
        return nullptr;
    return gWideRoutines;
}

void PlatformEndWideVectors(WideVectorState* state) {
    KeRestoreExtendedProcessorState(&state->save);
}
