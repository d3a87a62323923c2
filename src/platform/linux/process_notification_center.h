#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/notification_center.h"

namespace sieveharbor::platform::linux_host {

// The process-wide notification centre of the Linux host: one delivery thread that takes posted
// names in order and calls every subscription of each.
//
// A subscription is keyed by observer and name: subscribing the same pair again replaces the
// callback rather than adding a second call per post. A name posted while the same name is still
// waiting is not queued twice: the delivery still to come covers both. Names still queued when
// the centre is destroyed are dropped. The centre must not be destroyed from one of its own
// callbacks.
//
// The delivery thread runs at the lowest priority (nice 19): the one notification here reloads
// the blocklist, which parses the whole file, and that work must take the CPU only when
// answering queries leaves it free, or every query that arrives meanwhile waits for it.
class ProcessNotificationCenter final : public platform::NotificationCenter {
  public:
    ProcessNotificationCenter();
    // Stops the delivery thread after any delivery in progress, and joins it.
    ~ProcessNotificationCenter() override;

    ProcessNotificationCenter(const ProcessNotificationCenter&) = delete;
    ProcessNotificationCenter& operator=(const ProcessNotificationCenter&) = delete;

    void addObserver(const void* observer, std::string_view name, SuspensionBehavior behavior,
                     Callback callback) override;
    // Waits for a delivery in progress to finish, unless called from the delivery thread.
    void removeEveryObserver(const void* observer) override;
    void post(std::string_view name) override;

  private:
    struct Subscription {
        const void* observer;
        Callback callback;
        std::string name;
        std::uint64_t id;
    };

    void run();
    void deliver(const std::string& name);

    // Held for the whole of one delivery, so removeEveryObserver on another thread waits for a
    // running callback. Recursive: a callback may remove subscriptions itself.
    std::recursive_mutex delivering_;
    // Guards everything below; never held while a callback runs. Taken after delivering_.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::string> posted_;
    std::vector<Subscription> subscriptions_;
    std::uint64_t nextId_ = 0;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace sieveharbor::platform::linux_host
