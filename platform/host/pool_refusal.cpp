// Where refused allocations were asked for. The call stack's return addresses are hashed
// into one number: two refusals from the same point of the same path compare equal, which
// is all a sweep needs to count the points it covered.
#include <execinfo.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/host/host_control.h"

namespace {

std::mutex lock;
host::PoolRefusal last;

}  // namespace

namespace host {

void RecordPoolRefusal(ULONG tag, size_t size) {
    void* frames[12];
    int count = backtrace(frames, 12);
    uint64_t site = 1469598103934665603ull;
    // Frame 0 is this function and frame 1 the pool: the caller's path starts at 2.
    for (int i = 2; i < count; ++i) {
        site ^= uint64_t(reinterpret_cast<uintptr_t>(frames[i]));
        site *= 1099511628211ull;
    }
    // BAYERCAM_POOL_REFUSAL_STACKS=1 prints where each refusal was asked for, to find the
    // code behind a failing sweep step (symbols need -rdynamic or addr2line).
    if (std::getenv("BAYERCAM_POOL_REFUSAL_STACKS")) {
        std::fprintf(stderr, "pool refusal: tag %s, %zu bytes\n", PoolTagName(tag).c_str(), size);
        backtrace_symbols_fd(frames, count, STDERR_FILENO);
    }
    std::lock_guard<std::mutex> g(lock);
    last = PoolRefusal{tag, size, site};
}

PoolRefusal PoolLastRefusal() {
    std::lock_guard<std::mutex> g(lock);
    return last;
}

}  // namespace host
