// The USBD library routines: interface search in a configuration descriptor and the
// select-configuration request built from an interface list.
#include <gtest/gtest.h>

#include <vector>

#include "platform/host/host_control.h"

namespace {

// Configuration with interface 0 (three endpoints), interface 0 alternate 1 (one endpoint),
// and interface 2 (one endpoint, class 3); nothing numbered 1.
std::vector<UCHAR> ConfigurationBytes() {
    std::vector<UCHAR> d = {9, 2, 0, 0, 2,    1,    0,    0x80, 50, 9, 4, 0, 0,    3, 0xFF,
                            0, 0, 0, 7, 5,    0x01, 2,    64,   0,  0, 7, 5, 0x82, 2, 64,
                            0, 0, 7, 5, 0x86, 2,    0,    2,    0,  9, 4, 0, 1,    1, 0xFF,
                            0, 0, 0, 7, 5,    0x81, 3,    8,    0,  1, 9, 4, 2,    0, 1,
                            3, 1, 2, 0, 7,    5,    0x83, 3,    8,  0, 10};
    d[2] = UCHAR(d.size());
    return d;
}

PUSB_CONFIGURATION_DESCRIPTOR AsConfiguration(std::vector<UCHAR>& d) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
}

PUSB_INTERFACE_DESCRIPTOR Find(std::vector<UCHAR>& d, LONG number, LONG alternate = 0,
                               LONG cls = -1) {
    return USBD_ParseConfigurationDescriptorEx(AsConfiguration(d), d.data(), number, alternate, cls,
                                               -1, -1);
}

TEST(UsbdParse, FindsInterfacesByNumberSkippingAGap) {
    auto d = ConfigurationBytes();
    PUSB_INTERFACE_DESCRIPTOR zero = Find(d, 0);
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(zero), d.data() + 9);
    EXPECT_EQ(Find(d, 1), nullptr);
    PUSB_INTERFACE_DESCRIPTOR two = Find(d, 2);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->bInterfaceNumber, 2);
    EXPECT_EQ(Find(d, 3), nullptr);
    EXPECT_EQ(Find(d, 0, 1)->bNumEndpoints, 1);
    EXPECT_EQ(Find(d, -1, -1, 3), two);
    EXPECT_EQ(Find(d, 2, 0, 0xFF), nullptr);
    // A search that starts after interface 0 finds its alternate setting first.
    EXPECT_EQ(
        USBD_ParseConfigurationDescriptorEx(AsConfiguration(d), d.data() + 18, 0, -1, -1, -1, -1)
            ->bAlternateSetting,
        1);
}

TEST(UsbdParse, MalformedDescriptorsEndTheSearch) {
    auto d = ConfigurationBytes();
    d[9] = 0;  // a zero length would loop forever
    EXPECT_EQ(Find(d, 0), nullptr);
    EXPECT_EQ(Find(d, 2), nullptr);

    d = ConfigurationBytes();
    // wTotalLength cuts interface 2 in half: it is not there.
    d[2] = UCHAR(d.size() - 12);
    EXPECT_NE(Find(d, 0), nullptr);
    EXPECT_EQ(Find(d, 2), nullptr);

    d = ConfigurationBytes();
    d[32] = 200;  // an endpoint claiming to run past the end stops the walk there
    EXPECT_EQ(Find(d, 2), nullptr);
}

TEST(UsbdCreate, OneInformationRecordPerListedInterfaceSizedForItsPipes) {
    auto d = ConfigurationBytes();
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = Find(d, 0);
    list[1].InterfaceDescriptor = Find(d, 2);
    PURB urb = USBD_CreateConfigurationRequestEx(AsConfiguration(d), list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(host::PoolLiveCount(host::kUsbdPoolTag), 1u);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, 40 + (24 + 3 * 24) + (24 + 1 * 24));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, AsConfiguration(d));
    auto* base = reinterpret_cast<PUCHAR>(urb);
    ASSERT_EQ(reinterpret_cast<PUCHAR>(list[0].Interface), base + 40);
    ASSERT_EQ(reinterpret_cast<PUCHAR>(list[1].Interface), base + 40 + 96);
    EXPECT_EQ(list[0].Interface->Length, 96);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 3u);
    EXPECT_EQ(list[0].Interface->InterfaceNumber, 0);
    EXPECT_EQ(list[1].Interface->Length, 48);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 2);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
    EXPECT_EQ(list[2].Interface, nullptr);
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_EQ(list[0].Interface->Pipes[i].MaximumTransferSize, ULONG(PAGE_SIZE));
        EXPECT_EQ(list[0].Interface->Pipes[i].PipeHandle, nullptr);
    }
    // The caller frees it as any pool block.
    ExFreePool(urb);
}

TEST(UsbdCreate, EmptyListSelectsWithoutInterfaces) {
    auto d = ConfigurationBytes();
    USBD_INTERFACE_LIST_ENTRY list[1] = {};
    PURB urb = USBD_CreateConfigurationRequestEx(AsConfiguration(d), list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, offsetof(struct _URB_SELECT_CONFIGURATION, Interface));
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.Length, 0);
    ExFreePool(urb);
}

TEST(UsbdCreate, RefusedAllocationGivesNull) {
    auto d = ConfigurationBytes();
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = Find(d, 0);
    host::PoolFailTag(host::kUsbdPoolTag);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfiguration(d), list), nullptr);
    EXPECT_EQ(list[0].Interface, nullptr);
}

}  // namespace
