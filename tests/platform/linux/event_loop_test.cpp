#include "platform/linux/event_loop.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fakes/wait_for.h"

namespace sieveharbor::platform::linux_host {
namespace {

using std::chrono::milliseconds;

// Runs work on the queue's loop and waits, boundedly, until it has run.
void runOn(platform::Queue& queue, const std::function<void()>& work) {
    Signal done;
    queue.post([&] {
        work();
        done.notify();
    });
    ASSERT_TRUE(done.wait());
}

// Timers set from the loop and from another thread fire in deadline order on the loop's thread,
// whether they were set in that order ('c', 'i': one in-order list) or each earlier than the
// last (from 'h' down to 'a': lists of their own while there are lists, then the heap); a
// cancelled one never fires, wherever it was, and its task is let go at once.
TEST(EventLoop, timers_fire_in_deadline_order_and_a_cancelled_one_not_at_all) {
    LoopPool pool(1);
    auto lane = pool.makeSerialQueue();
    std::mutex mutex;
    std::string fired;
    Signal done;
    const auto mark = [&](char c) {
        return [&, c] {
            EXPECT_NE(EventLoop::current(), nullptr);
            const std::lock_guard lock(mutex);
            fired.push_back(c);
        };
    };
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    // The loop is held busy until the timer is cancelled, so however slowly this thread runs, the
    // timer cannot have fired before its cancel.
    Signal busy;
    Signal cancelledNow;
    lane->post([&] {
        busy.notify();
        EXPECT_TRUE(cancelledNow.wait());
    });
    ASSERT_TRUE(busy.wait());
    auto cancelled = lane->scheduleAfter(
        milliseconds(10), [held = std::move(held)] { ADD_FAILURE() << "a cancelled timer fired"; });
    auto heldOnLoop = std::make_shared<int>(0);
    std::weak_ptr<int> watchOnLoop = heldOnLoop;
    const auto never = [](std::shared_ptr<int> hold) {
        return [hold = std::move(hold)] { ADD_FAILURE() << "a cancelled timer fired"; };
    };
    lane->post([&] {
        lane->scheduleAfter(milliseconds(20), mark('c'));
        auto between = lane->scheduleAfter(milliseconds(40), never(std::move(heldOnLoop)));
        lane->scheduleAfter(milliseconds(300), mark('i'));
        auto last = lane->scheduleAfter(milliseconds(320), never(nullptr));
        // Called off on the loop, from the middle of a list and from its end.
        between->cancel();
        last->cancel();
        EXPECT_TRUE(watchOnLoop.expired()) << "let go at once";
        const std::pair<int, char> descending[] = {{200, 'h'}, {150, 'g'}, {100, 'f'}, {60, 'e'},
                                                   {30, 'd'},  {10, 'b'},  {1, 'a'}};
        for (const auto& [ms, c] : descending) {
            lane->scheduleAfter(milliseconds(ms), mark(c));
        }
        lane->scheduleAfter(milliseconds(5), never(nullptr))->cancel();  // from the heap
        lane->scheduleAfter(milliseconds(350), [&] { done.notify(); });
    });
    cancelled->cancel();
    cancelledNow.notify();
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(fired, "abcdefghi");
    EXPECT_TRUE(watch.expired());
}

// Lanes made off the loops go to each loop in turn; a lane made on a loop stays on it.
TEST(EventLoop, lanes_spread_over_the_loops_and_stay_on_the_one_they_are_made_on) {
    LoopPool pool(2);
    auto first = std::static_pointer_cast<LoopLane>(pool.makeSerialQueue());
    auto second = std::static_pointer_cast<LoopLane>(pool.makeSerialQueue());
    EXPECT_NE(&first->loop(), &second->loop());
    EventLoop* inner = nullptr;
    runOn(*first,
          [&] { inner = &std::static_pointer_cast<LoopLane>(pool.makeSerialQueue())->loop(); });
    EXPECT_EQ(inner, &first->loop());
}

struct CountingWatcher final : Watcher {
    explicit CountingWatcher(int& abandoned) : abandoned(abandoned) {}
    void onReady(std::uint32_t /*events*/) override {}
    void abandon() override { ++abandoned; }
    int& abandoned;
};

// Held watchers live until forgotten, whatever the order of forgetting (first, last or middle
// of those held), and a watcher held twice is kept once; those still held when the loop ends are
// abandoned once each and let go.
TEST(EventLoop, held_watchers_live_until_forgotten_and_the_rest_are_abandoned_at_the_end) {
    constexpr std::size_t kCount = 6;
    int abandoned = 0;
    std::vector<std::weak_ptr<Watcher>> watched;
    std::array<bool, kCount> gone{};
    {
        LoopPool pool(1);
        auto lane = pool.makeSerialQueue();
        runOn(*lane, [&] {
            auto& loop = *EventLoop::current();
            for (std::size_t i = 0; i < kCount; ++i) {
                auto watcher = std::make_shared<CountingWatcher>(abandoned);
                watched.push_back(watcher);
                loop.hold(watcher);
                if (i == 2) {
                    loop.hold(watcher);
                }
            }
            // 0 is the first held, 5 the last, 2 and 3 in between; 1 and 4 stay.
            for (const std::size_t i : {0, 5, 2, 3}) {
                loop.forget(watched[i].lock().get());
            }
            loop.forget(watched[2].lock().get());  // forgotten twice: nothing more happens
        });
        runOn(*lane, [&] {
            for (std::size_t i = 0; i < kCount; ++i) {
                gone[i] = watched[i].expired();
            }
        });
    }
    EXPECT_EQ(gone, (std::array<bool, kCount>{true, false, true, true, false, true}));
    EXPECT_EQ(abandoned, 2);
    for (const auto& watcher : watched) {
        EXPECT_TRUE(watcher.expired());
    }
}

}  // namespace
}  // namespace sieveharbor::platform::linux_host
