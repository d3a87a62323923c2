// Intake of flows: every flow the platform hands over is served through the one pipeline, a UDP
// flow as datagrams and a TCP flow as a stream of framed messages.

#include "flow/datagram_flow.h"
#include "flow/stream_session.h"
#include "provider/dns_proxy_provider.h"

namespace sieveharbor::provider {

bool DNSProxyProvider::handleNewFlow(const std::shared_ptr<platform::Flow>& flow) {
    if (!flow) {
        return false;
    }
    // Held weakly by the flow's completions; locking it holds the whole provider for one callback.
    const std::weak_ptr<const flow::Pipeline> pipeline =
        std::shared_ptr<const flow::Pipeline>(shared_from_this(), &pipeline_);
    switch (flow->kind()) {
        case platform::FlowKind::udp:
            flow::serveDatagramFlow(pipeline, std::static_pointer_cast<platform::UdpFlow>(flow));
            return true;
        case platform::FlowKind::tcp:
            flow::serveStreamFlow(pipeline, std::static_pointer_cast<platform::StreamFlow>(flow));
            return true;
    }
    return false;
}

}  // namespace sieveharbor::provider
