// The camera's firmware through its pipes: every command packet, the two replies of a
// query, and what the recorder shows of the exchange.
#include <gtest/gtest.h>

#include "tests/sim/usb_client.h"

namespace {

class SimFirmware : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        sim::CameraOptions options;
        options.synchronousCompletion = GetParam();
        camera = MakeCamera(options);
        usb = std::make_unique<UsbClient>(camera.get());
        ASSERT_EQ(usb->Configure(nullptr), STATUS_SUCCESS);
        camera->ClearTransfers();
    }

    // A query as the driver makes it: send, then two replies; the answer is the second's
    // byte 0.
    bool Query(const std::vector<UCHAR>& packet, UCHAR* answer) {
        if (usb->Send(packet) != STATUS_SUCCESS)
            return false;
        UCHAR reply[64];
        ULONG moved = 0;
        if (usb->Transfer(1, reply, 64, &moved) != STATUS_SUCCESS || moved != 64)
            return false;
        if (usb->Transfer(1, reply, 64, &moved) != STATUS_SUCCESS || moved != 64)
            return false;
        *answer = reply[0];
        return true;
    }

    std::unique_ptr<sim::Camera> camera;
    std::unique_ptr<UsbClient> usb;
};

TEST_P(SimFirmware, SensorRegisterWriteTravelsAsRecorded) {
    auto packet = Packet({0x04, 0x20, 0x00, 0x9A, 0x01, 0x2C});
    NTSTATUS returned;
    UCHAR copy[64];
    memcpy(copy, packet.data(), 64);
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           usb->Pipes().pipes[0].PipeHandle, copy, nullptr, 64,
                                           USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(usb->Submit(&urb, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, GetParam() ? STATUS_SUCCESS : STATUS_PENDING);
    EXPECT_EQ(camera->SensorRegister(0x9A), 300);

    auto transfers = camera->Transfers();
    ASSERT_EQ(transfers.size(), 1u);
    const sim::Transfer& t = transfers[0];
    EXPECT_EQ(t.ioControlCode, ULONG(IOCTL_INTERNAL_USB_SUBMIT_URB));
    EXPECT_EQ(t.function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(t.urbLength, 128);
    EXPECT_EQ(t.pipe, 0);
    EXPECT_EQ(t.interfaceNumber, 0);
    EXPECT_FALSE(t.in);
    EXPECT_EQ(t.transferFlags, ULONG(USBD_SHORT_TRANSFER_OK));
    EXPECT_EQ(t.asked, 64u);
    EXPECT_EQ(t.moved, 64u);
    EXPECT_TRUE(t.completed);
    EXPECT_EQ(t.synchronous, GetParam());
    EXPECT_EQ(t.status, STATUS_SUCCESS);
    EXPECT_EQ(t.bytes, packet);
}

TEST_P(SimFirmware, SensorWritesOutsideTheSensorAreDropped) {
    ASSERT_EQ(usb->Send(Packet({0x04, 0x20, 0x04, 0x00, 0x12, 0x34})), STATUS_SUCCESS);  // 1024
    ASSERT_EQ(usb->Send(Packet({0x04, 0x21, 0x00, 0x04, 0x00, 0x07})), STATUS_SUCCESS);  // bus
    ASSERT_EQ(usb->Send(Packet({0x04, 0x20, 0x03, 0xFF, 0xAB, 0xCD})), STATUS_SUCCESS);  // 1023
    EXPECT_EQ(camera->SensorRegister(4), 0);
    EXPECT_EQ(camera->SensorRegister(1023), 0xABCD);
    EXPECT_EQ(camera->CommandCount(0x04), 3u);
}

TEST_P(SimFirmware, ControlRegisterReadAnswersInTheSecondReply) {
    ASSERT_EQ(usb->Send(Packet({0x25, 15, 3})), STATUS_SUCCESS);
    EXPECT_EQ(camera->ControlRegister(15), 3);
    UCHAR answer = 0;
    ASSERT_TRUE(Query(Packet({0x26, 15}), &answer));
    EXPECT_EQ(answer, 3);
    auto transfers = camera->Transfers();
    ASSERT_EQ(transfers.size(), 4u);
    // The first reply acknowledges the query by echoing it; the second carries the value.
    EXPECT_EQ(transfers[2].pipe, 1);
    EXPECT_TRUE(transfers[2].in);
    EXPECT_EQ(transfers[2].bytes, Packet({0x26, 15}));
    EXPECT_EQ(transfers[3].bytes, Packet({3}));
}

TEST_P(SimFirmware, TriggerStatusFollowsControlRegisterEleven) {
    UCHAR answer = 0xFF;
    ASSERT_TRUE(Query(Packet({0x29}), &answer));
    EXPECT_EQ(answer, 0x00);
    ASSERT_EQ(usb->Send(Packet({0x25, 11, 1})), STATUS_SUCCESS);
    ASSERT_TRUE(Query(Packet({0x29}), &answer));
    EXPECT_EQ(answer, 0x10);
}

TEST_P(SimFirmware, MemoryReadNeedsItsSignatureBytes) {
    camera->SetMemoryByte(0x1234, 0x5A);
    UCHAR answer = 0;
    ASSERT_TRUE(Query(Packet({0x41, 0x51, 0x02, 0x01, 0x12, 0x34}), &answer));
    EXPECT_EQ(answer, 0x5A);
    EXPECT_EQ(camera->MemoryByte(0x0001), UCHAR(7));  // the fixed image elsewhere
    // Without the signature the packet is ignored: no replies wait.
    ASSERT_EQ(usb->Send(Packet({0x41, 0x50, 0x02, 0x01, 0x12, 0x34})), STATUS_SUCCESS);
    AsyncRead reply(usb.get(), 1, 64);
    EXPECT_EQ(reply.Start(), STATUS_PENDING);
    EXPECT_EQ(camera->PendingReads(1), 1u);
    EXPECT_TRUE(reply.Cancel());
    EXPECT_TRUE(reply.Wait(5000));
    EXPECT_EQ(reply.status, STATUS_CANCELLED);
    EXPECT_EQ(reply.usbdStatus, USBD_STATUS_CANCELED);
}

TEST_P(SimFirmware, ANewQueryDropsUnreadReplies) {
    UCHAR reply[64];
    ASSERT_EQ(usb->Send(Packet({0x25, 2, 4})), STATUS_SUCCESS);
    ASSERT_EQ(usb->Send(Packet({0x26, 1})), STATUS_SUCCESS);
    ASSERT_EQ(usb->Transfer(1, reply, 64), STATUS_SUCCESS);  // only the first reply read
    UCHAR answer = 0;
    ASSERT_TRUE(Query(Packet({0x26, 2}), &answer));
    EXPECT_EQ(answer, 4);
}

TEST_P(SimFirmware, RawCommandResetAndStartUp) {
    std::vector<UCHAR> raw(64);
    for (int i = 0; i < 64; ++i)
        raw[i] = UCHAR(i + 0x40);
    raw[0] = 0x40;
    ASSERT_EQ(usb->Send(raw), STATUS_SUCCESS);
    EXPECT_EQ(camera->LastRawCommand(), std::vector<UCHAR>(raw.begin() + 1, raw.end()));

    ASSERT_EQ(usb->Send(Packet({0x0A, 0x01})), STATUS_SUCCESS);
    EXPECT_TRUE(camera->StartedUp());
    ASSERT_EQ(usb->Send(Packet({0x04, 0x20, 0x00, 0x04, 0x02, 0x00})), STATUS_SUCCESS);
    ASSERT_EQ(usb->Send(Packet({0x25, 32, 1})), STATUS_SUCCESS);
    ASSERT_EQ(usb->Send(Packet({0x06})), STATUS_SUCCESS);
    EXPECT_FALSE(camera->StartedUp());
    EXPECT_EQ(camera->SensorRegister(4), 0);
    EXPECT_EQ(camera->SensorRegister(0x9A), 524);
    EXPECT_EQ(camera->ControlRegister(32), 0);
}

TEST_P(SimFirmware, ResetPulseOnControlSixResetsTheSensor) {
    ASSERT_EQ(usb->Send(Packet({0x04, 0x20, 0x00, 0x9A, 0x00, 0x02})), STATUS_SUCCESS);
    ASSERT_EQ(usb->Send(Packet({0x25, 6, 17})), STATUS_SUCCESS);
    EXPECT_EQ(camera->SensorRegister(0x9A), 524);
    ASSERT_EQ(usb->Send(Packet({0x25, 6, 0})), STATUS_SUCCESS);
    EXPECT_EQ(camera->ControlRegister(6), 0);
}

TEST_P(SimFirmware, ShortPacketsAreNoCommands) {
    UCHAR packet[64] = {0x04, 0x20, 0x00, 0x04, 0x00, 0x09};
    ULONG moved = 0;
    ASSERT_EQ(usb->Transfer(0, packet, 32, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 32u);
    EXPECT_EQ(camera->SensorRegister(4), 0);
    EXPECT_EQ(camera->CommandCount(0x04), 0u);
}

INSTANTIATE_TEST_SUITE_P(Completion, SimFirmware, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Synchronous" : "Pending";
                         });

}  // namespace
