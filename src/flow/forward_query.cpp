#include "flow/forward_query.h"

#include <utility>

#include "dns/question.h"
#include "dns/tcp_framing.h"

namespace sieveharbor::flow {

bool InFlightLimit::tryAcquire() noexcept {
    std::size_t current = count_.load(std::memory_order_relaxed);
    do {
        if (current >= max_) {
            return false;
        }
    } while (!count_.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel));
    return true;
}

void InFlightLimit::release() noexcept {
    count_.fetch_sub(1, std::memory_order_acq_rel);
}

ForwardContext::ForwardContext(std::shared_ptr<platform::ConnectionFactory> connections,
                               std::shared_ptr<metrics::Counters> counters, ForwardOptions options)
    : connections_(std::move(connections)),
      options_(options),
      limit_(std::make_shared<InFlightLimit>(options.maxInFlight)),
      counters_(std::move(counters)) {}

namespace {

using metrics::Outcome;
using platform::Connection;
using platform::ConnectionError;
using platform::ConnectionState;
using platform::Transport;
using Bytes = std::vector<std::uint8_t>;

// The largest framed message, and so the most one receive need take.
constexpr std::size_t kMaxStreamRead = dns::kLengthBytes + dns::kMaxFramedMessage;

bool isDescriptorShortage(const std::optional<ConnectionError>& error) {
    return error && (*error == std::errc::too_many_files_open ||
                     *error == std::errc::too_many_files_open_in_system);
}

// One relayed query, over either transport. Every handler runs on the connection's lane, so the
// steps never overlap; the first of reply, failure and timeout ends the exchange and everything
// later is ignored.
class Exchange : public std::enable_shared_from_this<Exchange> {
  public:
    Exchange(std::shared_ptr<Connection> connection, Transport transport,
             const ForwardContext& context, Bytes query, std::shared_ptr<ExchangeOwner> owner)
        : connection_(std::move(connection)),
          lane_(connection_->lane()),
          limit_(context.limit()),
          counters_(context.counters()),
          query_(std::move(query)),
          owner_(std::move(owner)),
          stream_(transport == Transport::stream) {}

    // Gives the slot back if the exchange is dropped without ending (its queue shut down).
    ~Exchange() { releaseSlot(); }

    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    const std::shared_ptr<platform::Queue>& lane() const noexcept { return lane_; }

    void begin(std::chrono::milliseconds timeout) {
        auto self = shared_from_this();
        // The timer captures the exchange weakly: a pending timeout alone must not keep it alive.
        std::weak_ptr<Exchange> weak = self;
        timer_ = lane_->scheduleAfter(timeout, [weak] {
            if (auto exchange = weak.lock()) {
                exchange->end(Outcome::timeout);
            }
        });
        connection_->setStateUpdateHandler([self](ConnectionState state) { self->onState(state); });
        connection_->start();
    }

  private:
    enum class Step { started, sending, receiving, ended };

    void onState(ConnectionState state) {
        // A failure ends the exchange at any step; ready matters only before the send. A stream
        // connection that waits was refused or lost its path, and would only be retried until
        // the bound: the client is better served by the failure now.
        if (state.kind == ConnectionState::Kind::failed ||
            (stream_ && state.kind == ConnectionState::Kind::waiting)) {
            if (step_ == Step::started && isDescriptorShortage(state.error)) {
                settle(false);  // the query never left: a drop, not an exchange
                end(std::nullopt);
                return;
            }
            end(Outcome::failure);
            return;
        }
        if (state.kind != ConnectionState::Kind::ready || step_ != Step::started) {
            return;
        }
        settle(true);
        step_ = Step::sending;
        auto self = shared_from_this();
        // A datagram's query is kept to match its reply against: a stream connection is the
        // exchange's own, but a datagram socket may receive a stray.
        connection_->send(stream_ ? std::move(query_) : query_,
                          [self](std::optional<ConnectionError> error) { self->onSent(error); });
    }

    void onSent(std::optional<ConnectionError> error) {
        if (step_ != Step::sending) {
            return;
        }
        if (error) {
            end(Outcome::failure);
            return;
        }
        step_ = Step::receiving;
        receiveNext();
    }

    void receiveNext() {
        auto self = shared_from_this();
        auto completion = [self](std::optional<dns::Datagram> content, bool complete,
                                 std::optional<ConnectionError> error) {
            self->onReceived(std::move(content), complete, error);
        };
        if (stream_) {
            connection_->receive(1, kMaxStreamRead, std::move(completion));
        } else {
            connection_->receiveMessage(std::move(completion));
        }
    }

    void onReceived(std::optional<dns::Datagram> content, bool complete,
                    std::optional<ConnectionError> error) {
        if (step_ != Step::receiving) {
            return;
        }
        if (!content || error) {
            end(Outcome::failure);
            return;
        }
        if (!stream_) {
            if (!dns::isReplyTo(*content, query_)) {
                receiveNext();  // a stray: the reply, if it comes, is still to come
                return;
            }
            deliver(std::move(*content));
            return;
        }
        // A stream brings the reply in pieces: the first whole message is the reply.
        framer_.append(std::move(*content));
        Bytes reply;
        switch (framer_.next(reply)) {
            case dns::TcpFramer::Status::message:
                deliver(std::move(reply));
                return;
            case dns::TcpFramer::Status::bad:
                end(Outcome::failure);
                return;
            case dns::TcpFramer::Status::more:
                if (complete) {
                    end(Outcome::failure);  // closed before a whole reply
                } else {
                    receiveNext();
                }
                return;
        }
    }

    void deliver(Bytes reply) {
        reply_ = std::move(reply);
        end(Outcome::reply);
    }

    // Counts the query once: relayed, or dropped for want of a descriptor.
    void settle(bool relayed) {
        if (settled_) {
            return;
        }
        settled_ = true;
        if (relayed) {
            counters_->relayed();
        } else {
            counters_->dropped(metrics::Drop::descriptorsExhausted);
        }
    }

    // The outcome of a relayed query; nothing for one that never left.
    void end(std::optional<Outcome> outcome) {
        if (step_ == Step::ended) {
            return;
        }
        step_ = Step::ended;
        if (outcome) {
            settle(true);
            counters_->exchangeEnded(*outcome);
        }
        platform::cancelTimer(timer_);
        // Moved out first: cancel() makes the connection release the handlers that hold us.
        auto connection = std::move(connection_);
        auto owner = std::move(owner_);
        query_ = {};
        connection->cancel();
        // Before the owner hears of the end, so a zero count means every connection of every
        // ended exchange is closed.
        releaseSlot();
        owner->exchangeEnded(std::move(reply_));
    }

    void releaseSlot() noexcept {
        if (holdsSlot_) {
            holdsSlot_ = false;
            limit_->release();
        }
    }

    std::shared_ptr<Connection> connection_;
    const std::shared_ptr<platform::Queue> lane_;
    std::shared_ptr<InFlightLimit> limit_;
    std::shared_ptr<metrics::Counters> counters_;
    Bytes query_;
    std::shared_ptr<ExchangeOwner> owner_;
    const bool stream_;
    std::optional<Bytes> reply_;  // until the owner is told
    dns::TcpFramer framer_;
    std::shared_ptr<platform::Timer> timer_;
    Step step_ = Step::started;
    bool settled_ = false;
    bool holdsSlot_ = true;
};

}  // namespace

bool forwardQuery(const ForwardContext& context, Transport transport, Bytes query,
                  std::shared_ptr<ExchangeOwner> owner) {
    if (!context.limit()->tryAcquire()) {
        context.counters()->dropped(metrics::Drop::overInFlightCap);
        return false;
    }
    auto exchange =
        std::make_shared<Exchange>(context.connections()->makeConnection(transport), transport,
                                   context, std::move(query), std::move(owner));
    // Everything of the exchange, its start included, runs on its lane; nothing races the caller.
    exchange->lane()->post(
        [exchange, timeout = context.options().replyTimeout] { exchange->begin(timeout); });
    return true;
}

}  // namespace sieveharbor::flow
