// The driver image loader's parts, shared between its files and its test: the PE32+ headers as
// parsed from an untrusted file, the host services imports bind to, the symbols of the debug
// file, and the loaded image itself. Everything read from a file is bounds-checked here before
// it is used as an offset, a size or an address.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "platform/host/host_control.h"

namespace host {
namespace pe {

constexpr uint32_t kSectionCode = 0x00000020;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;

constexpr int kImportDirectory = 1;
constexpr int kSecurityDirectory = 4;  // the only directory given as a file offset, not an RVA
constexpr int kRelocationDirectory = 5;
constexpr int kDirectoryCount = 16;

// Little-endian reads from untrusted bytes; false when any byte lies outside [0, size).
template <typename T>
bool ReadAt(const uint8_t* data, size_t size, uint64_t offset, T* out) {
    static_assert(std::is_trivially_copyable<T>::value, "plain values only");
    if (offset > size || size - offset < sizeof(T))
        return false;
    memcpy(out, data + offset, sizeof(T));
    return true;
}
// A NUL-terminated string of at most maxLength characters starting at `offset`.
bool ReadString(const uint8_t* data, size_t size, uint64_t offset, size_t maxLength,
                std::string* out);
// An untrusted name made safe to quote in a one-line message.
std::string Printable(const std::string& s);
std::string Hex(uint64_t value);

// The whole file, refused when larger than maxSize.
bool ReadFileBytes(const std::string& path, size_t maxSize, std::vector<uint8_t>* out,
                   std::string* error);

struct Section {
    std::string name;
    uint32_t rva = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;

    bool executable() const { return characteristics & (kSectionExecute | kSectionCode); }
    bool writable() const { return characteristics & kSectionWrite; }
    // What the section occupies in the image (old linkers leave VirtualSize zero).
    uint32_t extent() const { return virtualSize ? virtualSize : rawSize; }
    // What of its raw data is copied in: never more than the section occupies.
    uint32_t copied() const { return rawSize < extent() ? rawSize : extent(); }
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct Headers {
    uint64_t imageBase = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t entryRva = 0;
    uint32_t sectionAlignment = 0;
    uint16_t fileCharacteristics = 0;
    uint32_t symbolTableOffset = 0;
    uint32_t symbolCount = 0;
    DataDirectory directories[kDirectoryCount];
    std::vector<Section> sections;  // ascending, non-overlapping, inside SizeOfImage
};

// Checks every header, section and directory of a PE32+ AMD64 native image against the file
// and the image size; false with a one-line reason.
bool ParseHeaders(const std::vector<uint8_t>& file, Headers* headers, std::string* error);
// The section holding `rva` (within its extent), or null.
const Section* SectionAt(const Headers& headers, uint32_t rva);
// Where `size` bytes at `rva` lie in the file, when all of them come from one section's raw data.
bool FileOffsetOf(const Headers& headers, uint32_t rva, uint32_t size, size_t* offset);

// A service the host offers an image's imports.
struct HostService {
    const char* module;
    const char* name;
    void* address;
};
// Every service of ntoskrnl.exe, ks.sys and USBD.SYS the host implements.
const std::vector<HostService>& HostServices();

struct BoundImport {
    std::string module;
    std::string name;
    void** slot;  // the image's import address table entry
};
// Binds every import of the mapped image to `services`; refuses imports by ordinal, names not
// on the allow-list built from kernel/imports.allow, and names `services` lacks.
bool BindImports(uint8_t* base, const Headers& headers, const std::vector<HostService>& services,
                 std::vector<BoundImport>* bound, std::string* error);

// The symbols of the image's debug file, by RVA.
class SymbolTable {
public:
    struct Symbol {
        uint32_t rva;
        uint32_t sectionEnd;  // where the section holding it ends, as an RVA
        bool external;
        std::string name;
    };
    void Add(Symbol symbol);
    void Finish();  // sorts; call once after the last Add
    // By the symbol's name or, for a C++ function, by its name alone ("ConfigureDevice").
    bool Find(const std::string& name, uint32_t* rva) const;
    // "name+0x1c" (demangled) for the symbol at or below `rva` in the same section; empty if none.
    std::string NameOf(uint32_t rva) const;
    size_t size() const { return byRva_.size(); }

private:
    std::vector<Symbol> byRva_;
    static constexpr uint32_t kAmbiguous = 0xFFFFFFFF;
    std::unordered_map<std::string, uint32_t> byName_;
    std::unordered_map<std::string, uint32_t> byPlainName_;  // C++ functions, unless overloaded
};
// Reads the debug file the image's .gnu_debuglink names, beside the image, after checking
// its CRC; false with the reason (the image loads without symbols then).
bool LoadSymbols(const std::string& imagePath, const std::vector<uint8_t>& file,
                 const Headers& headers, SymbolTable* symbols, std::string* error);

// Disassembles every executable section of the mapped image and refuses what user mode cannot
// run: privileged instructions, gs:/fs: memory operands, and the kernel's shared data page.
bool ScanCode(const uint8_t* base, const Headers& headers, const SymbolTable& symbols,
              std::string* error);

}  // namespace pe

struct DriverImage {
    DriverImage() = default;
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;
    ~DriverImage();

    std::string path;
    uint8_t* base = nullptr;
    size_t mappedSize = 0;
    pe::Headers headers;
    std::vector<pe::BoundImport> imports;
    pe::SymbolTable symbols;
    std::string symbolsProblem;
};

// LoadDriverImage with another set of host services, so a load can be refused for a service
// the host does not have.
DriverImage* LoadDriverImageWith(const std::string& path,
                                 const std::vector<pe::HostService>& services, std::string* error);

}  // namespace host
