// The run-time library's memory comparison, with the kernel's meaning: the length of the
// leading run of equal bytes, not an ordering.
#include "platform/host/host_control.h"

extern "C" SIZE_T NTAPI RtlCompareMemory(const VOID* source1, const VOID* source2, SIZE_T length) {
    auto* a = static_cast<const UCHAR*>(source1);
    auto* b = static_cast<const UCHAR*>(source2);
    SIZE_T same = 0;
    while (same < length && a[same] == b[same])
        ++same;
    return same;
}
