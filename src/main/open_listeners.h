#pragma once

// How the service opens its listeners of either transport, apart from the sockets themselves:
// which failures end the start-up and which address is left out.

#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "main/command_line.h"
#include "main/startup_messages.h"

namespace sieveharbor::service {

// The listeners opened, or the one line that says why start-up fails (and none are kept).
template <class Listener>
struct Opened {
    std::vector<std::shared_ptr<Listener>> listeners;
    std::optional<std::string> failure;
};

// A listener of one transport on every --listen address; open(address) gives the listener, or
// none and why (a pair). A default IPv6 address on a machine without IPv6 is left out, so that
// the defaults work everywhere; an address the user asked for must open.
template <class Listener, class Open>
Opened<Listener> listenOnEach(const Options& options, bool tcp, Open open) {
    Opened<Listener> opened;
    for (const auto& address : options.listen) {
        auto [listener, error] = open(address);
        if (listener) {
            opened.listeners.push_back(std::move(listener));
            continue;
        }
        const bool noIpv6 = error == std::errc::address_family_not_supported ||
                            error == std::errc::address_not_available;
        if (options.defaultListen && address.isV6() && noIpv6) {
            continue;
        }
        return {{}, listenFailureMessage(address, error, tcp)};
    }
    return opened;
}

// A listener on each socket systemd passed (socket activation), in place of binding any;
// adopt(fd) gives the listener, or none and why (a pair). Every one must be served.
template <class Listener, class Adopt>
Opened<Listener> adoptEach(const std::vector<int>& fds, Adopt adopt) {
    Opened<Listener> opened;
    for (const int fd : fds) {
        auto [listener, error] = adopt(fd);
        if (!listener) {
            return {{}, adoptFailureMessage(fd, error)};
        }
        opened.listeners.push_back(std::move(listener));
    }
    return opened;
}

}  // namespace sieveharbor::service
