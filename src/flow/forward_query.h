#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "flow/upstreams.h"
#include "metrics/counters.h"
#include "platform/connection.h"
#include "platform/queue.h"
#include "platform/upstream.h"

namespace sieveharbor::flow {

// A query with no valid reply by then is answered with SERVFAIL; without a bound every
// unanswered query would hold its connections for ever.
inline constexpr std::chrono::milliseconds kReplyTimeout = std::chrono::seconds(5);
// Beyond this many attempts in flight, each holding a socket, a query is dropped unanswered, as
// an overloaded resolver drops, rather than queued without limit.
inline constexpr std::size_t kMaxInFlight = 4096;
// Attempts one query may make, whatever sets them off: retransmissions, refusals, a try of a
// down upstream.
inline constexpr std::size_t kMaxAttempts = 3;

struct ForwardOptions {
    std::chrono::milliseconds replyTimeout = kReplyTimeout;  // the query's whole bound
    std::size_t maxInFlight = kMaxInFlight;
};

// Where relayed queries go: the upstreams in order of preference (never empty), the bounds, and
// who is told when an upstream goes down or comes back, or a certificate is refused.
struct RelaySettings {
    explicit RelaySettings(platform::UpstreamList list, ForwardOptions forward = {},
                           UpstreamEvents told = {})
        : upstreams(std::move(list)), options(forward), events(std::move(told)) {}

    platform::UpstreamList upstreams;
    ForwardOptions options;
    UpstreamEvents events;
};

// Counts attempts in flight, of both transports. Shared with the exchanges themselves, so it
// outlives whoever made the context.
class InFlightLimit {
  public:
    explicit InFlightLimit(std::size_t max) noexcept : max_(max) {}

    // False when the limit is reached; true takes one slot, to be given back with release().
    bool tryAcquire() noexcept;
    void release() noexcept;
    std::size_t count() const noexcept { return count_.load(std::memory_order_acquire); }
    std::size_t max() const noexcept { return max_; }

  private:
    const std::size_t max_;
    std::atomic<std::size_t> count_{0};
};

// What every exchange of one provider shares: the upstreams in order of preference and what is
// known of each, where connections to them come from and the lanes they run on, the bounds, and
// the counters it counts into. Made once and used from any thread.
class ForwardContext {
  public:
    // `queue` makes each exchange's lane and gives the time.
    ForwardContext(std::shared_ptr<platform::ConnectionFactory> connections,
                   std::shared_ptr<platform::Queue> queue,
                   std::shared_ptr<metrics::Counters> counters, RelaySettings relay);

    // Relays from now on to `upstreams` (not empty), of which nothing is known yet; an exchange
    // under way keeps the list it began with.
    void useUpstreams(const platform::UpstreamList& upstreams);
    std::shared_ptr<Upstreams> upstreams() const;

    std::size_t inFlight() const noexcept { return limit_->count(); }
    const ForwardOptions& options() const noexcept { return options_; }
    const std::shared_ptr<platform::ConnectionFactory>& connections() const noexcept {
        return connections_;
    }
    const std::shared_ptr<platform::Queue>& queue() const noexcept { return queue_; }
    const std::shared_ptr<InFlightLimit>& limit() const noexcept { return limit_; }
    const std::shared_ptr<metrics::Counters>& counters() const noexcept { return counters_; }

  private:
    std::shared_ptr<platform::ConnectionFactory> connections_;
    std::shared_ptr<platform::Queue> queue_;
    ForwardOptions options_;
    std::shared_ptr<InFlightLimit> limit_;
    std::shared_ptr<metrics::Counters> counters_;
    const UpstreamEvents events_;
    mutable std::mutex upstreamsMutex_;  // covers the copy or swap of the reference only
    std::shared_ptr<Upstreams> upstreams_;
};

// Whoever started an exchange, told how it ended.
class ExchangeOwner {
  public:
    virtual ~ExchangeOwner() = default;
    // Once per exchange, on the exchange's lane: the reply as the transport carries it (a
    // datagram; a framed message, its length in front), the upstream's or a SERVFAIL made here
    // when none gave a valid one within the bound; or nothing, for a query that never left (no
    // descriptor for its connection) or one too short to answer.
    virtual void exchangeEnded(std::optional<std::vector<std::uint8_t>> reply) = 0;
};

// Relays one query to the upstreams: a datagram as it is, or a framed message (its length in
// front) over a stream, each attempt over a connection of its own. Returns at once, on the
// calling thread; the exchange then runs on a lane of its own, holding its connections, query and
// owner until it ends, and then tells the owner.
//
// The first attempt goes to the first upstream that is up, beside a try of a down upstream whose
// time has come. An attempt with no reply within its upstream's retransmission time is followed by
// one to the next upstream that is up while it keeps listening; one refused is followed at once.
// The first valid reply (its ID and question those of the query) wins and the other attempts are
// cancelled; at the query's own bound, or once every attempt allowed has been refused, the owner
// gets a SERVFAIL. False when the query was dropped over the in-flight limit: no connection, and
// the owner is never called. Counts the query relayed once it has left (dropped when no
// descriptor was left for it), each attempt's outcome for its upstream, and the exchange's.
bool forwardQuery(const ForwardContext& context, platform::Transport transport,
                  std::vector<std::uint8_t> query, std::shared_ptr<ExchangeOwner> owner);

}  // namespace sieveharbor::flow
