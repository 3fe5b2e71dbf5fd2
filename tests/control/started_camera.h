// A simulated camera that has arrived and been started, as the PnP manager and AVStream start
// it, with its capture filter open as an application opens it. Property requests go through
// AVStream's dispatch as IOCTL_KS_PROPERTY requests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "control/property_set.h"
#include "platform/host/host_control.h"
#include "sim/sim_camera.h"

struct PropertyResult {
    NTSTATUS status;
    LONG value;
};

class StartedCamera : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Arrival without the start, for tests that start the device themselves.
    virtual bool StartInSetUp() { return true; }
    // The camera sends frames at its frame rate instead of as fast as they are read.
    virtual bool Paced() { return false; }
    // The bus misbehaves within its rules (sim::CameraOptions::chaos).
    virtual bool Chaos() { return false; }
    void Arrive();
    void StartAndOpen();
    void CloseAndStop();

    PropertyResult Get(ULONG id);
    NTSTATUS Set(ULONG id, LONG value, LONG second = 0);
    NTSTATUS Request(ULONG id, ULONG flags, void* record, ULONG size, ULONG* returned = nullptr);
    NTSTATUS SetRoi(LONG x, LONG y, LONG width, LONG height);

    // Packets that went out on the command pipe since the last ClearTransfers, each cut to
    // its leading non-zero-padded bytes as hex ("25 0f 03").
    std::vector<std::string> Commands() const;

    std::unique_ptr<sim::Camera> camera_;
    PKSDEVICE device_ = nullptr;
    DeviceContext* context_ = nullptr;
    PFILE_OBJECT filter_ = nullptr;
    bool started_ = false;
};

// Runs `attempt` with the nth pool allocation from now refused, for n = 1, 2, ... until an
// attempt during which nothing was refused; `check(refused, result)` judges each outcome.
template <typename Attempt, typename Check>
void ForEachAllocationFailure(Attempt attempt, Check check) {
    for (uint64_t n = 1; n < 500; ++n) {
        uint64_t before = host::PoolRefusedCount();
        host::PoolFailNth(n);
        auto result = attempt();
        bool refused = host::PoolRefusedCount() > before;
        host::PoolClearFaults();
        check(refused, result);
        if (!refused)
            return;
    }
    ADD_FAILURE() << "the operation never ran without a refused allocation";
}

// The stored settings of the device, by value name.
bool StoredValue(const char* name, LONG* value);
void StoreValue(const char* name, ULONG type, std::vector<uint8_t> data);
void StoreDword(const char* name, LONG value);
std::string SettingsKeyPath();
