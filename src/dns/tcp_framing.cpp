#include "dns/tcp_framing.h"

#include <utility>

namespace sieveharbor::dns {

std::optional<std::vector<std::uint8_t>> frameMessage(ByteView message) {
    std::vector<std::uint8_t> framed;
    framed.reserve(kLengthBytes + message.size());
    if (!appendFramed(framed, [message](auto& out) {
            out.insert(out.end(), message.begin(), message.end());
        })) {
        return std::nullopt;
    }
    return framed;
}

// What was taken out is dropped before the buffer grows, so it holds at most one message beside
// the bytes just received.
void TcpFramer::compact() {
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
}

void TcpFramer::append(std::span<const std::uint8_t> bytes) {
    compact();
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void TcpFramer::append(std::vector<std::uint8_t>&& bytes) {
    compact();
    if (buffer_.empty()) {
        buffer_ = std::move(bytes);
    } else {
        buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    }
}

TcpFramer::Status TcpFramer::next(std::vector<std::uint8_t>& framed) {
    if (buffered() < kLengthBytes) {
        return Status::more;
    }
    const std::size_t length =
        (static_cast<std::size_t>(buffer_[start_]) << 8) | buffer_[start_ + 1];
    if (length < kHeaderSize) {
        return Status::bad;
    }
    if (buffered() < kLengthBytes + length) {
        return Status::more;
    }
    if (start_ == 0 && buffer_.size() == kLengthBytes + length) {
        // The usual case, one message a read: handed over whole, not copied.
        framed = std::exchange(buffer_, {});
        return Status::message;
    }
    const auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(start_);
    framed.assign(first, first + static_cast<std::ptrdiff_t>(kLengthBytes + length));
    start_ += kLengthBytes + length;
    return Status::message;
}

}  // namespace sieveharbor::dns
