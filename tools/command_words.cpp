#include "tools/command_words.h"

#include <cstdio>

#include "usb/command_packets.h"

namespace tool {
namespace {

// One number into a short phrase.
std::string Format(const char* format, unsigned number) {
    char text[96];
    std::snprintf(text, sizeof(text), format, number);
    return text;
}

// A byte of a packet; 0 beyond the bytes that moved, so a short packet still reads.
unsigned Byte(const std::vector<uint8_t>& p, size_t at) {
    return at < p.size() ? p[at] : 0;
}

unsigned Number16(const std::vector<uint8_t>& p, size_t at) {
    return Byte(p, at) << 8 | Byte(p, at + 1);
}

// The registers the driver programs have a meaning; others are shown by number only.
const char* SensorRegisterName(unsigned reg) {
    switch (reg) {
        case 0x04:
            return "global gain";
        case 0x0B:
            return "trigger mode";
        case 0x9A:
            return "exposure";
        default:
            return nullptr;
    }
}

const char* ControlRegisterName(unsigned reg) {
    switch (reg) {
        case 6:
            return "reset pulse";
        case 11:
            return "trigger mode";
        case 15:
            return "clock selection";
        default:
            return nullptr;
    }
}

std::string Named(std::string text, const char* name) {
    return name ? text + " (" + name + ")" : text;
}

std::string SensorRegister(unsigned reg) {
    return Named(Format("sensor register 0x%02X", reg), SensorRegisterName(reg));
}

std::string ControlRegister(unsigned reg) {
    return Named(Format("control register %u", reg), ControlRegisterName(reg));
}

bool IsQuery(uint8_t code) {
    return code == kCommandReadControlRegister || code == kCommandQueryTriggerStatus ||
           code == kCommandReadMemoryByte;
}

std::string Words(const std::vector<uint8_t>& p) {
    switch (Byte(p, 0)) {
        case kCommandStreamOff:
            return "stream off";
        case kCommandStreamOn:
            return "stream on";
        case kCommandWriteSensorRegister: {
            std::string text =
                "write " + SensorRegister(Number16(p, 2)) + Format(" = %u", Number16(p, 4));
            // The sensor answers at bus address 0x20; another address reaches nothing.
            if (Byte(p, 1) != 0x20)
                text += Format(" at bus address 0x%02X", Byte(p, 1));
            return text;
        }
        case kCommandReset:
            return "reset";
        case kCommandStartUp:
            return Byte(p, 1) == 1 ? "start-up" : Format("start-up (byte 1 = 0x%02X)", Byte(p, 1));
        case kCommandWriteControlRegister:
            return "write " + ControlRegister(Byte(p, 1)) + Format(" = %u", Byte(p, 2));
        case kCommandReadControlRegister:
            return "read " + ControlRegister(Byte(p, 1));
        case kCommandQueryTriggerStatus:
            return "query trigger status";
        case kCommandRaw: {
            size_t used = p.size();
            while (used > 1 && p[used - 1] == 0)
                --used;
            return Format("raw command, %u bytes", unsigned(used ? used - 1 : 0));
        }
        case kCommandReadMemoryByte: {
            std::string text = Format("read memory byte 0x%04X", Number16(p, 4));
            if (Byte(p, 1) != 0x51 || Byte(p, 2) != 0x02 || Byte(p, 3) != 0x01)
                text += " with a wrong header (the camera ignores it)";
            return text;
        }
        default:
            return "unknown command";
    }
}

std::string Answer(const std::vector<uint8_t>& query, unsigned value) {
    switch (query[0]) {
        case kCommandReadControlRegister:
            return ControlRegister(query[1]) + Format(" = %u", value);
        case kCommandQueryTriggerStatus:
            return Format("trigger status 0x%02X: external trigger ", value) +
                   ((value & 0x10) ? "on" : "off");
        default:
            return Format("memory byte 0x%04X = ", Number16(query, 4)) + Format("0x%02X", value);
    }
}

}  // namespace

std::string DescribeCommand(const std::vector<uint8_t>& packet) {
    if (packet.empty())
        return "nothing sent";
    std::string text = Format("0x%02X ", packet[0]) + Words(packet);
    if (packet.size() < kPacketSize)
        text = Format("not a command, %u of 64 bytes: ", unsigned(packet.size())) + text;
    return text;
}

void ReplyReader::Sent(const std::vector<uint8_t>& packet) {
    if (packet.size() >= kPacketSize && IsQuery(packet[0])) {
        query_.assign(packet.begin(), packet.begin() + kPacketSize);
        replies_ = 0;
    }
}

std::string ReplyReader::Received(bool received, const std::vector<uint8_t>& bytes) {
    const int reply = ++replies_;
    if (query_.empty() || reply > 2)
        return received ? "reply to no query" : "no reply";
    const std::string query = Format("0x%02X ", query_[0]) + Words(query_);
    if (!received)
        return "no reply to " + query;
    std::string shortBy;
    if (bytes.size() < kPacketSize)
        shortBy = Format("short reply, %u of 64 bytes: ", unsigned(bytes.size()));
    if (reply == 1) {
        return shortBy + (bytes == query_ ? "acknowledges " : "garbled acknowledgement of ") +
               query;
    }
    if (bytes.empty())
        return "empty answer to " + query;
    return shortBy + Answer(query_, bytes[0]);
}

}  // namespace tool
