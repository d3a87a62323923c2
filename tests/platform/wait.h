#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace sieveharbor::platform::linux_host {

// A one-shot signal from a queue thread to the test, waited on with a bound.
class Signal {
  public:
    // Notifies under the lock: the waiter may destroy the signal as soon as it sees done_.
    void notify() {
        std::lock_guard lock(mutex_);
        done_ = true;
        cv_.notify_all();
    }
    bool wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [this] { return done_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
};

}  // namespace sieveharbor::platform::linux_host
