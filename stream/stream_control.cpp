// The stream claim and the capture start and stop that the pin's state changes drive.
#include "driver/pool_tags.h"
#include "imaging/image_pipeline.h"
#include "stream/capture_worker.h"
#include "stream/pin.h"

namespace {

PUCHAR AllocateBuffer(ULONG size) {
    return static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagFrameBuffer));
}

void FreeBuffer(PUCHAR* buffer) {
    if (*buffer)
        ExFreePoolWithTag(*buffer, kTagFrameBuffer);
    *buffer = nullptr;
}

void FreeCaptureBuffers(CaptureWorker* worker) {
    FreeBuffer(&worker->FrameBuffer);
    FreeBuffer(&worker->CaptureBuffer[0]);
    FreeBuffer(&worker->CaptureBuffer[1]);
}

// Property requests hand settings to the pipeline through the device record: it is replaced
// and freed only under the settings lock, so a request never uses a freed pipeline.
void DropPipeline(DeviceContext* device) {
    SettingsGuard guard(device);
    if (device->ImagePipeline) {
        DestroyImagePipeline(device->ImagePipeline);
        device->ImagePipeline = nullptr;
    }
}

}  // namespace

NTSTATUS OpenStream(DeviceContext* device, PinContext* pin, const KS_VIDEOINFOHEADER* info) {
    if (InterlockedCompareExchange(&device->StreamOpen, 1, 0) != 0)
        return STATUS_SHARING_VIOLATION;
    DropPipeline(device);
    if (info->bmiHeader.biBitCount != 32 || info->bmiHeader.biCompression != KS_BI_RGB) {
        CloseStream(device);
        return STATUS_INVALID_PARAMETER;
    }
    // The pipeline is checked before any setting is handed to it.
    ImagePipeline* pipeline = CreateImagePipeline();
    if (!pipeline) {
        CloseStream(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    {
        SettingsGuard guard(device);
        device->ImagePipeline = pipeline;
        SetWhiteBalanceAuto(pipeline, device->WhiteBalance);
        SetBayerPhase(pipeline, device->BayerPhase);
        SetColorEnable(pipeline, device->ColorEnable);
        SetRedGain(pipeline, device->RedGain);
        SetGreenGain(pipeline, device->GreenGain);
        SetBlueGain(pipeline, device->BlueGain);
        SetColorCorrection(pipeline, device->ColorCorrection);
        SetBrightness(pipeline, device->Brightness);
        SetContrast(pipeline, device->Contrast);
        SetSaturation(pipeline, device->Saturation);
        SetHue(pipeline, device->Hue);
    }
    device->ActivePin = pin;
    return STATUS_SUCCESS;
}

void CloseStream(DeviceContext* device) {
    DropPipeline(device);
    device->ActivePin = nullptr;
    InterlockedExchange(&device->StreamOpen, 0);
}

NTSTATUS StartCapture(DeviceContext* device) {
    CaptureWorker* worker = device->CaptureWorker;
    if (!worker || !device->ImagePipeline)
        return STATUS_INVALID_DEVICE_STATE;
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&device->FrameNumber), 0);
    InterlockedExchange(&worker->Busy, 0);
    InterlockedExchange(&worker->FramesRead, 0);
    worker->Pipeline = device->ImagePipeline;
    LONG width, height;
    {
        SettingsGuard guard(device);
        device->BayerPhase = device->SensorBayerPhase;
        SetBayerPhase(device->ImagePipeline, device->BayerPhase);
        width = device->RoiW;
        height = device->RoiH;
        device->Ops->InitializeCamera(device);
    }
    ULONG size = 0;
    device->Ops->GetFrameSize(device, &size);
    // A camera that reports no frame size would stream nothing: refuse rather than pretend.
    if (size == 0)
        return STATUS_INVALID_DEVICE_STATE;

    NTSTATUS status = STATUS_SUCCESS;
    worker->CaptureBuffer[0] = AllocateBuffer(size);
    worker->CaptureBuffer[1] = AllocateBuffer(size);
    worker->FrameBuffer = AllocateBuffer(ULONG(width) * ULONG(height) * 4u);
    if (!worker->CaptureBuffer[0] || !worker->CaptureBuffer[1] || !worker->FrameBuffer)
        status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status)) {
        ImagePipeline* pipeline = device->ImagePipeline;
        SetFrameSize(pipeline, ULONG(width), ULONG(height));
        status = AllocateRawBuffer(pipeline);
        if (NT_SUCCESS(status)) {
            pipeline->outputBuffer = worker->FrameBuffer;
            InterlockedExchange(&worker->StreamState, kStreamStreaming);
            status = StartWorker(worker);
        }
    }
    if (!NT_SUCCESS(status)) {
        // Nothing a failed start obtained stays held: the next start allocates anew.
        InterlockedExchange(&worker->StreamState, kStreamIdle);
        device->ImagePipeline->outputBuffer = nullptr;
        ReleaseRawBuffer(device->ImagePipeline);
        FreeCaptureBuffers(worker);
    }
    return status;
}

void StopCapture(PinContext* pin) {
    DeviceContext* device = pin->Device;
    CaptureWorker* worker = device->CaptureWorker;
    if (worker) {
        StopWorker(worker);
        InterlockedExchange(&worker->StreamState, kStreamIdle);
        if (ImagePipeline* pipeline = worker->Pipeline) {
            pipeline->outputBuffer = nullptr;
            ReleaseRawBuffer(pipeline);
        }
        FreeCaptureBuffers(worker);
    }
    pin->CaptureState = kCaptureNone;
}
