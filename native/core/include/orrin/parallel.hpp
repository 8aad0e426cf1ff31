// Two independent pieces of work run side by side (the training and the test set of one fit).
#pragma once

#include <future>
#include <system_error>
#include <thread>

namespace orrin {

// Runs first() and second() and returns when both are done. second() runs on a thread of
// its own when `parallel` is set and the machine has a second hardware thread (or in turn
// when no thread can be started). An exception of either is rethrown, first()'s first; in
// turn, an exception of first() leaves second() unrun.
template <typename F, typename G>
void run_both(bool parallel, F&& first, G&& second) {
    if (parallel && std::thread::hardware_concurrency() > 1) {
        std::future<void> other;
        try {
            other = std::async(std::launch::async, [&second] { second(); });
        } catch (const std::system_error&) {
            parallel = false;
        }
        if (parallel) {
            try {
                first();
            } catch (...) {
                other.wait();
                throw;
            }
            other.get();
            return;
        }
    }
    first();
    second();
}

}  // namespace orrin
