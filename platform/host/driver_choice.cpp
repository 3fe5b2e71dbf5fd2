// Which driver LoadDriver runs: the one built into the program, or a shipped kernel image.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/host/host_control.h"

namespace {

std::mutex chosenLock;
host::DriverImage* chosen = nullptr;
bool environmentRead = false;

}  // namespace

namespace host {

bool ChooseDriverImage(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> hold(chosenLock);
    environmentRead = true;  // an explicit choice wins over the environment
    if (chosen)
        return true;
    chosen = LoadDriverImage(path, error);
    WatchDriverImageFaults(chosen);
    return chosen != nullptr;
}

const DriverImage* ChosenDriverImage() {
    std::lock_guard<std::mutex> hold(chosenLock);
    if (!environmentRead) {
        environmentRead = true;
        const char* path = std::getenv(kDriverImageVariable);
        if (path && *path) {
            std::string error;
            chosen = LoadDriverImage(path, &error);
            if (!chosen) {
                std::fprintf(stderr, "%s=%s: the image does not load: %s\n", kDriverImageVariable,
                             path, error.c_str());
                std::abort();
            }
            WatchDriverImageFaults(chosen);
        }
    }
    return chosen;
}

}  // namespace host
