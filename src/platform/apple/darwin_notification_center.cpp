#include "platform/apple/darwin_notification_center.h"

#include <algorithm>
#include <iterator>

namespace sieveharbor::platform::apple {

DarwinNotificationCenter::DarwinNotificationCenter(std::shared_ptr<NotifyApi> api)
    : api_(std::move(api)), state_(std::make_shared<State>()) {}

DarwinNotificationCenter::~DarwinNotificationCenter() {
    remove([](const Subscription&) { return true; });
    const std::lock_guard lock(state_->mutex);
    state_->centerGone = true;
}

void DarwinNotificationCenter::addObserver(const void* observer, std::string_view name,
                                           SuspensionBehavior /*behavior*/, Callback callback) {
    // notify delivers at once whatever the process is doing: the one behaviour there is.
    const std::string text(name);
    remove([&](const Subscription& s) { return s.observer == observer && s.name == text; });
    std::uint64_t id = 0;
    {
        const std::lock_guard lock(state_->mutex);
        id = state_->nextId++;
    }
    const auto token = api_->registerName(
        text, [state = state_, id] { DarwinNotificationCenter::deliver(state, id); });
    if (!token) {
        return;  // nothing to subscribe with: as if no one posted
    }
    const std::lock_guard lock(state_->mutex);
    state_->subscriptions.push_back({id, observer, std::move(callback), text, *token});
}

void DarwinNotificationCenter::removeEveryObserver(const void* observer) {
    remove([observer](const Subscription& s) { return s.observer == observer; });
}

template <class Matches>
void DarwinNotificationCenter::remove(Matches matches) {
    // Their callbacks are destroyed with no lock held: what they hold may call the centre.
    std::vector<Subscription> removed;
    {
        const std::lock_guard lock(state_->mutex);
        auto& subscriptions = state_->subscriptions;
        const auto gone = std::stable_partition(subscriptions.begin(), subscriptions.end(),
                                                [&](const Subscription& s) { return !matches(s); });
        removed.assign(std::make_move_iterator(gone), std::make_move_iterator(subscriptions.end()));
        subscriptions.erase(gone, subscriptions.end());
    }
    if (removed.empty()) {
        return;
    }
    for (const auto& s : removed) {
        api_->cancel(s.token);
    }
    // A delivery that found the subscription before it went may still be running its callback.
    if (!api_->onDeliveryQueue()) {
        api_->awaitDelivery();
    }
}

void DarwinNotificationCenter::post(std::string_view name) {
    api_->post(std::string(name));
}

void DarwinNotificationCenter::deliver(const std::shared_ptr<State>& state, std::uint64_t id) {
    Callback callback;
    {
        const std::lock_guard lock(state->mutex);
        const auto& subscriptions = state->subscriptions;
        const auto it = std::find_if(subscriptions.begin(), subscriptions.end(),
                                     [id](const Subscription& s) { return s.id == id; });
        if (it == subscriptions.end() || state->centerGone) {
            return;  // removed while this delivery was queued
        }
        callback = it->callback;
    }
    callback();
}

}  // namespace sieveharbor::platform::apple
