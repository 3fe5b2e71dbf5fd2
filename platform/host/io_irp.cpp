// The I/O manager's request packets on the host: allocation, IofCallDriver, completion with
// completion routines, cancellation, and device-control requests built for a waiting caller.
//
// Each IRP carries a hidden header in front of it (same pool block) with what the I/O
// manager needs beyond the Windows record: which stack locations were handed to a lower
// driver and not yet completed, and whether the request belongs to the I/O manager (built by
// IoBuildDeviceIoControlRequest) or to the driver that allocated it.
//
// Beside the requests, the I/O manager keeps what Driver Verifier keeps: every live request (so
// a device that goes away with one of its requests still around is caught) and, for every call
// of a dispatch routine, whether it marked the request pending, so that the status it returns
// can be held against IoMarkIrpPending however the completion and the return interleave.
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_set>

#include "platform/host/host_control.h"
#include "platform/host/io_internal.h"
#include "platform/host/sync_internal.h"

namespace {

constexpr uint64_t kIrpMagic = 0x5052492d74736f68ULL;  // "host-IRP"
constexpr uint32_t kThreaded = 1;                      // built by IoBuildDeviceIoControlRequest

struct alignas(16) IrpHeader {
    uint64_t magic;
    uint32_t flags;
    volatile LONG outstanding;  // stack locations handed down and not yet completed
    uint64_t dispatched[2];     // one bit per stack location (1..127), read atomically
    ULONG outputLength;         // buffered device control: the caller's output buffer size
    uint64_t serial;            // never reused, unlike the address
    PDEVICE_OBJECT target;      // the device the request was first sent to
};
static_assert(sizeof(IrpHeader) % 16 == 0, "the IRP behind the header keeps the pool alignment");

constexpr const char* kIoViolation = "DRIVER_VERIFIER_IOMANAGER_VIOLATION";

IrpHeader* HeaderOf(PIRP irp, const char* caller) {
    if (!irp)
        host::BugCheck(kIoViolation, std::string(caller) + " of a null IRP");
    auto* header = reinterpret_cast<IrpHeader*>(reinterpret_cast<char*>(irp) - sizeof(IrpHeader));
    if (header->magic != kIrpMagic)
        host::BugCheck(kIoViolation, std::string(caller) + " of something that is not a live IRP");
    return header;
}

// One call of a dispatch routine with a request, from IofCallDriver until both the routine
// has returned and the request's completion has passed its stack location.
struct DispatchCall {
    bool completed = false;        // the completion has passed the location
    bool marked = false;           // ...and found it marked pending
    bool returnedPending = false;  // the routine returned STATUS_PENDING, mark not yet seen
};

struct Requests {
    std::mutex lock;
    std::unordered_set<IrpHeader*> live;
    std::map<std::pair<uint64_t, int>, DispatchCall> calls;  // by serial and stack location
    uint64_t serial = 0;
};

Requests& TheRequests() {
    static Requests* requests = new Requests;  // never destroyed: requests may outlive main
    return *requests;
}

PIO_STACK_LOCATION LocationOf(PIRP irp, int location) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

[[noreturn]] void PendingViolation(bool returnedPending) {
    host::BugCheck(kIoViolation,
                   returnedPending
                       ? "a dispatch routine returned STATUS_PENDING without IoMarkIrpPending"
                       : "a dispatch routine called IoMarkIrpPending and returned a status other "
                         "than STATUS_PENDING");
}

// The routine called at `location` has returned `status`.
void DispatchReturned(PIRP irp, uint64_t serial, int location, NTSTATUS status) {
    Requests& requests = TheRequests();
    std::unique_lock<std::mutex> g(requests.lock);
    auto it = requests.calls.find({serial, location});
    if (it == requests.calls.end())
        return;
    DispatchCall call = it->second;
    if (call.completed) {
        requests.calls.erase(it);
        g.unlock();
        if (call.marked != (status == STATUS_PENDING))
            PendingViolation(status == STATUS_PENDING);
        return;
    }
    if (status != STATUS_PENDING) {
        g.unlock();
        host::BugCheck(kIoViolation,
                       "a dispatch routine returned a status other than STATUS_PENDING for a "
                       "request it neither completed nor saw completed");
    }
    // Not completed past the location yet, so the request is alive while the lock is held. A
    // routine that passed the request down without a completion routine has its location
    // marked by the completion itself, later: the verdict waits for it.
    if (LocationOf(irp, location)->Control & SL_PENDING_RETURNED)
        requests.calls.erase(it);
    else
        it->second.returnedPending = true;
}

// The completion passes `location`, marked pending or not.
void LocationCompleted(uint64_t serial, int location, bool marked) {
    Requests& requests = TheRequests();
    std::unique_lock<std::mutex> g(requests.lock);
    auto it = requests.calls.find({serial, location});
    if (it == requests.calls.end())
        return;
    if (it->second.returnedPending) {
        requests.calls.erase(it);
        g.unlock();
        if (!marked)
            PendingViolation(true);
        return;
    }
    it->second.completed = true;
    it->second.marked = marked;
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
    {
        std::lock_guard<std::mutex> g(TheRequests().lock);
        TheRequests().live.erase(header);
    }
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

void RequireNoRequestsSentTo(PDEVICE_OBJECT target, const char* event) {
    Requests& requests = TheRequests();
    std::unique_lock<std::mutex> g(requests.lock);
    for (IrpHeader* header : requests.live) {
        if (header->target != target)
            continue;
        bool held = __atomic_load_n(&header->outstanding, __ATOMIC_SEQ_CST) != 0;
        g.unlock();
        BugCheck(kIoViolation, std::string(event) +
                                   (held ? " with a request still held by a lower driver"
                                         : " with a request its completion routine kept "
                                           "(STATUS_MORE_PROCESSING_REQUIRED) and nobody freed"));
    }
}

}  // namespace host

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
    if (stackSize < 1)
        host::BugCheck(kIoViolation, "IoAllocateIrp with no stack location");
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    size_t size = sizeof(IrpHeader) + IoSizeOfIrp(stackSize);
    auto* header =
        static_cast<IrpHeader*>(ExAllocatePoolWithTag(NonPagedPool, size, host::kIrpPoolTag));
    if (!header)
        return nullptr;
    memset(header, 0, size);
    header->magic = kIrpMagic;
    {
        std::lock_guard<std::mutex> g(TheRequests().lock);
        header->serial = ++TheRequests().serial;
        TheRequests().live.insert(header);
    }
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
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    if (__atomic_load_n(&header->outstanding, __ATOMIC_SEQ_CST) != 0) {
        host::BugCheck(kIoViolation,
                       "IoFreeIrp of a request a lower driver still holds (not yet completed)");
    }
    if (header->flags & kThreaded) {
        host::BugCheck(kIoViolation,
                       "IoFreeIrp of a request built by IoBuildDeviceIoControlRequest: the I/O "
                       "manager frees it when it completes");
    }
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST))
        host::BugCheck(kIoViolation, "IoFreeIrp of a request that still has a cancel routine");
    FreeIrpBlock(header);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input,
                                         ULONG inputLength, PVOID output, ULONG outputLength,
                                         BOOLEAN internal, PKEVENT event,
                                         PIO_STATUS_BLOCK ioStatus) {
    // The caller waits for the request's event, and its completion runs as an APC in the
    // caller's thread: both need PASSIVE_LEVEL.
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    if (!device)
        host::BugCheck(kIoViolation, "IoBuildDeviceIoControlRequest without a device object");
    if ((!input && inputLength) || (!output && outputLength))
        host::BugCheck(kIoViolation, "IoBuildDeviceIoControlRequest with a length but no buffer");
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
            host::BuildMdlPages(mdl);  // the I/O manager's probe and lock
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
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
    if (!device)
        host::BugCheck(kIoViolation, "IofCallDriver without a device object");
    if (irp->CurrentLocation <= 1) {
        host::BugCheck("NO_MORE_IRP_STACK_LOCATIONS",
                       "IofCallDriver with no stack location left for the lower driver");
    }
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION sp = irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = device;
    if (!MarkDispatched(header, irp->CurrentLocation)) {
        host::BugCheck(kIoViolation,
                       "IofCallDriver of a request already handed down from this stack location");
    }
    if (!header->target)
        header->target = device;
    const uint64_t serial = header->serial;
    const int location = irp->CurrentLocation;
    {
        std::lock_guard<std::mutex> g(TheRequests().lock);
        TheRequests().calls[{serial, location}] = DispatchCall{};
    }
    PDRIVER_DISPATCH dispatch = nullptr;
    if (device->DriverObject && sp->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION) {
        dispatch = device->DriverObject->MajorFunction[sp->MajorFunction];
    }
    NTSTATUS status;
    if (!dispatch) {
        // A device without a handler for the request: the I/O manager's default dispatch.
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        host::CallbackState entry = host::CurrentCallbackState();
        status = dispatch(device, irp);
        host::RequireCallbackReturn(entry, kIoViolation, "a dispatch routine");
    }
    DispatchReturned(irp, serial, location, status);
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP irp, CCHAR priorityBoost) {
    IrpHeader* header = HeaderOf(irp, "IoCompleteRequest");
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
    if (irp->CurrentLocation > irp->StackCount) {
        host::BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS",
                       "IoCompleteRequest of a request no driver holds: completed twice?");
    }
    if (irp->IoStatus.Status == STATUS_PENDING || irp->IoStatus.Status == NTSTATUS(-1))
        host::BugCheck(kIoViolation, "IoCompleteRequest with STATUS_PENDING (or -1)");
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST)) {
        host::BugCheck(kIoViolation,
                       "IoCompleteRequest of a request that still has a cancel routine");
    }

    // Walk up the stack: each location's completion routine belongs to the driver above it.
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ReleaseLocation(header, irp->CurrentLocation);
    IoSkipCurrentIrpStackLocation(irp);
    do {
        irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        LocationCompleted(header->serial, irp->CurrentLocation - 1, irp->PendingReturned);
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
                host::BugCheck(kIoViolation, "a completion routine was requested but none was set");
            // The USB stack, like any bus driver completing from its DPC, calls completion
            // routines at DISPATCH_LEVEL; the host always does, the strictest of what Windows
            // allows (any IRQL up to DISPATCH_LEVEL).
            KIRQL callerIrql = KeGetCurrentIrql();
            if (callerIrql < DISPATCH_LEVEL)
                host::RaiseIrqlToDispatch();
            host::CallbackState entry = host::CurrentCallbackState();
            NTSTATUS verdict = routine(device, irp, context);
            host::RequireCallbackReturn(entry, "IRQL_UNEXPECTED_VALUE", "a completion routine");
            host::LowerIrql(callerIrql);
            if (verdict == STATUS_MORE_PROCESSING_REQUIRED)
                return;
            if (irp->CurrentLocation <= irp->StackCount && irp->PendingReturned &&
                !(IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED)) {
                host::BugCheck(kIoViolation,
                               "a completion routine let a pending request go on up without "
                               "IoMarkIrpPending (PendingReturned not propagated)");
            }
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
        host::BugCheck(kIoViolation,
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
    // An error the lower driver returned without pending is the caller's through the status
    // IofCallDriver returned: Windows then writes neither the status block nor the event.
    bool report = !NT_ERROR(irp->IoStatus.Status) || irp->PendingReturned;
    PIO_STATUS_BLOCK ioStatus = irp->UserIosb;
    PKEVENT event = irp->UserEvent;
    IO_STATUS_BLOCK result = irp->IoStatus;
    FreeIrpBlock(header);
    if (report && ioStatus)
        *ioStatus = result;
    if (report && event)
        KeSetEvent(event, priorityBoost, FALSE);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL irql) {
    *irql = KeAcquireSpinLockRaiseToDpc(&cancelLock);
    holdsCancelLock = true;
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL irql) {
    if (!holdsCancelLock) {
        host::BugCheck("SPIN_LOCK_NOT_OWNED",
                       "IoReleaseCancelSpinLock by a thread that does not hold it");
    }
    holdsCancelLock = false;
    KeReleaseSpinLock(&cancelLock, irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP irp) {
    HeaderOf(irp, "IoCancelIrp");
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    // The cancel routine releases the cancel spin lock: it returns to the caller's state.
    host::CallbackState caller = host::CurrentCallbackState();
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
        host::BugCheck("CANCEL_STATE_IN_COMPLETED_IRP",
                       "IoCancelIrp found a cancel routine on a completed request");
    }
    irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    if (holdsCancelLock) {
        host::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                       "a cancel routine returned without IoReleaseCancelSpinLock");
    }
    host::RequireCallbackReturn(caller, "IRQL_UNEXPECTED_VALUE", "a cancel routine");
    return TRUE;
}

}  // extern "C"
