#include "platform/apple/darwin_notification_center.h"

#include <algorithm>

namespace sieveharbor::platform::apple {

DarwinNotificationCenter::DarwinNotificationCenter(std::shared_ptr<NotifyApi> api)
    : api_(std::move(api)), state_(std::make_shared<State>()) {
    state_->center = this;
}

DarwinNotificationCenter::~DarwinNotificationCenter() {
    remove([](const Subscription&) { return true; });
    const std::lock_guard lock(state_->mutex);
    state_->center = nullptr;
}

void DarwinNotificationCenter::addObserver(void* observer, Callback callback, std::string_view name,
                                           SuspensionBehavior /*behavior*/) {
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
    state_->subscriptions.push_back({id, observer, callback, text, *token});
}

void DarwinNotificationCenter::removeEveryObserver(void* observer) {
    remove([observer](const Subscription& s) { return s.observer == observer; });
}

template <class Matches>
void DarwinNotificationCenter::remove(Matches matches) {
    std::vector<int> tokens;
    {
        const std::lock_guard lock(state_->mutex);
        auto& subscriptions = state_->subscriptions;
        for (const auto& s : subscriptions) {
            if (matches(s)) {
                tokens.push_back(s.token);
            }
        }
        std::erase_if(subscriptions, matches);
    }
    if (tokens.empty()) {
        return;
    }
    for (const int token : tokens) {
        api_->cancel(token);
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
    Subscription found{};
    NotificationCenter* center = nullptr;
    {
        const std::lock_guard lock(state->mutex);
        const auto& subscriptions = state->subscriptions;
        const auto it = std::find_if(subscriptions.begin(), subscriptions.end(),
                                     [id](const Subscription& s) { return s.id == id; });
        if (it == subscriptions.end() || state->center == nullptr) {
            return;  // removed while this delivery was queued
        }
        found = *it;
        center = state->center;
    }
    found.callback(center, found.observer, found.name, nullptr, nullptr);
}

}  // namespace sieveharbor::platform::apple
