#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sieveharbor::platform {

inline constexpr std::uint16_t kDnsPort = 53;

// A numeric IPv4 or IPv6 address and a port: where a server listens, or where relayed queries
// go. A value: parsed once where it enters, then copied.
class SocketAddress {
  public:
    enum class Family : std::uint8_t { v4, v6 };

    // The one way text becomes an address: numeric IPv4 ("192.0.2.1") or IPv6 ("::1", no
    // brackets). Nothing for any other text, names included: a name would be looked up through
    // the very resolver this proxy may be.
    static std::optional<SocketAddress> parse(std::string_view address, std::uint16_t port);
    // From an address in network order: 4 bytes are IPv4, 16 IPv6, any other length nothing.
    static std::optional<SocketAddress> fromBytes(std::span<const std::uint8_t> bytes,
                                                  std::uint16_t port);

    Family family() const noexcept { return family_; }
    bool isV6() const noexcept { return family_ == Family::v6; }
    // The address in network order: 4 bytes for IPv4, 16 for IPv6.
    std::span<const std::uint8_t> bytes() const noexcept {
        return {bytes_.data(), isV6() ? std::size_t{16} : std::size_t{4}};
    }
    std::uint16_t port() const noexcept { return port_; }
    // The same address with another port.
    SocketAddress withPort(std::uint16_t port) const noexcept {
        SocketAddress other = *this;
        other.port_ = port;
        return other;
    }

    // The address alone, in its canonical numeric form ("192.0.2.1", "::1").
    std::string addressText() const;
    // "192.0.2.1:53" or "[::1]:53": the form a command line takes, for messages.
    std::string text() const;

    friend bool operator==(const SocketAddress&, const SocketAddress&) = default;

  private:
    SocketAddress() = default;

    std::array<std::uint8_t, 16> bytes_{};
    Family family_ = Family::v4;
    std::uint16_t port_ = 0;
};

// Either an address or why the text is not one (a phrase for a message).
struct ParsedSocketAddress {
    std::optional<SocketAddress> address;
    std::string error;
};

// "ADDR:PORT" or "[ADDR]:PORT", as a command line spells it: a numeric address (IPv6 in
// brackets) and a port from 1 to 65535. A null defaultPort makes the port required; otherwise
// "ADDR" and "[ADDR]" alone take it. Pure.
ParsedSocketAddress parseSocketAddress(std::string_view text,
                                       std::optional<std::uint16_t> defaultPort);

}  // namespace sieveharbor::platform
