#include "blocklist/domain_set_holder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "blocklist/matching.h"
#include "set_of.h"

namespace sieveharbor::blocklist {
namespace {

using testing::setOf;

TEST(DomainSetHolder, starts_empty_and_never_hands_out_null) {
    DomainSetHolder holder;
    ASSERT_NE(holder.snapshot(), nullptr);
    EXPECT_TRUE(holder.snapshot()->empty());
    holder.publish(nullptr);
    ASSERT_NE(holder.snapshot(), nullptr);
    EXPECT_TRUE(holder.snapshot()->empty());
}

// Two readers judge names while a writer swaps between two sets thousands of times. Set A
// holds a.example and shared.example; set B holds b.example and shared.example. One snapshot
// must give a verdict of one set: x.a.example and x.b.example are never both blocked, never
// both free, and shared.example is always blocked.
TEST(DomainSetHolder, a_reader_sees_one_whole_set_while_sets_are_swapped) {
    const auto setA = std::make_shared<const DomainSet>(setOf({"a.example", "shared.example"}));
    const auto setB = std::make_shared<const DomainSet>(setOf({"b.example", "shared.example"}));
    DomainSetHolder holder;
    holder.publish(setA);

    std::atomic<bool> done{false};
    std::atomic<int> mixed{0};
    std::atomic<long> judged[2] = {0, 0};
    auto reader = [&](std::atomic<long>& n) {
        while (!done.load(std::memory_order_relaxed)) {
            const auto snapshot = holder.snapshot();
            const bool a = isNameBlocked("x.a.example", *snapshot);
            const bool b = isNameBlocked("x.b.example", *snapshot);
            const bool shared = isNameBlocked("x.shared.example", *snapshot);
            if (a == b || !shared) {
                mixed.fetch_add(1);
            }
            n.fetch_add(1, std::memory_order_relaxed);
        }
    };
    std::thread first(reader, std::ref(judged[0]));
    std::thread second(reader, std::ref(judged[1]));
    // Swaps go on until each reader has judged many times among them, however the threads are
    // scheduled: a run in which the readers never overlapped the swaps would prove nothing.
    const auto bothJudged = [&](long times) {
        return judged[0].load(std::memory_order_relaxed) >= times &&
               judged[1].load(std::memory_order_relaxed) >= times;
    };
    for (int i = 0; i < 5000 || !bothJudged(1000); ++i) {
        holder.publish((i % 2 == 0) ? setB : setA);
        // Fresh sets too, so that old ones are freed while readers may still hold them.
        holder.publish(std::make_shared<const DomainSet>(
            setOf({(i % 2 == 0) ? "a.example" : "b.example", "shared.example"})));
    }
    done = true;
    first.join();
    second.join();
    EXPECT_EQ(mixed.load(), 0);
}

}  // namespace
}  // namespace sieveharbor::blocklist
