#include "host/startup_messages.h"

namespace sieveharbor::host {

namespace {

std::string remedyFor(const SocketAddress& address, std::error_code error) {
    SocketAddress other = address;
    other.port = address.port == 5353 ? 5354 : 5353;
    const std::string elsewhere = "choose another port with --listen " + other.text();
    if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted) {
        return address.port < 1024 ? elsewhere + ", or grant CAP_NET_BIND_SERVICE"
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

std::string listenFailureMessage(const SocketAddress& address, std::error_code error) {
    return std::string(kProgramName) + ": cannot listen on " + address.text() + ": " +
           error.message() + " (" + remedyFor(address, error) + ")";
}

std::string watchFailureMessage(const std::string& folder, std::error_code error) {
    return std::string(kProgramName) + ": cannot watch the blocklist folder " + folder + ": " +
           error.message() + " (create the folder, or give another --blocklist)";
}

}  // namespace sieveharbor::host
