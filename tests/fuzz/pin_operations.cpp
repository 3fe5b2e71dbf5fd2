#include "tests/fuzz/pin_operations.h"

#include "tests/fuzz/fuzz_harness.h"

NTSTATUS PinSession::ChangeFormat(const std::vector<uint8_t>& bytes) {
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Connection;
    request.Id = KSPROPERTY_CONNECTION_DATAFORMAT;
    request.Flags = KSPROPERTY_TYPE_SET;
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
    if (!bytes.empty())
        memcpy(exact.get(), bytes.data(), bytes.size());
    ULONG returned = 0;
    return host::KsPropertyRequest(pin, &request, sizeof(request),
                                   bytes.empty() ? nullptr : exact.get(), ULONG(bytes.size()),
                                   &returned);
}

void PinSession::Read(bool frameInfo, ULONG extent) {
    if (frames_.size() >= 2)
        return;
    auto frame = std::make_unique<Frame>();
    frame->data.reset(new uint8_t[extent ? extent : 1]);
    frame->head.header.Size = frameInfo ? sizeof(frame->head) : sizeof(KSSTREAM_HEADER);
    frame->head.header.FrameExtent = extent;
    frame->head.header.Data = frame->data.get();
    if (frameInfo)
        frame->head.info.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    if (host::ReadStream(pin, &frame->head.header, &frame->read) != STATUS_PENDING) {
        if (frame->read)
            host::FreeStreamRead(frame->read);
        return;
    }
    frames_.push_back(std::move(frame));
}

void PinSession::Wait() {
    for (auto& frame : frames_) {
        NTSTATUS status;
        host::WaitStreamRead(frame->read, 1000, &status);
    }
}

void PinSession::Close() {
    if (!pin)
        return;
    if (host::ClosePin(pin) != STATUS_SUCCESS)
        FuzzFail("the pin does not close");
    pin = nullptr;
    for (auto& frame : frames_) {
        NTSTATUS status;
        if (!host::WaitStreamRead(frame->read, 5000, &status))
            FuzzFail("a frame read outlived its pin");
        host::FreeStreamRead(frame->read);
    }
    frames_.clear();
}
