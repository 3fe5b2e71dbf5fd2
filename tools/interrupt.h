// Ctrl-C for a command that reports on what it saw: the first SIGINT asks the command to stop
// at its next step, so it can still print its summary; a second one ends the process at once,
// for a step that will not end by itself.
#pragma once

namespace tool {

class InterruptWatch {
public:
    InterruptWatch();   // installs the handler
    ~InterruptWatch();  // puts the previous one back
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    bool Interrupted() const;
    // Ends the process as killed by SIGINT, after flushing standard output: a shell or make
    // running the command then stops as for any interrupted program, which an ordinary exit
    // status would not make it do.
    [[noreturn]] void EndAsInterrupted();
};

}  // namespace tool
