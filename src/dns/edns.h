#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "dns/datagram.h"

namespace sieveharbor::dns {

// What a relay over a stream needs of a message beyond its question: where its EDNS OPT record
// is, how big a UDP reply its sender takes, and the shapes it is sent in. Pure; never reads
// outside the message.

// The OPT record (RFC 6891) of a message's additional section.
struct OptRecord {
    std::size_t rdata = 0;        // offset of its RDATA
    std::uint16_t rdlength = 0;   // RDATA's length
    std::uint16_t udpSize = 0;    // its CLASS: the largest UDP payload the sender takes
    std::size_t lengthField = 0;  // offset of RDLENGTH
    bool padded = false;          // its RDATA already holds a padding option
};

// The message's OPT record: nothing when it has none, or when the message is not whole (a count
// the records do not fill, a name or record running past the end).
std::optional<OptRecord> findOpt(ByteView message) noexcept;

// The largest reply the sender of `query` takes over UDP: 512 bytes, or its EDNS UDP size when
// that is larger.
std::size_t udpReplyLimit(ByteView query) noexcept;

// Pads a query that carries EDNS with a padding option (RFC 7830) so that its length is a
// multiple of `block` (RFC 8467 asks 128 of a client); false, leaving it as it is, for one
// without EDNS, one padded already, or one that would grow past 65,535 bytes.
bool padToBlock(std::vector<std::uint8_t>& message, std::size_t block);

// What a UDP client gets for a reply too big for it: the reply's header with TC set and its
// first question, no records, so that the client asks again over TCP. Nothing for a reply
// shorter than a header.
std::optional<Datagram> truncatedReply(ByteView reply);

// The message's ID, and the same message under another.
inline std::uint16_t idOf(ByteView message) noexcept {
    return message.size() < 2 ? 0 : static_cast<std::uint16_t>((message[0] << 8) | message[1]);
}
inline void setId(std::vector<std::uint8_t>& message, std::uint16_t id) noexcept {
    if (message.size() >= 2) {
        message[0] = static_cast<std::uint8_t>(id >> 8);
        message[1] = static_cast<std::uint8_t>(id);
    }
}

}  // namespace sieveharbor::dns
