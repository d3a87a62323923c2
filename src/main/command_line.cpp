#include "main/command_line.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "cli/option_parser.h"
#include "platform/linux/socket_address.h"

namespace sieveharbor::service {

using cli::quoted;

namespace {

// An address as 16 bytes, IPv4 mapped into IPv6 (::ffff:a.b.c.d), so that one comparison
// covers both families.
std::array<std::uint8_t, 16> binaryAddress(const platform::SocketAddress& address) {
    std::array<std::uint8_t, 16> bytes{};
    const auto given = address.bytes();
    if (!address.isV6()) {
        bytes[10] = bytes[11] = 0xFF;
    }
    std::copy(given.begin(), given.end(), bytes.end() - given.size());
    return bytes;
}

bool isMappedV4(const std::array<std::uint8_t, 16>& a) {
    static constexpr std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(a.data(), kPrefix, 12) == 0;
}

bool isLoopback(const std::array<std::uint8_t, 16>& a) {
    static constexpr std::array<std::uint8_t, 16> kV6Loopback = {0, 0, 0, 0, 0, 0, 0, 0,
                                                                 0, 0, 0, 0, 0, 0, 0, 1};
    return a == kV6Loopback || (isMappedV4(a) && a[12] == 127);
}

bool isWildcard(const std::array<std::uint8_t, 16>& a) {
    static constexpr std::array<std::uint8_t, 16> kAny{};
    return a == kAny || (isMappedV4(a) && a[12] == 0 && a[13] == 0 && a[14] == 0 && a[15] == 0);
}

}  // namespace

std::optional<std::string> upstreamLoopError(
    const Options& options, std::span<const platform::SocketAddress> machineAddresses) {
    for (const auto& entry : options.upstreams) {
        const auto upstream = binaryAddress(entry.address);
        const bool ownAddress =
            isLoopback(upstream) || std::any_of(machineAddresses.begin(), machineAddresses.end(),
                                                [&](const platform::SocketAddress& local) {
                                                    return binaryAddress(local) == upstream;
                                                });
        for (const auto& listen : options.listen) {
            if (listen.port() != entry.address.port()) {
                continue;
            }
            const auto address = binaryAddress(listen);
            // A wildcard IPv6 listener takes IPv4 too, unless it is IPv6-only.
            const bool covered =
                address == upstream || (isWildcard(address) && ownAddress &&
                                        (!isMappedV4(address) || isMappedV4(upstream)));
            if (covered) {
                return std::string(kProgramName) + ": --upstream " + entry.text() +
                       " is the proxy's own --listen " + listen.text() +
                       ": every query relayed there would come back to it; give the resolver's "
                       "address";
            }
        }
    }
    return std::nullopt;
}

std::vector<platform::SocketAddress> listMachineAddresses() {
    std::vector<platform::SocketAddress> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return addresses;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) {
            continue;
        }
        if (const auto address = platform::linux_host::SocketAddress::toAddress(entry->ifa_addr)) {
            addresses.push_back(address->withPort(0));
        }
    }
    ::freeifaddrs(list);
    return addresses;
}

std::vector<platform::SocketAddress> defaultListenAddresses() {
    return {*platform::SocketAddress::parse("127.0.0.1", platform::kDnsPort),
            *platform::SocketAddress::parse("::1", platform::kDnsPort)};
}

ParsedCommandLine parseCommandLine(std::span<const std::string_view> args) {
    Options options;
    platform::UpstreamList upstreams;
    const auto address = [](std::string_view name, std::optional<std::uint16_t> defaultPort,
                            auto take) {
        return [=](std::string_view value) {
            const auto parsed = platform::parseSocketAddress(value, defaultPort);
            if (!parsed.address) {
                return "bad " + std::string(name) + " " + quoted(value) + ": " + parsed.error;
            }
            return take(parsed);
        };
    };
    const cli::Option table[] = {
        {.name = "--listen",
         .takesValue = true,
         .handle = address("--listen", std::nullopt,
                           [&](const platform::ParsedSocketAddress& parsed) {
                               const auto& listen = *parsed.address;
                               if (std::find(options.listen.begin(), options.listen.end(),
                                             listen) != options.listen.end()) {
                                   return "--listen " + listen.text() + " given more than once";
                               }
                               options.listen.push_back(listen);
                               return std::string();
                           })},
        {.name = "--upstream",
         .takesValue = true,
         .handle =
             [&](std::string_view value) {
                 auto parsed = platform::parseUpstream(value);
                 if (!parsed.upstream) {
                     return "bad --upstream " + quoted(value) + ": " + parsed.error;
                 }
                 if (std::find(upstreams.begin(), upstreams.end(), *parsed.upstream) !=
                     upstreams.end()) {
                     return "--upstream " + parsed.upstream->text() + " given more than once";
                 }
                 upstreams.push_back(std::move(*parsed.upstream));
                 return std::string();
             }},
        {.name = "--blocklist",
         .takesValue = true,
         .repeatable = false,
         .handle =
             [&](std::string_view file) {
                 options.blocklist = std::string(file);
                 return std::string();
             }},
        {.name = "--tls-ca",
         .takesValue = true,
         .repeatable = false,
         .handle =
             [&](std::string_view file) {
                 options.tlsCa = std::string(file);
                 return std::string();
             }},
        {.name = "--metrics",
         .takesValue = true,
         .repeatable = false,
         .handle = address("--metrics", std::nullopt,
                           [&](const platform::ParsedSocketAddress& parsed) {
                               options.metrics = parsed.address;
                               return std::string();
                           })},
        {.name = "--no-tcp", .handle = cli::sets(options.tcp, false)},
        {.name = "--debug", .handle = cli::sets(options.debug, true)},
        {.name = "--help", .handle = cli::sets(options.help, true)},
        {.name = "--version", .handle = cli::sets(options.version, true)},
    };
    if (auto error = cli::parseOptions({kProgramName, table, "a value"}, args); !error.empty()) {
        return {std::nullopt, std::move(error)};
    }
    if (!upstreams.empty()) {
        options.upstreams = std::move(upstreams);
    }
    options.defaultListen = options.listen.empty();
    if (options.defaultListen) {
        options.listen = defaultListenAddresses();
    }
    return {options, {}};
}

std::string usageHint() {
    return cli::usageHint(kProgramName);
}

std::string usageText() {
    const std::string name(kProgramName);
    return "Usage: " + name +
           " [--listen ADDR:PORT]... [--upstream UPSTREAM]... [--tls-ca FILE]\n"
           "       [--blocklist FILE] [--no-tcp] [--metrics ADDR:PORT] [--debug]\n"
           "A DNS proxy that answers queries for blocked names itself and relays the rest to a\n"
           "filtering resolver.\n"
           "\n"
           "  --listen ADDR:PORT      answer DNS over UDP and TCP here; repeatable; IPv6 as\n"
           "                          [ADDR]:PORT (default: 127.0.0.1:53 and [::1]:53)\n"
           "  --upstream ADDR[:PORT]  a resolver unblocked queries go to, over the transport\n"
           "                          they came by; repeatable, in order of preference: the\n"
           "                          next is tried when one does not answer in time or refuses\n"
           "                          (default: " +
           provider::defaultSafeDNSAddress().text() +
           ")\n"
           "  --upstream tls://ADDR[:PORT][#NAME]\n"
           "                          a resolver reached over DNS over TLS (port 853), its\n"
           "                          certificate required to hold NAME (sent as SNI), or ADDR\n"
           "  --tls-ca FILE           trust the authorities of this PEM file for TLS upstreams\n"
           "                          (default: the system's)\n"
           "  --no-tcp                answer DNS over UDP only\n"
           "  --blocklist FILE        the blocklist, one domain per line, '#' comments; reloaded\n"
           "                          on SIGHUP and whenever the file changes\n"
           "  --metrics ADDR:PORT     serve counters at http://ADDR:PORT/metrics in the\n"
           "                          Prometheus text format (default: off)\n"
           "  --debug                 write debug log lines\n"
           "  --help                  show this help and exit\n"
           "  --version               show the version and exit\n"
           "\n"
           "Addresses are numeric. SIGTERM or SIGINT stops the proxy. Started by a systemd socket\n"
           "unit, it listens on the sockets passed in, and --listen is refused.\n";
}

}  // namespace sieveharbor::service
