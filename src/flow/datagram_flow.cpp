#include "flow/datagram_flow.h"

#include <atomic>

#include "dns/blocked_response.h"

namespace sieveharbor::flow {

namespace {

using platform::DatagramBatch;
using platform::Endpoint;
using platform::FlowError;
using platform::UdpFlow;

// A flow being served, closed once its work has ended: its reading, and every exchange it
// started. The reading holds one count of its own until it ends, and each relayed query one,
// so the last of them to end closes the flow, once.
class ServedFlow {
  public:
    explicit ServedFlow(std::shared_ptr<UdpFlow> flow) : flow_(std::move(flow)) {}

    UdpFlow& flow() const noexcept { return *flow_; }
    void hold() noexcept { holds_.fetch_add(1, std::memory_order_relaxed); }
    void release() {
        if (holds_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            close(std::nullopt);
        }
    }
    // Closes at once: a failed read ends the flow whatever is still on its way.
    void close(std::optional<FlowError> error) {
        if (!closed_.exchange(true)) {
            flow_->close(error);
        }
    }

  private:
    const std::shared_ptr<UdpFlow> flow_;
    std::atomic<std::size_t> holds_{1};  // the reading's
    std::atomic<bool> closed_{false};
};

// A written datagram may be dropped by a close before it leaves: the write holds its flow open
// until it completes.
void write(const std::shared_ptr<ServedFlow>& served, std::vector<std::uint8_t> reply,
           const Endpoint& endpoint) {
    DatagramBatch replies;
    replies.push_back({std::move(reply), endpoint});
    served->hold();
    served->flow().writeDatagrams(std::move(replies),
                                  [served](std::optional<FlowError>) { served->release(); });
}

// Where a relayed query's reply goes: back into its flow, for the endpoint that asked.
class DatagramReply final : public ExchangeOwner {
  public:
    DatagramReply(std::shared_ptr<ServedFlow> served, Endpoint endpoint)
        : served_(std::move(served)), endpoint_(std::move(endpoint)) {
        served_->hold();
    }
    // Told or not (a queue shut down drops its exchanges untold), the exchange is over.
    ~DatagramReply() override { served_->release(); }

    DatagramReply(const DatagramReply&) = delete;
    DatagramReply& operator=(const DatagramReply&) = delete;

    void exchangeEnded(std::optional<std::vector<std::uint8_t>> reply) override {
        if (reply) {
            write(served_, std::move(*reply), endpoint_);
        }
    }

  private:
    const std::shared_ptr<ServedFlow> served_;
    const Endpoint endpoint_;
};

void readNextBatch(std::weak_ptr<const FlowContext> context, std::shared_ptr<ServedFlow> served);

void dispatch(const FlowContext& context, blocklist::SnapshotCursor& list,
              const std::shared_ptr<ServedFlow>& served, dns::Datagram& datagram,
              const Endpoint& endpoint) {
    const auto judgement = context.judge(list, datagram, metrics::Transport::udp);
    switch (judgement.verdict) {
        case Verdict::relay:
            forwardQuery(context.forward(), platform::Transport::datagram, std::move(datagram),
                         std::make_shared<DatagramReply>(served, endpoint));
            return;
        case Verdict::drop:
            return;
        case Verdict::answer: {
            std::vector<std::uint8_t> reply;
            dns::appendBlockedResponse(datagram, judgement.question, reply);
            write(served, std::move(reply), endpoint);
            return;
        }
    }
}

void handleDatagrams(const std::weak_ptr<const FlowContext>& weak,
                     const std::shared_ptr<ServedFlow>& served, std::optional<DatagramBatch> batch,
                     std::optional<FlowError> error) {
    const auto context = weak.lock();  // held for the whole batch
    if (!context || !batch || error) {
        served->close(error);
        return;
    }
    if (batch->empty()) {
        // Nothing more will come: the flow closes once the replies on their way are written.
        served->release();
        return;
    }
    // One snapshot for the batch, taken again only if a reload lands within it.
    blocklist::SnapshotCursor list(context->blocked());
    for (auto& [datagram, endpoint] : *batch) {
        dispatch(*context, list, served, datagram, endpoint);
    }
    readNextBatch(weak, served);
}

void readNextBatch(std::weak_ptr<const FlowContext> context, std::shared_ptr<ServedFlow> served) {
    auto& target = served->flow();
    target.readDatagramsWithCompletionHandler(
        [context = std::move(context), served = std::move(served)](
            std::optional<DatagramBatch> batch, std::optional<FlowError> error) {
            handleDatagrams(context, served, std::move(batch), error);
        });
}

}  // namespace

void serveDatagramFlow(std::weak_ptr<const FlowContext> context, std::shared_ptr<UdpFlow> flow) {
    auto& target = *flow;
    target.openWithLocalEndpoint(
        [context = std::move(context), flow = std::move(flow)](std::optional<FlowError> error) {
            // Not opened, or no one left to serve it: nothing will be read, so it is closed.
            if (context.expired() || error) {
                flow->close(error);
                return;
            }
            readNextBatch(context, std::make_shared<ServedFlow>(flow));
        });
}

}  // namespace sieveharbor::flow
