#include "provider/dns_proxy_provider.h"

#include <utility>

namespace sieveharbor::provider {

const std::string& blocklistUpdatedNotificationName() {
    // Made once, on first use; the initialisation of a function-local static is thread-safe, so
    // a start racing a wake still makes it exactly once.
    static const std::string name(kBlocklistUpdatedNotification);
    return name;
}

const platform::SocketAddress& defaultSafeDNSAddress() {
    static const platform::SocketAddress address =
        *platform::SocketAddress::parse("1.1.1.3", platform::kDnsPort);
    return address;
}

platform::UpstreamList defaultUpstreams() {
    return {platform::Upstream{defaultSafeDNSAddress()}};
}

std::shared_ptr<DNSProxyProvider> DNSProxyProvider::create(ProviderSeams seams,
                                                           ProviderSettings settings) {
    return std::make_shared<DNSProxyProvider>(PrivateTag{}, std::move(seams), std::move(settings));
}

DNSProxyProvider::DNSProxyProvider(PrivateTag /*tag*/, ProviderSeams seams,
                                   ProviderSettings settings)
    : logger(seams.loggers->makeLogger(kProviderLogSubsystem, kLogCategory)),
      seams_(std::move(seams)),
      fixedBlocklistPath_(std::move(settings.fixedBlocklistPath)),
      onLoad_(std::move(settings.onLoad)),
      listPageAdvice_(settings.listPageAdvice),
      streams_(settings.streams.maxConnections),
      context_(blockedDomains, seams_.connections,
               flow::RelaySettings(std::move(settings.upstreams), settings.forward,
                                   std::move(settings.onUpstreamChange)),
               seams_.queue, streams_, settings.streams) {}

DNSProxyProvider::~DNSProxyProvider() {
    // The subscriptions' callbacks point at this provider; removing them here means no delivery
    // can reach a destroyed provider, whatever stop or sleep did or did not run.
    unsubscribe();
}

metrics::Snapshot DNSProxyProvider::metrics() const {
    auto snapshot = context_.counters().read();
    snapshot.entries = blockedDomains.snapshot()->size();
    snapshot.inFlight = context_.forward().inFlight();
    snapshot.upstreams = context_.forward().upstreams()->figures();
    return snapshot;
}

platform::SocketAddress DNSProxyProvider::safeDNSAddress() const {
    return context_.forward().upstreams()->at(0).upstream().address;
}

bool DNSProxyProvider::isDomainBlocked(std::string_view name) const {
    const auto snapshot = blockedDomains.snapshot();
    return blocklist::isNameBlocked(name, *snapshot);
}

}  // namespace sieveharbor::provider
