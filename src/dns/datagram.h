#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace sieveharbor::dns {

// One whole DNS message, owned. Offsets are from its first byte; multi-byte fields big-endian.
using Datagram = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// The fixed DNS header; the question name starts right after it.
inline constexpr std::size_t kHeaderSize = 12;

// The QR bit of the header: set in a response, clear in a query.
constexpr bool isResponse(ByteView message) noexcept {
    return message.size() > 2 && (message[2] & 0x80) != 0;
}

}  // namespace sieveharbor::dns
