#include "platform/apple/open_flows.h"

#include "platform/stream_flow.h"
#include "platform/udp_flow.h"

namespace sieveharbor::platform::apple {

namespace {

template <class Seam>
void closeBoth(const std::shared_ptr<Flow>& flow) {
    const auto typed = std::static_pointer_cast<Seam>(flow);
    typed->closeReadWithError(std::nullopt);
    typed->closeWriteWithError(std::nullopt);
}

}  // namespace

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
        const auto flow = weak.lock();
        if (!flow) {
            continue;
        }
        if (flow->kind() == FlowKind::udp) {
            closeBoth<UdpFlow>(flow);
        } else {
            closeBoth<StreamFlow>(flow);
        }
    }
}

}  // namespace sieveharbor::platform::apple
