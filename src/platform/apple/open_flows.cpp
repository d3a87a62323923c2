#include "platform/apple/open_flows.h"

namespace sieveharbor::platform::apple {

void OpenFlows::add(const std::shared_ptr<Flow>& flow) {
    const std::lock_guard lock(mutex_);
    if (flows_.size() >= pruneAt_) {
        std::erase_if(flows_, [](const auto& weak) { return weak.expired(); });
        pruneAt_ = std::max<std::size_t>(64, 2 * flows_.size());
    }
    flows_.push_back(flow);
}

void OpenFlows::closeAll() {
    std::vector<std::weak_ptr<Flow>> open;
    {
        const std::lock_guard lock(mutex_);
        open.swap(flows_);
    }
    for (const auto& weak : open) {
        if (const auto flow = weak.lock()) {
            flow->close();
        }
    }
}

}  // namespace sieveharbor::platform::apple
