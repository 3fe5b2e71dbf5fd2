// The data intersection an application asks for with a copy of the capture pin's own range:
// how the tests' clients negotiate the format they create the pin with.
#pragma once

#include <vector>

#include "tests/common/driver_form.h"
#include "control/region_of_interest.h"
#include "platform/host/host_control.h"

// The resulting format (KSDATAFORMAT and its video information) goes to `format`, 8-byte
// aligned as applications align it; left empty on failure, whose status is returned.
inline NTSTATUS IntersectPinRange(PFILE_OBJECT filter, std::vector<uint64_t>* format) {
    struct {
        KSP_PIN pin;
        KSMULTIPLE_ITEM list;
        KS_DATARANGE_VIDEO range;
    } request{};
    request.pin.Property.Set = KSPROPSETID_Pin;
    request.pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    request.pin.Property.Flags = KSPROPERTY_TYPE_GET;
    request.list.Size = sizeof(KSMULTIPLE_ITEM) + sizeof(KS_DATARANGE_VIDEO);
    request.list.Count = 1;
    request.range = DriverVideoRange();
    format->assign(32, 0);
    ULONG returned = 0;
    NTSTATUS status = host::KsPropertyRequest(filter, &request, sizeof(request), format->data(),
                                              ULONG(format->size() * 8), &returned);
    if (status != STATUS_SUCCESS)
        format->clear();
    else
        format->resize((returned + 7) / 8);
    return status;
}
