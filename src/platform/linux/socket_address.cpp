#include "platform/linux/socket_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/system_error.h"

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

std::optional<platform::SocketAddress> SocketAddress::toAddress(const sockaddr* address) noexcept {
    if (address->sa_family == AF_INET) {
        const auto& v4 = *reinterpret_cast<const sockaddr_in*>(address);
        return platform::SocketAddress::fromBytes(
            {reinterpret_cast<const std::uint8_t*>(&v4.sin_addr), sizeof v4.sin_addr},
            ntohs(v4.sin_port));
    }
    if (address->sa_family == AF_INET6) {
        const auto& v6 = *reinterpret_cast<const sockaddr_in6*>(address);
        return platform::SocketAddress::fromBytes(
            {reinterpret_cast<const std::uint8_t*>(&v6.sin6_addr), sizeof v6.sin6_addr},
            ntohs(v6.sin6_port));
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

BoundSocket bindSocket(const SocketAddress& local, int type, BindOptions options) {
    const int fd = ::socket(local.family(), type, 0);
    const int on = 1;
    const auto set = [&](int level, int name) {
        return ::setsockopt(fd, level, name, &on, sizeof on) == 0;
    };
    const bool ok = fd >= 0 && (!options.reuseAddress || set(SOL_SOCKET, SO_REUSEADDR)) &&
                    (!options.reusePort || set(SOL_SOCKET, SO_REUSEPORT)) &&
                    (local.family() != AF_INET6 || set(IPPROTO_IPV6, IPV6_V6ONLY)) &&
                    ::bind(fd, local.data(), local.length) == 0 &&
                    (!options.listen || ::listen(fd, SOMAXCONN) == 0);
    if (ok) {
        return {fd, {}};
    }
    const int number = errno;
    if (fd >= 0) {
        ::close(fd);
    }
    return {-1, systemError(number)};
}

}  // namespace sieveharbor::platform::linux_host
