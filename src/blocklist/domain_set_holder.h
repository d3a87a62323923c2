#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "blocklist/domain_set.h"

namespace sieveharbor::blocklist {

// The published blocked-domain set. A reader takes one snapshot and judges a name wholly by it;
// a reload builds a new set aside and replaces the old one in one step. The old set is freed
// when its last reader lets go. Neither side ever waits for a load or a file.
//
// The lock covers only the copy or swap of the reference: a few nanoseconds, never a set's
// construction or destruction. (libstdc++'s std::atomic<std::shared_ptr> does the same with a
// spin bit that ThreadSanitizer cannot see, so a plain mutex keeps the race checker useful.)
class DomainSetHolder {
  public:
    DomainSetHolder() : current_(std::make_shared<const DomainSet>()) {}

    std::shared_ptr<const DomainSet> snapshot() const {
        const std::lock_guard lock(mutex_);
        return current_;
    }

    // A null set publishes the empty set, so readers never see null.
    void publish(std::shared_ptr<const DomainSet> set) {
        if (!set) {
            set = std::make_shared<const DomainSet>();
        }
        {
            const std::lock_guard lock(mutex_);
            current_.swap(set);
        }
        version_.fetch_add(1, std::memory_order_release);
        // `set` now holds the old set; if this was its last reference, it is freed here, after
        // the lock is released.
    }

    // Counts publications, so a reader can tell with one atomic load whether its snapshot is
    // still the current set.
    std::uint64_t version() const noexcept { return version_.load(std::memory_order_acquire); }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<const DomainSet> current_;
    std::atomic<std::uint64_t> version_{0};
};

// What a batch of messages is judged by: one snapshot, taken again only when a set has been
// published since, so that a reload between two messages applies to the later one at the cost
// of one atomic load per message instead of a snapshot. One thread at a time.
class SnapshotCursor {
  public:
    explicit SnapshotCursor(const DomainSetHolder& holder) noexcept : holder_(holder) {}

    const DomainSet& current() {
        const std::uint64_t version = holder_.version();
        if (!snapshot_ || version != version_) {
            // The version is read first: a publication in between only makes the next look
            // take the snapshot again.
            version_ = version;
            snapshot_ = holder_.snapshot();
        }
        return *snapshot_;
    }

  private:
    const DomainSetHolder& holder_;
    std::shared_ptr<const DomainSet> snapshot_;
    std::uint64_t version_ = 0;
};

}  // namespace sieveharbor::blocklist
