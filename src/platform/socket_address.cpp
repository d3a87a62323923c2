#include "platform/socket_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

#include "cli/option_parser.h"

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

namespace {

// Port 0 is refused: the kernel would pick one that no client could know.
std::optional<std::uint16_t> parsePort(std::string_view text) {
    unsigned value = 0;
    const auto* end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || next != end || value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

ParsedSocketAddress parseSocketAddress(std::string_view text,
                                       std::optional<std::uint16_t> defaultPort) {
    using cli::quoted;
    const std::string shape = defaultPort ? "ADDR[:PORT], with IPv6 as [ADDR]:PORT"
                                          : "ADDR:PORT, with IPv6 as [ADDR]:PORT";
    const auto refuse = [](std::string why) {
        return ParsedSocketAddress{std::nullopt, std::move(why)};
    };
    std::string_view host;
    std::optional<std::string_view> port;
    bool bracketed = false;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos) {
            return refuse("expected " + shape);
        }
        bracketed = true;
        host = text.substr(1, close - 1);
        const auto rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (!rest.starts_with(':')) {
                return refuse("expected " + shape);
            }
            port = rest.substr(1);
        }
    } else {
        const auto colon = text.find(':');
        if (colon != std::string_view::npos &&
            text.find(':', colon + 1) != std::string_view::npos) {
            return refuse("an IPv6 address must be in brackets: [ADDR]:PORT");
        }
        host = text.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = text.substr(colon + 1);
        }
    }

    const auto number = port ? parsePort(*port) : defaultPort;
    const auto address = SocketAddress::parse(host, number.value_or(0));
    if (!address || address->isV6() != bracketed) {
        return refuse(quoted(host) + " is not a numeric " + (bracketed ? "IPv6" : "IPv4") +
                      " address");
    }
    if (!port && !defaultPort) {
        return refuse("a port is required: expected " + shape);
    }
    if (!number) {
        return refuse("port " + quoted(*port) + " is not a number from 1 to 65535");
    }
    return {address, {}};
}

}  // namespace sieveharbor::platform
