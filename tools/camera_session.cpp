#include "tools/camera_session.h"

#include <cstdlib>
#include <filesystem>

#include "control/property_set.h"
#include "driver/device_context.h"

namespace tool {

std::string DefaultRegistryPath() {
    std::string base;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) {
        base = state;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.local/state";
    } else {
        base = ".";
    }
    return base + "/bayercam/system.hiv";
}

std::unique_ptr<CameraSession> CameraSession::Open(const SessionOptions& options,
                                                   std::string* error) {
    std::unique_ptr<CameraSession> session(new CameraSession);
    std::string path = options.registry.empty() ? DefaultRegistryPath() : options.registry;
    if (options.registry.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    }
    if (!host::RegistryOpenHive(path, error)) {
        *error = "the registry hive: " + *error;
        return nullptr;
    }
    session->hiveOpen_ = true;

    sim::CameraOptions cameraOptions;
    cameraOptions.paced = options.paced;
    cameraOptions.moving = options.moving;
    if (!options.scene.empty())
        cameraOptions.scene = options.scene;
    session->camera_ = sim::Camera::Create(cameraOptions, error);
    if (!session->camera_)
        return nullptr;
    for (const sim::FaultSetting& fault : options.faults)
        session->camera_->ApplyFault(fault);

    NTSTATUS status = host::LoadDriver(DriverEntry);
    if (NT_SUCCESS(status))
        status = host::AddDevice(session->camera_->DeviceObject(), &session->device_);
    if (!NT_SUCCESS(status)) {
        char text[64];
        std::snprintf(text, sizeof(text), "the device did not arrive: status 0x%08X",
                      unsigned(status));
        *error = text;
        return nullptr;
    }
    session->startStatus_ = host::StartDevice(session->device_);
    session->started_ = NT_SUCCESS(session->startStatus_);
    if (session->started_) {
        session->filterStatus_ = host::OpenFilter(session->device_, "GLOBAL", &session->filter_);
        if (!NT_SUCCESS(session->filterStatus_))
            session->filter_ = nullptr;
    }
    return session;
}

DeviceContext* CameraSession::Context() const {
    return device_ ? static_cast<DeviceContext*>(device_->Context) : nullptr;
}

NTSTATUS CameraSession::Request(const void* request, ULONG requestSize, void* data, ULONG dataSize,
                                ULONG* returned) {
    *returned = 0;
    if (!filter_)
        return STATUS_INVALID_DEVICE_STATE;
    return host::KsPropertyRequest(filter_, request, requestSize, data, dataSize, returned);
}

NTSTATUS CameraSession::CameraProperty(ULONG id, ULONG flags, void* record, ULONG size,
                                       ULONG* returned) {
    KSPROPERTY property{};
    property.Set = CameraPropertySetId;
    property.Id = id;
    property.Flags = flags;
    // The record begins with the request: it goes as both the request and the value buffer.
    if (!record || size < sizeof(property))
        return Request(&property, sizeof(property), record, size, returned);
    memcpy(record, &property, sizeof(property));
    return Request(record, size, record, size, returned);
}

void CameraSession::Stop() {
    if (filter_)
        host::CloseFilter(filter_);
    filter_ = nullptr;
    if (started_)
        host::StopDevice(device_);
    started_ = false;
}

bool CameraSession::Close(std::string* error) {
    if (closed_)
        return true;
    closed_ = true;
    Stop();
    if (device_)
        host::RemoveDevice(device_);
    device_ = nullptr;
    camera_.reset();
    bool written = true;
    if (hiveOpen_)
        written = host::RegistryCloseHive(error);
    hiveOpen_ = false;
    return written;
}

CameraSession::~CameraSession() {
    std::string ignored;
    Close(&ignored);
}

}  // namespace tool
