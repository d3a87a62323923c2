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
        *platform::SocketAddress::parse(kDefaultResolver, platform::kDnsPort);
    return address;
}

std::string describeUpstreamChange(const platform::Upstream& upstream, bool up) {
    return "upstream " + upstream.text() +
           (up ? " answers again; queries go to it in its turn"
               : " is down (no answer in time, or refused, several times in a row); queries go "
                 "to the next, and it is tried again now and then");
}

std::string describeCertificateFailure(const platform::Upstream& upstream, const std::string& why) {
    return "upstream " + upstream.text() + " refused: " + why +
           "; no query goes to it until a connection verifies";
}

namespace {

// The host's ways of telling, or the provider's logger at the debug level.
flow::UpstreamEvents upstreamTellers(flow::UpstreamEvents host,
                                     const std::shared_ptr<platform::Logger>& logger) {
    if (!host.onChange) {
        host.onChange = [logger](const platform::Upstream& upstream, bool up) {
            if (logger->isDebugEnabled()) {
                logger->debug(describeUpstreamChange(upstream, up));
            }
        };
    }
    if (!host.onCertificateFailure) {
        host.onCertificateFailure = [logger](const platform::Upstream& upstream,
                                             const std::string& why) {
            if (logger->isDebugEnabled()) {
                logger->debug(describeCertificateFailure(upstream, why));
            }
        };
    }
    return host;
}

}  // namespace

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
                                   upstreamTellers(std::move(settings.upstreamEvents), logger)),
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
