#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "flow/pipelined_session.h"
#include "metrics/counters.h"
#include "platform/upstream.h"

namespace sieveharbor::flow {

using Clock = std::chrono::steady_clock;

// How attempts are paced. An upstream's retransmission time is its smoothed round trip plus
// four times the round trip's variation (as TCP's is, RFC 6298), no less than the floor (an
// answer from loopback or a nearby resolver never sets off a second attempt because the first
// took a millisecond longer than usual) and no more than the ceiling; while nothing is known of
// an upstream it is the initial time.
inline constexpr std::chrono::milliseconds kInitialRetransmit{400};
inline constexpr std::chrono::milliseconds kMinRetransmit{250};
inline constexpr std::chrono::milliseconds kMaxRetransmit{3000};
// Failed attempts in a row (no reply in time, or refused) that put an upstream down; one that has
// never replied is down at its first, so that a dead first upstream costs the queries after the
// start one retransmission time, not several.
inline constexpr int kFailuresToDown = 3;
// How long a down upstream is left alone before a query tries it again, doubled after each try
// that fails.
inline constexpr std::chrono::milliseconds kFirstProbeAfter{1000};
inline constexpr std::chrono::milliseconds kMaxProbeAfter{10000};

// What one upstream has shown of itself: its round trip and its variation, its failures in a
// row, whether it is up and when a query may try it again. Shared by the attempts of every query
// and used from any thread without a lock: a sample that races another may be lost, which
// smoothing forgives, while the transitions between up and down happen once each.
class UpstreamState {
  public:
    explicit UpstreamState(platform::Upstream upstream) : upstream_(std::move(upstream)) {}

    const platform::Upstream& upstream() const noexcept { return upstream_; }
    bool up() const noexcept { return up_.load(std::memory_order_acquire); }
    std::chrono::milliseconds retransmitTimeout() const noexcept {
        return std::chrono::milliseconds(retransmitMs_.load(std::memory_order_relaxed));
    }

    // The outcomes of attempts. Each returns true when it changed whether the upstream is up.
    void attempted() noexcept { attempts_.fetch_add(1, std::memory_order_relaxed); }
    // A valid reply, `roundTrip` after the query was sent: the upstream is up.
    bool replied(Clock::duration roundTrip) noexcept;
    // No reply within the retransmission time, or refused before it.
    enum class Failure : std::uint8_t { timeout, refusal };
    bool failed(Failure failure, Clock::time_point now, bool probe) noexcept;

    // True, for one query at a time, when the upstream is down and due to be tried again; the
    // query then tries it beside its own attempt, and the try's outcome is told with probe set,
    // or probeAbandoned() when the query ended before it had one.
    bool takeProbe(Clock::time_point now) noexcept;
    void probeAbandoned() noexcept { probing_.store(false, std::memory_order_release); }

    // What a TLS upstream's session tells of its connections.
    void connectionOpened() noexcept { connectionsOpen_.fetch_add(1, std::memory_order_relaxed); }
    void connectionClosed() noexcept { connectionsOpen_.fetch_sub(1, std::memory_order_relaxed); }
    void handshook(bool resumed) noexcept {
        (resumed ? resumedHandshakes_ : fullHandshakes_).fetch_add(1, std::memory_order_relaxed);
    }
    void resent() noexcept { resent_.fetch_add(1, std::memory_order_relaxed); }
    void certificateFailed() noexcept {
        certificateFailures_.fetch_add(1, std::memory_order_relaxed);
    }

    metrics::UpstreamFigures figures() const;

  private:
    const platform::Upstream upstream_;
    std::atomic<bool> up_{true};
    std::atomic<int> failuresInARow_{0};
    std::atomic<std::int64_t> smoothedUs_{-1};  // -1: no reply yet
    std::atomic<std::int64_t> variationUs_{0};
    std::atomic<std::int64_t> retransmitMs_{kInitialRetransmit.count()};
    std::atomic<std::int64_t> probeAfterMs_{kFirstProbeAfter.count()};
    std::atomic<Clock::rep> nextProbe_{0};  // steady-clock ticks
    std::atomic<bool> probing_{false};
    std::atomic<std::uint64_t> attempts_{0};
    std::atomic<std::uint64_t> replies_{0};
    std::atomic<std::uint64_t> timeouts_{0};
    std::atomic<std::uint64_t> refusals_{0};
    std::atomic<std::int64_t> connectionsOpen_{0};
    std::atomic<std::uint64_t> fullHandshakes_{0};
    std::atomic<std::uint64_t> resumedHandshakes_{0};
    std::atomic<std::uint64_t> resent_{0};
    std::atomic<std::uint64_t> certificateFailures_{0};
};

// What the relay tells of its upstreams as it goes; each on the thread that saw it.
struct UpstreamEvents {
    // An upstream went down, or came back.
    std::function<void(const platform::Upstream& upstream, bool up)> onChange{};
    // A TLS upstream's certificate did not verify: why.
    std::function<void(const platform::Upstream& upstream, const std::string& why)>
        onCertificateFailure{};
};

// The preference list and what is known of each upstream: which one a query's attempts go to,
// and for each TLS upstream the session its queries share. Any thread.
class Upstreams {
  public:
    // `list` must not be empty. `connections` and `queue` (whose serial queues the sessions run
    // on) are for the TLS upstreams' sessions.
    Upstreams(const platform::UpstreamList& list, UpstreamEvents events,
              const std::shared_ptr<platform::ConnectionFactory>& connections = nullptr,
              const std::shared_ptr<platform::Queue>& queue = nullptr, SessionTiming timing = {});

    std::size_t size() const noexcept { return states_.size(); }
    UpstreamState& at(std::size_t index) noexcept { return *states_[index]; }
    const UpstreamState& at(std::size_t index) const noexcept { return *states_[index]; }
    // The session of a TLS upstream; null for a plain one.
    const std::shared_ptr<PipelinedSession>& session(std::size_t index) const noexcept {
        return sessions_[index];
    }

    // Where a query's first attempt goes: the first upstream that is up, or the first of all
    // when none is (a query is never refused a try).
    std::size_t first() const noexcept;
    // Where the attempt after one to `previous` goes: the next upstream that is up after it in
    // order, coming round to the start, `previous` again when it alone is up; when none is up,
    // simply the next.
    std::size_t next(std::size_t previous) const noexcept;
    // A down upstream other than `except` that is due to be tried again, taken for one query.
    std::optional<std::size_t> takeProbe(std::size_t except, Clock::time_point now) noexcept;

    // Tell these of attempts' outcomes, so that a change is told once.
    void replied(std::size_t index, Clock::duration roundTrip);
    void failed(std::size_t index, UpstreamState::Failure failure, Clock::time_point now,
                bool probe);

    std::vector<metrics::UpstreamFigures> figures() const;

  private:
    std::vector<std::shared_ptr<UpstreamState>> states_;
    std::vector<std::shared_ptr<PipelinedSession>> sessions_;
    const UpstreamEvents events_;
    // How many are down: while none is, a query's choices need look at none of them.
    std::atomic<std::size_t> down_{0};
};

}  // namespace sieveharbor::flow
