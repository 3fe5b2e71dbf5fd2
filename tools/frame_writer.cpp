#include "tools/frame_writer.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/png_image.h"

namespace tool {

std::vector<uint8_t> UprightRows(const std::vector<uint8_t>& bottomUp, uint32_t width,
                                 uint32_t height) {
    const size_t stride = size_t(width) * 4;
    std::vector<uint8_t> upright(stride * height);
    for (uint32_t y = 0; y < height; ++y)
        std::memcpy(&upright[size_t(y) * stride], &bottomUp[size_t(height - 1 - y) * stride],
                    stride);
    return upright;
}

std::string FramePath(const std::string& dir, int64_t pictureNumber, const char* extension) {
    char name[40];
    std::snprintf(name, sizeof(name), "/%06lld.%s", (long long)pictureNumber, extension);
    return dir + name;
}

FrameWriter::FrameWriter(std::string pngDir, std::string rawDir, ContactSheet* sheet)
    : pngDir_(std::move(pngDir)), rawDir_(std::move(rawDir)), sheet_(sheet) {
    thread_ = std::thread([this] { Loop(); });
}

FrameWriter::~FrameWriter() {
    Finish();
}

void FrameWriter::Push(FrameJob job) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return jobs_.size() < kBacklog; });
    jobs_.push_back(std::move(job));
    changed_.notify_all();
}

std::string FrameWriter::Error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

std::string FrameWriter::Finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finishing_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable())
        thread_.join();
    return error_;
}

int64_t FrameWriter::CpuNanoseconds() {
    clockid_t clock;
    timespec t{};
    if (!thread_.joinable() || pthread_getcpuclockid(thread_.native_handle(), &clock) != 0 ||
        clock_gettime(clock, &t) != 0)
        return 0;
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void FrameWriter::Loop() {
    for (;;) {
        FrameJob job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return !jobs_.empty() || finishing_; });
            if (jobs_.empty())
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            changed_.notify_all();
        }
        std::string error = Write(job);
        if (!error.empty()) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (error_.empty())
                error_ = error;
        }
    }
}

std::string FrameWriter::Write(const FrameJob& job) {
    std::vector<uint8_t> upright = UprightRows(job.bottomUp, job.width, job.height);
    std::string error;
    if (job.png && !WriteRgbPng(FramePath(pngDir_, job.pictureNumber, "png"), job.width, job.height,
                                upright.data(), &error))
        return error;
    if (!job.raw.empty()) {
        std::string path = FramePath(rawDir_, job.pictureNumber, "raw");
        FILE* out = std::fopen(path.c_str(), "wb");
        bool written = out && std::fwrite(job.raw.data(), 1, job.raw.size(), out) == job.raw.size();
        int problem = errno;
        if (out && std::fclose(out) != 0 && written) {
            written = false;
            problem = errno;
        }
        if (!written)
            return path + ": " + std::strerror(problem);
    }
    if (job.sheet && sheet_)
        sheet_->Add(upright.data(), job.width, job.height);
    return "";
}

}  // namespace tool
