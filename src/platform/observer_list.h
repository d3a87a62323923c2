#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace sieveharbor::platform {

// Observers of one kind of change, keyed by their addresses, for a seam that calls them back on
// a thread of its own. Once removeEvery(observer) has returned, no callback of that observer is
// running (unless the caller is that very callback) or will run, so an observer may be
// destroyed right after removing itself. Any thread; deliveries run one at a time.
class ObserverList {
  public:
    using Callback = std::function<void()>;

    // Adds `callback` for `observer`, in place of any it had.
    void add(const void* observer, Callback callback);
    void removeEvery(const void* observer);
    // Calls every observer's callback on the calling thread, skipping one removed meanwhile.
    void deliver();
    bool empty() const;

  private:
    using Entry = std::pair<const void*, std::shared_ptr<Callback>>;

    mutable std::mutex mutex_;  // guards observers_
    std::vector<Entry> observers_;
    std::mutex deliveryMutex_;  // held through each delivery
    std::atomic<std::thread::id> deliveringThread_{};
};

}  // namespace sieveharbor::platform
