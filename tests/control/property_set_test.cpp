// The camera property set as an application uses it: requests through AVStream's property
// dispatch on the open filter of a started camera.
#include <atomic>
#include <thread>

#include "driver/pool_tags.h"
#include "imaging/image_pipeline.h"
#include "tests/common/driver_form.h"
#include "tests/control/started_camera.h"
#include "usb/frame_read.h"

namespace {

using PropertySet = StartedCamera;

// Directions per identifier, as BASICSUPPORT reports them: G get, S set, B both.
const char kDirections[] = "BBBGGGBGGGBBBBBBBGGGBGGGBGGGBGGGBGGGGGGGGGGGSGGSBBGGGGGBBBBBBGGBBBBSG";
static_assert(sizeof(kDirections) - 1 == kCameraPropertyCount, "one direction per item");

TEST_F(PropertySet, EveryItemAnswersBasicSupportWithItsDirectionsAndRecordSize) {
    for (ULONG id = 0; id < kCameraPropertyCount; ++id) {
        // The request is as long as the item's record, as for a get or a set.
        CameraRawValue request{};
        request.Header.Set = CameraPropertySetId;
        request.Header.Id = id;
        request.Header.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
        ULONG access = 0, returned = 0;
        ASSERT_EQ(host::KsPropertyRequest(filter_, &request, CameraPropertyItems[id].MinProperty,
                                          &access, sizeof(access), &returned),
                  STATUS_SUCCESS)
            << id;
        char expected = kDirections[id];
        EXPECT_EQ((access & KSPROPERTY_TYPE_GET) != 0, expected != 'S') << id;
        EXPECT_EQ((access & KSPROPERTY_TYPE_SET) != 0, expected != 'G') << id;
        const KSPROPERTY_ITEM& item = CameraPropertyItems[id];
        ULONG size = id == PropRoi ? 48 : (id == PropRawCommand || id == PropReadByte) ? 96 : 32;
        EXPECT_EQ(item.PropertyId, id);
        EXPECT_EQ(item.MinProperty, size) << id;
        EXPECT_EQ(item.MinData, size) << id;
    }
}

TEST_F(PropertySet, RangeItemsAreConstants) {
    const struct {
        ULONG id;
        LONG value;
    } cases[] = {
        {PropExposureMin, 2},    {PropExposureMax, 524},    {PropExposureDefault, 2},
        {PropGlobalGainMin, 0},  {PropGlobalGainMax, 1023}, {PropGlobalGainDefault, 310},
        {PropColorGainMin, 1},   {PropColorGainMax, 512},   {PropColorGainDefault, 128},
        {PropBrightnessMin, 0},  {PropBrightnessMax, 510},  {PropBrightnessDefault, 255},
        {PropContrastMin, 0},    {PropContrastMax, 20},     {PropContrastDefault, 10},
        {PropSaturationMax, 20}, {PropHueMax, 359},         {PropSensorWidth, 656},
        {PropSensorHeight, 494}, {PropWindowWidth, 656},    {PropWindowHeight, 494},
        {PropReserved46, 1},     {PropReserved50, 1},       {PropReserved53, 0},
        {PropReserved68, 0},     {PropSubSample, 0},        {PropPinOpen, 0},
    };
    for (const auto& c : cases) {
        PropertyResult r = Get(c.id);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << c.id;
        EXPECT_EQ(r.value, c.value) << c.id;
    }
}

TEST_F(PropertySet, SetsClampAndIgnoreAsTheSettingsDo) {
    const struct {
        ULONG id;
        LONG set;
        LONG get;
    } cases[] = {
        {PropExposure, 1, 2},
        {PropExposure, -1, 524},
        {PropExposure, 300, 300},
        {PropTimeout, 501, 501},
        {PropTimeout, 500, 501},
        {PropTimeout, -5, -5},
        {PropGlobalGain, 5000, 1023},
        {PropGlobalGain, -1, 1023},
        {PropGlobalGain, 310, 310},
        {PropRedGain, 0, 1},
        {PropRedGain, 600, 512},
        {PropBlueGain, 77, 77},
        {PropBrightness, -5, 0},
        {PropBrightness, 600, 510},
        {PropHue, 360, 359},
        {PropContrast, 21, 20},
        {PropSaturation, -1, 0},
        {PropColorEnable, 7, 7},
        {PropColorCorrection, -3, -3},
        {PropFlipH, 9, 9},
        {PropFlipV, -1, -1},
        {PropAGC, 5, 0},
        {PropAEC, 5, 0},
        {PropWhiteBalance, 1, 1},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Set(c.id, c.set), STATUS_SUCCESS) << c.id;
        PropertyResult r = Get(c.id);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.value, c.get) << "item " << c.id << " set to " << c.set;
    }
    EXPECT_EQ(*DriverFrameTimeout(), -5) << "the frame read follows the Timeout setting";
    EXPECT_EQ(camera_->SensorRegister(sim::kExposureRegister), 300);
    EXPECT_EQ(camera_->SensorRegister(sim::kGainRegister), 310);
}

TEST_F(PropertySet, RegisterAccessAndRawCommands) {
    EXPECT_EQ(Set(PropSensorRegister, 4, 300), STATUS_SUCCESS);
    EXPECT_EQ(camera_->SensorRegister(4), 300);
    EXPECT_EQ(Set(PropRegisterShadow, 4), STATUS_SUCCESS);
    EXPECT_EQ(Get(PropRegisterShadow).value, 300);
    EXPECT_EQ(Set(PropRegisterShadow, 1024), STATUS_SUCCESS);
    EXPECT_EQ(Get(PropRegisterShadow).value, 0);
    EXPECT_EQ(Get(PropSensorRegister).status, STATUS_UNSUCCESSFUL);
    CameraRawValue raw{};
    EXPECT_EQ(Request(PropRawCommand, KSPROPERTY_TYPE_GET, &raw, sizeof(raw)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Set(PropReserved47, 1), STATUS_SUCCESS);

    for (int i = 0; i < 64; ++i)
        raw.Bytes[i] = UCHAR(i + 1);
    raw.Length = 100;
    ASSERT_EQ(Request(PropRawCommand, KSPROPERTY_TYPE_SET, &raw, sizeof(raw)), STATUS_SUCCESS);
    std::vector<uint8_t> sent = camera_->LastRawCommand();
    ASSERT_EQ(sent.size(), 63u);
    EXPECT_EQ(sent[0], 1);
    EXPECT_EQ(sent[62], 63) << "at most 63 caller bytes";
    raw.Length = -1;
    ASSERT_EQ(Request(PropRawCommand, KSPROPERTY_TYPE_SET, &raw, sizeof(raw)), STATUS_SUCCESS);
    EXPECT_EQ(camera_->LastRawCommand(), std::vector<uint8_t>(63, 0));

    camera_->SetMemoryByte(0x1234, 0xAB);
    raw = CameraRawValue{};
    raw.Value = 0x1234;
    ASSERT_EQ(Request(PropReadByte, KSPROPERTY_TYPE_SET, &raw, sizeof(raw)), STATUS_SUCCESS);
    ULONG returned = 0;
    ASSERT_EQ(Request(PropReadByte, KSPROPERTY_TYPE_GET, &raw, sizeof(raw), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(raw.Bytes[0], 0xAB);
    EXPECT_EQ(returned, sizeof(raw));
}

TEST_F(PropertySet, CameraQueriesAndTheirFailures) {
    ASSERT_EQ(Set(PropClock, 7), STATUS_SUCCESS);
    EXPECT_EQ(context_->Clock, 7) << "the requested clock is stored";
    EXPECT_EQ(camera_->ControlRegister(15), 3) << "the camera's register always gets 3";
    EXPECT_EQ(Get(PropClock).value, 2) << "3 reads as 2";

    ASSERT_EQ(Set(PropExTrigger, 1), STATUS_SUCCESS);
    EXPECT_EQ(Get(PropExTrigger).value, 1);
    camera_->SetFault(sim::Fault::LostReply);
    PropertyResult lost = Get(PropExTrigger);
    EXPECT_EQ(lost.status, STATUS_SUCCESS) << "camera failures are not reported";
    EXPECT_EQ(lost.value, 0);
    camera_->ClearFaults();

    camera_->SetFault(sim::Fault::ShortSend);
    EXPECT_EQ(Set(PropSensorRegister, 4, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Set(PropGlobalGain, 100), STATUS_SUCCESS);
    EXPECT_EQ(Get(PropGlobalGain).value, 0) << "a gain the camera refused is not stored";
    EXPECT_EQ(Set(PropExposure, 100), STATUS_SUCCESS);
    EXPECT_EQ(Get(PropExposure).value, 100) << "exposure is stored all the same";
}

TEST_F(PropertySet, RegionIsFrozenWhileAPinExists) {
    EXPECT_EQ(SetRoi(5, 0, 100, 50), STATUS_SUCCESS);
    EXPECT_EQ(context_->RoiX, 6);
    EXPECT_EQ(context_->OutputWidth, 96);
    InterlockedExchange(&context_->PinOpen, 1);
    EXPECT_EQ(SetRoi(0, 0, 656, 494), STATUS_SUCCESS);
    EXPECT_EQ(context_->RoiW, 100);
    EXPECT_EQ(Get(PropPinOpen).value, 1);
    InterlockedExchange(&context_->PinOpen, 0);
}

TEST_F(PropertySet, GainsFollowTheAutomaticBalanceAndStayInRangeWhenItStops) {
    ImagePipeline* pipeline = CreateImagePipeline();
    ASSERT_NE(pipeline, nullptr);
    context_->ImagePipeline = pipeline;
    ASSERT_EQ(Set(PropWhiteBalance, 1), STATUS_SUCCESS);
    SetRedGain(pipeline, 32640);  // what a measurement of a dark red channel can reach
    SetBlueGain(pipeline, 200);
    EXPECT_EQ(Get(PropRedGain).value, 32640);
    EXPECT_EQ(context_->RedGain, 32640);

    ASSERT_EQ(Set(PropWhiteBalance, 0), STATUS_SUCCESS);
    EXPECT_EQ(Get(PropRedGain).value, 512);
    EXPECT_EQ(GetRedGain(pipeline), 512) << "the pipeline applies the gain that is reported";
    EXPECT_EQ(Get(PropBlueGain).value, 200);
    context_->ImagePipeline = nullptr;
    DestroyImagePipeline(pipeline);
}

TEST_F(PropertySet, ConcurrentRequestsNeverMixTheirExchanges) {
    ASSERT_EQ(Set(PropExTrigger, 1), STATUS_SUCCESS);
    camera_->SetMemoryByte(0x0042, 0x5C);
    CameraRawValue select{};
    select.Value = 0x42;
    ASSERT_EQ(Request(PropReadByte, KSPROPERTY_TYPE_SET, &select, sizeof(select)), STATUS_SUCCESS);
    std::atomic<int> wrong{0};
    auto clocks = [&] {
        for (int i = 0; i < 200; ++i)
            if (Get(PropClock).value != 2)
                ++wrong;
    };
    auto triggers = [&] {
        for (int i = 0; i < 200; ++i)
            if (Get(PropExTrigger).value != 1)
                ++wrong;
    };
    auto bytes = [&] {
        for (int i = 0; i < 200; ++i) {
            CameraRawValue raw{};
            if (Request(PropReadByte, KSPROPERTY_TYPE_GET, &raw, sizeof(raw)) != STATUS_SUCCESS ||
                raw.Bytes[0] != 0x5C)
                ++wrong;
        }
    };
    std::thread a(clocks), b(triggers), c(bytes);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(wrong.load(), 0) << "a reply landed in another request's exchange";
}

TEST_F(PropertySet, EveryAllocationFailureOfARequestIsCleanAndReported) {
    ForEachAllocationFailure([&] { return Set(PropSensorRegister, 4, 123); },
                             [](bool refused, NTSTATUS status) {
                                 EXPECT_EQ(status == STATUS_SUCCESS, !refused) << status;
                             });
    ForEachAllocationFailure([&] { return Get(PropClock).status; },
                             [](bool refused, NTSTATUS status) {
                                 // A query the camera could not answer still succeeds.
                                 if (!refused) {
                                     EXPECT_EQ(status, STATUS_SUCCESS);
                                 }
                             });
}

}  // namespace
