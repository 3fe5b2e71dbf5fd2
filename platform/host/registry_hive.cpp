// Making, opening and replacing hive files.
#include "platform/host/registry_hive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace host::registry {
namespace {

constexpr size_t kBaseBlockSize = 0x1000;
constexpr size_t kBinSize = 0x1000;
constexpr uint32_t kRootCell = 0x20;
constexpr uint32_t kSecurityCell = 0x78;
constexpr uint32_t kFreeCell = 0x108;
constexpr uint32_t kNone = 0xFFFFFFFF;

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    Put32(b, at, uint32_t(v));
    Put32(b, at + 4, uint32_t(v >> 32));
}
void PutBytes(std::vector<uint8_t>& b, size_t at, const char* s) {
    std::memcpy(&b[at], s, std::strlen(s));
}
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

uint32_t HeaderChecksum(const std::vector<uint8_t>& b) {
    uint32_t sum = 0;
    for (size_t at = 0; at < 0x1FC; at += 4)
        sum ^= Get32(b, at);
    return sum;
}

uint64_t FileTimeNow() {
    return (uint64_t(std::time(nullptr)) + 11644473600ull) * 10000000ull;
}

// A SID as a self-relative descriptor holds it: revision, count, authority, subauthorities.
size_t PutSid(std::vector<uint8_t>& b, size_t at, uint8_t authority,
              std::initializer_list<uint32_t> subs) {
    b[at] = 1;
    b[at + 1] = uint8_t(subs.size());
    b[at + 7] = authority;  // the 48-bit authority is big-endian
    size_t p = at + 8;
    for (uint32_t s : subs) {
        Put32(b, p, s);
        p += 4;
    }
    return p - at;
}

// O:BAG:SYD:(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;WD), 120 bytes from `at`. hivex never reads
// it; Windows validates it when it loads the hive.
void PutSecurityDescriptor(std::vector<uint8_t>& b, size_t at) {
    b[at] = 1;                 // revision
    Put16(b, at + 2, 0x8004);  // SE_SELF_RELATIVE | SE_DACL_PRESENT
    Put32(b, at + 4, 92);      // owner
    Put32(b, at + 8, 108);     // group
    Put32(b, at + 12, 0);      // no SACL
    Put32(b, at + 16, 20);     // DACL
    size_t acl = at + 20;
    b[acl] = 2;             // ACL_REVISION
    Put16(b, acl + 2, 72);  // size
    Put16(b, acl + 4, 3);   // ACE count
    size_t ace = acl + 8;
    struct Ace {
        uint32_t mask;
        uint8_t authority;
        std::initializer_list<uint32_t> subs;
    };
    const Ace aces[] = {{0xF003F, 5, {18}}, {0xF003F, 5, {32, 544}}, {0x20019, 1, {0}}};
    for (const Ace& a : aces) {
        b[ace] = 0;      // ACCESS_ALLOWED_ACE_TYPE
        b[ace + 1] = 2;  // CONTAINER_INHERIT_ACE
        Put32(b, ace + 4, a.mask);
        size_t size = 8 + PutSid(b, ace + 8, a.authority, a.subs);
        Put16(b, ace + 2, uint16_t(size));
        ace += size;
    }
    PutSid(b, at + 92, 5, {32, 544});  // owner: Administrators
    PutSid(b, at + 108, 5, {18});      // group: SYSTEM
}

std::string Reason(const std::string& path, const char* what, int err) {
    return path + ": " + what + (err ? std::string(": ") + std::strerror(err) : std::string());
}

std::string Directory(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool SyncPath(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

}  // namespace

std::vector<uint8_t> MinimalHiveImage() {
    std::vector<uint8_t> b(kBaseBlockSize + kBinSize, 0);
    uint64_t now = FileTimeNow();
    // hivex rejects a stored checksum that Windows had to adjust (0 and all ones), so choose a
    // time stamp whose checksum needs no adjusting.
    for (;; ++now) {
        PutBytes(b, 0x000, "regf");
        Put32(b, 0x004, 1);  // primary sequence
        Put32(b, 0x008, 1);  // secondary sequence: equal, so the hive is clean
        Put64(b, 0x00C, now);
        Put32(b, 0x014, 1);  // major version
        Put32(b, 0x018, 5);  // minor version
        Put32(b, 0x01C, 0);  // primary file
        Put32(b, 0x020, 1);  // direct memory load
        Put32(b, 0x024, kRootCell);
        Put32(b, 0x028, uint32_t(kBinSize));
        Put32(b, 0x02C, 1);  // clustering factor
        const char name[] = "SYSTEM";
        for (size_t i = 0; i < sizeof(name) - 1; ++i)
            Put16(b, 0x030 + 2 * i, uint16_t(name[i]));
        uint32_t sum = HeaderChecksum(b);
        if (sum != 0 && sum != 0xFFFFFFFF) {
            Put32(b, 0x1FC, sum);
            break;
        }
    }

    const size_t bin = kBaseBlockSize;
    PutBytes(b, bin, "hbin");
    Put32(b, bin + 4, 0);
    Put32(b, bin + 8, uint32_t(kBinSize));
    Put64(b, bin + 0x14, now);

    const size_t nk = bin + kRootCell;
    Put32(b, nk, uint32_t(-88));
    PutBytes(b, nk + 4, "nk");
    Put16(b, nk + 6, 0x002C);  // HIVE_ENTRY | NO_DELETE | COMP_NAME
    Put64(b, nk + 8, now);
    Put32(b, nk + 32, kNone);  // subkey list
    Put32(b, nk + 36, kNone);  // volatile subkey list
    Put32(b, nk + 44, kNone);  // value list
    Put32(b, nk + 48, kSecurityCell);
    Put32(b, nk + 52, kNone);  // class name
    Put16(b, nk + 76, 4);
    PutBytes(b, nk + 80, "ROOT");

    const size_t sk = bin + kSecurityCell;
    Put32(b, sk, uint32_t(-144));
    PutBytes(b, sk + 4, "sk");
    Put32(b, sk + 8, kSecurityCell);  // a list of one: itself both ways
    Put32(b, sk + 12, kSecurityCell);
    Put32(b, sk + 16, 1);  // used by the root only
    Put32(b, sk + 20, 120);
    PutSecurityDescriptor(b, sk + 24);

    Put32(b, bin + kFreeCell, uint32_t(kBinSize - kFreeCell));
    return b;
}

bool CreateHiveFile(const std::string& path, std::string* error) {
    std::vector<uint8_t> image = MinimalHiveImage();
    std::string temp = path + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = Reason(temp, "cannot create", errno);
        return false;
    }
    bool written = WriteAll(fd, image.data(), image.size()) && ::fsync(fd) == 0;
    int err = errno;
    ::close(fd);
    if (!written) {
        ::unlink(temp.c_str());
        *error = Reason(temp, "cannot write", err);
        return false;
    }
    // link(2), unlike rename(2), refuses to replace a file that appeared in the meantime.
    if (::link(temp.c_str(), path.c_str()) != 0) {
        err = errno;
        ::unlink(temp.c_str());
        *error = Reason(path, "cannot create", err);
        return false;
    }
    ::unlink(temp.c_str());
    SyncPath(Directory(path), O_RDONLY | O_DIRECTORY);
    return true;
}

hive_h* OpenHiveFile(const std::string& path, std::string* error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        *error = Reason(path, "cannot open", errno);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = Reason(path, "not a regular file", 0);
        return nullptr;
    }
    if (::access(path.c_str(), R_OK | W_OK) != 0) {
        *error = Reason(path, "cannot be read and written", errno);
        return nullptr;
    }
    errno = 0;
    hive_h* hive = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    if (!hive) {
        int err = errno;
        *error = Reason(path, "not a Windows registry hive", err);
        return nullptr;
    }
    return hive;
}

bool CommitHiveFile(hive_h* hive, const std::string& path, std::string* error) {
    std::string temp = path + ".tmp";
    errno = 0;
    if (hivex_commit(hive, temp.c_str(), 0) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        *error = Reason(temp, "cannot write the hive", err);
        return false;
    }
    if (!SyncPath(temp, O_RDONLY)) {
        int err = errno;
        ::unlink(temp.c_str());
        *error = Reason(temp, "cannot sync", err);
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        *error = Reason(path, "cannot replace", err);
        return false;
    }
    if (!SyncPath(Directory(path), O_RDONLY | O_DIRECTORY)) {
        *error = Reason(Directory(path), "cannot sync the directory", errno);
        return false;
    }
    return true;
}

}  // namespace host::registry
