#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace sieveharbor {

// How long a test waits for something that must happen. Only a fault runs it out, so it is set
// for a machine loaded with other work, where a wake-up can take far longer than it should.
inline constexpr std::chrono::milliseconds kPatience = std::chrono::seconds(10);

// Polls a condition until it holds or the bound passes; true when it held. Every wait of the
// tests is bounded, so a fault fails a test instead of hanging it.
template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds bound = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A one-shot flag that another thread sets and the test waits for, boundedly.
class Signal {
  public:
    void notify() noexcept { done_.store(true, std::memory_order_release); }
    bool wait(std::chrono::milliseconds bound = kPatience) const {
        return waitFor([this] { return done_.load(std::memory_order_acquire); }, bound);
    }

  private:
    std::atomic<bool> done_{false};
};

}  // namespace sieveharbor
