#include "tools/frame_hub.h"

#include <time.h>

#include <chrono>

namespace tool {
namespace {

int64_t ThreadCpuNanoseconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

void FrameHub::Publish(HubFrame frame) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        frame.sequence = ++sequence_;
        newest_ = std::make_shared<const HubFrame>(std::move(frame));
    }
    published_.notify_all();
}

bool FrameHub::NextPicture(uint64_t after, uint32_t milliseconds, HubPicture* picture,
                           std::string* error) {
    error->clear();
    std::shared_ptr<const HubFrame> frame;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        bool ready = published_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
            return closed_ || (newest_ && newest_->sequence > after);
        });
        if (!ready || closed_)
            return false;
        frame = newest_;
    }
    std::lock_guard<std::mutex> encoding(encodeMutex_);
    // Another viewer may have encoded this frame, or a newer one, while this one waited.
    if (encoded_.jpeg && encoded_.sequence >= frame->sequence) {
        *picture = encoded_;
        return true;
    }
    int64_t start = ThreadCpuNanoseconds();
    auto jpeg = std::make_shared<std::vector<uint8_t>>();
    bool ok = encoder_.Encode(frame->pixels, frame->width, frame->height, jpeg.get(), error);
    int64_t spent = ThreadCpuNanoseconds() - start;
    std::lock_guard<std::mutex> lock(mutex_);
    encodeCpu_ += spent;
    if (!ok) {
        // Named, so the viewer passes over this frame rather than asking for it again.
        picture->sequence = frame->sequence;
        picture->jpeg = nullptr;
        return false;
    }
    encoded_.sequence = frame->sequence;
    encoded_.jpeg = std::move(jpeg);
    *picture = encoded_;
    return true;
}

void FrameHub::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    published_.notify_all();
}

int64_t FrameHub::EncodeCpuNanoseconds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return encodeCpu_;
}

}  // namespace tool
