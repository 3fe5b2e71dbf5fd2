// What every fuzz target shares: a per-input leak check that turns pool, registry-handle and
// system-thread leaks into crashes, and a camera brought up as the PnP manager and an
// application bring it up, torn down again after the input.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/host/host_control.h"
#include "sim/sim_camera.h"

// Checks, when the input is done, that it left nothing behind; aborts naming what it left.
// Also clears the faults and the registry so that no input sees the last one's state.
class InputLeakCheck {
public:
    InputLeakCheck();
    ~InputLeakCheck();

private:
    uint64_t pool_;
    size_t keys_;
    uint64_t threads_;
};

// A camera below a loaded driver. `lower` is the device to attach above: a simulated camera
// when null. Each step reports whether it worked; teardown undoes what was done.
class FuzzCamera {
public:
    explicit FuzzCamera(PDEVICE_OBJECT lower = nullptr);
    ~FuzzCamera();
    FuzzCamera(const FuzzCamera&) = delete;
    FuzzCamera& operator=(const FuzzCamera&) = delete;

    bool Arrived() const { return device_ != nullptr; }
    bool Start();
    bool Open();
    void CloseAndStop();

    PKSDEVICE Device() const { return device_; }
    PFILE_OBJECT Filter() const { return filter_; }

private:
    std::unique_ptr<sim::Camera> camera_;
    PKSDEVICE device_ = nullptr;
    PFILE_OBJECT filter_ = nullptr;
    bool started_ = false;
};

// Aborts with the message: a broken invariant is a crash to the fuzzer.
[[noreturn]] void FuzzFail(const char* what, const std::string& detail = "");
