#include "flow/datagram_flow.h"

#include <algorithm>

#include "dns/blocked_response.h"

namespace sieveharbor::flow {

namespace {

using platform::Endpoint;
using platform::FlowError;
using platform::UdpFlow;

void readNextBatch(std::weak_ptr<const Pipeline> pipeline, std::shared_ptr<UdpFlow> flow);

void dispatch(const Pipeline& pipeline, blocklist::SnapshotCursor& list,
              const std::shared_ptr<UdpFlow>& flow, dns::Datagram& datagram,
              const Endpoint& endpoint) {
    const auto judgement = pipeline.judge(list, datagram, metrics::Transport::udp);
    switch (judgement.verdict) {
        case Verdict::relay:
            forwardQuery(pipeline.forward(), std::move(datagram), flow, endpoint,
                         pipeline.upstreamHost());
            return;
        case Verdict::drop:
            return;
        case Verdict::answer: {
            std::vector<dns::Datagram> replies(1);
            dns::appendBlockedResponse(datagram, judgement.question, replies[0]);
            flow->writeDatagrams(std::move(replies), {endpoint}, [](std::optional<FlowError>) {});
            return;
        }
    }
}

void handleDatagrams(const std::weak_ptr<const Pipeline>& weak,
                     const std::shared_ptr<UdpFlow>& flow,
                     std::optional<std::vector<dns::Datagram>> datagrams,
                     std::optional<std::vector<Endpoint>> endpoints,
                     std::optional<FlowError> error) {
    const auto pipeline = weak.lock();  // held for the whole batch
    if (!pipeline || !datagrams || !endpoints || error) {
        flow->closeReadWithError(error);
        flow->closeWriteWithError(error);
        return;
    }
    if (datagrams->empty()) {
        return;  // nothing more will come: neither read again nor closed
    }
    // One snapshot for the batch, taken again only if a reload lands within it.
    blocklist::SnapshotCursor list(pipeline->blocked());
    // A datagram without an endpoint has nowhere for its reply to go.
    const std::size_t count = std::min(datagrams->size(), endpoints->size());
    for (std::size_t i = 0; i < count; ++i) {
        dispatch(*pipeline, list, flow, (*datagrams)[i], (*endpoints)[i]);
    }
    readNextBatch(weak, flow);
}

void readNextBatch(std::weak_ptr<const Pipeline> pipeline, std::shared_ptr<UdpFlow> flow) {
    auto& target = *flow;
    target.readDatagramsWithCompletionHandler(
        [pipeline = std::move(pipeline), flow = std::move(flow)](
            std::optional<std::vector<dns::Datagram>> datagrams,
            std::optional<std::vector<Endpoint>> endpoints, std::optional<FlowError> error) {
            handleDatagrams(pipeline, flow, std::move(datagrams), std::move(endpoints), error);
        });
}

}  // namespace

void serveDatagramFlow(std::weak_ptr<const Pipeline> pipeline, std::shared_ptr<UdpFlow> flow) {
    auto& target = *flow;
    target.openWithLocalEndpoint(
        [pipeline = std::move(pipeline), flow = std::move(flow)](std::optional<FlowError> error) {
            // Gone or not opened: the flow is left alone, neither read nor closed.
            if (pipeline.expired() || error) {
                return;
            }
            readNextBatch(pipeline, flow);
        });
}

}  // namespace sieveharbor::flow
