#include "platform/linux/socket_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace sieveharbor::platform::linux_host {

std::optional<SocketAddress> SocketAddress::parse(std::string_view address, std::uint16_t port) {
    const std::string text(address);
    SocketAddress out;
    auto& v4 = reinterpret_cast<sockaddr_in&>(out.storage);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(out.storage);
    if (::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        out.length = sizeof v4;
        return out;
    }
    if (::inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        out.length = sizeof v6;
        return out;
    }
    return std::nullopt;
}

std::optional<SocketAddress> SocketAddress::boundTo(int fd) {
    SocketAddress out;
    out.length = sizeof out.storage;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&out.storage), &out.length) != 0 ||
        (out.family() != AF_INET && out.family() != AF_INET6)) {
        return std::nullopt;
    }
    return out;
}

std::uint16_t SocketAddress::port() const noexcept {
    if (family() == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in&>(storage).sin_port);
    }
    if (family() == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(storage).sin6_port);
    }
    return 0;
}

}  // namespace sieveharbor::platform::linux_host
