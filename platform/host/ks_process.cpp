// Pin-centric processing: every pin has a worker thread that calls the driver's Process at
// PASSIVE_LEVEL with the pin's processing mutex held, one pass at a time. Requests merge: any
// number of them during a pass make exactly one more pass. State changes do not take the
// processing mutex, so a pass may run while SetDeviceState does, as on Windows.
#include <cstdio>

#include "platform/host/ks_pin_objects.h"
#include "platform/host/sync_internal.h"

namespace host::ks {
namespace {

thread_local int processingMutexesHeld = 0;

HostPin* FromKs(PKSPIN pin, const char* what) {
    HostPin* host = FindPin(pin);
    if (!host) {
        static thread_local char message[160];
        snprintf(message, sizeof(message), "%s of something that is not a live pin", what);
        BugCheck(message);
    }
    return host;
}

void AcquireProcessing(HostPin* pin) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("processing mutex acquired above PASSIVE_LEVEL");
    if (pin->processing.HeldByCaller())
        BugCheck("processing mutex acquired twice by the same thread");
    pin->processing.lock.lock();
    pin->processing.owner = std::this_thread::get_id();
    ++processingMutexesHeld;
}

void ReleaseProcessing(HostPin* pin) {
    if (!pin->processing.HeldByCaller())
        BugCheck("processing mutex released by a thread that does not hold it");
    pin->processing.owner = std::thread::id{};
    pin->processing.lock.unlock();
    --processingMutexesHeld;
}

void Worker(HostPin* pin) {
    std::unique_lock<std::mutex> lock(pin->work);
    for (;;) {
        pin->wake.wait(lock, [pin] { return pin->finishing || pin->requested; });
        if (pin->finishing)
            break;
        pin->requested = false;
        // The gate may have closed since the request: a closed gate drops it.
        if (!ProcessingGateOpen(pin))
            continue;
        PFNKSPIN process =
            DescriptorOf(pin)->Dispatch ? DescriptorOf(pin)->Dispatch->Process : nullptr;
        if (!process)
            continue;
        pin->running = true;
        lock.unlock();
        AcquireProcessing(pin);
        CallbackState entry = CurrentCallbackState();
        NTSTATUS status = process(&pin->ks);
        RequireCallbackReturn(entry, "IRQL_UNEXPECTED_VALUE", "the pin's Process");
        if (ControlMutexesHeld() > 0)
            BugCheck("Process returned holding a control mutex");
        ReleaseProcessing(pin);
        // STATUS_SUCCESS asks to go on while frames wait at the leading edge; STATUS_PENDING
        // (or an error) waits for the next trigger.
        bool more = status == STATUS_SUCCESS && FramesQueued(pin);
        lock.lock();
        pin->running = false;
        ++pin->passes;
        if (more && ProcessingGateOpen(pin))
            pin->requested = true;
        pin->idle.notify_all();
    }
}

}  // namespace

int ProcessingMutexesHeld() {
    return processingMutexesHeld;
}

void StartProcessing(HostPin* pin) {
    pin->worker = std::thread(Worker, pin);
}

void RequestProcessing(HostPin* pin, bool byAvStream) {
    if (byAvStream && (DescriptorOf(pin)->Flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING))
        return;
    std::lock_guard<std::mutex> g(pin->work);
    if (pin->finishing || !ProcessingGateOpen(pin))
        return;
    pin->requested = true;
    pin->wake.notify_all();
}

void FinishProcessing(HostPin* pin) {
    if (!pin->worker.joinable())
        return;
    if (pin->worker.get_id() == std::this_thread::get_id())
        BugCheck("a pin closed from its own Process");
    {
        std::lock_guard<std::mutex> g(pin->work);
        pin->finishing = true;
        pin->requested = false;
        pin->wake.notify_all();
    }
    pin->worker.join();
}

}  // namespace host::ks

extern "C" {

void NTAPI KsPinAttemptProcessing(PKSPIN pin, BOOLEAN) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        host::BugCheck("KsPinAttemptProcessing above DISPATCH_LEVEL");
    // Synchronous or not, the pass runs on the pin's worker: a caller may never count on
    // Process having run, or not run, by the time this returns.
    host::ks::RequestProcessing(host::ks::FromKs(pin, "KsPinAttemptProcessing"), false);
}

void NTAPI KsPinAcquireProcessingMutex(PKSPIN pin) {
    host::ks::HostPin* host = host::ks::FromKs(pin, "KsPinAcquireProcessingMutex");
    host::ks::AcquireProcessing(host);
}

void NTAPI KsPinReleaseProcessingMutex(PKSPIN pin) {
    host::ks::HostPin* host = host::ks::FromKs(pin, "KsPinReleaseProcessingMutex");
    host::ks::ReleaseProcessing(host);
}

}  // extern "C"
