#include "platform/linux/process_notification_center.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace sieveharbor::platform::linux_host {

struct ProcessNotificationCenter::Subscriptions {
    struct Entry {
        const void* observer;
        Callback callback;
        std::string name;
        std::uint64_t id;
    };

    // On the loop: every subscription of `name` as they stand when each is reached.
    void deliver(const std::string& name) {
        const std::lock_guard delivery(delivering);
        std::vector<std::uint64_t> due;
        {
            const std::lock_guard lock(mutex);
            std::erase(waiting, name);
            if (stopped) {
                return;
            }
            for (const auto& entry : entries) {
                if (entry.name == name) {
                    due.push_back(entry.id);
                }
            }
        }
        for (const auto id : due) {
            // Looked up again each time: an earlier callback may have removed this subscription.
            Callback callback;
            {
                const std::lock_guard lock(mutex);
                const auto found = std::find_if(entries.begin(), entries.end(),
                                                [&](const Entry& e) { return e.id == id; });
                if (found == entries.end()) {
                    continue;
                }
                callback = found->callback;
            }
            callback();
        }
    }

    // Held for the whole of one delivery, so removal on another thread waits for a running
    // callback. Recursive: a callback may remove subscriptions itself.
    std::recursive_mutex delivering;
    // Guards everything below; never held while a callback runs. Taken after delivering.
    std::mutex mutex;
    std::vector<std::string> waiting;  // posted and not yet delivered
    std::vector<Entry> entries;
    std::uint64_t nextId = 0;
    bool stopped = false;
};

ProcessNotificationCenter::ProcessNotificationCenter(EventLoop& loop)
    : loop_(loop), subscriptions_(std::make_shared<Subscriptions>()) {}

ProcessNotificationCenter::~ProcessNotificationCenter() {
    const std::lock_guard delivery(subscriptions_->delivering);
    std::vector<Subscriptions::Entry> removed;  // destroyed once the locks are let go
    const std::lock_guard lock(subscriptions_->mutex);
    subscriptions_->stopped = true;
    removed.swap(subscriptions_->entries);
}

void ProcessNotificationCenter::addObserver(const void* observer, std::string_view name,
                                            SuspensionBehavior, Callback callback) {
    auto& s = *subscriptions_;
    const std::lock_guard lock(s.mutex);
    const auto existing = std::find_if(
        s.entries.begin(), s.entries.end(),
        [&](const Subscriptions::Entry& e) { return e.observer == observer && e.name == name; });
    if (existing != s.entries.end()) {
        // The old callback goes with the argument, once the lock is let go.
        existing->callback.swap(callback);
        return;
    }
    s.entries.push_back({observer, std::move(callback), std::string(name), s.nextId++});
}

void ProcessNotificationCenter::removeEveryObserver(const void* observer) {
    auto& s = *subscriptions_;
    // Their callbacks are destroyed once the locks are let go: what they hold may call the centre.
    std::vector<Subscriptions::Entry> removed;
    const std::lock_guard delivery(s.delivering);
    const std::lock_guard lock(s.mutex);
    const auto gone = std::stable_partition(
        s.entries.begin(), s.entries.end(),
        [&](const Subscriptions::Entry& e) { return e.observer != observer; });
    removed.assign(std::make_move_iterator(gone), std::make_move_iterator(s.entries.end()));
    s.entries.erase(gone, s.entries.end());
}

void ProcessNotificationCenter::post(std::string_view name) {
    {
        auto& s = *subscriptions_;
        const std::lock_guard lock(s.mutex);
        if (s.stopped || std::find(s.waiting.begin(), s.waiting.end(), name) != s.waiting.end()) {
            return;
        }
        s.waiting.emplace_back(name);
    }
    loop_.post([subscriptions = subscriptions_, name = std::string(name)] {
        subscriptions->deliver(name);
    });
}

}  // namespace sieveharbor::platform::linux_host
