// Each of the camera's faults, as a driver would meet it.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "tests/sim/usb_client.h"

namespace {

class SimFaults : public testing::Test {
protected:
    void SetUp() override {
        sim::CameraOptions options;
        options.paced = false;
        options.moving = false;
        options.scene = "chart";
        camera = MakeCamera(options);
        usb = std::make_unique<UsbClient>(camera.get());
        ASSERT_EQ(usb->Configure(nullptr), STATUS_SUCCESS);
    }
    std::vector<std::unique_ptr<AsyncRead>> Queue(int count, NTSTATUS* refused = nullptr) {
        std::vector<std::unique_ptr<AsyncRead>> reads;
        EXPECT_EQ(usb->Send(Packet({0x02})), STATUS_SUCCESS);
        for (int i = 0; i < count; ++i) {
            ULONG length = i == 4 ? 63488 : 65536;
            reads.push_back(std::make_unique<AsyncRead>(usb.get(), 2, length));
            NTSTATUS status = reads.back()->Start();
            if (status != STATUS_PENDING && refused)
                *refused = status;
        }
        return reads;
    }
    void StreamOn() { ASSERT_EQ(usb->Send(Packet({0x03})), STATUS_SUCCESS); }

    std::unique_ptr<sim::Camera> camera;
    std::unique_ptr<UsbClient> usb;
};

TEST(SimFaultNames, EveryFaultHasANameThatReadsBack) {
    for (int i = 0; i < sim::kFaultCount; ++i) {
        sim::Fault fault;
        ASSERT_TRUE(sim::FaultFromName(sim::FaultName(sim::Fault(i)), &fault));
        EXPECT_EQ(int(fault), i);
    }
    sim::Fault fault;
    EXPECT_FALSE(sim::FaultFromName("no-such-fault", &fault));
    EXPECT_STREQ(sim::FaultName(sim::Fault::ChunkRefused), "chunk-refused");
}

TEST_F(SimFaults, NoFrameLeavesReadsPendingUntilCancelled) {
    camera->SetFault(sim::Fault::NoFrame);
    auto reads = Queue(5);
    StreamOn();
    EXPECT_FALSE(reads[0]->Wait(50));
    EXPECT_EQ(camera->PendingReads(2), 5u);
    for (auto& read : reads) {
        EXPECT_TRUE(read->Cancel());
        ASSERT_TRUE(read->Done());
        EXPECT_EQ(read->status, STATUS_CANCELLED);
        EXPECT_EQ(read->moved, 0u);
    }
    EXPECT_EQ(camera->PendingReads(2), 0u);
}

TEST_F(SimFaults, ShortTransferEndsTheFaultChunkEarlyAndShiftsTheRest) {
    camera->SetFault(sim::Fault::ShortTransfer);
    auto reads = Queue(5);
    StreamOn();
    const ULONG expected[5] = {65536, 65536, 32768, 65536, 63488};
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(reads[i]->Wait(10000));
        EXPECT_EQ(reads[i]->status, STATUS_SUCCESS);
        EXPECT_EQ(reads[i]->moved, expected[i]) << "read " << i;
    }
    auto frame = camera->LastFrame();
    // The data after the short chunk continues where it stopped.
    EXPECT_EQ(reads[3]->buffer[0], frame[2 * 65536 + 32768]);
    EXPECT_FALSE(camera->FramesSent() > 0);  // the tail found no read
}

// A transfer error halts the endpoint: the reads queued behind it fail, so do new ones until
// the pipe is reset (refused while reads are pending), and the next stream on starts anew.
TEST_F(SimFaults, ChunkErrorHaltsThePipeUntilItIsReset) {
    camera->SetTransientFault(sim::Fault::ChunkError, 1);
    camera->SetFaultChunk(1);
    auto reads = Queue(5);
    StreamOn();
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(reads[i]->Wait(10000));
    const USBD_STATUS expected[5] = {USBD_STATUS_SUCCESS, USBD_STATUS_XACT_ERROR,
                                     USBD_STATUS_ENDPOINT_HALTED, USBD_STATUS_ENDPOINT_HALTED,
                                     USBD_STATUS_ENDPOINT_HALTED};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(reads[i]->usbdStatus, expected[i]) << "read " << i;
        EXPECT_EQ(reads[i]->status, i == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
    }
    NTSTATUS refused = STATUS_SUCCESS;
    auto halted = Queue(1, &refused);
    EXPECT_EQ(halted[0]->usbdStatus, USBD_STATUS_ENDPOINT_HALTED);
    AsyncRead reply(usb.get(), 1, 64);
    ASSERT_EQ(reply.Start(), STATUS_PENDING);
    EXPECT_EQ(usb->Call(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(camera->Transfers().back().usbdStatus, USBD_STATUS_ERROR_BUSY);
    ASSERT_TRUE(reply.Cancel());
    ASSERT_EQ(usb->PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 2), STATUS_SUCCESS);
    auto again = Queue(5);
    EXPECT_EQ(usb->PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 2),
              STATUS_UNSUCCESSFUL);
    StreamOn();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(again[i]->Wait(10000));
        EXPECT_EQ(again[i]->status, STATUS_SUCCESS) << "the fault was for one frame";
    }
    EXPECT_EQ(again[2]->buffer[0], camera->LastFrame()[2 * 65536]);
}

TEST_F(SimFaults, ChunkRefusedAtSubmission) {
    camera->SetFault(sim::Fault::ChunkRefused);
    NTSTATUS refused = STATUS_SUCCESS;
    auto reads = Queue(3, &refused);
    EXPECT_EQ(refused, STATUS_UNSUCCESSFUL);
    ASSERT_TRUE(reads[2]->Done());  // completed inside IofCallDriver
    EXPECT_EQ(reads[2]->usbdStatus, USBD_STATUS_ERROR_BUSY);
    auto transfers = camera->Transfers();
    EXPECT_TRUE(transfers.back().synchronous);
    EXPECT_EQ(transfers.back().status, STATUS_UNSUCCESSFUL);
    // The chunks queued before it still get the frame.
    StreamOn();
    ASSERT_TRUE(reads[0]->Wait(10000));
    ASSERT_TRUE(reads[1]->Wait(10000));
    EXPECT_EQ(reads[1]->moved, 65536u);
}

TEST_F(SimFaults, LostAndShortReplies) {
    UCHAR reply[64];
    ULONG moved = 0;
    camera->SetFault(sim::Fault::LostReply);
    ASSERT_EQ(usb->Send(Packet({0x29})), STATUS_SUCCESS);
    EXPECT_EQ(usb->Transfer(1, reply, 64, &moved), STATUS_SUCCESS);
    USBD_STATUS usbd = 0;
    EXPECT_EQ(usb->Transfer(1, reply, 64, &moved, &usbd), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(usb->Transfer(1, reply, 64, &moved, &usbd), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_ENDPOINT_HALTED);
    ASSERT_EQ(usb->PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 1), STATUS_SUCCESS);
    camera->SetFault(sim::Fault::LostReply, false);
    camera->SetFault(sim::Fault::ShortReply);
    ASSERT_EQ(usb->Send(Packet({0x29})), STATUS_SUCCESS);
    EXPECT_EQ(usb->Transfer(1, reply, 64, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 64u);
    EXPECT_EQ(usb->Transfer(1, reply, 64, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 16u);
}

TEST_F(SimFaults, ShortSendMovesHalfAPacketAndDoesNothing) {
    camera->SetFault(sim::Fault::ShortSend);
    ULONG moved = 0;
    ASSERT_EQ(usb->Send(Packet({0x04, 0x20, 0x00, 0x04, 0x00, 0x05}), &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 32u);
    EXPECT_EQ(camera->SensorRegister(4), 0);
    EXPECT_EQ(camera->Transfers().back().bytes.size(), 32u);
}

TEST_F(SimFaults, StalledPipeRefusesReadsUntilReset) {
    camera->SetFault(sim::Fault::StalledPipe);
    NTSTATUS refused = STATUS_SUCCESS;
    auto reads = Queue(1, &refused);
    EXPECT_EQ(refused, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reads[0]->usbdStatus, USBD_STATUS_ENDPOINT_HALTED);
    // Commands still flow on pipe 0.
    EXPECT_EQ(usb->Send(Packet({0x25, 1, 1})), STATUS_SUCCESS);
    EXPECT_EQ(usb->PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 2), STATUS_SUCCESS);
    EXPECT_FALSE(camera->FaultActive(sim::Fault::StalledPipe));
    auto again = Queue(1);
    StreamOn();
    ASSERT_TRUE(again[0]->Wait(10000));
    EXPECT_EQ(again[0]->status, STATUS_SUCCESS);
}

TEST_F(SimFaults, DisabledPortRefusesUntilThePortIsReset) {
    camera->SetFault(sim::Fault::PortDisabled);
    ULONG port = 0xFF;
    EXPECT_EQ(usb->Call(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_SUCCESS);
    EXPECT_EQ(port, ULONG(USBD_PORT_CONNECTED));
    USBD_STATUS usbd = 0;
    UCHAR packet[64] = {0x25, 1, 1};
    EXPECT_EQ(usb->Transfer(0, packet, 64, nullptr, &usbd), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(usb->PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 2),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usb->Call(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(usb->Call(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_SUCCESS);
    EXPECT_EQ(port, ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
    EXPECT_EQ(usb->Transfer(0, packet, 64), STATUS_SUCCESS);
    EXPECT_EQ(camera->ControlRegister(1), 1);

    auto transfers = camera->Transfers();
    int portStatus = 0, portReset = 0;
    for (const auto& t : transfers) {
        portStatus += t.ioControlCode == ULONG(IOCTL_INTERNAL_USB_GET_PORT_STATUS);
        portReset += t.ioControlCode == ULONG(IOCTL_INTERNAL_USB_RESET_PORT);
    }
    EXPECT_EQ(portStatus, 2);
    EXPECT_EQ(portReset, 1);
}

TEST_F(SimFaults, DisconnectedPortFailsEverything) {
    AsyncRead pending(usb.get(), 2, 65536);
    ASSERT_EQ(pending.Start(), STATUS_PENDING);
    camera->SetFault(sim::Fault::PortDisconnected);
    ULONG port = 0xFF;
    EXPECT_EQ(usb->Call(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_SUCCESS);
    EXPECT_EQ(port, 0u);
    NTSTATUS returned;
    std::vector<UCHAR> d;
    EXPECT_EQ(usb->Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18, &d), STATUS_DEVICE_NOT_CONNECTED);
    UCHAR packet[64] = {};
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           usb->Pipes().pipes[0].PipeHandle, packet, nullptr, 64, 0,
                                           nullptr);
    EXPECT_EQ(usb->Submit(&urb, &returned), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(returned, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(usb->Call(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_TRUE(pending.Done()) << "a disconnect fails pending reads at once";
    EXPECT_EQ(pending.usbdStatus, USBD_STATUS_DEVICE_GONE);
}

TEST_F(SimFaults, UnpluggedCameraFailsPendingAndLaterRequestsAtOnce) {
    AsyncRead pending(usb.get(), 2, 65536);
    ASSERT_EQ(pending.Start(), STATUS_PENDING);
    camera->Unplug();
    ASSERT_TRUE(pending.Done());
    EXPECT_EQ(pending.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(pending.usbdStatus, USBD_STATUS_DEVICE_GONE);
    AsyncRead later(usb.get(), 1, 64);
    EXPECT_EQ(later.Start(), STATUS_NO_SUCH_DEVICE);
    ULONG port = 0;
    EXPECT_EQ(usb->Call(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(camera->PortStatus(), 0u);
}

TEST(SimFaultSettings, NamesCountsAndProbabilities) {
    const struct {
        const char* text;
        bool ok;
        unsigned count;
        double probability;
    } cases[] = {
        {"chunk-error", true, 0, -1},      {"chunk-error:3", true, 3, -1},
        {"no-frame@0.25", true, 0, 0.25},  {"stalled-pipe@1", true, 0, 1.0},
        {"lost-reply@0", true, 0, 0.0},    {"chunk-error:0", false, 0, 0},
        {"chunk-error:-1", false, 0, 0},   {"chunk-error:2x", false, 0, 0},
        {"chunk-error:", false, 0, 0},     {"chunk-error@1.5", false, 0, 0},
        {"chunk-error@-0.1", false, 0, 0}, {"chunk-error@nan", false, 0, 0},
        {"two-pipes:2", false, 0, 0},      {"nothing:2", false, 0, 0},
        {"port-disabled:1", true, 1, -1},
    };
    for (const auto& c : cases) {
        sim::FaultSetting setting;
        std::string error;
        ASSERT_EQ(sim::ParseFaultSetting(c.text, &setting, &error), c.ok) << c.text;
        EXPECT_EQ(error.empty(), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(setting.count, c.count) << c.text;
            EXPECT_EQ(setting.probability, c.probability) << c.text;
        }
    }
}

// A random fault with the same seed hits the same frames.
TEST_F(SimFaults, RandomFaultsRepeatWithTheirSeed) {
    std::vector<bool> runs[2];
    for (auto& hits : runs) {
        camera->SetFaultProbability(sim::Fault::ShortTransfer, 0.5, 7);
        for (int frame = 0; frame < 16; ++frame) {
            auto reads = Queue(5);
            StreamOn();
            for (auto& read : reads)
                ASSERT_TRUE(read->Wait(10000));
            hits.push_back(reads[2]->moved < 65536);
        }
    }
    EXPECT_EQ(runs[0], runs[1]);
    EXPECT_NE(std::count(runs[0].begin(), runs[0].end(), true), 0);
    EXPECT_NE(std::count(runs[0].begin(), runs[0].end(), false), 0);
}

TEST_F(SimFaults, ReadsCancelledWhileTheFrameStreamsEndExactlyOnce) {
    // Cancel every read while the camera is filling them: each ends once, either way.
    for (int round = 0; round < 200; ++round) {
        auto reads = Queue(5);
        StreamOn();
        for (auto& read : reads)
            read->Cancel();
        for (auto& read : reads) {
            ASSERT_TRUE(read->Wait(10000));
            ASSERT_TRUE(read->status == STATUS_SUCCESS || read->status == STATUS_CANCELLED);
        }
        ASSERT_EQ(camera->PendingReads(2), 0u);
    }
}

}  // namespace
