#include "tools/trace_print.h"

#include <cstdio>
#include <vector>

#include "tools/json_lines.h"
#include "tools/status_text.h"

namespace tool {
namespace {

std::string Hex(const std::vector<uint8_t>& bytes, size_t count) {
    std::string out;
    char byte[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(byte, sizeof(byte), "%s%02x", i ? " " : "", bytes[i]);
        out += byte;
    }
    return out;
}

// The bytes with their run of trailing zeros folded, as a monitor shows a padded packet.
std::string FoldedHex(const std::vector<uint8_t>& bytes) {
    size_t used = bytes.size();
    while (used > 0 && bytes[used - 1] == 0)
        --used;
    std::string out = Hex(bytes, used);
    size_t zeros = bytes.size() - used;
    if (zeros > 1) {
        out += (used ? " +" : "+") + std::to_string(zeros) + " zeros";
    } else if (zeros == 1) {
        out += used ? " 00" : "00";
    }
    return out;
}

std::string RequestName(const sim::Transfer& t) {
    if (t.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
        return sim::UrbFunctionName(t.function);
    return sim::IoctlName(t.ioControlCode);
}

std::string PipeText(const sim::Transfer& t) {
    if (t.pipe < 0)
        return "-";
    if (t.interfaceNumber == 0)
        return std::to_string(t.pipe);
    return std::to_string(t.interfaceNumber) + "." + std::to_string(t.pipe);
}

// The command pipes and descriptors carry bytes worth reading; the frame data does not.
bool ShowsBytes(const sim::Transfer& t) {
    return (t.interfaceNumber == 0 && (t.pipe == 0 || t.pipe == 1)) ||
           t.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
}

}  // namespace

std::string TransferHeader() {
    char head[160];
    std::snprintf(head, sizeof(head), "%5s  %-32s %4s  %-3s %6s %6s  %-22s%s", "seq", "request",
                  "pipe", "dir", "asked", "moved", "status", "data");
    return head;
}

std::string TransferText(const sim::Transfer& t) {
    char head[160];
    std::snprintf(head, sizeof(head), "%5llu  %-32s %4s  %-3s %6u %6u  %-22s",
                  (unsigned long long)t.sequence, RequestName(t).c_str(), PipeText(t).c_str(),
                  t.in ? "in" : "out", unsigned(t.asked), unsigned(t.moved),
                  t.completed ? StatusText(t.status).c_str() : "PENDING");
    std::string line = head;
    if (t.ioControlCode == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
        char port[48];
        std::snprintf(port, sizeof(port), "port 0x%X", unsigned(t.portStatus));
        line += port;
    } else if (ShowsBytes(t) && !t.bytes.empty()) {
        line += FoldedHex(t.bytes);
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

nlohmann::ordered_json TransferJson(const sim::Transfer& t) {
    nlohmann::ordered_json line = {
        {"sequence", t.sequence},
        {"request", sim::IoctlName(t.ioControlCode)},
    };
    if (t.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
        line["function"] = sim::UrbFunctionName(t.function);
    line["interface"] = t.interfaceNumber;
    line["pipe"] = t.pipe;
    line["direction"] = t.in ? "in" : "out";
    line["asked"] = t.asked;
    line["moved"] = t.moved;
    // A request still in the camera has not been given a status; it is pending.
    SetStatus(line, "status", t.completed ? t.status : STATUS_PENDING);
    line["usbdStatus"] = StatusHex(NTSTATUS(t.usbdStatus));
    if (t.ioControlCode == IOCTL_INTERNAL_USB_GET_PORT_STATUS)
        line["portStatus"] = t.portStatus;
    if (ShowsBytes(t))
        line["bytes"] = Hex(t.bytes, t.bytes.size());
    return line;
}

void PrintTransfers(sim::Camera* camera, bool json) {
    for (const sim::Transfer& t : camera->Transfers()) {
        if (json)
            PrintJsonLine(TransferJson(t));
        else
            std::printf("%s\n", TransferText(t).c_str());
    }
    camera->ClearTransfers();
}

}  // namespace tool
