// Memory descriptor lists on the host. Host memory is always resident, so an MDL's page
// frame numbers are the virtual page numbers themselves; they are written only when the
// pages are "locked" (MmBuildMdlForNonPagedPool, or copied by IoBuildPartialMdl), and a
// mapping of an MDL whose frame numbers were never written is refused like the bug it is.
#include <cstring>

#include "platform/host/host_control.h"
#include "platform/host/io_internal.h"
#include "platform/host/pool_internal.h"

namespace {

// The largest MDL whose 16-bit Size can describe it: about 16 MiB of buffer.
constexpr size_t kMaxMdlBytes = 0x7FFF;

PFN_NUMBER PageOf(PVOID va) {
    return PFN_NUMBER(ULONG_PTR(va) >> PAGE_SHIFT);
}

ULONG PagesOf(PMDL mdl) {
    return ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
}

bool PagesLocked(PMDL mdl) {
    PPFN_NUMBER pfn = MmGetMdlPfnArray(mdl);
    PFN_NUMBER first = PageOf(mdl->StartVa);
    for (ULONG i = 0; i < PagesOf(mdl); ++i) {
        if (pfn[i] != first + i)
            return false;
    }
    return true;
}

}  // namespace

namespace host {

void BuildMdlPages(PMDL mdl) {
    if (mdl->MdlFlags &
        (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL)) {
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "MmBuildMdlForNonPagedPool of an MDL that is already built, mapped or partial");
    }
    PPFN_NUMBER pfn = MmGetMdlPfnArray(mdl);
    PFN_NUMBER first = PageOf(mdl->StartVa);
    for (ULONG i = 0; i < PagesOf(mdl); ++i)
        pfn[i] = first + i;
    mdl->Process = nullptr;
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

}  // namespace host

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID va, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN, PIRP irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        host::BugCheck("IoAllocateMdl above DISPATCH_LEVEL");
    size_t size =
        sizeof(MDL) + size_t(ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, length)) * sizeof(PFN_NUMBER);
    if (size > kMaxMdlBytes)
        return nullptr;
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, size, host::kMdlPoolTag));
    if (!mdl)
        return nullptr;
    // MmInitializeMdl: the frame numbers stay undefined until the pages are locked.
    mdl->Next = nullptr;
    mdl->Size = CSHORT(size);
    mdl->MdlFlags = 0;
    mdl->Process = nullptr;
    mdl->MappedSystemVa = nullptr;
    mdl->StartVa = PAGE_ALIGN(va);
    mdl->ByteOffset = BYTE_OFFSET(va);
    mdl->ByteCount = length;
    if (irp) {
        if (!secondaryBuffer || !irp->MdlAddress) {
            irp->MdlAddress = mdl;
        } else {
            PMDL last = irp->MdlAddress;
            while (last->Next)
                last = last->Next;
            last->Next = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL mdl) {
    if (!mdl)
        host::BugCheck("IoFreeMdl of a null MDL");
    ExFreePool(mdl);
}

// Stricter than Windows, which cannot tell: the range must lie inside one live block of
// non-paged pool. A stack or static buffer described this way is resident on the host only by
// luck, and on Windows a stack can be paged out while its thread waits.
VOID NTAPI MmBuildMdlForNonPagedPool(PMDL mdl) {
    if (!host::PoolRangeIsNonPaged(MmGetMdlVirtualAddress(mdl), mdl->ByteCount)) {
        host::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                       "MmBuildMdlForNonPagedPool of a range that is not inside a live block of "
                       "non-paged pool");
    }
    host::BuildMdlPages(mdl);
}

VOID NTAPI IoBuildPartialMdl(PMDL source, PMDL target, PVOID va, ULONG length) {
    auto* sourceVa = static_cast<PUCHAR>(MmGetMdlVirtualAddress(source));
    auto* start = static_cast<PUCHAR>(va);
    if (start < sourceVa || ULONG_PTR(start - sourceVa) > source->ByteCount) {
        host::BugCheck("IoBuildPartialMdl of an address outside the source MDL");
    }
    ULONG offset = ULONG(start - sourceVa);
    if (length == 0)
        length = source->ByteCount - offset;
    if (uint64_t(offset) + length > source->ByteCount) {
        host::BugCheck("IoBuildPartialMdl of a range that runs past the source MDL");
    }
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, length);
    if (size_t(target->Size) < sizeof(MDL) + size_t(pages) * sizeof(PFN_NUMBER)) {
        host::BugCheck("IoBuildPartialMdl into an MDL too small for the range");
    }
    target->StartVa = PAGE_ALIGN(va);
    target->Process = source->Process;
    target->ByteCount = length;
    target->ByteOffset = BYTE_OFFSET(va);
    target->MdlFlags &= MDL_ALLOCATED_FIXED_SIZE;
    target->MdlFlags |= source->MdlFlags & (MDL_IO_PAGE_READ | MDL_SOURCE_IS_NONPAGED_POOL |
                                            MDL_MAPPED_TO_SYSTEM_VA | MDL_IO_SPACE);
    target->MdlFlags |= MDL_PARTIAL;
    target->MappedSystemVa = static_cast<PUCHAR>(source->MappedSystemVa) + offset;
    ULONG firstPage =
        ULONG((ULONG_PTR(target->StartVa) - ULONG_PTR(source->StartVa)) >> PAGE_SHIFT);
    memcpy(MmGetMdlPfnArray(target), MmGetMdlPfnArray(source) + firstPage,
           pages * sizeof(PFN_NUMBER));
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE, MEMORY_CACHING_TYPE, PVOID,
                                         ULONG, ULONG) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        host::BugCheck("MmMapLockedPagesSpecifyCache above DISPATCH_LEVEL");
    }
    if (!PagesLocked(mdl)) {
        host::BugCheck("mapping an MDL whose pages were never locked or built for non-paged pool");
    }
    PVOID va = MmGetMdlVirtualAddress(mdl);
    if (!(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)) {
        mdl->MappedSystemVa = va;
        mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
        if (mdl->MdlFlags & MDL_PARTIAL)
            mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
    }
    return va;
}

VOID NTAPI MmUnmapLockedPages(PVOID, PMDL mdl) {
    mdl->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
}

}  // extern "C"
