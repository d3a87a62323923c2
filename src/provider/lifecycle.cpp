#include "provider/dns_proxy_provider.h"

namespace sieveharbor::provider {

void DNSProxyProvider::subscribe() {
    // Every path out (stop, sleep, destruction) removes the subscriptions first, so no callback
    // outlives the provider it points to.
    seams_.notifications->addObserver(
        this, blocklistUpdatedNotificationName(),
        platform::NotificationCenter::SuspensionBehavior::deliverImmediately,
        [this] { loadBlocklist(); });
    // The list is the console user's: one who logs in after the start, or is switched in,
    // gets theirs without waiting for a notification.
    if (!fixedBlocklistPath_) {
        seams_.consoleUser->watch(this, [this] { loadBlocklist(); });
    }
}

void DNSProxyProvider::unsubscribe() {
    seams_.notifications->removeEveryObserver(this);
    seams_.consoleUser->stopWatching(this);
}

void DNSProxyProvider::startProxyWithOptions(const StartOptions& options,
                                             const StartCompletion& completion) {
    if (options.upstreams && !options.upstreams->empty()) {
        context_.forward().useUpstreams(*options.upstreams);
    }
    subscribe();
    loadBlocklist();
    // Starting never fails: a missing or unreadable list only leaves the set as it was.
    completion(std::nullopt);
}

void DNSProxyProvider::stopProxyWithReason(int /*reason*/, const Completion& completion) {
    unsubscribe();
    completion();
}

void DNSProxyProvider::sleepWithCompletionHandler(const Completion& completion) {
    unsubscribe();
    completion();
}

void DNSProxyProvider::wake() {
    // The sleep before removed the old subscriptions; the list is not reloaded until the next
    // notification or console-user change.
    subscribe();
}

}  // namespace sieveharbor::provider
