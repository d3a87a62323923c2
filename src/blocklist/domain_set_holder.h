#pragma once

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
        // `set` now holds the old set; if this was its last reference, it is freed here, after
        // the lock is released.
    }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<const DomainSet> current_;
};

}  // namespace sieveharbor::blocklist
