#include "main/startup_messages.h"

#include <chrono>

namespace sieveharbor::service {

namespace {

std::string remedyFor(const platform::SocketAddress& address, std::error_code error) {
    const auto other = address.withPort(address.port() == 5353 ? 5354 : 5353);
    const std::string elsewhere = "choose another port with --listen " + other.text();
    if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted) {
        return address.port() < 1024 ? elsewhere + ", or grant CAP_NET_BIND_SERVICE"
                                     : elsewhere + ", or run with more privileges";
    }
    if (error == std::errc::address_in_use) {
        return "another program already answers there: stop it, or " + elsewhere;
    }
    if (error == std::errc::address_not_available) {
        return "this machine has no such address: listen on one of its own addresses";
    }
    if (error == std::errc::address_family_not_supported) {
        return std::string(address.isV6() ? "IPv6" : "IPv4") +
               " is not available here: leave this address out";
    }
    return "check the address, or " + elsewhere;
}

}  // namespace

std::string listenFailureMessage(const platform::SocketAddress& address, std::error_code error,
                                 bool tcp) {
    return std::string(kProgramName) + ": cannot listen " + (tcp ? "for TCP " : "") + "on " +
           address.text() + ": " + error.message() + " (" + remedyFor(address, error) + ")";
}

std::string metricsFailureMessage(const platform::SocketAddress& address, std::error_code error) {
    return std::string(kProgramName) + ": cannot serve metrics on " + address.text() + ": " +
           error.message() + " (give another --metrics address, or leave it out)";
}

std::string adoptFailureMessage(int fd, std::error_code error) {
    return std::string(kProgramName) + ": cannot listen on socket " + std::to_string(fd) +
           " passed by systemd: " + error.message() + " (check ListenDatagram= in the socket unit)";
}

std::string watchFailureMessage(const std::string& folder, std::error_code error) {
    return std::string(kProgramName) + ": cannot watch the blocklist folder " + folder + ": " +
           error.message() + " (create the folder, or give another --blocklist)";
}

std::string missingFolderMessage(const std::string& folder) {
    return std::string(kProgramName) + ": the blocklist folder " + folder +
           " does not exist; serving with an empty list, and loading it once it appears";
}

std::optional<std::string> loadMessage(const provider::LoadReport& report, bool debug) {
    using Outcome = provider::LoadReport::Outcome;
    const std::string prefix = std::string(kProgramName) + ": blocklist " + report.path;
    std::string reason;
    switch (report.outcome) {
        case Outcome::accepted: {
            if (!debug) {
                return std::nullopt;
            }
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(report.took).count();
            return prefix + " loaded: " + std::to_string(report.entries) + " entries in " +
                   std::to_string(ms) + " ms";
        }
        case Outcome::unreadable:
            reason = "it cannot be read";
            break;
        case Outcome::notUtf8:
            reason = "it is not valid UTF-8";
            break;
        case Outcome::lineTooLong:
            reason = "a line is longer than 65535 bytes";
            break;
        case Outcome::tooBig:
            reason = "it holds more text than one list can (4 GiB)";
            break;
        case Outcome::outOfMemory:
            reason = "there is not enough memory for it";
            break;
        case Outcome::keptChanging:
            reason = "it kept changing while it was read; the next change is waited for";
            break;
    }
    return prefix + " refused, the previous list stays in force: " + reason;
}

std::string descriptorLimitMessage(std::size_t descriptors, std::size_t inFlight,
                                   std::size_t tcpConnections) {
    return std::string(kProgramName) + ": only " + std::to_string(descriptors) +
           " file descriptors are allowed (RLIMIT_NOFILE, LimitNOFILE=); at most " +
           std::to_string(inFlight) + " queries are relayed at once, and " +
           std::to_string(tcpConnections) + " TCP connections kept open";
}

}  // namespace sieveharbor::service
