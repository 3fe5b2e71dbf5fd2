// Device start and stop as the PnP manager drives them, and the capture filter's creation and
// close as applications drive them.
#include "driver/pool_tags.h"
#include "stream/capture_worker.h"
#include "tests/control/started_camera.h"

namespace {

class DeviceStart : public StartedCamera {
protected:
    bool StartInSetUp() override { return false; }
};

using Strings = std::vector<std::string>;

const Strings kInitializeCamera = {
    "25",
    "25 01 f8",
    "25 02 04",
    "25 03",
    "25 20 01",
    "0a 01",
    "25 0e",
    "25 0f 03",
    "25 0b",
    "04 20 00 0b",        // trigger mode off: control, then sensor register 11
    "04 20 00 9a 00 02",  // exposure
    "04 20 00 04",        // global gain
};

Strings Concat(std::initializer_list<Strings> parts) {
    Strings all;
    for (const Strings& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

bool SawRequest(const sim::Camera& camera, USHORT function) {
    for (const sim::Transfer& t : camera.Transfers())
        if (t.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && t.function == function)
            return true;
    return false;
}

TEST_F(DeviceStart, StartResetsTheCameraAndAppliesTheLoadedSettingsInOrder) {
    StartAndOpen();
    EXPECT_EQ(host::FilterFactoryCount(device_), 1u);
    std::vector<host::DeviceInterface> interfaces = host::DeviceInterfaces(device_);
    ASSERT_EQ(interfaces.size(), 2u);
    for (const host::DeviceInterface& i : interfaces)
        EXPECT_EQ(i.reference, "GLOBAL");
    ASSERT_NE(context_->CaptureWorker, nullptr);
    EXPECT_EQ(context_->CaptureWorker->Device, context_);

    CloseAndStop();
    camera_->ClearTransfers();
    ASSERT_EQ(host::StartDevice(device_), STATUS_SUCCESS);
    started_ = true;
    const Strings reset = {"06", "25 06 11", "25 06", "25 0f 03", "25 20 01", "26 0f"};
    const Strings trigger = {"25 0b", "04 20 00 0b"};
    EXPECT_EQ(Commands(), Concat({reset,
                                  {"25 0f 03"},
                                  kInitializeCamera,
                                  {"04 20 00 9a 00 02"},
                                  {"04 20 00 04"},
                                  trigger}));

    camera_->ClearTransfers();
    ASSERT_TRUE(context_->Ops->InitializeCamera(context_));
    EXPECT_EQ(Commands(), kInitializeCamera);
    ULONG size = 0, pitch = 0;
    context_->Ops->GetFrameSize(context_, &size);
    context_->Ops->GetFramePitch(context_, &pitch);
    EXPECT_EQ(size, 325632u);
    EXPECT_EQ(pitch, 656u);
}

TEST_F(DeviceStart, StartWhoseConfigurationFailsStillResetsAndReportsTheFailure) {
    camera_->SetFault(sim::Fault::DeviceDescriptorError);
    EXPECT_EQ(host::StartDevice(device_), STATUS_UNSUCCESSFUL);
    std::vector<host::RegistryValue> values;
    EXPECT_TRUE(host::RegistryListValues(SettingsKeyPath(), &values))
        << "the reset ran and loaded the settings";
    EXPECT_EQ(context_->Exposure, 2);
}

TEST_F(DeviceStart, StartOfAStartedDeviceOnlyConfiguresAndResets) {
    StartAndOpen();
    size_t items = host::BagItemCount(device_);
    CaptureWorker* worker = context_->CaptureWorker;
    ASSERT_EQ(host::StartDevice(device_), STATUS_SUCCESS);
    EXPECT_EQ(host::FilterFactoryCount(device_), 1u);
    EXPECT_EQ(host::BagItemCount(device_), items);
    EXPECT_EQ(context_->CaptureWorker, worker);
    EXPECT_TRUE(SawRequest(*camera_, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE));
    EXPECT_EQ(Commands().front(), "06");
}

TEST_F(DeviceStart, StopBeforeAnyConfigurationStillDeconfigures) {
    // The PnP manager never stops a device it did not start; the driver's Stop is called
    // directly to show it copes all the same.
    host::RegisteredDescriptor()->Dispatch->Stop(device_, nullptr);
    EXPECT_TRUE(SawRequest(*camera_, URB_FUNCTION_SELECT_CONFIGURATION));
    EXPECT_EQ(context_->Usb.InterfaceInfo, nullptr);
}

TEST_F(DeviceStart, StopSavesTheSettingsInForceAndFiltersSaveOnClose) {
    StartAndOpen();
    ASSERT_EQ(Set(PropBrightness, 300), STATUS_SUCCESS);
    ASSERT_EQ(host::CloseFilter(filter_), STATUS_SUCCESS);
    filter_ = nullptr;
    LONG brightness = 0;
    ASSERT_TRUE(StoredValue("Brightness", &brightness));
    EXPECT_EQ(brightness, 300);
    context_->Hue = 123;  // changed since the filter closed
    CloseAndStop();
    LONG hue = 0;
    ASSERT_TRUE(StoredValue("Hue", &hue));
    EXPECT_EQ(hue, 123);
    EXPECT_EQ(host::FilterFactoryCount(device_), 0u) << "the factory goes with the stop";
}

TEST_F(DeviceStart, StopStartCyclesKeepOneWorkerRecord) {
    StartAndOpen();
    CaptureWorker* worker = context_->CaptureWorker;
    size_t items = host::BagItemCount(device_);
    size_t records = host::PoolLiveCount(kTagRecord);
    for (int cycle = 0; cycle < 3; ++cycle) {
        CloseAndStop();
        StartAndOpen();
    }
    EXPECT_EQ(context_->CaptureWorker, worker);
    EXPECT_EQ(host::BagItemCount(device_), items);
    EXPECT_EQ(host::PoolLiveCount(kTagRecord), records);
}

TEST_F(DeviceStart, EveryAllocationFailureOfStartIsSurvivedWithoutALeak) {
    ForEachAllocationFailure(
        [&] {
            PKSDEVICE device = nullptr;
            NTSTATUS status = host::AddDevice(camera_->DeviceObject(), &device);
            if (!NT_SUCCESS(status))
                return status;
            status = host::StartDevice(device);
            if (NT_SUCCESS(status)) {
                // A start that reports success has a filter to open and a worker to stream.
                host::PoolClearFaults();
                auto* context = static_cast<DeviceContext*>(device->Context);
                EXPECT_NE(context->CaptureWorker, nullptr);
                PFILE_OBJECT filter = nullptr;
                EXPECT_EQ(host::OpenFilter(device, "GLOBAL", &filter), STATUS_SUCCESS);
                if (filter)
                    host::CloseFilter(filter);
                host::StopDevice(device);
            }
            host::RemoveDevice(device);
            return status;
        },
        [](bool refused, NTSTATUS status) {
            if (!refused) {
                EXPECT_EQ(status, STATUS_SUCCESS);
            }
        });
}

TEST_F(DeviceStart, FilterCreationFailuresAreReported) {
    StartAndOpen();
    PFILE_OBJECT second = nullptr;
    host::PoolFailTag(kTagRecord);
    EXPECT_EQ(host::OpenFilter(device_, "GLOBAL", &second), STATUS_INSUFFICIENT_RESOURCES);
    host::PoolClearFaults();
    const NTSTATUS refusal = NTSTATUS(0xC0000017);
    host::RefuseBagItems(refusal, 1);
    EXPECT_EQ(host::OpenFilter(device_, "GLOBAL", &second), refusal);
    host::RefuseBagItems(STATUS_SUCCESS, 0);
    ForEachAllocationFailure(
        [&] {
            PFILE_OBJECT filter = nullptr;
            NTSTATUS status = host::OpenFilter(device_, "GLOBAL", &filter);
            if (NT_SUCCESS(status))
                host::CloseFilter(filter);
            return status;
        },
        [](bool refused, NTSTATUS status) {
            if (!refused) {
                EXPECT_EQ(status, STATUS_SUCCESS);
            }
        });
}

}  // namespace
