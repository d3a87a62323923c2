#pragma once

// Objective-C++ only: the Queue seam on Dispatch, for the files that hand its queue to the
// platform (network_connection.mm).

#import <dispatch/dispatch.h>

#include <memory>

#include "platform/queue.h"

namespace sieveharbor::platform::apple {

class DispatchQueue final : public Queue {
  public:
    // queue: where tasks run; root: the concurrent queue every serial queue made here targets.
    DispatchQueue(dispatch_queue_t queue, dispatch_queue_t root) : queue_(queue), root_(root) {}

    dispatch_queue_t queue() const noexcept { return queue_; }

    void post(Task task) override;
    std::shared_ptr<Queue> makeSerialQueue() override { return makeSerialDispatchQueue(); }
    std::chrono::steady_clock::time_point now() const override {
        return std::chrono::steady_clock::now();
    }
    // The same, as the type the framework's connections are started on.
    std::shared_ptr<DispatchQueue> makeSerialDispatchQueue();
    std::shared_ptr<Timer> scheduleAfter(std::chrono::milliseconds delay, Task task) override;

  private:
    dispatch_queue_t queue_;
    dispatch_queue_t root_;
};

// Dispatch's global concurrent queue at user-initiated quality of service.
std::shared_ptr<DispatchQueue> makeUserInitiatedDispatchQueue();

}  // namespace sieveharbor::platform::apple
