#include "flow/datagram_flow.h"

#include <algorithm>

#include "dns/blocked_response.h"

namespace sieveharbor::flow {

namespace {

using platform::DatagramBatch;
using platform::Endpoint;
using platform::FlowError;
using platform::UdpFlow;

void write(UdpFlow& flow, std::vector<std::uint8_t> reply, const Endpoint& endpoint) {
    std::vector<dns::Datagram> replies;
    replies.push_back(std::move(reply));
    flow.writeDatagrams(std::move(replies), {endpoint}, [](std::optional<FlowError>) {});
}

// Where a relayed query's reply goes: back into its flow, for the endpoint that asked.
class DatagramReply final : public ExchangeOwner {
  public:
    DatagramReply(std::shared_ptr<UdpFlow> flow, Endpoint endpoint)
        : flow_(std::move(flow)), endpoint_(std::move(endpoint)) {}

    void exchangeEnded(std::optional<std::vector<std::uint8_t>> reply) override {
        if (reply) {
            write(*flow_, std::move(*reply), endpoint_);
        }
    }

  private:
    const std::shared_ptr<UdpFlow> flow_;
    const Endpoint endpoint_;
};

void readNextBatch(std::weak_ptr<const FlowContext> context, std::shared_ptr<UdpFlow> flow);

void dispatch(const FlowContext& context, blocklist::SnapshotCursor& list,
              const std::shared_ptr<UdpFlow>& flow, dns::Datagram& datagram,
              const Endpoint& endpoint) {
    const auto judgement = context.judge(list, datagram, metrics::Transport::udp);
    switch (judgement.verdict) {
        case Verdict::relay:
            forwardQuery(context.forward(), platform::Transport::datagram, std::move(datagram),
                         std::make_shared<DatagramReply>(flow, endpoint));
            return;
        case Verdict::drop:
            return;
        case Verdict::answer: {
            std::vector<std::uint8_t> reply;
            dns::appendBlockedResponse(datagram, judgement.question, reply);
            write(*flow, std::move(reply), endpoint);
            return;
        }
    }
}

void handleBatch(const std::weak_ptr<const FlowContext>& weak, const std::shared_ptr<UdpFlow>& flow,
                 std::optional<DatagramBatch> batch, std::optional<FlowError> error) {
    const auto context = weak.lock();  // held for the whole batch
    if (!context || !batch || error) {
        flow->close(error);
        return;
    }
    if (batch->datagrams.empty()) {
        return;  // nothing more will come: neither read again nor closed
    }
    // One snapshot for the batch, taken again only if a reload lands within it.
    blocklist::SnapshotCursor list(context->blocked());
    // A datagram without an endpoint has nowhere for its reply to go.
    const std::size_t count = std::min(batch->datagrams.size(), batch->endpoints.size());
    for (std::size_t i = 0; i < count; ++i) {
        dispatch(*context, list, flow, batch->datagrams[i], batch->endpoints[i]);
    }
    readNextBatch(weak, flow);
}

void readNextBatch(std::weak_ptr<const FlowContext> context, std::shared_ptr<UdpFlow> flow) {
    auto& target = *flow;
    target.readDatagramsWithCompletionHandler(
        [context = std::move(context), flow = std::move(flow)](std::optional<DatagramBatch> batch,
                                                               std::optional<FlowError> error) {
            handleBatch(context, flow, std::move(batch), error);
        });
}

}  // namespace

void serveDatagramFlow(std::weak_ptr<const FlowContext> context, std::shared_ptr<UdpFlow> flow) {
    auto& target = *flow;
    target.openWithLocalEndpoint(
        [context = std::move(context), flow = std::move(flow)](std::optional<FlowError> error) {
            // Gone or not opened: the flow is left alone, neither read nor closed.
            if (context.expired() || error) {
                return;
            }
            readNextBatch(context, flow);
        });
}

}  // namespace sieveharbor::flow
