// The per-device record through which every part of the driver reaches the camera.
#pragma once

#include "platform/platform.h"

struct DeviceContext;
struct FrameTransfer;
struct CaptureWorker;
struct ImagePipeline;
struct PinContext;

// The camera operations, in slot order. One constant table serves every device.
struct CameraOps {
    void (*FrameReady)(DeviceContext* context);
    BOOLEAN (*InitializeCamera)(DeviceContext* context);
    void (*ReadFrame)(DeviceContext* context, PUCHAR buffer, BOOLEAN* success);
    void (*GetFrameSize)(DeviceContext* context, ULONG* size);
    void (*GetFrameOrigin)(DeviceContext* context, ULONG* origin);
    void (*GetFramePitch)(DeviceContext* context, ULONG* pitch);
    void (*AbortPipes)(DeviceContext* context);
    void (*CancelTransfers)(DeviceContext* context);
    LONG (*GetRoiX)(DeviceContext* context);
    LONG (*GetRoiY)(DeviceContext* context);
};

// USB state of one camera; the transport works on a pointer to this sub-record.
struct UsbDevice {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // owned, the whole descriptor
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;  // owned copy of the first interface's information
    PUCHAR PipePending;                         // owned, one byte per pipe
    KEVENT TransfersDone;
    FrameTransfer* Transfers;
    volatile LONG CompletedTransfers;
    ULONG TransferCount;
    KSPIN_LOCK TransferLock;
    PMDL FrameMdl;
    // Chunks handed to the bus driver and not yet completed, plus one held by the reader while
    // it queues. Whoever brings it to zero sets TransfersDone, as the last thing it touches of
    // the read; every path of the read waits for that before it frees anything, so a late
    // completion can never signal, or free, the next frame.
    volatile LONG OutstandingTransfers;
};

constexpr LONG kSensorWidth = 656;
constexpr LONG kSensorHeight = 494;
constexpr LONG kSensorBayerPhase = 2;  // RGGB
constexpr size_t kCommandPacketSize = 64;
constexpr ULONG kRegisterShadowSize = 1024;

struct DeviceContext {
    const CameraOps* Ops;
    PKSDEVICE Device;
    UsbDevice Usb;

    // Settings, named after their registry values.
    LONG ExTrigger;
    LONG Timeout;
    LONG Exposure;
    LONG GlobalGain;
    volatile LONG FlipH;
    volatile LONG FlipV;
    LONG ColorEnable;
    LONG WhiteBalance;
    LONG RedGain;
    LONG GreenGain;
    LONG BlueGain;
    LONG ColorCorrection;
    LONG Brightness;
    LONG Contrast;
    LONG Saturation;
    LONG Hue;
    LONG SubSample;
    LONG WindowX;
    LONG WindowY;
    LONG WindowWidth;
    LONG WindowHeight;
    LONG BayerPhase;
    LONG Clock;
    LONG AGC;
    LONG AEC;

    UCHAR CommandPacket[kCommandPacketSize];
    UCHAR FrameCommandPacket[kCommandPacketSize];
    UCHAR StreamCommandPacket[kCommandPacketSize];
    volatile LONG StreamOpen;
    struct CaptureWorker* CaptureWorker;
    struct ImagePipeline* ImagePipeline;
    PinContext* ActivePin;

    // Region of interest and the delivered image size.
    LONG RoiH;
    LONG RoiW;
    LONG RoiX;
    LONG RoiY;
    ULONG RawOrigin;
    ULONG RawPitch;
    ULONG RawFrameSize;
    LONG OutputWidth;
    LONG OutputHeight;
    LONG SensorBayerPhase;
    volatile LONG PinOpen;
    LONG SelectedAddress;
    ULONG RegisterShadow[kRegisterShadowSize];
    LONG FrameNumber;

    // Held for one whole command exchange (a packet and the replies it asks for), so exchanges
    // from concurrent property requests, a settings load and the stream start never interleave
    // on the camera's pipes or in CommandPacket. A synchronization event: signalled = free.
    KEVENT CommandLock;
    // Held by every camera property request and by the stream's start while it reads and
    // applies the settings: applications may send requests from several threads at once, and
    // AVStream does not serialise them, so without it two requests could interleave their
    // writes to the same settings. Taken before CommandLock, never inside it.
    KEVENT SettingsLock;
};

// Holds a device's SettingsLock for one scope (PASSIVE_LEVEL only).
class SettingsGuard {
public:
    explicit SettingsGuard(DeviceContext* context) : context_(context) {
        KeWaitForSingleObject(&context_->SettingsLock, Executive, KernelMode, FALSE, nullptr);
    }
    ~SettingsGuard() { KeSetEvent(&context_->SettingsLock, IO_NO_INCREMENT, FALSE); }
    SettingsGuard(const SettingsGuard&) = delete;
    SettingsGuard& operator=(const SettingsGuard&) = delete;

private:
    DeviceContext* context_;
};

// The record is created by Add and freed only through the device's object bag.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
NTSTATUS NTAPI Add(PKSDEVICE device);
NTSTATUS NTAPI Start(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                     PCM_RESOURCE_LIST untranslated);
void NTAPI Stop(PKSDEVICE device, PIRP irp);
void NTAPI FreeItem(PVOID item);
void NTAPI FreeDeviceContext(PVOID item);
