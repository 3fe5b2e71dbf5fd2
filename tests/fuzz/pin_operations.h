// An application's pin handle for the fuzz targets: format changes and frame reads on it, and
// a close that checks every read came back.
#pragma once

#include <memory>
#include <vector>

#include "platform/host/host_control.h"

struct PinSession {
    PFILE_OBJECT pin = nullptr;

    ~PinSession() { Close(); }
    NTSTATUS ChangeFormat(const std::vector<uint8_t>& bytes);
    // Queues a read of `extent` bytes; at most two are queued, as memory is the limit here.
    void Read(bool frameInfo, ULONG extent);
    // Gives the queued reads up to a second each to complete, as frames arrive.
    void Wait();
    // Closes the pin and waits for each read, which the close must have completed.
    void Close();

private:
    struct Frame {
        struct {
            KSSTREAM_HEADER header;
            KS_FRAME_INFO info;
        } head{};
        std::unique_ptr<uint8_t[]> data;
        host::StreamRead* read = nullptr;
    };
    std::vector<std::unique_ptr<Frame>> frames_;
};
