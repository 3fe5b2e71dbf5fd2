// The camera's firmware: command decoding, registers, memory and query replies.
#include "sim/firmware.h"

#include <cstring>

namespace sim {

namespace {

// Length of a reply cut short by the short-reply fault.
constexpr size_t kShortReplyBytes = 16;

}  // namespace

Firmware::Firmware() : memory(kMemoryBytes) {
    // A fixed, recognisable memory image: no two neighbouring bytes equal.
    for (size_t a = 0; a < kMemoryBytes; ++a)
        memory[a] = uint8_t(a * 7 + (a >> 8));
    memset(commandCounts, 0, sizeof(commandCounts));
    ResetRegisters();
}

void Firmware::ResetRegisters() {
    memset(sensor, 0, sizeof(sensor));
    memset(control, 0, sizeof(control));
    sensor[kExposureRegister] = kPowerOnExposure;
    startedUp = false;
}

void Firmware::QueueAnswer(const uint8_t* packet, uint8_t answer, bool lose, bool shorten) {
    // A new query replaces whatever the previous one left unread.
    replies.clear();
    Reply acknowledgement;
    acknowledgement.bytes.assign(packet, packet + kPacketSize);
    replies.push_back(acknowledgement);
    Reply value;
    value.bytes.assign(shorten ? kShortReplyBytes : kPacketSize, 0);
    value.bytes[0] = answer;
    value.lost = lose;
    replies.push_back(value);
}

StreamEvent Firmware::Execute(const uint8_t* p, bool loseSecondReply, bool shortSecondReply) {
    ++commandCounts[p[0]];
    switch (p[0]) {
        case 0x02:
            return StreamEvent::kOff;
        case 0x03:
            return StreamEvent::kOn;
        case 0x04: {
            unsigned reg = unsigned(p[2]) << 8 | p[3];
            if (p[1] == kSensorBusAddress && reg < kSensorRegisterCount) {
                sensor[reg] = uint16_t(p[4] << 8 | p[5]);
            }
            return StreamEvent::kNone;
        }
        case 0x06:
            ResetRegisters();
            replies.clear();
            return StreamEvent::kOff;
        case 0x0A:
            startedUp = p[1] == 0x01;
            return StreamEvent::kNone;
        case 0x25:
            control[p[1]] = p[2];
            // Control register 6 bit 0 holds the sensor in reset.
            if (p[1] == 6 && (p[2] & 1)) {
                memset(sensor, 0, sizeof(sensor));
                sensor[kExposureRegister] = kPowerOnExposure;
            }
            return StreamEvent::kNone;
        case 0x26:
            QueueAnswer(p, control[p[1]], loseSecondReply, shortSecondReply);
            return StreamEvent::kNone;
        case 0x29:
            QueueAnswer(p, (control[11] & 1) ? 0x10 : 0x00, loseSecondReply, shortSecondReply);
            return StreamEvent::kNone;
        case 0x40:
            lastRawCommand.assign(p + 1, p + kPacketSize);
            return StreamEvent::kNone;
        case 0x41:
            if (memcmp(p + 1, kMemoryReadMagic, sizeof(kMemoryReadMagic)) == 0) {
                QueueAnswer(p, memory[size_t(p[4]) << 8 | p[5]], loseSecondReply, shortSecondReply);
            }
            return StreamEvent::kNone;
        default:
            return StreamEvent::kNone;
    }
}

}  // namespace sim
