// A pin's states and format as its client sets them: KSPROPSETID_Connection. A state request
// is walked one step at a time (STOP, ACQUIRE, PAUSE, RUN), each step one SetDeviceState with
// the control mutex held; the walk stops at the first refusal. Reaching STOP flushes the queue.
#include "platform/host/ks_pin_objects.h"

namespace host::ks {
namespace {

HostPin* PinOf(PIRP irp) {
    HostPin* pin = PinOfFile(IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (!pin)
        BugCheck("a connection property request that did not come through a pin");
    return pin;
}

// DeviceState is read by the processing worker for its gate.
void SetDeviceStateField(HostPin* pin, KSSTATE state) {
    std::lock_guard<std::mutex> g(pin->work);
    pin->ks.DeviceState = state;
}

NTSTATUS NTAPI GetState(PIRP irp, PKSIDENTIFIER, PVOID data) {
    HostPin* pin = PinOf(irp);
    KSSTATE state;
    {
        std::lock_guard<std::mutex> g(pin->work);
        state = pin->ks.DeviceState;
    }
    memcpy(data, &state, sizeof(state));
    irp->IoStatus.Information = sizeof(state);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetState(PIRP irp, PKSIDENTIFIER, PVOID data) {
    ULONG state;
    memcpy(&state, data, sizeof(state));
    if (state > KSSTATE_RUN)
        return STATUS_INVALID_PARAMETER;
    return WalkToState(PinOf(irp), KSSTATE(state), false);
}

// A new format: offered to the driver as the pin's ConnectionFormat with the old one beside
// it; kept only if the driver accepts it, else the old format is the pin's again.
NTSTATUS NTAPI SetDataFormat(PIRP irp, PKSIDENTIFIER, PVOID data) {
    HostPin* pin = PinOf(irp);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    KSDATAFORMAT header;
    memcpy(&header, data, sizeof(header));
    if (header.FormatSize != length)
        return STATUS_INVALID_PARAMETER;
    if (header.Flags & KSDATAFORMAT_ATTRIBUTES)
        return STATUS_NOT_SUPPORTED;
    AcquireControl(pin->filter);
    if (DescriptorOf(pin)->Flags & KSPIN_FLAG_FIXED_FORMAT) {
        ReleaseControl(pin->filter);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PKSDATAFORMAT format = CopyFormat(static_cast<const KSDATAFORMAT*>(data), length);
    if (!format) {
        ReleaseControl(pin->filter);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PKSDATAFORMAT old = pin->ks.ConnectionFormat;
    pin->ks.ConnectionFormat = format;
    NTSTATUS status = OfferFormat(pin, old);
    if (NT_SUCCESS(status)) {
        ExFreePool(old);
    } else {
        pin->ks.ConnectionFormat = old;
        ExFreePool(format);
    }
    ReleaseControl(pin->filter);
    return status;
}

const KSPROPERTY_ITEM kConnectionItems[] = {
    {KSPROPERTY_CONNECTION_STATE,
     {GetState},
     sizeof(KSPROPERTY),
     sizeof(KSSTATE),
     {SetState},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
    {KSPROPERTY_CONNECTION_DATAFORMAT,
     {nullptr},
     sizeof(KSPROPERTY),
     sizeof(KSDATAFORMAT),
     {SetDataFormat},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
};
const KSPROPERTY_SET kConnectionSet = {
    &KSPROPSETID_Connection, ULONG(RTL_NUMBER_OF(kConnectionItems)), kConnectionItems, 0, nullptr};

}  // namespace

const KSPROPERTY_SET& ConnectionPropertySet() {
    return kConnectionSet;
}

bool ProcessingGateOpen(HostPin* pin) {
    // Pins process from PAUSE on, or only in RUN when they say so.
    KSSTATE minimum = (DescriptorOf(pin)->Flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY)
                          ? KSSTATE_RUN
                          : KSSTATE_PAUSE;
    return pin->ks.DeviceState >= minimum;
}

NTSTATUS WalkToState(HostPin* pin, KSSTATE target, bool closing) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("a pin state change above PASSIVE_LEVEL");
    AcquireControl(pin->filter);
    NTSTATUS result = STATUS_SUCCESS;
    while (pin->ks.DeviceState != target) {
        const KSSTATE from = pin->ks.DeviceState;
        const KSSTATE to = KSSTATE(from < target ? from + 1 : from - 1);
        const KSPIN_DISPATCH* dispatch = DescriptorOf(pin)->Dispatch;
        // The state the client asked for is visible to the driver during the call.
        pin->ks.ClientState = to;
        NTSTATUS status = dispatch && dispatch->SetDeviceState
                              ? dispatch->SetDeviceState(&pin->ks, to, from)
                              : STATUS_SUCCESS;
        if (status == STATUS_PENDING)
            BugCheck("SetDeviceState returned STATUS_PENDING");
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            BugCheck("SetDeviceState returned above PASSIVE_LEVEL");
        if (!NT_SUCCESS(status)) {
            if (NT_SUCCESS(result))
                result = status;
            if (!closing) {
                pin->ks.ClientState = from;
                break;
            }
        }
        bool wasOpen;
        {
            std::lock_guard<std::mutex> g(pin->work);
            wasOpen = ProcessingGateOpen(pin);
        }
        SetDeviceStateField(pin, to);
        // The reset that comes with every stop follows the driver's SetDeviceState(STOP).
        if (to == KSSTATE_STOP)
            FlushFrames(pin);
        bool open;
        {
            std::lock_guard<std::mutex> g(pin->work);
            open = ProcessingGateOpen(pin);
        }
        // Reaching the processing state with frames waiting opens the gate on them.
        if (open && !wasOpen &&
            (FramesQueued(pin) ||
             (DescriptorOf(pin)->Flags & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING))) {
            RequestProcessing(pin, true);
        }
    }
    ReleaseControl(pin->filter);
    return result;
}

}  // namespace host::ks

namespace host {

NTSTATUS SetPinState(PFILE_OBJECT pin, KSSTATE state) {
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Connection;
    request.Id = KSPROPERTY_CONNECTION_STATE;
    request.Flags = KSPROPERTY_TYPE_SET;
    return KsPropertyRequest(pin, &request, sizeof(request), &state, sizeof(state), nullptr);
}

}  // namespace host
