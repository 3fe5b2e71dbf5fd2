// Property requests on the capture filter, through AVStream's dispatch as IOCTL_KS_PROPERTY:
// any set, identifier and flags, any buffer sizes and contents. The input is up to 16
// requests, each (fields in fuzz_input.h's encoding):
//   u8  set        0 the camera set, 1 Pin, 2 Connection, 3 Stream; else 16 bytes of GUID follow
//   u32 id, u32 flags
//   len request    size of the request buffer; the KSPROPERTY is written over its first bytes
//   len data       size of the value buffer
//   u8  shape      bit 0: one buffer is both request and value (of the value's size, as
//                  applications pass the camera's records); bit 1: no value buffer at all
//   bytes          the request's bytes after the KSPROPERTY (separate buffers only), then the
//                  value buffer's contents
#include "tests/fuzz/property_request.h"

#include "tests/fuzz/fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputLeakCheck leaks;
    FuzzInput in(data, size);
    FuzzCamera camera;
    if (!camera.Start() || !camera.Open())
        FuzzFail("the simulated camera does not start");
    for (int i = 0; i < 16 && !in.Empty(); ++i)
        SendPropertyRequest(camera.Filter(), &in);
    return 0;
}
