// A bug check the driver raises itself. Its code is printed by the name the host's own checks
// use for it, so that a death test matches either source alike.
#include <cstdio>
#include <string>

#include "platform/host/host_control.h"

namespace {

struct BugCheckName {
    ULONG code;
    const char* name;
};

const BugCheckName kBugCheckNames[] = {
    {0x01, "APC_INDEX_MISMATCH"},
    {0x0A, "IRQL_NOT_LESS_OR_EQUAL"},
    {0x0F, "SPIN_LOCK_ALREADY_OWNED"},
    {0x10, "SPIN_LOCK_NOT_OWNED"},
    {0x11, "THREAD_NOT_MUTEX_OWNER"},
    {0x4A, "THREAD_TERMINATE_HELD_MUTEX"},
    {0x93, "INVALID_KERNEL_HANDLE"},
    {0xC2, "BAD_POOL_CALLER"},
    {0xC4, "DRIVER_VERIFIER_DETECTED_VIOLATION"},
    {0xC8, "IRQL_UNEXPECTED_VALUE"},
    {0xC9, "DRIVER_VERIFIER_IOMANAGER_VIOLATION"},
    {0xD1, "DRIVER_IRQL_NOT_LESS_OR_EQUAL"},
    {0xF7, "DRIVER_OVERRAN_STACK_BUFFER"},
};

}  // namespace

extern "C" VOID NTAPI KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3,
                                   ULONG_PTR p4) {
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%X", unsigned(code));
    std::string name = hex;
    for (const BugCheckName& known : kBugCheckNames) {
        if (known.code == code)
            name = known.name;
    }
    char arguments[128];
    std::snprintf(arguments, sizeof(arguments), "KeBugCheckEx(%s, 0x%llX, 0x%llX, 0x%llX, 0x%llX)",
                  hex, static_cast<unsigned long long>(p1), static_cast<unsigned long long>(p2),
                  static_cast<unsigned long long>(p3), static_cast<unsigned long long>(p4));
    host::BugCheck(name.c_str(), arguments);
}
