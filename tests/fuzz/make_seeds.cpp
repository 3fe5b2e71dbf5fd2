// Writes the seed corpus, one folder per target: fuzz_make_seeds DIR. The seeds are valid
// uses of each surface, so the fuzzer starts from the driver's real paths: a get, a set and a
// support query of every camera property, the pin's own range and format, a hive as the
// driver saves it, and the camera's descriptors and replies recorded from a start.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "control/property_set.h"
#include "control/region_of_interest.h"
#include "sim/descriptors.h"
#include "tests/fuzz/fake_usb_device.h"
#include "tests/fuzz/fuzz_harness.h"
#include "tests/fuzz/property_request.h"
#include "tests/common/pin_intersection.h"
#include "tests/fuzz/registry_names.h"
#include "tests/fuzz/usb_target.h"

namespace fs = std::filesystem;

namespace {

fs::path root;

void Write(const std::string& target, const std::string& name, const FuzzOutput& out) {
    fs::create_directories(root / target);
    std::ofstream file(root / target / name, std::ios::binary);
    file.write(reinterpret_cast<const char*>(out.Data().data()),
               std::streamsize(out.Data().size()));
}

template <typename T>
std::vector<uint8_t> BytesOf(const T& record) {
    auto* p = reinterpret_cast<const uint8_t*>(&record);
    return std::vector<uint8_t>(p, p + sizeof(record));
}

// A value a set of the item takes as an application would send it.
CameraRawValue SetRecord(ULONG id) {
    CameraRawValue raw{};
    raw.Value = 1;
    switch (id) {
        case PropTimeout:
            raw.Value = 2000;
            break;
        case PropExposure:
            raw.Value = 100;
            break;
        case PropGlobalGain:
            raw.Value = 310;
            break;
        case PropRedGain:
        case PropGreenGain:
        case PropBlueGain:
            raw.Value = 128;
            break;
        case PropBrightness:
            raw.Value = 300;
            break;
        case PropContrast:
        case PropSaturation:
            raw.Value = 12;
            break;
        case PropHue:
            raw.Value = 90;
            break;
        case PropSensorRegister:
            raw.Value = 0x9A;
            raw.Length = 200;
            break;
        case PropRegisterShadow:
            raw.Value = 0x9A;
            break;
        case PropReadByte:
            raw.Value = 0x1234;
            break;
        case PropRawCommand:
            raw.Length = 3;
            raw.Bytes[0] = 0x25, raw.Bytes[1] = 0x0F, raw.Bytes[2] = 0x03;
            break;
        case PropRoi: {
            CameraRoiValue roi{};
            roi.X = 8, roi.Y = 8, roi.Width = 320, roi.Height = 240;
            memcpy(&raw, &roi, sizeof(roi));
            break;
        }
        default:
            break;
    }
    return raw;
}

// Five items to a seed: a get, a set and a support query each stay under the target's 16
// requests an input.
void PropertySeeds() {
    constexpr ULONG kItemsPerSeed = 5;
    for (ULONG first = 0; first < kCameraPropertyCount; first += kItemsPerSeed) {
        FuzzOutput out;
        ULONG last = first + kItemsPerSeed < kCameraPropertyCount ? first + kItemsPerSeed
                                                                  : kCameraPropertyCount;
        for (ULONG id = first; id < last; ++id) {
            const KSPROPERTY_ITEM& item = CameraPropertyItems[id];
            PropertySeed seed;
            seed.id = id;
            seed.shared = true;
            seed.requestSize = item.MinProperty;
            CameraRawValue record = SetRecord(id);
            seed.value = BytesOf(record);
            seed.value.resize(item.MinData);
            if (item.GetPropertyHandler) {
                seed.flags = KSPROPERTY_TYPE_GET;
                EncodePropertyRequest(seed, &out);
            }
            if (item.SetPropertyHandler) {
                seed.flags = KSPROPERTY_TYPE_SET;
                EncodePropertyRequest(seed, &out);
            }
            PropertySeed support;
            support.id = id;
            support.flags = KSPROPERTY_TYPE_BASICSUPPORT;
            support.value.assign(sizeof(KSPROPERTY_DESCRIPTION), 0);
            EncodePropertyRequest(support, &out);
        }
        Write("property", "items-" + std::to_string(first) + "-" + std::to_string(last - 1), out);
    }
    // The pin factory's properties, each addressing pin 0 with a KSP_PIN.
    const ULONG pinItems[] = {KSPROPERTY_PIN_CTYPES,     KSPROPERTY_PIN_CINSTANCES,
                              KSPROPERTY_PIN_DATARANGES, KSPROPERTY_PIN_DATAFLOW,
                              KSPROPERTY_PIN_CATEGORY,   KSPROPERTY_PIN_NAME};
    FuzzOutput out;
    for (ULONG id : pinItems) {
        PropertySeed seed;
        seed.set = kSetPin;
        seed.id = id;
        seed.flags = KSPROPERTY_TYPE_GET;
        seed.requestSize = sizeof(KSP_PIN);
        seed.instance.assign(sizeof(KSP_PIN) - sizeof(KSPROPERTY), 0);
        seed.value.assign(id == KSPROPERTY_PIN_DATARANGES ? 512 : 64, 0);
        EncodePropertyRequest(seed, &out);
    }
    Write("property", "pin-factory", out);
}

void IntersectionSeed(const std::string& name, const std::vector<KS_DATARANGE_VIDEO>& ranges,
                      uint32_t output, uint8_t flags) {
    FuzzOutput out;
    out.U8(0);
    out.U32(uint32_t(sizeof(KSMULTIPLE_ITEM) + ranges.size() * sizeof(KS_DATARANGE_VIDEO)));
    out.U32(uint32_t(ranges.size()));
    out.Length(uint32_t(ranges.size() * sizeof(KS_DATARANGE_VIDEO)));
    for (const KS_DATARANGE_VIDEO& r : ranges)
        out.Bytes(&r, sizeof(r));
    out.Length(output);
    out.U8(flags);
    Write("intersection", name, out);
}

void IntersectionSeeds() {
    KS_DATARANGE_VIDEO range = VideoDataRange;
    IntersectionSeed("pin-range", {range}, 256, 0);
    IntersectionSeed("size-query", {range}, 0, 1);
    KS_DATARANGE_VIDEO other = range;
    other.VideoInfoHeader.bmiHeader.biWidth = 320;
    other.VideoInfoHeader.bmiHeader.biHeight = -240;
    IntersectionSeed("two-ranges", {other, range}, 256, 0);
}

// The format an application gets from the intersection with the pin's own range.
std::vector<uint8_t> NegotiatedFormat() {
    FuzzCamera camera;
    if (!camera.Start() || !camera.Open())
        FuzzFail("the simulated camera does not start");
    std::vector<uint64_t> aligned;
    if (IntersectPinRange(camera.Filter(), &aligned) != STATUS_SUCCESS)
        FuzzFail("the pin's own range does not intersect");
    auto* bytes = reinterpret_cast<const uint8_t*>(aligned.data());
    auto* format = reinterpret_cast<const KSDATAFORMAT*>(aligned.data());
    return std::vector<uint8_t>(bytes, bytes + format->FormatSize);
}

void PinSeeds() {
    std::vector<uint8_t> format = NegotiatedFormat();
    ULONG imageSize = 0;
    memcpy(&imageSize, format.data() + offsetof(KSDATAFORMAT, SampleSize), sizeof(imageSize));
    auto withFormat = [&](FuzzOutput* out) {
        out->U8(0);
        out->Length(uint32_t(format.size()));
        out->Bytes(format.data(), format.size());
    };
    FuzzOutput created;
    withFormat(&created);
    Write("pin", "create", created);

    // Clock, ACQUIRE, PAUSE, a frame read with frame information, RUN, the frame, a format
    // change (refused while running).
    FuzzOutput run;
    withFormat(&run);
    run.U8(2), run.U8(1);
    run.U8(1), run.U8(KSSTATE_ACQUIRE);
    run.U8(1), run.U8(KSSTATE_PAUSE);
    run.U8(3), run.U8(1), run.U32(imageSize);
    run.U8(1), run.U8(KSSTATE_RUN);
    run.U8(5);
    run.U8(0), run.Length(uint32_t(format.size())), run.Bytes(format.data(), format.size());
    Write("pin", "run", run);

    FuzzOutput change;
    withFormat(&change);
    change.U8(0), change.Length(uint32_t(format.size()));
    change.Bytes(format.data(), format.size());
    change.U8(3), change.U8(0), change.U32(imageSize / 2);
    Write("pin", "format-change", change);
}

void StoreDword(FuzzOutput* out, unsigned index, uint32_t value) {
    out->U8(uint8_t(index));
    out->U32(REG_DWORD);
    out->Length(4);
    out->U32(value);
}

void RegistrySeeds() {
    // The values a stop saves with the defaults, then the same with a changed region.
    const uint32_t defaults[kStoredSettingCount] = {
        3000, 2, 0, 0, 0, 1, 0, 1, 255, 10, 10, 0, 128, 128, 128, 0, 0, 0, 0, 0, 0, 0, 656, 494};
    FuzzOutput saved;
    for (unsigned i = 0; i < kStoredSettingCount; ++i)
        StoreDword(&saved, i, defaults[i]);
    saved.U8(0x80);
    Write("registry", "saved-defaults", saved);

    FuzzOutput region;
    StoreDword(&region, 20, 100);
    StoreDword(&region, 21, 50);
    StoreDword(&region, 22, 320);
    StoreDword(&region, 23, 240);
    StoreDword(&region, 1, 450);
    region.U8(0x81);
    Write("registry", "region-reinit", region);

    // Other types and lengths, a foreign value and a second start.
    FuzzOutput odd;
    odd.U8(0), odd.U32(REG_SZ), odd.Length(8), odd.Bytes("5\0000\0000\0\0\0", 8);
    odd.U8(1), odd.U32(REG_BINARY), odd.Length(2), odd.U16(0x0101);
    odd.U8(2), odd.U32(REG_QWORD), odd.Length(8), odd.U32(400), odd.U32(1);
    odd.U8(0x40 | 63), odd.U8(8), odd.Bytes("Settings", 8), odd.U32(REG_DWORD), odd.Length(4);
    odd.U32(1);
    odd.U8(0x82);
    Write("registry", "odd-types", odd);
}

// Answers as the camera does (sim/sim_camera.h): its descriptors, three bulk pipes, every
// command taken, and each query answered with an echo and then the answer byte.
class CameraPolicy {
public:
    explicit CameraPolicy(const sim::DescriptorShape& shape) : shape_(shape) {}

    UsbAnswer operator()(const UsbQuestion& q) {
        UsbAnswer a;
        switch (q.kind) {
            case UsbQuestion::kDescriptor:
                a.bytes = q.descriptorType == USB_DEVICE_DESCRIPTOR_TYPE
                              ? sim::DeviceDescriptorBytes()
                              : sim::ConfigurationDescriptorBytes(shape_);
                break;
            case UsbQuestion::kSelectConfiguration: {
                const uint8_t first[] = {sim::kCommandEndpoint, sim::kReplyEndpoint,
                                         sim::kFrameEndpoint};
                uint8_t handle = 1;
                for (ULONG room : q.interfaceRooms) {
                    UsbAnswer::Interface i;
                    i.pipeCount = uint8_t(room);
                    for (ULONG p = 0; p < room; ++p) {
                        UsbAnswer::Pipe pipe;
                        pipe.address = a.interfaces.empty() && p < 3
                                           ? first[p]
                                           : sim::kSecondInterfaceEndpoint;
                        pipe.handle = handle++;
                        i.pipes.push_back(pipe);
                    }
                    a.interfaces.push_back(i);
                }
                break;
            }
            case UsbQuestion::kBulkOut:
                last_ = q.sent;
                replies_ = IsQuery(last_) ? 2 : 0;
                break;
            case UsbQuestion::kBulkIn:
                a.bytes.assign(64, 0);
                if (replies_ == 2)
                    a.bytes = last_;
                else if (replies_ == 1)
                    a.bytes[0] = 0x5A;
                if (replies_ > 0)
                    --replies_;
                break;
            case UsbQuestion::kPortStatus:
                a.portStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
                break;
            default:
                break;
        }
        return a;
    }

private:
    static bool IsQuery(const std::vector<uint8_t>& packet) {
        return !packet.empty() && (packet[0] == 0x26 || packet[0] == 0x29 || packet[0] == 0x41);
    }

    sim::DescriptorShape shape_;
    std::vector<uint8_t> last_;
    int replies_ = 0;
};

void UsbSeed(const std::string& name, uint8_t actions, const sim::DescriptorShape& shape) {
    FuzzOutput out;
    out.U8(actions);
    {
        InputLeakCheck leaks;
        FakeUsbDevice device(CameraPolicy(shape), &out);
        RunUsbActions(actions, device.Device());
    }
    Write("usb", name, out);
}

void UsbSeeds() {
    UsbSeed("start", 0, {});
    UsbSeed("every-action", 0x1F, {});
    sim::DescriptorShape two;
    two.interfaces0And2 = true;
    UsbSeed("interfaces-0-2", 0x01, two);
    sim::DescriptorShape pipes;
    pipes.twoPipes = true;
    UsbSeed("two-pipes", 0x02, pipes);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds DIR\n");
        return 2;
    }
    root = argv[1];
    PropertySeeds();
    IntersectionSeeds();
    PinSeeds();
    RegistrySeeds();
    UsbSeeds();
    return 0;
}
