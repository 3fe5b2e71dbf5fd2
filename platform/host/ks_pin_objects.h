// What the host's AVStream keeps behind a KSPIN: its bag, its processing worker and mutex, its
// queue of frames with the leading-edge stream pointer, and its reference clock. Internal to
// platform/host, shared by the ks_pin_*, ks_stream, ks_process and ks_clock sources.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>

#include "platform/host/ks_objects.h"

namespace host::ks {

// The host's one clock, as a pin sees it once it is the pin's master clock. It lives inside the
// pin, so a reference the driver forgets to release is caught when the pin closes.
struct HostClock final : IKsReferenceClock {
    explicit HostClock(HostPin* owner) : pin(owner) {}
    NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID id, PVOID* out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    LONGLONG STDMETHODCALLTYPE GetTime() override;
    LONGLONG STDMETHODCALLTYPE GetPhysicalTime() override;
    LONGLONG STDMETHODCALLTYPE GetCorrelatedTime(PLONGLONG systemTime) override;
    LONGLONG STDMETHODCALLTYPE GetCorrelatedPhysicalTime(PLONGLONG systemTime) override;
    NTSTATUS STDMETHODCALLTYPE GetResolution(PKSRESOLUTION resolution) override;
    NTSTATUS STDMETHODCALLTYPE GetState(PKSSTATE state) override;

    HostPin* const pin;
    std::atomic<LONG> references{0};
};

struct HostPin {
    HostPin() { Register(&ks, Kind::Pin, this); }
    ~HostPin() { Unregister(&ks); }

    KSPIN ks{};
    ObjectBag bag{Kind::Pin, &ks};
    HostFilter* filter = nullptr;
    PFILE_OBJECT file = nullptr;
    // The copy of the client's format the pin was connected (or last changed) with.
    PKSDATAFORMAT format = nullptr;

    // Processing: one worker thread per pin runs the passes, one at a time.
    std::mutex work;
    std::condition_variable wake;  // a request, or the worker is to finish
    std::condition_variable idle;  // a pass ended
    bool requested = false;        // a pass is due
    bool running = false;          // a pass is in the driver's Process now
    bool finishing = false;        // the pin is closing: no pass starts any more
    std::thread worker;
    OwnedMutex processing;
    uint64_t passes = 0;

    // Frames queued by reads, oldest first; the first is where the leading edge points.
    std::mutex queueLock;
    std::deque<PIRP> queue;
    KSSTREAM_POINTER leading{};
    bool leadingLocked = false;

    // The reference clock: present once the client made the host's clock the master clock.
    std::atomic<bool> masterClock{false};
    HostClock clock{this};
};

// The pin's current descriptor: the driver may have replaced it with a copy (KsEdit).
inline const KSPIN_DESCRIPTOR_EX* DescriptorOf(HostPin* pin) {
    return pin->ks.Descriptor;
}

// ---- Formats (ks_pin_format.cpp) -----------------------------------------------------------
// Whether a connection format falls in a pin's data range by AVStream's connect rules.
bool FormatInRange(const KSDATAFORMAT& format, const KSDATARANGE& range);
// Offers the pin's ConnectionFormat to the driver range by range, as AVStream does at creation
// (oldFormat null) and on a format change. STATUS_NO_MATCH when no range is accepted.
NTSTATUS OfferFormat(HostPin* pin, PKSDATAFORMAT oldFormat);
// Copies a client's format into the pool; null when it cannot.
PKSDATAFORMAT CopyFormat(const KSDATAFORMAT* format, ULONG size);
const KSPROPERTY_SET& ConnectionPropertySet();

// ---- States (ks_pin_state.cpp) ---------------------------------------------------------------
// Walks the pin's state one step at a time to `target`, holding the control mutex. With
// `closing`, a refused step does not stop the walk: a handle that closes reaches STOP anyway.
NTSTATUS WalkToState(HostPin* pin, KSSTATE target, bool closing);
// Whether the pin's processing gate is open in its present state.
bool ProcessingGateOpen(HostPin* pin);

// ---- Processing (ks_process.cpp) -----------------------------------------------------------
void StartProcessing(HostPin* pin);
// Asks for a pass; no effect while the gate is closed. AVStream's own triggers (a frame
// arriving, the gate opening) are ignored for pins that initiate no processing.
void RequestProcessing(HostPin* pin, bool byAvStream);
// Waits until no pass runs and none can start, then ends the worker.
void FinishProcessing(HostPin* pin);

// ---- Streaming (ks_stream.cpp) -------------------------------------------------------------
NTSTATUS QueueRead(HostPin* pin, PIRP irp);
// Completes every queued frame with STATUS_CANCELLED, as the reset at STOP does.
void FlushFrames(HostPin* pin);
bool FramesQueued(HostPin* pin);

// ---- Clock (ks_clock.cpp) --------------------------------------------------------------------
const KSPROPERTY_SET& StreamPropertySet();
// A pin closes: every clock reference handed out must have come back.
void RequireClockReleased(HostPin* pin);

constexpr ULONG kPinPoolTag = PoolTag("KsPn");
constexpr ULONG kFormatPoolTag = PoolTag("KsFm");
constexpr ULONG kStreamHeaderPoolTag = PoolTag("KsSh");
constexpr ULONG kReadPoolTag = PoolTag("KsRd");

}  // namespace host::ks
