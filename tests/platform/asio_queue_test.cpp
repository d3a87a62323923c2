#include "platform/linux/asio_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "wait.h"

namespace sieveharbor::platform::linux_host {
namespace {

using std::chrono::milliseconds;

TEST(AsioQueue, serial_queue_runs_its_tasks_one_at_a_time_in_order) {
    AsioQueue queue(2);
    auto lane = queue.makeSerialQueue();
    constexpr int kTasks = 2000;
    std::vector<int> order;  // unguarded on purpose: overlap shows up under TSan and as lost items
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    Signal done;
    for (int i = 0; i < kTasks; ++i) {
        lane->post([&, i] {
            if (running.fetch_add(1) != 0) {
                overlapped = true;
            }
            order.push_back(i);
            running.fetch_sub(1);
            if (i == kTasks - 1) {
                done.notify();
            }
        });
    }
    ASSERT_TRUE(done.wait());
    EXPECT_FALSE(overlapped.load());
    ASSERT_EQ(order.size(), static_cast<std::size_t>(kTasks));
    for (int i = 0; i < kTasks; ++i) {
        ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
    }
}

TEST(AsioQueue, timer_runs_its_task_after_the_delay) {
    AsioQueue queue(1);
    auto lane = queue.makeSerialQueue();
    for (auto source : {static_cast<Queue*>(&queue), lane.get()}) {
        Signal fired;
        const auto start = std::chrono::steady_clock::now();
        auto timer = source->scheduleAfter(milliseconds(30), [&] { fired.notify(); });
        ASSERT_TRUE(fired.wait());
        EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(30));
    }
}

TEST(AsioQueue, cancelled_timer_never_runs_and_lets_its_task_go) {
    AsioQueue queue(2);
    auto lane = queue.makeSerialQueue();
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    std::atomic<bool> ran{false};
    Signal cancelled;
    // Cancelled from the lane, as an exchange does.
    lane->post([&, token = std::move(token)]() mutable {
        auto timer = lane->scheduleAfter(milliseconds(20), [&ran, token] { ran = true; });
        token.reset();
        timer->cancel();
        cancelled.notify();
    });
    ASSERT_TRUE(cancelled.wait());
    Signal later;
    auto probe = queue.scheduleAfter(milliseconds(60), [&] { later.notify(); });
    ASSERT_TRUE(later.wait());
    EXPECT_FALSE(ran.load());
    EXPECT_TRUE(watch.expired());
}

TEST(AsioQueue, stop_is_idempotent_and_destroys_pending_work) {
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    {
        AsioQueue queue(2);
        auto timer = queue.scheduleAfter(std::chrono::hours(1), [token = std::move(token)] {});
        queue.stop();
        queue.stop();
        EXPECT_FALSE(watch.expired());
    }
    EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace sieveharbor::platform::linux_host
