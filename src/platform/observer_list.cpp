#include "platform/observer_list.h"

#include <algorithm>

namespace sieveharbor::platform {

void ObserverList::add(const void* observer, Callback callback) {
    auto entry = std::make_shared<Callback>(std::move(callback));
    const std::lock_guard lock(mutex_);
    const auto it = std::find_if(observers_.begin(), observers_.end(),
                                 [observer](const Entry& e) { return e.first == observer; });
    if (it != observers_.end()) {
        entry.swap(it->second);  // the old callback is destroyed below, after the lock
    } else {
        observers_.emplace_back(observer, std::move(entry));
        entry.reset();
    }
}

void ObserverList::removeEvery(const void* observer) {
    std::vector<Entry> removed;  // destroyed with no lock held: a callback may hold the caller
    {
        const std::lock_guard lock(mutex_);
        const auto gone =
            std::stable_partition(observers_.begin(), observers_.end(),
                                  [observer](const Entry& e) { return e.first != observer; });
        removed.assign(std::make_move_iterator(gone), std::make_move_iterator(observers_.end()));
        observers_.erase(gone, observers_.end());
    }
    // A delivery that took the callback before it went may still be running it: wait it out,
    // unless this is that delivery's own thread.
    if (!removed.empty() && deliveringThread_.load() != std::this_thread::get_id()) {
        const std::lock_guard wait(deliveryMutex_);
    }
}

void ObserverList::deliver() {
    const std::lock_guard delivery(deliveryMutex_);
    deliveringThread_ = std::this_thread::get_id();
    std::vector<Entry> snapshot;
    {
        const std::lock_guard lock(mutex_);
        snapshot = observers_;
    }
    for (const auto& entry : snapshot) {
        bool present = false;
        {
            const std::lock_guard lock(mutex_);
            present = std::any_of(observers_.begin(), observers_.end(),
                                  [&entry](const Entry& e) { return e.second == entry.second; });
        }
        if (present) {
            (*entry.second)();
        }
    }
    deliveringThread_ = std::thread::id();
}

bool ObserverList::empty() const {
    const std::lock_guard lock(mutex_);
    return observers_.empty();
}

}  // namespace sieveharbor::platform
