#pragma once

#include <string_view>

namespace sieveharbor::provider {

// The names the provider and the app that installs and feeds it must agree on, written once.

// The system extension's bundle identifier, which the app activates and names as the DNS proxy
// configuration's provider.
inline constexpr std::string_view kExtensionIdentifier = "com.brackenmoor.sieveharbor.proxy";

// The posted name that makes every running provider reload its blocklist.
inline constexpr std::string_view kBlocklistUpdatedNotification =
    "com.brackenmoor.sieveharbor.blocklistUpdated";

// The filtering resolver relayed queries go to unless a host says otherwise: a public resolver
// that filters malware and adult domains, on port 53.
inline constexpr std::string_view kDefaultResolver = "1.1.1.3";

// The key of the DNS proxy configuration's provider configuration under which the app saves the
// upstreams (an array of strings, each as --upstream takes it) and the extension reads them.
inline constexpr std::string_view kUpstreamsConfigurationKey = "upstreams";

}  // namespace sieveharbor::provider
