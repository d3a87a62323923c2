#pragma once

#include <optional>

#include "platform/connection.h"
#include "platform/flow.h"

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
// exchange recognises a descriptor shortage (EMFILE) as on Linux; a TLS one that refuses a
// certificate as the seam's certificate error, so that it is told as on Linux; any other DNS or
// TLS one in a category of the framework's own. Nothing when the framework gave no error.
std::optional<ConnectionError> errorFrom(std::optional<NetworkErrorDomain> domain, int code);

// A state the framework reports, with its error, as the seam's state. A waiting or failed state
// without an error gets a generic one, since the seam promises one for both.
ConnectionState stateFrom(NetworkState state, std::optional<ConnectionError> error);

// NetworkExtension's flow errors (NEAppProxyFlowError), numbered as its header numbers them
// (flow_adapters.mm checks), the only domain a flow may be closed with.
enum class AppProxyFlowError : int {
    notConnected = 1,
    peerReset = 2,
    hostUnreachable = 3,
    invalidArgument = 4,
    aborted = 5,
    refused = 6,
    timedOut = 7,
    internal = 8,
    datagramTooLarge = 9,
};

// A flow error of the framework's domain as an error code, keeping its number; and the error a
// flow is closed with, in that domain: the framework's own as it came, a POSIX one by its
// meaning, any other an internal error; nothing for nothing.
FlowError flowErrorFrom(AppProxyFlowError error);
std::optional<AppProxyFlowError> appProxyFlowErrorOf(const std::optional<FlowError>& error);

}  // namespace sieveharbor::platform::apple
