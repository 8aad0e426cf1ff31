#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "orrin/parallel.hpp"

namespace {

class RunBoth : public ::testing::TestWithParam<bool> {};

TEST_P(RunBoth, RunsBothPiecesOnce) {
    std::atomic<int> first{0}, second{0};
    orrin::run_both(GetParam(), [&] { ++first; }, [&] { ++second; });
    EXPECT_EQ(first.load(), 1);
    EXPECT_EQ(second.load(), 1);
}

TEST_P(RunBoth, RethrowsTheFirstPiecesErrorFirst) {
    std::atomic<int> second{0};
    EXPECT_THROW(orrin::run_both(
                     GetParam(), [] { throw std::runtime_error("first"); }, [&] { ++second; }),
                 std::runtime_error);
    // Side by side, the second piece has finished before the error leaves.
    if (GetParam()) {
        EXPECT_EQ(second.load(), 1);
    }
    try {
        orrin::run_both(
            GetParam(), [] { throw std::runtime_error("first"); },
            [] { throw std::logic_error("second"); });
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "first");
    }
    EXPECT_THROW(orrin::run_both(
                     GetParam(), [] {}, [] { throw std::logic_error("second"); }),
                 std::logic_error);
}

INSTANTIATE_TEST_SUITE_P(Modes, RunBoth, ::testing::Values(false, true));

}  // namespace
