#include "tests/platform/lower_driver.h"

LowerDriver::LowerDriver() {
    driver_.Type = 4;
    driver_.Size = sizeof(DRIVER_OBJECT);
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    driver_.MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;
    device_.Type = 3;
    device_.Size = sizeof(DEVICE_OBJECT);
    device_.DriverObject = &driver_;
    device_.StackSize = 1;
    device_.DeviceExtension = this;
    worker_ = std::thread([this] { Worker(); });
}

LowerDriver::~LowerDriver() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

NTSTATUS NTAPI LowerDriver::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<LowerDriver*>(device->DeviceExtension);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    self->lastMajor = sp->MajorFunction;
    self->lastIoControlCode = sp->Parameters.DeviceIoControl.IoControlCode;
    self->lastArgument1 = sp->Parameters.Others.Argument1;
    self->lastDeviceObject = sp->DeviceObject;
    self->lastSystemBuffer = irp->AssociatedIrp.SystemBuffer;
    switch (self->mode_) {
        case Mode::kCompleteNow:
            irp->IoStatus.Status = self->status_;
            irp->IoStatus.Information = self->information_;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return self->status_;
        case Mode::kCompleteLater: {
            IoMarkIrpPending(irp);
            std::lock_guard<std::mutex> g(self->lock_);
            self->later_.push_back(irp);
            self->wake_.notify_all();
            return STATUS_PENDING;
        }
        case Mode::kPark: {
            IoMarkIrpPending(irp);
            std::lock_guard<std::mutex> g(self->lock_);
            self->parked_.push_back(irp);
            IoSetCancelRoutine(irp, Cancel);
            if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) &&
                IoSetCancelRoutine(irp, nullptr)) {
                self->parked_.pop_back();
                irp->IoStatus.Status = STATUS_CANCELLED;
                irp->IoStatus.Information = 0;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            }
            return STATUS_PENDING;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

VOID NTAPI LowerDriver::Cancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* self = static_cast<LowerDriver*>(device->DeviceExtension);
    __atomic_add_fetch(&self->cancelCalls_, 1, __ATOMIC_SEQ_CST);
    {
        std::lock_guard<std::mutex> g(self->lock_);
        for (auto it = self->parked_.begin(); it != self->parked_.end(); ++it) {
            if (*it == irp) {
                self->parked_.erase(it);
                break;
            }
        }
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

bool LowerDriver::CompleteParked() {
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (parked_.empty())
            return false;
        // The cancel routine owns the request once it is taken; leave it queued for it.
        if (!IoSetCancelRoutine(parked_.front(), nullptr))
            return false;
        irp = parked_.front();
        parked_.pop_front();
    }
    irp->IoStatus.Status = status_;
    irp->IoStatus.Information = information_;
    KIRQL old = host::RaiseIrqlToDispatch();
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    host::LowerIrql(old);
    return true;
}

size_t LowerDriver::ParkedCount() {
    std::lock_guard<std::mutex> g(lock_);
    return parked_.size();
}

void LowerDriver::Worker() {
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
        wake_.wait(g, [this] { return stopping_ || !later_.empty(); });
        if (later_.empty())
            return;
        PIRP irp = later_.front();
        later_.pop_front();
        g.unlock();
        irp->IoStatus.Status = status_;
        irp->IoStatus.Information = information_;
        KIRQL old = host::RaiseIrqlToDispatch();
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        host::LowerIrql(old);
        g.lock();
    }
}

OwnedRequest::OwnedRequest(CCHAR stackSize) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoAllocateIrp(stackSize, FALSE);
}

OwnedRequest::~OwnedRequest() {
    if (irp)
        IoFreeIrp(irp);
}

void OwnedRequest::Prepare(ULONG ioControlCode, PVOID argument1, UCHAR control) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.Others.Argument1 = argument1;
    IoSetCompletionRoutine(irp, Completed, this, (control & SL_INVOKE_ON_SUCCESS) != 0,
                           (control & SL_INVOKE_ON_ERROR) != 0,
                           (control & SL_INVOKE_ON_CANCEL) != 0);
}

NTSTATUS NTAPI OwnedRequest::Completed(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* self = static_cast<OwnedRequest*>(context);
    ++self->calls;
    self->status = irp->IoStatus.Status;
    self->pendingReturned = irp->PendingReturned;
    self->cancel = __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST);
    self->device = device;
    KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
