#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "dns/datagram.h"

namespace sieveharbor::dns {

// DNS over TCP frames each message with its length, two bytes big-endian (RFC 1035 4.2.2, RFC
// 7766). A framed message is kept framed from the stream it came by to the stream it leaves by:
// the proxy judges the message through a view and relays the framed bytes as they are.
inline constexpr std::size_t kLengthBytes = 2;
inline constexpr std::size_t kMaxFramedMessage = 0xFFFF;

// The message a framed one carries: a view past its length.
inline ByteView unframed(ByteView framed) noexcept {
    return framed.size() < kLengthBytes ? ByteView{} : framed.subspan(kLengthBytes);
}

// Appends one framed message to `out`: its length, then what append(out) adds. False, with out
// as it was, when that is longer than a length can say (65,535 bytes).
template <class Append>
bool appendFramed(std::vector<std::uint8_t>& out, Append&& append) {
    const std::size_t at = out.size();
    out.resize(at + kLengthBytes);
    append(out);
    const std::size_t length = out.size() - at - kLengthBytes;
    if (length > kMaxFramedMessage) {
        out.resize(at);
        return false;
    }
    out[at] = static_cast<std::uint8_t>(length >> 8);
    out[at + 1] = static_cast<std::uint8_t>(length & 0xFF);
    return true;
}

// The message with its length in front; nothing for a message longer than a length can say.
std::optional<std::vector<std::uint8_t>> frameMessage(ByteView message);

// Takes the framed messages of one connection out of its bytes as they arrive, in pieces of any
// size. Pure; one connection, one thread at a time.
class TcpFramer {
  public:
    enum class Status {
        more,     // no whole message yet
        message,  // one framed message taken out
        bad,      // a length of 0 or too short for a header: the connection is to be closed
    };

    void append(std::span<const std::uint8_t> bytes);
    // The same, taking the buffer over when nothing is held, as is usual between messages.
    void append(std::vector<std::uint8_t>&& bytes);

    // Takes out the next whole message, framed (its length in front), if any.
    Status next(std::vector<std::uint8_t>& framed);

    // True while some bytes of a message that has not wholly arrived are held: a connection in
    // the middle of a message is not idle, but it is not making progress either.
    bool midMessage() const noexcept { return start_ < buffer_.size(); }
    std::size_t buffered() const noexcept { return buffer_.size() - start_; }

  private:
    void compact();

    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;  // the first byte not yet taken out
};

}  // namespace sieveharbor::dns
