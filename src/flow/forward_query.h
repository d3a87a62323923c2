#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "dns/datagram.h"
#include "metrics/counters.h"
#include "platform/connection.h"
#include "platform/endpoint.h"
#include "platform/queue.h"
#include "platform/udp_flow.h"

namespace sieveharbor::flow {

// An exchange with no reply by then is cancelled and writes nothing; without a bound every
// unanswered query would hold its connection for ever.
inline constexpr std::chrono::milliseconds kReplyTimeout = std::chrono::seconds(5);
// Beyond this many exchanges in flight a query is dropped unanswered, as an overloaded resolver
// drops, rather than queued without limit.
inline constexpr std::size_t kMaxInFlight = 4096;
inline constexpr std::uint16_t kUpstreamPort = 53;

struct ForwardOptions {
    std::chrono::milliseconds replyTimeout = kReplyTimeout;
    std::size_t maxInFlight = kMaxInFlight;
    // Only tests and benchmarks point this elsewhere.
    std::uint16_t upstreamPort = kUpstreamPort;
};

// Counts exchanges in flight, of both transports. Shared with the exchanges themselves, so it
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

// What every exchange of one provider shares: the queue its handlers run on, where connections
// come from, the bounds and the counters. Made once and used from any thread.
class ForwardContext {
  public:
    // Without counters of its own it counts into a set nobody reads.
    ForwardContext(std::shared_ptr<platform::Queue> queue,
                   std::shared_ptr<platform::ConnectionFactory> connections,
                   ForwardOptions options = {}, std::shared_ptr<metrics::Counters> counters = {});

    std::size_t inFlight() const noexcept { return limit_->count(); }
    const ForwardOptions& options() const noexcept { return options_; }

    const std::shared_ptr<platform::Queue>& queue() const noexcept { return queue_; }
    const std::shared_ptr<platform::ConnectionFactory>& connections() const noexcept {
        return connections_;
    }
    const std::shared_ptr<InFlightLimit>& limit() const noexcept { return limit_; }
    const std::shared_ptr<metrics::Counters>& counters() const noexcept { return counters_; }

  private:
    std::shared_ptr<platform::Queue> queue_;
    std::shared_ptr<platform::ConnectionFactory> connections_;
    ForwardOptions options_;
    std::shared_ptr<InFlightLimit> limit_;
    std::shared_ptr<metrics::Counters> counters_;
};

// Relays one query to the upstream host on a fresh datagram connection and writes the first
// reply, byte for byte, into the flow for the endpoint. Returns at once, on the calling thread;
// the exchange then runs on a serial queue of its own made from the context's queue, holding its
// connection, query, flow and endpoint until it ends (reply written, failure, or timeout), and
// writes nothing after it has ended. Over the in-flight limit the query is dropped: no
// connection, no reply. Counts the query relayed once its connection is made (dropped when no
// descriptor was left for it), and the exchange's outcome as it ends.
void forwardQuery(const ForwardContext& context, dns::Datagram query,
                  std::shared_ptr<platform::UdpFlow> flow, platform::Endpoint endpoint,
                  std::string_view upstreamHost);

// Whoever started a stream exchange, told how it ended.
class StreamExchangeOwner {
  public:
    virtual ~StreamExchangeOwner() = default;
    // Once per exchange, on the exchange's queue: the upstream's reply, or nothing (failure,
    // timeout, or no descriptor for its connection).
    virtual void exchangeEnded(std::optional<dns::Datagram> reply) = 0;
};

// The same exchange over a stream connection of its own: the query goes out framed by its
// length, and the first whole message that comes back is handed to the owner, unframed. False
// when the query was dropped over the in-flight limit: the owner is then never called.
bool forwardStreamQuery(const ForwardContext& context, dns::Datagram query,
                        std::shared_ptr<StreamExchangeOwner> owner, std::string_view upstreamHost);

}  // namespace sieveharbor::flow
