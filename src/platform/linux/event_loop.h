#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/queue.h"

namespace sieveharbor::platform::linux_host {

// Told when a descriptor watched by a loop is ready; runs on the loop's thread.
class Watcher {
  public:
    virtual ~Watcher() = default;
    virtual void onReady(std::uint32_t events) = 0;
    // The loop ended while still watching: let go of everything held, since nothing will call.
    virtual void abandon() = 0;

  private:
    friend class EventLoop;
    static constexpr std::size_t kNotHeld = static_cast<std::size_t>(-1);
    std::size_t heldAt_ = kNotHeld;  // its place among the loop's held watchers
};

// One thread's event loop: an epoll set, the tasks posted to it and a heap of timers. Every task,
// timer and readiness call of a loop runs on its one thread, in order, so whatever runs only on
// one loop needs no lock and no strand.
//
// A task posted from the loop's own thread is only queued, with no system call; one posted from
// elsewhere wakes the loop through an eventfd when it sleeps.
class EventLoop {
  public:
    EventLoop();
    ~EventLoop();

    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Runs on the calling thread until stop(); once only.
    void run();
    // Any thread: run() returns after the task it is running; later tasks are dropped.
    void stop();

    // Any thread.
    void post(Task task);
    // Any thread: runs task now when called on the loop's thread, else posts it, so that work
    // issued on the loop keeps its order with the loop's own steps.
    template <class Work>
    void dispatch(Work work) {
        if (onLoopThread()) {
            work();
        } else {
            post(std::move(work));
        }
    }
    // Any thread: runs task on the loop and returns once it has run, or once `bound` has passed
    // (a loop that is stuck). Where no loop thread can be running it (the loop has not started,
    // or has ended) it runs on the calling thread. A way to take something off the loop so that
    // none of its calls runs after the return.
    void runAndWait(Task task, std::chrono::milliseconds bound = std::chrono::seconds(2));
    // On the loop's thread only: runs task once this round's tasks have run, just before the loop
    // next waits, so that work gathered over a round (replies to one socket) goes out together.
    void beforeWait(Task task);
    // Runs task once delay has passed unless the timer is cancelled first; any thread.
    std::shared_ptr<Timer> scheduleAfter(std::chrono::milliseconds delay, Task task);

    // What a watcher waits for (the epoll bits of the same meaning).
    static constexpr std::uint32_t kInput = 0x001;
    static constexpr std::uint32_t kOutput = 0x004;

    // On the loop's thread only: calls the watcher once when fd is ready for any of `events`;
    // rearm() asks for the next call, for the same or other events. Closing fd takes it out of
    // the epoll set. The watcher must outlive its registration, and a call may still come in the
    // round that closed fd: a watcher ignores calls once it has closed. False with errno set when
    // the kernel refuses.
    bool watchOnce(int fd, Watcher* watcher, std::uint32_t events);
    bool rearmOnce(int fd, Watcher* watcher, std::uint32_t events);
    // On the loop's thread only: calls the watcher whenever fd has input, until unwatch(fd).
    bool watchAllInput(int fd, Watcher* watcher);
    // On the loop's thread only: calls the watcher each time fd becomes readable or writable
    // (edge-triggered): a watcher reads or writes until the kernel says it would block, or until
    // it has taken less than it asked for, and is called again when more can be done.
    bool watchEdges(int fd, Watcher* watcher);
    void unwatch(int fd);
    // On the loop's thread only: keeps the watcher until forget(), which lets go of it just before
    // the loop next waits, or until the loop ends, which abandons it. A watcher forgets only once
    // it has closed or unwatched its descriptor.
    void hold(std::shared_ptr<Watcher> watcher);
    void forget(Watcher* watcher);

    bool onLoopThread() const noexcept { return current() == this; }
    // True once run() has returned: nothing posted will run any more.
    bool ended() const noexcept { return ended_.load(std::memory_order_acquire); }
    bool started() const noexcept { return started_.load(std::memory_order_acquire); }
    // The loop whose thread this is, if any.
    static EventLoop* current() noexcept;

  private:
    struct PendingTimer;
    // One list of timers in deadline order (below, at inOrder_).
    struct InOrder {
        PendingTimer* first = nullptr;
        PendingTimer* last = nullptr;
    };
    struct Later {
        bool operator()(const std::shared_ptr<PendingTimer>& a,
                        const std::shared_ptr<PendingTimer>& b) const noexcept;
    };

    void letGoOfForgotten();
    void runLocalTasks();
    void runBeforeWait();
    void addTimer(std::shared_ptr<PendingTimer> timer);
    // Takes a timer out of the in-order list, if it is in it: the list's hold on it.
    std::shared_ptr<PendingTimer> unlink(PendingTimer& timer) noexcept;
    void forgetTimer(PendingTimer& timer) noexcept;
    void dropTimers() noexcept;
    // The in-order list whose first timer is due first, or null when all are empty.
    const InOrder* earliestList() const noexcept;
    // True when the timer due first is the heap's, not an in-order list's.
    bool heapDueFirst() const noexcept;
    // The timer due first, or null when none is set.
    const PendingTimer* firstTimer() const noexcept;
    void fireTimers();
    int waitMilliseconds() const;
    void wake();

    const int epoll_;
    const int wakeFd_;
    std::deque<Task> local_;  // the loop thread's own
    std::mutex inboxMutex_;
    std::vector<Task> inbox_;  // from other threads; guarded by inboxMutex_
    std::atomic<bool> sleeping_{false};
    std::atomic<bool> stopped_{false};
    std::atomic<bool> started_{false};
    std::atomic<bool> ended_{false};
    std::vector<Task> beforeWait_;
    // Timers in deadline order, linked through the timers themselves, in a few lists: each
    // takes a timer due no earlier than its last. A kind of timer set the same time ahead (an
    // exchange's, a TCP client's idle time) fills a list of its own, so a called-off timer leaves
    // at once and the many called off before they are due are never woken for, while kinds of
    // other lengths (a 10 s idle time behind 250 ms retransmission times) do not push each other
    // out of order. A timer no list takes goes to timers_, a min-heap by deadline, which lets a
    // called-off one go when it is due.
    static constexpr std::size_t kInOrderLists = 4;
    std::array<InOrder, kInOrderLists> inOrder_{};
    std::vector<std::shared_ptr<PendingTimer>> timers_;
    // Held from hold() to forget(), and then until the loop next waits, so that a call in the
    // round that closed a descriptor still finds its watcher. Each knows its place in held_, so
    // neither holding nor forgetting allocates.
    std::vector<std::shared_ptr<Watcher>> held_;
    std::vector<std::shared_ptr<Watcher>> released_;
};

class LoopLane;

// The relay's queue: one event loop per core the process may run on, each on its own thread,
// running by the time the constructor returns.
// A serial queue made from it is a lane of one loop: the current thread's loop when made on a
// loop thread, the next loop in turn otherwise, so exchanges spread over the cores and each runs
// its steps on one thread, in order, with no strand.
class LoopPool final : public Queue {
  public:
    // threads == 0: one per core this process may run on.
    explicit LoopPool(unsigned threads = 0);
    ~LoopPool() override;

    LoopPool(const LoopPool&) = delete;
    LoopPool& operator=(const LoopPool&) = delete;

    // Ends every loop and joins the threads; idempotent; not from a loop thread.
    void stop();
    std::size_t loopCount() const noexcept { return loops_.size(); }
    EventLoop& loop(std::size_t index) noexcept { return *loops_[index % loops_.size()]; }
    // Each loop in turn.
    EventLoop& nextLoop() noexcept;

    void post(Task task) override;
    std::shared_ptr<Queue> makeSerialQueue() override;
    std::chrono::steady_clock::time_point now() const override {
        return std::chrono::steady_clock::now();
    }
    std::shared_ptr<LoopLane> makeLane() noexcept;
    std::shared_ptr<Timer> scheduleAfter(std::chrono::milliseconds delay, Task task) override;

  private:
    // The current thread's loop if it is one of ours, else the next in turn.
    std::size_t pick() noexcept;
    std::size_t nextIndex() noexcept;

    std::vector<std::unique_ptr<EventLoop>> loops_;
    // One lane per loop, shared by every serial queue made on it: a lane holds nothing of its own.
    std::vector<std::shared_ptr<LoopLane>> lanes_;
    std::vector<std::thread> threads_;
    std::atomic<std::size_t> next_{0};
};

// A serial queue: the tasks and timers of one loop.
class LoopLane final : public Queue {
  public:
    LoopLane(EventLoop& loop, LoopPool& pool) : loop_(loop), pool_(pool) {}

    EventLoop& loop() const noexcept { return loop_; }

    void post(Task task) override { loop_.post(std::move(task)); }
    std::shared_ptr<Queue> makeSerialQueue() override { return pool_.makeSerialQueue(); }
    std::chrono::steady_clock::time_point now() const override {
        return std::chrono::steady_clock::now();
    }
    std::shared_ptr<Timer> scheduleAfter(std::chrono::milliseconds delay, Task task) override {
        return loop_.scheduleAfter(delay, std::move(task));
    }

  private:
    EventLoop& loop_;
    LoopPool& pool_;
};

}  // namespace sieveharbor::platform::linux_host
