// Names of the camera's faults, of URB functions and of the bus driver's control codes.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sim/sim_camera.h"

namespace sim {

namespace {

const char* const kFaultNames[kFaultCount] = {
    "no-frame",          "short-transfer", "chunk-error",
    "chunk-refused",     "lost-reply",     "short-reply",
    "short-send",        "stalled-pipe",   "port-disconnected",
    "port-disabled",     "two-pipes",      "interfaces-0-2",
    "missing-interface", "no-interface",   "device-descriptor-error",
};

}  // namespace

const char* FaultName(Fault fault) {
    int i = int(fault);
    return i >= 0 && i < kFaultCount ? kFaultNames[i] : "unknown";
}

bool FaultFromName(const std::string& name, Fault* fault) {
    for (int i = 0; i < kFaultCount; ++i) {
        if (name == kFaultNames[i]) {
            *fault = Fault(i);
            return true;
        }
    }
    return false;
}

bool FaultCanBeTransient(Fault fault) {
    switch (fault) {
        case Fault::NoFrame:
        case Fault::ShortTransfer:
        case Fault::ChunkError:
        case Fault::ChunkRefused:
        case Fault::LostReply:
        case Fault::ShortReply:
        case Fault::ShortSend:
        case Fault::StalledPipe:
        case Fault::PortDisabled:
            return true;
        default:
            return false;
    }
}

bool ParseFaultSetting(const std::string& text, FaultSetting* setting, std::string* error) {
    size_t cut = text.find_first_of(":@");
    std::string name = text.substr(0, cut);
    FaultSetting parsed;
    if (!FaultFromName(name, &parsed.fault)) {
        *error = "no fault '" + name + "'";
        return false;
    }
    if (cut == std::string::npos) {
        *setting = parsed;
        return true;
    }
    if (!FaultCanBeTransient(parsed.fault)) {
        *error = "'" + name + "' is on or off only: it takes no :COUNT or @PROBABILITY";
        return false;
    }
    std::string value = text.substr(cut + 1);
    const char* begin = value.c_str();
    char* end = nullptr;
    errno = 0;
    if (text[cut] == ':') {
        unsigned long count = std::strtoul(begin, &end, 10);
        // strtoul takes a sign and wraps it; a count is digits only.
        if (value.empty() || value[0] < '0' || value[0] > '9' || *end != '\0' || errno != 0 ||
            count < 1 || count > 1000000) {
            *error = "'" + value + "' is not a frame count in [1 - 1000000]";
            return false;
        }
        parsed.count = unsigned(count);
    } else {
        double probability = std::strtod(begin, &end);
        if (value.empty() || *end != '\0' || errno != 0 || !(probability >= 0.0) ||
            probability > 1.0) {
            *error = "'" + value + "' is not a probability in [0 - 1]";
            return false;
        }
        parsed.probability = probability;
    }
    *setting = parsed;
    return true;
}

const char* UrbFunctionName(USHORT function) {
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return "SELECT_CONFIGURATION";
        case URB_FUNCTION_SELECT_INTERFACE:
            return "SELECT_INTERFACE";
        case URB_FUNCTION_ABORT_PIPE:
            return "ABORT_PIPE";
        case URB_FUNCTION_CONTROL_TRANSFER:
            return "CONTROL_TRANSFER";
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return "BULK_OR_INTERRUPT_TRANSFER";
        case URB_FUNCTION_ISOCH_TRANSFER:
            return "ISOCH_TRANSFER";
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            return "GET_DESCRIPTOR_FROM_DEVICE";
        case URB_FUNCTION_VENDOR_DEVICE:
            return "VENDOR_DEVICE";
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            return "SYNC_RESET_PIPE_AND_CLEAR_STALL";
        case URB_FUNCTION_SYNC_RESET_PIPE:
            return "SYNC_RESET_PIPE";
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            return "SYNC_CLEAR_STALL";
        default:
            return "UNKNOWN_FUNCTION";
    }
}

const char* IoctlName(ULONG ioControlCode) {
    switch (ioControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return "SUBMIT_URB";
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
            return "GET_PORT_STATUS";
        case IOCTL_INTERNAL_USB_RESET_PORT:
            return "RESET_PORT";
        case IOCTL_INTERNAL_USB_CYCLE_PORT:
            return "CYCLE_PORT";
        default:
            return "UNKNOWN_IOCTL";
    }
}

}  // namespace sim
