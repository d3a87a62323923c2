#include "platform/socket_address.h"

#include <arpa/inet.h>

#include <algorithm>

namespace sieveharbor::platform {

std::optional<SocketAddress> SocketAddress::parse(std::string_view address, std::uint16_t port) {
    const std::string text(address);  // inet_pton reads up to a terminator
    SocketAddress out;
    out.port_ = port;
    if (::inet_pton(AF_INET, text.c_str(), out.bytes_.data()) == 1) {
        out.family_ = Family::v4;
        return out;
    }
    if (::inet_pton(AF_INET6, text.c_str(), out.bytes_.data()) == 1) {
        out.family_ = Family::v6;
        return out;
    }
    return std::nullopt;
}

std::optional<SocketAddress> SocketAddress::fromBytes(std::span<const std::uint8_t> bytes,
                                                      std::uint16_t port) {
    if (bytes.size() != 4 && bytes.size() != 16) {
        return std::nullopt;
    }
    SocketAddress out;
    out.port_ = port;
    out.family_ = bytes.size() == 16 ? Family::v6 : Family::v4;
    std::copy(bytes.begin(), bytes.end(), out.bytes_.begin());
    return out;
}

std::string SocketAddress::addressText() const {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(isV6() ? AF_INET6 : AF_INET, bytes_.data(), text, sizeof text);
    return text;
}

std::string SocketAddress::text() const {
    const std::string address = addressText();
    return (isV6() ? "[" + address + "]" : address) + ":" + std::to_string(port_);
}

}  // namespace sieveharbor::platform
