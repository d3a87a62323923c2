#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "metrics/counters.h"
#include "platform/connection.h"

namespace sieveharbor::flow {

// An exchange with no reply by then is cancelled and ends with none; without a bound every
// unanswered query would hold its connection for ever.
inline constexpr std::chrono::milliseconds kReplyTimeout = std::chrono::seconds(5);
// Beyond this many exchanges in flight a query is dropped unanswered, as an overloaded resolver
// drops, rather than queued without limit.
inline constexpr std::size_t kMaxInFlight = 4096;

struct ForwardOptions {
    std::chrono::milliseconds replyTimeout = kReplyTimeout;
    std::size_t maxInFlight = kMaxInFlight;
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

// What every exchange of one provider shares: where connections to the upstream come from, the
// bounds, and the counters it counts into. Made once and used from any thread.
class ForwardContext {
  public:
    ForwardContext(std::shared_ptr<platform::ConnectionFactory> connections,
                   std::shared_ptr<metrics::Counters> counters, ForwardOptions options = {});

    std::size_t inFlight() const noexcept { return limit_->count(); }
    const ForwardOptions& options() const noexcept { return options_; }

    const std::shared_ptr<platform::ConnectionFactory>& connections() const noexcept {
        return connections_;
    }
    const std::shared_ptr<InFlightLimit>& limit() const noexcept { return limit_; }
    const std::shared_ptr<metrics::Counters>& counters() const noexcept { return counters_; }

  private:
    std::shared_ptr<platform::ConnectionFactory> connections_;
    ForwardOptions options_;
    std::shared_ptr<InFlightLimit> limit_;
    std::shared_ptr<metrics::Counters> counters_;
};

// Whoever started an exchange, told how it ended.
class ExchangeOwner {
  public:
    virtual ~ExchangeOwner() = default;
    // Once per exchange, on the exchange's lane: the upstream's reply as the transport carries it
    // (a datagram; a framed message, its length in front), or nothing (failure, timeout, or no
    // descriptor for its connection).
    virtual void exchangeEnded(std::optional<std::vector<std::uint8_t>> reply) = 0;
};

// Relays one query to the upstream over a connection of its own: a datagram as it is, or a
// framed message (its length in front) over a stream. Returns at once, on the calling thread;
// the exchange then runs on its connection's lane, holding its connection, query and owner until
// it ends (the first reply, a failure, or the timeout), and then tells the owner. False when the
// query was dropped over the in-flight limit: no connection, and the owner is never called.
// Counts the query relayed once its connection is made (dropped when no descriptor was left for
// it), and the exchange's outcome as it ends.
bool forwardQuery(const ForwardContext& context, platform::Transport transport,
                  std::vector<std::uint8_t> query, std::shared_ptr<ExchangeOwner> owner);

}  // namespace sieveharbor::flow
