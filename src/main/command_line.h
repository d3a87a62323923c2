#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket_address.h"
#include "provider/dns_proxy_provider.h"

namespace sieveharbor::service {

inline constexpr std::string_view kProgramName = "sieveharbor-proxy";

struct Options {
    std::vector<platform::SocketAddress> listen;
    // True when listen holds the defaults, not addresses the user asked for.
    bool defaultListen = true;
    // In order of preference; the filtering resolver alone unless --upstream is given.
    platform::UpstreamList upstreams = provider::defaultUpstreams();
    std::optional<std::string> blocklist;
    // The authorities a TLS upstream's certificate must chain to (a PEM file); none: the
    // system's.
    std::optional<std::string> tlsCa;
    bool tcp = true;  // DNS over TCP on the same addresses; --no-tcp turns it off
    std::optional<platform::SocketAddress> metrics;  // where /metrics is served; off when empty
    bool debug = false;
    bool help = false;
    bool version = false;
};

// The defaults: loopback only, so the proxy is never an open resolver unless asked to be.
std::vector<platform::SocketAddress> defaultListenAddresses();

// Either options, or one line (no trailing newline) naming the bad argument.
struct ParsedCommandLine {
    std::optional<Options> options;
    std::string error;
};

// Pure: reads only args (without the program name). Every argument is checked, in order, so a
// bad one is reported even next to --help.
ParsedCommandLine parseCommandLine(std::span<const std::string_view> args);

// A line (without newline) when an upstream is one of the proxy's own listening sockets, so that
// every query relayed there would come back to the proxy: the same address and port, or the same
// port under a wildcard listener (0.0.0.0, ::) when the upstream is a loopback address or one of
// machineAddresses (whose ports are not looked at). Pure.
std::optional<std::string> upstreamLoopError(
    const Options& options, std::span<const platform::SocketAddress> machineAddresses);

// The addresses of this machine's interfaces, IPv4 and IPv6, as the kernel lists them (port 0).
std::vector<platform::SocketAddress> listMachineAddresses();

std::string usageText();
// The hint printed after a bad-usage line.
std::string usageHint();

}  // namespace sieveharbor::service
