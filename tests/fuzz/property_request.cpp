#include "tests/fuzz/property_request.h"

#include <memory>

#include "control/property_set.h"
#include "tests/fuzz/fuzz_harness.h"

namespace {

GUID SetGuid(uint8_t choice, FuzzInput* in) {
    switch (choice) {
        case kSetCamera:
            return CameraPropertySetId;
        case kSetPin:
            return KSPROPSETID_Pin;
        case kSetConnection:
            return KSPROPSETID_Connection;
        case kSetStream:
            return KSPROPSETID_Stream;
        default: {
            GUID guid;
            std::vector<uint8_t> bytes = in->Bytes(sizeof(guid));
            memcpy(&guid, bytes.data(), sizeof(guid));
            return guid;
        }
    }
}

// An exact-size heap copy, so AddressSanitizer sees any access past the caller's buffer.
std::unique_ptr<uint8_t[]> Buffer(const std::vector<uint8_t>& bytes) {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[bytes.size()]);
    if (!bytes.empty())
        memcpy(buffer.get(), bytes.data(), bytes.size());
    return buffer;
}

}  // namespace

NTSTATUS SendPropertyRequest(PFILE_OBJECT object, FuzzInput* in) {
    KSPROPERTY property{};
    uint8_t choice = in->U8();
    property.Set = SetGuid(choice, in);
    property.Id = in->U32();
    property.Flags = in->U32();
    uint32_t requestSize = in->Length();
    uint32_t dataSize = in->Length();
    uint8_t shape = in->U8();
    bool shared = shape & 1;
    bool noValue = (shape & 2) && !shared;

    std::vector<uint8_t> requestBytes(requestSize, 0);
    if (!shared && requestSize > sizeof(property)) {
        std::vector<uint8_t> instance = in->Bytes(requestSize - sizeof(property));
        std::copy(instance.begin(), instance.end(), requestBytes.begin() + sizeof(property));
    }
    std::vector<uint8_t> valueBytes = in->Bytes(noValue ? 0 : dataSize);
    if (shared) {
        requestBytes = valueBytes;
        if (requestSize > dataSize)
            requestSize = dataSize;
    }
    if (!requestBytes.empty())
        memcpy(requestBytes.data(), &property,
               requestBytes.size() < sizeof(property) ? requestBytes.size() : sizeof(property));
    auto request = Buffer(requestBytes);
    auto value = Buffer(valueBytes);
    uint8_t* valuePointer = shared ? request.get() : noValue ? nullptr : value.get();
    ULONG valueSize = noValue ? 0 : ULONG(dataSize);

    ULONG returned = 0;
    NTSTATUS status = host::KsPropertyRequest(object, request.get(), requestSize, valuePointer,
                                              valueSize, &returned);
    // What a successful request reports as returned is what the application will read.
    if (NT_SUCCESS(status) && status != STATUS_PENDING && returned > valueSize)
        FuzzFail("a property request returned more than its value buffer holds");
    return status;
}

void EncodePropertyRequest(const PropertySeed& seed, FuzzOutput* out) {
    out->U8(seed.set);
    out->U32(seed.id);
    out->U32(seed.flags);
    out->Length(seed.requestSize);
    out->Length(uint32_t(seed.value.size()));
    out->U8(uint8_t((seed.shared ? 1 : 0) | (seed.noValue ? 2 : 0)));
    if (!seed.shared && seed.requestSize > sizeof(KSPROPERTY)) {
        std::vector<uint8_t> instance = seed.instance;
        instance.resize(seed.requestSize - sizeof(KSPROPERTY), 0);
        out->Bytes(instance.data(), instance.size());
    }
    if (!seed.noValue)
        out->Bytes(seed.value.data(), seed.value.size());
}
