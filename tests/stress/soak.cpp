// The soak: the capture pin streams from the unpaced camera while three client threads change
// random settings and walk the pin through RUN, PAUSE and ACQUIRE. It ends with the number of
// frames, how many of them were checked byte for byte against the conversion of the camera's
// frame, and the pool in use across the run; any crash, hang, race (under TSan), leak, torn
// or wrong picture, or pool growth after the warm-up fails it.
//
//   bayercam_soak [--frames N] [--seed S] [--check-every N]
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>

#include "driver/device_context.h"
#include "tests/stream/expected_image.h"
#include "tests/stress/camera_client.h"
#include "sim/sim_camera.h"
#include "usb/frame_read.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Shared {
    CameraClient* client;
    DeviceContext* context;
    // Changes hold it shared; the reader holds it alone while it checks a picture exactly.
    std::shared_mutex quiet;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> changes{0};
    std::atomic<uint64_t> failedChanges{0};
};

// Thread 0 walks the pin's state; the others change settings. Every action ends with the pin
// running again, so the reader's exact checks always find it streaming.
void Changer(Shared* shared, int index, uint32_t seed) {
    std::mt19937 random(seed + uint32_t(index));
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    CameraClient* client = shared->client;
    while (!shared->stop.load()) {
        {
            std::shared_lock<std::shared_mutex> hold(shared->quiet);
            NTSTATUS status = STATUS_SUCCESS;
            int action = -1;
            if (index == 0) {
                bool acquire = pick(0, 1);
                status = client->SetState(KSSTATE_PAUSE);
                if (NT_SUCCESS(status) && acquire)
                    status = client->SetState(KSSTATE_ACQUIRE);
                std::this_thread::sleep_for(std::chrono::microseconds(pick(0, 3000)));
                if (acquire)
                    client->SetState(KSSTATE_PAUSE);
                NTSTATUS run = client->SetState(KSSTATE_RUN);
                if (NT_SUCCESS(status))
                    status = run;
            } else {
                action = pick(0, 12);
                switch (action) {
                    case 0:
                        status = client->Set(PropFlipH, pick(0, 1));
                        break;
                    case 1:
                        status = client->Set(PropFlipV, pick(0, 1));
                        break;
                    case 2:
                        status = client->Set(PropWhiteBalance, pick(0, 1));
                        break;
                    case 3:
                        status = client->Set(PropBrightness, pick(0, 510));
                        break;
                    case 4:
                        status = client->Set(PropContrast, pick(0, 20));
                        break;
                    case 5:
                        status = client->Set(PropSaturation, pick(0, 20));
                        break;
                    case 6:
                        status = client->Set(PropHue, pick(-180, 180));
                        break;
                    case 7:
                        status = client->Set(PropRedGain + pick(0, 2), pick(64, 512));
                        break;
                    case 8:
                        status = client->Set(PropColorCorrection, pick(0, 1));
                        break;
                    // A short frame time-out keeps the frame a reset interrupts from stalling
                    // the stream for long.
                    case 9:
                        status = client->Set(PropTimeout, pick(501, 1500));
                        break;
                    case 10:
                        status = client->SetRoi(pick(-8, 700), pick(-8, 500), pick(-1, 700),
                                                pick(-1, 500));
                        break;
                    case 11:
                        // A reset stops the frame being sent: rare, as it costs a time-out.
                        status =
                            pick(0, 200) == 0 ? client->Set(PropReinitialize, 1) : STATUS_SUCCESS;
                        break;
                    default: {
                        LONG value;
                        status = client->Get(ULONG(pick(0, int(kCameraPropertyCount) - 1)), &value);
                        // Write-only, reserved and failing items, and those whose record is larger.
                        if (status == STATUS_INVALID_DEVICE_REQUEST ||
                            status == STATUS_INVALID_PARAMETER || status == STATUS_UNSUCCESSFUL)
                            status = STATUS_SUCCESS;
                        break;
                    }
                }
            }
            ++shared->changes;
            if (!NT_SUCCESS(status)) {
                if (++shared->failedChanges <= 5)
                    std::fprintf(stderr, "soak: thread %d: change %d refused with 0x%08X\n", index,
                                 action, unsigned(status));
            }
        }
        // The state walks come less often than the setting changes: each one stops and
        // restarts the capture.
        std::this_thread::sleep_for(
            std::chrono::microseconds(index == 0 ? pick(5000, 30000) : pick(0, 2000)));
    }
}

struct Figures {
    uint64_t frames = 0, empty = 0, checked = 0, mismatched = 0, stalls = 0;
    size_t poolMin = SIZE_MAX, poolMax = 0, poolWarm = 0;
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Streams through the capture pin under random concurrent changes.");
    uint64_t wanted = 100000;
    uint32_t seed = 1;
    uint64_t checkEvery = 500;
    int changerCount = 3;
    app.add_option("--frames", wanted, "whole frames to receive")->check(CLI::Range(1, 100000000));
    app.add_option("--seed", seed, "seed of the changes");
    app.add_option("--check-every", checkEvery, "whole frames between exact checks")
        ->check(CLI::Range(1, 1000000));
    app.add_option("--changers", changerCount, "client threads changing settings and states")
        ->check(CLI::Range(0, 3));
    CLI11_PARSE(app, argc, argv);

    const uint64_t poolStart = host::PoolSequence();
    const uint64_t threadStart = host::ThreadSequence();
    sim::CameraOptions options;
    options.paced = false;
    options.moving = false;
    std::string error;
    auto camera = sim::Camera::Create(options, &error);
    PKSDEVICE device = nullptr;
    PFILE_OBJECT filter = nullptr;
    if (!camera || host::LoadDriver(DriverEntry) != STATUS_SUCCESS ||
        host::AddDevice(camera->DeviceObject(), &device) != STATUS_SUCCESS ||
        host::StartDevice(device) != STATUS_SUCCESS ||
        host::OpenFilter(device, "GLOBAL", &filter) != STATUS_SUCCESS) {
        std::fprintf(stderr, "soak: the camera did not come up %s\n", error.c_str());
        return 1;
    }
    auto* context = static_cast<DeviceContext*>(device->Context);
    Figures f;
    bool failed = false;
    auto fail = [&](const char* what) {
        std::fprintf(stderr, "soak: %s\n", what);
        failed = true;
    };
    auto start = Clock::now();
    {
        CameraClient client(filter);
        client.Set(PropExposure, 450);
        client.Set(PropTimeout, 1000);
        if (client.Negotiate() != STATUS_SUCCESS || client.CreatePin() != STATUS_SUCCESS ||
            client.SetState(KSSTATE_ACQUIRE) != STATUS_SUCCESS ||
            client.SetState(KSSTATE_PAUSE) != STATUS_SUCCESS || client.Queue(4) != STATUS_PENDING ||
            client.SetState(KSSTATE_RUN) != STATUS_SUCCESS) {
            std::fprintf(stderr, "soak: the stream did not start\n");
            return 1;
        }
        const ULONG size = client.ImageSize();
        Shared shared;
        shared.client = &client;
        shared.context = context;
        std::vector<std::thread> changers;
        for (int i = 0; i < changerCount; ++i)
            changers.emplace_back(Changer, &shared, i, seed);

        auto lastFrame = Clock::now();
        uint64_t nextCheck = checkEvery;
        std::unique_lock<std::shared_mutex> alone(shared.quiet, std::defer_lock);
        int settle = -1;  // whole frames still to skip before the exact check, -1 when none due
        while (f.frames < wanted && !failed) {
            NTSTATUS status;
            ClientRead* read = client.Next(50, &status);
            if (!read) {
                // PAUSE and ACQUIRE hold frames back; a running stream never does for long.
                if (Clock::now() - lastFrame > std::chrono::seconds(10)) {
                    ++f.stalls;
                    fail("no frame for 10 s");
                }
                continue;
            }
            ULONG used = read->head.header.DataUsed;
            if (!NT_SUCCESS(status) || (used != 0 && used != size)) {
                fail("a frame completed with a wrong status or size");
                break;
            }
            if (used == 0) {
                ++f.empty;
            } else {
                ++f.frames;
                lastFrame = Clock::now();
                if (settle > 0) {
                    --settle;
                } else if (settle == 0) {
                    ++f.checked;
                    std::vector<uint8_t> expected =
                        ExpectedImage(*context, camera->LastFrame(), context->ImagePipeline,
                                      InterlockedCompareExchange(&context->FlipH, 0, 0) != 0,
                                      InterlockedCompareExchange(&context->FlipV, 0, 0) != 0);
                    if (expected.size() != size ||
                        !std::equal(expected.begin(), expected.end(), read->data.begin())) {
                        ++f.mismatched;
                        fail("a picture differs from the conversion of its raw frame");
                    }
                    settle = -1;
                    alone.unlock();
                } else if (f.frames >= nextCheck) {
                    // Frames converted before the changes stopped may still be on their way.
                    nextCheck += checkEvery;
                    alone.lock();
                    settle = 3;
                }
                if (f.frames % 100 == 0) {
                    size_t bytes = host::PoolLiveBytes();
                    if (!f.poolWarm && f.frames >= std::min<uint64_t>(wanted / 10, 10000))
                        f.poolWarm = bytes;
                    if (f.poolWarm) {
                        f.poolMin = std::min(f.poolMin, bytes);
                        f.poolMax = std::max(f.poolMax, bytes);
                    }
                }
                if (f.frames % 10000 == 0)
                    std::fprintf(stderr, "soak: %llu frames\n", (unsigned long long)f.frames);
            }
            if (client.Requeue(read) != STATUS_PENDING)
                fail("a frame could not be queued again");
        }
        if (alone.owns_lock())
            alone.unlock();
        shared.stop = true;
        for (std::thread& t : changers)
            t.join();
        std::fprintf(stdout, "soak: %llu setting changes and state walks (%llu refused)\n",
                     (unsigned long long)shared.changes.load(),
                     (unsigned long long)shared.failedChanges.load());
        if (client.SetState(KSSTATE_STOP) != STATUS_SUCCESS)
            fail("STOP failed");
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    host::CloseFilter(filter);
    host::StopDevice(device);
    host::RemoveDevice(device);
    camera.reset();
    std::string leaks = host::ThreadLeaksSince(threadStart, 500) + host::PoolLeaksSince(poolStart);
    if (!leaks.empty()) {
        std::fprintf(stderr, "%s", leaks.c_str());
        fail("pool or threads left behind");
    }
    // Flat: after the warm-up the pool in use moves only by what a frame in flight holds.
    if (f.poolWarm && f.poolMax > f.poolWarm + 2 * 1024 * 1024)
        fail("pool use grew after the warm-up");
    std::printf(
        "soak: %llu whole frames (%llu empty) in %.1f s, %.0f frames/s; %llu checked "
        "exactly, %llu differed; pool in use after warm-up %zu..%zu bytes (at warm-up "
        "%zu)\n",
        (unsigned long long)f.frames, (unsigned long long)f.empty, seconds, f.frames / seconds,
        (unsigned long long)f.checked, (unsigned long long)f.mismatched, f.poolWarm ? f.poolMin : 0,
        f.poolMax, f.poolWarm);
    std::printf("soak: %s\n", failed ? "FAILED" : "passed");
    return failed ? 1 : 0;
}
