#include "flow/stream_session.h"

#include <algorithm>
#include <utility>

#include "dns/blocked_response.h"

namespace sieveharbor::flow {

using metrics::TcpClose;
using platform::FlowError;

void serveStreamFlow(std::weak_ptr<const FlowContext> context,
                     std::shared_ptr<platform::StreamFlow> flow) {
    auto& target = *flow;
    target.openWithLocalEndpoint(
        [context = std::move(context), flow = std::move(flow)](std::optional<FlowError> error) {
            const auto served = context.lock();
            // Not opened, or no one left to serve it: nothing will be read, so it is closed.
            if (!served || error) {
                flow->close(error);
                return;
            }
            // Its lane is made here, on the flow's own thread where the platform has one, so that
            // the session runs beside the flow.
            auto session = std::make_shared<StreamSession>(
                context, flow, served->queue().makeSerialQueue(), served->streamLimits());
            if (!served->streams().admit(session)) {
                served->counters().tcpClosed(TcpClose::connectionCap);
                flow->close();
                return;
            }
            session->start();
        });
}

StreamSession::StreamSession(std::weak_ptr<const FlowContext> context,
                             std::shared_ptr<platform::StreamFlow> flow,
                             std::shared_ptr<platform::Queue> lane, StreamLimits limits)
    : context_(std::move(context)),
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
    // The session keeps itself while the read is pending, and lets go when it closes: a
    // platform may never complete a read on a closed flow, and a completion that held the
    // session would then keep it, and its flow, for good.
    readHold_ = shared_from_this();
    flow_->readDataWithCompletionHandler(
        [weak = weak_from_this()](std::span<const std::uint8_t> data,
                                  std::optional<FlowError> error) {
            const auto self = weak.lock();
            if (!self) {
                return;  // closed and gone
            }
            // The bytes are only lent: copied for the lane.
            self->lane_->post([self, bytes = std::vector<std::uint8_t>(data.begin(), data.end()),
                               ended = data.empty(), failed = error.has_value()]() mutable {
                self->received(std::move(bytes), ended, failed);
            });
        });
}

void StreamSession::received(std::vector<std::uint8_t> bytes, bool ended, bool failed) {
    reading_ = false;
    readHold_.reset();  // the caller holds the session for this call
    if (closed_) {
        return;
    }
    const auto context = context_.lock();
    if (failed || !context) {
        closeNow(std::nullopt);
        return;
    }
    if (ended) {
        inputEnded_ = true;
        becomeIdleIfDone();
        return;
    }
    framer_.append(std::move(bytes));
    pump(*context);
}

// Judges the whole messages received while fewer than the bound are in progress, then reads on;
// at the bound the rest wait, unread, until an exchange ends.
void StreamSession::pump(const FlowContext& context) {
    blocklist::SnapshotCursor list(context.blocked());
    std::vector<std::uint8_t> framed;
    while (!closed_ && inProgress_ < limits_.maxInProgress) {
        switch (framer_.next(framed)) {
            case dns::TcpFramer::Status::bad:
                closeNow(TcpClose::badFraming);
                return;
            case dns::TcpFramer::Status::more:
                flush();
                read();
                return;
            case dns::TcpFramer::Status::message:
                handle(context, list, std::move(framed));
                break;
        }
    }
    if (!closed_) {
        paused_ = true;
        flush();
    }
}

void StreamSession::handle(const FlowContext& context, blocklist::SnapshotCursor& list,
                           std::vector<std::uint8_t> framed) {
    becomeBusy();
    const auto message = dns::unframed(framed);
    const auto judgement = context.judge(list, message, metrics::Transport::tcp);
    switch (judgement.verdict) {
        case Verdict::answer:
            dns::appendFramed(out_, [&](std::vector<std::uint8_t>& out) {
                dns::appendBlockedResponse(message, judgement.question, out);
            });
            return;
        case Verdict::drop:
            return;
        case Verdict::relay:
            // Over the cap shared with UDP the query is dropped (and counted so), as an
            // overloaded resolver drops it.
            if (forwardQuery(context.forward(), platform::Transport::stream, std::move(framed),
                             shared_from_this())) {
                ++inProgress_;
            }
            return;
    }
}

void StreamSession::exchangeEnded(std::optional<std::vector<std::uint8_t>> reply) {
    lane_->post([self = shared_from_this(), reply = std::move(reply)]() mutable {
        --self->inProgress_;
        if (self->closed_) {
            return;
        }
        if (reply) {
            // Already framed, as the upstream sent it.
            if (self->out_.empty()) {
                self->out_ = std::move(*reply);
            } else {
                self->out_.insert(self->out_.end(), reply->begin(), reply->end());
            }
        }
        const auto context = self->context_.lock();
        if (!context) {
            self->closeNow(std::nullopt);
            return;
        }
        if (self->paused_) {
            self->paused_ = false;
            self->pump(*context);
        } else {
            self->flush();
        }
        self->becomeIdleIfDone();
    });
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
    platform::cancelTimer(idleTimer_);
}

// Idle: no query in progress and no answer waiting to be taken. The clock starts now; unless the
// client has closed its side, when every query it wrote has been answered and the flow closes.
void StreamSession::becomeIdleIfDone() {
    if (closed_ || inProgress_ > 0 || !out_.empty() || unwritten_ > 0) {
        return;
    }
    if (inputEnded_) {
        closeNow(std::nullopt);
        return;
    }
    if (idle()) {
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
    platform::cancelTimer(idleTimer_);
    out_.clear();
    readHold_.reset();
    flow_->close();
    if (const auto context = context_.lock()) {
        if (reason) {
            context->counters().tcpClosed(*reason);
        }
        context->streams().forget(this);
    }
}

}  // namespace sieveharbor::flow
