// The PE32+ headers of an untrusted file: each field is checked against the file and the image
// size before the loader uses it, and the first fault found is named in one line.
#include <cinttypes>
#include <cstdio>

#include "platform/host/pe_image.h"

namespace host {
namespace pe {
namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32 = 0x10b;
constexpr uint16_t kMagicPe32Plus = 0x20b;
constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint32_t kMaxImageSize = 64u << 20;  // far above any driver; bounds the mapping
constexpr uint16_t kMaxSections = 96;
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kOptionalHeaderFixedSize = 112;  // PE32+, up to NumberOfRvaAndSizes
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kSymbolSize = 18;

bool Fail(std::string* error, const std::string& reason) {
    *error = reason;
    return false;
}

// A section name longer than eight characters ("/4") is an offset into the COFF string table
// that follows the symbol table; a stripped image keeps that table for the names alone.
bool SectionName(const std::vector<uint8_t>& file, const Headers& h, const char (&raw)[8],
                 std::string* name) {
    size_t length = strnlen(raw, sizeof raw);
    std::string shortName(raw, length);
    if (length < 2 || raw[0] != '/') {
        *name = shortName;
        return true;
    }
    uint64_t offset = 0;
    for (size_t i = 1; i < length; ++i) {
        if (raw[i] < '0' || raw[i] > '9')
            return false;
        offset = offset * 10 + uint64_t(raw[i] - '0');
    }
    uint64_t table = uint64_t(h.symbolTableOffset) + uint64_t(h.symbolCount) * kSymbolSize;
    uint32_t tableSize = 0;
    if (h.symbolTableOffset == 0 || !ReadAt(file.data(), file.size(), table, &tableSize) ||
        offset < 4 || offset >= tableSize)
        return false;
    uint64_t tableEnd = table + tableSize;
    if (tableEnd > file.size())
        return false;
    return ReadString(file.data(), size_t(tableEnd), table + offset, 255, name);
}

}  // namespace

bool ReadString(const uint8_t* data, size_t size, uint64_t offset, size_t maxLength,
                std::string* out) {
    if (offset >= size)
        return false;
    size_t available = size - size_t(offset);
    size_t limit = available < maxLength + 1 ? available : maxLength + 1;
    const char* start = reinterpret_cast<const char*>(data + offset);
    size_t length = strnlen(start, limit);
    if (length == limit)
        return false;  // no terminator within reach
    out->assign(start, length);
    return true;
}

std::string Printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f) {
            out += char(c);
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

std::string Hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%" PRIx64, value);
    return text;
}

bool ParseHeaders(const std::vector<uint8_t>& file, Headers* h, std::string* error) {
    const uint8_t* d = file.data();
    size_t n = file.size();
    uint16_t mz = 0;
    uint32_t peOffset = 0;
    if (!ReadAt(d, n, 0, &mz) || mz != 0x5a4d)
        return Fail(error, "not an MZ file (no DOS header signature)");
    if (!ReadAt(d, n, 0x3c, &peOffset))
        return Fail(error, "truncated DOS header");
    uint32_t signature = 0;
    if (!ReadAt(d, n, peOffset, &signature))
        return Fail(error, "truncated headers: the PE header at " + Hex(peOffset) +
                               " lies outside the file");
    if (signature != 0x00004550)
        return Fail(error, "no PE signature at " + Hex(peOffset));

    uint64_t fileHeader = uint64_t(peOffset) + 4;
    uint16_t machine = 0, sectionCount = 0, optionalSize = 0;
    if (fileHeader + kFileHeaderSize > n)
        return Fail(error, "truncated headers: the file header is cut off");
    ReadAt(d, n, fileHeader, &machine);
    ReadAt(d, n, fileHeader + 2, &sectionCount);
    ReadAt(d, n, fileHeader + 8, &h->symbolTableOffset);
    ReadAt(d, n, fileHeader + 12, &h->symbolCount);
    ReadAt(d, n, fileHeader + 16, &optionalSize);
    ReadAt(d, n, fileHeader + 18, &h->fileCharacteristics);
    if (machine != kMachineAmd64)
        return Fail(error, "machine " + Hex(machine) + " is not AMD64 (0x8664)");
    if (!(h->fileCharacteristics & kFileExecutable))
        return Fail(error, "not an executable image (file characteristics " +
                               Hex(h->fileCharacteristics) + ")");

    uint64_t opt = fileHeader + kFileHeaderSize;
    uint16_t magic = 0;
    if (!ReadAt(d, n, opt, &magic))
        return Fail(error, "truncated headers: no optional header");
    if (magic == kMagicPe32)
        return Fail(error, "a PE32 (32-bit) image, not PE32+");
    if (magic != kMagicPe32Plus)
        return Fail(error, "optional header magic " + Hex(magic) + " is not PE32+ (0x20b)");
    if (optionalSize < kOptionalHeaderFixedSize || opt + optionalSize > n)
        return Fail(error, "truncated headers: optional header of " + std::to_string(optionalSize) +
                               " bytes");
    uint16_t subsystem = 0;
    uint32_t directoryCount = 0;
    ReadAt(d, n, opt + 16, &h->entryRva);
    ReadAt(d, n, opt + 24, &h->imageBase);
    ReadAt(d, n, opt + 32, &h->sectionAlignment);
    ReadAt(d, n, opt + 56, &h->sizeOfImage);
    ReadAt(d, n, opt + 60, &h->sizeOfHeaders);
    ReadAt(d, n, opt + 68, &subsystem);
    ReadAt(d, n, opt + 108, &directoryCount);
    if (subsystem != kSubsystemNative)
        return Fail(error, "subsystem " + std::to_string(subsystem) + " is not native (1)");
    if (directoryCount > kDirectoryCount ||
        kOptionalHeaderFixedSize + 8 * uint64_t(directoryCount) > optionalSize)
        return Fail(error, std::to_string(directoryCount) +
                               " data directories do not fit the optional header");
    for (uint32_t i = 0; i < directoryCount; ++i) {
        ReadAt(d, n, opt + kOptionalHeaderFixedSize + 8 * i, &h->directories[i].rva);
        ReadAt(d, n, opt + kOptionalHeaderFixedSize + 8 * i + 4, &h->directories[i].size);
    }

    uint32_t align = h->sectionAlignment;
    if (align < 4096 || (align & (align - 1)) != 0)
        return Fail(
            error, "section alignment " + Hex(align) + " is not a power of two of at least a page");
    if (h->sizeOfImage == 0 || h->sizeOfImage > kMaxImageSize)
        return Fail(error, "SizeOfImage " + Hex(h->sizeOfImage) + " is out of range");
    if (sectionCount == 0 || sectionCount > kMaxSections)
        return Fail(error, std::to_string(sectionCount) + " sections");
    uint64_t table = opt + optionalSize;
    uint64_t tableEnd = table + uint64_t(sectionCount) * kSectionHeaderSize;
    if (tableEnd > n)
        return Fail(error, "truncated headers: the section table is cut off");
    if (h->sizeOfHeaders < tableEnd || h->sizeOfHeaders > n || h->sizeOfHeaders > h->sizeOfImage)
        return Fail(error, "SizeOfHeaders " + Hex(h->sizeOfHeaders) +
                               " does not cover the section table within the file and image");

    uint64_t previousEnd = h->sizeOfHeaders;
    h->sections.clear();
    for (uint16_t i = 0; i < sectionCount; ++i) {
        uint64_t at = table + uint64_t(i) * kSectionHeaderSize;
        char raw[8];
        memcpy(raw, d + at, sizeof raw);
        Section s;
        ReadAt(d, n, at + 8, &s.virtualSize);
        ReadAt(d, n, at + 12, &s.rva);
        ReadAt(d, n, at + 16, &s.rawSize);
        ReadAt(d, n, at + 20, &s.rawOffset);
        ReadAt(d, n, at + 36, &s.characteristics);
        if (!SectionName(file, *h, raw, &s.name))
            return Fail(error, "section " + std::to_string(i + 1) + "'s name " +
                                   Printable(std::string(raw, strnlen(raw, 8))) +
                                   " is not in the string table");
        std::string what = "section " + Printable(s.name) + " (RVA " + Hex(s.rva) + ")";
        if (s.rva % align != 0)
            return Fail(error, what + " is not aligned to the section alignment");
        if (s.rva < previousEnd)
            return Fail(error, what + " overlaps the headers or the section before it");
        uint64_t end = uint64_t(s.rva) + s.extent();
        if (end > h->sizeOfImage)
            return Fail(error, what + " ends past SizeOfImage " + Hex(h->sizeOfImage));
        if (s.rawSize != 0 && uint64_t(s.rawOffset) + s.rawSize > n)
            return Fail(error, what + "'s raw data lies past the end of the file");
        if (s.writable() && s.executable())
            return Fail(error, what + " is both writable and executable");
        previousEnd = end;
        h->sections.push_back(s);
    }

    for (int i = 0; i < kDirectoryCount; ++i) {
        const DataDirectory& dir = h->directories[i];
        if (dir.size == 0)
            continue;
        uint64_t end = uint64_t(dir.rva) + dir.size;
        if (i == kSecurityDirectory ? end > n : end > h->sizeOfImage)
            return Fail(error, "data directory " + std::to_string(i) + " (" + Hex(dir.rva) + ", " +
                                   Hex(dir.size) + " bytes) lies outside the " +
                                   (i == kSecurityDirectory ? "file" : "image"));
    }

    const Section* entry = SectionAt(*h, h->entryRva);
    if (h->entryRva == 0 || !entry || !entry->executable())
        return Fail(error,
                    "entry point RVA " + Hex(h->entryRva) + " is not in an executable section");
    return true;
}

const Section* SectionAt(const Headers& headers, uint32_t rva) {
    for (const Section& s : headers.sections) {
        if (rva >= s.rva && rva - s.rva < s.extent())
            return &s;
    }
    return nullptr;
}

bool FileOffsetOf(const Headers& headers, uint32_t rva, uint32_t size, size_t* offset) {
    const Section* s = SectionAt(headers, rva);
    if (!s || uint64_t(rva - s->rva) + size > s->copied())
        return false;
    *offset = size_t(s->rawOffset) + (rva - s->rva);
    return true;
}

}  // namespace pe
}  // namespace host
