#include "metrics/counters.h"

namespace sieveharbor::metrics {

std::size_t Counters::shardOfThisThread() noexcept {
    static std::atomic<std::size_t> next{0};
    // Handed out in turn as threads first count, so the first kShards threads never share.
    thread_local const std::size_t shard = next.fetch_add(1, std::memory_order_relaxed) % kShards;
    return shard;
}

void Counters::reloadAccepted(std::chrono::nanoseconds took) noexcept {
    lastReloadTook_.store(took.count(), std::memory_order_relaxed);
    lastReloadAt_.store(std::chrono::system_clock::now().time_since_epoch().count(),
                        std::memory_order_relaxed);
    reloadsAccepted_.fetch_add(1, std::memory_order_release);
}

void Counters::reloadRefused() noexcept {
    reloadsRefused_.fetch_add(1, std::memory_order_relaxed);
}

Snapshot Counters::read() const noexcept {
    std::array<std::uint64_t, kCount> sums{};
    for (const auto& shard : shards_) {
        for (std::size_t i = 0; i < kCount; ++i) {
            sums[i] += shard.values[i].load(std::memory_order_relaxed);
        }
    }
    Snapshot s;
    const auto copy = [&sums](auto& into, std::size_t from) {
        for (std::size_t i = 0; i < into.size(); ++i) {
            into[i] = sums[from + i];
        }
    };
    copy(s.received, kReceived);
    copy(s.answered, kAnswered);
    s.relayed = sums[kRelayed];
    copy(s.dropped, kDropped);
    copy(s.tcpClosed, kTcpClosed);
    copy(s.exchanges, kExchanges);
    s.reloadsAccepted = reloadsAccepted_.load(std::memory_order_acquire);
    s.reloadsRefused = reloadsRefused_.load(std::memory_order_relaxed);
    if (const auto at = lastReloadAt_.load(std::memory_order_relaxed); at != 0) {
        s.lastReload =
            std::chrono::system_clock::time_point(std::chrono::system_clock::duration(at));
    }
    s.lastReloadTook = std::chrono::nanoseconds(lastReloadTook_.load(std::memory_order_relaxed));
    s.started = started_;
    return s;
}

}  // namespace sieveharbor::metrics
