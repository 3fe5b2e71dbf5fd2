// Maps the shipped kernel image into this process as the Windows loader maps a driver: the
// sections at their RVAs in one reservation anywhere in the address space, the base
// relocations applied for wherever that is, the imports bound to the host's services, the code
// checked for what user mode cannot run, and each section given its own protection last.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "platform/host/pe_image.h"

namespace host {
namespace {

constexpr size_t kMaxImageFile = 64u << 20;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kRelocationAbsolute = 0;  // padding to a four-byte block
constexpr uint16_t kRelocationDir64 = 10;

size_t PageSize() {
    return size_t(sysconf(_SC_PAGESIZE));
}

size_t PageAlign(size_t n) {
    size_t page = PageSize();
    return (n + page - 1) / page * page;
}

bool Fail(std::string* error, const std::string& reason) {
    *error = reason;
    return false;
}

bool Map(DriverImage* image, const std::vector<uint8_t>& file, std::string* error) {
    const pe::Headers& h = image->headers;
    if (h.sectionAlignment % PageSize() != 0)
        return Fail(error, "section alignment " + pe::Hex(h.sectionAlignment) +
                               " is not a multiple of the page size");
    size_t size = PageAlign(h.sizeOfImage);
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        return Fail(error, "cannot reserve " + std::to_string(size) + " bytes: " + strerror(errno));
    image->base = static_cast<uint8_t*>(base);
    image->mappedSize = size;
    // The anonymous mapping is zero already: what a section occupies beyond its raw data.
    memcpy(image->base, file.data(), h.sizeOfHeaders);
    for (const pe::Section& s : h.sections) {
        if (s.copied() != 0)
            memcpy(image->base + s.rva, file.data() + s.rawOffset, s.copied());
    }
    return true;
}

bool Relocate(DriverImage* image, std::string* error) {
    const pe::Headers& h = image->headers;
    const pe::DataDirectory& dir = h.directories[pe::kRelocationDirectory];
    if ((h.fileCharacteristics & kFileRelocsStripped) || dir.size == 0)
        return Fail(error, "no base relocations: the image can only run at its base " +
                               pe::Hex(h.imageBase));
    uint64_t delta = uint64_t(reinterpret_cast<uintptr_t>(image->base)) - h.imageBase;
    uint8_t* base = image->base;
    uint64_t offset = dir.rva;
    uint64_t end = uint64_t(dir.rva) + dir.size;  // inside the image: ParseHeaders checked
    while (offset < end) {
        uint32_t page = 0, blockSize = 0;
        if (end - offset < 8 || !pe::ReadAt(base, h.sizeOfImage, offset, &page) ||
            !pe::ReadAt(base, h.sizeOfImage, offset + 4, &blockSize))
            return Fail(error, "base relocation block at RVA " + pe::Hex(offset) + " is cut off");
        if (blockSize < 8 || blockSize % 2 != 0 || blockSize > end - offset)
            return Fail(error, "base relocation block at RVA " + pe::Hex(offset) +
                                   " has an invalid size " + pe::Hex(blockSize));
        for (uint64_t e = offset + 8; e < offset + blockSize; e += 2) {
            uint16_t entry = 0;
            pe::ReadAt(base, h.sizeOfImage, e, &entry);
            uint16_t type = entry >> 12;
            uint64_t target = uint64_t(page) + (entry & 0xfff);
            if (type == kRelocationAbsolute)
                continue;
            if (type != kRelocationDir64)
                return Fail(error, "base relocation of type " + std::to_string(type) + " at RVA " +
                                       pe::Hex(target) +
                                       " (only DIR64 and ABSOLUTE belong in an x64 image)");
            uint64_t value = 0;
            if (!pe::ReadAt(base, h.sizeOfImage, target, &value))
                return Fail(
                    error, "base relocation at RVA " + pe::Hex(target) + " lies outside the image");
            value += delta;
            memcpy(base + target, &value, sizeof value);
        }
        offset += blockSize;
    }
    return true;
}

int Protection(const pe::Section& s) {
    if (s.executable())
        return PROT_READ | PROT_EXEC;
    return s.writable() ? PROT_READ | PROT_WRITE : PROT_READ;
}

bool Protect(DriverImage* image, std::string* error) {
    const pe::Headers& h = image->headers;
    // Gaps between sections stay inaccessible, as they are not part of any section.
    bool ok = mprotect(image->base, image->mappedSize, PROT_NONE) == 0 &&
              mprotect(image->base, PageAlign(h.sizeOfHeaders), PROT_READ) == 0;
    for (const pe::Section& s : h.sections) {
        if (ok && s.extent() != 0)
            ok = mprotect(image->base + s.rva, PageAlign(s.extent()), Protection(s)) == 0;
    }
    return ok || Fail(error, std::string("cannot protect the sections: ") + strerror(errno));
}

}  // namespace

namespace pe {

bool ReadFileBytes(const std::string& path, size_t maxSize, std::vector<uint8_t>* out,
                   std::string* error) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(path.c_str(), "rb"), fclose);
    if (!f)
        return Fail(error, "cannot open " + path + ": " + strerror(errno));
    out->clear();
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f.get())) > 0) {
        if (out->size() + got > maxSize)
            return Fail(error, path + " is larger than " + std::to_string(maxSize) + " bytes");
        out->insert(out->end(), chunk, chunk + got);
    }
    if (ferror(f.get()))
        return Fail(error, "cannot read " + path + ": " + strerror(errno));
    return true;
}

}  // namespace pe

DriverImage::~DriverImage() {
    if (base)
        munmap(base, mappedSize);
}

DriverImage* LoadDriverImageWith(const std::string& path,
                                 const std::vector<pe::HostService>& services, std::string* error) {
    auto image = std::make_unique<DriverImage>();
    image->path = path;
    std::vector<uint8_t> file;
    std::string reason;
    bool ok = pe::ReadFileBytes(path, kMaxImageFile, &file, &reason) &&
              pe::ParseHeaders(file, &image->headers, &reason) && Map(image.get(), file, &reason) &&
              Relocate(image.get(), &reason) &&
              pe::BindImports(image->base, image->headers, services, &image->imports, &reason);
    if (ok && !pe::LoadSymbols(path, file, image->headers, &image->symbols, &image->symbolsProblem))
        image->symbols = pe::SymbolTable();
    ok = ok && pe::ScanCode(image->base, image->headers, image->symbols, &reason) &&
         Protect(image.get(), &reason);
    if (!ok) {
        if (error)
            *error = path + ": " + reason;
        return nullptr;
    }
    return image.release();
}

DriverImage* LoadDriverImage(const std::string& path, std::string* error) {
    return LoadDriverImageWith(path, pe::HostServices(), error);
}

void UnloadDriverImage(DriverImage* image) {
    delete image;
}

DriverEntryRoutine DriverImageEntry(const DriverImage* image) {
    if (!image)
        return nullptr;
    return reinterpret_cast<DriverEntryRoutine>(image->base + image->headers.entryRva);
}

void* DriverImageSymbol(const DriverImage* image, const char* name) {
    if (!image)
        return nullptr;
    uint32_t rva = 0;
    if (!name || !image->symbols.Find(name, &rva) || rva >= image->headers.sizeOfImage)
        return nullptr;
    return image->base + rva;
}

std::string DriverImageAddressName(const DriverImage* image, const void* address) {
    if (!image)
        return "";
    uintptr_t a = reinterpret_cast<uintptr_t>(address);
    uintptr_t base = reinterpret_cast<uintptr_t>(image->base);
    if (a < base || a - base >= image->headers.sizeOfImage)
        return "";
    return image->symbols.NameOf(uint32_t(a - base));
}

const std::string& DriverImageSymbolsProblem(const DriverImage* image) {
    static const std::string kNoImage = "no image";
    return image ? image->symbolsProblem : kNoImage;
}

}  // namespace host
