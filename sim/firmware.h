// The camera's firmware: the registers and memory behind the command packets, and the
// replies a query leaves for the reply pipe. Plain state, no locking: the camera holds its
// own lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim/sim_camera.h"

namespace sim {

// The sensor's bus address in byte 1 of a sensor register write; other addresses reach no
// sensor and are dropped.
constexpr uint8_t kSensorBusAddress = 0x20;
constexpr uint16_t kPowerOnExposure = 524;
constexpr size_t kMemoryBytes = 65536;
constexpr uint8_t kMemoryReadMagic[3] = {0x51, 0x02, 0x01};

struct Reply {
    std::vector<uint8_t> bytes;  // what the read receives (at most 64 bytes)
    bool lost = false;           // the device does not answer this read
};

enum class StreamEvent { kNone, kOn, kOff };

struct Firmware {
    uint16_t sensor[kSensorRegisterCount];
    uint8_t control[kControlRegisterCount];
    std::vector<uint8_t> memory;
    std::vector<uint8_t> lastRawCommand;
    uint64_t commandCounts[256];
    bool startedUp = false;
    std::deque<Reply> replies;

    Firmware();
    // Power-on values of the sensor and control registers.
    void ResetRegisters();
    // Executes one 64-byte command packet. The reply faults shape the second reply of a
    // query. Reports what the packet does to the stream.
    StreamEvent Execute(const uint8_t* packet, bool loseSecondReply, bool shortSecondReply);

private:
    void QueueAnswer(const uint8_t* packet, uint8_t answer, bool lose, bool shorten);
};

}  // namespace sim
