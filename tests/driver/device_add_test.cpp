// Device arrival and removal: the record's defaults, its ownership by the object bag, and the
// out-of-memory and refusal paths of Add.
#include "tests/common/driver_form.h"
#include "control/region_of_interest.h"
#include "driver/camera_ops.h"
#include "driver/pool_tags.h"
#include "tests/common/arrived_device.h"

namespace {

using DeviceAdd = ArrivedDevice;

TEST_F(DeviceAdd, RecordHasEveryDefault) {
    const DeviceContext& c = *context_;
    EXPECT_EQ(c.Ops, DriverCameraOperations());
    EXPECT_EQ(c.Device, device_);
    EXPECT_EQ(c.Usb.PhysicalDeviceObject, device_->PhysicalDeviceObject);
    EXPECT_EQ(c.Usb.NextDeviceObject, device_->NextDeviceObject);
    EXPECT_EQ(c.Usb.ConfigurationDescriptor, nullptr);
    EXPECT_EQ(c.Usb.InterfaceInfo, nullptr);
    EXPECT_EQ(c.Usb.PipePending, nullptr);
    EXPECT_EQ(c.Usb.Transfers, nullptr);
    EXPECT_EQ(c.Usb.FrameMdl, nullptr);
    EXPECT_EQ(c.Usb.CompletedTransfers, 0);
    EXPECT_EQ(c.Usb.TransferCount, 0u);
    EXPECT_EQ(c.Usb.TransferLock, 0u);
    EXPECT_EQ(KeReadStateEvent(&context_->Usb.TransfersDone), 0);

    EXPECT_EQ(c.ExTrigger, 0);
    EXPECT_EQ(c.Timeout, 3000);
    EXPECT_EQ(c.Exposure, 0);
    EXPECT_EQ(c.GlobalGain, 0);
    EXPECT_EQ(c.FlipH, 0);
    EXPECT_EQ(c.FlipV, 0);
    EXPECT_EQ(c.ColorEnable, 1);
    EXPECT_EQ(c.WhiteBalance, 0);
    EXPECT_EQ(c.RedGain, 128);
    EXPECT_EQ(c.GreenGain, 128);
    EXPECT_EQ(c.BlueGain, 128);
    EXPECT_EQ(c.ColorCorrection, 1);
    EXPECT_EQ(c.Brightness, 255);
    EXPECT_EQ(c.Contrast, 10);
    EXPECT_EQ(c.Saturation, 10);
    EXPECT_EQ(c.Hue, 0);
    EXPECT_EQ(c.SubSample, 0);
    EXPECT_EQ(c.WindowX, 0);
    EXPECT_EQ(c.WindowY, 0);
    EXPECT_EQ(c.WindowWidth, 656);
    EXPECT_EQ(c.WindowHeight, 494);
    EXPECT_EQ(c.BayerPhase, 2);
    EXPECT_EQ(c.Clock, 0);
    EXPECT_EQ(c.AGC, 0);
    EXPECT_EQ(c.AEC, 0);

    for (size_t i = 0; i < kCommandPacketSize; ++i) {
        ASSERT_EQ(c.CommandPacket[i] | c.FrameCommandPacket[i] | c.StreamCommandPacket[i], 0)
            << "command buffers must start zeroed, byte " << i;
    }
    EXPECT_EQ(c.StreamOpen, 0);
    EXPECT_EQ(c.CaptureWorker, nullptr);
    EXPECT_EQ(c.ImagePipeline, nullptr);
    EXPECT_EQ(c.ActivePin, nullptr);

    EXPECT_EQ(c.RoiW, 656);
    EXPECT_EQ(c.RoiH, 494);
    EXPECT_EQ(c.RoiX, 0);
    EXPECT_EQ(c.RoiY, 0);
    EXPECT_EQ(c.OutputWidth, 656);
    EXPECT_EQ(c.OutputHeight, 494);
    EXPECT_EQ(c.RawOrigin, 0u);
    EXPECT_EQ(c.RawPitch, 0u);
    EXPECT_EQ(c.RawFrameSize, 0u);
    EXPECT_EQ(c.SensorBayerPhase, 2);
    EXPECT_EQ(c.PinOpen, 0);
    EXPECT_EQ(c.SelectedAddress, 0);
    for (ULONG r = 0; r < kRegisterShadowSize; ++r)
        ASSERT_EQ(c.RegisterShadow[r], 0u) << r;
    EXPECT_EQ(c.FrameNumber, 0);
}

TEST_F(DeviceAdd, CameraOpsReachTheRecord) {
    ULONG size = 0xFFFFFFFF, origin = 0xFFFFFFFF, pitch = 0xFFFFFFFF;
    // Before the camera is initialised the raw geometry is unknown: no buffers can be sized.
    context_->Ops->GetFrameSize(context_, &size);
    context_->Ops->GetFrameOrigin(context_, &origin);
    context_->Ops->GetFramePitch(context_, &pitch);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(origin, 0u);
    EXPECT_EQ(pitch, 0u);

    // The geometry is what the camera delivers, whatever the region; the region is read apart.
    context_->RawFrameSize = 325632;
    context_->RawPitch = 656;
    SetRegionOfInterest(context_, 8, 2, 100, 100);
    context_->Ops->GetFrameSize(context_, &size);
    context_->Ops->GetFramePitch(context_, &pitch);
    context_->Ops->GetFrameOrigin(context_, &origin);
    EXPECT_EQ(size, 325632u);
    EXPECT_EQ(pitch, 656u);
    LONG x = context_->Ops->GetRoiX(context_);
    LONG y = context_->Ops->GetRoiY(context_);
    EXPECT_EQ(origin + ULONG(y) * pitch + ULONG(x), 1320u);
}

TEST_F(DeviceAdd, RecordBelongsToTheObjectBag) {
    EXPECT_EQ(host::BagItemCount(device_), 1u);
    EXPECT_EQ(host::PoolLiveCount(kTagRecord), 1u);
}

TEST(DeviceLifecycle, DriverRegistersOnlyAddStartAndStop) {
    ASSERT_EQ(host::LoadDriver(DriverEntry), STATUS_SUCCESS);
    const KSDEVICE_DESCRIPTOR* descriptor = host::RegisteredDescriptor();
    ASSERT_NE(descriptor, nullptr);
    EXPECT_EQ(descriptor->FilterDescriptorsCount, 0u);
    const KSDEVICE_DISPATCH* d = descriptor->Dispatch;
    ASSERT_NE(d, nullptr);
    EXPECT_NE(d->Add, nullptr);
    EXPECT_NE(d->Start, nullptr);
    EXPECT_NE(d->Stop, nullptr);
    EXPECT_EQ(d->PostStart, nullptr);
    EXPECT_EQ(d->QueryStop, nullptr);
    EXPECT_EQ(d->CancelStop, nullptr);
    EXPECT_EQ(d->QueryRemove, nullptr);
    EXPECT_EQ(d->CancelRemove, nullptr);
    EXPECT_EQ(d->Remove, nullptr);
    EXPECT_EQ(d->QueryCapabilities, nullptr);
    EXPECT_EQ(d->SurpriseRemoval, nullptr);
    EXPECT_EQ(d->QueryPower, nullptr);
    EXPECT_EQ(d->SetPower, nullptr);
    EXPECT_EQ(d->QueryInterface, nullptr);
}

TEST(DeviceLifecycle, RemovalFreesTheRecordThroughItsCallback) {
    ASSERT_EQ(host::LoadDriver(DriverEntry), STATUS_SUCCESS);
    size_t before = host::PoolLiveCount(kTagRecord);
    PKSDEVICE first = nullptr, second = nullptr;
    ASSERT_EQ(host::AddDevice(nullptr, &first), STATUS_SUCCESS);
    ASSERT_EQ(host::AddDevice(nullptr, &second), STATUS_SUCCESS);
    EXPECT_NE(first->Context, second->Context);
    EXPECT_EQ(host::PoolLiveCount(kTagRecord), before + 2);
    host::RemoveDevice(first);
    EXPECT_EQ(host::PoolLiveCount(kTagRecord), before + 1);
    host::RemoveDevice(second);
    EXPECT_EQ(host::PoolLiveCount(kTagRecord), before);
}

TEST(DeviceLifecycle, AddOutOfMemoryFailsCleanly) {
    ASSERT_EQ(host::LoadDriver(DriverEntry), STATUS_SUCCESS);
    host::PoolFailTag(kTagRecord);
    PKSDEVICE device = reinterpret_cast<PKSDEVICE>(1);
    EXPECT_EQ(host::AddDevice(nullptr, &device), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(host::PoolRefusedCount() > 0, true);
    // The leak check of the test main proves nothing was left behind.
}

TEST(DeviceLifecycle, RefusedBagFreesTheRecordAndReturnsTheBagStatus) {
    ASSERT_EQ(host::LoadDriver(DriverEntry), STATUS_SUCCESS);
    const NTSTATUS refusal = NTSTATUS(0xC0000017);  // no memory, in AVStream's words
    host::RefuseBagItems(refusal, 1);
    size_t before = host::PoolLiveCount(kTagRecord);
    PKSDEVICE device = nullptr;
    EXPECT_EQ(host::AddDevice(nullptr, &device), refusal);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(host::PoolLiveCount(kTagRecord), before);
}

TEST(DeviceLifecycle, FreeItemIgnoresNull) {
    FreeItem(nullptr);
    FreeDeviceContext(nullptr);
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTagRecord);
    ASSERT_NE(block, nullptr);
    FreeItem(block);  // the leak check proves it was freed
}

}  // namespace
