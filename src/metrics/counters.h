#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace sieveharbor::metrics {

enum class Transport : std::uint8_t { udp, tcp };
// The blocked reply's kind, by the question's type.
enum class Answer : std::uint8_t { a, aaaa, httpsNameError, other };
enum class Drop : std::uint8_t {
    incompleteQuestion,    // blocked, but too short to answer
    overInFlightCap,       // to be relayed with the cap reached
    notAQuery,             // a response (QR set)
    descriptorsExhausted,  // to be relayed with no descriptor left for its socket
};
enum class TcpClose : std::uint8_t { connectionCap, idle, badFraming, slowReader };
enum class Outcome : std::uint8_t { reply, timeout, failure };

// Every figure at one moment. Query counts are sums over threads read one by one, so a sum may
// lag its parts by the queries in flight while it is read.
struct Snapshot {
    std::array<std::uint64_t, 2> received{};  // by Transport
    std::array<std::uint64_t, 4> answered{};  // by Answer
    std::uint64_t relayed = 0;
    std::array<std::uint64_t, 4> dropped{};    // by Drop
    std::array<std::uint64_t, 4> tcpClosed{};  // by TcpClose
    std::array<std::uint64_t, 3> exchanges{};  // by Outcome
    std::uint64_t inFlight = 0;
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
    static constexpr std::size_t kAnswered = kReceived + 2;
    static constexpr std::size_t kRelayed = kAnswered + 4;
    static constexpr std::size_t kDropped = kRelayed + 1;
    static constexpr std::size_t kTcpClosed = kDropped + 4;
    static constexpr std::size_t kExchanges = kTcpClosed + 4;
    static constexpr std::size_t kCount = kExchanges + 3;
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
