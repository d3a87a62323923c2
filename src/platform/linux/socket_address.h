#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sieveharbor::platform::linux_host {

// An IPv4 or IPv6 socket address, as the socket calls take it.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    // A numeric IPv4 or IPv6 address (no brackets, no names: a name would be looked up through
    // the very resolver this proxy may be) and a port; nothing for any other text.
    static std::optional<SocketAddress> parse(std::string_view address, std::uint16_t port);
    // Where the socket is bound; nothing when it is not an IPv4 or IPv6 socket.
    static std::optional<SocketAddress> boundTo(int fd);

    int family() const noexcept { return storage.ss_family; }
    std::uint16_t port() const noexcept;
    const sockaddr* data() const noexcept { return reinterpret_cast<const sockaddr*>(&storage); }
};

}  // namespace sieveharbor::platform::linux_host
