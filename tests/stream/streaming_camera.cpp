#include "tests/stream/streaming_camera.h"

#include "control/region_of_interest.h"
#include "tests/common/pin_intersection.h"

void StreamingCamera::TearDown() {
    if (pin_) {
        EXPECT_EQ(host::ClosePin(pin_), STATUS_SUCCESS);
    }
    pin_ = nullptr;
    for (auto& frame : frames_) {
        if (frame->read) {
            NTSTATUS status;
            EXPECT_TRUE(host::WaitStreamRead(frame->read, 2000, &status));
            host::FreeStreamRead(frame->read);
        }
    }
    frames_.clear();
    StartedCamera::TearDown();
}

std::vector<uint64_t> StreamingCamera::NegotiatedFormat() {
    std::vector<uint64_t> format;
    EXPECT_EQ(IntersectPinRange(filter_, &format), STATUS_SUCCESS);
    format.resize(32, 0);
    return format;
}

NTSTATUS StreamingCamera::CreatePin(std::vector<uint64_t>& format, bool clock) {
    NTSTATUS status = host::CreatePin(filter_, 0, Format(format), &pin_);
    if (!NT_SUCCESS(status)) {
        pin_ = nullptr;
        return status;
    }
    if (clock) {
        EXPECT_EQ(host::SetPinMasterClock(pin_, true), STATUS_SUCCESS);
    }
    return status;
}

NTSTATUS StreamingCamera::Walk(std::initializer_list<KSSTATE> states) {
    for (KSSTATE state : states) {
        NTSTATUS status = host::SetPinState(pin_, state);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

ClientFrame* StreamingCamera::Queue(ULONG extent, ULONG headerSize) {
    auto frame = std::make_unique<ClientFrame>();
    frame->data.assign(extent, 0xEE);
    ClientFrame* f = frame.get();
    frames_.push_back(std::move(frame));
    f->head.header.Size = headerSize;
    Requeue(f);
    return f;
}

void StreamingCamera::Requeue(ClientFrame* f) {
    if (f->read)
        host::FreeStreamRead(f->read);
    f->read = nullptr;
    ULONG size = f->head.header.Size;
    memset(&f->head, 0, sizeof(f->head));
    f->head.header.Size = size;
    f->head.header.FrameExtent = ULONG(f->data.size());
    f->head.header.Data = f->data.data();
    if (size >= sizeof(f->head))
        f->head.info.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    EXPECT_EQ(host::ReadStream(pin_, &f->head.header, &f->read), STATUS_PENDING);
}

ClientFrame* StreamingCamera::Next(uint32_t milliseconds) {
    if (frames_.empty())
        return nullptr;
    ClientFrame* f = frames_[nextFrame_ % frames_.size()].get();
    NTSTATUS status;
    if (!f->read || !host::WaitStreamRead(f->read, milliseconds, &status))
        return nullptr;
    ++nextFrame_;
    return f;
}
