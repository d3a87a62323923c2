#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "dns/datagram.h"

namespace sieveharbor::dns {

// DNS over TCP frames each message with its length, two bytes big-endian (RFC 1035 4.2.2, RFC
// 7766). Reassembles the messages of one connection from the bytes as they arrive, in pieces of
// any size. Pure; one connection, one thread at a time.
class TcpFramer {
  public:
    enum class Status {
        more,     // no whole message yet
        message,  // one message taken out
        bad,      // a length of 0 or too short for a header: the connection is to be closed
    };

    void append(std::span<const std::uint8_t> bytes);

    // Takes out the next whole message, if any.
    Status next(Datagram& message);

    // True while some bytes of a message that has not wholly arrived are held: a connection in
    // the middle of a message is not idle, but it is not making progress either.
    bool midMessage() const noexcept { return start_ < buffer_.size(); }
    std::size_t buffered() const noexcept { return buffer_.size() - start_; }

  private:
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;  // the first byte not yet taken out
};

// The message with its length in front, ready to write; nothing for a message longer than a
// length can say (65,535 bytes).
std::optional<std::vector<std::uint8_t>> frameMessage(ByteView message);

}  // namespace sieveharbor::dns
