#pragma once

#include <memory>
#include <string_view>

#include "platform/linux/event_loop.h"
#include "platform/notification_center.h"

namespace sieveharbor::platform::linux_host {

// The process-wide notification centre of the Linux host: posted names are delivered in order,
// each to every subscription of it, on the thread of `loop` (the service's control loop, where
// the other triggers of a reload are told too, so that every reload runs on one thread, one at a
// time, at one priority).
//
// A subscription is keyed by observer and name: subscribing the same pair again replaces the
// callback rather than adding a second call per post. A name posted while the same name is still
// waiting is not queued twice: the delivery still to come covers both. Names still queued when
// the centre is destroyed are dropped. The centre must not be destroyed from one of its own
// callbacks, and the loop must outlive it.
class ProcessNotificationCenter final : public platform::NotificationCenter {
  public:
    explicit ProcessNotificationCenter(EventLoop& loop);
    // Waits for a delivery in progress to finish; later ones are dropped.
    ~ProcessNotificationCenter() override;

    ProcessNotificationCenter(const ProcessNotificationCenter&) = delete;
    ProcessNotificationCenter& operator=(const ProcessNotificationCenter&) = delete;

    void addObserver(const void* observer, std::string_view name, SuspensionBehavior behavior,
                     Callback callback) override;
    // Waits for a delivery in progress to finish, unless called from the delivering thread.
    void removeEveryObserver(const void* observer) override;
    void post(std::string_view name) override;

  private:
    struct Subscriptions;

    EventLoop& loop_;
    // Shared with the deliveries queued on the loop, which may run after the centre has gone.
    const std::shared_ptr<Subscriptions> subscriptions_;
};

}  // namespace sieveharbor::platform::linux_host
