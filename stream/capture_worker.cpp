// The capture worker: a system thread reads raw frames into whichever of two buffers is free
// and asks for a Process pass after each; the pass converts a full buffer in place.
#include "stream/capture_worker.h"

#include "driver/pool_tags.h"
#include "imaging/image_pipeline.h"

namespace {

// How long the stopper waits for the thread between two cancellations of its frame read: a
// read that was being set up when the first cancellation came is cancelled by the next.
constexpr LONGLONG kStopPollInterval = -10 * 10000;  // 10 ms, relative
// How long the thread rests after a failed read that followed another failed one. A camera
// that fails every read at once (unplugged, its port dead) would otherwise keep a processor
// busy until the stream is stopped; a single failure is retried at once, so a frame lost to a
// passing fault costs no more than that frame.
constexpr LONGLONG kFailedReadPause = -10 * 10000;  // 10 ms, relative

LONG Load(volatile LONG* cell) {
    return InterlockedCompareExchange(cell, 0, 0);
}

// Running is an 8-bit flag followed by padding up to FramesRead; the 32-bit cell it starts is
// read and written whole, with interlocked operations, so the stop handshake holds.
static_assert(offsetof(CaptureWorker, Running) % 4 == 0 &&
                  offsetof(CaptureWorker, FramesRead) == offsetof(CaptureWorker, Running) + 4,
              "Running starts a 32-bit cell of its own");

volatile LONG* RunningCell(CaptureWorker* worker) {
    return reinterpret_cast<volatile LONG*>(&worker->Running);
}

BOOLEAN IsRunning(CaptureWorker* worker) {
    return Load(RunningCell(worker)) != 0;
}

void SetRunning(CaptureWorker* worker, BOOLEAN running) {
    InterlockedExchange(RunningCell(worker), running ? 1 : 0);
}

}  // namespace

ULONG PickCaptureBuffer(CaptureWorker* worker) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&worker->BufferLock);
    ULONG index;
    if (worker->BufferState[0] == kBufferFree)
        index = 0;
    else if (worker->BufferState[1] == kBufferFree)
        index = 1;
    else if (worker->BufferState[0] == kBufferConverting)
        index = 1;
    else
        index = 0;
    worker->BufferState[index] = kBufferFilling;
    KeReleaseSpinLock(&worker->BufferLock, irql);
    return index;
}

namespace {

void SetBufferState(CaptureWorker* worker, PUCHAR buffer, LONG state) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&worker->BufferLock);
    worker->BufferState[buffer == worker->CaptureBuffer[0] ? 0 : 1] = state;
    KeReleaseSpinLock(&worker->BufferLock, irql);
}

VOID NTAPI WorkerLoop(PVOID argument) {
    auto* worker = static_cast<CaptureWorker*>(argument);
    DeviceContext* device = worker->Device;
    ULONG failedInARow = 0;
    while (IsRunning(worker)) {
        ULONG index = PickCaptureBuffer(worker);
        PUCHAR buffer = worker->CaptureBuffer[index];
        BOOLEAN ok = FALSE;
        if (Load(&worker->StreamState) == kStreamStreaming) {
            device->Ops->ReadFrame(device, buffer, &ok);
            if (ok)
                InterlockedIncrement(&worker->FramesRead);
        }
        SetBufferState(worker, buffer, ok ? kBufferFull : kBufferFree);
        if (!ok) {
            if (++failedInARow >= 2 && IsRunning(worker)) {
                LARGE_INTEGER pause;
                pause.QuadPart = kFailedReadPause;
                KeDelayExecutionThread(KernelMode, FALSE, &pause);
            }
            continue;
        }
        failedInARow = 0;
        if (!IsRunning(worker))
            break;  // a frame finished (or cut short) by the stop is not announced
        device->Ops->FrameReady(device);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

NTSTATUS CreateCaptureWorker(DeviceContext* context) {
    if (context->CaptureWorker)
        return STATUS_SUCCESS;
    auto* worker = static_cast<CaptureWorker*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CaptureWorker), kTagRecord));
    if (!worker)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(worker, 0, sizeof(*worker));
    KeInitializeEvent(&worker->DoneEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&worker->BufferLock);
    worker->Device = context;

    PKSDEVICE device = context->Device;
    KsAcquireDevice(device);
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, worker, FreeItem);
    KsReleaseDevice(device);
    if (!NT_SUCCESS(status)) {
        FreeItem(worker);
        return status;
    }
    context->CaptureWorker = worker;
    return STATUS_SUCCESS;
}

NTSTATUS StartWorker(CaptureWorker* worker) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&worker->BufferLock);
    worker->BufferState[0] = kBufferFree;  // a frame left full by a pause is dropped
    worker->BufferState[1] = kBufferFree;
    KeReleaseSpinLock(&worker->BufferLock, irql);
    SetRunning(worker, TRUE);

    // A kernel handle: the state change runs in the application's process, which must not
    // get a handle to the driver's thread.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status =
        PsCreateSystemThread(&handle, 0, &attributes, nullptr, nullptr, WorkerLoop, worker);
    if (!NT_SUCCESS(status)) {
        SetRunning(worker, FALSE);
        return status;
    }
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status)) {
        // The thread runs but cannot be waited for: stop it the only way left, by the flag,
        // and report the capture as not started.
        SetRunning(worker, FALSE);
        return status;
    }
    worker->Thread = thread;
    return STATUS_SUCCESS;
}

void StopWorker(CaptureWorker* worker) {
    DeviceContext* device = worker->Device;
    SetRunning(worker, FALSE);
    device->Ops->AbortPipes(device);
    if (worker->Thread) {
        // Cancel the read in progress, and again while the thread lives: a read being set up
        // when one cancellation came is caught by the next.
        LARGE_INTEGER interval;
        interval.QuadPart = kStopPollInterval;
        do {
            device->Ops->CancelTransfers(device);
        } while (KeWaitForSingleObject(worker->Thread, Executive, KernelMode, FALSE, &interval) ==
                 STATUS_TIMEOUT);
        ObDereferenceObject(worker->Thread);
        worker->Thread = nullptr;
    }
    KeResetEvent(&worker->DoneEvent);
    if (InterlockedCompareExchange(&worker->Busy, 0, 0))
        KeWaitForSingleObject(&worker->DoneEvent, Executive, KernelMode, FALSE, nullptr);
}

BOOLEAN BeginPass(CaptureWorker* worker) {
    InterlockedExchange(&worker->Busy, 1);
    return IsRunning(worker);
}

void EndPass(CaptureWorker* worker) {
    InterlockedExchange(&worker->Busy, 0);
    KeSetEvent(&worker->DoneEvent, 1, FALSE);
}

BOOLEAN ConvertCapturedFrame(CaptureWorker* worker) {
    return ConvertCapturedFrameInto(worker, nullptr, 0);
}

BOOLEAN ConvertCapturedFrameInto(CaptureWorker* worker, PUCHAR firstRow, LONG_PTR outputStep) {
    InterlockedExchange(&worker->Busy, 1);
    if (!IsRunning(worker))
        return FALSE;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&worker->BufferLock);
    LONG index = -1;
    if (worker->BufferState[0] == kBufferFull)
        index = 0;
    else if (worker->BufferState[1] == kBufferFull)
        index = 1;
    if (index >= 0)
        worker->BufferState[index] = kBufferConverting;
    KeReleaseSpinLock(&worker->BufferLock, irql);
    if (index < 0)
        return FALSE;

    DeviceContext* device = worker->Device;
    PUCHAR buffer = worker->CaptureBuffer[index];
    ULONG origin = 0, pitch = 0;
    device->Ops->GetFrameOrigin(device, &origin);
    device->Ops->GetFramePitch(device, &pitch);
    LONG offset =
        LONG(origin) + device->Ops->GetRoiX(device) + device->Ops->GetRoiY(device) * LONG(pitch);
    BOOLEAN converted = TRUE;
    if (firstRow) {
        converted = ProcessRawFrameInto(worker->Pipeline, buffer, ULONG(offset), pitch, firstRow,
                                        outputStep);
    } else {
        ProcessRawFrame(worker->Pipeline, buffer, ULONG(offset), pitch);
    }
    SetBufferState(worker, buffer, kBufferFree);
    return converted;
}
