#pragma once

#include <atomic>
#include <memory>

#include "blocklist/domain_set.h"

namespace sieveharbor::blocklist {

// The published blocked-domain set. A reader takes one snapshot and judges a name wholly by it;
// a reload builds a new set aside and replaces the old one in one atomic store. The old set is
// freed when its last reader lets go. Neither side ever waits for a load or a file.
class DomainSetHolder {
  public:
    DomainSetHolder() : current_(std::make_shared<const DomainSet>()) {}

    std::shared_ptr<const DomainSet> snapshot() const noexcept {
        return current_.load(std::memory_order_acquire);
    }

    // A null set publishes the empty set, so readers never see null.
    void publish(std::shared_ptr<const DomainSet> set) {
        if (!set) {
            set = std::make_shared<const DomainSet>();
        }
        current_.store(std::move(set), std::memory_order_release);
    }

  private:
    std::atomic<std::shared_ptr<const DomainSet>> current_;
};

}  // namespace sieveharbor::blocklist
