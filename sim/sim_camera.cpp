// The simulated camera's life: creation, the bus thread that sends frames and completes
// requests, the cancel routine of pending reads, and the controls tests use.
#include "sim/camera_state.h"

#include <algorithm>
#include <chrono>

#include "platform/host/host_control.h"
#include "sim/frame_source.h"

namespace sim {

int64_t Now() {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

int64_t NowNs() {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
}

namespace {

std::chrono::steady_clock::time_point TimePoint(int64_t hundreds) {
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(hundreds * 100)));
}

NTSTATUS NTAPI DispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
    return static_cast<Camera::State*>(device->DeviceExtension)->Dispatch(irp);
}

}  // namespace

// ---- Under the lock ------------------------------------------------------------------

DescriptorShape Camera::State::Shape() const {
    DescriptorShape shape;
    shape.twoPipes = Fault(Fault::TwoPipes);
    shape.interfaces0And2 = Fault(Fault::Interfaces0And2);
    shape.missingInterface = Fault(Fault::MissingInterface);
    shape.noInterface = Fault(Fault::NoInterface);
    return shape;
}

ULONG Camera::State::PortStatusLocked() const {
    if (unplugged || Fault(Fault::PortDisconnected))
        return 0;
    if (Fault(Fault::PortDisabled))
        return USBD_PORT_CONNECTED;
    return USBD_PORT_CONNECTED | USBD_PORT_ENABLED;
}

Pipe* Camera::State::FindPipe(USBD_PIPE_HANDLE handle) {
    if (!configured)
        return nullptr;
    for (int i = 0; i < pipeCount; ++i) {
        if (handle == &pipes[i])
            return &pipes[i];
    }
    return nullptr;
}

Pipe* Camera::State::FramePipe() {
    for (int i = 0; i < pipeCount; ++i) {
        if (pipes[i].interfacePosition == 0 && pipes[i].index == 2)
            return &pipes[i];
    }
    return nullptr;
}

size_t Camera::State::Record(const Transfer& transfer) {
    records.push_back(transfer);
    size_t record = recordBase + records.size() - 1;
    records.back().sequence = record + 1;
    records.back().submittedNs = NowNs();
    return record;
}

Transfer* Camera::State::RecordAt(size_t record) {
    return record >= recordBase ? &records[record - recordBase] : nullptr;
}

void Camera::State::Finish(size_t record, NTSTATUS status, USBD_STATUS usbdStatus, ULONG moved) {
    Transfer* t = RecordAt(record);
    if (!t)
        return;
    t->completed = true;
    t->completedNs = NowNs();
    t->status = status;
    t->usbdStatus = usbdStatus;
    t->moved = moved;
}

void Camera::State::StreamOff() {
    if (frameDue && options.paced)
        clock.Release(dueSlot);
    frameDue = false;
    frameActive = false;
    frameOffset = 0;
    framePipeSubmissions = 0;
    frameDrawn = false;
}

void Camera::State::Draw(sim::Fault f) {
    int i = int(f);
    if (faultModes[i] == FaultMode::kCount) {
        faults[i] = faultCounts[i] > 0;
        if (faultCounts[i] > 0)
            --faultCounts[i];
    } else if (faultModes[i] == FaultMode::kRandom) {
        faults[i] = std::uniform_real_distribution<double>(0.0, 1.0)(faultRandom) < faultOdds[i];
    }
}

void Camera::State::DrawFrameFaults() {
    if (frameDrawn)
        return;
    frameDrawn = true;
    // A disabled port stays disabled until a port reset, whatever this frame draws.
    bool disabled = Fault(Fault::PortDisabled);
    for (sim::Fault f : {Fault::NoFrame, Fault::ShortTransfer, Fault::ChunkError,
                         Fault::ChunkRefused, Fault::StalledPipe, Fault::PortDisabled}) {
        Draw(f);
    }
    faults[int(Fault::PortDisabled)] = faults[int(Fault::PortDisabled)] || disabled;
}

size_t Camera::State::PendingOn(const Pipe* pipe) const {
    size_t n = 0;
    for (const PendingRead& r : reads)
        n += !pipe || r.pipe == pipe;
    return n;
}

void Camera::State::Halt(const Pipe* pipe, std::vector<Completion>* out) {
    halted[pipe - pipes] = true;
    TakeReads(pipe, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED, out);
    if (pipe == FramePipe()) {
        frameDue = false;
        frameActive = false;
        frameDrawn = false;
    }
}

bool Camera::State::Chaos(unsigned in) {
    return options.chaos && chaosRandom() % in == 0;
}

void Camera::State::StreamOn() {
    DrawFrameFaults();
    if (Fault(Fault::NoFrame) || frameDue || frameActive)
        return;
    frameDue = true;
    if (options.paced) {
        dueTime = clock.NextSlot(Now(), &dueSlot);
    } else {
        dueTime = Now();
        dueSlot = framesSent;
    }
    if (!InlineFrames())
        WakeBus();
}

void Camera::State::TakeReads(const Pipe* pipe, NTSTATUS status, USBD_STATUS usbdStatus,
                              std::vector<Completion>* out) {
    for (auto it = reads.begin(); it != reads.end();) {
        if ((pipe && it->pipe != pipe) || it->cancelling) {
            ++it;
            continue;
        }
        if (!IoSetCancelRoutine(it->irp, nullptr)) {
            it->cancelling = true;
            ++it;
            continue;
        }
        it->urb->UrbHeader.Status = usbdStatus;
        it->urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        Finish(it->record, status, usbdStatus, 0);
        out->push_back(Completion{it->irp, status, it->record});
        it = reads.erase(it);
    }
}

void Camera::State::PendRead(PIRP irp, PURB urb, Pipe* pipe, PUCHAR buffer, size_t record,
                             std::vector<Completion>* out) {
    IoMarkIrpPending(irp);
    reads.push_back(PendingRead{irp, urb, pipe, buffer, record, false});
    IoSetCancelRoutine(irp, CancelPendingRead);
    // Cancelled before the routine was in place: IoCancelIrp found none, so it is ours to end.
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr)) {
        reads.pop_back();
        urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        Finish(record, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
        out->push_back(Completion{irp, STATUS_CANCELLED, record});
        return;
    }
    // Only a frame being sent has a use for a new read; the bus thread fills it.
    if (frameActive && pipe == FramePipe() && !InlineFrames())
        WakeBus();
}

size_t Camera::State::PendingReplyReads() const {
    size_t n = 0;
    for (const PendingRead& r : reads)
        n += r.pipe->interfacePosition == 0 && r.pipe->index == 1;
    return n;
}

void Camera::State::ApplyReply(PURB urb, PUCHAR buffer, size_t record, NTSTATUS* status,
                               USBD_STATUS* usbdStatus, ULONG* moved) {
    Reply reply = firmware.replies.front();
    firmware.replies.pop_front();
    auto& bulk = urb->UrbBulkOrInterruptTransfer;
    *status = STATUS_SUCCESS;
    *usbdStatus = USBD_STATUS_SUCCESS;
    *moved = 0;
    if (reply.lost) {
        *status = STATUS_UNSUCCESSFUL;
        *usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;
    } else {
        *moved = ULONG(std::min<size_t>(bulk.TransferBufferLength, reply.bytes.size()));
        memcpy(buffer, reply.bytes.data(), *moved);
        if (Transfer* t = RecordAt(record)) {
            t->bytes.assign(reply.bytes.begin(), reply.bytes.begin() + *moved);
        }
    }
    bulk.TransferBufferLength = *moved;
    urb->UrbHeader.Status = *usbdStatus;
}

void Camera::State::ServeReplies() {
    std::vector<Completion> out;
    for (;;) {
        auto it = reads.begin();
        while (it != reads.end() &&
               (it->pipe->interfacePosition != 0 || it->pipe->index != 1 || it->cancelling)) {
            ++it;
        }
        if (it == reads.end() || firmware.replies.empty())
            break;
        if (!IoSetCancelRoutine(it->irp, nullptr)) {
            it->cancelling = true;
            continue;
        }
        PendingRead r = *it;
        reads.erase(it);
        NTSTATUS status;
        USBD_STATUS usbd;
        ULONG moved;
        ApplyReply(r.urb, r.buffer, r.record, &status, &usbd, &moved);
        Finish(r.record, status, usbd, moved);
        out.push_back(Completion{r.irp, status, r.record});
        if (!NT_SUCCESS(status))
            Halt(r.pipe, &out);
    }
    if (!out.empty()) {
        completions.insert(completions.end(), out.begin(), out.end());
        WakeBus();
    }
}

void Camera::State::ServeFrameRead(const PendingRead& r, std::vector<Completion>* out) {
    auto& bulk = r.urb->UrbBulkOrInterruptTransfer;
    size_t left = frame.size() - frameOffset;
    size_t moved = std::min<size_t>(bulk.TransferBufferLength, left);
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    bool faultChunkRead = frameReads++ == faultChunk;
    bool error = faultChunkRead && Fault(Fault::ChunkError);
    bool stall = faultChunkRead && Fault(Fault::StalledPipe) &&
                 faultModes[int(Fault::StalledPipe)] != FaultMode::kForGood;
    if (error || stall) {
        // The data of this transfer is lost on the wire, and the endpoint halts.
        moved = 0;
        status = STATUS_UNSUCCESSFUL;
        usbd = error ? USBD_STATUS_XACT_ERROR : USBD_STATUS_STALL_PID;
    } else {
        if (faultChunkRead && Fault(Fault::ShortTransfer))
            moved = std::min<size_t>(bulk.TransferBufferLength / 2, left);
        int64_t start = options.timeWork ? NowNs() : 0;
        memcpy(r.buffer, frame.data() + frameOffset, moved);
        if (options.timeWork) {
            copyNs.fetch_add(NowNs() - start, std::memory_order_relaxed);
            copiedBytes.fetch_add(moved, std::memory_order_relaxed);
        }
        frameOffset += moved;
    }
    bulk.TransferBufferLength = ULONG(moved);
    r.urb->UrbHeader.Status = usbd;
    Finish(r.record, status, usbd, ULONG(moved));
    out->push_back(Completion{r.irp, status, r.record});
    if (error || stall) {
        Halt(r.pipe, out);
    } else if (frameOffset >= frame.size()) {
        frameActive = false;
        frameDrawn = false;
        ++framesSent;
    }
}

void Camera::State::FillFrameReads(std::vector<Completion>* out) {
    Pipe* framePipe = FramePipe();
    while (frameActive) {
        auto it = reads.begin();
        while (it != reads.end() && (it->pipe != framePipe || it->cancelling))
            ++it;
        if (it == reads.end())
            return;
        if (!IoSetCancelRoutine(it->irp, nullptr)) {
            it->cancelling = true;
            continue;
        }
        PendingRead r = *it;
        reads.erase(it);
        ServeFrameRead(r, out);
    }
}

// ---- Without the lock ------------------------------------------------------------------

void Camera::State::ChaosDelay() {
    if (!options.chaos)
        return;
    thread_local std::minstd_rand random(options.chaosSeed);
    unsigned microseconds = random() % 200;
    if (microseconds < 150)
        return;  // most calls go straight through; a few are held up
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds - 150) * 4);
}

NTSTATUS Camera::State::CompleteNow(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    KIRQL old = host::RaiseIrqlToDispatch();
    ChaosDelay();
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    host::LowerIrql(old);
    return status;
}

void Camera::State::CompleteAll(std::vector<Completion>* completions) {
    for (const Completion& c : *completions)
        CompleteNow(c.irp, c.status);
    completions->clear();
}

void Camera::State::BeginFrame(std::unique_lock<std::mutex>& g) {
    FrameSettings settings;
    settings.time = options.moving ? double(dueSlot) * double(kFramePeriod) / 1e7 : 0.0;
    settings.exposure = firmware.sensor[kExposureRegister];
    settings.gain = firmware.sensor[kGainRegister];
    settings.noise = options.noise;
    settings.noiseSeed = options.noiseSeed;
    settings.frameIndex = dueSlot;
    uint64_t slot = dueSlot;
    // A still scene at unchanged brightness is rendered once and sent again as it is.
    uint32_t key = uint32_t(settings.exposure) << 16 | settings.gain;
    bool still = !options.moving && !options.noise;
    bool reuse = still && key == stillKey;
    if (!reuse) {
        g.unlock();
        RenderRawFrame(scene, settings, &renderBuffer);
        if (still) {
            stillFrame = renderBuffer;
            stillKey = key;
        }
        g.lock();
    }
    if (frameDue && dueSlot == slot) {
        frameDue = false;
        frameActive = true;
        if (reuse) {
            // Nothing writes into a frame while it is sent, so the last one may still be it.
            if (frameKey != key)
                frame.assign(stillFrame.begin(), stillFrame.end());
        } else {
            frame.swap(renderBuffer);
        }
        frameKey = still ? key : 0xFFFFFFFF;
        frameOffset = 0;
        frameReads = 0;
    }
}

void Camera::State::BusThread() {
    std::unique_lock<std::mutex> g(lock);
    std::vector<Completion> batch;  // kept, so its storage is too
    bool inlineFrames = InlineFrames();
    while (!stopping) {
        if (!inlineFrames && frameDue && (!options.paced || Now() >= dueTime))
            BeginFrame(g);
        // Only now: BeginFrame lets go of the lock while it renders, and a completion queued
        // meanwhile must not wait for a wake-up that was already given.
        batch.assign(completions.begin(), completions.end());
        completions.clear();
        if (frameActive && !inlineFrames)
            FillFrameReads(&batch);
        if (!batch.empty()) {
            g.unlock();
            CompleteAll(&batch);
            g.lock();
            continue;
        }
        if (stopping)
            break;
        if (frameDue && options.paced) {
            wake.wait_until(g, TimePoint(dueTime));
        } else if (!frameDue || inlineFrames) {
            wake.wait(g);
        }
    }
}

VOID NTAPI CancelPendingRead(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* state = static_cast<Camera::State*>(device->DeviceExtension);
    std::vector<Completion> out;
    bool later = false;
    {
        std::lock_guard<std::mutex> g(state->lock);
        auto it = state->reads.begin();
        while (it != state->reads.end() && it->irp != irp)
            ++it;
        if (it == state->reads.end())
            host::BugCheck("simulated camera: a cancelled read is not queued");
        PendingRead r = *it;
        state->reads.erase(it);
        ++state->cancelsRunning;
        if (r.pipe == state->FramePipe() && state->frameActive && state->Chaos(3)) {
            // The data was on its way when the cancel came: the read completes with it.
            state->ServeFrameRead(r, &out);
        } else {
            r.urb->UrbHeader.Status = USBD_STATUS_CANCELED;
            r.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
            state->Finish(r.record, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
            out.push_back(Completion{irp, STATUS_CANCELLED, r.record});
        }
        if (!state->stopping && state->Chaos(2)) {
            state->completions.insert(state->completions.end(), out.begin(), out.end());
            state->WakeBus();
            later = true;
        }
    }
    if (later) {
        state->wake.notify_all();
    } else {
        state->CompleteAll(&out);
    }
    std::lock_guard<std::mutex> g(state->lock);
    --state->cancelsRunning;
}

// ---- The public face -----------------------------------------------------------------

std::unique_ptr<Camera> Camera::Create(const CameraOptions& options, std::string* error) {
    auto state = std::make_unique<State>();
    if (!LoadScene(options.scene, &state->scene, error))
        return nullptr;
    state->options = options;
    state->driver.Type = 4;  // IO_TYPE_DRIVER
    state->driver.Size = sizeof(DRIVER_OBJECT);
    state->driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
    state->device.Type = 3;  // IO_TYPE_DEVICE
    state->device.Size = sizeof(DEVICE_OBJECT);
    state->device.DriverObject = &state->driver;
    state->device.StackSize = 1;
    state->device.DeviceExtension = state.get();
    state->driver.DeviceObject = &state->device;
    state->clock = FrameClock(Now(), kFramePeriod);
    state->chaosRandom.seed(options.chaosSeed);
    State* raw = state.get();
    state->bus = std::thread([raw] { raw->BusThread(); });
    return std::unique_ptr<Camera>(new Camera(std::move(state)));
}

Camera::Camera(std::unique_ptr<State> state) : state_(std::move(state)) {}

Camera::~Camera() {
    State& s = *state_;
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.stopping = true;
    }
    s.wake.notify_all();
    s.bus.join();
    // Surprise removal: what is still pending in the camera ends now.
    std::vector<Completion> rest;
    {
        std::lock_guard<std::mutex> g(s.lock);
        rest.assign(s.completions.begin(), s.completions.end());
        s.completions.clear();
        s.TakeReads(nullptr, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, &rest);
    }
    s.CompleteAll(&rest);
    // Reads whose cancel routine is running still need the camera until it is done.
    for (;;) {
        {
            std::lock_guard<std::mutex> g(s.lock);
            if (s.reads.empty() && s.cancelsRunning == 0 && s.completions.empty())
                break;
            rest.assign(s.completions.begin(), s.completions.end());
            s.completions.clear();
        }
        s.CompleteAll(&rest);
        std::this_thread::yield();
    }
}

PDEVICE_OBJECT Camera::DeviceObject() {
    return &state_->device;
}

void Camera::SetFault(sim::Fault fault, bool on) {
    int i = int(fault);
    if (i < 0 || i >= kFaultCount)
        return;
    State& s = *state_;
    std::vector<Completion> ended;
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.faults[i] = on;
        s.faultModes[i] = FaultMode::kForGood;
        if (fault == Fault::NoFrame && on)
            s.frameDue = false;
        if (fault == Fault::StalledPipe && on && s.FramePipe())
            s.Halt(s.FramePipe(), &ended);
        // A disconnect fails what is pending at once.
        if (fault == Fault::PortDisconnected && on) {
            s.TakeReads(nullptr, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, &ended);
            s.StreamOff();
        }
    }
    s.CompleteAll(&ended);
}

void Camera::SetTransientFault(sim::Fault fault, unsigned count) {
    int i = int(fault);
    if (i < 0 || i >= kFaultCount || !FaultCanBeTransient(fault))
        return;
    std::lock_guard<std::mutex> g(state_->lock);
    state_->faultModes[i] = FaultMode::kCount;
    state_->faultCounts[i] = count;
}

void Camera::SetFaultProbability(sim::Fault fault, double probability, uint32_t seed) {
    int i = int(fault);
    if (i < 0 || i >= kFaultCount || !FaultCanBeTransient(fault))
        return;
    std::lock_guard<std::mutex> g(state_->lock);
    state_->faultModes[i] = FaultMode::kRandom;
    state_->faultOdds[i] = std::clamp(probability, 0.0, 1.0);
    state_->faultRandom.seed(seed);
}

void Camera::ApplyFault(const FaultSetting& setting, uint32_t seed) {
    if (setting.count > 0) {
        SetTransientFault(setting.fault, setting.count);
    } else if (setting.probability >= 0) {
        SetFaultProbability(setting.fault, setting.probability, seed);
    } else {
        SetFault(setting.fault);
    }
}

bool Camera::FaultActive(sim::Fault fault) const {
    int i = int(fault);
    std::lock_guard<std::mutex> g(state_->lock);
    return i >= 0 && i < kFaultCount && state_->faults[i];
}

void Camera::ClearFaults() {
    std::lock_guard<std::mutex> g(state_->lock);
    for (int i = 0; i < kFaultCount; ++i) {
        state_->faults[i] = false;
        state_->faultModes[i] = FaultMode::kForGood;
    }
}

void Camera::Unplug() {
    State& s = *state_;
    std::vector<Completion> ended;
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.unplugged = true;
        s.TakeReads(nullptr, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE, &ended);
        s.StreamOff();
    }
    s.CompleteAll(&ended);
}

bool Camera::Unplugged() const {
    std::lock_guard<std::mutex> g(state_->lock);
    return state_->unplugged;
}

void Camera::SetFaultChunk(unsigned index) {
    std::lock_guard<std::mutex> g(state_->lock);
    state_->faultChunk = index;
}

uint16_t Camera::SensorRegister(unsigned number) const {
    std::lock_guard<std::mutex> g(state_->lock);
    return number < kSensorRegisterCount ? state_->firmware.sensor[number] : 0;
}

uint8_t Camera::ControlRegister(unsigned number) const {
    std::lock_guard<std::mutex> g(state_->lock);
    return number < kControlRegisterCount ? state_->firmware.control[number] : 0;
}

void Camera::SetControlRegister(unsigned number, uint8_t value) {
    std::lock_guard<std::mutex> g(state_->lock);
    if (number < kControlRegisterCount)
        state_->firmware.control[number] = value;
}

uint8_t Camera::MemoryByte(uint16_t address) const {
    std::lock_guard<std::mutex> g(state_->lock);
    return state_->firmware.memory[address];
}

void Camera::SetMemoryByte(uint16_t address, uint8_t value) {
    std::lock_guard<std::mutex> g(state_->lock);
    state_->firmware.memory[address] = value;
}

std::vector<uint8_t> Camera::LastRawCommand() const {
    std::lock_guard<std::mutex> g(state_->lock);
    return state_->firmware.lastRawCommand;
}

uint64_t Camera::CommandCount(uint8_t code) const {
    std::lock_guard<std::mutex> g(state_->lock);
    return state_->firmware.commandCounts[code];
}

bool Camera::StartedUp() const {
    std::lock_guard<std::mutex> g(state_->lock);
    return state_->firmware.startedUp;
}

bool Camera::Streaming() const {
    std::lock_guard<std::mutex> g(state_->lock);
    return state_->frameDue || state_->frameActive;
}

bool Camera::Configured() const {
    std::lock_guard<std::mutex> g(state_->lock);
    return state_->configured;
}

ULONG Camera::PortStatus() const {
    std::lock_guard<std::mutex> g(state_->lock);
    return state_->PortStatusLocked();
}

size_t Camera::PendingReads(int pipe) const {
    std::lock_guard<std::mutex> g(state_->lock);
    size_t n = 0;
    for (const PendingRead& r : state_->reads) {
        n += r.pipe->interfacePosition == 0 && r.pipe->index == pipe;
    }
    return n;
}

uint64_t Camera::FramesSent() const {
    std::lock_guard<std::mutex> g(state_->lock);
    return state_->framesSent;
}

WorkCounters Camera::Work() const {
    WorkCounters work;
    work.requestNs = state_->requestNs.load(std::memory_order_relaxed);
    work.requests = state_->requestCount.load(std::memory_order_relaxed);
    work.copyNs = state_->copyNs.load(std::memory_order_relaxed);
    work.copiedBytes = state_->copiedBytes.load(std::memory_order_relaxed);
    return work;
}

std::vector<uint8_t> Camera::LastFrame() const {
    std::lock_guard<std::mutex> g(state_->lock);
    return state_->frame;
}

std::vector<Transfer> Camera::Transfers() const {
    std::lock_guard<std::mutex> g(state_->lock);
    return state_->records;
}

void Camera::ClearTransfers() {
    std::lock_guard<std::mutex> g(state_->lock);
    state_->recordBase += state_->records.size();
    state_->records.clear();
}

}  // namespace sim
