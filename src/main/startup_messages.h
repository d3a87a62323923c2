#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <system_error>

#include "main/command_line.h"
#include "provider/dns_proxy_provider.h"

namespace sieveharbor::service {

// One line (no newline) for a listener that cannot be bound: the address, the system's reason
// and what to do about it.
std::string listenFailureMessage(const platform::SocketAddress& address, std::error_code error,
                                 bool tcp = false);

// One line for a metrics address that cannot be served.
std::string metricsFailureMessage(const platform::SocketAddress& address, std::error_code error);

// One line for a socket passed by systemd that cannot be served.
std::string adoptFailureMessage(int fd, std::error_code error);

// One line for a blocklist whose folder cannot be watched for changes.
std::string watchFailureMessage(const std::string& folder, std::error_code error);

// One line for a blocklist whose folder does not exist at start.
std::string missingFolderMessage(const std::string& folder);

// The line for one load of the blocklist: always for a refused load, which leaves the old list
// in force; with debug only for an accepted one.
std::optional<std::string> loadMessage(const provider::LoadReport& report, bool debug);

// One line when the descriptor limit holds fewer exchanges or connections than their caps.
std::string descriptorLimitMessage(std::size_t descriptors, std::size_t inFlight,
                                   std::size_t tcpConnections);

}  // namespace sieveharbor::service
