#include "platform/apple/dispatch_queue.h"

#include <mutex>

#include "platform/apple/apple_seams.h"

namespace sieveharbor::platform::apple {

namespace {

// A task that runs once its delay has passed unless cancelled first. The flag is read on the
// queue that runs the task, so a cancel made there before it starts stops it for certain.
class DispatchTimer final : public Timer {
  public:
    explicit DispatchTimer(Task task) : task_(std::move(task)) {}

    void cancel() override {
        Task dropped;  // released outside the lock: it may hold what its owner lets go of
        const std::lock_guard lock(mutex_);
        cancelled_ = true;
        dropped = std::move(task_);
        task_ = nullptr;
    }

    void fire() {
        Task task;
        {
            const std::lock_guard lock(mutex_);
            if (cancelled_) {
                return;
            }
            task = std::move(task_);
            task_ = nullptr;
        }
        if (task) {
            task();
        }
    }

  private:
    std::mutex mutex_;
    bool cancelled_ = false;
    Task task_;
};

}  // namespace

void DispatchQueue::post(Task task) {
    // The global queues drain no autorelease pool per work item: each task drains its own, as
    // the core it runs writes to flows.
    dispatch_async_f(queue_, new Task(std::move(task)), [](void* context) {
        @autoreleasepool {
            const std::unique_ptr<Task> owned(static_cast<Task*>(context));
            (*owned)();
        }
    });
}

std::shared_ptr<DispatchQueue> DispatchQueue::makeSerialDispatchQueue() {
    dispatch_queue_t serial = dispatch_queue_create_with_target(
        "com.brackenmoor.sieveharbor.exchange", DISPATCH_QUEUE_SERIAL, root_);
    return std::make_shared<DispatchQueue>(serial, root_);
}

std::shared_ptr<Timer> DispatchQueue::scheduleAfter(std::chrono::milliseconds delay, Task task) {
    auto timer = std::make_shared<DispatchTimer>(std::move(task));
    const auto nanoseconds = static_cast<std::int64_t>(delay.count()) * NSEC_PER_MSEC;
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, nanoseconds), queue_, ^{
      @autoreleasepool {
          timer->fire();
      }
    });
    return timer;
}

std::shared_ptr<DispatchQueue> makeUserInitiatedDispatchQueue() {
    dispatch_queue_t global = dispatch_get_global_queue(QOS_CLASS_USER_INITIATED, 0);
    return std::make_shared<DispatchQueue>(global, global);
}

}  // namespace sieveharbor::platform::apple
