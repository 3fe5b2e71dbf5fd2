// Start and Stop tie the camera to the device's plug-and-play life: Start opens the device to
// applications (the filter factory), configures the USB device and resets the camera, which
// reloads the stored settings; Stop saves the settings and deconfigures.
#include "control/settings_store.h"
#include "driver/device_context.h"
#include "stream/capture_worker.h"
#include "stream/filter.h"
#include "usb/configuration.h"

namespace {

// The reference string of the filter's device interfaces; the INF registers the same one.
WCHAR FilterReferenceString[] = BC_WIDE("GLOBAL");

}  // namespace

NTSTATUS NTAPI Start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    auto* context = static_cast<DeviceContext*>(device->Context);
    if (!context)
        return STATUS_UNSUCCESSFUL;

    // AVStream keeps the factory across a start of a device it already reports as started.
    NTSTATUS factory = STATUS_SUCCESS;
    if (!device->Started) {
        KsAcquireDevice(device);
        factory = KsCreateFilterFactory(device->FunctionalDeviceObject, &CaptureFilterDescriptor,
                                        FilterReferenceString, nullptr, KSCREATE_ITEM_FREEONSTOP,
                                        nullptr, nullptr, nullptr);
        KsReleaseDevice(device);
    }
    // A device applications cannot open, or cannot stream from, is not in service: report
    // the failure so that the PnP manager removes it, rather than a start that seems to work.
    if (!NT_SUCCESS(factory))
        return factory;
    if (!device->Started) {
        NTSTATUS worker = CreateCaptureWorker(context);
        if (!NT_SUCCESS(worker))
            return worker;
    }

    // A start of a device that is configured already must not leak the buffers of the last
    // configuration: every start reads the descriptors and selects the configuration anew.
    FreeConfiguration(&context->Usb);
    NTSTATUS status = ConfigureDevice(&context->Usb);
    ResetCamera(context);
    return status;
}

void NTAPI Stop(PKSDEVICE device, PIRP) {
    auto* context = static_cast<DeviceContext*>(device->Context);
    if (!context)
        return;
    // The settings in force at the moment of the stop are saved before anything is freed.
    SaveSettings(context);
    FreeConfiguration(&context->Usb);
    UnconfigureDevice(&context->Usb);
}
