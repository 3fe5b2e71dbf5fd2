// A started camera whose capture pin an application creates, runs and reads frames from.
#pragma once

#include <vector>

#include "tests/control/started_camera.h"

// One client frame: a stream header with its frame information, and the data buffer.
struct ClientFrame {
    struct {
        KSSTREAM_HEADER header;
        KS_FRAME_INFO info;
    } head{};
    std::vector<uint8_t> data;
    host::StreamRead* read = nullptr;
};

class StreamingCamera : public StartedCamera {
protected:
    void TearDown() override;

    // The format an intersection with a copy of the pin's range gives; `change` may edit the
    // caller's range first.
    std::vector<uint64_t> NegotiatedFormat();
    KSDATAFORMAT* Format(std::vector<uint64_t>& storage) {
        return reinterpret_cast<KSDATAFORMAT*>(storage.data());
    }
    KS_VIDEOINFOHEADER* Info(std::vector<uint64_t>& storage) {
        return reinterpret_cast<KS_VIDEOINFOHEADER*>(Format(storage) + 1);
    }
    NTSTATUS CreatePin(std::vector<uint64_t>& format, bool clock = true);
    NTSTATUS Walk(std::initializer_list<KSSTATE> states);
    // Queues a frame of `extent` bytes with a header of `headerSize` (56 or 128).
    ClientFrame* Queue(ULONG extent, ULONG headerSize = 128);
    // Waits for the oldest queued frame; null on time-out.
    ClientFrame* Next(uint32_t milliseconds = 2000);
    void Requeue(ClientFrame* frame);

    PFILE_OBJECT pin_ = nullptr;
    std::vector<std::unique_ptr<ClientFrame>> frames_;
    size_t nextFrame_ = 0;
};
