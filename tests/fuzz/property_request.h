// One property request decoded from fuzz input and sent through AVStream's dispatch; shared by
// the targets that send them (the encoding is property_target.cpp's).
#pragma once

#include "platform/host/host_control.h"
#include "tests/fuzz/fuzz_input.h"

enum PropertySetChoice : uint8_t { kSetCamera, kSetPin, kSetConnection, kSetStream, kSetOther };

NTSTATUS SendPropertyRequest(PFILE_OBJECT object, FuzzInput* in);

// The encoding of one request, for seeds. `instance` follows the KSPROPERTY in a separate
// request buffer; with `shared`, `value` is both buffers and `requestSize` at most its size.
struct PropertySeed {
    uint8_t set = kSetCamera;
    uint32_t id = 0;
    uint32_t flags = 0;
    uint32_t requestSize = 24;
    bool shared = false;
    bool noValue = false;
    std::vector<uint8_t> instance;
    std::vector<uint8_t> value;
};
void EncodePropertyRequest(const PropertySeed& seed, FuzzOutput* out);
