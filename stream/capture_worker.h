// The capture worker record: one per device, created at the first device start, owned by the
// device's object bag. Its thread reads raw frames into two buffers while a stream runs.
#pragma once

#include "driver/device_context.h"

// StreamState: the thread reads frames only while Streaming.
constexpr LONG kStreamIdle = 0;
constexpr LONG kStreamPaused = 1;
constexpr LONG kStreamStreaming = 2;

// BufferState of each raw buffer.
constexpr LONG kBufferFree = 0;
constexpr LONG kBufferFilling = 1;
constexpr LONG kBufferFull = 2;
constexpr LONG kBufferConverting = 3;

struct CaptureWorker {
    ImagePipeline* Pipeline;
    PUCHAR FrameBuffer;  // the converted image, RoiW x RoiH 32-bit pixels
    volatile LONG StreamState;
    KEVENT DoneEvent;  // notification: the end of every Process pass that got going
    PVOID Thread;      // the running worker thread's object, or null
    volatile LONG Busy;
    volatile LONG BufferState[2];
    PUCHAR CaptureBuffer[2];  // raw frames of GetFrameSize bytes
    BOOLEAN Running;
    volatile LONG FramesRead;
    DeviceContext* Device;
    // Held only for the short steps that pick a buffer or change a buffer's state, by the
    // worker thread and by the conversion in the Process pass, never across a read or a
    // conversion.
    KSPIN_LOCK BufferLock;
};

// Makes the device's worker record at start: allocated, added to the device's object bag and
// stored in CaptureWorker. A record left from an earlier start is idle by then and is kept,
// so stopping and starting a device again does not grow its memory. STATUS_INSUFFICIENT_RESOURCES
// when the pool refuses it, the bag's status when the bag does; the start then fails.
NTSTATUS CreateCaptureWorker(DeviceContext* context);

// Marks both buffers free and starts the worker thread. STATUS_INSUFFICIENT_RESOURCES (or the
// system's status) when no thread could be made: a capture that would never deliver a frame
// is refused rather than started.
NTSTATUS StartWorker(CaptureWorker* worker);
// Stops the thread and waits until it has ended and no Process pass is converting or copying.
// A frame read in progress is cancelled, so the stop never waits out a read's time-out.
void StopWorker(CaptureWorker* worker);
// The buffer the next read goes into, marked Filling: a free one (0 first), else the one not
// being converted, else buffer 0; an unconverted frame is overwritten, a converting one never.
ULONG PickCaptureBuffer(CaptureWorker* worker);
// Opens a Process pass by setting Busy before the pass looks at anything, the client's frames
// included: a stop then either waits for the pass or is seen by it. False when the worker is
// stopping; the pass must then lock no frame, since the stop's reset may already be under way.
BOOLEAN BeginPass(CaptureWorker* worker);
// Ends a pass (after its frame is unlocked): clears Busy and signals DoneEvent.
void EndPass(CaptureWorker* worker);
// Takes a Full raw buffer (buffer 0 whenever it is full) and converts it into FrameBuffer. Leaves
// Busy set for the Process pass to clear.
BOOLEAN ConvertCapturedFrame(CaptureWorker* worker);
// The same, converting into the caller's image (row 0 at `firstRow`, rows `outputStep` bytes
// apart) instead of FrameBuffer: a frame that needs no mirroring is converted in place.
BOOLEAN ConvertCapturedFrameInto(CaptureWorker* worker, PUCHAR firstRow, LONG_PTR outputStep);
