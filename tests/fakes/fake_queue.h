#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/queue.h"

namespace sieveharbor::fakes {

// A Queue for deterministic tests: one thread (the test's), a fake clock, no sleeps.
//
// on_demand: post() only queues; the test runs tasks with runUntilIdle() and moves time with
// advance(). run_inline: post() runs the task at once, unless a task is already running, in which
// case it runs right after it, so tasks still never nest or overlap. Timers fire only in
// advance(), in due order, with now() set to their due time.
//
// Serial queues made from it feed the same task list; since the fake runs one task at a time they
// are serial by construction. Not thread-safe: use it from the test thread only.
class FakeQueue final : public platform::Queue {
  public:
    enum class Mode { on_demand, run_inline };

    explicit FakeQueue(Mode mode = Mode::on_demand) : state_(std::make_shared<State>()) {
        state_->mode = mode;
    }

    void post(platform::Task task) override { state_->post(std::move(task)); }

    std::shared_ptr<platform::Queue> makeSerialQueue() override {
        ++state_->serialQueuesMade;
        return std::make_shared<Lane>(state_);
    }

    std::shared_ptr<platform::Timer> scheduleAfter(std::chrono::milliseconds delay,
                                                   platform::Task task) override {
        return state_->schedule(delay, std::move(task));
    }

    // Runs queued tasks, and those they post, until none is left; returns how many ran.
    std::size_t runUntilIdle() { return state_->drain(); }

    // Moves the clock forward, firing every timer that falls due on the way, then drains.
    void advance(std::chrono::milliseconds by) { state_->advance(by); }

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

    struct State {
        Mode mode = Mode::on_demand;
        std::deque<platform::Task> tasks;
        std::vector<std::shared_ptr<FakeTimer>> timers;
        std::chrono::milliseconds now{0};
        std::uint64_t nextOrder = 0;
        std::size_t serialQueuesMade = 0;
        bool running = false;

        void post(platform::Task task) {
            tasks.push_back(std::move(task));
            if (mode == Mode::run_inline && !running) {
                drain();
            }
        }

        std::size_t drain() {
            if (running) {
                return 0;
            }
            running = true;
            std::size_t ran = 0;
            while (!tasks.empty()) {
                auto task = std::move(tasks.front());
                tasks.pop_front();
                task();
                ++ran;
            }
            running = false;
            return ran;
        }

        std::shared_ptr<platform::Timer> schedule(std::chrono::milliseconds delay,
                                                  platform::Task task) {
            auto timer = std::make_shared<FakeTimer>();
            timer->due = now + delay;
            timer->order = nextOrder++;
            timer->task = std::move(task);
            timers.push_back(timer);
            return timer;
        }

        void advance(std::chrono::milliseconds by) {
            const auto target = now + by;
            drain();
            for (;;) {
                std::erase_if(timers, [](const auto& t) { return t->cancelled || t->fired; });
                auto next = std::min_element(
                    timers.begin(), timers.end(), [](const auto& a, const auto& b) {
                        return a->due != b->due ? a->due < b->due : a->order < b->order;
                    });
                if (next == timers.end() || (*next)->due > target) {
                    break;
                }
                auto timer = *next;
                now = std::max(now, timer->due);
                timer->fired = true;
                tasks.push_back(std::move(timer->task));
                drain();
            }
            now = target;
        }
    };

    struct Lane final : platform::Queue {
        explicit Lane(std::shared_ptr<State> state) : state(std::move(state)) {}
        void post(platform::Task task) override { state->post(std::move(task)); }
        std::shared_ptr<platform::Queue> makeSerialQueue() override {
            ++state->serialQueuesMade;
            return std::make_shared<Lane>(state);
        }
        std::shared_ptr<platform::Timer> scheduleAfter(std::chrono::milliseconds delay,
                                                       platform::Task task) override {
            return state->schedule(delay, std::move(task));
        }
        std::shared_ptr<State> state;
    };

    std::shared_ptr<State> state_;
};

}  // namespace sieveharbor::fakes
