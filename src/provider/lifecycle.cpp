#include "provider/dns_proxy_provider.h"

namespace sieveharbor::provider {

void DNSProxyProvider::subscribe() {
    seams_.notifications->addObserver(
        this, &DNSProxyProvider::blocklistUpdatedCallback, blocklistUpdatedNotificationName(),
        platform::NotificationCenter::SuspensionBehavior::deliverImmediately);
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

void DNSProxyProvider::blocklistUpdatedCallback(platform::NotificationCenter* /*center*/,
                                                void* observer, std::string_view /*name*/,
                                                const void* /*object*/, const void* /*userInfo*/) {
    if (observer == nullptr) {
        return;
    }
    static_cast<DNSProxyProvider*>(observer)->loadBlocklist();
}

}  // namespace sieveharbor::provider
