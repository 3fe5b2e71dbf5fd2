#include "tests/usb/camera_fixture.h"

#include "usb/configuration.h"
#include "usb/frame_read.h"

sim::CameraOptions CameraFixture::Options() {
    sim::CameraOptions options;
    options.paced = false;
    options.moving = false;
    return options;
}

void CameraFixture::SetUp() {
    savedFrameTimeout_ = InterlockedExchange(&FrameTimeout, kDefaultFrameTimeout);
    std::string error;
    camera_ = sim::Camera::Create(Options(), &error);
    ASSERT_TRUE(camera_) << error;
    ASSERT_EQ(host::LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(host::AddDevice(camera_->DeviceObject(), &device_), STATUS_SUCCESS);
    context_ = static_cast<DeviceContext*>(device_->Context);
    ASSERT_NE(context_, nullptr);
}

void CameraFixture::TearDown() {
    if (context_)
        FreeConfiguration(&context_->Usb);
    if (device_)
        host::RemoveDevice(device_);
    camera_.reset();
    InterlockedExchange(&FrameTimeout, savedFrameTimeout_);
}

void CameraFixture::Configure() {
    ASSERT_EQ(ConfigureDevice(Usb()), STATUS_SUCCESS);
    camera_->ClearTransfers();
}

void CameraFixture::SetFrameGeometry(ULONG frameSize) {
    context_->RawOrigin = 0;
    context_->RawPitch = sim::kFrameWidth;
    context_->RawFrameSize = frameSize;
}

std::vector<sim::Transfer> CameraFixture::OnPipe(int pipe) const {
    std::vector<sim::Transfer> out;
    for (const sim::Transfer& t : camera_->Transfers()) {
        if (t.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && t.interfaceNumber == 0 &&
            t.pipe == pipe) {
            out.push_back(t);
        }
    }
    return out;
}

std::vector<int> CameraFixture::CommandCodes() const {
    std::vector<int> codes;
    for (const sim::Transfer& t : OnPipe(0)) {
        if (t.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            codes.push_back(t.bytes.empty() ? -1 : t.bytes[0]);
        }
    }
    return codes;
}

std::vector<uint8_t> PacketOf(std::initializer_list<uint8_t> bytes) {
    std::vector<uint8_t> packet(bytes);
    packet.resize(64);
    return packet;
}
