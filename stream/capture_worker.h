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
};

// Makes the device's worker record at start: allocated, added to the device's object bag and
// stored in CaptureWorker. A record left from an earlier start is idle by then and is kept,
// so stopping and starting a device again does not grow its memory. Nothing is reported: the
// device starts without a worker when the pool or the bag refuses it.
void CreateCaptureWorker(DeviceContext* context);
