// A fault inside the driver image (a bad pointer, an illegal instruction) would be a bug check
// on Windows. Without this, the host would die of a bare signal in code that has no symbols
// the host's debugger or sanitizers know; here it is reported as the bug check, naming the
// image's function and offset from the debug file.
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/host/host_control.h"
#include "platform/host/pe_image.h"

namespace {

std::atomic<const host::DriverImage*> watched{nullptr};

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
struct sigaction previous[sizeof(kSignals) / sizeof(kSignals[0])];

const char* CodeOf(int signal) {
    switch (signal) {
        case SIGSEGV:
        case SIGBUS:
            return "PAGE_FAULT_IN_NONPAGED_AREA";
        default:
            return "KMODE_EXCEPTION_NOT_HANDLED";
    }
}

void OnFault(int signal, siginfo_t* info, void* context) {
    const auto* uc = static_cast<const ucontext_t*>(context);
    const void* at = reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
    const host::DriverImage* image = watched.load();
    const auto a = reinterpret_cast<uintptr_t>(at);
    const auto base = image ? reinterpret_cast<uintptr_t>(image->base) : 0;
    if (image && a >= base && a - base < image->headers.sizeOfImage) {
        std::string where = host::DriverImageAddressName(image, at);
        if (where.empty())
            where = "+0x" + std::to_string(a - base);
        std::fprintf(stderr,
                     "BUG CHECK: %s: signal %d in the driver image at %s (address %p, "
                     "faulting address %p)\n",
                     CodeOf(signal), signal, where.c_str(), at, info->si_addr);
        std::fflush(stderr);
        std::abort();
    }
    // Not the image's: whoever watched before (a sanitizer, the default action) decides.
    for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
        if (kSignals[i] != signal)
            continue;
        if (previous[i].sa_flags & SA_SIGINFO && previous[i].sa_sigaction) {
            previous[i].sa_sigaction(signal, info, context);
            return;
        }
        if (previous[i].sa_handler != SIG_DFL && previous[i].sa_handler != SIG_IGN) {
            previous[i].sa_handler(signal);
            return;
        }
    }
    // The default action: restored, the faulting instruction runs again and ends the process.
    struct sigaction reset {};
    reset.sa_handler = SIG_DFL;
    sigaction(signal, &reset, nullptr);
}

}  // namespace

namespace host {

void WatchDriverImageFaults(const DriverImage* image) {
    if (watched.exchange(image) != nullptr || !image)
        return;
    struct sigaction action {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i)
        sigaction(kSignals[i], &action, &previous[i]);
}

}  // namespace host
