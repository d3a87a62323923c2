#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "blocklist/domain_set.h"
#include "blocklist/domain_set_holder.h"
#include "dns/datagram.h"
#include "dns/question.h"
#include "flow/forward_query.h"
#include "metrics/counters.h"

namespace sieveharbor::flow {

// What one message gets, whichever transport brought it.
enum class Verdict {
    answer,  // blocked: answered here with the blocked reply
    drop,    // neither answered nor relayed: a response, or a blocked query cut short
    relay,   // sent upstream unchanged
};

struct Judgement {
    Verdict verdict = Verdict::relay;
    // Read once; complete() whenever the verdict is answer, so the reply is built from it.
    dns::Question question;
    metrics::Drop drop = metrics::Drop::notAQuery;  // why, when dropped
};

// The per-message decision. A response (QR set) is dropped: answered or relayed, a reply to a
// reply bounces between two resolvers for ever. Any other message whose first question's name,
// or a parent of it, is in `blocked` is answered, or dropped when its question is incomplete;
// the rest (names that are not blocked, and messages with no readable name, which the resolver
// judges) are relayed. The name is read into `name`, which the question's name then views. Pure.
Judgement judgeMessage(dns::ByteView message, const blocklist::DomainSet& blocked,
                       std::string& name);

// The blocked reply's kind, by the question's type, for the counters.
metrics::Answer answerKind(std::uint16_t type) noexcept;

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

class StreamRegistry;

// Everything the flows of one provider are served with: the published list, the upstream, the
// relay's bounds and counters, the limits on stream flows. The provider owns it and hands its
// flows a weak reference that keeps the provider itself alive while a callback uses it, so a
// callback that finds it gone knows the provider has gone. Every member may be used from any
// thread.
class Pipeline {
  public:
    Pipeline(const blocklist::DomainSetHolder& blocked, ForwardContext forward,
             std::string upstreamHost, StreamLimits streamLimits = {});
    ~Pipeline();

    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    // Judges one message by the cursor's set and counts it: received by `transport`, and
    // answered or dropped (a relayed one is counted by its exchange, which alone knows whether
    // it left). The question's name lives in a buffer of the calling thread's until its next
    // call.
    Judgement judge(blocklist::SnapshotCursor& list, dns::ByteView message,
                    metrics::Transport transport) const;

    const blocklist::DomainSetHolder& blocked() const noexcept { return blocked_; }
    const ForwardContext& forward() const noexcept { return forward_; }
    metrics::Counters& counters() const noexcept { return *forward_.counters(); }
    const std::string& upstreamHost() const noexcept { return upstreamHost_; }
    const StreamLimits& streamLimits() const noexcept { return streamLimits_; }
    StreamRegistry& streams() const noexcept { return *streams_; }

  private:
    const blocklist::DomainSetHolder& blocked_;
    ForwardContext forward_;
    const std::string upstreamHost_;
    const StreamLimits streamLimits_;
    const std::unique_ptr<StreamRegistry> streams_;
};

}  // namespace sieveharbor::flow
