// The capture worker record's creation at device start. The record lives until the device is
// removed, when the object bag frees it.
#include "stream/capture_worker.h"

#include "driver/pool_tags.h"

void CreateCaptureWorker(DeviceContext* context) {
    if (context->CaptureWorker)
        return;
    auto* worker = static_cast<CaptureWorker*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(CaptureWorker), kTagRecord));
    if (!worker)
        return;
    memset(worker, 0, sizeof(*worker));
    KeInitializeEvent(&worker->DoneEvent, NotificationEvent, FALSE);
    worker->Device = context;

    PKSDEVICE device = context->Device;
    KsAcquireDevice(device);
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, worker, FreeItem);
    KsReleaseDevice(device);
    if (!NT_SUCCESS(status)) {
        FreeItem(worker);
        return;
    }
    context->CaptureWorker = worker;
}
