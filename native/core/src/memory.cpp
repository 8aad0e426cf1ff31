#include "orrin/memory.hpp"

#include <cstdint>
#include <mutex>
#include <vector>

#if defined(__linux__)
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace orrin {

namespace {

constexpr std::size_t kHuge = std::size_t{1} << 21;
// Blocks this large and larger are advised huge pages.
constexpr std::size_t kLargeBytes = 2 * kHuge;
// Blocks this large and larger are kept for reuse when freed through block_free (block_keep
// keeps them from kLargeBytes on). malloc maps them afresh on every call and unmaps them on
// free; smaller blocks it mostly recycles itself, and keeping those here would only take them
// from it.
constexpr std::size_t kKeptBytes = std::size_t{32} << 20;
// The reuse cache holds at most this many blocks, and at most `limit` bytes (64 MiB unless
// set_cache_limit changes it); the oldest go first.
constexpr std::size_t kCachedBlocks = 8;
constexpr std::size_t kDefaultCachedBytes = std::size_t{64} << 20;

struct Kept {
    void* p;
    std::size_t bytes;
};

struct Cache {
    std::mutex lock;
    std::vector<Kept> blocks;  // oldest first
    std::size_t bytes = 0;
    std::size_t limit = kDefaultCachedBytes;

    // Frees the oldest blocks until at most `blocks_kept` blocks and `limit` bytes remain;
    // the lock is held.
    void trim(std::size_t blocks_kept) {
        std::size_t drop = 0;
        while (blocks.size() - drop > blocks_kept || bytes > limit) {
            bytes -= blocks[drop].bytes;
            std::free(blocks[drop].p);
            ++drop;
        }
        blocks.erase(blocks.begin(), blocks.begin() + static_cast<std::ptrdiff_t>(drop));
    }
};

Cache& cache() {
    // Never destroyed: blocks may be freed while the process exits. A fork while another
    // thread holds the lock would leave the child's copy locked for good, so the lock is
    // taken around fork.
    static Cache* c = [] {
        Cache* made = new Cache;
#if defined(__linux__)
        pthread_atfork([] { cache().lock.lock(); }, [] { cache().lock.unlock(); },
                       [] { cache().lock.unlock(); });
#endif
        return made;
    }();
    return *c;
}

std::size_t usable_size(void* p) {
#if defined(__linux__)
    return malloc_usable_size(p);
#else
    (void)p;
    return 0;  // unknown: nothing is kept
#endif
}

// Lets the kernel reclaim the whole pages strictly inside a kept block. The first and last
// page are left alone: the allocator keeps its own records next to the block.
void mark_reclaimable(void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_FREE)
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t begin = (start + 2 * page - 1) & ~(page - 1);
    const std::uintptr_t end = (start + bytes - page) & ~(page - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_FREE);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace

void advise_huge_pages(void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (p == nullptr || bytes < kLargeBytes) return;
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t begin = (start + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t end = (start + bytes) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

void* block_alloc(std::size_t bytes) {
    if (bytes >= kLargeBytes) {
        Cache& c = cache();
        const std::lock_guard<std::mutex> hold(c.lock);
        // The smallest kept block that fits without wasting more than it holds.
        std::size_t best = c.blocks.size();
        for (std::size_t k = 0; k < c.blocks.size(); ++k) {
            const std::size_t have = c.blocks[k].bytes;
            if (have < bytes || have / 2 > bytes) continue;
            if (best == c.blocks.size() || have < c.blocks[best].bytes) best = k;
        }
        if (best < c.blocks.size()) {
            void* p = c.blocks[best].p;
            c.bytes -= c.blocks[best].bytes;
            c.blocks.erase(c.blocks.begin() + static_cast<std::ptrdiff_t>(best));
            return p;
        }
    }
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    advise_huge_pages(p, bytes);
    return p;
}

namespace {

// Keeps p for reuse when it holds kept_from bytes or more, else frees it.
void free_block(void* p, std::size_t kept_from) noexcept {
    if (p == nullptr) return;
    const std::size_t bytes = usable_size(p);
    Cache& c = cache();
    const std::lock_guard<std::mutex> hold(c.lock);
    if (bytes < kept_from || bytes > c.limit) {
        std::free(p);
        return;
    }
    // Scratch below kKeptBytes stays as it is: marking it costs a system call, and the
    // kernel splitting its huge pages, on every call that hands it back.
    if (bytes >= kKeptBytes) mark_reclaimable(p, bytes);
    try {
        c.blocks.push_back({p, bytes});
    } catch (...) {
        std::free(p);
        return;
    }
    c.bytes += bytes;
    c.trim(kCachedBlocks);
}

}  // namespace

void block_free(void* p) noexcept { free_block(p, kKeptBytes); }

void block_keep(void* p) noexcept { free_block(p, kLargeBytes); }

std::size_t release_cached_blocks() noexcept {
    Cache& c = cache();
    const std::lock_guard<std::mutex> hold(c.lock);
    const std::size_t released = c.bytes;
    c.trim(0);
    return released;
}

std::size_t set_cache_limit(std::size_t bytes) noexcept {
    Cache& c = cache();
    const std::lock_guard<std::mutex> hold(c.lock);
    const std::size_t previous = c.limit;
    c.limit = bytes;
    c.trim(kCachedBlocks);
    return previous;
}

std::size_t cached_block_bytes() noexcept {
    Cache& c = cache();
    const std::lock_guard<std::mutex> hold(c.lock);
    return c.bytes;
}

}  // namespace orrin
