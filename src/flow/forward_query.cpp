#include "flow/forward_query.h"

#include <array>
#include <utility>

#include "dns/edns.h"
#include "dns/question.h"
#include "dns/servfail.h"
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
                               std::shared_ptr<platform::Queue> queue,
                               std::shared_ptr<metrics::Counters> counters, RelaySettings relay)
    : connections_(std::move(connections)),
      queue_(std::move(queue)),
      options_(relay.options),
      limit_(std::make_shared<InFlightLimit>(relay.options.maxInFlight)),
      counters_(std::move(counters)),
      events_(std::move(relay.events)),
      upstreams_(std::make_shared<Upstreams>(relay.upstreams, events_, connections_, queue_)) {}

void ForwardContext::useUpstreams(const platform::UpstreamList& upstreams) {
    auto fresh = std::make_shared<Upstreams>(upstreams, events_, connections_, queue_);
    const std::lock_guard lock(upstreamsMutex_);
    upstreams_.swap(fresh);
}

std::shared_ptr<Upstreams> ForwardContext::upstreams() const {
    const std::lock_guard lock(upstreamsMutex_);
    return upstreams_;
}

namespace {

using metrics::Outcome;
using platform::Connection;
using platform::ConnectionError;
using platform::ConnectionState;
using platform::Transport;
using Failure = UpstreamState::Failure;
using Bytes = std::vector<std::uint8_t>;

// The largest framed message, and so the most one receive need take.
constexpr std::size_t kMaxStreamRead = dns::kLengthBytes + dns::kMaxFramedMessage;

bool isDescriptorShortage(const std::optional<ConnectionError>& error) {
    return error && (*error == std::errc::too_many_files_open ||
                     *error == std::errc::too_many_files_open_in_system);
}

// One relayed query and its attempts, over either transport. Every handler of every attempt and
// every timer runs on the exchange's lane, so the steps never overlap; the first of a valid
// reply, the bound, and the refusal of every attempt allowed ends the exchange, and everything
// later is ignored.
class Exchange : public std::enable_shared_from_this<Exchange> {
  public:
    Exchange(const ForwardContext& context, std::shared_ptr<platform::Queue> lane,
             Transport transport, Bytes query, std::shared_ptr<ExchangeOwner> owner)
        : connections_(context.connections()),
          upstreams_(context.upstreams()),
          lane_(std::move(lane)),
          limit_(context.limit()),
          counters_(context.counters()),
          query_(std::move(query)),
          owner_(std::move(owner)),
          stream_(transport == Transport::stream) {}

    // Gives the slots back if the exchange is dropped without ending (its queue shut down).
    ~Exchange() {
        for (auto& attempt : attempts_) {
            releaseSlot(attempt);
        }
    }

    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    const std::shared_ptr<platform::Queue>& lane() const noexcept { return lane_; }

    // On the calling thread: the first attempt's connection is made at once, so that a query
    // that finds no descriptor left shows it where it came in; nothing is started yet.
    void prepare() { make(upstreams_->first(), false); }

    void begin(std::chrono::milliseconds bound) {
        const auto now = lane_->now();
        deadline_ = now + bound;
        const std::size_t first = attempts_[0].upstream;
        launch(0, now);
        if (!ended_) {
            if (const auto probe = upstreams_->takeProbe(first, now)) {
                if (!start(*probe, true)) {
                    upstreams_->at(*probe).probeAbandoned();
                }
            }
        }
        arm(now);
    }

  private:
    enum class Ending { reply, timeout, refused, dropped };

    struct Attempt {
        std::shared_ptr<Connection> connection;  // a plain upstream's, of this attempt alone
        std::shared_ptr<PipelinedSession::Ticket> ticket;  // a TLS upstream's place in its session
        dns::TcpFramer framer;                             // a stream's reply as it comes
        Clock::time_point sentAt{};
        Clock::time_point due{};  // when its upstream's retransmission time has passed
        std::size_t upstream = 0;
        bool open = false;  // neither replied, failed nor cancelled
        bool sent = false;
        bool timedOut = false;  // its time passed with no reply: counted so for its upstream
        bool probe = false;     // a try of a down upstream, beside the query's own attempts
        bool extended = false;  // its time was extended once for a TLS session's resend
        bool holdsSlot = false;
    };

    // Starts an attempt on upstream `index`; false when the budget or the in-flight cap allows
    // none.
    bool start(std::size_t index, bool probe) {
        if (made_ == attempts_.size() || !limit_->tryAcquire()) {
            return false;
        }
        const auto now = lane_->now();
        launch(make(index, probe), now);
        arm(now);
        return true;
    }

    // Makes the next attempt's connection, its slot already taken; returns its place.
    std::size_t make(std::size_t index, bool probe) {
        const std::size_t i = made_++;
        Attempt& attempt = attempts_[i];
        attempt.upstream = index;
        attempt.probe = probe;
        attempt.open = true;
        attempt.holdsSlot = true;
        if (!probe) {
            lead_ = i;
        }
        upstreams_->at(index).attempted();
        if (!upstreams_->session(index)) {
            attempt.connection = connections_->makeConnection(
                upstreams_->at(index).upstream(), stream_ ? Transport::stream : Transport::datagram,
                lane_);
        }
        return i;
    }

    void launch(std::size_t i, Clock::time_point now) {
        Attempt& attempt = attempts_[i];
        attempt.due = now + upstreams_->at(attempt.upstream).retransmitTimeout();
        if (const auto& session = upstreams_->session(attempt.upstream)) {
            attempt.sent = true;
            attempt.sentAt = now;
            countRelayed();
            const auto message = stream_ ? dns::unframed(query_) : dns::ByteView(query_);
            attempt.ticket =
                session->submit(Bytes(message.begin(), message.end()), lane_,
                                [self = shared_from_this(), i](std::optional<Bytes> reply) {
                                    self->onSessionReply(i, std::move(reply));
                                });
            return;
        }
        auto self = shared_from_this();
        attempt.connection->setStateUpdateHandler(
            [self, i](ConnectionState reported) { self->onState(i, reported); });
        attempt.connection->start();
    }

    // A try of a down upstream outlives the query it went with, until it has had its time: a
    // try cut short would tell nothing, and a healthy upstream slower than the one that answered
    // would never be seen to come back.
    bool live(std::size_t i) const { return attempts_[i].open && (!ended_ || attempts_[i].probe); }

    void onState(std::size_t i, ConnectionState state) {
        if (!live(i)) {
            return;
        }
        Attempt& attempt = attempts_[i];
        // A failure ends the attempt at any step; ready matters only before the send. A stream
        // connection that waits was refused or lost its path, and would only be retried until
        // the bound: the next upstream is better tried now.
        if (state.kind == ConnectionState::Kind::failed ||
            (stream_ && state.kind == ConnectionState::Kind::waiting)) {
            if (!attempt.sent && isDescriptorShortage(state.error)) {
                // Nothing left, not the upstream's fault; a query that never left is a drop.
                close(attempt);
                if (openAttempts() == 0) {
                    end(relayed_ ? Ending::refused : Ending::dropped);
                }
                return;
            }
            refused(i);
            return;
        }
        if (state.kind != ConnectionState::Kind::ready || attempt.sent) {
            return;
        }
        attempt.sent = true;
        attempt.sentAt = lane_->now();
        countRelayed();
        // The query is kept for another attempt, to match replies against and for a SERVFAIL.
        attempt.connection->send(
            query_, [self = shared_from_this(), i](auto error) { self->onSent(i, error); });
    }

    void countRelayed() {
        if (!relayed_) {
            relayed_ = true;
            counters_->relayed();
        }
    }

    // A TLS upstream's session is done with the attempt: the reply (the client's ID in it), or
    // nothing when it could not be had there. A stream's reply may be bigger than the UDP client
    // takes: that client is told to ask again over TCP.
    void onSessionReply(std::size_t i, std::optional<Bytes> reply) {
        if (!live(i)) {
            return;
        }
        attempts_[i].ticket.reset();
        if (!reply) {
            refused(i);
            return;
        }
        if (stream_) {
            auto framed = dns::frameMessage(*reply);
            if (!framed) {
                refused(i);
                return;
            }
            won(i, std::move(*framed));
            return;
        }
        if (reply->size() > dns::udpReplyLimit(query_)) {
            if (auto truncated = dns::truncatedReply(*reply)) {
                reply = std::move(truncated);
            }
        }
        won(i, std::move(*reply));
    }

    void onSent(std::size_t i, std::optional<ConnectionError> error) {
        if (!live(i)) {
            return;
        }
        if (error) {
            refused(i);
            return;
        }
        receiveNext(i);
    }

    void receiveNext(std::size_t i) {
        auto completion = [self = shared_from_this(), i](std::optional<dns::Datagram> content,
                                                         bool complete,
                                                         std::optional<ConnectionError> error) {
            self->onReceived(i, std::move(content), complete, error);
        };
        if (stream_) {
            attempts_[i].connection->receive(1, kMaxStreamRead, std::move(completion));
        } else {
            attempts_[i].connection->receiveMessage(std::move(completion));
        }
    }

    void onReceived(std::size_t i, std::optional<dns::Datagram> content, bool complete,
                    std::optional<ConnectionError> error) {
        if (!live(i)) {
            return;
        }
        // A connected UDP socket learns of the upstream's refusal here.
        if (!content || error) {
            refused(i);
            return;
        }
        if (!stream_) {
            if (!dns::isReplyTo(*content, query_)) {
                receiveNext(i);  // a stray: the reply, if it comes, is still to come
                return;
            }
            won(i, std::move(*content));
            return;
        }
        // A stream brings the reply in pieces: the first whole message is the reply.
        auto& framer = attempts_[i].framer;
        framer.append(std::move(*content));
        Bytes reply;
        switch (framer.next(reply)) {
            case dns::TcpFramer::Status::message:
                won(i, std::move(reply));
                return;
            case dns::TcpFramer::Status::bad:
                refused(i);
                return;
            case dns::TcpFramer::Status::more:
                if (complete) {
                    refused(i);  // closed before a whole reply
                } else {
                    receiveNext(i);
                }
                return;
        }
    }

    void won(std::size_t i, Bytes reply) {
        Attempt& attempt = attempts_[i];
        upstreams_->replied(attempt.upstream, lane_->now() - attempt.sentAt);
        answeredBy_ = attempt.upstream;
        if (ended_) {
            close(attempt);  // a try that outlived its query: it has told what it could
            return;
        }
        reply_ = std::move(reply);
        end(Ending::reply);
    }

    // The attempt failed before its time: its upstream is told, and when it was the query's
    // latest own attempt the next goes out at once. With none left to wait for, the query ends.
    void refused(std::size_t i) {
        Attempt& attempt = attempts_[i];
        close(attempt);
        if (!attempt.timedOut) {
            upstreams_->failed(attempt.upstream, Failure::refusal, lane_->now(), attempt.probe);
        }
        if (ended_) {
            return;
        }
        // The query's latest own attempt: no other has followed it yet.
        if (i == lead_) {
            start(upstreams_->next(attempt.upstream), false);
        }
        if (!ended_ && openAttempts() == 0) {
            end(Ending::refused);
        }
    }

    // No reply within the upstream's retransmission time: when this is the query's latest own
    // attempt, one goes to the next upstream while this one listens on.
    void retransmitTimeReached(std::size_t i, Clock::time_point now) {
        Attempt& attempt = attempts_[i];
        // A TLS session that lost its connection has sent the query again on a new one: that
        // one gets the upstream's time too before the query goes elsewhere, or it would go out
        // three times.
        if (attempt.ticket && !attempt.extended && !ended_ &&
            attempt.ticket->resent.load(std::memory_order_acquire)) {
            attempt.extended = true;
            attempt.due = now + upstreams_->at(attempt.upstream).retransmitTimeout();
            return;
        }
        attempt.timedOut = true;
        if (ended_) {
            close(attempt);  // a try that outlived its query has had its time
        } else if (i == lead_) {
            if (attempt.ticket) {
                attempt.ticket->elsewhere.store(true, std::memory_order_release);
            }
            start(upstreams_->next(attempt.upstream), false);
        }
    }

    // Sets the timer for the next thing due, if it is not set for it already; with nothing left
    // to wait for, calls it off.
    void arm(std::optional<Clock::time_point> now = std::nullopt) {
        std::optional<Clock::time_point> next;
        if (!ended_) {
            next = deadline_;
        }
        for (std::size_t i = 0; i < made_; ++i) {
            const Attempt& attempt = attempts_[i];
            if (live(i) && !attempt.timedOut && (!next || attempt.due < *next)) {
                next = attempt.due;
            }
        }
        if (!next) {
            platform::cancelTimer(timer_);
            return;
        }
        if (timer_ && timerDue_ == *next) {
            return;
        }
        platform::cancelTimer(timer_);
        timerDue_ = *next;
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(*next - now.value_or(lane_->now()));
        timer_ = lane_->scheduleAfter(std::max(wait, std::chrono::milliseconds(0)),
                                      [weak = weak_from_this()] {
                                          if (const auto self = weak.lock()) {
                                              self->timerFired();
                                          }
                                      });
    }

    void timerFired() {
        timer_.reset();
        const auto now = lane_->now();
        if (!ended_ && now >= deadline_) {
            end(Ending::timeout);
        }
        for (std::size_t i = 0; i < made_; ++i) {
            if (live(i) && !attempts_[i].timedOut && now >= attempts_[i].due) {
                retransmitTimeReached(i, now);
            }
        }
        arm(now);
    }

    std::size_t openAttempts() const {
        std::size_t count = 0;
        for (std::size_t i = 0; i < made_; ++i) {
            count += attempts_[i].open ? 1 : 0;
        }
        return count;
    }

    // An attempt that had its time and never replied counts against its upstream, unless the
    // query's reply came from that very upstream (another attempt's: the first was only slow,
    // as a lookup the resolver had to make is). Counted when the attempt ends, not when its time
    // passes, so that a late reply is not held against it.
    void close(Attempt& attempt) {
        if (!attempt.open) {
            return;
        }
        attempt.open = false;
        if (attempt.timedOut && answeredBy_ != attempt.upstream) {
            upstreams_->failed(attempt.upstream, Failure::timeout, lane_->now(), attempt.probe);
        } else if (attempt.probe) {
            // Ended before it could tell anything: the next try is left to another query.
            upstreams_->at(attempt.upstream).probeAbandoned();
        }
        if (attempt.ticket) {
            upstreams_->session(attempt.upstream)->withdraw(attempt.ticket);
            attempt.ticket.reset();
        }
        // Moved out first: cancel() makes the connection release the handlers that hold us.
        if (auto connection = std::move(attempt.connection)) {
            connection->cancel();
        }
        releaseSlot(attempt);
    }

    void end(Ending ending) {
        if (ended_) {
            return;
        }
        ended_ = true;
        for (std::size_t i = 0; i < made_; ++i) {
            Attempt& attempt = attempts_[i];
            if (!(ending == Ending::reply && attempt.probe && !attempt.timedOut)) {
                close(attempt);
            }
        }
        std::optional<Bytes> reply;
        switch (ending) {
            case Ending::reply:
                counters_->exchangeEnded(Outcome::reply);
                reply = std::move(reply_);
                break;
            case Ending::timeout:
            case Ending::refused:
                counters_->exchangeEnded(ending == Ending::timeout ? Outcome::timeout
                                                                   : Outcome::failure);
                reply = servfail();
                if (reply) {
                    counters_->answered(metrics::Answer::servfail);
                }
                break;
            case Ending::dropped:
                counters_->dropped(metrics::Drop::descriptorsExhausted);
                break;
        }
        // Every slot but a lingering try's is back before the owner hears of the end, so a zero
        // count means every connection of every ended exchange is closed.
        arm();  // a try that outlives the query may still need the timer
        auto owner = std::move(owner_);
        owner->exchangeEnded(std::move(reply));
    }

    // The SERVFAIL as the transport carries it; nothing for a query too short to answer.
    std::optional<Bytes> servfail() const {
        Bytes out;
        if (!stream_) {
            return dns::appendServfail(query_, out) ? std::optional(std::move(out)) : std::nullopt;
        }
        bool answered = false;
        const bool framed = dns::appendFramed(
            out, [&](Bytes& into) { answered = dns::appendServfail(dns::unframed(query_), into); });
        return framed && answered ? std::optional(std::move(out)) : std::nullopt;
    }

    void releaseSlot(Attempt& attempt) noexcept {
        if (attempt.holdsSlot) {
            attempt.holdsSlot = false;
            limit_->release();
        }
    }

    const std::shared_ptr<platform::ConnectionFactory> connections_;
    const std::shared_ptr<Upstreams> upstreams_;
    const std::shared_ptr<platform::Queue> lane_;
    const std::shared_ptr<InFlightLimit> limit_;
    const std::shared_ptr<metrics::Counters> counters_;
    Bytes query_;
    std::shared_ptr<ExchangeOwner> owner_;
    const bool stream_;
    std::array<Attempt, kMaxAttempts> attempts_{};
    std::size_t made_ = 0;
    std::size_t lead_ = 0;  // the query's latest own attempt, not a probe
    // One timer, for whichever comes first: the query's bound or an attempt's retransmission
    // time. Only it captures the exchange, weakly: pending, it does not keep it alive.
    std::shared_ptr<platform::Timer> timer_;
    Clock::time_point timerDue_{};
    Clock::time_point deadline_{};
    std::optional<Bytes> reply_;             // the winning reply, until the owner is told
    std::optional<std::size_t> answeredBy_;  // the upstream that gave it
    bool relayed_ = false;                   // an attempt has sent the query
    bool ended_ = false;
};

}  // namespace

bool forwardQuery(const ForwardContext& context, Transport transport, Bytes query,
                  std::shared_ptr<ExchangeOwner> owner) {
    if (!context.limit()->tryAcquire()) {
        context.counters()->dropped(metrics::Drop::overInFlightCap);
        return false;
    }
    auto exchange = std::make_shared<Exchange>(context, context.queue()->makeSerialQueue(),
                                               transport, std::move(query), std::move(owner));
    exchange->prepare();
    // Everything of the exchange, its start included, runs on its lane; nothing races the caller.
    exchange->lane()->post(
        [exchange, bound = context.options().replyTimeout] { exchange->begin(bound); });
    return true;
}

}  // namespace sieveharbor::flow
