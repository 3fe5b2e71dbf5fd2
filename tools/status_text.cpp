#include "tools/status_text.h"

#include <cstdio>

namespace tool {

const char* StatusName(NTSTATUS status) {
    // Every status the host platform defines, so the driver's answers to any request are
    // named, not only the frame read's. STATUS_WAIT_0 shares SUCCESS's value.
    switch (status) {
        case STATUS_SUCCESS:
            return "SUCCESS";
        case STATUS_TIMEOUT:
            return "TIMEOUT";
        case STATUS_PENDING:
            return "PENDING";
        case STATUS_BUFFER_OVERFLOW:
            return "BUFFER_OVERFLOW";
        case STATUS_UNSUCCESSFUL:
            return "UNSUCCESSFUL";
        case STATUS_NOT_IMPLEMENTED:
            return "NOT_IMPLEMENTED";
        case STATUS_INVALID_PARAMETER:
            return "INVALID_PARAMETER";
        case STATUS_INVALID_DEVICE_REQUEST:
            return "INVALID_DEVICE_REQUEST";
        case STATUS_MORE_PROCESSING_REQUIRED:
            return "MORE_PROCESSING_REQUIRED";
        case STATUS_BUFFER_TOO_SMALL:
            return "BUFFER_TOO_SMALL";
        case STATUS_OBJECT_NAME_NOT_FOUND:
            return "OBJECT_NAME_NOT_FOUND";
        case STATUS_SHARING_VIOLATION:
            return "SHARING_VIOLATION";
        case STATUS_INSUFFICIENT_RESOURCES:
            return "INSUFFICIENT_RESOURCES";
        case STATUS_DEVICE_NOT_CONNECTED:
            return "DEVICE_NOT_CONNECTED";
        case STATUS_NOT_SUPPORTED:
            return "NOT_SUPPORTED";
        case STATUS_CANCELLED:
            return "CANCELLED";
        case STATUS_INVALID_DEVICE_STATE:
            return "INVALID_DEVICE_STATE";
        case STATUS_NOT_FOUND:
            return "NOT_FOUND";
        case STATUS_NO_MATCH:
            return "NO_MATCH";
        default:
            return nullptr;
    }
}

std::string StatusHex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", unsigned(status));
    return text;
}

std::string StatusText(NTSTATUS status) {
    const char* name = StatusName(status);
    return name ? name : StatusHex(status);
}

}  // namespace tool
