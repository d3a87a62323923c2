#pragma once

#include <chrono>
#include <thread>

namespace sieveharbor {

// Polls a condition until it holds or the bound passes; true when it held.
template <typename Condition>
bool waitFor(Condition condition,
             std::chrono::milliseconds bound = std::chrono::milliseconds(2000)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace sieveharbor
