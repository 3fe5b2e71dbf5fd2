#include "tools/live_stream.h"

#include <time.h>

#include <cstdlib>

#include "tools/pin_formats.h"
#include "tools/process_clock.h"
#include "tools/status_text.h"

namespace tool {
namespace {

// How long a stop or close may take to end the reads still queued.
constexpr uint32_t kDrainMs = 5000;
// How often the reading thread looks whether it is asked to stop.
constexpr uint32_t kWaitMs = 100;

}  // namespace

LiveStream::LiveStream(CameraSession* session, FrameHub* hub, int buffers)
    : session_(session), hub_(hub), buffers_(buffers) {}

LiveStream::~LiveStream() {
    std::string ignored;
    Stop(&ignored);
}

bool LiveStream::Start(std::string* error) {
    if (pin_) {
        *error = "the pin is already running";
        return false;
    }
    std::vector<uint64_t> format;
    ULONG formatSize = 0;
    std::string step;
    NTSTATUS status = NegotiateFormat(session_, &format, &formatSize, &step);
    if (!NT_SUCCESS(status)) {
        *error = step + ": " + StatusText(status);
        return false;
    }
    const KS_BITMAPINFOHEADER& bmi = VideoInfo(format, formatSize)->bmiHeader;
    pin_ =
        PinStream::Create(session_->Filter(), reinterpret_cast<const KSDATAFORMAT*>(format.data()),
                          bmi.biSizeImage, &status);
    if (!pin_) {
        *error = "the capture pin was not created: " + StatusText(status);
        return false;
    }
    const char* failed = nullptr;
    if (!NT_SUCCESS(status = pin_->SetClock(true)))
        failed = "the pin refused the clock";
    else if (!NT_SUCCESS(status = pin_->SetState(KSSTATE_ACQUIRE)))
        failed = "ACQUIRE";
    else if (!NT_SUCCESS(status = pin_->SetState(KSSTATE_PAUSE)))
        failed = "PAUSE";
    // Frames are queued before RUN, so the first image has somewhere to go.
    else if (!NT_SUCCESS(status = pin_->QueueFrames(buffers_)))
        failed = "a frame read was refused";
    if (!failed) {
        std::lock_guard<std::mutex> lock(mutex_);
        width_ = uint32_t(std::abs(bmi.biWidth));
        height_ = uint32_t(std::abs(bmi.biHeight));
        imageSize_ = bmi.biSizeImage;
        error_.clear();
        if (!everStarted_) {
            everStarted_ = true;
            start_ = Clock::now();
            cpuStart_ = ProcessCpuNanoseconds();
            encodeCpuStart_ = hub_->EncodeCpuNanoseconds();
        }
    }
    if (!failed && !NT_SUCCESS(status = pin_->SetState(KSSTATE_RUN)))
        failed = "RUN";
    if (failed) {
        *error = std::string(failed) + ": " + StatusText(status);
        std::string ignored;
        Stop(&ignored);
        return false;
    }
    stopRequested_ = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        streaming_ = true;
    }
    reader_ = std::thread([this] { Read(); });
    return true;
}

bool LiveStream::Stop(std::string* error) {
    stopRequested_ = true;
    if (reader_.joinable())
        reader_.join();
    if (!pin_)
        return true;
    bool ok = true;
    Clock::time_point start = Clock::now();
    NTSTATUS status = pin_->SetState(KSSTATE_STOP);
    double stopMs = Seconds(Clock::now() - start) * 1000;
    if (!NT_SUCCESS(status)) {
        *error = "STOP: " + StatusText(status);
        ok = false;
    }
    NTSTATUS closed;
    if (!pin_->Close(kDrainMs, &closed)) {
        *error = "a frame read did not end when the pin was closed";
        ok = false;
    } else if (!NT_SUCCESS(closed)) {
        *error = "closing the pin: " + StatusText(closed);
        ok = false;
    }
    pin_.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    streaming_ = false;
    width_ = height_ = 0;
    stopMs_ = stopMs;
    return ok;
}

void LiveStream::Broke(const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = reason;
    streaming_ = false;
}

void LiveStream::Read() {
    while (!stopRequested_) {
        CompletedFrame frame;
        if (!pin_->WaitOldest(kWaitMs, &frame))
            continue;
        if (!NT_SUCCESS(frame.status)) {
            Broke("a frame read failed: " + StatusText(frame.status));
            return;
        }
        const KSSTREAM_HEADER& h = frame.header.header;
        HubFrame image;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (h.DataUsed == 0) {
                tally_.AddEmpty();
            } else if (h.DataUsed >= size_t(width_) * height_ * 4) {
                pictureNumber_ = frame.header.info.PictureNumber;
                tally_.AddFrame(pictureNumber_, Seconds(Clock::now() - start_));
                image.pictureNumber = pictureNumber_;
                image.width = width_;
                image.height = height_;
            } else {
                error_ = "a frame holds " + std::to_string(h.DataUsed) + " bytes, less than its " +
                         std::to_string(width_) + " x " + std::to_string(height_) + " image";
            }
        }
        if (image.width > 0) {
            image.pixels.assign(frame.data, frame.data + size_t(image.width) * image.height * 4);
            hub_->Publish(std::move(image));
        }
        NTSTATUS status = pin_->Requeue();
        if (!NT_SUCCESS(status)) {
            Broke("a frame read was refused: " + StatusText(status));
            return;
        }
    }
}

int64_t LiveStream::CpuNanoseconds() const {
    if (!everStarted_)
        return 0;
    return ProcessCpuNanoseconds() - cpuStart_ - (hub_->EncodeCpuNanoseconds() - encodeCpuStart_);
}

LiveStatus LiveStream::Status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    LiveStatus s;
    s.streaming = streaming_;
    s.frames = tally_.Frames();
    s.dropped = tally_.Dropped();
    s.empty = tally_.Empty();
    s.fps = tally_.Fps();
    s.cpuPerFrameUs = CpuPerFrameUs(CpuNanoseconds(), s.frames);
    s.pictureNumber = pictureNumber_;
    s.width = width_;
    s.height = height_;
    s.error = error_;
    return s;
}

StreamSummary LiveStream::Summary() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Summarize(tally_, tally_.Frames(), CpuNanoseconds(), stopMs_);
}

}  // namespace tool
