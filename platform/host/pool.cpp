// Non-paged pool of the host platform: every allocation recorded with its tag so tests can
// find leaks, and refusable on demand so every out-of-memory path can be driven.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/host/host_control.h"

namespace {

struct Block {
    ULONG tag;
    size_t size;
    uint64_t sequence;
};

struct Pool {
    std::mutex lock;
    std::map<void*, Block> live;
    uint64_t sequence = 0;
    uint64_t failAt = 0;  // sequence number to refuse, 0 if none
    ULONG failTag = 0;
    bool failTagArmed = false;
    uint64_t refused = 0;
};

Pool& ThePool() {
    static Pool* pool = new Pool;  // never destroyed: allocations may outlive static teardown
    return *pool;
}

}  // namespace

namespace host {

std::string PoolTagName(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = char((tag >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}

uint64_t PoolSequence() {
    std::lock_guard<std::mutex> g(ThePool().lock);
    return ThePool().sequence;
}

size_t PoolLiveCount() {
    std::lock_guard<std::mutex> g(ThePool().lock);
    return ThePool().live.size();
}

size_t PoolLiveCount(ULONG tag) {
    std::lock_guard<std::mutex> g(ThePool().lock);
    size_t n = 0;
    for (auto& [p, b] : ThePool().live)
        n += b.tag == tag;
    return n;
}

size_t PoolLiveBytes() {
    std::lock_guard<std::mutex> g(ThePool().lock);
    size_t n = 0;
    for (auto& [p, b] : ThePool().live)
        n += b.size;
    return n;
}

std::string PoolLeaksSince(uint64_t sinceSequence) {
    std::lock_guard<std::mutex> g(ThePool().lock);
    std::ostringstream out;
    for (auto& [p, b] : ThePool().live) {
        if (b.sequence > sinceSequence) {
            out << "  leaked " << b.size << " bytes tagged \"" << PoolTagName(b.tag)
                << "\" (allocation #" << b.sequence << ") at " << p << "\n";
        }
    }
    return out.str();
}

void PoolFailNth(uint64_t n) {
    std::lock_guard<std::mutex> g(ThePool().lock);
    ThePool().failAt = n ? ThePool().sequence + n : 0;
}

void PoolFailTag(ULONG tag) {
    std::lock_guard<std::mutex> g(ThePool().lock);
    ThePool().failTag = tag;
    ThePool().failTagArmed = true;
}

void PoolClearFaults() {
    std::lock_guard<std::mutex> g(ThePool().lock);
    ThePool().failAt = 0;
    ThePool().failTagArmed = false;
}

uint64_t PoolRefusedCount() {
    std::lock_guard<std::mutex> g(ThePool().lock);
    return ThePool().refused;
}

void BugCheck(const char* what) {
    std::fprintf(stderr, "host kernel: BUG CHECK: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace host

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE, SIZE_T size, ULONG tag) {
    Pool& pool = ThePool();
    uint64_t sequence;
    {
        std::lock_guard<std::mutex> g(pool.lock);
        sequence = ++pool.sequence;
        if ((pool.failAt && sequence == pool.failAt) ||
            (pool.failTagArmed && tag == pool.failTag)) {
            if (sequence == pool.failAt)
                pool.failAt = 0;
            ++pool.refused;
            return nullptr;
        }
    }
    if (size == 0)
        size = 1;  // a zero-byte request still yields a distinct block
    // The x64 pool aligns every block to 16 bytes; nothing promises it is zeroed, so fill it
    // with a pattern that makes a forgotten initialisation visible.
    void* p = std::aligned_alloc(16, (size + 15) & ~size_t(15));
    if (!p)
        return nullptr;
    std::memset(p, 0xA5, size);
    std::lock_guard<std::mutex> g(pool.lock);
    pool.live[p] = Block{tag, size, sequence};
    return p;
}

static void FreeBlock(PVOID p, bool checkTag, ULONG tag) {
    if (!p)
        host::BugCheck("ExFreePool of a null pointer");
    Pool& pool = ThePool();
    {
        std::lock_guard<std::mutex> g(pool.lock);
        auto it = pool.live.find(p);
        if (it == pool.live.end())
            host::BugCheck("ExFreePool of a block not allocated (double free?)");
        if (checkTag && it->second.tag != tag)
            host::BugCheck("ExFreePoolWithTag with the wrong tag");
        std::memset(p, 0xDD, it->second.size);
        pool.live.erase(it);
    }
    std::free(p);
}

VOID NTAPI ExFreePool(PVOID p) {
    FreeBlock(p, false, 0);
}

VOID NTAPI ExFreePoolWithTag(PVOID p, ULONG tag) {
    FreeBlock(p, true, tag);
}

}  // extern "C"
