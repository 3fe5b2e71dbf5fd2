// The camera's side of USB from the fuzz input: descriptors, the configuration's pipes, query
// replies and statuses (fake_usb_device.h has the encoding of the answers). The input starts
// with one byte of driver actions after start; the device's answers follow, consumed in the
// order the driver asks:
//   bit 0 ReadByte get (a memory query), bit 1 ExTrigger get (the trigger status query),
//   bit 2 Clock get (a control register query), bit 3 camera reset through the property set,
//   bit 4 a second start, as the PnP manager restarts a started device.
#include "tests/fuzz/fake_usb_device.h"
#include "tests/fuzz/fuzz_harness.h"
#include "tests/fuzz/usb_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputLeakCheck leaks;
    FuzzInput in(data, size);
    uint8_t actions = in.U8();
    FakeUsbDevice device(&in);
    RunUsbActions(actions, device.Device());
    return 0;
}
