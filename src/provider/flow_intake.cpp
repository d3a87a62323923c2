// Intake of flows and dispatch of their datagrams: each datagram is judged against one snapshot
// of the blocklist, and then answered, dropped or relayed.

#include <algorithm>

#include "flow/verdict.h"
#include "provider/dns_proxy_provider.h"

namespace sieveharbor::provider {

bool DNSProxyProvider::handleNewFlow(const std::shared_ptr<flow::Flow>& flow) {
    if (!flow || flow->kind() != flow::FlowKind::udp) {
        return false;
    }
    auto udp = std::static_pointer_cast<flow::UdpFlow>(flow);
    udp->openWithLocalEndpoint(
        [weak = weak_from_this(), udp](std::optional<flow::FlowError> error) {
            // Gone or not opened: the flow is left alone, neither read nor closed.
            if (weak.expired() || error) {
                return;
            }
            readNextBatch(weak, udp);
        });
    return true;
}

void DNSProxyProvider::readNextBatch(const std::weak_ptr<DNSProxyProvider>& provider,
                                     const std::shared_ptr<flow::UdpFlow>& flow) {
    flow->readDatagramsWithCompletionHandler(
        [provider, flow](std::optional<std::vector<dns::Datagram>> datagrams,
                         std::optional<std::vector<flow::Endpoint>> endpoints,
                         std::optional<flow::FlowError> error) {
            handleDatagrams(provider, flow, std::move(datagrams), std::move(endpoints), error);
        });
}

void DNSProxyProvider::handleDatagrams(const std::weak_ptr<DNSProxyProvider>& provider,
                                       const std::shared_ptr<flow::UdpFlow>& flow,
                                       std::optional<std::vector<dns::Datagram>> datagrams,
                                       std::optional<std::vector<flow::Endpoint>> endpoints,
                                       std::optional<flow::FlowError> error) {
    const auto self = provider.lock();  // held for the whole batch
    if (!self || !datagrams || !endpoints || error) {
        flow->closeReadWithError(error);
        flow->closeWriteWithError(error);
        return;
    }
    if (datagrams->empty()) {
        return;  // nothing more will come: neither read again nor closed
    }
    // A datagram without an endpoint has nowhere for its reply to go.
    const std::size_t count = std::min(datagrams->size(), endpoints->size());
    for (std::size_t i = 0; i < count; ++i) {
        self->dispatch(flow, (*datagrams)[i], (*endpoints)[i]);
    }
    // Read on: a client may send its next query on the same socket (glibc sends A and AAAA
    // together), and one read per flow would leave it unanswered.
    readNextBatch(provider, flow);
}

void DNSProxyProvider::dispatch(const std::shared_ptr<flow::UdpFlow>& flow, dns::Datagram& datagram,
                                const flow::Endpoint& endpoint) {
    const auto snapshot = blockedDomains.snapshot();
    auto judgement = flow::judgeMessage(datagram, *snapshot);
    flow::countJudgement(*forward_.counters(), metrics::Transport::udp, judgement);
    switch (judgement.verdict) {
        case flow::Verdict::relay:
            flow::forwardQuery(forward_, std::move(datagram), flow, endpoint, safeDNSAddress);
            return;
        case flow::Verdict::drop:
            return;
        case flow::Verdict::answer: {
            std::vector<dns::Datagram> replies;
            replies.push_back(std::move(*judgement.reply));
            flow->writeDatagrams(std::move(replies), {endpoint},
                                 [](std::optional<flow::FlowError>) {});
            return;
        }
    }
}

}  // namespace sieveharbor::provider
