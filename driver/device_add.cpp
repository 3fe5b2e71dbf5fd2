// Add: the per-device record with every default, owned by the device's object bag.
#include "control/region_of_interest.h"
#include "driver/camera_ops.h"
#include "driver/pool_tags.h"

void NTAPI FreeItem(PVOID item) {
    if (item)
        ExFreePool(item);
}

void NTAPI FreeDeviceContext(PVOID item) {
    if (item)
        ExFreePoolWithTag(item, kTagRecord);
}

namespace {

void ApplyDefaults(DeviceContext* context, PKSDEVICE device) {
    context->SensorBayerPhase = kSensorBayerPhase;

    // The USB sub-record and the settings that follow it, through AEC, start from zero.
    auto* first = reinterpret_cast<UCHAR*>(&context->Usb);
    auto* end = reinterpret_cast<UCHAR*>(&context->AEC + 1);
    memset(first, 0, size_t(end - first));
    memset(context->RegisterShadow, 0, sizeof(context->RegisterShadow));

    context->Usb.PhysicalDeviceObject = device->PhysicalDeviceObject;
    context->Usb.NextDeviceObject = device->NextDeviceObject;

    context->Timeout = 3000;
    context->BayerPhase = context->SensorBayerPhase;
    context->ColorEnable = 1;
    context->RedGain = 128;
    context->GreenGain = 128;
    context->BlueGain = 128;
    context->ColorCorrection = 1;
    context->Brightness = 255;
    context->Contrast = 10;
    context->Saturation = 10;
    context->Hue = 0;
    context->Clock = 0;
    SetRegionOfInterest(context, 0, 0, kSensorWidth, kSensorHeight);

    KeInitializeSpinLock(&context->Usb.TransferLock);
    KeInitializeEvent(&context->Usb.TransfersDone, NotificationEvent, FALSE);
    KeInitializeEvent(&context->CommandLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&context->SettingsLock, SynchronizationEvent, TRUE);

    memset(context->StreamCommandPacket, 0, sizeof(context->StreamCommandPacket));
    memset(context->CommandPacket, 0, sizeof(context->CommandPacket));
    memset(context->FrameCommandPacket, 0, sizeof(context->FrameCommandPacket));
}

}  // namespace

NTSTATUS NTAPI Add(PKSDEVICE device) {
    auto* context = static_cast<DeviceContext*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(DeviceContext), kTagRecord));
    if (!context)
        return STATUS_INSUFFICIENT_RESOURCES;

    memset(context, 0, sizeof(*context));
    context->Ops = &CameraOperations;
    context->Device = device;
    context->CaptureWorker = nullptr;
    context->ImagePipeline = nullptr;
    SetRegionOfInterest(context, 0, 0, kSensorWidth, kSensorHeight);

    KsAcquireDevice(device);
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, context, FreeDeviceContext);
    KsReleaseDevice(device);
    if (!NT_SUCCESS(status)) {
        FreeDeviceContext(context);
        return status;
    }

    device->Context = context;
    ApplyDefaults(context, device);
    return STATUS_SUCCESS;
}
