// Property requests on a filter as an application sends them: the statuses of the dispatch,
// what reaches the caller's buffer, and the pin-factory properties AVStream answers itself.
#include "tests/platform/ks_test_driver.h"

namespace ks_test {
namespace {

constexpr GUID kPinSet = {STATIC_KSPROPSETID_Pin};
constexpr GUID kUnknownSet = {0x44444444, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};

struct Reply {
    NTSTATUS status;
    ULONG returned;
    std::vector<uint8_t> data;
};

// Room for any request of these tests: KSPROPERTY, then instance data.
struct Request {
    KSPROPERTY property;
    ULONG instance[4];
};

Request Make(const GUID& set, ULONG id, ULONG flags, ULONG instance = 0) {
    Request r{};
    r.property.Set = set;
    r.property.Id = id;
    r.property.Flags = flags;
    r.instance[0] = instance;
    return r;
}

class PropertyTest : public StartedDevice {
protected:
    void SetUp() override {
        StartedDevice::SetUp();
        file_ = Open();
    }
    void TearDown() override {
        if (file_) {
            EXPECT_EQ(host::CloseFilter(file_), STATUS_SUCCESS);
        }
        StartedDevice::TearDown();
    }

    Reply Ask(const void* request, ULONG size, ULONG out, const void* value = nullptr) {
        Reply r{STATUS_PENDING, 0xFFFF, std::vector<uint8_t>(out, 0xCC)};
        if (value)
            memcpy(r.data.data(), value, out);
        r.status = host::KsPropertyRequest(file_, request, size, out ? r.data.data() : nullptr, out,
                                           &r.returned);
        return r;
    }
    Reply Ask(const Request& request, ULONG size, ULONG out) { return Ask(&request, size, out); }
    Reply AskPin(ULONG id, ULONG pin, ULONG out) {
        return Ask(Make(kPinSet, id, KSPROPERTY_TYPE_GET, pin), sizeof(KSP_PIN), out);
    }

    PFILE_OBJECT file_ = nullptr;
};

TEST_F(PropertyTest, DispatchStatuses) {
    constexpr ULONG kBasic = KSPROPERTY_TYPE_BASICSUPPORT;
    constexpr ULONG kGet = KSPROPERTY_TYPE_GET;
    constexpr ULONG kSet = KSPROPERTY_TYPE_SET;
    const struct {
        const char* what;
        GUID set;
        ULONG id;
        ULONG flags;
        ULONG size;
        ULONG out;
        NTSTATUS status;
        ULONG returned;
    } cases[] = {
        {"request shorter than KSPROPERTY", kTestSet, kReadWrite, kGet, 20, 4,
         STATUS_INVALID_BUFFER_SIZE, 0},
        {"unknown set", kUnknownSet, 0, kGet, 24, 4, STATUS_PROPSET_NOT_FOUND, 0},
        {"unknown id", kTestSet, 9, kGet, 24, 4, STATUS_NOT_FOUND, 0},
        {"unknown id in the pin set", kPinSet, KSPROPERTY_PIN_PHYSICALCONNECTION, kGet, 32, 64,
         STATUS_NOT_FOUND, 0},
        {"get without a get handler", kTestSet, kWriteOnly, kGet, 24, 4,
         STATUS_INVALID_DEVICE_REQUEST, 0},
        {"set without a set handler", kTestSet, kReadOnly, kSet, 24, 4,
         STATUS_INVALID_DEVICE_REQUEST, 0},
        {"request shorter than MinProperty", kTestSet, kNeedsInstance, kGet, 24, 4,
         STATUS_INVALID_PARAMETER, 0},
        {"size query", kTestSet, kReadWrite, kGet, 24, 0, STATUS_BUFFER_OVERFLOW, 4},
        {"short value buffer", kTestSet, kReadWrite, kGet, 24, 3, STATUS_BUFFER_TOO_SMALL, 4},
        {"set without a value", kTestSet, kReadWrite, kSet, 24, 0, STATUS_BUFFER_TOO_SMALL, 4},
        {"get and set at once", kTestSet, kReadWrite, kGet | kSet, 24, 4, STATUS_INVALID_PARAMETER,
         0},
        {"no operation", kTestSet, kReadWrite, 0, 24, 4, STATUS_INVALID_PARAMETER, 0},
        {"unknown flag", kTestSet, kReadWrite, kGet | 0x20000, 24, 4, STATUS_INVALID_PARAMETER, 0},
        {"relations", kTestSet, kReadWrite, KSPROPERTY_TYPE_RELATIONS, 24, 4, STATUS_NOT_SUPPORTED,
         0},
        {"set support, any id", kTestSet, 9, KSPROPERTY_TYPE_SETSUPPORT, 24, 0, STATUS_SUCCESS, 0},
        {"set support, unknown set", kUnknownSet, 0, KSPROPERTY_TYPE_SETSUPPORT, 24, 0,
         STATUS_PROPSET_NOT_FOUND, 0},
        {"basic support size query", kTestSet, kReadWrite, kBasic, 24, 0, STATUS_BUFFER_OVERFLOW,
         40},
        {"basic support, 2 bytes", kTestSet, kReadWrite, kBasic, 24, 2, STATUS_BUFFER_TOO_SMALL,
         40},
        {"basic support, access flags", kTestSet, kReadWrite, kBasic, 24, 4, STATUS_SUCCESS, 4},
        {"basic support, description", kTestSet, kReadWrite, kBasic, 24, 64, STATUS_SUCCESS, 40},
        {"node request on a filter without nodes", kTestSet, kReadWrite,
         kGet | KSPROPERTY_TYPE_TOPOLOGY, 32, 4, STATUS_INVALID_PARAMETER, 0},
    };
    for (const auto& c : cases) {
        Reply r = Ask(Make(c.set, c.id, c.flags), c.size, c.out);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.returned, c.returned) << c.what;
    }
}

TEST_F(PropertyTest, BasicSupportDescribesTheItem) {
    Request request = Make(kTestSet, kReadOnly, KSPROPERTY_TYPE_BASICSUPPORT);
    Reply flags = Ask(request, sizeof(KSPROPERTY), sizeof(ULONG));
    ULONG access = 0;
    memcpy(&access, flags.data.data(), sizeof(access));
    EXPECT_EQ(access, ULONG(KSPROPERTY_TYPE_GET));

    request.property.Id = kReadWrite;
    Reply full = Ask(request, sizeof(KSPROPERTY), sizeof(KSPROPERTY_DESCRIPTION));
    KSPROPERTY_DESCRIPTION description;
    memcpy(&description, full.data.data(), sizeof(description));
    EXPECT_EQ(description.AccessFlags, ULONG(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
    EXPECT_EQ(description.DescriptionSize, sizeof(KSPROPERTY_DESCRIPTION));
    EXPECT_EQ(memcmp(&description.PropTypeSet.Set, &kNull, sizeof(GUID)), 0);
    EXPECT_EQ(description.MembersListCount, 0u);
}

TEST_F(PropertyTest, SetReachesTheHandlerAndGetReturnsOnlyTheReportedBytes) {
    ULONG value = 0x12345678;
    Request set = Make(kTestSet, kReadWrite, KSPROPERTY_TYPE_SET);
    Reply r = Ask(&set, sizeof(KSPROPERTY), sizeof(value), &value);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(storedValue, value);

    // The handler writes eight bytes into an eight-byte buffer but reports four.
    Reply get = Ask(Make(kTestSet, kReadWrite, KSPROPERTY_TYPE_GET), sizeof(KSPROPERTY), 8);
    EXPECT_EQ(get.status, STATUS_SUCCESS);
    EXPECT_EQ(get.returned, 4u);
    EXPECT_EQ(get.data, (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12, 0xCC, 0xCC, 0xCC, 0xCC}));
}

TEST_F(PropertyTest, SetSupportWithoutASetListsTheSets) {
    Request request = Make(kNull, 0, KSPROPERTY_TYPE_SETSUPPORT);
    Reply size = Ask(request, sizeof(KSPROPERTY), 0);
    EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size.returned, 2 * sizeof(GUID));
    Reply list = Ask(request, sizeof(KSPROPERTY), 2 * sizeof(GUID));
    ASSERT_EQ(list.status, STATUS_SUCCESS);
    EXPECT_EQ(memcmp(list.data.data(), &kTestSet, sizeof(GUID)), 0);
    EXPECT_EQ(memcmp(list.data.data() + sizeof(GUID), &kPinSet, sizeof(GUID)), 0);
}

// ---- Pin-factory properties -------------------------------------------------------------

ULONG UlongAt(const Reply& r, size_t offset = 0) {
    ULONG v = 0;
    memcpy(&v, r.data.data() + offset, sizeof(v));
    return v;
}

TEST_F(PropertyTest, PinTypeCount) {
    Reply r = Ask(Make(kPinSet, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET), sizeof(KSPROPERTY),
                  sizeof(ULONG));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(UlongAt(r), 2u);
}

std::vector<ULONG> Words(const GUID& g) {
    std::vector<ULONG> words(4);
    memcpy(words.data(), &g, sizeof(g));
    return words;
}

TEST_F(PropertyTest, PinFactoryValues) {
    const struct {
        const char* what;
        ULONG id;
        ULONG pin;
        ULONG out;
        NTSTATUS status;
        std::vector<ULONG> value;
    } cases[] = {
        {"output flow", KSPROPERTY_PIN_DATAFLOW, 0, 4, STATUS_SUCCESS, {KSPIN_DATAFLOW_OUT}},
        {"input flow", KSPROPERTY_PIN_DATAFLOW, 1, 4, STATUS_SUCCESS, {KSPIN_DATAFLOW_IN}},
        {"one instance", KSPROPERTY_PIN_CINSTANCES, 0, 8, STATUS_SUCCESS, {1, 0}},
        {"no limit",
         KSPROPERTY_PIN_CINSTANCES,
         1,
         8,
         STATUS_SUCCESS,
         {KSINSTANCE_INDETERMINATE, 0}},
        {"communication",
         KSPROPERTY_PIN_COMMUNICATION,
         1,
         4,
         STATUS_SUCCESS,
         {KSPIN_COMMUNICATION_SINK}},
        {"category", KSPROPERTY_PIN_CATEGORY, 0, 16, STATUS_SUCCESS,
         Words({STATIC_PIN_CATEGORY_CAPTURE})},
        {"no category", KSPROPERTY_PIN_CATEGORY, 1, 16, STATUS_NOT_FOUND, {}},
        {"no name", KSPROPERTY_PIN_NAME, 1, 64, STATUS_NOT_FOUND, {}},
    };
    for (const auto& c : cases) {
        Reply r = AskPin(c.id, c.pin, c.out);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.returned, c.value.size() * sizeof(ULONG)) << c.what;
        for (size_t i = 0; i < c.value.size(); ++i)
            EXPECT_EQ(UlongAt(r, i * 4), c.value[i]) << c.what << " word " << i;
    }
}

TEST_F(PropertyTest, APinIdBeyondThePinsIsRefused) {
    for (ULONG id : {KSPROPERTY_PIN_CINSTANCES, KSPROPERTY_PIN_DATAFLOW, KSPROPERTY_PIN_DATARANGES,
                     KSPROPERTY_PIN_CATEGORY, KSPROPERTY_PIN_NAME}) {
        EXPECT_EQ(AskPin(id, 2, 64).status, STATUS_INVALID_PARAMETER) << "property " << id;
    }
}

TEST_F(PropertyTest, PinName) {
    const std::u16string name = u"Capture";
    const ULONG bytes = ULONG((name.size() + 1) * 2);
    Reply shortReply = AskPin(KSPROPERTY_PIN_NAME, 0, 4);
    EXPECT_EQ(shortReply.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(shortReply.returned, bytes);
    Reply r = AskPin(KSPROPERTY_PIN_NAME, 0, 64);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.returned, bytes);
    EXPECT_EQ(memcmp(r.data.data(), name.c_str(), bytes), 0);  // with its NUL
}

// Pin 0 has a 68-byte and a 64-byte range: 8 + 72 + 64 bytes in all.
TEST_F(PropertyTest, DataRanges) {
    const struct {
        ULONG out;
        NTSTATUS status;
        ULONG returned;
    } cases[] = {
        {0, STATUS_BUFFER_OVERFLOW, 144},
        {4, STATUS_SUCCESS, 4},
        {8, STATUS_SUCCESS, 8},
        {100, STATUS_BUFFER_TOO_SMALL, 144},
        {143, STATUS_BUFFER_TOO_SMALL, 144},
        {200, STATUS_SUCCESS, 144},
    };
    for (const auto& c : cases) {
        Reply r = AskPin(KSPROPERTY_PIN_DATARANGES, 0, c.out);
        EXPECT_EQ(r.status, c.status) << c.out;
        EXPECT_EQ(r.returned, c.returned) << c.out;
        if (NT_SUCCESS(r.status)) {
            EXPECT_EQ(UlongAt(r), 144u) << c.out;
        }
        if (c.out >= 8 && NT_SUCCESS(r.status)) {
            EXPECT_EQ(UlongAt(r, 4), 2u) << c.out;
        }
    }
    Reply full = AskPin(KSPROPERTY_PIN_DATARANGES, 0, 144);
    const uint8_t* first = full.data.data() + 8;
    EXPECT_EQ(UlongAt(full, 8), 68u);
    EXPECT_EQ(UlongAt(full, 8 + 64), 0xABCDEF01u);  // the range's own tail
    EXPECT_EQ(UlongAt(full, 8 + 68), 0u);           // padding to 8 bytes
    EXPECT_EQ(memcmp(first + 72 + 32, &kSubB, sizeof(GUID)), 0);
}

KSDATARANGE Range(const GUID& major, const GUID& sub, const GUID& specifier) {
    KSDATARANGE r{};
    r.FormatSize = sizeof(KSDATARANGE);
    r.MajorFormat = major;
    r.SubFormat = sub;
    r.Specifier = specifier;
    return r;
}

std::vector<uint8_t> IntersectionRequest(ULONG pin, const std::vector<KSDATARANGE>& ranges,
                                         ULONG count) {
    Request head = Make(kPinSet, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET, pin);
    KSMULTIPLE_ITEM list{ULONG(sizeof(KSMULTIPLE_ITEM) + ranges.size() * sizeof(KSDATARANGE)),
                         count};
    std::vector<uint8_t> bytes(sizeof(KSP_PIN) + list.Size);
    memcpy(bytes.data(), &head, sizeof(KSP_PIN));
    memcpy(bytes.data() + sizeof(KSP_PIN), &list, sizeof(list));
    memcpy(bytes.data() + sizeof(KSP_PIN) + sizeof(list), ranges.data(),
           ranges.size() * sizeof(KSDATARANGE));
    return bytes;
}

// The caller's ranges are walked in order against each of the pin's; GUID_NULL on either
// side matches anything; the handler's refusal moves on to the next pair.
TEST_F(PropertyTest, DataIntersection) {
    const GUID other = {0x55555555, 0, 0, {0}};
    const KSDATARANGE anyVideo = Range(kVideo, kNull, kNull);
    const struct {
        const char* what;
        ULONG pin;
        std::vector<KSDATARANGE> callers;
        int settles;
        ULONG out;
        NTSTATUS status;
        ULONG returned;
        std::vector<std::string> asked;
    } cases[] = {
        {"size query",
         0,
         {anyVideo},
         1,
         0,
         STATUS_BUFFER_OVERFLOW,
         64,
         {"intersect A", "intersect B"}},
        {"first settled pair",
         0,
         {anyVideo},
         1,
         64,
         STATUS_SUCCESS,
         64,
         {"intersect A", "intersect B"}},
        {"caller order first",
         0,
         {Range(kVideo, kSubB, kSpecA), Range(kVideo, kSubA, kSpecA)},
         0,
         72,
         STATUS_SUCCESS,
         68,
         {"intersect B", "intersect A"}},
        {"wildcard major on the caller's side",
         0,
         {Range(kNull, kSubB, kNull)},
         1,
         64,
         STATUS_SUCCESS,
         64,
         {"intersect B"}},
        {"nothing settled",
         0,
         {anyVideo},
         2,
         64,
         STATUS_NO_MATCH,
         0,
         {"intersect A", "intersect B"}},
        {"no format meets", 0, {Range(other, kNull, kNull)}, 1, 64, STATUS_NO_MATCH, 0, {}},
        {"no handler: the specifier-less range itself",
         1,
         {anyVideo},
         0,
         64,
         STATUS_SUCCESS,
         64,
         {}},
    };
    for (const auto& c : cases) {
        behaviour.settles = c.settles;
        events.clear();
        std::vector<uint8_t> request =
            IntersectionRequest(c.pin, c.callers, ULONG(c.callers.size()));
        Reply r = Ask(request.data(), ULONG(request.size()), c.out);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.returned, c.returned) << c.what;
        EXPECT_EQ(events, c.asked) << c.what;
    }
}

TEST_F(PropertyTest, AMalformedRangeListIsRefusedBeforeAnyHandler) {
    std::vector<uint8_t> request = IntersectionRequest(0, {Range(kVideo, kNull, kNull)}, 2);
    events.clear();
    Reply r = Ask(request.data(), ULONG(request.size()), 64);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(events.empty());
}

}  // namespace
}  // namespace ks_test
