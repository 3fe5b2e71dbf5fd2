// bayercam trace: a simulated camera arrives, the driver configures it and reads frames from
// it, and every request that crossed to the camera is shown in order, as a USB monitor on the
// cable would show it. With --fault the camera misbehaves and the trace shows how the driver
// copes.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/host/host_control.h"
#include "sim/sim_camera.h"
#include "tools/command.h"
#include "usb/configuration.h"
#include "usb/frame_read.h"

namespace tool {
namespace {

using nlohmann::ordered_json;

const char* StatusName(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS:
            return "SUCCESS";
        case STATUS_TIMEOUT:
            return "TIMEOUT";
        case STATUS_PENDING:
            return "PENDING";
        case STATUS_UNSUCCESSFUL:
            return "UNSUCCESSFUL";
        case STATUS_INVALID_PARAMETER:
            return "INVALID_PARAMETER";
        case STATUS_INSUFFICIENT_RESOURCES:
            return "INSUFFICIENT_RESOURCES";
        case STATUS_DEVICE_NOT_CONNECTED:
            return "DEVICE_NOT_CONNECTED";
        case STATUS_CANCELLED:
            return "CANCELLED";
        case STATUS_INVALID_DEVICE_STATE:
            return "INVALID_DEVICE_STATE";
        case STATUS_BUFFER_TOO_SMALL:
            return "BUFFER_TOO_SMALL";
        default:
            return nullptr;
    }
}

std::string StatusText(NTSTATUS status) {
    if (const char* name = StatusName(status))
        return name;
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", unsigned(status));
    return text;
}

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

bool ShowsBytes(const sim::Transfer& t) {
    return (t.interfaceNumber == 0 && (t.pipe == 0 || t.pipe == 1)) ||
           t.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
}

void PrintText(const sim::Transfer& t) {
    std::string line;
    char head[160];
    std::snprintf(head, sizeof(head), "%5llu  %-32s %4s  %-3s %6u %6u  %-22s",
                  (unsigned long long)t.sequence, RequestName(t).c_str(), PipeText(t).c_str(),
                  t.in ? "in" : "out", unsigned(t.asked), unsigned(t.moved),
                  t.completed ? StatusText(t.status).c_str() : "PENDING");
    line = head;
    if (t.ioControlCode == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
        char port[48];
        std::snprintf(port, sizeof(port), "port 0x%X", unsigned(t.portStatus));
        line += port;
    } else if (ShowsBytes(t) && !t.bytes.empty()) {
        line += FoldedHex(t.bytes);
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    std::printf("%s\n", line.c_str());
}

void PrintJson(const sim::Transfer& t) {
    char usbd[16];
    std::snprintf(usbd, sizeof(usbd), "0x%08X", unsigned(t.usbdStatus));
    ordered_json line = {
        {"sequence", t.sequence},
        {"request", sim::IoctlName(t.ioControlCode)},
    };
    if (t.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        line["function"] = sim::UrbFunctionName(t.function);
    }
    line["interface"] = t.interfaceNumber;
    line["pipe"] = t.pipe;
    line["direction"] = t.in ? "in" : "out";
    line["asked"] = t.asked;
    line["moved"] = t.moved;
    line["status"] = t.completed ? StatusText(t.status) : "PENDING";
    line["usbdStatus"] = usbd;
    if (t.ioControlCode == IOCTL_INTERNAL_USB_GET_PORT_STATUS)
        line["portStatus"] = t.portStatus;
    if (ShowsBytes(t))
        line["bytes"] = Hex(t.bytes, t.bytes.size());
    std::printf("%s\n", line.dump().c_str());
}

// Prints what crossed since the last call and forgets it.
void Flush(sim::Camera* camera, bool json) {
    for (const sim::Transfer& t : camera->Transfers())
        json ? PrintJson(t) : PrintText(t);
    camera->ClearTransfers();
}

void PrintStep(bool json, const char* step, int frame, NTSTATUS status) {
    if (json) {
        ordered_json line = {{"step", step}};
        if (frame > 0)
            line["frame"] = frame;
        line["status"] = StatusText(status);
        std::printf("%s\n", line.dump().c_str());
    } else if (frame > 0) {
        std::printf("-- frame %d: %s\n", frame, StatusText(status).c_str());
    } else {
        std::printf("-- %s: %s\n", step, StatusText(status).c_str());
    }
}

int Run(const Args& argsIn) {
    Args args = argsIn;
    bool json = TakeFlag(args, "--json");
    long long frames = 1;
    TakeInt(args, "--frames", 1, 100000, &frames);
    long long timeout = kDefaultFrameTimeout;
    TakeInt(args, "--timeout", 0, 0xFFFFFFFFLL, &timeout);
    std::string faultName;
    bool haveFault = TakeValue(args, "--fault", &faultName);
    sim::Fault fault = sim::Fault::NoFrame;
    if (haveFault && !sim::FaultFromName(faultName, &fault)) {
        std::string names;
        for (int i = 0; i < sim::kFaultCount; ++i) {
            names += std::string(i ? ", " : "") + sim::FaultName(sim::Fault(i));
        }
        throw UsageError{"--fault: no fault '" + faultName + "' (one of: " + names + ")"};
    }
    bool unpaced = TakeFlag(args, "--unpaced");
    RejectUnknownOptions(args);
    if (!args.empty())
        throw UsageError{"unexpected argument '" + args.front() + "'"};

    sim::CameraOptions options;
    options.paced = !unpaced;
    std::string error;
    std::unique_ptr<sim::Camera> camera = sim::Camera::Create(options, &error);
    if (!camera) {
        std::fprintf(stderr, "bayercam trace: no camera: %s\n", error.c_str());
        return 1;
    }
    if (haveFault)
        camera->SetFault(fault);

    NTSTATUS status = host::LoadDriver(DriverEntry);
    PKSDEVICE device = nullptr;
    if (NT_SUCCESS(status))
        status = host::AddDevice(camera->DeviceObject(), &device);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "bayercam trace: the device did not arrive: status 0x%08X\n",
                     unsigned(status));
        return 1;
    }
    auto* context = static_cast<DeviceContext*>(device->Context);
    LONG savedTimeout = InterlockedExchange(&FrameTimeout, LONG(ULONG(timeout)));

    if (!json) {
        std::printf("%5s  %-32s %4s  %-3s %6s %6s  %-22s%s\n", "seq", "request", "pipe", "dir",
                    "asked", "moved", "status", "data");
    }
    status = ConfigureDevice(&context->Usb);
    Flush(camera.get(), json);
    PrintStep(json, "configure", 0, status);

    // The raw frame geometry the camera's start-up establishes.
    context->RawOrigin = 0;
    context->RawPitch = sim::kFrameWidth;
    context->RawFrameSize = sim::kFrameBytes;
    std::vector<UCHAR> buffer(sim::kFrameBytes);
    int read = 0;
    for (int frame = 1; frame <= int(frames); ++frame) {
        NTSTATUS frameStatus = ReadRawFrame(context, buffer.data());
        if (frameStatus == STATUS_SUCCESS)
            ++read;
        Flush(camera.get(), json);
        PrintStep(json, "frame", frame, frameStatus);
    }
    if (json) {
        std::printf("%s\n", ordered_json({{"frames", frames}, {"read", read}}).dump().c_str());
    } else {
        std::printf("-- %d of %lld frames read\n", read, frames);
    }

    FreeConfiguration(&context->Usb);
    host::RemoveDevice(device);
    InterlockedExchange(&FrameTimeout, savedTimeout);
    return 0;
}

const bool registered = RegisterCommand({
    "trace",
    "read frames from a simulated camera and show every USB request that crossed",
    "[--frames N] [--json] [--fault NAME] [--timeout MS] [--unpaced]",
    Run,
});

}  // namespace
}  // namespace tool
