#include "tools/interrupt.h"

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace tool {
namespace {

// Any thread may take the signal (the simulated camera has threads of its own), so the flag is
// an atomic, which a lock-free one lets a handler set.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler may set it");
struct sigaction previous;

void OnInterrupt(int) {
    interrupted.store(true);
}

}  // namespace

InterruptWatch::InterruptWatch() {
    interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // Back to the default after the first: a second Ctrl-C ends the process at once.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, &previous);
    // Started with Ctrl-C ignored (in the background of a script): it stays ignored.
    if (previous.sa_handler == SIG_IGN)
        sigaction(SIGINT, &previous, nullptr);
}

InterruptWatch::~InterruptWatch() {
    sigaction(SIGINT, &previous, nullptr);
}

bool InterruptWatch::Interrupted() const {
    return interrupted.load();
}

void InterruptWatch::EndAsInterrupted() {
    std::fflush(stdout);
    std::fflush(stderr);
    signal(SIGINT, SIG_DFL);
    raise(SIGINT);
    std::_Exit(128 + SIGINT);  // SIGINT blocked by whoever started us: still end as interrupted
}

}  // namespace tool
