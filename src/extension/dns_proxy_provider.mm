// The class the system instantiates: an NEDNSProxyProvider that holds the C++ provider and passes
// each call on to it.

#include "provider/dns_proxy_provider.h"

#import <NetworkExtension/NetworkExtension.h>

#include "platform/apple/apple_seams.h"
#include "platform/apple/flow_adapters.h"
#include "platform/apple/open_flows.h"
#include "platform/posix/descriptor_limit.h"
#include "platform/posix/posix_file_system.h"

using sieveharbor::provider::DNSProxyProvider;

// launchd starts the extension with a soft limit far below the connections it may have to carry:
// the limit is raised, and the caps are fitted beside the descriptors open, with room kept for a
// reload, as the Linux service does.
static sieveharbor::provider::ProviderSettings settingsForDescriptorLimit() {
    namespace posix = sieveharbor::platform::posix;
    sieveharbor::provider::ProviderSettings settings;
    posix::fitCaps(posix::raiseDescriptorLimit(), settings.forward.maxInFlight,
                   settings.streams.maxConnections);
    return settings;
}

// The name the system extension's Info.plist gives for the DNS proxy provider class.
__attribute__((objc_runtime_name("com_brackenmoor_sieveharbor_proxy.DNSProxyProvider")))
@interface SieveHarborDNSProxyProvider : NEDNSProxyProvider
@end

@implementation SieveHarborDNSProxyProvider {
    std::shared_ptr<DNSProxyProvider> _provider;
    sieveharbor::platform::apple::OpenFlows _flows;
}

- (instancetype)init {
    namespace apple = sieveharbor::platform::apple;
    // The provider and its fields are made before the base class is initialised.
    auto relay = apple::makeNetworkRelay();
    auto provider = DNSProxyProvider::create(
        {std::move(relay.queue), std::move(relay.connections),
         apple::makeDarwinNotificationCenter(), apple::makeSystemConsoleUser(),
         std::make_shared<sieveharbor::platform::posix::PosixFileSystem>(),
         apple::makeUnifiedLoggerFactory()},
        settingsForDescriptorLimit());
    self = [super init];
    if (self != nil) {
        _provider = std::move(provider);
    }
    return self;
}

// The options are the configuration's provider configuration, as the app saved it: the
// upstreams, if any, as strings. Read here only; what they mean is the shared C++'s to say.
static sieveharbor::provider::StartOptions startOptionsFrom(NSDictionary<NSString*, id>* options,
                                                            sieveharbor::platform::Logger& logger) {
    sieveharbor::provider::StartOptions start;
    const auto key = sieveharbor::provider::kUpstreamsConfigurationKey;
    id value = options[[[NSString alloc] initWithBytes:key.data()
                                                length:key.size()
                                              encoding:NSUTF8StringEncoding]];
    if (![value isKindOfClass:[NSArray class]]) {
        return start;  // none saved: the compiled-in resolver
    }
    std::vector<std::string> texts;
    for (id entry in static_cast<NSArray*>(value)) {
        texts.emplace_back(
            [entry isKindOfClass:[NSString class]] ? static_cast<NSString*>(entry).UTF8String : "");
    }
    auto parsed = sieveharbor::platform::parseUpstreamList(texts);
    if (!parsed.upstreams) {
        if (logger.isDebugEnabled()) {
            logger.debug("the saved upstreams are not used: " + parsed.error);
        }
        return start;
    }
    start.upstreams = std::move(parsed.upstreams);
    return start;
}

- (void)startProxyWithOptions:(NSDictionary<NSString*, id>*)options
            completionHandler:(void (^)(NSError* error))completionHandler {
    _provider->startProxyWithOptions(startOptionsFrom(options, *_provider->logger),
                                     [completionHandler](std::optional<std::error_code>) {
                                         completionHandler(nil);  // starting never fails
                                     });
}

- (void)stopProxyWithReason:(NEProviderStopReason)reason
          completionHandler:(void (^)(void))completionHandler {
    _provider->stopProxyWithReason(static_cast<int>(reason), [self, completionHandler] {
        // A stopped provider leaves no flow open behind it.
        self->_flows.closeAll();
        completionHandler();
    });
}

- (void)sleepWithCompletionHandler:(void (^)(void))completionHandler {
    _provider->sleepWithCompletionHandler([completionHandler] { completionHandler(); });
}

- (void)wake {
    _provider->wake();
}

- (BOOL)handleNewFlow:(NEAppProxyFlow*)flow {
    namespace apple = sieveharbor::platform::apple;
    std::shared_ptr<sieveharbor::platform::Flow> adapted;
    if ([flow isKindOfClass:[NEAppProxyUDPFlow class]]) {
        adapted = apple::adaptUdpFlow(static_cast<NEAppProxyUDPFlow*>(flow));
    } else if ([flow isKindOfClass:[NEAppProxyTCPFlow class]]) {
        adapted = apple::adaptTcpFlow(static_cast<NEAppProxyTCPFlow*>(flow));
    } else {
        return NO;
    }
    _flows.add(adapted);
    return _provider->handleNewFlow(adapted) ? YES : NO;
}

@end
