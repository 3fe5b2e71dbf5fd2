// The driver's part of the USB target: arrival, start and the chosen actions, shared with the
// seed generator, which plays it against a device that answers as the camera does.
#include "tests/fuzz/usb_target.h"

#include "control/property_set.h"
#include "tests/fuzz/fuzz_harness.h"

namespace {

void Request(PFILE_OBJECT filter, ULONG id, ULONG flags) {
    CameraRawValue record{};
    record.Header.Set = CameraPropertySetId;
    record.Header.Id = id;
    record.Header.Flags = flags;
    ULONG size = id == PropReadByte ? sizeof(CameraRawValue) : sizeof(CameraPropertyValue);
    ULONG returned = 0;
    host::KsPropertyRequest(filter, &record, size, &record, size, &returned);
}

}  // namespace

void RunUsbActions(uint8_t actions, PDEVICE_OBJECT lower) {
    FuzzCamera camera(lower);
    if (!camera.Arrived() || !camera.Start() || !camera.Open())
        return;
    if (actions & 1)
        Request(camera.Filter(), PropReadByte, KSPROPERTY_TYPE_GET);
    if (actions & 2)
        Request(camera.Filter(), PropExTrigger, KSPROPERTY_TYPE_GET);
    if (actions & 4)
        Request(camera.Filter(), PropClock, KSPROPERTY_TYPE_GET);
    if (actions & 8)
        Request(camera.Filter(), PropReinitialize, KSPROPERTY_TYPE_SET);
    if (actions & 16)
        host::StartDevice(camera.Device());
}
