// Counted strings of the run-time library.
#include "platform/host/handles.h"
#include "platform/host/host_control.h"

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "RtlInitUnicodeString");
    if (!destination)
        host::BugCheck("RtlInitUnicodeString into a null UNICODE_STRING");
    // The count stops where it no longer fits: longer strings are cut at 0xFFFC bytes.
    constexpr size_t kMaxLength = 0xFFFC;
    size_t bytes = 0;
    if (source) {
        while (source[bytes / 2] != 0 && bytes < kMaxLength + 2)
            bytes += 2;
    }
    if (bytes > kMaxLength)
        bytes = kMaxLength;
    destination->Buffer = const_cast<PWSTR>(source);
    destination->Length = USHORT(bytes);
    destination->MaximumLength = source ? USHORT(bytes + 2) : 0;
}
