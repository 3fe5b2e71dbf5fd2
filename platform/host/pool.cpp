// Non-paged pool of the host platform: every allocation recorded with its tag so tests can
// find leaks, and refusable on demand so every out-of-memory path can be driven.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host/host_control.h"
#include "platform/host/pool_internal.h"
#include "platform/host/sync_internal.h"

namespace {

struct Block {
    ULONG tag;
    size_t size;
    uint64_t sequence;
    bool paged;
};

// The live blocks by address: open addressing with linear probing, so recording a block
// costs no allocation of its own and a lookup touches one or two slots.
class LiveBlocks {
public:
    size_t size() const { return count_; }

    void Insert(void* p, const Block& block) {
        if ((used_ + 1) * 2 > slots_.size())
            Rehash(slots_.empty()                     ? 1024
                   : (count_ + 1) * 4 > slots_.size() ? slots_.size() * 2
                                                      : slots_.size());
        size_t i = Probe(p);
        for (;; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i].key == nullptr || slots_[i].key == Tombstone())
                break;
        }
        used_ += slots_[i].key == nullptr;
        slots_[i] = Slot{p, block};
        ++count_;
    }

    // The block recorded at p, or null.
    const Block* Find(void* p) const {
        if (slots_.empty())
            return nullptr;
        for (size_t i = Probe(p);; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i].key == p)
                return &slots_[i].block;
            if (slots_[i].key == nullptr)
                return nullptr;
        }
    }

    void Erase(void* p) {
        for (size_t i = Probe(p);; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i].key == p) {
                slots_[i].key = Tombstone();
                --count_;
                return;
            }
        }
    }

    template <typename F>
    void ForEach(F f) const {
        for (const Slot& slot : slots_) {
            if (slot.key && slot.key != Tombstone())
                f(slot.key, slot.block);
        }
    }

private:
    struct Slot {
        void* key = nullptr;  // null: never used; Tombstone(): freed
        Block block{};
    };
    static void* Tombstone() { return reinterpret_cast<void*>(uintptr_t(1)); }
    size_t Probe(void* p) const {
        uint64_t h = uint64_t(uintptr_t(p)) * 0x9E3779B97F4A7C15ULL;
        return size_t(h >> 32) & (slots_.size() - 1);
    }
    void Rehash(size_t capacity) {
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.assign(capacity, Slot{});
        count_ = used_ = 0;
        for (const Slot& slot : old) {
            if (slot.key && slot.key != Tombstone())
                Insert(slot.key, slot.block);
        }
    }

    std::vector<Slot> slots_;  // a power of two long
    size_t count_ = 0;         // live blocks
    size_t used_ = 0;          // slots live or tombstoned
};

struct Pool {
    std::mutex lock;
    LiveBlocks live;
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
void RecordPoolRefusal(ULONG tag, size_t size);  // pool_refusal.cpp

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
    ThePool().live.ForEach([&](void*, const Block& b) { n += b.tag == tag; });
    return n;
}

size_t PoolLiveBytes() {
    std::lock_guard<std::mutex> g(ThePool().lock);
    size_t n = 0;
    ThePool().live.ForEach([&](void*, const Block& b) { n += b.size; });
    return n;
}

std::string PoolLeaksSince(uint64_t sinceSequence) {
    std::lock_guard<std::mutex> g(ThePool().lock);
    std::vector<std::pair<void*, Block>> leaked;
    ThePool().live.ForEach([&](void* p, const Block& b) {
        if (b.sequence > sinceSequence)
            leaked.emplace_back(p, b);
    });
    std::sort(leaked.begin(), leaked.end(),
              [](const auto& a, const auto& b) { return a.second.sequence < b.second.sequence; });
    std::ostringstream out;
    for (auto& [p, b] : leaked) {
        out << "  leaked " << b.size << " bytes tagged \"" << PoolTagName(b.tag)
            << "\" (allocation #" << b.sequence << ") at " << p << "\n";
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

void BugCheck(const char* code, const std::string& what) {
    BugCheck((std::string(code) + ": " + what).c_str());
}

constexpr ULONG kPoolBufferTag = PoolTag("HBuf");

PoolBuffer::~PoolBuffer() {
    if (data_)
        ExFreePoolWithTag(data_, kPoolBufferTag);
}

void PoolBuffer::assign(size_t size, uint8_t fill) {
    if (data_)
        ExFreePoolWithTag(data_, kPoolBufferTag);
    data_ = size
                ? static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kPoolBufferTag))
                : nullptr;
    size_ = data_ ? size : 0;
    if (data_)
        std::memset(data_, fill, size);
}

bool PoolRangeIsNonPaged(const void* start, size_t length) {
    auto first = uintptr_t(start);
    std::lock_guard<std::mutex> g(ThePool().lock);
    bool inside = false;
    ThePool().live.ForEach([&](void* p, const Block& b) {
        auto base = uintptr_t(p);
        if (!b.paged && first >= base && first - base <= b.size &&
            length <= b.size - (first - base))
            inside = true;
    });
    return inside;
}

}  // namespace host

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag) {
    Pool& pool = ThePool();
    if (type != NonPagedPool && type != NonPagedPoolNx && type != PagedPool)
        host::BugCheck("BAD_POOL_CALLER", "ExAllocatePoolWithTag with an unknown pool type");
    const bool paged = type == PagedPool;
    if (KeGetCurrentIrql() > (paged ? APC_LEVEL : DISPATCH_LEVEL)) {
        host::BugCheck("BAD_POOL_CALLER", std::string("ExAllocatePoolWithTag") +
                                              (paged ? "(PagedPool)" : "") + " at IRQL " +
                                              std::to_string(int(KeGetCurrentIrql())));
    }
    // Windows answers these two with a block; Driver Verifier stops them as the bugs they are.
    if (size == 0)
        host::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "ExAllocatePoolWithTag of zero bytes");
    if (tag == 0)
        host::BugCheck("BAD_POOL_CALLER", "ExAllocatePoolWithTag with a tag of zero");
    // The x64 pool aligns every block to 16 bytes; nothing promises it is zeroed, so fill it
    // with a pattern that makes a forgotten initialisation visible. The block is taken before
    // the sequence number so that numbering, refusal and recording are one step under the lock.
    void* p = std::aligned_alloc(16, (size + 15) & ~size_t(15));
    std::unique_lock<std::mutex> g(pool.lock);
    uint64_t sequence = ++pool.sequence;
    if ((pool.failAt && sequence == pool.failAt) || (pool.failTagArmed && tag == pool.failTag)) {
        if (sequence == pool.failAt)
            pool.failAt = 0;
        ++pool.refused;
        g.unlock();
        host::RecordPoolRefusal(tag, size);
        std::free(p);
        return nullptr;
    }
    if (!p)
        return nullptr;
    pool.live.Insert(p, Block{tag, size, sequence, paged});
    g.unlock();
    std::memset(p, 0xA5, size);
    return p;
}

static void FreeBlock(PVOID p, bool checkTag, ULONG tag) {
    if (!p)
        host::BugCheck("BAD_POOL_CALLER", "ExFreePool of a null pointer");
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePool");
    Pool& pool = ThePool();
    size_t size;
    {
        std::unique_lock<std::mutex> g(pool.lock);
        const Block* block = pool.live.Find(p);
        const char* fault = !block ? "ExFreePool of a block not allocated (double free?)"
                            : checkTag && block->tag != tag ? "ExFreePoolWithTag with the wrong tag"
                                                            : nullptr;
        if (!fault && block->paged && KeGetCurrentIrql() > APC_LEVEL)
            fault = "ExFreePool of paged pool above APC_LEVEL";
        if (fault) {
            g.unlock();
            host::BugCheck("BAD_POOL_CALLER", fault);
        }
        size = block->size;
        pool.live.Erase(p);
    }
    // No longer recorded, not yet released: still only ours to write.
    std::memset(p, 0xDD, size);
    std::free(p);
}

VOID NTAPI ExFreePool(PVOID p) {
    FreeBlock(p, false, 0);
}

VOID NTAPI ExFreePoolWithTag(PVOID p, ULONG tag) {
    FreeBlock(p, true, tag);
}

}  // extern "C"
