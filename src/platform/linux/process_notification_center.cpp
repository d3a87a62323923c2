#include "platform/linux/process_notification_center.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

namespace sieveharbor::platform::linux_host {
namespace {

// The lowest priority short of SCHED_IDLE, which could hold a reload back for seconds on a busy
// machine.
constexpr int kDeliveryNice = 19;

}  // namespace

ProcessNotificationCenter::ProcessNotificationCenter() : worker_([this] { run(); }) {}

ProcessNotificationCenter::~ProcessNotificationCenter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void ProcessNotificationCenter::addObserver(const void* observer, std::string_view name,
                                            SuspensionBehavior, Callback callback) {
    std::lock_guard lock(mutex_);
    const auto existing = std::find_if(
        subscriptions_.begin(), subscriptions_.end(),
        [&](const Subscription& s) { return s.observer == observer && s.name == name; });
    if (existing != subscriptions_.end()) {
        // The old callback goes with the argument, once the lock is let go.
        existing->callback.swap(callback);
        return;
    }
    subscriptions_.push_back({observer, std::move(callback), std::string(name), nextId_++});
}

void ProcessNotificationCenter::removeEveryObserver(const void* observer) {
    // Their callbacks are destroyed once the locks are let go: what they hold may call the centre.
    std::vector<Subscription> removed;
    std::lock_guard delivery(delivering_);
    std::lock_guard lock(mutex_);
    const auto gone =
        std::stable_partition(subscriptions_.begin(), subscriptions_.end(),
                              [&](const Subscription& s) { return s.observer != observer; });
    removed.assign(std::make_move_iterator(gone), std::make_move_iterator(subscriptions_.end()));
    subscriptions_.erase(gone, subscriptions_.end());
}

void ProcessNotificationCenter::post(std::string_view name) {
    {
        std::lock_guard lock(mutex_);
        if (std::find(posted_.begin(), posted_.end(), name) != posted_.end()) {
            return;
        }
        posted_.emplace_back(name);
    }
    wake_.notify_one();
}

void ProcessNotificationCenter::run() {
    // Only a hint: at normal priority deliveries are merely slower to give way.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kDeliveryNice);
    for (;;) {
        std::string name;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !posted_.empty(); });
            if (stopping_) {
                return;
            }
            name = std::move(posted_.front());
            posted_.pop_front();
        }
        deliver(name);
    }
}

void ProcessNotificationCenter::deliver(const std::string& name) {
    std::lock_guard delivery(delivering_);
    std::vector<std::uint64_t> due;
    {
        std::lock_guard lock(mutex_);
        for (const auto& subscription : subscriptions_) {
            if (subscription.name == name) {
                due.push_back(subscription.id);
            }
        }
    }
    for (const auto id : due) {
        // Looked up again each time: an earlier callback may have removed this subscription.
        Callback callback;
        {
            std::lock_guard lock(mutex_);
            const auto found = std::find_if(subscriptions_.begin(), subscriptions_.end(),
                                            [&](const Subscription& s) { return s.id == id; });
            if (found == subscriptions_.end()) {
                continue;
            }
            callback = found->callback;
        }
        callback();
    }
}

}  // namespace sieveharbor::platform::linux_host
