#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/socket_address.h"

namespace sieveharbor::platform::linux_host {

// An IPv4 or IPv6 socket address, as the socket calls take it.
struct SocketAddress {
    static SocketAddress from(const platform::SocketAddress& address) noexcept;
    sockaddr_storage storage{};
    socklen_t length = 0;

    // platform::SocketAddress::parse, as a socket address.
    static std::optional<SocketAddress> parse(std::string_view address, std::uint16_t port);
    // Where the socket is bound; nothing when it is not an IPv4 or IPv6 socket.
    static std::optional<SocketAddress> boundTo(int fd);

    int family() const noexcept { return storage.ss_family; }
    std::uint16_t port() const noexcept;
    const sockaddr* data() const noexcept { return reinterpret_cast<const sockaddr*>(&storage); }
};

}  // namespace sieveharbor::platform::linux_host
