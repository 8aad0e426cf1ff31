// Scratch arrays for passes over millions of rows. A fresh block is backed page by page on
// first touch, and with 4 KiB pages those faults can cost more than the pass that writes
// the block; blocks of 4 MiB and more therefore ask for transparent huge pages, as numpy
// does for its own arrays.
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

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using ScratchArray = std::unique_ptr<T[], FreeDeleter>;

// n uninitialised values of a trivially copyable T.
template <typename T>
ScratchArray<T> scratch_array(std::size_t n) {
    const std::size_t bytes = std::max<std::size_t>(n, 1) * sizeof(T);
    void* p = std::malloc(bytes);
    if (p == nullptr) throw std::bad_alloc();
    advise_huge_pages(p, bytes);
    return ScratchArray<T>(static_cast<T*>(p));
}

}  // namespace orrin
