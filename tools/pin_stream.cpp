#include "tools/pin_stream.h"

#include <cstring>

namespace tool {

std::unique_ptr<PinStream> PinStream::Create(PFILE_OBJECT filter, const KSDATAFORMAT* format,
                                             ULONG imageSize, NTSTATUS* status) {
    std::unique_ptr<PinStream> stream(new PinStream);
    stream->imageSize_ = imageSize;
    *status = host::CreatePin(filter, 0, format, &stream->pin_);
    if (!NT_SUCCESS(*status)) {
        stream->pin_ = nullptr;
        return nullptr;
    }
    return stream;
}

NTSTATUS PinStream::Queue(Frame* frame) {
    // The header as an application sets it before each read: sizes and the buffer; the rest
    // is the driver's to fill in.
    std::memset(&frame->header, 0, sizeof(frame->header));
    frame->header.header.Size = sizeof(FrameHeader);
    frame->header.header.FrameExtent = imageSize_;
    frame->header.header.Data = frame->data.data();
    frame->header.info.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    frame->read = nullptr;
    NTSTATUS status = host::ReadStream(pin_, &frame->header.header, &frame->read);
    if (!NT_SUCCESS(status)) {
        // A read refused at once is complete as far as it went; it is not left queued.
        if (frame->read) {
            NTSTATUS ignored;
            host::WaitStreamRead(frame->read, 0, &ignored);
            host::FreeStreamRead(frame->read);
        }
        frame->read = nullptr;
        return status;
    }
    queued_.push_back(frame);
    return status;
}

NTSTATUS PinStream::QueueFrames(int count) {
    for (int i = 0; i < count; ++i) {
        frames_.push_back(std::make_unique<Frame>());
        frames_.back()->data.assign(imageSize_, 0);
        NTSTATUS status = Queue(frames_.back().get());
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

bool PinStream::WaitOldest(uint32_t milliseconds, CompletedFrame* out) {
    if (queued_.empty())
        return false;
    Frame* frame = queued_.front();
    NTSTATUS status = STATUS_PENDING;
    if (!host::WaitStreamRead(frame->read, milliseconds, &status))
        return false;
    host::FreeStreamRead(frame->read);
    frame->read = nullptr;
    queued_.pop_front();
    completed_ = frame;
    out->status = status;
    out->header = frame->header;
    out->data = frame->data.data();
    return true;
}

NTSTATUS PinStream::Requeue() {
    Frame* frame = completed_;
    completed_ = nullptr;
    return frame ? Queue(frame) : STATUS_INVALID_DEVICE_STATE;
}

bool PinStream::Drain(uint32_t milliseconds) {
    while (!queued_.empty()) {
        Frame* frame = queued_.front();
        NTSTATUS status;
        if (!host::WaitStreamRead(frame->read, milliseconds, &status))
            return false;
        host::FreeStreamRead(frame->read);
        frame->read = nullptr;
        queued_.pop_front();
    }
    return true;
}

bool PinStream::Close(uint32_t milliseconds, NTSTATUS* status) {
    *status = STATUS_SUCCESS;
    if (pin_) {
        *status = host::ClosePin(pin_);
        pin_ = nullptr;
    }
    // Closing the pin ends every read still queued on it, with or without an image.
    if (Drain(milliseconds))
        return true;
    leaked_ = true;
    return false;
}

PinStream::~PinStream() {
    NTSTATUS ignored;
    if (pin_ || !queued_.empty())
        Close(5000, &ignored);
    if (leaked_) {
        // A read that never completed may still be written to: its frame must outlive it.
        for (std::unique_ptr<Frame>& frame : frames_)
            frame.release();
    }
}

}  // namespace tool
