// A bus driver below the driver under test whose every answer comes from the fuzz input: the
// descriptors, the pipes a configuration gets, the replies on IN pipes, the statuses. Requests
// complete inside IofCallDriver. Each request the device sees takes the next answer, encoded
// (fuzz_input.h) as
//   u8 verdict   bits 0-1: 1 refused at submission (STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID),
//                2 success status with a USBD error in the request block, else success;
//                bit 2: a u16 transfer length of the device's own follows, reported instead of
//                the bytes moved
//   then by request:
//     descriptor read, bulk IN   len n, n bytes: min(n, asked) of them are moved
//     select configuration       for each interface record in the request block: u8 pipe
//                                count reported, then for each pipe the record has room for
//                                (up to that count): u8 type, u8 endpoint address,
//                                u16 maximum packet, u32 maximum transfer, u8 handle (0: null)
//     port status                u32 the status word
//     anything else              nothing more
// For seeds, a `Policy` decides the answers instead and the device writes them in this
// encoding, so a run against a well-behaved device yields the input that replays it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/host/host_control.h"
#include "tests/fuzz/fuzz_input.h"

struct UsbAnswer {
    struct Pipe {
        uint8_t type = UsbdPipeTypeBulk;
        uint8_t address = 0;
        uint16_t maxPacket = 64;
        uint32_t maxTransfer = 0xFFFFFFFF;
        uint8_t handle = 0;
    };
    struct Interface {
        uint8_t pipeCount = 0;
        std::vector<Pipe> pipes;  // as many as the record has room for, up to pipeCount
    };
    uint8_t verdict = 0;
    uint16_t reported = 0;
    std::vector<uint8_t> bytes;
    std::vector<Interface> interfaces;
    uint32_t portStatus = 0;
};

// What the device is asked, as a policy sees it.
struct UsbQuestion {
    enum Kind { kDescriptor, kSelectConfiguration, kBulkIn, kBulkOut, kPortStatus, kOther };
    Kind kind = kOther;
    UCHAR descriptorType = 0;
    ULONG asked = 0;
    int pipe = -1;                      // bulk: the pipe's handle number
    std::vector<uint8_t> sent;          // bulk OUT: the bytes sent
    std::vector<ULONG> interfaceRooms;  // select configuration: pipes each record can hold
};

class FakeUsbDevice {
public:
    using Policy = std::function<UsbAnswer(const UsbQuestion&)>;
    // Answers from `in`.
    explicit FakeUsbDevice(FuzzInput* in);
    // Answers by `policy`, written to `out`.
    FakeUsbDevice(Policy policy, FuzzOutput* out);

    PDEVICE_OBJECT Device() { return &device_; }

private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS Answer(PIRP irp);
    UsbAnswer Decide(const UsbQuestion& question);
    NTSTATUS SubmitUrb(PURB urb);
    void SelectConfiguration(PURB urb, const UsbAnswer& answer);
    int PipeNumber(USBD_PIPE_HANDLE handle) const;

    DRIVER_OBJECT driver_{};
    DEVICE_OBJECT device_{};
    FuzzInput* in_ = nullptr;
    Policy policy_;
    FuzzOutput* out_ = nullptr;
    uint8_t handles_[256] = {};  // pipe handle n is &handles_[n]
};
