#include "flow/upstreams.h"

#include <algorithm>
#include <cstdlib>

namespace sieveharbor::flow {

namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;

std::int64_t retransmitMs(std::int64_t smoothedUs, std::int64_t variationUs) {
    const auto us = smoothedUs + 4 * variationUs;
    const auto ms = (us + 999) / 1000;
    return std::clamp<std::int64_t>(ms, kMinRetransmit.count(), kMaxRetransmit.count());
}

}  // namespace

bool UpstreamState::replied(Clock::duration roundTrip) noexcept {
    replies_.fetch_add(1, std::memory_order_relaxed);
    const std::int64_t sample =
        std::max<std::int64_t>(duration_cast<microseconds>(roundTrip).count(), 0);
    std::int64_t smoothed = smoothedUs_.load(std::memory_order_relaxed);
    std::int64_t variation = variationUs_.load(std::memory_order_relaxed);
    if (smoothed < 0) {
        smoothed = sample;
        variation = sample / 2;
    } else {
        variation = (3 * variation + std::abs(smoothed - sample)) / 4;
        smoothed = (7 * smoothed + sample) / 8;
    }
    smoothedUs_.store(smoothed, std::memory_order_relaxed);
    variationUs_.store(variation, std::memory_order_relaxed);
    retransmitMs_.store(retransmitMs(smoothed, variation), std::memory_order_relaxed);
    failuresInARow_.store(0, std::memory_order_relaxed);
    probeAfterMs_.store(kFirstProbeAfter.count(), std::memory_order_relaxed);
    probing_.store(false, std::memory_order_release);
    return !up_.exchange(true, std::memory_order_acq_rel);
}

bool UpstreamState::failed(Failure failure, Clock::time_point now, bool probe) noexcept {
    (failure == Failure::timeout ? timeouts_ : refusals_).fetch_add(1, std::memory_order_relaxed);
    if (probe) {
        // Left alone twice as long before the next try, up to the most.
        const auto after = std::min<std::int64_t>(2 * probeAfterMs_.load(std::memory_order_relaxed),
                                                  kMaxProbeAfter.count());
        probeAfterMs_.store(after, std::memory_order_relaxed);
        nextProbe_.store((now + milliseconds(after)).time_since_epoch().count(),
                         std::memory_order_relaxed);
        probing_.store(false, std::memory_order_release);
    }
    const int inARow = failuresInARow_.fetch_add(1, std::memory_order_relaxed) + 1;
    const bool known = smoothedUs_.load(std::memory_order_relaxed) >= 0;
    if (inARow < (known ? kFailuresToDown : 1) || !up()) {
        return false;
    }
    // When the first try is due, set before the upstream is seen down.
    nextProbe_.store((now + milliseconds(probeAfterMs_.load(std::memory_order_relaxed)))
                         .time_since_epoch()
                         .count(),
                     std::memory_order_relaxed);
    return up_.exchange(false, std::memory_order_acq_rel);
}

bool UpstreamState::takeProbe(Clock::time_point now) noexcept {
    if (up() || probing_.load(std::memory_order_acquire) ||
        now.time_since_epoch().count() < nextProbe_.load(std::memory_order_relaxed)) {
        return false;
    }
    bool expected = false;
    return probing_.compare_exchange_strong(expected, true, std::memory_order_acq_rel);
}

metrics::UpstreamFigures UpstreamState::figures() const {
    metrics::UpstreamFigures figures;
    figures.name = upstream_.text();
    figures.attempts = attempts_.load(std::memory_order_relaxed);
    figures.replies = replies_.load(std::memory_order_relaxed);
    figures.timeouts = timeouts_.load(std::memory_order_relaxed);
    figures.refusals = refusals_.load(std::memory_order_relaxed);
    figures.up = up();
    if (const auto smoothed = smoothedUs_.load(std::memory_order_relaxed); smoothed >= 0) {
        figures.smoothedRoundTrip = microseconds(smoothed);
    }
    if (upstream_.tls()) {
        figures.tls = metrics::TlsFigures{static_cast<std::uint64_t>(std::max<std::int64_t>(
                                              connectionsOpen_.load(std::memory_order_relaxed), 0)),
                                          fullHandshakes_.load(std::memory_order_relaxed),
                                          resumedHandshakes_.load(std::memory_order_relaxed),
                                          resent_.load(std::memory_order_relaxed),
                                          certificateFailures_.load(std::memory_order_relaxed)};
    }
    return figures;
}

Upstreams::Upstreams(const platform::UpstreamList& list, UpstreamEvents events,
                     const std::shared_ptr<platform::ConnectionFactory>& connections,
                     const std::shared_ptr<platform::Queue>& queue, SessionTiming timing)
    : events_(std::move(events)) {
    states_.reserve(list.size());
    sessions_.reserve(list.size());
    for (const auto& upstream : list) {
        states_.push_back(std::make_shared<UpstreamState>(upstream));
        sessions_.push_back(upstream.tls() && connections
                                ? std::make_shared<PipelinedSession>(
                                      connections, states_.back(), queue->makeSerialQueue(),
                                      SessionEvents{events_.onCertificateFailure}, timing)
                                : nullptr);
    }
}

std::size_t Upstreams::first() const noexcept {
    if (down_.load(std::memory_order_acquire) == 0) {
        return 0;
    }
    for (std::size_t i = 0; i < states_.size(); ++i) {
        if (states_[i]->up()) {
            return i;
        }
    }
    return 0;
}

std::size_t Upstreams::next(std::size_t previous) const noexcept {
    const std::size_t count = states_.size();
    if (count == 0) {
        return 0;
    }
    for (std::size_t step = 1; step <= count; ++step) {
        const std::size_t candidate = (previous + step) % count;
        if (states_[candidate]->up()) {
            return candidate;
        }
    }
    return (previous + 1) % count;
}

std::optional<std::size_t> Upstreams::takeProbe(std::size_t except,
                                                Clock::time_point now) noexcept {
    if (down_.load(std::memory_order_acquire) == 0) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < states_.size(); ++i) {
        if (i != except && states_[i]->takeProbe(now)) {
            return i;
        }
    }
    return std::nullopt;
}

void Upstreams::replied(std::size_t index, Clock::duration roundTrip) {
    if (!at(index).replied(roundTrip)) {
        return;
    }
    down_.fetch_sub(1, std::memory_order_acq_rel);
    if (events_.onChange) {
        events_.onChange(at(index).upstream(), true);
    }
}

void Upstreams::failed(std::size_t index, UpstreamState::Failure failure, Clock::time_point now,
                       bool probe) {
    if (!at(index).failed(failure, now, probe)) {
        return;
    }
    down_.fetch_add(1, std::memory_order_acq_rel);
    if (events_.onChange) {
        events_.onChange(at(index).upstream(), false);
    }
}

std::vector<metrics::UpstreamFigures> Upstreams::figures() const {
    std::vector<metrics::UpstreamFigures> all;
    all.reserve(states_.size());
    for (const auto& state : states_) {
        all.push_back(state->figures());
    }
    return all;
}

}  // namespace sieveharbor::flow
