// The newest frame of a live stream, handed from the thread that reads the pin to any number
// of viewers. The reading thread only swaps a pointer; a viewer that wants a picture waits for
// a frame newer than the last it showed and gets it as a JPEG, encoded once however many
// viewers ask for it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/jpeg_encoder.h"

namespace tool {

struct HubFrame {
    uint64_t sequence = 0;  // counts frames published, from 1; never starts again
    int64_t pictureNumber = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;  // as the pin delivers them (JpegEncoder::Encode)
};

struct HubPicture {
    uint64_t sequence = 0;
    std::shared_ptr<const std::vector<uint8_t>> jpeg;
};

class FrameHub {
public:
    // Takes the newest frame; the sequence number is filled in.
    void Publish(HubFrame frame);

    // Waits up to `milliseconds` for a frame with a sequence number above `after` and gives
    // it as a JPEG. False on time-out, after Close, or when the frame could not be encoded:
    // then *error says why and picture->sequence names the frame, to wait past it.
    bool NextPicture(uint64_t after, uint32_t milliseconds, HubPicture* picture,
                     std::string* error);

    // Wakes every waiting viewer and refuses later waits, so viewers end before the stream.
    void Close();

    // CPU time the encoding took so far, in every thread.
    int64_t EncodeCpuNanoseconds() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable published_;
    std::shared_ptr<const HubFrame> newest_;
    uint64_t sequence_ = 0;
    bool closed_ = false;

    // One encoding at a time: a viewer that waited for it takes the picture it made.
    std::mutex encodeMutex_;
    JpegEncoder encoder_;
    HubPicture encoded_;
    int64_t encodeCpu_ = 0;
};

}  // namespace tool
