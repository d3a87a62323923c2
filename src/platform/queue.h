#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace sieveharbor::platform {

using Task = std::function<void()>;

// A scheduled task that can be called off. cancel() is idempotent; once it has returned on the
// queue that runs the task, the task will not start. Dropping the handle does not cancel.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void cancel() = 0;
};

// Calls off the timer held in `timer`, if any, and lets go of it.
inline void cancelTimer(std::shared_ptr<Timer>& timer) {
    if (timer) {
        timer->cancel();
        timer.reset();
    }
}

// The global concurrent queue that runs every upstream handler. Tasks posted to it may run at the
// same time on different threads; a serial queue made from it runs its own tasks one after
// another, in posting order, never two at once, while different serial queues run in parallel.
// One exchange uses one serial queue for all its handlers and its timeout, so they never race.
//
// A queue must outlive every serial queue, timer and connection made from or started on it.
// post() and scheduleAfter() may be called from any thread; tasks must not throw.
class Queue {
  public:
    virtual ~Queue() = default;

    virtual void post(Task task) = 0;
    virtual std::shared_ptr<Queue> makeSerialQueue() = 0;
    // The time on the queue's clock, the one its timers run by: the real steady clock, or a
    // fake one in tests. Any thread.
    virtual std::chrono::steady_clock::time_point now() const = 0;
    // Runs task on this queue once delay has passed (on the queue's clock: a real steady clock,
    // or a fake one in tests), unless the returned timer is cancelled first.
    virtual std::shared_ptr<Timer> scheduleAfter(std::chrono::milliseconds delay, Task task) = 0;
};

}  // namespace sieveharbor::platform
