// Command packets and replies: their exact bytes, when a transfer counts as done, and what a
// query answers when the camera's replies go missing.
#include "driver/pool_tags.h"
#include "tests/usb/camera_fixture.h"
#include "usb/command_packets.h"
#include "usb/configuration.h"
#include "usb/register_access.h"

namespace {

class CommandPackets : public CameraFixture {
protected:
    void SetUp() override {
        CameraFixture::SetUp();
        if (HasFatalFailure())
            return;
        Configure();
    }

    std::vector<std::vector<uint8_t>> SentPackets() const {
        std::vector<std::vector<uint8_t>> packets;
        for (const sim::Transfer& t : OnPipe(0))
            packets.push_back(t.bytes);
        return packets;
    }
};

TEST_F(CommandPackets, SensorRegisterWriteHasItsExactBytesAndIsRemembered) {
    EXPECT_TRUE(WriteSensorRegister(context_, 0x009A, 300));
    std::vector<std::vector<uint8_t>> sent = SentPackets();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], PacketOf({0x04, 0x20, 0x00, 0x9A, 0x01, 0x2C}));
    EXPECT_EQ(context_->RegisterShadow[0x9A], 300u);
    EXPECT_EQ(camera_->SensorRegister(0x9A), 300);

    std::vector<sim::Transfer> transfers = OnPipe(0);
    EXPECT_EQ(transfers[0].urbLength, 128);
    EXPECT_EQ(transfers[0].asked, 64u);
    EXPECT_FALSE(transfers[0].in);
    EXPECT_EQ(transfers[0].transferFlags, ULONG(USBD_SHORT_TRANSFER_OK));
}

TEST_F(CommandPackets, ShadowKeepsTheWholeValueAndOnlyRegistersBelow1024) {
    EXPECT_TRUE(WriteSensorRegister(context_, 4, 0x12345));
    EXPECT_EQ(SentPackets().back(), PacketOf({0x04, 0x20, 0x00, 0x04, 0x23, 0x45}));
    EXPECT_EQ(context_->RegisterShadow[4], 0x12345u);

    EXPECT_TRUE(WriteSensorRegister(context_, 1023, 7));
    EXPECT_EQ(context_->RegisterShadow[1023], 7u);

    ULONG before[kRegisterShadowSize];
    memcpy(before, context_->RegisterShadow, sizeof(before));
    EXPECT_TRUE(WriteSensorRegister(context_, 1024, 9));
    EXPECT_EQ(SentPackets().back(), PacketOf({0x04, 0x20, 0x04, 0x00, 0x00, 0x09}));
    EXPECT_EQ(memcmp(before, context_->RegisterShadow, sizeof(before)), 0);
}

TEST_F(CommandPackets, ShortSendIsAFailureDespiteItsStatus) {
    camera_->SetFault(sim::Fault::ShortSend);
    ULONG moved = 0;
    EXPECT_EQ(PipeTransfer(context_, 0, context_->CommandPacket, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 32u);
    EXPECT_FALSE(SendPacket(context_, context_->CommandPacket));
    EXPECT_FALSE(WriteSensorRegister(context_, 0x9A, 100));
    EXPECT_EQ(context_->RegisterShadow[0x9A], 0u) << "a failed write is not remembered";
}

TEST_F(CommandPackets, QueryAnswersFromTheSecondReply) {
    camera_->SetControlRegister(15, 3);
    UCHAR answer = 0;
    const UCHAR read15[] = {0x26, 15};
    EXPECT_TRUE(QueryCommand(context_, read15, sizeof(read15), &answer));
    EXPECT_EQ(answer, 3);
    EXPECT_EQ(SentPackets().back(), PacketOf({0x26, 15}));
    std::vector<sim::Transfer> replies = OnPipe(1);
    ASSERT_EQ(replies.size(), 2u);
    for (const sim::Transfer& t : replies) {
        EXPECT_TRUE(t.in);
        EXPECT_EQ(t.transferFlags, ULONG(USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN));
    }
}

TEST_F(CommandPackets, QueryWithALostOrShortSecondReplyFailsAndAnswersNothing) {
    const UCHAR status[] = {0x29};
    for (sim::Fault fault : {sim::Fault::LostReply, sim::Fault::ShortReply}) {
        camera_->ClearFaults();
        camera_->SetFault(fault);
        UCHAR answer = 0x5A;
        EXPECT_FALSE(QueryCommand(context_, status, sizeof(status), &answer)) << FaultName(fault);
        EXPECT_EQ(answer, 0x5A) << FaultName(fault);
        // A lost reply halts the reply pipe; the driver resets it, so the next query answers.
        camera_->ClearFaults();
        EXPECT_TRUE(QueryCommand(context_, status, sizeof(status), &answer)) << FaultName(fault);
    }
}

TEST_F(CommandPackets, CommandIsCutToOnePacket) {
    std::vector<UCHAR> raw(100, 0x11);
    raw[0] = 0x40;
    EXPECT_TRUE(SendCommand(context_, raw.data(), ULONG(raw.size())));
    std::vector<uint8_t> expected(64, 0x11);
    expected[0] = 0x40;
    EXPECT_EQ(SentPackets().back(), expected);
    EXPECT_EQ(camera_->LastRawCommand(), std::vector<uint8_t>(63, 0x11));

    EXPECT_TRUE(SendCommand(context_, raw.data(), 1));
    EXPECT_EQ(SentPackets().back(), PacketOf({0x40})) << "the rest of the packet is zero";
}

TEST_F(CommandPackets, PipeTransferRefusesWhatIsNotAUsablePipe) {
    ULONG moved = 7;
    EXPECT_EQ(PipeTransfer(context_, 3, context_->CommandPacket, &moved), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(moved, 0u);

    USBD_PIPE_INFORMATION& pipe = Usb()->InterfaceInfo->Pipes[0];
    USBD_PIPE_INFORMATION saved = pipe;
    pipe.PipeType = UsbdPipeTypeControl;
    EXPECT_EQ(PipeTransfer(context_, 0, context_->CommandPacket, &moved), STATUS_INVALID_PARAMETER);
    pipe = saved;
    pipe.PipeType = UsbdPipeTypeInterrupt;
    EXPECT_EQ(PipeTransfer(context_, 0, context_->CommandPacket, &moved), STATUS_SUCCESS)
        << "interrupt pipes carry packets too";
    pipe = saved;
    pipe.MaximumTransferSize = 63;
    EXPECT_EQ(PipeTransfer(context_, 0, context_->CommandPacket, &moved), STATUS_INVALID_PARAMETER);
    pipe = saved;
    pipe.PipeHandle = nullptr;
    EXPECT_EQ(PipeTransfer(context_, 0, context_->CommandPacket, &moved), STATUS_UNSUCCESSFUL);
    pipe = saved;

    Usb()->InterfaceInfo->NumberOfPipes = 0;
    EXPECT_EQ(PipeTransfer(context_, 0, context_->CommandPacket, &moved), STATUS_INVALID_PARAMETER);
    Usb()->InterfaceInfo->NumberOfPipes = 3;

    host::PoolFailTag(kTagUsb);
    EXPECT_EQ(PipeTransfer(context_, 0, context_->CommandPacket, &moved),
              STATUS_INSUFFICIENT_RESOURCES);
    host::PoolClearFaults();

    FreeConfiguration(Usb());
    EXPECT_EQ(PipeTransfer(context_, 0, context_->CommandPacket, &moved), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SentPackets().size(), 1u) << "only the interrupt-pipe transfer went out";
}

TEST_F(CommandPackets, BusFailurePassesUpAndMovesNothing) {
    camera_->SetFault(sim::Fault::PortDisconnected);
    ULONG moved = 5;
    EXPECT_EQ(PipeTransfer(context_, 0, context_->CommandPacket, &moved),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(moved, 0u);
}

TEST_F(CommandPackets, StreamControlSendsOnlyOnAConfiguredDevice) {
    StreamControl(context_, TRUE);
    StreamControl(context_, FALSE);
    EXPECT_EQ(CommandCodes(), (std::vector<int>{0x03, 0x02}));
    EXPECT_EQ(SentPackets()[0], PacketOf({0x03}));

    FreeConfiguration(Usb());
    camera_->ClearTransfers();
    StreamControl(context_, TRUE);
    EXPECT_TRUE(Recorded().empty());
}

}  // namespace
