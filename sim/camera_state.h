// The simulated camera's state behind sim::Camera, shared by its lifecycle and bus thread
// (sim_camera.cpp) and its request handling (sim_requests.cpp).
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "sim/descriptors.h"
#include "sim/firmware.h"
#include "sim/scene.h"
#include "sim/sim_camera.h"

namespace sim {

constexpr int kMaxPipes = 8;

// How a fault is switched on.
enum class FaultMode { kForGood, kCount, kRandom };

// One pipe of the selected configuration; its address is its handle.
struct Pipe {
    int interfaceNumber = -1;
    int index = -1;              // within its interface
    int interfacePosition = -1;  // 0 for the first interface of the configuration
    UCHAR endpointAddress = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    USHORT maximumPacketSize = 0;
    UCHAR interval = 0;
};

// An IN transfer waiting in the camera for data.
struct PendingRead {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Pipe* pipe = nullptr;
    PUCHAR buffer = nullptr;
    size_t record = 0;
    bool cancelling = false;  // its cancel routine has been taken and will complete it
};

// A request whose outcome is decided, waiting for the bus thread to complete it.
struct Completion {
    PIRP irp = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    size_t record = 0;
};

struct Camera::State {
    CameraOptions options;
    Scene scene;
    DRIVER_OBJECT driver{};
    DEVICE_OBJECT device{};

    mutable std::mutex lock;
    std::condition_variable wake;
    std::thread bus;
    bool stopping = false;
    // The bus thread has something new to do. Set under `lock`; whoever releases the lock
    // then notifies `wake`, so the bus thread does not wake only to block on the lock.
    bool wakePending = false;

    Firmware firmware;
    bool faults[kFaultCount] = {};  // on for the current occurrence
    FaultMode faultModes[kFaultCount] = {};
    unsigned faultCounts[kFaultCount] = {};  // occurrences left, kCount
    double faultOdds[kFaultCount] = {};      // kRandom
    std::mt19937 faultRandom{1};
    bool frameDrawn = false;  // the frame faults of the frame in hand were drawn
    unsigned faultChunk = 2;
    bool unplugged = false;
    int cancelsRunning = 0;       // cancel routines past the point where their read left `reads`
    bool halted[kMaxPipes] = {};  // by index into `pipes`

    // With options.chaos, under `lock`.
    std::minstd_rand chaosRandom{1};

    // Configuration.
    bool configured = false;
    Pipe pipes[kMaxPipes];
    int pipeCount = 0;
    int configurationHandle = 0;  // addresses serve as handles
    int interfaceHandles[2] = {};

    // Frames.
    FrameClock clock{0, kFramePeriod};
    bool frameDue = false;  // stream on arrived; the frame starts at dueTime
    int64_t dueTime = 0;
    uint64_t dueSlot = 0;
    bool frameActive = false;  // the frame is being sent
    std::vector<uint8_t> frame;
    size_t frameOffset = 0;
    unsigned frameReads = 0;            // frame-pipe reads served in this frame
    unsigned framePipeSubmissions = 0;  // frame-pipe reads submitted since the last stream off
    uint64_t framesSent = 0;
    std::vector<uint8_t> lastFrame;
    // Owned by the bus thread: where frames are rendered, and a still scene's frame, kept
    // while its brightness stays the same.
    std::vector<uint8_t> renderBuffer;
    std::vector<uint8_t> stillFrame;
    uint32_t stillKey = 0xFFFFFFFF;
    uint32_t frameKey = 0xFFFFFFFF;  // the still frame `frame` holds already, if any

    // WorkCounters, with options.timeWork.
    std::atomic<int64_t> requestNs{0};
    std::atomic<uint64_t> requestCount{0};
    std::atomic<int64_t> copyNs{0};
    std::atomic<uint64_t> copiedBytes{0};

    std::deque<PendingRead> reads;
    std::deque<Completion> completions;
    std::vector<Transfer> records;
    size_t recordBase = 0;  // records cleared so far; record numbers stay absolute

    // ---- under `lock` ----
    bool Fault(sim::Fault f) const { return faults[int(f)]; }
    // The next occurrence of a transient fault: decides whether it has the fault.
    void Draw(sim::Fault f);
    // The frame faults of a frame, once per frame.
    void DrawFrameFaults();
    bool Halted(const Pipe* pipe) const { return halted[pipe - pipes]; }
    // A transfer error on `pipe`: it halts, and its queued reads fail into `out`.
    void Halt(const Pipe* pipe, std::vector<Completion>* out);
    size_t PendingOn(const Pipe* pipe) const;  // all pipes if null
    // A chaos coin that comes up true once in `in`; false without chaos.
    bool Chaos(unsigned in);
    // A frame read filled from the frame being sent (its fault chunk gets the chunk faults).
    // Ends the frame when its last byte went out.
    void ServeFrameRead(const PendingRead& read, std::vector<Completion>* out);
    // Frames are sent by the requests that make them due, not by the bus thread.
    bool InlineFrames() const { return options.inlineFrames && !options.paced; }
    void WakeBus() { wakePending = true; }
    bool TakeWake() {
        bool pending = wakePending;
        wakePending = false;
        return pending;
    }
    // Makes the due frame the one being sent: renders it (unlocking `g` meanwhile) unless a
    // still scene's frame at the same brightness is already at hand.
    void BeginFrame(std::unique_lock<std::mutex>& g);
    DescriptorShape Shape() const;
    ULONG PortStatusLocked() const;
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);
    Pipe* FramePipe();
    size_t Record(const Transfer& transfer);
    Transfer* RecordAt(size_t record);  // null once cleared
    void Finish(size_t record, NTSTATUS status, USBD_STATUS usbdStatus, ULONG moved);
    void StreamOff();
    void StreamOn();
    // Hands queued replies to waiting reply-pipe reads.
    void ServeReplies();
    size_t PendingReplyReads() const;
    // Gives the next queued reply to a reply-pipe read.
    void ApplyReply(PURB urb, PUCHAR buffer, size_t record, NTSTATUS* status,
                    USBD_STATUS* usbdStatus, ULONG* moved);
    // Ends the pending reads of `pipe` (all pipes if null) with `status`, into `out`, except
    // those whose cancel routine is already running: that routine completes them.
    void TakeReads(const Pipe* pipe, NTSTATUS status, USBD_STATUS usbdStatus,
                   std::vector<Completion>* out);
    void FillFrameReads(std::vector<Completion>* out);

    // Parks an IN transfer until data comes, cancellable.
    void PendRead(PIRP irp, PURB urb, Pipe* pipe, PUCHAR buffer, size_t record,
                  std::vector<Completion>* out);

    // ---- without `lock` ----
    NTSTATUS Dispatch(PIRP irp);
    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    void BusThread();
    // Every completion runs at DISPATCH_LEVEL, after a chaos delay.
    void CompleteAll(std::vector<Completion>* completions);
    NTSTATUS CompleteNow(PIRP irp, NTSTATUS status);
    // A random small delay with chaos, inside completions and host calls.
    void ChaosDelay();
};

// The cancel routine of every read pending in the camera.
VOID NTAPI CancelPendingRead(PDEVICE_OBJECT device, PIRP irp);

// Now, in 100-ns units of the steady clock.
int64_t Now();
// Now, in nanoseconds of the steady clock, for WorkCounters.
int64_t NowNs();

}  // namespace sim
