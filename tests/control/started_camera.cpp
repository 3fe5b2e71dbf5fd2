#include "tests/control/started_camera.h"

#include <cstdio>

#include "tests/common/driver_form.h"
#include "usb/frame_read.h"

void StartedCamera::SetUp() {
    InterlockedExchange(DriverFrameTimeout(), kDefaultFrameTimeout);
    Arrive();
    if (StartInSetUp())
        StartAndOpen();
}

void StartedCamera::TearDown() {
    CloseAndStop();
    if (device_)
        host::RemoveDevice(device_);
    camera_.reset();
    InterlockedExchange(DriverFrameTimeout(), kDefaultFrameTimeout);
}

void StartedCamera::Arrive() {
    sim::CameraOptions options;
    options.paced = Paced();
    options.moving = false;
    options.chaos = Chaos();
    std::string error;
    camera_ = sim::Camera::Create(options, &error);
    ASSERT_TRUE(camera_) << error;
    ASSERT_EQ(host::LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(host::AddDevice(camera_->DeviceObject(), &device_), STATUS_SUCCESS);
    context_ = static_cast<DeviceContext*>(device_->Context);
}

void StartedCamera::StartAndOpen() {
    ASSERT_EQ(host::StartDevice(device_), STATUS_SUCCESS);
    started_ = true;
    ASSERT_EQ(host::OpenFilter(device_, "GLOBAL", &filter_), STATUS_SUCCESS);
    camera_->ClearTransfers();
}

void StartedCamera::CloseAndStop() {
    if (filter_) {
        EXPECT_EQ(host::CloseFilter(filter_), STATUS_SUCCESS);
    }
    filter_ = nullptr;
    if (started_)
        host::StopDevice(device_);
    started_ = false;
}

NTSTATUS StartedCamera::Request(ULONG id, ULONG flags, void* record, ULONG size, ULONG* returned) {
    KSPROPERTY property{};
    property.Set = CameraPropertySetId;
    property.Id = id;
    property.Flags = flags;
    // The record begins with the request: applications pass it as both the request and the
    // value buffer, which is what the items' minimum request size asks for.
    ULONG ignored = 0;
    if (!record || size < sizeof(KSPROPERTY)) {
        return host::KsPropertyRequest(filter_, &property, sizeof(property), record, size,
                                       returned ? returned : &ignored);
    }
    memcpy(record, &property, sizeof(property));
    return host::KsPropertyRequest(filter_, record, size, record, size,
                                   returned ? returned : &ignored);
}

PropertyResult StartedCamera::Get(ULONG id) {
    CameraPropertyValue value{};
    value.Value = 0x5A5A5A5A;
    NTSTATUS status = Request(id, KSPROPERTY_TYPE_GET, &value, sizeof(value));
    return {status, value.Value};
}

NTSTATUS StartedCamera::Set(ULONG id, LONG v, LONG second) {
    CameraPropertyValue value{};
    value.Value = v;
    value.Second = second;
    return Request(id, KSPROPERTY_TYPE_SET, &value, sizeof(value));
}

NTSTATUS StartedCamera::SetRoi(LONG x, LONG y, LONG width, LONG height) {
    CameraRoiValue roi{};
    roi.X = x;
    roi.Y = y;
    roi.Width = width;
    roi.Height = height;
    return Request(PropRoi, KSPROPERTY_TYPE_SET, &roi, sizeof(roi));
}

std::vector<std::string> StartedCamera::Commands() const {
    std::vector<std::string> out;
    for (const sim::Transfer& t : camera_->Transfers()) {
        if (t.ioControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB || t.interfaceNumber != 0 ||
            t.pipe != 0 || t.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
            continue;
        size_t used = t.bytes.size();
        while (used > 1 && t.bytes[used - 1] == 0)
            --used;
        std::string text;
        char byte[4];
        for (size_t i = 0; i < used; ++i) {
            std::snprintf(byte, sizeof(byte), "%s%02x", i ? " " : "", t.bytes[i]);
            text += byte;
        }
        out.push_back(text);
    }
    return out;
}

std::string SettingsKeyPath() {
    return std::string(host::kDriverKeyPath) + "\\Settings";
}

bool StoredValue(const char* name, LONG* value) {
    host::RegistryValue stored;
    if (!host::RegistryGetValue(SettingsKeyPath(), name, &stored) || stored.data.size() != 4 ||
        stored.type != REG_DWORD)
        return false;
    memcpy(value, stored.data.data(), 4);
    return true;
}

void StoreValue(const char* name, ULONG type, std::vector<uint8_t> data) {
    host::RegistryValue value;
    value.name = name;
    value.type = type;
    value.data = std::move(data);
    ASSERT_TRUE(host::RegistrySetValue(SettingsKeyPath(), value));
}

void StoreDword(const char* name, LONG value) {
    std::vector<uint8_t> data(4);
    memcpy(data.data(), &value, 4);
    StoreValue(name, REG_DWORD, data);
}
