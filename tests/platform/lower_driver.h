// A lower driver for the I/O manager's tests: completes what it is sent at once, or later on
// its own thread, or parks it with a cancel routine until it is completed or cancelled.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/host/host_control.h"

class LowerDriver {
public:
    enum class Mode { kCompleteNow, kCompleteLater, kPark };

    LowerDriver();
    ~LowerDriver();

    PDEVICE_OBJECT Device() { return &device_; }
    void SetMode(Mode mode) { mode_ = mode; }
    // The status and information every request is completed with.
    void SetResult(NTSTATUS status, ULONG_PTR information = 0) {
        status_ = status;
        information_ = information;
    }

    // What the last request looked like when it arrived.
    UCHAR lastMajor = 0;
    ULONG lastIoControlCode = 0;
    PVOID lastArgument1 = nullptr;
    PDEVICE_OBJECT lastDeviceObject = nullptr;
    PVOID lastSystemBuffer = nullptr;

    // Parked requests: completes the oldest one with the set result unless its cancel
    // routine was taken first. Returns true if this call completed it.
    bool CompleteParked();
    size_t ParkedCount();
    int cancelRoutineCalls() const { return __atomic_load_n(&cancelCalls_, __ATOMIC_SEQ_CST); }

private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI Cancel(PDEVICE_OBJECT device, PIRP irp);
    void Worker();

    DRIVER_OBJECT driver_{};
    DEVICE_OBJECT device_{};
    Mode mode_ = Mode::kCompleteNow;
    NTSTATUS status_ = STATUS_SUCCESS;
    ULONG_PTR information_ = 0;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<PIRP> later_;   // to be completed by the worker
    std::deque<PIRP> parked_;  // waiting, cancellable
    bool stopping_ = false;
    int cancelCalls_ = 0;
    std::thread worker_;
};

// A driver-allocated request aimed at `lower`, with a completion routine that records what
// it saw and keeps the request (STATUS_MORE_PROCESSING_REQUIRED).
struct OwnedRequest {
    PIRP irp = nullptr;
    KEVENT done;
    int calls = 0;
    NTSTATUS status = STATUS_PENDING;
    BOOLEAN pendingReturned = FALSE;
    BOOLEAN cancel = FALSE;
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);

    explicit OwnedRequest(CCHAR stackSize);
    ~OwnedRequest();
    // Fills the next stack location as an internal device control and sets the routine.
    void Prepare(ULONG ioControlCode, PVOID argument1, UCHAR control = 0xE0);
    void Wait() { KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr); }

    static NTSTATUS NTAPI Completed(PDEVICE_OBJECT device, PIRP irp, PVOID context);
};
