#pragma once

#include <chrono>
#include <cstddef>

#include "blocklist/domain_set_holder.h"
#include "dns/datagram.h"
#include "flow/forward_query.h"
#include "flow/stream_registry.h"
#include "flow/verdict.h"
#include "metrics/counters.h"
#include "platform/queue.h"

namespace sieveharbor::flow {

// Bounds that keep one stream client, or many, from holding the proxy.
struct StreamLimits {
    // Stream flows served at once; at the limit the oldest idle one is closed for a new one, and
    // when none is idle the new one is.
    std::size_t maxConnections = 1024;
    // A flow with no query in progress and no reply waiting is closed after this; bytes of a
    // message that has not wholly arrived are no progress (RFC 7766).
    std::chrono::milliseconds idleTimeout = std::chrono::seconds(10);
    // Queries of one flow relayed at once: beyond it the flow is not read until one ends, so a
    // client cannot take the whole in-flight cap.
    std::size_t maxInProgress = 64;
    // Reply bytes handed to a flow and not yet taken by it; beyond them the client is not
    // reading its answers, and the flow is closed.
    std::size_t maxQueuedBytes = std::size_t{256} * 1024;
};

// What every flow of one provider is served with: the published list, the relay, the queue
// stream sessions run on, the stream flows and their limits, and the counters, which it owns and
// hands to whatever counts. The provider owns it and hands its flows a weak reference that keeps
// the provider itself alive while a callback uses it, so a callback that finds it gone knows the
// provider has gone. Every member may be used from any thread.
class FlowContext {
  public:
    // `streams` is the provider's, and outlives the context.
    FlowContext(const blocklist::DomainSetHolder& blocked,
                std::shared_ptr<platform::ConnectionFactory> connections, RelaySettings relay,
                std::shared_ptr<platform::Queue> queue, StreamRegistry& streams,
                StreamLimits streamLimits = {});

    FlowContext(const FlowContext&) = delete;
    FlowContext& operator=(const FlowContext&) = delete;

    // Judges one message by the cursor's set and counts it: received by `transport`, and
    // answered or dropped (a relayed one is counted by its exchange, which alone knows whether
    // it left). The question's name lives in a buffer of the calling thread's until its next
    // call.
    Judgement judge(blocklist::SnapshotCursor& list, dns::ByteView message,
                    metrics::Transport transport) const;

    const blocklist::DomainSetHolder& blocked() const noexcept { return blocked_; }
    const ForwardContext& forward() const noexcept { return forward_; }
    ForwardContext& forward() noexcept { return forward_; }
    metrics::Counters& counters() const noexcept { return *counters_; }
    platform::Queue& queue() const noexcept { return *queue_; }
    StreamRegistry& streams() const noexcept { return streams_; }
    const StreamLimits& streamLimits() const noexcept { return streamLimits_; }

  private:
    const blocklist::DomainSetHolder& blocked_;
    // Shared with the exchanges, which may end after the context.
    const std::shared_ptr<metrics::Counters> counters_;
    ForwardContext forward_;
    const std::shared_ptr<platform::Queue> queue_;
    StreamRegistry& streams_;
    const StreamLimits streamLimits_;
};

}  // namespace sieveharbor::flow
