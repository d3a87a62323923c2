#include "flow/forward_query.h"

#include <utility>
#include <variant>

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

ForwardContext::ForwardContext(std::shared_ptr<platform::Queue> queue,
                               std::shared_ptr<platform::ConnectionFactory> connections,
                               ForwardOptions options, std::shared_ptr<metrics::Counters> counters)
    : queue_(std::move(queue)),
      connections_(std::move(connections)),
      options_(options),
      limit_(std::make_shared<InFlightLimit>(options.maxInFlight)),
      counters_(counters ? std::move(counters) : std::make_shared<metrics::Counters>()) {}

namespace {

using metrics::Outcome;
using platform::Connection;
using platform::ConnectionError;
using platform::ConnectionState;
using platform::Transport;

// The largest framed message, and so the most one receive need take.
constexpr std::size_t kMaxStreamRead = 2 + 0xFFFF;

bool isDescriptorShortage(const std::optional<ConnectionError>& error) {
    return error && (*error == std::errc::too_many_files_open ||
                     *error == std::errc::too_many_files_open_in_system);
}

// Where a datagram exchange writes its reply.
struct DatagramReturn {
    std::shared_ptr<platform::UdpFlow> flow;
    platform::Endpoint endpoint;
};

// One relayed query, over either transport. Every handler runs on lane_, so the steps never
// overlap; the first of reply, failure and timeout ends the exchange and everything later is
// ignored.
class Exchange : public std::enable_shared_from_this<Exchange> {
  public:
    using Return = std::variant<DatagramReturn, std::shared_ptr<StreamExchangeOwner>>;

    Exchange(std::shared_ptr<platform::Queue> lane, std::shared_ptr<Connection> connection,
             const ForwardContext& context, dns::Datagram query, Return destination)
        : lane_(std::move(lane)),
          connection_(std::move(connection)),
          limit_(context.limit()),
          counters_(context.counters()),
          query_(std::move(query)),
          return_(std::move(destination)) {}

    // Gives the slot back if the exchange is dropped without ending (its queue shut down).
    ~Exchange() { releaseSlot(); }

    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

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
        connection_->start(lane_);
    }

  private:
    enum class Step { started, sending, receiving, ended };

    bool stream() const noexcept { return return_.index() == 1; }

    void onState(ConnectionState state) {
        // A failure ends the exchange at any step; ready matters only before the send.
        if (state.kind == ConnectionState::Kind::failed) {
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
        auto content =
            stream() ? dns::frameMessage(query_).value_or(dns::Datagram{}) : std::move(query_);
        connection_->send(std::move(content),
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
        if (stream()) {
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
        if (!stream()) {
            deliver(std::move(*content));
            return;
        }
        // A stream brings the reply in pieces: the first whole message is the reply.
        framer_.append(*content);
        dns::Datagram reply;
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

    void deliver(dns::Datagram reply) {
        if (auto* datagram = std::get_if<DatagramReturn>(&return_)) {
            std::vector<dns::Datagram> datagrams;
            datagrams.push_back(std::move(reply));
            datagram->flow->writeDatagrams(std::move(datagrams), {datagram->endpoint},
                                           [](std::optional<platform::FlowError>) {});
        } else {
            reply_ = std::move(reply);
        }
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
        if (timer_) {
            timer_->cancel();
            timer_.reset();
        }
        // Moved out first: cancel() makes the connection release the handlers that hold us.
        auto connection = std::move(connection_);
        auto destination = std::move(return_);
        query_ = {};
        connection->cancel();
        // Before the owner hears of the end, so a zero count means every connection of every
        // ended exchange is closed.
        releaseSlot();
        if (auto* owner = std::get_if<std::shared_ptr<StreamExchangeOwner>>(&destination)) {
            (*owner)->exchangeEnded(std::move(reply_));
        }
    }

    void releaseSlot() noexcept {
        if (holdsSlot_) {
            holdsSlot_ = false;
            limit_->release();
        }
    }

    std::shared_ptr<platform::Queue> lane_;
    std::shared_ptr<Connection> connection_;
    std::shared_ptr<InFlightLimit> limit_;
    std::shared_ptr<metrics::Counters> counters_;
    dns::Datagram query_;
    Return return_;
    std::optional<dns::Datagram> reply_;  // a stream's, until the owner is told
    dns::TcpFramer framer_;
    std::shared_ptr<platform::Timer> timer_;
    Step step_ = Step::started;
    bool settled_ = false;
    bool holdsSlot_ = true;
};

bool startExchange(const ForwardContext& context, dns::Datagram query, std::string_view host,
                   Exchange::Return destination) {
    if (!context.limit()->tryAcquire()) {
        context.counters()->dropped(metrics::Drop::overInFlightCap);
        return false;
    }
    const auto transport = destination.index() == 0 ? Transport::datagram : Transport::stream;
    auto lane = context.queue()->makeSerialQueue();
    auto connection =
        context.connections()->makeConnection(host, context.options().upstreamPort, transport);
    auto exchange = std::make_shared<Exchange>(lane, std::move(connection), context,
                                               std::move(query), std::move(destination));
    // Everything of the exchange, its start included, runs on its lane; nothing races the caller.
    const auto timeout = context.options().replyTimeout;
    lane->post([exchange, timeout] { exchange->begin(timeout); });
    return true;
}

}  // namespace

void forwardQuery(const ForwardContext& context, dns::Datagram query,
                  std::shared_ptr<platform::UdpFlow> flow, platform::Endpoint endpoint,
                  std::string_view upstreamHost) {
    startExchange(context, std::move(query), upstreamHost,
                  DatagramReturn{std::move(flow), std::move(endpoint)});
}

bool forwardStreamQuery(const ForwardContext& context, dns::Datagram query,
                        std::shared_ptr<StreamExchangeOwner> owner, std::string_view upstreamHost) {
    return startExchange(context, std::move(query), upstreamHost, std::move(owner));
}

}  // namespace sieveharbor::flow
