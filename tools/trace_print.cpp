#include "tools/trace_print.h"

#include <chrono>
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

std::string EndpointHex(const sim::Transfer& t) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", unsigned(t.endpointAddress));
    return text;
}

// The pipe by its index, as the driver names it, beside its endpoint, as the cable shows it.
std::string PipeText(const sim::Transfer& t) {
    if (t.pipe < 0)
        return "-";
    std::string index = std::to_string(t.pipe);
    if (t.interfaceNumber != 0)
        index = std::to_string(t.interfaceNumber) + "." + index;
    return index + " (" + EndpointHex(t) + ")";
}

// A transfer of data (not a pipe request) on a pipe of the first interface, by index.
bool OnPipe(const sim::Transfer& t, int pipe) {
    return t.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
           t.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && t.interfaceNumber == 0 &&
           t.pipe == pipe;
}

// The command pipes and descriptors carry bytes worth reading; the frame data does not.
bool ShowsBytes(const sim::Transfer& t) {
    return OnPipe(t, 0) || OnPipe(t, 1) || t.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
}

std::string DescriptorName(const sim::Transfer& t) {
    switch (t.descriptorType) {
        case USB_DEVICE_DESCRIPTOR_TYPE:
            return "device descriptor";
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
            return "configuration descriptor";
        default:
            return "descriptor type " + std::to_string(t.descriptorType);
    }
}

std::string PortText(ULONG status) {
    char text[64];
    std::snprintf(text, sizeof(text), "port 0x%X (%s, %s)", unsigned(status),
                  (status & USBD_PORT_CONNECTED) ? "connected" : "not connected",
                  (status & USBD_PORT_ENABLED) ? "enabled" : "disabled");
    return text;
}

int64_t SteadyNs() {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
}

}  // namespace

TraceMonitor::TraceMonitor(sim::Camera* camera, bool json) : camera_(camera), json_(json) {}

void TraceMonitor::Line(const std::string& text) {
    std::printf("%s\n", text.c_str());
    // A reader at the other end of a pipe sees each line when it happens.
    std::fflush(stdout);
}

int64_t TraceMonitor::SinceFirstUs(int64_t steadyNs) {
    if (!haveOrigin_) {
        haveOrigin_ = true;
        originNs_ = steadyNs;
    }
    const int64_t us = (steadyNs - originNs_) / 1000;
    if (us > totals_.lastUs)
        totals_.lastUs = us;
    return us;
}

int64_t TraceMonitor::NowUs() {
    return SinceFirstUs(SteadyNs());
}

std::string TraceMonitor::Meaning(const sim::Transfer& t) {
    if (OnPipe(t, 0)) {
        if (!t.completed)
            return "";
        if (!NT_SUCCESS(t.status))
            return "not sent";
        replies_.Sent(t.bytes);
        return DescribeCommand(t.bytes);
    }
    if (OnPipe(t, 1))
        return t.completed ? replies_.Received(NT_SUCCESS(t.status), t.bytes) : "waiting";
    return "";
}

std::string TraceMonitor::TextLine(const sim::Transfer& t) {
    char head[200];
    std::snprintf(head, sizeof(head), "%9lld %5llu  %-31s %-10s %-3s %6u %6u  %-20s",
                  (long long)SinceFirstUs(t.submittedNs), (unsigned long long)t.sequence,
                  RequestName(t).c_str(), PipeText(t).c_str(), t.in ? "in" : "out",
                  unsigned(t.asked), unsigned(t.moved),
                  t.completed ? StatusText(t.status).c_str() : "PENDING");
    std::string line = head;
    const std::string meaning = Meaning(t);
    if (t.ioControlCode == IOCTL_INTERNAL_USB_GET_PORT_STATUS && t.completed &&
        NT_SUCCESS(t.status)) {
        line += PortText(t.portStatus);
    } else if (t.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        line += DescriptorName(t);
        if (!t.bytes.empty())
            line += ": " + FoldedHex(t.bytes);
    } else if (!meaning.empty()) {
        line += meaning;
        if (!t.bytes.empty())
            line += "  [" + FoldedHex(t.bytes) + "]";
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

nlohmann::ordered_json TraceMonitor::JsonLine(const sim::Transfer& t) {
    nlohmann::ordered_json line = {
        {"kind", "request"},
        {"timeUs", SinceFirstUs(t.submittedNs)},
    };
    if (t.completed)
        line["completedUs"] = SinceFirstUs(t.completedNs);
    line["sequence"] = t.sequence;
    line["request"] = sim::IoctlName(t.ioControlCode);
    if (t.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
        line["function"] = sim::UrbFunctionName(t.function);
    line["interface"] = t.interfaceNumber;
    line["pipe"] = t.pipe;
    if (t.pipe >= 0)
        line["endpoint"] = EndpointHex(t);
    line["direction"] = t.in ? "in" : "out";
    line["asked"] = t.asked;
    line["moved"] = t.moved;
    // A request still in the camera has not been given a status; it is pending.
    SetStatus(line, "status", t.completed ? t.status : STATUS_PENDING);
    line["usbdStatus"] = StatusHex(NTSTATUS(t.usbdStatus));
    if (t.ioControlCode == IOCTL_INTERNAL_USB_GET_PORT_STATUS)
        line["portStatus"] = t.portStatus;
    const std::string meaning =
        t.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ? DescriptorName(t) : Meaning(t);
    if (!meaning.empty())
        line["meaning"] = meaning;
    if (ShowsBytes(t))
        line["bytes"] = Hex(t.bytes, t.bytes.size());
    return line;
}

void TraceMonitor::PrintHeader() {
    if (json_)
        return;
    char head[200];
    std::snprintf(head, sizeof(head), "%9s %5s  %-31s %-10s %-3s %6s %6s  %-20s%s", "time us",
                  "seq", "request", "pipe (ep)", "dir", "asked", "moved", "status",
                  "data and meaning");
    Line(head);
}

void TraceMonitor::PrintRequests() {
    for (const sim::Transfer& t : camera_->Transfers()) {
        ++totals_.requests;
        if (t.completed && !NT_SUCCESS(t.status))
            ++totals_.failedRequests;
        if (OnPipe(t, 2)) {
            totals_.frameBytes += t.moved;
            ++frameReads_;
            frameReadBytes_ += t.moved;
        }
        Line(json_ ? JsonLine(t).dump() : TextLine(t));
        if (t.completed)
            SinceFirstUs(t.completedNs);
    }
    camera_->ClearTransfers();
}

void TraceMonitor::PrintStep(const char* step, NTSTATUS status) {
    if (json_) {
        nlohmann::ordered_json line = {{"kind", "step"}, {"step", step}, {"timeUs", NowUs()}};
        SetStatus(line, "status", status);
        Line(line.dump());
    } else {
        Line(std::string("-- ") + step + ": " + StatusText(status));
    }
}

void TraceMonitor::BeginFrame(int frame) {
    PrintRequests();
    frameStartUs_ = NowUs();
    frameReads_ = 0;
    frameReadBytes_ = 0;
    if (json_) {
        Line(nlohmann::ordered_json{
            {"kind", "frameStart"}, {"frame", frame}, {"timeUs", frameStartUs_}}
                 .dump());
    } else {
        char text[80];
        std::snprintf(text, sizeof(text), "%9lld == frame %d", (long long)frameStartUs_, frame);
        Line(text);
    }
}

void TraceMonitor::EndFrame(int frame, NTSTATUS status, uint32_t frameBytes) {
    PrintRequests();
    const int64_t endUs = NowUs();
    const bool read = status == STATUS_SUCCESS;
    if (json_) {
        nlohmann::ordered_json line = {{"kind", "frameEnd"},
                                       {"frame", frame},
                                       {"timeUs", endUs},
                                       {"durationUs", endUs - frameStartUs_},
                                       {"outcome", read ? "read" : "failed"},
                                       {"bytes", frameReadBytes_},
                                       {"frameBytes", frameBytes},
                                       {"reads", frameReads_}};
        SetStatus(line, "status", status);
        Line(line.dump());
    } else {
        char text[200];
        std::snprintf(text, sizeof(text),
                      "%9lld == frame %d %s (%s): %llu of %u bytes in %llu reads, %lld us",
                      (long long)endUs, frame, read ? "read" : "FAILED", StatusText(status).c_str(),
                      (unsigned long long)frameReadBytes_, unsigned(frameBytes),
                      (unsigned long long)frameReads_, (long long)(endUs - frameStartUs_));
        Line(text);
    }
}

}  // namespace tool
