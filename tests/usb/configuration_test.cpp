// Descriptor reads, configuration selection and the recovery requests, against the camera's
// normal and odd descriptors.
#include "driver/pool_tags.h"
#include "tests/usb/camera_fixture.h"
#include "usb/configuration.h"
#include "usb/pipe_recovery.h"

namespace {

using Configuration = CameraFixture;

std::vector<sim::Transfer> Urbs(const std::vector<sim::Transfer>& all, USHORT function) {
    std::vector<sim::Transfer> out;
    for (const sim::Transfer& t : all) {
        if (t.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && t.function == function) {
            out.push_back(t);
        }
    }
    return out;
}

// The select-configuration request's length tells how many interfaces, with how many pipes,
// it carried: 40 bytes of header plus 24 per interface and 24 per pipe.
USHORT SelectLength(int interfaces, int pipes) {
    return USHORT(40 + 24 * interfaces + 24 * pipes);
}

void ExpectUnconfigured(const UsbDevice* usb) {
    EXPECT_EQ(usb->ConfigurationDescriptor, nullptr);
    EXPECT_EQ(usb->InterfaceInfo, nullptr);
    EXPECT_EQ(usb->PipePending, nullptr);
}

TEST_F(Configuration, ReadsDescriptorsThenSelectsAndRecordsTheFirstInterface) {
    ASSERT_EQ(ConfigureDevice(Usb()), STATUS_SUCCESS);

    std::vector<sim::Transfer> all = Recorded();
    std::vector<sim::Transfer> reads = Urbs(all, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0].descriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(reads[0].asked, 18u);
    EXPECT_EQ(reads[0].urbLength, 136);
    // The configuration descriptor: its head for the total length, then exactly that length.
    EXPECT_EQ(reads[1].descriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
    EXPECT_EQ(reads[1].asked, 9u);
    ASSERT_GE(reads[1].bytes.size(), 4u);
    ULONG total = reads[1].bytes[2] | reads[1].bytes[3] << 8;
    EXPECT_EQ(reads[2].descriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
    EXPECT_EQ(reads[2].asked, total);
    EXPECT_EQ(reads[2].moved, total);

    std::vector<sim::Transfer> selects = Urbs(all, URB_FUNCTION_SELECT_CONFIGURATION);
    ASSERT_EQ(selects.size(), 1u);
    EXPECT_EQ(selects[0].urbLength, SelectLength(1, 3));
    EXPECT_EQ(all.size(), 4u) << "nothing but the descriptors and the selection";
    EXPECT_TRUE(camera_->Configured());

    const UsbDevice* usb = Usb();
    ASSERT_NE(usb->ConfigurationDescriptor, nullptr);
    EXPECT_EQ(usb->ConfigurationDescriptor->wTotalLength, total);
    ASSERT_NE(usb->InterfaceInfo, nullptr);
    EXPECT_EQ(usb->InterfaceInfo->InterfaceNumber, 0);
    ASSERT_EQ(usb->InterfaceInfo->NumberOfPipes, 3u);
    EXPECT_EQ(usb->InterfaceInfo->Length, SelectLength(1, 3) - 40);
    const UCHAR endpoints[] = {0x01, 0x82, 0x86};
    for (ULONG i = 0; i < 3; ++i) {
        const USBD_PIPE_INFORMATION& pipe = usb->InterfaceInfo->Pipes[i];
        EXPECT_EQ(pipe.EndpointAddress, endpoints[i]);
        EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
        EXPECT_NE(pipe.PipeHandle, nullptr);
        EXPECT_EQ(pipe.MaximumTransferSize, 0xFFFFFFFFu);
    }
    ASSERT_NE(usb->PipePending, nullptr);
    for (ULONG i = 0; i < 3; ++i)
        EXPECT_EQ(usb->PipePending[i], 0);
    EXPECT_EQ(host::PoolLiveCount(kTagUsb), 3u) << "descriptor, interface copy, pipe flags";
}

TEST_F(Configuration, InterfaceNumbersWithAGapAreAllSelected) {
    camera_->SetFault(sim::Fault::Interfaces0And2);
    ASSERT_EQ(ConfigureDevice(Usb()), STATUS_SUCCESS);
    std::vector<sim::Transfer> selects = Urbs(Recorded(), URB_FUNCTION_SELECT_CONFIGURATION);
    ASSERT_EQ(selects.size(), 1u);
    EXPECT_EQ(selects[0].urbLength, SelectLength(2, 3 + 1)) << "interfaces 0 and 2 both listed";
    // Only the first interface is the camera's, and only it is recorded.
    EXPECT_EQ(Usb()->InterfaceInfo->InterfaceNumber, 0);
    EXPECT_EQ(Usb()->InterfaceInfo->NumberOfPipes, 3u);
}

TEST_F(Configuration, MoreInterfacesDeclaredThanHeldGoesOnWithThoseFound) {
    camera_->SetFault(sim::Fault::MissingInterface);
    ASSERT_EQ(ConfigureDevice(Usb()), STATUS_SUCCESS);
    std::vector<sim::Transfer> selects = Urbs(Recorded(), URB_FUNCTION_SELECT_CONFIGURATION);
    ASSERT_EQ(selects.size(), 1u);
    EXPECT_EQ(selects[0].urbLength, SelectLength(1, 3));
    EXPECT_EQ(Usb()->InterfaceInfo->NumberOfPipes, 3u);
}

TEST_F(Configuration, NoInterfaceIsRefusedWithoutSelecting) {
    camera_->SetFault(sim::Fault::NoInterface);
    EXPECT_EQ(ConfigureDevice(Usb()), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Urbs(Recorded(), URB_FUNCTION_SELECT_CONFIGURATION).empty());
    ExpectUnconfigured(Usb());
}

TEST_F(Configuration, DeviceDescriptorErrorLeavesTheDeviceUnconfigured) {
    camera_->SetFault(sim::Fault::DeviceDescriptorError);
    EXPECT_EQ(ConfigureDevice(Usb()), STATUS_UNSUCCESSFUL);
    std::vector<sim::Transfer> all = Recorded();
    ASSERT_EQ(all.size(), 1u) << "no configuration descriptor is asked for";
    EXPECT_EQ(all[0].descriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    ExpectUnconfigured(Usb());
    EXPECT_FALSE(camera_->Configured());
}

TEST_F(Configuration, BusFailureIsPassedUpUnchanged) {
    camera_->SetFault(sim::Fault::PortDisconnected);
    EXPECT_EQ(ConfigureDevice(Usb()), STATUS_DEVICE_NOT_CONNECTED);
    ExpectUnconfigured(Usb());
}

// Each allocation of the configuration refused in turn: every one fails the configuration
// with STATUS_INSUFFICIENT_RESOURCES and leaves nothing allocated and nothing recorded.
TEST_F(Configuration, EveryAllocationFailureLeavesNothingBehind) {
    uint64_t before = host::PoolSequence();
    ASSERT_EQ(ConfigureDevice(Usb()), STATUS_SUCCESS);
    uint64_t points = host::PoolSequence() - before;
    FreeConfiguration(Usb());
    ASSERT_GE(points, 10u);

    size_t live = host::PoolLiveCount();
    for (uint64_t n = 1; n <= points; ++n) {
        host::PoolFailNth(n);
        NTSTATUS status = ConfigureDevice(Usb());
        host::PoolClearFaults();
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
        ExpectUnconfigured(Usb());
        EXPECT_EQ(host::PoolLiveCount(), live) << "allocation " << n;
    }
    EXPECT_EQ(ConfigureDevice(Usb()), STATUS_SUCCESS);
}

TEST_F(Configuration, UnconfigureDeselects) {
    Configure();
    FreeConfiguration(Usb());
    EXPECT_EQ(UnconfigureDevice(Usb()), STATUS_SUCCESS);
    std::vector<sim::Transfer> all = Recorded();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(all[0].urbLength, 88);
    EXPECT_FALSE(camera_->Configured());

    host::PoolFailTag(kTagUsb);
    EXPECT_EQ(UnconfigureDevice(Usb()), STATUS_INSUFFICIENT_RESOURCES);
    host::PoolClearFaults();
    EXPECT_EQ(Recorded().size(), 1u) << "nothing is sent without a request";
}

TEST_F(Configuration, PortIsResetOnlyWhenConnectedButDisabled) {
    Configure();
    EXPECT_EQ(ResetPortIfDisabled(Usb()), STATUS_SUCCESS);
    std::vector<sim::Transfer> all = Recorded();
    ASSERT_EQ(all.size(), 1u) << "an enabled port is left alone";
    EXPECT_EQ(all[0].ioControlCode, ULONG(IOCTL_INTERNAL_USB_GET_PORT_STATUS));

    camera_->ClearTransfers();
    camera_->SetFault(sim::Fault::PortDisconnected);
    EXPECT_TRUE(NT_SUCCESS(ResetPortIfDisabled(Usb())));
    EXPECT_EQ(Recorded().size(), 1u) << "nothing connected, nothing to reset";

    camera_->ClearFaults();
    camera_->ClearTransfers();
    camera_->SetFault(sim::Fault::PortDisabled);
    EXPECT_EQ(ResetPortIfDisabled(Usb()), STATUS_SUCCESS);
    all = Recorded();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].ioControlCode, ULONG(IOCTL_INTERNAL_USB_RESET_PORT));
    EXPECT_EQ(camera_->PortStatus(), ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
}

TEST_F(Configuration, AbortPipesSendsOnlyForPendingPipes) {
    context_->Ops->AbortPipes(context_);
    context_->Ops->CancelTransfers(context_);
    EXPECT_TRUE(Recorded().empty()) << "an unconfigured device has nothing to abort or cancel";

    Configure();
    context_->Ops->AbortPipes(context_);
    EXPECT_TRUE(Recorded().empty()) << "no pipe is marked pending after configuration";

    Usb()->PipePending[1] = 1;
    context_->Ops->AbortPipes(context_);
    std::vector<sim::Transfer> all = Recorded();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].function, URB_FUNCTION_ABORT_PIPE);
    EXPECT_EQ(all[0].urbLength, 40);
    EXPECT_EQ(all[0].pipe, 1);
    EXPECT_EQ(Usb()->PipePending[1], 0) << "a successful abort clears the mark";
}

}  // namespace
