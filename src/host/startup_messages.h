#pragma once

#include <string>
#include <system_error>

#include "host/command_line.h"

namespace sieveharbor::host {

// One line (no newline) for a listener that cannot be bound: the address, the system's reason
// and what to do about it.
std::string listenFailureMessage(const SocketAddress& address, std::error_code error);

// One line for a blocklist whose folder cannot be watched for changes.
std::string watchFailureMessage(const std::string& folder, std::error_code error);

}  // namespace sieveharbor::host
