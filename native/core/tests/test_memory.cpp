#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "orrin/memory.hpp"
#include "orrin/regions.hpp"

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

class BlockCache : public ::testing::Test {
  protected:
    void SetUp() override { orrin::release_cached_blocks(); }
    void TearDown() override { orrin::release_cached_blocks(); }
};

// A block of `bytes`, written throughout and handed to `release`, which must keep it.
void* written_and_kept(std::size_t bytes, void (*release)(void*) noexcept) {
    void* p = orrin::block_alloc(bytes);
    std::memset(p, 1, bytes);
    release(p);
    EXPECT_GE(orrin::cached_block_bytes(), bytes);
    return p;
}

TEST_F(BlockCache, FreedLargeBlockServesTheNextRequestOfItsSize) {
    void* p = written_and_kept(60 * kMiB, orrin::block_free);
    // A request of less than half its size does not take it.
    void* small = orrin::block_alloc(29 * kMiB);
    EXPECT_NE(small, p);
    std::free(small);  // plain malloc blocks may be freed either way
    void* again = orrin::block_alloc(50 * kMiB);
    EXPECT_EQ(again, p);
    EXPECT_EQ(orrin::cached_block_bytes(), 0u);
    std::memset(again, 2, 50 * kMiB);  // writable throughout
    orrin::block_free(again);
}

TEST_F(BlockCache, SmallBlocksGoBackToMalloc) {
    for (std::size_t bytes : {std::size_t{1}, std::size_t{4096}, 5 * kMiB, 31 * kMiB}) {
        orrin::block_free(orrin::block_alloc(bytes));
        EXPECT_EQ(orrin::cached_block_bytes(), 0u) << bytes;
    }
    orrin::block_free(nullptr);
}

TEST_F(BlockCache, KeptScratchFrom4MiBServesTheNextRequestOfItsSize) {
    void* p = written_and_kept(8 * kMiB, orrin::block_keep);
    void* again = orrin::block_alloc(8 * kMiB);
    EXPECT_EQ(again, p);
    std::memset(again, 2, 8 * kMiB);
    // Freed the usual way, a block of that size goes back to malloc; so does a small one kept.
    orrin::block_free(again);
    EXPECT_EQ(orrin::cached_block_bytes(), 0u);
    orrin::block_keep(orrin::block_alloc(3 * kMiB));
    EXPECT_EQ(orrin::cached_block_bytes(), 0u);
    orrin::block_keep(nullptr);
}

TEST_F(BlockCache, KeepsAFewBlocksOfBoundedTotal) {
    const std::size_t previous = orrin::set_cache_limit(512 * kMiB);
    std::vector<void*> blocks;
    for (int k = 0; k < 12; ++k) blocks.push_back(orrin::block_alloc(33 * kMiB));
    for (void* p : blocks) orrin::block_free(p);
    EXPECT_LE(orrin::cached_block_bytes(), 8 * 34 * kMiB);
    EXPECT_GE(orrin::cached_block_bytes(), 8 * 33 * kMiB);
    // Far larger blocks than the cache may hold are freed at once.
    orrin::block_free(orrin::block_alloc(600 * kMiB));
    EXPECT_LE(orrin::cached_block_bytes(), 512 * kMiB);
    orrin::set_cache_limit(previous);
}

TEST_F(BlockCache, LimitBoundsWhatStaysAfterACall) {
    // 64 MiB by default: of three 33 MiB blocks one stays.
    EXPECT_EQ(orrin::set_cache_limit(64 * kMiB), 64 * kMiB);
    std::vector<void*> blocks;
    for (int k = 0; k < 3; ++k) blocks.push_back(orrin::block_alloc(33 * kMiB));
    for (void* p : blocks) orrin::block_free(p);
    EXPECT_GE(orrin::cached_block_bytes(), 33 * kMiB);
    EXPECT_LE(orrin::cached_block_bytes(), 64 * kMiB);
    // A block above the limit is not kept at all.
    orrin::block_free(orrin::block_alloc(80 * kMiB));
    EXPECT_LE(orrin::cached_block_bytes(), 64 * kMiB);
    // Lowering the limit hands back what is above it; 0 keeps nothing.
    EXPECT_EQ(orrin::set_cache_limit(0), 64 * kMiB);
    EXPECT_EQ(orrin::cached_block_bytes(), 0u);
    orrin::block_free(orrin::block_alloc(33 * kMiB));
    EXPECT_EQ(orrin::cached_block_bytes(), 0u);
    orrin::set_cache_limit(64 * kMiB);
    orrin::block_free(orrin::block_alloc(33 * kMiB));
    EXPECT_GT(orrin::release_cached_blocks(), 0u);
    EXPECT_EQ(orrin::cached_block_bytes(), 0u);
}

TEST_F(BlockCache, GrowingArrayKeepsItsValuesThroughReusedBlocks) {
    orrin::block_free(orrin::block_alloc(64 * kMiB));
    for (int round = 0; round < 2; ++round) {
        orrin::Appendable<std::int64_t> values(5 * kMiB);  // a kept block
        for (std::size_t i = 0; i < 12 * kMiB; ++i) {      // grows by realloc
            *values.reserve(1) = static_cast<std::int64_t>(i);
            values.grow(1);
        }
        ASSERT_EQ(values.size(), 12 * kMiB);
        bool same = true;
        for (std::size_t i = 0; i < values.size(); ++i) {
            same = same && values.data()[i] == static_cast<std::int64_t>(i);
        }
        EXPECT_TRUE(same);
    }
}

#if defined(__linux__)
TEST_F(BlockCache, ForkWhileAnotherThreadUsesTheCacheLeavesTheChildAUsableCache) {
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        // Twelve blocks freed at once: the cache evicts (and unmaps) under its lock.
        while (!stop) {
            void* blocks[12];
            for (void*& p : blocks) p = orrin::block_alloc(33 * kMiB);
            for (void* p : blocks) orrin::block_free(p);
        }
    });
    bool all_exited = true;
    for (int k = 0; k < 200 && all_exited; ++k) {
        const pid_t child = fork();
        if (child == 0) {
            alarm(10);  // a child stuck on a lock held at fork dies of SIGALRM
            orrin::block_free(orrin::block_alloc(33 * kMiB));
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        all_exited = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    stop = true;
    busy.join();
    EXPECT_TRUE(all_exited);
}
#endif

}  // namespace
