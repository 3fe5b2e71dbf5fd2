// A minimal USB client for the camera's tests: synchronous URBs as a driver sends them, and
// asynchronous reads with their own requests, independent of the driver's transport code.
#pragma once

#include <memory>
#include <vector>

#include "platform/host/host_control.h"
#include "sim/sim_camera.h"

struct ConfiguredPipes {
    std::vector<USBD_PIPE_INFORMATION> pipes;  // of the first interface
    std::vector<UCHAR> interfaceNumbers;
};

class UsbClient {
public:
    explicit UsbClient(sim::Camera* camera) : camera_(camera) {}

    PDEVICE_OBJECT Device() { return camera_->DeviceObject(); }
    // Sends a request built by IoBuildDeviceIoControlRequest and waits for it.
    NTSTATUS Call(ULONG ioControlCode, PVOID argument, NTSTATUS* returned = nullptr);
    NTSTATUS Submit(PURB urb, NTSTATUS* returned = nullptr) {
        return Call(IOCTL_INTERNAL_USB_SUBMIT_URB, urb, returned);
    }
    // GET_DESCRIPTOR_FROM_DEVICE into `out` (resized to what moved).
    NTSTATUS Descriptor(UCHAR type, ULONG length, std::vector<UCHAR>* out, UCHAR index = 0);
    // Reads the configuration, selects it with every interface and returns the pipes.
    NTSTATUS Configure(ConfiguredPipes* out);
    NTSTATUS Deconfigure();
    // One bulk transfer on pipe `index` of the first interface.
    NTSTATUS Transfer(ULONG index, void* buffer, ULONG length, ULONG* moved = nullptr,
                      USBD_STATUS* usbdStatus = nullptr);
    NTSTATUS Send(const std::vector<UCHAR>& packet, ULONG* moved = nullptr) {
        std::vector<UCHAR> copy = packet;
        copy.resize(64);
        return Transfer(0, copy.data(), 64, moved);
    }
    NTSTATUS PipeRequest(USHORT function, ULONG index);

    const ConfiguredPipes& Pipes() const { return pipes_; }

private:
    sim::Camera* camera_;
    ConfiguredPipes pipes_;
};

// A bulk read queued in the camera, completed through its own completion routine.
class AsyncRead {
public:
    AsyncRead(UsbClient* client, ULONG index, ULONG length);
    ~AsyncRead();
    NTSTATUS Start();  // what IofCallDriver returned
    bool Wait(int milliseconds);
    bool Done() const { return KeReadStateEvent(const_cast<PKEVENT>(&done_)) != 0; }
    BOOLEAN Cancel() { return IoCancelIrp(irp_); }

    NTSTATUS status = STATUS_PENDING;
    USBD_STATUS usbdStatus = 0;
    ULONG moved = 0;
    std::vector<UCHAR> buffer;

private:
    static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context);
    UsbClient* client_;
    PIRP irp_ = nullptr;
    bool started_ = false;
    URB urb_{};
    KEVENT done_;
};

// Makes a camera or fails the test.
std::unique_ptr<sim::Camera> MakeCamera(sim::CameraOptions options = sim::CameraOptions());

std::vector<UCHAR> Packet(std::initializer_list<UCHAR> bytes);
