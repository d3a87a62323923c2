#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/queue.h"

namespace sieveharbor::fakes {

// A Queue for deterministic tests: one thread (the test's), a fake clock, no sleeps. post() only
// queues; the test runs tasks with runUntilIdle() and moves time with advance(). Timers fire only
// in advance(), in due order, with the fake clock (now()) set to their due time.
//
// Serial queues made from it are copies feeding the same task list; since the fake runs one task
// at a time they are serial by construction. Not thread-safe: use it from the test thread only.
class FakeQueue final : public platform::Queue {
  public:
    FakeQueue() : state_(std::make_shared<State>()) {}

    void post(platform::Task task) override { state_->tasks.push_back(std::move(task)); }

    std::chrono::steady_clock::time_point now() const override {
        return std::chrono::steady_clock::time_point(state_->now);
    }

    std::shared_ptr<platform::Queue> makeSerialQueue() override {
        ++state_->serialQueuesMade;
        return std::make_shared<FakeQueue>(*this);
    }

    std::shared_ptr<platform::Timer> scheduleAfter(std::chrono::milliseconds delay,
                                                   platform::Task task) override {
        auto timer = std::make_shared<FakeTimer>();
        timer->due = state_->now + delay;
        timer->order = state_->nextOrder++;
        timer->task = std::move(task);
        state_->timers.push_back(timer);
        return timer;
    }

    // Runs queued tasks, and those they post, until none is left; returns how many ran.
    std::size_t runUntilIdle() {
        auto& s = *state_;
        if (s.running) {
            return 0;
        }
        s.running = true;
        std::size_t ran = 0;
        for (; !s.tasks.empty(); ++ran) {
            auto task = std::move(s.tasks.front());
            s.tasks.pop_front();
            task();
        }
        s.running = false;
        return ran;
    }

    // Moves the clock forward, firing every timer that falls due on the way, then drains.
    void advance(std::chrono::milliseconds by) {
        auto& s = *state_;
        const auto target = s.now + by;
        for (runUntilIdle();; runUntilIdle()) {
            std::erase_if(s.timers, [](const auto& t) { return t->cancelled || t->fired; });
            auto next = std::min_element(s.timers.begin(), s.timers.end(), [](auto& a, auto& b) {
                return a->due != b->due ? a->due < b->due : a->order < b->order;
            });
            if (next == s.timers.end() || (*next)->due > target) {
                break;
            }
            auto timer = *next;
            s.now = std::max(s.now, timer->due);
            timer->fired = true;
            s.tasks.push_back(std::move(timer->task));
        }
        s.now = target;
    }

    // Timers armed and neither fired nor cancelled.
    std::size_t pendingTimers() const {
        return static_cast<std::size_t>(
            std::count_if(state_->timers.begin(), state_->timers.end(),
                          [](const auto& t) { return !t->cancelled && !t->fired; }));
    }
    std::size_t serialQueuesMade() const { return state_->serialQueuesMade; }

  private:
    struct FakeTimer final : platform::Timer {
        std::chrono::milliseconds due{};
        std::uint64_t order = 0;
        platform::Task task;
        bool cancelled = false;
        bool fired = false;
        void cancel() override {
            cancelled = true;
            task = nullptr;
        }
    };
    // Shared by the queue and every serial queue made from it.
    struct State {
        std::deque<platform::Task> tasks;
        std::vector<std::shared_ptr<FakeTimer>> timers;
        std::chrono::milliseconds now{0};
        std::uint64_t nextOrder = 0;
        std::size_t serialQueuesMade = 0;
        bool running = false;
    };

    std::shared_ptr<State> state_;
};

}  // namespace sieveharbor::fakes
