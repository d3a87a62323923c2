#include "platform/linux/socket_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace sieveharbor::platform::linux_host {

SocketAddress SocketAddress::from(const platform::SocketAddress& address) noexcept {
    SocketAddress out;
    const auto bytes = address.bytes();
    if (address.isV6()) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(out.storage);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(address.port());
        std::memcpy(&v6.sin6_addr, bytes.data(), bytes.size());
        out.length = sizeof v6;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(out.storage);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(address.port());
        std::memcpy(&v4.sin_addr, bytes.data(), bytes.size());
        out.length = sizeof v4;
    }
    return out;
}

std::optional<SocketAddress> SocketAddress::parse(std::string_view address, std::uint16_t port) {
    const auto parsed = platform::SocketAddress::parse(address, port);
    if (!parsed) {
        return std::nullopt;
    }
    return from(*parsed);
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
