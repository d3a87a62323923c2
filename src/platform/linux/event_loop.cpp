#include "platform/linux/event_loop.h"

#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "platform/linux/allowed_cores.h"

namespace sieveharbor::platform::linux_host {

namespace {

thread_local EventLoop* currentLoop = nullptr;

// Events taken per wait; more simply wait for the next round.
constexpr int kEventsPerWait = 64;

bool control(int epoll, int operation, int fd, std::uint32_t events, Watcher* watcher) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = watcher;
    return ::epoll_ctl(epoll, operation, fd, &event) == 0;
}

int checked(int fd, const char* what) {
    if (fd < 0) {
        throw std::system_error(errno, std::system_category(), what);
    }
    return fd;
}

}  // namespace

struct EventLoop::PendingTimer final : Timer {
    PendingTimer(EventLoop& owner, std::chrono::steady_clock::time_point when, Task work)
        : loop(owner), deadline(when), task(std::move(work)) {}

    void cancel() override {
        if (cancelled.exchange(true, std::memory_order_acq_rel)) {
            return;
        }
        // The task may hold what its owner wants released now; only the loop touches it.
        if (loop.onLoopThread()) {
            loop.forgetTimer(*this);
        } else if (auto self = weakSelf.lock()) {
            loop.post([self] { self->loop.forgetTimer(*self); });
        }
    }

    EventLoop& loop;
    const std::chrono::steady_clock::time_point deadline;
    Task task;
    std::atomic<bool> cancelled{false};
    std::weak_ptr<PendingTimer> weakSelf;
    // In one of the loop's in-order lists: which, its neighbours, and the list's hold on it.
    std::size_t list = 0;
    PendingTimer* previous = nullptr;
    PendingTimer* next = nullptr;
    std::shared_ptr<PendingTimer> listed;
};

bool EventLoop::Later::operator()(const std::shared_ptr<PendingTimer>& a,
                                  const std::shared_ptr<PendingTimer>& b) const noexcept {
    return a->deadline > b->deadline;
}

EventLoop::EventLoop()
    : epoll_(checked(::epoll_create1(EPOLL_CLOEXEC), "epoll_create1")),
      wakeFd_(checked(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd")) {
    if (!control(epoll_, EPOLL_CTL_ADD, wakeFd_, EPOLLIN, nullptr)) {  // null: the wake-up
        throw std::system_error(errno, std::system_category(), "epoll_ctl");
    }
}

EventLoop::~EventLoop() {
    dropTimers();  // a loop that never ran still holds what was set on it
    ::close(wakeFd_);
    ::close(epoll_);
}

EventLoop* EventLoop::current() noexcept {
    return currentLoop;
}

void EventLoop::post(Task task) {
    if (onLoopThread()) {
        local_.push_back(std::move(task));
        return;
    }
    {
        const std::lock_guard lock(inboxMutex_);
        inbox_.push_back(std::move(task));
    }
    if (sleeping_.load(std::memory_order_seq_cst)) {
        wake();
    }
}

void EventLoop::runAndWait(Task task, std::chrono::milliseconds bound) {
    if (onLoopThread() || !started() || ended()) {
        task();
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    post([task = std::move(task), done] {
        task();
        done->set_value();
    });
    future.wait_for(bound);
}

void EventLoop::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
}

void EventLoop::stop() {
    stopped_.store(true, std::memory_order_release);
    wake();
}

std::shared_ptr<Timer> EventLoop::scheduleAfter(std::chrono::milliseconds delay, Task task) {
    auto timer = std::make_shared<PendingTimer>(*this, std::chrono::steady_clock::now() + delay,
                                                std::move(task));
    timer->weakSelf = timer;
    if (onLoopThread()) {
        addTimer(timer);
    } else {
        post([this, timer] { addTimer(timer); });
    }
    return timer;
}

void EventLoop::addTimer(std::shared_ptr<PendingTimer> timer) {
    if (timer->cancelled.load(std::memory_order_acquire)) {
        return;  // called off from another thread before it was added
    }
    // The list whose last is latest while no later than this one keeps the lists tight; an
    // empty list only when none takes it.
    std::size_t chosen = kInOrderLists;
    std::size_t empty = kInOrderLists;
    for (std::size_t i = 0; i < kInOrderLists; ++i) {
        const PendingTimer* last = inOrder_[i].last;
        if (last == nullptr) {
            empty = std::min(empty, i);
        } else if (last->deadline <= timer->deadline &&
                   (chosen == kInOrderLists || inOrder_[chosen].last->deadline < last->deadline)) {
            chosen = i;
        }
    }
    if (chosen == kInOrderLists) {
        chosen = empty;
    }
    if (chosen != kInOrderLists) {
        InOrder& list = inOrder_[chosen];
        PendingTimer& added = *timer;
        added.list = chosen;
        added.previous = list.last;
        (list.last != nullptr ? list.last->next : list.first) = &added;
        list.last = &added;
        added.listed = std::move(timer);
        return;
    }
    timers_.push_back(std::move(timer));
    std::push_heap(timers_.begin(), timers_.end(), Later{});
}

std::shared_ptr<EventLoop::PendingTimer> EventLoop::unlink(PendingTimer& timer) noexcept {
    if (!timer.listed) {
        return nullptr;
    }
    InOrder& list = inOrder_[timer.list];
    (timer.previous != nullptr ? timer.previous->next : list.first) = timer.next;
    (timer.next != nullptr ? timer.next->previous : list.last) = timer.previous;
    timer.previous = nullptr;
    timer.next = nullptr;
    return std::move(timer.listed);
}

void EventLoop::forgetTimer(PendingTimer& timer) noexcept {
    const auto hold = unlink(timer);  // keeps it alive while its task goes
    timer.task = nullptr;
}

void EventLoop::dropTimers() noexcept {
    for (auto& list : inOrder_) {
        while (list.first != nullptr) {
            forgetTimer(*list.first);
        }
    }
    timers_.clear();
}

const EventLoop::InOrder* EventLoop::earliestList() const noexcept {
    const InOrder* earliest = nullptr;
    for (const auto& list : inOrder_) {
        if (list.first != nullptr &&
            (earliest == nullptr || list.first->deadline < earliest->first->deadline)) {
            earliest = &list;
        }
    }
    return earliest;
}

bool EventLoop::heapDueFirst() const noexcept {
    const InOrder* list = earliestList();
    return !timers_.empty() &&
           (list == nullptr || timers_.front()->deadline < list->first->deadline);
}

const EventLoop::PendingTimer* EventLoop::firstTimer() const noexcept {
    if (heapDueFirst()) {
        return timers_.front().get();
    }
    const InOrder* list = earliestList();
    return list != nullptr ? list->first : nullptr;
}

static_assert(EventLoop::kInput == EPOLLIN && EventLoop::kOutput == EPOLLOUT);

// One-shot: a watcher that has not asked again is not called again, however much input waits.
bool EventLoop::watchOnce(int fd, Watcher* watcher, std::uint32_t events) {
    return control(epoll_, EPOLL_CTL_ADD, fd, events | EPOLLONESHOT, watcher);
}

bool EventLoop::rearmOnce(int fd, Watcher* watcher, std::uint32_t events) {
    return control(epoll_, EPOLL_CTL_MOD, fd, events | EPOLLONESHOT, watcher);
}

bool EventLoop::watchEdges(int fd, Watcher* watcher) {
    return control(epoll_, EPOLL_CTL_ADD, fd, EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET, watcher);
}

bool EventLoop::watchAllInput(int fd, Watcher* watcher) {
    return control(epoll_, EPOLL_CTL_ADD, fd, EPOLLIN, watcher);
}

void EventLoop::unwatch(int fd) {
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
}

void EventLoop::hold(std::shared_ptr<Watcher> watcher) {
    if (watcher->heldAt_ != Watcher::kNotHeld) {
        return;
    }
    watcher->heldAt_ = held_.size();
    held_.push_back(std::move(watcher));
}

void EventLoop::beforeWait(Task task) {
    beforeWait_.push_back(std::move(task));
}

void EventLoop::forget(Watcher* watcher) {
    const std::size_t at = watcher->heldAt_;
    if (at == Watcher::kNotHeld) {
        return;
    }
    watcher->heldAt_ = Watcher::kNotHeld;
    released_.push_back(std::move(held_[at]));
    // The last one takes its place.
    if (at + 1 != held_.size()) {
        held_[at] = std::move(held_.back());
        held_[at]->heldAt_ = at;
    }
    held_.pop_back();
}

void EventLoop::letGoOfForgotten() {
    // Swapped out first: a watcher's destructor may forget another.
    std::vector<std::shared_ptr<Watcher>> going;
    going.swap(released_);
    going.clear();
    if (released_.empty()) {
        released_.swap(going);  // keeps the capacity
    }
}

int EventLoop::waitMilliseconds() const {
    if (!local_.empty()) {
        return 0;
    }
    const PendingTimer* const first = firstTimer();
    if (first == nullptr) {
        return -1;
    }
    const auto left = first->deadline - std::chrono::steady_clock::now();
    // Rounded up: waking a little early would only spin until the deadline.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms, 60'000));
}

void EventLoop::runLocalTasks() {
    {
        const std::lock_guard lock(inboxMutex_);
        for (auto& task : inbox_) {
            local_.push_back(std::move(task));
        }
        inbox_.clear();
    }
    // Only what is queued now: a task that posts another lets the loop look at its descriptors
    // before running it.
    for (std::size_t count = local_.size(); count > 0 && !stopped_.load(std::memory_order_acquire);
         --count) {
        Task task = std::move(local_.front());
        local_.pop_front();
        task();
    }
}

void EventLoop::runBeforeWait() {
    // Swapped out: a task may ask again, for the next round.
    std::vector<Task> tasks;
    tasks.swap(beforeWait_);
    for (auto& task : tasks) {
        task();
    }
    if (beforeWait_.empty()) {
        tasks.clear();
        beforeWait_.swap(tasks);  // keeps the capacity
    }
}

void EventLoop::fireTimers() {
    const auto now = std::chrono::steady_clock::now();
    for (const PendingTimer* first = firstTimer(); first != nullptr && first->deadline <= now;
         first = firstTimer()) {
        std::shared_ptr<PendingTimer> timer;
        if (heapDueFirst()) {
            std::pop_heap(timers_.begin(), timers_.end(), Later{});
            timer = std::move(timers_.back());
            timers_.pop_back();
        } else {
            timer = unlink(*earliestList()->first);
        }
        Task task = std::move(timer->task);
        if (task && !timer->cancelled.load(std::memory_order_acquire)) {
            task();
        }
    }
}

void EventLoop::run() {
    currentLoop = this;
    started_.store(true, std::memory_order_release);
    epoll_event events[kEventsPerWait];
    while (!stopped_.load(std::memory_order_acquire)) {
        runLocalTasks();
        runBeforeWait();
        // Whatever was forgotten has closed or unwatched its descriptor, so the coming wait
        // cannot report it; the events of the wait that saw it closed are all handled by now.
        letGoOfForgotten();
        // Announce the sleep before the last look at the inbox, so a post either lands before
        // that look or sees the flag and wakes us.
        sleeping_.store(true, std::memory_order_seq_cst);
        bool inboxEmpty = false;
        {
            const std::lock_guard lock(inboxMutex_);
            inboxEmpty = inbox_.empty();
        }
        const int timeout = inboxEmpty ? waitMilliseconds() : 0;
        const int count = ::epoll_wait(epoll_, events, kEventsPerWait, timeout);
        sleeping_.store(false, std::memory_order_relaxed);
        for (int i = 0; i < count; ++i) {
            auto* watcher = static_cast<Watcher*>(events[i].data.ptr);
            if (watcher == nullptr) {
                std::uint64_t ignored = 0;
                [[maybe_unused]] const auto read = ::read(wakeFd_, &ignored, sizeof ignored);
                continue;
            }
            watcher->onReady(events[i].events);
        }
        fireTimers();
    }
    // Dropped, not run: what the tasks and timers hold is released here, on the loop's thread.
    {
        const std::lock_guard lock(inboxMutex_);
        inbox_.clear();
    }
    local_.clear();
    beforeWait_.clear();
    dropTimers();
    for (auto& watcher : held_) {
        watcher->heldAt_ = Watcher::kNotHeld;
        watcher->abandon();
    }
    held_.clear();
    released_.clear();
    currentLoop = nullptr;
    ended_.store(true, std::memory_order_release);
}

LoopPool::LoopPool(unsigned threads) {
    if (threads == 0) {
        threads = allowedCores();
    }
    loops_.reserve(threads);
    lanes_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        loops_.push_back(std::make_unique<EventLoop>());
        lanes_.push_back(std::make_shared<LoopLane>(*loops_.back(), *this));
    }
    threads_.reserve(threads);
    for (auto& loop : loops_) {
        threads_.emplace_back([&loop = *loop] { loop.run(); });
    }
    // Running before the pool is handed out, so that started() tells whether a loop thread may be
    // inside a call.
    for (auto& loop : loops_) {
        while (!loop->started()) {
            std::this_thread::yield();
        }
    }
}

LoopPool::~LoopPool() {
    stop();
}

void LoopPool::stop() {
    for (auto& loop : loops_) {
        loop->stop();
    }
    for (auto& thread : threads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

std::size_t LoopPool::pick() noexcept {
    if (auto* here = EventLoop::current()) {
        for (std::size_t i = 0; i < loops_.size(); ++i) {
            if (loops_[i].get() == here) {
                return i;
            }
        }
    }
    return nextIndex();
}

std::size_t LoopPool::nextIndex() noexcept {
    return next_.fetch_add(1, std::memory_order_relaxed) % loops_.size();
}

EventLoop& LoopPool::nextLoop() noexcept {
    return *loops_[nextIndex()];
}

void LoopPool::post(Task task) {
    loops_[pick()]->post(std::move(task));
}

std::shared_ptr<Queue> LoopPool::makeSerialQueue() {
    return makeLane();
}

std::shared_ptr<LoopLane> LoopPool::makeLane() noexcept {
    return lanes_[pick()];
}

std::shared_ptr<Timer> LoopPool::scheduleAfter(std::chrono::milliseconds delay, Task task) {
    return loops_[pick()]->scheduleAfter(delay, std::move(task));
}

}  // namespace sieveharbor::platform::linux_host
