// Raw intake: the padded copy and its margins, the calls that do nothing, the phase
// choice, and how white-balance results reach the slots.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/host/host_control.h"
#include "tests/imaging/test_support.h"

namespace {

using imaging_test::Convert;
using imaging_test::MakePipeline;
using imaging_test::PixelAt;
using imaging_test::PlaneFrame;
using imaging_test::RandomBytes;
using imaging_test::RoutineTables;
using imaging_test::SettingsOf;

const UCHAR* PaddedRow(ImagePipeline* p, int r) {
    return p->imageOrigin + LONG_PTR(r) * p->framePitch;
}

TEST(RawIntake, SensorFrameLandsInThePaddedBufferWithMirroredMargins) {
    std::mt19937 rng(21);
    auto raw = RandomBytes(656 * 494, rng);
    auto p = MakePipeline(656, 494);
    LoadRawFrame(p.get(), raw.data(), 0, 656);
    for (int r = 0; r < 494; ++r) {
        ASSERT_EQ(std::memcmp(PaddedRow(p.get(), r), &raw[size_t(r) * 656], 656), 0) << r;
    }
    // Rows first (two above mirror rows 2 and 1; the two below repeat rows h-4 and h-3),
    // then columns of every padded row.
    const int mirror[4][2] = {{-2, 2}, {-1, 1}, {494, 490}, {495, 491}};
    for (auto& m : mirror) {
        EXPECT_EQ(std::memcmp(PaddedRow(p.get(), m[0]), PaddedRow(p.get(), m[1]), 656), 0)
            << "row " << m[0];
    }
    for (int r = -2; r < 496; ++r) {
        const UCHAR* row = PaddedRow(p.get(), r);
        ASSERT_EQ(row[-1], row[1]) << r;
        ASSERT_EQ(row[-2], row[2]) << r;
        ASSERT_EQ(row[656], row[654]) << r;
        ASSERT_EQ(row[657], row[653]) << r;
    }
    // Corners repeat the copied rows.
    EXPECT_EQ(PaddedRow(p.get(), -2)[-2], raw[2 * 656 + 2]);
    EXPECT_EQ(PaddedRow(p.get(), 495)[657], raw[491 * 656 + 653]);
}

TEST(RawIntake, RowStepAndOffsetSkipTheRestOfEachSourceRow) {
    std::mt19937 rng(22);
    const uint32_t w = 40, h = 9, offset = 13, step = 57;
    auto raw = RandomBytes(offset + step * h, rng);
    auto p = MakePipeline(w, h);
    LoadRawFrame(p.get(), raw.data(), offset, step);
    for (uint32_t r = 0; r < h; ++r) {
        EXPECT_EQ(std::memcmp(PaddedRow(p.get(), int(r)), &raw[offset + r * step], w), 0) << r;
    }
    // A frame that ends right after the last image sample is enough: nothing past it is read
    // (the address sanitizer build checks that).
    std::vector<uint8_t> exact(raw.begin(), raw.begin() + offset + step * (h - 1) + w);
    auto p2 = MakePipeline(w, h);
    for (auto* routines : RoutineTables())
        Convert(p2.get(), routines, exact, offset, step);
}

TEST(RawIntake, MissingBuffersMakeTheCallANoOp) {
    auto p = MakePipeline(32, 8);
    std::vector<uint8_t> raw(32 * 8, 100), out(32 * 8 * 4, 0x3C);
    ProcessRawFrame(p.get(), raw.data(), 0, 32);  // no output buffer: nothing happens
    p->outputBuffer = out.data();
    ProcessRawFrame(p.get(), nullptr, 0, 32);
    EXPECT_EQ(out, std::vector<uint8_t>(32 * 8 * 4, 0x3C));
    ReleaseRawBuffer(p.get());
    ProcessRawFrame(p.get(), raw.data(), 0, 32);
    EXPECT_EQ(out, std::vector<uint8_t>(32 * 8 * 4, 0x3C));
    p->outputBuffer = nullptr;
}

TEST(RawIntake, ZeroSizedFramesWriteNothing) {
    for (auto size : {std::pair<ULONG, ULONG>{0, 10}, {10, 0}, {0, 0}}) {
        auto p = MakePipeline(size.first, size.second);
        SetWhiteBalanceAuto(p.get(), 1);
        SetRedGain(p.get(), 99);
        std::vector<uint8_t> raw(16, 1), out(64, 0x77);
        p->outputBuffer = out.data();
        ProcessRawFrame(p.get(), raw.data(), 0, 0);
        p->outputBuffer = nullptr;
        EXPECT_EQ(out, std::vector<uint8_t>(64, 0x77));
        EXPECT_EQ(GetRedGain(p.get()), 99);  // nothing measured, nothing changed
    }
}

TEST(RawIntake, PhasesOutsideZeroToThreeActAsThree) {
    std::mt19937 rng(23);
    auto raw = RandomBytes(48 * 10, rng);
    auto three = MakePipeline(48, 10, 3);
    auto seven = MakePipeline(48, 10, 7);
    auto minus = MakePipeline(48, 10, -1);
    for (auto* routines : RoutineTables()) {
        auto expected = Convert(three.get(), routines, raw, 0, 48);
        EXPECT_EQ(Convert(seven.get(), routines, raw, 0, 48), expected);
        EXPECT_EQ(Convert(minus.get(), routines, raw, 0, 48), expected);
    }
}

// Frames are converted without touching the pool, in every mode and on every path.
TEST(RawIntake, NoAllocationPerFrame) {
    std::mt19937 rng(25);
    auto raw = RandomBytes(656 * 494, rng);
    auto p = MakePipeline(656, 494);
    std::vector<uint8_t> out(656 * 494 * 4);
    p->outputBuffer = out.data();
    const uint64_t before = host::PoolSequence();
    for (auto* routines : RoutineTables()) {
        for (int mode = 0; mode < 4; ++mode) {
            SetColorEnable(p.get(), mode & 1);
            SetWhiteBalanceAuto(p.get(), mode >> 1);
            SetSaturation(p.get(), mode == 3 ? 20 : 10);  // another matrix shape
            ProcessRawFrameWith(p.get(), routines, raw.data(), 0, 656);
        }
    }
    EXPECT_EQ(host::PoolSequence(), before);
    p->outputBuffer = nullptr;
}

// A black frame gives nothing to balance against: the gains the pipeline holds stay, and
// the frame is converted with them.
TEST(RawIntake, WhiteBalanceOfABlackFrameKeepsTheGains) {
    for (auto* routines : RoutineTables()) {
        auto p = MakePipeline(32, 8);
        SetWhiteBalanceAuto(p.get(), 1);
        SetRedGain(p.get(), 100);
        SetGreenGain(p.get(), 120);
        SetBlueGain(p.get(), 140);
        Convert(p.get(), routines, std::vector<uint8_t>(32 * 8, 0), 0, 32);
        EXPECT_EQ(GetRedGain(p.get()), 100);
        EXPECT_EQ(GetGreenGain(p.get()), 120);
        EXPECT_EQ(GetBlueGain(p.get()), 140);
        // No red at all, green and blue present: still no ratio for red, nothing changes.
        Convert(p.get(), routines, PlaneFrame(32, 8, 2, 0, 90, 90), 0, 32);
        EXPECT_EQ(GetRedGain(p.get()), 100);
        EXPECT_EQ(GetBlueGain(p.get()), 140);
        // A frame with a little of everything is measured again.
        Convert(p.get(), routines, PlaneFrame(32, 8, 2, 45, 90, 90), 0, 32);
        EXPECT_EQ(GetRedGain(p.get()), 256);
        EXPECT_EQ(GetGreenGain(p.get()), 128);
        EXPECT_EQ(GetBlueGain(p.get()), 128);
    }
}

// Almost no red: the grey-world ratio passes 16 bits. The gain is limited to 65535 (in the
// slot and in the conversion) instead of being taken modulo 65536.
TEST(RawIntake, MeasuredGainsAreLimitedToSixteenBits) {
    const uint32_t w = 64, h = 64;
    auto raw = PlaneFrame(w, h, 2, 0, 255, 255);
    raw[32 * w + 32] = 1;  // one red sample of 1 (row 32, column 32 is red in RGGB)
    for (auto* routines : RoutineTables()) {
        auto p = MakePipeline(w, h, 2);
        SetWhiteBalanceAuto(p.get(), 1);
        SetColorCorrection(p.get(), 0);
        auto image = Convert(p.get(), routines, raw, 0, w);
        EXPECT_EQ(GetRedGain(p.get()), 65535);
        EXPECT_EQ(GetBlueGain(p.get()), 128);
        EXPECT_EQ(PixelAt(image, 32 * w + 32).r, 255);  // 65535 * 1 >> 7, clamped
        EXPECT_EQ(PixelAt(image, 0).r, 0);
    }
}

// Frames under 8 columns or rows get no margins: the zeros the padded buffer starts with
// stand there, the same for every frame, whatever the buffer saw before.
TEST(RawIntake, SmallFramesAreDeterministic) {
    std::mt19937 rng(24);
    for (auto size : {std::pair<uint32_t, uint32_t>{5, 5}, {7, 30}, {30, 3}, {1, 1}}) {
        const uint32_t w = size.first, h = size.second;
        auto first = RandomBytes(w * h, rng), second = RandomBytes(w * h, rng);
        for (auto* routines : RoutineTables()) {
            auto fresh = MakePipeline(w, h);
            auto expected = Convert(fresh.get(), routines, second, 0, w);
            auto used = MakePipeline(w, h);
            Convert(used.get(), routines, first, 0, w);
            EXPECT_EQ(Convert(used.get(), routines, second, 0, w), expected) << w << "x" << h;
            reference::RawImage model{second.data(), 0, w, w, h};
            EXPECT_EQ(reference::ProcessFrame(model, SettingsOf(fresh.get())).image, expected);
        }
    }
}

// The buffer is filled with the geometry it was allocated for, even if the size changes
// without a new allocation.
TEST(RawIntake, SizeChangeWithoutNewBufferStaysInsideIt) {
    auto p = MakePipeline(16, 8);
    SetFrameSize(p.get(), 656, 494);
    std::vector<uint8_t> raw(656 * 494, 9), out(16 * 8 * 4);
    p->outputBuffer = out.data();
    ProcessRawFrame(p.get(), raw.data(), 0, 656);
    p->outputBuffer = nullptr;
    EXPECT_EQ(PixelAt(out, 16 * 8 - 1).a, 255);
}

}  // namespace
