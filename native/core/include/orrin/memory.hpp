// Memory for passes over millions of rows.
//
// A fresh block is backed page by page on first touch, and the kernel zeroes every page it
// backs: for a pass that writes a block once, that costs as much as the pass. Two remedies:
// - blocks of 4 MiB and more ask for transparent huge pages, as numpy does for its own
//   arrays, so that one fault backs 2 MiB;
// - blocks of 32 MiB and more, once freed through `block_free` (and blocks of 4 MiB and more
//   freed through `block_keep`), are kept for reuse by the next `block_alloc` of a similar
//   size instead of going back to the kernel (a few of them, at most 64 MiB unless
//   set_cache_limit says otherwise). The pages of kept blocks of 32 MiB and more are marked
//   reclaimable meanwhile, so under memory pressure the kernel takes them back instead of
//   swapping; smaller ones stay as they are.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

namespace orrin {

// Advice only: marks the 2 MiB-aligned interior of [p, p + bytes) for huge pages when it is
// at least 4 MiB (Linux); does nothing elsewhere or when the kernel declines.
void advise_huge_pages(void* p, std::size_t bytes);

// A block of at least `bytes` bytes (nonzero), uninitialised, suitably aligned for any
// scalar; std::bad_alloc when none can be had. Large blocks come from the reuse cache when
// it holds one that fits, else from malloc with the huge-page advice.
void* block_alloc(std::size_t bytes);
// Frees a block from block_alloc, malloc or realloc (null is ignored); large ones are kept
// for reuse. Safe from any thread.
void block_free(void* p) noexcept;
// Hands every kept block back to the system; returns the bytes they held.
std::size_t release_cached_blocks() noexcept;
// Keeps at most `bytes` in the reuse cache from now on (64 MiB to begin with), handing back
// the oldest blocks beyond it; returns the previous limit. A block larger than the limit is
// never kept, so 0 keeps nothing.
std::size_t set_cache_limit(std::size_t bytes) noexcept;
// Bytes held by the reuse cache now.
std::size_t cached_block_bytes() noexcept;

// Frees like block_free but keeps blocks from 4 MiB on, for scratch that every call of a pass
// needs again at the same size. Smaller large blocks (below 32 MiB) are otherwise left to
// malloc, which maps and unmaps them as its heap grows and shrinks.
void block_keep(void* p) noexcept;

struct BlockDeleter {
    void operator()(void* p) const { block_free(p); }
};
template <typename T>
using ScratchArray = std::unique_ptr<T[], BlockDeleter>;

struct KeepDeleter {
    void operator()(void* p) const { block_keep(p); }
};
template <typename T>
using ReusedArray = std::unique_ptr<T[], KeepDeleter>;

// n uninitialised values of a trivially copyable T.
template <typename T>
ScratchArray<T> scratch_array(std::size_t n) {
    return ScratchArray<T>(static_cast<T*>(block_alloc(std::max<std::size_t>(n, 1) * sizeof(T))));
}
// The same, handed back through block_keep.
template <typename T>
ReusedArray<T> reused_array(std::size_t n) {
    return ReusedArray<T>(scratch_array<T>(n).release());
}

}  // namespace orrin
