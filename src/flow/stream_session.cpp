#include "flow/stream_session.h"

#include <algorithm>
#include <utility>

#include "dns/blocked_response.h"

namespace sieveharbor::flow {

namespace {

using metrics::TcpClose;
using platform::FlowError;

// Room for the two-byte length that frames a message on a stream.
constexpr std::size_t kLengthBytes = 2;

void putLength(std::vector<std::uint8_t>& out, std::size_t at, std::size_t length) {
    out[at] = static_cast<std::uint8_t>(length >> 8);
    out[at + 1] = static_cast<std::uint8_t>(length & 0xFF);
}

void closeBoth(platform::StreamFlow& flow) {
    flow.closeReadWithError(std::nullopt);
    flow.closeWriteWithError(std::nullopt);
}

}  // namespace

bool StreamRegistry::admit(const std::shared_ptr<StreamSession>& session) {
    std::shared_ptr<StreamSession> victim;
    {
        const std::lock_guard lock(mutex_);
        if (sessions_.size() >= maxSessions_) {
            const auto idle = std::find_if(sessions_.begin(), sessions_.end(),
                                           [](const auto& s) { return s->idle(); });
            if (idle == sessions_.end()) {
                return false;  // every session busy: the newcomer waits its turn
            }
            victim = std::move(*idle);
            sessions_.erase(idle);
        }
        sessions_.push_back(session);
    }
    if (victim) {
        victim->close(TcpClose::connectionCap);
    }
    return true;
}

void StreamRegistry::forget(const StreamSession* session) {
    std::shared_ptr<StreamSession> going;  // released after the lock
    const std::lock_guard lock(mutex_);
    const auto it = std::find_if(sessions_.begin(), sessions_.end(),
                                 [session](const auto& s) { return s.get() == session; });
    if (it != sessions_.end()) {
        going = std::move(*it);
        sessions_.erase(it);
    }
}

std::size_t StreamRegistry::count() const {
    const std::lock_guard lock(mutex_);
    return sessions_.size();
}

std::size_t StreamRegistry::idleCount() const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(sessions_.begin(), sessions_.end(), [](const auto& s) { return s->idle(); }));
}

void serveStreamFlow(std::weak_ptr<const Pipeline> pipeline,
                     std::shared_ptr<platform::StreamFlow> flow) {
    auto& target = *flow;
    target.openWithLocalEndpoint([pipeline = std::move(pipeline),
                                  flow = std::move(flow)](std::optional<FlowError> error) {
        const auto served = pipeline.lock();
        // Gone or not opened: the flow is left alone.
        if (!served || error) {
            return;
        }
        // Its lane is made here, on the flow's own thread where the platform has one, so that
        // the session and its exchanges run beside the flow.
        auto session = std::make_shared<StreamSession>(
            pipeline, flow, served->forward().queue()->makeSerialQueue(), served->streamLimits());
        if (!served->streams().admit(session)) {
            served->counters().tcpClosed(TcpClose::connectionCap);
            closeBoth(*flow);
            return;
        }
        session->start();
    });
}

StreamSession::StreamSession(std::weak_ptr<const Pipeline> pipeline,
                             std::shared_ptr<platform::StreamFlow> flow,
                             std::shared_ptr<platform::Queue> lane, StreamLimits limits)
    : pipeline_(std::move(pipeline)),
      flow_(std::move(flow)),
      lane_(std::move(lane)),
      limits_(limits) {}

void StreamSession::start() {
    lane_->post([self = shared_from_this()] {
        self->becomeIdleIfDone();
        self->read();
    });
}

void StreamSession::close(std::optional<TcpClose> reason) {
    lane_->post([self = shared_from_this(), reason] { self->closeNow(reason); });
}

void StreamSession::read() {
    if (reading_ || closed_) {
        return;
    }
    reading_ = true;
    flow_->readDataWithCompletionHandler(
        [self = shared_from_this()](std::span<const std::uint8_t> data,
                                    std::optional<FlowError> error) {
            // The bytes are only lent: copied for the lane.
            self->lane_->post(
                [self, bytes = std::vector<std::uint8_t>(data.begin(), data.end()),
                 end = error || data.empty()]() mutable { self->received(std::move(bytes), end); });
        });
}

void StreamSession::received(std::vector<std::uint8_t> bytes, bool end) {
    reading_ = false;
    if (closed_) {
        return;
    }
    const auto pipeline = pipeline_.lock();
    if (end || !pipeline) {
        closeNow(std::nullopt);
        return;
    }
    framer_.append(bytes);
    pump(*pipeline);
}

// Judges the whole messages received while fewer than the bound are in progress, then reads on;
// at the bound the rest wait, unread, until an exchange ends.
void StreamSession::pump(const Pipeline& pipeline) {
    blocklist::SnapshotCursor list(pipeline.blocked());
    dns::Datagram message;
    while (!closed_ && inProgress_ < limits_.maxInProgress) {
        switch (framer_.next(message)) {
            case dns::TcpFramer::Status::bad:
                closeNow(TcpClose::badFraming);
                return;
            case dns::TcpFramer::Status::more:
                flush();
                read();
                return;
            case dns::TcpFramer::Status::message:
                handle(pipeline, list, std::move(message));
                break;
        }
    }
    if (!closed_) {
        paused_ = true;
        flush();
    }
}

void StreamSession::handle(const Pipeline& pipeline, blocklist::SnapshotCursor& list,
                           dns::Datagram message) {
    becomeBusy();
    const auto judgement = pipeline.judge(list, message, metrics::Transport::tcp);
    switch (judgement.verdict) {
        case Verdict::answer: {
            const std::size_t at = out_.size();
            out_.resize(at + kLengthBytes);
            dns::appendBlockedResponse(message, judgement.question, out_);
            putLength(out_, at, out_.size() - at - kLengthBytes);
            return;
        }
        case Verdict::drop:
            return;
        case Verdict::relay:
            // Over the cap shared with UDP the query is dropped (and counted so), as an
            // overloaded resolver drops it.
            if (forwardStreamQuery(pipeline.forward(), std::move(message), shared_from_this(),
                                   pipeline.upstreamHost())) {
                ++inProgress_;
            }
            return;
    }
}

void StreamSession::exchangeEnded(std::optional<dns::Datagram> reply) {
    lane_->post([self = shared_from_this(), reply = std::move(reply)] {
        --self->inProgress_;
        if (self->closed_) {
            return;
        }
        if (reply) {
            self->appendReply(*reply);
        }
        const auto pipeline = self->pipeline_.lock();
        if (!pipeline) {
            self->closeNow(std::nullopt);
            return;
        }
        if (self->paused_) {
            self->paused_ = false;
            self->pump(*pipeline);
        } else {
            self->flush();
        }
        self->becomeIdleIfDone();
    });
}

void StreamSession::appendReply(const dns::Datagram& reply) {
    if (reply.size() > 0xFFFF) {
        return;  // no length can say it; a stream upstream never sends one
    }
    const std::size_t at = out_.size();
    out_.resize(at + kLengthBytes);
    putLength(out_, at, reply.size());
    out_.insert(out_.end(), reply.begin(), reply.end());
}

// The answers gathered since the last write leave in one write, so answers that are ready
// together share a segment.
void StreamSession::flush() {
    if (out_.empty() || closed_) {
        return;
    }
    if (unwritten_ + out_.size() > limits_.maxQueuedBytes) {
        closeNow(TcpClose::slowReader);  // a client that does not read its answers
        return;
    }
    const std::size_t bytes = out_.size();
    unwritten_ += bytes;
    flow_->writeData(std::exchange(out_, {}),
                     [self = shared_from_this(), bytes](std::optional<FlowError> error) {
                         self->lane_->post([self, bytes, failed = error.has_value()] {
                             self->wrote(bytes, failed);
                         });
                     });
}

void StreamSession::wrote(std::size_t bytes, bool failed) {
    unwritten_ -= bytes;
    if (closed_) {
        return;
    }
    if (failed) {
        closeNow(std::nullopt);
        return;
    }
    becomeIdleIfDone();
}

void StreamSession::becomeBusy() {
    idle_.store(false, std::memory_order_release);
    if (idleTimer_) {
        idleTimer_->cancel();
        idleTimer_.reset();
    }
}

// Idle: no query in progress and no answer waiting to be taken. The clock starts now.
void StreamSession::becomeIdleIfDone() {
    if (closed_ || inProgress_ > 0 || !out_.empty() || unwritten_ > 0 || idle()) {
        return;
    }
    idle_.store(true, std::memory_order_release);
    idleTimer_ = lane_->scheduleAfter(limits_.idleTimeout, [weak = weak_from_this()] {
        if (const auto self = weak.lock()) {
            self->closeNow(TcpClose::idle);
        }
    });
}

void StreamSession::closeNow(std::optional<TcpClose> reason) {
    if (closed_) {
        return;
    }
    closed_ = true;
    idle_.store(false, std::memory_order_release);
    if (idleTimer_) {
        idleTimer_->cancel();
        idleTimer_.reset();
    }
    out_.clear();
    closeBoth(*flow_);
    if (const auto pipeline = pipeline_.lock()) {
        if (reason) {
            pipeline->counters().tcpClosed(*reason);
        }
        pipeline->streams().forget(this);
    }
}

}  // namespace sieveharbor::flow
