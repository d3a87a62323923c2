// Intake of flows: every flow the platform hands over is served with the one flow context, a UDP
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
    const std::weak_ptr<const flow::FlowContext> context =
        std::shared_ptr<const flow::FlowContext>(shared_from_this(), &context_);
    switch (flow->kind()) {
        case platform::FlowKind::udp:
            flow::serveDatagramFlow(context, std::static_pointer_cast<platform::UdpFlow>(flow));
            return true;
        case platform::FlowKind::tcp:
            flow::serveStreamFlow(context, std::static_pointer_cast<platform::StreamFlow>(flow));
            return true;
    }
    return false;
}

}  // namespace sieveharbor::provider
