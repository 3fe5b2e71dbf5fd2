// A driver with one simulated camera arrived below it, as the PnP manager makes it arrive.
// The transport's operations are then called on the device's own record.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver/device_context.h"
#include "platform/host/host_control.h"
#include "sim/sim_camera.h"

class CameraFixture : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Camera options for this fixture; unpaced still frames keep the tests fast.
    virtual sim::CameraOptions Options();

    // ConfigureDevice on the arrived device; asserts success.
    void Configure();
    // What InitializeCamera sets up for the frame read: the raw frame geometry.
    void SetFrameGeometry(ULONG frameSize = sim::kFrameBytes);

    UsbDevice* Usb() { return &context_->Usb; }
    // Requests recorded since the last ClearTransfers.
    std::vector<sim::Transfer> Recorded() const { return camera_->Transfers(); }
    // Only the URB requests of one pipe of the first interface.
    std::vector<sim::Transfer> OnPipe(int pipe) const;
    // Byte 0 of every packet that went out on pipe 0, in order.
    std::vector<int> CommandCodes() const;

    std::unique_ptr<sim::Camera> camera_;
    PKSDEVICE device_ = nullptr;
    DeviceContext* context_ = nullptr;

private:
    LONG savedFrameTimeout_ = 0;
};

// A 64-byte packet from its leading bytes.
std::vector<uint8_t> PacketOf(std::initializer_list<uint8_t> bytes);
