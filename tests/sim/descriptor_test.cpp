// The camera as the bus driver presents it: descriptors, truncation, configuration
// selection with its pipe handles, deconfiguration, and the descriptor faults.
#include <gtest/gtest.h>

#include "tests/sim/usb_client.h"

namespace {

TEST(SimDescriptors, DeviceDescriptorIsEighteenBytesAndTruncatesToTheRequest) {
    auto camera = MakeCamera();
    UsbClient usb(camera.get());
    std::vector<UCHAR> d;
    ASSERT_EQ(usb.Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 64, &d), STATUS_SUCCESS);
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[1], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(d[17], 1);  // one configuration
    ASSERT_EQ(usb.Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 8, &d), STATUS_SUCCESS);
    EXPECT_EQ(d.size(), 8u);
    // No string descriptors: the device stalls the request.
    EXPECT_EQ(usb.Descriptor(3, 255, &d), STATUS_UNSUCCESSFUL);
}

TEST(SimDescriptors, ConfigurationHasOneInterfaceWithThreeBulkPipes) {
    auto camera = MakeCamera();
    UsbClient usb(camera.get());
    std::vector<UCHAR> head;
    ASSERT_EQ(usb.Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, &head), STATUS_SUCCESS);
    ASSERT_EQ(head.size(), 9u);
    EXPECT_EQ(head[2] | head[3] << 8, 9 + 9 + 3 * 7);
    EXPECT_EQ(head[4], 1);
    ConfiguredPipes pipes;
    ASSERT_EQ(usb.Configure(&pipes), STATUS_SUCCESS);
    EXPECT_TRUE(camera->Configured());
    ASSERT_EQ(pipes.pipes.size(), 3u);
    const UCHAR addresses[3] = {0x01, 0x82, 0x86};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pipes.pipes[i].EndpointAddress, addresses[i]);
        EXPECT_EQ(pipes.pipes[i].PipeType, UsbdPipeTypeBulk);
        EXPECT_NE(pipes.pipes[i].PipeHandle, nullptr);
        EXPECT_EQ(pipes.pipes[i].MaximumTransferSize, ULONG(PAGE_SIZE));  // left as given
    }
    EXPECT_EQ(pipes.pipes[0].MaximumPacketSize, 64);
    EXPECT_EQ(pipes.pipes[2].MaximumPacketSize, 512);
    EXPECT_NE(pipes.pipes[0].PipeHandle, pipes.pipes[1].PipeHandle);

    // Deconfigured, the old handles name nothing.
    ASSERT_EQ(usb.Deconfigure(), STATUS_SUCCESS);
    EXPECT_FALSE(camera->Configured());
    UCHAR packet[64] = {};
    USBD_STATUS usbd = 0;
    EXPECT_EQ(usb.Transfer(0, packet, 64, nullptr, &usbd), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(usbd, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST(SimDescriptors, DescriptorShapesOfTheFaults) {
    struct Case {
        sim::Fault fault;
        size_t totalLength;
        UCHAR declared;
        std::vector<UCHAR> interfaces;
        size_t pipes;
    };
    const Case cases[] = {
        {sim::Fault::TwoPipes, 9 + 9 + 2 * 7, 1, {0}, 2},
        {sim::Fault::Interfaces0And2, 9 + 9 + 3 * 7 + 9 + 7, 2, {0, 2}, 3},
        {sim::Fault::MissingInterface, 9 + 9 + 3 * 7, 2, {0}, 3},
        {sim::Fault::NoInterface, 9, 0, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::FaultName(c.fault));
        auto camera = MakeCamera();
        camera->SetFault(c.fault);
        UsbClient usb(camera.get());
        std::vector<UCHAR> head;
        ASSERT_EQ(usb.Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, &head), STATUS_SUCCESS);
        EXPECT_EQ(size_t(head[2] | head[3] << 8), c.totalLength);
        EXPECT_EQ(head[4], c.declared);
        ConfiguredPipes pipes;
        ASSERT_EQ(usb.Configure(&pipes), STATUS_SUCCESS);
        EXPECT_EQ(pipes.interfaceNumbers, c.interfaces);
        EXPECT_EQ(pipes.pipes.size(), c.pipes);
    }
}

TEST(SimDescriptors, DeviceDescriptorFault) {
    auto camera = MakeCamera();
    camera->SetFault(sim::Fault::DeviceDescriptorError);
    UsbClient usb(camera.get());
    std::vector<UCHAR> d;
    EXPECT_EQ(usb.Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18, &d), STATUS_UNSUCCESSFUL);
    auto transfers = camera->Transfers();
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].usbdStatus, USBD_STATUS_STALL_PID);
    EXPECT_EQ(transfers[0].descriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    // The configuration descriptor still reads.
    EXPECT_EQ(usb.Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, &d), STATUS_SUCCESS);
}

TEST(SimDescriptors, MalformedRequestsAreRefusedAtSubmission) {
    auto camera = MakeCamera();
    UsbClient usb(camera.get());
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb.UrbHeader.Length = 24;  // too short for a descriptor request
    NTSTATUS returned;
    EXPECT_EQ(usb.Submit(&urb, &returned), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(returned, STATUS_INVALID_PARAMETER);
    urb = URB{};
    urb.UrbHeader.Function = 0x7777;
    urb.UrbHeader.Length = sizeof(URB);
    EXPECT_EQ(usb.Submit(&urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
    EXPECT_EQ(usb.Submit(nullptr), STATUS_INVALID_PARAMETER);
    // A descriptor request with a length but no buffer.
    urb = URB{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 1, 0, 0,
                                 nullptr, nullptr, 18, nullptr);
    EXPECT_EQ(usb.Submit(&urb), STATUS_INVALID_PARAMETER);
}

TEST(SimDescriptors, SelectionWithAnInterfaceTheDeviceLacksFails) {
    auto camera = MakeCamera();
    UsbClient usb(camera.get());
    std::vector<UCHAR> d;
    ASSERT_EQ(usb.Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 39, &d), STATUS_SUCCESS);
    auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
    list[0].Interface->InterfaceNumber = 5;
    EXPECT_EQ(usb.Submit(urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);
    EXPECT_FALSE(camera->Configured());
    ExFreePool(urb);
}

}  // namespace
