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

}  // namespace sieveharbor::provider
