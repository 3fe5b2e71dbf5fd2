// The whole life of a camera with one allocation refused, for every allocation the life
// makes: whatever was refused, nothing crashes, hangs or leaks, every step answers success
// or the refusal, and a fault-free life in the same process then streams normally.
//
// `make sweep` runs the long form (BAYERCAM_SWEEP=full): ten frames per life instead of two.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "driver/device_context.h"
#include "platform/host/host_control.h"
#include "tests/stress/lifecycle.h"
#include "usb/frame_read.h"

namespace {

// Ends the process when one life takes longer than a hang would: a hang cannot fail a test
// any other way.
class Watchdog {
public:
    explicit Watchdog(int seconds) : seconds_(seconds), thread_([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> g(lock_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void Arm(const std::string& what) {
        std::lock_guard<std::mutex> g(lock_);
        what_ = what;
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds_);
    }

private:
    void Watch() {
        std::unique_lock<std::mutex> g(lock_);
        while (!done_) {
            wake_.wait_for(g, std::chrono::milliseconds(200));
            if (!done_ && !what_.empty() && std::chrono::steady_clock::now() > deadline_) {
                std::fprintf(stderr, "hang: %s did not end within %d s\n", what_.c_str(), seconds_);
                std::abort();
            }
        }
    }
    int seconds_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool done_ = false;
    std::string what_;
    std::chrono::steady_clock::time_point deadline_;
    std::thread thread_;
};

std::unique_ptr<sim::Camera> NewCamera() {
    sim::CameraOptions options;
    options.paced = false;
    options.moving = false;
    std::string error;
    auto camera = sim::Camera::Create(options, &error);
    EXPECT_TRUE(camera) << error;
    return camera;
}

// The last requests that crossed to the camera, as a bus monitor shows them.
std::string TransferTail(const sim::Camera& camera, size_t count) {
    std::vector<sim::Transfer> all = camera.Transfers();
    std::string out;
    for (size_t i = all.size() > count ? all.size() - count : 0; i < all.size(); ++i) {
        const sim::Transfer& t = all[i];
        char line[160];
        std::snprintf(line, sizeof(line), "    #%llu %s pipe %d asked %u moved %u 0x%08X %s\n",
                      (unsigned long long)t.sequence, sim::UrbFunctionName(t.function), t.pipe,
                      unsigned(t.asked), unsigned(t.moved), unsigned(t.status),
                      t.bytes.empty() ? "" : std::to_string(t.bytes[0]).c_str());
        out += line;
    }
    return out;
}

// What one life left behind: pool blocks, threads, registry handles.
std::string Leftovers(uint64_t poolStart, uint64_t threadStart, size_t keysAtStart) {
    std::string what = host::ThreadLeaksSince(threadStart, 500) + host::PoolLeaksSince(poolStart);
    if (host::RegistryOpenHandles() > keysAtStart)
        what += "  registry key handles left open\n";
    return what;
}

TEST(AllocationSweep, EveryRefusedAllocationOfALifeFailsCleanly) {
    const char* mode = std::getenv("BAYERCAM_SWEEP");
    const bool full = mode && std::string(mode) == "full";
    ASSERT_EQ(host::LoadDriver(DriverEntry), STATUS_SUCCESS);
    StoreLifecycleSettings();
    Watchdog watchdog(30);

    // Step `armStep` of the life refuses its `k`th allocation (counted from the step's
    // beginning, whichever thread asks); refusedBy[s] is the refusal count as step s began.
    int armStep = -1;
    uint64_t k = 0;
    std::vector<uint64_t> refusedBy;
    std::vector<std::string> names;
    LifecycleOptions options;
    options.frames = full ? 10 : 2;
    options.beginStep = [&](int step, const char* name) {
        refusedBy.push_back(host::PoolRefusedCount());
        if (names.size() <= size_t(step))
            names.push_back(name);
        if (step == armStep)
            host::PoolFailNth(k);
    };
    auto life = [&](const std::string& what) {
        refusedBy.clear();
        auto camera = NewCamera();
        watchdog.Arm(what);
        LifecycleRun run = RunLifecycle(camera.get(), options);
        host::PoolClearFaults();
        if (!run.problem.empty())
            run.problem += "\n" + TransferTail(*camera, 40);
        camera.reset();
        watchdog.Arm("");
        return run;
    };

    uint64_t before = host::PoolSequence();
    LifecycleRun reference = life("the reference life");
    uint64_t allocations = host::PoolSequence() - before;
    ASSERT_TRUE(reference.problem.empty()) << Describe(reference);
    const int steps = int(names.size());

    std::set<uint64_t> sites;
    std::set<ULONG> tags;
    uint64_t lives = 0;
    for (armStep = 0; armStep < steps; ++armStep) {
        for (k = 1;; ++k) {
            ASSERT_LT(k, 100000u) << names[armStep] << " never stops allocating";
            uint64_t poolStart = host::PoolSequence(), threadStart = host::ThreadSequence();
            size_t keys = host::RegistryOpenHandles();
            uint64_t refusedBefore = host::PoolRefusedCount();
            std::string what = "allocation " + std::to_string(k) + " of " + names[armStep];
            LifecycleRun run = life("the life refusing " + what);
            ++lives;
            // The step during which the refusal came, if it came.
            int refusingStep = -1;
            for (size_t s = 0; s < refusedBy.size(); ++s)
                if (refusedBy[s] == refusedBefore)
                    refusingStep = int(s);
            bool refused = host::PoolRefusedCount() > refusedBefore;
            host::PoolRefusal refusal = host::PoolLastRefusal();
            if (refused) {
                sites.insert(refusal.site);
                tags.insert(refusal.tag);
            }
            std::string context = what + " refused (tag \"" + host::PoolTagName(refusal.tag) +
                                  "\", " + std::to_string(refusal.size) + " bytes):\n" +
                                  Describe(run);
            ASSERT_TRUE(run.problem.empty()) << context;
            std::string left = Leftovers(poolStart, threadStart, keys);
            ASSERT_TRUE(left.empty()) << context << left;

            int saved = armStep;
            armStep = -1;
            LifecycleRun again = life("the fault-free life after refusing " + what);
            armStep = saved;
            ASSERT_TRUE(again.problem.empty()) << context << "then:\n" << Describe(again);
            for (const LifecycleStep& step : again.steps)
                ASSERT_TRUE(NT_SUCCESS(step.status)) << context << "then:\n" << Describe(again);
            ASSERT_EQ(again.fullFrames, options.frames + 2) << context << Describe(again);
            // Past the step's last allocation the refusal lands in a later step, or nowhere.
            if (!refused || refusingStep != armStep)
                break;
        }
    }
    std::printf(
        "allocation sweep: %llu lives over %d steps (%llu allocations in the reference "
        "life), %zu distinct allocation points, %zu pool tags\n",
        (unsigned long long)lives, steps, (unsigned long long)allocations, sites.size(),
        tags.size());
    RecordProperty("allocation_points", int(sites.size()));
}

}  // namespace
