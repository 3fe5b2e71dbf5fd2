// Filter factories and filters: what a factory registers, what device start and stop do to
// it, and the order of Create, Close and the freeing of a filter's object bag.
#include "tests/platform/ks_test_driver.h"

namespace ks_test {
namespace {

using FactoryTest = StartedDevice;

bool SameGuid(const GUID& a, const GUID& b) {
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}

TEST_F(FactoryTest, StartRegistersOneEnabledInterfacePerCategory) {
    EXPECT_EQ(host::FilterFactoryCount(device_), 1u);
    std::vector<host::DeviceInterface> interfaces = host::DeviceInterfaces(device_);
    ASSERT_EQ(interfaces.size(), 2u);
    for (size_t i = 0; i < interfaces.size(); ++i) {
        EXPECT_TRUE(SameGuid(interfaces[i].category, kFilter.Categories[i]));
        EXPECT_EQ(interfaces[i].reference, "GLOBAL");
        EXPECT_TRUE(interfaces[i].enabled);
    }
}

TEST_F(FactoryTest, AFactoryMadeAfterStartIsReachableOnlyOnceTheDriverEnablesIt) {
    static WCHAR reference[] = u"Late";
    PKSFILTERFACTORY factory = nullptr;
    KsAcquireDevice(device_);
    ASSERT_EQ(KsCreateFilterFactory(device_->FunctionalDeviceObject, &kFilter, reference, nullptr,
                                    0, nullptr, nullptr, &factory),
              STATUS_SUCCESS);
    KsReleaseDevice(device_);
    EXPECT_EQ(factory->Context, device_->Context);
    EXPECT_EQ(KsFilterFactoryGetDevice(factory), device_);

    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(host::OpenFilter(device_, "late", &file), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(KsFilterFactorySetDeviceClassesState(factory, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(host::OpenFilter(device_, "late", &file), STATUS_SUCCESS);
    EXPECT_EQ(host::CloseFilter(file), STATUS_SUCCESS);
}

TEST_F(FactoryTest, RefusedFactories) {
    KSFILTER_DESCRIPTOR unversioned = kFilter;
    unversioned.Version = 0;
    KSFILTER_DESCRIPTOR shortPins = kFilter;
    shortPins.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX) - 8;
    KSFILTER_DESCRIPTOR noCategories = kFilter;
    noCategories.Categories = nullptr;
    static WCHAR global[] = u"global";
    static WCHAR other[] = u"Other";
    const struct {
        const char* what;
        const KSFILTER_DESCRIPTOR* descriptor;
        PWSTR reference;
        ULONG flags;
        NTSTATUS status;
    } cases[] = {
        {"reference already taken, in other case", &kFilter, global, 0,
         STATUS_OBJECT_NAME_COLLISION},
        {"no descriptor", nullptr, other, 0, STATUS_INVALID_PARAMETER},
        {"descriptor version", &unversioned, other, 0, STATUS_INVALID_PARAMETER},
        {"pin descriptors shorter than KSPIN_DESCRIPTOR_EX", &shortPins, other, 0,
         STATUS_INVALID_PARAMETER},
        {"categories counted but missing", &noCategories, other, 0, STATUS_INVALID_PARAMETER},
        {"wildcard create item", &kFilter, other, KSCREATE_ITEM_WILDCARD, STATUS_INVALID_PARAMETER},
    };
    KsAcquireDevice(device_);
    for (const auto& c : cases) {
        PKSFILTERFACTORY factory = reinterpret_cast<PKSFILTERFACTORY>(1);
        EXPECT_EQ(KsCreateFilterFactory(device_->FunctionalDeviceObject, c.descriptor, c.reference,
                                        nullptr, c.flags, nullptr, nullptr, &factory),
                  c.status)
            << c.what;
        EXPECT_EQ(factory, nullptr) << c.what;
    }
    KsReleaseDevice(device_);
    EXPECT_EQ(host::FilterFactoryCount(device_), 1u);
}

// A factory made with KSCREATE_ITEM_FREEONSTOP goes after the driver's Stop and is made again
// by the next Start; one without it survives the stop, so the next Start finds its reference
// string taken.
TEST_F(FactoryTest, StopAndStartAgain) {
    const struct {
        ULONG flags;
        size_t factoriesWhileStopped;
        NTSTATUS restart;
    } cases[] = {
        {KSCREATE_ITEM_FREEONSTOP, 0, STATUS_SUCCESS},
        {0, 1, STATUS_OBJECT_NAME_COLLISION},
    };
    for (const auto& c : cases) {
        host::RemoveDevice(device_);
        behaviour.factoryFlags = c.flags;
        events.clear();
        ASSERT_EQ(host::AddDevice(nullptr, &device_), STATUS_SUCCESS);
        ASSERT_EQ(host::StartDevice(device_), STATUS_SUCCESS);
        host::StopDevice(device_);
        EXPECT_EQ(events, std::vector<std::string>{"stop with 1"});
        EXPECT_FALSE(device_->Started);
        EXPECT_EQ(host::FilterFactoryCount(device_), c.factoriesWhileStopped);
        for (const host::DeviceInterface& i : host::DeviceInterfaces(device_))
            EXPECT_FALSE(i.enabled);
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(host::OpenFilter(device_, "GLOBAL", &file), STATUS_OBJECT_NAME_NOT_FOUND);

        EXPECT_EQ(host::StartDevice(device_), c.restart);
        EXPECT_EQ(host::FilterFactoryCount(device_), 1u);
        EXPECT_EQ(host::DeviceInterfaces(device_).size(), 2u);
        if (NT_SUCCESS(c.restart)) {
            EXPECT_TRUE(device_->Started);
            for (const host::DeviceInterface& i : host::DeviceInterfaces(device_))
                EXPECT_TRUE(i.enabled);
        }
    }
}

using FilterTest = StartedDevice;

TEST_F(FilterTest, CloseRunsBeforeTheBagIsFreed) {
    PFILE_OBJECT file = Open();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(events, (std::vector<std::string>{"create"}));
    EXPECT_EQ(host::CloseFilter(file), STATUS_SUCCESS);
    EXPECT_EQ(events, (std::vector<std::string>{"create", "close", "free"}));
}

TEST_F(FilterTest, ARefusedCreateLeavesNoFilter) {
    behaviour.createStatus = STATUS_INSUFFICIENT_RESOURCES;
    PFILE_OBJECT file = reinterpret_cast<PFILE_OBJECT>(1);
    EXPECT_EQ(host::OpenFilter(device_, "GLOBAL", &file), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(events, (std::vector<std::string>{"create", "free"}));
    host::StopDevice(device_);  // would stop the host if a filter were still counted open
}

TEST_F(FilterTest, OpeningByAReferenceNoFactoryHas) {
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(host::OpenFilter(device_, "GLOBAL2", &file), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(events.empty());
}

TEST_F(FilterTest, TheFilterIsFoundFromItsObjectsAndRequests) {
    PFILE_OBJECT file = Open();
    auto* filter = static_cast<PKSFILTER>(nullptr);
    PIRP irp = IoAllocateIrp(2, FALSE);
    EXPECT_EQ(KsGetFilterFromIrp(irp), nullptr);  // no stack location yet
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->FileObject = file;
    filter = KsGetFilterFromIrp(irp);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->Descriptor, &kFilter);
    EXPECT_EQ(KsFilterGetDevice(filter), device_);
    EXPECT_EQ(KsGetDevice(device_), device_);
    IoGetCurrentIrpStackLocation(irp)->FileObject = nullptr;
    EXPECT_EQ(KsGetFilterFromIrp(irp), nullptr);
    IoSkipCurrentIrpStackLocation(irp);
    IoFreeIrp(irp);
    EXPECT_EQ(host::CloseFilter(file), STATUS_SUCCESS);
}

class FilterDeathTest : public StartedDevice {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        StartedDevice::SetUp();
    }
};

TEST_F(FilterDeathTest, Misuse) {
    EXPECT_DEATH(KsCreateFilterFactory(device_->FunctionalDeviceObject, &kFilter, nullptr, nullptr,
                                       0, nullptr, nullptr, nullptr),
                 "BUG CHECK: KsCreateFilterFactory without the device mutex");
    EXPECT_DEATH(
        {
            PFILE_OBJECT file = Open();
            PKSFILTER filter = static_cast<PKSFILTER>(nullptr);
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoSetNextIrpStackLocation(irp);
            IoGetCurrentIrpStackLocation(irp)->FileObject = file;
            filter = KsGetFilterFromIrp(irp);
            KsAcquireDevice(device_);  // the device mutex is not the filter's
            KsAddItemToObjectBag(filter->Bag,
                                 ExAllocatePoolWithTag(NonPagedPool, 8, host::PoolTag("Test")),
                                 nullptr);
        },
        "BUG CHECK: filter object bag changed without the filter's control mutex");
    EXPECT_DEATH(
        {
            Open();
            host::StopDevice(device_);
        },
        "BUG CHECK: StopDevice of a device with 1 filter\\(s\\) still open");
    EXPECT_DEATH(
        {
            Open();
            host::RemoveDevice(device_);
        },
        "BUG CHECK: RemoveDevice of a device with 1 filter\\(s\\) still open");
}

}  // namespace
}  // namespace ks_test
