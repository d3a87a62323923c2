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

}  // namespace sieveharbor::dns
