#pragma once

#include <optional>

#include "platform/connection.h"

namespace sieveharbor::platform::apple {

// Network framework's connection states and error domains, numbered as its headers number them
// (network_connection.mm checks that they still are), so that how they map onto the Connection
// seam is plain C++ that the tests reach on any host.
enum class NetworkState : int {
    invalid = 0,
    waiting = 1,
    preparing = 2,
    ready = 3,
    failed = 4,
    cancelled = 5,
};
enum class NetworkErrorDomain : int { invalid = 0, posix = 1, dns = 2, tls = 3 };

// An error of the framework as an error code: a POSIX one in the system category, so that the
// exchange recognises a descriptor shortage (EMFILE) as on Linux; a DNS or TLS one in a category
// of the framework's own. Nothing when the framework gave no error.
std::optional<ConnectionError> errorFrom(std::optional<NetworkErrorDomain> domain, int code);

// A state the framework reports, with its error, as the seam's state. A waiting or failed state
// without an error gets a generic one, since the seam promises one for both.
ConnectionState stateFrom(NetworkState state, std::optional<ConnectionError> error);

}  // namespace sieveharbor::platform::apple
