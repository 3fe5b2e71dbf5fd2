// The shipped kernel image mapped into this process, and each kind of file the loader refuses.
// The image comes from the kernel build (build/kernel), which `make test` builds first.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>

#include "platform/host/pe_image.h"

namespace {

const std::string kKernelDir = BAYERCAM_KERNEL_BUILD_DIR;
const std::string kImage = kKernelDir + "/bayercam.sys";

struct Unload {
    void operator()(host::DriverImage* image) const { host::UnloadDriverImage(image); }
};
using Image = std::unique_ptr<host::DriverImage, Unload>;

std::vector<uint8_t> ReadKernelFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(host::pe::ReadFileBytes(path, 64 << 20, &bytes, &error))
        << error << "\nthe kernel build makes it: cmake --preset kernel && cmake --build "
        << kKernelDir << " (make test does)";
    return bytes;
}

// The permissions /proc/self/maps gives the page holding `address` ("r-xp").
std::string Permissions(const void* address) {
    std::ifstream maps("/proc/self/maps");
    uintptr_t a = reinterpret_cast<uintptr_t>(address);
    std::string line;
    while (std::getline(maps, line)) {
        uintptr_t start = 0, end = 0;
        char permissions[5] = {};
        if (sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, permissions) == 3 && a >= start &&
            a < end)
            return permissions;
    }
    return "unmapped";
}

TEST(DriverImage, LoadsRelocatedBoundAndProtected) {
    ReadKernelFile(kImage);
    std::string error;
    Image image(host::LoadDriverImage(kImage, &error));
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(host::DriverImageSymbolsProblem(image.get()), "");

    auto entry = reinterpret_cast<uint8_t*>(host::DriverImageEntry(image.get()));
    EXPECT_EQ(host::DriverImageSymbol(image.get(), "DriverEntry"), entry);
    EXPECT_EQ(host::DriverImageAddressName(image.get(), entry + 7), "DriverEntry+0x7");
    // mingw reaches a global through a pointer in .rdata that only a base relocation makes right.
    void* frameTimeout = host::DriverImageSymbol(image.get(), "FrameTimeout");
    auto refptr = static_cast<void**>(host::DriverImageSymbol(image.get(), ".refptr.FrameTimeout"));
    ASSERT_NE(frameTimeout, nullptr);
    ASSERT_NE(refptr, nullptr);
    EXPECT_EQ(*refptr, frameTimeout);

    const struct {
        const char* section;
        const char* permissions;
    } kProtections[] = {{".text", "r-xp"},
                        {".rdata", "r--p"},
                        {".data", "rw-p"},
                        {".idata", "rw-p"},
                        {".reloc", "r--p"}};
    EXPECT_EQ(Permissions(image->base), "r--p") << "headers";
    for (const auto& p : kProtections) {
        auto& sections = image->headers.sections;
        auto s = std::find_if(sections.begin(), sections.end(),
                              [&](const host::pe::Section& s) { return s.name == p.section; });
        ASSERT_NE(s, sections.end()) << p.section;
        EXPECT_EQ(Permissions(image->base + s->rva), p.permissions) << p.section;
    }

    ASSERT_GT(image->imports.size(), 40u);
    for (const host::pe::BoundImport& import : image->imports) {
        const host::pe::HostService* service = nullptr;
        for (const host::pe::HostService& s : host::pe::HostServices()) {
            if (import.module == s.module && import.name == s.name)
                service = &s;
        }
        ASSERT_NE(service, nullptr) << import.module << "!" << import.name;
        EXPECT_EQ(*import.slot, service->address) << import.module << "!" << import.name;
        if (import.name == "KsAcquireDevice") {
            EXPECT_EQ(*import.slot, reinterpret_cast<void*>(&KsAcquireDevice));
        }
    }
}

// A bad pointer dereferenced inside the image ends the run as a bug check naming where.
TEST(DriverImage, AFaultInTheImageIsABugCheckNamingTheFunction) {
    EXPECT_DEATH(
        {
            std::string error;
            host::DriverImage* image = host::LoadDriverImage(kImage, &error);
            auto getFrameSize = reinterpret_cast<void(NTAPI*)(void*, ULONG*)>(
                host::DriverImageSymbol(image, "GetFrameSize"));
            host::WatchDriverImageFaults(image);
            ULONG size = 0;
            getFrameSize(nullptr, &size);
        },
        "BUG CHECK: PAGE_FAULT_IN_NONPAGED_AREA: signal 11 in the driver image at "
        "GetFrameSize\\(DeviceContext\\*, unsigned long\\*\\)\\+0x");
}

// Each refusal: a copy of the shipped image (or another kernel-build file) with one fault, and
// what the reason must say.
struct Refusal {
    const char* what;
    const char* file;
    std::function<void(std::vector<uint8_t>&, const host::pe::Headers&)> patch;
    const char* withoutService;
    const char* reason;
};

template <typename T>
void Put(std::vector<uint8_t>& bytes, size_t offset, T value) {
    ASSERT_LE(offset + sizeof value, bytes.size());
    memcpy(bytes.data() + offset, &value, sizeof value);
}

std::function<void(std::vector<uint8_t>&, const host::pe::Headers&)> AtEntry(
    std::vector<uint8_t> code) {
    return [code](std::vector<uint8_t>& bytes, const host::pe::Headers& h) {
        size_t at = 0;
        ASSERT_TRUE(host::pe::FileOffsetOf(h, h.entryRva, uint32_t(code.size()), &at));
        std::copy(code.begin(), code.end(), bytes.begin() + at);
    };
}

TEST(DriverImage, RefusesWhatCannotRunAsADriver) {
    const Refusal kRefusals[] = {
        {"not MZ", "bayercam.sys", [](auto& b, auto&) { b[0] = 'X'; }, nullptr, "not an MZ file"},
        {"truncated", "bayercam.sys", [](auto& b, auto&) { b.resize(0x100); }, nullptr,
         "truncated headers"},
        {"PE32", "bayercam.sys",
         [](auto& b, auto&) { Put<uint16_t>(b, b[0x3c] + (b[0x3d] << 8) + 24, 0x10b); }, nullptr,
         "a PE32 (32-bit) image, not PE32+"},
        {"W+X section", "bad_image.sys", nullptr, nullptr,
         "section .wx (RVA 0x3000) is both writable and executable"},
        {"import not allowed", "bayercam.sys",
         [](auto& b, auto&) {
             const char name[] = "KeSetEvent";  // the terminator too, so no longer name matches
             auto at = std::search(b.begin(), b.end(), name, name + sizeof name);
             ASSERT_NE(at, b.end());
             at[9] = 'X';
         },
         nullptr, "ntoskrnl.exe!KeSetEvenX is not on the driver's import allow-list"},
        {"import not provided", "bayercam.sys", nullptr, "KeSetEvent",
         "ntoskrnl.exe!KeSetEvent is not provided by the host"},
        {"control register", "bayercam.sys", AtEntry({0x0f, 0x20, 0xc0}), nullptr,
         "mov rax, cr0 at 0x140001000 (.text+0x0, DriverEntry+0x0): privileged instruction"},
        {"gs: operand", "bayercam.sys",
         AtEntry({0x65, 0x48, 0x8b, 0x04, 0x25, 0x20, 0x00, 0x00, 0x00}), nullptr,
         "qword ptr gs:[0x20] at 0x140001000 (.text+0x0, DriverEntry+0x0): segment-relative"},
        // vpsrlw zmm2, zmm2, 6 (which capstone 4 does not decode) behind a gs: prefix.
        {"gs: on AVX-512", "bayercam.sys",
         AtEntry({0x65, 0x62, 0xf1, 0x6d, 0x48, 0x71, 0xd2, 0x06}), nullptr,
         "a vector instruction with an fs: or gs: prefix at 0x140001000 (.text+0x0)"},
        // kmovq k2, rax, VEX-encoded, which capstone 4 does not decode either.
        {"gs: on an opmask move", "bayercam.sys", AtEntry({0x65, 0xc4, 0xe1, 0xfb, 0x92, 0xd0}),
         nullptr, "a vector instruction with an fs: or gs: prefix at 0x140001000 (.text+0x0)"},
        {"shared data page", "bayercam.sys",
         AtEntry({0x48, 0xa1, 0x14, 0x00, 0x00, 0x00, 0x80, 0xf7, 0xff, 0xff}), nullptr,
         "[0xfffff78000000014] at 0x140001000 (.text+0x0, DriverEntry+0x0): reads the kernel's "
         "shared data page"},
        {"relocation type", "bayercam.sys",
         [](auto& b, const host::pe::Headers& h) {
             size_t at = 0;
             ASSERT_TRUE(host::pe::FileOffsetOf(h, h.directories[5].rva, 10, &at));
             Put<uint16_t>(b, at + 8, uint16_t(0x3000 | ((b[at + 8] | b[at + 9] << 8) & 0xfff)));
         },
         nullptr, "base relocation of type 3 at RVA"},
    };

    std::vector<uint8_t> shipped = ReadKernelFile(kImage);
    std::vector<uint8_t> debug = ReadKernelFile(kKernelDir + "/bayercam.debug");
    host::pe::Headers headers;
    std::string error;
    ASSERT_TRUE(host::pe::ParseHeaders(shipped, &headers, &error)) << error;
    std::string dir = testing::TempDir() + "pe_image_XXXXXX";
    ASSERT_NE(mkdtemp(&dir[0]), nullptr);
    std::ofstream(dir + "/bayercam.debug", std::ios::binary)
        .write(reinterpret_cast<const char*>(debug.data()), std::streamsize(debug.size()));

    for (const Refusal& r : kRefusals) {
        SCOPED_TRACE(r.what);
        std::vector<uint8_t> bytes = ReadKernelFile(kKernelDir + "/" + r.file);
        if (r.patch)
            r.patch(bytes, headers);
        std::string path = dir + "/bayercam.sys";
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        std::vector<host::pe::HostService> services = host::pe::HostServices();
        if (r.withoutService) {
            services.erase(
                std::remove_if(services.begin(), services.end(),
                               [&](auto& s) { return s.name == std::string(r.withoutService); }),
                services.end());
        }
        error.clear();
        Image image(host::LoadDriverImageWith(path, services, &error));
        EXPECT_FALSE(image);
        EXPECT_NE(error.find(r.reason), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    std::string cleanup = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(cleanup.c_str()), 0);
}

}  // namespace
