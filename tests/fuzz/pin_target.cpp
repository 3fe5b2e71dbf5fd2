// Pin creation and what follows on the pin: any KSDATAFORMAT bytes at creation, then up to 8
// operations. Encoding (fuzz_input.h):
//   u8  pin id
//   len n, n bytes   the format; the buffer handed over is zero-padded to the larger of n and
//                    the format's own FormatSize (at most 64 KiB, what a create name can hold)
//   then operations, each a u8 code and its fields:
//     0 format change: len n, n bytes: KSPROPERTY_CONNECTION_DATAFORMAT set, exactly n bytes
//     1 state: u8 (mod 4): KSPROPERTY_CONNECTION_STATE set, as AVStream walks states
//     2 master clock: u8 (bit 0: present)
//     3 read: u8 (bit 0: 128-byte header with frame information), u32 frame extent (mod 4 MiB)
//     4 property request on the pin, encoded as in property_target.cpp
//     5 wait: up to a second for each queued read
// A queued read must be completed by the time the pin is closed.
#include <memory>
#include <vector>

#include "tests/fuzz/fuzz_harness.h"
#include "tests/fuzz/pin_operations.h"
#include "tests/fuzz/property_request.h"

namespace {

std::vector<uint8_t> FormatBytes(FuzzInput* in) {
    std::vector<uint8_t> bytes = in->Bytes(in->Length());
    size_t size = bytes.size() < sizeof(KSDATAFORMAT) ? sizeof(KSDATAFORMAT) : bytes.size();
    ULONG declared = 0;
    if (bytes.size() >= sizeof(ULONG))
        memcpy(&declared, bytes.data(), sizeof(declared));
    if (declared > size)
        size = declared < 0x10000 ? declared : 0x10000;
    bytes.resize(size, 0);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputLeakCheck leaks;
    FuzzInput in(data, size);
    FuzzCamera camera;
    if (!camera.Start() || !camera.Open())
        FuzzFail("the simulated camera does not start");
    ULONG pinId = in.U8();
    std::vector<uint8_t> format = FormatBytes(&in);
    std::unique_ptr<uint8_t[]> exact(new uint8_t[format.size()]);
    memcpy(exact.get(), format.data(), format.size());
    PinSession pin;
    if (host::CreatePin(camera.Filter(), pinId, reinterpret_cast<KSDATAFORMAT*>(exact.get()),
                        &pin.pin) != STATUS_SUCCESS)
        return 0;
    for (int i = 0; i < 8 && !in.Empty(); ++i) {
        switch (in.U8() % 6) {
            case 0:
                pin.ChangeFormat(in.Bytes(in.Length()));
                break;
            case 1:
                host::SetPinState(pin.pin, KSSTATE(in.U8() % 4));
                break;
            case 2:
                host::SetPinMasterClock(pin.pin, in.U8() & 1);
                break;
            case 3: {
                bool frameInfo = in.U8() & 1;
                pin.Read(frameInfo, in.U32() % (4u << 20));
                break;
            }
            case 4:
                SendPropertyRequest(pin.pin, &in);
                break;
            case 5:
                pin.Wait();
                break;
        }
    }
    pin.Close();
    return 0;
}
