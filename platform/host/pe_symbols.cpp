// The image's symbols, from the debug file its .gnu_debuglink names: objcopy --only-keep-debug
// leaves a PE file whose COFF symbol table gives each symbol as an offset into a section, and
// whose section table places those sections at the image's RVAs. Crash and bug-check reports
// name addresses with it; a debug file that is missing or does not match leaves the image
// without symbols but loadable.
#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>

#include "platform/host/pe_image.h"

namespace host {
namespace pe {
namespace {

constexpr size_t kMaxDebugFile = 512u << 20;
constexpr size_t kSymbolSize = 18;
constexpr uint8_t kClassExternal = 2;
constexpr uint8_t kClassStatic = 3;
constexpr uint16_t kTypeFunction = 0x20;

bool Fail(std::string* error, const std::string& reason) {
    *error = reason;
    return false;
}

// The CRC-32 of gnu_debuglink (the zlib polynomial, reflected).
uint32_t Crc32(const std::vector<uint8_t>& data) {
    static const std::vector<uint32_t> table = [] {
        std::vector<uint32_t> t(256);
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xffffffffu;
    for (uint8_t b : data)
        crc = table[(crc ^ b) & 0xff] ^ (crc >> 8);
    return ~crc;
}

// The file name and CRC the image's .gnu_debuglink section holds: the name, NUL-terminated and
// padded to four bytes, then the CRC.
bool ReadDebugLink(const std::vector<uint8_t>& file, const Headers& headers, std::string* name,
                   uint32_t* crc, std::string* error) {
    const Section* link = nullptr;
    for (const Section& s : headers.sections) {
        if (s.name == ".gnu_debuglink")
            link = &s;
    }
    if (!link)
        return Fail(error, "the image has no .gnu_debuglink section");
    size_t size = link->copied();
    const uint8_t* data = size ? file.data() + link->rawOffset : file.data();
    if (!ReadString(data, size, 0, 255, name) || name->empty())
        return Fail(error, ".gnu_debuglink holds no file name");
    if (name->find('/') != std::string::npos || *name == "." || *name == "..")
        return Fail(error, ".gnu_debuglink names " + Printable(*name) + ", not a file beside it");
    size_t crcAt = (name->size() + 1 + 3) / 4 * 4;
    if (!ReadAt(data, size, crcAt, crc))
        return Fail(error, ".gnu_debuglink has no CRC after the file name");
    return true;
}

bool SymbolName(const uint8_t* record, const uint8_t* strings, size_t stringsSize,
                std::string* name) {
    uint32_t zeroes = 0, offset = 0;
    memcpy(&zeroes, record, 4);
    if (zeroes != 0) {
        const char* inline_ = reinterpret_cast<const char*>(record);
        name->assign(inline_, strnlen(inline_, 8));
        return true;
    }
    memcpy(&offset, record + 4, 4);
    return offset >= 4 && ReadString(strings, stringsSize, offset, 4096, name);
}

bool IndexSymbols(const std::vector<uint8_t>& debug, const Headers& dh, SymbolTable* symbols,
                  std::string* error) {
    uint64_t table = dh.symbolTableOffset;
    uint64_t stringsAt = table + uint64_t(dh.symbolCount) * kSymbolSize;
    uint32_t stringsSize = 0;
    if (table == 0 || dh.symbolCount == 0)
        return Fail(error, "the debug file has no symbol table");
    if (!ReadAt(debug.data(), debug.size(), stringsAt, &stringsSize) || stringsSize < 4 ||
        stringsAt + stringsSize > debug.size())
        return Fail(error, "the debug file's symbol or string table lies past its end");
    const uint8_t* strings = debug.data() + stringsAt;
    for (uint32_t i = 0; i < dh.symbolCount; ++i) {
        const uint8_t* record = debug.data() + table + uint64_t(i) * kSymbolSize;
        uint32_t value = 0;
        int16_t section = 0;
        uint16_t type = 0;
        memcpy(&value, record + 8, 4);
        memcpy(&section, record + 12, 2);
        memcpy(&type, record + 14, 2);
        uint8_t storageClass = record[16];
        uint8_t auxCount = record[17];
        i += auxCount;  // auxiliary records describe this symbol; they are not symbols
        bool function = (type & 0x30) == kTypeFunction;
        // Sections are listed as static symbols with an auxiliary record, and are no names
        // of their own.
        bool sectionSymbol = storageClass == kClassStatic && auxCount > 0 && !function;
        if (section <= 0 || size_t(section) > dh.sections.size() || sectionSymbol ||
            (storageClass != kClassExternal && storageClass != kClassStatic))
            continue;
        const Section& s = dh.sections[size_t(section) - 1];
        std::string name;
        if (value > s.extent() || !SymbolName(record, strings, stringsSize, &name) || name.empty())
            continue;
        symbols->Add({s.rva + value, s.rva + s.extent(), storageClass == kClassExternal, name});
    }
    symbols->Finish();
    return true;
}

std::string Demangled(const std::string& name) {
    int status = 0;
    char* plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    std::string result = status == 0 && plain ? plain : name;
    free(plain);
    return result;
}

}  // namespace

void SymbolTable::Add(Symbol symbol) {
    byName_.emplace(symbol.name, symbol.rva);
    // A C++ function also answers to its plain name, as a debugger's expression would, unless
    // overloads share it: the two builds spell LONG differently, so their mangled names differ.
    std::string plain = Demangled(symbol.name);
    size_t open = plain.find('(');
    if (plain != symbol.name && open != std::string::npos && open > 0) {
        auto [it, added] = byPlainName_.emplace(plain.substr(0, open), symbol.rva);
        if (!added && it->second != symbol.rva)
            it->second = kAmbiguous;
    }
    byRva_.push_back(std::move(symbol));
}

void SymbolTable::Finish() {
    // At one address, an external name is the one a report should give.
    std::stable_sort(byRva_.begin(), byRva_.end(), [](const Symbol& a, const Symbol& b) {
        return a.rva != b.rva ? a.rva < b.rva : a.external > b.external;
    });
}

bool SymbolTable::Find(const std::string& name, uint32_t* rva) const {
    auto it = byName_.find(name);
    if (it == byName_.end()) {
        it = byPlainName_.find(name);
        if (it == byPlainName_.end() || it->second == kAmbiguous)
            return false;
    }
    *rva = it->second;
    return true;
}

std::string SymbolTable::NameOf(uint32_t rva) const {
    auto after = std::upper_bound(byRva_.begin(), byRva_.end(), rva,
                                  [](uint32_t r, const Symbol& s) { return r < s.rva; });
    if (after == byRva_.begin())
        return "";
    uint32_t at = std::prev(after)->rva;
    auto first = std::lower_bound(byRva_.begin(), after, at,
                                  [](const Symbol& s, uint32_t r) { return s.rva < r; });
    if (rva >= first->sectionEnd)
        return "";
    return Demangled(first->name) + "+" + Hex(rva - at);
}

bool LoadSymbols(const std::string& imagePath, const std::vector<uint8_t>& file,
                 const Headers& headers, SymbolTable* symbols, std::string* error) {
    std::string name;
    uint32_t crc = 0;
    if (!ReadDebugLink(file, headers, &name, &crc, error))
        return false;
    size_t slash = imagePath.rfind('/');
    std::string path = slash == std::string::npos ? name : imagePath.substr(0, slash + 1) + name;
    std::vector<uint8_t> debug;
    if (!ReadFileBytes(path, kMaxDebugFile, &debug, error))
        return false;
    uint32_t actual = Crc32(debug);
    if (actual != crc)
        return Fail(error, path + " has CRC " + Hex(actual) + ", the image's .gnu_debuglink " +
                               Hex(crc) + ": not this image's debug file");
    Headers dh;
    std::string reason;
    if (!ParseHeaders(debug, &dh, &reason))
        return Fail(error, path + ": " + reason);
    // The symbols are placed by the debug file's own section table; it must place the image's
    // sections where the image does.
    for (const Section& s : headers.sections) {
        for (const Section& d : dh.sections) {
            if (d.name == s.name && d.rva != s.rva)
                return Fail(error, path + " places " + Printable(s.name) + " at " + Hex(d.rva) +
                                       ", the image at " + Hex(s.rva));
        }
    }
    if (!IndexSymbols(debug, dh, symbols, &reason))
        return Fail(error, path + ": " + reason);
    return true;
}

}  // namespace pe
}  // namespace host
