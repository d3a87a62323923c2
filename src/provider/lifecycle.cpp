#include "provider/dns_proxy_provider.h"

namespace sieveharbor::provider {

void DNSProxyProvider::subscribe() {
    // Every path out (stop, sleep, destruction) removes the subscription first, so the callback
    // never outlives the provider it points to.
    seams_.notifications->addObserver(
        this, blocklistUpdatedNotificationName(),
        platform::NotificationCenter::SuspensionBehavior::deliverImmediately,
        [this] { loadBlocklist(); });
}

void DNSProxyProvider::startProxyWithOptions(StartCompletion completion) {
    subscribe();
    loadBlocklist();
    // Starting never fails: a missing or unreadable list only leaves the set as it was.
    completion(std::nullopt);
}

void DNSProxyProvider::stopProxyWithReason(int /*reason*/, Completion completion) {
    seams_.notifications->removeEveryObserver(this);
    completion();
}

void DNSProxyProvider::sleepWithCompletionHandler(Completion completion) {
    seams_.notifications->removeEveryObserver(this);
    completion();
}

void DNSProxyProvider::wake() {
    // The sleep before removed the old subscription; the list is not reloaded until the next
    // notification.
    subscribe();
}

}  // namespace sieveharbor::provider
