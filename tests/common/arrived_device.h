// A test fixture in which the driver is loaded and one camera has arrived, as the PnP manager
// and AVStream would make it arrive, and goes away again after the test.
#pragma once

#include <gtest/gtest.h>

#include "driver/device_context.h"
#include "platform/host/host_control.h"

class ArrivedDevice : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(host::LoadDriver(DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(host::AddDevice(LowerDevice(), &device_), STATUS_SUCCESS);
        context_ = static_cast<DeviceContext*>(device_->Context);
        ASSERT_NE(context_, nullptr);
    }

    void TearDown() override { host::RemoveDevice(device_); }

    // The device below the driver; a bare one unless a test puts a camera there.
    virtual PDEVICE_OBJECT LowerDevice() { return nullptr; }

    PKSDEVICE device_ = nullptr;
    DeviceContext* context_ = nullptr;
};
