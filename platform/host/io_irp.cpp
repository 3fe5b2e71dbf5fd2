// The I/O manager's request packets on the host: allocation, IofCallDriver, completion with
// completion routines, cancellation, and device-control requests built for a waiting caller.
//
// Each IRP carries a hidden header in front of it (same pool block) with what the I/O
// manager needs beyond the Windows record: which stack locations were handed to a lower
// driver and not yet completed, and whether the request belongs to the I/O manager (built by
// IoBuildDeviceIoControlRequest) or to the driver that allocated it.
#include <cstdio>
#include <cstring>

#include "platform/host/host_control.h"

namespace {

constexpr uint64_t kIrpMagic = 0x5052492d74736f68ULL;  // "host-IRP"
constexpr uint32_t kThreaded = 1;                      // built by IoBuildDeviceIoControlRequest

struct alignas(16) IrpHeader {
    uint64_t magic;
    uint32_t flags;
    volatile LONG outstanding;  // stack locations handed down and not yet completed
    uint64_t dispatched[2];     // one bit per stack location (1..127), read atomically
    ULONG outputLength;         // buffered device control: the caller's output buffer size
};
static_assert(sizeof(IrpHeader) % 16 == 0, "the IRP behind the header keeps the pool alignment");

IrpHeader* HeaderOf(PIRP irp, const char* caller) {
    if (!irp) {
        static char message[160];
        snprintf(message, sizeof(message), "%s of a null IRP", caller);
        host::BugCheck(message);
    }
    auto* header = reinterpret_cast<IrpHeader*>(reinterpret_cast<char*>(irp) - sizeof(IrpHeader));
    if (header->magic != kIrpMagic) {
        static char message[160];
        snprintf(message, sizeof(message), "%s of something that is not a live IRP", caller);
        host::BugCheck(message);
    }
    return header;
}

bool MarkDispatched(IrpHeader* header, int location) {
    uint64_t bit = uint64_t(1) << ((location - 1) % 64);
    uint64_t old =
        __atomic_fetch_or(&header->dispatched[(location - 1) / 64], bit, __ATOMIC_SEQ_CST);
    if (old & bit)
        return false;
    __atomic_add_fetch(&header->outstanding, 1, __ATOMIC_SEQ_CST);
    return true;
}

// The lower driver at `location` is done with the request.
void ReleaseLocation(IrpHeader* header, int location) {
    if (location < 1 || location > 128)
        return;
    uint64_t bit = uint64_t(1) << ((location - 1) % 64);
    uint64_t old =
        __atomic_fetch_and(&header->dispatched[(location - 1) / 64], ~bit, __ATOMIC_SEQ_CST);
    if (old & bit)
        __atomic_sub_fetch(&header->outstanding, 1, __ATOMIC_SEQ_CST);
}

void FreeIrpBlock(IrpHeader* header) {
    header->magic = 0;
    ExFreePool(header);
}

// What completion leaves of a stack location: Windows clears the parameters and keeps the
// completion routine.
void ClearStackLocation(PIO_STACK_LOCATION sp) {
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control &= SL_ERROR_RETURNED;
    memset(&sp->Parameters, 0, sizeof(sp->Parameters));
    sp->FileObject = nullptr;
}

KSPIN_LOCK cancelLock = 0;
thread_local bool holdsCancelLock = false;
thread_local char threadMarker;  // Tail.Overlay.Thread of requests built on this thread

}  // namespace

namespace host {

int IrpOutstanding(PIRP irp) {
    return __atomic_load_n(&HeaderOf(irp, "IrpOutstanding")->outstanding, __ATOMIC_SEQ_CST);
}

}  // namespace host

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
    if (stackSize < 1)
        host::BugCheck("IoAllocateIrp with no stack location");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        host::BugCheck("IoAllocateIrp above DISPATCH_LEVEL");
    size_t size = sizeof(IrpHeader) + IoSizeOfIrp(stackSize);
    auto* header =
        static_cast<IrpHeader*>(ExAllocatePoolWithTag(NonPagedPool, size, host::kIrpPoolTag));
    if (!header)
        return nullptr;
    memset(header, 0, size);
    header->magic = kIrpMagic;
    auto* irp = reinterpret_cast<PIRP>(header + 1);
    irp->Type = IO_TYPE_IRP;
    irp->Size = IoSizeOfIrp(stackSize);
    irp->StackCount = stackSize;
    irp->CurrentLocation = CHAR(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    return irp;
}

VOID NTAPI IoFreeIrp(PIRP irp) {
    IrpHeader* header = HeaderOf(irp, "IoFreeIrp");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        host::BugCheck("IoFreeIrp above DISPATCH_LEVEL");
    if (__atomic_load_n(&header->outstanding, __ATOMIC_SEQ_CST) != 0) {
        host::BugCheck("IoFreeIrp of a request a lower driver still holds (not yet completed)");
    }
    if (header->flags & kThreaded) {
        host::BugCheck(
            "IoFreeIrp of a request built by IoBuildDeviceIoControlRequest: the I/O "
            "manager frees it when it completes");
    }
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST)) {
        host::BugCheck("IoFreeIrp of a request that still has a cancel routine");
    }
    FreeIrpBlock(header);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input,
                                         ULONG inputLength, PVOID output, ULONG outputLength,
                                         BOOLEAN internal, PKEVENT event,
                                         PIO_STATUS_BLOCK ioStatus) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        host::BugCheck("IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
    }
    if (!device)
        host::BugCheck("IoBuildDeviceIoControlRequest without a device object");
    if ((!input && inputLength) || (!output && outputLength)) {
        host::BugCheck("IoBuildDeviceIoControlRequest with a length but no buffer");
    }
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (!irp)
        return nullptr;
    HeaderOf(irp, "IoBuildDeviceIoControlRequest")->flags |= kThreaded;
    HeaderOf(irp, "IoBuildDeviceIoControlRequest")->outputLength = outputLength;

    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    sp->Parameters.DeviceIoControl.IoControlCode = code;

    ULONG method = METHOD_FROM_CTL_CODE(code);
    if (method == METHOD_NEITHER) {
        sp->Parameters.DeviceIoControl.Type3InputBuffer = input;
        irp->UserBuffer = output;
    } else {
        // Buffered: one system buffer carries the input down and the output back up. The
        // direct methods buffer only the input and describe the output with an MDL.
        ULONG systemLength = inputLength;
        if (method == METHOD_BUFFERED && outputLength > systemLength)
            systemLength = outputLength;
        if (systemLength) {
            PVOID system =
                ExAllocatePoolWithTag(NonPagedPool, systemLength, host::kIoBufferPoolTag);
            if (!system) {
                HeaderOf(irp, "IoBuildDeviceIoControlRequest")->flags &= ~kThreaded;
                IoFreeIrp(irp);
                return nullptr;
            }
            if (inputLength)
                memcpy(system, input, inputLength);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (method == METHOD_BUFFERED) {
            if (output)
                irp->Flags |= IRP_INPUT_OPERATION;
        } else if (outputLength) {
            PMDL mdl = IoAllocateMdl(output, outputLength, FALSE, FALSE, irp);
            if (!mdl) {
                if (irp->AssociatedIrp.SystemBuffer)
                    ExFreePool(irp->AssociatedIrp.SystemBuffer);
                HeaderOf(irp, "IoBuildDeviceIoControlRequest")->flags &= ~kThreaded;
                IoFreeIrp(irp);
                return nullptr;
            }
            MmBuildMdlForNonPagedPool(mdl);  // host memory is always resident
        }
        irp->UserBuffer = output;
    }
    irp->RequestorMode = KernelMode;
    irp->UserIosb = ioStatus;
    irp->UserEvent = event;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(&threadMarker);
    return irp;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    IrpHeader* header = HeaderOf(irp, "IofCallDriver");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        host::BugCheck("IofCallDriver above DISPATCH_LEVEL");
    if (!device)
        host::BugCheck("IofCallDriver without a device object");
    if (irp->CurrentLocation <= 1) {
        host::BugCheck(
            "IofCallDriver with no stack location left for the lower driver "
            "(NO_MORE_IRP_STACK_LOCATIONS)");
    }
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION sp = irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = device;
    if (!MarkDispatched(header, irp->CurrentLocation)) {
        host::BugCheck("IofCallDriver of a request already handed down from this stack location");
    }
    PDRIVER_DISPATCH dispatch = nullptr;
    if (device->DriverObject && sp->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION) {
        dispatch = device->DriverObject->MajorFunction[sp->MajorFunction];
    }
    if (!dispatch) {
        // A device without a handler for the request: the I/O manager's default dispatch.
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return dispatch(device, irp);
}

VOID FASTCALL IofCompleteRequest(PIRP irp, CCHAR priorityBoost) {
    IrpHeader* header = HeaderOf(irp, "IoCompleteRequest");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        host::BugCheck("IoCompleteRequest above DISPATCH_LEVEL");
    if (irp->CurrentLocation > irp->StackCount) {
        host::BugCheck(
            "IoCompleteRequest of a request no driver holds: completed twice? "
            "(MULTIPLE_IRP_COMPLETE_REQUESTS)");
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
        host::BugCheck("IoCompleteRequest with STATUS_PENDING");
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST)) {
        host::BugCheck("IoCompleteRequest of a request that still has a cancel routine");
    }

    // Walk up the stack: each location's completion routine belongs to the driver above it.
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ReleaseLocation(header, irp->CurrentLocation);
    IoSkipCurrentIrpStackLocation(irp);
    do {
        irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS status = irp->IoStatus.Status;
        bool cancelled = __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) != 0;
        if ((NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
            (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
            (cancelled && (sp->Control & SL_INVOKE_ON_CANCEL))) {
            PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
            PVOID context = sp->Context;
            ClearStackLocation(sp);
            PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            if (!routine)
                host::BugCheck("a completion routine was requested but none was set");
            if (routine(device, irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else {
            if (irp->CurrentLocation <= irp->StackCount && irp->PendingReturned) {
                IoMarkIrpPending(irp);
            }
            ClearStackLocation(sp);
        }
        sp++;
        if (irp->CurrentLocation <= irp->StackCount)
            ReleaseLocation(header, irp->CurrentLocation);
        IoSkipCurrentIrpStackLocation(irp);
    } while (irp->CurrentLocation <= irp->StackCount + 1);

    if (!(header->flags & kThreaded)) {
        host::BugCheck(
            "a request from IoAllocateIrp completed past its last stack location: its "
            "completion routine must return STATUS_MORE_PROCESSING_REQUIRED");
    }
    // The I/O manager's part: hand the output back, release the buffers, report the status
    // to the waiting caller. The request is freed before the event is set, so a caller that
    // wakes finds nothing of it left in the pool.
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && irp->UserBuffer &&
        NT_SUCCESS(irp->IoStatus.Status)) {
        ULONG_PTR length = irp->IoStatus.Information;
        if (length > header->outputLength)
            length = header->outputLength;
        memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, length);
    }
    if (irp->Flags & IRP_DEALLOCATE_BUFFER)
        ExFreePool(irp->AssociatedIrp.SystemBuffer);
    for (PMDL mdl = irp->MdlAddress; mdl;) {
        PMDL next = mdl->Next;
        IoFreeMdl(mdl);
        mdl = next;
    }
    PIO_STATUS_BLOCK ioStatus = irp->UserIosb;
    PKEVENT event = irp->UserEvent;
    IO_STATUS_BLOCK result = irp->IoStatus;
    FreeIrpBlock(header);
    if (ioStatus)
        *ioStatus = result;
    if (event)
        KeSetEvent(event, priorityBoost, FALSE);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL irql) {
    *irql = KeAcquireSpinLockRaiseToDpc(&cancelLock);
    holdsCancelLock = true;
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL irql) {
    if (!holdsCancelLock)
        host::BugCheck("IoReleaseCancelSpinLock by a thread that does not hold it");
    holdsCancelLock = false;
    KeReleaseSpinLock(&cancelLock, irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP irp) {
    HeaderOf(irp, "IoCancelIrp");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        host::BugCheck("IoCancelIrp above DISPATCH_LEVEL");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&irp->Cancel, BOOLEAN(TRUE), __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    // Whoever takes the cancel routine owns the cancellation; the holder of the request
    // cleared it before completing, so the request cannot be completed under us.
    if (irp->CurrentLocation > irp->StackCount + 1) {
        host::BugCheck(
            "IoCancelIrp found a cancel routine on a completed request "
            "(CANCEL_STATE_IN_COMPLETED_IRP)");
    }
    irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    if (holdsCancelLock)
        host::BugCheck("a cancel routine returned without IoReleaseCancelSpinLock");
    return TRUE;
}

}  // extern "C"
