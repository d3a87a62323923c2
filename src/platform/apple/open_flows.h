#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/flow.h"

namespace sieveharbor::platform::apple {

// The flows the system has handed the provider, held weakly, so that a provider that is stopped
// closes those still open instead of leaving them to the system. Any thread.
class OpenFlows {
  public:
    void add(const std::shared_ptr<Flow>& flow);
    // Closes every flow still alive, for reading and then for writing, and forgets them all.
    void closeAll();

  private:
    std::mutex mutex_;
    std::vector<std::weak_ptr<Flow>> flows_;
    std::size_t pruneAt_ = 64;  // flows gone are dropped when the list grows to this
};

}  // namespace sieveharbor::platform::apple
