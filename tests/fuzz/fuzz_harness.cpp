#include "tests/fuzz/fuzz_harness.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/device_context.h"

void FuzzFail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz: %s\n%s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

InputLeakCheck::InputLeakCheck()
    : pool_(host::PoolSequence()),
      keys_(host::RegistryOpenHandles()),
      threads_(host::ThreadSequence()) {}

InputLeakCheck::~InputLeakCheck() {
    host::PoolClearFaults();
    // Threads first: one that is about to end still holds its object in the pool.
    std::string threads = host::ThreadLeaksSince(threads_, 500);
    if (!threads.empty())
        FuzzFail("system threads left behind by this input", threads);
    std::string leaks = host::PoolLeaksSince(pool_);
    if (!leaks.empty())
        FuzzFail("pool memory left allocated by this input", leaks);
    if (host::RegistryOpenHandles() > keys_)
        FuzzFail("registry key handles left open by this input");
    host::RegistryReset();
}

FuzzCamera::FuzzCamera(PDEVICE_OBJECT lower) {
    if (!lower) {
        sim::CameraOptions options;
        options.paced = false;
        options.moving = false;
        // Completion inside the call: the same driver paths, without a thread hop per packet.
        options.synchronousCompletion = true;
        options.inlineFrames = true;
        std::string error;
        camera_ = sim::Camera::Create(options, &error);
        if (!camera_)
            FuzzFail("the simulated camera cannot be made", error);
        lower = camera_->DeviceObject();
    }
    if (host::LoadDriver(DriverEntry) != STATUS_SUCCESS)
        FuzzFail("the driver does not load");
    if (host::AddDevice(lower, &device_) != STATUS_SUCCESS)
        device_ = nullptr;
}

FuzzCamera::~FuzzCamera() {
    CloseAndStop();
    if (device_)
        host::RemoveDevice(device_);
    camera_.reset();
}

bool FuzzCamera::Start() {
    if (!device_)
        return false;
    started_ = true;  // a failed start is still followed by removal, which stops nothing
    if (host::StartDevice(device_) != STATUS_SUCCESS) {
        started_ = false;
        return false;
    }
    return true;
}

bool FuzzCamera::Open() {
    if (!started_ || filter_)
        return filter_ != nullptr;
    if (host::OpenFilter(device_, "GLOBAL", &filter_) != STATUS_SUCCESS)
        filter_ = nullptr;
    return filter_ != nullptr;
}

void FuzzCamera::CloseAndStop() {
    if (filter_ && host::CloseFilter(filter_) != STATUS_SUCCESS)
        FuzzFail("the filter does not close");
    filter_ = nullptr;
    if (started_)
        host::StopDevice(device_);
    started_ = false;
}
