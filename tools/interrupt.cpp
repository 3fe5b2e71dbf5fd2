#include "tools/interrupt.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>

namespace tool {
namespace {

volatile sig_atomic_t interrupted = 0;
struct sigaction previous;

void OnInterrupt(int) {
    interrupted = 1;
}

}  // namespace

InterruptWatch::InterruptWatch() {
    interrupted = 0;
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
    return interrupted != 0;
}

void InterruptWatch::EndAsInterrupted() {
    std::fflush(stdout);
    std::fflush(stderr);
    signal(SIGINT, SIG_DFL);
    raise(SIGINT);
    std::_Exit(128 + SIGINT);  // SIGINT blocked by whoever started us: still end as interrupted
}

}  // namespace tool
