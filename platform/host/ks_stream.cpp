// Frames: IOCTL_KS_READ_STREAM queues a client's buffer on a pin; the driver reaches the oldest
// frame through the leading-edge stream pointer and hands it back by unlocking with eject,
// which completes the read with the header as the driver filled it. The reset at STOP cancels
// what is still queued.
#include <cstddef>
#include <cstdio>

#include "platform/host/ks_pin_objects.h"

namespace host::ks {
namespace {

constexpr ULONG kShortHeader = sizeof(KSSTREAM_HEADER);
constexpr ULONG kVideoHeader = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

// What AVStream remembers of a queued read in the request itself (it owns the request while
// the frame is queued): the frame extent the client gave, which the driver cannot widen.
ULONG& ClientExtent(PIRP irp) {
    return *reinterpret_cast<ULONG*>(&irp->Tail.Overlay.DriverContext[0]);
}

PKSSTREAM_HEADER QueuedHeader(PIRP irp) {
    return static_cast<PKSSTREAM_HEADER>(irp->AssociatedIrp.SystemBuffer);
}

// Completes a read: a finished frame returns its whole header as the driver left it; a
// cancelled one returns no data.
void CompleteFrame(PIRP irp, NTSTATUS status) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG length = sp->Parameters.DeviceIoControl.InputBufferLength;
    auto* client = static_cast<PKSSTREAM_HEADER>(irp->UserBuffer);
    if (NT_SUCCESS(status)) {
        memcpy(client, QueuedHeader(irp), length);
        irp->IoStatus.Information = length;
    } else {
        ULONG none = 0;
        memcpy(reinterpret_cast<char*>(client) + offsetof(KSSTREAM_HEADER, DataUsed), &none,
               sizeof(none));
        irp->IoStatus.Information = 0;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

HostPin* PinOfPointer(PKSSTREAM_POINTER pointer, const char* what) {
    HostPin* pin = pointer ? FindPin(pointer->Pin) : nullptr;
    if (!pin || pointer != &pin->leading) {
        static thread_local char message[160];
        snprintf(message, sizeof(message), "%s of something that is not a live stream pointer",
                 what);
        BugCheck(message);
    }
    return pin;
}

}  // namespace

NTSTATUS QueueRead(HostPin* pin, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG length = sp->Parameters.DeviceIoControl.InputBufferLength;
    auto* client =
        static_cast<const KSSTREAM_HEADER*>(sp->Parameters.DeviceIoControl.Type3InputBuffer);
    // One header per read, plain or followed by the video frame information, its Size saying
    // which; the caller's memory is read once, into the copy the driver sees.
    if (!client || (length != kShortHeader && length != kVideoHeader))
        return STATUS_INVALID_PARAMETER;
    auto* header = static_cast<PKSSTREAM_HEADER>(
        ExAllocatePoolWithTag(NonPagedPool, length, kStreamHeaderPoolTag));
    if (!header)
        return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(header, client, length);
    if (header->Size != length || (header->FrameExtent && !header->Data)) {
        ExFreePool(header);
        return STATUS_INVALID_PARAMETER;
    }
    // A stopped pin takes no frames: its queue is reset at every stop.
    {
        std::lock_guard<std::mutex> g(pin->work);
        if (pin->ks.DeviceState == KSSTATE_STOP) {
            ExFreePool(header);
            return STATUS_INVALID_DEVICE_STATE;
        }
    }
    irp->AssociatedIrp.SystemBuffer = header;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;  // freed when the read completes
    ClientExtent(irp) = header->FrameExtent;
    IoMarkIrpPending(irp);
    bool first;
    {
        std::lock_guard<std::mutex> g(pin->queueLock);
        first = pin->queue.empty();
        pin->queue.push_back(irp);
    }
    // A frame entering an empty queue gives the leading edge something to point at.
    if (first || (DescriptorOf(pin)->Flags & KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL))
        RequestProcessing(pin, true);
    return STATUS_PENDING;
}

void FlushFrames(HostPin* pin) {
    std::deque<PIRP> frames;
    {
        std::lock_guard<std::mutex> g(pin->queueLock);
        // A locked frame cannot be cancelled: AVStream's reset would wait for it forever.
        if (pin->leadingLocked)
            BugCheck("a pin stopped or closed while its driver holds a frame locked");
        frames.swap(pin->queue);
        pin->leading = KSSTREAM_POINTER{};
    }
    for (PIRP irp : frames)
        CompleteFrame(irp, STATUS_CANCELLED);
}

bool FramesQueued(HostPin* pin) {
    std::lock_guard<std::mutex> g(pin->queueLock);
    return !pin->queue.empty();
}

}  // namespace host::ks

namespace host {

struct StreamRead {
    static constexpr uint64_t kMagic = 0x646165526d727453ULL;  // "StrmRead"
    uint64_t magic;
    KEVENT done;
    IO_STATUS_BLOCK status;
};

NTSTATUS ReadStream(PFILE_OBJECT pin, KSSTREAM_HEADER* header, StreamRead** read) {
    using namespace ks;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("ReadStream above PASSIVE_LEVEL");
    if (!header || !read)
        BugCheck("ReadStream without a header or a place for the read");
    *read = nullptr;
    HostPin* host = PinOfFile(pin);
    if (!host)
        BugCheck("ReadStream on something that is not an open pin");
    // The request carries as many bytes as the header claims, when that is a size a header
    // can have; otherwise the bare header, which AVStream then refuses for its Size.
    ULONG length = header->Size == kVideoHeader ? kVideoHeader : kShortHeader;
    auto* r = static_cast<StreamRead*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(StreamRead), kReadPoolTag));
    if (!r)
        return STATUS_INSUFFICIENT_RESOURCES;
    r->magic = StreamRead::kMagic;
    r->status = IO_STATUS_BLOCK{};
    KeInitializeEvent(&r->done, NotificationEvent, FALSE);
    PDEVICE_OBJECT fdo = &host->filter->factory->device->functional;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_KS_READ_STREAM, fdo, header, length, header,
                                             length, FALSE, &r->done, &r->status);
    if (!irp) {
        ExFreePool(r);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->RequestorMode = UserMode;
    IoGetNextIrpStackLocation(irp)->FileObject = pin;
    NTSTATUS status = IoCallDriver(fdo, irp);
    if (status != STATUS_PENDING) {
        // Refused at once: the request is already completed and freed.
        ExFreePool(r);
        return status;
    }
    *read = r;
    return STATUS_PENDING;
}

bool WaitStreamRead(StreamRead* read, uint32_t milliseconds, NTSTATUS* status) {
    if (!read || read->magic != StreamRead::kMagic)
        BugCheck("WaitStreamRead of something that is not a stream read");
    LARGE_INTEGER timeout;
    timeout.QuadPart = -LONGLONG(milliseconds) * 10000;
    if (KeWaitForSingleObject(&read->done, Executive, KernelMode, FALSE, &timeout) !=
        STATUS_SUCCESS) {
        return false;
    }
    if (status)
        *status = read->status.Status;
    return true;
}

void FreeStreamRead(StreamRead* read) {
    if (!read)
        return;
    if (read->magic != StreamRead::kMagic)
        BugCheck("FreeStreamRead of something that is not a stream read");
    if (!KeReadStateEvent(&read->done))
        BugCheck("FreeStreamRead of a read that is still pending");
    read->magic = 0;
    ExFreePool(read);
}

}  // namespace host

namespace host::ks {

// The leading edge as KsPinGetLeadingEdgeStreamPointer hands it out, locked if asked.
static PKSSTREAM_POINTER LeadingEdge(PKSPIN pin, HostPin* host, KSSTREAM_POINTER_STATE state) {
    std::lock_guard<std::mutex> g(host->queueLock);
    if (host->queue.empty())
        return nullptr;
    PKSSTREAM_POINTER pointer = &host->leading;
    if (!host->leadingLocked) {
        // A fresh look at the frame: the whole extent is there to fill (output) or to read.
        PIRP irp = host->queue.front();
        PKSSTREAM_HEADER header = host::ks::QueuedHeader(irp);
        *pointer = KSSTREAM_POINTER{};
        pointer->Pin = pin;
        pointer->StreamHeader = header;
        ULONG extent = host::ks::ClientExtent(irp);
        KSSTREAM_POINTER_OFFSET offset{static_cast<PUCHAR>(header->Data), extent, extent};
        if (pin->DataFlow == KSPIN_DATAFLOW_OUT) {
            pointer->OffsetOut = offset;
            pointer->Offset = &pointer->OffsetOut;
        } else {
            ULONG used = header->DataUsed < extent ? header->DataUsed : extent;
            pointer->OffsetIn = KSSTREAM_POINTER_OFFSET{offset.Data, used, used};
            pointer->Offset = &pointer->OffsetIn;
        }
    }
    if (state == KSSTREAM_POINTER_STATE_LOCKED)
        host->leadingLocked = true;
    return pointer;
}

}  // namespace host::ks

extern "C" {

PKSSTREAM_POINTER NTAPI KsPinGetLeadingEdgeStreamPointer(PKSPIN pin, KSSTREAM_POINTER_STATE state) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        host::BugCheck("KsPinGetLeadingEdgeStreamPointer above DISPATCH_LEVEL");
    host::ks::HostPin* host = host::ks::FindPin(pin);
    if (!host)
        host::BugCheck("KsPinGetLeadingEdgeStreamPointer of something that is not a live pin");
    if (state != KSSTREAM_POINTER_STATE_LOCKED && state != KSSTREAM_POINTER_STATE_UNLOCKED)
        host::BugCheck("KsPinGetLeadingEdgeStreamPointer with an unknown state");
    PKSSTREAM_POINTER pointer = host::ks::LeadingEdge(pin, host, state);
    if (pointer && state == KSSTREAM_POINTER_STATE_LOCKED)
        host::DelayAfterFrameLock();
    return pointer;
}

void NTAPI KsStreamPointerUnlock(PKSSTREAM_POINTER pointer, BOOLEAN eject) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        host::BugCheck("KsStreamPointerUnlock above DISPATCH_LEVEL");
    host::ks::HostPin* pin = host::ks::PinOfPointer(pointer, "KsStreamPointerUnlock");
    PIRP done = nullptr;
    {
        std::lock_guard<std::mutex> g(pin->queueLock);
        if (!pin->leadingLocked)
            host::BugCheck("KsStreamPointerUnlock of a stream pointer that is not locked");
        pin->leadingLocked = false;
        if (eject) {
            done = pin->queue.front();
            pin->queue.pop_front();
            PKSSTREAM_HEADER header = host::ks::QueuedHeader(done);
            if (header->DataUsed > host::ks::ClientExtent(done))
                host::BugCheck("a frame completed with DataUsed beyond its FrameExtent");
            pin->leading = KSSTREAM_POINTER{};
        }
    }
    // With no distinct trailing edge, a frame the leading edge leaves is done.
    if (done)
        host::ks::CompleteFrame(done, STATUS_SUCCESS);
}

}  // extern "C"
