// The reference clock: the host has one monotonic clock, which a client may make a pin's master
// clock (KSPROPERTY_STREAM_MASTERCLOCK, only while the pin is stopped). The driver reaches it
// through KsPinGetReferenceClockInterface and must release every reference it takes before
// the pin closes.
#include <chrono>
#include <cstdio>

#include "platform/host/ks_pin_objects.h"

namespace host::ks {
namespace {

// The handle a client passes for the host's clock; any other non-null handle is unknown.
char hostClockObject;
const HANDLE kHostClockHandle = &hostClockObject;

// System time: the monotonic clock in 100-ns units. Stream time counts from the moment the
// host first read the clock, so the two differ and a driver mixing them up is seen.
LONGLONG SystemTime() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
}

LONGLONG StreamTimeAt(LONGLONG system) {
    static const LONGLONG origin = SystemTime() - 1;
    return system - origin;
}

void RequireDispatchOrBelow(const char* what) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        static thread_local char message[160];
        snprintf(message, sizeof(message), "IKsReferenceClock::%s above DISPATCH_LEVEL", what);
        BugCheck(message);
    }
}

HostPin* PinOf(PIRP irp) {
    HostPin* pin = PinOfFile(IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (!pin)
        BugCheck("a stream property request that did not come through a pin");
    return pin;
}

NTSTATUS NTAPI GetMasterClock(PIRP irp, PKSIDENTIFIER, PVOID data) {
    HANDLE handle = PinOf(irp)->masterClock ? kHostClockHandle : nullptr;
    memcpy(data, &handle, sizeof(handle));
    irp->IoStatus.Information = sizeof(handle);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetMasterClock(PIRP irp, PKSIDENTIFIER, PVOID data) {
    HostPin* pin = PinOf(irp);
    HANDLE handle;
    memcpy(&handle, data, sizeof(handle));
    if (handle && handle != kHostClockHandle)
        return STATUS_INVALID_HANDLE;
    // Under the control mutex, so no state change slips between the check and the change.
    AcquireControl(pin->filter);
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    if (pin->ks.DeviceState == KSSTATE_STOP) {
        pin->masterClock = handle != nullptr;
        status = STATUS_SUCCESS;
    }
    ReleaseControl(pin->filter);
    return status;
}

const KSPROPERTY_ITEM kStreamItems[] = {
    {KSPROPERTY_STREAM_MASTERCLOCK,
     {GetMasterClock},
     sizeof(KSPROPERTY),
     sizeof(HANDLE),
     {SetMasterClock},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
};
const KSPROPERTY_SET kStreamSet = {&KSPROPSETID_Stream, ULONG(RTL_NUMBER_OF(kStreamItems)),
                                   kStreamItems, 0, nullptr};

}  // namespace

const KSPROPERTY_SET& StreamPropertySet() {
    return kStreamSet;
}

void RequireClockReleased(HostPin* pin) {
    LONG held = pin->clock.references.load();
    if (held != 0) {
        static char message[160];
        snprintf(message, sizeof(message),
                 "a pin closed while its driver holds %d reference(s) to its clock", int(held));
        BugCheck(message);
    }
}

NTSTATUS HostClock::QueryInterface(REFIID, PVOID* out) {
    RequireDispatchOrBelow("QueryInterface");
    if (!out)
        BugCheck("IKsReferenceClock::QueryInterface without a place for the interface");
    // The host's clock answers only as the interface the pin handed out.
    *out = nullptr;
    return STATUS_NOINTERFACE;
}

ULONG HostClock::AddRef() {
    RequireDispatchOrBelow("AddRef");
    return ULONG(++references);
}

ULONG HostClock::Release() {
    RequireDispatchOrBelow("Release");
    LONG left = --references;
    if (left < 0)
        BugCheck("IKsReferenceClock::Release of a reference that was never taken");
    return ULONG(left);
}

LONGLONG HostClock::GetTime() {
    RequireDispatchOrBelow("GetTime");
    return StreamTimeAt(SystemTime());
}

LONGLONG HostClock::GetPhysicalTime() {
    RequireDispatchOrBelow("GetPhysicalTime");
    return StreamTimeAt(SystemTime());
}

LONGLONG HostClock::GetCorrelatedTime(PLONGLONG systemTime) {
    RequireDispatchOrBelow("GetCorrelatedTime");
    if (!systemTime)
        BugCheck("IKsReferenceClock::GetCorrelatedTime without a place for the system time");
    LONGLONG now = SystemTime();
    *systemTime = now;
    return StreamTimeAt(now);
}

LONGLONG HostClock::GetCorrelatedPhysicalTime(PLONGLONG systemTime) {
    RequireDispatchOrBelow("GetCorrelatedPhysicalTime");
    if (!systemTime)
        BugCheck("IKsReferenceClock::GetCorrelatedPhysicalTime without a place for the time");
    LONGLONG now = SystemTime();
    *systemTime = now;
    return StreamTimeAt(now);
}

NTSTATUS HostClock::GetResolution(PKSRESOLUTION resolution) {
    RequireDispatchOrBelow("GetResolution");
    if (!resolution)
        BugCheck("IKsReferenceClock::GetResolution without a place for the resolution");
    *resolution = KSRESOLUTION{1, 0};  // one 100-ns unit, read without delay
    return STATUS_SUCCESS;
}

NTSTATUS HostClock::GetState(PKSSTATE state) {
    RequireDispatchOrBelow("GetState");
    if (!state)
        BugCheck("IKsReferenceClock::GetState without a place for the state");
    *state = KSSTATE_RUN;  // the host's clock never stops
    return STATUS_SUCCESS;
}

}  // namespace host::ks

namespace host {

NTSTATUS SetPinMasterClock(PFILE_OBJECT pin, bool present) {
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Stream;
    request.Id = KSPROPERTY_STREAM_MASTERCLOCK;
    request.Flags = KSPROPERTY_TYPE_SET;
    HANDLE handle = present ? ks::kHostClockHandle : nullptr;
    return KsPropertyRequest(pin, &request, sizeof(request), &handle, sizeof(handle), nullptr);
}

LONGLONG ClockStreamTime() {
    return ks::StreamTimeAt(ks::SystemTime());
}

}  // namespace host

extern "C" NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN pin, PIKSREFERENCECLOCK* out) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        host::BugCheck("KsPinGetReferenceClockInterface above PASSIVE_LEVEL");
    host::ks::HostPin* host = host::ks::FindPin(pin);
    if (!host)
        host::BugCheck("KsPinGetReferenceClockInterface of something that is not a live pin");
    if (!out)
        host::BugCheck("KsPinGetReferenceClockInterface without a place for the interface");
    if (!host->masterClock) {
        *out = nullptr;
        return STATUS_DEVICE_NOT_READY;
    }
    host->clock.AddRef();
    *out = &host->clock;
    return STATUS_SUCCESS;
}
