// The simulated camera: a device object that sits below the driver and answers its internal
// device-control requests as the USB bus driver and the camera's firmware would.
//
//   std::string error;
//   auto camera = sim::Camera::Create(sim::CameraOptions(), &error);
//   PKSDEVICE device;
//   host::AddDevice(camera->DeviceObject(), &device);
//   ... the driver configures the camera, sends commands, reads frames ...
//   for (const sim::Transfer& t : camera->Transfers()) ...   // every request that crossed
//
// The camera, as the driver sees it:
// - Device descriptor of 18 bytes; one configuration whose first interface has three bulk
//   endpoints: pipe 0 OUT 0x01 (64-byte command packets), pipe 1 IN 0x82 (64-byte replies),
//   pipe 2 IN 0x86 (raw frames). Descriptor requests move min(asked, descriptor) bytes.
// - Firmware: every 64-byte packet on pipe 0 is one command, byte 0 its code, numbers high
//   byte first. Queries (0x26 read control register, 0x29 trigger status, 0x41 read memory
//   byte) queue two 64-byte replies for pipe 1: the first echoes the command packet as an
//   acknowledgement, the second carries the answer in byte 0 (the rest zero). A new query
//   drops replies not yet read. A packet shorter than 64 bytes is not a command and is
//   ignored. Commands:
//     0x02 stream off: any frame not yet sent is dropped.
//     0x03 stream on: one frame is sent at the next frame slot, into the queued pipe 2
//          reads in order (each read gets min(asked, left) bytes), then the camera waits for
//          the next 0x03. Reads with nothing to fill stay pending, as USB bulk reads do.
//     0x04 sensor register write (16-bit register, 16-bit value; 1024 registers, numbers
//          from 1024 up are accepted and dropped).
//     0x06 reset: sensor and control registers to their power-on values, stream off.
//     0x0A start-up (byte 1 = 1).
//     0x25 control register write, 0x26 control register read (256 8-bit registers).
//     0x29 trigger status: bit 4 of the answer is bit 0 of control register 11.
//     0x40 raw command: bytes 1..63 are kept (LastRawCommand).
//     0x41 memory byte read: bytes 1..3 must be 51 02 01; 64 KiB of memory addressed by
//          bytes 4..5. With other bytes 1..3 the packet is ignored.
//   Writing control register 6 with bit 0 set resets the sensor registers.
// - Frame: 325632 bytes: 656 x 494 RGGB samples, row after row (324064 bytes), then 1568
//   padding bytes of 0. Each sample is the scene's light times Exposure x Gain, mapped
//   0.0..1.0 to 0..255 and clipped, where Exposure = sensor register 0x9A / 524 (a full
//   frame time of 524 rows) and Gain = 1 + sensor register 4 / 128. The light a sample reads
//   mixes the scene's three colours as a colour sensor's crosstalk does, by the mix the
//   driver's default colour correction undoes (sim/scene.h). Optional noise.
// - Frames are paced by an absolute-deadline clock: slot k starts at start + k x 333333 x
//   100 ns; a stream-on waits for the first slot not yet used. Unpaced, a frame starts at
//   once.
// - The bus, as a real host controller runs it. Transfers that reach the camera pend
//   (STATUS_PENDING) and are completed by the camera's own bus thread; requests the bus
//   driver refuses (bad pipe handle, halted pipe, dead port, a refused chunk) complete inside
//   IofCallDriver with the failure. Every completion runs at DISPATCH_LEVEL: those inside
//   IofCallDriver, aborted, cancelled, reset and disconnected requests included. With
//   `synchronousCompletion`, pipe 0/1 and control requests also complete inside IofCallDriver;
//   frame reads always pend. Pending pipe 1 and pipe 2 reads are cancellable (IoCancelIrp)
//   and are ended by an abort-pipe request.
// - A transfer error (a lost reply, a chunk error, a stall) halts its endpoint: every read
//   queued on it fails at once, and every later transfer on it is refused, with
//   USBD_STATUS_ENDPOINT_HALTED, until a reset-pipe request. A reset-pipe request while
//   transfers are pending on that pipe, and a port reset while any are pending, are refused
//   (STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_BUSY). A halted frame pipe drops the frame being
//   sent; the camera starts a new one at the next stream on.
// - Unplug(): the camera is gone for good: the reads pending in it fail at once, and every
//   later request fails inside IofCallDriver, with STATUS_NO_SUCH_DEVICE
//   (USBD_STATUS_DEVICE_GONE); the port status reads 0.
// - With `chaos` (seeded by `chaosSeed`) the bus misbehaves within its rules, as real ones do
//   under load: random small delays inside completions and host calls, a cancelled read that
//   completes later on the bus thread or with the frame's data that was already on its way,
//   and an abort that completes before the reads it ends.
// - With `inlineFrames` (unpaced only) no bus thread sends frames: the request that starts a
//   frame (the stream on) or that queues a read while a frame is being sent fills the queued
//   frame reads before its IofCallDriver returns, in the caller's thread, and completes them
//   there at DISPATCH_LEVEL after the request itself. All the camera's work then happens in
//   the driver's thread, where it can be measured apart from the driver's (WorkCounters).
//
// Faults are switched on for good (SetFault), for a number of occurrences
// (SetTransientFault) or at random, each occurrence with a probability (SetFaultProbability,
// seeded, so a run repeats). An occurrence is one frame for the frame faults (no-frame,
// short-transfer, chunk-error, chunk-refused, stalled-pipe, port-disabled): the camera draws
// them when a frame's first read arrives or its stream on, whichever comes first; one query
// for lost-reply and short-reply; one command packet for short-send. The other faults shape
// the descriptors or the port and are on or off only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/wdk.h"

// What requests to an unplugged camera fail with; the driver itself never names it.
#ifndef STATUS_NO_SUCH_DEVICE
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#endif

namespace sim {

constexpr uint32_t kFrameWidth = 656;
constexpr uint32_t kFrameHeight = 494;
constexpr uint32_t kFrameSamples = kFrameWidth * kFrameHeight;  // 324064
constexpr uint32_t kFrameBytes = 325632;
constexpr uint32_t kPacketSize = 64;
constexpr int64_t kFramePeriod = 333333;  // 100-ns units: 30 frames per second
constexpr unsigned kSensorRegisterCount = 1024;
constexpr unsigned kControlRegisterCount = 256;
constexpr uint8_t kExposureRegister = 0x9A;
constexpr uint8_t kGainRegister = 4;

// What can go wrong, each switched on and off independently. Names (FaultName) are those
// of the `--fault NAME` command-line option.
enum class Fault : int {
    NoFrame,                // "no-frame": stream on sends nothing; frame reads pend until cancelled
    ShortTransfer,          // "short-transfer": the fault chunk ends short (a short packet) after
                            //   half its length; the frame's data carries on into the next reads
    ChunkError,             // "chunk-error": the fault chunk completes with STATUS_UNSUCCESSFUL
                            //   (USBD_STATUS_XACT_ERROR), 0 bytes; its data is lost
    ChunkRefused,           // "chunk-refused": the fault chunk is refused at submission:
                            //   IofCallDriver returns STATUS_UNSUCCESSFUL (USBD_STATUS_ERROR_BUSY)
    LostReply,              // "lost-reply": the second reply of a query never comes; that read
                            //   fails with STATUS_UNSUCCESSFUL (USBD_STATUS_DEV_NOT_RESPONDING)
    ShortReply,             // "short-reply": the second reply of a query is 16 bytes long
    ShortSend,              // "short-send": command packets move 32 of their 64 bytes (success
                            //   status) and the firmware ignores them
    StalledPipe,            // "stalled-pipe": on for good, the frame pipe halts now; reads on it
                            //   are refused at submission (USBD_STATUS_ENDPOINT_HALTED) until a
                            //   reset-pipe request, which clears the fault. Transient: the fault
                            //   chunk is stalled (USBD_STATUS_STALL_PID) and the pipe halts
    PortDisconnected,       // "port-disconnected": port status 0; every request fails at
                            //   submission with STATUS_DEVICE_NOT_CONNECTED; port reset fails
    PortDisabled,           // "port-disabled": port status connected but not enabled; transfers
                            //   and pipe resets fail at submission (STATUS_UNSUCCESSFUL,
                            //   USBD_STATUS_DEV_NOT_RESPONDING) until a port reset, which clears it
    TwoPipes,               // "two-pipes": the interface has only pipes 0 and 1
    Interfaces0And2,        // "interfaces-0-2": two interfaces, numbered 0 and 2 (interface 2 has
                            //   one interrupt IN endpoint 0x83)
    MissingInterface,       // "missing-interface": the configuration declares two interfaces but
                            //   holds only interface 0
    NoInterface,            // "no-interface": the configuration declares and holds no interface
    DeviceDescriptorError,  // "device-descriptor-error": the device descriptor request fails
                            //   (STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID)
};
constexpr int kFaultCount = 15;

const char* FaultName(Fault fault);
// Accepts the names above; false for anything else.
bool FaultFromName(const std::string& name, Fault* fault);
// Whether the fault can be transient (see the header comment).
bool FaultCanBeTransient(Fault fault);

// A fault as the `--fault` option gives it: NAME (on for good), NAME:COUNT (the next COUNT
// occurrences, COUNT >= 1) or NAME@PROBABILITY (each occurrence, PROBABILITY in [0, 1]).
struct FaultSetting {
    Fault fault = Fault::NoFrame;
    unsigned count = 0;       // NAME:COUNT
    double probability = -1;  // NAME@PROBABILITY; negative when not given
};
// False with the reason for anything else, a transient form of a fault that cannot be
// transient included.
bool ParseFaultSetting(const std::string& text, FaultSetting* setting, std::string* error);

struct CameraOptions {
    std::string scene = "bars";  // a built-in scene name or a .png path (sim/scene.h)
    bool paced = true;           // 30 frames per second; false: frames as fast as read
    bool moving = true;          // false: every frame shows the scene at time 0, rendered
                                 //   once per brightness (cheap frames for benchmarks)
    bool noise = false;          // sensor noise on every sample
    uint32_t noiseSeed = 1;
    bool synchronousCompletion = false;  // see the header comment
    bool inlineFrames = false;           // see the header comment; ignored when paced
    bool timeWork = false;               // keep WorkCounters' times
    bool chaos = false;                  // see the header comment
    uint32_t chaosSeed = 1;
};

// What the camera itself spent, with `timeWork`: nanoseconds of the steady clock.
struct WorkCounters {
    // Inside IofCallDriver, from the call until the camera hands completions back to the I/O
    // manager: the bus driver's and the firmware's decisions, the recorder, frame rendering
    // and inline frame delivery. The completions themselves (the I/O manager's work and the
    // driver's completion routines) are not counted.
    int64_t requestNs = 0;
    uint64_t requests = 0;
    // Copying frame bytes into frame reads, on whichever thread sends the frame.
    int64_t copyNs = 0;
    uint64_t copiedBytes = 0;
};

// One request that crossed to the camera, as a USB monitor would show it. Recorded when it
// is submitted, completed in place when it completes.
struct Transfer {
    uint64_t sequence = 0;      // submission order, from 1
    ULONG ioControlCode = 0;    // IOCTL_INTERNAL_USB_SUBMIT_URB, _GET_PORT_STATUS, ...
    USHORT function = 0;        // URB function (SUBMIT_URB only)
    USHORT urbLength = 0;       // the URB header's Length
    int interfaceNumber = -1;   // the pipe's interface, -1 when no pipe is named
    int pipe = -1;              // the pipe's index in its interface, -1 when no pipe is named
    UCHAR endpointAddress = 0;  // the pipe's endpoint (bit 7: IN), 0 when no pipe is named
    bool in = false;            // device to host (from the endpoint, or the descriptor request)
    ULONG transferFlags = 0;    // as the URB gave them
    ULONG asked = 0;            // TransferBufferLength as submitted
    ULONG moved = 0;            // bytes moved (TransferBufferLength at completion)
    UCHAR descriptorType = 0;   // GET_DESCRIPTOR requests
    UCHAR descriptorIndex = 0;
    ULONG portStatus = 0;      // GET_PORT_STATUS: the status word returned
    bool completed = false;    // false while the request pends in the camera
    int64_t submittedNs = 0;   // steady clock: when the request reached the camera
    int64_t completedNs = 0;   // steady clock: when its outcome was decided; 0 while pending
    bool synchronous = false;  // completed inside IofCallDriver
    NTSTATUS status = STATUS_PENDING;
    USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
    std::vector<uint8_t> bytes;  // pipes 0 and 1 and descriptor requests: the bytes that moved
};

const char* UrbFunctionName(USHORT function);  // "BULK_OR_INTERRUPT_TRANSFER", ...
const char* IoctlName(ULONG ioControlCode);    // "SUBMIT_URB", "GET_PORT_STATUS", ...

// The sensor's response to the two brightness registers: the factor the scene's light is
// multiplied by. Monotonic in both; 1.0 at exposure 524 and gain 0.
double BrightnessFactor(unsigned exposure, unsigned gain);

// Frame slots of an absolute-deadline clock: slot k starts at start + k x period. Pure
// arithmetic on 100-ns times, so it is testable without a clock.
class FrameClock {
public:
    FrameClock(int64_t start, int64_t period) : start_(start), period_(period) {}
    // The first slot that starts at or after `now` and was not handed out before; its index
    // goes to *index. Slots missed while nobody asked are skipped, never caught up.
    int64_t NextSlot(int64_t now, uint64_t* index);
    // A slot handed out last whose frame never started (a stream off came first) is free
    // again: the sensor did not spend it.
    void Release(uint64_t index);
    int64_t Start() const { return start_; }
    int64_t Period() const { return period_; }

private:
    int64_t start_;
    int64_t period_;
    uint64_t next_ = 0;  // the first slot index not yet handed out
};

class Camera {
public:
    // Loads the scene; null with a reason if it cannot be loaded.
    static std::unique_ptr<Camera> Create(const CameraOptions& options, std::string* error);
    // Completes every request still pending in the camera as a surprise removal would
    // (STATUS_DEVICE_NOT_CONNECTED), then stops the bus thread.
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // The device object to attach the driver above (host::AddDevice's `lower`).
    PDEVICE_OBJECT DeviceObject();

    // ---- Faults --------------------------------------------------------------------
    // On for good, or off (which also ends a transient or random fault).
    void SetFault(Fault fault, bool on = true);
    // On for the next `count` occurrences, then off by itself. Ignored for faults that
    // cannot be transient.
    void SetTransientFault(Fault fault, unsigned count);
    // On for each occurrence with `probability` (clamped to [0, 1]), drawn from a generator
    // seeded with `seed`. Ignored for faults that cannot be transient.
    void SetFaultProbability(Fault fault, double probability, uint32_t seed);
    // One of the three, as a FaultSetting says.
    void ApplyFault(const FaultSetting& setting, uint32_t seed = 1);
    // For transient faults: whether the current occurrence has it.
    bool FaultActive(Fault fault) const;
    void ClearFaults();
    // The camera is unplugged (see the header comment); there is no plugging it back in.
    void Unplug();
    bool Unplugged() const;
    // Which frame-pipe read of a frame the chunk faults hit, counted from 0 since the
    // last stream off (short-transfer, chunk-error, chunk-refused). Default 2.
    void SetFaultChunk(unsigned index);

    // ---- Firmware state ------------------------------------------------------------
    uint16_t SensorRegister(unsigned number) const;
    uint8_t ControlRegister(unsigned number) const;
    void SetControlRegister(unsigned number, uint8_t value);
    uint8_t MemoryByte(uint16_t address) const;
    void SetMemoryByte(uint16_t address, uint8_t value);
    std::vector<uint8_t> LastRawCommand() const;  // 63 bytes; empty before the first 0x40
    uint64_t CommandCount(uint8_t code) const;    // command packets decoded with this code
    bool StartedUp() const;                       // a 0x0A start-up arrived since the reset
    bool Streaming() const;                       // a frame is due or being sent
    bool Configured() const;
    ULONG PortStatus() const;
    size_t PendingReads(int pipe) const;  // reads of the first interface pending in the camera
    uint64_t FramesSent() const;          // frames whose every byte went out

    // The last frame the camera rendered (kFrameBytes), empty before the first.
    std::vector<uint8_t> LastFrame() const;

    // What the camera spent since it was created (zero without CameraOptions::timeWork).
    WorkCounters Work() const;

    // ---- Recorder ------------------------------------------------------------------
    std::vector<Transfer> Transfers() const;
    void ClearTransfers();

    struct State;

private:
    explicit Camera(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace sim
