// Data intersection on the capture filter (KSPROPERTY_PIN_DATAINTERSECTION get), with any
// caller ranges. Encoding (fuzz_input.h), up to 4 requests:
//   u8  pin id
//   u32 list size, u32 count   the KSMULTIPLE_ITEM header, as the caller claims it
//   len n, n bytes             what follows the header: the caller's ranges
//   len output size            0xFFFF and above in the long form only
//   u8  flags                  bit 0: no output buffer (a size query)
// A successful answer is a whole format that fits what was returned.
#include <memory>

#include "tests/fuzz/fuzz_harness.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

void Intersect(PFILE_OBJECT filter, FuzzInput* in) {
    KSP_PIN pin{};
    pin.Property.Set = KSPROPSETID_Pin;
    pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    pin.Property.Flags = KSPROPERTY_TYPE_GET;
    pin.PinId = in->U8();
    KSMULTIPLE_ITEM list;
    list.Size = in->U32();
    list.Count = in->U32();
    std::vector<uint8_t> ranges = in->Bytes(in->Length());
    ULONG outputSize = in->Length();
    bool noOutput = in->U8() & 1;

    size_t requestSize = sizeof(pin) + sizeof(list) + ranges.size();
    std::unique_ptr<uint8_t[]> request(new uint8_t[requestSize]);
    memcpy(request.get(), &pin, sizeof(pin));
    memcpy(request.get() + sizeof(pin), &list, sizeof(list));
    if (!ranges.empty())
        memcpy(request.get() + sizeof(pin) + sizeof(list), ranges.data(), ranges.size());
    std::unique_ptr<uint8_t[]> output(new uint8_t[outputSize ? outputSize : 1]);
    ULONG returned = 0;
    NTSTATUS status = host::KsPropertyRequest(filter, request.get(), ULONG(requestSize),
                                              noOutput ? nullptr : output.get(),
                                              noOutput ? 0 : outputSize, &returned);
    if (status != STATUS_SUCCESS)
        return;
    if (noOutput || returned > outputSize)
        FuzzFail("an intersection succeeded past its output buffer");
    if (returned >= sizeof(KSDATAFORMAT)) {
        auto* format = reinterpret_cast<const KSDATAFORMAT*>(output.get());
        if (format->FormatSize != returned)
            FuzzFail("an intersection's format does not say its own size");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputLeakCheck leaks;
    FuzzInput in(data, size);
    FuzzCamera camera;
    if (!camera.Start() || !camera.Open())
        FuzzFail("the simulated camera does not start");
    for (int i = 0; i < 4 && !in.Empty(); ++i)
        Intersect(camera.Filter(), &in);
    return 0;
}
