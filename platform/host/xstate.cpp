// KeSaveExtendedProcessorState and KeRestoreExtendedProcessorState. Host threads are user
// threads, whose vector registers the OS saves on every switch, so nothing is copied; what
// remains is what Windows checks: the IRQL, a mask of features the OS has enabled, and saves
// restored last-first on the thread and at the IRQL that made them.
#include <atomic>
#include <string>

#include "platform/host/host_control.h"

namespace {

std::atomic<NTSTATUS> failSave{STATUS_SUCCESS};
std::atomic<uint64_t> refused{0};

// This thread's most recent save not yet restored; each save links to the one before.
thread_local PXSTATE_SAVE newestSave = nullptr;

ULONGLONG EnabledFeatures() {
    unsigned low, high;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return ULONGLONG(high) << 32 | low;
}

[[noreturn]] void Invalid(const std::string& what) {
    host::BugCheck("INVALID_EXTENDED_PROCESSOR_STATE", what);
}

}  // namespace

namespace host {

void FailExtendedStateSave(NTSTATUS status) {
    failSave = status;
}

uint64_t ExtendedStateSavesRefused() {
    return refused;
}

}  // namespace host

extern "C" {

NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONGLONG Mask, PXSTATE_SAVE XStateSave) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        host::BugCheck("IRQL_NOT_LESS_OR_EQUAL",
                       "KeSaveExtendedProcessorState above DISPATCH_LEVEL");
    if (Mask == 0 || (Mask & ~EnabledFeatures()) != 0)
        Invalid("KeSaveExtendedProcessorState with mask " + std::to_string(Mask) +
                ", which names nothing or a feature the OS has not enabled");
    if (!XStateSave)
        Invalid("KeSaveExtendedProcessorState without a save area");
    const NTSTATUS status = failSave;
    if (status != STATUS_SUCCESS) {
        ++refused;
        return status;
    }
    *XStateSave = XSTATE_SAVE{};
    XStateSave->Prev = newestSave;
    XStateSave->Level = irql;
    XStateSave->XStateContext.Mask = Mask;
    newestSave = XStateSave;
    return STATUS_SUCCESS;
}

VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave) {
    if (!XStateSave || XStateSave != newestSave)
        Invalid(
            "KeRestoreExtendedProcessorState of a save that is not this thread's most "
            "recent one (restored twice, never made, made on another thread or out of order)");
    if (XStateSave->Level != KeGetCurrentIrql())
        Invalid("KeRestoreExtendedProcessorState at another IRQL than its save");
    newestSave = XStateSave->Prev;
}

}  // extern "C"
