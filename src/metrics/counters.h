#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sieveharbor::metrics {

enum class Transport : std::uint8_t { udp, tcp };
// What the proxy answered itself: a blocked reply's kind, by the question's type, or a SERVFAIL
// for a query no upstream replied to.
enum class Answer : std::uint8_t { a, aaaa, httpsNameError, other, servfail };
enum class Drop : std::uint8_t {
    incompleteQuestion,    // blocked, but too short to answer
    overInFlightCap,       // to be relayed with the cap reached
    notAQuery,             // a response (QR set)
    descriptorsExhausted,  // to be relayed with no descriptor left for its socket
};
enum class TcpClose : std::uint8_t { connectionCap, idle, badFraming, slowReader };
enum class Outcome : std::uint8_t { reply, timeout, failure };

// Each kind's label values, in its enum's order: the exposition prints them, and the arrays of
// counts are sized from them.
template <class Kind>
struct Labels;
template <>
struct Labels<Transport> {
    static constexpr std::array names = {"udp", "tcp"};
};
template <>
struct Labels<Answer> {
    static constexpr std::array names = {"a", "aaaa", "https_name_error", "other", "servfail"};
};
template <>
struct Labels<Drop> {
    static constexpr std::array names = {"incomplete_question", "over_in_flight_cap", "not_a_query",
                                         "descriptors_exhausted"};
};
template <>
struct Labels<TcpClose> {
    static constexpr std::array names = {"connection_cap", "idle", "bad_framing", "slow_reader"};
};
template <>
struct Labels<Outcome> {
    static constexpr std::array names = {"reply", "timeout", "failure"};
};
static_assert(Labels<Transport>::names.size() == std::size_t(Transport::tcp) + 1 &&
              Labels<Answer>::names.size() == std::size_t(Answer::servfail) + 1 &&
              Labels<Drop>::names.size() == std::size_t(Drop::descriptorsExhausted) + 1 &&
              Labels<TcpClose>::names.size() == std::size_t(TcpClose::slowReader) + 1 &&
              Labels<Outcome>::names.size() == std::size_t(Outcome::failure) + 1);

template <class Kind>
inline constexpr std::size_t kKinds = Labels<Kind>::names.size();
// One count per value of Kind.
template <class Kind>
using Counts = std::array<std::uint64_t, kKinds<Kind>>;

// A DNS-over-TLS upstream's connections at one moment.
struct TlsFigures {
    std::uint64_t connectionsOpen = 0;
    std::uint64_t fullHandshakes = 0;
    std::uint64_t resumedHandshakes = 0;
    std::uint64_t resent = 0;  // queries sent again on a new connection after one was lost
    std::uint64_t certificateFailures = 0;
};

// One upstream's figures at one moment.
struct UpstreamFigures {
    std::string name;  // "1.1.1.3:53": how the exposition labels it
    std::uint64_t attempts = 0;
    std::uint64_t replies = 0;   // valid ones
    std::uint64_t timeouts = 0;  // attempts with no reply in their retransmission time
    std::uint64_t refusals = 0;  // attempts that failed before it
    bool up = true;
    std::optional<std::chrono::microseconds> smoothedRoundTrip;  // none until a reply
    std::optional<TlsFigures> tls;                               // a TLS upstream's own
};

// Every figure at one moment. Query counts are sums over threads read one by one, so a sum may
// lag its parts by the queries in flight while it is read.
struct Snapshot {
    Counts<Transport> received{};
    Counts<Answer> answered{};
    std::uint64_t relayed = 0;
    Counts<Drop> dropped{};
    Counts<TcpClose> tcpClosed{};
    Counts<Outcome> exchanges{};
    std::uint64_t inFlight = 0;
    std::vector<UpstreamFigures> upstreams;  // in order of preference
    std::uint64_t entries = 0;
    std::uint64_t reloadsAccepted = 0;
    std::uint64_t reloadsRefused = 0;
    std::optional<std::chrono::system_clock::time_point> lastReload;
    std::chrono::nanoseconds lastReloadTook{0};
    std::chrono::system_clock::time_point started;
};

// The proxy's counters. The query path only adds, without locks: each thread adds to a shard of
// its own (relaxed atomics, a shard never shares a cache line with another), and a reader sums
// the shards. Names are never recorded.
class Counters {
  public:
    Counters() noexcept : started_(std::chrono::system_clock::now()) {}

    void received(Transport transport) noexcept { add(kReceived + index(transport)); }
    void answered(Answer kind) noexcept { add(kAnswered + index(kind)); }
    void relayed() noexcept { add(kRelayed); }
    void dropped(Drop reason) noexcept { add(kDropped + index(reason)); }
    void tcpClosed(TcpClose reason) noexcept { add(kTcpClosed + index(reason)); }
    void exchangeEnded(Outcome outcome) noexcept { add(kExchanges + index(outcome)); }

    // Off the query path: one load of the list.
    void reloadAccepted(std::chrono::nanoseconds took) noexcept;
    void reloadRefused() noexcept;

    // Everything but the gauges the owner of the list and the relay fills in (entries, inFlight).
    Snapshot read() const noexcept;

  private:
    static constexpr std::size_t kReceived = 0;
    static constexpr std::size_t kAnswered = kReceived + kKinds<Transport>;
    static constexpr std::size_t kRelayed = kAnswered + kKinds<Answer>;
    static constexpr std::size_t kDropped = kRelayed + 1;
    static constexpr std::size_t kTcpClosed = kDropped + kKinds<Drop>;
    static constexpr std::size_t kExchanges = kTcpClosed + kKinds<TcpClose>;
    static constexpr std::size_t kCount = kExchanges + kKinds<Outcome>;
    // More shards than the threads that serve queries; two threads that share one stay correct.
    static constexpr std::size_t kShards = 16;

    struct alignas(64) Shard {
        std::array<std::atomic<std::uint64_t>, kCount> values{};
    };

    template <class Enum>
    static constexpr std::size_t index(Enum value) noexcept {
        return static_cast<std::size_t>(value);
    }

    void add(std::size_t counter) noexcept {
        shards_[shardOfThisThread()].values[counter].fetch_add(1, std::memory_order_relaxed);
    }

    static std::size_t shardOfThisThread() noexcept;

    std::array<Shard, kShards> shards_{};
    const std::chrono::system_clock::time_point started_;
    std::atomic<std::uint64_t> reloadsAccepted_{0};
    std::atomic<std::uint64_t> reloadsRefused_{0};
    std::atomic<std::int64_t> lastReloadAt_{0};  // system-clock ticks; 0 for none yet
    std::atomic<std::int64_t> lastReloadTook_{0};
};

}  // namespace sieveharbor::metrics
