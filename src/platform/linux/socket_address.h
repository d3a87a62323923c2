#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <system_error>

#include "platform/socket_address.h"

namespace sieveharbor::platform::linux_host {

// An IPv4 or IPv6 socket address, as the socket calls take it.
struct SocketAddress {
    static SocketAddress from(const platform::SocketAddress& address) noexcept;
    // The value of a whole sockaddr_in or sockaddr_in6 (by its family); nothing for another
    // family.
    static std::optional<platform::SocketAddress> toAddress(const sockaddr* address) noexcept;
    sockaddr_storage storage{};
    socklen_t length = 0;

    // Where the socket is bound; nothing when it is not an IPv4 or IPv6 socket.
    static std::optional<SocketAddress> boundTo(int fd);

    int family() const noexcept { return storage.ss_family; }
    std::uint16_t port() const noexcept;
    const sockaddr* data() const noexcept { return reinterpret_cast<const sockaddr*>(&storage); }
};

// How a listening socket is set up before it is bound.
struct BindOptions {
    bool reuseAddress = false;  // SO_REUSEADDR: a restarted server binds at once
    bool reusePort = false;     // SO_REUSEPORT: several sockets share the address
    bool listen = false;        // a stream socket that accepts connections
};

// A socket of `type` (SOCK_DGRAM or SOCK_STREAM, with SOCK_ flags) bound to `local`. An IPv6
// socket serves IPv6 only, so that "::" and "0.0.0.0" can be bound side by side. Either the
// descriptor or the system's reason, with nothing left open.
struct BoundSocket {
    int fd = -1;
    std::error_code error;
};
BoundSocket bindSocket(const SocketAddress& local, int type, BindOptions options);

}  // namespace sieveharbor::platform::linux_host
