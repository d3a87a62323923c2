#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace sieveharbor::platform {

// Opaque name of the socket that asked; the core only copies it and hands it back with the reply.
// It holds either the bytes of a socket address (Linux; a label in the test fakes) or one
// reference to a platform object (macOS: the very NWEndpoint that came with the datagram), which
// a copy retains and destruction releases through the functions the platform gave with it.
//
// Threads: an Endpoint is a value; copies may live and die on any thread, so the platform's retain
// and release must be safe to call from any thread.
class Endpoint {
  public:
    // Large enough for a sockaddr_in6.
    static constexpr std::size_t kCapacity = 28;

    // How a platform keeps its object alive. Both are called once per copy made or destroyed.
    struct Retainer {
        void (*retain)(const void* object) noexcept;
        void (*release)(const void* object) noexcept;
    };

    Endpoint() = default;
    // Bytes beyond kCapacity are cut off; platforms never produce more.
    explicit Endpoint(std::span<const std::uint8_t> bytes) noexcept {
        size_ = static_cast<std::uint8_t>(std::min(bytes.size(), kCapacity));
        std::copy_n(bytes.begin(), size_, storage_.begin());
    }
    // Takes over one reference that the caller holds on `object` (a null object is no object).
    static Endpoint adopt(const void* object, const Retainer& retainer) noexcept {
        Endpoint endpoint;
        if (object != nullptr) {
            endpoint.object_ = object;
            endpoint.retainer_ = &retainer;
        }
        return endpoint;
    }

    Endpoint(const Endpoint& other) noexcept
        : storage_(other.storage_),
          size_(other.size_),
          object_(other.object_),
          retainer_(other.retainer_) {
        if (object_ != nullptr) {
            retainer_->retain(object_);
        }
    }
    Endpoint(Endpoint&& other) noexcept
        : storage_(other.storage_),
          size_(other.size_),
          object_(std::exchange(other.object_, nullptr)),
          retainer_(std::exchange(other.retainer_, nullptr)) {}
    Endpoint& operator=(Endpoint other) noexcept {
        std::swap(storage_, other.storage_);
        std::swap(size_, other.size_);
        std::swap(object_, other.object_);
        std::swap(retainer_, other.retainer_);
        return *this;
    }
    ~Endpoint() {
        if (object_ != nullptr) {
            retainer_->release(object_);
        }
    }

    std::span<const std::uint8_t> bytes() const noexcept { return {storage_.data(), size_}; }
    // The platform object, or null for an endpoint of bytes. It lives as long as this endpoint.
    const void* object() const noexcept { return object_; }
    bool empty() const noexcept { return size_ == 0 && object_ == nullptr; }

    // The same object, or (for endpoints of bytes) the same bytes.
    friend bool operator==(const Endpoint& a, const Endpoint& b) noexcept {
        return a.object_ == b.object_ && a.size_ == b.size_ &&
               std::equal(a.storage_.begin(), a.storage_.begin() + a.size_, b.storage_.begin());
    }

  private:
    std::array<std::uint8_t, kCapacity> storage_{};
    std::uint8_t size_ = 0;
    const void* object_ = nullptr;
    const Retainer* retainer_ = nullptr;
};

}  // namespace sieveharbor::platform
