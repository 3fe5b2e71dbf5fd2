// What an application's session with the camera looks like on the host: a simulated camera
// arrives, the PnP manager starts the device (which loads the stored settings from the
// registry hive), the application opens the capture filter and sends property requests, then
// closes it (which saves) and the device stops (which saves again) and goes away.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/device_context.h"
#include "platform/host/host_control.h"
#include "sim/sim_camera.h"

namespace tool {

struct SessionOptions {
    std::string registry;  // hive file; empty: the default under the user's state directory
    std::vector<sim::FaultSetting> faults;
    // The camera's pacing: a property session reads no frames and wants no frame clock; a
    // stream wants frames at the camera's 30 per second, or as fast as they are read.
    bool paced = false;
    // Whether the scene moves from frame to frame (each frame rendered anew).
    bool moving = false;
    // What the camera looks at (sim/scene.h); empty: the camera's own default.
    std::string scene;
};

// $XDG_STATE_HOME/bayercam/system.hiv, or ~/.local/state/bayercam/system.hiv.
std::string DefaultRegistryPath();

class CameraSession {
public:
    // Null with the reason when the hive cannot be used or the device does not arrive. A
    // device whose start failed is still returned: StartStatus() tells.
    static std::unique_ptr<CameraSession> Open(const SessionOptions& options, std::string* error);
    ~CameraSession();

    NTSTATUS StartStatus() const { return startStatus_; }
    bool FilterOpen() const { return filter_ != nullptr; }
    NTSTATUS FilterStatus() const { return filterStatus_; }
    sim::Camera& Camera() { return *camera_; }
    // The application's handle of the open filter (null when it did not open), for creating
    // pins relative to it.
    PFILE_OBJECT Filter() const { return filter_; }
    // The driver's record of the device, for tools that look into the driver's own state.
    DeviceContext* Context() const;

    // IOCTL_KS_PROPERTY on the filter.
    NTSTATUS Request(const void* request, ULONG requestSize, void* data, ULONG dataSize,
                     ULONG* returned);
    // A request of the camera property set; the record's header is filled in.
    NTSTATUS CameraProperty(ULONG id, ULONG flags, void* record, ULONG size, ULONG* returned);

    // Closes the filter (which saves the settings) and stops the device (which saves them
    // again); the camera stays, so its requests can still be shown.
    void Stop();
    // Stop, then removes the device and writes the hive. False with the reason if the hive
    // could not be written.
    bool Close(std::string* error);

private:
    CameraSession() = default;
    std::unique_ptr<sim::Camera> camera_;
    PKSDEVICE device_ = nullptr;
    PFILE_OBJECT filter_ = nullptr;
    NTSTATUS startStatus_ = STATUS_UNSUCCESSFUL;
    NTSTATUS filterStatus_ = STATUS_UNSUCCESSFUL;
    bool started_ = false;
    bool hiveOpen_ = false;
    bool closed_ = false;
};

}  // namespace tool
