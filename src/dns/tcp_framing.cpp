#include "dns/tcp_framing.h"

namespace sieveharbor::dns {

void TcpFramer::append(std::span<const std::uint8_t> bytes) {
    // What was taken out is dropped before the buffer grows, so it holds at most one message
    // beside the bytes just received.
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

TcpFramer::Status TcpFramer::next(Datagram& message) {
    if (buffered() < 2) {
        return Status::more;
    }
    const std::size_t length =
        (static_cast<std::size_t>(buffer_[start_]) << 8) | buffer_[start_ + 1];
    if (length < kHeaderSize) {
        return Status::bad;
    }
    if (buffered() < 2 + length) {
        return Status::more;
    }
    const auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(start_ + 2);
    message.assign(first, first + static_cast<std::ptrdiff_t>(length));
    start_ += 2 + length;
    return Status::message;
}

std::optional<std::vector<std::uint8_t>> frameMessage(ByteView message) {
    if (message.size() > 0xFFFF) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> framed;
    framed.reserve(2 + message.size());
    framed.push_back(static_cast<std::uint8_t>(message.size() >> 8));
    framed.push_back(static_cast<std::uint8_t>(message.size() & 0xFF));
    framed.insert(framed.end(), message.begin(), message.end());
    return framed;
}

}  // namespace sieveharbor::dns
