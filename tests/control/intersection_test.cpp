// The capture pin's formats as an application finds them: the pin's data ranges, and the
// intersection of a caller's range with them through AVStream's pin properties on the filter.
#include "tests/common/driver_form.h"
#include "control/region_of_interest.h"
#include "tests/control/started_camera.h"

namespace {

class Intersection : public StartedCamera {
protected:
    // One caller range after the KSP_PIN and the KSMULTIPLE_ITEM header.
    NTSTATUS Intersect(const KS_DATARANGE_VIDEO& range, void* data, ULONG size, ULONG* returned) {
        struct {
            KSP_PIN pin;
            KSMULTIPLE_ITEM list;
            KS_DATARANGE_VIDEO range;
        } request{};
        request.pin.Property.Set = GUID{STATIC_KSPROPSETID_Pin};
        request.pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
        request.pin.Property.Flags = KSPROPERTY_TYPE_GET;
        request.pin.PinId = 0;
        request.list.Size = sizeof(KSMULTIPLE_ITEM) + sizeof(range);
        request.list.Count = 1;
        request.range = range;
        return host::KsPropertyRequest(filter_, &request, sizeof(request), data, size, returned);
    }
};

struct Result {
    KSDATAFORMAT format;
    KS_VIDEOINFOHEADER info;
    UCHAR slack[64];
};

TEST_F(Intersection, ThePinOffersTheVideoRange) {
    KSP_PIN request{};
    request.Property.Set = GUID{STATIC_KSPROPSETID_Pin};
    request.Property.Id = KSPROPERTY_PIN_DATARANGES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    struct {
        KSMULTIPLE_ITEM list;
        KS_DATARANGE_VIDEO range;
    } ranges{};
    ULONG returned = 0;
    ASSERT_EQ(host::KsPropertyRequest(filter_, &request, sizeof(request), &ranges, sizeof(ranges),
                                      &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(ranges.list.Count, 1u);
    EXPECT_EQ(ranges.list.Size, sizeof(ranges));
    EXPECT_EQ(memcmp(&ranges.range, &DriverVideoRange(), sizeof(DriverVideoRange())), 0);
}

TEST_F(Intersection, ResultsAndRefusals) {
    KS_DATARANGE_VIDEO own = DriverVideoRange();
    own.VideoInfoHeader.bmiHeader.biHeight = -494;
    Result result{};
    ULONG returned = 0;
    ASSERT_EQ(Intersect(own, &result, sizeof(result), &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 152u);
    EXPECT_EQ(result.format.FormatSize, 152u);
    EXPECT_EQ(result.format.SampleSize, 1296256u);
    EXPECT_EQ(result.info.bmiHeader.biSizeImage, 1296256u);
    EXPECT_EQ(result.info.bmiHeader.biHeight, -494);

    EXPECT_EQ(Intersect(own, nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, 152u) << "size query";

    auto with = [&](auto change) {
        KS_DATARANGE_VIDEO r = DriverVideoRange();
        change(r);
        return r;
    };
    const struct {
        KS_DATARANGE_VIDEO range;
        ULONG size;
        NTSTATUS status;
    } cases[] = {
        {DriverVideoRange(), 100, STATUS_BUFFER_TOO_SMALL},
        {with([](auto& r) { r.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFF0; }), sizeof(Result),
         STATUS_INVALID_PARAMETER},
        {with([](auto& r) { r.VideoInfoHeader.bmiHeader.biSize = 20; }), sizeof(Result),
         STATUS_INVALID_PARAMETER},
        {with([](auto& r) { r.DataRange.Specifier = GUID{STATIC_KSCATEGORY_VIDEO}; }),
         sizeof(Result), STATUS_NO_MATCH},
        {with([](auto& r) { r.ConfigCaps.MaxFrameInterval += 1; }), sizeof(Result),
         STATUS_NO_MATCH},
        {with([](auto& r) { r.bTemporalCompression = 0; }), sizeof(Result), STATUS_NO_MATCH},
    };
    for (const auto& c : cases) {
        Result untouched;
        memset(&untouched, 0xEE, sizeof(untouched));
        EXPECT_EQ(Intersect(c.range, &untouched, c.size, &returned), c.status);
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(untouched.format.FormatSize, 0xEEEEEEEEu) << "nothing written";
        }
    }
}

TEST_F(Intersection, CapabilitiesFollowTheRegionOfInterest) {
    KS_DATARANGE_VIDEO before = DriverVideoRange();
    ASSERT_EQ(SetRoi(0, 0, 645, 100), STATUS_SUCCESS);
    Result result{};
    ULONG returned = 0;
    EXPECT_EQ(Intersect(before, &result, sizeof(result), &returned), STATUS_NO_MATCH);
    ASSERT_EQ(Intersect(DriverVideoRange(), &result, sizeof(result), &returned), STATUS_SUCCESS);
    EXPECT_EQ(result.info.bmiHeader.biWidth, 640);
    EXPECT_EQ(result.format.SampleSize, 256000u);
}

}  // namespace
