#include "flow/pipelined_session.h"

#include <algorithm>
#include <utility>

#include "dns/edns.h"
#include "dns/question.h"
#include "flow/upstreams.h"

namespace sieveharbor::flow {

namespace {

using platform::ConnectionState;
using Bytes = PipelinedSession::Bytes;

// The block every padded query is a multiple of (RFC 8467).
constexpr std::size_t kPaddingBlock = 128;
constexpr std::size_t kMaxRead = dns::kLengthBytes + dns::kMaxFramedMessage;

}  // namespace

PipelinedSession::PipelinedSession(std::shared_ptr<platform::ConnectionFactory> connections,
                                   std::shared_ptr<UpstreamState> state,
                                   std::shared_ptr<platform::Queue> lane, SessionEvents events,
                                   SessionTiming timing)
    : connections_(std::move(connections)),
      state_(std::move(state)),
      lane_(std::move(lane)),
      events_(std::move(events)),
      timing_(timing) {}

PipelinedSession::~PipelinedSession() {
    platform::cancelTimer(silenceTimer_);
    platform::cancelTimer(idleTimer_);
    if (connection_) {
        state_->connectionClosed();
        connection_->cancel();
    }
}

std::shared_ptr<PipelinedSession::Ticket> PipelinedSession::submit(
    Bytes message, std::shared_ptr<platform::Queue> replyLane, Done done) {
    auto ticket = std::make_shared<Ticket>();
    lane_->post([weak = weak_from_this(), message = std::move(message), ticket,
                 replyLane = std::move(replyLane), done = std::move(done)]() mutable {
        if (const auto self = weak.lock()) {
            self->accept(std::move(message), std::move(ticket), std::move(replyLane),
                         std::move(done));
        }
    });
    return ticket;
}

void PipelinedSession::withdraw(const std::shared_ptr<Ticket>& ticket) {
    ticket->withdrawn.store(true, std::memory_order_release);
    lane_->post([weak = weak_from_this(), ticket] {
        const auto self = weak.lock();
        if (!self) {
            return;
        }
        for (auto it = self->pending_.begin(); it != self->pending_.end(); ++it) {
            if (it->second.ticket == ticket) {
                self->pending_.erase(it);
                self->awaitIdle();
                return;
            }
        }
    });
}

void PipelinedSession::accept(Bytes message, std::shared_ptr<Ticket> ticket,
                              std::shared_ptr<platform::Queue> replyLane, Done done) {
    if (ticket->withdrawn.load(std::memory_order_acquire)) {
        return;
    }
    const auto giveUp = [&] { replyLane->post([done = std::move(done)] { done(std::nullopt); }); };
    if (message.size() < dns::kHeaderSize || pending_.size() >= timing_.maxInFlight) {
        giveUp();
        return;
    }
    // The next ID free on this session; the table is far from full, so the walk is short.
    while (pending_.count(nextId_) != 0) {
        ++nextId_;
    }
    const std::uint16_t id = nextId_++;
    Pending pending;
    pending.clientId = dns::idOf(message);
    pending.order = accepted_++;
    dns::setId(message, id);
    dns::padToBlock(message, kPaddingBlock);
    auto framed = dns::frameMessage(message);
    if (!framed) {
        giveUp();
        return;
    }
    pending.framed = std::move(*framed);
    pending.ticket = std::move(ticket);
    pending.replyLane = std::move(replyLane);
    pending.done = std::move(done);
    pending_.emplace(id, std::move(pending));
    platform::cancelTimer(idleTimer_);
    if (link_ == Link::ready) {
        write(pending_.at(id));
        flush();
    } else {
        waiting_.push_back(id);
        if (link_ == Link::none) {
            open();
        }
    }
}

void PipelinedSession::open() {
    link_ = Link::opening;
    const auto generation = ++generation_;
    connection_ =
        connections_->makeConnection(state_->upstream(), platform::Transport::stream, lane_);
    state_->connectionOpened();
    connection_->setStateUpdateHandler([weak = weak_from_this(), generation](ConnectionState s) {
        if (const auto self = weak.lock()) {
            self->onState(generation, s);
        }
    });
    connection_->start();
}

void PipelinedSession::onState(std::uint64_t generation, ConnectionState state) {
    if (generation != generation_) {
        return;
    }
    const bool gone =
        state.kind == ConnectionState::Kind::failed || state.kind == ConnectionState::Kind::waiting;
    if (gone) {
        if (link_ == Link::opening) {
            failedToOpen(state.error);
        } else {
            lost();
        }
        return;
    }
    if (state.kind != ConnectionState::Kind::ready || link_ != Link::opening) {
        return;
    }
    link_ = Link::ready;
    lastRefusal_.clear();
    state_->handshook(connection_->resumedSession());
    lastRead_ = lane_->now();
    receiveNext();
    writeWaiting();
}

void PipelinedSession::writeWaiting() {
    while (!waiting_.empty()) {
        const auto id = waiting_.front();
        waiting_.pop_front();
        if (const auto it = pending_.find(id); it != pending_.end() && !it->second.written) {
            write(it->second);
        }
    }
    flush();
}

void PipelinedSession::write(Pending& pending) {
    pending.written = true;
    pending.writtenAfter = answered_;
    outbox_.insert(outbox_.end(), pending.framed.begin(), pending.framed.end());
}

// One write at a time: what comes meanwhile goes together in the next.
void PipelinedSession::flush() {
    if (sending_ || outbox_.empty() || link_ != Link::ready) {
        return;
    }
    sending_ = true;
    connection_->send(std::exchange(outbox_, {}),
                      [weak = weak_from_this(), generation = generation_](auto error) {
                          if (const auto self = weak.lock()) {
                              self->onSent(generation, error);
                          }
                      });
    awaitSilence(state_->retransmitTimeout());
}

void PipelinedSession::onSent(std::uint64_t generation,
                              std::optional<platform::ConnectionError> error) {
    if (generation != generation_) {
        return;
    }
    sending_ = false;
    if (error) {
        lost();
        return;
    }
    flush();
}

void PipelinedSession::receiveNext() {
    connection_->receive(1, kMaxRead,
                         [weak = weak_from_this(), generation = generation_](
                             std::optional<dns::Datagram>&& content, bool complete, auto error) {
                             if (const auto self = weak.lock()) {
                                 self->onReceived(generation, std::move(content), complete, error);
                             }
                         });
}

void PipelinedSession::onReceived(std::uint64_t generation, std::optional<dns::Datagram> content,
                                  bool complete, std::optional<platform::ConnectionError> error) {
    if (generation != generation_) {
        return;
    }
    if (error || !content) {
        lost();
        return;
    }
    lastRead_ = lane_->now();
    framer_.append(std::move(*content));
    for (;;) {
        Bytes framed;
        switch (framer_.next(framed)) {
            case dns::TcpFramer::Status::message:
                deliver(std::move(framed));
                if (generation != generation_) {
                    return;  // what came was not DNS: the connection is gone
                }
                continue;
            case dns::TcpFramer::Status::bad:
                lost();  // a length too short for any DNS message
                return;
            case dns::TcpFramer::Status::more:
                if (complete) {
                    lost();  // closed, perhaps inside a promised message
                } else {
                    receiveNext();
                }
                return;
        }
    }
}

void PipelinedSession::deliver(Bytes framed) {
    const auto message = dns::unframed(framed);
    if (!dns::isResponse(message)) {
        lost();  // not an answer: whatever the peer speaks, it is not DNS over TLS
        return;
    }
    const auto it = pending_.find(dns::idOf(message));
    // An answer for a query withdrawn, given up or answered already, or one whose question is
    // not the query's, is read past.
    if (it == pending_.end() || !dns::isReplyTo(message, dns::unframed(it->second.framed))) {
        return;
    }
    ++answered_;
    Bytes reply(message.begin(), message.end());
    dns::setId(reply, it->second.clientId);
    finish(it->first, std::move(reply));
    awaitIdle();
}

void PipelinedSession::finish(std::uint16_t id, std::optional<Bytes> reply) {
    const auto it = pending_.find(id);
    if (it == pending_.end()) {
        return;
    }
    Pending pending = std::move(it->second);
    pending_.erase(it);
    if (pending.ticket->withdrawn.load(std::memory_order_acquire)) {
        return;
    }
    pending.replyLane->post([done = std::move(pending.done), ticket = pending.ticket,
                             reply = std::move(reply)]() mutable {
        if (!ticket->withdrawn.load(std::memory_order_acquire)) {
            done(std::move(reply));
        }
    });
}

void PipelinedSession::lost() {
    const auto answeredBefore = answered_;
    closeConnection();
    std::vector<std::uint16_t> givenUp;
    for (auto& [id, pending] : pending_) {
        if (!pending.written) {
            continue;  // still waiting: it goes on the new connection as it is
        }
        const bool answeredSince = answeredBefore > pending.writtenAfter;
        if ((!answeredSince && pending.resent) ||
            pending.ticket->elsewhere.load(std::memory_order_acquire)) {
            givenUp.push_back(id);
            continue;
        }
        pending.resent = pending.resent || !answeredSince;
        pending.written = false;
        pending.ticket->resent.store(true, std::memory_order_release);
        state_->resent();
    }
    for (const auto id : givenUp) {
        finish(id, std::nullopt);
    }
    // None is written on the connection to come; they go in the order they came.
    for (const auto& entry : pending_) {
        waiting_.push_back(entry.first);
    }
    std::sort(waiting_.begin(), waiting_.end(), [this](std::uint16_t a, std::uint16_t b) {
        return pending_.at(a).order < pending_.at(b).order;
    });
    if (!pending_.empty()) {
        open();
    }
}

void PipelinedSession::failedToOpen(std::optional<platform::ConnectionError> error) {
    if (error && error->category() == platform::certificateErrorCategory()) {
        state_->certificateFailed();
        // Told once, not at every try of an upstream that keeps being refused for it.
        const auto why = error->message();
        if (events_.onCertificateFailure && why != lastRefusal_) {
            events_.onCertificateFailure(state_->upstream(), why);
        }
        lastRefusal_ = why;
    }
    closeConnection();
    std::vector<std::uint16_t> all;
    all.reserve(pending_.size());
    for (const auto& entry : pending_) {
        all.push_back(entry.first);
    }
    for (const auto id : all) {
        finish(id, std::nullopt);
    }
}

void PipelinedSession::closeConnection() {
    ++generation_;
    platform::cancelTimer(silenceTimer_);
    platform::cancelTimer(idleTimer_);
    if (connection_) {
        state_->connectionClosed();
        // Moved out first: cancel() makes the connection release its handlers.
        auto connection = std::move(connection_);
        connection->cancel();
    }
    link_ = Link::none;
    sending_ = false;
    outbox_.clear();
    waiting_.clear();
    framer_ = dns::TcpFramer();
    answered_ = 0;
}

std::size_t PipelinedSession::owed() const {
    std::size_t count = 0;
    for (const auto& entry : pending_) {
        count += entry.second.written ? 1 : 0;
    }
    return count;
}

// While answers are owed, nothing read for longer than the retransmission time is silence.
void PipelinedSession::awaitSilence(std::chrono::milliseconds after) {
    if (silenceTimer_ || link_ != Link::ready) {
        return;
    }
    silenceTimer_ =
        lane_->scheduleAfter(after, [weak = weak_from_this(), generation = generation_] {
            const auto self = weak.lock();
            if (!self || generation != self->generation_) {
                return;
            }
            self->silenceTimer_.reset();
            if (self->owed() == 0) {
                return;
            }
            const auto limit = self->state_->retransmitTimeout();
            const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(
                self->lane_->now() - self->lastRead_);
            if (quiet >= limit) {
                self->lost();
            } else {
                self->awaitSilence(limit - quiet);
            }
        });
}

void PipelinedSession::awaitIdle() {
    if (!pending_.empty() || link_ == Link::none || idleTimer_) {
        return;
    }
    idleTimer_ = lane_->scheduleAfter(
        timing_.idleClose, [weak = weak_from_this(), generation = generation_] {
            const auto self = weak.lock();
            if (self && generation == self->generation_ && self->pending_.empty()) {
                self->idleTimer_.reset();
                self->closeConnection();
            }
        });
}

}  // namespace sieveharbor::flow
